"""Fixtures of the package's tests: a simulator, a master on it, a scratch cwd.

The library and the simulator come from VEXAN_LIBRARY and VEXAN_SIM (ctest
sets both); run by hand from a source tree, the build in build/ is used.
"""

import os
import sys
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]

os.environ.setdefault("VEXAN_LIBRARY", str(ROOT / "build" / "src" / "libvexan.so"))

import vexan  # noqa: E402
from vexan.errors import Result, VexanError  # noqa: E402
from vexan.sim import Simulator  # noqa: E402

START_BUDGET = 20.0  # seconds


def start_master(sim, **options):
    """A master on the simulator. A start that ends with VEXAN_NOT_IDENTIFIED
    is tried again, with a growing pause, for up to START_BUDGET seconds, and
    each such try is logged: on a loaded machine the simulator's answer can
    come after the library's short window."""
    deadline = time.monotonic() + START_BUDGET
    attempt = 0
    while True:
        attempt += 1
        try:
            return vexan.Master(sim, attempts=1, **options)
        except VexanError as error:
            if error.code != Result.VEXAN_NOT_IDENTIFIED or time.monotonic() >= deadline:
                raise
            print(f"start on {sim.port}: not identified (attempt {attempt}), trying again", file=sys.stderr)
            time.sleep(min(0.025 * attempt, 0.25))


EDS_DIR = Path(os.environ.get("VEXAN_EDS_DIR", ROOT.parent / "shared" / "eds"))


@pytest.fixture(autouse=True)
def scratch_cwd(tmp_path, monkeypatch):
    """Every test runs in a directory of its own: spill files land there."""
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.fixture
def sim():
    """A simulator with the built-in I/O device as nodes 5 and 6."""
    with Simulator(nodes=[5, 6]) as simulator:
        yield simulator


@pytest.fixture
def master(sim):
    with start_master(sim) as m:
        yield m


@pytest.fixture
def eds_dir():
    if not EDS_DIR.is_dir():
        pytest.skip(f"EDS folder not found: {EDS_DIR}")
    return EDS_DIR


@pytest.fixture
def wait_until():
    """``wait_until(predicate, timeout=5)``: polls until true or the time is up."""
    def wait(predicate, timeout=5.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if predicate():
                return True
            time.sleep(0.01)
        return predicate()
    return wait
