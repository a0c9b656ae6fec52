"""The master of one module, with its services grouped as attributes.

A :class:`Master` opens the serial device of a module (or takes the port of a
running simulator), starts the module's master on one of the library's eight
slots and shuts it down again on :meth:`Master.close` or at the end of a
``with`` block. Its services::

    master.nodes    scan, node list, add and remove, identity
    master.nmt      state changes, state, guarding and heartbeat
    master.sdo      read and write objects, abort transfers
    master.pdo      PDO exchange and configuration
    master.sync     SYNC messages and COB-IDs
    master.emcy     last EMCY message and COB-IDs
    master.eds      configure a node from its EDS file
    master.events   event handlers and answers to other masters

Every method that waits for the module takes ``wait``: True (the default)
blocks and returns the value or raises :class:`~vexan.errors.VexanError`;
False returns a :class:`~vexan._calls.Pending` at once, to be polled or
turned into a :class:`concurrent.futures.Future` with ``.future()``.
"""

from __future__ import annotations

import atexit
import ctypes
import enum
import os
import termios
import threading
import weakref
from typing import Any, Callable, Iterable, List, NamedTuple, Optional, Sequence, TypeVar, Union

from . import events as _events
from ._calls import Call, Pending, Poller, run
from ._library import library
from .errors import Result, VexanError

__all__ = ["CanStatus", "Direction", "Identity", "LastData", "Master", "NmtCommand", "NmtState",
           "PdoMapInfo", "SyncEntry", "open_serial"]

T = TypeVar("T")
Port = Union[str, "os.PathLike[str]", int, Any]
#: What a method without a value returns: None once the module has answered
#: (``wait=True``), or the pending request (``wait=False``).
MaybePending = Optional[Pending[None]]

_u8 = ctypes.c_uint8
_u16 = ctypes.c_uint16
_u32 = ctypes.c_uint32

SLOTS = 8
NODE_REPLY_BUFFER = 252
SDO_READ_BUFFER = 1023
SDO_SPILL_THRESHOLD = 1024
SDO_MAX_WRITE = 248
PDO_MAX_DATA = 8
PDO_MAX_IDS = 126
PDO_MAX_ENTRIES = 8
PDO_MAX_MULTI = 25
SYNC_CYCLIC_ENTRIES = 5
# How much of a spill file is read back per library call.
_SPILL_CHUNK = 64 * 1024

_BAUDS = {9600: termios.B9600, 19200: termios.B19200, 38400: termios.B38400, 57600: termios.B57600,
          115200: termios.B115200, 230400: termios.B230400}
for _rate in (460800, 921600):
    if hasattr(termios, f"B{_rate}"):
        _BAUDS[_rate] = getattr(termios, f"B{_rate}")


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


class Direction(enum.IntEnum):
    """Direction of a PDO, seen from the node."""

    RX = 0  #: the node's receive PDO: data from the master
    TX = 1  #: the node's transmit PDO


class Identity(NamedTuple):
    """A node's identity object (0x1018, sub-indices 1..4)."""

    vendor: int
    product: int
    revision: int
    serial: int

    def __str__(self) -> str:
        return (f"vendor 0x{self.vendor:08X} product 0x{self.product:08X} "
                f"revision 0x{self.revision:08X} serial 0x{self.serial:08X}")


class CanStatus(NamedTuple):
    """The first bytes of the module's CAN interface state."""

    state: int
    tx_errors: int
    rx_errors: int
    overruns: int
    raw: bytes


class LastData(NamedTuple):
    """The module's cached copy of a PDO, or the last EMCY of a node."""

    flag: int
    data: bytes


class PdoMapInfo(NamedTuple):
    """The mapping of a PDO; the four fields' meaning is the module's."""

    field1: int
    field2: int
    field3: int
    field4: int
    entries: List[int]


class SyncEntry(NamedTuple):
    """One of the module's cyclic SYNC entries."""

    cob_id: int
    value16: int
    value32: int


