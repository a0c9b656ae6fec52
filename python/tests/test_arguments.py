"""Every argument of every public method is checked before the library is called.

ctypes would cut an int to the C parameter's width: index 0x11018 would read
object 0x1018, node 261 would address node 5. Each case below passes one
argument just outside its range; the call must raise ValueError naming the
argument and its range, and no export of the library may have been called.
"""

import inspect

import pytest

import vexan
from vexan import Direction, _library
from vexan.events import Events
from vexan.master import Eds, Emcy, Master, Nmt, Nodes, Pdo, Sdo, Sync
from vexan.node import Node, NodeNmt, NodeSdo, Rpdo, SdoObject, SdoVariable, Tpdo
from vexan.sim import Simulator

from conftest import EDS_DIR

# (method, argument, call(master, sim), what the message says)
CASES = [
    ("Master", "slot", lambda m, s: Master(s, slot=8), "slot must be in 0..7, got 8"),
    ("Master", "slot", lambda m, s: Master(s, slot=-1), "slot must be in 0..7, got -1"),
    ("Master", "master_id", lambda m, s: Master(s, master_id=261), "master_id must be in 0..127, got 261"),
    ("Master", "init_param", lambda m, s: Master(s, init_param=256), "init_param must be in 0..255, got 256"),
    ("Master", "timeout_ms", lambda m, s: Master(s, timeout_ms=0), "timeout_ms must be in 1..4294967295, got 0"),
    ("Master", "attempts", lambda m, s: Master(s, attempts=0), "attempts must be in 1..100, got 0"),
    ("Master", "baud", lambda m, s: Master(s.port, baud=1234), "unsupported baud rate 1234"),
    ("Master", "port", lambda m, s: Master((1 << 32) + 1), "port must be in 0..2147483647, got 4294967297"),
    ("Master", "port", lambda m, s: Master(-1), "port must be in 0..2147483647, got -1"),
    ("Master.set_timeout", "ms", lambda m, s: m.set_timeout(1 << 32), "ms must be in 1..4294967295, got 4294967296"),
    ("Master.set_timeout", "ms", lambda m, s: m.set_timeout(0), "ms must be in 1..4294967295, got 0"),
    ("Master.set_mode", "mode", lambda m, s: m.set_mode(256), "mode must be in 0..255, got 256"),
    ("Nodes.scan", "param1", lambda m, s: m.nodes.scan(256), "param1 must be in 0..255, got 256"),
    ("Nodes.scan", "param2", lambda m, s: m.nodes.scan(0, -1), "param2 must be in 0..255, got -1"),
    ("Nodes.add", "node", lambda m, s: m.nodes.add(261), "node must be in 1..127, got 261"),
    ("Nodes.add", "param", lambda m, s: m.nodes.add(5, 256), "param must be in 0..255, got 256"),
    ("Nodes.add", "word1", lambda m, s: m.nodes.add(5, 0, 0x10000), "word1 must be in 0..65535, got 65536"),
    ("Nodes.add", "word2", lambda m, s: m.nodes.add(5, 0, 0, 0x10000), "word2 must be in 0..65535, got 65536"),
    ("Nodes.remove", "node", lambda m, s: m.nodes.remove(0), "node must be in 1..127, got 0"),
    ("Nodes.set_timing", "node", lambda m, s: m.nodes.set_timing(128, 0, 0), "node must be in 1..127, got 128"),
    ("Nodes.set_timing", "delay", lambda m, s: m.nodes.set_timing(5, 0x10000, 0), "delay must be in 0..65535"),
    ("Nodes.set_timing", "response_timeout", lambda m, s: m.nodes.set_timing(5, 0, -1),
     "response_timeout must be in 0..65535, got -1"),
    ("Nodes.identity", "node", lambda m, s: m.nodes.identity(261), "node must be in 1..127, got 261"),
    ("Nmt.change", "node", lambda m, s: m.nmt.change(128, 1), "node must be in 0..127 (0: every node), got 128"),
    ("Nmt.change", "command", lambda m, s: m.nmt.change(5, 257), "command must be in 0..255, got 257"),
    ("Nmt.start", "node", lambda m, s: m.nmt.start(261), "node must be in 0..127 (0: every node), got 261"),
    ("Nmt.stop", "node", lambda m, s: m.nmt.stop(-1), "node must be in 0..127 (0: every node), got -1"),
    ("Nmt.pre_operational", "node", lambda m, s: m.nmt.pre_operational(128), "node must be in 0..127"),
    ("Nmt.reset", "node", lambda m, s: m.nmt.reset(256), "node must be in 0..127 (0: every node), got 256"),
    ("Nmt.reset_communication", "node", lambda m, s: m.nmt.reset_communication(133), "node must be in 0..127"),
    ("Nmt.state", "node", lambda m, s: m.nmt.state(0), "node must be in 1..127, got 0"),
    ("Nmt.guarding", "node", lambda m, s: m.nmt.guarding(261, 100, 3), "node must be in 1..127, got 261"),
    ("Nmt.guarding", "guard_time", lambda m, s: m.nmt.guarding(5, 0x10000, 3), "guard_time must be in 0..65535"),
    ("Nmt.guarding", "life_time_factor", lambda m, s: m.nmt.guarding(5, 100, 256),
     "life_time_factor must be in 0..255, got 256"),
    ("Nmt.heartbeat", "node", lambda m, s: m.nmt.heartbeat(128, 0, 0), "node must be in 1..127, got 128"),
    ("Nmt.heartbeat", "time1", lambda m, s: m.nmt.heartbeat(5, 0x10000, 0), "time1 must be in 0..65535"),
    ("Nmt.heartbeat", "time2", lambda m, s: m.nmt.heartbeat(5, 0, 0x10000), "time2 must be in 0..65535"),
    ("Sdo.read", "node", lambda m, s: m.sdo.read(261, 0x1018, 1), "node must be in 1..127, got 261"),
    ("Sdo.read", "node", lambda m, s: m.sdo.read(0, 0x1018, 1), "node must be in 1..127, got 0"),
    ("Sdo.read", "index", lambda m, s: m.sdo.read(5, 0x11018, 1), "index must be in 0x0000..0xFFFF, got 0x11018"),
    ("Sdo.read", "index", lambda m, s: m.sdo.read(5, 0x10000), "index must be in 0x0000..0xFFFF, got 0x10000"),
    ("Sdo.read", "index", lambda m, s: m.sdo.read(5, -1), "index must be in 0x0000..0xFFFF, got -1"),
    ("Sdo.read", "sub", lambda m, s: m.sdo.read(5, 0x1018, 257), "sub must be in 0x00..0xFF, got 0x101"),
    ("Sdo.read_int", "node", lambda m, s: m.sdo.read_int(128, 0x1018, 1), "node must be in 1..127, got 128"),
    ("Sdo.read_int", "index", lambda m, s: m.sdo.read_int(5, 0x21018, 1), "index must be in 0x0000..0xFFFF"),
    ("Sdo.read_int", "sub", lambda m, s: m.sdo.read_int(5, 0x1018, 0x100), "sub must be in 0x00..0xFF, got 0x100"),
    ("Sdo.write", "node", lambda m, s: m.sdo.write(261, 0x2000, 3, b"\1"), "node must be in 1..127, got 261"),
    ("Sdo.write", "index", lambda m, s: m.sdo.write(5, 0x12000, 3, b"\1"), "index must be in 0x0000..0xFFFF"),
    ("Sdo.write", "sub", lambda m, s: m.sdo.write(5, 0x2000, 0x103, b"\1"), "sub must be in 0x00..0xFF, got 0x103"),
    ("Sdo.write", "data", lambda m, s: m.sdo.write(5, 0x2000, 4, bytes(249)),
     "data must hold 1..248 bytes, got 249"),
    ("Sdo.write", "data", lambda m, s: m.sdo.write(5, 0x2000, 4, b""), "data must hold 1..248 bytes, got 0"),
    ("Sdo.write_int", "node", lambda m, s: m.sdo.write_int(0, 0x2000, 3, 1, 4), "node must be in 1..127, got 0"),
    ("Sdo.write_int", "index", lambda m, s: m.sdo.write_int(5, 0x12000, 3, 0xDEAD, 2),
     "index must be in 0x0000..0xFFFF, got 0x12000"),
    ("Sdo.write_int", "sub", lambda m, s: m.sdo.write_int(5, 0x2000, 259, 1, 1), "sub must be in 0x00..0xFF"),
    ("Sdo.write_int", "value", lambda m, s: m.sdo.write_int(5, 0x2000, 1, 0x100, 1),
     "value must be in 0x00..0xFF (unsigned, 1 byte), got 0x100"),
    ("Sdo.write_int", "value", lambda m, s: m.sdo.write_int(5, 0x2000, 2, -1, 2),
     "value must be in 0x0000..0xFFFF (unsigned, 2 bytes), got -1"),
    ("Sdo.write_int", "value", lambda m, s: m.sdo.write_int(5, 0x2000, 2, 0x8000, 2, signed=True),
     "value must be in -32768..32767 (signed, 2 bytes), got 32768"),
    ("Sdo.write_int", "size", lambda m, s: m.sdo.write_int(5, 0x2000, 2, 0, 0), "size must be in 1..248, got 0"),
    ("Sdo.abort", "node", lambda m, s: m.sdo.abort(128, 0x2000, 0, 0x08000000), "node must be in 1..127"),
    ("Sdo.abort", "index", lambda m, s: m.sdo.abort(5, 0x10000, 0, 0x08000000), "index must be in 0x0000..0xFFFF"),
    ("Sdo.abort", "sub", lambda m, s: m.sdo.abort(5, 0x2000, 256, 0x08000000), "sub must be in 0x00..0xFF"),
    ("Sdo.abort", "abort_code", lambda m, s: m.sdo.abort(5, 0x2000, 0, 1 << 32),
     "abort_code must be in 0x00000000..0xFFFFFFFF, got 0x100000000"),
    ("Pdo.write", "cob_id", lambda m, s: m.pdo.write(0x10205, b"\1"), "cob_id must be in 0x000..0x7FE, got 0x10205"),
    ("Pdo.write", "cob_id", lambda m, s: m.pdo.write(0x7FF, b"\1"), "cob_id must be in 0x000..0x7FE, got 0x7FF"),
    ("Pdo.write", "data", lambda m, s: m.pdo.write(0x205, bytes(9)), "data must hold 0..8 bytes, got 9"),
    ("Pdo.write", "parameter", lambda m, s: m.pdo.write(0x205, b"\1", 256), "parameter must be in 0..255"),
    ("Pdo.write_fast", "cob_id", lambda m, s: m.pdo.write_fast(0x800, b"\1"), "cob_id must be in 0x000..0x7FE"),
    ("Pdo.write_fast", "data", lambda m, s: m.pdo.write_fast(0x205, bytes(9)), "data must hold 0..8 bytes, got 9"),
    ("Pdo.write_fast", "parameter", lambda m, s: m.pdo.write_fast(0x205, b"", -1), "parameter must be in 0..255"),
    ("Pdo.remote", "cob_id", lambda m, s: m.pdo.remote(0x10185), "cob_id must be in 0x000..0x7FE, got 0x10185"),
    ("Pdo.remote_fast", "cob_id", lambda m, s: m.pdo.remote_fast(0x800), "cob_id must be in 0x000..0x7FE"),
    ("Pdo.last", "cob_id", lambda m, s: m.pdo.last(-1), "cob_id must be in 0x000..0x7FE, got -1"),
    ("Pdo.last_many", "cob_ids", lambda m, s: m.pdo.last_many([0x185, 0x10185]),
     "cob_ids[1] must be in 0x000..0x7FE, got 0x10185"),
    ("Pdo.last_many", "cob_ids", lambda m, s: m.pdo.last_many([0x185] * 26), "cob_ids holds at most 25 items, got 26"),
    ("Pdo.set_polling", "cob_ids", lambda m, s: m.pdo.set_polling([0x800], 10),
     "cob_ids[0] must be in 0x000..0x7FE, got 0x800"),
    ("Pdo.set_polling", "cob_ids", lambda m, s: m.pdo.set_polling([0x185] * 126, 10),
     "cob_ids holds at most 125 items, got 126"),
    ("Pdo.set_polling", "value", lambda m, s: m.pdo.set_polling([0x185], 0x10000), "value must be in 0..65535"),
    ("Pdo.install", "node", lambda m, s: m.pdo.install(261, 0x205, 0, 1), "node must be in 1..127, got 261"),
    ("Pdo.install", "cob_id", lambda m, s: m.pdo.install(5, 0x10205, 0, 1), "cob_id must be in 0x000..0x7FE"),
    ("Pdo.install", "direction", lambda m, s: m.pdo.install(5, 0x205, 2, 1),
     "direction must be in 0..1 (Direction.RX or Direction.TX), got 2"),
    ("Pdo.install", "number", lambda m, s: m.pdo.install(5, 0x205, 0, 513), "number must be in 1..512, got 513"),
    ("Pdo.install", "number", lambda m, s: m.pdo.install(5, 0x205, 0, 0), "number must be in 1..512, got 0"),
    ("Pdo.remove", "node", lambda m, s: m.pdo.remove(0, 0x205, 0), "node must be in 1..127, got 0"),
    ("Pdo.remove", "cob_id", lambda m, s: m.pdo.remove(5, 0x800, 0), "cob_id must be in 0x000..0x7FE"),
    ("Pdo.remove", "direction", lambda m, s: m.pdo.remove(5, 0x205, 256), "direction must be in 0..1"),
    ("Pdo.install_mapped", "node", lambda m, s: m.pdo.install_mapped(128, 0x205, 0, 1), "node must be in 1..127"),
    ("Pdo.install_mapped", "cob_id", lambda m, s: m.pdo.install_mapped(5, 0x800, 0, 1), "cob_id must be in"),
    ("Pdo.install_mapped", "direction", lambda m, s: m.pdo.install_mapped(5, 0x205, -1, 1),
     "direction must be in 0..1"),
    ("Pdo.install_mapped", "number", lambda m, s: m.pdo.install_mapped(5, 0x205, 0, 0x10001),
     "number must be in 1..512"),
    ("Pdo.install_mapped", "entries", lambda m, s: m.pdo.install_mapped(5, 0x205, 0, 1, [0x62000108] * 9),
     "entries holds at most 8 items, got 9"),
    ("Pdo.install_mapped", "entries", lambda m, s: m.pdo.install_mapped(5, 0x205, 0, 1, [0x162000108]),
     "entries[0] must be in 0x00000000..0xFFFFFFFF, got 0x162000108"),
    ("Pdo.install_mapped", "transmission_type", lambda m, s: m.pdo.install_mapped(5, 0x205, 0, 1, (), 256),
     "transmission_type must be in 0..255, got 256"),
    ("Pdo.install_mapped", "event_timer", lambda m, s: m.pdo.install_mapped(5, 0x205, 0, 1, (), 255, 0x10000),
     "event_timer must be in 0..65535"),
    ("Pdo.remove_mapped", "node", lambda m, s: m.pdo.remove_mapped(261, 0x205, 0), "node must be in 1..127"),
    ("Pdo.remove_mapped", "cob_id", lambda m, s: m.pdo.remove_mapped(5, 0x10205, 0), "cob_id must be in"),
    ("Pdo.remove_mapped", "direction", lambda m, s: m.pdo.remove_mapped(5, 0x205, 3), "direction must be in 0..1"),
    ("Pdo.ids", "node", lambda m, s: m.pdo.ids(261, Direction.RX), "node must be in 1..127, got 261"),
    ("Pdo.ids", "direction", lambda m, s: m.pdo.ids(5, 7), "direction must be in 0..1"),
    ("Pdo.change_id", "cob_id", lambda m, s: m.pdo.change_id(0x10205, 0x206), "cob_id must be in 0x000..0x7FE"),
    ("Pdo.change_id", "new_cob_id", lambda m, s: m.pdo.change_id(0x205, 0x10206),
     "new_cob_id must be in 0x000..0x7FE, got 0x10206"),
    ("Pdo.dynamic", "node", lambda m, s: m.pdo.dynamic(128, 0x205, 0, 0, 0), "node must be in 1..127"),
    ("Pdo.dynamic", "cob_id", lambda m, s: m.pdo.dynamic(5, 0x800, 0, 0, 0), "cob_id must be in 0x000..0x7FE"),
    ("Pdo.dynamic", "first", lambda m, s: m.pdo.dynamic(5, 0x205, 256, 0, 0), "first must be in 0..255"),
    ("Pdo.dynamic", "second", lambda m, s: m.pdo.dynamic(5, 0x205, 0, 256, 0), "second must be in 0..255"),
    ("Pdo.dynamic", "value", lambda m, s: m.pdo.dynamic(5, 0x205, 0, 0, 1 << 32), "value must be in 0..4294967295"),
    ("Pdo.use_entries", "cob_id", lambda m, s: m.pdo.use_entries(0x800, 1), "cob_id must be in 0x000..0x7FE"),
    ("Pdo.use_entries", "entries", lambda m, s: m.pdo.use_entries(0x205, 256), "entries must be in 0..255"),
    ("Pdo.set_transmission_type", "cob_id", lambda m, s: m.pdo.set_transmission_type(0x800, 1), "cob_id must be"),
    ("Pdo.set_transmission_type", "transmission_type", lambda m, s: m.pdo.set_transmission_type(0x185, 256),
     "transmission_type must be in 0..255, got 256"),
    ("Pdo.set_event_timer", "cob_id", lambda m, s: m.pdo.set_event_timer(0x800, 1), "cob_id must be in"),
    ("Pdo.set_event_timer", "ms", lambda m, s: m.pdo.set_event_timer(0x185, 0x10000), "ms must be in 0..65535"),
    ("Pdo.set_inhibit_time", "cob_id", lambda m, s: m.pdo.set_inhibit_time(0x800, 1), "cob_id must be in"),
    ("Pdo.set_inhibit_time", "inhibit_time", lambda m, s: m.pdo.set_inhibit_time(0x185, 0x10000),
     "inhibit_time must be in 0..65535"),
    ("Pdo.map_info", "cob_id", lambda m, s: m.pdo.map_info(0x10185), "cob_id must be in 0x000..0x7FE"),
    ("Sync.send", "cob_id", lambda m, s: m.sync.send(0x10080), "cob_id must be in 0x000..0x7FE, got 0x10080"),
    ("Sync.send", "value16", lambda m, s: m.sync.send(0x80, 0x10000), "value16 must be in 0..65535"),
    ("Sync.send", "value32", lambda m, s: m.sync.send(0x80, 0, 1 << 32), "value32 must be in 0..4294967295"),
    ("Sync.set_id", "node", lambda m, s: m.sync.set_id(261, 0x80), "node must be in 1..127, got 261"),
    ("Sync.set_id", "cob_id", lambda m, s: m.sync.set_id(5, 0x10080), "cob_id must be in 0x000..0x7FE"),
    ("Sync.get_id", "node", lambda m, s: m.sync.get_id(0), "node must be in 1..127, got 0"),
    ("Emcy.last", "node", lambda m, s: m.emcy.last(261), "node must be in 1..127, got 261"),
    ("Emcy.set_id", "node", lambda m, s: m.emcy.set_id(128, 0x85), "node must be in 1..127, got 128"),
    ("Emcy.set_id", "cob_id", lambda m, s: m.emcy.set_id(5, 0x10085), "cob_id must be in 0x000..0x7FE"),
    ("Emcy.get_id", "node", lambda m, s: m.emcy.get_id(261), "node must be in 1..127, got 261"),
    ("Eds.load", "node", lambda m, s: m.eds.load(261, "node.eds"), "node must be in 1..127, got 261"),
    ("Eds.load", "path", lambda m, s: m.eds.load(5, "a.eds\0b.eds"), "path must be a file name without NUL bytes"),
    ("Eds.load", "path", lambda m, s: m.eds.load(5, ""), "path must be a file name without NUL bytes"),
    ("Eds.load", "path", lambda m, s: m.eds.load(5, "x" * 256), "path must hold 1..255 bytes, got 256"),
    ("Eds.load", "word1", lambda m, s: m.eds.load(5, "node.eds", 0x10000), "word1 must be in 0..65535"),
    ("Eds.load", "word2", lambda m, s: m.eds.load(5, "node.eds", 0, -1), "word2 must be in 0..65535, got -1"),
    ("Events.on", "kind", lambda m, s: m.events.on("boot", print), "unknown event kind 'boot'"),
    ("Events.off", "kind", lambda m, s: m.events.off("boot"), "unknown event kind 'boot'"),
    ("Events.respond_sdo_read", "index", lambda m, s: m.events.respond_sdo_read(0x12000, 1, b"\1"),
     "index must be in 0x0000..0xFFFF, got 0x12000"),
    ("Events.respond_sdo_read", "sub", lambda m, s: m.events.respond_sdo_read(0x2000, 256, b"\1"),
     "sub must be in 0x00..0xFF"),
    ("Events.respond_sdo_read", "data", lambda m, s: m.events.respond_sdo_read(0x2000, 1, bytes(5)),
     "data must hold 1..4 bytes, got 5"),
    ("Events.respond_sdo_read", "data", lambda m, s: m.events.respond_sdo_read(0x2000, 1, b""),
     "data must hold 1..4 bytes, got 0"),
    ("Events.respond_sdo_write", "index", lambda m, s: m.events.respond_sdo_write(-1, 1),
     "index must be in 0x0000..0xFFFF, got -1"),
    ("Events.respond_sdo_write", "sub", lambda m, s: m.events.respond_sdo_write(0x2000, 0x101), "sub must be in"),
    ("Events.respond_pdo", "cob_id", lambda m, s: m.events.respond_pdo(0x10185, b""), "cob_id must be in"),
    ("Events.respond_pdo", "data", lambda m, s: m.events.respond_pdo(0x185, bytes(9)),
     "data must hold 0..8 bytes, got 9"),
    ("Master.node", "node", lambda m, s: m.node(261, eds="node.eds"), "node must be in 1..127, got 261"),
    ("Master.node", "eds", lambda m, s: m.node(5), "give the node's EDS file (eds=) or its model (od=)"),
    ("Master.node", "od", lambda m, s: m.node(5, eds="node.eds", od=object()), "or its model (od=), one of them"),
    ("SdoVariable.write", "value", lambda m, s: node_of(m).sdo.variable(0x1017).write(0x10000),
     "Producer heartbeat time (1017/00): value 65536 is outside the range of UNSIGNED16, 0..65535"),
    ("SdoVariable.write", "value", lambda m, s: node_of(m).sdo.variable("Demo record/I64").write(-(1 << 63) - 1),
     "is outside the range of INTEGER64, -9223372036854775808..9223372036854775807"),
    ("Tpdo.decode", "data", lambda m, s: node_of(m).tpdo[1].decode(bytes(9)), "data must hold 0..8 bytes, got 9"),
    ("pause", "ms", lambda m, s: vexan.pause(1 << 32), "ms must be in 0..4294967295, got 4294967296"),
    ("open_serial", "baud", lambda m, s: vexan.open_serial(s.port, 1234), "unsupported baud rate 1234"),
]

