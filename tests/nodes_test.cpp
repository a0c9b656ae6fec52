// Node management and NMT, checked byte for byte against a scripted module on
// a pseudo-terminal: the frames and result requests of every export, the
// outputs of the queries, the add command's busy answers, the remove commands
// dropping the node's other requests, and the exchange lock of the state query.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "board.hpp"
#include "engine/request.hpp"
#include "frames.hpp"
#include "link/library_state.hpp"
#include "link/protocol.hpp"
#include "module_peer.hpp"
#include "test_wait.hpp"
#include "vexan.h"

namespace {

using namespace std::chrono_literals;
using vexan::CodeOf;
using vexan::Command;
using vexan::test::Bytes;
using vexan::test::ModulePeer;
using vexan::test::NodeData;
using vexan::test::NodeStatus;
using vexan::test::RawFrames;
using vexan::test::RepeatWhileWaiting;
using vexan::test::Reply;
using vexan::test::ResultRequest;
using vexan::test::WaitFor;

constexpr uint8_t kAdd = CodeOf(Command::AddNode);
constexpr uint8_t kRemove = CodeOf(Command::RemoveNode);
constexpr uint8_t kRemoveReset = CodeOf(Command::RemoveAndResetNode);
constexpr uint8_t kDelay = CodeOf(Command::DelayAndResponseTimeout);
constexpr uint8_t kScan = CodeOf(Command::ScanNode);
constexpr uint8_t kList = CodeOf(Command::GetNodeList);
constexpr uint8_t kChange = CodeOf(Command::NmtChangeState);
constexpr uint8_t kGetState = CodeOf(Command::NmtGetState);
constexpr uint8_t kGuarding = CodeOf(Command::NmtGuarding);
constexpr uint8_t kHeartbeat = CodeOf(Command::NmtHeartbeat);

constexpr uint8_t kSlot = 2;
constexpr uint8_t kMasterId = 0x11;
constexpr uint8_t kNode = 5;
constexpr uint8_t kOtherNode = 6;
constexpr uint8_t kSentinel = 0xEE;

bool Pending(uint8_t command, uint8_t key)
{
    return vexan::IsPending(kSlot, command, key);
}

// True when the library writes nothing but event polls for a while.
bool NothingSent(const ModulePeer& peer)
{
    std::this_thread::sleep_for(150ms);
    return RawFrames(peer).empty();
}

class NodesTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(vexan::test::OpenBoard(kSlot, peer_, kMasterId)); }
    void TearDown() override { vexan::test::CloseBoard(kSlot); }

    ModulePeer peer_;
};

// One export with a status reply: its call, its exact frame and its key.
struct StatusCase {
    const char* name;
    std::function<uint16_t(uint8_t slot, uint8_t node, uint8_t blocking)> call;
    std::function<Bytes(uint8_t node)> frame;
    uint8_t command;
    bool keyedByNode;
};