def open_serial(path: Union[str, "os.PathLike[str]"], baud: int = 115200) -> int:
    """Opens a serial device in raw mode (8 data bits, no parity, no echo).

    Returns the file descriptor; the caller closes it.
    """
    if baud not in _BAUDS:
        raise ValueError(f"unsupported baud rate {baud}; one of {sorted(_BAUDS)}")
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_CLOEXEC)
    try:
        iflag, oflag, cflag, lflag, _, _, cc = termios.tcgetattr(fd)
    except termios.error:
        return fd  # not a terminal (a pipe or socket in a test): nothing to set
    try:
        iflag &= ~(termios.IGNBRK | termios.BRKINT | termios.PARMRK | termios.ISTRIP | termios.INLCR
                   | termios.IGNCR | termios.ICRNL | termios.IXON)
        oflag &= ~termios.OPOST
        lflag &= ~(termios.ECHO | termios.ECHONL | termios.ICANON | termios.ISIG | termios.IEXTEN)
        cflag &= ~(termios.CSIZE | termios.PARENB)
        cflag |= termios.CS8 | termios.CREAD | termios.CLOCAL
        cc[termios.VMIN] = 1
        cc[termios.VTIME] = 0
        speed = _BAUDS[baud]
        termios.tcsetattr(fd, termios.TCSANOW, [iflag, oflag, cflag, lflag, speed, speed, cc])
    except BaseException:
        os.close(fd)
        raise
    return fd


def _le(data: bytes) -> int:
    return int.from_bytes(data[:4], "little")


def _array(values: Sequence[int], ctype=_u8):
    """A ctypes array of ``values`` (at least one element, so never NULL)."""
    return (ctype * max(1, len(values)))(*values)


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
            (the caller keeps it and closes it).
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
    cannot be opened.
    """

    def __init__(self, port: Port, *, slot: Optional[int] = None, master_id: int = 1, init_param: int = 0,
                 baud: int = 115200, timeout_ms: Optional[int] = None, attempts: int = 3) -> None:
        self._lib = library()
        self._fd: Optional[int] = None
        self._owns_fd = False
        self._open = False
        self._closing = threading.Lock()
        if not isinstance(port, (str, bytes, int, os.PathLike)) and hasattr(port, "port"):
            port = port.port
        self.port = port if isinstance(port, int) else os.fsdecode(port)
        self.slot = self._claim(slot)
        self.master_id = master_id
        try:
            if isinstance(port, int):
                self._fd = port
            else:
                self._fd = open_serial(port, baud)
                self._owns_fd = True
            for _ in range(max(1, attempts)):
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
        self._poller = Poller(f"vexan-poller-{self.slot}")
        self.nodes = Nodes(self)
        self.nmt = Nmt(self)
        self.sdo = Sdo(self)
        self.pdo = Pdo(self)
        self.sync = Sync(self)
        self.emcy = Emcy(self)
        self.eds = Eds(self)
        self.events = _events.Events(self)
        _events.register(self.slot, self)
        if timeout_ms is not None:
            self.set_timeout(timeout_ms)

    def _claim(self, slot: Optional[int]) -> int:
        with _slots_lock:
            if slot is None:
                free = [s for s in range(SLOTS) if s not in _slots]
                if not free:
                    raise VexanError(Result.VEXAN_NOT_OPEN, "start master: all eight slots are in use")
                slot = free[0]
            elif not 0 <= slot < SLOTS:
                raise ValueError(f"slot {slot} outside 0..{SLOTS - 1}")
            elif slot in _slots:
                raise ValueError(f"slot {slot} is in use by {_slots[slot]!r}")
            _slots[slot] = self
            return slot

    def _release_port(self) -> None:
        if self._owns_fd and self._fd is not None:
            os.close(self._fd)
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
        Does nothing when already closed. When the module's stop command cannot
        be sent, raises VexanError and stays open (with its port), so the call
        can be repeated.
        """
        with self._closing:
            if not self._open:
                return
            self._poller.close(lambda operation: VexanError(Result.VEXAN_NOT_OPEN, operation + ": master closed"))
            self.events._remove_all()
            code = self._lib.Vexan_ShutdownMaster(self.slot)
            if code not in (Result.VEXAN_OK, Result.VEXAN_NOT_OPEN):
                raise VexanError(code, f"shut down master on slot {self.slot}")
            self._open = False
            _events.unregister(self.slot, self)
            _open_masters.discard(self)
            with _slots_lock:
                if _slots.get(self.slot) is self:
                    del _slots[self.slot]
            self._release_port()

    # ---- requests

    def _check_open(self, operation: str) -> None:
        if not self._open:
            raise VexanError(Result.VEXAN_NOT_OPEN, operation + ": master closed")

    def _request(self, operation: str, invoke: Callable[[int], int], finish: Callable[[], T] = lambda: None,
                 wait: bool = True, abort: Optional[Callable[[], int]] = None,
                 empty: Optional[int] = None) -> Union[T, Pending[T]]:
        call = Call(operation, invoke, finish, abort=abort, empty=empty, check=self._check_open)
        return run(call) if wait else Pending(call, self._poller)

    def _once(self, operation: str, code: int) -> None:
        if code != Result.VEXAN_OK:
            raise VexanError(code, operation)

    # ---- master control

    def set_timeout(self, ms: int) -> None:
        """Sets the board's function time-out in milliseconds.

        It bounds every call that waits, counted from the sending of the
        request, and applies to requests already pending. A large SDO upload
        must finish within it as a whole: at 115200 baud allow about 100 ms
        per KiB.
        """
        self._check_open("set time-out")
        self._lib.Vexan_SetFunctionTimeout(self.slot, ms)

    def firmware_version(self, wait: bool = True) -> Union[int, Pending[int]]:
        """The module's firmware version (major in the high byte)."""
        version = _u16()
        return self._request("firmware version",
                             lambda b: self._lib.Vexan_GetFirmwareVersion(self.slot, ctypes.byref(version), b),
                             lambda: version.value, wait)

    def can_status(self) -> CanStatus:
        """The state of the module's CAN interface (always waits)."""
        self._check_open("CAN status")
        raw = (_u8 * NODE_REPLY_BUFFER)()
        self._once("CAN status", self._lib.Vexan_GetCANStatus(self.slot, raw))
        data = bytes(raw)
        return CanStatus(data[0], data[1], data[2], data[3], data)

    def get_mode(self, wait: bool = True) -> Union[int, Pending[int]]:
        """The master mode (the module's value)."""
        mode = _u8()
        return self._request("master mode", lambda b: self._lib.Vexan_GetMasterMode(self.slot, ctypes.byref(mode), b),
                             lambda: mode.value, wait)

    def set_mode(self, mode: int, wait: bool = True) -> MaybePending:
        """Sets the master mode (the module's value, passed through)."""
        return self._request(f"set master mode {mode}",
                             lambda b: self._lib.Vexan_SetMasterMode(self.slot, mode, b), wait=wait)

    def send_bootup(self) -> None:
        """Sends the master's own boot-up message."""
        self._check_open("send boot-up")
        self._once("send boot-up", self._lib.Vexan_MasterSendBootupMsg(self.slot, 1))


