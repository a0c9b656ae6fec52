"""One node in its own terms: objects by name and type, PDOs as named fields.

    >>> node = master.node(5, eds="drive.eds")
    >>> node.sdo["Producer heartbeat time"].raw = 1000
    >>> node.sdo[0x1018][1].raw                       # Identity object / Vendor-ID
    1234
    >>> node.tpdo[1].read()
    {'Digital inputs 1-8': 3, 'Analog input 1': 517}
    >>> node.nmt.start()

``node.od`` is the device model of the node's EDS or DCF file
(:class:`vexan.od.ObjectDictionary`, ``$NODEID`` evaluated for the node).

**SDO.** ``node.sdo[key]`` takes what ``node.od[key]`` takes (an index, a
name, an ``"Object/Sub-object"`` path) and gives a :class:`SdoVariable` (a VAR
object or a sub-object) or a :class:`SdoObject` (``obj[sub]`` or
``obj[name]``). ``.raw`` reads and writes the value decoded and encoded by the
entry's data type (int, bool, float, str, bytes; see :mod:`vexan.od`),
``.data`` the bytes as they are. Before anything is sent a write is checked:
a read-only or constant object raises :class:`vexan.od.AccessError`, a value
outside its type's range or the object's limits raises ValueError naming the
object, the value and the range, a value of the wrong kind TypeError; reads of
write-only objects are refused likewise. ``read(wait=False)`` and
``write(value, wait=False)`` return a :class:`vexan.Pending`, which can be
awaited.

**TPDOs.** ``node.tpdo[n]`` is the node's transmit PDO number ``n``. Its
COB-ID and mapping are the module's: the first use asks the module for the
node's transmit PDOs (``Vexan_GetTxPDOID``) and for their mappings
(``Vexan_GetPDOMapInfo``, whose first two fields this module fills with the
PDO's number and direction) until it finds number ``n``, then keeps them;
:meth:`Tpdo.refresh` asks again after the mapping was changed. Names and types
of the mapped objects come from the EDS. ``read()`` decodes the module's copy
of the last PDO received (one request on the serial line, no CAN traffic), or
with ``remote=True`` asks the node by remote request.

Callbacks (:meth:`Tpdo.add_callback`) are fed by polling: while a node has
any, a thread of the node asks the module every ``node.pdo_poll_interval``
seconds (0.05 by default) for its copies of all the node's watched TPDOs in one
request (``Vexan_GetMultiPDOData``, up to 25 PDOs per request): a cost of one
short request and reply on the serial line per interval, and nothing on the
CAN bus. A copy the module marks as not read before is new: it is decoded and
handed to each callback, on that thread. A PDO that arrives several times
within one interval is seen once, with its last data; and whoever else reads
the module's copy first (``read()``, ``master.pdo.last()``) takes its news. A
callback's exception is logged on the ``vexan`` logger.

**NMT.** ``node.nmt.start()``, ``stop()``, ``pre_operational()``, ``reset()``,
``reset_communication()`` and ``node.nmt.state`` address this node.

**RPDOs.** ``node.rpdo[n].write({"Output (6200/01)": 1, ...})`` encodes a
value for each mapped object (keys as :class:`PdoFields` has them), checks
each by its entry's type and limits before anything is sent, and sends the PDO
(``master.pdo.write``); COB-ID and mapping come from the module as for TPDOs.
"""

from __future__ import annotations

import logging
from dataclasses import dataclass
import os
import threading
from typing import (TYPE_CHECKING, Callable, Dict, Iterator, List, Literal, Mapping, Optional, Union,
                    overload)

from . import _checks as _c
from ._calls import Pending
from ._header import PDO_MAX_DATA, PDO_MAX_MULTI, SDO_MAX_WRITE
from ._service import MaybePending
from .errors import Result, VexanError
from .nmt import NmtState
from .od import ODObject, ODVariable, ObjectDictionary, Value, read_eds
from .pdo import PDO_MAX_NUMBER, Direction

if TYPE_CHECKING:
    from .master import Master

__all__ = ["Node", "NodeNmt", "NodePdo", "NodeSdo", "PdoField", "PdoFields", "Rpdo", "Rpdos", "SdoObject",
           "SdoVariable", "Tpdo", "Tpdos"]

