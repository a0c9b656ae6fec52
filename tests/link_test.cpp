// The module link: the frame scanner's carry rules, the port routines and their
// codes, the identification handshake, and the transmit gate with its timed
// pause. Port tests run against a scripted module on a real pseudo-terminal.
#include <gtest/gtest.h>

#include <time.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "board.hpp"
#include "engine/reply_tables.hpp"
#include "engine/request.hpp"
#include "link/frame.hpp"
#include "link/library_state.hpp"
#include "link/port.hpp"
#include "link/protocol.hpp"
#include "link/receive_side.hpp"
#include "module_peer.hpp"
#include "patient_frames.hpp"
#include "platform/platform.hpp"
#include "start.hpp"
#include "test_wait.hpp"
#include "vexan.h"

namespace {

namespace vt = vexan::test;
namespace faults = vexan::platform::testing;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using vexan::CodeOf;
using vexan::Command;
using vexan::test::Concat;
using vexan::test::WaitFor;

Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t to)
{
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.begin() + static_cast<std::ptrdiff_t>(to));
}

Bytes Slice(const Bytes& bytes, std::size_t from)
{
    return Slice(bytes, from, bytes.size());
}

// Command bytes from the protocol table.
constexpr uint8_t kFirmwareCommand = CodeOf(Command::FirmwareVersion);
constexpr uint8_t kStopCommand = CodeOf(Command::StopMaster);
constexpr uint8_t kSdoReadCommand = CodeOf(Command::SdoRead);
constexpr uint8_t kPdoLastDataCommand = CodeOf(Command::GetPdoLastData);
constexpr uint8_t kEventPollCommand = CodeOf(Command::EventPoll);

// ---- Frame scanner -------------------------------------------------------------------

// Sample frames, built by the peer's own builders rather than the library's.
const Bytes kNodeReply = vt::NodeData(kFirmwareCommand, 1, {0x34, 0x12});  // ':' 05 05 01 00 34 12
const Bytes kPdoReply =
    vt::PdoData(kPdoLastDataCommand, 0x0181, {0x3A, 0x01, 0x3A, 0x02});  // holds ':' bytes in its payload
const Bytes kEmptyFrame{0x3A, 0x00};

// Runs the reads through one scanner and returns every frame it handed on,
// rebuilt as ':' length bytes, so that it compares with the frames as sent.
struct ScanOutcome {
    std::vector<Bytes> frames;
    uint16_t carry = 0;
};

ScanOutcome ScanReads(const std::vector<Bytes>& reads)
{
    vexan::FrameScanner scanner;
    ScanOutcome outcome;
    const auto sink = [&](uint8_t length, std::span<const uint8_t> frame) {
        EXPECT_EQ(frame.size(), length) << "the sink must get exactly the length byte's count";
        Bytes whole{0x3A, length};
        whole.insert(whole.end(), frame.begin(), frame.end());
        outcome.frames.push_back(whole);
    };
    for (const auto& read : reads) {
        scanner.Scan(read, sink);
    }
    outcome.carry = scanner.CarryCount();
    return outcome;
}

struct ScanCase {
    std::string name;
    std::vector<Bytes> reads;
    std::vector<Bytes> frames;
    uint16_t carryAfter;
};

constexpr std::size_t kScanCaseCount = 14;
const Bytes kLongFrame = vt::Frame(kSdoReadCommand, Bytes(254, 0x3A));  // longest frame: length byte 255, all ':'

const std::array<ScanCase, kScanCaseCount> kScanCases{{
    {"TwoFramesInOneRead", {Concat({kNodeReply, kPdoReply})}, {kNodeReply, kPdoReply}, 0},
    {"ReadEndsWithStartByte", {Concat({kNodeReply, {0x3A}}), Slice(kPdoReply, 1)}, {kNodeReply, kPdoReply}, 0},
    {"LoneStartThenLengthByteAlone", {{0x3A}, Slice(kPdoReply, 1, 2), Slice(kPdoReply, 2)}, {kPdoReply}, 0},
    {"ReadEndsAfterLengthByte", {Slice(kPdoReply, 0, 2), Slice(kPdoReply, 2)}, {kPdoReply}, 0},
    {"ReadEndsMidPayload", {Slice(kPdoReply, 0, 5), Slice(kPdoReply, 5)}, {kPdoReply}, 0},
    {"PayloadOverThreeReads", {Slice(kPdoReply, 0, 3), Slice(kPdoReply, 3, 6), Slice(kPdoReply, 6)}, {kPdoReply}, 0},
    {"CompletingReadStartsNextFrame",
     {Slice(kPdoReply, 0, 4), Concat({Slice(kPdoReply, 4), Slice(kNodeReply, 0, 3)}), Slice(kNodeReply, 3)},
     {kPdoReply, kNodeReply},
     0},
    {"GarbageAndCarriageReturnsBetweenFrames",
     {Concat({{'\r', '\n', 0x00, 0xFF}, kNodeReply, {'\r'}, {0x55}, kPdoReply, {'\r', '\n'}})},
     {kNodeReply, kPdoReply},
     0},
    {"ZeroLengthFrameIsHandedOn", {Concat({kEmptyFrame, kNodeReply})}, {kEmptyFrame, kNodeReply}, 0},
    {"ZeroLengthFrameAfterLoneStart", {{0x3A}, Concat({{0x00}, kNodeReply})}, {kEmptyFrame, kNodeReply}, 0},
    {"LengthByteAloneDecidesTheEnd", {kPdoReply}, {kPdoReply}, 0},
    {"LongestFrameInPieces",
     {Slice(kLongFrame, 0, 100), Slice(kLongFrame, 100, 200), Slice(kLongFrame, 200)},
     {kLongFrame},
     0},
    {"PartialFrameStaysCarried", {Concat({kNodeReply, Slice(kPdoReply, 0, 5)})}, {kNodeReply}, 5},
    {"OnlyGarbage", {{'\r', '\n', 'x', 0x00}}, {}, 0},
}};

