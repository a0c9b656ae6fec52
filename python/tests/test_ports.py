"""Ports opened by path: only terminals, and each held by one master at a time."""

import errno
import fcntl
import os
import subprocess
import sys
import tty

import pytest

import vexan

# ioctl that reads a terminal's exclusive mode (Linux).
TIOCGEXCL = 0x80045440


def open_fds():
    return set(os.listdir("/proc/self/fd"))


def notes(tmp_path):
    path = tmp_path / "notes.txt"
    path.write_bytes(b"my notes\n")
    return str(path), lambda: path.read_bytes() == b"my notes\n"


def fifo(tmp_path):
    path = tmp_path / "line.fifo"
    os.mkfifo(path)
    reader = os.open(path, os.O_RDONLY | os.O_NONBLOCK)

    def nothing_written():
        try:
            return os.read(reader, 64) == b""
        except BlockingIOError:
            return True
        finally:
            os.close(reader)
    return str(path), nothing_written


def dev_null(tmp_path):
    return "/dev/null", lambda: True


@pytest.mark.parametrize("make", [notes, fifo, dev_null], ids=["regular file", "FIFO", "/dev/null"])
@pytest.mark.parametrize("opener", ["Master", "open_serial"])
def test_a_path_that_is_not_a_terminal_is_refused_before_a_byte_is_written(tmp_path, make, opener):
    path, nothing_written = make(tmp_path)
    vexan.library_version()  # loaded before the count of descriptors
    before = open_fds()
    with pytest.raises(OSError) as caught:
        if opener == "Master":
            vexan.Master(path, slot=7)
        else:
            vexan.open_serial(path)
    assert caught.value.errno == errno.ENOTTY
    assert "not a serial device" in str(caught.value) and path in str(caught.value)
    assert nothing_written()
    assert open_fds() <= before
    assert 7 not in vexan.master._slots  # the slot is free again


def test_a_port_held_by_another_process_is_refused_with_its_pid(sim, start):
    holder = subprocess.Popen(
        [sys.executable, "-c",
         "import fcntl, os, sys\n"
         "fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)\n"
         "fcntl.flock(fd, fcntl.LOCK_EX)\n"
         "print('held', flush=True)\n"
         "sys.stdin.read()\n",
         sim.port],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline().strip() == "held"
        with pytest.raises(OSError) as caught:
            vexan.Master(sim)
        assert caught.value.errno == errno.EBUSY
        assert f"port in use (held by pid {holder.pid})" in str(caught.value)
    finally:
        holder.stdin.close()
        holder.wait()
        holder.stdout.close()
    # Once the other process has let go, the port opens.
    with start(sim) as master:
        assert master.nodes.scan() == [5, 6]


def test_a_second_master_on_the_same_port_is_refused_and_the_first_goes_on(master, sim):
    with pytest.raises(OSError) as caught:
        vexan.Master(sim.port)
    assert f"port in use (held by pid {os.getpid()})" in str(caught.value)
    assert master.firmware_version() == 0x0102  # nothing of the second reached the line
    assert master.nodes.scan() == [5, 6]


def test_the_terminal_is_exclusive_while_the_master_holds_it(sim, start):
    watcher = os.open(sim.port, os.O_RDWR | os.O_NOCTTY)  # root passes TIOCEXCL, so it can look
    try:
        def exclusive():
            return int.from_bytes(fcntl.ioctl(watcher, TIOCGEXCL, bytes(4)), sys.byteorder)
        with start(sim):
            assert exclusive() == 1
        assert exclusive() == 0  # left again at close
    finally:
        os.close(watcher)


def test_a_descriptor_passed_in_stays_the_applications(sim, start):
    fd = os.open(sim.port, os.O_RDWR | os.O_NOCTTY)
    try:
        tty.setraw(fd)
        with start(fd) as master:
            assert master.nodes.scan() == [5, 6]
            # Neither locked nor made exclusive: that is the application's choice.
            other = os.open(sim.port, os.O_RDWR | os.O_NOCTTY)
            try:
                fcntl.flock(other, fcntl.LOCK_EX | fcntl.LOCK_NB)
                assert int.from_bytes(fcntl.ioctl(other, TIOCGEXCL, bytes(4)), sys.byteorder) == 0
            finally:
                os.close(other)
        os.fstat(fd)  # still open after the master closed
    finally:
        os.close(fd)