const std::vector<StatusCase>& StatusCases()
{
    static const std::vector<StatusCase> cases{
        {"add node", [](uint8_t s, uint8_t n, uint8_t b) { return Vexan_AddNode(s, n, 2, 0x0100, 0x0003, b); },
         [](uint8_t n) { return Bytes{0x3A, 0x07, 0x0A, n, 0x02, 0x00, 0x01, 0x03, 0x00}; }, kAdd, true},
        {"remove node", [](uint8_t s, uint8_t n, uint8_t b) { return Vexan_RemoveNode(s, n, b); },
         [](uint8_t n) {
             return Bytes{0x3A, 0x02, 0x0B, n};
         },
         kRemove, true},
        {"remove and reset node", [](uint8_t s, uint8_t n, uint8_t b) { return Vexan_RemoveAndResetNode(s, n, b); },
         [](uint8_t n) {
             return Bytes{0x3A, 0x02, 0x29, n};
         },
         kRemoveReset, true},
        {"delay and response time-out",
         [](uint8_t s, uint8_t n, uint8_t b) { return Vexan_DelayAndResponseTimeout(s, n, 0x1234, 0xABCD, b); },
         [](uint8_t n) { return Bytes{0x3A, 0x06, 0x2A, n, 0x34, 0x12, 0xCD, 0xAB}; }, kDelay, true},
        {"NMT change state", [](uint8_t s, uint8_t n, uint8_t b) { return Vexan_NMTChangeState(s, n, 0x81, b); },
         [](uint8_t n) {
             return Bytes{0x3A, 0x03, 0x0E, n, 0x81};
         },
         kChange, true},
        {"NMT guarding", [](uint8_t s, uint8_t n, uint8_t b) { return Vexan_NMTGuarding(s, n, 0x0201, 7, b); },
         [](uint8_t n) { return Bytes{0x3A, 0x05, 0x0C, n, 0x01, 0x02, 0x07}; }, kGuarding, true},
        {"NMT heartbeat", [](uint8_t s, uint8_t n, uint8_t b) { return Vexan_NMTHeartbeat(s, n, 0x03E8, 0x07D0, b); },
         [](uint8_t n) { return Bytes{0x3A, 0x06, 0x0D, n, 0xE8, 0x03, 0xD0, 0x07}; }, kHeartbeat, true},
        {"scan", [](uint8_t s, uint8_t, uint8_t b) { return Vexan_ScanNode(s, 0x01, 0x7F, nullptr, b); },
         [](uint8_t) {
             return Bytes{0x3A, 0x03, 0x08, 0x01, 0x7F};
         },
         kScan, false},
        {"node list", [](uint8_t s, uint8_t, uint8_t b) { return Vexan_GetNodeList(s, nullptr, b); },
         [](uint8_t) {
             return Bytes{0x3A, 0x01, 0x09};
         },
         kList, false},
        {"NMT get state", [](uint8_t s, uint8_t n, uint8_t b) { return Vexan_NMTGetState(s, n, nullptr, b); },
         [](uint8_t n) {
             return Bytes{0x3A, 0x02, 0x0F, n};
         },
         kGetState, true},
    };
    return cases;
}

TEST_F(NodesTest, EveryExportWritesItsFrameAndPassesTheModulesStatusThrough)
{
    for (const StatusCase& c : StatusCases()) {
        const uint8_t key = c.keyedByNode ? kNode : 0;
        for (const uint8_t status : {uint8_t{0}, uint8_t{0x12}}) {
            SCOPED_TRACE(std::string(c.name) + ", status " + std::to_string(status));
            peer_.ClearRecord();
            peer_.Queue(c.command, key, Reply{NodeStatus(c.command, key, status)});
            EXPECT_EQ(c.call(kSlot, kNode, 1), status);
            EXPECT_EQ(RawFrames(peer_), (std::vector<Bytes>{c.frame(kNode), ResultRequest(c.command, key)}));
            EXPECT_FALSE(Pending(c.command, key));
        }
    }
}

TEST_F(NodesTest, NonBlockingCallsReturnSentThenWaitingThenTheStatus)
{
    for (const StatusCase& c : StatusCases()) {
        SCOPED_TRACE(c.name);
        const uint8_t key = c.keyedByNode ? kNode : 0;
        peer_.ClearRecord();
        peer_.Queue(c.command, key, Reply{NodeStatus(c.command, key, 0x21), {}, 5, 100});
        ASSERT_EQ(c.call(kSlot, kNode, 0), VEXAN_SENT);
        const auto [result, waits] = RepeatWhileWaiting([&] { return c.call(kSlot, kNode, 0); });
        EXPECT_EQ(result, 0x21);
        EXPECT_GE(waits, 1);
        EXPECT_EQ(RawFrames(peer_), (std::vector<Bytes>{c.frame(kNode), ResultRequest(c.command, key)}))
            << "the repeats only collect";
    }
}

