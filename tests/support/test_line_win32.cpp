// The peer's line on Windows: a duplex byte-mode named pipe. The peer owns the
// server end, opened for overlapped I/O so that its reader thread can wait for
// bytes while its sender thread writes, and so that a write the library does
// not drain can be abandoned. The library gets the client end, a plain
// synchronous handle, as it would get a serial port.
#include <windows.h>

#include <atomic>
#include <cstring>
#include <string>
#include <system_error>
#include <vector>

#include "test_line.hpp"

namespace vexan::test {

namespace {

constexpr DWORD kPipeBuffer = 64 * 1024;
constexpr DWORD kRoomWaitMs = 10;

[[noreturn]] void ThrowLastError(const char* what)
{
    throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(), what);
}

std::wstring NewPipeName()
{
    static std::atomic<unsigned> counter{0};
    return L"\\\\.\\pipe\\vexan-test-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
           std::to_wstring(counter.fetch_add(1));
}

// One overlapped operation on the peer's end with its own event and buffer;
// the buffer must outlive the operation, so it lives here.
struct Operation {
    OVERLAPPED overlapped{};
    std::vector<uint8_t> buffer;
    bool pending = false;

    Operation()
    {
        overlapped.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (overlapped.hEvent == nullptr) {
            ThrowLastError("CreateEvent");
        }
    }
    ~Operation() { ::CloseHandle(overlapped.hEvent); }
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;

    // Ends an operation still in flight before its buffer may go.
    void Abandon(HANDLE handle)
    {
        if (pending) {
            ::CancelIoEx(handle, &overlapped);
            DWORD ignored = 0;
            ::GetOverlappedResult(handle, &overlapped, &ignored, TRUE);
            pending = false;
        }
    }
};

}  // namespace

struct PeerLine::Ends {
    HANDLE module = INVALID_HANDLE_VALUE;  // server end, overlapped
    HANDLE port = INVALID_HANDLE_VALUE;    // client end, synchronous
    Operation read;
    Operation write;
};

PeerLine::PeerLine() : ends_(std::make_unique<Ends>())
{
    const std::wstring name = NewPipeName();
    ends_->module =
        ::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                           PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, kPipeBuffer,
                           kPipeBuffer, 0, nullptr);
    if (ends_->module == INVALID_HANDLE_VALUE) {
        ThrowLastError("CreateNamedPipe");
    }
    ends_->port = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (ends_->port == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        ::CloseHandle(ends_->module);
        throw std::system_error(static_cast<int>(error), std::system_category(), "open pipe client end");
    }
    // The client is connected already; the call only confirms it.
    if (!::ConnectNamedPipe(ends_->module, &ends_->read.overlapped) && ::GetLastError() != ERROR_PIPE_CONNECTED) {
        const DWORD error = ::GetLastError();
        ::CloseHandle(ends_->port);
        ::CloseHandle(ends_->module);
        throw std::system_error(static_cast<int>(error), std::system_category(), "ConnectNamedPipe");
    }
}

PeerLine::~PeerLine()
{
    ClosePeerEnd();
    CloseLibraryEnd();
}

VexanPort PeerLine::LibraryPort() const
{
    return ends_->port;
}

long PeerLine::Read(uint8_t* buffer, size_t size, int sliceMs)
{
    Operation& op = ends_->read;
    if (ends_->module == INVALID_HANDLE_VALUE) {
        return -1;
    }
    if (!op.pending) {
        op.buffer.resize(size);
        ::ResetEvent(op.overlapped.hEvent);
        DWORD got = 0;
        if (::ReadFile(ends_->module, op.buffer.data(), static_cast<DWORD>(size), &got, &op.overlapped)) {
            std::memcpy(buffer, op.buffer.data(), got);
            return static_cast<long>(got);
        }
        if (::GetLastError() != ERROR_IO_PENDING) {
            return -1;
        }
        op.pending = true;
    }
    if (::WaitForSingleObject(op.overlapped.hEvent, static_cast<DWORD>(sliceMs)) != WAIT_OBJECT_0) {
        return 0;
    }
    op.pending = false;
    DWORD got = 0;
    if (!::GetOverlappedResult(ends_->module, &op.overlapped, &got, FALSE)) {
        return -1;
    }
    const size_t taken = std::min<size_t>(got, size);
    std::memcpy(buffer, op.buffer.data(), taken);
    return static_cast<long>(taken);
}

