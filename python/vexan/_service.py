"""What the services of a master share: its board, the request forms and small helpers.

A :class:`Board` is a started master's slot as its services see it: the
library, the slot number, whether the master is still open, and the poller
thread that completes the futures of its pending requests. The master makes
one when the module has started and hands it to each service
(:class:`Service`), so that a service knows its board, not the master.
"""

from __future__ import annotations

import ctypes
from typing import Any, Callable, NamedTuple, Optional, Sequence, TypeVar, Union

from ._calls import Call, Pending, Poller, run
from .errors import Result, VexanError

__all__ = ["Board", "LastData", "MaybePending", "Service", "array", "le", "nothing"]

T = TypeVar("T")

#: What a method without a value returns: None once the module has answered
#: (``wait=True``), or the pending request (``wait=False``).
MaybePending = Optional[Pending[None]]


class LastData(NamedTuple):
    """The module's cached copy of a PDO, or the last EMCY of a node."""

    flag: int
    data: bytes


class Board:
    """A started master's slot: the library, the slot number, the open state and the poller.

    Args:
        lib: the loaded library.
        slot: the slot the master was started on.
    """

    def __init__(self, lib: ctypes.CDLL, slot: int) -> None:
        self.lib = lib
        self.slot = slot
        self._open = True
        self._poller = Poller(f"vexan-poller-{slot}")

    @property
    def is_open(self) -> bool:
        """True until :meth:`mark_closed`."""
        return self._open

    def check_open(self, operation: str) -> None:
        """Raises VexanError ``VEXAN_NOT_OPEN`` once the master is closed."""
        if not self._open:
            raise VexanError(Result.VEXAN_NOT_OPEN, operation + ": master closed")

    def request(self, operation: str, invoke: Callable[[int], Any], finish: Callable[[], T], wait: bool,
                abort: Optional[Callable[[], int]] = None, empty: Optional[int] = None) -> Union[T, Pending[T]]:
        """Makes a request that waits for the module: blocking (``wait``) or pending.

        ``invoke(blocking)`` calls the export, ``finish()`` builds the value
        from its outputs; ``abort`` and ``empty`` as :class:`~vexan._calls.Call`
        takes them.
        """
        call = Call(operation, invoke, finish, abort=abort, empty=empty, check=self.check_open)
        return run(call) if wait else Pending(call, self._poller)

    @staticmethod
    def once(operation: str, code: int) -> None:
        """Raises VexanError for the result of a call that does not wait, unless it is success."""
        if code != Result.VEXAN_OK:
            raise VexanError(code, operation)

    def stop_polling(self) -> None:
        """Stops the poller thread; the futures still open end with ``VEXAN_NOT_OPEN``."""
        self._poller.close(lambda operation: VexanError(Result.VEXAN_NOT_OPEN, operation + ": master closed"))

    def mark_closed(self) -> None:
        """The master has shut down: every later request raises ``VEXAN_NOT_OPEN``."""
        self._open = False


class Service:
    """One group of a master's services (``master.sdo``, ``master.pdo`` ...), on the master's board."""

    def __init__(self, board: Board) -> None:
        self._board = board
        self._lib = board.lib

    @property
    def _slot(self) -> int:
        return self._board.slot

    def _request(self, operation: str, invoke: Callable[[int], Any], finish: Callable[[], T], wait: bool,
                 abort: Optional[Callable[[], int]] = None, empty: Optional[int] = None) -> Union[T, Pending[T]]:
        return self._board.request(operation, invoke, finish, wait, abort=abort, empty=empty)


def nothing() -> None:
    """The value of a request that yields none."""


def le(data: bytes) -> int:
    """The first four bytes as a little-endian number (an SDO abort code)."""
    return int.from_bytes(data[:4], "little")


def array(values: Sequence[int], ctype: Any = ctypes.c_uint8) -> Any:
    """A ctypes array of ``values`` (at least one element, so never NULL)."""
    return (ctype * max(1, len(values)))(*values)