class _Service:
    def __init__(self, master: Master) -> None:
        self._master = master
        self._lib = master._lib

    @property
    def _slot(self) -> int:
        return self._master.slot


def _ids(reply: bytes) -> List[int]:
    """Node ids of a scan or node list reply: [count, ids...]."""
    return list(reply[1:1 + min(reply[0], len(reply) - 1)])


class Nodes(_Service):
    """The module's slave nodes (``master.nodes``)."""

    def scan(self, param1: int = 0, param2: int = 0, wait: bool = True) -> Union[List[int], Pending[List[int]]]:
        """Scans the bus; returns the node ids found."""
        reply = (_u8 * NODE_REPLY_BUFFER)()
        return self._master._request("scan", lambda b: self._lib.Vexan_ScanNode(self._slot, param1, param2, reply, b),
                                     lambda: _ids(bytes(reply)), wait)

    def list(self, wait: bool = True) -> Union[List[int], Pending[List[int]]]:
        """The node ids of the master's node list."""
        reply = (_u8 * NODE_REPLY_BUFFER)()
        return self._master._request("node list", lambda b: self._lib.Vexan_GetNodeList(self._slot, reply, b),
                                     lambda: _ids(bytes(reply)), wait)

    def add(self, node: int, param: int = 0, word1: int = 0, word2: int = 0, wait: bool = True) -> MaybePending:
        """Adds a node to the master's node list (the module's add parameters)."""
        return self._master._request(
            f"add node {node}", lambda b: self._lib.Vexan_AddNode(self._slot, node, param, word1, word2, b), wait=wait)

    def remove(self, node: int, reset: bool = False, wait: bool = True) -> MaybePending:
        """Removes a node from the list (and resets it when ``reset``)."""
        export = self._lib.Vexan_RemoveAndResetNode if reset else self._lib.Vexan_RemoveNode
        return self._master._request(f"remove node {node}", lambda b: export(self._slot, node, b), wait=wait)

    def set_timing(self, node: int, delay: int, response_timeout: int, wait: bool = True) -> MaybePending:
        """Sets the node's delay and response time-out (the module's units)."""
        return self._master._request(
            f"delay and response time-out node {node}",
            lambda b: self._lib.Vexan_DelayAndResponseTimeout(self._slot, node, delay, response_timeout, b), wait=wait)

    def identity(self, node: int) -> Identity:
        """Reads the node's identity object (0x1018, sub-indices 1..4)."""
        sdo = self._master.sdo
        return Identity(*(sdo.read_int(node, 0x1018, sub) for sub in range(1, 5)))


