"""The module's slave nodes (``master.nodes``): scan, node list, add and remove, identity."""

from __future__ import annotations

from ctypes import c_uint8 as _u8
from typing import List, Literal, NamedTuple, Union, overload

from . import _checks as _c
from ._calls import Pending
from ._header import NODE_REPLY_BUFFER
from ._service import Board, MaybePending, Service, nothing
from .sdo import Sdo

__all__ = ["Identity", "Nodes"]


class Identity(NamedTuple):
    """A node's identity object (0x1018, sub-indices 1..4)."""

    vendor: int
    product: int
    revision: int
    serial: int

    def __str__(self) -> str:
        return (f"vendor 0x{self.vendor:08X} product 0x{self.product:08X} "
                f"revision 0x{self.revision:08X} serial 0x{self.serial:08X}")



def _ids(reply: bytes) -> List[int]:
    """Node ids of a scan or node list reply: [count, ids...]."""
    return list(reply[1:1 + min(reply[0], len(reply) - 1)])


class Nodes(Service):
    """The module's slave nodes (``master.nodes``); ``sdo`` reads their identity."""

    def __init__(self, board: Board, sdo: Sdo) -> None:
        super().__init__(board)
        self._sdo = sdo

    @overload
    def scan(self, param1: int = 0, param2: int = 0, wait: Literal[True] = True) -> List[int]: ...
    @overload
    def scan(self, param1: int, param2: int, wait: Literal[False]) -> Pending[List[int]]: ...
    @overload
    def scan(self, param1: int = 0, param2: int = 0, *, wait: Literal[False]) -> Pending[List[int]]: ...
    @overload
    def scan(self, param1: int = 0, param2: int = 0, wait: bool = True) -> Union[List[int], Pending[List[int]]]: ...

    def scan(self, param1: int = 0, param2: int = 0, wait: bool = True) -> Union[List[int], Pending[List[int]]]:
        """Scans the bus; returns the node ids found."""
        param1, param2 = _c.u8(param1, "param1"), _c.u8(param2, "param2")
        reply = (_u8 * NODE_REPLY_BUFFER)()
        return self._request("scan", lambda b: self._lib.Vexan_ScanNode(self._slot, param1, param2, reply, b),
                             lambda: _ids(bytes(reply)), wait)

    @overload
    def list(self, wait: Literal[True] = True) -> List[int]: ...
    @overload
    def list(self, wait: Literal[False]) -> Pending[List[int]]: ...
    @overload
    def list(self, wait: bool = True) -> Union[List[int], Pending[List[int]]]: ...

    def list(self, wait: bool = True) -> Union[List[int], Pending[List[int]]]:
        """The node ids of the master's node list."""
        reply = (_u8 * NODE_REPLY_BUFFER)()
        return self._request("node list", lambda b: self._lib.Vexan_GetNodeList(self._slot, reply, b),
                             lambda: _ids(bytes(reply)), wait)

    @overload
    def add(self, node: int, param: int = 0, word1: int = 0, word2: int = 0, wait: Literal[True] = True) -> None: ...
    @overload
    def add(self, node: int, param: int, word1: int, word2: int, wait: Literal[False]) -> Pending[None]: ...
    @overload
    def add(self, node: int, param: int = 0, word1: int = 0, word2: int = 0, *,
            wait: Literal[False]) -> Pending[None]: ...
    @overload
    def add(self, node: int, param: int = 0, word1: int = 0, word2: int = 0,
            wait: bool = True) -> Union[None, Pending[None]]: ...

    def add(self, node: int, param: int = 0, word1: int = 0, word2: int = 0, wait: bool = True) -> MaybePending:
        """Adds a node to the master's node list (the module's add parameters)."""
        node, param = _c.node(node), _c.u8(param, "param")
        word1, word2 = _c.u16(word1, "word1"), _c.u16(word2, "word2")
        return self._request(
            f"add node {node}", lambda b: self._lib.Vexan_AddNode(self._slot, node, param, word1, word2, b),
            nothing, wait)

    @overload
    def remove(self, node: int, reset: bool = False, wait: Literal[True] = True) -> None: ...
    @overload
    def remove(self, node: int, reset: bool, wait: Literal[False]) -> Pending[None]: ...
    @overload
    def remove(self, node: int, reset: bool = False, *, wait: Literal[False]) -> Pending[None]: ...
    @overload
    def remove(self, node: int, reset: bool = False, wait: bool = True) -> Union[None, Pending[None]]: ...

    def remove(self, node: int, reset: bool = False, wait: bool = True) -> MaybePending:
        """Removes a node from the list (and resets it when ``reset``)."""
        node = _c.node(node)
        export = self._lib.Vexan_RemoveAndResetNode if reset else self._lib.Vexan_RemoveNode
        return self._request(f"remove node {node}", lambda b: export(self._slot, node, b), nothing, wait)

    @overload
    def set_timing(self, node: int, delay: int, response_timeout: int, wait: Literal[True] = True) -> None: ...
    @overload
    def set_timing(self, node: int, delay: int, response_timeout: int, wait: Literal[False]) -> Pending[None]: ...
    @overload
    def set_timing(self, node: int, delay: int, response_timeout: int,
                   wait: bool = True) -> Union[None, Pending[None]]: ...

    def set_timing(self, node: int, delay: int, response_timeout: int, wait: bool = True) -> MaybePending:
        """Sets the node's delay and response time-out (the module's units)."""
        node = _c.node(node)
        delay, response_timeout = _c.u16(delay, "delay"), _c.u16(response_timeout, "response_timeout")
        return self._request(
            f"delay and response time-out node {node}",
            lambda b: self._lib.Vexan_DelayAndResponseTimeout(self._slot, node, delay, response_timeout, b),
            nothing, wait)

    def identity(self, node: int) -> Identity:
        """Reads the node's identity object (0x1018, sub-indices 1..4)."""
        node = _c.node(node)
        return Identity(*(self._sdo.read_int(node, 0x1018, sub) for sub in range(1, 5)))

