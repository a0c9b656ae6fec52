"""master.node(): a node's objects by name and type, its TPDOs as named fields, awaitable requests."""

import asyncio
import queue

import pytest

import vexan
from vexan import Direction, NmtState, Pending, Result, VexanError, _library
from vexan.node import PdoFields, SdoObject, SdoVariable
from vexan.od import AccessError
from vexan.sim import Simulator

from conftest import EDS_DIR, start_master

EDS = EDS_DIR / "canopennode_demodevice.eds"
NODE = 5
TPDO1 = 0x180 + NODE


@pytest.fixture
def eds_sim():
    if not EDS.is_file():
        pytest.skip(f"EDS file not found: {EDS}")
    with Simulator(eds=[(EDS, NODE)]) as simulator:
        yield simulator


@pytest.fixture
def node(eds_sim):
    with start_master(eds_sim) as master:
        yield master.node(NODE, eds=EDS)


@pytest.fixture
def library_calls(node):
    """``record()`` replaces every export of the library by a recorder returning VEXAN_OK.

    The exports come back before the node's master closes (monkeypatch would
    restore them after, its fixture being older).
    """
    made = []
    saved = {}
    lib = _library.library()

    def record():
        for name, _, _ in _library.parse_declarations(_library.EXPORTS):
            def recorder(*args, _name=name):
                made.append((_name, args))
                return 0
            saved[name] = getattr(lib, name)
            setattr(lib, name, recorder)
        return made
    yield record
    for name, function in saved.items():
        setattr(lib, name, function)


# (key, sub, value written, value read back)
TYPED = [
    ("Producer heartbeat time", None, 1000, 1000),
    (0x1017, None, 65535, 65535),
    ("Demo record/I64", None, -(1 << 63), -(1 << 63)),
    ("Demo record", "U64", (1 << 64) - 1, (1 << 64) - 1),
    (0x2120, 3, -3.25, -3.25),
    ("R64", None, 1e300, 1e300),
    ("Demo strings/String short", None, "hello", "hello"),
    (0x2121, "Octet string", b"\x01\x02\x03", b"\x01\x02\x03"),
]


@pytest.mark.parametrize("key, sub, value, back", TYPED)
def test_typed_write_and_read_back(node, key, sub, value, back):
    variable = node.sdo.variable(key, sub)
    variable.raw = value
    assert variable.raw == back
    assert type(variable.raw) is type(back)


def test_objects_by_name_by_index_and_sub(node):
    identity = node.sdo[0x1018]
    assert isinstance(identity, SdoObject)
    vendor = node.od.variable("Identity/Vendor-ID").default  # what the simulated node holds
    assert identity[1].raw == identity["Vendor-ID"].raw == node.sdo["Identity/Vendor-ID"].raw == vendor
    assert isinstance(identity[4].raw, int) and identity[4].index == 0x1018 and identity[4].subindex == 4
    heartbeat = node.sdo["Producer heartbeat time"]
    assert isinstance(heartbeat, SdoVariable) and heartbeat.index == 0x1017
    heartbeat.raw = 250
    # The same object, raw bytes through the untyped service.
    assert node._master.sdo.read(NODE, 0x1017) == (250).to_bytes(2, "little")
    assert heartbeat.data == b"\xfa\x00"
    heartbeat.data = b"\x10\x00"
    assert heartbeat.raw == 16
    assert node.sdo["Demo record/R32"].raw == pytest.approx(12.345)  # the EDS's default, as a REAL32


