"""Opening and closing masters: ports, slots, file descriptors, errors."""

import os

import pytest

import vexan
from vexan import Result, VexanError


def fd_is_open(fd):
    try:
        os.fstat(fd)
        return True
    except OSError:
        return False


def test_open_talk_and_close_releases_slot_and_port(sim, start):
    with start(sim) as master:
        assert master.is_open
        fd = master._fd
        assert fd_is_open(fd)
        assert master.firmware_version() == 0x0102
        assert master.can_status().state == 0
        assert master.nodes.scan() == [5, 6]
        slot = master.slot
    assert not master.is_open
    assert not fd_is_open(fd)
    # The slot is free again: a new master takes it on the same module.
    with start(sim.port, slot=slot) as again:
        assert again.nodes.list() == [5, 6]
    master.close()  # closing twice does nothing


def test_a_closed_master_refuses_calls_without_touching_the_library(sim, start):
    master = start(sim)
    master.close()
    with start(sim, slot=master.slot):
        # Another master owns the slot now; the closed one must not use it.
        with pytest.raises(VexanError) as caught:
            master.nodes.list()
        assert caught.value.code == Result.VEXAN_NOT_OPEN
        assert "node list" in str(caught.value)


def test_two_masters_take_different_slots_and_one_slot_is_not_shared(start):
    with vexan.sim.Simulator(nodes=[5]) as a, vexan.sim.Simulator(nodes=[7]) as b:
        with start(a) as first, start(b) as second:
            assert first.slot != second.slot
            assert first.nodes.scan() == [5]
            assert second.nodes.scan() == [7]
            with pytest.raises(ValueError):
                vexan.Master(a, slot=first.slot)


def test_a_port_without_a_module_fails_with_the_code_and_frees_everything():
    # A pseudo-terminal nobody answers on: the module never identifies itself.
    controller, device = os.openpty()
    try:
        path = os.ttyname(device)
        before = set(os.listdir("/proc/self/fd"))
        with pytest.raises(VexanError) as caught:
            vexan.Master(path, slot=3)
        error = caught.value
        assert error.code in (Result.VEXAN_NOT_IDENTIFIED, Result.VEXAN_READ_FAILED)
        assert error.name in ("VEXAN_NOT_IDENTIFIED", "VEXAN_READ_FAILED")
        assert path in str(error) and error.text in str(error)
        assert set(os.listdir("/proc/self/fd")) <= before  # the port's descriptor was closed
    finally:
        os.close(controller)
        os.close(device)


def test_a_start_that_times_out_leaves_its_port_open_for_the_library(start):
    # The module identifies itself but never answers the start: the library
    # keeps the start pending and reads the port, so its descriptor must stay
    # open (closed, its number could be given to another file).
    with vexan.sim.Simulator(nodes=[5]) as sim:
        sim.command("fault drop 1000 2 1")  # the start's result (command 2, master 1)
        with pytest.raises(VexanError) as caught:
            start(sim, slot=4)
        assert caught.value.code == Result.VEXAN_TIMEOUT
        lent = vexan.master._lent_ports[-1]
        assert fd_is_open(lent)
        assert os.ttyname(lent) == sim.port


def test_closing_a_master_whose_line_died_releases_it_and_reports_the_failure(start):
    with vexan.sim.Simulator(nodes=[5]) as sim:
        master = start(sim, slot=6)
        fd = master._fd
        sim.stop()  # the module's end of the line closes: the library's end hangs up
        with pytest.raises(VexanError) as caught:
            master.close()
        assert caught.value.code == Result.VEXAN_WRITE_FAILED
        assert not master.is_open
        assert not fd_is_open(fd)
        master.close()  # closing again does nothing
    # The slot takes a new line.
    with vexan.sim.Simulator(nodes=[7]) as sim, start(sim, slot=6) as again:
        assert again.nodes.scan() == [7]


def test_a_missing_device_raises_oserror():
    with pytest.raises(FileNotFoundError):
        vexan.Master("/dev/nonexistent-vexan-port")


def test_master_mode_round_trip(master):
    master.set_mode(1)
    assert master.get_mode() == 1