TEST_F(NodesTest, NodeIdsAboveTheTableAreRefusedBeforeAnythingIsSentOrMarked)
{
    peer_.ClearRecord();
    for (const StatusCase& c : StatusCases()) {
        if (!c.keyedByNode) {
            continue;
        }
        for (const uint8_t node : {uint8_t{128}, uint8_t{255}}) {
            for (const uint8_t blocking : {uint8_t{0}, uint8_t{1}}) {
                EXPECT_EQ(c.call(kSlot, node, blocking), VEXAN_OUT_OF_RANGE) << c.name << ", node " << int{node};
            }
        }
    }
    EXPECT_TRUE(NothingSent(peer_));
}

TEST_F(NodesTest, ClosedSlotsAreRefusedWithNothingOnTheWire)
{
    peer_.ClearRecord();
    for (const StatusCase& c : StatusCases()) {
        EXPECT_EQ(c.call(kSlot + 1, kNode, 1), VEXAN_NOT_OPEN) << c.name;
    }
    EXPECT_TRUE(NothingSent(peer_));
}

// ---- Queries with reply data ---------------------------------------------------------------

struct QueryCase {
    const char* name;
    uint8_t command;
    uint8_t key;
    std::function<uint16_t(uint8_t* out)> call;
};

TEST_F(NodesTest, QueriesCopyEveryReplyByteAndWriteNothingOnFailure)
{
    const std::vector<QueryCase> cases{
        {"scan", kScan, 0, [](uint8_t* out) { return Vexan_ScanNode(kSlot, 0, 0, out, 1); }},
        {"node list", kList, 0, [](uint8_t* out) { return Vexan_GetNodeList(kSlot, out, 1); }},
        {"NMT get state", kGetState, kNode, [](uint8_t* out) { return Vexan_NMTGetState(kSlot, kNode, out, 1); }},
    };
    // A reply as long as a frame can carry, and a short one.
    Bytes longest(VEXAN_NODE_REPLY_BUFFER);
    for (std::size_t i = 0; i < longest.size(); ++i) {
        longest[i] = static_cast<uint8_t>(i + 1);
    }
    for (const QueryCase& c : cases) {
        for (const Bytes& data : {Bytes{3, 5, 6, 9}, longest}) {
            SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(data.size()) + " bytes");
            std::array<uint8_t, VEXAN_NODE_REPLY_BUFFER + 1> out{};
            out.fill(kSentinel);
            peer_.Queue(c.command, c.key, Reply{NodeData(c.command, c.key, data)});
            ASSERT_EQ(c.call(out.data()), VEXAN_OK);
            EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin()));
            EXPECT_TRUE(std::all_of(out.begin() + static_cast<long>(data.size()), out.end(), [](uint8_t b) {
                return b == kSentinel;
            })) << "nothing beyond the reply is written";
        }
        std::array<uint8_t, 4> out{};
        out.fill(kSentinel);
        peer_.Queue(c.command, c.key, Reply{NodeStatus(c.command, c.key, 0x17)});
        EXPECT_EQ(c.call(out.data()), 0x17) << c.name;
        EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == kSentinel; })) << c.name;
    }
}

// ---- Busy answers --------------------------------------------------------------------------

// Collecting while the module reports itself busy: the add command asks again
// and returns 40 even to a blocking call; any other command waits on.
TEST_F(NodesTest, AddNodeCollectingThroughABusyAnswerReturnsWaitingEvenWhenBlocking)
{
    for (const StatusCase& c : StatusCases()) {
        if (c.command != kAdd && c.command != kChange) {
            continue;
        }
        SCOPED_TRACE(c.name);
        peer_.ClearRecord();
        peer_.Queue(c.command, kNode, Reply{NodeStatus(c.command, kNode, VEXAN_WAITING), {}, 5, 50});
        peer_.Queue(c.command, kNode, Reply{NodeStatus(c.command, kNode, 0), {}, 5, 50});
        ASSERT_EQ(c.call(kSlot, kNode, 0), VEXAN_SENT);
        if (c.command == kAdd) {
            EXPECT_EQ(c.call(kSlot, kNode, 1), VEXAN_WAITING);
            EXPECT_TRUE(peer_.WaitUntil([&](const auto&) { return peer_.CountResultRequests(kAdd, kNode) == 2; }))
                << "asked again before returning";
            EXPECT_TRUE(Pending(kAdd, kNode));
        }
        EXPECT_EQ(c.call(kSlot, kNode, 1), VEXAN_OK);
        EXPECT_EQ(peer_.CountResultRequests(c.command, kNode), 2u);
        EXPECT_EQ(peer_.CountFrames(c.command), 1u) << "collecting sends no new command";
    }
}

