// Fuzzes the cutting of a byte stream into frames and the dispatch of every
// frame into the board's pending records and event queues, with nothing else
// around it: no receive thread, no sleep, no spill file and no walk over the
// board's whole tables, so that it runs a great many inputs a second. The
// stream fuzzer covers the same stream with spill files and polling callers.
//
// Input: the stream fuzzer's format (a control byte, a read schedule, then the
// stream), so that its seeds serve here too.
//   control bits 0-3: length of the schedule (0: the stream comes in reads of
//                     the receive thread's full buffer)
//   control bits 4-6: the slot (and board) the stream arrives on
//   control bit 7:    the slot has no board (every frame must be ignored)
//   schedule bytes, used in turn:
//     1..251  the next read takes that many bytes
//     0       the scanner drops a partial frame (as after reads that fail)
//     252     nothing here: spill files can never be made (the inputs run in a
//             directory that is gone), so uploads of their size fail at once
//     253     the gate pauses traffic, or opens again: next-segment requests fail
//     254     the next port write fails
//     255     every record with a reply filed is collected, as a polling
//             caller would
//
// Checks: the frames handed on are exactly those of a plain byte-by-byte
// reading of the stream (the same frames, in the same order, wherever the reads
// split it); nothing is filed or queued for a slot without a board; collected
// replies fit their buffer; queued events keep their kind's bounds; and the
// board's count of outstanding requests matches its pending records.
//
// The marked records stay pending from one input to the next; only those that
// a reply touched are collected and marked again, so an input costs about as
// much as its stream.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "engine/dispatch.hpp"
#include "engine/reply_tables.hpp"
#include "engine/request.hpp"
#include "event_checks.hpp"
#include "link/library_state.hpp"
#include "link/protocol.hpp"
#include "link/receive_side.hpp"
#include "platform/platform.hpp"

namespace {

using vexan::fuzz::Require;

constexpr uint8_t kScheduleLengthMask = 0x0F;
constexpr unsigned kSlotShift = 4;
constexpr uint8_t kSlotMask = 0x07;
constexpr uint8_t kNoBoardBit = 0x80;
constexpr uint8_t kDropPartial = 0;
constexpr uint8_t kSpillDirectoryToggle = 252;  // no meaning here: see above
constexpr uint8_t kTogglePause = 253;
constexpr uint8_t kFailNextWrite = 254;
constexpr uint8_t kCollect = 255;
constexpr uint8_t kFrameStart = ':';

// Keys whose records wait for replies; others (node 2, say) have none, so
// replies to records nobody waits on are fuzzed too. Node 5's SDO records
// name an object, so that replies naming another one are refused.
constexpr std::array<uint8_t, 3> kMarkedNodes{1, 5, 127};
constexpr uint8_t kNodeWithObject = 5;
constexpr uint16_t kObjectIndex = 0x2000;
constexpr uint8_t kObjectSubIndex = 1;
constexpr std::array<uint16_t, 3> kMarkedCobIds{0x181, 0x201, 0x7FE};

// A record and the request it is marked with: its frame from the command byte
// on (only node 5's SDO requests carry one, which names their object).
struct MarkedRecord {
    uint8_t command;
    uint16_t key;
    std::array<uint8_t, 5> request{};
    std::size_t requestSize = 0;

