// The pseudo-terminal between the library and the device that prints each frame.
#include "trace_relay.hpp"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <sstream>

namespace vexantool {

namespace {

bool MakeRaw(int fd)
{
    termios mode{};
    if (tcgetattr(fd, &mode) != 0) {
        return false;
    }
    cfmakeraw(&mode);
    mode.c_cc[VMIN] = 1;
    mode.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &mode) == 0;
}

bool WriteAll(int fd, const uint8_t* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::mutex gPrintMutex;

}  // namespace

TraceRelay::TraceRelay(int deviceFd, std::string label)
    : deviceFd_(deviceFd), label_(std::move(label)), start_(std::chrono::steady_clock::now())
{
    controllerFd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (controllerFd_ < 0 || grantpt(controllerFd_) != 0 || unlockpt(controllerFd_) != 0) {
        return;
    }
    const char* name = ptsname(controllerFd_);
    libraryFd_ = name != nullptr ? open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    if (libraryFd_ < 0 || !MakeRaw(libraryFd_) || !MakeRaw(controllerFd_) || pipe(wake_) != 0) {
        if (libraryFd_ >= 0) {
            close(libraryFd_);
        }
        libraryFd_ = -1;
        return;
    }
    thread_ = std::thread([this] { Run(); });
}

TraceRelay::~TraceRelay()
{
    if (thread_.joinable()) {
        const char c = 0;
        [[maybe_unused]] auto n = write(wake_[1], &c, 1);
        thread_.join();
    }
    for (int fd : {libraryFd_, controllerFd_, wake_[0], wake_[1]}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

void TraceRelay::Print(const std::string& direction, const std::string& text)
{
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start_).count();
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%4lld.%06lld", static_cast<long long>(elapsed / 1000000),
                  static_cast<long long>(elapsed % 1000000));
    std::lock_guard lock(gPrintMutex);
    // One write for the whole line, so that no message of another thread lands inside it.
    std::ostringstream line;
    line << "trace " << stamp << ' ' << label_ << direction << ' ' << text << '\n';
    std::cerr << line.str();
}

// Moves what `from` has to `to` and prints its frames; false when nothing came.
bool TraceRelay::Forward(int from, int to, FrameDecoder& decoder, const char* direction)
{
    uint8_t buffer[512];
    const ssize_t n = read(from, buffer, sizeof buffer);
    if (n <= 0) {
        return false;
    }
    WriteAll(to, buffer, static_cast<std::size_t>(n));
    decoder.Feed({buffer, static_cast<std::size_t>(n)},
                 [this, direction](const std::string& text) { Print(direction, text); });
    return true;
}

// Passes every byte on between the library and the device until the wake pipe
// is written. After that, what is still under way on either side is passed on
// until the line has been quiet for a moment, so that the last frames (the
// master's stop command) are traced too.
void TraceRelay::Run()
{
    constexpr int kQuietMs = 20;
    bool stopping = false;
    for (;;) {
        // Once stopping, the wake pipe (still readable) is left out of the poll.
        pollfd fds[3] = {{controllerFd_, POLLIN, 0}, {deviceFd_, POLLIN, 0}, {stopping ? -1 : wake_[0], POLLIN, 0}};
        const int ready = poll(fds, 3, stopping ? kQuietMs : -1);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0 || (stopping && ready == 0)) {
            return;
        }
        if ((fds[2].revents & POLLIN) != 0) {
            stopping = true;
            continue;
        }
        bool moved = false;
        if ((fds[0].revents & POLLIN) != 0) {
            moved = Forward(controllerFd_, deviceFd_, toModule_, "<-");
        }
        if ((fds[1].revents & POLLIN) != 0) {
            moved = Forward(deviceFd_, controllerFd_, fromModule_, "->") || moved;
        }
        if (stopping && !moved) {
            return;
        }
        if (!stopping && ((fds[0].revents | fds[1].revents) & (POLLERR | POLLNVAL)) != 0) {
            // A side went away: wait for the stop instead of spinning.
            pollfd stop{wake_[0], POLLIN, 0};
            poll(&stop, 1, -1);
            return;
        }
    }
}

}  // namespace vexantool
