#include "engine/reply_tables.hpp"

namespace vexan {

namespace {

std::atomic<uint32_t>& Outstanding(uint8_t board)
{
    return Link().boards[board].outstanding;
}

}  // namespace

ReplyTables::ReplyTables()
{
    for (std::size_t board = 0; board < boards_.size(); ++board) {
        boards_[board] = std::make_unique<BoardReplies>(static_cast<uint8_t>(board));
    }
}

PendingReply* ReplyTables::Find(const RecordKey& key)
{
    if (key.board >= kBoardCount) {
        return nullptr;
    }
    BoardReplies& replies = *boards_[key.board];
    const unsigned command = key.command;
    switch (ReplyClassOf(command)) {
    case ReplyClass::Node:
        return key.key < kNodeKeys ? &replies.node[(command - kFirstNodeCommand) * kNodeKeys + key.key] : nullptr;
    case ReplyClass::Pdo:
        return key.key < kPdoKeys ? &replies.pdo[(command - kFirstPdoCommand) * kPdoKeys + key.key] : nullptr;
    case ReplyClass::Master:
        return &replies.master[command - kFirstMasterCommand];
    case ReplyClass::None:
        break;
    }
    return nullptr;
}

uint32_t BoardReplies::Mark(PendingReply& record, uint32_t now, bool& first)
{
    record.FreeData();
    record.sendTime.store(now, std::memory_order_relaxed);
    record.status.store(kStatusNone, std::memory_order_relaxed);
    const uint32_t generation = record.generation.fetch_add(1, std::memory_order_relaxed) + 1;
    first = false;
    if (record.pending.exchange(1, std::memory_order_release) == 0) {
        first = Outstanding(board).fetch_add(1) == 0;
    }
    return generation;
}

void BoardReplies::Release(PendingReply& record)
{
    if (record.IsPending()) {
        Outstanding(board).fetch_sub(1);
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
    Outstanding(board).store(0);
    NotifyFiled(replies);
}

void ReplyTables::ReleaseNode(uint8_t board, uint8_t node)
{
    if (board >= kBoardCount || node >= kNodeKeys) {
        return;
    }
    BoardReplies& replies = *boards_[board];
    std::lock_guard guard(replies.lock);
    for (std::size_t row = 0; row < kNodeCommands; ++row) {
        replies.Release(replies.node[row * kNodeKeys + node]);
    }
    NotifyFiled(replies);
}

void ReplyTables::NotifyFiled(BoardReplies& replies)
{
    ++replies.filings;
    replies.filed.notify_all();
}

bool KeyFits(unsigned command, unsigned key)
{
    if (command > UINT8_MAX || key > UINT16_MAX) {
        return false;  // no record is named by a wider value; never cut it down to one that is
    }
    // Every board has the same tables: a key fits when board 0 has its record.
    return Replies().Find(0, command, key) != nullptr;
}

}  // namespace vexan
