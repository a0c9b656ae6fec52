// Starting a board in a test, and threads a failed assertion cannot leave
// running.
//
// The module's identification answer must come within a few tens of
// milliseconds of the request. On a machine whose cores are busy with other
// work, a simulator's or a peer's thread can miss that window now and then,
// and the start ends with 3 (not identified). The window is the protocol's; a
// test does not widen it but tries such a start again a few times, and says
// so in its log.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <thread>
#include <utility>
#include <vector>

#include "vexan.h"

namespace vexan::test {

// A loaded machine can keep the answer back for seconds (the kernel hands
// pseudo-terminal bytes on through a worker thread that busy cores delay), so
// the tries go on, with a growing pause, for up to kStartBudget.
inline constexpr auto kStartBudget = std::chrono::seconds(20);
inline constexpr auto kLongestStartPause = std::chrono::milliseconds(250);

// Vexan_InitMaster, blocking, tried again while it ends with 3 and
// kStartBudget has not passed; every failed try is logged. Returns the last
// result.
inline uint16_t StartMaster(uint8_t slot, VexanPort port, uint8_t masterNodeId, uint8_t initParam = 0)
{
    const auto deadline = std::chrono::steady_clock::now() + kStartBudget;
    for (int attempt = 1;; ++attempt) {
        const uint16_t result = Vexan_InitMaster(slot, port, masterNodeId, initParam, 1);
        if (result != VEXAN_NOT_IDENTIFIED) {
            return result;
        }
        const bool again = std::chrono::steady_clock::now() < deadline;
        std::fprintf(stderr, "[ start    ] slot %u: module not identified (attempt %d)%s\n", unsigned{slot}, attempt,
                     again ? ", trying again" : ", giving up");
        if (!again) {
            return result;
        }
        std::this_thread::sleep_for(std::min(std::chrono::milliseconds(25) * attempt, kLongestStartPause));
    }
}

// Threads that are joined whatever way the test leaves: the destructor sets
// the stop flag (when one is given) and joins every thread, so a failed
// assertion that returns early never leaves one running.
class ThreadGroup {
public:
    explicit ThreadGroup(std::atomic<bool>* stop = nullptr) : stop_(stop) {}
    ~ThreadGroup() { StopAndJoin(); }
    ThreadGroup(const ThreadGroup&) = delete;
    ThreadGroup& operator=(const ThreadGroup&) = delete;

    template <typename... Args>
    void Start(Args&&... args)
    {
        threads_.emplace_back(std::forward<Args>(args)...);
    }

    // Sets the stop flag and waits for every thread.
    void StopAndJoin()
    {
        if (stop_ != nullptr) {
            stop_->store(true);
        }
        for (auto& thread : threads_) {
            if (thread.joinable()) {
                thread.join();
            }
        }
        threads_.clear();
    }

private:
    std::atomic<bool>* stop_;
    std::vector<std::thread> threads_;
};

}  // namespace vexan::test
