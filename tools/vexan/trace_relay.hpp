// The frame trace (--trace): a pseudo-terminal between the library and the device.
#pragma once

#include <chrono>
#include <string>
#include <thread>

#include "frame_decoder.hpp"

namespace vexantool {

// Puts a pseudo-terminal between the library and the device: the library gets
// LibraryFd(); every byte is passed on unchanged and every frame printed to
// stderr, timestamped, "<-" from the library and "->" from the module.
class TraceRelay {
public:
    TraceRelay(int deviceFd, std::string label);
    ~TraceRelay();
    TraceRelay(const TraceRelay&) = delete;
    TraceRelay& operator=(const TraceRelay&) = delete;
    int LibraryFd() const { return libraryFd_; }

private:
    void Run();
    bool Forward(int from, int to, FrameDecoder& decoder, const char* direction);
    void Print(const std::string& direction, const std::string& text);

    int deviceFd_;
    std::string label_;
    int controllerFd_ = -1;
    int libraryFd_ = -1;
    int wake_[2] = {-1, -1};
    std::thread thread_;
    std::chrono::steady_clock::time_point start_;
    FrameDecoder toModule_{false};
    FrameDecoder fromModule_{true};
};

}  // namespace vexantool
