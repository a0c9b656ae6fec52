// The Windows side of the platform layer: ReadFile and WriteFile on the HANDLE
// the application passes in (a serial port, or a pipe in the tests), the bytes
// waiting from ClearCommError or PeekNamedPipe, GetTickCount, Sleep with a 1 ms
// timer period taken while the library is loaded, a manual-reset event as the
// wake signal, and spill files opened with no sharing.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// windows.h first: timeapi.h needs its types.
#include <timeapi.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.hpp"
#include "platform/system.hpp"

namespace vexan::platform {

namespace {

HANDLE Win(PortHandle port)
{
    return static_cast<HANDLE>(port);
}

HANDLE Win(NativeHandle handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

NativeHandle Native(HANDLE handle)
{
    return handle == nullptr || handle == INVALID_HANDLE_VALUE ? kNoHandle : reinterpret_cast<NativeHandle>(handle);
}

// Sleep and the waits below count in the system timer's period, 15.6 ms by
// default; the library polls in 1 ms steps, so it asks for a 1 ms period for as
// long as it is loaded.
struct TimerPeriod {
    TimerPeriod() : taken(timeBeginPeriod(1) == TIMERR_NOERROR) {}
    ~TimerPeriod()
    {
        if (taken) {
            timeEndPeriod(1);
        }
    }
    TimerPeriod(const TimerPeriod&) = delete;
    TimerPeriod& operator=(const TimerPeriod&) = delete;
    bool taken;
};

const TimerPeriod timerPeriod;

// A wide (UTF-16) copy of a UTF-8 path; empty when it does not convert.
std::wstring WidePath(const char* utf8Path)
{
    const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8Path, -1, nullptr, 0);
    if (units <= 0) {
        return {};
    }
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8Path, -1, wide.data(), units) != units) {
        return {};
    }
    wide.resize(static_cast<std::size_t>(units - 1));  // the terminating NUL
    return wide;
}

DWORD Chunk(std::size_t count)
{
    return static_cast<DWORD>(std::min<std::size_t>(count, 0x10000000));
}

}  // namespace

void SelectSlot(uint8_t /*slot*/) {}

long BytesWaiting(PortHandle port)
{
    const HANDLE handle = Win(port);
    if (GetFileType(handle) == FILE_TYPE_PIPE) {
        DWORD available = 0;
        if (PeekNamedPipe(handle, nullptr, 0, nullptr, &available, nullptr) == 0) {
            return -1;
        }
        return static_cast<long>(std::min<DWORD>(available, 0x7FFFFFFF));
    }
    DWORD errors = 0;
    COMSTAT status{};
    if (ClearCommError(handle, &errors, &status) == 0) {
        return -1;
    }
    return static_cast<long>(std::min<DWORD>(status.cbInQue, 0x7FFFFFFF));
}

long system::ReadPort(PortHandle port, uint8_t* buffer, std::size_t capacity)
{
    DWORD got = 0;
    if (ReadFile(Win(port), buffer, Chunk(capacity), &got, nullptr) == 0) {
        return -1;
    }
    return static_cast<long>(got);
}

long system::WritePort(PortHandle port, const uint8_t* bytes, std::size_t count)
{
    std::size_t done = 0;
    while (done < count) {
        DWORD put = 0;
        if (WriteFile(Win(port), bytes + done, Chunk(count - done), &put, nullptr) == 0) {
            return done == 0 ? -1 : static_cast<long>(done);
        }
        if (put == 0) {
            break;
        }
        done += put;
    }
    return static_cast<long>(done);
}

// Neither a serial port opened for synchronous use nor an anonymous or named
// pipe end can be waited on for incoming bytes, so the port is asked every
// millisecond; the wake event ends each slice early.
PortWait WaitReadable(PortHandle port, const WakeSignal* wake, uint32_t timeoutMs)
{
    const HANDLE event = wake != nullptr && wake->Usable() ? Win(wake->Handle()) : nullptr;
    if (port == kNoPort) {
        if (event != nullptr) {
            WaitForSingleObject(event, timeoutMs);
        } else {
            Sleep(timeoutMs);
        }
        return PortWait::Quiet;
    }
    const DWORD start = GetTickCount();
    for (;;) {
        const long waiting = BytesWaiting(port);
        if (waiting < 0) {
            return PortWait::Error;
        }
        if (waiting > 0) {
            return PortWait::Ready;
        }
        const DWORD spent = GetTickCount() - start;
        if (spent >= timeoutMs) {
            return PortWait::Quiet;
        }
        if (event != nullptr) {
            if (WaitForSingleObject(event, 1) == WAIT_OBJECT_0) {
                return PortWait::Quiet;
            }
        } else {
            Sleep(1);
        }
    }
}

