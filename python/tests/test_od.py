"""vexan.od: the device model of EDS and DCF files, read by the C++ reader through libvexan_od.so."""

import ctypes
import json
import os
import subprocess
from pathlib import Path

import pytest

from vexan import od
from vexan.od import AccessError, EdsError, ODObject, ODVariable, read_eds

from conftest import EDS_DIR

# file -> (objects, entries, is a DCF, lines of the reader's diagnostics)
FILES = {
    "canopennode_demodevice.eds": (47, 282, False, []),
    "python_canopen_sample.eds": (40, 125, True, [74, 118, 834, 988]),
    "lely_coapp_fiber_slave.dcf": (19, 33, True, []),
    "ros2_canopen_simple_slave_no_eof_newline.eds": (17, 290, False, []),
    "pilz_prbt_0_1.dcf": (94, 210, True, [2006, 2020]),
    "technosoft_isd860.eds": (81, 135, False, []),
    "maxon_epos4_50_15_node1.dcf": (164, 554, True, []),
    "systec_sysworxx_iox1_16di_8do.eds": (46, 157, False, []),
    "oresat_c3_app_control.eds": (191, 1646, False, []),
    "canfestival_ds401_slave_gui.eds": (38, 114, False, []),
}

# (file, key, sub or None, {attribute: value}) for node 5.
FACTS = [
    ("canopennode_demodevice.eds", 0x1014, None, {"name": "COB-ID EMCY", "data_type": 7, "default": 0x85,
                                                  "default_text": "$NODEID+0x80"}),
    # Bit 31 set and $NODEID added.
    ("canopennode_demodevice.eds", 0x1402, 1, {"default": 0x80000405, "access": "rw"}),
    ("canopennode_demodevice.eds", "Demo record/I64", None, {"data_type": 21, "data_type_name": "INTEGER64",
                                                             "default": -1234567890123456789, "pdo_mapping": True}),
    ("canopennode_demodevice.eds", "U64", None, {"default": 0x1234567890ABCDEF, "data_type_name": "UNSIGNED64"}),
    ("canopennode_demodevice.eds", 0x2120, 4, {"name": "R64", "default": 456.789, "data_type_name": "REAL64"}),
    ("canopennode_demodevice.eds", 0x2121, "Octet string", {"default": "C83DBB", "data_type": 10}),
    ("canopennode_demodevice.eds", "Identity/Vendor-ID", None, {"index": 0x1018, "subindex": 1, "access": "ro"}),
    ("python_canopen_sample.eds", 0x1403, 1, {"default": 1285, "default_text": "1280+$NODEID"}),
    ("python_canopen_sample.eds", 0x3002, None, {"default": 5.2, "parameter_value": 5.2, "low_limit": 4.5,
                                                 "high_limit": None, "data_type_name": "REAL32"}),
    ("python_canopen_sample.eds", "INTEGER32 only negative values", None,
     {"low_limit": -2147483648, "high_limit": -1, "default": None}),
    ("python_canopen_sample.eds", 0x3040, None, {"low_limit": -10, "high_limit": 10, "data_type": 21}),
    ("python_canopen_sample.eds", 0x1008, None, {"access": "const", "default": "TEST DEVICE"}),
    ("python_canopen_sample.eds", "Identity object/Vendor-ID", None, {"index": 0x1018, "subindex": 1}),
    # [1016Value] and [1600Value] of a DCF: parameter values of CompactSubObj entries.
    ("lely_coapp_fiber_slave.dcf", 0x1016, 1, {"name": "Consumer heartbeat time1", "default": None,
                                               "parameter_value": 66560, "generated": True}),
    ("lely_coapp_fiber_slave.dcf", 0x1600, 1, {"parameter_value": 536936480}),
    ("lely_coapp_fiber_slave.dcf", 0x1800, 1, {"default": 0x185}),
    ("lely_coapp_fiber_slave.dcf", 0x1000, None, {"name": "Device type", "default": None}),
    # CompactSubObj=254 expanded; no final line end.
    ("ros2_canopen_simple_slave_no_eof_newline.eds", 0x1003, 254,
     {"name": "Pre-defined error field254", "access": "ro", "generated": True}),
    ("ros2_canopen_simple_slave_no_eof_newline.eds", 0x1003, 0, {"default": 254}),
    ("ros2_canopen_simple_slave_no_eof_newline.eds", 0x1A00, 1, {"default": 1073807392}),
    ("pilz_prbt_0_1.dcf", 0x1400, 1, {"default": 517, "parameter_value": 517}),
    ("pilz_prbt_0_1.dcf", "Producer heartbeat time", None,
     {"default": 0, "parameter_value": 100, "value": 100, "low_limit": 0, "high_limit": 32767}),
    ("technosoft_isd860.eds", 0x1014, None, {"name": "COB-ID EMCY Message", "access": "ro", "default": 133}),
    ("maxon_epos4_50_15_node1.dcf", 0x1400, 1, {"default": 517, "parameter_value": 513}),
    ("maxon_epos4_50_15_node1.dcf", 0x1801, 1, {"default": 0xC0000285, "parameter_value": 641}),
    ("systec_sysworxx_iox1_16di_8do.eds", 0x1009, None, {"access": "const", "default": "4140.2-0"}),
    ("systec_sysworxx_iox1_16di_8do.eds", 0x1401, 1, {"default": 0x80000305}),
    ("oresat_c3_app_control.eds", 0x1800, 1, {"default": 0xC0000185, "default_text": "0xC0000180+$NODEID"}),
    ("oresat_c3_app_control.eds", "C3 State", None, {"data_type_name": "VISIBLE_STRING", "default": "B"}),
    ("canfestival_ds401_slave_gui.eds", 0x1005, None, {"name": "SYNC COB ID", "default": 128}),
    ("canfestival_ds401_slave_gui.eds", 0x6000, 1, {"name": "Read Inputs 0x1 to 0x8", "pdo_mapping": True}),
]