REFUSED = [
    (lambda n: setattr(n.sdo["Producer heartbeat time"], "raw", 65536), ValueError,
     r"Producer heartbeat time \(1017/00\): value 65536 is outside the range of UNSIGNED16, 0\.\.65535"),
    (lambda n: n.sdo["Demo record/I64"].write(-(1 << 63) - 1), ValueError, "outside the range of INTEGER64"),
    (lambda n: n.sdo.variable(0x2120, 3).write(1e39), ValueError,
     r"\(2120/03\): value 1e\+39 is outside the range of REAL32"),
    (lambda n: n.sdo["Producer heartbeat time"].write("1000"), TypeError, "an integer is written, not str"),
    (lambda n: setattr(n.sdo[0x1018][1], "raw", 5), AccessError,
     r"Identity/Vendor-ID \(1018/01\) is ro: it cannot be written"),
    (lambda n: setattr(n.sdo[0x1018]["Vendor-ID"], "data", b"\0\0\0\0"), AccessError, "is ro"),
    (lambda n: n.sdo["Demo strings/String short"].write(""), ValueError, r"the module writes 1\.\.248 bytes, got 0"),
    (lambda n: n.sdo["Demo strings/String long"].write("x" * 249), ValueError, "1..248 bytes, got 249"),
]


@pytest.mark.parametrize("call, error, message", REFUSED)
def test_refused_writes_send_nothing(node, library_calls, call, error, message):
    made = library_calls()
    with pytest.raises(error, match=message):
        call(node)
    assert made == []


def test_a_refused_write_leaves_the_value(node):
    node.sdo["Producer heartbeat time"].raw = 100
    with pytest.raises(ValueError):
        node.sdo["Producer heartbeat time"].raw = 70000
    assert node.sdo["Producer heartbeat time"].raw == 100


def install_tpdo1(node):
    master = node._master
    master.pdo.install(NODE, TPDO1, Direction.TX, 1)
    node.nmt.start()
    assert node.nmt.state == NmtState.OPERATIONAL


def test_tpdo_read_gives_named_fields(node, eds_sim, wait_until):
    install_tpdo1(node)
    tpdo = node.tpdo[1]
    assert tpdo.cob_id == TPDO1
    assert tpdo.mapping == [0x60000108, 0x60000208]
    assert tpdo.read() is None  # nothing received yet
    eds_sim.command(f"node-pdo 0x{TPDO1:X} 0A0B")
    assert wait_until(lambda: node._master.pdo.last(TPDO1, wait=True) is not None)
    fields = tpdo.read()
    assert isinstance(fields, PdoFields)
    # Both mapped objects are named "Input": each key carries its place.
    assert fields == {"Input (6000/01)": 10, "Input (6000/02)": 11}
    assert fields.cob_id == TPDO1 and fields.data == b"\x0a\x0b" and not fields.fresh
    assert [(f.index, f.subindex, f.bits) for f in fields.fields] == [(0x6000, 1, 8), (0x6000, 2, 8)]
    assert fields.fields[0].entry is node.od.variable(0x6000, 1)
    # A remote request asks the node: its inputs are 0.
    assert tpdo.read(remote=True) == {"Input (6000/01)": 0, "Input (6000/02)": 0}


def test_a_pdo_the_module_lacks_is_named_in_the_error(node):
    with pytest.raises(LookupError, match="TPDO 3 of node 5 is not installed on the module"):
        node.tpdo[3].read()
    with pytest.raises(ValueError, match="number must be in 1..512, got 0"):
        node.tpdo[0]


def test_rpdo_write_by_named_fields(node, library_calls):
    master = node._master
    master.pdo.install(NODE, 0x200 + NODE, Direction.RX, 1)
    node.nmt.start()
    rpdo = node.rpdo[1]
    assert (rpdo.cob_id, rpdo.mapping) == (0x200 + NODE, [0x62000108, 0x62000208])
    rpdo.write({"Output (6200/01)": 0x11, "Output (6200/02)": 0x22})
    assert [node.sdo.variable(0x6200, sub).raw for sub in (1, 2)] == [0x11, 0x22]
    assert rpdo.encode({"Output (6200/01)": 1, "Output (6200/02)": 255}) == b"\x01\xff"
    made = library_calls()
    with pytest.raises(ValueError, match=r"Output \(6200/02\): value 256 is outside the range of UNSIGNED8"):
        rpdo.write({"Output (6200/01)": 1, "Output (6200/02)": 256})
    with pytest.raises(ValueError, match=r"missing \['Output \(6200/02\)'\]; unknown \['Output'\]"):
        rpdo.write({"Output (6200/01)": 1, "Output": 2})
    assert made == []


