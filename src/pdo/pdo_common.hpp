// Checks shared by the PDO, SYNC and EMCY exports: the ranges the frames and
// the reply tables can hold.
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

}  // namespace vexan
