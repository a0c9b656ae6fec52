"""NMT services (``master.nmt``): state changes, state, node guarding and heartbeat."""

from __future__ import annotations

import enum
from ctypes import c_uint8 as _u8
from typing import Literal, Union, overload

from . import _checks as _c
from ._calls import Pending
from ._header import NODE_REPLY_BUFFER
from ._service import MaybePending, Service, nothing

__all__ = ["Nmt", "NmtCommand", "NmtState"]


class NmtCommand(enum.IntEnum):
    """NMT state changes (``master.nmt.change``)."""

    START = 1
    STOP = 2
    ENTER_PRE_OPERATIONAL = 128
    RESET_NODE = 129
    RESET_COMMUNICATION = 130


class NmtState(enum.IntEnum):
    """NMT states as ``master.nmt.state`` reports them."""

    INITIALISING = 0
    STOPPED = 4
    OPERATIONAL = 5
    PRE_OPERATIONAL = 127


class Nmt(Service):
    """NMT services (``master.nmt``)."""

    @overload
    def change(self, node: int, command: int, wait: Literal[True] = True) -> None: ...
    @overload
    def change(self, node: int, command: int, wait: Literal[False]) -> Pending[None]: ...
    @overload
    def change(self, node: int, command: int, wait: bool = True) -> Union[None, Pending[None]]: ...

    def change(self, node: int, command: int, wait: bool = True) -> MaybePending:
        """Sends an NMT state change (:class:`NmtCommand` or the module's value)."""
        node, command = _c.node_or_all(node), _c.u8(command, "command")
        name = NmtCommand(command).name.lower() if command in NmtCommand._value2member_map_ else str(command)
        return self._request(f"nmt {name} node {node}",
                             lambda b: self._lib.Vexan_NMTChangeState(self._slot, node, command, b),
                             nothing, wait)

    @overload
    def start(self, node: int, wait: Literal[True] = True) -> None: ...
    @overload
    def start(self, node: int, wait: Literal[False]) -> Pending[None]: ...
    @overload
    def start(self, node: int, wait: bool = True) -> Union[None, Pending[None]]: ...

    def start(self, node: int, wait: bool = True) -> MaybePending:
        """Puts the node into operational."""
        return self.change(node, NmtCommand.START, wait)

    @overload
    def stop(self, node: int, wait: Literal[True] = True) -> None: ...
    @overload
    def stop(self, node: int, wait: Literal[False]) -> Pending[None]: ...
    @overload
    def stop(self, node: int, wait: bool = True) -> Union[None, Pending[None]]: ...

    def stop(self, node: int, wait: bool = True) -> MaybePending:
        """Stops the node."""
        return self.change(node, NmtCommand.STOP, wait)

    @overload
    def pre_operational(self, node: int, wait: Literal[True] = True) -> None: ...
    @overload
    def pre_operational(self, node: int, wait: Literal[False]) -> Pending[None]: ...
    @overload
    def pre_operational(self, node: int, wait: bool = True) -> Union[None, Pending[None]]: ...

    def pre_operational(self, node: int, wait: bool = True) -> MaybePending:
        """Puts the node into pre-operational."""
        return self.change(node, NmtCommand.ENTER_PRE_OPERATIONAL, wait)

    @overload
    def reset(self, node: int, wait: Literal[True] = True) -> None: ...
    @overload
    def reset(self, node: int, wait: Literal[False]) -> Pending[None]: ...
    @overload
    def reset(self, node: int, wait: bool = True) -> Union[None, Pending[None]]: ...

    def reset(self, node: int, wait: bool = True) -> MaybePending:
        """Resets the node (it boots up again)."""
        return self.change(node, NmtCommand.RESET_NODE, wait)

    @overload
    def reset_communication(self, node: int, wait: Literal[True] = True) -> None: ...
    @overload
    def reset_communication(self, node: int, wait: Literal[False]) -> Pending[None]: ...
    @overload
    def reset_communication(self, node: int, wait: bool = True) -> Union[None, Pending[None]]: ...

    def reset_communication(self, node: int, wait: bool = True) -> MaybePending:
        """Resets the node's communication."""
        return self.change(node, NmtCommand.RESET_COMMUNICATION, wait)

    @overload
    def state(self, node: int, wait: Literal[True] = True) -> Union[NmtState, int]: ...
    @overload
    def state(self, node: int, wait: Literal[False]) -> Pending[Union[NmtState, int]]: ...
    @overload
    def state(self, node: int, wait: bool = True) -> Union[Union[NmtState, int], Pending[Union[NmtState, int]]]: ...

    def state(self, node: int, wait: bool = True) -> Union[Union[NmtState, int], Pending[Union[NmtState, int]]]:
        """The node's NMT state: an :class:`NmtState`, or the plain value when it names none."""
        node = _c.node(node)
        reply = (_u8 * NODE_REPLY_BUFFER)()

        def finish() -> Union[NmtState, int]:
            value = reply[0]
            return NmtState(value) if value in NmtState._value2member_map_ else value

        return self._request(f"nmt state node {node}",
                             lambda b: self._lib.Vexan_NMTGetState(self._slot, node, reply, b), finish, wait)

    @overload
    def guarding(self, node: int, guard_time: int, life_time_factor: int, wait: Literal[True] = True) -> None: ...
    @overload
    def guarding(self, node: int, guard_time: int, life_time_factor: int, wait: Literal[False]) -> Pending[None]: ...
    @overload
    def guarding(self, node: int, guard_time: int, life_time_factor: int,
                 wait: bool = True) -> Union[None, Pending[None]]: ...

    def guarding(self, node: int, guard_time: int, life_time_factor: int, wait: bool = True) -> MaybePending:
        """Sets up node guarding of the node."""
        node = _c.node(node)
        guard_time = _c.u16(guard_time, "guard_time")
        life_time_factor = _c.u8(life_time_factor, "life_time_factor")
        return self._request(
            f"node guarding node {node}",
            lambda b: self._lib.Vexan_NMTGuarding(self._slot, node, guard_time, life_time_factor, b), nothing, wait)

    @overload
    def heartbeat(self, node: int, time1: int, time2: int, wait: Literal[True] = True) -> None: ...
    @overload
    def heartbeat(self, node: int, time1: int, time2: int, wait: Literal[False]) -> Pending[None]: ...
    @overload
    def heartbeat(self, node: int, time1: int, time2: int, wait: bool = True) -> Union[None, Pending[None]]: ...

    def heartbeat(self, node: int, time1: int, time2: int, wait: bool = True) -> MaybePending:
        """Sets up heartbeat monitoring of the node (the module's two times)."""
        node, time1, time2 = _c.node(node), _c.u16(time1, "time1"), _c.u16(time2, "time2")
        return self._request(f"heartbeat node {node}",
                             lambda b: self._lib.Vexan_NMTHeartbeat(self._slot, node, time1, time2, b),
                             nothing, wait)
