"""The device model of an EDS or DCF file: objects by index and by name, with types.

    >>> od = vexan.od.read_eds("drive.eds", node=5)
    >>> od[0x1018][1].name, od["Identity object"]["Vendor-ID"].data_type_name
    ('Vendor-ID', 'UNSIGNED32')
    >>> od["Identity object/Vendor-ID"].access
    'ro'
    >>> od[0x1800][1].default                # $NODEID+0x180 for node 5
    389

The file is read by the project's one reader (the C++ device model, through
``libvexan_od.so``), not by Python: :func:`read_eds` hands the path to it and
builds the objects from the JSON it returns. A file whose content makes no
sense still gives a model; what the reader could not read clearly is in
:attr:`ObjectDictionary.diagnostics` with line numbers, and ``strict=True``
raises :class:`EdsError` for it.

Lookups: ``od[index]`` gives the object, ``od[name]`` the object or entry of
that name, ``od["Object/Sub-object"]`` a sub-object by path. A VAR object is
its own entry (:class:`ODVariable`); ARRAY and RECORD objects are
:class:`ODObject` (``obj[sub]`` or ``obj[name]``). Names match as written,
then in any case, then by a unique prefix. :meth:`ObjectDictionary.variable`
and :meth:`ObjectDictionary.object` give the one kind for typed code.

:class:`ODVariable` encodes and decodes values by the entry's data type
(:meth:`ODVariable.encode`, :meth:`ODVariable.decode`): integers of any width
as int (BOOLEAN as bool), REAL32/64 as float, VISIBLE_STRING (UTF-8, or
Latin-1 where it is not UTF-8) and UNICODE_STRING (UTF-16) as str, the others (OCTET_STRING, DOMAIN, TIME_OF_DAY, ...)
as bytes. Encoding refuses, with ValueError naming the object, the value and
the range, a value outside the type's range or the entry's LowLimit..HighLimit.
"""

from __future__ import annotations

import ctypes
import json
import math
import os
import struct
from typing import Any, Dict, Iterator, List, NamedTuple, Optional, Tuple, Union

from ._library import od_library

__all__ = ["DATA_TYPES", "AccessError", "DeviceInfo", "Diagnostic", "EdsError", "ODItem", "ODObject", "ODVariable",
           "ObjectDictionary", "Value", "read_eds"]

#: A value of an entry: int (BOOLEAN: bool), float, str or bytes.
Value = Union[bool, int, float, str, bytes]

#: The basic data types of CiA 301: code -> (name, size in bytes, or 0 for variable size).
DATA_TYPES: Dict[int, Tuple[str, int]] = {
    0x01: ("BOOLEAN", 1),
    0x02: ("INTEGER8", 1),
    0x03: ("INTEGER16", 2),
    0x04: ("INTEGER32", 4),
    0x05: ("UNSIGNED8", 1),
    0x06: ("UNSIGNED16", 2),
    0x07: ("UNSIGNED32", 4),
    0x08: ("REAL32", 4),
    0x09: ("VISIBLE_STRING", 0),
    0x0A: ("OCTET_STRING", 0),
    0x0B: ("UNICODE_STRING", 0),
    0x0C: ("TIME_OF_DAY", 6),
    0x0D: ("TIME_DIFFERENCE", 6),
    0x0F: ("DOMAIN", 0),
    0x10: ("INTEGER24", 3),
    0x11: ("REAL64", 8),
    0x12: ("INTEGER40", 5),
    0x13: ("INTEGER48", 6),
    0x14: ("INTEGER56", 7),
    0x15: ("INTEGER64", 8),
    0x16: ("UNSIGNED24", 3),
    0x18: ("UNSIGNED40", 5),
    0x19: ("UNSIGNED48", 6),
    0x1A: ("UNSIGNED56", 7),
    0x1B: ("UNSIGNED64", 8),
}

