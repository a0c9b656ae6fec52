"""Loading ``libvexan.so`` and declaring the prototypes of its exports.

Every export of ``vexan.h`` is listed once in :data:`EXPORTS`, as a C
declaration of its types; :func:`library` loads the shared library on first use
and gives each function its ``restype`` and ``argtypes`` from that table. The
package's tests compare the table with the header's declarations, so the two
cannot drift apart.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import re
import sysconfig
import threading
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple

__all__ = ["EXPORTS", "EventCallback", "LibraryNotFound", "library",
           "library_path", "od_library", "od_library_path", "parse_declarations"]

#: The C callback type of the event exports: no arguments, no result.
EventCallback = ctypes.CFUNCTYPE(None)

#: Every export of the library as a C declaration of its types, each ended by ";".
EXPORTS = """
    void Vexan_Pause(uint32_t);
    void Vexan_Start();
    uint16_t Vexan_GetVersion();
    void Vexan_SetFunctionTimeout(uint8_t, uint32_t);
    uint16_t Vexan_InitMaster(uint8_t, VexanPort, uint8_t, uint8_t, uint8_t);
    uint16_t Vexan_ShutdownMaster(uint8_t);
    uint16_t Vexan_GetCANStatus(uint8_t, uint8_t*);
    uint16_t Vexan_MasterSendBootupMsg(uint8_t, uint8_t);
    uint16_t Vexan_SetMasterMode(uint8_t, uint8_t, uint8_t);
    uint16_t Vexan_GetMasterMode(uint8_t, uint8_t*, uint8_t);
    uint16_t Vexan_GetFirmwareVersion(uint8_t, uint16_t*, uint8_t);
    uint16_t Vexan_AddNode(uint8_t, uint8_t, uint8_t, uint16_t, uint16_t, uint8_t);
    uint16_t Vexan_RemoveNode(uint8_t, uint8_t, uint8_t);
    uint16_t Vexan_RemoveAndResetNode(uint8_t, uint8_t, uint8_t);
    uint16_t Vexan_DelayAndResponseTimeout(uint8_t, uint8_t, uint16_t, uint16_t, uint8_t);
    uint16_t Vexan_ScanNode(uint8_t, uint8_t, uint8_t, uint8_t*, uint8_t);
    uint16_t Vexan_GetNodeList(uint8_t, uint8_t*, uint8_t);
    uint16_t Vexan_NMTChangeState(uint8_t, uint8_t, uint8_t, uint8_t);
    uint16_t Vexan_NMTGetState(uint8_t, uint8_t, uint8_t*, uint8_t);
    uint16_t Vexan_NMTGuarding(uint8_t, uint8_t, uint16_t, uint8_t, uint8_t);
    uint16_t Vexan_NMTHeartbeat(uint8_t, uint8_t, uint16_t, uint16_t, uint8_t);
    uint16_t Vexan_InstallBootUpISR(uint32_t, EventCallback);
    uint16_t Vexan_RemoveBootUpISR(uint32_t);
    uint16_t Vexan_InstallEMCYISR(uint32_t, EventCallback);
    uint16_t Vexan_RemoveEMCYISR(uint32_t);
    uint16_t Vexan_InstallNMTErrISR(uint32_t, EventCallback);
    uint16_t Vexan_RemoveNMTErrISR(uint32_t);
    uint16_t Vexan_InstallReadSDOISR(uint32_t, EventCallback);
    uint16_t Vexan_RemoveReadSDOISR(uint32_t);
    uint16_t Vexan_InstallWriteSDOISR(uint32_t, EventCallback);
    uint16_t Vexan_RemoveWriteSDOISR(uint32_t);
    uint16_t Vexan_InstallRxPDOISR(uint32_t, EventCallback);
    uint16_t Vexan_RemoveRxPDOISR(uint32_t);
    uint16_t Vexan_InstallRemotePDOISR(uint32_t, EventCallback);
    uint16_t Vexan_RemoveRemotePDOISR(uint32_t);
    uint16_t Vexan_GetBootUpNodeAfterAdd(uint8_t*, uint8_t*);
    uint16_t Vexan_GetEMCYData(uint8_t*, uint8_t*, uint8_t*);
    uint16_t Vexan_GetNMTError(uint8_t*, uint8_t*, uint8_t*);
    uint16_t Vexan_GetMasterReadSDOEvent(uint8_t*, uint16_t*, uint8_t*);
    uint16_t Vexan_GetMasterWriteSDOEvent(uint8_t*, uint16_t*, uint8_t*, uint8_t*, uint8_t*);
    uint16_t Vexan_GetMasterRemotePDOEvent(uint8_t*, uint16_t*);
    uint16_t Vexan_GetMasterRxPDOEvent(uint8_t*, uint16_t*, uint8_t*, uint8_t*);
    uint16_t Vexan_ResponseMasterSDO(uint32_t, uint8_t, uint16_t, uint8_t, uint8_t, const uint8_t*);
    uint16_t Vexan_ResponseMasterPDO(uint32_t, uint16_t, uint8_t, const uint8_t*);
    uint16_t Vexan_EDS_Load(uint8_t, uint8_t, const void*, uint16_t, uint16_t, uint8_t);
    uint16_t Vexan_SDOReadData(uint8_t, uint8_t, uint16_t, uint8_t, uint32_t*, uint8_t*, uint8_t);
    uint16_t Vexan_SDOReadFile(uint8_t, uint8_t, uint16_t, uint8_t, uint32_t, uint32_t, uint32_t*, uint8_t*);
    uint16_t Vexan_SDOWriteData(uint8_t, uint8_t, uint16_t, uint8_t, uint32_t, const uint8_t*, uint16_t*,
        uint8_t*, uint8_t);
    uint16_t Vexan_SDOAbortTransmit(uint8_t, uint8_t, uint16_t, uint8_t, uint32_t, uint8_t);
    uint16_t Vexan_PDOWrite(uint8_t, uint16_t, uint8_t, uint8_t, const uint8_t*, uint8_t);
    uint16_t Vexan_PDOWrite_Fast(uint8_t, uint16_t, uint8_t, uint8_t, const uint8_t*);
    uint16_t Vexan_PDORemote(uint8_t, uint16_t, uint8_t*, uint8_t*, uint8_t);
    uint16_t Vexan_PDORemote_Fast(uint8_t, uint16_t);
    uint16_t Vexan_SetPDORemotePolling(uint8_t, uint8_t, const uint16_t*, uint16_t, uint8_t);
    uint16_t Vexan_GetPDOLastData(uint8_t, uint16_t, uint8_t*, uint8_t*, uint8_t*, uint8_t);
    uint16_t Vexan_GetMultiPDOData(uint8_t, uint8_t, const uint16_t*, uint8_t*, uint8_t*, uint8_t*, uint8_t);
    uint16_t Vexan_InstallPDO(uint8_t, uint8_t, uint16_t, uint8_t, uint16_t, uint8_t);
    uint16_t Vexan_RemovePDO(uint8_t, uint8_t, uint16_t, uint8_t, uint8_t);
    uint16_t Vexan_GetRxPDOID(uint8_t, uint8_t, uint8_t*, uint16_t*, uint8_t);
    uint16_t Vexan_GetTxPDOID(uint8_t, uint8_t, uint8_t*, uint16_t*, uint8_t);
    uint16_t Vexan_InstallPDO_List(uint8_t, uint8_t, uint16_t, uint8_t, uint16_t, uint8_t, uint16_t, uint8_t,
        const uint32_t*, uint8_t);
    uint16_t Vexan_RemovePDO_List(uint8_t, uint8_t, uint16_t, uint8_t, uint8_t);
    uint16_t Vexan_ChangePDOID(uint8_t, uint16_t, uint16_t, uint8_t);
    uint16_t Vexan_DynamicPDO(uint8_t, uint8_t, uint16_t, uint8_t, uint8_t, uint32_t, uint8_t);
    uint16_t Vexan_PDOUseEntry(uint8_t, uint16_t, uint8_t, uint8_t);
    uint16_t Vexan_PDOTxType(uint8_t, uint16_t, uint8_t, uint8_t);
    uint16_t Vexan_PDOEventTimer(uint8_t, uint16_t, uint16_t, uint8_t);
    uint16_t Vexan_PDOInhibitTime(uint8_t, uint16_t, uint16_t, uint8_t);
    uint16_t Vexan_GetPDOMapInfo(uint8_t, uint16_t, uint16_t*, uint8_t*, uint8_t*, uint16_t*, uint8_t*,
        uint32_t*, uint8_t);
    uint16_t Vexan_ChangeSYNCID(uint8_t, uint8_t, uint16_t, uint8_t);
    uint16_t Vexan_ChangeEMCYID(uint8_t, uint8_t, uint16_t, uint8_t);
    uint16_t Vexan_SetSYNC_List(uint8_t, uint8_t, uint16_t, uint8_t);
    uint16_t Vexan_SetEMCY_List(uint8_t, uint8_t, uint16_t, uint8_t);
    uint16_t Vexan_GetSYNCID(uint8_t, uint8_t, uint16_t*, uint8_t);
    uint16_t Vexan_GetEMCYID(uint8_t, uint8_t, uint16_t*, uint8_t);
    uint16_t Vexan_ReadLastEMCY(uint8_t, uint8_t, uint8_t*, uint8_t*, uint8_t);
    uint16_t Vexan_GetCyclicSYNCInfo(uint8_t, uint16_t*, uint16_t*, uint32_t*, uint8_t);
    uint16_t Vexan_SendSYNCMsg(uint8_t, uint16_t, uint16_t, uint32_t, uint8_t);
