#include "sdo/upload.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "link/frame.hpp"
#include "link/port.hpp"
#include "link/protocol.hpp"
#include "platform/platform.hpp"
#include "vexan.h"

namespace vexan {

namespace {

constexpr uint8_t kFirstSegment = 0x41;
constexpr uint8_t kFurtherSegment = 0x00;
// Reply frame (from the command byte on): command, node, a byte the filer
// passes over, then the specifier, index and sub-index, which a segment
// follows with the announced total and its data.
constexpr std::size_t kReplySpecifier = 3;
constexpr std::size_t kSegmentHeaderSize = 4;  // specifier, index and sub-index, kept ahead of the data
constexpr std::size_t kSegmentDataOffset = 11;
// Request frame (from the command byte on): command and node, then the index
// and sub-index of the object.
constexpr std::size_t kRequestIndex = 2;

// An object as the filer keeps it: never 0, which stands for none.
uint32_t SdoObject(uint16_t index, uint8_t subIndex)
{
    return (uint32_t{1} << 24) | (uint32_t{index} << 8) | subIndex;
}

// True when an SDO reply (expedited, download, abort or an upload's first
// segment: specifier, index, sub-index) names another object than the request
// pending on its record. Replies carry only command and node, so the answer to
// an earlier request that timed out would otherwise be filed as the answer of
// the next request on the same record. Further segments name no object.
bool NamesAnotherObject(uint32_t object, std::span<const uint8_t> frame)
{
    if (object == 0 || frame.size() < 7 || frame[kReplySpecifier] == kFurtherSegment) {
        return false;
    }
    const uint16_t index = static_cast<uint16_t>(frame[4] | (frame[5] << 8));
    return SdoObject(index, frame[6]) != object;
}

bool IsSegment(std::span<const uint8_t> frame)
{
    return frame.size() > kReplySpecifier &&
           (frame[kReplySpecifier] == kFirstSegment || frame[kReplySpecifier] == kFurtherSegment);
}

// An upload goes on while its record holds what its first segment set up: a
// status filed since (the engine then drops the record's data) ends it.
bool Continues(const PendingReply& record, bool begun)
{
    return begun && (record.data != nullptr || record.keptOutside);
}

}  // namespace

bool SegmentSpillFile::Create(const Name& name)
{
    return platform::ExclusiveFile(name.data(), platform::ExclusiveFile::Mode::CreateTruncate).IsOpen();
}

bool SegmentSpillFile::Append(const Name& name, std::span<const uint8_t> bytes)
{
    platform::ExclusiveFile file(name.data(), platform::ExclusiveFile::Mode::OpenExisting);
    return file.IsOpen() && file.Append(bytes.data(), bytes.size());
}

SegmentSpillFile::Name SegmentSpillFile::NameOf(uint8_t board, uint8_t node, uint16_t index, uint8_t subIndex)
{
    Name name{};
    std::snprintf(name.data(), name.size(), "%d_%d_%02X%02X_%02X.seg", board, node, (index >> 8) & 0xFF, index & 0xFF,
                  subIndex);
    return name;
}

void SdoReplyFiler::Marked(const RecordKey& key, std::span<const uint8_t> request)
{
    if (key.board >= kBoardCount || key.key >= kNodeKeys) {
        return;
    }
    NodeRecords& records = boards_[key.board][key.key];
    ByteReader reader(request, kRequestIndex);
    const uint16_t index = reader.U16();
    const uint8_t subIndex = reader.U8();
    const uint32_t object = reader.Ok() ? SdoObject(index, subIndex) : 0;
    if (key.command == CodeOf(Command::SdoRead)) {
        records.readObject = object;
        records.upload.begun = false;
    } else {
        records.writeObject = object;
    }
}

void SdoReplyFiler::File(const Filing& filing)
{
    if (filing.board >= kBoardCount || filing.node >= kNodeKeys || filing.frame.empty()) {
        return;
    }
    NodeRecords& records = boards_[filing.board][filing.node];
    const bool read = filing.frame[0] == CodeOf(Command::SdoRead);
    if (NamesAnotherObject(read ? records.readObject : records.writeObject, filing.frame)) {
        return;
    }
    if (read && IsSegment(filing.frame)) {
        AssembleSegment(filing, records.upload);
        return;
    }
    StoreReplyData(filing.record, filing.frame.subspan(kReplySpecifier));
    if (read) {
        records.upload.begun = false;
    }
}

// One segment of an SDO upload for the pending record of (board, SDO read, node).
void SdoReplyFiler::AssembleSegment(const Filing& filing, Upload& upload)
{
    PendingReply& record = filing.record;
    const std::span<const uint8_t> frame = filing.frame;
    ByteReader header(frame, kReplySpecifier);
    const uint8_t code = header.U8();
    const uint16_t index = header.U16();
    const uint8_t subIndex = header.U8();
    const uint32_t total = header.U32();
    if (!header.Ok()) {
        return;  // shorter than its header: nothing to file
    }
    const auto chunk = frame.subspan(kSegmentDataOffset);
    const bool first = code == kFirstSegment;
    if (!first && !Continues(record, upload.begun)) {
        return;  // a further segment of an upload whose first segment was never stored
    }
    // A further segment continues the upload the first one began, in the place
    // the first one chose, whatever total it announces itself.
    const bool spilled = first ? total >= kSpillThreshold : record.keptOutside;
    if (first) {
        upload.index = index;
        upload.subIndex = subIndex;
        upload.total = total;
    }
    const SegmentSpillFile::Name spillName =
        SegmentSpillFile::NameOf(filing.board, filing.node, upload.index, upload.subIndex);

    if (first) {
        record.FreeData();
        upload.begun = false;
        if (spilled) {
            if (!SegmentSpillFile::Create(spillName)) {
                record.status.store(VEXAN_NOT_STORED, std::memory_order_release);
                return;
            }
            record.keptOutside = true;
        } else {
            const std::size_t size = kSegmentHeaderSize + total;
            record.data = AllocateReplyBlock(size);
            if (!record.data) {
                record.status.store(VEXAN_NOT_STORED, std::memory_order_release);
                return;
            }
            std::memcpy(record.data.get(), frame.data() + kReplySpecifier, kSegmentHeaderSize);
            record.capacity = static_cast<uint32_t>(size);
            record.dataLength = kSegmentHeaderSize;
        }
        upload.begun = true;
    }

    // Every segment is measured against the total the first one announced.
    const uint32_t expected = upload.total;
    uint32_t received = 0;
    if (spilled) {
        if (!SegmentSpillFile::Append(spillName, chunk)) {
            record.status.store(VEXAN_NOT_STORED, std::memory_order_release);
            return;
        }
        record.dataLength += static_cast<uint32_t>(chunk.size());
        received = record.dataLength;
    } else {
        // The block was sized from the first segment's total; a later segment
        // cannot make it grow, whatever total it announces.
        const std::size_t room = record.capacity - std::min(record.dataLength, record.capacity);
        if (room > 0 && !chunk.empty()) {
            std::memcpy(record.data.get() + record.dataLength, chunk.data(), std::min(room, chunk.size()));
        }
        record.dataLength += static_cast<uint32_t>(chunk.size());
        received = record.dataLength - static_cast<uint32_t>(kSegmentHeaderSize);
    }

    if (received > expected) {
        record.status.store(VEXAN_UPLOAD_OVERRUN, std::memory_order_release);
        return;
    }
    if (received == expected) {
        record.status.store(VEXAN_OK, std::memory_order_release);
        return;
    }
    // Ask for the next segment before the caller may re-query, so that its next
    // result request always follows this one on the wire.
    FrameWriter next(Command::NextUploadSegment);
    next.U8(filing.node);
    const uint16_t sent = SendFrame(filing.slot, next.Frame());
    record.status.store(sent == VEXAN_OK ? kStatusBusy : static_cast<uint8_t>(sent), std::memory_order_release);
}

}  // namespace vexan
