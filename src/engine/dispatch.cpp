#include "engine/dispatch.hpp"

#include <mutex>

#include "engine/reply_tables.hpp"
#include "events/events.hpp"
#include "link/frame.hpp"
#include "link/library_state.hpp"
#include "vexan.h"

namespace vexan {

namespace {

constexpr std::size_t kStatusReplyLength = 4;

bool IsPdoDataReply(uint8_t command)
{
    const CommandInfo* info = FindCommand(command);
    return info != nullptr && info->pdoDataReply;
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
            StoreReplyStatus(*record, status, status == kStatusBusy);
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
        StoreReplyStatus(*record, status, false);
    }
}

}  // namespace

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
            StoreReplyData(*record, frame.subspan(4));
        }
    } else if (ReplyClassOf(first) == ReplyClass::Node && frame.size() >= 3) {
        const uint8_t node = frame[1];
        PendingReply* record = Replies().Find(board, first, node);
        if (record != nullptr && record->IsPending()) {
            if (ReplyFiler* filer = Replies().FilerOf(first)) {
                filer->File(ReplyFiler::Filing{slot, board, node, *record, frame});
            } else {
                StoreReplyData(*record, frame.subspan(3));
            }
        }
    }
    ReplyTables::NotifyFiled(replies);
}

}  // namespace vexan
