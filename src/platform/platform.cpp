// The part of the platform layer that is the same on every system: the test
// hooks that make the Nth port read, write or thread start fail and that move
// the tick counter, placed in front of the system's own port and clock calls.

#include <atomic>

#include "platform/platform.hpp"
#include "platform/system.hpp"

namespace vexan::platform {

namespace {

std::atomic<uint32_t> tickOffset{0};
std::atomic<bool> tickHeld{false};
std::atomic<uint32_t> heldTick{0};
std::atomic<uint32_t> readFaultCountdown{0};
std::atomic<uint32_t> writeFaultCountdown{0};
std::atomic<uint32_t> threadFaultCountdown{0};
std::atomic<testing::WriteFault> writeFaultKind{testing::WriteFault::Fail};
std::atomic<Unload> unloadKind{Unload::None};
std::atomic<bool> threadStartsRefused{false};

// Counts one operation against a fault countdown; true when this is the
// operation that must fail.
bool TakeFault(std::atomic<uint32_t>& countdown)
{
    uint32_t left = countdown.load(std::memory_order_relaxed);
    while (left != 0) {
        if (countdown.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
            return left == 1;
        }
    }
    return false;
}

}  // namespace

long ReadBytes(PortHandle port, uint8_t* buffer, std::size_t capacity)
{
    if (TakeFault(readFaultCountdown)) {
        return -1;
    }
    return system::ReadPort(port, buffer, capacity);
}

long WriteBytes(PortHandle port, const uint8_t* bytes, std::size_t count)
{
    if (TakeFault(writeFaultCountdown)) {
        if (writeFaultKind.load(std::memory_order_relaxed) == testing::WriteFault::Fail || count < 2) {
            return -1;
        }
        count /= 2;  // a cut-short write: part of the frame goes out
    }
    return system::WritePort(port, bytes, count);
}

uint32_t TickCount()
{
    if (tickHeld.load(std::memory_order_acquire)) {
        return heldTick.load(std::memory_order_relaxed);
    }
    return system::Ticks() + tickOffset.load(std::memory_order_relaxed);
}

Unload CurrentUnload()
{
    return unloadKind.load();
}

void SetUnload(Unload kind)
{
    unloadKind.store(kind);
}

void RefuseThreadStarts()
{
    threadStartsRefused.store(true);
}

bool ThreadStartAllowed()
{
    return !threadStartsRefused.load() && !TakeFault(threadFaultCountdown);
}

namespace testing {

void SetTickCount(uint32_t value)
{
    tickOffset.store(value - system::Ticks(), std::memory_order_relaxed);
}

void HoldTickCount(uint32_t value)
{
    heldTick.store(value, std::memory_order_relaxed);
    tickHeld.store(true, std::memory_order_release);
}

void ReleaseTickCount()
{
    tickHeld.store(false, std::memory_order_release);
}

void FailNthRead(uint32_t n)
{
    readFaultCountdown.store(n, std::memory_order_relaxed);
}

void FailNthWrite(uint32_t n, WriteFault fault)
{
    writeFaultKind.store(fault, std::memory_order_relaxed);
    writeFaultCountdown.store(n, std::memory_order_relaxed);
}

void FailNthThreadStart(uint32_t n)
{
    threadFaultCountdown.store(n, std::memory_order_relaxed);
}

}  // namespace testing

}  // namespace vexan::platform
