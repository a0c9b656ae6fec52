#include "link/receive_side.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "link/frame.hpp"
#include "link/library_state.hpp"
#include "link/port.hpp"
#include "vexan.h"

namespace vexan {

namespace {
std::atomic<uint32_t> partialFrameDropMs{kPartialFrameDropMs};

// The activity lock of the receive thread running on this thread; none on
// every other thread.
thread_local std::unique_lock<std::mutex>* currentActivity = nullptr;

// Keeps a stopped thread to be joined later. Should there be no memory to keep
// it, it is left to end by itself: its object is never destroyed, so nothing
// joins or ends it by force.
void Retire(std::vector<std::unique_ptr<platform::StoppableThread>>& retired,
            std::unique_ptr<platform::StoppableThread> thread)
{
    try {
        retired.push_back(std::move(thread));
    } catch (const std::bad_alloc&) {
        [[maybe_unused]] auto* left = thread.release();
    }
}
}  // namespace

bool OnReceiveThread()
{
    return currentActivity != nullptr;
}

CallbackWindow::CallbackWindow()
    : activity_(currentActivity != nullptr && currentActivity->owns_lock() ? currentActivity : nullptr)
{
    if (activity_ != nullptr) {
        activity_->unlock();
    }
}

CallbackWindow::~CallbackWindow()
{
    if (activity_ != nullptr) {
        activity_->lock();
    }
}

uint32_t PartialFrameDropMs()
{
    return partialFrameDropMs.load(std::memory_order_relaxed);
}

void testing::SetPartialFrameDropMs(uint32_t ms)
{
    partialFrameDropMs.store(ms != 0 ? ms : kPartialFrameDropMs, std::memory_order_relaxed);
}

void FrameScanner::Emit(const Sink& sink)
{
    const uint8_t length = carry_[1];
    sink(length, std::span<const uint8_t>(carry_).subspan(2, length));
}

void FrameScanner::Scan(std::span<const uint8_t> bytes, const Sink& sink)
{
    const std::size_t count = bytes.size();
    std::size_t i = 0;
    while (i < count) {
        if (carryCount_ == 0) {
            if (bytes[i] != kFrameStart) {
                // Bytes outside a frame: on to the next start, if any.
                const void* start = std::memchr(bytes.data() + i, kFrameStart, count - i);
                if (start == nullptr) {
                    return;
                }
                i = static_cast<std::size_t>(static_cast<const uint8_t*>(start) - bytes.data());
            }
            if (i == count - 1) {
                carry_[0] = bytes[i];
                carryCount_ = 1;
                return;
            }
            const std::size_t length = bytes[i + 1];
            if (length > count - i - 2) {
                std::copy(bytes.begin() + static_cast<std::ptrdiff_t>(i), bytes.end(), carry_.begin());
                carryCount_ = static_cast<uint16_t>(count - i);
                return;
            }
            std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(i), length + 2, carry_.begin());
            Emit(sink);
            i += length + 2;
        } else if (carryCount_ == 1) {
            const std::size_t length = bytes[0];
            if (length > count - 1) {
                std::copy(bytes.begin(), bytes.end(), carry_.begin() + 1);
                carryCount_ = static_cast<uint16_t>(count + 1);
                return;
            }
            std::copy_n(bytes.begin(), length + 1, carry_.begin() + 1);
            carryCount_ = 0;
            Emit(sink);
            i = length + 1;
        } else {
            const std::size_t need = carry_[1] + 2u - carryCount_;
            if (need > count) {
                std::copy(bytes.begin(), bytes.end(), carry_.begin() + carryCount_);
                carryCount_ = static_cast<uint16_t>(carryCount_ + count);
                return;
            }
            std::copy_n(bytes.begin(), need, carry_.begin() + carryCount_);
            carryCount_ = 0;
            Emit(sink);
            i = need;
        }
    }
}

ReceiveSide::ReceiveSide(uint8_t slot, const ReceiveHooks& hooks) : slot_(slot), hooks_(hooks) {}

ReceiveSide::~ReceiveSide()
{
    StopThread();
    // The library goes away: every thread this side started is joined, also
    // on a receive thread, except the current one, which cannot be joined from
    // itself and is left to end by itself.
    for (auto& retired : retired_) {
        if (retired->IsCurrent()) {
            retired->RequestStop();
            [[maybe_unused]] auto* left = retired.release();
        } else {
            retired.reset();
        }
    }
}

void ReceiveSide::ResetCounters()
{
    std::lock_guard guard(readerLock_);
    scanner_.DropPartial();
    lastReadTick_ = platform::TickCount();
    failedReadMs_.store(0);
    partialFrame_.store(false);
    portError_.store(false);
    lineGone_.store(false);
}

