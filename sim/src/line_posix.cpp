// The simulator's line on POSIX: the controlling side of a pseudo-terminal
// (its port side held open by the simulator too, so the line stays up between
// the library's opens), or a serial device; a pipe wakes the thread.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "line.hpp"

namespace vexsim {

namespace {

void MakeRaw(int fd, unsigned baud)
{
    termios tio{};
    if (tcgetattr(fd, &tio) != 0)
        return;
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (baud != 0) {
        speed_t speed = B115200;
        switch (baud) {
        case 9600:
            speed = B9600;
            break;
        case 19200:
            speed = B19200;
            break;
        case 38400:
            speed = B38400;
            break;
        case 57600:
            speed = B57600;
            break;
        case 230400:
            speed = B230400;
            break;
        case 460800:
            speed = B460800;
            break;
        case 921600:
            speed = B921600;
            break;
        default:
            break;
        }
        cfsetispeed(&tio, speed);
        cfsetospeed(&tio, speed);
    }
    tcsetattr(fd, TCSANOW, &tio);
}

std::runtime_error SystemError(const std::string& what)
{
    return std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

struct Line::State {
    int lineFd = -1;
    int keepFd = -1;  // our own handle on the port side, so the line stays up between library opens
    int wakeRead = -1;
    int wakeWrite = -1;

    ~State()
    {
        for (int fd : {lineFd, keepFd, wakeRead, wakeWrite}) {
            if (fd >= 0)
                close(fd);
        }
    }

    void Prepare()
    {
        fcntl(lineFd, F_SETFL, fcntl(lineFd, F_GETFL) | O_NONBLOCK);
        fcntl(lineFd, F_SETFD, FD_CLOEXEC);
        std::array<int, 2> wake{};
        if (pipe2(wake.data(), O_NONBLOCK | O_CLOEXEC) != 0)
            throw SystemError("pipe");
        wakeRead = wake[0];
        wakeWrite = wake[1];
    }
};

Line::Line(std::unique_ptr<State> state, std::string path) : state_(std::move(state)), path_(std::move(path)) {}

Line::~Line() = default;

std::unique_ptr<Line> Line::OpenNew()
{
    auto state = std::make_unique<State>();
    state->lineFd = posix_openpt(O_RDWR | O_NOCTTY);
    if (state->lineFd < 0)
        throw SystemError("posix_openpt");
    std::array<char, 128> name{};
    if (grantpt(state->lineFd) != 0 || unlockpt(state->lineFd) != 0 ||
        ptsname_r(state->lineFd, name.data(), name.size()) != 0) {
        throw SystemError("pseudo-terminal set-up");
    }
    std::string path = name.data();
    state->keepFd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (state->keepFd < 0)
        throw SystemError("open " + path);
    MakeRaw(state->keepFd, 0);
    state->Prepare();
    return std::unique_ptr<Line>(new Line(std::move(state), std::move(path)));
}

std::unique_ptr<Line> Line::OpenDevice(const std::string& path, unsigned baud)
{
    auto state = std::make_unique<State>();
    state->lineFd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (state->lineFd < 0)
        throw SystemError("open " + path);
    if (isatty(state->lineFd))
        MakeRaw(state->lineFd, baud);
    state->Prepare();
    std::unique_ptr<Line> line(new Line(std::move(state), path));
    line->device_ = true;
    return line;
}

LinePort Line::OpenLibraryEnd() const
{
    if (device_ || path_.empty())
        return kNoLinePort;
    int fd = open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0)
        MakeRaw(fd, 0);
    return fd;
}

Line::Ready Line::Wait(std::chrono::milliseconds timeout, bool wantWrite)
{
    std::array<pollfd, 2> fds{pollfd{state_->lineFd, static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0)), 0},
                              pollfd{state_->wakeRead, POLLIN, 0}};
    if (poll(fds.data(), fds.size(), std::max(static_cast<int>(timeout.count()), 0)) < 0)
        return errno == EINTR ? Ready::Nothing : Ready::Failed;
    if (fds[1].revents & POLLIN) {
        std::array<char, 64> drain{};
        while (read(state_->wakeRead, drain.data(), drain.size()) > 0) {
        }
    }
    return (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) ? Ready::Readable : Ready::Nothing;
}

void Line::Wake()
{
    const char c = 1;
    [[maybe_unused]] auto n = write(state_->wakeWrite, &c, 1);
}

long Line::Read(uint8_t* buffer, std::size_t size)
{
    const ssize_t n = read(state_->lineFd, buffer, size);
    if (n < 0)
        return errno == EAGAIN || errno == EINTR ? 0 : -1;
    return static_cast<long>(n);
}

long Line::Write(const uint8_t* bytes, std::size_t count)
{
    const ssize_t n = write(state_->lineFd, bytes, count);
    if (n < 0)
        return errno == EAGAIN || errno == EINTR ? 0 : -1;
    return static_cast<long>(n);
}

// ------------------------------------------------------------ library's end

bool WriteLinePort(LinePort port, const uint8_t* bytes, std::size_t count)
{
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = write(port, bytes + done, count - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

long ReadLinePort(LinePort port, uint8_t* buffer, std::size_t size, std::chrono::milliseconds wait)
{
    pollfd p{port, POLLIN, 0};
    const int ready = poll(&p, 1, std::max(static_cast<int>(wait.count()), 0));
    if (ready < 0)
        return -1;
    if (ready == 0)
        return 0;
    const ssize_t n = read(port, buffer, size);
    return n > 0 ? static_cast<long>(n) : -1;
}

void CloseLinePort(LinePort port)
{
    if (port >= 0)
        close(port);
}

}  // namespace vexsim