log = logging.getLogger("vexan")

#: How often the callbacks' thread asks the module for new TPDO data, in seconds.
DEFAULT_POLL_INTERVAL = 0.05

# Mapping entries of the basic data types 0x0001..0x0007 are gaps (dummy mappings).
_LAST_DUMMY_INDEX = 0x0007


class SdoVariable:
    """A VAR object or a sub-object of the node, read and written by SDO by its data type.

    Attributes:
        od: the entry of the device model.
    """

    def __init__(self, node: "Node", entry: ODVariable) -> None:
        self._node = node
        self.od = entry

    def __repr__(self) -> str:
        return f"<SdoVariable node {self._node.id} {self.od.describe()} {self.od.data_type_name}>"

    @property
    def name(self) -> str:
        return self.od.name

    @property
    def index(self) -> int:
        return self.od.index

    @property
    def subindex(self) -> int:
        return self.od.subindex

    @overload
    def read(self, wait: Literal[True] = True) -> Value: ...
    @overload
    def read(self, wait: Literal[False]) -> Pending[Value]: ...
    @overload
    def read(self, wait: bool = True) -> Union[Value, Pending[Value]]: ...

    def read(self, wait: bool = True) -> Union[Value, Pending[Value]]:
        """Reads the value and decodes it by the entry's data type.

        Raises :class:`vexan.od.AccessError` for a write-only object, before
        anything is sent.
        """
        self.od.check_access(write=False)
        return self._node._master.sdo._read(self._node.id, self.od.index, self.od.subindex, wait, self.od.decode)

    @overload
    def write(self, value: object, wait: Literal[True] = True) -> None: ...
    @overload
    def write(self, value: object, wait: Literal[False]) -> Pending[None]: ...
    @overload
    def write(self, value: object, wait: bool = True) -> Union[None, Pending[None]]: ...

    def write(self, value: object, wait: bool = True) -> MaybePending:
        """Encodes ``value`` by the entry's data type and writes it.

        Checked before anything is sent: access, kind, the type's range and
        the object's limits (see :meth:`vexan.od.ODVariable.encode`).
        """
        self.od.check_access(write=True)
        return self._write_bytes(self.od.encode(value), wait)

    def _write_bytes(self, data: bytes, wait: bool) -> MaybePending:
        if not 1 <= len(data) <= SDO_MAX_WRITE:
            raise ValueError(f"{self.od.describe()}: the module writes 1..{SDO_MAX_WRITE} bytes, got {len(data)}")
        return self._node._master.sdo.write(self._node.id, self.od.index, self.od.subindex, data, wait)

    @property
    def raw(self) -> Value:
        """The value, read from the node (assigning writes it); typed by the entry's data type."""
        return self.read()

    @raw.setter
    def raw(self, value: object) -> None:
        self.write(value)

    @property
    def data(self) -> bytes:
        """The bytes as the node holds them (assigning writes bytes as they are, access checked)."""
        self.od.check_access(write=False)
        return self._node._master.sdo.read(self._node.id, self.od.index, self.od.subindex)

    @data.setter
    def data(self, value: bytes) -> None:
        self.od.check_access(write=True)
        payload = _c.check_bytes(value, "data", 1, SDO_MAX_WRITE)
        self._write_bytes(payload, True)


class SdoObject:
    """An ARRAY or RECORD object of the node: ``obj[sub]`` or ``obj[name]`` gives a :class:`SdoVariable`.

    Attributes:
        od: the object of the device model.
    """

    def __init__(self, node: "Node", obj: ODObject) -> None:
        self._node = node
        self.od = obj

    def __repr__(self) -> str:
        return f"<SdoObject node {self._node.id} {self.od.index:04X} {self.od.name!r}>"

    def __getitem__(self, key: Union[int, str]) -> SdoVariable:
        return SdoVariable(self._node, self.od[key])

    def __iter__(self) -> Iterator[int]:
        return iter(self.od)

    def __len__(self) -> int:
        return len(self.od)

    def __contains__(self, key: object) -> bool:
        return key in self.od


