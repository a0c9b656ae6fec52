"""EMCY messages and COB-IDs (``master.emcy``)."""

from __future__ import annotations

import ctypes
from ctypes import c_uint8 as _u8, c_uint16 as _u16
from typing import Literal, Optional, Union, overload

from . import _checks as _c
from ._calls import Pending
from ._header import EMCY_DATA
from ._service import LastData, MaybePending, Service, nothing
from .errors import Result

__all__ = ["Emcy", "LastData"]


class Emcy(Service):
    """EMCY messages and COB-IDs (``master.emcy``)."""

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

    @overload
    def set_id(self, node: int, cob_id: int, list_form: bool = False, wait: Literal[True] = True) -> None: ...
    @overload
    def set_id(self, node: int, cob_id: int, list_form: bool, wait: Literal[False]) -> Pending[None]: ...
    @overload
    def set_id(self, node: int, cob_id: int, list_form: bool = False, *, wait: Literal[False]) -> Pending[None]: ...
    @overload
    def set_id(self, node: int, cob_id: int, list_form: bool = False,
               wait: bool = True) -> Union[None, Pending[None]]: ...

    def set_id(self, node: int, cob_id: int, list_form: bool = False, wait: bool = True) -> MaybePending:
        """Sets the EMCY COB-ID the node uses (``list_form``: the module's list variant)."""
        node, cob_id = _c.node(node), _c.cob_id(cob_id)
        export = self._lib.Vexan_SetEMCY_List if list_form else self._lib.Vexan_ChangeEMCYID
        return self._request(f"emcy id node {node}", lambda b: export(self._slot, node, cob_id, b),
                             nothing, wait)

    @overload
    def get_id(self, node: int, wait: Literal[True] = True) -> int: ...
    @overload
    def get_id(self, node: int, wait: Literal[False]) -> Pending[int]: ...
    @overload
    def get_id(self, node: int, wait: bool = True) -> Union[int, Pending[int]]: ...

    def get_id(self, node: int, wait: bool = True) -> Union[int, Pending[int]]:
        """The EMCY COB-ID the node uses."""
        node = _c.node(node)
        cob = _u16()
        return self._request(f"emcy id node {node}",
                             lambda b: self._lib.Vexan_GetEMCYID(self._slot, node, ctypes.byref(cob), b),
                             lambda: cob.value, wait)
