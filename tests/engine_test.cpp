// The request engine through a board opened on a scripted module: the call
// pattern for each command class, busy and final replies, time-outs (also
// across the 32-bit tick wrap), pauses, refused keys, how the dispatcher files
// replies, and the assembly of segmented uploads in memory and in spill files.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "board.hpp"
#include "engine/dispatch.hpp"
#include "engine/reply_tables.hpp"
#include "engine/request.hpp"
#include "file_hold.hpp"
#include "frames.hpp"
#include "link/frame.hpp"
#include "link/library_state.hpp"
#include "link/protocol.hpp"
#include "module_peer.hpp"
#include "platform/platform.hpp"
#include "scratch.hpp"
#include "test_wait.hpp"
#include "uploads.hpp"
#include "vexan.h"

namespace {

namespace vt = vexan::test;
namespace faults = vexan::platform::testing;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using vexan::CodeOf;
using vexan::Command;
using vexan::test::kGenerousTimeoutMs;
using vexan::test::PdoResultRequest;
using vexan::test::ResultRequest;
using vexan::test::WaitFor;

constexpr uint8_t kSlot = 0;
constexpr uint8_t kBoard = 0;
constexpr uint8_t kMasterId = 1;
constexpr uint32_t kShortTimeoutMs = 300;
constexpr uint32_t kNeutralTick = 0x10000000u;

// Command bytes the tests send, script and look up, from the protocol table.
constexpr uint8_t kFirmware = CodeOf(Command::FirmwareVersion);
constexpr uint8_t kGetMode = CodeOf(Command::GetMasterMode);
constexpr uint8_t kSdoRead = CodeOf(Command::SdoRead);
constexpr uint8_t kSdoWrite = CodeOf(Command::SdoWrite);
constexpr uint8_t kNextSegment = CodeOf(Command::NextUploadSegment);
constexpr uint8_t kPdoWrite = CodeOf(Command::PdoWrite);
constexpr uint8_t kChangePdoId = CodeOf(Command::ChangePdoId);
constexpr uint8_t kPdoLastData = CodeOf(Command::GetPdoLastData);
constexpr uint8_t kPdoInhibitTime = CodeOf(Command::PdoInhibitTime);
constexpr uint8_t kMasterSdo = CodeOf(Command::ResponseMasterSdo);
constexpr uint8_t kMasterPdo = CodeOf(Command::ResponseMasterPdo);
constexpr uint8_t kResultRequestCode = CodeOf(Command::ResultRequest);

// A reply's command byte with the status-reply mark set.
constexpr uint8_t StatusReplyCode(uint8_t command)
{
    return static_cast<uint8_t>(command | vexan::kStatusReplyBit);
}

Bytes BytesOf(const vexan::Reply& reply)
{
    const auto bytes = reply.Bytes();
    return Bytes(bytes.begin(), bytes.end());
}

vt::Reply Never()
{
    vt::Reply reply;
    reply.never = true;
    return reply;
}

// A board opened on slot 0 with a generous time-out; every test leaves it shut.
class BoardTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(vt::OpenBoard(kSlot, peer_, kMasterId));
        peer_.ClearRecord();
    }
    void TearDown() override
    {
        faults::FailNthRead(0);
        faults::FailNthWrite(0);
        faults::SetTickCount(kNeutralTick);
        Vexan_Start();
        vt::CloseBoard(kSlot);
    }

    uint16_t Run(vexan::FrameWriter& frame, uint16_t key, bool blocking, vexan::Reply& reply)
    {
        return vexan::RunRequest(kSlot, vexan::Request(frame, key, blocking), reply);
    }

    // Repeats a non-blocking call while it answers 40; the last answer.
    uint16_t CollectWhileWaiting(vexan::FrameWriter& frame, uint16_t key, vexan::Reply& reply)
    {
        return vt::RepeatWhileWaiting([&] { return Run(frame, key, false, reply); }).first;
    }

    // The frames the library wrote, event polls left out; waits until the peer
    // has taken in at least `atLeast` of them.
    std::vector<Bytes> Wire(std::size_t atLeast = 0) const
    {
        peer_.WaitUntil(
            [&](const std::vector<vt::WrittenFrame>&) { return peer_.FramesExceptPolls().size() >= atLeast; });
        return vt::RawFrames(peer_);
    }

    static vexan::PendingReply& Record(uint8_t command, uint16_t key)
    {
        vexan::PendingReply* record = vexan::Replies().Find(kBoard, command, key);
        EXPECT_NE(record, nullptr);
        return *record;
    }

    static bool StatusIs(uint8_t command, uint16_t key, uint8_t status)
    {
        return Record(command, key).status.load() == status;
    }

    static uint32_t DataLength(uint8_t command, uint16_t key)
    {
        std::lock_guard guard(vexan::Replies().Of(kBoard).lock);
        return Record(command, key).dataLength;
    }

    // Sends an event reply with flags `marker` after whatever the peer sent
    // before and waits until it was filed: everything before it was dispatched.
    void Settle(uint8_t marker)
    {
        auto& flags = Record(CodeOf(Command::EventPoll), 0);
        {
            std::lock_guard guard(vexan::Replies().Of(kBoard).lock);
            flags.masterData = 0;
            flags.status.store(255);
        }
        peer_.Send(vt::Reply{vt::EventReply(marker, {})});
        ASSERT_TRUE(WaitFor([&] {
            std::lock_guard guard(vexan::Replies().Of(kBoard).lock);
            return flags.status.load() == VEXAN_OK && flags.masterData == marker;
        }));
    }

    vt::ModulePeer peer_;
};

// ---- Node-class requests ----------------------------------------------------------------

struct NodeCase {
    std::string name;
    Command command;
    uint8_t key;
    Bytes payload;
    Bytes replyData;
};

constexpr std::size_t kNodeCaseCount = 5;
const std::array<NodeCase, kNodeCaseCount> kNodeCases{{
    {"FirmwareVersionOfTheMaster", Command::FirmwareVersion, kMasterId, {}, {0x03, 0x02}},
    {"LowestCommandNodeZero", Command::ScanNode, 0, {0x00}, {}},
    {"ExpeditedSdoRead",
     Command::SdoRead,
     5,
     {0x05, 0x00, 0x10, 0x00},
     {0x4B, 0x00, 0x10, 0x00, 0x34, 0x12, 0x00, 0x00}},
    {"HighestCommandHighestNode", Command::DelayAndResponseTimeout, 127, {127, 0x10, 0x27}, {0xAA}},
    {"CanStatus", Command::CanStatus, kMasterId, {0x00}, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09}},
}};

class NodeRequest : public BoardTest, public ::testing::WithParamInterface<NodeCase> {};

