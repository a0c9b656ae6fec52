// The SDO family's own filing of its replies: the check that a reply names the
// object of the request pending on its record, the assembly of an upload's
// segments (in memory, or in a spill file for large objects), and the spill
// files themselves. The dispatcher hands this filer the data replies of SDO
// reads and writes; it is wired in when the library is built.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/reply_tables.hpp"
#include "link/library_state.hpp"

namespace vexan {

// Uploads of this many bytes or more are gathered in a spill file.
inline constexpr uint32_t kSpillThreshold = 1024;

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

class SdoReplyFiler final : public ReplyFiler {
public:
    // Notes the object the request addresses (none for a request without a
    // frame) and ends any upload the record was gathering.
    void Marked(const RecordKey& key, std::span<const uint8_t> request) override;
    // Drops a reply that names another object than the pending request (the
    // late answer of an earlier request on the record), assembles an upload's
    // segments, and files any other reply whole.
    void File(const Filing& filing) override;

private:
    // The upload a read's record gathers: begun by its first segment.
    struct Upload {
        bool begun = false;
        uint8_t subIndex = 0;  // the object of the upload, which names its spill file
        uint16_t index = 0;
        uint32_t total = 0;  // the size the first segment announced
    };
    // What the filer keeps of one node's SDO records, under the board's record lock.
    struct NodeRecords {
        // The objects the pending read and write address, or 0 when their
        // replies are not checked.
        uint32_t readObject = 0;
        uint32_t writeObject = 0;
        Upload upload;
    };

    void AssembleSegment(const Filing& filing, Upload& upload);

    std::array<std::array<NodeRecords, kNodeKeys>, kBoardCount> boards_{};
};

}  // namespace vexan
