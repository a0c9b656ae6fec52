// For tests about replies that come in pieces: while a PatientFrames lives, a
// half-received frame waits up to a second for its rest instead of the usual
// ten milliseconds. Those tests are about putting the pieces together; on a
// loaded machine (or under an emulator) the sending side can be held back
// between two pieces for longer than ten milliseconds, and the frame would be
// given up as the library is meant to. The usual time has tests of its own.
#pragma once

#include <cstdint>

#include "link/receive_side.hpp"

namespace vexan::test {

class PatientFrames {
public:
    explicit PatientFrames(uint32_t ms = 1000) { vexan::testing::SetPartialFrameDropMs(ms); }
    ~PatientFrames() { vexan::testing::SetPartialFrameDropMs(0); }
    PatientFrames(const PatientFrames&) = delete;
    PatientFrames& operator=(const PatientFrames&) = delete;
};

}  // namespace vexan::test
