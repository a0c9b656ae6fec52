// The receive side of one slot: the frame scanner, the read buffer and the pass
// counters, the board's receive thread that runs passes over them, and the
// reader role that lets a waiting caller read the line itself. Only one thread
// reads a slot's port at a time: whoever holds the reader role.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <utility>
#include <vector>

#include "platform/platform.hpp"
#include "platform/thread.hpp"

namespace vexan {

inline constexpr std::size_t kReadBufferSize = 512;
// Milliseconds without bytes after which a half-received frame is given up.
inline constexpr uint32_t kPartialFrameDropMs = 10;
inline constexpr uint32_t kEventStepPasses = 5;
// A port in error is not read again sooner than this.
inline constexpr uint32_t kPortErrorRestMs = 1;

// The time a half-received frame waits for its rest: kPartialFrameDropMs,
// unless a test has set it otherwise.
uint32_t PartialFrameDropMs();

namespace testing {
// Lets a half-received frame wait `ms` for its rest (0: back to the usual
// time). For tests about frames that come in pieces, on a machine loaded
// enough to hold the sending side back between two pieces for longer than the
// usual time; the time itself is tested with the usual value.
void SetPartialFrameDropMs(uint32_t ms);
}  // namespace testing

// Cuts a byte stream into frames. A frame split over several reads is carried
// until it is complete; bytes outside a frame are skipped up to the next ':'.
// Each complete frame is handed on with its length byte and its bytes from the
// command byte on (exactly `length` bytes).
class FrameScanner {
public:
    using Sink = std::function<void(uint8_t length, std::span<const uint8_t> frame)>;

    void Scan(std::span<const uint8_t> bytes, const Sink& sink);
    // Forgets a partially received frame.
    void DropPartial() { carryCount_ = 0; }
    // 0 between frames, 1 after a lone ':', 2 and more: start, length and part of the rest.
    uint16_t CarryCount() const { return carryCount_; }

private:
    void Emit(const Sink& sink);

    std::array<uint8_t, kReadBufferSize> carry_{};
    uint16_t carryCount_ = 0;
};

// What the receive side calls, wired once when the library state is built.
struct ReceiveHooks {
    // Files one complete frame read from the slot's port.
    void (*dispatch)(uint8_t slot, uint8_t length, std::span<const uint8_t> frame) = nullptr;
    // The event step: the board's callbacks, then the event poll. `stop` turns
    // true once the thread is being stopped; from then on the step must run no
    // further callback and send nothing.
    void (*eventStep)(uint8_t slot, uint8_t board, const std::atomic<bool>& stop) = nullptr;
};

// True on any board's receive thread, inside the callbacks it runs too (also
// after a callback stopped that thread). Such a thread never waits for another
// receive thread or for a callback to end: two callbacks could wait for each
// other.
bool OnReceiveThread();

// Opened by the event step around each application callback: while it is
// open, the receive thread is not in the middle of its own work, so a stop
// from another receive thread need not wait for the callback (which may be
// waiting for that very thread) to know that the thread touches nothing more.
// Does nothing on a thread that is not a receive thread.
class CallbackWindow {
public:
    CallbackWindow();
    ~CallbackWindow();
    CallbackWindow(const CallbackWindow&) = delete;
    CallbackWindow& operator=(const CallbackWindow&) = delete;

private:
    std::unique_lock<std::mutex>* activity_;
};

class ReceiveSide {
public:
    ReceiveSide(uint8_t slot, const ReceiveHooks& hooks);
    ~ReceiveSide();
    ReceiveSide(const ReceiveSide&) = delete;
    ReceiveSide& operator=(const ReceiveSide&) = delete;

    // Starts the board's receive thread with a fresh scanner and counters,
    // stopping one still running. False when no thread could be started.
    bool StartThread();
    // Stops the receive thread cooperatively. On an application thread it
    // waits for the thread to end. On a receive thread (from inside a
    // callback, of this board or another) it does not join, since the thread
    // may itself be in a callback that waits for the caller: it waits only
    // until the thread is resting or inside a callback, from where it runs no
    // further callback, reads and sends nothing and dispatches no frame; the
    // thread ends once control returns to it and is joined by the next start
    // or stop from an application thread, or when the library unloads.
    void StopThread();
    bool ThreadRunning() const { return thread_ != nullptr; }
    // True on the board's receive thread (also inside the callbacks it runs).
    bool IsReceiveThread() const;

