"""The master of one module, with its services grouped as attributes.

A :class:`Master` opens the serial device of a module (or takes the port of a
running simulator), starts the module's master on one of the library's eight
slots and shuts it down again on :meth:`Master.close` or at the end of a
``with`` block. Its services, one module each::

    master.nodes    scan, node list, add and remove, identity   (vexan.nodes)
    master.nmt      state changes, state, guarding and heartbeat (vexan.nmt)
    master.sdo      read and write objects, abort transfers      (vexan.sdo)
    master.pdo      PDO exchange and configuration               (vexan.pdo)
    master.sync     SYNC messages and COB-IDs                    (vexan.sync)
    master.emcy     last EMCY message and COB-IDs                (vexan.emcy)
    master.eds      configure a node from its EDS file           (vexan.eds)
    master.events   event handlers and answers to other masters  (vexan.events)

``master.node(5, eds="drive.eds")`` gives one node in its own terms: objects
by name and type, TPDOs as named fields, NMT (vexan.node, vexan.od).

Every argument is checked before the library is called: a value outside its
range raises ValueError naming the argument and the range (ctypes would
otherwise cut it to the C parameter's width and address another object).

Every method that waits for the module takes ``wait``: True (the default)
blocks and returns the value or raises :class:`~vexan.errors.VexanError`;
False returns a :class:`~vexan._calls.Pending` at once, to be polled,
awaited in a coroutine, or turned into a :class:`concurrent.futures.Future`
with ``.future()``.

The services' classes, records and enums, the serial port functions and the
header's sizes are importable from here as well as from their own modules.
"""

from __future__ import annotations

import atexit
import ctypes
import os
import threading
import weakref
from typing import Any, List, Literal, NamedTuple, Optional, Union, overload

from . import _checks as _c
from ._calls import Pending
# The header's sizes were first defined here; they stay importable from here.
from ._header import EDS_MAX_PATH as EDS_MAX_PATH
from ._header import NODE_REPLY_BUFFER as NODE_REPLY_BUFFER
from ._header import PDO_MAX_DATA as PDO_MAX_DATA
from ._header import PDO_MAX_ENTRIES as PDO_MAX_ENTRIES
from ._header import PDO_MAX_IDS as PDO_MAX_IDS
from ._header import PDO_MAX_MULTI as PDO_MAX_MULTI
from ._header import PDO_MAX_POLLING as PDO_MAX_POLLING
from ._header import SDO_MAX_WRITE as SDO_MAX_WRITE
from ._header import SDO_READ_BUFFER as SDO_READ_BUFFER
from ._header import SDO_SPILL_THRESHOLD as SDO_SPILL_THRESHOLD
from ._header import SYNC_CYCLIC_ENTRIES as SYNC_CYCLIC_ENTRIES
from ._library import library
from ._service import Board, LastData, MaybePending, nothing
from .eds import Eds as Eds
from .emcy import Emcy as Emcy
from .errors import Result, VexanError
from .events import Events
from .nmt import Nmt as Nmt
from .nmt import NmtCommand, NmtState
from .node import Node
from .od import ObjectDictionary
from .nodes import Identity
from .nodes import Nodes as Nodes
from .pdo import PDO_MAX_NUMBER as PDO_MAX_NUMBER
from .pdo import Direction, PdoMapInfo
from .pdo import Pdo as Pdo
from .sdo import Sdo as Sdo
from .serial_port import close_serial, open_serial
from .sync import Sync as Sync
from .sync import SyncEntry

__all__ = ["CanStatus", "Direction", "Identity", "LastData", "Master", "NmtCommand", "NmtState",
           "PdoMapInfo", "SyncEntry", "close_serial", "open_serial"]

Port = Union[str, "os.PathLike[str]", int, Any]

#: The library's slots: 0..SLOTS-1.
SLOTS = 8


class CanStatus(NamedTuple):
    """The first bytes of the module's CAN interface state."""

    state: int
    tx_errors: int
    rx_errors: int
    overruns: int
    raw: bytes


# Slots in use by this process's masters.
_slots: "weakref.WeakValueDictionary[int, Master]" = weakref.WeakValueDictionary()
_open_masters: "weakref.WeakSet[Master]" = weakref.WeakSet()
_slots_lock = threading.Lock()


# Descriptors of starts that timed out while the library still reads them.
_lent_ports: List[int] = []


def _close_all() -> None:
    # Receive threads must not call into an interpreter that is shutting down.
    for master in list(_open_masters):
        try:
            master.close()
        except Exception:
            pass


atexit.register(_close_all)


