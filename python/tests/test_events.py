"""Event handlers: boot-ups, EMCYs, other masters' requests, failing handlers."""

import os
import subprocess
import sys
import threading

import pytest

import vexan
from vexan import Result, VexanError


class Recorder:
    """A handler that keeps the events it is given."""

    def __init__(self):
        self.events = []
        self.threads = set()

    def __call__(self, event):
        self.threads.add(threading.get_ident())
        self.events.append(event)

    def nodes(self):
        return [e.node for e in self.events]


def test_a_reset_node_boots_up_and_the_handler_sees_it(master, wait_until):
    seen = Recorder()
    master.events.on("bootup", seen)
    master.nmt.reset(6)
    assert wait_until(lambda: 6 in seen.nodes())
    event = next(e for e in seen.events if e.node == 6)
    assert (event.kind, event.slot) == ("bootup", master.slot)
    assert threading.get_ident() not in seen.threads  # called on the receive thread


def test_emcy_and_nmt_error_records(master, sim, wait_until):
    emcys, errors = Recorder(), Recorder()
    master.events.on("emcy", emcys)
    master.events.on("nmt_error", errors)
    sim.command("emcy 5 1000010203040506")
    sim.command("nmt-error 6 3")
    assert wait_until(lambda: emcys.events and errors.events)
    assert (emcys.events[0].node, emcys.events[0].data) == (5, bytes.fromhex("1000010203040506"))
    assert (errors.events[0].node, errors.events[0].code) == (6, 3)


def test_a_failing_handler_is_reported_and_the_others_go_on(master, sim, wait_until):
    def broken(event):
        raise RuntimeError(f"broken on node {event.node}")

    reported = []
    master.events.on_error = lambda event, error: reported.append((event.node, str(error)))
    seen = Recorder()
    master.events.on("bootup", broken)
    master.events.on("bootup", seen)
    sim.command("bootup 5")
    assert wait_until(lambda: 5 in seen.nodes())
    assert reported == [(5, "broken on node 5")]
    assert isinstance(master.events.errors[-1][1], RuntimeError)
    # The receive thread lives on: later events come, the master answers.
    sim.command("bootup 6")
    assert wait_until(lambda: 6 in seen.nodes())
    assert len(reported) == 2
    assert master.nodes.list() == [5, 6]


def test_a_failing_error_hook_is_contained_too(master, sim, wait_until, caplog):
    def broken(event):
        raise ValueError("handler")

    def broken_hook(event, error):
        raise ValueError("hook")

    master.events.on_error = broken_hook
    master.events.on("bootup", broken)
    sim.command("bootup 5")
    assert wait_until(lambda: master.events.errors)
    assert wait_until(lambda: "on_error hook failed" in caplog.text)
    assert master.nmt.state(5) == vexan.NmtState.PRE_OPERATIONAL


def test_off_stops_the_delivery(master, sim, wait_until):
    seen = Recorder()
    master.events.on("bootup", seen)
    sim.command("bootup 5")
    assert wait_until(lambda: seen.events)
    master.events.off("bootup")
    count = len(seen.events)
    sim.command("bootup 6")
    master.nodes.list()  # a round trip on the line after the boot-up
    assert len(seen.events) == count


def test_another_masters_sdo_read_answered_from_the_handler(master, sim, wait_until):
    answered = []

    def on_read(event):
        master.events.respond_sdo_read(event.index, event.sub, b"\x2a\x00")
        answered.append((event.index, event.sub))

    master.events.on("sdo_read", on_read)
    sim.command("master-sdo-read 0x2000 1")
    assert wait_until(lambda: answered)
    assert answered == [(0x2000, 1)]
    assert not master.events.errors  # the answer was accepted


def test_unknown_kind_and_master_id_zero(sim, start):
    with start(sim, master_id=0) as master:
        with pytest.raises(ValueError):
            master.events.on("nonsense", print)
        with pytest.raises(VexanError) as caught:
            master.events.on("sdo_read", print)
        assert caught.value.code == Result.VEXAN_MASTER_ID_ZERO
        master.events.on("bootup", print)  # boot-ups need no master node id


_HANDLER_CALLS_OFF_WHILE_REMOVED = """
import threading, time, vexan
from vexan.sim import Simulator
with Simulator(nodes=[5]) as sim, vexan.Master(sim, attempts=20) as master:
    entered, removing, done = threading.Event(), threading.Event(), threading.Event()
    def other(event):
        pass
    def handler(event):
        if entered.is_set():
            return
        entered.set()
        removing.wait(10)
        time.sleep(0.2)  # lets the main thread reach the library's removal
        master.events.off("bootup", other)
        done.set()
    master.events.on("bootup", handler)
    master.events.on("bootup", other)
    sim.command("bootup 5")
    assert entered.wait(10)
    removing.set()
    master.events.off("bootup")  # the library's removal waits for the running callback
    assert done.wait(10)
print("ok")
"""


def test_a_handler_may_call_off_while_another_thread_removes_its_kind():
    # Run in a process of its own: should the two wait for each other, it is ended.
    try:
        run = subprocess.run([sys.executable, "-c", _HANDLER_CALLS_OFF_WHILE_REMOVED], env=os.environ.copy(),
                             capture_output=True, text=True, timeout=60)
    except subprocess.TimeoutExpired:
        pytest.fail("the handler's off() and the removal waited for each other")
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "ok"
