"""Event callbacks: the library's event queues delivered to Python callables.

The library calls a plain C callback on a board's receive thread whenever
records of a kind wait, and the application takes them with the kind's reader.
This module installs one C callback per kind for the whole process (kept alive
as long as the module, since the library may hold it across a master's
shut-down), which reads the records and hands each one to the Python handlers
of the master whose slot queued it (the :class:`Events` of that slot with
handlers). An exception raised by a handler is caught
there, recorded on that master and reported; it never reaches the receive
thread.
"""

from __future__ import annotations

import collections
import ctypes
import logging
import threading
from dataclasses import dataclass
from typing import Any, Callable, Deque, Dict, List, Optional, Tuple

from . import _checks as _c
from ._header import EMCY_DATA, PDO_MAX_DATA
from ._library import EventCallback, library
from ._service import Board
from .errors import Result, VexanError

__all__ = ["EVENT_KINDS", "Event", "EventHandler", "Events"]

log = logging.getLogger("vexan")


@dataclass(frozen=True)
class Event:
    """One record of an event queue.

    Attributes:
        kind: one of :data:`EVENT_KINDS`.
        slot: the slot of the board that queued it.
        node: the node id (``bootup``, ``emcy``, ``nmt_error``).
        code: the module's NMT error code (``nmt_error``).
        index, sub: the object another master reads or writes
            (``sdo_read``, ``sdo_write``).
        cob_id: the PDO's COB-ID (``remote_pdo``, ``rx_pdo``).
        data: the EMCY message, or the bytes another master wrote or sent.
    """

    kind: str
    slot: int
    node: Optional[int] = None
    code: Optional[int] = None
    index: Optional[int] = None
    sub: Optional[int] = None
    cob_id: Optional[int] = None
    data: bytes = b""


EventHandler = Callable[[Event], None]

_u8 = ctypes.c_uint8
_u16 = ctypes.c_uint16


def _bootup(lib: ctypes.CDLL) -> Tuple[int, Callable[[], Event]]:
    slot, node = _u8(), _u8()
    code = lib.Vexan_GetBootUpNodeAfterAdd(ctypes.byref(slot), ctypes.byref(node))
    return code, lambda: Event("bootup", slot.value, node=node.value)


def _emcy(lib: ctypes.CDLL) -> Tuple[int, Callable[[], Event]]:
    slot, node, data = _u8(), _u8(), (_u8 * EMCY_DATA)()
    code = lib.Vexan_GetEMCYData(ctypes.byref(slot), ctypes.byref(node), data)
    return code, lambda: Event("emcy", slot.value, node=node.value, data=bytes(data))


def _nmt_error(lib: ctypes.CDLL) -> Tuple[int, Callable[[], Event]]:
    slot, node, error = _u8(), _u8(), _u8()
    code = lib.Vexan_GetNMTError(ctypes.byref(slot), ctypes.byref(node), ctypes.byref(error))
    return code, lambda: Event("nmt_error", slot.value, node=node.value, code=error.value)


def _sdo_read(lib: ctypes.CDLL) -> Tuple[int, Callable[[], Event]]:
    slot, index, sub = _u8(), _u16(), _u8()
    code = lib.Vexan_GetMasterReadSDOEvent(ctypes.byref(slot), ctypes.byref(index), ctypes.byref(sub))
    return code, lambda: Event("sdo_read", slot.value, index=index.value, sub=sub.value)


def _sdo_write(lib: ctypes.CDLL) -> Tuple[int, Callable[[], Event]]:
    slot, index, sub, length, data = _u8(), _u16(), _u8(), _u8(), (_u8 * PDO_MAX_DATA)()
    code = lib.Vexan_GetMasterWriteSDOEvent(ctypes.byref(slot), ctypes.byref(index), ctypes.byref(sub),
                                            ctypes.byref(length), data)
    return code, lambda: Event("sdo_write", slot.value, index=index.value, sub=sub.value,
                               data=bytes(data)[:min(length.value, PDO_MAX_DATA)])


def _remote_pdo(lib: ctypes.CDLL) -> Tuple[int, Callable[[], Event]]:
    slot, cob = _u8(), _u16()
    code = lib.Vexan_GetMasterRemotePDOEvent(ctypes.byref(slot), ctypes.byref(cob))
    return code, lambda: Event("remote_pdo", slot.value, cob_id=cob.value)


