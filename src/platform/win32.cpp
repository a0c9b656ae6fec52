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
#include <optional>
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
PortWait system::WaitReadable(PortHandle port, const WakeSignal* wake, uint32_t timeoutMs)
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

namespace {

// Security for a new spill file: one protected access list (nothing inherited
// from the directory) that grants full access to the process's user alone.
class OwnerOnlySecurity {
public:
    OwnerOnlySecurity()
    {
        HANDLE token = nullptr;
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) == 0) {
            return;
        }
        DWORD needed = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &needed);
        user_.resize(needed);
        const bool known = needed > 0 && GetTokenInformation(token, TokenUser, user_.data(), needed, &needed) != 0;
        CloseHandle(token);
        if (!known) {
            return;
        }
        const PSID sid = reinterpret_cast<TOKEN_USER*>(user_.data())->User.Sid;
        acl_.resize(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid));
        auto* acl = reinterpret_cast<ACL*>(acl_.data());
        if (InitializeAcl(acl, static_cast<DWORD>(acl_.size()), ACL_REVISION) == 0 ||
            AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, sid) == 0 ||
            InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) == 0 ||
            SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) == 0 ||
            SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED) == 0) {
            return;
        }
        attributes_.nLength = sizeof attributes_;
        attributes_.lpSecurityDescriptor = &descriptor_;
        attributes_.bInheritHandle = FALSE;
        ready_ = true;
    }
    OwnerOnlySecurity(const OwnerOnlySecurity&) = delete;
    OwnerOnlySecurity& operator=(const OwnerOnlySecurity&) = delete;

    // Null when the list could not be built; the file is then not created.
    SECURITY_ATTRIBUTES* Attributes() { return ready_ ? &attributes_ : nullptr; }

private:
    std::vector<uint8_t> user_;
    std::vector<uint8_t> acl_;
    SECURITY_DESCRIPTOR descriptor_{};
    SECURITY_ATTRIBUTES attributes_{};
    bool ready_ = false;
};

}  // namespace

// No sharing: while the library holds a spill file, no other opener (another
// board's upload of the same object, or the application) can open it, and a
// creating open that meets a holder fails before it truncates anything.
// The name lies in the process's current directory, which may be shared: a
// reparse point (a symbolic link, a junction) is opened as itself and refused,
// never followed, and only a file on disk is taken. A file is created with
// access for its owner alone; an existing one is truncated only once it passed
// these checks.
ExclusiveFile::ExclusiveFile(const char* path, Mode mode)
{
    if (mode == Mode::CreateTruncate && system::FileCreatesRefused()) {
        return;
    }
    const std::wstring wide = WidePath(path);
    if (wide.empty()) {
        return;
    }
    const bool create = mode == Mode::CreateTruncate;
    // Built only for a creating open: each further segment opens the file again.
    std::optional<OwnerOnlySecurity> security;
    SECURITY_ATTRIBUTES* attributes = nullptr;
    if (create) {
        attributes = security.emplace().Attributes();
        if (attributes == nullptr) {
            return;
        }
    }
    const DWORD access = mode == Mode::ReadExisting ? GENERIC_READ : (GENERIC_READ | GENERIC_WRITE);
    const DWORD disposition = create ? OPEN_ALWAYS : OPEN_EXISTING;
    const HANDLE file = CreateFileW(wide.c_str(), access, 0, attributes, disposition,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    const bool plain = GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info) != 0 &&
                       (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0;
    // Cut only a file that passed the checks above.
    const bool truncated =
        plain &&
        (!create || (SetFilePointerEx(file, LARGE_INTEGER{}, nullptr, FILE_BEGIN) != 0 && SetEndOfFile(file) != 0));
    if (!truncated) {
        CloseHandle(file);
        return;
    }
    handle_ = Native(file);
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

// A narrow name is the application's own, in the ANSI code page as every
// narrow file function of the system takes it: opened through the ANSI
// interface, never decoded here. A wide name goes through the wide one.
bool ReadWholeFile(const FilePath& path, std::string& out)
{
    out.clear();
    HANDLE file = INVALID_HANDLE_VALUE;
    if (path.wide) {
        const std::wstring wide = WidePath(path.text.c_str());
        if (wide.empty()) {
            return false;
        }
        file = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    } else {
        file = CreateFileA(path.text.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    }
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
