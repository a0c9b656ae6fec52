"""The binding itself: the prototype and result tables against the header."""

import ctypes
import os
import re
import subprocess
import sys

from pathlib import Path

import vexan
from vexan import _library
from vexan.errors import RESULTS

HEADER_DIR = Path(__file__).resolve().parents[2] / "include"


def header_declarations():
    text = (HEADER_DIR / "vexan.h").read_text()
    text = re.sub(r"/\*.*?\*/", "", text, flags=re.S)
    text = "\n".join(line for line in text.splitlines() if not line.lstrip().startswith("#"))
    found = {}
    pattern = r"VEXAN_(?:PAUSE_)?API\s+([\w\s*]+?)\s*(?:VEXAN_STDCALL\s+)?(Vexan_\w+)\s*\(([^)]*)\)\s*;"
    for result, name, params in re.findall(pattern, text):
        types = []
        for param in params.split(","):
            param = _library.normalise_type(param)
            if param in ("", "void"):
                continue
            # Drop the parameter's name: the last word.
            types.append(_library.normalise_type(re.sub(r"\w+$", "", param)))
        found[name] = (_library.normalise_type(result), tuple(types))
    return found


def test_prototype_table_matches_the_header():
    header = header_declarations()
    table = {name: (result, params) for name, result, params in _library.parse_declarations(_library.EXPORTS)}
    assert len(header) > 70  # the header parsed at all
    assert sorted(table) == sorted(header)
    for name in header:
        assert table[name] == header[name], name


def test_every_export_is_declared_in_the_loaded_library():
    lib = _library.library()
    for name, result, params in _library.parse_declarations(_library.EXPORTS):
        function = getattr(lib, name)
        assert len(function.argtypes) == len(params), name
        assert (function.restype is None) == (result == "void"), name
    assert lib.Vexan_InitMaster.argtypes[1] is ctypes.c_int
    assert lib.Vexan_SDOReadFile.argtypes[6] == ctypes.POINTER(ctypes.c_uint32)
    assert lib.Vexan_EDS_Load.argtypes[2] is ctypes.c_void_p


def test_result_table_matches_the_header():
    text = (HEADER_DIR / "vexan.h").read_text()
    header = [(int(v), n, t) for n, v, t in re.findall(r'X\((VEXAN_\w+),\s*(\d+),\s*"([^"]*)"\)', text)]
    assert len(header) > 15
    assert list(RESULTS) == header


def test_library_version():
    assert vexan.library_version() == 203


def test_a_missing_library_is_reported_with_where_it_was_looked_for(tmp_path):
    missing = tmp_path / "libvexan.so"
    code = "import vexan\ntry:\n    vexan.library_version()\nexcept vexan.LibraryNotFound as e:\n    print(e)\n"
    package_root = str(Path(vexan.__file__).resolve().parents[1])
    env = dict(os.environ, VEXAN_LIBRARY=str(missing), PYTHONPATH=package_root)
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    assert str(missing) in out.stdout


def test_error_text_for_library_codes_and_module_status():
    timeout = vexan.VexanError(35, "nmt state node 5")
    assert (timeout.code, timeout.name) == (35, "VEXAN_TIMEOUT")
    assert str(timeout).startswith("nmt state node 5: VEXAN_TIMEOUT (35): time-out")
    status = vexan.VexanError(7 + 100, "add node 5")
    assert status.name is None and "module status 107" in str(status)
    aborted = vexan.VexanError(25, "sdo read", abort_code=0x06010001)
    assert aborted.abort_text == "attempt to read a write only object"
    assert "abort 0x06010001 attempt to read a write only object" in str(aborted)
    assert vexan.abort_meaning(0x12345678) == "unknown abort code"


def test_every_result_code_is_declared_for_type_checkers():
    declared = vexan.Result.__annotations__
    assert sorted(declared) == sorted(name for _, name, _ in RESULTS)
    assert all(getattr(vexan.Result, name) == value for value, name, _ in RESULTS)


def header_macros():
    """The header's numeric macros, by name: ``#define VEXAN_X 8`` or ``#define VEXAN_X VEXAN_Y``."""
    text = (HEADER_DIR / "vexan.h").read_text()
    defined = dict(re.findall(r"^#define\s+(VEXAN_\w+)\s+(\w+)\s*$", text, flags=re.M))
    values = {}
    for name, value in defined.items():
        seen = {name}
        while value in defined and value not in seen:  # a macro named after another
            seen.add(value)
            value = defined[value]
        if value.isdigit():
            values[name] = int(value)
    return values


def test_header_sizes_and_limits_match_the_header():
    from vexan import _header
    header = header_macros()
    assert header["VEXAN_NODE_REPLY_BUFFER"] == header["VEXAN_MAX_REPLY_DATA"]  # the header parsed at all
    # Every number of the header, none more: a size added there must be taken up here.
    assert _header.MACROS == header
    for macro, value in _header.MACROS.items():
        assert getattr(_header, macro[len("VEXAN_"):]) == value, macro