def _rx_pdo(lib: ctypes.CDLL) -> Tuple[int, Callable[[], Event]]:
    slot, cob, length, data = _u8(), _u16(), _u8(), (_u8 * PDO_MAX_DATA)()
    code = lib.Vexan_GetMasterRxPDOEvent(ctypes.byref(slot), ctypes.byref(cob), ctypes.byref(length), data)
    return code, lambda: Event("rx_pdo", slot.value, cob_id=cob.value,
                               data=bytes(data)[:min(length.value, PDO_MAX_DATA)])


# kind -> (suffix of the install and remove exports, reader)
_KINDS: Dict[str, Tuple[str, Callable[[ctypes.CDLL], Tuple[int, Callable[[], Event]]]]] = {
    "bootup": ("BootUpISR", _bootup),
    "emcy": ("EMCYISR", _emcy),
    "nmt_error": ("NMTErrISR", _nmt_error),
    "sdo_read": ("ReadSDOISR", _sdo_read),
    "sdo_write": ("WriteSDOISR", _sdo_write),
    "rx_pdo": ("RxPDOISR", _rx_pdo),
    "remote_pdo": ("RemotePDOISR", _remote_pdo),
}

#: The event kinds: a node's boot-up, an EMCY message, an NMT error the module
#: detected, and other masters' requests to the module as a node (SDO read,
#: SDO write, a PDO received, a remote PDO request).
EVENT_KINDS: Tuple[str, ...] = tuple(_KINDS)

# The handlers of which slot, for routing records to them: the Events of a
# master while it has handlers.
_owners: Dict[int, "Events"] = {}
_owners_lock = threading.Lock()


def _route(slot: int, events: "Events") -> None:
    with _owners_lock:
        _owners[slot] = events


def _unroute(slot: int, events: "Events") -> None:
    with _owners_lock:
        if _owners.get(slot) is events:
            del _owners[slot]


def _drain(kind: str) -> None:
    """Takes every record of the kind's queue and hands each to its master."""
    lib = library()
    reader = _KINDS[kind][1]
    while True:
        code, make = reader(lib)
        if code == Result.VEXAN_OUT_OF_RANGE:
            continue  # a malformed record, consumed: read on
        if code != Result.VEXAN_OK:
            return
        event = make()
        with _owners_lock:
            owner = _owners.get(event.slot)
        if owner is not None:
            owner._deliver(event)


def _trampoline(kind: str) -> Any:
    def callback() -> None:
        try:
            _drain(kind)
        except BaseException as error:  # nothing may cross into the receive thread
            log.error("vexan: reading %s events failed", kind, exc_info=error)
    return EventCallback(callback)


# One C callback per kind for the life of the process.
_CALLBACKS = {kind: _trampoline(kind) for kind in _KINDS}


