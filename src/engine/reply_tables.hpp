// The pending-reply records of every board: one record per (command, key) that
// a request can wait on, filled by the dispatcher on the receive thread and
// collected by the requesting call.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "link/library_state.hpp"

namespace vexan {

// Command classes select the reply table and the form of the result request.
inline constexpr uint8_t kFirstNodeCommand = 1;
inline constexpr uint8_t kLastNodeCommand = 42;
inline constexpr uint8_t kFirstPdoCommand = 48;
inline constexpr uint8_t kLastPdoCommand = 58;
inline constexpr uint8_t kFirstMasterCommand = 64;
inline constexpr uint8_t kLastMasterRow = 66;            // rows of the master table: 64..66
inline constexpr uint8_t kLastResultRequestMaster = 72;  // highest master command a result request names

inline constexpr std::size_t kNodeCommands = kLastNodeCommand - kFirstNodeCommand + 1;
inline constexpr std::size_t kNodeKeys = 128;
inline constexpr std::size_t kPdoCommands = kLastPdoCommand - kFirstPdoCommand + 1;
inline constexpr std::size_t kPdoKeys = 2047;
inline constexpr std::size_t kMasterRows = kLastMasterRow - kFirstMasterCommand + 1;

// Command codes the library sends.
namespace command {
inline constexpr uint8_t kStartMaster = 2;
inline constexpr uint8_t kStopMaster = 3;
inline constexpr uint8_t kFirmwareVersion = 5;
inline constexpr uint8_t kSetMasterMode = 6;
inline constexpr uint8_t kGetMasterMode = 7;
inline constexpr uint8_t kSdoRead = 16;
inline constexpr uint8_t kNextUploadSegment = 34;
inline constexpr uint8_t kCanStatus = 39;
inline constexpr uint8_t kEventPoll = 64;
inline constexpr uint8_t kMasterBootup = 73;
inline constexpr uint8_t kResultRequest = 0x60;
}  // namespace command

enum class CommandClass { Node, Pdo, Master, None };

constexpr CommandClass ClassOf(unsigned command)
{
    if (command >= kFirstNodeCommand && command <= kLastNodeCommand) {
        return CommandClass::Node;
    }
    if (command >= kFirstPdoCommand && command <= kLastPdoCommand) {
        return CommandClass::Pdo;
    }
    if (command >= kFirstMasterCommand) {
        return CommandClass::Master;
    }
    return CommandClass::None;
}

inline constexpr uint8_t kStatusNone = 255;
inline constexpr uint8_t kStatusBusy = 40;

// One awaited reply. The requesting call marks it (pending, send time), the
// dispatcher stores data and length and then the status with release ordering;
// the poller reads the status first with acquire ordering. Data and length are
// touched only under the board's record lock.
struct PendingReply {
    std::atomic<uint8_t> pending{0};
    std::atomic<uint8_t> status{kStatusNone};
    std::atomic<uint32_t> sendTime{0};
    uint32_t dataLength = 0;
    uint32_t capacity = 0;  // size of the data block
    std::unique_ptr<uint8_t[]> data;
    uint8_t masterData = 0;      // the one data byte of a master-table record
    bool uploading = false;      // an SDO upload's first segment was filed here
    uint8_t uploadSubIndex = 0;  // the object of that upload, which names its spill file
    uint16_t uploadIndex = 0;
    uint32_t uploadTotal = 0;  // the size that upload's first segment announced

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
};

// Rows by command, columns by key: node id, COB-ID, or none for the master rows.
using NodeReplyTable = std::array<PendingReply, kNodeCommands * kNodeKeys>;
using PdoReplyTable = std::array<PendingReply, kPdoCommands * kPdoKeys>;
using MasterReplyTable = std::array<PendingReply, kMasterRows>;

struct BoardReplies {
    std::mutex lock;  // guards data blocks and lengths of this board's records
    std::condition_variable filed;
    uint64_t filings = 0;  // counts filed replies, under `lock`
    // Records awaiting a reply; while there are none the receive thread need not
    // watch the port between its event steps.
    std::atomic<uint32_t> outstanding{0};
    NodeReplyTable node;
    PdoReplyTable pdo;
    MasterReplyTable master;

    // Marks and releases a record, keeping `outstanding`; call with `lock` held.
    // Mark returns true when the record is the board's only outstanding one.
    bool Mark(PendingReply& record, uint32_t now);
    void Release(PendingReply& record);
};

class ReplyTables {
public:
    ReplyTables();
    // The record of (board, command, key), or nullptr when no table holds it.
    PendingReply* Find(uint8_t board, unsigned command, unsigned key);
    BoardReplies& Of(uint8_t board) { return *boards_[board]; }
    // Returns every record of the board to the empty state.
    void ReleaseAll(uint8_t board);
    // Wakes callers waiting on the board after a reply was filed. Call with the
    // board's lock held.
    static void NotifyFiled(BoardReplies& replies);

private:
    std::array<std::unique_ptr<BoardReplies>, kBoardCount> boards_;
};

ReplyTables& Replies();

// True when the key fits the table of the command's class (node ids 0..127,
// COB-IDs 0..2046; master rows have no key).
bool KeyFits(unsigned command, unsigned key);

}  // namespace vexan