_SIGNED = {0x02, 0x03, 0x04, 0x10, 0x12, 0x13, 0x14, 0x15}
_UNSIGNED = {0x01, 0x05, 0x06, 0x07, 0x16, 0x18, 0x19, 0x1A, 0x1B}
_REAL = {0x08: "<f", 0x11: "<d"}
_FLOAT32_MAX = 3.4028234663852886e38
# Objects with sub-objects; the others are their own one entry.
_WITH_SUBS = ("ARRAY", "RECORD", "DEFSTRUCT")
_READABLE = ("ro", "rw", "rwr", "rww", "const")
_WRITABLE = ("wo", "rw", "rwr", "rww")


class EdsError(ValueError):
    """A file the model cannot be made of, or (``strict=True``) one with diagnostics.

    Attributes:
        path: the file.
        diagnostics: what the reader reported (empty when the file could not
            be read at all).
    """

    def __init__(self, message: str, path: str = "", diagnostics: Tuple["Diagnostic", ...] = ()) -> None:
        super().__init__(message)
        self.path = path
        self.diagnostics = diagnostics


class AccessError(ValueError):
    """A read of a write-only object, or a write of a read-only or constant one."""


class Diagnostic(NamedTuple):
    """Something the reader could not read clearly, at a line of the file."""

    line: int
    kind: str  #: "syntax", "duplicate_object", "orphan_sub_object", "unparsable_value", ...
    message: str

    def __str__(self) -> str:
        return f"line {self.line}: {self.message}"


def _name_of(code: Optional[int]) -> str:
    if code is None:
        return "unknown"
    known = DATA_TYPES.get(code)
    return known[0] if known else f"0x{code:04X}"


def _number(value: Union[bool, int, float]) -> str:
    if isinstance(value, bool):
        return str(int(value))
    return repr(value) if isinstance(value, float) else str(value)


