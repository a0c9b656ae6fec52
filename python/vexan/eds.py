"""Node configuration from EDS files (``master.eds``)."""

from __future__ import annotations

import ctypes
import os
from typing import Literal, Union, overload

from . import _checks as _c
from ._calls import Pending
from ._header import EDS_MAX_PATH
from ._service import MaybePending, Service, nothing

__all__ = ["Eds"]


class Eds(Service):
    """Node configuration from EDS files (``master.eds``)."""

    @overload
    def load(self, node: int, path: Union[str, 'os.PathLike[str]'], word1: int = 0, word2: int = 0,
             wait: Literal[True] = True) -> None: ...
    @overload
    def load(self, node: int, path: Union[str, 'os.PathLike[str]'], word1: int, word2: int,
             wait: Literal[False]) -> Pending[None]: ...
    @overload
    def load(self, node: int, path: Union[str, 'os.PathLike[str]'], word1: int = 0, word2: int = 0, *,
             wait: Literal[False]) -> Pending[None]: ...
    @overload
    def load(self, node: int, path: Union[str, 'os.PathLike[str]'], word1: int = 0, word2: int = 0,
             wait: bool = True) -> Union[None, Pending[None]]: ...

    def load(self, node: int, path: Union[str, "os.PathLike[str]"], word1: int = 0, word2: int = 0,
             wait: bool = True) -> MaybePending:
        """Configures the node from its EDS (or DCF) file in one call.

        Adds and starts the node, sets its SYNC and EMCY COB-IDs and installs
        its PDOs as the file describes them. Not waiting, the configuration
        runs on a worker thread of the board.
        """
        node, word1, word2 = _c.node(node), _c.u16(word1, "word1"), _c.u16(word2, "word2")
        encoded = os.fsencode(path)
        if not encoded or b"\0" in encoded:
            # A NUL would end the path early: the library would open another file.
            raise ValueError(f"path must be a file name without NUL bytes, got {path!r}")
        if len(encoded) > EDS_MAX_PATH:
            raise ValueError(f"path must hold 1..{EDS_MAX_PATH} bytes, got {len(encoded)}")
        text: Union[ctypes.c_char_p, ctypes.c_wchar_p]
        if os.name == "nt":
            # On Windows a narrow path is taken in the ANSI code page; a wide
            # one keeps every character. The library reads a path whose first
            # two bytes are both non-zero as narrow.
            wide = os.fsdecode(path)
            first = ord(wide[0]) if wide else 0
            unit = first if first <= 0xFFFF else 0xD800  # a surrogate pair's first unit
            if unit & 0xFF and unit >> 8:
                wide = ".\\" + wide
            text = ctypes.c_wchar_p(wide)
        else:
            if len(encoded) < 2:
                # The library reads a path whose second byte is 0 as a wide string.
                encoded = b"./" + encoded
            text = ctypes.c_char_p(encoded)
        return self._request(f"eds load node {node} from {os.fsdecode(path)}",
                             lambda b: self._lib.Vexan_EDS_Load(self._slot, node, text, word1, word2, b),
                             nothing, wait)