    std::span<const uint8_t> Request() const { return {request.data(), requestSize}; }
};

std::vector<MarkedRecord> MarkedRecords()
{
    const uint8_t sdoRead = vexan::CodeOf(vexan::Command::SdoRead);
    const uint8_t sdoWrite = vexan::CodeOf(vexan::Command::SdoWrite);
    std::vector<MarkedRecord> records;
    for (unsigned command = vexan::kFirstNodeCommand; command <= vexan::kLastNodeCommand; ++command) {
        for (const uint8_t node : kMarkedNodes) {
            const bool sdo = command == sdoRead || command == sdoWrite;
            MarkedRecord marked{static_cast<uint8_t>(command), node};
            if (sdo && node == kNodeWithObject) {
                marked.request = {static_cast<uint8_t>(command), node, static_cast<uint8_t>(kObjectIndex & 0xFF),
                                  static_cast<uint8_t>(kObjectIndex >> 8), kObjectSubIndex};
                marked.requestSize = marked.request.size();
            }
            records.push_back(marked);
        }
    }
    for (unsigned command = vexan::kFirstPdoCommand; command <= vexan::kLastPdoCommand; ++command) {
        for (const uint16_t cobId : kMarkedCobIds) {
            records.push_back({static_cast<uint8_t>(command), cobId});
        }
    }
    for (unsigned command = vexan::kFirstMasterCommand; command <= vexan::kLastMasterRow; ++command) {
        records.push_back({static_cast<uint8_t>(command), 0});
    }
    // Only commands with a record of their own: the count of outstanding
    // requests is checked against these.
    std::erase_if(records, [](const MarkedRecord& marked) { return !vexan::KeyFits(marked.command, marked.key); });
    return records;
}

vexan::RecordKey KeyOf(uint8_t board, const MarkedRecord& marked)
{
    return vexan::RecordKey{board, marked.command, marked.key};
}

// What lives for the whole run: the records, a sink for the frames the library
// sends, and the directory the inputs run in, which is gone (no spill file can
// be made in it).
struct FuzzSetup {
    FuzzSetup()
    {
        std::array<char, 64> pattern{};
        std::snprintf(pattern.data(), pattern.size(), "%s", "/tmp/vexan-fuzz-frames-XXXXXX");
        Require(::mkdtemp(pattern.data()) != nullptr, "a temporary directory can be made");
        goneDirectoryFd = ::open(pattern.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        Require(::rmdir(pattern.data()) == 0, "a directory can be removed");
        homeFd = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        portFd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        Require(goneDirectoryFd >= 0 && homeFd >= 0 && portFd >= 0, "the fuzzer's files can be opened");
        for (uint8_t slot = 0; slot < vexan::kBoardCount; ++slot) {
            vexan::AssignSlot(slot, portFd);
            for (const MarkedRecord& marked : records) {
                vexan::MarkPending(KeyOf(slot, marked), marked.Request());
                pending[slot].push_back(vexan::Replies().Find(KeyOf(slot, marked)));
            }
        }
    }
    ~FuzzSetup()
    {
        ::close(goneDirectoryFd);
        ::close(homeFd);
        ::close(portFd);
    }
    FuzzSetup(const FuzzSetup&) = delete;
    FuzzSetup& operator=(const FuzzSetup&) = delete;

    std::vector<MarkedRecord> records = MarkedRecords();
    // Each board's records in the order of `records`, found once.
    std::array<std::vector<const vexan::PendingReply*>, vexan::kBoardCount> pending;
    int goneDirectoryFd = -1;
    int homeFd = -1;
    int portFd = -1;
};

FuzzSetup& Setup()
{
    static FuzzSetup setup;
    return setup;
}

// Runs one input in the directory that is gone, then returns to where the
// fuzzer writes its corpus.
class InGoneDirectory {
public:
    InGoneDirectory() { Require(::fchdir(Setup().goneDirectoryFd) == 0, "the gone directory can be entered"); }
    ~InGoneDirectory() { [[maybe_unused]] const int back = ::fchdir(Setup().homeFd); }
    InGoneDirectory(const InGoneDirectory&) = delete;
    InGoneDirectory& operator=(const InGoneDirectory&) = delete;
};

// Collects every record a reply was filed in, as a polling caller would, and
// marks it again; returns how many were touched. A record the module called
// busy is released instead (collecting it would ask again).
std::size_t CollectTouched(uint8_t board)
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
    void Feed(uint8_t byte, Frames& frames)
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
    void Drop(Frames& frames)
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

// Hands one read to the scanner in a buffer of exactly its size, so that a
// read past the bytes received shows. The reference reads the same bytes
// first; each frame the scanner hands on must be the next one it expects.
void ScanRead(vexan::FrameScanner& scanner, ReferenceFraming& reference, std::span<const uint8_t> bytes, uint8_t slot,
              Expected& expected)
{
    for (const uint8_t byte : bytes) {
        reference.Feed(byte, expected.frames);
    }
    const std::vector<uint8_t> read(bytes.begin(), bytes.end());
    scanner.Scan(read, [slot, &expected](uint8_t length, std::span<const uint8_t> frame) {
        Require(frame.size() == length, "a frame holds exactly its length byte's count");
        Require(expected.handedOn < expected.frames.ends.size(), "the scanner hands on no frame the stream lacks");
        const auto next = expected.frames.Frame(expected.handedOn++);
        Require(std::equal(frame.begin(), frame.end(), next.begin(), next.end()),
                "the scanner hands on the frames of the stream, in order");
        vexan::DispatchReply(slot, length, frame);
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
    if (size == 0) {
        return 0;
    }
    const std::span<const uint8_t> input(data, size);
    const uint8_t control = input[0];
    const auto slot = static_cast<uint8_t>((control >> kSlotShift) & kSlotMask);
    const std::size_t scheduleLength = std::min<std::size_t>(control & kScheduleLengthMask, input.size() - 1);
    const auto schedule = input.subspan(1, scheduleLength);
    auto stream = input.subspan(1 + scheduleLength);
    const uint8_t board = slot;  // AssignSlot gives each slot the board of its number
    const bool noBoard = (control & kNoBoardBit) != 0;

    const InGoneDirectory inGoneDirectory;
    if (noBoard) {
        vexan::ReleaseSlot(slot);
    }

    vexan::FrameScanner scanner;
    ReferenceFraming reference;
    static Expected expected;
    expected.frames.Clear();
    expected.handedOn = 0;
    bool paused = false;
    std::size_t framesAtCollect = 0;  // collecting again before another frame came finds nothing new
    std::size_t step = 0;
    std::size_t stepsWithoutRead = 0;
    while (!stream.empty()) {
        std::size_t take = vexan::kReadBufferSize;
        if (!schedule.empty() && stepsWithoutRead < schedule.size()) {
            const uint8_t entry = schedule[step++ % schedule.size()];
            ++stepsWithoutRead;
            switch (entry) {
            case kDropPartial:
                scanner.DropPartial();
                reference.Drop(expected.frames);
                continue;
            case kSpillDirectoryToggle:
                continue;
            case kTogglePause:
                paused = !paused;
                if (paused) {
                    vexan::Link().gate.Pause(0);
                } else {
                    vexan::Link().gate.Start();
                }
                continue;
            case kFailNextWrite:
                vexan::platform::testing::FailNthWrite(1);
                continue;
            case kCollect:
                if (expected.handedOn > framesAtCollect) {
                    framesAtCollect = expected.handedOn;
                    Require(CollectTouched(board) == 0 || !noBoard, "nothing is filed for a slot without a board");
                }
                continue;
            default:
                take = entry;
                break;
            }
        }
        stepsWithoutRead = 0;
        take = std::min(take, stream.size());
        ScanRead(scanner, reference, stream.first(take), slot, expected);
        stream = stream.subspan(take);
    }
    if (expected.handedOn > framesAtCollect) {
        Require(CollectTouched(board) == 0 || !noBoard, "nothing is filed for a slot without a board");
    }
    Require(vexan::Link().boards[board].outstanding.load() == Setup().records.size(),
            "the count of outstanding requests matches the pending records");
    const auto events = vexan::fuzz::DrainEvents(board);
    if (noBoard) {
        for (const auto& records : events) {
            Require(records.empty(), "no event is queued for a slot without a board");
        }
        vexan::AssignSlot(slot, Setup().portFd);
    }
    vexan::Link().gate.Start();
    vexan::platform::testing::FailNthWrite(0);
    vexan::Link().boards[board].wake.Clear();
    return 0;
}