class Nmt(_Service):
    """NMT services (``master.nmt``)."""

    def change(self, node: int, command: int, wait: bool = True) -> MaybePending:
        """Sends an NMT state change (:class:`NmtCommand` or the module's value)."""
        name = NmtCommand(command).name.lower() if command in NmtCommand._value2member_map_ else str(command)
        return self._master._request(f"nmt {name} node {node}",
                                     lambda b: self._lib.Vexan_NMTChangeState(self._slot, node, command, b), wait=wait)

    def start(self, node: int, wait: bool = True) -> MaybePending:
        """Puts the node into operational."""
        return self.change(node, NmtCommand.START, wait)

    def stop(self, node: int, wait: bool = True) -> MaybePending:
        """Stops the node."""
        return self.change(node, NmtCommand.STOP, wait)

    def pre_operational(self, node: int, wait: bool = True) -> MaybePending:
        """Puts the node into pre-operational."""
        return self.change(node, NmtCommand.ENTER_PRE_OPERATIONAL, wait)

    def reset(self, node: int, wait: bool = True) -> MaybePending:
        """Resets the node (it boots up again)."""
        return self.change(node, NmtCommand.RESET_NODE, wait)

    def reset_communication(self, node: int, wait: bool = True) -> MaybePending:
        """Resets the node's communication."""
        return self.change(node, NmtCommand.RESET_COMMUNICATION, wait)

    def state(self, node: int, wait: bool = True) -> Union[Union[NmtState, int], Pending[Union[NmtState, int]]]:
        """The node's NMT state: an :class:`NmtState`, or the plain value when it names none."""
        reply = (_u8 * NODE_REPLY_BUFFER)()

        def finish() -> Union[NmtState, int]:
            value = reply[0]
            return NmtState(value) if value in NmtState._value2member_map_ else value

        return self._master._request(f"nmt state node {node}",
                                     lambda b: self._lib.Vexan_NMTGetState(self._slot, node, reply, b), finish, wait)

    def guarding(self, node: int, guard_time: int, life_time_factor: int, wait: bool = True) -> MaybePending:
        """Sets up node guarding of the node."""
        return self._master._request(
            f"node guarding node {node}",
            lambda b: self._lib.Vexan_NMTGuarding(self._slot, node, guard_time, life_time_factor, b), wait=wait)

    def heartbeat(self, node: int, time1: int, time2: int, wait: bool = True) -> MaybePending:
        """Sets up heartbeat monitoring of the node (the module's two times)."""
        return self._master._request(f"heartbeat node {node}",
                                     lambda b: self._lib.Vexan_NMTHeartbeat(self._slot, node, time1, time2, b),
                                     wait=wait)


