// Files every frame the module sends: status and data replies into the record
// of the request they answer, SDO upload segments into one assembled reply (in
// memory, or in a spill file for large objects), event replies into the queues.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace vexan {

// Uploads of this many bytes or more are gathered in a spill file.
inline constexpr uint32_t kSpillThreshold = 1024;
inline constexpr std::size_t kSegmentHeaderSize = 4;
inline constexpr std::size_t kSegmentDataOffset = 11;

// `frame` holds exactly `length` bytes, from the command byte on.
void DispatchReply(uint8_t slot, uint8_t length, std::span<const uint8_t> frame);

// The file that gathers a large upload: "<board>_<node>_<index hex>_<sub hex>.seg"
// in the current directory. Each access opens it exclusively, so two users can
// never interleave their bytes; the library never deletes it.
// The name is held in a fixed buffer: filing a segment allocates nothing but
// the reply data itself.
struct SegmentSpillFile {
    using Name = std::array<char, 32>;
    static Name NameOf(uint8_t board, uint8_t node, uint16_t index, uint8_t subIndex);
    // Creates the file, or empties an existing one.
    static bool Create(const Name& name);
    static bool Append(const Name& name, std::span<const uint8_t> bytes);
};

}  // namespace vexan
