// The pending-reply records of every board: one record per (command, key) that
// a request can wait on, filled by the dispatcher and collected by the
// requesting call.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "link/library_state.hpp"
#include "link/protocol.hpp"

namespace vexan {

// Rows of the reply tables: node-class commands 1..42, PDO-class 48..58, and
// the master rows of the master-class commands from the event poll on.
inline constexpr uint8_t kFirstNodeCommand = 1;
inline constexpr uint8_t kLastNodeCommand = 42;
inline constexpr uint8_t kFirstPdoCommand = 48;
inline constexpr uint8_t kLastPdoCommand = 58;
inline constexpr uint8_t kFirstMasterCommand = CodeOf(Command::EventPoll);
inline constexpr uint8_t kLastMasterRow = CodeOf(Command::ResponseMasterPdo);

inline constexpr std::size_t kNodeCommands = kLastNodeCommand - kFirstNodeCommand + 1;
inline constexpr std::size_t kPdoCommands = kLastPdoCommand - kFirstPdoCommand + 1;
inline constexpr std::size_t kMasterRows = kLastMasterRow - kFirstMasterCommand + 1;

inline constexpr uint8_t kStatusNone = 255;
inline constexpr uint8_t kStatusBusy = 40;

// One record: the board, the command and the key (node id, COB-ID, or 0 for
// the master rows) of a request.
struct RecordKey {
    uint8_t board = 0;
    uint8_t command = 0;
    uint16_t key = 0;
};

// An SDO request's object as its record keeps it (PendingReply::object): never 0.
inline uint32_t SdoObject(uint16_t index, uint8_t subIndex)
{
    return (uint32_t{1} << 24) | (uint32_t{index} << 8) | subIndex;
}

// One awaited reply. The requesting call marks it (pending, send time), the
// dispatcher stores data and length and then the status with release ordering;
// the poller reads the status first with acquire ordering. Data and length are
// touched only under the board's record lock.
struct PendingReply {
    std::atomic<uint8_t> pending{0};
    std::atomic<uint8_t> status{kStatusNone};
    std::atomic<uint32_t> sendTime{0};
    // Counts the requests marked on this record, so that a caller whose
    // request was released (by a shut-down, say) never collects the reply of a
    // later request on the same record.
    std::atomic<uint32_t> generation{0};
    uint32_t dataLength = 0;
    uint32_t capacity = 0;  // size of the data block
    std::unique_ptr<uint8_t[]> data;
    uint8_t masterData = 0;      // the one data byte of a master-table record
    bool uploading = false;      // an SDO upload's first segment was filed here
    uint8_t uploadSubIndex = 0;  // the object of that upload, which names its spill file
    uint16_t uploadIndex = 0;
    uint32_t uploadTotal = 0;  // the size that upload's first segment announced
    // The SDO object the pending request addresses (SdoObject), or 0 when its
    // replies name none: an SDO reply naming another object is the late answer
    // of an earlier request on this record and is not filed here.
    uint32_t object = 0;

    void FreeData()
    {
        data.reset();
        uploading = false;
        capacity = 0;
        dataLength = 0;
    }
    // Back to the empty state; the send time is kept.
    void Release()
    {
        FreeData();
        masterData = 0;
        pending.store(0, std::memory_order_relaxed);
        status.store(kStatusNone, std::memory_order_release);
    }
    bool IsPending() const { return pending.load(std::memory_order_relaxed) != 0; }
};

// Rows by command, columns by key: node id, COB-ID, or none for the master rows.
using NodeReplyTable = std::array<PendingReply, kNodeCommands * kNodeKeys>;
using PdoReplyTable = std::array<PendingReply, kPdoCommands * kPdoKeys>;
using MasterReplyTable = std::array<PendingReply, kMasterRows>;

struct BoardReplies {
    explicit BoardReplies(uint8_t boardIndex) : board(boardIndex) {}

    const uint8_t board;
    std::mutex lock;  // guards data blocks and lengths of this board's records
    std::condition_variable filed;
    uint64_t filings = 0;  // counts filed replies, under `lock`
    NodeReplyTable node;
    PdoReplyTable pdo;
    MasterReplyTable master;

    // Marks and releases a record, keeping the board's count of outstanding
    // requests; call with `lock` held.
    // Mark returns the request's generation and tells through `first` whether
    // the record is the board's only outstanding one.
    uint32_t Mark(PendingReply& record, uint32_t now, bool& first);
    void Release(PendingReply& record);
};

class ReplyTables {
public:
    ReplyTables();
    // The record of a key, or nullptr when no table holds it.
    PendingReply* Find(const RecordKey& key);
    PendingReply* Find(uint8_t board, unsigned command, unsigned key)
    {
        if (command > UINT8_MAX || key > UINT16_MAX) {
            return nullptr;
        }
        return Find(RecordKey{board, static_cast<uint8_t>(command), static_cast<uint16_t>(key)});
    }
    BoardReplies& Of(uint8_t board) { return *boards_[board]; }
    // Returns every record of the board to the empty state.
    void ReleaseAll(uint8_t board);
    // Returns every node-class record of one node on the board to the empty state.
    void ReleaseNode(uint8_t board, uint8_t node);
    // Wakes callers waiting on the board after a reply was filed. Call with the
    // board's lock held.
    static void NotifyFiled(BoardReplies& replies);

private:
    std::array<std::unique_ptr<BoardReplies>, kBoardCount> boards_;
};

ReplyTables& Replies();

// True when the command has reply records and the key fits its table (node
// ids 0..127, COB-IDs 0..2046; master rows have no key).
bool KeyFits(unsigned command, unsigned key);

}  // namespace vexan