# Arguments that need no range: flags, callables, paths (see test_ports.py and the Eds.load rows).
UNCHECKED = {"self", "wait", "reset", "list_form", "signed", "handler", "path", "callback", "remote", "fresh"}
# Methods without arguments to check.
NOTHING_TO_CHECK = {"Master.close", "Master.firmware_version", "Master.can_status", "Master.get_mode",
                    "Master.send_bootup", "Nodes.list", "Sync.cyclic", "resume", "library_version",
                    # A node's objects and PDOs: lookups by key (KeyError, see test_node.py and test_od.py).
                    "NodeSdo.variable", "NodeSdo.object", "SdoVariable.read", "Tpdo.read", "Tpdo.refresh",
                    "Tpdo.add_callback", "Tpdo.remove_callback", "Node.close", "NodeNmt.start", "NodeNmt.stop",
                    "NodeNmt.pre_operational", "NodeNmt.reset", "NodeNmt.reset_communication", "Rpdo.refresh",
                    # An RPDO's values are checked by its mapping, which the module gives (test_node.py).
                    "Rpdo.encode", "Rpdo.write"}

EDS = EDS_DIR / "canopennode_demodevice.eds"


def node_of(master):
    """Node 5 of the master with the model of a real EDS file (read before any export is replaced)."""
    return master.node(5, od=MODEL)


