// The pending-reply records of every board: one record per (command, key) that
// a request can wait on, filled by the dispatcher and collected by the
// requesting call.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <span>

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
    uint8_t masterData = 0;  // the one data byte of a master-table record
    // The reply's bytes are kept outside the record, in a file of the family
    // that filed them: `dataLength` counts them and `data` holds none.
    bool keptOutside = false;

    void FreeData()
    {
        data.reset();
        keptOutside = false;
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

// Filing a reply into a record; call with the board's record lock held.
// A data block, or none when memory is short (the reply is then filed with
// VEXAN_NOT_STORED instead of ending the receive thread).
std::unique_ptr<uint8_t[]> AllocateReplyBlock(std::size_t size);
// Stores `bytes` as the record's reply data with status VEXAN_OK, or
// VEXAN_NOT_STORED when there is no memory for them. Status last.
void StoreReplyData(PendingReply& record, std::span<const uint8_t> bytes);
// Stores a status; the data are dropped unless `keepData`.
void StoreReplyStatus(PendingReply& record, uint8_t status, bool keepData);

// A family that knows more of its replies than the engine does files them
// itself. The dispatcher hands a filer each node-class data reply of the
// commands it was registered for, once the reply's record is found pending,
// and tells it whenever a request of such a command is marked. Both calls run
// with the board's record lock held, on whichever thread marks or reads.
class ReplyFiler {
public:
    // A node-class data reply: `frame` from the command byte on; `record` is
    // the pending record of (board, command, node).
    struct Filing {
        uint8_t slot;
        uint8_t board;
        uint8_t node;
        PendingReply& record;
        std::span<const uint8_t> frame;
    };

    ReplyFiler() = default;
    ReplyFiler(const ReplyFiler&) = delete;
    ReplyFiler& operator=(const ReplyFiler&) = delete;
    virtual ~ReplyFiler() = default;

    // A request was marked on the record of `key`: `request` is its frame from
    // the command byte on, or empty when it was marked without one.
    virtual void Marked(const RecordKey& key, std::span<const uint8_t> request) = 0;
    // Files the reply into its record: data and length first, status last.
    virtual void File(const Filing& filing) = 0;
};

// One registration: the node-class command whose data replies `filer` files.
struct FilerEntry {
    Command command;
    ReplyFiler* filer;
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
    // The filers are wired in when the library is built; an entry whose command
    // is not of the node class is never handed a reply.
    explicit ReplyTables(std::initializer_list<FilerEntry> filers = {});
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
    // The filer registered for a command, or nullptr.
    ReplyFiler* FilerOf(unsigned command) const
    {
        const bool node =
            ReplyClassOf(command) == ReplyClass::Node && command >= kFirstNodeCommand && command <= kLastNodeCommand;
        return node ? filers_[command - kFirstNodeCommand] : nullptr;
    }
    // Returns every record of the board to the empty state.
    void ReleaseAll(uint8_t board);
    // Returns every node-class record of one node on the board to the empty state.
    void ReleaseNode(uint8_t board, uint8_t node);
    // Wakes callers waiting on the board after a reply was filed. Call with the
    // board's lock held.
    static void NotifyFiled(BoardReplies& replies);

private:
    std::array<std::unique_ptr<BoardReplies>, kBoardCount> boards_;
    std::array<ReplyFiler*, kNodeCommands> filers_{};
};

ReplyTables& Replies();

// True when the command has reply records and the key fits its table (node
// ids 0..127, COB-IDs 0..2046; master rows have no key).
bool KeyFits(unsigned command, unsigned key);

}  // namespace vexan
