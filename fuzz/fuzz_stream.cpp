// Fuzzes the byte stream a module sends: framing across reads, the dispatch of
// every frame into the board's pending records, the assembly of SDO uploads in
// memory and in spill files, next-segment requests, and event replies. Each
// input also makes and removes spill files and walks the board's whole tables:
// the frames fuzzer takes the same inputs without them, many times faster.
//
// Input: the format of stream_input.hpp. The schedule's marks here: 252 takes
// the spill directory away or brings it back (spill files can then be neither
// created nor appended to); 253 pauses or opens the gate (next-segment
// requests fail); 254 fails the next port write; 255 collects every marked
// record (the first few times in an input: collecting is slow).
// Before the stream a set of node, PDO and master records is marked pending;
// after it each is collected, every record of the board released and the
// event queues drained (their records checked), so no state outlives an input.
//
// Large uploads write spill files in the current directory: each input runs in
// a private temporary directory, emptied after the input. Give -artifact_prefix
// as an absolute path so that a crash input is not written there.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "engine/dispatch.hpp"
#include "engine/reply_tables.hpp"
#include "engine/request.hpp"
#include "event_checks.hpp"
#include "link/library_state.hpp"
#include "link/receive_side.hpp"
#include "platform/platform.hpp"
#include "stream_input.hpp"

namespace {

using vexan::fuzz::MarkedRecord;
using vexan::fuzz::Require;

constexpr std::size_t kMaxCollectsPerInput = 4;

// What lives for the whole run: the files, the records to mark, the directory
// that takes the spill files, and the read buffers.
struct FuzzSetup {
    FuzzSetup()
    {
        spillDirectoryFd = ::open(spillDirectory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        Require(spillDirectoryFd >= 0, "the spill directory can be opened");
    }
    ~FuzzSetup()
    {
        std::error_code ignored;
        std::filesystem::remove_all(spillDirectory, ignored);
        ::close(spillDirectoryFd);
    }
    FuzzSetup(const FuzzSetup&) = delete;
    FuzzSetup& operator=(const FuzzSetup&) = delete;

    vexan::fuzz::StreamFiles files;
    std::vector<MarkedRecord> records = vexan::fuzz::MarkedRecords(false);
    std::string spillDirectory = vexan::fuzz::MakeTemporaryDirectory("/tmp/vexan-fuzz-stream-XXXXXX");
    int spillDirectoryFd = -1;
    vexan::fuzz::ReadBuffers reads;
};

FuzzSetup& Setup()
{
    static FuzzSetup setup;
    return setup;
}

// Runs one input inside the spill directory and leaves it empty afterwards.
class InSpillDirectory {
public:
    InSpillDirectory() { Require(::fchdir(Setup().spillDirectoryFd) == 0, "the spill directory can be entered"); }
    ~InSpillDirectory()
    {
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(Setup().spillDirectory, ignored)) {
            std::filesystem::remove(entry.path(), ignored);
        }
        [[maybe_unused]] const int back = ::fchdir(Setup().files.homeFd);
    }
    InSpillDirectory(const InSpillDirectory&) = delete;
    InSpillDirectory& operator=(const InSpillDirectory&) = delete;
};

// Collects every marked record as a polling caller would; returns how many
// had a reply filed.
std::size_t CollectAll(uint8_t board)
{
    static vexan::Reply reply;
    std::size_t filed = 0;
    for (const MarkedRecord& marked : Setup().records) {
        if (vexan::PollReply(board, marked.command, marked.key, reply) == 0) {
            Require(reply.Bytes().size() <= reply.data.size(), "a collected reply fits its buffer");
            ++filed;
        }
    }
    return filed;
}

// Hands one read to the scanner in a buffer of exactly its size, so that a
// read past the bytes received shows.
void ScanRead(vexan::FrameScanner& scanner, std::span<const uint8_t> bytes, uint8_t slot)
{
    scanner.Scan(Setup().reads.Copy(bytes), [slot](uint8_t length, std::span<const uint8_t> frame) {
        Require(frame.size() == length, "a frame holds exactly its length byte's count");
        vexan::DispatchReply(slot, length, frame);
    });
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
    const bool noBoard = input.noBoard;

    const InSpillDirectory inSpillDirectory;
    if (noBoard) {
        vexan::ReleaseSlot(slot);
    }
    for (const MarkedRecord& marked : Setup().records) {
        vexan::MarkPending(vexan::fuzz::KeyOf(board, marked));
    }

    vexan::FrameScanner scanner;
    vexan::fuzz::LineMarks lineMarks;
    bool spillDirectoryGone = false;
    std::size_t collects = 0;
    for (vexan::fuzz::ScheduledReads reads(input); !reads.Done();) {
        const auto step = reads.Next();
        if (step.isRead) {
            ScanRead(scanner, step.bytes, slot);
            continue;
        }
        if (lineMarks.Apply(step.mark)) {
            continue;
        }
        switch (step.mark) {
        case vexan::fuzz::kDropPartial:
            scanner.DropPartial();
            break;
        case vexan::fuzz::kToggleSpillDirectory:
            spillDirectoryGone = !spillDirectoryGone;
            Require(::fchdir(spillDirectoryGone ? Setup().files.goneDirectoryFd : Setup().spillDirectoryFd) == 0,
                    "the spill directory can be left and entered again");
            break;
        default:  // kCollect
            if (collects < kMaxCollectsPerInput) {
                ++collects;
                Require(CollectAll(board) == 0 || !noBoard, "nothing is filed for a slot without a board");
            }
            break;
        }
    }

    Require(CollectAll(board) == 0 || !noBoard, "nothing is filed for a slot without a board");
    vexan::Replies().ReleaseAll(board);
    Require(vexan::Link().boards[board].outstanding.load() == 0, "no record of the board stays outstanding");
    const auto events = vexan::fuzz::DrainEvents(board);
    if (noBoard) {
        for (const auto& records : events) {
            Require(records.empty(), "no event is queued for a slot without a board");
        }
    }
    lineMarks.Reset();
    vexan::Link().boards[board].wake.Clear();
    if (noBoard) {
        vexan::AssignSlot(slot, Setup().files.portFd);
    }
    return 0;
}