    // One pass of the receive thread: reads what waits on the port unless a
    // caller holds the reader role, dispatches every complete frame, runs the
    // event step when `withEventStep` is set, and checks the timed pause.
    // `stop` is the thread's stop flag: once it is set (by a callback that shut
    // the board down) the pass touches nothing more. A waiting caller's read
    // is a pass without the event step: see ReaderTurn::Read.
    void RunPass(const std::atomic<bool>& stop, bool withEventStep);

    // The reader role, held by a blocking caller while it waits for its reply:
    // it reads and dispatches the line itself, so the reply needs no hand-over
    // from the receive thread. The receive thread keeps running the event step
    // and takes over reading when the turn ends.
    class ReaderTurn {
    public:
        explicit ReaderTurn(ReceiveSide& side) : side_(&side) {}
        ReaderTurn(ReaderTurn&& other) noexcept : side_(std::exchange(other.side_, nullptr)) {}
        ReaderTurn& operator=(ReaderTurn&& other) noexcept
        {
            if (this != &other) {
                End();
                side_ = std::exchange(other.side_, nullptr);
            }
            return *this;
        }
        ReaderTurn(const ReaderTurn&) = delete;
        ReaderTurn& operator=(const ReaderTurn&) = delete;
        ~ReaderTurn() { End(); }

        // Waits up to `ms` for bytes, then reads once and dispatches what
        // completed. A port in error is rested on instead of watched.
        void Read(uint32_t ms);

    private:
        // Hands the line back to the receive thread.
        void End() noexcept;

        ReceiveSide* side_;
    };

    // The reader role when no one else reads the port now.
    std::optional<ReaderTurn> TryTakeReader();
    // The reader role, waiting for a current reader to finish (the
    // identification at start-up reads the bare port this way).
    ReaderTurn TakeReader();
    // True while a caller holds the reader role.
    bool CallerReading() const { return callerReading_.load(); }

    // True once the port reported itself gone (a hang-up, a removed device, a
    // pipe whose other end closed) and nothing was read since: a waiting call
    // then ends instead of waiting out its time-out.
    bool LineGone() const { return lineGone_.load(); }

private:
    void Run(const std::atomic<bool>& stop);
    // Reads once and dispatches; call with the reader lock held.
    void ReadOnce();
    void ResetCounters();
    // Joins the threads retired by stops made on receive threads. On a
    // receive thread only those already ended are joined (the others may be
    // in a callback that waits for this one); the current thread never is.
    void JoinRetired();
    // Asks the port whether it is gone after a failed read or wait.
    void NotePortFailure();

    uint8_t slot_;
    ReceiveHooks hooks_;

    std::mutex readerLock_;  // held by whoever reads the port
    std::atomic<bool> callerReading_{false};
    // Guarded by readerLock_:
    FrameScanner scanner_;
    std::array<uint8_t, kReadBufferSize> readBuffer_{};
    uint32_t lastReadTick_ = 0;
    // Read by the thread to plan its rest, written under readerLock_:
    std::atomic<uint32_t> failedReadMs_{0};  // milliseconds of failed reads in a row since the last bytes
    std::atomic<bool> partialFrame_{false};
    std::atomic<bool> portError_{false};
    std::atomic<bool> lineGone_{false};
    // Touched by the receive thread only:
    uint32_t lastEventTick_ = 0;

    // Held by the receive thread while it works; let go while it rests and
    // while it runs a callback (see CallbackWindow).
    std::mutex activity_;

    std::atomic<std::thread::id> threadId_{};
    std::unique_ptr<platform::StoppableThread> thread_;
    std::vector<std::unique_ptr<platform::StoppableThread>> retired_;
};

}  // namespace vexan
