// CiA 301 codes in words: SDO abort codes, emergency error codes and the bits
// of the error register (object 1001h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vexantool {

// Meaning of a CiA 301 SDO abort code, or "unknown abort code".
std::string AbortMeaning(uint32_t code);
// Meaning of a CiA 301 emergency error code (by its class where not listed).
std::string EmcyMeaning(uint16_t code);
// The names of the bits set in an error register, lowest bit first.
std::vector<std::string> ErrorRegisterBits(uint8_t value);
// Name of a CiA 301 NMT state ("initialising", "stopped", "operational",
// "pre-operational"), or nullptr for any other code; callers choose the text
// for an unknown state.
const char* KnownNmtStateName(uint8_t state);

}  // namespace vexantool
