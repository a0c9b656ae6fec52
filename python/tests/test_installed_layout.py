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


@pytest.mark.skipif(not os.environ.get("VEXAN_LIBRARY") or not os.environ.get("VEXAN_OD_LIBRARY"),
                    reason="needs the built libraries (VEXAN_LIBRARY, VEXAN_OD_LIBRARY)")
@pytest.mark.parametrize("layout", ["installed", "build tree"])
def test_the_device_models_library_is_found_without_its_variable(tmp_path, layout):
    """Installed, libvexan_od.so lies beside the package; in the build tree, in
    src/od/ beside VEXAN_LIBRARY's library."""
    eds = tmp_path / "node.eds"
    eds.write_text("[1017]\nParameterName=Producer heartbeat time\nObjectType=0x7\nDataType=0x0006\n"
                   "AccessType=rw\nDefaultValue=$NODEID+100\n")
    env = {k: v for k, v in os.environ.items() if k not in ("VEXAN_OD_LIBRARY", "LD_LIBRARY_PATH")}
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    if layout == "installed":
        site, _ = installed_prefix(tmp_path, sysconfig.get_config_var("MULTIARCH") or "")
        expected = site / "vexan" / "libvexan_od.so"
        shutil.copy(os.environ["VEXAN_OD_LIBRARY"], expected)
        env.pop("VEXAN_LIBRARY")
        env["PYTHONPATH"] = str(site)
    else:
        expected = Path(os.environ["VEXAN_LIBRARY"]).resolve().parent / "od" / "libvexan_od.so"
        if Path(os.environ["VEXAN_OD_LIBRARY"]).resolve() != expected.resolve():
            pytest.skip("VEXAN_OD_LIBRARY is not the build tree's")
        env["PYTHONPATH"] = str(PACKAGE.parent)
    result = subprocess.run([sys.executable, "-c", "import sys, vexan, vexan._library as l; "
                             "print(vexan.read_eds(sys.argv[1], node=5)[0x1017].default); print(l.od_library_path())",
                             str(eds)], env=env, cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    default, loaded = result.stdout.splitlines()
    assert default == "105"
    assert Path(loaded).resolve() == expected.resolve()