class Sdo(_Service):
    """SDO transfers (``master.sdo``)."""

    def read(self, node: int, index: int, sub: int = 0, wait: bool = True) -> Union[bytes, Pending[bytes]]:
        """Reads object (index, sub) of the node and returns its bytes.

        Objects of 1024 bytes or more arrive in the library's spill file
        ``<slot>_<node>_<INDEX>_<SUB>.seg`` in the current directory, which is
        read back here; the file stays, as the library leaves it. The whole
        upload must finish within the function time-out (see
        :meth:`Master.set_timeout`).
        """
        length = _u32()
        data = (_u8 * SDO_READ_BUFFER)()
        operation = f"sdo read node {node} {index:04X}/{sub:02X}"

        def finish() -> bytes:
            if length.value < SDO_SPILL_THRESHOLD:
                return ctypes.string_at(data, length.value)
            return self._read_spill(node, index, sub, length.value, operation)

        return self._master._request(
            operation,
            lambda b: self._lib.Vexan_SDOReadData(self._slot, node, index, sub, ctypes.byref(length), data, b),
            finish, wait, abort=lambda: _le(bytes(data)))

    def _read_spill(self, node: int, index: int, sub: int, total: int, operation: str) -> bytes:
        parts = []
        offset = 0
        chunk = (_u8 * _SPILL_CHUNK)()
        got = _u32()
        while offset < total:
            count = min(_SPILL_CHUNK, total - offset)
            code = self._lib.Vexan_SDOReadFile(self._slot, node, index, sub, offset, count, ctypes.byref(got), chunk)
            if code != Result.VEXAN_OK:
                raise VexanError(code, f"{operation}: read back its spill file at {offset}")
            if got.value == 0:
                raise VexanError(Result.VEXAN_NOTHING_TO_READ, f"{operation}: spill file ends at {offset} of {total}")
            parts.append(ctypes.string_at(chunk, got.value))
            offset += got.value
        return b"".join(parts)

    def read_int(self, node: int, index: int, sub: int = 0, signed: bool = False) -> int:
        """Reads an object as a little-endian integer of the size it has."""
        return int.from_bytes(self.read(node, index, sub), "little", signed=signed)

    def write(self, node: int, index: int, sub: int, data: bytes, wait: bool = True) -> MaybePending:
        """Writes up to 248 bytes to object (index, sub) of the node."""
        payload = bytes(data)
        buffer = _array(payload)
        reply_length = _u16()
        reply = (_u8 * SDO_MAX_WRITE)()
        return self._master._request(
            f"sdo write node {node} {index:04X}/{sub:02X}",
            lambda b: self._lib.Vexan_SDOWriteData(self._slot, node, index, sub, len(payload), buffer,
                                                   ctypes.byref(reply_length), reply, b),
            wait=wait, abort=lambda: _le(bytes(reply)))

    def write_int(self, node: int, index: int, sub: int, value: int, size: int, signed: bool = False,
                  wait: bool = True) -> MaybePending:
        """Writes ``value`` as a little-endian integer of ``size`` bytes."""
        return self.write(node, index, sub, value.to_bytes(size, "little", signed=signed), wait)

    def abort(self, node: int, index: int, sub: int, abort_code: int, wait: bool = True) -> MaybePending:
        """Aborts the transfer of (index, sub) of the node with ``abort_code``."""
        return self._master._request(
            f"sdo abort node {node} {index:04X}/{sub:02X}",
            lambda b: self._lib.Vexan_SDOAbortTransmit(self._slot, node, index, sub, abort_code, b), wait=wait)


