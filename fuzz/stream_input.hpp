// The input format the stream and frames fuzzers share, so that their seeds
// serve both: a control byte, a read schedule, then the byte stream a module
// sends.
//   control bits 0-3: length of the schedule (0: the stream comes in reads of
//                     the receive thread's full buffer)
//   control bits 4-6: the slot (and board) the stream arrives on
//   control bit 7:    the slot has no board (every frame must be ignored)
//   schedule bytes, used in turn (what each target does with the marks is
//   said in the target):
//     1..251  the next read takes that many bytes
//     0       the scanner drops a partial frame (as after reads that fail)
//     252     the spill directory goes away, or comes back
//     253     the gate pauses traffic, or opens again
//     254     the next port write fails
//     255     records with replies filed are collected, as a polling caller
//             would
// Also here: the records both targets mark pending, and the setup of the
// slots and the files they run with.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/reply_tables.hpp"
#include "engine/request.hpp"
#include "event_checks.hpp"
#include "link/library_state.hpp"
#include "link/protocol.hpp"
#include "link/receive_side.hpp"
#include "platform/platform.hpp"

namespace vexan::fuzz {

inline constexpr uint8_t kScheduleLengthMask = 0x0F;
inline constexpr unsigned kSlotShift = 4;
inline constexpr uint8_t kSlotMask = 0x07;
inline constexpr uint8_t kNoBoardBit = 0x80;
inline constexpr uint8_t kDropPartial = 0;
inline constexpr uint8_t kToggleSpillDirectory = 252;
inline constexpr uint8_t kTogglePause = 253;
inline constexpr uint8_t kFailNextWrite = 254;
inline constexpr uint8_t kCollect = 255;

// One input taken apart. An empty input has no control byte: Valid() is false.
struct StreamInput {
    explicit StreamInput(std::span<const uint8_t> input)
    {
        if (input.empty()) {
            return;
        }
        const uint8_t control = input[0];
        slot = static_cast<uint8_t>((control >> kSlotShift) & kSlotMask);
        const std::size_t scheduleLength = std::min<std::size_t>(control & kScheduleLengthMask, input.size() - 1);
        schedule = input.subspan(1, scheduleLength);
        stream = input.subspan(1 + scheduleLength);
        noBoard = (control & kNoBoardBit) != 0;
        valid = true;
    }
    bool Valid() const { return valid; }

    uint8_t slot = 0;
    uint8_t board() const { return slot; }  // AssignSlot gives each slot the board of its number
    bool noBoard = false;
    std::span<const uint8_t> schedule;
    std::span<const uint8_t> stream;

private:
    bool valid = false;
};

// Walks the stream by the schedule: each step is either a mark (0, 252..255)
// or a read of the next bytes. The schedule repeats; once a whole round of it
// passed without a read, the rest of the stream comes in full-buffer reads.
class ScheduledReads {
public:
    explicit ScheduledReads(const StreamInput& input) : schedule_(input.schedule), stream_(input.stream) {}

    struct Step {
        bool isRead;
        uint8_t mark;                    // when not a read
        std::span<const uint8_t> bytes;  // when a read
    };

    bool Done() const { return stream_.empty(); }
    Step Next()
    {
        std::size_t take = kReadBufferSize;
        if (!schedule_.empty() && stepsWithoutRead_ < schedule_.size()) {
            const uint8_t entry = schedule_[step_++ % schedule_.size()];
            ++stepsWithoutRead_;
            if (entry == kDropPartial || entry >= kToggleSpillDirectory) {
                return Step{false, entry, {}};
            }
            take = entry;
        }
        stepsWithoutRead_ = 0;
        take = std::min(take, stream_.size());
        const auto bytes = stream_.first(take);
        stream_ = stream_.subspan(take);
        return Step{true, 0, bytes};
    }

private:
    std::span<const uint8_t> schedule_;
    std::span<const uint8_t> stream_;
    std::size_t step_ = 0;
    std::size_t stepsWithoutRead_ = 0;
};

// The marks both targets apply alike: 253 pauses the gate or opens it again,
// 254 fails the next port write. Reset() undoes both once an input ends.
class LineMarks {
public:
    // Applies `mark` when it is one of them; false for any other mark.
    bool Apply(uint8_t mark)
    {
        if (mark == kTogglePause) {
            paused_ = !paused_;
            if (paused_) {
                Link().gate.Pause(0);
            } else {
                Link().gate.Start();
            }
            return true;
        }
        if (mark == kFailNextWrite) {
            platform::testing::FailNthWrite(1);
            return true;
        }
        return false;
    }
    void Reset()
    {
        Link().gate.Start();
        platform::testing::FailNthWrite(0);
        paused_ = false;
    }

private:
    bool paused_ = false;
};

// Keys whose records wait for replies; others (node 2, say) have none, so
// replies to records nobody waits on are fuzzed too. Node 5's SDO records can
// name an object, so that replies naming another one are refused.
inline constexpr std::array<uint8_t, 3> kMarkedNodes{1, 5, 127};
inline constexpr uint8_t kNodeWithObject = 5;
inline constexpr uint16_t kObjectIndex = 0x2000;
inline constexpr uint8_t kObjectSubIndex = 1;
inline constexpr std::array<uint16_t, 3> kMarkedCobIds{0x181, 0x201, 0x7FE};

// A record and the request it is marked with: its frame from the command byte
// on (only node 5's SDO requests carry one, which names their object).
struct MarkedRecord {
    uint8_t command;
    uint16_t key;
    std::array<uint8_t, 5> request{};
    std::size_t requestSize = 0;

