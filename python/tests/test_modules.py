"""The package's modules: one per service, the names they used to have, and how events reach their master."""

import ast

from pathlib import Path

import pytest

import vexan
import vexan.master
from vexan import _header, eds, emcy, nmt, nodes, pdo, sdo, serial_port, sync

PACKAGE_DIR = Path(vexan.__file__).resolve().parent

# Names of vexan.master from before the services had modules of their own, and where they live now.
FORMER_NAMES = [
    ("Nodes", nodes), ("Identity", nodes),
    ("Nmt", nmt), ("NmtCommand", nmt), ("NmtState", nmt),
    ("Sdo", sdo),
    ("Pdo", pdo), ("Direction", pdo), ("PdoMapInfo", pdo), ("LastData", pdo), ("PDO_MAX_NUMBER", pdo),
    ("Sync", sync), ("SyncEntry", sync),
    ("Emcy", emcy), ("LastData", emcy),
    ("Eds", eds),
    ("open_serial", serial_port), ("close_serial", serial_port),
] + [(name, _header) for name in ("NODE_REPLY_BUFFER", "SDO_READ_BUFFER", "SDO_SPILL_THRESHOLD", "SDO_MAX_WRITE",
                                  "PDO_MAX_DATA", "PDO_MAX_IDS", "PDO_MAX_ENTRIES", "PDO_MAX_MULTI", "PDO_MAX_POLLING",
                                  "SYNC_CYCLIC_ENTRIES", "EDS_MAX_PATH")]


@pytest.mark.parametrize("name, home", FORMER_NAMES, ids=[f"{n}-{m.__name__}" for n, m in FORMER_NAMES])
def test_a_former_name_of_vexan_master_is_the_one_of_its_module(name, home):
    assert getattr(vexan.master, name) is getattr(home, name)


def test_the_package_exports_what_it_lists():
    for name in vexan.__all__:
        assert getattr(vexan, name) is not None, name
    for name in vexan.master.__all__:
        assert getattr(vexan, name) is getattr(vexan.master, name), name
    assert vexan.master.SLOTS == 8


def imports_of(path):
    """(module, name) of every relative import of a module's source."""
    tree = ast.parse(path.read_text(), str(path))
    return [(node.module, alias.name) for node in ast.walk(tree)
            if isinstance(node, ast.ImportFrom) and node.level == 1 for alias in node.names]


def test_no_module_imports_another_ones_private_names():
    found = [(path.name, module, name) for path in sorted(PACKAGE_DIR.glob("*.py"))
             for module, name in imports_of(path) if module is not None and name.startswith("_")
             and name != "__version__"]
    assert found == []


@pytest.mark.parametrize("service", ["nodes", "nmt", "sdo", "pdo", "sync", "emcy", "eds", "events"])
def test_a_service_knows_its_board_not_the_master(service):
    assert "master" not in {module for module, _ in imports_of(PACKAGE_DIR / f"{service}.py")}


class Recorder(list):
    def __call__(self, event):
        self.append(event.node)


def test_clear_removes_every_handler_and_on_installs_again(master, sim, wait_until):
    boot_ups, emcys = Recorder(), Recorder()
    master.events.on("bootup", boot_ups)
    master.events.on("emcy", emcys)
    master.events.clear()
    sim.command("bootup 5")
    sim.command("emcy 5 1000010203040506")
    master.nodes.list()  # a round trip on the line after the records
    assert boot_ups == [] and emcys == []
    # Records stay queued in the library while no callback reads them: the
    # boot-up of node 5 comes too, once a handler is back.
    master.events.on("bootup", boot_ups)
    sim.command("bootup 6")
    assert wait_until(lambda: 6 in boot_ups)
    assert emcys == []


def test_a_closed_masters_events_leave_the_slot_to_the_next_master(sim, wait_until, start):
    first, second = Recorder(), Recorder()
    with start(sim, slot=2) as old:
        old.events.on("bootup", first)
    with start(sim, slot=2) as new:
        new.events.on("bootup", second)
        with pytest.raises(vexan.VexanError) as caught:
            old.events.on("bootup", first)
        assert caught.value.code == vexan.Result.VEXAN_NOT_OPEN
        sim.command("bootup 5")
        assert wait_until(lambda: 5 in second)
    assert first == []