class Pdo(_Service):
    """PDO exchange and configuration (``master.pdo``)."""

    def write(self, cob_id: int, data: bytes, parameter: int = 0, wait: bool = True) -> MaybePending:
        """Sends 0..8 bytes as the PDO ``cob_id`` and waits for the module's status."""
        payload = bytes(data)
        buffer = _array(payload)
        return self._master._request(
            f"pdo write 0x{cob_id:03X}",
            lambda b: self._lib.Vexan_PDOWrite(self._slot, cob_id, parameter, len(payload), buffer, b), wait=wait)

    def write_fast(self, cob_id: int, data: bytes, parameter: int = 0) -> None:
        """Sends the PDO without waiting for the module's status."""
        self._master._check_open("pdo write")
        payload = bytes(data)
        self._master._once(f"pdo write 0x{cob_id:03X}", self._lib.Vexan_PDOWrite_Fast(
            self._slot, cob_id, parameter, len(payload), _array(payload)))

    def remote(self, cob_id: int, wait: bool = True) -> Union[bytes, Pending[bytes]]:
        """Asks for PDO ``cob_id`` by remote request; returns its bytes."""
        length, data = _u8(), (_u8 * PDO_MAX_DATA)()
        return self._master._request(
            f"pdo remote 0x{cob_id:03X}",
            lambda b: self._lib.Vexan_PDORemote(self._slot, cob_id, ctypes.byref(length), data, b),
            lambda: bytes(data)[:length.value], wait)

    def remote_fast(self, cob_id: int) -> None:
        """Sends the remote request without waiting for a result."""
        self._master._check_open("pdo remote")
        self._master._once(f"pdo remote 0x{cob_id:03X}", self._lib.Vexan_PDORemote_Fast(self._slot, cob_id))

    def last(self, cob_id: int, wait: bool = True) -> Union[Optional[LastData], Pending[Optional[LastData]]]:
        """The module's copy of the last PDO ``cob_id`` received, or None."""
        flag, length, data = _u8(), _u8(), (_u8 * PDO_MAX_DATA)()
        return self._master._request(
            f"pdo last 0x{cob_id:03X}",
            lambda b: self._lib.Vexan_GetPDOLastData(self._slot, cob_id, ctypes.byref(flag), ctypes.byref(length),
                                                     data, b),
            lambda: LastData(flag.value, bytes(data)[:length.value]), wait, empty=Result.VEXAN_NOTHING_TO_READ)

    def last_many(self, cob_ids: Sequence[int], wait: bool = True) -> Union[List[LastData], Pending[List[LastData]]]:
        """The module's copies of up to 25 PDOs at once, in request order."""
        ids = list(cob_ids)[:PDO_MAX_MULTI]
        count = len(ids)
        cobs = _array(ids, _u16)
        flags, lengths = (_u8 * max(1, count))(), (_u8 * max(1, count))()
        data = (_u8 * (PDO_MAX_DATA * max(1, count)))()

        def finish() -> List[LastData]:
            out, offset = [], 0
            for i in range(count):
                n = min(lengths[i], PDO_MAX_DATA)
                out.append(LastData(flags[i], bytes(data)[offset:offset + n]))
                offset += n
            return out

        return self._master._request(
            "pdo read many",
            lambda b: self._lib.Vexan_GetMultiPDOData(self._slot, count, cobs, flags, lengths, data, b), finish, wait)

    def set_polling(self, cob_ids: Sequence[int], value: int, wait: bool = True) -> MaybePending:
        """Has the module poll these PDOs by remote request on its own."""
        ids = list(cob_ids)
        cobs = _array(ids, _u16)
        return self._master._request(
            "pdo remote polling",
            lambda b: self._lib.Vexan_SetPDORemotePolling(self._slot, len(ids), cobs, value, b), wait=wait)

    def install(self, node: int, cob_id: int, direction: int, number: int, wait: bool = True) -> MaybePending:
        """Installs PDO ``cob_id`` of the node (``number``: its place, 1..512)."""
        return self._master._request(
            f"pdo install node {node} 0x{cob_id:03X}",
            lambda b: self._lib.Vexan_InstallPDO(self._slot, node, cob_id, direction, number, b), wait=wait)

    def remove(self, node: int, cob_id: int, direction: int, wait: bool = True) -> MaybePending:
        """Removes PDO ``cob_id`` of the node."""
        return self._master._request(
            f"pdo remove node {node} 0x{cob_id:03X}",
            lambda b: self._lib.Vexan_RemovePDO(self._slot, node, cob_id, direction, b), wait=wait)

    def install_mapped(self, node: int, cob_id: int, direction: int, number: int, entries: Iterable[int] = (),
                       transmission_type: int = 255, event_timer: int = 0, wait: bool = True) -> MaybePending:
        """Installs a PDO with its parameters and mapping entries in one command.

        Entries: ``index << 16 | sub << 8 | bit length``, at most 8.
        """
        items = list(entries)
        buffer = _array(items, _u32)
        return self._master._request(
            f"pdo install node {node} 0x{cob_id:03X}",
            lambda b: self._lib.Vexan_InstallPDO_List(self._slot, node, cob_id, direction, number, transmission_type,
                                                      event_timer, len(items), buffer, b), wait=wait)

    def remove_mapped(self, node: int, cob_id: int, direction: int, wait: bool = True) -> MaybePending:
        """Removes a PDO installed with :meth:`install_mapped`."""
        return self._master._request(
            f"pdo remove node {node} 0x{cob_id:03X}",
            lambda b: self._lib.Vexan_RemovePDO_List(self._slot, node, cob_id, direction, b), wait=wait)

    def ids(self, node: int, direction: int, wait: bool = True) -> Union[List[int], Pending[List[int]]]:
        """The COB-IDs of the node's receive (RX) or transmit (TX) PDOs."""
        count, cobs = _u8(), (_u16 * PDO_MAX_IDS)()
        export = self._lib.Vexan_GetRxPDOID if direction == Direction.RX else self._lib.Vexan_GetTxPDOID
        return self._master._request(f"pdo ids node {node}", lambda b: export(self._slot, node, ctypes.byref(count),
                                                                              cobs, b),
                                     lambda: list(cobs[:min(count.value, PDO_MAX_IDS)]), wait)

    def change_id(self, cob_id: int, new_cob_id: int, wait: bool = True) -> MaybePending:
        """Changes the COB-ID of a PDO."""
        return self._master._request(f"pdo change id 0x{cob_id:03X}",
                                     lambda b: self._lib.Vexan_ChangePDOID(self._slot, cob_id, new_cob_id, b),
                                     wait=wait)

    def dynamic(self, node: int, cob_id: int, first: int, second: int, value: int, wait: bool = True) -> MaybePending:
        """Changes the mapping of a PDO (the module's arguments)."""
        return self._master._request(
            f"pdo dynamic 0x{cob_id:03X}",
            lambda b: self._lib.Vexan_DynamicPDO(self._slot, node, cob_id, first, second, value, b), wait=wait)

    def use_entries(self, cob_id: int, entries: int, wait: bool = True) -> MaybePending:
        """Sets how many mapping entries PDO ``cob_id`` uses."""
        return self._master._request(f"pdo use entries 0x{cob_id:03X}",
                                     lambda b: self._lib.Vexan_PDOUseEntry(self._slot, cob_id, entries, b), wait=wait)

    def set_transmission_type(self, cob_id: int, transmission_type: int, wait: bool = True) -> MaybePending:
        """Sets the transmission type of PDO ``cob_id``."""
        return self._master._request(
            f"pdo transmission type 0x{cob_id:03X}",
            lambda b: self._lib.Vexan_PDOTxType(self._slot, cob_id, transmission_type, b), wait=wait)

    def set_event_timer(self, cob_id: int, ms: int, wait: bool = True) -> MaybePending:
        """Sets the event timer (ms) of PDO ``cob_id``."""
        return self._master._request(f"pdo event timer 0x{cob_id:03X}",
                                     lambda b: self._lib.Vexan_PDOEventTimer(self._slot, cob_id, ms, b), wait=wait)

    def set_inhibit_time(self, cob_id: int, inhibit_time: int, wait: bool = True) -> MaybePending:
        """Sets the inhibit time of PDO ``cob_id``."""
        return self._master._request(
            f"pdo inhibit time 0x{cob_id:03X}",
            lambda b: self._lib.Vexan_PDOInhibitTime(self._slot, cob_id, inhibit_time, b), wait=wait)

    def map_info(self, cob_id: int, wait: bool = True) -> Union[PdoMapInfo, Pending[PdoMapInfo]]:
        """The mapping of PDO ``cob_id``."""
        f1, f2, f3, f4, count = _u16(), _u8(), _u8(), _u16(), _u8()
        entries = (_u32 * PDO_MAX_ENTRIES)()
        return self._master._request(
            f"pdo map info 0x{cob_id:03X}",
            lambda b: self._lib.Vexan_GetPDOMapInfo(self._slot, cob_id, ctypes.byref(f1), ctypes.byref(f2),
                                                    ctypes.byref(f3), ctypes.byref(f4), ctypes.byref(count),
                                                    entries, b),
            lambda: PdoMapInfo(f1.value, f2.value, f3.value, f4.value, list(entries[:min(count.value, 8)])), wait)


