"""Blocking, polled and future forms of one request to the library.

Every export that waits for the module takes a blocking flag. A :class:`Call`
holds what one request needs: a function that makes the library call with a
given flag (its output buffers bound in), a function that builds the Python
value from the outputs once the result is success, and the name of the
operation for error messages. :func:`run` makes the blocking call,
:class:`Pending` the non-blocking one (the first call sends, repeats collect),
and :meth:`Pending.future` hands a pending request to a poller thread that
completes a :class:`concurrent.futures.Future`.

A :class:`Pending` is also awaitable. Awaited in a coroutine, it is polled on
the event loop itself: each poll is one non-blocking library call (it never
waits for the line), and between polls the coroutine sleeps with
``asyncio.sleep``, from 0.5 ms doubling up to 10 ms, so the loop keeps
running and no thread is used per request. The library's function time-out
ends every request, so an awaited request always finishes. A request handed
to :meth:`Pending.future` is awaited through that future instead; an await
that is cancelled hands its request to the poller thread (:meth:`Pending.future`),
which collects the answer still to come.
"""

from __future__ import annotations

import asyncio
import threading
import time
from concurrent.futures import Future
from typing import Any, Callable, Generator, Generic, List, Optional, Tuple, TypeVar

from .errors import Result, VexanError

T = TypeVar("T")

__all__ = ["Call", "Pending", "Poller", "run"]

_OK = Result.VEXAN_OK
_SENT = Result.VEXAN_SENT
_WAITING = Result.VEXAN_WAITING

# How often a blocking call that the module answers with "waiting" (a node
# add it is still busy with) is asked again before the result is given up.
_BUSY_REPEATS = 100

# The pauses of an awaited request between its polls, in seconds.
_AWAIT_FIRST_PAUSE = 0.0005
_AWAIT_LONGEST_PAUSE = 0.01


class Call(Generic[T]):
    """One request: the library call, the value it yields and its name.

    Args:
        operation: what is asked, for error messages (``"nmt state node 5"``).
        invoke: makes the library call with the blocking flag given (0 or 1)
            and returns its result code.
        finish: builds the value from the outputs after success.
        abort: reads the SDO abort code from the outputs after
            ``VEXAN_SDO_ABORTED``.
        empty: a result code that means "nothing there": the value is then
            None instead of an error (``VEXAN_NOTHING_TO_READ`` of readers of
            the module's cached copies).
        check: raises when the request may no longer be made (closed master).
    """

    def __init__(self, operation: str, invoke: Callable[[int], int], finish: Callable[[], T],
                 abort: Optional[Callable[[], int]] = None, empty: Optional[int] = None,
                 check: Optional[Callable[[str], None]] = None) -> None:
        self.operation = operation
        self._invoke = invoke
        self._finish = finish
        self._abort = abort
        self._empty = empty
        self._check = check

    def invoke(self, blocking: int) -> int:
        if self._check is not None:
            self._check(self.operation)
        return self._invoke(blocking)

    def outcome(self, code: int) -> T:
        """The value of a final result, or the error it stands for."""
        if code == _OK:
            return self._finish()
        if self._empty is not None and code == self._empty:
            return None  # type: ignore[return-value]
        abort = self._abort() if self._abort is not None and code == Result.VEXAN_SDO_ABORTED else None
        raise VexanError(code, self.operation, abort)


def run(call: Call[T]) -> T:
    """Makes the blocking call and returns its value, or raises VexanError."""
    code = call.invoke(1)
    repeats = 0
    while code == _WAITING and repeats < _BUSY_REPEATS:
        repeats += 1
        code = call.invoke(1)
    return call.outcome(code)


