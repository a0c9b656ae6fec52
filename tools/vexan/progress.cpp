// The progress line a long transfer shows on a terminal.
#include "progress.hpp"

#include <cstdio>

namespace vexantool {

std::string RateText(double bytesPerSecond)
{
    char text[32];
    if (bytesPerSecond >= 1e6) {
        std::snprintf(text, sizeof text, "%.1f MB/s", bytesPerSecond / 1e6);
    } else if (bytesPerSecond >= 1e3) {
        std::snprintf(text, sizeof text, "%.1f kB/s", bytesPerSecond / 1e3);
    } else {
        std::snprintf(text, sizeof text, "%.0f B/s", bytesPerSecond);
    }
    return text;
}

void ShowProgress(const char* what, uint64_t done, uint64_t total, std::chrono::steady_clock::time_point start)
{
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    std::string text = std::string(what) + " ";
    if (total > 0) {
        char head[64];
        std::snprintf(head, sizeof head, "%3u%% (%llu / %llu bytes)", static_cast<unsigned>(100 * done / total),
                      static_cast<unsigned long long>(done), static_cast<unsigned long long>(total));
        text += head;
    } else {
        text += std::to_string(done) + " bytes";
    }
    if (rate > 0) {
        text += ", " + RateText(rate);
        if (total > 0) {
            const auto left = static_cast<unsigned long long>(static_cast<double>(total - done) / rate + 0.5);
            char tail[32];
            std::snprintf(tail, sizeof tail, ", %llu:%02llu left", left / 60, left % 60);
            text += tail;
        }
    }
    std::fprintf(stderr, "\r\033[K%s", text.c_str());
    std::fflush(stderr);
}

}  // namespace vexantool
