"""The COB-ID a node uses for SYNC or EMCY: one pair of calls for both services."""

from __future__ import annotations

import ctypes
from ctypes import c_uint16 as _u16
from typing import Literal, Union, overload

from . import _checks as _c
from ._calls import Pending
from ._service import MaybePending, Service, nothing


class NodeCobIds(Service):
    """Sets and reads the COB-ID a node uses for the service a subclass names.

    A subclass gives the service's word for operation texts and the names of
    its three exports (change, list form of the change, get).
    """

    _word = ""
    _change_export = ""
    _list_export = ""
    _get_export = ""

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
        """Sets the COB-ID the node uses for this service (``list_form``: the module's list variant)."""
        node, cob_id = _c.node(node), _c.cob_id(cob_id)
        export = getattr(self._lib, self._list_export if list_form else self._change_export)
        return self._request(f"{self._word} id node {node}", lambda b: export(self._slot, node, cob_id, b),
                             nothing, wait)

    @overload
    def get_id(self, node: int, wait: Literal[True] = True) -> int: ...
    @overload
    def get_id(self, node: int, wait: Literal[False]) -> Pending[int]: ...
    @overload
    def get_id(self, node: int, wait: bool = True) -> Union[int, Pending[int]]: ...

    def get_id(self, node: int, wait: bool = True) -> Union[int, Pending[int]]:
        """The COB-ID the node uses for this service."""
        node = _c.node(node)
        cob = _u16()
        export = getattr(self._lib, self._get_export)
        return self._request(f"{self._word} id node {node}",
                             lambda b: export(self._slot, node, ctypes.byref(cob), b),
                             lambda: cob.value, wait)
