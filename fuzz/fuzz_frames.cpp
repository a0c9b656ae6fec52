// Fuzzes the cutting of a byte stream into frames and the dispatch of every
// frame into the board's pending records and event queues, with nothing else
// around it: no receive thread, no sleep, no spill file and no walk over the
// board's whole tables, so that it runs a great many inputs a second. The
// stream fuzzer covers the same stream with spill files and polling callers.
//
// Input: the stream fuzzer's format (stream_input.hpp), so that its seeds
// serve here too. The schedule's marks here: 252 means nothing (spill files
// can never be made: the platform refuses every file create, so uploads of
// their size fail at once, with no system call); 253 pauses or opens the gate (next-segment
// requests fail); 254 fails the next port write; 255 collects every record
// with a reply filed.
//
// Checks: the frames handed on are exactly those of a plain byte-by-byte
// reading of the stream (the same frames, in the same order, wherever the reads
// split it); nothing is filed or queued for a slot without a board; collected
// replies fit their buffer; queued events keep their kind's bounds; and the
// board's count of outstanding requests matches its pending records.
//
// The marked records stay pending from one input to the next; only those that
// a reply touched are collected and marked again, so an input costs about as
// much as its stream. The fuzzer's own checking code is not instrumented for
// coverage (it guides nothing and would cost more than the code under test),
// and reads are copied into blocks made once per size.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/dispatch.hpp"
#include "engine/reply_tables.hpp"
#include "engine/request.hpp"
#include "event_checks.hpp"
#include "link/library_state.hpp"
#include "link/receive_side.hpp"
#include "not_covered.hpp"
#include "platform/platform.hpp"
#include "stream_input.hpp"

namespace {

using vexan::fuzz::KeyOf;
using vexan::fuzz::MarkedRecord;
using vexan::fuzz::Require;

constexpr uint8_t kFrameStart = ':';

// What lives for the whole run: the files, the records (each board's marked
// pending once, found once) and the read buffers.
struct FuzzSetup {
    FuzzSetup()
    {
        vexan::platform::testing::RefuseFileCreates(true);
        for (uint8_t slot = 0; slot < vexan::kBoardCount; ++slot) {
            for (const MarkedRecord& marked : records) {
                vexan::MarkPending(KeyOf(slot, marked), marked.Request());
                pending[slot].push_back(vexan::Replies().Find(KeyOf(slot, marked)));
            }
        }
    }

    vexan::fuzz::StreamFiles files;
    std::vector<MarkedRecord> records = vexan::fuzz::MarkedRecords(true);
    // Each board's records in the order of `records`.
    std::array<std::vector<const vexan::PendingReply*>, vexan::kBoardCount> pending;
    vexan::fuzz::ReadBuffers reads;
};

FuzzSetup& Setup()
{
    static FuzzSetup setup;
    return setup;
}

// Collects every record a reply was filed in, as a polling caller would, and
// marks it again; returns how many were touched. A record the module called
// busy is released instead (collecting it would ask again).
VEXAN_FUZZ_NOT_COVERED std::size_t CollectTouched(uint8_t board)
{
    static vexan::Reply reply;
    std::size_t touched = 0;
    const auto& records = Setup().records;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const MarkedRecord& marked = records[i];
        const vexan::PendingReply* record = Setup().pending[board][i];
        if (record->IsPending() && record->status.load(std::memory_order_acquire) == vexan::kStatusNone) {
            continue;
        }
        ++touched;
        const vexan::RecordKey key = KeyOf(board, marked);
        const bool busy = record->status.load(std::memory_order_acquire) == vexan::kStatusBusy;
        if (!busy && vexan::PollReply(key, vexan::TicketOf(key), reply) == 0) {
            Require(reply.collected, "a collected reply says so");
            Require(reply.Bytes().size() <= reply.data.size(), "a collected reply fits its buffer");
        }
        vexan::ReleaseRecord(key);
        vexan::MarkPending(key, marked.Request());
    }
    return touched;
}

// The frames of a stream, laid end to end: their bytes and where each ends.
// Kept from one input to the next so that an input allocates nothing for them.
struct Frames {
    std::vector<uint8_t> bytes;
    std::vector<std::size_t> ends;

    void Clear()
    {
        bytes.clear();
        ends.clear();
    }
    std::span<const uint8_t> Frame(std::size_t n) const
    {
        const std::size_t begin = n == 0 ? 0 : ends[n - 1];
        return std::span<const uint8_t>(bytes).subspan(begin, ends[n] - begin);
    }
};

