"""SDO transfers (``master.sdo``): read and write objects, abort transfers.

An object of ``SDO_SPILL_THRESHOLD`` (1024) bytes or more arrives in the
library's spill file and is read back from there.
"""

from __future__ import annotations

import ctypes
from ctypes import c_uint8 as _u8, c_uint16 as _u16, c_uint32 as _u32
from typing import Callable, Literal, TypeVar, Union, overload

from . import _checks as _c
from ._calls import Pending
from ._header import SDO_MAX_WRITE, SDO_READ_BUFFER, SDO_SPILL_THRESHOLD, SDO_WRITE_REPLY_BUFFER
from ._service import MaybePending, Service, array, le, nothing
from .errors import Result, VexanError

__all__ = ["Sdo"]

T = TypeVar("T")

# How much of a spill file is read back per library call.
_SPILL_CHUNK = 64 * 1024


class Sdo(Service):
    """SDO transfers (``master.sdo``)."""

    @overload
    def read(self, node: int, index: int, sub: int = 0, wait: Literal[True] = True) -> bytes: ...
    @overload
    def read(self, node: int, index: int, sub: int, wait: Literal[False]) -> Pending[bytes]: ...
    @overload
    def read(self, node: int, index: int, sub: int = 0, *, wait: Literal[False]) -> Pending[bytes]: ...
    @overload
    def read(self, node: int, index: int, sub: int = 0, wait: bool = True) -> Union[bytes, Pending[bytes]]: ...

    def read(self, node: int, index: int, sub: int = 0, wait: bool = True) -> Union[bytes, Pending[bytes]]:
        """Reads object (index, sub) of the node and returns its bytes.

        Objects of 1024 bytes or more arrive in the library's spill file
        ``<slot>_<node>_<INDEX>_<SUB>.seg`` in the current directory, which is
        read back here; the file stays, as the library leaves it. The whole
        upload must finish within the function time-out (see
        :meth:`Master.set_timeout`).
        """
        return self._read(node, index, sub, wait, lambda data: data)

    def _read(self, node: int, index: int, sub: int, wait: bool,
              convert: Callable[[bytes], T]) -> Union[T, Pending[T]]:
        """:meth:`read` with ``convert`` applied to the bytes (typed reads of a node's objects)."""
        node, index, sub = _c.node(node), _c.index(index), _c.sub(sub)
        length = _u32()
        data = (_u8 * SDO_READ_BUFFER)()
        operation = f"sdo read node {node} {index:04X}/{sub:02X}"

        def finish() -> T:
            if length.value < SDO_SPILL_THRESHOLD:
                return convert(ctypes.string_at(data, length.value))
            return convert(self._read_spill(node, index, sub, length.value, operation))

        return self._request(
            operation,
            lambda b: self._lib.Vexan_SDOReadData(self._slot, node, index, sub, ctypes.byref(length), data, b),
            finish, wait, abort=lambda: le(bytes(data)))

    def _read_spill(self, node: int, index: int, sub: int, total: int, operation: str) -> bytes:
        parts = []
        offset = 0
        chunk = (_u8 * _SPILL_CHUNK)()
        got = _u32()
        while offset < total:
            count = min(_SPILL_CHUNK, total - offset)
            code = self._lib.Vexan_SDOReadFile(self._slot, node, index, sub, offset, count, ctypes.byref(got), chunk)
            if code != Result.VEXAN_OK:
                raise VexanError(code, f"{operation}: read back its spill file at {offset}")
            if got.value == 0:
                raise VexanError(Result.VEXAN_NOTHING_TO_READ, f"{operation}: spill file ends at {offset} of {total}")
            parts.append(ctypes.string_at(chunk, got.value))
            offset += got.value
        return b"".join(parts)

    def read_int(self, node: int, index: int, sub: int = 0, signed: bool = False) -> int:
        """Reads an object as a little-endian integer of the size it has."""
        return int.from_bytes(self.read(node, index, sub), "little", signed=signed)

    @overload
    def write(self, node: int, index: int, sub: int, data: bytes, wait: Literal[True] = True) -> None: ...
    @overload
    def write(self, node: int, index: int, sub: int, data: bytes, wait: Literal[False]) -> Pending[None]: ...
    @overload
    def write(self, node: int, index: int, sub: int, data: bytes, wait: bool = True) -> Union[None, Pending[None]]: ...

    def write(self, node: int, index: int, sub: int, data: bytes, wait: bool = True) -> MaybePending:
        """Writes up to 248 bytes to object (index, sub) of the node."""
        node, index, sub = _c.node(node), _c.index(index), _c.sub(sub)
        payload = _c.check_bytes(data, "data", 1, SDO_MAX_WRITE)
        buffer = array(payload)
        reply_length = _u16()
        reply = (_u8 * SDO_WRITE_REPLY_BUFFER)()
        return self._request(
            f"sdo write node {node} {index:04X}/{sub:02X}",
            lambda b: self._lib.Vexan_SDOWriteData(self._slot, node, index, sub, len(payload), buffer,
                                                   ctypes.byref(reply_length), reply, b),
            nothing, wait, abort=lambda: le(bytes(reply)))

    @overload
    def write_int(self, node: int, index: int, sub: int, value: int, size: int, signed: bool = False,
                  wait: Literal[True] = True) -> None: ...
    @overload
    def write_int(self, node: int, index: int, sub: int, value: int, size: int, signed: bool,
                  wait: Literal[False]) -> Pending[None]: ...
    @overload
    def write_int(self, node: int, index: int, sub: int, value: int, size: int, signed: bool = False, *,
                  wait: Literal[False]) -> Pending[None]: ...
    @overload
    def write_int(self, node: int, index: int, sub: int, value: int, size: int, signed: bool = False,
                  wait: bool = True) -> Union[None, Pending[None]]: ...

    def write_int(self, node: int, index: int, sub: int, value: int, size: int, signed: bool = False,
                  wait: bool = True) -> MaybePending:
        """Writes ``value`` as a little-endian integer of ``size`` bytes."""
        size = _c.check(size, "size", 1, SDO_MAX_WRITE)
        value = _c.check(value, "value", -(1 << (8 * size - 1)) if signed else 0,
                         (1 << (8 * size - (1 if signed else 0))) - 1, hexadecimal=not signed,
                         note=f" ({'signed' if signed else 'unsigned'}, {size} byte{'s' if size > 1 else ''})")
        return self.write(node, index, sub, value.to_bytes(size, "little", signed=signed), wait)

    @overload
    def abort(self, node: int, index: int, sub: int, abort_code: int, wait: Literal[True] = True) -> None: ...
    @overload
    def abort(self, node: int, index: int, sub: int, abort_code: int, wait: Literal[False]) -> Pending[None]: ...
    @overload
    def abort(self, node: int, index: int, sub: int, abort_code: int,
              wait: bool = True) -> Union[None, Pending[None]]: ...

    def abort(self, node: int, index: int, sub: int, abort_code: int, wait: bool = True) -> MaybePending:
        """Aborts the transfer of (index, sub) of the node with ``abort_code``."""
        node, index, sub = _c.node(node), _c.index(index), _c.sub(sub)
        abort_code = _c.u32(abort_code, "abort_code", hexadecimal=True)
        return self._request(
            f"sdo abort node {node} {index:04X}/{sub:02X}",
            lambda b: self._lib.Vexan_SDOAbortTransmit(self._slot, node, index, sub, abort_code, b), nothing, wait)