class FrameScannerCarry : public ::testing::TestWithParam<ScanCase> {};

TEST_P(FrameScannerCarry, HandsOnEachFrameOnceAndWhole)
{
    const ScanCase& scan = GetParam();
    const ScanOutcome outcome = ScanReads(scan.reads);
    EXPECT_EQ(outcome.frames, scan.frames);
    EXPECT_EQ(outcome.carry, scan.carryAfter);
}

INSTANTIATE_TEST_SUITE_P(Cases, FrameScannerCarry, ::testing::ValuesIn(kScanCases),
                         [](const ::testing::TestParamInfo<ScanCase>& param) { return param.param.name; });

// Every way of cutting a sample stream into two or three reads yields the same
// frames as one read.
TEST(FrameScanner, SameFramesWhereverTheStreamIsCut)
{
    const Bytes stream = Concat({{'\r'}, kNodeReply, {'\r', '\n'}, kEmptyFrame, kPdoReply, {0x00}, kNodeReply});
    const std::vector<Bytes> expected{kNodeReply, kEmptyFrame, kPdoReply, kNodeReply};
    ASSERT_EQ(ScanReads({stream}).frames, expected);
    for (std::size_t first = 1; first < stream.size(); ++first) {
        const ScanOutcome two = ScanReads({Slice(stream, 0, first), Slice(stream, first)});
        EXPECT_EQ(two.frames, expected) << "cut at " << first;
        EXPECT_EQ(two.carry, 0) << "cut at " << first;
        for (std::size_t second = first + 1; second < stream.size(); ++second) {
            const ScanOutcome three =
                ScanReads({Slice(stream, 0, first), Slice(stream, first, second), Slice(stream, second)});
            EXPECT_EQ(three.frames, expected) << "cuts at " << first << " and " << second;
        }
    }
}

TEST(FrameScanner, DroppedPartialFrameLeavesLaterBytesAsNewStream)
{
    vexan::FrameScanner scanner;
    std::vector<Bytes> frames;
    const auto sink = [&](uint8_t length, std::span<const uint8_t> frame) {
        Bytes whole{0x3A, length};
        whole.insert(whole.end(), frame.begin(), frame.end());
        frames.push_back(whole);
    };
    scanner.Scan(Slice(kPdoReply, 0, 4), sink);
    ASSERT_EQ(scanner.CarryCount(), 4);
    scanner.DropPartial();
    scanner.Scan(kNodeReply, sink);
    EXPECT_EQ(frames, std::vector<Bytes>{kNodeReply});
    EXPECT_EQ(scanner.CarryCount(), 0);
}

// ---- Byte reader ------------------------------------------------------------------------

TEST(ByteReader, ReadsLittleEndianAndFailsAtTheEnd)
{
    const Bytes bytes{0x01, 0x34, 0x12, 0x78, 0x56, 0x34, 0x12};
    vexan::ByteReader reader(bytes);
    EXPECT_EQ(reader.U8(), 0x01);
    EXPECT_EQ(reader.U16(), 0x1234);
    EXPECT_EQ(reader.U32(), 0x12345678u);
    EXPECT_TRUE(reader.Ok());
    EXPECT_EQ(reader.U8(), 0);
    EXPECT_FALSE(reader.Ok());
}

// A reader placed beyond the end of its bytes (a frame shorter than the field's
// offset) must read nothing.
TEST(ByteReader, StartedBeyondTheEndReadsNothing)
{
    const Bytes bytes{0x40};
    vexan::ByteReader reader(bytes, 3);
    EXPECT_FALSE(reader.Has(1));
    EXPECT_EQ(reader.Remaining(), 0u);
    EXPECT_EQ(reader.U8(), 0);
    EXPECT_FALSE(reader.Ok());
    vexan::ByteReader other(bytes, 2);
    EXPECT_TRUE(other.Bytes(1).empty());
    EXPECT_FALSE(other.Ok());
}

// ---- Protocol table ----------------------------------------------------------------------

// The lookup agrees with the table entry by entry, every code and name is used
// once, and no code carries the status-reply mark (a reply's command byte with
// that bit set would then be ambiguous).
TEST(ProtocolTable, CodesAndNamesAreUniqueAndFindCommandMatchesTheTable)
{
    for (std::size_t i = 0; i < vexan::kCommands.size(); ++i) {
        const vexan::CommandInfo& entry = vexan::kCommands[i];
        const unsigned code = CodeOf(entry.code);
        EXPECT_EQ(code & vexan::kStatusReplyBit, 0u) << entry.name;
        EXPECT_FALSE(entry.name.empty()) << code;
        for (std::size_t j = i + 1; j < vexan::kCommands.size(); ++j) {
            EXPECT_NE(code, CodeOf(vexan::kCommands[j].code)) << entry.name << " and " << vexan::kCommands[j].name;
            EXPECT_NE(entry.name, vexan::kCommands[j].name) << code;
        }
    }
    for (unsigned code = 0; code < 256; ++code) {
        const auto entry = std::find_if(vexan::kCommands.begin(), vexan::kCommands.end(),
                                        [code](const vexan::CommandInfo& info) { return CodeOf(info.code) == code; });
        const vexan::CommandInfo* expected = entry != vexan::kCommands.end() ? &*entry : nullptr;
        EXPECT_EQ(vexan::FindCommand(code), expected) << code;
        EXPECT_EQ(vexan::ReplyClassOf(code), expected != nullptr ? expected->reply : vexan::ReplyClass::None) << code;
    }
    // Values past a command byte name no command, also where their low byte does.
    for (const unsigned value : {256u, 256u + CodeOf(Command::FirmwareVersion), 0xFFFFFFFFu}) {
        EXPECT_EQ(vexan::FindCommand(value), nullptr) << value;
        EXPECT_EQ(vexan::ReplyClassOf(value), vexan::ReplyClass::None) << value;
    }
}