# The keys of `vexan od list --json`, in their order.
LIST_KEYS = ["index", "subindex", "name", "object_type", "datatype", "access", "pdo_mapping", "default",
             "parameter_value", "low_limit", "high_limit"]


@pytest.fixture(scope="module")
def models():
    if not EDS_DIR.is_dir():
        pytest.skip(f"EDS folder not found: {EDS_DIR}")
    return {name: read_eds(EDS_DIR / name, node=5) for name in FILES}


@pytest.mark.parametrize("name", sorted(FILES))
def test_every_real_file_reads_whole(models, name):
    objects, entries, dcf, lines = FILES[name]
    model = models[name]
    assert len(model) == objects
    assert len(model.variables()) == entries
    assert model.is_dcf == dcf
    assert [d.line for d in model.diagnostics] == lines
    assert model.node == 5
    # Every entry is found again by index/sub-index, and by its path unless
    # objects share their name (the message then lists the candidates).
    for entry in model.variables():
        assert model.find(entry.index, entry.subindex) is entry
        try:
            assert model[entry.path] is entry
        except KeyError as error:
            assert f"{entry.index:04X}" in str(error) or " more; " in str(error)


@pytest.mark.parametrize("name, key, sub, expected", FACTS, ids=[f"{f[0][:12]}-{f[1]}-{f[2]}" for f in FACTS])
def test_chosen_entries(models, name, key, sub, expected):
    entry = models[name].variable(key, sub)
    assert isinstance(entry, ODVariable)
    assert {attribute: getattr(entry, attribute) for attribute in expected} == expected


def test_nodeid_is_evaluated_for_the_node_given(eds_dir):
    path = eds_dir / "lely_coapp_fiber_slave.dcf"
    assert read_eds(path).variable(0x1800, 1).default == 0x180  # node 0: the plain number
    assert read_eds(path, node=127).variable(0x1800, 1).default == 0x180 + 127
    assert read_eds(path, node=5).variable(0x1400, 1).default == 0x181  # a static COB-ID stays


def test_file_and_device_information(models):
    maxon = models["maxon_epos4_50_15_node1.dcf"]
    assert maxon.device_info.vendor_name == "maxon motor ag"
    assert maxon.device_info.vendor_number == 0xFB
    assert maxon.commissioning is not None and maxon.commissioning["node_id"] == 1
    oresat = models["oresat_c3_app_control.eds"]
    assert oresat.device_info.rx_pdo_count == 50 and oresat.device_info.tx_pdo_count == 16
    assert oresat.file_info["file_name"] == "app.eds"
    assert 0x1018 in oresat.mandatory_objects
    assert models["python_canopen_sample.eds"].comments == ["|-------------|", "| Don't panic |", "|-------------|"]


def test_lookups_by_index_name_path_and_prefix(models):
    model = models["canopennode_demodevice.eds"]
    identity = model[0x1018]
    assert isinstance(identity, ODObject) and identity.name == "Identity"
    assert model["Identity"] is identity
    assert identity[1] is identity["Vendor-ID"] is model["Identity/Vendor-ID"] is model["Vendor-ID"]
    assert model["identity/vendor-id"] is identity[1]  # any case
    heartbeat = model[0x1017]
    assert isinstance(heartbeat, ODVariable)  # a VAR object is its own entry
    assert model["Producer heartbeat"] is heartbeat  # a unique prefix
    assert model.object(0x1017)[0] is heartbeat
    assert 0x1018 in model and "Identity" in model and 0x1234 not in model and "Nothing" not in model
    assert list(model)[:3] == [0x1000, 0x1001, 0x1003]
    with pytest.raises(KeyError, match=r"Highest sub-index supported. names 22 items: 1010/00 .*give the index"):
        model["Highest sub-index supported"]
    with pytest.raises(KeyError, match="has no object 0x1234"):
        model[0x1234]
    with pytest.raises(KeyError, match="has no sub-index 9"):
        identity[9]
    with pytest.raises(KeyError, match="is RECORD: name one of its sub-objects"):
        model.variable(0x1018)