TEST_F(NodesTest, AddNodeFreshBlockingCallWaitsThroughBusyAnswers)
{
    peer_.Queue(kAdd, kNode, Reply{NodeStatus(kAdd, kNode, VEXAN_WAITING)});
    peer_.Queue(kAdd, kNode, Reply{NodeStatus(kAdd, kNode, 0), {}, 5, 50});
    EXPECT_EQ(Vexan_AddNode(kSlot, kNode, 2, 0x0100, 0x0003, 1), VEXAN_OK);
    EXPECT_EQ(peer_.CountResultRequests(kAdd, kNode), 2u);
}

// ---- Remove commands drop the node's other requests ------------------------------------

struct RemoveCase {
    const char* name;
    uint8_t command;
    uint16_t (*call)(uint8_t slot, uint8_t node, uint8_t blocking);
};
constexpr std::array<RemoveCase, 2> kRemoveCases{{
    {"remove node", kRemove, &Vexan_RemoveNode},
    {"remove and reset node", kRemoveReset, &Vexan_RemoveAndResetNode},
}};

TEST_F(NodesTest, RemoveDropsTheNodesOtherRequestsOnlyOnceItsReplyIsCollected)
{
    for (const RemoveCase& c : kRemoveCases) {
        SCOPED_TRACE(c.name);
        // Requests left pending, unanswered: two to the node, one to another node.
        ASSERT_EQ(Vexan_NMTChangeState(kSlot, kNode, 1, 0), VEXAN_SENT);
        ASSERT_EQ(Vexan_NMTGuarding(kSlot, kNode, 100, 3, 0), VEXAN_SENT);
        ASSERT_EQ(Vexan_NMTChangeState(kSlot, kOtherNode, 1, 0), VEXAN_SENT);

        peer_.Queue(c.command, kNode, Reply{NodeStatus(c.command, kNode, 0x18), {}, 5, 100});
        ASSERT_EQ(c.call(kSlot, kNode, 0), VEXAN_SENT);
        EXPECT_TRUE(Pending(kChange, kNode)) << "a sent remove drops nothing yet";
        EXPECT_TRUE(Pending(kGuarding, kNode));
        const auto [result, waits] = RepeatWhileWaiting([&] { return c.call(kSlot, kNode, 0); });
        EXPECT_EQ(result, 0x18) << "whatever the status";
        EXPECT_GE(waits, 1);
        EXPECT_FALSE(Pending(kChange, kNode));
        EXPECT_FALSE(Pending(kGuarding, kNode));
        EXPECT_TRUE(Pending(kChange, kOtherNode)) << "other nodes keep theirs";
        // Nothing of the dropped request is left to collect: the next call sends afresh.
        EXPECT_EQ(Vexan_NMTChangeState(kSlot, kNode, 1, 0), VEXAN_SENT);

        vexan::ReleaseNodeRecords(kSlot, kNode);
        vexan::ReleaseNodeRecords(kSlot, kOtherNode);
    }
}

