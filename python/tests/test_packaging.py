"""The package's wheel, from setuptools and from the package's own wheel step.

The own step runs where setuptools cannot make wheels (an interpreter without
the `wheel` package); VEXAN_OWN_WHEEL forces it here so that both are checked
on one machine, through pip as a user runs it.
"""

import base64
import hashlib
import os
import subprocess
import sys
import zipfile

from pathlib import Path

import pytest

PYTHON_DIR = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(PYTHON_DIR / "backend"))
import vexan_backend  # noqa: E402

pytestmark = pytest.mark.skipif(subprocess.run([sys.executable, "-m", "pip", "--version"],
                                               capture_output=True).returncode != 0,
                                reason="no pip for " + sys.executable)


def build_wheel(tmp_path, own):
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    if own:
        env["VEXAN_OWN_WHEEL"] = "1"
    else:
        env.pop("VEXAN_OWN_WHEEL", None)
    out = tmp_path / ("own" if own else "setuptools")
    run = subprocess.run([sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "--no-index",
                          "-q", "-w", str(out), str(PYTHON_DIR)], env=env, capture_output=True, text=True)
    if run.returncode != 0 and not own and "bdist_wheel" in run.stderr:
        pytest.skip("setuptools cannot make wheels for " + sys.executable)
    assert run.returncode == 0, run.stderr
    wheels = list(out.glob("vexan-*.whl"))
    assert len(wheels) == 1
    return wheels[0]


def package_names(wheel):
    with zipfile.ZipFile(wheel) as zf:
        return sorted(n for n in zf.namelist() if n.startswith("vexan/"))


def test_own_wheel_holds_the_package_with_a_record_that_matches(tmp_path):
    wheel = build_wheel(tmp_path, own=True)
    fields = vexan_backend.project_fields((PYTHON_DIR / "pyproject.toml").read_text())
    assert wheel.name == "vexan-{}-py3-none-any.whl".format(fields["version"])
    with zipfile.ZipFile(wheel) as zf:
        names = zf.namelist()
        dist_info = "vexan-{}.dist-info/".format(fields["version"])
        record = zf.read(dist_info + "RECORD").decode().splitlines()
        listed = {}
        for line in record:
            name, digest, size = line.rsplit(",", 2)
            listed[name] = (digest, size)
        assert sorted(listed) == sorted(names)
        for name in names:
            if name == dist_info + "RECORD":
                assert listed[name] == ("", "")
                continue
            data = zf.read(name)
            expected = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
            assert listed[name] == ("sha256=" + expected, str(len(data))), name
        metadata = zf.read(dist_info + "METADATA").decode()
        assert "Name: vexan\n" in metadata and "Version: {}\n".format(fields["version"]) in metadata
        assert "Tag: py3-none-any" in zf.read(dist_info + "WHEEL").decode()
        zf.extractall(tmp_path / "site")
    source = sorted("vexan/" + p.name for p in (PYTHON_DIR / "vexan").iterdir()
                    if p.suffix == ".py" or p.name == "py.typed")
    assert [n for n in package_names(wheel) if not n.startswith("vexan/libvexan")] == source
    # Unpacked, as pip installs a pure wheel, the package imports from there.
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env["PYTHONPATH"] = str(tmp_path / "site")
    run = subprocess.run([sys.executable, "-c", "import vexan; print(vexan.__file__); print(vexan.__version__)"],
                         env=env, cwd=tmp_path, capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    path, version = run.stdout.split()
    assert Path(path).parent == tmp_path / "site" / "vexan"
    assert version == fields["version"]


def test_own_wheel_ships_the_same_files_as_setuptools(tmp_path):
    own = build_wheel(tmp_path, own=True)
    setuptools_wheel = build_wheel(tmp_path, own=False)
    assert package_names(own) == package_names(setuptools_wheel)


def test_project_fields_read_only_the_project_table():
    text = '[build-system]\nname = "other"\n[project]\nname = "vexan"\nversion = "1.2.3"\n' \
           'classifiers = [\n    "A",\n]\n[tool.x]\nversion = "9"\n'
    assert vexan_backend.project_fields(text) == {"name": "vexan", "version": "1.2.3"}