bool ReceiveSide::StartThread()
{
    StopThread();
    JoinRetired();
    ResetCounters();
    thread_ = platform::StoppableThread::Start([this](const std::atomic<bool>& stop) { Run(stop); });
    return thread_ != nullptr;
}

void ReceiveSide::StopThread()
{
    if (!thread_) {
        return;
    }
    thread_->RequestStop();
    if (thread_->IsCurrent()) {
        // Stopped from one of its own callbacks: the event step tests the stop
        // before every callback and before the event poll; the thread is kept
        // to be joined later.
        threadId_.store(std::thread::id{});
        Retire(retired_, std::move(thread_));
        JoinRetired();
        return;
    }
    if (const uint8_t board = Link().slots[slot_].board.load(); board < kBoardCount) {
        Link().boards[board].wake.Notify();  // end its rest at once
    }
    if (OnReceiveThread()) {
        // Stopped from a callback of another board: the thread may be in a
        // callback of its own that waits for this one, so it is not joined.
        // Once its activity lock is free, it is resting or in a callback, and
        // it tests the stop before it does anything more.
        {
            const std::lock_guard settled(activity_);
        }
        threadId_.store(std::thread::id{});
        Retire(retired_, std::move(thread_));
        JoinRetired();
        return;
    }
    thread_.reset();  // joins
    threadId_.store(std::thread::id{});
    JoinRetired();
}

void ReceiveSide::JoinRetired()
{
    const bool onReceiveThread = OnReceiveThread();
    std::erase_if(retired_, [&](const std::unique_ptr<platform::StoppableThread>& retired) {
        return !retired->IsCurrent() && (!onReceiveThread || retired->Finished());
    });
}

void ReceiveSide::NotePortFailure()
{
    const auto port = Link().slots[slot_].port.load(std::memory_order_relaxed);
    if (port != platform::kNoPort && platform::PortGone(port)) {
        lineGone_.store(true);
    }
}

bool ReceiveSide::IsReceiveThread() const
{
    return threadId_.load() == std::this_thread::get_id();
}

bool ReceiveSide::ReadOnce()
{
    const uint32_t now = platform::TickCount();
    const uint32_t elapsed = now - lastReadTick_;
    lastReadTick_ = now;
    uint16_t count = 0;
    const uint16_t result = ReadPort(slot_, count, readBuffer_);
    if (result != VEXAN_OK) {
        // Failed reads in a row drop a partial frame once the drop time has
        // passed since the last bytes came, however the reads were spread.
        // Only the time counts, not the reads: the board's threads are woken
        // for every request marked and every caller's turn ended, and many
        // reads can find nothing within one millisecond while the rest of a
        // frame is on its way.
        uint32_t failed = failedReadMs_.load(std::memory_order_relaxed) + elapsed;
        if (failed >= PartialFrameDropMs()) {
            failed = 0;
            scanner_.DropPartial();
        }
        failedReadMs_.store(failed, std::memory_order_relaxed);
        if (result == VEXAN_READ_FAILED || result == VEXAN_NO_PORT_HANDLE) {
            portError_.store(true, std::memory_order_relaxed);
        }
        if (result == VEXAN_READ_FAILED) {
            NotePortFailure();
        }
    } else {
        failedReadMs_.store(0, std::memory_order_relaxed);
        portError_.store(false, std::memory_order_relaxed);
        lineGone_.store(false);
        scanner_.Scan(
            std::span<const uint8_t>(readBuffer_).first(count),
            [this](uint8_t length, std::span<const uint8_t> frame) { hooks_.dispatch(slot_, length, frame); });
    }
    partialFrame_.store(scanner_.CarryCount() != 0, std::memory_order_relaxed);
    return result == VEXAN_OK;
}

void ReceiveSide::ReadWaiting()
{
    if (std::unique_lock reader(readerLock_, std::try_to_lock); reader.owns_lock()) {
        ReadOnce();
    }
}

void ReceiveSide::RunPass(const std::atomic<bool>& stop, bool withEventStep)
{
    if (std::unique_lock reader(readerLock_, std::try_to_lock); reader.owns_lock()) {
        ReadOnce();
        readSkipped_ = false;
    } else {
        readSkipped_ = true;
    }
    if (withEventStep) {
        lastEventTick_ = platform::TickCount();
        const uint8_t board = Link().slots[slot_].board.load(std::memory_order_relaxed);
        if (board < kBoardCount) {
            hooks_.eventStep(slot_, board, stop);
        }
        if (stop.load()) {
            return;  // stopped from a callback: this thread touches nothing more
        }
    }
    Link().gate.CheckPauseDeadline();
}

