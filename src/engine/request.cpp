#include "engine/request.hpp"

#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>

#include "link/library_state.hpp"
#include "link/port.hpp"
#include "platform/platform.hpp"

namespace vexan {

namespace {

using ReaderTurn = ReceiveSide::ReaderTurn;

// The longest a waiting call goes without looking at its record: the module's
// busy answers, the time-out and a release under the caller are noticed at
// this pace at the latest.
constexpr uint32_t kLongestPollGapMs = 1;

uint64_t Filings(uint8_t board)
{
    BoardReplies& replies = Replies().Of(board);
    std::lock_guard guard(replies.lock);
    return replies.filings;
}

// Waits until a reply is filed on the board or the poll gap passed.
void WaitForFiling(uint8_t board, uint64_t seen)
{
    BoardReplies& replies = Replies().Of(board);
    std::unique_lock guard(replies.lock);
    replies.filed.wait_for(guard, std::chrono::milliseconds(kLongestPollGapMs),
                           [&] { return replies.filings != seen; });
}

// What is left of a function time-out that began at the tick `begun`.
std::chrono::milliseconds RemainingOf(uint8_t board, uint32_t begun)
{
    const uint32_t timeout = Link().boards[board].functionTimeout.load(std::memory_order_relaxed);
    const uint32_t elapsed = platform::TickCount() - begun;
    return std::chrono::milliseconds(elapsed >= timeout ? 0 : timeout - elapsed);
}

bool TimedOut(const PendingReply& record, uint8_t board)
{
    const uint32_t elapsed = platform::TickCount() - record.sendTime.load(std::memory_order_relaxed);
    return elapsed > Link().boards[board].functionTimeout.load(std::memory_order_relaxed);
}

// The record key of a request on an open board: commands keyed by the master's
// own node id or by no node take their key from the board.
uint16_t KeyOnBoard(uint8_t command, uint16_t given, const OpenBoard& open)
{
    const CommandInfo* info = FindCommand(command);
    if (info == nullptr) {
        return given;
    }
    switch (info->key) {
    case KeyKind::MasterNodeId:
        return open.masterNodeId;
    case KeyKind::Zero:
    case KeyKind::Row:
        return 0;
    case KeyKind::NodeId:
    case KeyKind::CobId:
    case KeyKind::None:
        break;
    }
    return given;
}

// A request whose line reported itself gone can never be answered: its record
// is let go (unless it holds a newer request by now) and the call ends with the
// port's failure instead of waiting out its time-out.
uint16_t GiveUpOnGoneLine(const RecordKey& key, uint32_t ticket)
{
    if (PendingReply* record = Replies().Find(key)) {
        BoardReplies& replies = Replies().Of(key.board);
        std::lock_guard guard(replies.lock);
        if (record->IsPending() && record->generation.load(std::memory_order_relaxed) == ticket) {
            replies.Release(*record);
        }
    }
    return VEXAN_READ_FAILED;
}

// The poll loop of every waiting call: poll the record; when the module was
// busy ask again; while the result is out, read the line itself when no one
// else reads it (the reply then needs no hand-over from the receive thread),
// or wait for the next filing; return VEXAN_WAITING at once when the caller
// does not wait.
uint16_t PollLoop(uint8_t slot, const RecordKey& key, uint32_t ticket, bool blocking, bool returnAfterAsking,
                  std::optional<ReaderTurn>& turn, Reply& reply)
{
    for (;;) {
        const uint64_t seen = turn ? 0 : Filings(key.board);
        const uint16_t polled = PollReply(key, ticket, reply);
        if (polled == VEXAN_OK) {
            return reply.status;
        }
        if (polled == VEXAN_SENT) {
            const uint16_t asked = RequestResult(slot, key);
            if (asked != VEXAN_OK) {
                return asked;
            }
            if (!blocking || returnAfterAsking) {
                return VEXAN_WAITING;
            }
        } else if (polled != VEXAN_WAITING) {
            return polled;
        } else if (ReceiveSideOf(slot).LineGone()) {
            return GiveUpOnGoneLine(key, ticket);
        } else if (!blocking) {
            return VEXAN_WAITING;
        }
        if (!turn) {
            turn = ReceiveSideOf(slot).TryTakeReader();
        }
        if (turn) {
            turn->Read(kLongestPollGapMs);
        } else {
            WaitForFiling(key.board, seen);
        }
    }
}

}  // namespace

bool IsPending(const RecordKey& key)
{
    const PendingReply* record = Replies().Find(key);
    return record != nullptr && record->IsPending();
}

bool AnyPending(uint8_t board, uint8_t command)
{
    for (std::size_t key = 0; key < kPdoKeys; ++key) {
        const PendingReply* record = Replies().Find(board, command, static_cast<unsigned>(key));
        if (record == nullptr) {
            return false;
        }
        if (record->IsPending()) {
            return true;
        }
    }
    return false;
}

uint32_t MarkPending(const RecordKey& key, std::span<const uint8_t> request, std::optional<uint32_t> since)
{
    PendingReply* record = Replies().Find(key);
    if (record == nullptr) {
        return 0;
    }
    BoardReplies& replies = Replies().Of(key.board);
    bool first = false;
    uint32_t ticket = 0;
    {
        std::lock_guard guard(replies.lock);
        ticket = replies.Mark(*record, since.value_or(platform::TickCount()), first);
        if (ReplyFiler* filer = Replies().FilerOf(key.command)) {
            filer->Marked(key, request);
        }
    }
    // The receive thread may be resting between event steps: have it watch the
    // port again before the reply can arrive, unless a caller reads the line
    // (it hands the line back when its turn ends).
    if (first && !ReceiveSideOf(key.board).CallerReading()) {
        Link().boards[key.board].wake.Notify();
    }
    return ticket;
}

void ReleaseRecord(const RecordKey& key)
{
    PendingReply* record = Replies().Find(key);
    if (record == nullptr) {
        return;
    }
    BoardReplies& replies = Replies().Of(key.board);
    std::lock_guard guard(replies.lock);
    replies.Release(*record);
    ReplyTables::NotifyFiled(replies);
}

uint32_t TicketOf(const RecordKey& key)
{
    const PendingReply* record = Replies().Find(key);
    return record != nullptr ? record->generation.load(std::memory_order_relaxed) : 0;
}

void ReleaseNodeRecords(uint8_t board, uint8_t node)
{
    Replies().ReleaseNode(board, node);
}

uint16_t RequestResult(uint8_t slot, const RecordKey& key)
{
    FrameWriter frame(Command::ResultRequest);
    frame.U8(key.command);
    switch (ReplyClassOf(key.command)) {
    case ReplyClass::Node:
        frame.U8(static_cast<uint8_t>(key.key));
        break;
    case ReplyClass::Pdo:
        frame.U16(key.key);
        break;
    case ReplyClass::Master:
        if (key.command > kLastResultRequestMaster) {
            return VEXAN_NO_RESULT_CLASS;
        }
        frame.U8(static_cast<uint8_t>(key.key));
        break;
    case ReplyClass::None:
        return VEXAN_NO_RESULT_CLASS;
    }
    const uint16_t sent = SendFrame(slot, frame.Frame());
    PendingReply* record = Replies().Find(key);
    if (sent == VEXAN_OK || record == nullptr) {
        return sent;
    }
    BoardReplies& replies = Replies().Of(key.board);
    std::lock_guard guard(replies.lock);
    if (sent != VEXAN_PAUSED) {
        replies.Release(*record);
    } else if (record->IsPending() && record->status.load(std::memory_order_relaxed) == kStatusNone) {
        // Nothing asked the module for this result: leave the record busy so
        // that the next poll after the pause asks again instead of waiting for
        // an answer that cannot come.
        record->status.store(kStatusBusy, std::memory_order_relaxed);
    }
    return sent;
}

uint16_t PollReply(const RecordKey& key, uint32_t ticket, Reply& reply)
{
    PendingReply* record = Replies().Find(key);
    if (record == nullptr) {
        return VEXAN_TIMEOUT;
    }
    BoardReplies& replies = Replies().Of(key.board);
    std::lock_guard guard(replies.lock);
    if (!record->IsPending() || record->generation.load(std::memory_order_relaxed) != ticket) {
        return VEXAN_TIMEOUT;  // released under the caller (shut-down, removed node): nothing will come
    }
    const uint8_t status = record->status.load(std::memory_order_acquire);
    if (status == kStatusNone || status == kStatusBusy) {
        if (TimedOut(*record, key.board)) {
            replies.Release(*record);
            return VEXAN_TIMEOUT;
        }
        if (status == kStatusNone) {
            return VEXAN_WAITING;
        }
        record->status.store(kStatusNone, std::memory_order_relaxed);
        return VEXAN_SENT;
    }
    reply.status = status;
    reply.collected = true;
    reply.keptOutside = record->keptOutside;
    if (ReplyClassOf(key.command) == ReplyClass::Master) {
        reply.length = 1;
        reply.data[0] = record->masterData;
    } else {
        reply.length = record->dataLength;
        if (record->data) {
            const std::size_t count = std::min<std::size_t>({record->dataLength, record->capacity, reply.data.size()});
            std::memcpy(reply.data.data(), record->data.get(), count);
        }
    }
    replies.Release(*record);
    return VEXAN_OK;
}

uint16_t CollectReply(uint8_t slot, const RecordKey& key, const RequestOptions& options, Reply& reply)
{
    std::optional<ReaderTurn> turn;
    return PollLoop(slot, key, TicketOf(key), options.blocking, options.collectReturnsWaiting, turn, reply);
}

uint16_t AwaitReply(uint8_t slot, const RecordKey& key, uint32_t ticket, Reply& reply)
{
    std::optional<ReaderTurn> turn;
    return PollLoop(slot, key, ticket, true, false, turn, reply);
}

uint16_t RunRequest(uint8_t slot, const Request& request, Reply& reply)
{
    // Every wait of the call counts against its function time-out, the wait
    // for the exchange lock included: the record's time-out runs from here.
    const uint32_t begun = platform::TickCount();
    const auto open = LookupOpenBoard(slot);
    if (!open) {
        return VEXAN_NOT_OPEN;
    }
    const RecordKey key{open->board, request.command, KeyOnBoard(request.command, request.key, *open)};
    if (request.overflowed || !KeyFits(key.command, key.key)) {
        return VEXAN_OUT_OF_RANGE;
    }
    const RequestOptions& options = request.options;
    if (!options.alwaysFresh && IsPending(key)) {
        return CollectReply(slot, key, options, reply);
    }
    // The exchange lock covers the fresh path only: from before the record is
    // marked until the call returns. Its holders may each wait out a lost
    // reply, and the lock hands itself on in no particular order, so a caller
    // waits for it only as long as its own time-out leaves: then it ends with
    // VEXAN_TIMEOUT having sent nothing.
    std::unique_lock<TimedLock> exchange;
    if (options.holdExchangeLock) {
        exchange = std::unique_lock(Link().exchangeLock, std::defer_lock);
        if (!exchange.try_lock_for(RemainingOf(key.board, begun))) {
            return VEXAN_TIMEOUT;
        }
    }
    const bool waits = options.blocking || options.alwaysFresh;
    // A caller that will wait takes the reader role first when the line is
    // free, so that marking its record does not wake the receive thread.
    std::optional<ReaderTurn> turn;
    if (waits) {
        turn = ReceiveSideOf(slot).TryTakeReader();
    }
    const uint32_t ticket = MarkPending(key, request.bytes.subspan(kFrameHead), begun);
    const uint16_t sent = SendFrame(slot, request.bytes);
    if (sent != VEXAN_OK) {
        ReleaseRecord(key);  // nothing went out: no reply to wait for
        return sent;
    }
    const uint16_t asked = RequestResult(slot, key);
    if (asked != VEXAN_OK) {
        return asked;
    }
    if (!waits) {
        return VEXAN_SENT;
    }
    return PollLoop(slot, key, ticket, true, false, turn, reply);
}

uint16_t RefuseArguments(uint8_t slot)
{
    return LookupOpenBoard(slot) ? VEXAN_OUT_OF_RANGE : VEXAN_NOT_OPEN;
}

uint16_t CopyReplyData(uint16_t result, const Reply& reply, uint8_t* out)
{
    if (result == VEXAN_OK && out != nullptr) {
        const auto bytes = reply.Bytes();
        std::memcpy(out, bytes.data(), std::min<std::size_t>(bytes.size(), VEXAN_MAX_REPLY_DATA));
    }
    return result;
}

uint16_t SendOnly(uint8_t slot, FrameWriter& frame)
{
    if (!LookupOpenBoard(slot)) {
        return VEXAN_NOT_OPEN;
    }
    if (frame.Overflowed()) {
        return VEXAN_OUT_OF_RANGE;
    }
    return SendFrame(slot, frame.Frame());
}

}  // namespace vexan
