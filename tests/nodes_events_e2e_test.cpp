// Nodes, NMT, callbacks, event readers and answers to other masters against the
// module simulator: the library as an application uses it, over pseudo-terminals.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "board.hpp"
#include "patient_frames.hpp"
#include "test_wait.hpp"
#include "vexan.h"
#include "vexan_sim/control.hpp"
#include "vexan_sim/module.hpp"
#include "vexan_sim/simulator.hpp"

namespace {

using namespace std::chrono_literals;
using vexan::test::WaitFor;

constexpr uint8_t kNode = 5;
constexpr uint8_t kSecondNode = 7;
constexpr uint8_t kSentinel = 0xEE;
constexpr uint32_t kTimeoutMs = 10'000;

// CiA 301 NMT command specifiers and heartbeat states, as the module uses them.
constexpr uint8_t kStart = 1;
constexpr uint8_t kStop = 2;
constexpr uint8_t kEnterPreOperational = 128;
constexpr uint8_t kResetNode = 129;
constexpr uint8_t kStopped = 4;
constexpr uint8_t kOperational = 5;
constexpr uint8_t kPreOperational = 127;

// Module status codes of the simulated module.
constexpr uint16_t kNoSuchNode = 18;
constexpr uint16_t kNodeNoAnswer = 23;
constexpr uint16_t kNothingOpen = 21;

// A simulated module and a board opened on it; shut down before the line closes.
struct Board {
    explicit Board(uint8_t boardSlot) : slot(boardSlot), sim(std::make_unique<vexsim::Simulator>())
    {
        sim->Start();
        fd = sim->OpenLibraryEnd();
    }
    ~Board()
    {
        Vexan_ShutdownMaster(slot);
        vexsim::CloseLinePort(fd);
    }
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    uint16_t Open(uint8_t masterNodeId)
    {
        const uint16_t result = vexan::test::StartMaster(slot, fd, masterNodeId);
        Vexan_SetFunctionTimeout(slot, kTimeoutMs);
        return result;
    }

