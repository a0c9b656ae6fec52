#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/platform.hpp"

namespace vexan::platform {

namespace {

std::atomic<uint32_t> tickOffset{0};
std::atomic<uint32_t> readFaultCountdown{0};
std::atomic<uint32_t> writeFaultCountdown{0};
std::atomic<uint32_t> threadFaultCountdown{0};
std::atomic<testing::WriteFault> writeFaultKind{testing::WriteFault::Fail};

uint32_t RawTicks()
{
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

// Counts one port operation against a fault countdown; true when this is the
// operation that must fail.
bool TakeFault(std::atomic<uint32_t>& countdown)
{
    uint32_t left = countdown.load(std::memory_order_relaxed);
    while (left != 0) {
        if (countdown.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
            return left == 1;
        }
    }
    return false;
}

}  // namespace

void SelectSlot(uint8_t /*slot*/) {}

long BytesWaiting(PortHandle port)
{
    int waiting = 0;
    if (::ioctl(port, FIONREAD, &waiting) != 0) {
        return -1;
    }
    return waiting;
}

long ReadBytes(PortHandle port, uint8_t* buffer, std::size_t capacity)
{
    if (TakeFault(readFaultCountdown)) {
        return -1;
    }
    ssize_t got;
    do {
        got = ::read(port, buffer, capacity);
    } while (got < 0 && errno == EINTR);
    return static_cast<long>(got);
}

long WriteBytes(PortHandle port, const uint8_t* bytes, std::size_t count)
{
    if (TakeFault(writeFaultCountdown)) {
        if (writeFaultKind.load(std::memory_order_relaxed) == testing::WriteFault::Fail || count < 2) {
            return -1;
        }
        count /= 2;  // a cut-short write: part of the frame goes out
    }
    std::size_t done = 0;
    while (done < count) {
        const ssize_t put = ::write(port, bytes + done, count - done);
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            return done == 0 ? -1 : static_cast<long>(done);
        }
        if (put == 0) {
            break;
        }
        done += static_cast<std::size_t>(put);
    }
    return static_cast<long>(done);
}

PortWait WaitReadable(PortHandle port, const WakeSignal* wake, uint32_t timeoutMs)
{
    std::array<pollfd, 2> entries{};
    nfds_t count = 0;
    if (port >= 0) {
        entries[count++] = {port, POLLIN, 0};
    }
    if (wake != nullptr && wake->Usable()) {
        entries[count++] = {wake->Handle(), POLLIN, 0};
    }
    if (count == 0) {
        SleepMs(timeoutMs);
        return PortWait::Quiet;
    }
    const int ready = ::poll(entries.data(), count, static_cast<int>(timeoutMs));
    if (ready <= 0 || port < 0) {
        return PortWait::Quiet;
    }
    const short events = entries[0].revents;
    if ((events & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
        return PortWait::Error;
    }
    return (events & POLLIN) != 0 ? PortWait::Ready : PortWait::Quiet;
}

bool ThreadStartAllowed()
{
    return !TakeFault(threadFaultCountdown);
}

WakeSignal::WakeSignal() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

WakeSignal::~WakeSignal()
{
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void WakeSignal::Notify()
{
    if (fd_ >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t put = ::write(fd_, &one, sizeof one);
    }
    // Set after the write: whenever the descriptor is readable the flag is or
    // will be set, so a Clear that sees it unset leaves at most one early wake.
    signalled_.store(true);
}

void WakeSignal::Clear()
{
    if (signalled_.exchange(false) && fd_ >= 0) {
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t got = ::read(fd_, &count, sizeof count);
    }
}

uint32_t TickCount()
{
    return RawTicks() + tickOffset.load(std::memory_order_relaxed);
}

void SleepMs(uint32_t ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

ExclusiveFile::ExclusiveFile(const char* path, Mode mode)
{
    const int access = mode == Mode::ReadExisting ? O_RDONLY : O_RDWR;
    const int flags = access | O_CLOEXEC | (mode == Mode::CreateTruncate ? O_CREAT : 0);
    const int fd = ::open(path, flags, 0644);
    if (fd < 0) {
        return;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return;
    }
    // Truncate only once the lock is ours, so another holder's data is not cut.
    if (mode == Mode::CreateTruncate && ::ftruncate(fd, 0) != 0) {
        ::close(fd);
        return;
    }
    fd_ = fd;
}

ExclusiveFile::~ExclusiveFile()
{
    if (fd_ >= 0) {
        ::close(fd_);  // also releases the lock
    }
}

bool ExclusiveFile::Append(const uint8_t* bytes, std::size_t count)
{
    if (fd_ < 0 || ::lseek(fd_, 0, SEEK_END) < 0) {
        return false;
    }
    std::size_t done = 0;
    while (done < count) {
        const ssize_t put = ::write(fd_, bytes + done, count - done);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(put);
    }
    return true;
}

long long ExclusiveFile::Size() const
{
    struct stat info {};
    if (fd_ < 0 || ::fstat(fd_, &info) != 0) {
        return -1;
    }
    return static_cast<long long>(info.st_size);
}

bool ExclusiveFile::ReadAt(uint64_t offset, uint8_t* bytes, std::size_t count)
{
    if (fd_ < 0) {
        return false;
    }
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got = ::pread(fd_, bytes + done, count - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
}

namespace testing {

void SetTickCount(uint32_t value)
{
    tickOffset.store(value - RawTicks(), std::memory_order_relaxed);
}

void FailNthRead(uint32_t n)
{
    readFaultCountdown.store(n, std::memory_order_relaxed);
}

void FailNthWrite(uint32_t n, WriteFault fault)
{
    writeFaultKind.store(fault, std::memory_order_relaxed);
    writeFaultCountdown.store(n, std::memory_order_relaxed);
}

void FailNthThreadStart(uint32_t n)
{
    threadFaultCountdown.store(n, std::memory_order_relaxed);
}

}  // namespace testing

}  // namespace vexan::platform
