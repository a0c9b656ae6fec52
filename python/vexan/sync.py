"""SYNC messages and COB-IDs (``master.sync``)."""

from __future__ import annotations

import ctypes
from ctypes import c_uint16 as _u16, c_uint32 as _u32
from typing import List, Literal, NamedTuple, Union, overload

from . import _checks as _c
from ._calls import Pending
from ._header import SYNC_CYCLIC_ENTRIES
from ._cob_ids import NodeCobIds
from ._service import MaybePending, nothing

__all__ = ["Sync", "SyncEntry"]


class SyncEntry(NamedTuple):
    """One of the module's cyclic SYNC entries."""

    cob_id: int
    value16: int
    value32: int


class Sync(NodeCobIds):
    """SYNC messages and COB-IDs (``master.sync``)."""

    _word = "sync"
    _change_export = "Vexan_ChangeSYNCID"
    _list_export = "Vexan_SetSYNC_List"
    _get_export = "Vexan_GetSYNCID"

    @overload
    def send(self, cob_id: int = 128, value16: int = 0, value32: int = 0, wait: Literal[True] = True) -> None: ...
    @overload
    def send(self, cob_id: int, value16: int, value32: int, wait: Literal[False]) -> Pending[None]: ...
    @overload
    def send(self, cob_id: int = 128, value16: int = 0, value32: int = 0, *, wait: Literal[False]) -> Pending[None]: ...
    @overload
    def send(self, cob_id: int = 128, value16: int = 0, value32: int = 0,
             wait: bool = True) -> Union[None, Pending[None]]: ...

    def send(self, cob_id: int = 0x80, value16: int = 0, value32: int = 0, wait: bool = True) -> MaybePending:
        """Has the module send SYNC on ``cob_id`` (the two values are the module's)."""
        cob_id = _c.cob_id(cob_id)
        value16, value32 = _c.u16(value16, "value16"), _c.u32(value32, "value32")
        return self._request(f"sync 0x{cob_id:03X}",
                             lambda b: self._lib.Vexan_SendSYNCMsg(self._slot, cob_id, value16, value32, b),
                             nothing, wait)

    @overload
    def cyclic(self, wait: Literal[True] = True) -> List[SyncEntry]: ...
    @overload
    def cyclic(self, wait: Literal[False]) -> Pending[List[SyncEntry]]: ...
    @overload
    def cyclic(self, wait: bool = True) -> Union[List[SyncEntry], Pending[List[SyncEntry]]]: ...

    def cyclic(self, wait: bool = True) -> Union[List[SyncEntry], Pending[List[SyncEntry]]]:
        """The module's five cyclic SYNC entries."""
        cobs, v16, v32 = (_u16 * SYNC_CYCLIC_ENTRIES)(), (_u16 * SYNC_CYCLIC_ENTRIES)(), (_u32 * SYNC_CYCLIC_ENTRIES)()
        return self._request(
            "cyclic sync", lambda b: self._lib.Vexan_GetCyclicSYNCInfo(self._slot, cobs, v16, v32, b),
            lambda: [SyncEntry(cobs[i], v16[i], v32[i]) for i in range(SYNC_CYCLIC_ENTRIES)], wait)
