// One receive thread per open board: it reads the board's port, cuts the stream
// into module frames, hands each to the dispatcher, runs the event step about
// every 5 ms and checks the timed pause.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "platform/thread.hpp"

namespace vexan {

inline constexpr std::size_t kReadBufferSize = 512;
inline constexpr uint16_t kPartialFrameDropPasses = 10;
inline constexpr uint16_t kEventStepPasses = 5;

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

class ReceiveThread {
public:
    ReceiveThread(uint8_t slot, uint8_t board);
    // Stops cooperatively: the thread finishes its pass and is joined.
    ~ReceiveThread();
    ReceiveThread(const ReceiveThread&) = delete;
    ReceiveThread& operator=(const ReceiveThread&) = delete;

private:
    static void Run(uint8_t slot, uint8_t board, const std::atomic<bool>& stop);

    uint8_t board_;
    platform::StoppableThread thread_;
};

}  // namespace vexan