bool PortGone(PortHandle port)
{
    const HANDLE handle = Win(port);
    if (GetFileType(handle) == FILE_TYPE_PIPE) {
        DWORD available = 0;
        if (PeekNamedPipe(handle, nullptr, 0, nullptr, &available, nullptr) != 0) {
            return false;
        }
        const DWORD error = GetLastError();
        return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_INVALID_HANDLE;
    }
    DWORD errors = 0;
    COMSTAT status{};
    if (ClearCommError(handle, &errors, &status) != 0) {
        return false;
    }
    // What a serial driver answers once its device was unplugged, or a handle
    // that is no longer valid.
    switch (GetLastError()) {
    case ERROR_INVALID_HANDLE:
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_REMOVED:
    case ERROR_GEN_FAILURE:
    case ERROR_FILE_NOT_FOUND:
        return true;
    default:
        return false;
    }
}

WakeSignal::WakeSignal() : handle_(Native(CreateEventW(nullptr, TRUE, FALSE, nullptr))) {}

WakeSignal::~WakeSignal()
{
    if (handle_ != kNoHandle) {
        CloseHandle(Win(handle_));
    }
}

void WakeSignal::Notify()
{
    if (handle_ != kNoHandle) {
        SetEvent(Win(handle_));
    }
    // Set after the event: whenever the event is set the flag is or will be
    // set, so a Clear that sees it unset leaves at most one early wake.
    signalled_.store(true);
}

void WakeSignal::Clear()
{
    if (signalled_.exchange(false) && handle_ != kNoHandle) {
        ResetEvent(Win(handle_));
    }
}

uint32_t system::Ticks()
{
    return GetTickCount();
}

void SleepMs(uint32_t ms)
{
    Sleep(ms);
}

// No sharing: while the library holds a spill file, no other opener (another
// board's upload of the same object, or the application) can open it, and a
// creating open that meets a holder fails before it truncates anything.
ExclusiveFile::ExclusiveFile(const char* path, Mode mode)
{
    const std::wstring wide = WidePath(path);
    if (wide.empty()) {
        return;
    }
    const DWORD access = mode == Mode::ReadExisting ? GENERIC_READ : (GENERIC_READ | GENERIC_WRITE);
    const DWORD disposition = mode == Mode::CreateTruncate ? CREATE_ALWAYS : OPEN_EXISTING;
    handle_ = Native(CreateFileW(wide.c_str(), access, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
}

ExclusiveFile::~ExclusiveFile()
{
    if (handle_ != kNoHandle) {
        CloseHandle(Win(handle_));
    }
}

bool ExclusiveFile::Append(const uint8_t* bytes, std::size_t count)
{
    if (handle_ == kNoHandle) {
        return false;
    }
    LARGE_INTEGER end{};
    if (SetFilePointerEx(Win(handle_), LARGE_INTEGER{}, &end, FILE_END) == 0) {
        return false;
    }
    std::size_t done = 0;
    while (done < count) {
        DWORD put = 0;
        if (WriteFile(Win(handle_), bytes + done, Chunk(count - done), &put, nullptr) == 0 || put == 0) {
            return false;
        }
        done += put;
    }
    return true;
}

long long ExclusiveFile::Size() const
{
    LARGE_INTEGER size{};
    if (handle_ == kNoHandle || GetFileSizeEx(Win(handle_), &size) == 0) {
        return -1;
    }
    return static_cast<long long>(size.QuadPart);
}

bool ExclusiveFile::ReadAt(uint64_t offset, uint8_t* bytes, std::size_t count)
{
    if (handle_ == kNoHandle) {
        return false;
    }
    std::size_t done = 0;
    while (done < count) {
        const uint64_t at = offset + done;
        OVERLAPPED where{};
        where.Offset = static_cast<DWORD>(at & 0xFFFFFFFFU);
        where.OffsetHigh = static_cast<DWORD>(at >> 32);
        DWORD got = 0;
        if (ReadFile(Win(handle_), bytes + done, Chunk(count - done), &got, &where) == 0 || got == 0) {
            return false;
        }
        done += got;
    }
    return true;
}

bool ReadWholeFile(const char* utf8Path, std::string& out)
{
    out.clear();
    const std::wstring wide = WidePath(utf8Path);
    if (wide.empty()) {
        return false;
    }
    const HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool ok = true;
    try {
        std::vector<char> block(std::size_t{64} * 1024);
        for (;;) {
            DWORD got = 0;
            if (ReadFile(file, block.data(), static_cast<DWORD>(block.size()), &got, nullptr) == 0) {
                ok = false;
                break;
            }
            if (got == 0) {
                break;
            }
            out.append(block.data(), got);
        }
    } catch (...) {
        CloseHandle(file);
        throw;
    }
    CloseHandle(file);
    return ok;
}

}  // namespace vexan::platform