    std::span<const uint8_t> Request() const { return {request.data(), requestSize}; }
};

// Every node, PDO and master command with each marked key, for commands with
// a record of their own. With `withObject` node 5's SDO records name an object.
inline std::vector<MarkedRecord> MarkedRecords(bool withObject)
{
    const uint8_t sdoRead = CodeOf(Command::SdoRead);
    const uint8_t sdoWrite = CodeOf(Command::SdoWrite);
    std::vector<MarkedRecord> records;
    for (unsigned command = kFirstNodeCommand; command <= kLastNodeCommand; ++command) {
        for (const uint8_t node : kMarkedNodes) {
            const bool sdo = command == sdoRead || command == sdoWrite;
            MarkedRecord marked{static_cast<uint8_t>(command), node};
            if (withObject && sdo && node == kNodeWithObject) {
                marked.request = {static_cast<uint8_t>(command), node, static_cast<uint8_t>(kObjectIndex & 0xFF),
                                  static_cast<uint8_t>(kObjectIndex >> 8), kObjectSubIndex};
                marked.requestSize = marked.request.size();
            }
            records.push_back(marked);
        }
    }
    for (unsigned command = kFirstPdoCommand; command <= kLastPdoCommand; ++command) {
        for (const uint16_t cobId : kMarkedCobIds) {
            records.push_back({static_cast<uint8_t>(command), cobId});
        }
    }
    for (unsigned command = kFirstMasterCommand; command <= kLastMasterRow; ++command) {
        records.push_back({static_cast<uint8_t>(command), 0});
    }
    std::erase_if(records, [](const MarkedRecord& marked) { return !KeyFits(marked.command, marked.key); });
    return records;
}

inline RecordKey KeyOf(uint8_t board, const MarkedRecord& marked)
{
    return RecordKey{board, marked.command, marked.key};
}

inline std::string MakeTemporaryDirectory(const char* pattern)
{
    std::array<char, 64> name{};
    std::snprintf(name.data(), name.size(), "%s", pattern);
    Require(::mkdtemp(name.data()) != nullptr, "a temporary directory can be made");
    return name.data();
}

// The files every run needs: where the fuzzer was started (its corpus and
// artifacts are written there), a directory that is gone (no file can be made
// in it), and a sink for the frames the library sends, which every slot is
// given as its port.
struct StreamFiles {
    StreamFiles()
    {
        const std::string gone = MakeTemporaryDirectory("/tmp/vexan-fuzz-gone-XXXXXX");
        goneDirectoryFd = ::open(gone.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        Require(::rmdir(gone.c_str()) == 0, "a directory can be removed");
        homeFd = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        portFd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        Require(goneDirectoryFd >= 0 && homeFd >= 0 && portFd >= 0, "the fuzzer's files can be opened");
        for (uint8_t slot = 0; slot < kBoardCount; ++slot) {
            AssignSlot(slot, portFd);
        }
    }
    ~StreamFiles()
    {
        ::close(goneDirectoryFd);
        ::close(homeFd);
        ::close(portFd);
    }
    StreamFiles(const StreamFiles&) = delete;
    StreamFiles& operator=(const StreamFiles&) = delete;

    int goneDirectoryFd = -1;
    int homeFd = -1;
    int portFd = -1;
};

// Exact-size copies of reads, so that a read past the bytes received shows
// under AddressSanitizer: one heap block per read size, made once, instead
// of an allocation per read.
class ReadBuffers {
public:
    std::span<const uint8_t> Copy(std::span<const uint8_t> bytes)
    {
        auto& block = blocks_[bytes.size()];
        if (!block) {
            block = std::make_unique<uint8_t[]>(bytes.size() + (bytes.empty() ? 1 : 0));
        }
        std::copy(bytes.begin(), bytes.end(), block.get());
        return {block.get(), bytes.size()};
    }

private:
    std::array<std::unique_ptr<uint8_t[]>, kReadBufferSize + 1> blocks_;
};

}  // namespace vexan::fuzz