ENCODE_CASES = [
    # (path, value, bytes)
    ("Producer heartbeat time", 1000, b"\xe8\x03"),
    ("Demo record/I64", -2, b"\xfe" + b"\xff" * 7),
    ("Demo record/U64", (1 << 64) - 1, b"\xff" * 8),
    ("Demo record/R32", 1.5, b"\x00\x00\xc0\x3f"),
    ("Demo record/R64", -2, b"\x00" * 7 + b"\xc0"),
    ("Demo strings/String short", "abc", b"abc"),
    ("Demo strings/String long", "20 €", b"20 \xe2\x82\xac"),
    ("Demo strings/Octet string", b"\x01\x02", b"\x01\x02"),
]


@pytest.mark.parametrize("path, value, data", ENCODE_CASES)
def test_values_encode_and_decode_by_type(models, path, value, data):
    entry = models["canopennode_demodevice.eds"].variable(path)
    assert entry.encode(value) == data
    assert entry.decode(data) == value


def test_decoding_is_lenient_where_nodes_are(models):
    model = models["canopennode_demodevice.eds"]
    text = model.variable("Demo strings/String short")
    assert text.decode(b"20 \xe2\x82\xac\0\0") == "20 €"  # UTF-8, padding dropped
    assert text.decode(b"caf\xe9") == "café"  # not UTF-8: Latin-1, no byte lost
    heartbeat = model.variable("Producer heartbeat time")
    assert heartbeat.decode(b"\x05") == 5  # fewer bytes than the type holds
    assert model.variable("Demo record/R32").decode(b"\x00\x00") == b"\x00\x00"  # too short for a REAL32


REFUSED = [
    ("Producer heartbeat time", 65536, ValueError,
     r"Producer heartbeat time \(1017/00\): value 65536 is outside the range of UNSIGNED16, 0\.\.65535"),
    ("Producer heartbeat time", -1, ValueError, "outside the range of UNSIGNED16"),
    ("Demo record/I64", 1 << 63, ValueError, "outside the range of INTEGER64, -9223372036854775808.."),
    ("Demo record/R32", 1e39, ValueError,
     r"Demo record/R32 \(2120/03\): value 1e\+39 is outside the range of REAL32"),
    ("Demo record/R32", float("nan"), ValueError, "NaN"),
    ("Producer heartbeat time", 1.5, TypeError, "an integer is written, not float"),
    ("Demo strings/String short", b"abc", TypeError, "a str is written, not bytes"),
]


@pytest.mark.parametrize("path, value, error, message", REFUSED)
def test_values_outside_their_type_are_refused(models, path, value, error, message):
    with pytest.raises(error, match=message):
        models["canopennode_demodevice.eds"].variable(path).encode(value)


def test_the_objects_limits_are_checked(models):
    sample = models["python_canopen_sample.eds"]
    entry = sample.variable("INTEGER64 value range -10 to +10")
    assert entry.encode(10) == (10).to_bytes(8, "little")
    with pytest.raises(ValueError, match=r"\(3040/00\): value 11 is outside the object's limits -10\.\.10"):
        entry.encode(11)
    with pytest.raises(ValueError, match="outside the object's limits 4.5.."):
        sample.variable(0x3002).encode(4.4)
    with pytest.raises(AccessError, match=r"Identity object/Vendor-ID \(1018/01\) is ro: it cannot be written"):
        sample.variable("Identity object/Vendor-ID").check_access(write=True)


MALFORMED = [
    # (text, diagnostics (line, kind))
    ("[1000]\nParameterName=A\nObjectType=7\nDataType=7\nAccessType=ro\n"
     "[1000]\nParameterName=B\n", [(6, "duplicate_object")]),
    ("[2000sub1]\nParameterName=Lost\nObjectType=7\nDataType=5\nAccessType=rw\n", [(1, "orphan_sub_object")]),
    ("[2000]\nParameterName=Value\nObjectType=7\nDataType=5\nAccessType=rw\nDefaultValue=300\n",
     [(6, "unparsable_value")]),
    ("[2000]\nParameterName=X\nObjectType=7\nDataType=5\nAccessType=rw\nthis is no key\n", [(6, "syntax")]),
]


