#include "engine/reply_tables.hpp"

#include <cstring>
#include <new>

#include "vexan.h"

namespace vexan {

namespace {

std::atomic<uint32_t>& Outstanding(uint8_t board)
{
    return Link().boards[board].outstanding;
}

}  // namespace

ReplyTables::ReplyTables(std::initializer_list<FilerEntry> filers)
{
    for (std::size_t board = 0; board < boards_.size(); ++board) {
        boards_[board] = std::make_unique<BoardReplies>(static_cast<uint8_t>(board));
    }
    for (const FilerEntry& entry : filers) {
        const uint8_t command = CodeOf(entry.command);
        if (ReplyClassOf(command) == ReplyClass::Node && command >= kFirstNodeCommand && command <= kLastNodeCommand) {
            filers_[command - kFirstNodeCommand] = entry.filer;
        }
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

std::unique_ptr<uint8_t[]> AllocateReplyBlock(std::size_t size)
{
    try {
        return std::make_unique_for_overwrite<uint8_t[]>(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void StoreReplyData(PendingReply& record, std::span<const uint8_t> bytes)
{
    record.FreeData();
    if (!bytes.empty()) {
        record.data = AllocateReplyBlock(bytes.size());
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

void StoreReplyStatus(PendingReply& record, uint8_t status, bool keepData)
{
    if (!keepData) {
        record.FreeData();
    }
    record.status.store(status, std::memory_order_release);
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
