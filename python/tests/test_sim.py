"""The simulator helper: start, control commands, failures."""

import pytest

from vexan.sim import Simulator, SimulatorError, running


def test_running_yields_a_port_a_master_opens(eds_dir, start):
    with running(eds=[(eds_dir / "canopennode_demodevice.eds", 9)], nodes=[5]) as port:
        with start(port) as master:
            assert master.nodes.scan() == [5, 9]


def test_a_refused_command_raises_with_the_simulators_reason(sim):
    with pytest.raises(SimulatorError, match="bootup 999"):
        sim.command("bootup 999")
    assert sim.command("bootup 5") == "ok"


def test_a_program_that_prints_no_port_fails_with_its_output(tmp_path):
    program = tmp_path / "not-a-simulator"
    program.write_text("#!/bin/sh\necho 'cannot start' >&2\nexit 3\n")
    program.chmod(0o755)
    with pytest.raises(SimulatorError, match="exit status 3.*cannot start"):
        Simulator(program=str(program), start_timeout=5)


def test_stop_ends_the_process(sim):
    assert sim.running()
    assert sim.stop() == 0
    assert not sim.running()
    with pytest.raises(SimulatorError):
        sim.command("bootup 5")
