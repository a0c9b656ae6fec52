// The library's end of the simulator's line, as tests use it by hand. The
// port's type comes from the platform's line_port_type.hpp (the build picks
// it): a file descriptor on POSIX, a HANDLE on Windows; either is what the
// library takes as its port.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "vexan_sim/line_port_type.hpp"

namespace vexsim {

// Writes every byte; false when the line failed.
bool WriteLinePort(LinePort port, const uint8_t* bytes, std::size_t count);
// Waits up to `wait` for bytes and reads what has come, at most `size`: the
// count read, 0 when nothing came in time, -1 when the line failed.
long ReadLinePort(LinePort port, uint8_t* buffer, std::size_t size, std::chrono::milliseconds wait);
// Closes the port (kNoLinePort: nothing).
void CloseLinePort(LinePort port);

}  // namespace vexsim