    uint8_t slot;
    std::unique_ptr<vexsim::Simulator> sim;
    vexsim::LinePort fd = vexsim::kNoLinePort;
};

// What the callbacks saw.
std::atomic<int> bootUpCalls{0};
std::atomic<uint16_t> bootUpResult{0xFFFF};
std::atomic<uint8_t> bootUpSlot{kSentinel};
std::atomic<uint8_t> bootUpNode{kSentinel};
std::atomic<int> emcyFirstCalls{0};
std::atomic<int> emcySecondCalls{0};
std::atomic<bool> sdoAnswered{false};
std::atomic<uint16_t> nmtErrorResult{0xFFFF};
std::atomic<uint8_t> nmtErrorSlot{kSentinel};
std::atomic<uint8_t> nmtErrorNode{kSentinel};
std::atomic<uint8_t> nmtErrorCode{kSentinel};
std::atomic<uint16_t> sdoAnswerResult{0xFFFF};

void ReadOneBootUp()
{
    uint8_t slot = kSentinel;
    uint8_t node = kSentinel;
    const uint16_t result = Vexan_GetBootUpNodeAfterAdd(&slot, &node);
    if (result == VEXAN_OK) {
        bootUpSlot = slot;
        bootUpNode = node;
        bootUpResult = result;
    }
    ++bootUpCalls;
}

void ReadOneNmtError()
{
    uint8_t slot = kSentinel;
    uint8_t node = kSentinel;
    uint8_t code = kSentinel;
    if (Vexan_GetNMTError(&slot, &node, &code) == VEXAN_OK && nmtErrorResult.load() != VEXAN_OK) {
        nmtErrorSlot = slot;
        nmtErrorNode = node;
        nmtErrorCode = code;
        nmtErrorResult = VEXAN_OK;
    }
}

void DrainEmcyFirst()
{
    ++emcyFirstCalls;
    while (Vexan_GetEMCYData(nullptr, nullptr, nullptr) != VEXAN_NOTHING_TO_READ) {
    }
}

void DrainEmcySecond()
{
    ++emcySecondCalls;
    while (Vexan_GetEMCYData(nullptr, nullptr, nullptr) != VEXAN_NOTHING_TO_READ) {
    }
}

// Answers another master's read of 0x2000/1 with the bytes 0x11 0x22.
void AnswerSdoRead()
{
    uint8_t slot = kSentinel;
    uint16_t index = 0;
    uint8_t sub = 0;
    while (Vexan_GetMasterReadSDOEvent(&slot, &index, &sub) == VEXAN_OK) {
        const uint8_t value[] = {0x11, 0x22};
        sdoAnswerResult = Vexan_ResponseMasterSDO(slot, 0, index, sub, sizeof value, value);
        sdoAnswered = true;
    }
}

void RemoveAllCallbacks(uint8_t slot)
{
    Vexan_RemoveBootUpISR(slot);
    Vexan_RemoveEMCYISR(slot);
    Vexan_RemoveNMTErrISR(slot);
    Vexan_RemoveReadSDOISR(slot);
    Vexan_RemoveWriteSDOISR(slot);
    Vexan_RemoveRxPDOISR(slot);
    Vexan_RemoveRemotePDOISR(slot);
}

class NodesEventsE2E : public ::testing::Test {
protected:
    void SetUp() override
    {
        vexan::test::ClearEventQueues();
        bootUpCalls = 0;
        bootUpResult = 0xFFFF;
        bootUpSlot = kSentinel;
        bootUpNode = kSentinel;
        emcyFirstCalls = 0;
        emcySecondCalls = 0;
        sdoAnswered = false;
        sdoAnswerResult = 0xFFFF;
        nmtErrorResult = 0xFFFF;
        nmtErrorSlot = kSentinel;
        nmtErrorNode = kSentinel;
        nmtErrorCode = kSentinel;
    }
    void TearDown() override { vexan::test::ClearEventQueues(); }
};

// Pops boot-ups until one arrives or the limit passes.
uint16_t AwaitBootUp(uint8_t& slot, uint8_t& node)
{
    uint16_t result = VEXAN_NOTHING_TO_READ;
    WaitFor([&] { return (result = Vexan_GetBootUpNodeAfterAdd(&slot, &node)) != VEXAN_NOTHING_TO_READ; });
    return result;
}

TEST_F(NodesEventsE2E, AddedNodesBootUpIsSeenThroughTheCallbackWithItsSlot)
{
    Board board(3);
    board.sim->AddDefaultNode(kNode, false, false);  // on the bus, not yet managed
    ASSERT_EQ(board.Open(0x10), VEXAN_OK);
    ASSERT_EQ(Vexan_InstallBootUpISR(board.slot, &ReadOneBootUp), VEXAN_OK);

    EXPECT_EQ(Vexan_AddNode(board.slot, kNode, 2, 0, 0, 1), VEXAN_OK);
    ASSERT_TRUE(WaitFor([] { return bootUpResult.load() == VEXAN_OK; }));
    EXPECT_EQ(bootUpSlot, board.slot);
    EXPECT_EQ(bootUpNode, kNode);
    EXPECT_EQ(Vexan_AddNode(board.slot, 9, 2, 0, 0, 1), kNoSuchNode) << "not on the bus";
    RemoveAllCallbacks(board.slot);
}

TEST_F(NodesEventsE2E, AddedNodesBootUpIsReadWithItsSlotNonBlocking)
{
    Board board(4);
    board.sim->AddDefaultNode(kNode, false, false);
    ASSERT_EQ(board.Open(0x10), VEXAN_OK);
    ASSERT_EQ(Vexan_AddNode(board.slot, kNode, 2, 0, 0, 0), VEXAN_SENT);
    EXPECT_EQ(vexan::test::RepeatWhileWaiting([&] { return Vexan_AddNode(board.slot, kNode, 2, 0, 0, 0); }).first,
              VEXAN_OK);
    uint8_t slot = kSentinel;
    uint8_t node = kSentinel;
    ASSERT_EQ(AwaitBootUp(slot, node), VEXAN_OK);
    EXPECT_EQ(slot, board.slot);
    EXPECT_EQ(node, kNode);
}

TEST_F(NodesEventsE2E, NmtStatesChangeAndReadBack)
{
    Board board(0);
    board.sim->AddDefaultNode(kNode);
    ASSERT_EQ(board.Open(1), VEXAN_OK);
    struct Step {
        uint8_t command;
        uint8_t state;
    };
    uint8_t state = kSentinel;
    ASSERT_EQ(Vexan_NMTGetState(board.slot, kNode, &state, 1), VEXAN_OK);
    EXPECT_EQ(state, kPreOperational);
    for (const Step& step :
         {Step{kStart, kOperational}, Step{kStop, kStopped}, Step{kEnterPreOperational, kPreOperational},
          Step{kStart, kOperational}, Step{kResetNode, kPreOperational}}) {
        EXPECT_EQ(Vexan_NMTChangeState(board.slot, kNode, step.command, 1), VEXAN_OK) << int{step.command};
        state = kSentinel;
        EXPECT_EQ(Vexan_NMTGetState(board.slot, kNode, &state, 1), VEXAN_OK);
        EXPECT_EQ(state, step.state) << "after " << int{step.command};
    }
    // Non-blocking query, collected by repeating it.
    ASSERT_EQ(Vexan_NMTChangeState(board.slot, kNode, kStart, 1), VEXAN_OK);
    state = kSentinel;
    ASSERT_EQ(Vexan_NMTGetState(board.slot, kNode, &state, 0), VEXAN_SENT);
    EXPECT_EQ(vexan::test::RepeatWhileWaiting([&] { return Vexan_NMTGetState(board.slot, kNode, &state, 0); }).first,
              VEXAN_OK);
    EXPECT_EQ(state, kOperational);

    // A silent node cannot tell its state; the output is left alone.
    ASSERT_TRUE(board.sim->SetNodeSilent(kNode, true));
    state = kSentinel;
    EXPECT_EQ(Vexan_NMTGetState(board.slot, kNode, &state, 1), kNodeNoAnswer);
    EXPECT_EQ(state, kSentinel);
    EXPECT_EQ(Vexan_NMTGetState(board.slot, 0x30, &state, 1), kNoSuchNode);
}

TEST_F(NodesEventsE2E, ScanListAndRemove)
{
    Board board(1);
    board.sim->AddDefaultNode(kNode);
    board.sim->AddDefaultNode(kSecondNode);
    board.sim->AddDefaultNode(9, false, false);
    ASSERT_EQ(board.Open(1), VEXAN_OK);

    std::array<uint8_t, VEXAN_NODE_REPLY_BUFFER> buffer{};
    ASSERT_EQ(Vexan_ScanNode(board.slot, 1, 127, buffer.data(), 1), VEXAN_OK);
    EXPECT_EQ((std::vector<uint8_t>(buffer.begin(), buffer.begin() + 4)),
              (std::vector<uint8_t>{3, kNode, kSecondNode, 9}));
    buffer.fill(0);
    ASSERT_EQ(Vexan_GetNodeList(board.slot, buffer.data(), 1), VEXAN_OK);
    EXPECT_EQ((std::vector<uint8_t>(buffer.begin(), buffer.begin() + 3)),
              (std::vector<uint8_t>{2, kNode, kSecondNode}));

    EXPECT_EQ(Vexan_RemoveNode(board.slot, kNode, 1), VEXAN_OK);
    EXPECT_EQ(Vexan_RemoveNode(board.slot, kNode, 1), kNoSuchNode) << "no longer listed";
    EXPECT_EQ(Vexan_RemoveAndResetNode(board.slot, kSecondNode, 1), VEXAN_OK);
    buffer.fill(0xEE);
    ASSERT_EQ(Vexan_GetNodeList(board.slot, buffer.data(), 1), VEXAN_OK);
    EXPECT_EQ(buffer[0], 0);
    uint8_t slot = kSentinel;
    uint8_t node = kSentinel;
    // The reset node announced itself again (after the boot-ups of the start-up).
    bool resetSeen = false;
    WaitFor([&] {
        while (Vexan_GetBootUpNodeAfterAdd(&slot, &node) == VEXAN_OK) {
            resetSeen = resetSeen || node == kSecondNode;
        }
        return resetSeen;
    });
    EXPECT_TRUE(resetSeen);
}

TEST_F(NodesEventsE2E, RemovingANodeEndsAStateQueryAnotherThreadWaitsOn)
{
    Board board(2);
    board.sim->AddDefaultNode(kNode);
    ASSERT_EQ(board.Open(1), VEXAN_OK);
    constexpr uint8_t kGetState = 15;
    board.sim->SetBusy(kGetState, kNode, 1'000'000);  // the module stays busy with the query
    std::atomic<bool> done{false};
    uint16_t result = 0;
    std::thread waiter([&] {
        uint8_t state = kSentinel;
        result = Vexan_NMTGetState(board.slot, kNode, &state, 1);
        done = true;
    });
    ASSERT_TRUE(board.sim->WaitForTrace("NMTGetState", vexan::test::kWaitLimit));
    EXPECT_EQ(Vexan_RemoveNode(board.slot, kNode, 1), VEXAN_OK);
    EXPECT_TRUE(WaitFor([&] { return done.load(); })) << "ended well before the 10 s time-out";
    waiter.join();
    EXPECT_EQ(result, VEXAN_TIMEOUT);
    board.sim->ClearCommandPlans();
}

TEST_F(NodesEventsE2E, GuardingHeartbeatAndTimesAreAccepted)
{
    Board board(2);
    board.sim->AddDefaultNode(kNode);
    ASSERT_EQ(board.Open(1), VEXAN_OK);
    EXPECT_EQ(Vexan_NMTHeartbeat(board.slot, kNode, 250, 600, 1), VEXAN_OK);
    const auto producer = board.sim->ReadObject(kNode, 0x1017, 0);
    ASSERT_TRUE(producer.has_value());
    EXPECT_EQ(*producer, (std::vector<uint8_t>{250, 0}));
    EXPECT_EQ(Vexan_NMTGuarding(board.slot, kNode, 100, 3, 1), VEXAN_OK);
    EXPECT_EQ(Vexan_DelayAndResponseTimeout(board.slot, kNode, 10, 500, 1), VEXAN_OK);
}

TEST_F(NodesEventsE2E, ReportedNmtErrorIsReadWithItsSlot)
{
    Board board(2);
    board.sim->AddDefaultNode(kNode);
    ASSERT_EQ(board.Open(1), VEXAN_OK);
    board.sim->InjectNmtError(kNode, 0x81);
    uint8_t slot = kSentinel;
    uint8_t node = kSentinel;
    uint8_t code = kSentinel;
    uint16_t result = VEXAN_NOTHING_TO_READ;
    ASSERT_TRUE(WaitFor([&] { return (result = Vexan_GetNMTError(&slot, &node, &code)) != VEXAN_NOTHING_TO_READ; }));
    EXPECT_EQ(result, VEXAN_OK);
    EXPECT_EQ(slot, board.slot);
    EXPECT_EQ(node, kNode);
    EXPECT_EQ(code, 0x81);
}

TEST_F(NodesEventsE2E, CallbacksAreInstalledKeptOverAReplacementAndRemoved)
{
    Board board(5);
    board.sim->AddDefaultNode(kNode);
    ASSERT_EQ(board.Open(1), VEXAN_OK);
    ASSERT_EQ(Vexan_InstallEMCYISR(board.slot, &DrainEmcyFirst), VEXAN_OK);
    EXPECT_EQ(Vexan_InstallEMCYISR(board.slot, &DrainEmcySecond), VEXAN_OK) << "refused without a code";
    board.sim->InjectEmcy(kNode, {0x10, 0x81, 0x11, 1, 0, 0, 0, 0});
    ASSERT_TRUE(WaitFor([] { return emcyFirstCalls.load() >= 1; }));
    EXPECT_EQ(emcySecondCalls, 0);

    ASSERT_EQ(Vexan_RemoveEMCYISR(board.slot), VEXAN_OK);
    ASSERT_EQ(Vexan_InstallEMCYISR(board.slot, &DrainEmcySecond), VEXAN_OK);
    const int firstBefore = emcyFirstCalls;
    board.sim->InjectEmcy(kNode, {0x10, 0x81, 0x11, 2, 0, 0, 0, 0});
    ASSERT_TRUE(WaitFor([] { return emcySecondCalls.load() >= 1; }));
    EXPECT_EQ(emcyFirstCalls, firstBefore);

    ASSERT_EQ(Vexan_RemoveEMCYISR(board.slot), VEXAN_OK);
    board.sim->InjectEmcy(kNode, {0x10, 0x81, 0x11, 3, 0, 0, 0, 0});
    uint8_t data[8] = {};
    uint8_t slot = kSentinel;
    uint8_t node = kSentinel;
    uint16_t result = VEXAN_NOTHING_TO_READ;
    ASSERT_TRUE(WaitFor([&] { return (result = Vexan_GetEMCYData(&slot, &node, data)) != VEXAN_NOTHING_TO_READ; }));
    EXPECT_EQ(result, VEXAN_OK);
    EXPECT_EQ(data[3], 3) << "left for the reader: no callback drained it";
}

TEST_F(NodesEventsE2E, BoardWithMasterNodeIdZeroTakesOnlyTheNetworkCallbacks)
{
    Board board(6);
    board.sim->AddDefaultNode(kNode, false, false);
    ASSERT_EQ(board.Open(0), VEXAN_OK);
    EXPECT_EQ(Vexan_InstallReadSDOISR(board.slot, &AnswerSdoRead), VEXAN_MASTER_ID_ZERO);
    EXPECT_EQ(Vexan_InstallWriteSDOISR(board.slot, &AnswerSdoRead), VEXAN_MASTER_ID_ZERO);
    EXPECT_EQ(Vexan_InstallRxPDOISR(board.slot, &AnswerSdoRead), VEXAN_MASTER_ID_ZERO);
    EXPECT_EQ(Vexan_InstallRemotePDOISR(board.slot, &AnswerSdoRead), VEXAN_MASTER_ID_ZERO);
    EXPECT_EQ(Vexan_RemoveReadSDOISR(board.slot), VEXAN_MASTER_ID_ZERO);
    ASSERT_EQ(Vexan_InstallBootUpISR(board.slot, &ReadOneBootUp), VEXAN_OK);
    ASSERT_EQ(Vexan_AddNode(board.slot, kNode, 2, 0, 0, 1), VEXAN_OK);
    ASSERT_TRUE(WaitFor([] { return bootUpResult.load() == VEXAN_OK; }));
    EXPECT_EQ(bootUpSlot, board.slot);
    EXPECT_EQ(bootUpNode, kNode);
    RemoveAllCallbacks(board.slot);
}

TEST_F(NodesEventsE2E, EventsOfTwoBoardsAreReadOldestFirstWithTheirSlots)
{
    Board first(2);
    Board second(5);
    ASSERT_EQ(first.Open(1), VEXAN_OK);
    ASSERT_EQ(second.Open(2), VEXAN_OK);
    second.sim->InjectBootup(0x22);
    uint8_t slot = kSentinel;
    uint8_t node = kSentinel;
    // The first record is in before the other board reports its own.
    ASSERT_TRUE(WaitFor([] { return vexan::QueueOf(vexan::EventKind::BootUp).HasRecords(); }));
    first.sim->InjectBootup(0x11);
    ASSERT_EQ(AwaitBootUp(slot, node), VEXAN_OK);
    EXPECT_EQ(slot, second.slot);
    EXPECT_EQ(node, 0x22);
    ASSERT_EQ(AwaitBootUp(slot, node), VEXAN_OK);
    EXPECT_EQ(slot, first.slot);
    EXPECT_EQ(node, 0x11);
    EXPECT_EQ(Vexan_GetBootUpNodeAfterAdd(&slot, &node), VEXAN_NOTHING_TO_READ);
}

TEST_F(NodesEventsE2E, RecordOfASlotShutDownSinceIsReadAsNothingToRead)
{
    Board board(7);
    ASSERT_EQ(board.Open(1), VEXAN_OK);
    board.sim->InjectBootup(0x33);
    ASSERT_TRUE(WaitFor([] { return vexan::QueueOf(vexan::EventKind::BootUp).HasRecords(); }));
    ASSERT_EQ(Vexan_ShutdownMaster(board.slot), VEXAN_OK);
    uint8_t slot = kSentinel;
    uint8_t node = kSentinel;
    EXPECT_EQ(Vexan_GetBootUpNodeAfterAdd(&slot, &node), VEXAN_NOTHING_TO_READ);
    EXPECT_EQ(slot, kSentinel);
    EXPECT_EQ(node, 0x33) << "the record's node is still handed out";
    EXPECT_EQ(Vexan_GetBootUpNodeAfterAdd(&slot, &node), VEXAN_NOTHING_TO_READ) << "and the record is gone";
}

TEST_F(NodesEventsE2E, OtherMastersSdoReadIsAnsweredFromInsideItsCallback)
{
    Board board(0);
    ASSERT_EQ(board.Open(0x20), VEXAN_OK);
    ASSERT_EQ(Vexan_InstallReadSDOISR(board.slot, &AnswerSdoRead), VEXAN_OK);
    const vexan::test::PatientFrames patient;
    board.sim->SplitReplies({1, 3, 5});  // every reply, the answer's status too, comes in pieces
    board.sim->InjectMasterSdoRead(0x2000, 1);
    ASSERT_TRUE(WaitFor([] { return sdoAnswered.load(); }));
    EXPECT_EQ(sdoAnswerResult, VEXAN_OK) << "the module took the answer";
    EXPECT_TRUE(board.sim->WaitForTrace("ResponseMasterSDO", vexan::test::kWaitLimit));
    board.sim->ClearFaults();
    const uint8_t value[] = {1};
    EXPECT_EQ(Vexan_ResponseMasterSDO(board.slot, 0, 0x2000, 1, 1, value), kNothingOpen) << "answered already";
    RemoveAllCallbacks(board.slot);
}

TEST_F(NodesEventsE2E, OtherMastersRequestsRaisedOnTheControlChannelAreReadAndAnsweredFromAnotherThread)
{
    Board board(1);
    ASSERT_EQ(board.Open(0x20), VEXAN_OK);
    // Raised as an operator would, on the simulator's control channel.
    vexsim::ControlChannel control(*board.sim, nullptr);
    for (const char* line : {"master-sdo-write 0x2001 2 ABCDEF", "remote-pdo 0x185", "rx-pdo 0x205 0102030405"}) {
        ASSERT_TRUE(control.Apply(line).ok) << line;
    }

    std::thread application([&] {
        uint8_t slot = kSentinel;
        uint16_t index = 0;
        uint8_t sub = 0;
        uint8_t length = 0;
        uint8_t data[8] = {};
        ASSERT_TRUE(WaitFor(
            [&] { return Vexan_GetMasterWriteSDOEvent(&slot, &index, &sub, &length, data) != VEXAN_NOTHING_TO_READ; }));
        EXPECT_EQ(slot, board.slot);
        EXPECT_EQ(index, 0x2001);
        EXPECT_EQ(sub, 2);
        ASSERT_EQ(length, 3);
        EXPECT_EQ((std::vector<uint8_t>(data, data + 3)), (std::vector<uint8_t>{0xAB, 0xCD, 0xEF}));
        EXPECT_EQ(Vexan_ResponseMasterSDO(slot, 1, index, sub, 0, nullptr), VEXAN_OK);

        uint16_t cobId = 0;
        ASSERT_TRUE(WaitFor([&] { return Vexan_GetMasterRemotePDOEvent(&slot, &cobId) != VEXAN_NOTHING_TO_READ; }));
        EXPECT_EQ(cobId, 0x0185);
        const uint8_t pdo[] = {9, 8, 7};
        EXPECT_EQ(Vexan_ResponseMasterPDO(slot, cobId, sizeof pdo, pdo), VEXAN_OK);

        ASSERT_TRUE(
            WaitFor([&] { return Vexan_GetMasterRxPDOEvent(&slot, &cobId, &length, data) != VEXAN_NOTHING_TO_READ; }));
        EXPECT_EQ(cobId, 0x0205);
        ASSERT_EQ(length, 5);
        EXPECT_EQ((std::vector<uint8_t>(data, data + 5)), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
    });
    application.join();
}

// ---- A node falling silent under heartbeat or guarding; a reset restoring values ----------

struct MonitoringCase {
    const char* name;
    std::function<uint16_t(uint8_t slot)> setUp;
    uint8_t code;
};

TEST_F(NodesEventsE2E, MonitoredNodeFallingSilentIsReportedOnceAsAnNmtError)
{
    const std::vector<MonitoringCase> cases{
        {"heartbeat", [](uint8_t slot) { return Vexan_NMTHeartbeat(slot, kNode, 100, 150, 1); },
         vexsim::kNmtErrorHeartbeat},
        {"node guarding", [](uint8_t slot) { return Vexan_NMTGuarding(slot, kNode, 50, 3, 1); },
         vexsim::kNmtErrorGuarding},
    };
    for (const MonitoringCase& c : cases) {
        SCOPED_TRACE(c.name);
        nmtErrorResult = 0xFFFF;
        Board board(4);
        board.sim->AddDefaultNode(kNode);
        board.sim->AddDefaultNode(kSecondNode);  // falls silent too, but nobody watches it
        ASSERT_EQ(board.Open(1), VEXAN_OK);
        ASSERT_EQ(Vexan_InstallNMTErrISR(board.slot, &ReadOneNmtError), VEXAN_OK);
        ASSERT_EQ(c.setUp(board.slot), VEXAN_OK);

        vexsim::ControlChannel control(*board.sim, nullptr);
        ASSERT_TRUE(control.Apply("silent 7 on").ok);
        ASSERT_TRUE(control.Apply("silent 5 on").ok);
        ASSERT_TRUE(WaitFor([] { return nmtErrorResult.load() == VEXAN_OK; }));
        EXPECT_EQ(nmtErrorSlot, board.slot);
        EXPECT_EQ(nmtErrorNode, kNode);
        EXPECT_EQ(nmtErrorCode, c.code);
        ASSERT_EQ(Vexan_RemoveNMTErrISR(board.slot), VEXAN_OK);
        // Well past both monitoring times: no second report, none for the unwatched node.
        std::this_thread::sleep_for(500ms);
        uint8_t slot = kSentinel;
        uint8_t node = kSentinel;
        uint8_t code = kSentinel;
        EXPECT_EQ(Vexan_GetNMTError(&slot, &node, &code), VEXAN_NOTHING_TO_READ) << "node " << int{node};
    }
}

uint64_t ObjectValue(vexsim::Simulator& sim, uint16_t index, uint8_t sub)
{
    return sim.WithModule([&](vexsim::Module& module) {
        return module.FindNode(kNode)->dictionary.ReadUnsigned(index, sub).value_or(0xFFFF);
    });
}

struct ResetCase {
    const char* name;
    std::function<uint16_t(uint8_t slot)> reset;
    bool restoresApplicationObjects;
};

TEST_F(NodesEventsE2E, NodeResetRestoresItsObjectValues)
{
    const std::vector<ResetCase> cases{
        {"NMT reset node", [](uint8_t slot) { return Vexan_NMTChangeState(slot, kNode, kResetNode, 1); }, true},
        {"NMT reset communication", [](uint8_t slot) { return Vexan_NMTChangeState(slot, kNode, 130, 1); }, false},
        {"remove and reset", [](uint8_t slot) { return Vexan_RemoveAndResetNode(slot, kNode, 1); }, true},
    };
    for (const ResetCase& c : cases) {
        SCOPED_TRACE(c.name);
        Board board(3);
        board.sim->AddDefaultNode(kNode);
        ASSERT_EQ(board.Open(1), VEXAN_OK);
        // The heartbeat set-up writes the producer time; an application object changes at run time.
        ASSERT_EQ(Vexan_NMTHeartbeat(board.slot, kNode, 300, 0, 1), VEXAN_OK);
        board.sim->WithModule(
            [](vexsim::Module& module) { return module.FindNode(kNode)->dictionary.WriteUnsigned(0x2000, 1, 0x5A); });
        ASSERT_EQ(ObjectValue(*board.sim, 0x1017, 0), 300u);
        ASSERT_EQ(c.reset(board.slot), VEXAN_OK);
        EXPECT_EQ(ObjectValue(*board.sim, 0x1017, 0), 0u);
        EXPECT_EQ(ObjectValue(*board.sim, 0x2000, 1), c.restoresApplicationObjects ? 0u : 0x5Au);
    }
}

}  // namespace
