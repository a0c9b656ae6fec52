// The library's process-wide link state: the slot records, the board states,
// the transmit gate with its timed pause, and the two process-wide locks.
//
// The one library state. The library keeps no mutable state outside one
// object, built in library.cpp while the library loads (before any export can
// be called) and torn down when it is unloaded. Each layer declares the
// accessor of its own part, and library.cpp defines them all:
//   Link()         link/library_state.hpp   slots, boards, gate, locks and the
//                                           receive sides
//   Replies()      engine/reply_tables.hpp  every board's reply records, with
//                                           the filers the families registered
//   Events()       events/events.hpp        the event queues and the
//                                           application's callbacks
//   EdsLoadJobs()  eds/eds_load.hpp         the EDS runs and their workers
// The SDO family's filer lives there too, reached only through the reply
// tables. The wiring is done there as well: the receive side is handed the
// dispatcher and the event step, the reply tables the families' filers, so
// that no lower layer includes a higher one.
// Teardown, in this order: no export starts a thread any more, every EDS run
// is told to end at its next call, every receive thread runs its last callback
// and is joined, the EDS workers are joined; only then are the parts
// destroyed, the link first (a receive thread that a callback stopped from
// inside itself is joined there, with all its callback can reach in place),
// then the reply tables, the filers, the events and the EDS jobs.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "link/receive_side.hpp"
#include "platform/platform.hpp"

namespace vexan {

inline constexpr std::size_t kBoardCount = 8;
inline constexpr uint8_t kNoBoard = 8;
inline constexpr uint8_t kBoardClosed = 255;
inline constexpr uint32_t kDefaultFunctionTimeout = 1000;

struct SlotRecord {
    std::atomic<uint8_t> board{kNoBoard};
    std::atomic<platform::PortHandle> port{platform::kNoPort};
    // The slot's scanner, its receive thread and the reader role; lives as
    // long as the library.
    std::unique_ptr<ReceiveSide> receive;
    uint8_t slotNumber = 0;
};

struct BoardState {
    std::atomic<uint8_t> openFlag{kBoardClosed};  // 255 closed, else the master's node id
    std::atomic<uint32_t> functionTimeout{kDefaultFunctionTimeout};
    // Requests of the board awaiting a reply; while there are none the receive
    // thread need not watch the port between its event steps.
    std::atomic<uint32_t> outstanding{0};
    // Counts the times the slot was released: work begun for the board before
    // a shut-down can tell that the board it was meant for is gone.
    std::atomic<uint32_t> session{0};
    platform::WakeSignal wake;  // wakes the board's receive thread from its rest
};

// Pauses all traffic of every board, untimed or for a number of milliseconds.
// A timed pause ends once its length has passed since it began, counted in
// wrap-safe elapsed ticks; the check runs on every receive-thread pass and
// whenever the closed gate refuses a send or read, so it also ends when no
// board is open.
class TransmitGate {
public:
    void Pause(uint32_t ms);
    void Start();
    // True when traffic may pass (ends an expired timed pause first).
    bool IsOpen();
    void CheckPauseDeadline();

private:
    std::atomic<uint8_t> open_{1};
    std::mutex lock_;  // guards the timed-pause fields below
    uint32_t pauseLength_ = 0;
    uint32_t pauseStart_ = 0;
};

using SlotTable = std::array<SlotRecord, kBoardCount>;

// A lock a caller waits for no longer than it is told: a flag guarded by a
// plain mutex and a condition variable (both understood by the thread
// checker, whose interception of the timed pthread lock is incomplete).
// Meets the Lockable and TimedLockable requirements used with std::unique_lock.
class TimedLock {
public:
    void lock()
    {
        std::unique_lock guard(mutex_);
        released_.wait(guard, [this] { return !held_; });
        held_ = true;
    }
    bool try_lock()
    {
        const std::lock_guard guard(mutex_);
        if (held_) {
            return false;
        }
        held_ = true;
        return true;
    }
    template <typename Rep, typename Period>
    bool try_lock_for(const std::chrono::duration<Rep, Period>& wait)
    {
        std::unique_lock guard(mutex_);
        if (!released_.wait_for(guard, wait, [this] { return !held_; })) {
            return false;
        }
        held_ = true;
        return true;
    }
    void unlock()
    {
        {
            const std::lock_guard guard(mutex_);
            held_ = false;
        }
        released_.notify_one();
    }

private:
    std::mutex mutex_;
    std::condition_variable released_;
    bool held_ = false;
};

struct LinkState {
    explicit LinkState(const ReceiveHooks& hooks);
    ~LinkState();
    LinkState(const LinkState&) = delete;
    LinkState& operator=(const LinkState&) = delete;

    // Stops every receive thread still running, after which no callback runs;
    // the tables stay. The library's unload calls it before anything that a
    // callback can reach goes away.
    void StopReceiveThreads();

    SlotTable slots;
    std::array<BoardState, kBoardCount> boards;
    TransmitGate gate;
    // Taken before the transmit lock when both are held. Timed: a caller waits
    // for it no longer than what is left of its own function time-out.
    TimedLock exchangeLock;
    std::mutex transmitLock;  // serialises every frame write of every board
};

LinkState& Link();

struct OpenBoard {
    uint8_t board;
    uint8_t masterNodeId;
};

// The first step of every export that addresses a module: the board of an open
// slot, or nothing (VEXAN_NOT_OPEN) for a slot without a board, a closed board, or a
// slot number of 8 and above.
std::optional<OpenBoard> LookupOpenBoard(uint8_t slot);

void AssignSlot(uint8_t slot, platform::PortHandle port);
// Frees the slot and ends its board's session (BoardState::session).
void ReleaseSlot(uint8_t slot);

// Starts the slot's receive thread, stopping any thread it still has. False
// when no thread could be started.
bool StartReceiveThread(uint8_t slot);
// Stops the slot's receive thread; see ReceiveSide::StopThread for a stop from
// inside one of its callbacks.
void StopReceiveThread(uint8_t slot);
ReceiveSide& ReceiveSideOf(uint8_t slot);

}  // namespace vexan
