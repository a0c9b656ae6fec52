"""SDO transfers: values both ways, large uploads, aborts, pending requests."""

import pytest

from vexan import Pending, Result, VexanError

# Seconds a test waits for what normally comes within milliseconds: a loaded
# machine, or the virtual machine standing still, can hold it back that long.
PATIENCE = 30.0


def pattern(size):
    """The simulator's domain objects hold (i * 7 + 3) & 0xFF at offset i."""
    return bytes((i * 7 + 3) & 0xFF for i in range(size))


def test_identity_of_the_simulated_device(master):
    identity = master.nodes.identity(5)
    assert identity.vendor == 0x0056584E
    assert identity.product == 0x00000401
    assert identity.serial == 0x1000 + 5
    assert master.nodes.identity(6).serial == 0x1000 + 6


@pytest.mark.parametrize("sub, data", [
    (1, b"\xa5"),
    (2, b"\x34\x12"),
    (3, b"\x78\x56\x34\x12"),
    (4, b"a longer string than four bytes"),
])
def test_write_then_read_back(master, sub, data):
    master.sdo.write(5, 0x2000, sub, data)
    assert master.sdo.read(5, 0x2000, sub) == data
    assert master.sdo.read(6, 0x2000, sub) != data  # the other node is untouched


def test_integers_by_size(master):
    master.sdo.write_int(5, 0x2000, 2, -2, 2, signed=True)
    assert master.sdo.read_int(5, 0x2000, 2, signed=True) == -2
    assert master.sdo.read_int(5, 0x2000, 2) == 0xFFFE


@pytest.mark.parametrize("index, size", [(0x2100, 5000), (0x2101, 1 << 20)])
def test_large_upload_comes_back_whole_from_its_spill_file(master, scratch_cwd, index, size):
    master.set_timeout(120000)
    data = master.sdo.read(5, index, 0)
    assert len(data) == size
    assert data == pattern(size)
    assert (scratch_cwd / f"{master.slot}_5_{index:04X}_00.seg").stat().st_size == size


def test_small_object_stays_in_memory(master, scratch_cwd):
    assert master.sdo.read(5, 0x1008, 0) == b"Vexan I/O node"
    assert not list(scratch_cwd.glob("*.seg"))


@pytest.mark.parametrize("call, abort", [
    (lambda m, s: m.sdo.read(5, 0x3000, 0), 0x06020000),
    (lambda m, s: m.sdo.read(5, 0x2000, 9), 0x06090011),
    (lambda m, s: m.sdo.write(5, 0x1018, 1, b"\0\0\0\0"), 0x06010002),
    (lambda m, s: s.command("silent 5 on") and m.sdo.read(5, 0x1018, 1), 0x05040000),
])
def test_an_abort_carries_code_name_and_meaning(master, sim, call, abort):
    with pytest.raises(VexanError) as caught:
        call(master, sim)
    error = caught.value
    assert error.code == Result.VEXAN_SDO_ABORTED == 25
    assert error.name == "VEXAN_SDO_ABORTED"
    assert error.abort_code == abort
    assert f"abort 0x{abort:08X} {error.abort_text}" in str(error)
    assert error.abort_text != "unknown abort code"


@pytest.mark.parametrize("call", [
    lambda m: m.sdo.write(5, 0x2000, 4, bytes(249)),
    lambda m: m.sdo.read(128, 0x1000, 0),
])
def test_refused_before_anything_is_sent(master, call):
    with pytest.raises(ValueError):
        call(master)
    assert master.sdo.read(5, 0x1008, 0) == b"Vexan I/O node"  # the line is still in step


def test_polled_request(master):
    pending = master.sdo.read(5, 0x1018, 1, wait=False)
    assert isinstance(pending, Pending)
    while not pending.poll():
        pass
    assert pending.done()
    assert pending.result() == bytes.fromhex("4E585600")


def test_futures_of_several_nodes_at_once(master):
    futures = {node: master.sdo.read(node, 0x1018, 4, wait=False).future() for node in (5, 6)}
    assert {node: f.result(PATIENCE) for node, f in futures.items()} == {
        5: (0x1005).to_bytes(4, "little"), 6: (0x1006).to_bytes(4, "little")}
    # A polled request owned by a future is not polled by hand.
    pending = master.sdo.read(5, 0x1008, 0, wait=False)
    future = pending.future()
    assert future.result(PATIENCE) == b"Vexan I/O node"


def test_a_failing_future_raises_its_error(master):
    future = master.sdo.read(5, 0x3000, 0, wait=False).future()
    error = future.exception(PATIENCE)
    assert isinstance(error, VexanError) and error.abort_code == 0x06020000


def test_an_unanswered_request_times_out_with_its_code(master, sim):
    master.set_timeout(300)
    # Node 5's next SDO read result (command 16) only: an event poll's answer
    # must not be lost in its place.
    sim.command("fault drop 1 16 5")
    with pytest.raises(VexanError) as caught:
        master.sdo.read(5, 0x1018, 1)
    assert caught.value.code == Result.VEXAN_TIMEOUT
    assert str(caught.value) == ("sdo read node 5 1018/01: VEXAN_TIMEOUT (35): "
                                 "time-out: no final reply within the function time-out")
    master.set_timeout(int(PATIENCE * 1000))  # 300 ms is short for a loaded machine
    assert master.sdo.read(5, 0x1018, 1) == bytes.fromhex("4E585600")  # the next one goes through


def test_closing_ends_open_futures(sim, start):
    master = start(sim)
    master.set_timeout(60000)
    sim.command("fault drop 1000 16 5")
    future = master.sdo.read(5, 0x1018, 1, wait=False).future()
    master.close()
    error = future.exception(PATIENCE)
    assert isinstance(error, VexanError) and error.code == Result.VEXAN_NOT_OPEN