class Events:
    """The event handlers of one master (``master.events``).

    Handlers are called on the board's receive thread with one :class:`Event`
    each; they may call the master's blocking methods, but should return soon,
    since the thread also polls the module for further events. An exception
    raised by a handler is caught: it is appended to :attr:`errors` and passed
    to :attr:`on_error` (by default logged on the ``vexan`` logger).
    """

    #: How many handler exceptions :attr:`errors` keeps.
    MAX_ERRORS = 100

    def __init__(self, board: Board) -> None:
        self._board = board
        self._lock = threading.Lock()
        self._config_lock = threading.Lock()
        self._handlers: Dict[str, List[EventHandler]] = {}
        #: The latest exceptions raised by handlers, as (event, exception).
        self.errors: Deque[Tuple[Event, BaseException]] = collections.deque(maxlen=self.MAX_ERRORS)
        #: Called with (event, exception) when a handler raises; None logs it.
        self.on_error: Optional[Callable[[Event, BaseException], None]] = None

    def on(self, kind: str, handler: EventHandler) -> None:
        """Calls ``handler(event)`` for each event of ``kind`` on this master.

        Installs the library's callback for the kind on the first handler::

            master.events.on("bootup", lambda e: print("boot-up of", e.node))

        Raises ValueError for an unknown kind, VexanError when the library
        refuses the callback (``VEXAN_MASTER_ID_ZERO`` for other masters'
        requests on a master started with master node id 0).
        """
        if kind not in _KINDS:
            raise ValueError(f"unknown event kind {kind!r}; one of {', '.join(EVENT_KINDS)}")
        if not callable(handler):
            raise TypeError(f"handler must be callable, not {type(handler).__name__}")
        # The library is called outside the handler lock, which the receive
        # thread takes to deliver events.
        with self._config_lock:
            with self._lock:
                first = not self._handlers.get(kind)
            if first:
                self._install(kind)
            with self._lock:
                self._handlers.setdefault(kind, []).append(handler)
            # Only an open master gets here (the install checks it), so a
            # closed one never takes its slot's records from a newer master.
            _route(self._board.slot, self)

    def off(self, kind: str, handler: Optional[EventHandler] = None) -> None:
        """Removes one handler of ``kind``, or all of them when none is given.

        The library's callback for the kind is removed with the last handler.
        """
        if kind not in _KINDS:
            raise ValueError(f"unknown event kind {kind!r}")
        with self._config_lock:
            with self._lock:
                handlers = self._handlers.get(kind, [])
                if handler is not None:
                    handlers = [h for h in handlers if h is not handler]
                else:
                    handlers = []
                had = kind in self._handlers
                if handlers:
                    self._handlers[kind] = handlers
                else:
                    self._handlers.pop(kind, None)
        if not had or handlers:
            return
        # The library's removal waits for a callback of the kind that is running,
        # whose handlers may call on() or off() themselves: it is made outside the
        # configuration lock. A handler added meanwhile found the library's
        # callback still in place and did not install it: it is put back.
        self._remove(kind)
        with self._config_lock:
            with self._lock:
                again = bool(self._handlers.get(kind))
            if again and self._board.is_open:
                self._install(kind)

    def clear(self) -> None:
        """Removes every handler of every kind, and the library's callbacks for them.

        The master does this when it closes. Raises VexanError when the
        library refuses to remove a callback, after trying every kind.
        """
        with self._config_lock:
            _unroute(self._board.slot, self)
            with self._lock:
                kinds = list(self._handlers)
                self._handlers.clear()
            failure: Optional[VexanError] = None
            for kind in kinds:
                try:
                    self._remove(kind)
                except VexanError as error:
                    failure = failure or error
        if failure is not None:
            raise failure

    def respond_sdo_read(self, index: int, sub: int, data: bytes) -> None:
        """Answers another master's SDO read of (index, sub) with 1..4 bytes."""
        index, sub = _c.index(index), _c.sub(sub)
        payload = _c.check_bytes(data, "data", 1, 4)
        buffer = (_u8 * len(payload))(*payload)
        self._answer(f"answer sdo read {index:04X}/{sub:02X}",
                     lambda lib, slot: lib.Vexan_ResponseMasterSDO(slot, 0, index, sub, len(payload), buffer))

    def respond_sdo_write(self, index: int, sub: int) -> None:
        """Confirms another master's SDO write of (index, sub)."""
        index, sub = _c.index(index), _c.sub(sub)
        buffer = (_u8 * 1)()
        self._answer(f"answer sdo write {index:04X}/{sub:02X}",
                     lambda lib, slot: lib.Vexan_ResponseMasterSDO(slot, 1, index, sub, 0, buffer))

    def respond_pdo(self, cob_id: int, data: bytes) -> None:
        """Answers another master's remote request for PDO ``cob_id`` (0..8 bytes)."""
        cob_id = _c.cob_id(cob_id)
        payload = _c.check_bytes(data, "data", 0, PDO_MAX_DATA)
        buffer = (_u8 * max(1, len(payload)))(*payload)
        self._answer(f"answer remote pdo 0x{cob_id:03X}",
                     lambda lib, slot: lib.Vexan_ResponseMasterPDO(slot, cob_id, len(payload), buffer))

    # ---- internals

    def _answer(self, operation: str, invoke: Callable[[ctypes.CDLL, int], Any]) -> None:
        board = self._board
        board.check_open(operation)
        board.once(operation, invoke(library(), board.slot))

    def _install(self, kind: str) -> None:
        board = self._board
        operation = f"install {kind} callback"
        board.check_open(operation)
        board.once(operation, getattr(library(), "Vexan_Install" + _KINDS[kind][0])(board.slot, _CALLBACKS[kind]))

    def _remove(self, kind: str) -> None:
        board = self._board
        if board.is_open:
            board.once(f"remove {kind} callback", getattr(library(), "Vexan_Remove" + _KINDS[kind][0])(board.slot))

    def _deliver(self, event: Event) -> None:
        with self._lock:
            handlers = list(self._handlers.get(event.kind, ()))
        for handler in handlers:
            try:
                handler(event)
            except BaseException as error:  # caught here: never into the receive thread
                self._report(event, error)

    def _report(self, event: Event, error: BaseException) -> None:
        self.errors.append((event, error))
        hook = self.on_error
        if hook is None:
            log.error("vexan: %s handler failed on %s", event.kind, event, exc_info=error)
            return
        try:
            hook(event, error)
        except BaseException as hook_error:
            log.error("vexan: on_error hook failed", exc_info=hook_error)