// Each class of command lies in the rows of its reply table, with a key kind
// that belongs to that table.
TEST(ProtocolTable, CommandsLieInTheRowsOfTheirReplyTable)
{
    for (const vexan::CommandInfo& entry : vexan::kCommands) {
        SCOPED_TRACE(std::string(entry.name));
        const uint8_t code = CodeOf(entry.code);
        switch (entry.reply) {
        case vexan::ReplyClass::Node:
            EXPECT_GE(code, vexan::kFirstNodeCommand);
            EXPECT_LE(code, vexan::kLastNodeCommand);
            EXPECT_TRUE(entry.key == vexan::KeyKind::MasterNodeId || entry.key == vexan::KeyKind::NodeId ||
                        entry.key == vexan::KeyKind::Zero);
            break;
        case vexan::ReplyClass::Pdo:
            EXPECT_GE(code, vexan::kFirstPdoCommand);
            EXPECT_LE(code, vexan::kLastPdoCommand);
            EXPECT_EQ(entry.key, vexan::KeyKind::CobId);
            break;
        case vexan::ReplyClass::Master:
            EXPECT_GE(code, vexan::kFirstMasterCommand);
            EXPECT_LE(code, vexan::kLastMasterRow);
            EXPECT_EQ(entry.key, vexan::KeyKind::Row);
            break;
        case vexan::ReplyClass::None:
            EXPECT_EQ(entry.key, vexan::KeyKind::None);
            break;
        }
        EXPECT_TRUE(!entry.pdoDataReply || entry.reply == vexan::ReplyClass::Pdo) << "data after a COB-ID";
    }
}

// Every command byte: a node-class command takes node ids 0..127, a PDO-class
// command COB-IDs 0..2046, a master row its one record; a command without a
// reply record and a byte outside the table take no key at all.
TEST(ProtocolTable, KeyFitsFollowsTheTable)
{
    constexpr unsigned kHighestNodeId = 127;
    constexpr unsigned kHighestCobId = 2046;
    for (unsigned code = 0; code < 256; ++code) {
        SCOPED_TRACE(code);
        switch (vexan::ReplyClassOf(code)) {
        case vexan::ReplyClass::Node:
            EXPECT_TRUE(vexan::KeyFits(code, 0));
            EXPECT_TRUE(vexan::KeyFits(code, kHighestNodeId));
            EXPECT_FALSE(vexan::KeyFits(code, kHighestNodeId + 1));
            break;
        case vexan::ReplyClass::Pdo:
            EXPECT_TRUE(vexan::KeyFits(code, 0));
            EXPECT_TRUE(vexan::KeyFits(code, kHighestCobId));
            EXPECT_FALSE(vexan::KeyFits(code, kHighestCobId + 1));
            break;
        case vexan::ReplyClass::Master:
            EXPECT_TRUE(vexan::KeyFits(code, 0));
            break;
        case vexan::ReplyClass::None:
            EXPECT_FALSE(vexan::KeyFits(code, 0));
            EXPECT_FALSE(vexan::KeyFits(code, 1));
            break;
        }
        // A wider value is never cut down to one that names a record.
        EXPECT_FALSE(vexan::KeyFits(code, 0x10000 + 5));
        EXPECT_FALSE(vexan::KeyFits(code + 0x100, 5));
    }
}

// ---- Port routines --------------------------------------------------------------------

constexpr uint8_t kPortSlot = 3;
constexpr uint8_t kUnassignedSlot = 6;

// A slot bound to the peer's line without a master or receive thread, so that
// the test alone reads and writes the port.
class PortTest : public ::testing::Test {
protected:
    void SetUp() override { vexan::AssignSlot(kPortSlot, peer_.LibraryPort()); }
    void TearDown() override
    {
        faults::FailNthRead(0);
        faults::FailNthWrite(0);
        Vexan_Start();
        vexan::ReleaseSlot(kPortSlot);
    }

    bool WaitForWaitingBytes(long count)
    {
        return WaitFor([&] { return vexan::platform::BytesWaiting(peer_.LibraryPort()) >= count; });
    }
    bool WaitForWritten(const Bytes& bytes)
    {
        return WaitFor([&] { return peer_.Written() == bytes; });
    }

    vt::ModulePeer peer_;
};

const Bytes kProbeFrame{0x3A, 0x01, kStopCommand};
const Bytes kOtherFrame = vt::Frame(kFirmwareCommand, {0x01});

TEST_F(PortTest, SendFrameWritesTheWholeFrame)
{
    EXPECT_EQ(vexan::SendFrame(kPortSlot, kOtherFrame), VEXAN_OK);
    EXPECT_TRUE(WaitForWritten(kOtherFrame));
}