class Sync(_Service):
    """SYNC messages and COB-IDs (``master.sync``)."""

    def send(self, cob_id: int = 0x80, value16: int = 0, value32: int = 0, wait: bool = True) -> MaybePending:
        """Has the module send SYNC on ``cob_id`` (the two values are the module's)."""
        return self._master._request(f"sync 0x{cob_id:03X}",
                                     lambda b: self._lib.Vexan_SendSYNCMsg(self._slot, cob_id, value16, value32, b),
                                     wait=wait)

    def set_id(self, node: int, cob_id: int, list_form: bool = False, wait: bool = True) -> MaybePending:
        """Sets the SYNC COB-ID the node uses (``list_form``: the module's list variant)."""
        export = self._lib.Vexan_SetSYNC_List if list_form else self._lib.Vexan_ChangeSYNCID
        return self._master._request(f"sync id node {node}", lambda b: export(self._slot, node, cob_id, b), wait=wait)

    def get_id(self, node: int, wait: bool = True) -> Union[int, Pending[int]]:
        """The SYNC COB-ID the node uses."""
        cob = _u16()
        return self._master._request(f"sync id node {node}",
                                     lambda b: self._lib.Vexan_GetSYNCID(self._slot, node, ctypes.byref(cob), b),
                                     lambda: cob.value, wait)

    def cyclic(self, wait: bool = True) -> Union[List[SyncEntry], Pending[List[SyncEntry]]]:
        """The module's five cyclic SYNC entries."""
        cobs, v16, v32 = (_u16 * SYNC_CYCLIC_ENTRIES)(), (_u16 * SYNC_CYCLIC_ENTRIES)(), (_u32 * SYNC_CYCLIC_ENTRIES)()
        return self._master._request(
            "cyclic sync", lambda b: self._lib.Vexan_GetCyclicSYNCInfo(self._slot, cobs, v16, v32, b),
            lambda: [SyncEntry(cobs[i], v16[i], v32[i]) for i in range(SYNC_CYCLIC_ENTRIES)], wait)


