// Fuzzes the byte stream a module sends: framing across reads, the dispatch of
// every frame into the board's pending records, the assembly of SDO uploads in
// memory and in spill files, next-segment requests, and event replies. Each
// input also makes and removes spill files and walks the board's whole tables:
// the frames fuzzer takes the same inputs without them, many times faster.
//
// Input: a control byte, a read schedule, then the stream.
//   control bits 0-3: length of the schedule (0: the stream comes in reads of
//                     the receive thread's full buffer)
//   control bits 4-6: the slot (and board) the stream arrives on
//   control bit 7:    the slot has no board (every frame must be ignored)
//   schedule bytes, used in turn:
//     1..251  the next read takes that many bytes
//     0       the scanner drops a partial frame (as after reads that fail)
//     252     the spill directory goes away, or comes back: spill files
//             can then be neither created nor appended to
//     253     the gate pauses traffic, or opens again: next-segment requests fail
//     254     the next port write fails
//     255     every marked record is collected, as a polling caller would
//             (the first few times in an input: collecting is slow)
// Before the stream a set of node, PDO and master records is marked pending;
// after it each is collected, every record of the board released and the
// event queues drained (their records checked), so no state outlives an input.
//
// Large uploads write spill files in the current directory: each input runs in
// a private temporary directory, emptied after the input. Give -artifact_prefix
// as an absolute path so that a crash input is not written there.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

namespace {

using vexan::fuzz::Require;

constexpr uint8_t kScheduleLengthMask = 0x0F;
constexpr unsigned kSlotShift = 4;
constexpr uint8_t kSlotMask = 0x07;
constexpr uint8_t kNoBoardBit = 0x80;
constexpr uint8_t kDropPartial = 0;
constexpr uint8_t kToggleSpillDirectory = 252;
constexpr uint8_t kTogglePause = 253;
constexpr uint8_t kFailNextWrite = 254;
constexpr uint8_t kCollect = 255;
constexpr std::size_t kMaxCollectsPerInput = 4;

// Keys whose records wait for replies; others (node 2, say) have none, so
// replies to records nobody waits on are fuzzed too.
constexpr std::array<uint8_t, 3> kMarkedNodes{1, 5, 127};
constexpr std::array<uint16_t, 3> kMarkedCobIds{0x181, 0x201, 0x7FE};

struct MarkedRecord {
    uint8_t command;
    uint16_t key;
};

std::vector<MarkedRecord> MarkedRecords()
{
    std::vector<MarkedRecord> records;
    for (unsigned command = vexan::kFirstNodeCommand; command <= vexan::kLastNodeCommand; ++command) {
        for (const uint8_t node : kMarkedNodes) {
            records.push_back({static_cast<uint8_t>(command), node});
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
    return records;
}

std::string MakeTemporaryDirectory()
{
    std::array<char, 64> pattern{};
    std::snprintf(pattern.data(), pattern.size(), "%s", "/tmp/vexan-fuzz-stream-XXXXXX");
    Require(::mkdtemp(pattern.data()) != nullptr, "a temporary directory can be made");
    return pattern.data();
}

// What lives for the whole run: the records to mark, a sink for the frames the
// library sends, the directory that takes the spill files, and a directory
// that is gone (no file can be made in it).
struct FuzzSetup {
    FuzzSetup()
    {
        spillDirectory = MakeTemporaryDirectory();
        spillDirectoryFd = ::open(spillDirectory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const std::string gone = MakeTemporaryDirectory();
        goneDirectoryFd = ::open(gone.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        Require(::rmdir(gone.c_str()) == 0, "a directory can be removed");
        homeFd = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        portFd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        Require(spillDirectoryFd >= 0 && goneDirectoryFd >= 0 && homeFd >= 0 && portFd >= 0,
                "the fuzzer's files can be opened");
        for (uint8_t slot = 0; slot < vexan::kBoardCount; ++slot) {
            vexan::AssignSlot(slot, portFd);
        }
    }
    ~FuzzSetup()
    {
        std::error_code ignored;
        std::filesystem::remove_all(spillDirectory, ignored);
        ::close(spillDirectoryFd);
        ::close(goneDirectoryFd);
        ::close(homeFd);
        ::close(portFd);
    }
    FuzzSetup(const FuzzSetup&) = delete;
    FuzzSetup& operator=(const FuzzSetup&) = delete;

    std::vector<MarkedRecord> records = MarkedRecords();
    std::string spillDirectory;
    int spillDirectoryFd = -1;
    int goneDirectoryFd = -1;
    int homeFd = -1;
    int portFd = -1;
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
        [[maybe_unused]] const int back = ::fchdir(Setup().homeFd);
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
    const std::vector<uint8_t> read(bytes.begin(), bytes.end());
    scanner.Scan(read, [slot](uint8_t length, std::span<const uint8_t> frame) {
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

    const InSpillDirectory inSpillDirectory;
    if (noBoard) {
        vexan::ReleaseSlot(slot);
    }
    for (const MarkedRecord& marked : Setup().records) {
        vexan::MarkPending(vexan::RecordKey{board, marked.command, marked.key});
    }

    vexan::FrameScanner scanner;
    bool paused = false;
    bool spillDirectoryGone = false;
    std::size_t collects = 0;
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
                continue;
            case kToggleSpillDirectory:
                spillDirectoryGone = !spillDirectoryGone;
                Require(::fchdir(spillDirectoryGone ? Setup().goneDirectoryFd : Setup().spillDirectoryFd) == 0,
                        "the spill directory can be left and entered again");
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
                if (collects < kMaxCollectsPerInput) {
                    ++collects;
                    Require(CollectAll(board) == 0 || !noBoard, "nothing is filed for a slot without a board");
                }
                continue;
            default:
                take = entry;
                break;
            }
        }
        stepsWithoutRead = 0;
        take = std::min(take, stream.size());
        ScanRead(scanner, stream.first(take), slot);
        stream = stream.subspan(take);
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
    vexan::Link().gate.Start();
    vexan::platform::testing::FailNthWrite(0);
    vexan::Link().boards[board].wake.Clear();
    if (noBoard) {
        vexan::AssignSlot(slot, Setup().portFd);
    }
    return 0;
}
