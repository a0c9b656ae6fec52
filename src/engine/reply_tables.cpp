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
    NotifyFiled(replies);
}

void ReplyTables::NotifyFiled(BoardReplies& replies)
{
    ++replies.filings;
    replies.filed.notify_all();
}

bool KeyFits(unsigned command, unsigned key)
{
    switch (ClassOf(command)) {
    case CommandClass::Node:
        return key < kNodeKeys;
    case CommandClass::Pdo:
        return key < kPdoKeys;
    case CommandClass::Master:
        return command <= kLastMasterRow;
    case CommandClass::None:
        break;
    }
    return false;
}

}  // namespace vexan
