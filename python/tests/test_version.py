"""Vexan's one version, in project() of CMakeLists.txt, and every place that carries it.

cmake/VexanVersion.cmake writes the Python package's version file when the
project configures and refuses a header whose VEXAN_LIBRARY_VERSION disagrees;
pyproject.toml reads the version file (setuptools and the package's own
backend alike).
"""

import os
import re
import shutil
import subprocess
import sys
import warnings

from pathlib import Path

import pytest

import vexan

ROOT = Path(__file__).resolve().parents[2]
PYTHON_DIR = ROOT / "python"
VERSION_SCRIPT = ROOT / "cmake" / "VexanVersion.cmake"
sys.path.insert(0, str(PYTHON_DIR / "backend"))
import vexan_backend  # noqa: E402

needs_cmake = pytest.mark.skipif(shutil.which("cmake") is None, reason="no cmake on the PATH")


def project_version():
    text = (ROOT / "CMakeLists.txt").read_text()
    match = re.search(r"^project\(Vexan VERSION (\d+\.\d+\.\d+)[ )]", text, flags=re.M)
    assert match, "CMakeLists.txt: no project(Vexan VERSION x.y.z ...)"
    return match.group(1)


def header_version():
    match = re.search(r"^#define VEXAN_LIBRARY_VERSION (\d+)$", (ROOT / "include" / "vexan.h").read_text(), flags=re.M)
    assert match, "vexan.h: no VEXAN_LIBRARY_VERSION"
    return int(match.group(1))


def test_every_place_carries_the_project_version():
    version = project_version()
    major, minor, patch = (int(part) for part in version.split("."))
    assert vexan.__version__ == version
    assert vexan_backend.package_version() == version
    # The package's own wheel step reads pyproject.toml's version this way.
    assert vexan_backend.project_fields((PYTHON_DIR / "pyproject.toml").read_text())["version"] == version
    assert header_version() == major * 100 + minor * 10 + patch


def test_setuptools_reads_the_same_version():
    pyprojecttoml = pytest.importorskip("setuptools.config.pyprojecttoml")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # setuptools' notes on its [tool.setuptools] support
        config = pyprojecttoml.read_configuration(str(PYTHON_DIR / "pyproject.toml"))
    assert config["project"]["version"] == project_version()


def run_script(tmp_path, **definitions):
    arguments = ["cmake"] + [f"-D{name}={value}" for name, value in definitions.items()]
    run = subprocess.run(arguments + ["-P", str(VERSION_SCRIPT)], cwd=tmp_path, capture_output=True, text=True)
    run.stderr = " ".join(run.stderr.split())  # CMake wraps its messages
    return run


@needs_cmake
def test_cmake_writes_the_version_file_the_package_carries(tmp_path):
    written = tmp_path / "_version.py"
    run = run_script(tmp_path, VEXAN_VERSION=project_version(), VEXAN_PYTHON_VERSION_FILE=written)
    assert run.returncode == 0, run.stderr
    # What a configure writes is the file in the source tree, to the byte: a
    # hand-edited file would be overwritten by the next configure.
    assert written.read_bytes() == (PYTHON_DIR / "vexan" / "_version.py").read_bytes()

    # An unchanged version leaves the file alone (no rebuilds, no writes to a read-only tree).
    os.utime(written, (1_000_000_000, 1_000_000_000))
    run = run_script(tmp_path, VEXAN_VERSION=project_version(), VEXAN_PYTHON_VERSION_FILE=written)
    assert run.returncode == 0, run.stderr
    assert written.stat().st_mtime == 1_000_000_000

    run = run_script(tmp_path, VEXAN_VERSION="7.8.9", VEXAN_PYTHON_VERSION_FILE=written)
    assert run.returncode == 0, run.stderr
    assert vexan_backend.package_version(str(written)) == "7.8.9"


@needs_cmake
@pytest.mark.parametrize("version, accepted", [
    ("2.0.3", True),
    ("2.0.4", False),
    ("3.0.3", False),
    ("20.3", False),
    ("2.10.3", False),  # no longer three digits
])
def test_cmake_refuses_a_header_whose_version_disagrees(tmp_path, version, accepted):
    header = tmp_path / "vexan.h"
    header.write_text("/* a header */\n#define VEXAN_LIBRARY_VERSION 203\n")
    run = run_script(tmp_path, VEXAN_VERSION=version, VEXAN_HEADER=header)
    assert (run.returncode == 0) == accepted, run.stderr
    if not accepted:
        assert "VEXAN_LIBRARY_VERSION" in run.stderr


@needs_cmake
def test_cmake_refuses_a_header_without_the_version(tmp_path):
    header = tmp_path / "vexan.h"
    header.write_text("#define VEXAN_MAX_REPLY_DATA 252\n")
    run = run_script(tmp_path, VEXAN_VERSION="2.0.3", VEXAN_HEADER=header)
    assert run.returncode != 0
    assert "no \"#define VEXAN_LIBRARY_VERSION" in run.stderr