TEST_P(NodeRequest, BlockingSendsFrameAndResultRequestAndHandsOutTheData)
{
    const NodeCase& node = GetParam();
    const uint8_t command = CodeOf(node.command);
    peer_.Queue(command, node.key, vt::Reply{vt::NodeData(command, node.key, node.replyData)});
    vexan::FrameWriter frame(node.command);
    frame.Bytes(node.payload);
    vexan::Reply reply;
    EXPECT_EQ(Run(frame, node.key, true, reply), VEXAN_OK);
    EXPECT_EQ(BytesOf(reply), node.replyData);
    EXPECT_EQ(reply.length, node.replyData.size());
    EXPECT_EQ(Wire(), (std::vector<Bytes>{vt::Frame(command, node.payload), ResultRequest(command, node.key)}));
    EXPECT_FALSE(vexan::IsPending(kBoard, command, node.key)) << "collected records are released";
}

TEST_P(NodeRequest, NonBlockingSends41ThenWaits40ThenCollects)
{
    const NodeCase& node = GetParam();
    const uint8_t command = CodeOf(node.command);
    peer_.Queue(command, node.key, Never());
    vexan::FrameWriter frame(node.command);
    frame.Bytes(node.payload);
    vexan::Reply reply;
    EXPECT_EQ(Run(frame, node.key, false, reply), VEXAN_SENT);
    EXPECT_EQ(Run(frame, node.key, false, reply), VEXAN_WAITING);
    EXPECT_EQ(Run(frame, node.key, false, reply), VEXAN_WAITING);
    peer_.Send(vt::Reply{vt::NodeData(command, node.key, node.replyData)});
    EXPECT_EQ(CollectWhileWaiting(frame, node.key, reply), VEXAN_OK);
    EXPECT_EQ(BytesOf(reply), node.replyData);
    // Repeats while waiting send nothing.
    EXPECT_EQ(Wire(2), (std::vector<Bytes>{vt::Frame(command, node.payload), ResultRequest(command, node.key)}));

    // The next call is a new request.
    peer_.Queue(command, node.key, vt::Reply{vt::NodeStatus(command, node.key, 0)});
    EXPECT_EQ(Run(frame, node.key, true, reply), VEXAN_OK);
    EXPECT_EQ(peer_.CountFrames(command), 2u);
}

INSTANTIATE_TEST_SUITE_P(Cases, NodeRequest, ::testing::ValuesIn(kNodeCases),
                         [](const ::testing::TestParamInfo<NodeCase>& param) { return param.param.name; });

TEST_F(BoardTest, NodeStatusReplyGivesTheModulesStatusWithoutData)
{
    peer_.Queue(kGetMode, kMasterId, vt::Reply{vt::NodeStatus(kGetMode, kMasterId, 0x0C)});
    vexan::FrameWriter frame(Command::GetMasterMode);
    vexan::Reply reply;
    EXPECT_EQ(Run(frame, kMasterId, true, reply), 0x0C);
    EXPECT_EQ(reply.length, 0u);
}

// ---- PDO-class and master-class requests --------------------------------------------

