// Pseudo-terminal pairs in raw mode, shared by the scripted module peer and the
// benchmarks. Header-only and free of any test framework, so that programs
// built without the tests can use it too. Failures throw std::system_error.
#pragma once

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <system_error>
#include <utility>

namespace vexan::test {

// Owns one file descriptor.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other) {
            Reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return fd_; }
    // Hands the descriptor over to the caller, who then closes it.
    int Release() { return std::exchange(fd_, -1); }
    void Reset()
    {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

[[noreturn]] inline void ThrowErrno(const char* what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

// Raw mode: no echo, no line editing, no translation of bytes. A blocking read
// returns as soon as one byte is there, with all that is there.
inline void MakeRaw(int fd)
{
    termios mode{};
    if (::tcgetattr(fd, &mode) != 0) {
        ThrowErrno("tcgetattr");
    }
    ::cfmakeraw(&mode);
    mode.c_cc[VMIN] = 1;
    mode.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &mode) != 0) {
        ThrowErrno("tcsetattr");
    }
}

// The controlling side of a new pseudo-terminal, and the name of its port side.
struct PtyController {
    UniqueFd controller;
    std::string portName;
};

inline PtyController OpenPtyController()
{
    UniqueFd controller(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (controller.Get() < 0) {
        ThrowErrno("posix_openpt");
    }
    if (::grantpt(controller.Get()) != 0 || ::unlockpt(controller.Get()) != 0) {
        ThrowErrno("grantpt/unlockpt");
    }
    std::array<char, 128> name{};
    if (::ptsname_r(controller.Get(), name.data(), name.size()) != 0) {
        ThrowErrno("ptsname_r");
    }
    return {std::move(controller), std::string(name.data())};
}

// Opens the port side by name, in raw mode: this is what the library gets.
inline UniqueFd OpenRawPort(const std::string& name)
{
    UniqueFd port(::open(name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (port.Get() < 0) {
        ThrowErrno("open pseudo-terminal port");
    }
    MakeRaw(port.Get());
    return port;
}

// Both ends of one pseudo-terminal: the module side and the raw port side.
struct PtyPair {
    UniqueFd module;
    UniqueFd port;
};

inline PtyPair OpenPtyPair()
{
    PtyController opened = OpenPtyController();
    UniqueFd port = OpenRawPort(opened.portName);
    return {std::move(opened.controller), std::move(port)};
}

// Writes every byte to a blocking descriptor; false when the line failed.
inline bool WriteAll(int fd, std::span<const uint8_t> bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(put);
    }
    return true;
}

}  // namespace vexan::test
