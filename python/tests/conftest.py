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

# A loaded machine can hold the simulator's answer back past the library's
# short identification window, and the virtual machine the tests run on has
# been seen to stand still for fifteen seconds at a time (every process, the
# clock running on): the tries go on until START_BUDGET seconds have passed
# and at least LEAST_START_TRIES were made, since a stand-still eats time, not
# tries.
START_BUDGET = 20.0  # seconds
LEAST_START_TRIES = 10
# How long a test waits for what normally comes within milliseconds, and the
# board time-out of masters whose calls are expected to succeed: a wait ends
# as soon as its condition holds, so only a failing test waits this long.
PATIENCE = 30.0  # seconds


def start_master(sim, **options):
    """A master on the simulator (or port), with a generous function time-out
    unless ``timeout_ms`` is given. A start that ends with
    VEXAN_NOT_IDENTIFIED is tried again, with a growing pause (see
    START_BUDGET), and each such try is logged; any other error is raised."""
    options.setdefault("timeout_ms", int(PATIENCE * 1000))
    deadline = time.monotonic() + START_BUDGET
    attempt = 0
    while True:
        attempt += 1
        try:
            return vexan.Master(sim, attempts=1, **options)
        except VexanError as error:
            again = time.monotonic() < deadline or attempt < LEAST_START_TRIES
            if error.code != Result.VEXAN_NOT_IDENTIFIED or not again:
                raise
            port = getattr(sim, "port", sim)
            print(f"start on {port}: not identified (attempt {attempt}), trying again", file=sys.stderr)
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
    with Simulator(nodes=[5, 6], start_timeout=PATIENCE) as simulator:
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
def start():
    """``start(sim_or_port, **options)``: start_master, for tests that open
    masters of their own."""
    return start_master


@pytest.fixture
def wait_until():
    """``wait_until(predicate, timeout=PATIENCE)``: polls until true or the time is up."""
    def wait(predicate, timeout=PATIENCE):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if predicate():
                return True
            time.sleep(0.01)
        return predicate()
    return wait