TEST_F(BoardTest, PdoDataReplyIsFiledUnderItsCobId)
{
    constexpr uint16_t kCobId = 0x0181;
    const Bytes data{0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    peer_.Queue(kPdoLastData, kCobId, vt::Reply{vt::PdoData(kPdoLastData, kCobId, data)});
    vexan::FrameWriter frame(Command::GetPdoLastData);
    frame.U16(kCobId);
    vexan::Reply reply;
    EXPECT_EQ(Run(frame, kCobId, true, reply), VEXAN_OK);
    EXPECT_EQ(BytesOf(reply), data);
    EXPECT_EQ(Wire(),
              (std::vector<Bytes>{{0x3A, 0x03, kPdoLastData, 0x81, 0x01}, PdoResultRequest(kPdoLastData, kCobId)}));
}

TEST_F(BoardTest, PdoStatusReplyAndHighestCobId)
{
    constexpr uint16_t kCobId = 2046;
    peer_.Queue(kPdoWrite, kCobId, vt::Reply{vt::PdoStatus(kPdoWrite, kCobId, 0x07)});
    vexan::FrameWriter frame(Command::PdoWrite);
    frame.U16(kCobId).U8(0x01);
    vexan::Reply reply;
    EXPECT_EQ(Run(frame, kCobId, true, reply), 0x07);
    EXPECT_EQ(reply.length, 0u);
    EXPECT_EQ(Wire(2).back(), (Bytes{0x3A, 0x04, kResultRequestCode, kPdoWrite, 0xFE, 0x07}));
}

TEST_F(BoardTest, MasterRowNonBlockingSends41Then40ThenItsStatus)
{
    constexpr uint8_t kCommand = kMasterSdo;
    peer_.Queue(kCommand, 0, Never());
    vexan::FrameWriter frame(kCommand);
    frame.U8(0x02);
    vexan::Reply reply;
    EXPECT_EQ(Run(frame, 0, false, reply), VEXAN_SENT);
    EXPECT_EQ(Run(frame, 0, false, reply), VEXAN_WAITING);
    EXPECT_EQ(Run(frame, 0, false, reply), VEXAN_WAITING);
    peer_.Send(vt::Reply{vt::NodeStatus(kCommand, 0, 0x09)});
    reply.data.fill(0xEE);
    EXPECT_EQ(CollectWhileWaiting(frame, 0, reply), 0x09);
    EXPECT_EQ(reply.length, 1u) << "a master row hands out its one data byte";
    EXPECT_EQ(reply.data[0], 0x00);
    EXPECT_FALSE(vexan::IsPending(kBoard, kCommand, 0));
    EXPECT_EQ(Wire(2), (std::vector<Bytes>{{0x3A, 0x02, kCommand, 0x02}, ResultRequest(kCommand, 0)}));
}

TEST_F(BoardTest, MasterRowBlocking)
{
    constexpr uint8_t kCommand = kMasterPdo;
    peer_.Queue(kCommand, 0, vt::Reply{vt::NodeStatus(kCommand, 0, 0x00)});
    vexan::FrameWriter frame(kCommand);
    vexan::Reply reply;
    EXPECT_EQ(Run(frame, 0, true, reply), VEXAN_OK);
    EXPECT_EQ(reply.length, 1u);
    EXPECT_EQ(Wire(2).back(), ResultRequest(kCommand, 0));
}

// ---- Busy replies and time-outs ------------------------------------------------------

constexpr int kBusyReplies = 3;

TEST_F(BoardTest, BusyRepliesAreReaskedUntilTheFinalReplyBlocking)
{
    for (int i = 0; i < kBusyReplies; ++i) {
        peer_.Queue(kGetMode, kMasterId, vt::Reply{vt::NodeStatus(kGetMode, kMasterId, VEXAN_WAITING)});
    }
    peer_.Queue(kGetMode, kMasterId, vt::Reply{vt::NodeData(kGetMode, kMasterId, {0x05})});
    vexan::FrameWriter frame(Command::GetMasterMode);
    vexan::Reply reply;
    EXPECT_EQ(Run(frame, kMasterId, true, reply), VEXAN_OK);
    EXPECT_EQ(BytesOf(reply), Bytes{0x05});
    std::vector<Bytes> expected{vt::Frame(kGetMode, {})};
    expected.insert(expected.end(), kBusyReplies + 1, ResultRequest(kGetMode, kMasterId));
    EXPECT_EQ(Wire(), expected);
}

TEST_F(BoardTest, BusyRepliesAreReaskedUntilTheFinalReplyNonBlocking)
{
    constexpr uint16_t kCobId = 0x0201;
    for (int i = 0; i < kBusyReplies; ++i) {
        peer_.Queue(kPdoInhibitTime, kCobId, vt::Reply{vt::PdoStatus(kPdoInhibitTime, kCobId, VEXAN_WAITING)});
    }
    peer_.Queue(kPdoInhibitTime, kCobId, vt::Reply{vt::PdoStatus(kPdoInhibitTime, kCobId, 0)});
    vexan::FrameWriter frame(Command::PdoInhibitTime);
    frame.U16(kCobId).U16(100);
    vexan::Reply reply;
    EXPECT_EQ(Run(frame, kCobId, false, reply), VEXAN_SENT);
    EXPECT_EQ(CollectWhileWaiting(frame, kCobId, reply), VEXAN_OK);
    EXPECT_EQ(peer_.CountResultRequests(kPdoInhibitTime, kCobId), static_cast<std::size_t>(kBusyReplies + 1));
    EXPECT_EQ(Wire(kBusyReplies + 2).back(), PdoResultRequest(kPdoInhibitTime, kCobId));
}

TEST_F(BoardTest, BlockingTimeOutReleasesTheRecordAndTheNextCallSendsAfresh)
{
    Vexan_SetFunctionTimeout(kSlot, kShortTimeoutMs);
    peer_.Queue(kFirmware, kMasterId, Never());
    vexan::FrameWriter frame(Command::FirmwareVersion);
    vexan::Reply reply;
    const auto began = Clock::now();
    EXPECT_EQ(Run(frame, kMasterId, true, reply), VEXAN_TIMEOUT);
    EXPECT_GE(Clock::now() - began, std::chrono::milliseconds(kShortTimeoutMs - 10));
    EXPECT_FALSE(vexan::IsPending(kBoard, kFirmware, kMasterId));

    peer_.Queue(kFirmware, kMasterId, vt::Reply{vt::NodeData(kFirmware, kMasterId, {0x01, 0x00})});
    EXPECT_EQ(Run(frame, kMasterId, true, reply), VEXAN_OK);
    EXPECT_EQ(peer_.CountFrames(kFirmware), 2u);
}

TEST_F(BoardTest, NonBlockingTimeOutAfterBusyReleasesTheRecord)
{
    Vexan_SetFunctionTimeout(kSlot, kShortTimeoutMs);
    peer_.SetDefault(kGetMode,
                     [](uint16_t key) { return vt::Reply{vt::NodeStatus(kGetMode, static_cast<uint8_t>(key), 40)}; });
    vexan::FrameWriter frame(Command::GetMasterMode);
    vexan::Reply reply;
    EXPECT_EQ(Run(frame, kMasterId, false, reply), VEXAN_SENT);
    EXPECT_EQ(CollectWhileWaiting(frame, kMasterId, reply), VEXAN_TIMEOUT);
    EXPECT_FALSE(vexan::IsPending(kBoard, kGetMode, kMasterId));
    EXPECT_GE(peer_.CountResultRequests(kGetMode, kMasterId), 2u);
}

// ---- The 32-bit tick wrap --------------------------------------------------------------

// Sent 100 ms before the wrap, answered after it: well within the time-out.
TEST_F(BoardTest, RequestSentJustBeforeTheWrapDoesNotTimeOutEarly)
{
    Vexan_SetFunctionTimeout(kSlot, 1000);
    faults::SetTickCount(0xFFFFFFFFu - 100u);
    peer_.Queue(kFirmware, kMasterId, vt::Reply{vt::NodeData(kFirmware, kMasterId, {0x03, 0x02}), {}, 5, 400});
    vexan::FrameWriter frame(Command::FirmwareVersion);
    vexan::Reply reply;
    EXPECT_EQ(Run(frame, kMasterId, true, reply), VEXAN_OK);
    EXPECT_EQ(BytesOf(reply), (Bytes{0x03, 0x02}));
}

TEST_F(BoardTest, NonBlockingRepeatRightAfterAWrappingSendKeepsWaiting)
{
    Vexan_SetFunctionTimeout(kSlot, 1000);
    faults::SetTickCount(0xFFFFFFFFu - 100u);
    peer_.Queue(kPdoLastData, 0x0181, Never());
    vexan::FrameWriter frame(Command::GetPdoLastData);
    frame.U16(0x0181);
    vexan::Reply reply;
    EXPECT_EQ(Run(frame, 0x0181, false, reply), VEXAN_SENT);
    EXPECT_EQ(Run(frame, 0x0181, false, reply), VEXAN_WAITING);
    faults::SetTickCount(0xFFFFFFFFu - 100u + 600u);  // past the wrap, 600 ms after the send
    EXPECT_EQ(Run(frame, 0x0181, false, reply), VEXAN_WAITING);
    peer_.Send(vt::Reply{vt::PdoData(kPdoLastData, 0x0181, {0x42})});
    EXPECT_EQ(CollectWhileWaiting(frame, 0x0181, reply), VEXAN_OK);
    EXPECT_EQ(BytesOf(reply), Bytes{0x42});
}

struct LateCase {
    std::string name;
    uint32_t sendTick;
    bool busyFirst;  // the module answers 40 before the test moves the clock
};

constexpr std::size_t kLateCaseCount = 3;
const std::array<LateCase, kLateCaseCount> kLateCases{{
    {"UnansweredAcrossTheWrap", 0xFFFFFFFFu - 200u, false},
    {"BusyAcrossTheWrap", 0xFFFFFFFFu - 200u, true},
    // Still before the wrap but within the time-out of it.
    {"BusyCloseBeforeTheWrap", 0xFFFFFFFFu - 2500u, true},
}};

class LateRequest : public BoardTest, public ::testing::WithParamInterface<LateCase> {};

TEST_P(LateRequest, TimesOutOnceItsTimeHasPassed)
{
    const LateCase& late = GetParam();
    Vexan_SetFunctionTimeout(kSlot, 1000);
    faults::SetTickCount(late.sendTick);
    peer_.Queue(kGetMode, kMasterId, late.busyFirst ? vt::Reply{vt::NodeStatus(kGetMode, kMasterId, 40)} : Never());
    peer_.Queue(kGetMode, kMasterId, Never());
    vexan::FrameWriter frame(Command::GetMasterMode);
    vexan::Reply reply;
    ASSERT_EQ(Run(frame, kMasterId, false, reply), VEXAN_SENT);
    if (late.busyFirst) {
        ASSERT_TRUE(WaitFor([] { return StatusIs(kGetMode, kMasterId, 40); }));
    }
    faults::SetTickCount(late.sendTick + 2000u);
    EXPECT_EQ(Run(frame, kMasterId, false, reply), VEXAN_TIMEOUT);
    EXPECT_FALSE(vexan::IsPending(kBoard, kGetMode, kMasterId));
}

INSTANTIATE_TEST_SUITE_P(Cases, LateRequest, ::testing::ValuesIn(kLateCases),
                         [](const ::testing::TestParamInfo<LateCase>& param) { return param.param.name; });

// ---- Pause -------------------------------------------------------------------------------

TEST_F(BoardTest, FreshRequestRefusedByAPauseLeavesNothingPending)
{
    vexan::FrameWriter frame(Command::FirmwareVersion);
    vexan::Reply reply;
    Vexan_Pause(0);
    EXPECT_EQ(Run(frame, kMasterId, true, reply), VEXAN_PAUSED);
    EXPECT_FALSE(vexan::IsPending(kBoard, kFirmware, kMasterId));
    Vexan_Start();
    // Nothing was sent, so nothing is collected: the repeat sends afresh.
    peer_.Queue(kFirmware, kMasterId, vt::Reply{vt::NodeStatus(kFirmware, kMasterId, 0)});
    EXPECT_EQ(Run(frame, kMasterId, false, reply), VEXAN_SENT);
    EXPECT_EQ(CollectWhileWaiting(frame, kMasterId, reply), VEXAN_OK);
    EXPECT_EQ(peer_.CountFrames(kFirmware), 1u);
}

// The module said "busy"; the re-ask is refused while paused. The record must
// stay pending and, once traffic flows again, a repeat must re-ask and collect.
TEST_F(BoardTest, PauseWhileBusyGives42AndARepeatAfterStartCollects)
{
    peer_.Queue(kGetMode, kMasterId, vt::Reply{vt::NodeStatus(kGetMode, kMasterId, 40)});
    peer_.Queue(kGetMode, kMasterId, vt::Reply{vt::NodeData(kGetMode, kMasterId, {0x04})});
    vexan::FrameWriter frame(Command::GetMasterMode);
    vexan::Reply reply;
    ASSERT_EQ(Run(frame, kMasterId, false, reply), VEXAN_SENT);
    ASSERT_TRUE(WaitFor([] { return StatusIs(kGetMode, kMasterId, 40); }));
    Vexan_Pause(0);
    EXPECT_EQ(Run(frame, kMasterId, false, reply), VEXAN_PAUSED);
    EXPECT_TRUE(vexan::IsPending(kBoard, kGetMode, kMasterId));
    Vexan_Start();
    EXPECT_EQ(CollectWhileWaiting(frame, kMasterId, reply), VEXAN_OK);
    EXPECT_EQ(BytesOf(reply), Bytes{0x04});
    EXPECT_EQ(peer_.CountResultRequests(kGetMode, kMasterId), 2u);
}

// ---- Failed result-request send -------------------------------------------------------

struct SendFaultCase {
    std::string name;
    faults::WriteFault fault;
    uint16_t expected;
};

constexpr std::size_t kSendFaultCaseCount = 2;
const std::array<SendFaultCase, kSendFaultCaseCount> kSendFaultCases{{
    {"Failed", faults::WriteFault::Fail, VEXAN_WRITE_FAILED},
    {"Short", faults::WriteFault::Short, VEXAN_SHORT_WRITE},
}};

class ResultRequestFault : public BoardTest, public ::testing::WithParamInterface<SendFaultCase> {};

// The module keeps answering "busy", so every repeat re-asks. The armed fault
// hits the next write, which is the re-ask unless an event poll slipped in
// first; then the test tries again.
TEST_P(ResultRequestFault, ReleasesTheRecord)
{
    constexpr int kTries = 50;
    peer_.SetDefault(kGetMode,
                     [](uint16_t key) { return vt::Reply{vt::NodeStatus(kGetMode, static_cast<uint8_t>(key), 40)}; });
    vexan::FrameWriter frame(Command::GetMasterMode);
    vexan::Reply reply;
    ASSERT_EQ(Run(frame, kMasterId, false, reply), VEXAN_SENT);
    uint16_t result = VEXAN_WAITING;
    for (int attempt = 0; attempt < kTries && result != GetParam().expected; ++attempt) {
        ASSERT_TRUE(WaitFor([] { return StatusIs(kGetMode, kMasterId, 40); }));
        faults::FailNthWrite(1, GetParam().fault);
        result = Run(frame, kMasterId, false, reply);
    }
    faults::FailNthWrite(0);
    ASSERT_EQ(result, GetParam().expected);
    EXPECT_FALSE(vexan::IsPending(kBoard, kGetMode, kMasterId));
    EXPECT_TRUE(StatusIs(kGetMode, kMasterId, 255));
}

INSTANTIATE_TEST_SUITE_P(Cases, ResultRequestFault, ::testing::ValuesIn(kSendFaultCases),
                         [](const ::testing::TestParamInfo<SendFaultCase>& param) { return param.param.name; });

// ---- Refused keys and frames --------------------------------------------------------

TEST_F(BoardTest, KeysOutsideTheTablesAndOverflowingFramesAreRefusedBeforeAnythingIsSent)
{
    vexan::Reply reply;
    // Node-keyed commands take the key given; the master's own queries and
    // those of no node take theirs from the board, so they always fit.
    vexan::FrameWriter node(Command::SdoRead);
    EXPECT_EQ(Run(node, 128, true, reply), VEXAN_OUT_OF_RANGE);
    vexan::FrameWriter nodeMax(Command::SdoRead);
    EXPECT_EQ(Run(nodeMax, 255, false, reply), VEXAN_OUT_OF_RANGE);
    vexan::FrameWriter pdo(Command::GetPdoLastData);
    pdo.U16(2047);
    EXPECT_EQ(Run(pdo, 2047, true, reply), VEXAN_OUT_OF_RANGE);
    vexan::FrameWriter pdoMax(Command::GetPdoLastData);
    pdoMax.U16(0xFFFF);
    EXPECT_EQ(Run(pdoMax, 0xFFFF, false, reply), VEXAN_OUT_OF_RANGE);
    // Bytes in or next to the reply tables' row ranges that no command of the
    // table uses, and the boot-up message, which is sent without a record.
    constexpr std::array<uint8_t, 7> kWithoutRecord{1, 4, 33, 43, 59, 67, CodeOf(Command::MasterBootup)};
    for (const uint8_t noRecord : kWithoutRecord) {
        vexan::FrameWriter unknown(noRecord);
        EXPECT_EQ(Run(unknown, 0, false, reply), VEXAN_OUT_OF_RANGE) << int{noRecord};
    }
    vexan::FrameWriter overflowing(Command::SdoWrite);
    overflowing.Bytes(Bytes(300, 0x55));
    EXPECT_EQ(Run(overflowing, 5, true, reply), VEXAN_OUT_OF_RANGE);
    EXPECT_FALSE(vexan::IsPending(kBoard, kSdoWrite, 5)) << "a refused frame marks no record";

    // A request after them is the first thing on the wire.
    peer_.Queue(kFirmware, kMasterId, vt::Reply{vt::NodeStatus(kFirmware, kMasterId, 0)});
    vexan::FrameWriter good(Command::FirmwareVersion);
    EXPECT_EQ(Run(good, kMasterId, true, reply), VEXAN_OK);
    EXPECT_EQ(Wire(), (std::vector<Bytes>{vt::Frame(kFirmware, {}), ResultRequest(kFirmware, kMasterId)}));
}

// ---- Filing replies --------------------------------------------------------------------

TEST_F(BoardTest, RepliesForRecordsNotPendingAreDropped)
{
    Vexan_SetFunctionTimeout(kSlot, kShortTimeoutMs);
    vexan::FrameWriter frame(Command::FirmwareVersion);
    vexan::Reply reply;
    // Unasked replies of every kind, and one that comes after its time-out.
    peer_.Send(vt::Reply{vt::NodeData(kFirmware, kMasterId, {0xAA})});
    peer_.Send(vt::Reply{vt::NodeStatus(kFirmware, kMasterId, 0x0C)});
    peer_.Send(vt::Reply{vt::PdoData(kPdoLastData, 0x0181, {0xAA})});
    peer_.Send(vt::Reply{vt::NodeStatus(kMasterSdo, 0, 0x0C)});
    Settle(0x81);
    peer_.Queue(kFirmware, kMasterId, Never());
    EXPECT_EQ(Run(frame, kMasterId, true, reply), VEXAN_TIMEOUT);
    peer_.Send(vt::Reply{vt::NodeData(kFirmware, kMasterId, {0xBB})});
    Settle(0x80);
    for (const auto& [command, key] : std::array<std::pair<uint8_t, uint16_t>, 3>{
             {{kFirmware, kMasterId}, {kPdoLastData, 0x0181}, {kMasterSdo, 0}}}) {
        EXPECT_TRUE(StatusIs(command, key, 255)) << int{command};
        EXPECT_EQ(DataLength(command, key), 0u) << int{command};
    }

    // A new request is not answered by any of them.
    Vexan_SetFunctionTimeout(kSlot, kGenerousTimeoutMs);
    peer_.Queue(kFirmware, kMasterId, Never());
    EXPECT_EQ(Run(frame, kMasterId, false, reply), VEXAN_SENT);
    EXPECT_EQ(Run(frame, kMasterId, false, reply), VEXAN_WAITING);
    peer_.Send(vt::Reply{vt::NodeData(kFirmware, kMasterId, {0x01, 0x02})});
    EXPECT_EQ(CollectWhileWaiting(frame, kMasterId, reply), VEXAN_OK);
    EXPECT_EQ(BytesOf(reply), (Bytes{0x01, 0x02}));
}

TEST_F(BoardTest, SecondDataReplyReplacesTheFirst)
{
    vexan::FrameWriter node(Command::FirmwareVersion);
    vexan::FrameWriter pdo(Command::GetPdoLastData);
    pdo.U16(0x0181);
    vexan::Reply reply;
    peer_.Queue(kFirmware, kMasterId, Never());
    peer_.Queue(kPdoLastData, 0x0181, Never());
    ASSERT_EQ(Run(node, kMasterId, false, reply), VEXAN_SENT);
    ASSERT_EQ(Run(pdo, 0x0181, false, reply), VEXAN_SENT);
    peer_.Send(vt::Reply{vt::NodeData(kFirmware, kMasterId, {0x01, 0x02, 0x03, 0x04})});
    peer_.Send(vt::Reply{vt::NodeData(kFirmware, kMasterId, {0x09})});
    peer_.Send(vt::Reply{vt::PdoData(kPdoLastData, 0x0181, {0x01, 0x02, 0x03})});
    peer_.Send(vt::Reply{vt::PdoData(kPdoLastData, 0x0181, {0x07, 0x08})});
    Settle(0x80);
    EXPECT_EQ(Run(node, kMasterId, false, reply), VEXAN_OK);
    EXPECT_EQ(BytesOf(reply), Bytes{0x09});
    EXPECT_EQ(Run(pdo, 0x0181, false, reply), VEXAN_OK);
    EXPECT_EQ(BytesOf(reply), (Bytes{0x07, 0x08}));
}

TEST_F(BoardTest, FramesWithCommandZeroOrOutsideTheTablesChangeNothing)
{
    vexan::FrameWriter frame(Command::FirmwareVersion);
    vexan::Reply reply;
    peer_.Queue(kFirmware, kMasterId, Never());
    ASSERT_EQ(Run(frame, kMasterId, false, reply), VEXAN_SENT);
    constexpr uint8_t kNoCommand = 0;  // a command byte no entry of the table uses
    peer_.Send(vt::Reply{vt::Frame(kNoCommand, {kMasterId, 0x00, 0x01})});
    peer_.Send(vt::Reply{vt::Frame(StatusReplyCode(kNoCommand), {kMasterId, 0x00, 0x01})});
    peer_.Send(vt::Reply{vt::NodeStatus(kChangePdoId, kMasterId, 0x01)});  // length 4 outside the node commands
    peer_.Send(vt::Reply{vt::PdoStatus(kFirmware, kMasterId, 0x01)});      // long status of a node command
    peer_.Send(
        vt::Reply{vt::Frame(StatusReplyCode(kFirmware), {kMasterId})});  // status reply too short to hold a status
    peer_.Send(vt::Reply{vt::Frame(kFirmware, {})});                     // data reply without its key
    peer_.Send(vt::Reply{vt::PdoData(kPdoLastData, 2047, {0x01})});
    peer_.Send(vt::Reply{vt::Frame(kPdoLastData, {0x81})});
    Settle(0x80);
    EXPECT_EQ(Run(frame, kMasterId, false, reply), VEXAN_WAITING);
    peer_.Send(vt::Reply{vt::NodeData(kFirmware, kMasterId, {0x33})});
    EXPECT_EQ(CollectWhileWaiting(frame, kMasterId, reply), VEXAN_OK);
    EXPECT_EQ(BytesOf(reply), Bytes{0x33});
}

// ---- Segmented uploads ---------------------------------------------------------------

constexpr uint8_t kUploadNode = 5;
constexpr uint16_t kUploadIndex = 0x2000;
constexpr uint8_t kUploadSub = 0x01;
constexpr std::size_t kLargestChunk = 244;  // a frame's 254 payload bytes less the segment header
const Bytes kSegmentHeader{0x41, 0x00, 0x20, 0x01};
const std::string kSpillName = "0_5_2000_01.seg";

// Distinct bytes at every position of a long run, so that a chunk stored twice
// or out of place shows.
Bytes UploadData(std::size_t size)
{
    Bytes data(size);
    for (std::size_t i = 0; i < size; ++i) {
        data[i] = static_cast<uint8_t>(i + i / 251);
    }
    return data;
}

std::vector<Bytes> Segments(const Bytes& data, uint32_t total, std::size_t chunk)
{
    return vt::UploadSegments(kUploadNode, kUploadIndex, kUploadSub, data, total, chunk);
}

// Runs each test in a fresh directory, where the spill files go.
class UploadTest : public BoardTest {
protected:
    void SetUp() override
    {
        directory_ = vt::MakeScratchDirectory("vexan-upload");
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(directory_);
        BoardTest::SetUp();
    }
    void TearDown() override
    {
        BoardTest::TearDown();
        std::filesystem::current_path(previous_);
        std::filesystem::remove_all(directory_);
    }

    void QueueSegments(const std::vector<Bytes>& segments)
    {
        for (const auto& segment : segments) {
            peer_.Queue(kSdoRead, kUploadNode, vt::Reply{segment});
        }
    }

    uint16_t Upload(vexan::Reply& reply, bool blocking = true)
    {
        vexan::FrameWriter frame(Command::SdoRead);
        frame.U8(kUploadNode).U16(kUploadIndex).U8(kUploadSub);
        return Run(frame, kUploadNode, blocking, reply);
    }

    // The wire after the upload request: its result request, then for every
    // further segment the next-segment request directly followed by the
    // caller's result request.
    void ExpectSegmentRequestsBeforeEachReask(std::size_t segments)
    {
        std::vector<Bytes> expected{{0x3A, 0x05, kSdoRead, kUploadNode, 0x00, 0x20, kUploadSub},
                                    ResultRequest(kSdoRead, kUploadNode)};
        for (std::size_t i = 1; i < segments; ++i) {
            expected.push_back({0x3A, 0x02, kNextSegment, kUploadNode});
            expected.push_back(ResultRequest(kSdoRead, kUploadNode));
        }
        EXPECT_EQ(Wire(), expected);
    }

    std::filesystem::path directory_;
    std::filesystem::path previous_;
};

struct MemoryUploadCase {
    std::string name;
    uint32_t total;
    std::size_t chunk;
};

constexpr std::size_t kMemoryUploadCaseCount = 7;
const std::array<MemoryUploadCase, kMemoryUploadCaseCount> kMemoryUploadCases{{
    {"OneSegmentOf100", 100, kLargestChunk},
    {"Total1000InLargestSegments", 1000, kLargestChunk},
    {"Total1000InSmallSegments", 1000, 100},
    {"Total1020", 1020, kLargestChunk},
    {"Total1021", 1021, kLargestChunk},
    {"Total1022", 1022, kLargestChunk},
    {"Total1023", 1023, kLargestChunk},
}};

class MemoryUpload : public UploadTest, public ::testing::WithParamInterface<MemoryUploadCase> {};

TEST_P(MemoryUpload, IsHandedOutWholeBehindItsHeader)
{
    const MemoryUploadCase& upload = GetParam();
    const Bytes data = UploadData(upload.total);
    const auto segments = Segments(data, upload.total, upload.chunk);
    QueueSegments(segments);
    vexan::Reply reply;
    ASSERT_EQ(Upload(reply), VEXAN_OK);
    EXPECT_EQ(reply.length, 4 + upload.total);
    Bytes expected = kSegmentHeader;
    expected.insert(expected.end(), data.begin(), data.end());
    EXPECT_EQ(BytesOf(reply), expected);
    ExpectSegmentRequestsBeforeEachReask(segments.size());
    EXPECT_FALSE(std::filesystem::exists(kSpillName));
}

INSTANTIATE_TEST_SUITE_P(Cases, MemoryUpload, ::testing::ValuesIn(kMemoryUploadCases),
                         [](const ::testing::TestParamInfo<MemoryUploadCase>& param) { return param.param.name; });

struct SpillUploadCase {
    std::string name;
    uint32_t total;
    std::size_t chunk;
};

constexpr std::size_t kSpillUploadCaseCount = 3;
const std::array<SpillUploadCase, kSpillUploadCaseCount> kSpillUploadCases{{
    {"Total1024", 1024, kLargestChunk},
    {"Total5000", 5000, kLargestChunk},
    {"Total5000InSmallSegments", 5000, 97},
}};

class SpillUpload : public UploadTest, public ::testing::WithParamInterface<SpillUploadCase> {};

TEST_P(SpillUpload, GoesToItsSpillFileAndCopiesNothing)
{
    const SpillUploadCase& upload = GetParam();
    const Bytes data = UploadData(upload.total);
    const auto segments = Segments(data, upload.total, upload.chunk);
    QueueSegments(segments);
    vexan::Reply reply;
    reply.data.fill(0xEE);
    ASSERT_EQ(Upload(reply), VEXAN_OK);
    EXPECT_EQ(reply.length, upload.total);
    EXPECT_TRUE(std::all_of(reply.data.begin(), reply.data.end(), [](uint8_t b) { return b == 0xEE; }))
        << "an upload kept in a file hands out no bytes";
    EXPECT_EQ(vt::FileBytes(kSpillName), data) << "each segment stored once, in order";
    ExpectSegmentRequestsBeforeEachReask(segments.size());
}

INSTANTIATE_TEST_SUITE_P(Cases, SpillUpload, ::testing::ValuesIn(kSpillUploadCases),
                         [](const ::testing::TestParamInfo<SpillUploadCase>& param) { return param.param.name; });

TEST_F(UploadTest, NonBlockingUploadCollectsAfterItsSegments)
{
    const Bytes data = UploadData(600);
    QueueSegments(Segments(data, 600, kLargestChunk));
    vexan::Reply reply;
    ASSERT_EQ(Upload(reply, false), VEXAN_SENT);
    uint16_t result = VEXAN_WAITING;
    ASSERT_TRUE(WaitFor([&] {
        result = Upload(reply, false);
        return result != VEXAN_WAITING;
    }));
    EXPECT_EQ(result, VEXAN_OK);
    EXPECT_EQ(reply.length, 604u);
    ExpectSegmentRequestsBeforeEachReask(3);
}

struct OverrunCase {
    std::string name;
    uint32_t total;
    std::size_t delivered;
};

constexpr std::size_t kOverrunCaseCount = 3;
const std::array<OverrunCase, kOverrunCaseCount> kOverrunCases{{
    {"MemoryOneSegment", 100, 150},
    {"MemoryLastSegment", 500, 600},
    {"SpillFile", 5000, 5100},
}};

class UploadOverrun : public UploadTest, public ::testing::WithParamInterface<OverrunCase> {};

TEST_P(UploadOverrun, Gives22)
{
    const OverrunCase& overrun = GetParam();
    QueueSegments(Segments(UploadData(overrun.delivered), overrun.total, kLargestChunk));
    vexan::Reply reply;
    EXPECT_EQ(Upload(reply), VEXAN_UPLOAD_OVERRUN);
    EXPECT_FALSE(vexan::IsPending(kBoard, kSdoRead, kUploadNode));
}

INSTANTIATE_TEST_SUITE_P(Cases, UploadOverrun, ::testing::ValuesIn(kOverrunCases),
                         [](const ::testing::TestParamInfo<OverrunCase>& param) { return param.param.name; });

// Segments that cannot be filed are dropped: the record keeps waiting and the
// next proper reply is collected unharmed.
struct BadSegmentCase {
    std::string name;
    Bytes segment;
};

constexpr std::size_t kBadSegmentCaseCount = 4;
const std::array<BadSegmentCase, kBadSegmentCaseCount> kBadSegmentCases{{
    {"FirstSegmentShorterThanItsHeader", vt::Frame(kSdoRead, {kUploadNode, 0x00, 0x41, 0x00, 0x20, 0x01, 0xE8})},
    {"FurtherSegmentShorterThanItsHeader", vt::Frame(kSdoRead, {kUploadNode, 0x00, 0x00, 0x00})},
    {"FurtherSegmentWithoutAFirst", vt::UploadSegment(kUploadNode, false, kUploadIndex, kUploadSub, 100, Bytes(50, 1))},
    {"FurtherSpillSegmentWithoutAFirst",
     vt::UploadSegment(kUploadNode, false, kUploadIndex, kUploadSub, 5000, Bytes(200, 1))},
}};

class BadSegment : public UploadTest, public ::testing::WithParamInterface<BadSegmentCase> {};

TEST_P(BadSegment, IsDroppedSafely)
{
    peer_.Queue(kSdoRead, kUploadNode, vt::Reply{GetParam().segment});
    vexan::Reply reply;
    ASSERT_EQ(Upload(reply, false), VEXAN_SENT);
    Settle(0x80);
    EXPECT_EQ(Upload(reply, false), VEXAN_WAITING);
    const Bytes expedited{0x4B, 0x00, 0x20, 0x01, 0x34, 0x12, 0x00, 0x00};
    peer_.Send(vt::Reply{vt::NodeData(kSdoRead, kUploadNode, expedited)});
    uint16_t result = VEXAN_WAITING;
    ASSERT_TRUE(WaitFor([&] {
        result = Upload(reply, false);
        return result != VEXAN_WAITING;
    }));
    EXPECT_EQ(result, VEXAN_OK);
    EXPECT_EQ(BytesOf(reply), expedited);
    EXPECT_FALSE(std::filesystem::exists(kSpillName));
}

INSTANTIATE_TEST_SUITE_P(Cases, BadSegment, ::testing::ValuesIn(kBadSegmentCases),
                         [](const ::testing::TestParamInfo<BadSegmentCase>& param) { return param.param.name; });

// A status the module files in the middle of an upload ends it: a further
// segment after it is dropped (nothing stored, no next-segment request, nothing
// added to the spill file), and the caller collects the status.
struct EndedUploadCase {
    std::string name;
    uint32_t total;
    bool spilled;
};

class EndedUpload : public UploadTest, public ::testing::WithParamInterface<EndedUploadCase> {};

TEST_P(EndedUpload, DropsTheSegmentsAfterAStatus)
{
    constexpr uint8_t kModuleError = 0x05;
    const uint32_t total = GetParam().total;
    const auto segments = Segments(UploadData(total), total, kLargestChunk);
    peer_.Queue(kSdoRead, kUploadNode, vt::Reply{segments[0]});
    vexan::Reply reply;
    ASSERT_EQ(Upload(reply, false), VEXAN_SENT);
    Wire(3);  // the first segment was filed: the next one is asked for
    peer_.Send(vt::Reply{vt::NodeStatus(kSdoRead, kUploadNode, kModuleError)});
    peer_.Send(vt::Reply{segments[1]});
    Settle(0x80);
    EXPECT_EQ(Upload(reply, false), kModuleError);
    EXPECT_EQ(reply.length, 0u);
    EXPECT_FALSE(reply.keptOutside);
    EXPECT_EQ(Wire(), (std::vector<Bytes>{{0x3A, 0x05, kSdoRead, kUploadNode, 0x00, 0x20, kUploadSub},
                                          ResultRequest(kSdoRead, kUploadNode),
                                          {0x3A, 0x02, kNextSegment, kUploadNode}}));
    if (GetParam().spilled) {
        EXPECT_EQ(vt::FileBytes(kSpillName).size(), kLargestChunk) << "only the first segment's bytes";
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, EndedUpload,
                         ::testing::Values(EndedUploadCase{"InMemory", 600, false},
                                           EndedUploadCase{"InSpillFile", 5000, true}),
                         [](const auto& param) { return param.param.name; });

// Another holder of the spill file keeps it: the upload ends with 16 and the
// holder's bytes are left as they were.
TEST_F(UploadTest, SpillFileHeldElsewhereGives16)
{
    const Bytes theirs{0x01, 0x02, 0x03};
    {
        std::ofstream out(kSpillName, std::ios::binary);
        out.write(reinterpret_cast<const char*>(theirs.data()), static_cast<std::streamsize>(theirs.size()));
    }
    {
        // Read back only once let go: a holder on Windows shares the file with no one.
        const vt::ExclusiveFileHold holder(kSpillName);
        ASSERT_TRUE(holder.Held());
        QueueSegments(Segments(UploadData(2000), 2000, kLargestChunk));
        vexan::Reply reply;
        EXPECT_EQ(Upload(reply), VEXAN_NOT_STORED);
    }
    EXPECT_EQ(vt::FileBytes(kSpillName), theirs);
}

TEST_F(UploadTest, NewFirstSegmentRestartsTheSpillFile)
{
    const Bytes stale = UploadData(3000);
    {
        std::ofstream out(kSpillName, std::ios::binary);
        out.write(reinterpret_cast<const char*>(stale.data()), static_cast<std::streamsize>(stale.size()));
    }
    const Bytes data = UploadData(1500);
    QueueSegments(Segments(data, 1500, kLargestChunk));
    vexan::Reply reply;
    ASSERT_EQ(Upload(reply), VEXAN_OK);
    EXPECT_EQ(vt::FileBytes(kSpillName), data);
}

// The test hook that refuses file creates (the frames fuzzer runs with it):
// the spill file is never made, and the upload ends with 16 leaving nothing.
TEST_F(UploadTest, RefusedFileCreatesEndTheSpillingUploadAndLeaveNoFile)
{
    vexan::platform::testing::RefuseFileCreates(true);
    QueueSegments(Segments(UploadData(2000), 2000, kLargestChunk));
    vexan::Reply reply;
    const uint16_t refused = Upload(reply);
    vexan::platform::testing::RefuseFileCreates(false);
    EXPECT_EQ(refused, VEXAN_NOT_STORED);
    EXPECT_FALSE(std::filesystem::exists(kSpillName));
}

// The spill file's name lies in a directory others may write to. A link
// planted under that name is refused and neither it nor its target (or, for a
// dangling link, the file it names) is touched; the upload ends with 16.
struct PlantedLinkCase {
    const char* name;
    bool targetExists;
};

class PlantedSpillLink : public UploadTest, public ::testing::WithParamInterface<PlantedLinkCase> {};

TEST_P(PlantedSpillLink, IsLeftAloneAndItsTargetUntouched)
{
    const std::filesystem::path target = directory_ / "victim" / "precious.bin";
    std::filesystem::create_directory(target.parent_path());
    const Bytes theirs{0x0A, 0x0B, 0x0C, 0x0D};
    if (GetParam().targetExists) {
        std::ofstream out(target, std::ios::binary);
        out.write(reinterpret_cast<const char*>(theirs.data()), static_cast<std::streamsize>(theirs.size()));
    }
    std::error_code failed;
    std::filesystem::create_symlink(target, kSpillName, failed);
    if (failed) {
        GTEST_SKIP() << "no symbolic link can be made here: " << failed.message();
    }
    QueueSegments(Segments(UploadData(2000), 2000, kLargestChunk));
    vexan::Reply reply;
    EXPECT_EQ(Upload(reply), VEXAN_NOT_STORED);
    EXPECT_TRUE(std::filesystem::is_symlink(kSpillName));
    EXPECT_EQ(std::filesystem::read_symlink(kSpillName), target);
    if (GetParam().targetExists) {
        EXPECT_EQ(vt::FileBytes(target.string()), theirs);
    } else {
        EXPECT_FALSE(std::filesystem::exists(target));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, PlantedSpillLink,
                         ::testing::Values(PlantedLinkCase{"ToAnExistingFile", true},
                                           PlantedLinkCase{"Dangling", false}),
                         [](const auto& param) { return std::string(param.param.name); });

// A spill file is readable and writable by its owner only, whether the upload
// creates it or finds it there with wider permissions.
TEST_F(UploadTest, SpillFileIsOwnerOnly)
{
    namespace fs = std::filesystem;
    constexpr auto kOthers = fs::perms::group_all | fs::perms::others_all;
    const std::string widened = "0_5_2000_02.seg";
    {
        std::ofstream out(widened, std::ios::binary);
        out << "old";
    }
    fs::permissions(widened, fs::perms::owner_read | fs::perms::owner_write | kOthers);
    for (const auto& [sub, name] : {std::pair<uint8_t, std::string>{kUploadSub, kSpillName}, {0x02, widened}}) {
        SCOPED_TRACE(name);
        const Bytes data = UploadData(1500);
        QueueSegments(vt::UploadSegments(kUploadNode, kUploadIndex, sub, data, 1500, kLargestChunk));
        vexan::FrameWriter frame(Command::SdoRead);
        frame.U8(kUploadNode).U16(kUploadIndex).U8(sub);
        vexan::Reply reply;
        ASSERT_EQ(Run(frame, kUploadNode, true, reply), VEXAN_OK);
        EXPECT_EQ(vt::FileBytes(name), data);
        EXPECT_EQ(fs::status(name).permissions() & kOthers, fs::perms::none);
    }
}

// An existing spill file of another user is not written into: that user could
// read the object. The upload ends with 16 and the file keeps its bytes.
TEST_F(UploadTest, SpillFileOfAnotherUserIsRefused)
{
    const Bytes theirs{0x01, 0x02, 0x03};
    {
        std::ofstream out(kSpillName, std::ios::binary);
        out.write(reinterpret_cast<const char*>(theirs.data()), static_cast<std::streamsize>(theirs.size()));
    }
    if (!vt::GiveToAnotherUser(kSpillName)) {
        GTEST_SKIP() << "this process cannot hand a file to another user";
    }
    QueueSegments(Segments(UploadData(2000), 2000, kLargestChunk));
    vexan::Reply reply;
    EXPECT_EQ(Upload(reply), VEXAN_NOT_STORED);
    EXPECT_EQ(vt::FileBytes(kSpillName), theirs);
}

// A further segment carries the object's index again; one that names another
// object still continues the upload its first segment began, and another
// object's spill file is left alone.
TEST_F(UploadTest, FurtherSegmentNamingAnotherObjectStaysInTheFirstsFile)
{
    const std::string otherName = "0_5_2001_01.seg";
    const Bytes others = UploadData(1100);
    {
        std::ofstream out(otherName, std::ios::binary);
        out.write(reinterpret_cast<const char*>(others.data()), static_cast<std::streamsize>(others.size()));
    }
    const Bytes data = UploadData(1200);
    auto segments = Segments(data, 1200, kLargestChunk);
    const Bytes lastChunk(data.begin() + static_cast<std::ptrdiff_t>(kLargestChunk * (segments.size() - 1)),
                          data.end());
    segments.back() = vt::UploadSegment(kUploadNode, false, 0x2001, kUploadSub, 1200, lastChunk);
    QueueSegments(segments);
    vexan::Reply reply;
    EXPECT_EQ(Upload(reply), VEXAN_OK);
    EXPECT_EQ(vt::FileBytes(kSpillName), data);
    EXPECT_EQ(vt::FileBytes(otherName), others);
}

// A further segment that announces another total does not change where the
// upload ends: the first segment's total decides, in memory and in a spill file.
struct ChangedTotalCase {
    const char* name;
    uint32_t total;
    uint32_t laterTotal;  // announced by every further segment
};

class ChangedTotalTest : public UploadTest, public ::testing::WithParamInterface<ChangedTotalCase> {};

TEST_P(ChangedTotalTest, FirstSegmentsTotalDecides)
{
    const ChangedTotalCase& c = GetParam();
    const Bytes data = UploadData(c.total);
    auto segments = Segments(data, c.total, kLargestChunk);
    for (std::size_t i = 1; i < segments.size(); ++i) {
        // ':' length 16 node 0 code index(2) sub, then the total at offset 9
        for (std::size_t b = 0; b < 4; ++b) {
            segments[i][9 + b] = static_cast<uint8_t>(c.laterTotal >> (8 * b));
        }
    }
    QueueSegments(segments);
    vexan::Reply reply;
    ASSERT_EQ(Upload(reply), VEXAN_OK);
    if (c.total >= 1024) {
        EXPECT_EQ(reply.length, c.total);
        EXPECT_EQ(vt::FileBytes(kSpillName), data);
    } else {
        ASSERT_EQ(reply.length, 4 + c.total);
        EXPECT_EQ(Bytes(reply.data.begin() + 4, reply.data.begin() + 4 + c.total), data);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ChangedTotalTest,
                         ::testing::Values(ChangedTotalCase{"SpillLaterSmaller", 2000, 488},
                                           ChangedTotalCase{"SpillLaterLarger", 2000, 5000},
                                           ChangedTotalCase{"MemoryLaterSmaller", 1000, 488},
                                           ChangedTotalCase{"MemoryLaterLarger", 1000, 900000}),
                         [](const auto& param) { return std::string(param.param.name); });

// ---- Shut-down releasing a waiting call ---------------------------------------------------

// A blocking call waits on a record that the shut-down forgets: it must end with
// 35 at once instead of waiting out its whole time-out.
TEST_F(BoardTest, BlockedCallEndsWithTimeOutOnceTheShutdownReleasedItsRecord)
{
    constexpr auto kWellBeforeTheTimeOut = std::chrono::seconds(2);
    Vexan_SetFunctionTimeout(kSlot, 10'000);
    peer_.Queue(kFirmware, kMasterId, Never());
    std::atomic<bool> returned{false};
    uint16_t result = 0xFFFF;
    std::thread caller([&] {
        uint16_t version = 0;
        result = Vexan_GetFirmwareVersion(kSlot, &version, 1);
        returned = true;
    });
    const bool asked =
        peer_.WaitUntil([&](const auto&) { return peer_.CountResultRequests(kFirmware, kMasterId) != 0; });
    EXPECT_EQ(Vexan_ShutdownMaster(kSlot), VEXAN_OK);
    const bool endedSoon = WaitFor([&] { return returned.load(); }, kWellBeforeTheTimeOut);
    caller.join();
    ASSERT_TRUE(asked);
    EXPECT_TRUE(endedSoon) << "the call waited on after the shut-down released its record";
    EXPECT_EQ(result, VEXAN_TIMEOUT);
}

}  // namespace