def test_callbacks_receive_fresh_fields(node, eds_sim):
    install_tpdo1(node)
    received = queue.Queue()

    def failing(fields):
        raise RuntimeError("a callback's own fault")

    node.pdo_poll_interval = 0.01
    tpdo = node.tpdo[1]
    try:
        tpdo.add_callback(failing)
        tpdo.add_callback(received.put)
        for data, expected in ((b"\x01\x02", [1, 2]), (b"\x07\x08", [7, 8])):
            eds_sim.command(f"node-pdo 0x{TPDO1:X} {data.hex()}")
            fields = received.get(timeout=20)
            assert list(fields.values()) == expected and fields.fresh and fields.data == data
        tpdo.remove_callback(failing)
        tpdo.remove_callback(received.put)
        assert node._watcher._thread is None  # the last callback gone, the polling ended
    finally:
        node.close()


def test_callbacks_stop_with_the_master(eds_sim):
    master = start_master(eds_sim)
    node = master.node(NODE, eds=EDS)
    install_tpdo1(node)
    node.tpdo[1].add_callback(lambda fields: None)
    thread = node._watcher._thread
    assert thread is not None and thread.is_alive()
    master.close()
    assert not thread.is_alive()


def test_nmt_shortcuts(node):
    node.nmt.start()
    assert node.nmt.state == NmtState.OPERATIONAL
    node.nmt.stop()
    assert node.nmt.state == NmtState.STOPPED
    node.nmt.pre_operational()
    assert node.nmt.state == NmtState.PRE_OPERATIONAL


def test_a_node_needs_its_eds_or_model(eds_sim):
    with start_master(eds_sim) as master:
        with pytest.raises(ValueError, match=r"give the node's EDS file \(eds=\) or its model \(od=\)"):
            master.node(NODE)
        with pytest.raises(FileNotFoundError):
            master.node(NODE, eds=EDS_DIR / "missing.eds")
        shared = vexan.read_eds(EDS, node=NODE)
        assert master.node(NODE, od=shared).od is shared


def test_pending_requests_are_awaitable(node):
    master = node._master

    async def main():
        first = master.sdo.read(NODE, 0x1017, wait=False)
        assert isinstance(first, Pending)
        assert await first == b"\0\0"
        heartbeat = node.sdo["Producer heartbeat time"]
        await heartbeat.write(1234, wait=False)
        # Several requests at once on one event loop, none on a thread of its own
        # (one request per command and node may be pending at a time).
        values = await asyncio.gather(heartbeat.read(wait=False), master.nmt.state(NODE, wait=False),
                                      master.firmware_version(wait=False))
        assert values[:2] == [1234, NmtState.PRE_OPERATIONAL] and isinstance(values[2], int)
        with pytest.raises(VexanError) as caught:
            await master.sdo.read(NODE, 0x3000, wait=False)
        assert caught.value.code == Result.VEXAN_SDO_ABORTED
        # A request handed to the poller thread is awaited through its future.
        pending = master.sdo.read(NODE, 0x1017, wait=False)
        future = pending.future()
        assert await pending == (1234).to_bytes(2, "little") == future.result(0)
        return "done"

    assert asyncio.run(main()) == "done"


def test_a_cancelled_await_leaves_its_request_to_the_poller(node, eds_sim, wait_until):
    master = node._master
    master.set_timeout(20000)
    eds_sim.command("fault delay 1000")  # every reply comes a second late
    pending = node.sdo["Producer heartbeat time"].read(wait=False)

    async def main():
        task = asyncio.ensure_future(pending)
        await asyncio.sleep(0.05)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    asyncio.run(main())
    eds_sim.command("fault none")
    # Nobody waits for it, yet the answer is collected (by the poller thread).
    assert wait_until(pending.done, timeout=20)
    assert pending.future() is pending.future()
    assert pending.future().result(0) == 0
