// The simulator's line on Windows: the server end of a duplex byte-mode named
// pipe, opened for overlapped I/O so that the simulator's thread waits for
// bytes, for a write to drain and for a wake-up event at once and never
// blocks. The library's end is the pipe's client end, a plain synchronous
// handle, as it would get a serial port. When the library closes its end the
// server end listens again, so the line stays usable across the library's opens.
#include <windows.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "line.hpp"

namespace vexsim {

namespace {

constexpr DWORD kPipeBuffer = 64 * 1024;
constexpr std::size_t kReadChunk = 4096;
// How long OpenLibraryEnd waits for the server end to listen again after the
// library closed its previous end.
constexpr auto kReopenWait = std::chrono::seconds(5);

std::runtime_error SystemError(const std::string& what)
{
    return std::runtime_error(what + ": error " + std::to_string(::GetLastError()));
}

std::string NewPipeName()
{
    static std::atomic<unsigned> counter{0};
    return "\\\\.\\pipe\\vexan-sim-" + std::to_string(::GetCurrentProcessId()) + "-" +
           std::to_string(counter.fetch_add(1));
}

HANDLE NewEvent(BOOL manualReset)
{
    HANDLE event = ::CreateEventW(nullptr, manualReset, FALSE, nullptr);
    if (event == nullptr)
        throw SystemError("CreateEvent");
    return event;
}

}  // namespace

struct Line::State {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    HANDLE wake = nullptr;
    // One operation in flight on the reading side: a connect while no client
    // is there, otherwise a read.
    OVERLAPPED readOp{};
    bool connecting = false;
    bool reading = false;
    bool broken = false;  // the client went away: listen again
    std::vector<uint8_t> readBuffer = std::vector<uint8_t>(kReadChunk);
    std::vector<uint8_t> received;  // bytes read and not yet handed out
    bool readFailed = false;        // a read failed and is not yet reported
    OVERLAPPED writeOp{};
    bool writing = false;
    std::vector<uint8_t> writeBuffer;

    ~State()
    {
        if (pipe != INVALID_HANDLE_VALUE) {
            for (OVERLAPPED* op : {&readOp, &writeOp}) {
                ::CancelIoEx(pipe, op);
            }
            DWORD ignored = 0;
            if (connecting || reading)
                ::GetOverlappedResult(pipe, &readOp, &ignored, TRUE);
            if (writing)
                ::GetOverlappedResult(pipe, &writeOp, &ignored, TRUE);
            ::CloseHandle(pipe);
        }
        for (HANDLE event : {wake, readOp.hEvent, writeOp.hEvent}) {
            if (event != nullptr)
                ::CloseHandle(event);
        }
    }

    void Listen()
    {
        ::ResetEvent(readOp.hEvent);
        if (::ConnectNamedPipe(pipe, &readOp)) {
            return;  // connected at once
        }
        const DWORD error = ::GetLastError();
        if (error == ERROR_IO_PENDING) {
            connecting = true;
        } else if (error != ERROR_PIPE_CONNECTED) {
            readFailed = true;
        }
    }

    // Starts the next read, or listens again when the client went away.
    void StartReading()
    {
        if (connecting || reading || !received.empty() || readFailed)
            return;
        if (broken) {
            broken = false;
            ::DisconnectNamedPipe(pipe);
            Listen();
            if (connecting || readFailed)
                return;
        }
        ::ResetEvent(readOp.hEvent);
        DWORD got = 0;
        if (::ReadFile(pipe, readBuffer.data(), static_cast<DWORD>(readBuffer.size()), &got, &readOp)) {
            received.assign(readBuffer.begin(), readBuffer.begin() + got);
            return;
        }
        switch (::GetLastError()) {
        case ERROR_IO_PENDING:
            reading = true;
            break;
        case ERROR_BROKEN_PIPE:
        case ERROR_PIPE_NOT_CONNECTED:
        case ERROR_NO_DATA:
            broken = true;
            readFailed = true;
            break;
        default:
            readFailed = true;
            break;
        }
    }

    // The read or connect in flight has finished.
    void FinishReading()
    {
        DWORD got = 0;
        const BOOL ok = ::GetOverlappedResult(pipe, &readOp, &got, FALSE);
        const DWORD error = ok ? ERROR_SUCCESS : ::GetLastError();
        if (connecting) {
            connecting = false;
            if (!ok && error != ERROR_PIPE_CONNECTED)
                broken = true;
            return;
        }
        reading = false;
        if (ok) {
            received.assign(readBuffer.begin(), readBuffer.begin() + got);
            return;
        }
        if (error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_NO_DATA ||
            error == ERROR_OPERATION_ABORTED)
            broken = true;
        readFailed = true;
    }

