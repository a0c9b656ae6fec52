"""The package installed for a system's python3 finds the library of its own prefix.

The Debian package puts the package in <prefix>/lib/python3/dist-packages and
the library in <prefix>/lib/<multiarch>; without VEXAN_LIBRARY the package
loads that library, not one the loader would find elsewhere.
"""

import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

PACKAGE = Path(__file__).resolve().parents[1] / "vexan"


def installed_prefix(tmp_path, multiarch):
    """A prefix with the package in lib/python3/dist-packages and the built
    library as lib/<multiarch>/libvexan.so.2 (lib/ alone without multiarch)."""
    prefix = tmp_path / "usr"
    site = prefix / "lib" / "python3" / "dist-packages"
    shutil.copytree(PACKAGE, site / "vexan", ignore=shutil.ignore_patterns("__pycache__", "libvexan.so*"))
    libdir = prefix / "lib" / multiarch if multiarch else prefix / "lib"
    libdir.mkdir(parents=True, exist_ok=True)
    shutil.copy(os.environ["VEXAN_LIBRARY"], libdir / "libvexan.so.2")
    return site, libdir / "libvexan.so.2"


def load_from(site, cwd):
    env = {k: v for k, v in os.environ.items() if k not in ("VEXAN_LIBRARY", "LD_LIBRARY_PATH")}
    env["PYTHONPATH"] = str(site)
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    result = subprocess.run([sys.executable, "-c", "import vexan; print(vexan.__file__); print(vexan.library_path()); "
                             "print(vexan.library_version())"],
                            env=env, cwd=cwd, capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()


@pytest.mark.skipif(not os.environ.get("VEXAN_LIBRARY"), reason="needs the built library (VEXAN_LIBRARY)")
@pytest.mark.parametrize("layout", ["multiarch", "plain"])
def test_the_library_of_the_packages_prefix_is_loaded_without_a_variable(tmp_path, layout):
    multiarch = sysconfig.get_config_var("MULTIARCH") if layout == "multiarch" else ""
    if layout == "multiarch" and not multiarch:
        pytest.skip("this python3 names no multiarch directory")
    site, library = installed_prefix(tmp_path, multiarch)
    module, loaded, version = load_from(site, tmp_path)
    assert Path(module) == site / "vexan" / "__init__.py"
    assert Path(loaded) == library
    assert int(version) > 0