class NodeSdo:
    """The node's objects by SDO (``node.sdo``); keys as :class:`vexan.od.ObjectDictionary` takes them."""

    def __init__(self, node: "Node") -> None:
        self._node = node

    def __getitem__(self, key: Union[int, str]) -> Union[SdoVariable, SdoObject]:
        item = self._node.od[key]
        if isinstance(item, ODVariable):
            return SdoVariable(self._node, item)
        return SdoObject(self._node, item)

    def variable(self, key: Union[int, str], sub: Optional[Union[int, str]] = None) -> SdoVariable:
        """The VAR object or sub-object of a name, path or index (and ``sub``), typed as such."""
        return SdoVariable(self._node, self._node.od.variable(key, sub))

    def object(self, key: Union[int, str]) -> SdoObject:
        """The object of an index or name, typed as such."""
        return SdoObject(self._node, self._node.od.object(key))


class NodeNmt:
    """NMT of the one node (``node.nmt``)."""

    def __init__(self, node: "Node") -> None:
        self._node = node

    def start(self) -> None:
        """Operational."""
        self._node._master.nmt.start(self._node.id)

    def stop(self) -> None:
        """Stopped."""
        self._node._master.nmt.stop(self._node.id)

    def pre_operational(self) -> None:
        """Pre-operational."""
        self._node._master.nmt.pre_operational(self._node.id)

    def reset(self) -> None:
        """Reset the node (application)."""
        self._node._master.nmt.reset(self._node.id)

    def reset_communication(self) -> None:
        """Reset the node's communication."""
        self._node._master.nmt.reset_communication(self._node.id)

    @property
    def state(self) -> Union[NmtState, int]:
        """The node's NMT state, asked of the module."""
        return self._node._master.nmt.state(self._node.id)


@dataclass(frozen=True)
class PdoField:
    """One mapped object of a PDO and its value in the data."""

    name: str  #: the key in :class:`PdoFields`
    index: int
    subindex: int
    bits: int
    value: Value
    entry: Optional[ODVariable]  #: None when the EDS has no such object (value: unsigned int)


class PdoFields(Dict[str, Value]):
    """The fields of one PDO's data by name, in mapping order.

    A key is the mapped object's name; where fields share a name, each
    such key is the name with its place, ``"Input (6000/01)"``; an object the
    EDS lacks is ``"6000/01"``.

    Attributes:
        cob_id: the PDO's COB-ID.
        number: the PDO's number.
        data: the bytes the fields were decoded from.
        fresh: whether the module had not handed this copy out before
            (always True for a remote request's answer).
        fields: the fields with their places and entries (:class:`PdoField`).
    """

    def __init__(self, cob_id: int, number: int, data: bytes, fresh: bool, fields: List[PdoField]) -> None:
        super().__init__((field.name, field.value) for field in fields)
        self.cob_id = cob_id
        self.number = number
        self.data = data
        self.fresh = fresh
        self.fields = fields