MODEL = vexan.read_eds(EDS, node=5) if EDS.is_file() else None


@pytest.fixture(scope="module")
def one_sim():
    """One simulator for the whole table: no case reaches it."""
    with Simulator(nodes=[5, 6]) as simulator:
        yield simulator


@pytest.fixture(scope="module")
def one_master(one_sim):
    with Master(one_sim) as master:
        yield master


@pytest.fixture
def library_calls(one_master, monkeypatch):
    """Every export of the library replaced by a recorder that returns VEXAN_OK."""
    lib = _library.library()
    made = []
    for name, _, _ in _library.parse_declarations(_library.EXPORTS):
        def record(*args, _name=name):
            made.append((_name, args))
            return 0
        monkeypatch.setattr(lib, name, record)
    return made


@pytest.mark.parametrize("method, argument, call, message", CASES,
                         ids=[f"{c[0]}-{c[1]}-{i}" for i, c in enumerate(CASES)])
def test_an_argument_outside_its_range_is_refused_before_any_call(one_master, one_sim, library_calls, method,
                                                                  argument, call, message):
    with pytest.raises(ValueError) as caught:
        call(one_master, one_sim)
    assert message in str(caught.value)
    assert argument in str(caught.value)
    assert library_calls == []


def public_methods():
    """(method, its checked arguments) of every public method of the package."""
    found = {}
    for cls in (Master, Nodes, Nmt, Sdo, Pdo, Sync, Emcy, Eds, Events, Node, NodeSdo, NodeNmt, SdoVariable,
                SdoObject, Tpdo, Rpdo):
        # Inherited methods count too (Sync and Emcy share their COB-ID calls).
        for name in dir(cls):
            member = inspect.getattr_static(cls, name)
            if not inspect.isfunction(member) or name.startswith("_") and (cls, name) != (Master, "__init__"):
                continue
            key = cls.__name__ if name == "__init__" else f"{cls.__name__}.{name}"
            found[key] = set(inspect.signature(member).parameters) - UNCHECKED
    for function in (vexan.pause, vexan.resume, vexan.library_version, vexan.open_serial):
        found[function.__name__] = set(inspect.signature(function).parameters) - UNCHECKED
    found["Eds.load"].add("path")
    return found


