"""EMCY messages and COB-IDs (``master.emcy``)."""

from __future__ import annotations

import ctypes
from ctypes import c_uint8 as _u8
from typing import Literal, Optional, Union, overload

from . import _checks as _c
from ._calls import Pending
from ._header import EMCY_DATA
from ._cob_ids import NodeCobIds
from ._service import LastData
from .errors import Result

__all__ = ["Emcy", "LastData"]


class Emcy(NodeCobIds):
    """EMCY messages and COB-IDs (``master.emcy``)."""

    _word = "emcy"
    _change_export = "Vexan_ChangeEMCYID"
    _list_export = "Vexan_SetEMCY_List"
    _get_export = "Vexan_GetEMCYID"

    @overload
    def last(self, node: int, wait: Literal[True] = True) -> Optional[LastData]: ...
    @overload
    def last(self, node: int, wait: Literal[False]) -> Pending[Optional[LastData]]: ...
    @overload
    def last(self, node: int, wait: bool = True) -> Union[Optional[LastData], Pending[Optional[LastData]]]: ...

    def last(self, node: int, wait: bool = True) -> Union[Optional[LastData], Pending[Optional[LastData]]]:
        """The last EMCY message the module recorded for the node, or None."""
        node = _c.node(node)
        flag, data = _u8(), (_u8 * EMCY_DATA)()

        def finish() -> Optional[LastData]:
            return LastData(flag.value, bytes(data))

        return self._request(
            f"last emcy node {node}",
            lambda b: self._lib.Vexan_ReadLastEMCY(self._slot, node, ctypes.byref(flag), data, b),
            finish, wait, empty=Result.VEXAN_NOTHING_TO_READ)
