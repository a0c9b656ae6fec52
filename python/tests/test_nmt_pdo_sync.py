"""NMT state changes, PDO exchange and SYNC against the simulator."""

import pytest

from vexan import Direction, NmtState

# Seconds a test waits for what normally comes within milliseconds: a loaded
# machine, or the virtual machine standing still, can hold it back that long.
PATIENCE = 30.0

RX_PDO = 0x205  # node 5's first receive PDO: outputs 0x6200/1..4
TX_PDO = 0x185  # node 5's first transmit PDO: inputs 0x6000/1..4


@pytest.mark.parametrize("change, state", [
    ("start", NmtState.OPERATIONAL),
    ("stop", NmtState.STOPPED),
    ("pre_operational", NmtState.PRE_OPERATIONAL),
])
def test_state_changes(master, change, state):
    getattr(master.nmt, change)(5)
    assert master.nmt.state(5) == state
    assert master.nmt.state(6) == NmtState.PRE_OPERATIONAL  # only the node addressed


def test_state_of_a_node_id_outside_the_range_is_refused(master):
    with pytest.raises(ValueError, match="node must be in 1..127, got 200"):
        master.nmt.state(200)
    assert master.nmt.state(5) == NmtState.PRE_OPERATIONAL


def test_state_as_future(master):
    master.nmt.start(6)
    assert master.nmt.state(6, wait=False).future().result(PATIENCE) == NmtState.OPERATIONAL


def test_node_list_follows_remove_and_add(master):
    master.nodes.remove(6)
    assert master.nodes.list() == [5]
    master.nodes.add(6)
    assert master.nodes.list() == [5, 6]


def test_pdo_exchange(master, wait_until):
    master.pdo.install(5, RX_PDO, Direction.RX, 1)
    master.pdo.install(5, TX_PDO, Direction.TX, 1)
    assert master.pdo.ids(5, Direction.RX) == [RX_PDO]
    assert master.pdo.ids(5, Direction.TX) == [TX_PDO]
    master.nmt.start(5)
    # Master -> node: the RxPDO sets the node's outputs.
    master.pdo.write(RX_PDO, b"\x11\x22\x33\x44")
    assert [master.sdo.read(5, 0x6200, sub) for sub in range(1, 5)] == [b"\x11", b"\x22", b"\x33", b"\x44"]
    master.pdo.write_fast(RX_PDO, b"\x55\x66\x77\x88")
    assert wait_until(lambda: master.sdo.read(5, 0x6200, 4) == b"\x88")
    # Node -> master: the TxPDO answers a remote request with the inputs.
    assert master.pdo.remote(TX_PDO) == bytes(4)
    last = master.pdo.last(TX_PDO)
    assert last is not None and last.data == bytes(4)


def test_a_pdo_the_node_sends_is_cached_by_the_module(master, sim, wait_until):
    master.pdo.install(5, TX_PDO, Direction.TX, 1)
    master.nmt.start(5)
    assert master.pdo.last(TX_PDO) is None  # nothing received yet
    sim.command(f"node-pdo 0x{TX_PDO:X} 5AA5")
    assert wait_until(lambda: master.pdo.last(TX_PDO) is not None)
    assert master.pdo.last(TX_PDO).data == b"\x5a\xa5"
    assert master.pdo.last_many([TX_PDO])[0].data == b"\x5a\xa5"


def test_sync_makes_a_synchronous_tpdo_go_out(master, wait_until):
    master.pdo.install(5, TX_PDO, Direction.TX, 1)
    master.pdo.set_transmission_type(TX_PDO, 1)
    master.nmt.start(5)
    assert master.sync.get_id(5) == 0x80
    assert master.pdo.last(TX_PDO) is None
    master.sync.send(0x80)
    assert wait_until(lambda: master.pdo.last(TX_PDO) is not None)
    assert master.pdo.last(TX_PDO).data == bytes(4)


def test_pdo_longer_than_eight_bytes_is_refused(master):
    with pytest.raises(ValueError, match="data must hold 0..8 bytes, got 9"):
        master.pdo.write(RX_PDO, bytes(9))
