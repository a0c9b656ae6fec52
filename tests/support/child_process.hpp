// Runs a piece of a test in a child process of its own, for tests of what
// happens when a process ends. POSIX only (a fork): on Windows the call throws,
// and such tests are in tests/windows-skips.txt.
#pragma once

#include <chrono>
#include <functional>

namespace vexan::test {

// Runs `body` in a child process and returns its exit status, 128 + the signal
// when a signal ended it, or -1 when it did not end within the limit (it is
// then killed). `body` must end the process itself; returning from it gives 99.
int RunInChild(const std::function<void()>& body, std::chrono::seconds limit = std::chrono::seconds(20));

}  // namespace vexan::test