class Emcy(_Service):
    """EMCY messages and COB-IDs (``master.emcy``)."""

    def last(self, node: int, wait: bool = True) -> Union[Optional[LastData], Pending[Optional[LastData]]]:
        """The last EMCY message the module recorded for the node, or None."""
        flag, data = _u8(), (_u8 * 8)()
        return self._master._request(
            f"last emcy node {node}",
            lambda b: self._lib.Vexan_ReadLastEMCY(self._slot, node, ctypes.byref(flag), data, b),
            lambda: LastData(flag.value, bytes(data)), wait, empty=Result.VEXAN_NOTHING_TO_READ)

    def set_id(self, node: int, cob_id: int, list_form: bool = False, wait: bool = True) -> MaybePending:
        """Sets the EMCY COB-ID the node uses (``list_form``: the module's list variant)."""
        export = self._lib.Vexan_SetEMCY_List if list_form else self._lib.Vexan_ChangeEMCYID
        return self._master._request(f"emcy id node {node}", lambda b: export(self._slot, node, cob_id, b), wait=wait)

    def get_id(self, node: int, wait: bool = True) -> Union[int, Pending[int]]:
        """The EMCY COB-ID the node uses."""
        cob = _u16()
        return self._master._request(f"emcy id node {node}",
                                     lambda b: self._lib.Vexan_GetEMCYID(self._slot, node, ctypes.byref(cob), b),
                                     lambda: cob.value, wait)


class Eds(_Service):
    """Node configuration from EDS files (``master.eds``)."""

    def load(self, node: int, path: Union[str, "os.PathLike[str]"], word1: int = 0, word2: int = 0,
             wait: bool = True) -> MaybePending:
        """Configures the node from its EDS (or DCF) file in one call.

        Adds and starts the node, sets its SYNC and EMCY COB-IDs and installs
        its PDOs as the file describes them. Not waiting, the configuration
        runs on a worker thread of the board.
        """
        text: Union[ctypes.c_char_p, ctypes.c_wchar_p]
        if os.name == "nt":
            # On Windows a narrow path is taken in the ANSI code page; a wide
            # one keeps every character. The library reads a path whose first
            # two bytes are both non-zero as narrow.
            wide = os.fsdecode(path)
            first = ord(wide[0]) if wide else 0
            unit = first if first <= 0xFFFF else 0xD800  # a surrogate pair's first unit
            if unit & 0xFF and unit >> 8:
                wide = ".\\" + wide
            text = ctypes.c_wchar_p(wide)
        else:
            encoded = os.fsencode(path)
            if len(encoded) < 2:
                # The library reads a path whose second byte is 0 as a wide string.
                encoded = b"./" + encoded
            text = ctypes.c_char_p(encoded)
        return self._master._request(f"eds load node {node} from {os.fsdecode(path)}",
                                     lambda b: self._lib.Vexan_EDS_Load(self._slot, node, text, word1, word2, b),
                                     wait=wait)


def library_version() -> int:
    """The library's version number (203)."""
    return int(library().Vexan_GetVersion())


def pause(ms: int = 0) -> None:
    """Holds all traffic of every board until :func:`resume`, or for ``ms`` ms."""
    library().Vexan_Pause(ms)


def resume() -> None:
    """Lets traffic go again at once."""
    library().Vexan_Start()