class Pending(Generic[T]):
    """A request sent without waiting: poll it, wait for it, or make it a future.

    The first library call is made when the handle is created. Each
    :meth:`poll` repeats the call, which collects the result once the module
    has answered. Poll a request from one thread at a time; after
    :meth:`future` only the master's poller thread polls it.
    """

    def __init__(self, call: Call[T], poller: Optional["Poller"] = None) -> None:
        self._call = call
        self._poller = poller
        self._lock = threading.Lock()
        self._finished = threading.Event()
        self._value: Optional[T] = None
        self._error: Optional[BaseException] = None
        self._owned = False
        self._future: Optional["Future[T]"] = None
        self._callbacks: List[Callable[["Pending[T]"], None]] = []
        self._settle(call.invoke(0))

    def __repr__(self) -> str:
        state = "done" if self._finished.is_set() else "pending"
        return f"<vexan.Pending {self.operation} ({state})>"

    @property
    def operation(self) -> str:
        """What was asked, e.g. ``"sdo read node 5 1018/01"``."""
        return self._call.operation

    def _settle(self, code: int) -> bool:
        if code in (_SENT, _WAITING):
            return False
        try:
            self._value = self._call.outcome(code)
        except BaseException as error:  # handed to whoever waits for the result
            self._error = error
        self._finished.set()
        return True

    def _step(self) -> bool:
        """One poll; True once the final result is in."""
        with self._lock:
            if self._finished.is_set():
                return True
            try:
                code = self._call.invoke(0)
            except VexanError as error:
                self._fail(error)
                return True
            return self._settle(code)

    def _fail(self, error: BaseException) -> None:
        self._error = error
        self._finished.set()

    def poll(self) -> bool:
        """Asks the library once more; True once the result is in."""
        if self._owned and not self._finished.is_set():
            raise RuntimeError("this request is polled by its future; wait on the future instead")
        return self._step()

    def done(self) -> bool:
        """True once the result is in (without asking the library)."""
        return self._finished.is_set()

    def result(self, timeout: Optional[float] = None) -> T:
        """Waits for the result and returns its value, or raises its VexanError.

        Raises TimeoutError when ``timeout`` seconds pass first; the request
        stays pending and can be waited for again.
        """
        deadline = None if timeout is None else time.monotonic() + timeout
        while not self._finished.is_set():
            if self._owned:
                if not self._finished.wait(None if deadline is None else max(0.0, deadline - time.monotonic())):
                    raise TimeoutError(f"{self.operation}: no result within {timeout} s")
                break
            if self._step():
                break
            if deadline is not None and time.monotonic() >= deadline:
                raise TimeoutError(f"{self.operation}: no result within {timeout} s")
            time.sleep(0.001)
        if self._error is not None:
            raise self._error
        return self._value  # type: ignore[return-value]

    def __await__(self) -> Generator[Any, None, T]:
        """``await pending``: the value, or its VexanError; see the module's description."""
        return self._wait_async().__await__()

    async def _wait_async(self) -> T:
        if self._owned:
            assert self._future is not None
            return await asyncio.wrap_future(self._future)
        pause = _AWAIT_FIRST_PAUSE
        try:
            while not self._step():
                await asyncio.sleep(pause)
                pause = min(pause * 2, _AWAIT_LONGEST_PAUSE)
        except asyncio.CancelledError:
            # The module's answer is still to come: the poller thread collects
            # it, so that it is not left for a later request of the same key.
            if not self._finished.is_set() and self._poller is not None:
                try:
                    self.future()
                except RuntimeError:  # the master is closing
                    pass
            raise
        if self._error is not None:
            raise self._error
        return self._value  # type: ignore[return-value]

    def future(self) -> "Future[T]":
        """A :class:`concurrent.futures.Future` of this request.

        The master's poller thread polls the request from now on and
        completes the future with its value or its VexanError. Asked again,
        gives the same future.
        """
        if self._future is not None:
            return self._future
        if self._poller is None:
            raise RuntimeError("this request has no poller")
        return self._poller.adopt(self)

    def _complete(self, future: "Future[T]") -> None:
        if self._error is not None:
            future.set_exception(self._error)
        else:
            future.set_result(self._value)  # type: ignore[arg-type]


class Poller:
    """The thread of one master that polls pending requests for their futures."""

    def __init__(self, name: str) -> None:
        self._name = name
        self._cond = threading.Condition()
        self._items: List[Tuple[Pending[Any], "Future[Any]"]] = []
        self._thread: Optional[threading.Thread] = None
        self._closing = False

    def adopt(self, pending: Pending[T]) -> "Future[T]":
        future: "Future[T]" = Future()
        future.set_running_or_notify_cancel()
        with self._cond:
            if self._closing:
                raise RuntimeError("the master is closed")
            pending._owned = True
            pending._future = future
            if pending.done():
                pending._complete(future)
                return future
            self._items.append((pending, future))
            if self._thread is None:
                self._thread = threading.Thread(target=self._loop, name=self._name, daemon=True)
                self._thread.start()
            self._cond.notify()
        return future

    def _loop(self) -> None:
        while True:
            with self._cond:
                while not self._items and not self._closing:
                    self._cond.wait()
                if self._closing:
                    return
                batch = list(self._items)
            finished = [(p, f) for p, f in batch if p._step()]
            if finished:
                with self._cond:
                    for item in finished:
                        self._items.remove(item)
                for pending, future in finished:
                    pending._complete(future)
            time.sleep(0.001)

    def close(self, error: Callable[[str], BaseException]) -> None:
        """Stops the thread; the futures still open end with ``error(operation)``."""
        with self._cond:
            self._closing = True
            self._cond.notify()
            thread, self._thread = self._thread, None
        if thread is not None and thread is not threading.current_thread():
            thread.join()
        with self._cond:
            items, self._items = self._items, []
        for pending, future in items:
            pending._fail(error(pending.operation))
            pending._complete(future)
