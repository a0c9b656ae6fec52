#!/usr/bin/env python3
"""Writes the fuzzers' seed inputs into fuzz/corpus/<target>/.

Each seed is a small, well-formed exchange that reaches one path of the
dispatcher, so that the fuzzer starts from inputs that get past the framing
and into the records. The stream seeds also serve the frames fuzzer, which
reads the same format. Run it again after changing a seed; the files are kept
in the repository.
"""
import pathlib
import struct

HERE = pathlib.Path(__file__).resolve().parent


def frame(*parts: bytes) -> bytes:
    body = b"".join(parts)
    assert len(body) <= 255
    return b":" + bytes([len(body)]) + body


def stream(slot: int, schedule: bytes, *frames: bytes, no_board: bool = False) -> bytes:
    """A stream-fuzzer input: control byte, read schedule, the stream."""
    assert slot < 8 and len(schedule) < 16
    return bytes([(0x80 if no_board else 0) | slot << 4 | len(schedule)]) + schedule + b"".join(frames)


def segment(node: int, first: bool, index: int, sub: int, total: int, chunk: bytes) -> bytes:
    return frame(bytes([16, node, 0, 0x41 if first else 0x00]), struct.pack("<HBI", index, sub, total), chunk)


def event_body(flags: int, items: bytes) -> bytes:
    return bytes([64, 0, 0, flags]) + items


# One item of every kind, in flag order: boot-up, EMCY, NMT error, ReadSDO,
# WriteSDO, RemotePDO, RxPDO.
ALL_ITEMS = (bytes([5]) + bytes([5, 0x10, 0x81, 0, 0, 0, 0, 0, 0]) + bytes([5, 1]) + bytes([0x40, 0x00, 0x20, 1])
             + bytes([2, 0xAA, 0xBB]) + struct.pack("<H", 0x181) + struct.pack("<HB", 0x181, 2) + b"\xDE\xAD")

# An upload of 1100 bytes, more than memory takes: it is gathered in a spill file.
SPILL_SEGMENTS = [segment(127, at == 0, 0x1008, 0, 1100, bytes([at % 251]) * min(244, 1100 - at))
                  for at in range(0, 1100, 244)]

SEEDS = {
    "stream": {
        # Status replies: node (SDO read of node 5), PDO (COB-ID 0x181), master.
        "status": stream(0, b"", frame(bytes([0x90, 5, 0, 0])), frame(bytes([0xB1]), struct.pack("<H", 0x181), b"\0\0"),
                         frame(bytes([0xC1, 0, 0, 0]))),
        # Data replies: a node command and a PDO read, split over reads of 3 and 7 bytes.
        "data": stream(1, b"\x03\x07", frame(bytes([10, 1, 0]), b"\x11\x22\x33\x44"),
                       frame(bytes([49]), struct.pack("<H", 0x201), b"\0", b"\xAA\xBB")),
        # An upload of 20 bytes in memory: first segment, busy status, further segment.
        "upload_memory": stream(2, b"\x05\xff\x40", segment(5, True, 0x2000, 1, 20, bytes(range(8))),
                                frame(bytes([0x90, 5, 0, 40])),
                                segment(5, False, 0x2000, 1, 20, bytes(range(8, 20)))),
        "upload_spill": stream(3, b"", *SPILL_SEGMENTS),
        # The spill file cannot be made: the directory is gone before the first segment.
        "spill_refused": stream(3, b"\xfc", *SPILL_SEGMENTS[:2]),
        # The directory goes away after the first segment: the next cannot be appended.
        "spill_cut_off": stream(3, bytes([200, 57, 252]), *SPILL_SEGMENTS[:3]),
        # A slot without a board: every reply is ignored.
        "no_board": stream(6, b"", frame(bytes([10, 1, 0]), b"\x11"), frame(event_body(0x40, b"\x05")),
                           no_board=True),
        # An event reply with an item of every kind, then the flags' master status.
        "events": stream(4, b"\x06", frame(event_body(0x7F, ALL_ITEMS)), frame(bytes([0xC0, 0, 0, 0]))),
        # Noise, a cut frame dropped, then a whole one.
        "noise": stream(5, b"\x02\x00\x09", b"\x00\xff", frame(bytes([10, 5, 0, 1, 2, 3])),
                        frame(bytes([10, 5, 0, 9]))),
    },
    "events": {
        "all_kinds": event_body(0x7F, ALL_ITEMS),
        "bootup_rxpdo": event_body(0x41, bytes([5]) + struct.pack("<HB", 0x181, 2) + b"\xDE\xAD"),
        "emcy_writesdo": event_body(0x24, bytes([5, 0x10, 0x81, 0, 0, 0, 0, 0, 0]) + bytes([8]) + bytes(range(8))),
        "writesdo_too_long": event_body(0x04, bytes([9]) + bytes(range(9))),
        "cut_short": event_body(0x30, bytes([5, 0x10, 0x81])),
    },
}

for target, seeds in SEEDS.items():
    folder = HERE / "corpus" / target
    folder.mkdir(parents=True, exist_ok=True)
    for name, data in seeds.items():
        (folder / name).write_bytes(data)
