// The three routines that touch a slot's port: writing one frame, fetching the
// bytes waiting, and the identification handshake at master start-up.
#pragma once

#include <cstdint>
#include <span>

namespace vexan {

inline constexpr std::size_t kIdentifyBufferSize = 12;

// Writes one whole frame under the transmit lock. VEXAN_OK, or VEXAN_PAUSED,
// VEXAN_NO_PORT_HANDLE, VEXAN_WRITE_FAILED, VEXAN_SHORT_WRITE.
uint16_t SendFrame(uint8_t slot, std::span<const uint8_t> bytes);

// Reads what is waiting, at most buffer.size() bytes. VEXAN_OK with the count,
// VEXAN_NOTHING_TO_READ when nothing waits (count 0), VEXAN_PAUSED,
// VEXAN_NO_PORT_HANDLE, VEXAN_READ_FAILED.
uint16_t ReadPort(uint8_t slot, uint16_t& count, std::span<uint8_t> buffer);

// Sends the identification request and waits for the module's answer. VEXAN_OK,
// VEXAN_READ_FAILED for no correct answer, or the send failure.
uint16_t IdentifyModule(uint8_t slot);

}  // namespace vexan
