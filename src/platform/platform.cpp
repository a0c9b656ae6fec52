// The part of the platform layer that is the same on every system: the test
// hooks that make the Nth port read, write or thread start (or any file
// create) fail, that hold waits on ports and that move the tick counter,
// placed in front of the system's own port and clock calls.

#include <atomic>
#include <condition_variable>
#include <mutex>

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
std::atomic<bool> fileCreatesRefused{false};

// Waits on ports held by the test hook: the flag is read first, so a wait
// costs nothing more while no test holds them.
struct PortWaitHold {
    std::atomic<bool> held{false};
    std::mutex lock;
    std::condition_variable released;
    uint32_t waiting = 0;  // waits held now, under `lock`
};
PortWaitHold& Hold()
{
    static PortWaitHold hold;
    return hold;
}

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

PortWait WaitReadable(PortHandle port, const WakeSignal* wake, uint32_t timeoutMs)
{
    PortWaitHold& hold = Hold();
    if (port != kNoPort && hold.held.load(std::memory_order_acquire)) {
        std::unique_lock guard(hold.lock);
        ++hold.waiting;
        hold.released.notify_all();
        hold.released.wait(guard, [&] { return !hold.held.load(std::memory_order_relaxed); });
        --hold.waiting;
    }
    return system::WaitReadable(port, wake, timeoutMs);
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

void RefuseFileCreates(bool refused)
{
    fileCreatesRefused.store(refused, std::memory_order_relaxed);
}

void HoldPortWaits(bool held)
{
    PortWaitHold& hold = Hold();
    {
        const std::lock_guard guard(hold.lock);
        hold.held.store(held, std::memory_order_release);
    }
    hold.released.notify_all();
}

bool WaitForHeldPortWait(std::chrono::milliseconds limit)
{
    PortWaitHold& hold = Hold();
    std::unique_lock guard(hold.lock);
    return hold.released.wait_for(guard, limit, [&] { return hold.waiting != 0; });
}

}  // namespace testing

bool system::FileCreatesRefused()
{
    return fileCreatesRefused.load(std::memory_order_relaxed);
}

}  // namespace vexan::platform