// The thread does not wake every millisecond. It waits until its next event step
// is due, counting the elapsed milliseconds as passes, so the event step keeps
// its cadence of one per five passes and a partial frame is still dropped after
// ten passes without data. While a request of the board awaits its reply, or a
// frame is half received, it also watches the port and reads as soon as bytes
// arrive, unless a waiting caller reads the line itself; otherwise it rests,
// and what came in meanwhile (such as the answer to its event poll) is read on
// the next pass, before the event step. Marking a request, and the end of a
// caller's turn at reading, wake it from its rest. A port in error is rested on
// for a millisecond at least instead of being watched.
//
// The thread holds its activity lock while it works and lets it go while it
// rests and while it runs a callback; a stop made on another receive thread
// waits for that lock instead of joining (see StopThread), so the thread tests
// the stop each time it takes the lock again.
void ReceiveSide::Run(const std::atomic<bool>& stop)
{
    std::unique_lock activity(activity_);
    currentActivity = &activity;
    struct LeaveRun {
        ~LeaveRun() { currentActivity = nullptr; }
    } leave;
    if (stop.load()) {
        return;  // stopped before it began
    }
    threadId_.store(std::this_thread::get_id());
    lastEventTick_ = platform::TickCount();
    readSkipped_ = false;
    RunPass(stop, true);
    while (!stop.load()) {
        const uint8_t board = Link().slots[slot_].board.load(std::memory_order_relaxed);
        if (board >= kBoardCount) {
            break;
        }
        BoardState& state = Link().boards[board];
        const uint32_t sinceEvent = platform::TickCount() - lastEventTick_;
        uint32_t wait = sinceEvent >= kEventStepPasses ? 1 : kEventStepPasses - sinceEvent;
        const bool partial = partialFrame_.load(std::memory_order_relaxed);
        if (partial) {
            const uint32_t failed = failedReadMs_.load(std::memory_order_relaxed);
            const uint32_t drop = PartialFrameDropMs();
            wait = std::min(wait, drop - std::min(failed, drop - 1));
        }
        const bool portError = portError_.load(std::memory_order_relaxed);
        const bool expecting = state.outstanding.load() != 0 || partial || !state.wake.Usable();
        // A pass that found a caller reading the line watches the port again
        // only after a rest: what the port holds may be the bytes that caller
        // is reading now, and watching would find them again at once.
        const bool listen = expecting && !portError && !readSkipped_ && !callerReading_.load() && Link().gate.IsOpen();
        if ((portError || readSkipped_) && expecting) {
            wait = kPortErrorRestMs;  // read again soon, but never spin on it
        }
        const auto port = Link().slots[slot_].port.load(std::memory_order_relaxed);
        activity.unlock();
        const platform::PortWait waited = platform::WaitReadable(listen ? port : platform::kNoPort, &state.wake, wait);
        activity.lock();
        state.wake.Clear();
        if (stop.load()) {
            break;
        }
        if (waited == platform::PortWait::Error) {
            portError_.store(true, std::memory_order_relaxed);
            NotePortFailure();
        }
        RunPass(stop, platform::TickCount() - lastEventTick_ >= kEventStepPasses);
    }
}

std::optional<ReceiveSide::ReaderTurn> ReceiveSide::TryTakeReader()
{
    if (!readerLock_.try_lock()) {
        return std::nullopt;
    }
    callerReading_.store(true);
    return ReaderTurn(*this);
}

ReceiveSide::ReaderTurn ReceiveSide::TakeReader()
{
    readerLock_.lock();
    callerReading_.store(true);
    return ReaderTurn(*this);
}

void ReceiveSide::ReaderTurn::End() noexcept
{
    if (side_ == nullptr) {
        return;
    }
    side_->callerReading_.store(false);
    const bool partial = side_->partialFrame_.load(std::memory_order_relaxed);
    side_->readerLock_.unlock();
    // Hand the line back: the receive thread watches the port again when a
    // reply is still awaited or a frame is half read.
    const uint8_t board = Link().slots[side_->slot_].board.load(std::memory_order_relaxed);
    if (board < kBoardCount && (partial || Link().boards[board].outstanding.load() != 0)) {
        Link().boards[board].wake.Notify();
    }
    side_ = nullptr;
}

// The caller does not wait on the port itself (see the header): it asks what
// is waiting once a millisecond.
void ReceiveSide::ReaderTurn::Read(uint32_t ms)
{
    ReceiveSide& side = *side_;
    for (uint32_t rested = 0; !side.ReadOnce() && rested < ms; ++rested) {
        platform::SleepMs(1);
    }
}

}  // namespace vexan
