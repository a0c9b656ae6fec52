// The library's only view of the operating system: the slot's serial port, a
// 32-bit millisecond tick counter, sleeping, waiting for bytes, the exclusive
// files that hold large uploads, and reading a whole text file. One
// implementation file per system (posix.cpp, win32.cpp) below one shared file
// (platform.cpp) that holds the test hooks in front of the port and the clock.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "vexan.h"

namespace vexan::platform {

// What the application hands over: a file descriptor on POSIX, a HANDLE on Windows.
using PortHandle = VexanPort;
inline const PortHandle kNoPort = VEXAN_NO_PORT;

// A system object held by the library itself (descriptor or HANDLE), or -1.
using NativeHandle = std::intptr_t;
inline constexpr NativeHandle kNoHandle = -1;

// One unit of a wide path as the application passes it: UTF-16 everywhere,
// spelled wchar_t on Windows and char16_t elsewhere.
#if defined(_WIN32)
using WidePathUnit = wchar_t;
#else
using WidePathUnit = char16_t;
#endif
static_assert(sizeof(WidePathUnit) == 2, "wide paths are UTF-16");

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
    bool Usable() const { return handle_ != kNoHandle; }
    void Notify();
    // Resets the signal; costs a system call only when it was signalled.
    void Clear();
    NativeHandle Handle() const { return handle_; }

private:
    NativeHandle handle_ = kNoHandle;
    std::atomic<bool> signalled_{false};
};

enum class PortWait {
    Ready,  // bytes are waiting on the port
    Quiet,  // the time passed, or the wake signal came, with nothing to read
    Error,  // the port reports an error or a hang-up: reads will fail or find nothing
};

// True when the port reports itself gone for good: a hang-up, a removed
// device, a pipe whose other end was closed. Asked after a failed read or wait.
bool PortGone(PortHandle port);

// Waits until the port has bytes to read, `wake` is signalled, or `timeoutMs`
// passed. With port kNoPort only the signal and the time are waited for.
PortWait WaitReadable(PortHandle port, const WakeSignal* wake, uint32_t timeoutMs);

// Milliseconds of a free-running 32-bit counter that wraps after about 49.7 days.
uint32_t TickCount();

void SleepMs(uint32_t ms);

// A file that no other opener may hold at the same time, opened for reading
// and writing (or only for reading with ReadExisting). Closed by its destructor.
// A link (on Windows any reparse point) at the path is refused, never
// followed, and so is anything but a plain file; CreateTruncate leaves the
// file readable and writable by its owner only, and refuses an existing file
// of another user.
class ExclusiveFile {
public:
    enum class Mode { CreateTruncate, OpenExisting, ReadExisting };
    ExclusiveFile(const char* path, Mode mode);
    ~ExclusiveFile();
    ExclusiveFile(const ExclusiveFile&) = delete;
    ExclusiveFile& operator=(const ExclusiveFile&) = delete;

    bool IsOpen() const { return handle_ != kNoHandle; }
    // Appends all bytes at the end of the file; false on any failure.
    bool Append(const uint8_t* bytes, std::size_t count);
    // The file's length in bytes, or -1 when it cannot be told.
    long long Size() const;
    // Reads exactly `count` bytes from `offset` on; false on any failure or a
    // file that ends before them.
    bool ReadAt(uint64_t offset, uint8_t* bytes, std::size_t count);

private:
    NativeHandle handle_ = kNoHandle;
};

// A file name as the application gave it. A narrow name is the application's
// own bytes, handed to the system unchanged (on Windows through the ANSI file
// interface, so in the ANSI code page); a wide (UTF-16) name is kept here as
// UTF-8 and opened through the system's wide interface where it has one.
struct FilePath {
    FilePath() = default;
    FilePath(std::string narrow) : text(std::move(narrow)) {}  // NOLINT: a narrow name converts
    FilePath(const char* narrow) : text(narrow) {}             // NOLINT: a narrow name converts
    static FilePath FromWide(std::string utf8)
    {
        FilePath path(std::move(utf8));
        path.wide = true;
        return path;
    }

    std::string text;
    bool wide = false;
};

// Reads the whole file at `path` into `out`; false when it cannot be opened
// or a read fails. May throw std::bad_alloc for a file larger than memory.
bool ReadWholeFile(const FilePath& path, std::string& out);

// How the library is being unloaded, as far as the system tells it: on Windows
// the DLL's entry point reports an unload by FreeLibrary (its threads still run
// and cannot be joined while the loader is locked) or at process exit (the
// system has ended them already). Always None elsewhere.
enum class Unload { None, Library, Process };
Unload CurrentUnload();
void SetUnload(Unload kind);

// False when the system may not start another thread now: the library is
// being unloaded (RefuseThreadStarts), or a test hook refuses the Nth start.
// The caller then reports the failure.
bool ThreadStartAllowed();
// From now on no thread starts: the library's unload has begun, and a thread
// started now could outlive the state it works on.
void RefuseThreadStarts();

// Test hooks. The tick counter can be moved so that it reads `value` now and
// counts on from there (to cross the 32-bit wrap in milliseconds), or held at
// `value` until released (any number of reads within one millisecond), and the
// Nth port read or write from now can be made to fail, as can file creates.
namespace testing {
void SetTickCount(uint32_t value);
void HoldTickCount(uint32_t value);
void ReleaseTickCount();
enum class WriteFault { Fail, Short };
// The nth read (1 = the next one) of any port fails; 0 cancels.
void FailNthRead(uint32_t n);
// The nth write (1 = the next one) of any port fails or writes only part.
void FailNthWrite(uint32_t n, WriteFault fault = WriteFault::Fail);
// The nth thread start (1 = the next one) fails; 0 cancels.
void FailNthThreadStart(uint32_t n);
// While set, every ExclusiveFile opened with CreateTruncate fails at once,
// as in a directory where no file can be made, without asking the system.
void RefuseFileCreates(bool refused);
// While held, every WaitReadable on a port stays in the platform layer until
// released, whatever time it was given: the way a wait for a pseudo-
// terminal's bytes stays in the kernel while the kernel's hand-over of the
// other side's bytes is held back on a loaded machine. Release before the
// threads that wait are stopped.
void HoldPortWaits(bool held);
// True once some wait is held, within `limit`.
bool WaitForHeldPortWait(std::chrono::milliseconds limit);
}  // namespace testing

}  // namespace vexan::platform
