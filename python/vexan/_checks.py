"""Argument checks made before any call into the library.

ctypes converts a Python int to the C parameter's width by cutting off its
high bits, so 0x11018 would reach the library as index 0x1018 and node 261 as
node 5: another object, another node. Every public method therefore checks
each argument against the range the library's header gives it (or, for the
module's own values, the width of the C parameter) and raises ValueError,
naming the argument and its range, before anything is called or sent.
"""

from __future__ import annotations

import operator
from typing import Callable, Iterable, List, Optional

__all__ = ["check", "check_bytes", "check_each", "node", "node_or_all", "index", "sub", "cob_id", "u8", "u16", "u32"]

# Highest node id of a CANopen network; 0 addresses every node, which only the
# NMT state change means by it.
NODE_MAX = 127
# COB-IDs the library keeps records for (it refuses larger ones).
COB_ID_MAX = 2046


def check(value: object, name: str, low: int, high: int, hexadecimal: bool = False, note: str = "") -> int:
    """``value`` as an int when it lies in low..high; ValueError otherwise.

    A value that is not an integer (a float, a string) raises TypeError. The
    message names the argument and its range: ``node must be in 1..127, got 261``.
    """
    try:
        number = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if not low <= number <= high:
        if hexadecimal:
            digits = max(2, len(f"{high:X}"))
            shown = f"0x{low:0{digits}X}..0x{high:0{digits}X}"
            got = f"0x{number:X}" if number >= 0 else str(number)
        else:
            shown, got = f"{low}..{high}", str(number)
        raise ValueError(f"{name} must be in {shown}{note}, got {got}")
    return number


def node(value: object, name: str = "node") -> int:
    """A node id addressing one node: 1..127."""
    return check(value, name, 1, NODE_MAX)


def node_or_all(value: object, name: str = "node") -> int:
    """A node id of an NMT state change: 1..127, or 0 for every node."""
    return check(value, name, 0, NODE_MAX, note=" (0: every node)")


def index(value: object, name: str = "index") -> int:
    """An object dictionary index: 0x0000..0xFFFF."""
    return check(value, name, 0, 0xFFFF, hexadecimal=True)


def sub(value: object, name: str = "sub") -> int:
    """A sub-index: 0x00..0xFF."""
    return check(value, name, 0, 0xFF, hexadecimal=True)


def cob_id(value: object, name: str = "cob_id") -> int:
    """A COB-ID of the PDO, SYNC and EMCY calls: 0x000..0x7FE."""
    return check(value, name, 0, COB_ID_MAX, hexadecimal=True)


def u8(value: object, name: str) -> int:
    """One of the module's byte values: 0..255."""
    return check(value, name, 0, 0xFF)


def u16(value: object, name: str) -> int:
    """One of the module's 16-bit values: 0..65535."""
    return check(value, name, 0, 0xFFFF)


def u32(value: object, name: str, hexadecimal: bool = False) -> int:
    """One of the module's 32-bit values: 0..4294967295."""
    return check(value, name, 0, 0xFFFFFFFF, hexadecimal)


def check_each(values: Iterable[object], name: str, check_one: Callable[[object, str], int],
               most: Optional[int] = None) -> List[int]:
    """Checks every item of a list with ``check_one(item, name[i])``.

    With ``most``, a longer list is refused: ``cob_ids holds at most 25 items, got 30``.
    """
    items = list(values)
    if most is not None and len(items) > most:
        raise ValueError(f"{name} holds at most {most} items, got {len(items)}")
    return [check_one(item, f"{name}[{i}]") for i, item in enumerate(items)]


def check_bytes(data: object, name: str, least: int, most: int) -> bytes:
    """``data`` (bytes, bytearray or memoryview) as bytes of least..most bytes.

    An int is refused with TypeError: ``bytes(5)`` would be five zero bytes.
    """
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError(f"{name} must be bytes, bytearray or memoryview, not {type(data).__name__}")
    payload = bytes(data)
    if not least <= len(payload) <= most:
        raise ValueError(f"{name} must hold {least}..{most} bytes, got {len(payload)}")
    return payload
