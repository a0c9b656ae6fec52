#include "link/receive_thread.hpp"

#include <algorithm>
#include <cstring>

#include "engine/dispatch.hpp"
#include "engine/reply_tables.hpp"
#include "events/events.hpp"
#include "link/frame.hpp"
#include "link/library_state.hpp"
#include "link/port.hpp"
#include "platform/platform.hpp"
#include "vexan.h"

namespace vexan {

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
                ++i;
                continue;
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

ReceiveThread::ReceiveThread(uint8_t slot, uint8_t board)
    : board_(board), thread_([slot, board](const std::atomic<bool>& stop) { Run(slot, board, stop); })
{
}

ReceiveThread::~ReceiveThread()
{
    thread_.RequestStop();
    Link().boards[board_].wake.Notify();  // end its rest at once
    thread_.Stop();
}

// The thread does not wake every millisecond. It waits until its next event step
// is due, counting the elapsed milliseconds as passes, so the event step keeps
// its cadence of one per five passes and a partial frame is still dropped after
// ten passes without data. While a request of the board awaits its reply, or a
// frame is half received, it also watches the port and reads as soon as bytes
// arrive; otherwise it rests, and what came in meanwhile (such as the answer to
// its event poll) is read on the next pass, before the event step. Marking a
// request wakes it from its rest.
void ReceiveThread::Run(uint8_t slot, uint8_t board, const std::atomic<bool>& stop)
{
    FrameScanner scanner;
    std::array<uint8_t, kReadBufferSize> readBuffer{};
    uint32_t failedPasses = 0;
    uint32_t passesSinceEvent = 0;
    uint32_t lastTick = platform::TickCount();
    bool firstPass = true;
    const auto dispatch = [slot](uint8_t length, std::span<const uint8_t> frame) {
        DispatchReply(slot, length, frame);
    };

    while (!stop.load()) {
        if (!firstPass) {
            uint32_t wait = kEventStepPasses - std::min<uint32_t>(passesSinceEvent, kEventStepPasses - 1);
            if (scanner.CarryCount() != 0) {
                wait = std::min(
                    wait, kPartialFrameDropPasses - std::min<uint32_t>(failedPasses, kPartialFrameDropPasses - 1));
            }
            BoardState& state = Link().boards[board];
            const bool expecting = Replies().Of(board).outstanding.load(std::memory_order_relaxed) != 0 ||
                                   scanner.CarryCount() != 0 || !state.wake.Usable();
            const auto port = Link().slots[slot].port.load(std::memory_order_relaxed);
            const bool listen = expecting && Link().gate.IsOpen();
            platform::WaitReadable(listen ? port : platform::kNoPort, &state.wake, wait);
            state.wake.Clear();
            if (stop.load()) {
                break;
            }
        }
        const uint32_t now = platform::TickCount();
        const uint32_t elapsed = firstPass ? 1 : now - lastTick;
        lastTick = now;

        uint16_t count = 0;
        readBuffer.fill(0);
        if (ReadPort(slot, count, readBuffer) != VEXAN_OK) {
            failedPasses += std::max<uint32_t>(elapsed, 1);
            if (failedPasses >= kPartialFrameDropPasses) {
                failedPasses = 0;
                scanner.DropPartial();
            }
        } else {
            failedPasses = 0;
            scanner.Scan(std::span<const uint8_t>(readBuffer).first(count), dispatch);
        }

        passesSinceEvent += elapsed;
        if (firstPass || passesSinceEvent >= kEventStepPasses) {
            passesSinceEvent = 0;
            RunEventCallbacks(slot, board);
        }
        firstPass = false;
        Link().gate.CheckPauseDeadline();
    }
}

}  // namespace vexan
