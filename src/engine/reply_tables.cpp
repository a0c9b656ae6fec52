#include "engine/reply_tables.hpp"

namespace vexan {

ReplyTables::ReplyTables()
{
    for (auto& board : boards_) {
        board = std::make_unique<BoardReplies>();
    }
}

PendingReply* ReplyTables::Find(uint8_t board, unsigned command, unsigned key)
{
    if (board >= kBoardCount) {
        return nullptr;
    }
    BoardReplies& replies = *boards_[board];
    switch (ClassOf(command)) {
    case CommandClass::Node:
        return key < kNodeKeys ? &replies.node[(command - kFirstNodeCommand) * kNodeKeys + key] : nullptr;
    case CommandClass::Pdo:
        return key < kPdoKeys ? &replies.pdo[(command - kFirstPdoCommand) * kPdoKeys + key] : nullptr;
    case CommandClass::Master:
        return command <= kLastMasterRow ? &replies.master[command - kFirstMasterCommand] : nullptr;
    case CommandClass::None:
        break;
    }
    return nullptr;
}

bool BoardReplies::Mark(PendingReply& record, uint32_t now)
{
    record.FreeData();
    record.sendTime.store(now, std::memory_order_relaxed);
    record.status.store(kStatusNone, std::memory_order_relaxed);
    if (record.pending.exchange(1, std::memory_order_release) != 0) {
        return false;
    }
    return outstanding.fetch_add(1, std::memory_order_relaxed) == 0;
}

void BoardReplies::Release(PendingReply& record)
{
    if (record.pending.load(std::memory_order_relaxed) != 0) {
        outstanding.fetch_sub(1, std::memory_order_relaxed);
    }
    record.Release();
}

void ReplyTables::ReleaseAll(uint8_t board)
{
    BoardReplies& replies = *boards_[board];
    std::lock_guard guard(replies.lock);
    for (auto& record : replies.node) {
        record.Release();
    }
    for (auto& record : replies.pdo) {
        record.Release();
    }
    for (auto& record : replies.master) {
        record.Release();
    }
    replies.outstanding.store(0, std::memory_order_relaxed);
    NotifyFiled(replies);
}

void ReplyTables::NotifyFiled(BoardReplies& replies)
{
    ++replies.filings;
    replies.filed.notify_all();
}

bool KeyFits(unsigned command, unsigned key)
{
    // Every board has the same tables: a key fits when board 0 has its record.
    return Replies().Find(0, command, key) != nullptr;
}

}  // namespace vexan
