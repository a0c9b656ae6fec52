// The peer's line on POSIX: a pseudo-terminal, both ends in raw mode; the
// peer's end does not block, the library's end does.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "pty.hpp"
#include "test_line.hpp"

namespace vexan::test {

namespace {
constexpr int kRoomWaitMs = 10;
}

struct PeerLine::Ends {
    UniqueFd module;  // the peer's end, non-blocking
    UniqueFd port;    // the library's end, blocking
};

PeerLine::PeerLine() : ends_(std::make_unique<Ends>())
{
    PtyPair pair = OpenPtyPair();
    MakeRaw(pair.module.Get());
    const int flags = ::fcntl(pair.module.Get(), F_GETFL);
    if (flags < 0 || ::fcntl(pair.module.Get(), F_SETFL, flags | O_NONBLOCK) != 0) {
        ThrowErrno("fcntl");
    }
    ends_->module = std::move(pair.module);
    ends_->port = std::move(pair.port);
}

PeerLine::~PeerLine() = default;

VexanPort PeerLine::LibraryPort() const
{
    return ends_->port.Get();
}

long PeerLine::Read(uint8_t* buffer, size_t size, int sliceMs)
{
    pollfd entry{ends_->module.Get(), POLLIN, 0};
    const int ready = ::poll(&entry, 1, sliceMs);
    if (ready <= 0) {
        return 0;
    }
    if ((entry.revents & POLLIN) == 0) {
        return -1;  // hang-up or error only: poll would report it at once for ever
    }
    const ssize_t got = ::read(ends_->module.Get(), buffer, size);
    if (got > 0) {
        return static_cast<long>(got);
    }
    return got < 0 && errno != EAGAIN && errno != EINTR ? -1 : 0;
}

bool PeerLine::WriteAll(const uint8_t* bytes, size_t count, const std::atomic<bool>& stop)
{
    size_t done = 0;
    while (done < count) {
        if (stop.load()) {
            return false;
        }
        const ssize_t put = ::write(ends_->module.Get(), bytes + done, count - done);
        if (put > 0) {
            done += static_cast<size_t>(put);
            continue;
        }
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return false;  // the line is gone
        }
        // The library is not reading and the line is full: wait for room.
        pollfd entry{ends_->module.Get(), POLLOUT, 0};
        ::poll(&entry, 1, kRoomWaitMs);
    }
    return true;
}

void PeerLine::ClosePeerEnd()
{
    ends_->module.Reset();
}

void PeerLine::CloseLibraryEnd()
{
    ends_->port.Reset();
}

namespace port {

bool WriteAll(VexanPort port, const uint8_t* bytes, size_t count)
{
    return vexan::test::WriteAll(port, std::span<const uint8_t>(bytes, count));
}

size_t WaitForBytes(VexanPort port, std::chrono::milliseconds limit)
{
    pollfd entry{port, POLLIN, 0};
    const int timeout = limit.count() > 0 ? static_cast<int>(limit.count()) : 0;
    if (::poll(&entry, 1, timeout) <= 0 || (entry.revents & POLLIN) == 0) {
        return 0;
    }
    int waiting = 0;
    if (::ioctl(port, FIONREAD, &waiting) != 0 || waiting <= 0) {
        return 0;
    }
    return static_cast<size_t>(waiting);
}

long Read(VexanPort port, uint8_t* buffer, size_t size)
{
    return static_cast<long>(::read(port, buffer, size));
}

bool IsBlocking(VexanPort port)
{
    const int flags = ::fcntl(port, F_GETFL);
    return flags >= 0 && (flags & O_NONBLOCK) == 0;
}

void Close(VexanPort port)
{
    if (port >= 0) {
        ::close(port);
    }
}

}  // namespace port

}  // namespace vexan::test