class Master:
    """The master of one module on one slot.

    Args:
        port: the serial device's path, a running :class:`vexan.sim.Simulator`
            (its port is used), or a file descriptor already open in raw mode
            (the caller keeps it and closes it; it is taken as it is). A path
            is opened with :func:`open_serial`: it must be a terminal, and is
            held exclusively until :meth:`close`.
        slot: the library's slot (0..7); by default the first one this
            process does not use.
        master_id: the master's own node id (0..127).
        init_param: the module's start parameter.
        baud: line speed of the serial device.
        timeout_ms: the board's function time-out (the library's default is
            1000 ms); see :meth:`set_timeout`.
        attempts: how often the start is tried when the module does not
            identify itself in time (``VEXAN_NOT_IDENTIFIED``): the library
            gives it a few tens of milliseconds, which a module that is still
            booting, or a loaded machine running a simulator, can miss.

    Raises VexanError when the module does not start, OSError when the port
    cannot be opened ("not a serial device", "port in use (held by pid N)"),
    ValueError for an argument outside its range.
    """

    def __init__(self, port: Port, *, slot: Optional[int] = None, master_id: int = 1, init_param: int = 0,
                 baud: int = 115200, timeout_ms: Optional[int] = None, attempts: int = 3) -> None:
        if slot is not None:
            slot = _c.check(slot, "slot", 0, SLOTS - 1)
        master_id = _c.check(master_id, "master_id", 0, _c.NODE_MAX)
        init_param = _c.u8(init_param, "init_param")
        if timeout_ms is not None:
            timeout_ms = _c.check(timeout_ms, "timeout_ms", 1, 0xFFFFFFFF)
        attempts = _c.check(attempts, "attempts", 1, 100)
        self._lib = library()
        self._fd: Optional[int] = None
        self._owns_fd = False
        self._open = False
        self._closing = threading.Lock()
        if not isinstance(port, (str, bytes, int, os.PathLike)) and hasattr(port, "port"):
            port = port.port
        if isinstance(port, int):
            # A C int: a larger number would reach the library as another descriptor.
            port = _c.check(port, "port", 0, 0x7FFFFFFF)
        self.port = port if isinstance(port, int) else os.fsdecode(port)
        self.slot = self._claim(slot)
        self.master_id = master_id
        try:
            if isinstance(port, int):
                self._fd = port
            else:
                self._fd = open_serial(port, baud)
                self._owns_fd = True
            for _ in range(attempts):
                code = self._lib.Vexan_InitMaster(self.slot, self._fd, master_id, init_param, 1)
                if code != Result.VEXAN_NOT_IDENTIFIED:
                    break
            if code == Result.VEXAN_TIMEOUT:
                # The start command went out but its answer did not come in
                # time: the library keeps that start pending on this port and
                # its receive thread goes on reading it. The descriptor stays
                # open for the rest of the process, so that its number cannot
                # be given to another file under the library's reads.
                _lent_ports.append(self._fd)
                self._owns_fd = False
            if code != Result.VEXAN_OK:
                raise VexanError(code, f"start master on {self.port} (slot {self.slot})")
        except BaseException:
            self._release_port()
            with _slots_lock:
                _slots.pop(self.slot, None)
            raise
        self._open = True
        _open_masters.add(self)
        self._board = Board(self._lib, self.slot)
        self.sdo = Sdo(self._board)
        self.nodes = Nodes(self._board, self.sdo)
        self.nmt = Nmt(self._board)
        self.pdo = Pdo(self._board)
        self.sync = Sync(self._board)
        self.emcy = Emcy(self._board)
        self.eds = Eds(self._board)
        self.events = Events(self._board)
        self._nodes: "weakref.WeakSet[Node]" = weakref.WeakSet()
        if timeout_ms is not None:
            self.set_timeout(timeout_ms)

    def _claim(self, slot: Optional[int]) -> int:
        with _slots_lock:
            if slot is None:
                free = [s for s in range(SLOTS) if s not in _slots]
                if not free:
                    raise VexanError(Result.VEXAN_NOT_OPEN, "start master: all eight slots are in use")
                slot = free[0]
            elif slot in _slots:
                raise ValueError(f"slot {slot} is in use by {_slots[slot]!r}")
            _slots[slot] = self
            return slot

    def _release_port(self) -> None:
        if self._owns_fd and self._fd is not None:
            close_serial(self._fd)
        self._fd = None

    def __repr__(self) -> str:
        state = "open" if self._open else "closed"
        return f"<vexan.Master slot {self.slot} on {self.port} ({state})>"

    def __enter__(self) -> "Master":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    @property
    def is_open(self) -> bool:
        """True from a successful start until :meth:`close`."""
        return self._open

    def close(self) -> None:
        """Shuts the master down, frees the slot and closes the port.

        Open futures end with ``VEXAN_NOT_OPEN``; event handlers are removed.
        Does nothing when already closed. When a pause holds the module's stop
        command back, raises VexanError (``VEXAN_PAUSED``) and stays open (with
        its port), so the call can be repeated once traffic resumes. When the
        line cannot carry the stop command (a write failure, a hang-up), the
        library lets the slot go all the same: the master is closed and its
        port released, then VexanError reports the failure, since the module
        may still be running its master.
        """
        with self._closing:
            if not self._open:
                return
            for node in list(self._nodes):
                node.close()
            self._board.stop_polling()
            try:
                self.events.clear()
            except VexanError:
                # A callback the library kept is the package's own, which
                # routes records to the handlers of whichever master has
                # the slot: this one has none left.
                pass
            code = self._lib.Vexan_ShutdownMaster(self.slot)
            if code == Result.VEXAN_PAUSED:
                raise VexanError(code, f"shut down master on slot {self.slot}")
            self._open = False
            self._board.mark_closed()
            _open_masters.discard(self)
            with _slots_lock:
                if _slots.get(self.slot) is self:
                    del _slots[self.slot]
            self._release_port()
            if code not in (Result.VEXAN_OK, Result.VEXAN_NOT_OPEN):
                raise VexanError(code, f"shut down master on slot {self.slot}")

    # ---- nodes in their own terms

    def node(self, node: int, eds: Optional[Union[str, "os.PathLike[str]"]] = None,
             od: Optional[ObjectDictionary] = None) -> Node:
        """The node with its device model: objects by name and type, PDOs as named fields.

        ``eds`` is the node's EDS or DCF file (read with ``$NODEID`` evaluated
        for the node), or ``od`` a model already read; see :mod:`vexan.node`.
        Raises OSError or :class:`vexan.od.EdsError` when the file cannot be
        read, ValueError for a node id outside 1..127.
        """
        made = Node(self, node, eds=eds, od=od)
        self._nodes.add(made)
        return made

    # ---- master control

    def set_timeout(self, ms: int) -> None:
        """Sets the board's function time-out in milliseconds.

        It bounds every call that waits, counted from the sending of the
        request, and applies to requests already pending. A large SDO upload
        must finish within it as a whole: at 115200 baud allow about 100 ms
        per KiB. ``ms``: 1..4294967295 (0 would time every call out at once).
        """
        ms = _c.check(ms, "ms", 1, 0xFFFFFFFF)
        self._board.check_open("set time-out")
        self._lib.Vexan_SetFunctionTimeout(self.slot, ms)

    @overload
    def firmware_version(self, wait: Literal[True] = True) -> int: ...
    @overload
    def firmware_version(self, wait: Literal[False]) -> Pending[int]: ...
    @overload
    def firmware_version(self, wait: bool = True) -> Union[int, Pending[int]]: ...

    def firmware_version(self, wait: bool = True) -> Union[int, Pending[int]]:
        """The module's firmware version (major in the high byte)."""
        version = ctypes.c_uint16()
        return self._board.request("firmware version",
                                   lambda b: self._lib.Vexan_GetFirmwareVersion(self.slot, ctypes.byref(version), b),
                                   lambda: version.value, wait)

    def can_status(self) -> CanStatus:
        """The state of the module's CAN interface (always waits)."""
        self._board.check_open("CAN status")
        raw = (ctypes.c_uint8 * NODE_REPLY_BUFFER)()
        self._board.once("CAN status", self._lib.Vexan_GetCANStatus(self.slot, raw))
        data = bytes(raw)
        return CanStatus(data[0], data[1], data[2], data[3], data)

    @overload
    def get_mode(self, wait: Literal[True] = True) -> int: ...
    @overload
    def get_mode(self, wait: Literal[False]) -> Pending[int]: ...
    @overload
    def get_mode(self, wait: bool = True) -> Union[int, Pending[int]]: ...

    def get_mode(self, wait: bool = True) -> Union[int, Pending[int]]:
        """The master mode (the module's value)."""
        mode = ctypes.c_uint8()
        return self._board.request("master mode",
                                   lambda b: self._lib.Vexan_GetMasterMode(self.slot, ctypes.byref(mode), b),
                                   lambda: mode.value, wait)

    @overload
    def set_mode(self, mode: int, wait: Literal[True] = True) -> None: ...
    @overload
    def set_mode(self, mode: int, wait: Literal[False]) -> Pending[None]: ...
    @overload
    def set_mode(self, mode: int, wait: bool = True) -> Union[None, Pending[None]]: ...

    def set_mode(self, mode: int, wait: bool = True) -> MaybePending:
        """Sets the master mode (the module's value, passed through)."""
        mode = _c.u8(mode, "mode")
        return self._board.request(f"set master mode {mode}",
                                   lambda b: self._lib.Vexan_SetMasterMode(self.slot, mode, b), nothing, wait)

    def send_bootup(self) -> None:
        """Sends the master's own boot-up message."""
        self._board.check_open("send boot-up")
        self._board.once("send boot-up", self._lib.Vexan_MasterSendBootupMsg(self.slot, 1))


def library_version() -> int:
    """The library's version number (203, ``VEXAN_LIBRARY_VERSION``)."""
    return int(library().Vexan_GetVersion())


def pause(ms: int = 0) -> None:
    """Holds all traffic of every board until :func:`resume`, or for ``ms`` ms."""
    ms = _c.u32(ms, "ms")
    library().Vexan_Pause(ms)


def resume() -> None:
    """Lets traffic go again at once."""
    library().Vexan_Start()
