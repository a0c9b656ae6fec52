// Helpers of the tests that drive the library through boards opened on
// scripted modules: opening a board and putting its slot back, repeating a
// non-blocking call, the frames a peer took in, and emptying the event queues.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include "events/events.hpp"
#include "link/library_state.hpp"
#include "module_peer.hpp"
#include "start.hpp"
#include "test_wait.hpp"
#include "vexan.h"

namespace vexan::test {

// Board time-out for queries that are expected to succeed: a saturated machine
// can hold pseudo-terminal traffic back for seconds, and the virtual machine
// the tests run on has stood still for fifteen (see kWaitLimit).
inline constexpr uint32_t kGenerousTimeoutMs = 30'000;

// Starts a master blocking on the peer's line (a start that was not identified
// is tried again, see StartMaster) and gives the board's queries `timeoutMs`.
// A failed start is a fatal failure: call it from SetUp or inside
// ASSERT_NO_FATAL_FAILURE.
inline void OpenBoard(uint8_t slot, const ModulePeer& peer, uint8_t masterNodeId,
                      uint32_t timeoutMs = kGenerousTimeoutMs, uint8_t initParam = 0)
{
    ASSERT_EQ(StartMaster(slot, peer.LibraryPort(), masterNodeId, initParam), VEXAN_OK);
    Vexan_SetFunctionTimeout(slot, timeoutMs);
}

// Shuts the board on `slot` down. Where that fails (its start-up failed, its
// line is gone), stops its receive thread and frees the slot directly, so that
// the next test finds the slot free.
inline void CloseBoard(uint8_t slot)
{
    if (Vexan_ShutdownMaster(slot) != VEXAN_OK) {
        vexan::StopReceiveThread(slot);
        vexan::ReleaseSlot(slot);
    }
}

// Repeats a non-blocking call while it answers 40; returns the first other
// result and how many 40s came before it.
inline std::pair<uint16_t, int> RepeatWhileWaiting(const std::function<uint16_t()>& call)
{
    int waits = 0;
    const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
    uint16_t result = call();
    while (result == VEXAN_WAITING && std::chrono::steady_clock::now() < deadline) {
        ++waits;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        result = call();
    }
    return {result, waits};
}

// Raw bytes of every frame the library wrote to the peer, event polls left out.
inline std::vector<Bytes> RawFrames(const ModulePeer& peer)
{
    std::vector<Bytes> raws;
    for (const auto& frame : peer.FramesExceptPolls()) {
        raws.push_back(frame.raw);
    }
    return raws;
}

// Empties the event queue of every kind.
inline void ClearEventQueues()
{
    for (auto& queue : vexan::Events().queues) {
        queue.Clear();
    }
}

}  // namespace vexan::test
