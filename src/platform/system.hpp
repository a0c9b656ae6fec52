// What each system's file (posix.cpp, win32.cpp) provides underneath the
// shared front in platform.cpp: the plain port reads, writes and waits and the
// system's millisecond counter, before any test hook is applied.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.hpp"

namespace vexan::platform::system {

// Reads up to `capacity` bytes; the count read, or -1 on failure.
long ReadPort(PortHandle port, uint8_t* buffer, std::size_t capacity);

// Writes `count` bytes (retrying partial writes); the count written, or -1
// when nothing could be written.
long WritePort(PortHandle port, const uint8_t* bytes, std::size_t count);

// Waits for bytes on the port, the wake signal or the time (see
// platform::WaitReadable).
PortWait WaitReadable(PortHandle port, const WakeSignal* wake, uint32_t timeoutMs);

// The system's free-running millisecond counter, low 32 bits.
uint32_t Ticks();

// True while the test hook refuses file creates (checked by each system's
// ExclusiveFile before it asks the system).
bool FileCreatesRefused();

}  // namespace vexan::platform::system