TEST_F(PortTest, PausedSendAndReadTouchNeitherPortNorCount)
{
    peer_.Send(vt::Reply{kNodeReply});
    ASSERT_TRUE(WaitForWaitingBytes(static_cast<long>(kNodeReply.size())));
    // Armed faults would be used up by any port access; they must still be
    // armed after the paused calls.
    faults::FailNthWrite(1, faults::WriteFault::Fail);
    faults::FailNthRead(1);
    Vexan_Pause(0);
    std::array<uint8_t, vexan::kReadBufferSize> buffer{};
    uint16_t count = 77;
    EXPECT_EQ(vexan::SendFrame(kPortSlot, kProbeFrame), VEXAN_PAUSED);
    EXPECT_EQ(vexan::ReadPort(kPortSlot, count, buffer), VEXAN_PAUSED);
    EXPECT_EQ(count, 77);
    Vexan_Start();

    EXPECT_EQ(vexan::SendFrame(kPortSlot, kProbeFrame), VEXAN_WRITE_FAILED);
    EXPECT_EQ(vexan::ReadPort(kPortSlot, count, buffer), VEXAN_READ_FAILED);
    EXPECT_EQ(vexan::SendFrame(kPortSlot, kOtherFrame), VEXAN_OK);
    EXPECT_TRUE(WaitForWritten(kOtherFrame)) << "only the frame sent after the faults may reach the line";
}

TEST_F(PortTest, ReadPortWithNothingWaitingGives15AndCountZero)
{
    std::array<uint8_t, vexan::kReadBufferSize> buffer{};
    uint16_t count = 77;
    EXPECT_EQ(vexan::ReadPort(kPortSlot, count, buffer), VEXAN_NOTHING_TO_READ);
    EXPECT_EQ(count, 0);
}

TEST_F(PortTest, ReadPortTakesAtMostTheBufferAndLeavesTheRest)
{
    const Bytes sent = Concat({kNodeReply, kPdoReply});
    peer_.Send(vt::Reply{sent});
    ASSERT_TRUE(WaitForWaitingBytes(static_cast<long>(sent.size())));
    std::array<uint8_t, 4> small{};
    uint16_t count = 0;
    ASSERT_EQ(vexan::ReadPort(kPortSlot, count, small), VEXAN_OK);
    ASSERT_EQ(count, small.size());
    Bytes got(small.begin(), small.end());
    std::array<uint8_t, vexan::kReadBufferSize> rest{};
    ASSERT_EQ(vexan::ReadPort(kPortSlot, count, rest), VEXAN_OK);
    got.insert(got.end(), rest.begin(), rest.begin() + count);
    EXPECT_EQ(got, sent);
}

TEST_F(PortTest, ShortWriteGives38AndIsNotRepeated)
{
    faults::FailNthWrite(1, faults::WriteFault::Short);
    const Bytes frame = vt::Frame(kFirmwareCommand, {0x01, 0x02, 0x03, 0x04});
    EXPECT_EQ(vexan::SendFrame(kPortSlot, frame), VEXAN_SHORT_WRITE);
    EXPECT_EQ(vexan::SendFrame(kPortSlot, kProbeFrame), VEXAN_OK);
    // The cut frame's first part stays on the line, followed by the next frame only.
    const Bytes expected = Concat({Slice(frame, 0, frame.size() / 2), kProbeFrame});
    EXPECT_TRUE(WaitForWritten(expected));
}

TEST_F(PortTest, FailedWriteGives39AndWritesNothing)
{
    faults::FailNthWrite(1, faults::WriteFault::Fail);
    EXPECT_EQ(vexan::SendFrame(kPortSlot, kOtherFrame), VEXAN_WRITE_FAILED);
    EXPECT_EQ(vexan::SendFrame(kPortSlot, kProbeFrame), VEXAN_OK);
    EXPECT_TRUE(WaitForWritten(kProbeFrame));
}

TEST_F(PortTest, SlotWithoutPortGives2)
{
    std::array<uint8_t, vexan::kReadBufferSize> buffer{};
    uint16_t count = 0;
    for (const uint8_t slot : {kUnassignedSlot, uint8_t{8}, uint8_t{255}}) {
        EXPECT_EQ(vexan::SendFrame(slot, kProbeFrame), VEXAN_NO_PORT_HANDLE) << int{slot};
        EXPECT_EQ(vexan::ReadPort(slot, count, buffer), VEXAN_NO_PORT_HANDLE) << int{slot};
    }
}

// ---- Identification -------------------------------------------------------------------

struct IdentifyCase {
    std::string name;
    vt::IdentMode mode;
    unsigned delayOrGapMs;
    std::size_t splitAt;
    uint16_t expected;
};

constexpr std::size_t kIdentifyCaseCount = 8;
const std::array<IdentifyCase, kIdentifyCaseCount> kIdentifyCases{{
    {"Correct", vt::IdentMode::Correct, 0, 0, VEXAN_OK},
    {"CorrectWithCarriageReturn", vt::IdentMode::CorrectWithCR, 0, 0, VEXAN_OK},
    // A reply split over reads is gathered and accepted.
    {"SplitAfterFourBytes", vt::IdentMode::Split, 15, 4, VEXAN_OK},
    {"SplitAfterFirstByte", vt::IdentMode::Split, 15, 1, VEXAN_OK},
    {"SplitBeforeLastByte", vt::IdentMode::Split, 15, 8, VEXAN_OK},
    // Far beyond the handshake's 10 + 11 x 5 ms, also on a loaded machine.
    {"LateBeyondTheAttempts", vt::IdentMode::Late, 600, 0, VEXAN_READ_FAILED},
    {"Wrong", vt::IdentMode::Wrong, 0, 0, VEXAN_READ_FAILED},
    {"Silent", vt::IdentMode::Silent, 0, 0, VEXAN_READ_FAILED},
}};

