"""PDO exchange and configuration (``master.pdo``)."""

from __future__ import annotations

import ctypes
import enum
from ctypes import c_uint8 as _u8, c_uint16 as _u16, c_uint32 as _u32
from typing import Iterable, List, Literal, NamedTuple, Optional, Sequence, Union, overload

from . import _checks as _c
from ._calls import Pending
from ._header import PDO_MAX_DATA, PDO_MAX_ENTRIES, PDO_MAX_IDS, PDO_MAX_MULTI, PDO_MAX_POLLING
from ._service import LastData, MaybePending, Service, array, nothing
from .errors import Result

__all__ = ["Direction", "LastData", "Pdo", "PdoMapInfo"]

# Highest place of a PDO among the node's PDOs of one direction.
PDO_MAX_NUMBER = 512


class Direction(enum.IntEnum):
    """Direction of a PDO, seen from the node."""

    RX = 0  #: the node's receive PDO: data from the master
    TX = 1  #: the node's transmit PDO



class PdoMapInfo(NamedTuple):
    """The mapping of a PDO; the four fields' meaning is the module's."""

    field1: int
    field2: int
    field3: int
    field4: int
    entries: List[int]



def _direction(value: object) -> int:
    return _c.check(value, "direction", Direction.RX, Direction.TX, note=" (Direction.RX or Direction.TX)")


