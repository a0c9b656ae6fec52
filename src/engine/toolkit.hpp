// The rest of the toolkit the export families share, beside the call pattern
// (request.hpp): the ranges the frames and the reply tables hold, checks of a
// collected reply, the paced send of the fast forms, and the board-wide state
// of other layers that a family reaches through the engine rather than by
// itself.
#pragma once

#include <cstdint>

#include "engine/request.hpp"
#include "link/frame.hpp"
#include "link/library_state.hpp"
#include "vexan.h"

namespace vexan {

inline constexpr uint16_t kMaxCobId = kPdoKeys - 1;
inline constexpr uint8_t kMaxNodeId = kNodeKeys - 1;
inline constexpr uint8_t kMaxPdoData = 8;

// Marks a reply that does not fit its layout (longer than an output can take):
// the reader fails, so the call reports VEXAN_OUT_OF_RANGE and writes nothing.
inline void RejectReply(ByteReader& reader)
{
    reader.Bytes(reader.Remaining() + 1);
}

// True when the call ended with the module's own status for a collected
// reply, not with a code of the library.
inline bool CollectedStatus(uint16_t result, const Reply& reply)
{
    return result != VEXAN_OK && reply.collected;
}

// SendOnly for the forms the module files no result for: after a frame that
// went out it pauses briefly, so that back-to-back calls do not outrun the
// module.
uint16_t SendOnlyPaced(uint8_t slot, FrameWriter& frame);

// Lets go of what a board that was shut down leaves behind: every record is
// released (a caller still waiting on one ends with VEXAN_TIMEOUT) and its
// events are dropped from every queue but the boot-up queue.
void ReleaseBoard(uint8_t board);

// True when the application has an EMCY callback installed for the board.
bool EmcyCallbackInstalled(uint8_t board);

}  // namespace vexan