bool PeerLine::WriteAll(const uint8_t* bytes, size_t count, const std::atomic<bool>& stop)
{
    Operation& op = ends_->write;
    size_t done = 0;
    while (done < count) {
        if (stop.load() || ends_->module == INVALID_HANDLE_VALUE) {
            return false;
        }
        op.buffer.assign(bytes + done, bytes + count);
        ::ResetEvent(op.overlapped.hEvent);
        DWORD put = 0;
        if (!::WriteFile(ends_->module, op.buffer.data(), static_cast<DWORD>(op.buffer.size()), &put, &op.overlapped)) {
            if (::GetLastError() != ERROR_IO_PENDING) {
                return false;  // the line is gone
            }
            op.pending = true;
            // The library is not reading and the pipe is full: wait for room,
            // giving up when the peer stops.
            while (::WaitForSingleObject(op.overlapped.hEvent, kRoomWaitMs) != WAIT_OBJECT_0) {
                if (stop.load()) {
                    op.Abandon(ends_->module);
                    return false;
                }
            }
            op.pending = false;
            if (!::GetOverlappedResult(ends_->module, &op.overlapped, &put, FALSE)) {
                return false;
            }
        }
        done += put;
    }
    return true;
}

void PeerLine::ClosePeerEnd()
{
    if (ends_->module != INVALID_HANDLE_VALUE) {
        ends_->read.Abandon(ends_->module);
        ends_->write.Abandon(ends_->module);
        ::CloseHandle(ends_->module);
        ends_->module = INVALID_HANDLE_VALUE;
    }
}

void PeerLine::CloseLibraryEnd()
{
    if (ends_->port != INVALID_HANDLE_VALUE) {
        ::CloseHandle(ends_->port);
        ends_->port = INVALID_HANDLE_VALUE;
    }
}

namespace port {

namespace {

// Bytes waiting on a pipe, or on a serial port; false when the line failed.
bool Waiting(VexanPort port, DWORD& waiting)
{
    waiting = 0;
    if (::GetFileType(port) == FILE_TYPE_PIPE) {
        return ::PeekNamedPipe(port, nullptr, 0, nullptr, &waiting, nullptr) != 0;
    }
    COMSTAT status{};
    DWORD errors = 0;
    if (!::ClearCommError(port, &errors, &status)) {
        return false;
    }
    waiting = status.cbInQue;
    return true;
}

}  // namespace

bool WriteAll(VexanPort port, const uint8_t* bytes, size_t count)
{
    size_t done = 0;
    while (done < count) {
        DWORD put = 0;
        if (!::WriteFile(port, bytes + done, static_cast<DWORD>(count - done), &put, nullptr) || put == 0) {
            return false;
        }
        done += put;
    }
    return true;
}

size_t WaitForBytes(VexanPort port, std::chrono::milliseconds limit)
{
    // Polled in 1 ms slices, as the library waits: a synchronous handle offers
    // no wait that a concurrent write would not queue behind.
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
        DWORD waiting = 0;
        if (!Waiting(port, waiting)) {
            return 0;
        }
        if (waiting > 0) {
            return waiting;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return 0;
        }
        ::Sleep(1);
    }
}

long Read(VexanPort port, uint8_t* buffer, size_t size)
{
    DWORD got = 0;
    if (!::ReadFile(port, buffer, static_cast<DWORD>(size), &got, nullptr)) {
        return -1;
    }
    return static_cast<long>(got);
}

bool IsBlocking(VexanPort port)
{
    DWORD state = 0;
    if (!::GetNamedPipeHandleStateW(port, &state, nullptr, nullptr, nullptr, nullptr, 0)) {
        return false;
    }
    return (state & PIPE_NOWAIT) == 0 && (state & PIPE_READMODE_MESSAGE) == 0;
}

void Close(VexanPort port)
{
    if (port != INVALID_HANDLE_VALUE && port != nullptr) {
        ::CloseHandle(port);
    }
}

}  // namespace port

}  // namespace vexan::test
