// Files every frame the module sends: status and data replies into the record
// of the request they answer (through the filer of the command's family where
// one is registered), event replies into the queues.
#pragma once

#include <cstdint>
#include <span>

namespace vexan {

// `frame` holds exactly `length` bytes, from the command byte on.
void DispatchReply(uint8_t slot, uint8_t length, std::span<const uint8_t> frame);

}  // namespace vexan
