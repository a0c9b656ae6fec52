// Small helpers shared by the tests: waiting for a condition with a generous
// limit, measuring a wait, and joining byte strings.
#pragma once

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <thread>
#include <vector>

namespace vexan::test {

// How long a test waits for something that normally comes within
// milliseconds. A wait ends as soon as its condition holds, so only a failing
// test waits this long; it is generous because the machine may be loaded, and
// the virtual machine the tests run on has been seen to stand still for
// fifteen seconds at a time (every thread of every process, the clock running
// on).
inline constexpr auto kWaitLimit = std::chrono::seconds(30);

// Polls `predicate` every millisecond until it holds or `limit` passed.
template <typename Predicate>
bool WaitFor(Predicate predicate, std::chrono::milliseconds limit = kWaitLimit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return predicate();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Whole milliseconds since `since`.
inline long MsSince(std::chrono::steady_clock::time_point since)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count());
}

inline std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> out;
    for (const auto& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

}  // namespace vexan::test
