// The three routines that touch a slot's port: writing one frame, fetching the
// bytes waiting, and the identification handshake at master start-up.
#pragma once

#include <cstdint>
#include <span>

namespace vexan {

inline constexpr std::size_t kIdentifyBufferSize = 12;

// Writes one whole frame under the transmit lock. 0, or 42 paused, 2 no port,
// 39 write failed, 38 written short.
uint16_t SendFrame(uint8_t slot, std::span<const uint8_t> bytes);

// Reads what is waiting, at most buffer.size() bytes. 0 with the count, 15 when
// nothing waits (count 0), 42 paused, 2 no port, 14 read failed.
uint16_t ReadPort(uint8_t slot, uint16_t& count, std::span<uint8_t> buffer);

// Sends the identification request and waits for the module's answer. 0, 14 no
// correct answer, or the send failure.
uint16_t IdentifyModule(uint8_t slot);

}  // namespace vexan
