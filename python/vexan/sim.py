"""Run the module simulator ``vexan-sim`` for scripts and tests without hardware.

    >>> from vexan.sim import Simulator
    >>> with Simulator(nodes=[5, 6]) as sim, vexan.Master(sim) as master:
    ...     print(master.nodes.scan())

The simulator prints the path of its pseudo-terminal as its first line; it is
:attr:`Simulator.port`. Control commands (``bootup 5``, ``emcy 5 ...``,
``fault drop 3``) go to its standard input with :meth:`Simulator.command`.
``fault drop N CMD KEY`` drops only the next N replies to that command and key
(``fault drop 1 16 5``: node 5's next SDO read), so that the answer to an event
poll is never lost in place of the reply a test means.
"""

from __future__ import annotations

import contextlib
import os
import select
import shutil
import subprocess
import tempfile
import time
from pathlib import Path
from typing import Iterator, List, Optional, Sequence, Tuple, Union

__all__ = ["Simulator", "SimulatorError", "find_program", "running"]

PathLike = Union[str, "os.PathLike[str]"]


class SimulatorError(RuntimeError):
    """The simulator could not be found or did not start."""


def find_program() -> str:
    """The ``vexan-sim`` program to run.

    ``VEXAN_SIM`` (a path), then the build tree beside the loaded library
    (``build/src/libvexan.so`` -> ``build/sim/vexan-sim``), then the source
    tree's ``build/sim/vexan-sim``, then ``vexan-sim`` on the PATH.
    """
    explicit = os.environ.get("VEXAN_SIM")
    if explicit:
        return explicit
    candidates: List[Path] = []
    library = os.environ.get("VEXAN_LIBRARY")
    if library:
        candidates.append(Path(library).resolve().parent.parent / "sim" / "vexan-sim")
    candidates.append(Path(__file__).resolve().parent.parent.parent / "build" / "sim" / "vexan-sim")
    for candidate in candidates:
        if candidate.is_file() and os.access(candidate, os.X_OK):
            return str(candidate)
    found = shutil.which("vexan-sim")
    if found:
        return found
    raise SimulatorError("vexan-sim not found: set VEXAN_SIM, build it (build/sim/vexan-sim) or put it on the PATH")


class Simulator:
    """A ``vexan-sim`` process; a context manager that stops it at the end.

    Args:
        eds: EDS/DCF files of nodes, each a path or a (path, node id) pair
            (node id 5 when not given).
        nodes: node ids of built-in I/O devices (node 5 when neither these
            nor ``eds`` are given).
        args: further command-line options (``["--chunk", "64"]``).
        program: the program; see :func:`find_program`.
        start_timeout: seconds to wait for the port's path.

    Attributes:
        port: the path of the pseudo-terminal the library opens.
        log_path: the file that receives the simulator's stderr (control
            replies, and the trace with ``args=["--trace"]``).
    """

    def __init__(self, eds: Sequence[Union[PathLike, Tuple[PathLike, int]]] = (), nodes: Sequence[int] = (),
                 args: Sequence[str] = (), program: Optional[str] = None, start_timeout: float = 10.0) -> None:
        command = [program or find_program()]
        for item in eds:
            if isinstance(item, tuple):
                path, node = item
                command += ["--eds", f"{os.fspath(path)}@{node}"]
            else:
                command += ["--eds", os.fspath(item)]
        if nodes:
            command += ["--nodes", ",".join(str(n) for n in nodes)]
        command += list(args)
        self._log = tempfile.NamedTemporaryFile(prefix="vexan-sim-", suffix=".log", delete=False)
        self.log_path = self._log.name
        self._process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self._log,
                                         text=True, bufsize=1)
        try:
            self.port = self._first_line(start_timeout)
        except BaseException:
            self.stop()
            raise

    def _first_line(self, timeout: float) -> str:
        assert self._process.stdout is not None
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            ready, _, _ = select.select([self._process.stdout], [], [], 0.05)
            if ready:
                line = self._process.stdout.readline().strip()
                if line:
                    return line
            if self._process.poll() is not None:
                break
        raise SimulatorError(f"vexan-sim printed no port within {timeout} s (exit status "
                             f"{self._process.poll()}): {self.log().strip()}")

    def command(self, line: str, timeout: float = 5.0) -> str:
        """Sends one control command (``"bootup 5"``) and waits for its reply.

        Returns the reply (``"ok"``); raises SimulatorError when the simulator
        refuses the command or does not answer within ``timeout`` seconds.
        Once this returns, the simulator has applied the command.
        """
        if self._process.stdin is None or self._process.poll() is not None:
            raise SimulatorError("the simulator is not running")
        start = Path(self.log_path).stat().st_size
        self._process.stdin.write(line.rstrip("\n") + "\n")
        self._process.stdin.flush()
        deadline = time.monotonic() + timeout
        while True:
            with open(self.log_path, "rb") as log:
                log.seek(start)
                new = log.read().decode(errors="replace")
            # Replies are whole lines; the trace, when on, may come between them.
            lines = new.splitlines() if new.endswith("\n") else new.splitlines()[:-1]
            for reply in lines:
                if reply.startswith("error: "):
                    raise SimulatorError(f"{line}: {reply[len('error: '):]}")
                if reply in ("ok", "bye") or (line.split()[:1] == ["help"] and reply):
                    return reply
            if time.monotonic() >= deadline or self._process.poll() is not None:
                raise SimulatorError(f"{line}: no reply from the simulator")
            time.sleep(0.002)

    def log(self) -> str:
        """What the simulator wrote to stderr so far."""
        return Path(self.log_path).read_text(errors="replace")

    def running(self) -> bool:
        """True while the process runs."""
        return self._process.poll() is None

    def stop(self, timeout: float = 5.0) -> int:
        """Ends the simulator (``quit``, then a signal) and returns its exit status."""
        process = self._process
        if process.poll() is None and process.stdin is not None:
            with contextlib.suppress(OSError):
                process.stdin.write("quit\n")
                process.stdin.close()
        try:
            process.wait(timeout)
        except subprocess.TimeoutExpired:
            process.terminate()
            try:
                process.wait(timeout)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        for stream in (process.stdin, process.stdout):
            if stream is not None:
                with contextlib.suppress(OSError):
                    stream.close()
        if not self._log.closed:
            self._log.close()
            with contextlib.suppress(OSError):
                os.unlink(self.log_path)
        return process.returncode

    def __enter__(self) -> "Simulator":
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def __repr__(self) -> str:
        return f"<vexan.sim.Simulator on {self.port}>" if hasattr(self, "port") else "<vexan.sim.Simulator>"


@contextlib.contextmanager
def running(eds: Sequence[Union[PathLike, Tuple[PathLike, int]]] = (), nodes: Sequence[int] = (),
            args: Sequence[str] = ()) -> Iterator[str]:
    """Starts a simulator and yields its port's path; stops it afterwards."""
    with Simulator(eds, nodes, args) as sim:
        yield sim.port
