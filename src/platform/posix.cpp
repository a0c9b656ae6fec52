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
#include <vector>

#include "platform/platform.hpp"
#include "platform/system.hpp"

namespace vexan::platform {

namespace {

int Fd(NativeHandle handle)
{
    return static_cast<int>(handle);
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

long system::ReadPort(PortHandle port, uint8_t* buffer, std::size_t capacity)
{
    ssize_t got;
    do {
        got = ::read(port, buffer, capacity);
    } while (got < 0 && errno == EINTR);
    return static_cast<long>(got);
}

long system::WritePort(PortHandle port, const uint8_t* bytes, std::size_t count)
{
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

PortWait system::WaitReadable(PortHandle port, const WakeSignal* wake, uint32_t timeoutMs)
{
    std::array<pollfd, 2> entries{};
    nfds_t count = 0;
    if (port >= 0) {
        entries[count++] = {port, POLLIN, 0};
    }
    if (wake != nullptr && wake->Usable()) {
        entries[count++] = {Fd(wake->Handle()), POLLIN, 0};
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

bool PortGone(PortHandle port)
{
    if (port < 0) {
        return false;
    }
    // A hang-up and a closed descriptor are reported whatever events are asked for.
    pollfd entry{port, 0, 0};
    int ready = 0;
    do {
        ready = ::poll(&entry, 1, 0);
    } while (ready < 0 && errno == EINTR);
    return ready > 0 && (entry.revents & (POLLHUP | POLLNVAL)) != 0;
}

WakeSignal::WakeSignal()
{
    const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    handle_ = fd >= 0 ? fd : kNoHandle;
}

WakeSignal::~WakeSignal()
{
    if (handle_ != kNoHandle) {
        ::close(Fd(handle_));
    }
}

void WakeSignal::Notify()
{
    if (handle_ != kNoHandle) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t put = ::write(Fd(handle_), &one, sizeof one);
    }
    // Set after the write: whenever the descriptor is readable the flag is or
    // will be set, so a Clear that sees it unset leaves at most one early wake.
    signalled_.store(true);
}

void WakeSignal::Clear()
{
    if (signalled_.exchange(false) && handle_ != kNoHandle) {
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t got = ::read(Fd(handle_), &count, sizeof count);
    }
}

uint32_t system::Ticks()
{
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

void SleepMs(uint32_t ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The name lies in the process's current directory, which may be shared (a
// temporary directory, a common working directory): a link planted under it is
// not followed, only a regular file is taken, and an existing file is truncated
// only when it belongs to this process's user. The file is made readable and
// writable by its owner only, also when it was there before.
ExclusiveFile::ExclusiveFile(const char* path, Mode mode)
{
    if (mode == Mode::CreateTruncate && system::FileCreatesRefused()) {
        return;
    }
    const int access = mode == Mode::ReadExisting ? O_RDONLY : O_RDWR;
    const int flags =
        access | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | (mode == Mode::CreateTruncate ? O_CREAT : 0);
    const int fd = ::open(path, flags, S_IRUSR | S_IWUSR);
    if (fd < 0) {
        return;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return;
    }
    if (mode == Mode::CreateTruncate) {
        // Truncate only once the lock is ours, so another holder's data is not cut.
        const bool ours = info.st_uid == ::geteuid();
        const bool ownerOnly = (info.st_mode & (S_IRWXG | S_IRWXO)) == 0 || ::fchmod(fd, S_IRUSR | S_IWUSR) == 0;
        if (!ours || !ownerOnly || ::ftruncate(fd, 0) != 0) {
            ::close(fd);
            return;
        }
    }
    handle_ = fd;
}

ExclusiveFile::~ExclusiveFile()
{
    if (handle_ != kNoHandle) {
        ::close(Fd(handle_));  // also releases the lock
    }
}

bool ExclusiveFile::Append(const uint8_t* bytes, std::size_t count)
{
    const int fd = Fd(handle_);
    if (handle_ == kNoHandle || ::lseek(fd, 0, SEEK_END) < 0) {
        return false;
    }
    std::size_t done = 0;
    while (done < count) {
        const ssize_t put = ::write(fd, bytes + done, count - done);
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
    if (handle_ == kNoHandle || ::fstat(Fd(handle_), &info) != 0) {
        return -1;
    }
    return static_cast<long long>(info.st_size);
}

bool ExclusiveFile::ReadAt(uint64_t offset, uint8_t* bytes, std::size_t count)
{
    if (handle_ == kNoHandle) {
        return false;
    }
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got = ::pread(Fd(handle_), bytes + done, count - done, static_cast<off_t>(offset + done));
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

// Both kinds of name are bytes here: a wide one was made UTF-8.
bool ReadWholeFile(const FilePath& path, std::string& out)
{
    out.clear();
    const int fd = ::open(path.text.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool ok = true;
    try {
        std::vector<char> block(std::size_t{64} * 1024);
        for (;;) {
            const ssize_t got = ::read(fd, block.data(), block.size());
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                ok = got == 0;
                break;
            }
            out.append(block.data(), static_cast<std::size_t>(got));
        }
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);
    return ok;
}

}  // namespace vexan::platform
