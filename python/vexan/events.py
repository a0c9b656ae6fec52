"""Event callbacks: the library's event queues delivered to Python callables.

The library calls a plain C callback on a board's receive thread whenever
records of a kind wait, and the application takes them with the kind's reader.
This module installs one C callback per kind for the whole process (kept alive
as long as the module, since the library may hold it across a master's
shut-down), which reads the records and hands each one to the Python handlers
of the master whose slot queued it. An exception raised by a handler is caught
there, recorded on that master and reported; it never reaches the receive
thread.
"""

from __future__ import annotations

import collections
import ctypes
import logging
import threading
from dataclasses import dataclass
from typing import TYPE_CHECKING, Callable, Deque, Dict, List, Optional, Tuple

from ._library import EventCallback, library
from .errors import Result, VexanError

if TYPE_CHECKING:
    from .master import Master

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


def _bootup(lib) -> Tuple[int, Callable[[], Event]]:
    slot, node = _u8(), _u8()
    code = lib.Vexan_GetBootUpNodeAfterAdd(ctypes.byref(slot), ctypes.byref(node))
    return code, lambda: Event("bootup", slot.value, node=node.value)


def _emcy(lib) -> Tuple[int, Callable[[], Event]]:
    slot, node, data = _u8(), _u8(), (_u8 * 8)()
    code = lib.Vexan_GetEMCYData(ctypes.byref(slot), ctypes.byref(node), data)
    return code, lambda: Event("emcy", slot.value, node=node.value, data=bytes(data))


def _nmt_error(lib) -> Tuple[int, Callable[[], Event]]:
    slot, node, error = _u8(), _u8(), _u8()
    code = lib.Vexan_GetNMTError(ctypes.byref(slot), ctypes.byref(node), ctypes.byref(error))
    return code, lambda: Event("nmt_error", slot.value, node=node.value, code=error.value)


def _sdo_read(lib) -> Tuple[int, Callable[[], Event]]:
    slot, index, sub = _u8(), _u16(), _u8()
    code = lib.Vexan_GetMasterReadSDOEvent(ctypes.byref(slot), ctypes.byref(index), ctypes.byref(sub))
    return code, lambda: Event("sdo_read", slot.value, index=index.value, sub=sub.value)


def _sdo_write(lib) -> Tuple[int, Callable[[], Event]]:
    slot, index, sub, length, data = _u8(), _u16(), _u8(), _u8(), (_u8 * 8)()
    code = lib.Vexan_GetMasterWriteSDOEvent(ctypes.byref(slot), ctypes.byref(index), ctypes.byref(sub),
                                            ctypes.byref(length), data)
    return code, lambda: Event("sdo_write", slot.value, index=index.value, sub=sub.value,
                               data=bytes(data)[:min(length.value, 8)])


def _remote_pdo(lib) -> Tuple[int, Callable[[], Event]]:
    slot, cob = _u8(), _u16()
    code = lib.Vexan_GetMasterRemotePDOEvent(ctypes.byref(slot), ctypes.byref(cob))
    return code, lambda: Event("remote_pdo", slot.value, cob_id=cob.value)


def _rx_pdo(lib) -> Tuple[int, Callable[[], Event]]:
    slot, cob, length, data = _u8(), _u16(), _u8(), (_u8 * 8)()
    code = lib.Vexan_GetMasterRxPDOEvent(ctypes.byref(slot), ctypes.byref(cob), ctypes.byref(length), data)
    return code, lambda: Event("rx_pdo", slot.value, cob_id=cob.value, data=bytes(data)[:min(length.value, 8)])


# kind -> (suffix of the install and remove exports, reader)
_KINDS: Dict[str, Tuple[str, Callable]] = {
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

# Which master owns which slot, for routing records to their handlers.
_owners: Dict[int, "Master"] = {}
_owners_lock = threading.Lock()


def register(slot: int, master: "Master") -> None:
    with _owners_lock:
        _owners[slot] = master


def unregister(slot: int, master: "Master") -> None:
    with _owners_lock:
        if _owners.get(slot) is master:
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
            owner.events._deliver(event)


def _trampoline(kind: str):
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

    def __init__(self, master: "Master") -> None:
        self._master = master
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
        # The library is called outside the handler lock, which the receive
        # thread takes to deliver events.
        with self._config_lock:
            with self._lock:
                first = not self._handlers.get(kind)
            if first:
                self._install(kind)
            with self._lock:
                self._handlers.setdefault(kind, []).append(handler)

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
            if again and self._master.is_open:
                self._install(kind)

    def respond_sdo_read(self, index: int, sub: int, data: bytes) -> None:
        """Answers another master's SDO read of (index, sub) with 1..4 bytes."""
        buffer = (_u8 * max(1, len(data)))(*bytes(data))
        self._answer(f"answer sdo read {index:04X}/{sub:02X}",
                     lambda lib, slot: lib.Vexan_ResponseMasterSDO(slot, 0, index, sub, len(data), buffer))

    def respond_sdo_write(self, index: int, sub: int) -> None:
        """Confirms another master's SDO write of (index, sub)."""
        buffer = (_u8 * 1)()
        self._answer(f"answer sdo write {index:04X}/{sub:02X}",
                     lambda lib, slot: lib.Vexan_ResponseMasterSDO(slot, 1, index, sub, 0, buffer))

    def respond_pdo(self, cob_id: int, data: bytes) -> None:
        """Answers another master's remote request for PDO ``cob_id`` (0..8 bytes)."""
        buffer = (_u8 * max(1, len(data)))(*bytes(data))
        self._answer(f"answer remote pdo 0x{cob_id:03X}",
                     lambda lib, slot: lib.Vexan_ResponseMasterPDO(slot, cob_id, len(data), buffer))

    # ---- internals

    def _answer(self, operation: str, invoke) -> None:
        master = self._master
        master._check_open(operation)
        code = invoke(library(), master.slot)
        if code != Result.VEXAN_OK:
            raise VexanError(code, operation)

    def _install(self, kind: str) -> None:
        master = self._master
        operation = f"install {kind} callback"
        master._check_open(operation)
        lib = library()
        code = getattr(lib, "Vexan_Install" + _KINDS[kind][0])(master.slot, _CALLBACKS[kind])
        if code != Result.VEXAN_OK:
            raise VexanError(code, operation)

    def _remove(self, kind: str) -> None:
        master = self._master
        if not master.is_open:
            return
        code = getattr(library(), "Vexan_Remove" + _KINDS[kind][0])(master.slot)
        if code != Result.VEXAN_OK:
            raise VexanError(code, f"remove {kind} callback")

    def _remove_all(self) -> None:
        """Removes the library's callbacks of every kind with handlers (at close)."""
        with self._config_lock:
            with self._lock:
                kinds = list(self._handlers)
                self._handlers.clear()
        for kind in kinds:
            getattr(library(), "Vexan_Remove" + _KINDS[kind][0])(self._master.slot)

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