class IdentifyModuleReplies : public PortTest, public ::testing::WithParamInterface<IdentifyCase> {};

// A busy machine can hold the peer's thread, or the line, back past the
// window: an answer meant to come in time is then tried again when it turned
// up on the port afterwards (the library refused nothing it saw), a few times
// at most. An answer meant to come late proves nothing when the library's own
// wait lasted longer than the peer's delay, and is tried again too.
TEST_P(IdentifyModuleReplies, ResultFollowsTheReply)
{
    constexpr int kTries = 5;
    const IdentifyCase& ident = GetParam();
    peer_.SetIdentMode(ident.mode, ident.delayOrGapMs, ident.splitAt);
    uint16_t result = 0;
    for (int attempt = 1; attempt <= kTries; ++attempt) {
        const auto began = Clock::now();
        result = vexan::IdentifyModule(kPortSlot);
        const long took = vt::MsSince(began);
        const bool late = ident.expected == VEXAN_OK && result != VEXAN_OK && vt::AnswerCameLate(peer_.LibraryPort());
        const bool outwaited =
            ident.mode == vt::IdentMode::Late && result == VEXAN_OK && took >= static_cast<long>(ident.delayOrGapMs);
        if (!late && !outwaited) {
            break;
        }
        std::fprintf(stderr, "[ identify ] try %d: %s after %ld ms\n", attempt,
                     late ? "the answer came after the window" : "the window outlasted the late answer", took);
    }
    EXPECT_EQ(result, ident.expected);
    peer_.WaitUntil([](const std::vector<vt::WrittenFrame>& frames) { return !frames.empty(); });
    const auto frames = peer_.Frames();
    ASSERT_FALSE(frames.empty());
    EXPECT_TRUE(frames.front().isIdentification);
    EXPECT_EQ(frames.front().raw, (Bytes{'$', '0', '0', 'M', 0x00}));
}

INSTANTIATE_TEST_SUITE_P(Cases, IdentifyModuleReplies, ::testing::ValuesIn(kIdentifyCases),
                         [](const ::testing::TestParamInfo<IdentifyCase>& param) { return param.param.name; });

TEST_F(PortTest, IdentifyModuleReportsASendFailure)
{
    faults::FailNthWrite(1, faults::WriteFault::Fail);
    EXPECT_EQ(vexan::IdentifyModule(kPortSlot), VEXAN_WRITE_FAILED);
    Vexan_Pause(0);
    EXPECT_EQ(vexan::IdentifyModule(kPortSlot), VEXAN_PAUSED);
}

TEST(IdentifyThroughInitMaster, SplitReplyOpensTheBoard)
{
    constexpr uint8_t kSlot = 2;
    vt::ModulePeer peer;
    peer.SetIdentMode(vt::IdentMode::Split, 15, 3);
    EXPECT_EQ(vt::StartMaster(kSlot, peer.LibraryPort(), 1), VEXAN_OK);
    EXPECT_EQ(Vexan_ShutdownMaster(kSlot), VEXAN_OK);
}

// ---- Transmit gate --------------------------------------------------------------------

TEST_F(PortTest, UntimedPauseHoldsUntilStartWhateverTheTime)
{
    Vexan_Pause(0);
    EXPECT_EQ(vexan::SendFrame(kPortSlot, kProbeFrame), VEXAN_PAUSED);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    faults::SetTickCount(vexan::platform::TickCount() + 100'000'000u);
    EXPECT_EQ(vexan::SendFrame(kPortSlot, kProbeFrame), VEXAN_PAUSED);
    Vexan_Start();
    EXPECT_EQ(vexan::SendFrame(kPortSlot, kProbeFrame), VEXAN_OK);
    EXPECT_TRUE(WaitForWritten(kProbeFrame));
}