    // Whether the write in flight has finished (its outcome does not matter:
    // the bytes were counted when the line took them).
    bool WriteDone(DWORD wait)
    {
        if (!writing)
            return true;
        if (::WaitForSingleObject(writeOp.hEvent, wait) != WAIT_OBJECT_0)
            return false;
        DWORD put = 0;
        ::GetOverlappedResult(pipe, &writeOp, &put, FALSE);
        writing = false;
        return true;
    }
};

Line::Line(std::unique_ptr<State> state, std::string path) : state_(std::move(state)), path_(std::move(path)) {}

Line::~Line() = default;

std::unique_ptr<Line> Line::OpenNew()
{
    auto state = std::make_unique<State>();
    state->wake = NewEvent(FALSE);
    state->readOp.hEvent = NewEvent(TRUE);
    state->writeOp.hEvent = NewEvent(TRUE);
    std::string path = NewPipeName();
    state->pipe =
        ::CreateNamedPipeA(path.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                           PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, kPipeBuffer,
                           kPipeBuffer, 0, nullptr);
    if (state->pipe == INVALID_HANDLE_VALUE)
        throw SystemError("CreateNamedPipe " + path);
    state->Listen();
    if (state->readFailed)
        throw SystemError("ConnectNamedPipe " + path);
    return std::unique_ptr<Line>(new Line(std::move(state), std::move(path)));
}

std::unique_ptr<Line> Line::OpenDevice(const std::string& path, unsigned)
{
    throw std::runtime_error("open " + path + ": the simulator runs on a named pipe only on this platform");
}

LinePort Line::OpenLibraryEnd() const
{
    if (device_ || path_.empty())
        return kNoLinePort;
    // The one pipe instance is busy until the simulator's thread has seen the
    // library's previous end go and listens again.
    const auto deadline = std::chrono::steady_clock::now() + kReopenWait;
    while (true) {
        HANDLE port = ::CreateFileA(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (port != INVALID_HANDLE_VALUE)
            return port;
        if (::GetLastError() != ERROR_PIPE_BUSY || std::chrono::steady_clock::now() >= deadline)
            return kNoLinePort;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

Line::Ready Line::Wait(std::chrono::milliseconds timeout, bool wantWrite)
{
    State& s = *state_;
    s.StartReading();
    if (!s.received.empty() || s.readFailed)
        return Ready::Readable;
    if (wantWrite && !s.writing)
        return Ready::Nothing;  // room now
    std::array<HANDLE, 3> handles{};
    DWORD count = 0;
    handles[count++] = s.wake;
    if (s.connecting || s.reading)
        handles[count++] = s.readOp.hEvent;
    if (wantWrite && s.writing)
        handles[count++] = s.writeOp.hEvent;
    const DWORD waited = ::WaitForMultipleObjects(count, handles.data(), FALSE,
                                                  static_cast<DWORD>(std::max<long long>(timeout.count(), 0)));
    if (waited == WAIT_FAILED)
        return Ready::Failed;
    // Any of the events may be set, not only the first one reported.
    if ((s.connecting || s.reading) && ::WaitForSingleObject(s.readOp.hEvent, 0) == WAIT_OBJECT_0) {
        const bool wasConnecting = s.connecting;
        s.FinishReading();
        if (wasConnecting)
            s.StartReading();
    }
    s.WriteDone(0);
    return !s.received.empty() || s.readFailed ? Ready::Readable : Ready::Nothing;
}

void Line::Wake()
{
    ::SetEvent(state_->wake);
}

long Line::Read(uint8_t* buffer, std::size_t size)
{
    State& s = *state_;
    if (s.received.empty()) {
        if (s.readFailed) {
            s.readFailed = false;
            // A client that went away is not a failure of the line: it listens again.
            return s.broken ? 0 : -1;
        }
        return 0;
    }
    const std::size_t taken = std::min(size, s.received.size());
    std::memcpy(buffer, s.received.data(), taken);
    s.received.erase(s.received.begin(), s.received.begin() + static_cast<std::ptrdiff_t>(taken));
    return static_cast<long>(taken);
}

long Line::Write(const uint8_t* bytes, std::size_t count)
{
    State& s = *state_;
    if (!s.WriteDone(0))
        return 0;  // the previous write has not drained yet
    if (s.connecting || s.broken)
        return -1;  // no library end to write to
    s.writeBuffer.assign(bytes, bytes + count);
    ::ResetEvent(s.writeOp.hEvent);
    DWORD put = 0;
    if (::WriteFile(s.pipe, s.writeBuffer.data(), static_cast<DWORD>(count), &put, &s.writeOp))
        return static_cast<long>(put);
    if (::GetLastError() != ERROR_IO_PENDING)
        return -1;
    // Taken: the bytes go out as the library reads them.
    s.writing = true;
    return static_cast<long>(count);
}

// ------------------------------------------------------------ library's end

bool WriteLinePort(LinePort port, const uint8_t* bytes, std::size_t count)
{
    std::size_t done = 0;
    while (done < count) {
        DWORD put = 0;
        if (!::WriteFile(port, bytes + done, static_cast<DWORD>(count - done), &put, nullptr) || put == 0)
            return false;
        done += put;
    }
    return true;
}

long ReadLinePort(LinePort port, uint8_t* buffer, std::size_t size, std::chrono::milliseconds wait)
{
    // Polled in 1 ms slices, as the library waits: on a synchronous handle a
    // blocked read would hold up the test's writes.
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (true) {
        DWORD waiting = 0;
        if (!::PeekNamedPipe(port, nullptr, 0, nullptr, &waiting, nullptr))
            return -1;
        if (waiting > 0) {
            DWORD got = 0;
            if (!::ReadFile(port, buffer, std::min<DWORD>(waiting, static_cast<DWORD>(size)), &got, nullptr))
                return -1;
            return static_cast<long>(got);
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return 0;
        ::Sleep(1);
    }
}

void CloseLinePort(LinePort port)
{
    if (port != kNoLinePort && port != nullptr)
        ::CloseHandle(port);
}

}  // namespace vexsim