class ODVariable:
    """One entry: a VAR object, or a sub-object of an ARRAY or RECORD.

    Attributes:
        index, subindex: where it is (sub-index 0 for a VAR object).
        name: the ParameterName as written.
        object_name: the name of its object (its own for a VAR object).
        object_type: its object's type ("VAR", "ARRAY", "RECORD", ...).
        data_type: the CiA 301 data type code, or None when the file gives none.
        access: "ro", "wo", "rw", "rwr", "rww" or "const"; None when not given.
        pdo_mapping: whether it may be mapped into a PDO.
        default: the DefaultValue (``$NODEID`` evaluated for the node): a
            number for numeric types, str for the others; None when absent
            or unreadable.
        default_text: the DefaultValue as written, or None.
        parameter_value: a DCF's ParameterValue, likewise; None in an EDS.
        low_limit, high_limit: the limits, or None.
        denotation: a DCF's Denotation, or None.
        line: the line of its section in the file.
        generated: made from a CompactSubObj object rather than a section.
    """

    def __init__(self, record: Dict[str, Any], object_name: str) -> None:
        self.index: int = record["index"]
        self.subindex: int = record["subindex"]
        self.name: str = record["name"]
        self.object_name = object_name
        self.object_type: str = record["object_type"]
        self.data_type: Optional[int] = record["datatype"]
        self.access: Optional[str] = record["access"]
        self.pdo_mapping: bool = record["pdo_mapping"]
        self.default: Optional[Union[int, float, str]] = record["default"]
        self.default_text: Optional[str] = record.get("default_text")
        self.parameter_value: Optional[Union[int, float, str]] = record["parameter_value"]
        self.low_limit: Optional[Union[int, float]] = _limit(record["low_limit"])
        self.high_limit: Optional[Union[int, float]] = _limit(record["high_limit"])
        self.denotation: Optional[str] = record.get("denotation")
        self.line: int = record.get("line", 0)
        self.generated: bool = record.get("generated", False)

    def __repr__(self) -> str:
        return (f"<ODVariable {self.index:04X}/{self.subindex:02X} {self.path!r} {self.data_type_name} "
                f"{self.access or '?'}>")

    @property
    def path(self) -> str:
        """``"Object/Sub-object"`` for a sub-object, the name for a VAR object."""
        return self.name if self.object_type not in _WITH_SUBS else f"{self.object_name}/{self.name}"

    @property
    def data_type_name(self) -> str:
        """The data type's name ("UNSIGNED32"), "0xNNNN" for other codes, "unknown" without one."""
        return _name_of(self.data_type)

    @property
    def size(self) -> int:
        """The value's size in bytes; 0 for types of variable size (strings, domains) and unknown ones."""
        known = DATA_TYPES.get(self.data_type) if self.data_type is not None else None
        return known[1] if known else 0

    @property
    def signed(self) -> bool:
        """Whether the data type is a signed integer (INTEGER8..64)."""
        return self.data_type in _SIGNED

    @property
    def value(self) -> Optional[Union[int, float, str]]:
        """The value the file gives: a DCF's ParameterValue when present, else the default."""
        return self.parameter_value if self.parameter_value is not None else self.default

    @property
    def readable(self) -> bool:
        """Whether the access type lets it be read (an unknown one does)."""
        return self.access is None or self.access in _READABLE

    @property
    def writable(self) -> bool:
        """Whether the access type lets it be written (an unknown one does)."""
        return self.access is None or self.access in _WRITABLE

    def describe(self) -> str:
        """``"Identity object/Vendor-ID (1018/01)"``, as messages name it."""
        return f"{self.path} ({self.index:04X}/{self.subindex:02X})"

    def type_range(self) -> Optional[Tuple[Union[int, float], Union[int, float]]]:
        """The range of the data type (integers and reals), or None."""
        code = self.data_type
        if code is None:
            return None
        if code == 0x01:
            return (0, 1)
        if code in _SIGNED or code in _UNSIGNED:
            bits = DATA_TYPES[code][1] * 8
            return (-(1 << (bits - 1)), (1 << (bits - 1)) - 1) if code in _SIGNED else (0, (1 << bits) - 1)
        if code == 0x08:
            return (-_FLOAT32_MAX, _FLOAT32_MAX)
        if code == 0x11:
            return (-math.inf, math.inf)
        return None

    def check_access(self, write: bool) -> None:
        """Raises :class:`AccessError` when the entry may not be read (written)."""
        if write and not self.writable:
            raise AccessError(f"{self.describe()} is {self.access}: it cannot be written")
        if not write and not self.readable:
            raise AccessError(f"{self.describe()} is {self.access}: it cannot be read")

    def encode(self, value: object) -> bytes:
        """The bytes of ``value`` by the entry's data type, checked first.

        Integers (and BOOLEAN) take int or bool, reals int or float, strings
        str, the others bytes-like. Raises TypeError for a value of another
        kind, ValueError (naming the entry, the value and the range) for one
        outside the type's range or the entry's limits, and for a type the
        entry does not give.
        """
        code = self.data_type
        if code is None:
            raise ValueError(f"{self.describe()}: the file gives no data type; write bytes to .data instead")
        if code in _SIGNED or code in _UNSIGNED:
            if not isinstance(value, int):
                raise TypeError(f"{self.describe()} is {self.data_type_name}: "
                                f"an integer is written, not {type(value).__name__}")
            self._check_range(int(value))
            return int(value).to_bytes(self.size, "little", signed=code in _SIGNED)
        if code in _REAL:
            if isinstance(value, bool) or not isinstance(value, (int, float)):
                raise TypeError(f"{self.describe()} is {self.data_type_name}: "
                                f"a number is written, not {type(value).__name__}")
            number = float(value)
            if math.isnan(number):
                raise ValueError(f"{self.describe()}: NaN is not written")
            self._check_range(number)
            return struct.pack(_REAL[code], number)
        if code == 0x09:
            if not isinstance(value, str):
                raise TypeError(f"{self.describe()} is VISIBLE_STRING: a str is written, not {type(value).__name__}")
            return value.encode("utf-8")
        if code == 0x0B:
            if not isinstance(value, str):
                raise TypeError(f"{self.describe()} is UNICODE_STRING: a str is written, not {type(value).__name__}")
            return value.encode("utf-16-le")
        if not isinstance(value, (bytes, bytearray, memoryview)):
            raise TypeError(f"{self.describe()} is {self.data_type_name}: bytes are written, "
                            f"not {type(value).__name__}")
        data = bytes(value)
        if self.size and len(data) != self.size:
            raise ValueError(f"{self.describe()} is {self.data_type_name}: {self.size} bytes are written, "
                             f"got {len(data)}")
        return data

    def _check_range(self, number: Union[int, float]) -> None:
        bounds = self.type_range()
        if bounds is not None and not bounds[0] <= number <= bounds[1]:
            raise ValueError(f"{self.describe()}: value {_number(number)} is outside the range of "
                             f"{self.data_type_name}, {_number(bounds[0])}..{_number(bounds[1])}")
        low, high = self.low_limit, self.high_limit
        if (low is not None and number < low) or (high is not None and number > high):
            shown = f"{'' if low is None else _number(low)}..{'' if high is None else _number(high)}"
            raise ValueError(f"{self.describe()}: value {_number(number)} is outside the object's limits {shown}")

    def decode(self, data: bytes) -> Value:
        """The value of the bytes read by the entry's data type.

        Integers are read from as many bytes as arrived, up to the type's
        size (a node may answer with fewer); VISIBLE_STRING loses trailing
        NUL bytes (padding) and reads as UTF-8, or as Latin-1 when it is not
        UTF-8, so that no byte is lost (strings are written as UTF-8).
        Bytes of types without a decoding, or of no known type, come back
        as bytes.
        """
        code = self.data_type
        data = bytes(data)
        if code == 0x01 and data:
            return bool(data[0])
        if (code in _SIGNED or code in _UNSIGNED) and data:
            assert code is not None
            return int.from_bytes(data[:self.size], "little", signed=code in _SIGNED)
        if code in _REAL and code is not None and len(data) >= self.size:
            return float(struct.unpack(_REAL[code], data[:self.size])[0])
        if code == 0x09:
            text = data.rstrip(b"\0")
            try:
                return text.decode("utf-8")
            except UnicodeDecodeError:
                return text.decode("latin-1")
        if code == 0x0B:
            return data[:len(data) // 2 * 2].decode("utf-16-le", errors="replace").rstrip("\0")
        return data


def _limit(value: object) -> Optional[Union[int, float]]:
    return value if isinstance(value, (int, float)) and not isinstance(value, bool) else None


def _fold(name: str) -> str:
    return name.casefold()


class _Names:
    """Names to items, found by three rules in turn: as written, in any case, by a prefix in any case."""

    RULES = 3

    def __init__(self) -> None:
        self._exact: Dict[str, List[Any]] = {}
        self._folded: Dict[str, List[Any]] = {}

    def add(self, name: str, item: Any) -> None:
        for table, key in ((self._exact, name), (self._folded, _fold(name))):
            items = table.setdefault(key, [])
            if not any(i is item for i in items):
                items.append(item)

    def find(self, name: str, rule: int) -> List[Any]:
        """The items the rule (0, 1 or 2) finds for the name."""
        if rule == 0:
            return list(self._exact.get(name, ()))
        folded = _fold(name)
        if rule == 1:
            return list(self._folded.get(folded, ()))
        found: List[Any] = []
        if folded:
            for key, items in self._folded.items():
                if key.startswith(folded):
                    found += [i for i in items if not any(i is f for f in found)]
        return found

    def first(self, name: str) -> List[Any]:
        """The items of the first rule that finds any."""
        for rule in range(self.RULES):
            found = self.find(name, rule)
            if found:
                return found
        return []


class ODObject:
    """An object with its entries: ``obj[sub]`` or ``obj[name]``; iterates over sub-indices.

    Attributes:
        index: the object's index.
        name: its ParameterName.
        object_type: "VAR", "ARRAY", "RECORD", ...
        sub_number: the SubNumber the file gives, or None.
        compact_sub_obj: the CompactSubObj the file gives, or None.
        line: the line of its section.
    """

    def __init__(self, record: Dict[str, Any]) -> None:
        self.index: int = record["index"]
        self.name: str = record["name"]
        self.object_type: str = record["object_type"]
        self.sub_number: Optional[int] = record.get("sub_number")
        self.compact_sub_obj: Optional[int] = record.get("compact_sub_obj")
        self.line: int = record.get("line", 0)
        self._entries: Dict[int, ODVariable] = {}
        self._names = _Names()
        for entry_record in record["entries"]:
            entry = ODVariable(entry_record, self.name)
            self._entries[entry.subindex] = entry
            self._names.add(entry.name, entry)

    def __repr__(self) -> str:
        return f"<ODObject {self.index:04X} {self.name!r} {self.object_type}, {len(self._entries)} entries>"

    @property
    def has_subs(self) -> bool:
        """True for ARRAY, RECORD and DEFSTRUCT objects."""
        return self.object_type in _WITH_SUBS

    def __getitem__(self, key: Union[int, str]) -> ODVariable:
        if isinstance(key, str):
            found = self._names.first(key)
            if len(found) == 1:
                return found[0]  # type: ignore[no-any-return]
            if not found:
                raise KeyError(f"{self.name} ({self.index:04X}) has no sub-object named \"{key}\"")
            raise KeyError(f"\"{key}\" names several sub-objects of {self.name} ({self.index:04X}): "
                           f"sub-indices {', '.join(str(e.subindex) for e in found)}")
        if isinstance(key, bool) or not isinstance(key, int):
            raise TypeError(f"a sub-object is named by sub-index or name, not {type(key).__name__}")
        try:
            return self._entries[key]
        except KeyError:
            raise KeyError(f"{self.name} ({self.index:04X}) has no sub-index {key}") from None

    def __contains__(self, key: object) -> bool:
        if not isinstance(key, (int, str)):
            return False
        try:
            self[key]
        except KeyError:
            return False
        return True

    def __iter__(self) -> Iterator[int]:
        return iter(self._entries)

    def __len__(self) -> int:
        return len(self._entries)

    def entries(self) -> List[ODVariable]:
        """The entries by rising sub-index."""
        return list(self._entries.values())


class DeviceInfo(NamedTuple):
    """The file's [DeviceInfo]; numbers the file does not give are None."""

    vendor_name: str
    vendor_number: Optional[int]
    product_name: str
    product_number: Optional[int]
    revision_number: Optional[int]
    order_code: str
    baud_rates: List[int]
    granularity: Optional[int]
    rx_pdo_count: Optional[int]
    tx_pdo_count: Optional[int]
    simple_boot_up_master: bool
    simple_boot_up_slave: bool
    dynamic_channels_supported: bool
    group_messaging: bool
    lss_supported: bool
    compact_pdo: Optional[int]


ODItem = Union[ODObject, ODVariable]


class ObjectDictionary:
    """The model of one EDS or DCF file; see the module's description for lookups.

    Attributes:
        path: the file.
        node: the node id ``$NODEID`` was evaluated for (0: not at all).
        is_dcf: whether the file is a DCF.
        file_info: the [FileInfo] keys (file_name, eds_version, created_by, ...).
        device_info: the [DeviceInfo] (:class:`DeviceInfo`).
        commissioning: a DCF's [DeviceComissioning] (node_id, baud_rate, ...) or None.
        diagnostics: what the reader could not read clearly (:class:`Diagnostic`).
        comments: the lines of [Comments].
        mandatory_objects, optional_objects, manufacturer_objects: the object lists.
        dummy_usage: the data types the device takes as dummy mappings.
    """

    def __init__(self, document: Dict[str, Any]) -> None:
        self.path: str = document["path"]
        self.node: int = document["node"]
        self.is_dcf: bool = document["dcf"]
        self.file_info: Dict[str, str] = dict(document["file_info"])
        self.device_info = DeviceInfo(**document["device_info"])
        self.commissioning: Optional[Dict[str, Any]] = document["commissioning"]
        self.diagnostics: Tuple[Diagnostic, ...] = tuple(
            Diagnostic(d["line"], d["kind"], d["message"]) for d in document["diagnostics"])
        self.comments: List[str] = list(document["comments"])
        self.mandatory_objects: List[int] = list(document["mandatory_objects"])
        self.optional_objects: List[int] = list(document["optional_objects"])
        self.manufacturer_objects: List[int] = list(document["manufacturer_objects"])
        self.dummy_usage: List[int] = list(document["dummy_usage"])
        self._objects: Dict[int, ODObject] = {}
        self._names = _Names()
        for record in document["objects"]:
            obj = ODObject(record)
            self._objects[obj.index] = obj
            item: ODItem = obj if obj.has_subs else obj[0] if 0 in obj._entries else obj
            self._names.add(obj.name, item)
        # Sub-objects by name and by path, after the objects' own names.
        self._entry_names = _Names()
        for obj in self._objects.values():
            if obj.has_subs:
                for entry in obj.entries():
                    self._entry_names.add(entry.name, entry)
                    self._entry_names.add(f"{obj.name}/{entry.name}", entry)

    def __repr__(self) -> str:
        return f"<ObjectDictionary {os.path.basename(self.path)!r}: {len(self._objects)} objects>"

    def __len__(self) -> int:
        """The number of objects."""
        return len(self._objects)

    def __iter__(self) -> Iterator[int]:
        """The objects' indices, rising."""
        return iter(self._objects)

    def __contains__(self, key: object) -> bool:
        if not isinstance(key, (int, str)):
            return False
        try:
            self[key]
        except KeyError:
            return False
        return True

    def __getitem__(self, key: Union[int, str]) -> ODItem:
        """The object of an index (a VAR object as its entry), or the object or entry of a name.

        A name is an object's name, a sub-object's name, or a path
        ``"Object/Sub-object"``; each matched as written, then in any case,
        then as a unique prefix. A name several objects or entries share
        raises KeyError listing them.
        """
        if isinstance(key, str):
            return self._find_name(key)
        obj = self.object(key)
        return obj if obj.has_subs or 0 not in obj else obj[0]

    def object(self, key: Union[int, str]) -> ODObject:
        """The object of an index or name (also a VAR object, as an object with the one entry 0)."""
        if isinstance(key, str):
            item = self._find_name(key)
            if isinstance(item, ODVariable):
                if item.object_type in _WITH_SUBS:
                    raise KeyError(f"\"{key}\" names the sub-object {item.describe()}, not an object")
                return self._objects[item.index]
            return item
        if isinstance(key, bool) or not isinstance(key, int):
            raise TypeError(f"an object is named by index or name, not {type(key).__name__}")
        try:
            return self._objects[key]
        except KeyError:
            raise KeyError(f"{os.path.basename(self.path)} has no object 0x{key:04X}") from None

    def variable(self, key: Union[int, str], sub: Optional[Union[int, str]] = None) -> ODVariable:
        """The entry of a name or path, of an index (a VAR object), or of index/name and ``sub``."""
        if sub is not None:
            return self.object(key)[sub]
        item = self[key]
        if isinstance(item, ODObject):
            raise KeyError(f"{item.name} ({item.index:04X}) is {item.object_type}: name one of its sub-objects")
        return item

    def _find_name(self, name: str) -> ODItem:
        # By rule, objects' names before sub-objects' names and paths: the
        # first rule that finds anything decides.
        found: List[Any] = []
        for rule in range(_Names.RULES):
            objects = self._names.find(name, rule)
            if len(objects) == 1:
                return objects[0]  # type: ignore[no-any-return]
            found = objects + [e for e in self._entry_names.find(name, rule) if not any(e is o for o in objects)]
            if found:
                break
        if len(found) == 1:
            return found[0]  # type: ignore[no-any-return]
        if not found:
            raise KeyError(f"{os.path.basename(self.path)} has no object or sub-object named \"{name}\"")
        shown = ", ".join(f"{i.index:04X}/{i.subindex:02X} {i.path}" if isinstance(i, ODVariable)
                          else f"{i.index:04X} {i.name}" for i in found[:8])
        more = f" and {len(found) - 8} more" if len(found) > 8 else ""
        raise KeyError(f"\"{name}\" names {len(found)} items: {shown}{more}; give the index or an "
                       f"\"Object/Sub-object\" path")

    def objects(self) -> List[ODObject]:
        """Every object, by rising index."""
        return list(self._objects.values())

    def variables(self) -> List[ODVariable]:
        """Every entry of every object, by rising index and sub-index."""
        return [entry for obj in self._objects.values() for entry in obj.entries()]

    def find(self, index: int, sub: int = 0) -> Optional[ODVariable]:
        """The entry at (index, sub), or None; a VAR object answers to sub-index 0."""
        obj = self._objects.get(index)
        return None if obj is None else obj._entries.get(sub)


def read_eds(path: Union[str, "os.PathLike[str]"], node: int = 0, strict: bool = False) -> ObjectDictionary:
    """Reads an EDS or DCF file into an :class:`ObjectDictionary`.

    Args:
        path: the file (a DCF by the extension ``.dcf`` or its
            [DeviceComissioning] section).
        node: the node id ``$NODEID`` is evaluated for, 0..127 (0 leaves the
            plain numbers).
        strict: raise :class:`EdsError` when the reader reports anything
            (else the model keeps what it could read, and
            :attr:`ObjectDictionary.diagnostics` says what it could not).

    Raises OSError (FileNotFoundError, IsADirectoryError, ...) when the file
    cannot be read, :class:`EdsError` when it holds no object at all, ValueError
    for a node id outside 0..127.
    """
    if isinstance(node, bool) or not isinstance(node, int):
        raise TypeError(f"node must be an integer, not {type(node).__name__}")
    if not 0 <= node <= 127:
        raise ValueError(f"node must be in 0..127, got {node}")
    text = os.fspath(path)
    encoded = os.fsencode(text)
    if not encoded or b"\0" in encoded:
        raise ValueError(f"path must be a file name without NUL bytes, got {path!r}")
    # The reader's own message does not say why a file cannot be opened: the
    # system's error does.
    with open(encoded, "rb"):
        pass
    lib = od_library()
    document = ctypes.POINTER(ctypes.c_char)()
    error = ctypes.POINTER(ctypes.c_char)()
    length = ctypes.c_size_t()
    code = lib.VexanOD_ReadJSON(encoded, node, ctypes.byref(document), ctypes.byref(length), ctypes.byref(error))
    try:
        if code != 0:
            message = ctypes.string_at(error).decode("utf-8", "replace") if error else f"result {code}"
            raise EdsError(f"{text}: {message}", text)
        parsed = json.loads(ctypes.string_at(document, length.value).decode("utf-8"))
    finally:
        lib.VexanOD_Free(document)
        lib.VexanOD_Free(error)
    parsed["path"] = text
    model = ObjectDictionary(parsed)
    if strict and model.diagnostics or not len(model):
        shown = "; ".join(str(d) for d in model.diagnostics[:5])
        more = f" (and {len(model.diagnostics) - 5} more)" if len(model.diagnostics) > 5 else ""
        what = "holds no object" if not len(model) else f"has {len(model.diagnostics)} diagnostics"
        raise EdsError(f"{text} {what}{': ' if shown else ''}{shown}{more}", text, model.diagnostics)
    return model
