// The library's only view of the operating system: the slot's serial port, a
// 32-bit millisecond tick counter, sleeping, waiting for bytes, and the
// exclusive files that hold large uploads. One implementation file per system.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace vexan::platform {

using PortHandle = int;
inline constexpr PortHandle kNoPort = -1;

// Prepares the slot's serial channel before every port access. The module's
// slots need no selection here; the hook is kept so that every write and read
// follows its own selection as on controllers where they do.
void SelectSlot(uint8_t slot);

// Number of bytes waiting on the port, or -1 when the query fails.
long BytesWaiting(PortHandle port);

// Reads up to `capacity` bytes; returns the count read or -1 on failure.
long ReadBytes(PortHandle port, uint8_t* buffer, std::size_t capacity);

// Writes `count` bytes; returns the count written or -1 on failure.
long WriteBytes(PortHandle port, const uint8_t* bytes, std::size_t count);

// Wakes a thread that waits in WaitReadable. Stays signalled until Clear().
class WakeSignal {
public:
    WakeSignal();
    ~WakeSignal();
    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;

    // False when the system gave no signal; waiters then cannot be woken early.
    bool Usable() const { return fd_ >= 0; }
    void Notify();
    // Resets the signal; costs a system call only when it was signalled.
    void Clear();
    int Handle() const { return fd_; }

private:
    int fd_ = -1;
    std::atomic<bool> signalled_{false};
};

enum class PortWait {
    Ready,  // bytes are waiting on the port
    Quiet,  // the time passed, or the wake signal came, with nothing to read
    Error,  // the port reports an error or a hang-up: reads will fail or find nothing
};

// Waits until the port has bytes to read, `wake` is signalled, or `timeoutMs`
// passed. With port kNoPort only the signal and the time are waited for.
PortWait WaitReadable(PortHandle port, const WakeSignal* wake, uint32_t timeoutMs);

// Milliseconds of a free-running 32-bit counter that wraps after about 49.7 days.
uint32_t TickCount();

void SleepMs(uint32_t ms);

// A file that no other opener may hold at the same time, opened for reading
// and writing (or only for reading with ReadExisting). Closed by its destructor.
class ExclusiveFile {
public:
    enum class Mode { CreateTruncate, OpenExisting, ReadExisting };
    ExclusiveFile(const char* path, Mode mode);
    ~ExclusiveFile();
    ExclusiveFile(const ExclusiveFile&) = delete;
    ExclusiveFile& operator=(const ExclusiveFile&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    // Appends all bytes at the end of the file; false on any failure.
    bool Append(const uint8_t* bytes, std::size_t count);
    // The file's length in bytes, or -1 when it cannot be told.
    long long Size() const;
    // Reads exactly `count` bytes from `offset` on; false on any failure or a
    // file that ends before them.
    bool ReadAt(uint64_t offset, uint8_t* bytes, std::size_t count);

private:
    int fd_ = -1;
};

// False when the system may not start another thread now (a test hook can
// refuse the Nth start); the caller then reports the failure.
bool ThreadStartAllowed();

// Test hooks. The tick counter can be moved so that it reads `value` now and
// counts on from there (to cross the 32-bit wrap in milliseconds), and the Nth
// port read or write from now can be made to fail.
namespace testing {
void SetTickCount(uint32_t value);
enum class WriteFault { Fail, Short };
// The nth read (1 = the next one) of any port fails; 0 cancels.
void FailNthRead(uint32_t n);
// The nth write (1 = the next one) of any port fails or writes only part.
void FailNthWrite(uint32_t n, WriteFault fault = WriteFault::Fail);
// The nth thread start (1 = the next one) fails; 0 cancels.
void FailNthThreadStart(uint32_t n);
}  // namespace testing

}  // namespace vexan::platform
