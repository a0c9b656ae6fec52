"""Serial devices of modules: opened exclusively, in raw mode.

:func:`open_serial` opens the device a :class:`~vexan.Master` is given as a
path; an application that opens the descriptor itself can use it too, and
closes it with :func:`close_serial`.
"""

from __future__ import annotations

import errno
import fcntl
import os
import stat
import termios
from typing import Dict, Optional, Union

__all__ = ["BAUDS", "close_serial", "open_serial"]

#: The line speeds :func:`open_serial` sets, by baud rate.
BAUDS: Dict[int, int] = {9600: termios.B9600, 19200: termios.B19200, 38400: termios.B38400, 57600: termios.B57600,
                         115200: termios.B115200, 230400: termios.B230400}
for _rate in (460800, 921600):
    if hasattr(termios, f"B{_rate}"):
        BAUDS[_rate] = getattr(termios, f"B{_rate}")


def open_serial(path: Union[str, "os.PathLike[str]"], baud: int = 115200) -> int:
    """Opens a serial device exclusively, in raw mode (8 data bits, no parity, no echo).

    Only a terminal is taken: anything else (a regular file, ``/dev/null``, a
    FIFO) raises OSError ``ENOTTY`` "not a serial device" before a byte could
    be written to it. The device is held exclusively: an advisory ``flock``
    and the terminal's exclusive mode (``TIOCEXCL``); a device that another
    process, or another master of this one, holds raises OSError ``EBUSY``
    "port in use (held by pid N)", or "port in use" when the holder cannot be
    found.

    Returns the file descriptor; the caller closes it (see :func:`close_serial`).
    """
    if baud not in BAUDS:
        raise ValueError(f"unsupported baud rate {baud}; one of {sorted(BAUDS)}")
    name = os.fsdecode(path)
    try:
        # Not blocking while it opens: a serial line without carrier would
        # hold the open until one is seen; cleared once CLOCAL is set.
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_CLOEXEC | os.O_NONBLOCK)
    except OSError as error:
        if error.errno == errno.EBUSY:
            raise _port_in_use(name, _holder_of(path)) from None
        raise
    try:
        if not os.isatty(fd):
            raise OSError(errno.ENOTTY, "not a serial device", name)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise _port_in_use(name, _holder_of(fd)) from None
        fcntl.ioctl(fd, termios.TIOCEXCL)
        iflag, oflag, cflag, lflag, _, _, cc = termios.tcgetattr(fd)
        iflag &= ~(termios.IGNBRK | termios.BRKINT | termios.PARMRK | termios.ISTRIP | termios.INLCR
                   | termios.IGNCR | termios.ICRNL | termios.IXON)
        oflag &= ~termios.OPOST
        lflag &= ~(termios.ECHO | termios.ECHONL | termios.ICANON | termios.ISIG | termios.IEXTEN)
        cflag &= ~(termios.CSIZE | termios.PARENB)
        cflag |= termios.CS8 | termios.CREAD | termios.CLOCAL
        cc[termios.VMIN] = 1
        cc[termios.VTIME] = 0
        speed = BAUDS[baud]
        termios.tcsetattr(fd, termios.TCSANOW, [iflag, oflag, cflag, lflag, speed, speed, cc])
        os.set_blocking(fd, True)
    except BaseException:
        os.close(fd)
        raise
    return fd


def close_serial(fd: int) -> None:
    """Closes a descriptor of :func:`open_serial`, leaving the terminal's exclusive mode first."""
    try:
        fcntl.ioctl(fd, termios.TIOCNXCL)
    except OSError:
        pass
    os.close(fd)


def _port_in_use(name: str, holder: Optional[int]) -> OSError:
    text = "port in use" if holder is None else f"port in use (held by pid {holder})"
    return OSError(errno.EBUSY, text, name)


def _holder_of(port: Union[int, str, "os.PathLike[str]"]) -> Optional[int]:
    """The pid of a process that holds the terminal (its flock, or else an open descriptor), or None."""
    try:
        st = os.stat(port)
    except OSError:
        return None
    # /proc/locks: "1: FLOCK  ADVISORY  WRITE 1234 00:19:5 0 EOF" (device in hex, inode in decimal).
    key = f"{os.major(st.st_dev):02x}:{os.minor(st.st_dev):02x}:{st.st_ino}"
    try:
        with open("/proc/locks") as locks:
            for line in locks:
                fields = line.split()
                if len(fields) >= 6 and fields[1] == "FLOCK" and fields[5] == key and fields[4].isdigit():
                    return int(fields[4])
    except OSError:
        pass
    # No lock: a process with the device open (one that set TIOCEXCL without a lock).
    own = os.getpid()
    try:
        pids = [int(entry) for entry in os.listdir("/proc") if entry.isdigit() and int(entry) != own]
    except OSError:
        return None
    for pid in pids:
        try:
            fds = os.listdir(f"/proc/{pid}/fd")
        except OSError:
            continue
        for entry in fds:
            try:
                other = os.stat(f"/proc/{pid}/fd/{entry}")
            except OSError:
                continue
            if stat.S_ISCHR(other.st_mode) and other.st_rdev == st.st_rdev:
                return pid
    return None