"""

_SCALARS: Dict[str, Any] = {
    "void": None,
    "uint8_t": ctypes.c_uint8,
    "uint16_t": ctypes.c_uint16,
    "uint32_t": ctypes.c_uint32,
    "VexanPort": ctypes.c_int,
    "EventCallback": EventCallback,
}

_DECLARATION = re.compile(r"^\s*(\w+)\s+(Vexan_\w+)\s*\(([^)]*)\)\s*$")


def parse_declarations(text: str) -> List[Tuple[str, str, Tuple[str, ...]]]:
    """Split declarations as in :data:`EXPORTS` into (name, result, params).

    Types are normalised to ``"const uint8_t*"`` form: single spaces, the
    asterisk bound to the type.
    """
    exports = []
    for declaration in text.split(";"):
        line = " ".join(declaration.split())
        if not line:
            continue
        match = _DECLARATION.match(line)
        if match is None:
            raise ValueError(f"not a declaration: {line!r}")
        result, name, params = match.groups()
        types = tuple(normalise_type(p) for p in params.split(",") if p.strip() not in ("", "void"))
        exports.append((name, result, types))
    return exports


def normalise_type(text: str) -> str:
    """``"const  uint8_t *"`` -> ``"const uint8_t*"``."""
    return " ".join(text.replace("*", " * ").split()).replace(" *", "*")


def _ctype(name: str) -> Any:
    """The ctypes type of a C type of the table."""
    if name.endswith("*"):
        base = name[:-1].strip()
        if base.startswith("const "):
            base = base[len("const "):]
        if base == "void":
            return ctypes.c_void_p
        return ctypes.POINTER(_SCALARS[base])
    return _SCALARS[name]


class LibraryNotFound(OSError):
    """``libvexan.so`` was found nowhere the package looks for it."""


def _candidates() -> List[str]:
    """Where the library is looked for, in order.

    ``VEXAN_LIBRARY`` (a file), then beside the package, then the library
    of the prefix the package is installed in (the Debian package puts it
    in ``/usr/lib/python3/dist-packages``, the library in
    ``/usr/lib/<multiarch>``), then what the dynamic loader finds
    (``ctypes.util.find_library`` and the usual directories).
    """
    found: List[str] = []
    here = Path(__file__).resolve().parent
    found += sorted(str(p) for p in here.glob("libvexan.so*"))
    if here.parent.name in ("dist-packages", "site-packages"):
        lib = here.parents[2]  # <prefix>/lib of <prefix>/lib/python3*/dist-packages/vexan
        multiarch = sysconfig.get_config_var("MULTIARCH")
        for directory in ([lib / multiarch] if multiarch else []) + [lib]:
            found += sorted(str(p) for p in directory.glob("libvexan.so.[0-9]*"))
    name = ctypes.util.find_library("vexan")
    if name:
        found.append(name)
    for directory in ("/usr/local/lib", "/usr/lib", "/usr/local/lib64", "/usr/lib64"):
        for sub in ("", os.uname().machine + "-linux-gnu"):
            candidate = Path(directory, sub, "libvexan.so")
            if candidate.exists():
                found.append(str(candidate))
    found += ["libvexan.so.2", "libvexan.so"]
    return found


_lock = threading.Lock()
_library: Optional[ctypes.CDLL] = None
_path: Optional[str] = None


def _declare(lib: ctypes.CDLL) -> None:
    for name, result, params in parse_declarations(EXPORTS):
        function = getattr(lib, name)
        function.restype = _ctype(result)
        function.argtypes = [_ctype(p) for p in params]


def library() -> ctypes.CDLL:
    """The loaded library with every export declared; loads it on first use.

    Raises :class:`LibraryNotFound` when no candidate loads, naming where it
    looked.
    """
    global _library, _path
    with _lock:
        if _library is not None:
            return _library
        explicit = os.environ.get("VEXAN_LIBRARY")
        candidates = [explicit] if explicit else _candidates()
        errors: Dict[str, str] = {}
        for candidate in candidates:
            try:
                lib = ctypes.CDLL(candidate)
            except OSError as error:
                errors[candidate] = str(error)
                continue
            _declare(lib)
            _library, _path = lib, candidate
            return lib
        tried = "; ".join(f"{c}: {e}" for c, e in errors.items())
        hint = "" if explicit else " (set VEXAN_LIBRARY to the path of libvexan.so)"
        raise LibraryNotFound(f"libvexan.so could not be loaded{hint}: {tried}")


def library_path() -> str:
    """The path (or loader name) the library was loaded from."""
    library()
    assert _path is not None
    return _path


# ---- libvexan_od.so: the device model's C interface (vexan_od.h), used by vexan.od.

_od_library: Optional[ctypes.CDLL] = None
_od_path: Optional[str] = None


def _od_candidates() -> List[str]:
    """Where ``libvexan_od.so`` is looked for, in order.

    Beside the package (where the Debian package installs it), then in the
    build tree: beside ``VEXAN_LIBRARY``'s library (``build/src/libvexan.so``
    -> ``build/src/od/libvexan_od.so``) and in the source tree's ``build/``.
    """
    here = Path(__file__).resolve().parent
    found = [here / "libvexan_od.so"]
    explicit = os.environ.get("VEXAN_LIBRARY")
    if explicit:
        found.append(Path(explicit).resolve().parent / "od" / "libvexan_od.so")
    found.append(here.parent.parent / "build" / "src" / "od" / "libvexan_od.so")
    return [str(p) for p in found if p.is_file()]


def _declare_od(lib: ctypes.CDLL) -> None:
    text = ctypes.POINTER(ctypes.c_char)
    lib.VexanOD_ReadJSON.restype = ctypes.c_int
    lib.VexanOD_ReadJSON.argtypes = [ctypes.c_char_p, ctypes.c_uint, ctypes.POINTER(text),
                                     ctypes.POINTER(ctypes.c_size_t), ctypes.POINTER(text)]
    lib.VexanOD_Free.restype = None
    lib.VexanOD_Free.argtypes = [text]
    lib.VexanOD_Version.restype = ctypes.c_uint
    lib.VexanOD_Version.argtypes = []


def od_library() -> ctypes.CDLL:
    """The device model's library ``libvexan_od.so``, loaded on first use.

    From ``VEXAN_OD_LIBRARY`` (a file) when set, else see
    :func:`_od_candidates`. Raises :class:`LibraryNotFound` naming where it
    looked.
    """
    global _od_library, _od_path
    with _lock:
        if _od_library is not None:
            return _od_library
        explicit = os.environ.get("VEXAN_OD_LIBRARY")
        candidates = [explicit] if explicit else _od_candidates()
        errors: Dict[str, str] = {}
        for candidate in candidates:
            try:
                lib = ctypes.CDLL(candidate)
                _declare_od(lib)
            except (OSError, AttributeError) as error:
                errors[candidate] = str(error)
                continue
            _od_library, _od_path = lib, candidate
            return lib
        tried = "; ".join(f"{c}: {e}" for c, e in errors.items()) or "no candidate file exists"
        hint = "" if explicit else " (set VEXAN_OD_LIBRARY to the path of libvexan_od.so)"
        raise LibraryNotFound(f"libvexan_od.so could not be loaded{hint}: {tried}")


def od_library_path() -> str:
    """The path the device model's library was loaded from."""
    od_library()
    assert _od_path is not None
    return _od_path