// Reads a stream one byte at a time by the framing rule itself: bytes outside
// a frame are skipped up to a ':', which is followed by the length byte and
// that many bytes.
class ReferenceFraming {
public:
    VEXAN_FUZZ_NOT_COVERED void Feed(uint8_t byte, Frames& frames)
    {
        if (!inFrame_) {
            if (byte == kFrameStart) {
                inFrame_ = true;
                haveLength_ = false;
            }
            return;
        }
        if (!haveLength_) {
            haveLength_ = true;
            length_ = byte;
            begin_ = frames.bytes.size();
        } else {
            frames.bytes.push_back(byte);
        }
        if (frames.bytes.size() - begin_ == length_) {
            frames.ends.push_back(frames.bytes.size());
            inFrame_ = false;
        }
    }
    // Forgets a partial frame, as the scanner does.
    VEXAN_FUZZ_NOT_COVERED void Drop(Frames& frames)
    {
        if (inFrame_ && haveLength_) {
            frames.bytes.resize(begin_);
        }
        inFrame_ = false;
    }

private:
    bool inFrame_ = false;
    bool haveLength_ = false;
    std::size_t length_ = 0;
    std::size_t begin_ = 0;
};

// The frames the reference expects, and how many of them the scanner has
// handed on so far.
struct Expected {
    Frames frames;
    std::size_t handedOn = 0;
};

// Checks one frame the scanner handed on against the next one the reference
// expects, then files it.
VEXAN_FUZZ_NOT_COVERED void CheckAndDispatch(uint8_t slot, Expected& expected, uint8_t length,
                                             std::span<const uint8_t> frame)
{
    Require(frame.size() == length, "a frame holds exactly its length byte's count");
    Require(expected.handedOn < expected.frames.ends.size(), "the scanner hands on no frame the stream lacks");
    const auto next = expected.frames.Frame(expected.handedOn++);
    Require(std::equal(frame.begin(), frame.end(), next.begin(), next.end()),
            "the scanner hands on the frames of the stream, in order");
    vexan::DispatchReply(slot, length, frame);
}

// Hands one read to the scanner in a buffer of exactly its size, so that a
// read past the bytes received shows. The reference reads the same bytes
// first; each frame the scanner hands on must be the next one it expects.
VEXAN_FUZZ_NOT_COVERED void ScanRead(vexan::FrameScanner& scanner, ReferenceFraming& reference,
                                     std::span<const uint8_t> bytes, uint8_t slot, Expected& expected)
{
    for (const uint8_t byte : bytes) {
        reference.Feed(byte, expected.frames);
    }
    scanner.Scan(Setup().reads.Copy(bytes), [slot, &expected](uint8_t length, std::span<const uint8_t> frame) {
        CheckAndDispatch(slot, expected, length, frame);
    });
    Require(expected.handedOn == expected.frames.ends.size(), "the scanner hands on every complete frame at once");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    Setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const vexan::fuzz::StreamInput input(std::span<const uint8_t>(data, size));
    if (!input.Valid()) {
        return 0;
    }
    const uint8_t slot = input.slot;
    const uint8_t board = input.board();

    if (input.noBoard) {
        vexan::ReleaseSlot(slot);
    }

    vexan::FrameScanner scanner;
    ReferenceFraming reference;
    static Expected expected;
    expected.frames.Clear();
    expected.handedOn = 0;
    vexan::fuzz::LineMarks lineMarks;
    std::size_t framesAtCollect = 0;  // collecting again before another frame came finds nothing new
    const auto collect = [&] {
        if (expected.handedOn > framesAtCollect) {
            framesAtCollect = expected.handedOn;
            Require(CollectTouched(board) == 0 || !input.noBoard, "nothing is filed for a slot without a board");
        }
    };
    for (vexan::fuzz::ScheduledReads reads(input); !reads.Done();) {
        const auto step = reads.Next();
        if (step.isRead) {
            ScanRead(scanner, reference, step.bytes, slot, expected);
            continue;
        }
        if (lineMarks.Apply(step.mark)) {
            continue;
        }
        switch (step.mark) {
        case vexan::fuzz::kDropPartial:
            scanner.DropPartial();
            reference.Drop(expected.frames);
            break;
        case vexan::fuzz::kCollect:
            collect();
            break;
        default:  // kToggleSpillDirectory: spill files can never be made here
            break;
        }
    }
    collect();
    Require(vexan::Link().boards[board].outstanding.load() == Setup().records.size(),
            "the count of outstanding requests matches the pending records");
    const auto events = vexan::fuzz::DrainEvents(board);
    if (input.noBoard) {
        for (const auto& records : events) {
            Require(records.empty(), "no event is queued for a slot without a board");
        }
        vexan::AssignSlot(slot, Setup().files.portFd);
    }
    lineMarks.Reset();
    vexan::Link().boards[board].wake.Clear();
    return 0;
}
