// The library's end of the simulator's line on Windows: a HANDLE (the client
// end of a named pipe), spelt without <windows.h>.
#pragma once

#include <cstdint>

namespace vexsim {

using LinePort = void*;
inline const LinePort kNoLinePort = reinterpret_cast<LinePort>(static_cast<std::intptr_t>(-1));

}  // namespace vexsim
