#include "engine/dispatch.hpp"

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "engine/reply_tables.hpp"
#include "events/events.hpp"
#include "link/frame.hpp"
#include "link/library_state.hpp"
#include "link/port.hpp"
#include "platform/platform.hpp"
#include "vexan.h"

namespace vexan {

namespace {

constexpr uint8_t kFirstSegment = 0x41;
constexpr uint8_t kFurtherSegment = 0x00;
constexpr std::size_t kStatusReplyLength = 4;

bool IsPdoDataReply(uint8_t command)
{
    const CommandInfo* info = FindCommand(command);
    return info != nullptr && info->pdoDataReply;
}

// A reply data block, or none when memory is short: the reply is then filed
// with status 16 instead of ending the receive thread.
std::unique_ptr<uint8_t[]> AllocateBlock(std::size_t size)
{
    try {
        return std::make_unique_for_overwrite<uint8_t[]>(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

// Stores `bytes` as the record's reply data with status 0, or status 16 when
// there is no memory for them. Status last.
void StoreData(PendingReply& record, std::span<const uint8_t> bytes)
{
    record.FreeData();
    if (!bytes.empty()) {
        record.data = AllocateBlock(bytes.size());
        if (!record.data) {
            record.status.store(VEXAN_NOT_STORED, std::memory_order_release);
            return;
        }
        std::memcpy(record.data.get(), bytes.data(), bytes.size());
        record.capacity = static_cast<uint32_t>(bytes.size());
        record.dataLength = record.capacity;
    }
    record.status.store(VEXAN_OK, std::memory_order_release);
}

void StoreStatus(PendingReply& record, uint8_t status, bool keepData)
{
    if (!keepData) {
        record.FreeData();
    }
    record.status.store(status, std::memory_order_release);
}

// True when an SDO reply (expedited, download, abort or an upload's first
// segment: specifier, index, sub-index) names another object than the request
// pending on its record. Replies carry only command and node, so the answer to
// an earlier request that timed out would otherwise be filed as the answer of
// the next request on the same record. Further segments name no object.
bool NamesAnotherObject(const PendingReply& record, std::span<const uint8_t> frame)
{
    if (record.object == 0 || frame.size() < 7 || frame[3] == kFurtherSegment) {
        return false;
    }
    const uint16_t index = static_cast<uint16_t>(frame[4] | (frame[5] << 8));
    return SdoObject(index, frame[6]) != record.object;
}

// One segment of an SDO upload for the pending record of (board, 16, node).
void AssembleSegment(uint8_t slot, uint8_t board, uint8_t node, PendingReply& record, std::span<const uint8_t> frame)
{
    ByteReader header(frame, 3);
    const uint8_t code = header.U8();
    const uint16_t index = header.U16();
    const uint8_t subIndex = header.U8();
    const uint32_t total = header.U32();
    if (!header.Ok()) {
        return;  // shorter than its header: nothing to file
    }
    const auto chunk = frame.subspan(kSegmentDataOffset);
    // A further segment continues the upload the first one began, in the place
    // the first one chose, whatever total it announces itself.
    const bool spilled = code == kFirstSegment ? total >= kSpillThreshold : !record.data;
    if (code == kFirstSegment) {
        record.uploadIndex = index;
        record.uploadSubIndex = subIndex;
        record.uploadTotal = total;
    }
    const SegmentSpillFile::Name spillName =
        SegmentSpillFile::NameOf(board, node, record.uploadIndex, record.uploadSubIndex);

    if (code == kFirstSegment) {
        record.FreeData();
        if (spilled) {
            if (!SegmentSpillFile::Create(spillName)) {
                record.status.store(VEXAN_NOT_STORED, std::memory_order_release);
                return;
            }
        } else {
            const std::size_t size = kSegmentHeaderSize + total;
            record.data = AllocateBlock(size);
            if (!record.data) {
                record.status.store(VEXAN_NOT_STORED, std::memory_order_release);
                return;
            }
            std::memcpy(record.data.get(), frame.data() + 3, kSegmentHeaderSize);
            record.capacity = static_cast<uint32_t>(size);
            record.dataLength = kSegmentHeaderSize;
        }
        record.uploading = true;
    } else if (!record.uploading) {
        return;  // a further segment of an upload whose first segment was never stored
    }

    // Every segment is measured against the total the first one announced.
    const uint32_t expected = record.uploadTotal;
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
    next.U8(node);
    const uint16_t sent = SendFrame(slot, next.Frame());
    record.status.store(sent == VEXAN_OK ? kStatusBusy : static_cast<uint8_t>(sent), std::memory_order_release);
}

void DispatchStatus(uint8_t board, uint8_t command, std::span<const uint8_t> frame)
{
    ByteReader reader(frame, 1);
    if (frame.size() == kStatusReplyLength) {
        const uint8_t key = reader.U8();
        reader.U8();
        const uint8_t status = reader.U8();
        if (command > kFirstMasterCommand) {
            PendingReply* record = Replies().Find(board, command, 0);
            if (record != nullptr && ReplyClassOf(command) == ReplyClass::Master && record->IsPending()) {
                record->status.store(status, std::memory_order_release);
            }
            return;
        }
        if (ReplyClassOf(command) != ReplyClass::Node) {
            return;
        }
        PendingReply* record = Replies().Find(board, command, key);
        if (record != nullptr && record->IsPending()) {
            StoreStatus(*record, status, status == kStatusBusy);
        }
        return;
    }
    const uint16_t cobId = reader.U16();
    reader.U8();
    const uint8_t status = reader.U8();
    if (!reader.Ok() || ReplyClassOf(command) != ReplyClass::Pdo) {
        return;
    }
    PendingReply* record = Replies().Find(board, command, cobId);
    if (record != nullptr && record->IsPending()) {
        StoreStatus(*record, status, false);
    }
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

void DispatchReply(uint8_t slot, uint8_t length, std::span<const uint8_t> frame)
{
    if (length == 0 || frame.size() < length || slot >= kBoardCount) {
        return;
    }
    frame = frame.first(length);
    const uint8_t board = Link().slots[slot].board.load(std::memory_order_relaxed);
    if (board >= kBoardCount) {
        return;
    }
    const uint8_t first = frame[0];
    const uint8_t command = first & static_cast<uint8_t>(~kStatusReplyBit);
    if (command == 0) {
        return;
    }

    if (first == CodeOf(Command::EventPoll)) {
        // Events are queued outside the record lock; only the flags record is
        // filed under it.
        const auto flags = UnpackEvents(board, frame);
        if (!flags) {
            return;
        }
        BoardReplies& replies = Replies().Of(board);
        std::lock_guard guard(replies.lock);
        PendingReply& record = replies.master[0];
        record.masterData = *flags;
        record.status.store(VEXAN_OK, std::memory_order_release);
        if (record.IsPending()) {
            ReplyTables::NotifyFiled(replies);  // no one else waits on the flags
        }
        return;
    }

    BoardReplies& replies = Replies().Of(board);
    std::lock_guard guard(replies.lock);
    if ((first & kStatusReplyBit) != 0) {
        DispatchStatus(board, command, frame);
    } else if (IsPdoDataReply(first)) {
        ByteReader reader(frame, 1);
        const uint16_t cobId = reader.U16();
        reader.U8();
        PendingReply* record = Replies().Find(board, first, cobId);
        if (reader.Ok() && record != nullptr && record->IsPending()) {
            StoreData(*record, frame.subspan(4));
        }
    } else if (ReplyClassOf(first) == ReplyClass::Node && frame.size() >= 3) {
        const uint8_t node = frame[1];
        PendingReply* record = Replies().Find(board, first, node);
        const bool sdo = first == CodeOf(Command::SdoRead) || first == CodeOf(Command::SdoWrite);
        if (record != nullptr && record->IsPending() && !(sdo && NamesAnotherObject(*record, frame))) {
            if (first == CodeOf(Command::SdoRead) && frame.size() > 3 &&
                (frame[3] == kFirstSegment || frame[3] == kFurtherSegment)) {
                AssembleSegment(slot, board, node, *record, frame);
            } else {
                StoreData(*record, frame.subspan(3));
            }
        }
    }
    ReplyTables::NotifyFiled(replies);
}

}  // namespace vexan