TEST_F(PortTest, StartEndsATimedPauseAtOnce)
{
    Vexan_Pause(100'000);
    EXPECT_EQ(vexan::SendFrame(kPortSlot, kProbeFrame), VEXAN_PAUSED);
    Vexan_Start();
    EXPECT_EQ(vexan::SendFrame(kPortSlot, kProbeFrame), VEXAN_OK);
}

// No board is open, so no receive thread checks the pause: the refusing gate
// itself must end it once its length has passed.
TEST_F(PortTest, TimedPauseEndsAfterItsLengthWithNoBoardOpen)
{
    constexpr uint32_t kLengthMs = 300;
    const auto began = Clock::now();
    Vexan_Pause(kLengthMs);
    EXPECT_EQ(vexan::SendFrame(kPortSlot, kProbeFrame), VEXAN_PAUSED);
    ASSERT_TRUE(WaitFor([&] { return vexan::SendFrame(kPortSlot, kProbeFrame) != VEXAN_PAUSED; }));
    EXPECT_GE(Clock::now() - began, std::chrono::milliseconds(kLengthMs - 10));
}

// Timed pauses driven by the tick counter: still closed well before the end,
// open once the length has passed, wherever the pause lies against the 32-bit
// wrap and however late the gate is next asked. The counter keeps running
// between setting it and the pause taking its start (milliseconds on a slow,
// instrumented build), so "still closed" is probed some way into the pause,
// never at its very start, where the set counter could lie behind the start.
struct TimedPauseCase {
    std::string name;
    uint32_t startTick;
    uint32_t lengthMs;
    uint32_t closedAtMs;  // offset from the start at which traffic is still refused
    uint32_t openAtMs;    // offset at which it passes again
};

constexpr std::size_t kTimedPauseCaseCount = 6;
const std::array<TimedPauseCase, kTimedPauseCaseCount> kTimedPauseCases{{
    {"MidRange", 1'000'000u, 5000, 4000, 5100},
    {"AcrossTheWrap", 0xFFFFFFFFu - 2000u, 5000, 4000, 5100},
    {"EndingInTheLastSecondBeforeTheWrap", 0xFFFFFFFFu - 6000u, 5000, 4000, 5100},
    {"EndingRightAtTheWrap", 0xFFFFFFFFu - 5000u, 5000, 4000, 5100},
    {"AskedLongAfterItsEnd", 1'000'000u, 500, 50, 60'000},
    {"AskedLongAfterItsEndAcrossTheWrap", 0xFFFFFFF0u, 100, 50, 60'000},
}};

class TimedPause : public PortTest, public ::testing::WithParamInterface<TimedPauseCase> {};

TEST_P(TimedPause, EndsAfterItsLengthNeverLater)
{
    const TimedPauseCase& pause = GetParam();
    faults::SetTickCount(pause.startTick);
    Vexan_Pause(pause.lengthMs);
    faults::SetTickCount(pause.startTick + pause.closedAtMs);
    EXPECT_EQ(vexan::SendFrame(kPortSlot, kProbeFrame), VEXAN_PAUSED);
    faults::SetTickCount(pause.startTick + pause.openAtMs);
    EXPECT_EQ(vexan::SendFrame(kPortSlot, kProbeFrame), VEXAN_OK);
    EXPECT_TRUE(WaitForWritten(kProbeFrame));
}

INSTANTIATE_TEST_SUITE_P(Cases, TimedPause, ::testing::ValuesIn(kTimedPauseCases),
                         [](const ::testing::TestParamInfo<TimedPauseCase>& param) { return param.param.name; });

TEST_F(PortTest, TimedPauseAcrossTheRealWrapEndsAfterItsLength)
{
    constexpr uint32_t kLengthMs = 400;
    faults::SetTickCount(0xFFFFFFFFu - 150u);
    const auto began = Clock::now();
    Vexan_Pause(kLengthMs);
    EXPECT_EQ(vexan::SendFrame(kPortSlot, kProbeFrame), VEXAN_PAUSED);
    ASSERT_TRUE(WaitFor([&] { return vexan::SendFrame(kPortSlot, kProbeFrame) != VEXAN_PAUSED; }))
        << "the pause must not outlast the wrap";
    EXPECT_GE(Clock::now() - began, std::chrono::milliseconds(kLengthMs - 10));
}

TEST_F(PortTest, NewPauseRestartsTheTimedPause)
{
    constexpr uint32_t kStart = 2'000'000u;
    faults::SetTickCount(kStart);
    Vexan_Pause(5000);
    faults::SetTickCount(kStart + 3000);
    Vexan_Pause(5000);
    faults::SetTickCount(kStart + 6000);
    EXPECT_EQ(vexan::SendFrame(kPortSlot, kProbeFrame), VEXAN_PAUSED);
    faults::SetTickCount(kStart + 8100);
    EXPECT_EQ(vexan::SendFrame(kPortSlot, kProbeFrame), VEXAN_OK);
}

// ---- Through a real board -------------------------------------------------------------

constexpr uint8_t kBoardSlot = 0;
constexpr uint8_t kMasterId = 1;

class LinkBoardTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(vt::OpenBoard(kBoardSlot, peer_, kMasterId)); }
    void TearDown() override
    {
        faults::ReleaseTickCount();
        Vexan_Start();
        vt::CloseBoard(kBoardSlot);
    }

    vt::ModulePeer peer_;
};

// A partial frame followed by silence is forgotten: had it been kept, the next
// reply's first bytes would complete it as a status reply with status 5.
TEST_F(LinkBoardTest, PartialFrameThenSilenceIsDroppedAndLaterBytesStartAfresh)
{
    vexan::FrameWriter frame(Command::FirmwareVersion);
    vexan::Reply reply;
    peer_.Queue(kFirmwareCommand, kMasterId, vt::Reply{{}, {}, 5, 0, {}, true});
    ASSERT_EQ(vexan::RunRequest(kBoardSlot, vexan::Request(frame, kMasterId, false), reply), VEXAN_SENT);

    const auto statusReply = static_cast<uint8_t>(kFirmwareCommand | vexan::kStatusReplyBit);
    peer_.Send(vt::Reply{{0x3A, 0x04, statusReply, kMasterId}});
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // silence: far more than ten passes
    peer_.Send(vt::Reply{kNodeReply});

    uint16_t result = VEXAN_WAITING;
    ASSERT_TRUE(WaitFor([&] {
        result = vexan::RunRequest(kBoardSlot, vexan::Request(frame, kMasterId, false), reply);
        return result != VEXAN_WAITING;
    }));
    EXPECT_EQ(result, VEXAN_OK);
    EXPECT_EQ(Bytes(reply.Bytes().begin(), reply.Bytes().end()), (Bytes{0x34, 0x12}));
}

// Reads that find nothing come as often as the board's threads are woken, many
// of them within one millisecond: they must not count as the ten passes of
// silence that give up a half-received frame. The test reads the line itself,
// on a tick that stands still, between the two halves of the reply.
TEST_F(LinkBoardTest, ManyEmptyReadsWithinAMillisecondKeepAHalfReceivedFrame)
{
    vexan::FrameWriter frame(Command::FirmwareVersion);
    vexan::Reply reply;
    peer_.Queue(kFirmwareCommand, kMasterId, vt::Reply{{}, {}, 5, 0, {}, true});
    ASSERT_EQ(vexan::RunRequest(kBoardSlot, vexan::Request(frame, kMasterId, false), reply), VEXAN_SENT);
    ASSERT_TRUE(
        peer_.WaitUntil([&](const auto&) { return peer_.CountResultRequests(kFirmwareCommand, kMasterId) != 0; }));

    const Bytes answer = vt::NodeData(kFirmwareCommand, kMasterId, {0x03, 0x02, 0x01});
    // A read ends as soon as bytes come: the limit matters only on a stalled machine.
    constexpr auto kReadWaitMs = static_cast<uint32_t>(std::chrono::milliseconds(vt::kWaitLimit).count());
    {
        auto turn = vexan::ReceiveSideOf(kBoardSlot).TakeReader();
        // The clock stands still from here: every read below happens "within one
        // millisecond". It is held only once this test has the reader role, so
        // no read has been timed later than the held tick.
        faults::HoldTickCount(vexan::platform::TickCount());
        peer_.Send(vt::Reply{Slice(answer, 0, 4)});
        turn.Read(kReadWaitMs);  // the first half
        for (uint32_t i = 0; i < 3 * vexan::kPartialFrameDropMs; ++i) {
            turn.Read(0);
        }
        peer_.Send(vt::Reply{Slice(answer, 4)});
        turn.Read(kReadWaitMs);  // the second half
        faults::ReleaseTickCount();
    }
    // (Should the line have handed over the second half in two reads, the
    // receive thread reads the rest.)
    const auto collected = vt::RepeatWhileWaiting(
        [&] { return vexan::RunRequest(kBoardSlot, vexan::Request(frame, kMasterId, false), reply); });
    EXPECT_EQ(collected.first, VEXAN_OK);
    EXPECT_EQ(Bytes(reply.Bytes().begin(), reply.Bytes().end()), (Bytes{0x03, 0x02, 0x01}));
}

TEST_F(LinkBoardTest, ReplyInPiecesAfterGarbageIsAssembled)
{
    const vexan::test::PatientFrames patient;
    const Bytes answer = vt::NodeData(kFirmwareCommand, kMasterId, {0x03, 0x02, 0x01});
    peer_.Queue(kFirmwareCommand, kMasterId, vt::Reply{answer, {1, 2, 5}, 3, 0, {'\r', '\n', 0x00}});
    vexan::FrameWriter frame(Command::FirmwareVersion);
    vexan::Reply reply;
    EXPECT_EQ(vexan::RunRequest(kBoardSlot, vexan::Request(frame, kMasterId, true), reply), VEXAN_OK);
    EXPECT_EQ(Bytes(reply.Bytes().begin(), reply.Bytes().end()), (Bytes{0x03, 0x02, 0x01}));
}

// ---- A hung-up line --------------------------------------------------------------------

// Seconds of CPU time the whole process has used.
double ProcessCpuSeconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// CPU seconds per wall second while `wait` runs.
double CpuShareDuring(const std::function<void()>& wait)
{
    const double cpuBefore = ProcessCpuSeconds();
    const auto wallBefore = Clock::now();
    wait();
    const double wall = std::chrono::duration<double>(Clock::now() - wallBefore).count();
    return (ProcessCpuSeconds() - cpuBefore) / wall;
}

// Far below one busy core, far above what a thread that rests between its steps uses.
constexpr double kMostCpuShare = 0.25;

// A board whose peer closes its end of the line: the port then polls ready at
// once and every read fails.
class HungUpLineTest : public LinkBoardTest {
protected:
    void TearDown() override
    {
        LinkBoardTest::TearDown();
        // The stop frame cannot reach a closed line: forget what the board left.
        vexan::StopReceiveThread(kBoardSlot);
        vexan::Replies().ReleaseAll(kBoardSlot);
        vexan::Link().boards[kBoardSlot].openFlag.store(vexan::kBoardClosed);
        vexan::Link().boards[kBoardSlot].functionTimeout.store(vexan::kDefaultFunctionTimeout);
        vexan::ReleaseSlot(kBoardSlot);
    }
};

// The board stays open on the hung-up line with a non-blocking request
// outstanding until the caller repeats it: its receive thread rests meanwhile,
// and the repeat ends the request with the port's failure.
TEST_F(HungUpLineTest, OutstandingRecordOnAHungUpLineDoesNotSpinACore)
{
    Vexan_SetFunctionTimeout(kBoardSlot, 20'000);  // stays outstanding through the measurement
    peer_.Queue(kFirmwareCommand, kMasterId, vt::Reply{{}, {}, 5, 0, {}, true});
    uint16_t version = 0;
    ASSERT_EQ(Vexan_GetFirmwareVersion(kBoardSlot, &version, 0), VEXAN_SENT);
    ASSERT_TRUE(
        peer_.WaitUntil([&](const auto&) { return peer_.CountResultRequests(kFirmwareCommand, kMasterId) != 0; }));

    peer_.Close();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const double share = CpuShareDuring([] { std::this_thread::sleep_for(std::chrono::seconds(1)); });
    EXPECT_LT(share, kMostCpuShare) << "CPU seconds per wall second on a hung-up line";
    EXPECT_EQ(Vexan_GetFirmwareVersion(kBoardSlot, &version, 0), VEXAN_READ_FAILED);
    EXPECT_FALSE(vexan::IsPending(kBoardSlot, kFirmwareCommand, kMasterId));
}

// A blocking call does not wait out its time-out on a line that went away.
TEST_F(HungUpLineTest, BlockingRequestOnAHungUpLineEndsWithTheReadFailure)
{
    constexpr uint32_t kTimeoutMs = 60'000;
    Vexan_SetFunctionTimeout(kBoardSlot, kTimeoutMs);
    peer_.Queue(kFirmwareCommand, kMasterId, vt::Reply{{}, {}, 5, 0, {}, true});
    uint16_t result = 0;
    std::thread caller([&] {
        uint16_t version = 0;
        result = Vexan_GetFirmwareVersion(kBoardSlot, &version, 1);
    });
    const bool asked =
        peer_.WaitUntil([&](const auto&) { return peer_.CountResultRequests(kFirmwareCommand, kMasterId) != 0; });
    const auto closed = Clock::now();
    peer_.Close();
    caller.join();
    const auto waited = Clock::now() - closed;
    ASSERT_TRUE(asked);
    EXPECT_EQ(result, VEXAN_READ_FAILED);
    // About 100 ms on a quiet machine; half the time-out leaves a loaded one room.
    EXPECT_LT(waited, std::chrono::milliseconds(kTimeoutMs / 2));
}

// ---- Identification after other bytes ---------------------------------------------------

// The module's answer to an earlier request (an event poll, say) can land on the
// line right before its identification answer, in the same read.
struct BytesBeforeIdentCase {
    std::string name;
    Bytes before;
};

const std::array<BytesBeforeIdentCase, 3> kBytesBeforeIdentCases{{
    {"WholeEventReply", {0x3A, 0x04, kEventPollCommand, 0x00, 0x00, 0x00}},
    {"LateStatusReply", vt::NodeStatus(kFirmwareCommand, 1, 0)},
    {"StrayBytes", {'\r', '\n', 0x00, 0xFF, 0x3A}},
}};

void PrintTo(const BytesBeforeIdentCase& c, std::ostream* out)
{
    *out << c.name;
}

class IdentifyAfterOtherBytes : public PortTest, public ::testing::WithParamInterface<BytesBeforeIdentCase> {};

// Answered as soon as the request is seen: well inside the handshake's
// attempts, unless a busy machine holds the test's thread or the line back
// past them; the answer then turns up on the port afterwards, and the
// identification is tried again, a few times at most.
TEST_P(IdentifyAfterOtherBytes, AnswerIsFoundBehindThem)
{
    constexpr int kTries = 5;
    const Bytes answer(vt::kIdentAnswer.begin(), vt::kIdentAnswer.end());
    peer_.SetIdentMode(vt::IdentMode::Silent);
    uint16_t result = 0xFFFF;
    for (int attempt = 1; attempt <= kTries; ++attempt) {
        const std::size_t asked = attempt;
        std::thread identify([&] { result = vexan::IdentifyModule(kPortSlot); });
        const bool requested = peer_.WaitUntil([asked](const std::vector<vt::WrittenFrame>& frames) {
            return static_cast<std::size_t>(std::count_if(frames.begin(), frames.end(), [](const auto& frame) {
                       return frame.isIdentification;
                   })) >= asked;
        });
        peer_.Send(vt::Reply{Concat({GetParam().before, answer})});
        identify.join();
        ASSERT_TRUE(requested);
        if (result == VEXAN_OK || !vt::AnswerCameLate(peer_.LibraryPort())) {
            break;
        }
        std::fprintf(stderr, "[ identify ] try %d: the answer came after the window\n", attempt);
    }
    EXPECT_EQ(result, VEXAN_OK);
}

INSTANTIATE_TEST_SUITE_P(Cases, IdentifyAfterOtherBytes, ::testing::ValuesIn(kBytesBeforeIdentCases),
                         [](const ::testing::TestParamInfo<BytesBeforeIdentCase>& param) { return param.param.name; });

// ---- Pause against a send in flight ------------------------------------------------------

// A send that passed the open gate and waits for the transmit lock while the
// gate closes must not reach the line once the pause has returned.
TEST_F(PortTest, SendWaitingForTheLockWhenThePauseBeginsIsRefused)
{
    std::unique_lock held(vexan::Link().transmitLock);
    uint16_t sent = 0xFFFF;
    std::thread sender([&] { sent = vexan::SendFrame(kPortSlot, kOtherFrame); });
    // Ordering aid only: lets the sender pass the gate and queue for the lock.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::atomic<bool> pauseEntered{false};
    std::thread pauser([&] {
        pauseEntered = true;
        Vexan_Pause(0);
    });
    // The gate must be closed before the lock is free.
    const bool closed = WaitFor([&] { return pauseEntered.load() && !vexan::Link().gate.IsOpen(); });
    held.unlock();
    sender.join();
    pauser.join();
    ASSERT_TRUE(closed);

    EXPECT_EQ(sent, VEXAN_PAUSED);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // bytes already written reach the peer
    EXPECT_TRUE(peer_.Written().empty()) << "a frame went out after the pause returned";
    Vexan_Start();
    EXPECT_EQ(vexan::SendFrame(kPortSlot, kProbeFrame), VEXAN_OK);
    EXPECT_TRUE(WaitForWritten(kProbeFrame));
}

}  // namespace
