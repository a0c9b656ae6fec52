"""Result codes, their names, SDO abort meanings and the package's exception."""

from __future__ import annotations

from typing import Any, Dict, Optional, Tuple

__all__ = ["RESULTS", "Result", "VexanError", "abort_meaning", "result_name", "result_text"]

#: The library's result codes as (value, name, description), as the header's
#: result table lists them. Any other value is the module's own status byte.
RESULTS: Tuple[Tuple[int, str, str], ...] = (
    (0, "VEXAN_OK", "success"),
    (2, "VEXAN_NO_PORT_HANDLE", "the slot has no port handle"),
    (3, "VEXAN_NOT_IDENTIFIED", "the module did not identify itself at master start-up"),
    (7, "VEXAN_NOT_OPEN", "the slot has no board, or the board's master is not open"),
    (9, "VEXAN_MASTER_ID_ZERO", "the master node id is 0, which master-side events do not allow"),
    (13, "VEXAN_NO_RESULT_CLASS", "the command belongs to no class of the result request"),
    (14, "VEXAN_READ_FAILED", "the port read failed, or no identification reply"),
    (15, "VEXAN_NOTHING_TO_READ", "nothing to read"),
    (16, "VEXAN_NOT_STORED", "the reply was not stored: no memory, or its spill file did not open"),
    (22, "VEXAN_UPLOAD_OVERRUN", "an upload delivered more bytes than announced, or an offset beyond it"),
    (25, "VEXAN_SDO_ABORTED", "the node aborted the SDO transfer"),
    (35, "VEXAN_TIMEOUT", "time-out: no final reply within the function time-out"),
    (36, "VEXAN_UNSUPPORTED_SIZE", "unsupported data size in a master-side SDO response"),
    (38, "VEXAN_SHORT_WRITE", "the port wrote fewer bytes than the frame holds"),
    (39, "VEXAN_WRITE_FAILED", "the port write failed"),
    (40, "VEXAN_WAITING", "still waiting for the module's answer"),
    (41, "VEXAN_SENT", "the request was sent; repeat the call to collect its result"),
    (42, "VEXAN_PAUSED", "traffic is paused"),
    (50, "VEXAN_EDS_FILE", "opening or reading the EDS file failed, or the file is empty"),
    (51, "VEXAN_EDS_VALUE", "an EDS value the configuration needs is missing or does not parse"),
    (256, "VEXAN_OUT_OF_RANGE", "key outside every reply table, or payload too large for a frame"),
)

_NAMES: Dict[int, Tuple[str, str]] = {value: (name, text) for value, name, text in RESULTS}


class Result:
    """The library's result codes as constants, e.g. ``Result.VEXAN_TIMEOUT``."""

    # Declared for type checkers; the values are set from RESULTS below.
    VEXAN_OK: int
    VEXAN_NO_PORT_HANDLE: int
    VEXAN_NOT_IDENTIFIED: int
    VEXAN_NOT_OPEN: int
    VEXAN_MASTER_ID_ZERO: int
    VEXAN_NO_RESULT_CLASS: int
    VEXAN_READ_FAILED: int
    VEXAN_NOTHING_TO_READ: int
    VEXAN_NOT_STORED: int
    VEXAN_UPLOAD_OVERRUN: int
    VEXAN_SDO_ABORTED: int
    VEXAN_TIMEOUT: int
    VEXAN_UNSUPPORTED_SIZE: int
    VEXAN_SHORT_WRITE: int
    VEXAN_WRITE_FAILED: int
    VEXAN_WAITING: int
    VEXAN_SENT: int
    VEXAN_PAUSED: int
    VEXAN_EDS_FILE: int
    VEXAN_EDS_VALUE: int
    VEXAN_OUT_OF_RANGE: int


for _value, _name, _text in RESULTS:
    setattr(Result, _name, _value)
del _value, _name, _text


def result_name(code: int) -> Optional[str]:
    """The symbolic name of a library result code, or None for a module status."""
    entry = _NAMES.get(code)
    return entry[0] if entry else None


def result_text(code: int) -> Optional[str]:
    """A one-line description of a library result code, or None."""
    entry = _NAMES.get(code)
    return entry[1] if entry else None


_ABORTS: Dict[int, str] = {
    0x05030000: "toggle bit not alternated",
    0x05040000: "SDO protocol timed out",
    0x05040001: "client/server command specifier not valid or unknown",
    0x05040002: "invalid block size",
    0x05040003: "invalid sequence number",
    0x05040004: "CRC error",
    0x05040005: "out of memory",
    0x06010000: "unsupported access to an object",
    0x06010001: "attempt to read a write only object",
    0x06010002: "attempt to write a read only object",
    0x06020000: "object does not exist in the object dictionary",
    0x06040041: "object cannot be mapped to the PDO",
    0x06040042: "the number and length of the objects to be mapped would exceed PDO length",
    0x06040043: "general parameter incompatibility",
    0x06040047: "general internal incompatibility in the device",
    0x06060000: "access failed due to a hardware error",
    0x06070010: "data type does not match, length of service parameter does not match",
    0x06070012: "data type does not match, length of service parameter too high",
    0x06070013: "data type does not match, length of service parameter too low",
    0x06090011: "sub-index does not exist",
    0x06090030: "invalid value for parameter",
    0x06090031: "value of parameter written too high",
    0x06090032: "value of parameter written too low",
    0x06090036: "maximum value is less than minimum value",
    0x060A0023: "resource not available: SDO connection",
    0x08000000: "general error",
    0x08000020: "data cannot be transferred or stored to the application",
    0x08000021: "data cannot be transferred or stored to the application because of local control",
    0x08000022: "data cannot be transferred or stored to the application because of the present device state",
    0x08000023: "object dictionary dynamic generation fails or no object dictionary is present",
    0x08000024: "no data available",
}


def abort_meaning(code: int) -> str:
    """What a CiA 301 SDO abort code means ("unknown abort code" otherwise)."""
    return _ABORTS.get(code, "unknown abort code")


class VexanError(Exception):
    """A call ended with a result other than success.

    Attributes:
        code: the 16-bit result: one of the library's codes or the module's
            own status byte, passed through.
        name: the code's symbolic name (``"VEXAN_TIMEOUT"``), or None for a
            module status.
        text: a one-line description of the code.
        operation: what was asked, e.g. ``"sdo read node 5 1018/01"``.
        abort_code: for ``VEXAN_SDO_ABORTED``, the SDO abort code; else None.
        abort_text: the abort code's meaning, or None.
    """

    def __init__(self, code: int, operation: str = "", abort_code: Optional[int] = None) -> None:
        self.code = code
        self.name = result_name(code)
        self.text = result_text(code) or "status reported by the module"
        self.operation = operation
        self.abort_code = abort_code
        self.abort_text = abort_meaning(abort_code) if abort_code is not None else None
        super().__init__(str(self))

    def __str__(self) -> str:
        what = f"{self.name} ({self.code})" if self.name else f"module status {self.code}"
        message = f"{what}: {self.text}"
        if self.abort_code is not None:
            message += f": abort 0x{self.abort_code:08X} {self.abort_text}"
        return f"{self.operation}: {message}" if self.operation else message

    def __reduce__(self) -> Tuple[Any, Tuple[int, str, Optional[int]]]:
        return (VexanError, (self.code, self.operation, self.abort_code))