def test_the_table_covers_every_argument_of_every_public_method():
    covered = {}
    for method, argument, _, _ in CASES:
        covered.setdefault(method, set()).add(argument)
    missing = {method: sorted(arguments - covered.get(method, set()))
               for method, arguments in public_methods().items()
               if method not in NOTHING_TO_CHECK and arguments - covered.get(method, set())}
    assert missing == {}
    assert sorted(set(covered) - set(public_methods())) == []


def test_non_integers_and_non_bytes_are_refused_with_type_error(one_master, library_calls):
    master = one_master
    with pytest.raises(TypeError, match="index must be an integer, not float"):
        master.sdo.read(5, 4120.0)
    # bytes(5) would be five zero bytes.
    with pytest.raises(TypeError, match="data must be bytes, bytearray or memoryview, not int"):
        master.sdo.write(5, 0x2000, 1, 5)
    with pytest.raises(TypeError, match="node must be an integer, not str"):
        master.nmt.start("5")
    with pytest.raises(TypeError, match="handler must be callable, not NoneType"):
        master.events.on("bootup", None)
    assert library_calls == []


@pytest.mark.parametrize("call, export, arguments", [
    (lambda m: m.sdo.read(127, 0xFFFF, 0xFF), "Vexan_SDOReadData", (127, 0xFFFF, 0xFF)),
    (lambda m: m.sdo.read(1, 0, 0), "Vexan_SDOReadData", (1, 0, 0)),
    (lambda m: m.sdo.write(5, 0x2000, 4, bytes(248)), "Vexan_SDOWriteData", (5, 0x2000, 4, 248)),
    (lambda m: m.sdo.write_int(5, 0x2000, 2, -32768, 2, signed=True), "Vexan_SDOWriteData", (5, 0x2000, 2, 2)),
    (lambda m: m.nmt.start(0), "Vexan_NMTChangeState", (0, 1)),
    (lambda m: m.pdo.write(0x7FE, bytes(8), 255), "Vexan_PDOWrite", (0x7FE, 255, 8)),
    (lambda m: m.pdo.install(127, 0, Direction.TX, 512), "Vexan_InstallPDO", (127, 0, 1, 512)),
    (lambda m: m.pdo.last_many([0x185] * 25), "Vexan_GetMultiPDOData", (25,)),
    (lambda m: m.sync.send(0x7FE, 0xFFFF, 0xFFFFFFFF), "Vexan_SendSYNCMsg", (0x7FE, 0xFFFF, 0xFFFFFFFF)),
    (lambda m: m.sdo.abort(5, 0x2000, 0, 0xFFFFFFFF), "Vexan_SDOAbortTransmit", (5, 0x2000, 0, 0xFFFFFFFF)),
])
def test_values_at_the_ends_of_their_ranges_reach_the_library_unchanged(one_master, library_calls, call, export,
                                                                        arguments):
    master = one_master
    call(master)
    (name, made), = library_calls
    assert name == export
    assert made[0] == master.slot
    assert made[1:1 + len(arguments)] == arguments


def test_node_zero_starts_every_node(master):
    master.nmt.start(0)
    assert master.nmt.state(5) == vexan.NmtState.OPERATIONAL
    assert master.nmt.state(6) == vexan.NmtState.OPERATIONAL