class Pdo(Service):
    """PDO exchange and configuration (``master.pdo``)."""

    @overload
    def write(self, cob_id: int, data: bytes, parameter: int = 0, wait: Literal[True] = True) -> None: ...
    @overload
    def write(self, cob_id: int, data: bytes, parameter: int, wait: Literal[False]) -> Pending[None]: ...
    @overload
    def write(self, cob_id: int, data: bytes, parameter: int = 0, *, wait: Literal[False]) -> Pending[None]: ...
    @overload
    def write(self, cob_id: int, data: bytes, parameter: int = 0, wait: bool = True) -> Union[None, Pending[None]]: ...

    def write(self, cob_id: int, data: bytes, parameter: int = 0, wait: bool = True) -> MaybePending:
        """Sends 0..8 bytes as the PDO ``cob_id`` and waits for the module's status."""
        cob_id, parameter = _c.cob_id(cob_id), _c.u8(parameter, "parameter")
        payload = _c.check_bytes(data, "data", 0, PDO_MAX_DATA)
        buffer = array(payload)
        return self._request(
            f"pdo write 0x{cob_id:03X}",
            lambda b: self._lib.Vexan_PDOWrite(self._slot, cob_id, parameter, len(payload), buffer, b), nothing, wait)

    def write_fast(self, cob_id: int, data: bytes, parameter: int = 0) -> None:
        """Sends the PDO without waiting for the module's status."""
        cob_id, parameter = _c.cob_id(cob_id), _c.u8(parameter, "parameter")
        payload = _c.check_bytes(data, "data", 0, PDO_MAX_DATA)
        self._board.check_open("pdo write")
        self._board.once(f"pdo write 0x{cob_id:03X}", self._lib.Vexan_PDOWrite_Fast(
            self._slot, cob_id, parameter, len(payload), array(payload)))

    @overload
    def remote(self, cob_id: int, wait: Literal[True] = True) -> bytes: ...
    @overload
    def remote(self, cob_id: int, wait: Literal[False]) -> Pending[bytes]: ...
    @overload
    def remote(self, cob_id: int, wait: bool = True) -> Union[bytes, Pending[bytes]]: ...

    def remote(self, cob_id: int, wait: bool = True) -> Union[bytes, Pending[bytes]]:
        """Asks for PDO ``cob_id`` by remote request; returns its bytes."""
        cob_id = _c.cob_id(cob_id)
        length, data = _u8(), (_u8 * PDO_MAX_DATA)()
        return self._request(
            f"pdo remote 0x{cob_id:03X}",
            lambda b: self._lib.Vexan_PDORemote(self._slot, cob_id, ctypes.byref(length), data, b),
            lambda: bytes(data)[:length.value], wait)

    def remote_fast(self, cob_id: int) -> None:
        """Sends the remote request without waiting for a result."""
        cob_id = _c.cob_id(cob_id)
        self._board.check_open("pdo remote")
        self._board.once(f"pdo remote 0x{cob_id:03X}", self._lib.Vexan_PDORemote_Fast(self._slot, cob_id))

    @overload
    def last(self, cob_id: int, wait: Literal[True] = True) -> Optional[LastData]: ...
    @overload
    def last(self, cob_id: int, wait: Literal[False]) -> Pending[Optional[LastData]]: ...
    @overload
    def last(self, cob_id: int, wait: bool = True) -> Union[Optional[LastData], Pending[Optional[LastData]]]: ...

    def last(self, cob_id: int, wait: bool = True) -> Union[Optional[LastData], Pending[Optional[LastData]]]:
        """The module's copy of the last PDO ``cob_id`` received, or None."""
        cob_id = _c.cob_id(cob_id)
        flag, length, data = _u8(), _u8(), (_u8 * PDO_MAX_DATA)()

        def finish() -> Optional[LastData]:
            return LastData(flag.value, bytes(data)[:length.value])

        return self._request(
            f"pdo last 0x{cob_id:03X}",
            lambda b: self._lib.Vexan_GetPDOLastData(self._slot, cob_id, ctypes.byref(flag), ctypes.byref(length),
                                                     data, b),
            finish, wait, empty=Result.VEXAN_NOTHING_TO_READ)

    @overload
    def last_many(self, cob_ids: Sequence[int], wait: Literal[True] = True) -> List[LastData]: ...
    @overload
    def last_many(self, cob_ids: Sequence[int], wait: Literal[False]) -> Pending[List[LastData]]: ...
    @overload
    def last_many(self, cob_ids: Sequence[int],
                  wait: bool = True) -> Union[List[LastData], Pending[List[LastData]]]: ...

    def last_many(self, cob_ids: Sequence[int], wait: bool = True) -> Union[List[LastData], Pending[List[LastData]]]:
        """The module's copies of up to 25 PDOs at once, in request order (more raise ValueError)."""
        ids = _c.check_each(cob_ids, "cob_ids", _c.cob_id, PDO_MAX_MULTI)
        count = len(ids)
        cobs = array(ids, _u16)
        flags, lengths = (_u8 * max(1, count))(), (_u8 * max(1, count))()
        data = (_u8 * (PDO_MAX_DATA * max(1, count)))()

        def finish() -> List[LastData]:
            out, offset = [], 0
            for i in range(count):
                n = min(lengths[i], PDO_MAX_DATA)
                out.append(LastData(flags[i], bytes(data)[offset:offset + n]))
                offset += n
            return out

        return self._request(
            "pdo read many",
            lambda b: self._lib.Vexan_GetMultiPDOData(self._slot, count, cobs, flags, lengths, data, b), finish, wait)

    @overload
    def set_polling(self, cob_ids: Sequence[int], value: int, wait: Literal[True] = True) -> None: ...
    @overload
    def set_polling(self, cob_ids: Sequence[int], value: int, wait: Literal[False]) -> Pending[None]: ...
    @overload
    def set_polling(self, cob_ids: Sequence[int], value: int, wait: bool = True) -> Union[None, Pending[None]]: ...

    def set_polling(self, cob_ids: Sequence[int], value: int, wait: bool = True) -> MaybePending:
        """Has the module poll these PDOs by remote request on its own."""
        ids = _c.check_each(cob_ids, "cob_ids", _c.cob_id, PDO_MAX_POLLING)
        value = _c.u16(value, "value")
        cobs = array(ids, _u16)
        return self._request(
            "pdo remote polling",
            lambda b: self._lib.Vexan_SetPDORemotePolling(self._slot, len(ids), cobs, value, b), nothing, wait)

    @overload
    def install(self, node: int, cob_id: int, direction: int, number: int, wait: Literal[True] = True) -> None: ...
    @overload
    def install(self, node: int, cob_id: int, direction: int, number: int, wait: Literal[False]) -> Pending[None]: ...
    @overload
    def install(self, node: int, cob_id: int, direction: int, number: int,
                wait: bool = True) -> Union[None, Pending[None]]: ...

    def install(self, node: int, cob_id: int, direction: int, number: int, wait: bool = True) -> MaybePending:
        """Installs PDO ``cob_id`` of the node (``number``: its place, 1..512)."""
        node, cob_id, direction = _c.node(node), _c.cob_id(cob_id), _direction(direction)
        number = _c.check(number, "number", 1, PDO_MAX_NUMBER)
        return self._request(
            f"pdo install node {node} 0x{cob_id:03X}",
            lambda b: self._lib.Vexan_InstallPDO(self._slot, node, cob_id, direction, number, b), nothing, wait)

    @overload
    def remove(self, node: int, cob_id: int, direction: int, wait: Literal[True] = True) -> None: ...
    @overload
    def remove(self, node: int, cob_id: int, direction: int, wait: Literal[False]) -> Pending[None]: ...
    @overload
    def remove(self, node: int, cob_id: int, direction: int, wait: bool = True) -> Union[None, Pending[None]]: ...

    def remove(self, node: int, cob_id: int, direction: int, wait: bool = True) -> MaybePending:
        """Removes PDO ``cob_id`` of the node."""
        node, cob_id, direction = _c.node(node), _c.cob_id(cob_id), _direction(direction)
        return self._request(
            f"pdo remove node {node} 0x{cob_id:03X}",
            lambda b: self._lib.Vexan_RemovePDO(self._slot, node, cob_id, direction, b), nothing, wait)

    @overload
    def install_mapped(self, node: int, cob_id: int, direction: int, number: int, entries: Iterable[int] = (),
                       transmission_type: int = 255, event_timer: int = 0, wait: Literal[True] = True) -> None: ...
    @overload
    def install_mapped(self, node: int, cob_id: int, direction: int, number: int, entries: Iterable[int],
                       transmission_type: int, event_timer: int, wait: Literal[False]) -> Pending[None]: ...
    @overload
    def install_mapped(self, node: int, cob_id: int, direction: int, number: int, entries: Iterable[int] = (),
                       transmission_type: int = 255, event_timer: int = 0, *,
                       wait: Literal[False]) -> Pending[None]: ...
    @overload
    def install_mapped(self, node: int, cob_id: int, direction: int, number: int, entries: Iterable[int] = (),
                       transmission_type: int = 255, event_timer: int = 0,
                       wait: bool = True) -> Union[None, Pending[None]]: ...

    def install_mapped(self, node: int, cob_id: int, direction: int, number: int, entries: Iterable[int] = (),
                       transmission_type: int = 255, event_timer: int = 0, wait: bool = True) -> MaybePending:
        """Installs a PDO with its parameters and mapping entries in one command.

        Entries: ``index << 16 | sub << 8 | bit length``, at most 8.
        """
        node, cob_id, direction = _c.node(node), _c.cob_id(cob_id), _direction(direction)
        number = _c.check(number, "number", 1, PDO_MAX_NUMBER)
        items = _c.check_each(entries, "entries", lambda v, n: _c.u32(v, n, hexadecimal=True), PDO_MAX_ENTRIES)
        transmission_type = _c.u8(transmission_type, "transmission_type")
        event_timer = _c.u16(event_timer, "event_timer")
        buffer = array(items, _u32)
        return self._request(
            f"pdo install node {node} 0x{cob_id:03X}",
            lambda b: self._lib.Vexan_InstallPDO_List(self._slot, node, cob_id, direction, number, transmission_type,
                                                      event_timer, len(items), buffer, b), nothing, wait)

    @overload
    def remove_mapped(self, node: int, cob_id: int, direction: int, wait: Literal[True] = True) -> None: ...
    @overload
    def remove_mapped(self, node: int, cob_id: int, direction: int, wait: Literal[False]) -> Pending[None]: ...
    @overload
    def remove_mapped(self, node: int, cob_id: int, direction: int,
                      wait: bool = True) -> Union[None, Pending[None]]: ...

    def remove_mapped(self, node: int, cob_id: int, direction: int, wait: bool = True) -> MaybePending:
        """Removes a PDO installed with :meth:`install_mapped`."""
        node, cob_id, direction = _c.node(node), _c.cob_id(cob_id), _direction(direction)
        return self._request(
            f"pdo remove node {node} 0x{cob_id:03X}",
            lambda b: self._lib.Vexan_RemovePDO_List(self._slot, node, cob_id, direction, b), nothing, wait)

    @overload
    def ids(self, node: int, direction: int, wait: Literal[True] = True) -> List[int]: ...
    @overload
    def ids(self, node: int, direction: int, wait: Literal[False]) -> Pending[List[int]]: ...
    @overload
    def ids(self, node: int, direction: int, wait: bool = True) -> Union[List[int], Pending[List[int]]]: ...

    def ids(self, node: int, direction: int, wait: bool = True) -> Union[List[int], Pending[List[int]]]:
        """The COB-IDs of the node's receive (RX) or transmit (TX) PDOs."""
        node, direction = _c.node(node), _direction(direction)
        count, cobs = _u8(), (_u16 * PDO_MAX_IDS)()
        export = self._lib.Vexan_GetRxPDOID if direction == Direction.RX else self._lib.Vexan_GetTxPDOID
        return self._request(f"pdo ids node {node}", lambda b: export(self._slot, node, ctypes.byref(count),
                                                                              cobs, b),
                             lambda: list(cobs[:min(count.value, PDO_MAX_IDS)]), wait)

    @overload
    def change_id(self, cob_id: int, new_cob_id: int, wait: Literal[True] = True) -> None: ...
    @overload
    def change_id(self, cob_id: int, new_cob_id: int, wait: Literal[False]) -> Pending[None]: ...
    @overload
    def change_id(self, cob_id: int, new_cob_id: int, wait: bool = True) -> Union[None, Pending[None]]: ...

    def change_id(self, cob_id: int, new_cob_id: int, wait: bool = True) -> MaybePending:
        """Changes the COB-ID of a PDO."""
        cob_id, new_cob_id = _c.cob_id(cob_id), _c.cob_id(new_cob_id, "new_cob_id")
        return self._request(f"pdo change id 0x{cob_id:03X}",
                             lambda b: self._lib.Vexan_ChangePDOID(self._slot, cob_id, new_cob_id, b),
                             nothing, wait)

    @overload
    def dynamic(self, node: int, cob_id: int, first: int, second: int, value: int,
                wait: Literal[True] = True) -> None: ...
    @overload
    def dynamic(self, node: int, cob_id: int, first: int, second: int, value: int,
                wait: Literal[False]) -> Pending[None]: ...
    @overload
    def dynamic(self, node: int, cob_id: int, first: int, second: int, value: int,
                wait: bool = True) -> Union[None, Pending[None]]: ...

    def dynamic(self, node: int, cob_id: int, first: int, second: int, value: int, wait: bool = True) -> MaybePending:
        """Changes the mapping of a PDO (the module's arguments)."""
        node, cob_id = _c.node(node), _c.cob_id(cob_id)
        first, second, value = _c.u8(first, "first"), _c.u8(second, "second"), _c.u32(value, "value")
        return self._request(
            f"pdo dynamic 0x{cob_id:03X}",
            lambda b: self._lib.Vexan_DynamicPDO(self._slot, node, cob_id, first, second, value, b), nothing, wait)

    @overload
    def use_entries(self, cob_id: int, entries: int, wait: Literal[True] = True) -> None: ...
    @overload
    def use_entries(self, cob_id: int, entries: int, wait: Literal[False]) -> Pending[None]: ...
    @overload
    def use_entries(self, cob_id: int, entries: int, wait: bool = True) -> Union[None, Pending[None]]: ...

    def use_entries(self, cob_id: int, entries: int, wait: bool = True) -> MaybePending:
        """Sets how many mapping entries PDO ``cob_id`` uses."""
        cob_id, entries = _c.cob_id(cob_id), _c.u8(entries, "entries")
        return self._request(f"pdo use entries 0x{cob_id:03X}",
                             lambda b: self._lib.Vexan_PDOUseEntry(self._slot, cob_id, entries, b),
                             nothing, wait)

    @overload
    def set_transmission_type(self, cob_id: int, transmission_type: int, wait: Literal[True] = True) -> None: ...
    @overload
    def set_transmission_type(self, cob_id: int, transmission_type: int, wait: Literal[False]) -> Pending[None]: ...
    @overload
    def set_transmission_type(self, cob_id: int, transmission_type: int,
                              wait: bool = True) -> Union[None, Pending[None]]: ...

    def set_transmission_type(self, cob_id: int, transmission_type: int, wait: bool = True) -> MaybePending:
        """Sets the transmission type of PDO ``cob_id``."""
        cob_id = _c.cob_id(cob_id)
        transmission_type = _c.u8(transmission_type, "transmission_type")
        return self._request(
            f"pdo transmission type 0x{cob_id:03X}",
            lambda b: self._lib.Vexan_PDOTxType(self._slot, cob_id, transmission_type, b), nothing, wait)

    @overload
    def set_event_timer(self, cob_id: int, ms: int, wait: Literal[True] = True) -> None: ...
    @overload
    def set_event_timer(self, cob_id: int, ms: int, wait: Literal[False]) -> Pending[None]: ...
    @overload
    def set_event_timer(self, cob_id: int, ms: int, wait: bool = True) -> Union[None, Pending[None]]: ...

    def set_event_timer(self, cob_id: int, ms: int, wait: bool = True) -> MaybePending:
        """Sets the event timer (ms) of PDO ``cob_id``."""
        cob_id, ms = _c.cob_id(cob_id), _c.u16(ms, "ms")
        return self._request(f"pdo event timer 0x{cob_id:03X}",
                             lambda b: self._lib.Vexan_PDOEventTimer(self._slot, cob_id, ms, b), nothing, wait)

    @overload
    def set_inhibit_time(self, cob_id: int, inhibit_time: int, wait: Literal[True] = True) -> None: ...
    @overload
    def set_inhibit_time(self, cob_id: int, inhibit_time: int, wait: Literal[False]) -> Pending[None]: ...
    @overload
    def set_inhibit_time(self, cob_id: int, inhibit_time: int, wait: bool = True) -> Union[None, Pending[None]]: ...

    def set_inhibit_time(self, cob_id: int, inhibit_time: int, wait: bool = True) -> MaybePending:
        """Sets the inhibit time of PDO ``cob_id``."""
        cob_id, inhibit_time = _c.cob_id(cob_id), _c.u16(inhibit_time, "inhibit_time")
        return self._request(
            f"pdo inhibit time 0x{cob_id:03X}",
            lambda b: self._lib.Vexan_PDOInhibitTime(self._slot, cob_id, inhibit_time, b), nothing, wait)

    @overload
    def map_info(self, cob_id: int, wait: Literal[True] = True) -> PdoMapInfo: ...
    @overload
    def map_info(self, cob_id: int, wait: Literal[False]) -> Pending[PdoMapInfo]: ...
    @overload
    def map_info(self, cob_id: int, wait: bool = True) -> Union[PdoMapInfo, Pending[PdoMapInfo]]: ...

    def map_info(self, cob_id: int, wait: bool = True) -> Union[PdoMapInfo, Pending[PdoMapInfo]]:
        """The mapping of PDO ``cob_id``."""
        cob_id = _c.cob_id(cob_id)
        f1, f2, f3, f4, count = _u16(), _u8(), _u8(), _u16(), _u8()
        entries = (_u32 * PDO_MAX_ENTRIES)()
        return self._request(
            f"pdo map info 0x{cob_id:03X}",
            lambda b: self._lib.Vexan_GetPDOMapInfo(self._slot, cob_id, ctypes.byref(f1), ctypes.byref(f2),
                                                    ctypes.byref(f3), ctypes.byref(f4), ctypes.byref(count),
                                                    entries, b),
            lambda: PdoMapInfo(f1.value, f2.value, f3.value, f4.value,
                               list(entries[:min(count.value, PDO_MAX_ENTRIES)])), wait)
