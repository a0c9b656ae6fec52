#include "link/library_state.hpp"

#include "vexan.h"

namespace vexan {

LinkState::LinkState(const ReceiveHooks& hooks)
{
    for (std::size_t i = 0; i < slots.size(); ++i) {
        slots[i].slotNumber = static_cast<uint8_t>(i);
        slots[i].receive = std::make_unique<ReceiveSide>(slots[i].slotNumber, hooks);
    }
}

LinkState::~LinkState()
{
    StopReceiveThreads();
}

void LinkState::StopReceiveThreads()
{
    for (auto& slot : slots) {
        slot.receive->StopThread();  // stops and joins a thread still running
    }
}

void TransmitGate::Pause(uint32_t ms)
{
    std::lock_guard guard(lock_);
    open_.store(0, std::memory_order_relaxed);
    pauseLength_ = ms;
    pauseStart_ = platform::TickCount();
}

void TransmitGate::Start()
{
    std::lock_guard guard(lock_);
    pauseLength_ = 0;
    open_.store(1, std::memory_order_relaxed);
}

bool TransmitGate::IsOpen()
{
    if (open_.load(std::memory_order_relaxed) != 0) {
        return true;
    }
    CheckPauseDeadline();
    return open_.load(std::memory_order_relaxed) != 0;
}

void TransmitGate::CheckPauseDeadline()
{
    if (open_.load(std::memory_order_relaxed) != 0) {
        return;
    }
    std::lock_guard guard(lock_);
    if (pauseLength_ != 0 && static_cast<uint32_t>(platform::TickCount() - pauseStart_) >= pauseLength_) {
        pauseLength_ = 0;
        open_.store(1, std::memory_order_relaxed);
    }
}

std::optional<OpenBoard> LookupOpenBoard(uint8_t slot)
{
    if (slot >= kBoardCount) {
        return std::nullopt;
    }
    const uint8_t board = Link().slots[slot].board.load(std::memory_order_relaxed);
    if (board >= kBoardCount) {
        return std::nullopt;
    }
    const uint8_t open = Link().boards[board].openFlag.load(std::memory_order_relaxed);
    if (open == kBoardClosed) {
        return std::nullopt;
    }
    return OpenBoard{board, open};
}

void AssignSlot(uint8_t slot, platform::PortHandle port)
{
    auto& record = Link().slots[slot];
    record.port.store(port, std::memory_order_relaxed);
    record.board.store(slot, std::memory_order_relaxed);
}

void ReleaseSlot(uint8_t slot)
{
    auto& record = Link().slots[slot];
    record.board.store(kNoBoard, std::memory_order_relaxed);
    record.port.store(platform::kNoPort, std::memory_order_relaxed);
    Link().boards[slot].session.fetch_add(1);
}

bool StartReceiveThread(uint8_t slot)
{
    return Link().slots[slot].receive->StartThread();
}

void StopReceiveThread(uint8_t slot)
{
    Link().slots[slot].receive->StopThread();
}

ReceiveSide& ReceiveSideOf(uint8_t slot)
{
    return *Link().slots[slot].receive;
}

}  // namespace vexan

extern "C" {

VEXAN_PAUSE_API void VEXAN_STDCALL Vexan_Pause(uint32_t ms)
{
    vexan::Link().gate.Pause(ms);
    // A send that passed the open gate just before may be writing now: wait for
    // it, so that once this returns no frame goes out until the gate reopens
    // (every send tests the gate again under the transmit lock).
    const std::lock_guard barrier(vexan::Link().transmitLock);
}

VEXAN_PAUSE_API void VEXAN_STDCALL Vexan_Start(void)
{
    vexan::Link().gate.Start();
}
}