TEST_F(NodesTest, BlockingRemoveEndsARequestAnotherThreadWaitsOn)
{
    for (const RemoveCase& c : kRemoveCases) {
        SCOPED_TRACE(c.name);
        peer_.ClearRecord();
        auto waiter = std::async(std::launch::async, [] { return Vexan_NMTChangeState(kSlot, kNode, 1, 1); });
        ASSERT_TRUE(peer_.WaitForFrames(kChange, 1));
        ASSERT_TRUE(WaitFor([] { return Pending(kChange, kNode); }));
        peer_.Queue(c.command, kNode, Reply{NodeStatus(c.command, kNode, 0)});
        EXPECT_EQ(c.call(kSlot, kNode, 1), VEXAN_OK);
        ASSERT_EQ(waiter.wait_for(vexan::test::kWaitLimit), std::future_status::ready) << "the waiter is released";
        EXPECT_EQ(waiter.get(), VEXAN_TIMEOUT);
    }
}

TEST_F(NodesTest, RemoveThatTimesOutLeavesTheNodesOtherRequests)
{
    Vexan_SetFunctionTimeout(kSlot, 200);
    ASSERT_EQ(Vexan_NMTChangeState(kSlot, kNode, 1, 0), VEXAN_SENT);
    for (const RemoveCase& c : kRemoveCases) {
        EXPECT_EQ(c.call(kSlot, kNode, 1), VEXAN_TIMEOUT) << c.name;
    }
    // The change request keeps its record (its own time-out is due too by now,
    // which the next poll reports).
    EXPECT_TRUE(Pending(kChange, kNode));
}

// ---- The state query's exchange lock -----------------------------------------------------

TEST_F(NodesTest, BlockingStateQueryHoldsTheExchangeLockUntilItReturns)
{
    peer_.ClearRecord();
    peer_.Queue(kGetState, kNode, Reply{NodeData(kGetState, kNode, {0x7F}), {}, 5, 400});
    peer_.Queue(kGetState, kOtherNode, Reply{NodeData(kGetState, kOtherNode, {0x05})});
    uint8_t first = kSentinel;
    uint8_t second = kSentinel;
    auto firstCall = std::async(std::launch::async, [&] { return Vexan_NMTGetState(kSlot, kNode, &first, 1); });
    ASSERT_TRUE(peer_.WaitForFrames(kGetState, 1));
    {
        std::unique_lock probe(vexan::Link().exchangeLock, std::try_to_lock);
        EXPECT_FALSE(probe.owns_lock()) << "held while the first query waits";
    }
    auto secondCall = std::async(std::launch::async, [&] { return Vexan_NMTGetState(kSlot, kOtherNode, &second, 1); });
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(peer_.CountFrames(kGetState), 1u) << "the second query waits for the lock before it sends";
    EXPECT_EQ(firstCall.get(), VEXAN_OK);
    EXPECT_EQ(secondCall.get(), VEXAN_OK);
    EXPECT_EQ(first, 0x7F);
    EXPECT_EQ(second, 0x05);
    EXPECT_EQ(RawFrames(peer_), (std::vector<Bytes>{{0x3A, 0x02, kGetState, kNode},
                                                    ResultRequest(kGetState, kNode),
                                                    {0x3A, 0x02, kGetState, kOtherNode},
                                                    ResultRequest(kGetState, kOtherNode)}));
}

TEST_F(NodesTest, NonBlockingStateQueryLeavesTheLockFreeAndItsCollectionTakesNone)
{
    peer_.Queue(kGetState, kNode, Reply{NodeData(kGetState, kNode, {0x04}), {}, 5, 100});
    uint8_t state = kSentinel;
    ASSERT_EQ(Vexan_NMTGetState(kSlot, kNode, &state, 0), VEXAN_SENT);
    std::unique_lock held(vexan::Link().exchangeLock, std::try_to_lock);
    ASSERT_TRUE(held.owns_lock()) << "a sent query leaves the lock free";
    auto collect = std::async(std::launch::async, [&] { return Vexan_NMTGetState(kSlot, kNode, &state, 1); });
    const auto ready = collect.wait_for(vexan::test::kWaitLimit);
    held.unlock();
    ASSERT_EQ(ready, std::future_status::ready) << "collecting waited for the lock";
    EXPECT_EQ(collect.get(), VEXAN_OK);
    EXPECT_EQ(state, 0x04);
}

}  // namespace