def _bits_value(entry: Optional[ODVariable], raw: int, bits: int) -> Value:
    """The value of ``bits`` bits taken from the data, by the entry's data type."""
    if entry is None or entry.data_type is None:
        return raw
    size = entry.size
    if entry.data_type == 0x01:
        return bool(raw)
    if size and bits == size * 8:
        return entry.decode(raw.to_bytes(size, "little"))
    if bits % 8 == 0 and not size:  # strings and octet strings of whole bytes
        return entry.decode(raw.to_bytes(bits // 8, "little"))
    # Fewer bits than the type holds: a signed type's top bit is its sign.
    if entry.data_type in (0x02, 0x03, 0x04, 0x10, 0x12, 0x13, 0x14, 0x15) and raw >> (bits - 1):
        return raw - (1 << bits)
    return raw


@dataclass(frozen=True)
class _Place:
    """A mapped object of a PDO: its name in the fields, where it is and its entry."""

    name: str
    index: int
    subindex: int
    bits: int
    position: int  # of its first bit in the data
    entry: Optional[ODVariable]


class NodePdo:
    """What a node's transmit and receive PDOs share: the module's COB-ID and mapping, the fields' places."""

    _direction = Direction.TX
    _kind = "TPDO"

    def __init__(self, node: "Node", number: int) -> None:
        self._node = node
        self.number = number
        self._cob_id: Optional[int] = None
        self._mapping: List[int] = []
        self._lock = threading.Lock()

    def __repr__(self) -> str:
        cob = f" 0x{self._cob_id:03X}" if self._cob_id is not None else ""
        return f"<{type(self).__name__} {self.number} of node {self._node.id}{cob}>"

    def refresh(self) -> None:
        """Asks the module again for the PDO's COB-ID and mapping (after they were changed)."""
        master = self._node._master
        for cob_id in master.pdo.ids(self._node.id, self._direction):
            info = master.pdo.map_info(cob_id)
            if info.field1 == self.number and info.field2 == self._direction:
                with self._lock:
                    self._cob_id, self._mapping = cob_id, list(info.entries)
                return
        raise LookupError(f"{self._kind} {self.number} of node {self._node.id} is not installed on the module "
                          f"(install it with master.pdo.install or master.eds.load)")

    def _resolved(self) -> "tuple[int, List[int]]":
        with self._lock:
            if self._cob_id is not None:
                return self._cob_id, list(self._mapping)
        self.refresh()
        with self._lock:
            assert self._cob_id is not None
            return self._cob_id, list(self._mapping)

    @property
    def cob_id(self) -> int:
        """The PDO's COB-ID, as the module has it."""
        return self._resolved()[0]

    @property
    def mapping(self) -> List[int]:
        """The mapping entries in use (index << 16 | sub-index << 8 | bit length), as the module has them."""
        return self._resolved()[1]

    def _places(self, mapping: List[int]) -> List[_Place]:
        """The mapped objects, dummy entries left out, named as :class:`PdoFields` names them."""
        found = []
        position = 0
        for item in mapping:
            index, sub, bits = item >> 16, (item >> 8) & 0xFF, item & 0xFF
            if bits and index > _LAST_DUMMY_INDEX:
                found.append((index, sub, bits, position, self._node.od.find(index, sub)))
            position += bits
        names = [entry.name if entry is not None else f"{index:04X}/{sub:02X}"
                 for index, sub, _, _, entry in found]
        return [_Place(f"{name} ({index:04X}/{sub:02X})" if names.count(name) > 1 else name,
                       index, sub, bits, position, entry)
                for name, (index, sub, bits, position, entry) in zip(names, found)]


class Tpdo(NodePdo):
    """A transmit PDO of the node (``node.tpdo[n]``); see the module's description."""

    def __init__(self, node: "Node", number: int) -> None:
        super().__init__(node, number)
        self._callbacks: List[Callable[[PdoFields], None]] = []

    def decode(self, data: bytes, fresh: bool = True) -> PdoFields:
        """The fields of ``data`` (0..8 bytes) by the PDO's mapping, named and typed from the EDS.

        A mapped object beyond the end of the data is left out.
        """
        data = _c.check_bytes(data, "data", 0, PDO_MAX_DATA)
        cob_id, mapping = self._resolved()
        value = int.from_bytes(data, "little")
        fields = [PdoField(place.name, place.index, place.subindex, place.bits,
                           _bits_value(place.entry, (value >> place.position) & ((1 << place.bits) - 1), place.bits),
                           place.entry)
                  for place in self._places(mapping) if place.position + place.bits <= len(data) * 8]
        return PdoFields(cob_id, self.number, data, fresh, fields)

    def read(self, remote: bool = False) -> Optional[PdoFields]:
        """The fields of the PDO last received by the module, or None when it has none.

        With ``remote`` the node is asked by remote request and its answer
        decoded (a CAN message each way).
        """
        cob_id = self.cob_id
        master = self._node._master
        if remote:
            return self.decode(master.pdo.remote(cob_id))
        last = master.pdo.last(cob_id)
        if last is None:
            return None
        return self.decode(last.data, fresh=last.flag == 0)

    def add_callback(self, callback: Callable[[PdoFields], None]) -> None:
        """Calls ``callback(fields)`` on the node's polling thread for each new PDO data.

        Resolves the PDO first (LookupError when the module does not have it).
        """
        if not callable(callback):
            raise TypeError(f"callback must be callable, not {type(callback).__name__}")
        self._resolved()
        with self._lock:
            self._callbacks.append(callback)
        self._node._watcher.watch(self)

    def remove_callback(self, callback: Callable[[PdoFields], None]) -> None:
        """Removes a callback; the polling stops with the node's last one."""
        with self._lock:
            if callback in self._callbacks:
                self._callbacks.remove(callback)
            empty = not self._callbacks
        if empty:
            self._node._watcher.unwatch(self)

    def _deliver(self, data: bytes) -> None:
        fields = self.decode(data)
        with self._lock:
            callbacks = list(self._callbacks)
        for callback in callbacks:
            try:
                callback(fields)
            except Exception:  # a callback's fault must not end the polling
                log.exception("callback of TPDO %d of node %d failed", self.number, self._node.id)


class Rpdo(NodePdo):
    """A receive PDO of the node (``node.rpdo[n]``): fields encoded by the mapping and sent."""

    _direction = Direction.RX
    _kind = "RPDO"

    def encode(self, values: Mapping[str, object]) -> bytes:
        """The PDO's data from a value for each mapped object, keyed as :class:`PdoFields` keys them.

        Each value is encoded and checked by its entry (type, range, limits:
        see :meth:`vexan.od.ODVariable.encode`); dummy entries are zero bits.
        Raises ValueError naming the fields missing or unknown.
        """
        _, mapping = self._resolved()
        places = self._places(mapping)
        names = [place.name for place in places]
        missing = [name for name in names if name not in values]
        unknown = [name for name in values if name not in names]
        if missing or unknown:
            what = "; ".join(part for part in (f"missing {missing}" if missing else "",
                                               f"unknown {unknown}" if unknown else "") if part)
            raise ValueError(f"values of {self._kind} {self.number} of node {self._node.id}: {what} "
                             f"(its fields: {names})")
        data = 0
        for place in places:
            value = values[place.name]
            entry = place.entry
            if entry is None or entry.data_type is None:
                number = _c.check(value, place.name, 0, (1 << place.bits) - 1)
            else:
                encoded = entry.encode(value)  # type, range and limits
                number = int.from_bytes(encoded, "little")
                if not entry.size and len(encoded) * 8 != place.bits:
                    raise ValueError(f"{entry.describe()}: {place.bits // 8} bytes are mapped, got {len(encoded)}")
                if entry.size and place.bits < entry.size * 8:
                    # Fewer bits mapped than the type holds: the value must fit them.
                    raw = int(value)  # type: ignore[call-overload]  # an integer type: encode took it
                    bits = place.bits
                    low, high = (-(1 << (bits - 1)), (1 << (bits - 1)) - 1) if entry.signed else (0, (1 << bits) - 1)
                    if not low <= raw <= high:
                        raise ValueError(f"{entry.describe()}: value {raw} does not fit the {bits} bits mapped, "
                                         f"{low}..{high}")
                    number = raw & ((1 << bits) - 1)
            data |= number << place.position
        total = max((place.position + place.bits for place in places), default=0)
        total = max(total, sum(item & 0xFF for item in mapping))
        return data.to_bytes((total + 7) // 8, "little")

    @overload
    def write(self, values: Mapping[str, object], wait: Literal[True] = True) -> None: ...
    @overload
    def write(self, values: Mapping[str, object], wait: Literal[False]) -> Pending[None]: ...
    @overload
    def write(self, values: Mapping[str, object], wait: bool = True) -> Union[None, Pending[None]]: ...

    def write(self, values: Mapping[str, object], wait: bool = True) -> MaybePending:
        """Encodes the values (:meth:`encode`) and sends the PDO; checked before anything is sent."""
        return self._node._master.pdo.write(self.cob_id, self.encode(values), wait=wait)


class Tpdos:
    """The node's transmit PDOs by number (``node.tpdo[1]``, 1..512)."""

    def __init__(self, node: "Node") -> None:
        self._node = node
        self._pdos: Dict[int, Tpdo] = {}

    def __getitem__(self, number: int) -> Tpdo:
        number = _c.check(number, "number", 1, PDO_MAX_NUMBER)
        if number not in self._pdos:
            self._pdos[number] = Tpdo(self._node, number)
        return self._pdos[number]


class Rpdos:
    """The node's receive PDOs by number (``node.rpdo[1]``, 1..512)."""

    def __init__(self, node: "Node") -> None:
        self._node = node
        self._pdos: Dict[int, Rpdo] = {}

    def __getitem__(self, number: int) -> Rpdo:
        number = _c.check(number, "number", 1, PDO_MAX_NUMBER)
        if number not in self._pdos:
            self._pdos[number] = Rpdo(self._node, number)
        return self._pdos[number]


class _Watcher:
    """The polling thread of a node's TPDO callbacks."""

    def __init__(self, node: "Node") -> None:
        self._node = node
        self._pdos: List[Tpdo] = []
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread: Optional[threading.Thread] = None

    def watch(self, pdo: Tpdo) -> None:
        with self._lock:
            if pdo not in self._pdos:
                self._pdos.append(pdo)
            if self._thread is None:
                self._stop.clear()
                self._thread = threading.Thread(target=self._loop, daemon=True,
                                                name=f"vexan-tpdo-node-{self._node.id}")
                self._thread.start()

    def unwatch(self, pdo: Tpdo) -> None:
        with self._lock:
            if pdo in self._pdos:
                self._pdos.remove(pdo)
            last = not self._pdos
        if last:
            self.stop()

    def stop(self) -> None:
        """Ends the thread and waits for it (unless called from it)."""
        with self._lock:
            thread, self._thread = self._thread, None
            self._stop.set()
        if thread is not None and thread is not threading.current_thread():
            thread.join()

    def _loop(self) -> None:
        stop = self._stop
        while not stop.wait(self._node.pdo_poll_interval):
            with self._lock:
                pdos = list(self._pdos)
            try:
                self._poll(pdos)
            except VexanError as error:
                if error.code == Result.VEXAN_NOT_OPEN:
                    return
                log.warning("polling the TPDOs of node %d: %s", self._node.id, error)

    def _poll(self, pdos: List[Tpdo]) -> None:
        for start in range(0, len(pdos), PDO_MAX_MULTI):
            chunk = pdos[start:start + PDO_MAX_MULTI]
            copies = self._node._master.pdo.last_many([pdo.cob_id for pdo in chunk])
            for pdo, copy in zip(chunk, copies):
                if copy.flag == 0 and not self._stop.is_set():
                    pdo._deliver(copy.data)


class Node:
    """One node of a master with its device model (``master.node(5, eds="drive.eds")``).

    Args:
        master: the master the node is reached through.
        node: the node id, 1..127.
        eds: the node's EDS or DCF file, read with ``$NODEID`` evaluated for
            the node; or ``od``, a model already read.

    Attributes:
        id: the node id.
        od: the device model (:class:`vexan.od.ObjectDictionary`).
        sdo: the objects by SDO (:class:`NodeSdo`).
        tpdo: the transmit PDOs (:class:`Tpdos`).
        rpdo: the receive PDOs (:class:`Rpdos`).
        nmt: NMT of this node (:class:`NodeNmt`).
        pdo_poll_interval: seconds between the polls that feed TPDO callbacks.
    """

    def __init__(self, master: "Master", node: int, eds: Optional[Union[str, "os.PathLike[str]"]] = None,
                 od: Optional[ObjectDictionary] = None) -> None:
        self.id = _c.node(node)
        if (eds is None) == (od is None):
            raise ValueError("give the node's EDS file (eds=) or its model (od=), one of them")
        self._master = master
        self.od: ObjectDictionary = od if od is not None else read_eds(eds, self.id)  # type: ignore[arg-type]
        self.sdo = NodeSdo(self)
        self.tpdo = Tpdos(self)
        self.rpdo = Rpdos(self)
        self.nmt = NodeNmt(self)
        self.pdo_poll_interval = DEFAULT_POLL_INTERVAL
        self._watcher = _Watcher(self)

    def __repr__(self) -> str:
        return f"<vexan.Node {self.id} ({os.path.basename(self.od.path)})>"

    def close(self) -> None:
        """Stops the polling of TPDO callbacks (the master's close does it too)."""
        self._watcher.stop()
