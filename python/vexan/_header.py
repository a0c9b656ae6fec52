"""The numbers of ``vexan.h`` the package works with: buffer sizes and limits.

Each constant carries the name of its macro without the ``VEXAN_`` prefix;
:data:`MACROS` lists them under the macros' own names, and the package's tests
compare that table with the header, so a number changed there cannot be
missed here.
"""

from __future__ import annotations

from typing import Dict

__all__ = ["EDS_MAX_PATH", "EMCY_DATA", "LIBRARY_VERSION", "MACROS", "MAX_REPLY_DATA", "NODE_REPLY_BUFFER",
           "PDO_MAX_DATA", "PDO_MAX_ENTRIES", "PDO_MAX_IDS", "PDO_MAX_MULTI", "PDO_MAX_POLLING", "SDO_MAX_WRITE",
           "SDO_READ_BUFFER", "SDO_SPILL_THRESHOLD", "SDO_WRITE_REPLY_BUFFER", "SYNC_CYCLIC_ENTRIES"]

#: What Vexan_GetVersion returns.
LIBRARY_VERSION = 203
#: Most reply data bytes one reply frame carries.
MAX_REPLY_DATA = 252
#: Buffer of the scan result, the node list and the NMT state.
NODE_REPLY_BUFFER = MAX_REPLY_DATA
#: Longest EDS path, in bytes without the NUL.
EDS_MAX_PATH = 255
#: Largest object one SDO write carries.
SDO_MAX_WRITE = 248
#: Data buffer of an SDO read: the largest object read into memory.
SDO_READ_BUFFER = 1023
#: Reply buffer of an SDO write.
SDO_WRITE_REPLY_BUFFER = 248
#: Objects of this many bytes or more arrive in a spill file.
SDO_SPILL_THRESHOLD = 1024
#: Most data bytes of one PDO.
PDO_MAX_DATA = 8
#: Longest COB-ID list of the remote polling.
PDO_MAX_POLLING = 125
#: Most PDOs one multi-PDO read takes.
PDO_MAX_MULTI = 25
#: Most mapping entries of one PDO.
PDO_MAX_ENTRIES = 8
#: Most COB-IDs of a node's receive or transmit PDO list.
PDO_MAX_IDS = 126
#: The module's cyclic SYNC entries.
SYNC_CYCLIC_ENTRIES = 5
#: Bytes of one EMCY message.
EMCY_DATA = 8

#: Every numeric macro of the header, by its name there.
MACROS: Dict[str, int] = {
    "VEXAN_LIBRARY_VERSION": LIBRARY_VERSION,
    "VEXAN_MAX_REPLY_DATA": MAX_REPLY_DATA,
    "VEXAN_NODE_REPLY_BUFFER": NODE_REPLY_BUFFER,
    "VEXAN_EDS_MAX_PATH": EDS_MAX_PATH,
    "VEXAN_SDO_MAX_WRITE": SDO_MAX_WRITE,
    "VEXAN_SDO_READ_BUFFER": SDO_READ_BUFFER,
    "VEXAN_SDO_WRITE_REPLY_BUFFER": SDO_WRITE_REPLY_BUFFER,
    "VEXAN_SDO_SPILL_THRESHOLD": SDO_SPILL_THRESHOLD,
    "VEXAN_PDO_MAX_DATA": PDO_MAX_DATA,
    "VEXAN_PDO_MAX_POLLING": PDO_MAX_POLLING,
    "VEXAN_PDO_MAX_MULTI": PDO_MAX_MULTI,
    "VEXAN_PDO_MAX_ENTRIES": PDO_MAX_ENTRIES,
    "VEXAN_PDO_MAX_IDS": PDO_MAX_IDS,
    "VEXAN_SYNC_CYCLIC_ENTRIES": SYNC_CYCLIC_ENTRIES,
    "VEXAN_EMCY_DATA": EMCY_DATA,
}
