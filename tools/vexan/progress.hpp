// The progress line a long transfer shows on a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace vexantool {

// "1.2 MB/s", "800 B/s".
std::string RateText(double bytesPerSecond);

// One progress line on stderr: the bytes so far, the percentage and the time
// left when the size is known (total > 0), and the rate.
void ShowProgress(const char* what, uint64_t done, uint64_t total, std::chrono::steady_clock::time_point start);

}  // namespace vexantool
