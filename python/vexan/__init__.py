"""Vexan from Python: drive CANopen master modules through ``libvexan.so``.

    >>> import vexan
    >>> with vexan.Master("/dev/ttyUSB0") as master:
    ...     print(master.nodes.identity(5))

The package loads the shared library with ctypes on first use: from the path
in ``VEXAN_LIBRARY``, beside the package, or where the dynamic loader finds it.
See :class:`Master` for the services, :mod:`vexan.sim` for the simulator.
"""

from ._calls import Pending
from ._library import LibraryNotFound, library_path
from ._service import LastData
from ._version import __version__ as __version__
from .errors import Result, VexanError, abort_meaning, result_name, result_text
from .events import EVENT_KINDS, Event
from .master import CanStatus, Master, library_version, pause, resume
from .nmt import NmtCommand, NmtState
from .node import Node, PdoFields
from .nodes import Identity
from .od import ObjectDictionary, read_eds
from .pdo import Direction, PdoMapInfo
from .serial_port import close_serial, open_serial
from .sync import SyncEntry

__all__ = [
    "CanStatus", "Direction", "EVENT_KINDS", "Event", "Identity", "LastData", "LibraryNotFound", "Master",
    "NmtCommand", "NmtState", "Node", "ObjectDictionary", "Pending", "PdoFields", "PdoMapInfo", "Result",
    "SyncEntry", "VexanError", "abort_meaning", "close_serial", "library_path", "library_version", "open_serial",
    "pause", "read_eds", "result_name", "result_text", "resume",
]
