"""How calls of the package are typed: read by mypy (--strict), never run.

A blocking call is typed by its result, ``wait=False`` by the pending request
and a ``wait`` only known at run time by either; mypy reports any difference
from these assertions (the ctest entry vexan_python_mypy).
"""

from typing import Any, List, Optional, Union

from typing_extensions import assert_type

import vexan
from vexan import CanStatus, LastData, NmtState, Pending, PdoMapInfo, SyncEntry
from vexan.node import Node, PdoFields, SdoObject, SdoVariable
from vexan.od import ObjectDictionary, ODObject, ODVariable, Value


def typed(master: vexan.Master, flag: bool) -> None:
    assert_type(master.firmware_version(), int)
    assert_type(master.firmware_version(False), Pending[int])
    assert_type(master.firmware_version(wait=False), Pending[int])
    assert_type(master.can_status(), CanStatus)
    assert_type(master.set_mode(1), None)
    assert_type(master.set_mode(1, wait=False), Pending[None])

    assert_type(master.nodes.scan(), List[int])
    assert_type(master.nodes.scan(wait=False), Pending[List[int]])
    assert_type(master.nodes.scan(0, 0, False), Pending[List[int]])
    assert_type(master.nodes.add(5), None)
    assert_type(master.nodes.identity(5), vexan.Identity)

    assert_type(master.nmt.start(5), None)
    assert_type(master.nmt.start(5, False), Pending[None])
    assert_type(master.nmt.state(5), Union[NmtState, int])
    assert_type(master.nmt.state(5, wait=False), Pending[Union[NmtState, int]])

    assert_type(master.sdo.read(5, 0x1018, 1), bytes)
    assert_type(master.sdo.read(5, 0x1008), bytes)
    assert_type(master.sdo.read(5, 0x1018, 1, False), Pending[bytes])
    assert_type(master.sdo.read(5, 0x1018, wait=False), Pending[bytes])
    assert_type(master.sdo.read(5, 0x1018, 1, flag), Union[bytes, Pending[bytes]])
    assert_type(master.sdo.read(5, 0x1018, 1, wait=False).result(), bytes)
    assert_type(master.sdo.read(5, 0x1018, 1, wait=False).future().result(), bytes)
    assert_type(master.sdo.read_int(5, 0x1018, 1), int)
    assert_type(master.sdo.write(5, 0x2000, 1, b"\1"), None)
    assert_type(master.sdo.write_int(5, 0x2000, 1, 1, 1, wait=False), Pending[None])

    assert_type(master.pdo.remote(0x185), bytes)
    assert_type(master.pdo.last(0x185), Optional[LastData])
    assert_type(master.pdo.last(0x185, wait=False), Pending[Optional[LastData]])
    assert_type(master.pdo.last_many([0x185]), List[LastData])
    assert_type(master.pdo.ids(5, vexan.Direction.RX), List[int])
    assert_type(master.pdo.map_info(0x185), PdoMapInfo)
    assert_type(master.pdo.install_mapped(5, 0x205, 0, 1, wait=False), Pending[None])

    assert_type(master.sync.cyclic(), List[SyncEntry])
    assert_type(master.sync.get_id(5), int)
    assert_type(master.emcy.last(5), Optional[LastData])
    assert_type(master.emcy.get_id(5, False), Pending[int])
    assert_type(master.eds.load(5, "node.eds"), None)


def typed_model(master: vexan.Master) -> None:
    od = vexan.read_eds("node.eds", node=5)
    assert_type(od, ObjectDictionary)
    assert_type(od[0x1018], Union[ODObject, ODVariable])
    assert_type(od.variable("Identity object/Vendor-ID"), ODVariable)
    assert_type(od.object(0x1018)[1], ODVariable)
    assert_type(od.variable(0x1017).default, Optional[Union[int, float, str]])
    assert_type(od.variable(0x1017).encode(1000), bytes)

    node = master.node(5, eds="node.eds")
    assert_type(node, Node)
    assert_type(node.sdo["Producer heartbeat time"], Union[SdoVariable, SdoObject])
    assert_type(node.sdo.variable("Producer heartbeat time").raw, Value)
    assert_type(node.sdo.object(0x1018)[1].read(), Value)
    assert_type(node.sdo.variable(0x1017).read(wait=False), Pending[Value])
    assert_type(node.sdo.variable(0x1017).write(1000), None)
    assert_type(node.sdo.variable(0x1017).write(1000, wait=False), Pending[None])
    assert_type(node.tpdo[1].read(), Optional[PdoFields])
    assert_type(node.rpdo[1].write({"Output": 1}), None)
    assert_type(node.rpdo[1].write({"Output": 1}, wait=False), Pending[None])
    assert_type(node.nmt.state, Union[NmtState, int])


async def typed_awaits(master: vexan.Master) -> None:
    assert_type(await master.sdo.read(5, 0x1018, 1, wait=False), bytes)
    assert_type(await master.nmt.state(5, wait=False), Union[NmtState, int])
    value: Any = await master.node(5, eds="node.eds").sdo.variable(0x1017).read(wait=False)
    del value
