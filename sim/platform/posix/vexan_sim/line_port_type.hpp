// The library's end of the simulator's line on POSIX: a file descriptor.
#pragma once

namespace vexsim {

using LinePort = int;
inline const LinePort kNoLinePort = -1;

}  // namespace vexsim
