// The simulated master's watch over silent nodes, driven with explicit times:
// when heartbeat and node-guarding losses are reported, with which code, once.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "vexan_sim/module.hpp"

namespace {

using namespace std::chrono_literals;
using vexsim::Bytes;
using vexsim::Clock;

constexpr uint8_t kNode = 5;
constexpr uint8_t kEventPoll = 0x40;
constexpr uint8_t kNmtErrorFlag = 0x10;

Bytes Frame(uint8_t command, const Bytes& payload)
{
    Bytes frame{':', static_cast<uint8_t>(payload.size() + 1), command};
    for (const uint8_t byte : payload) {
        frame.push_back(byte);
    }
    return frame;
}

Bytes Heartbeat(uint16_t time1, uint16_t time2)
{
    return Frame(13, {kNode, static_cast<uint8_t>(time1), static_cast<uint8_t>(time1 >> 8), static_cast<uint8_t>(time2),
                      static_cast<uint8_t>(time2 >> 8)});
}

Bytes Guarding(uint16_t guardTime, uint8_t lifeTimeFactor)
{
    return Frame(12, {kNode, static_cast<uint8_t>(guardTime), static_cast<uint8_t>(guardTime >> 8), lifeTimeFactor});
}

// The NMT-error items of the module's next event reply: (node, code) pairs.
std::vector<Bytes> NmtErrors(vexsim::Module& module)
{
    std::vector<Bytes> errors;
    for (;;) {
        vexsim::ModuleOutput out;
        module.Receive(Frame(kEventPoll, {}), out);
        if (out.replies.empty()) {
            return errors;
        }
        const Bytes& reply = out.replies.back().bytes;
        if (reply.size() < 6 || (reply[5] & kNmtErrorFlag) == 0) {
            return errors;
        }
        errors.push_back(Bytes(reply.begin() + 6, reply.begin() + 8));  // only NMT errors are queued here
    }
}

struct Case {
    const char* name;
    std::vector<Bytes> setUps;  // frames, in order
    bool silentFirst;           // silent before the set-up
    std::optional<std::chrono::milliseconds> lossAfter;
    uint8_t code;
};

TEST(SimulatorMonitoring, SilentNodeIsReportedOnceItsMonitoringTimePassed)
{
    const std::vector<Case> cases{
        {"heartbeat consumer time", {Heartbeat(100, 150)}, false, 150ms, vexsim::kNmtErrorHeartbeat},
        {"heartbeat, no consumer time", {Heartbeat(100, 0)}, false, 100ms, vexsim::kNmtErrorHeartbeat},
        {"node guarding", {Guarding(50, 3)}, false, 150ms, vexsim::kNmtErrorGuarding},
        {"heartbeat before guarding", {Guarding(50, 3), Heartbeat(0, 400)}, false, 400ms, vexsim::kNmtErrorHeartbeat},
        {"silent before the set-up", {Heartbeat(0, 200)}, true, 200ms, vexsim::kNmtErrorHeartbeat},
        {"guarding with life time factor 0", {Guarding(50, 0)}, false, std::nullopt, 0},
        {"nothing set up", {}, false, std::nullopt, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vexsim::Module module;
        module.PutDefaultNode(kNode, true, false);
        const Clock::time_point start = Clock::now();
        vexsim::ModuleOutput out;
        module.Receive(Frame(2, {1, 0}), out, start);
        const Clock::time_point setUpAt = start + 1s;
        const Clock::time_point silentAt = c.silentFirst ? start + 500ms : setUpAt + 300ms;
        ASSERT_TRUE(module.SetNodeSilent(kNode, true, silentAt));
        for (const Bytes& frame : c.setUps) {
            module.Receive(frame, out, setUpAt);
        }
        const Clock::time_point from = std::max(silentAt, setUpAt);
        if (!c.lossAfter) {
            EXPECT_FALSE(module.NextMonitoringDue().has_value());
            module.TickMonitoring(from + 1h);
            EXPECT_TRUE(NmtErrors(module).empty());
            continue;
        }
        ASSERT_EQ(module.NextMonitoringDue(), from + *c.lossAfter);
        module.TickMonitoring(from + *c.lossAfter - 1ms);
        EXPECT_TRUE(NmtErrors(module).empty()) << "reported early";
        module.TickMonitoring(from + *c.lossAfter);
        EXPECT_EQ(NmtErrors(module), (std::vector<Bytes>{{kNode, c.code}}));
        module.TickMonitoring(from + 1h);
        EXPECT_TRUE(NmtErrors(module).empty()) << "reported once";
        EXPECT_FALSE(module.NextMonitoringDue().has_value());

        // Answering again and falling silent again is a new loss.
        module.SetNodeSilent(kNode, false, from + 2h);
        module.SetNodeSilent(kNode, true, from + 3h);
        module.TickMonitoring(from + 3h + *c.lossAfter);
        EXPECT_EQ(NmtErrors(module).size(), 1u);
    }
}

TEST(SimulatorMonitoring, UnlistedNodeIsNotWatched)
{
    vexsim::Module module;
    module.PutDefaultNode(kNode, true, false);
    const Clock::time_point start = Clock::now();
    vexsim::ModuleOutput out;
    module.Receive(Frame(2, {1, 0}), out, start);
    module.Receive(Heartbeat(0, 100), out, start);
    module.Receive(Frame(11, {kNode}), out, start);  // removed from the master's list
    module.SetNodeSilent(kNode, true, start);
    module.TickMonitoring(start + 1h);
    EXPECT_TRUE(NmtErrors(module).empty());
}

}  // namespace
