"""Configuring a node from a real EDS file."""

import pytest

from vexan import Direction, NmtState, Result, VexanError
from vexan.sim import Simulator

EDS = "canopennode_demodevice.eds"


@pytest.fixture
def eds_master(eds_dir, start):
    with Simulator(eds=[(eds_dir / EDS, 10)]) as sim, start(sim) as master:
        yield master


def test_load_installs_what_the_file_describes(eds_master, eds_dir):
    master = eds_master
    assert master.pdo.ids(10, Direction.TX) == []
    master.eds.load(10, eds_dir / EDS)
    assert 10 in master.nodes.list()
    assert master.nmt.state(10) == NmtState.OPERATIONAL
    # The file's transmit PDOs are node-relative: 0x180 + id, 0x280 + id.
    assert master.pdo.ids(10, Direction.TX) == [0x18A, 0x28A]
    assert master.pdo.ids(10, Direction.RX) == [0x20A, 0x30A]


def test_load_as_future(eds_master, eds_dir):
    future = eds_master.eds.load(10, eds_dir / EDS, wait=False).future()
    assert future.result(60) is None
    assert eds_master.pdo.ids(10, Direction.TX) == [0x18A, 0x28A]


@pytest.mark.parametrize("path", ["/nonexistent/node.eds", "x"])
def test_a_missing_file_fails_with_its_code(master, path):
    with pytest.raises(VexanError) as caught:
        master.eds.load(5, path)
    assert caught.value.code == Result.VEXAN_EDS_FILE
    assert f"eds load node 5 from {path}: VEXAN_EDS_FILE (50)" in str(caught.value)