@pytest.mark.parametrize("text, diagnostics", MALFORMED)
def test_a_malformed_file_keeps_what_it_can_and_says_where(tmp_path, text, diagnostics):
    path = tmp_path / "bad.eds"
    path.write_text(text)
    model = read_eds(path)
    assert [(d.line, d.kind) for d in model.diagnostics] == diagnostics
    assert all(d.message for d in model.diagnostics)
    with pytest.raises(EdsError) as caught:
        read_eds(path, strict=True)
    line, _ = diagnostics[0]
    assert f"bad.eds has {len(diagnostics)} diagnostics: line {line}: " in str(caught.value)
    assert caught.value.diagnostics == model.diagnostics


def test_an_unparsable_value_keeps_its_entry(tmp_path):
    path = tmp_path / "value.eds"
    path.write_text(MALFORMED[2][0])
    entry = read_eds(path).variable(0x2000)
    assert (entry.name, entry.default, entry.default_text) == ("Value", None, "300")


@pytest.mark.parametrize("content", [b"", b"\x00\xff\xfe binary \x01\x02" * 50, b"just some text\n"])
def test_a_file_without_objects_is_refused(tmp_path, content):
    path = tmp_path / "empty.eds"
    path.write_bytes(content)
    with pytest.raises(EdsError, match="empty.eds holds no object"):
        read_eds(path)


def test_files_that_cannot_be_read_and_bad_arguments(tmp_path):
    with pytest.raises(FileNotFoundError):
        read_eds(tmp_path / "missing.eds")
    with pytest.raises(IsADirectoryError):
        read_eds(tmp_path)
    with pytest.raises(ValueError, match="node must be in 0..127, got 128"):
        read_eds(tmp_path / "x.eds", node=128)
    with pytest.raises(ValueError, match="without NUL bytes"):
        read_eds("a\0b.eds")


def _tool():
    """The vexan tool of the build, when it has `od list`."""
    sim = os.environ.get("VEXAN_SIM")
    if not sim:
        return None
    tool = Path(sim).resolve().parent.parent / "tools" / "vexan" / "vexan"
    return tool if tool.is_file() else None


@pytest.mark.parametrize("name", sorted(FILES))
def test_entries_agree_with_the_tools_list(models, eds_dir, name):
    tool = _tool()
    if tool is None:
        pytest.skip("the vexan tool is not built")
    run = subprocess.run([str(tool), "od", "list", str(eds_dir / name), "--node", "5", "--json"],
                         capture_output=True, text=True, timeout=60)
    if run.returncode != 0 and "unknown command" in run.stderr:
        pytest.skip("this build's tool has no `od list`")
    assert run.returncode == 0, run.stderr
    listed = [json.loads(line) for line in run.stdout.splitlines()]
    ours = [{"index": e.index, "subindex": e.subindex, "name": e.name, "object_type": e.object_type,
             "datatype": e.data_type, "access": e.access, "pdo_mapping": e.pdo_mapping, "default": e.default,
             "parameter_value": e.parameter_value, "low_limit": e.low_limit, "high_limit": e.high_limit}
            for e in models[name].variables()]
    assert [list(entry) for entry in listed[:1]] == [LIST_KEYS]
    assert listed == ours


def _read_json(path, node, out=True):
    """VexanOD_ReadJSON called directly: (result, document, length, error message)."""
    lib = od.od_library()
    text = ctypes.POINTER(ctypes.c_char)
    document, error, length = text(), text(), ctypes.c_size_t(7)
    code = lib.VexanOD_ReadJSON(path, node, ctypes.byref(document) if out else None, ctypes.byref(length),
                                ctypes.byref(error))
    try:
        return (code, ctypes.string_at(document, length.value) if document else None, length.value,
                ctypes.string_at(error).decode() if error else None)
    finally:
        lib.VexanOD_Free(document)
        lib.VexanOD_Free(error)


def test_the_c_interface_on_its_own(tmp_path):
    lib = od.od_library()
    assert lib.VexanOD_Version() == 1
    path = tmp_path / "one.eds"
    path.write_text("[1000]\nParameterName=Device type\nObjectType=7\nDataType=7\nAccessType=ro\n"
                    "DefaultValue=$NODEID\n")
    code, document, length, error = _read_json(bytes(path), 127)
    assert (code, error) == (0, None) and len(document) == length
    parsed = json.loads(document)
    assert parsed["format"] == 1 and parsed["node"] == 127 and parsed["diagnostics"] == []
    (entry,) = parsed["objects"][0]["entries"]
    assert list(entry)[:len(LIST_KEYS)] == LIST_KEYS and entry["default"] == 127
    # What it refuses: a node id above 127, no place for the document, a file it cannot open.
    assert _read_json(bytes(path), 128) == (2, None, 0, "node must be in 0..127, got 128")
    assert _read_json(bytes(path), 5, out=False)[0] == 2
    code, document, length, error = _read_json(bytes(tmp_path / "missing.eds"), 5)
    assert (code, document, length) == (1, None, 0) and "missing.eds" in error
    assert _read_json(bytes(tmp_path), 5)[3].endswith("is a directory")
