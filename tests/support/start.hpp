// Starting a board in a test, telling a late module from a wrong one, and
// threads a failed assertion cannot leave running.
//
// The module's identification answer must come within a few tens of
// milliseconds of the request. On a machine whose cores are busy with other
// work, a simulator's or a peer's thread can miss that window now and then,
// and the start ends with 3 (not identified). The window is the protocol's; a
// test does not widen it but tries such a start again, and says so in its log.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <thread>
#include <utility>
#include <vector>

#include "test_line.hpp"
#include "test_wait.hpp"
#include "vexan.h"

namespace vexan::test {

// A loaded machine can keep the answer back for seconds, and the virtual
// machine the tests run on has been seen to stand still for fifteen seconds
// at a time (every thread of every process, the clock running on). So the
// tries go on, with a growing pause, until kStartBudget has passed and at
// least kLeastStartTries were made: a stand-still eats time, not tries.
inline constexpr auto kStartBudget = std::chrono::seconds(20);
inline constexpr int kLeastStartTries = 10;
inline constexpr auto kLongestStartPause = std::chrono::milliseconds(250);
// A board's function time-out before it was ever opened (the header's
// default): a blocking start whose reply did not come within it ends with 35.
inline constexpr long kFirstStartTimeoutMs = 1000;

// Every try of a start-up, in order; the last one's result is the outcome.
struct StartTries {
    std::vector<uint16_t> results;

    uint16_t Result() const { return results.empty() ? uint16_t{VEXAN_NOT_IDENTIFIED} : results.back(); }
    // Tries that ended with `result`.
    std::size_t Count(uint16_t result) const
    {
        return static_cast<std::size_t>(std::count(results.begin(), results.end(), result));
    }
};

// Which failed start-ups are tried again.
enum class StartRetry {
    NotIdentified,        // 3 only: for tests whose start is meant to time out
    NotIdentifiedOrLate,  // 3, and 35 after the whole time-out (see TryStartMaster)
};

// Vexan_InitMaster, tried again while it ends with 3 (not identified) or,
// blocking, with 35 after it waited at least the whole time-out for the
// module's answer to the start command (an earlier 35 is the library's and is
// returned). Every failed try is logged. A non-blocking start returns its
// first other result (41 once the start command went out).
inline StartTries TryStartMaster(uint8_t slot, VexanPort port, uint8_t masterNodeId, uint8_t initParam = 0,
                                 bool blocking = true, StartRetry retry = StartRetry::NotIdentifiedOrLate)
{
    using Clock = std::chrono::steady_clock;
    StartTries tries;
    const auto began = Clock::now();
    for (int attempt = 1;; ++attempt) {
        const auto tried = Clock::now();
        const uint16_t result = Vexan_InitMaster(slot, port, masterNodeId, initParam, blocking ? 1 : 0);
        const long took = MsSince(tried);
        tries.results.push_back(result);
        const bool late = result == VEXAN_NOT_IDENTIFIED || (retry == StartRetry::NotIdentifiedOrLate && blocking &&
                                                             result == VEXAN_TIMEOUT && took >= kFirstStartTimeoutMs);
        if (!late) {
            return tries;
        }
        const bool again = Clock::now() - began < kStartBudget || attempt < kLeastStartTries;
        std::fprintf(stderr, "[ start    ] slot %u: %s after %ld ms (try %d)%s\n", unsigned{slot},
                     result == VEXAN_NOT_IDENTIFIED ? "module not identified" : "no answer to the start command", took,
                     attempt, again ? ", trying again" : ", giving up");
        if (!again) {
            return tries;
        }
        std::this_thread::sleep_for(std::min(std::chrono::milliseconds(25) * attempt, kLongestStartPause));
    }
}

// Vexan_InitMaster, blocking, tried again as TryStartMaster says; the last result.
inline uint16_t StartMaster(uint8_t slot, VexanPort port, uint8_t masterNodeId, uint8_t initParam = 0)
{
    return TryStartMaster(slot, port, masterNodeId, initParam).Result();
}

// The module's answer to the identification request.
inline constexpr std::array<uint8_t, 9> kIdentAnswer{'!', '0', '0', 'V', 'e', 'x', 'a', 'n', 'W'};

// For an identification that failed where the module was meant to answer it
// in time: how many bytes of the answer (its last ones, or all of it) turned
// up on the port afterwards. Not zero means the module (its thread, or the
// line) was later than the window and the library is not to blame: the
// library no longer reads the port after a failed identification, so
// whatever came stays there; this takes it off. Zero when no such bytes came
// within `limit`: the library read the whole answer and still refused it, or
// the module never answered.
inline std::size_t LateAnswerBytes(VexanPort port, std::chrono::milliseconds limit = kWaitLimit)
{
    std::vector<uint8_t> came;
    // The answer may be followed by a carriage return or a line feed.
    const auto answerTail = [&came]() -> std::size_t {
        auto end = came.end();
        while (end != came.begin() && (*(end - 1) == '\r' || *(end - 1) == '\n')) {
            --end;
        }
        const auto size = static_cast<std::size_t>(end - came.begin());
        for (std::size_t tail = kIdentAnswer.size(); tail > 0; --tail) {
            if (size >= tail && std::equal(kIdentAnswer.end() - static_cast<std::ptrdiff_t>(tail), kIdentAnswer.end(),
                                           end - static_cast<std::ptrdiff_t>(tail))) {
                return tail;
            }
        }
        return 0;
    };
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        const std::size_t waiting = port::WaitForBytes(port, std::chrono::milliseconds(50));
        if (waiting == 0) {
            continue;
        }
        std::array<uint8_t, 64> buffer{};
        const long got = port::Read(port, buffer.data(), std::min(waiting, buffer.size()));
        if (got <= 0) {
            return 0;
        }
        came.insert(came.end(), buffer.begin(), buffer.begin() + got);
        if (const std::size_t tail = answerTail(); tail != 0) {
            return tail;
        }
    }
    return 0;
}

// True when the answer, or the rest of it, came after the window (see LateAnswerBytes).
inline bool AnswerCameLate(VexanPort port, std::chrono::milliseconds limit = kWaitLimit)
{
    return LateAnswerBytes(port, limit) != 0;
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
