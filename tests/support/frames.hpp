// Request frames as the library writes them, laid out by hand so that tests
// compare the library's output with bytes it did not build itself.
#pragma once

#include <cstdint>
#include <vector>

namespace vexan::test {

inline constexpr uint8_t kResultRequestCommand = 0x60;

// Result request of a node- or master-class command: ':' 3 0x60 command key.
inline std::vector<uint8_t> ResultRequest(uint8_t command, uint8_t key)
{
    return {':', 3, kResultRequestCommand, command, key};
}

// Result request of a PDO command (48..58), whose key is a 16-bit COB-ID:
// ':' 4 0x60 command keyLo keyHi.
inline std::vector<uint8_t> PdoResultRequest(uint8_t command, uint16_t key)
{
    return {':', 4, kResultRequestCommand, command, static_cast<uint8_t>(key & 0xFF), static_cast<uint8_t>(key >> 8)};
}

}  // namespace vexan::test
