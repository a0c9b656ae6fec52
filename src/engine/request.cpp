#include "engine/request.hpp"

#include <chrono>
#include <cstring>
#include <mutex>

#include "engine/reply_tables.hpp"
#include "link/library_state.hpp"
#include "link/port.hpp"
#include "platform/platform.hpp"
#include "vexan.h"

namespace vexan {

namespace {

constexpr auto kLongestPollGap = std::chrono::milliseconds(1);

uint64_t Filings(uint8_t board)
{
    BoardReplies& replies = Replies().Of(board);
    std::lock_guard guard(replies.lock);
    return replies.filings;
}

// Waits until the dispatcher files a reply on the board or 1 ms passed.
void WaitForFiling(uint8_t board, uint64_t seen)
{
    BoardReplies& replies = Replies().Of(board);
    std::unique_lock guard(replies.lock);
    replies.filed.wait_for(guard, kLongestPollGap, [&] { return replies.filings != seen; });
}

bool TimedOut(const PendingReply& record, uint8_t board)
{
    const uint32_t elapsed = platform::TickCount() - record.sendTime.load(std::memory_order_relaxed);
    return elapsed > Link().boards[board].functionTimeout.load(std::memory_order_relaxed);
}

}  // namespace

uint16_t RequestResult(uint8_t slot, uint8_t board, uint8_t command, uint16_t key)
{
    FrameWriter frame(command::kResultRequest);
    frame.U8(command);
    switch (ClassOf(command)) {
    case CommandClass::Node:
        frame.U8(static_cast<uint8_t>(key));
        break;
    case CommandClass::Pdo:
        frame.U16(key);
        break;
    case CommandClass::Master:
        if (command > kLastResultRequestMaster) {
            return VEXAN_NO_RESULT_CLASS;
        }
        frame.U8(static_cast<uint8_t>(key));
        break;
    case CommandClass::None:
        return VEXAN_NO_RESULT_CLASS;
    }
    const uint16_t sent = SendFrame(slot, frame.Frame());
    PendingReply* record = Replies().Find(board, command, key);
    if (sent == VEXAN_OK || record == nullptr) {
        return sent;
    }
    BoardReplies& replies = Replies().Of(board);
    std::lock_guard guard(replies.lock);
    if (sent != VEXAN_PAUSED) {
        replies.Release(*record);
    } else if (record->pending.load(std::memory_order_relaxed) != 0 &&
               record->status.load(std::memory_order_relaxed) == kStatusNone) {
        // Nothing asked the module for this result: leave the record busy so
        // that the next poll after the pause asks again instead of waiting for
        // an answer that cannot come.
        record->status.store(kStatusBusy, std::memory_order_relaxed);
    }
    return sent;
}

uint16_t PollReply(uint8_t board, uint8_t command, uint16_t key, Reply& reply)
{
    PendingReply* record = Replies().Find(board, command, key);
    if (record == nullptr) {
        return VEXAN_TIMEOUT;
    }
    BoardReplies& replies = Replies().Of(board);
    std::lock_guard guard(replies.lock);
    const uint8_t status = record->status.load(std::memory_order_acquire);
    if (status == kStatusNone || status == kStatusBusy) {
        if (TimedOut(*record, board)) {
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
    if (ClassOf(command) == CommandClass::Master) {
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

bool IsPending(uint8_t board, uint8_t command, uint16_t key)
{
    const PendingReply* record = Replies().Find(board, command, key);
    return record != nullptr && record->pending.load(std::memory_order_relaxed) != 0;
}

void MarkPending(uint8_t board, uint8_t command, uint16_t key)
{
    PendingReply* record = Replies().Find(board, command, key);
    if (record == nullptr) {
        return;
    }
    BoardReplies& replies = Replies().Of(board);
    std::lock_guard guard(replies.lock);
    if (replies.Mark(*record, platform::TickCount())) {
        // The receive thread may be resting between event steps: have it watch
        // the port again before the reply can arrive.
        Link().boards[board].wake.Notify();
    }
}

namespace {

// The poll loop of every waiting call: poll the record; when the module was busy
// ask again; wait for the next filing (at most 1 ms) while the result is out,
// or return 40 at once when the caller does not wait.
uint16_t PollLoop(uint8_t slot, uint8_t board, uint8_t command, uint16_t key, bool blocking, bool returnAfterAsking,
                  Reply& reply)
{
    for (;;) {
        const uint64_t seen = Filings(board);
        const uint16_t polled = PollReply(board, command, key, reply);
        if (polled == VEXAN_OK) {
            return reply.status;
        }
        if (polled == VEXAN_SENT) {
            const uint16_t asked = RequestResult(slot, board, command, key);
            if (asked != VEXAN_OK) {
                return asked;
            }
            if (!blocking || returnAfterAsking) {
                return VEXAN_WAITING;
            }
        } else if (polled != VEXAN_WAITING) {
            return polled;
        } else if (!blocking) {
            return VEXAN_WAITING;
        }
        WaitForFiling(board, seen);
    }
}

}  // namespace

uint16_t AwaitReply(uint8_t slot, uint8_t board, uint8_t command, uint16_t key, Reply& reply)
{
    return PollLoop(slot, board, command, key, true, false, reply);
}

uint16_t CollectReply(uint8_t slot, uint8_t board, const Request& request, Reply& reply)
{
    return PollLoop(slot, board, request.command, request.key, request.blocking, request.collectReturnsWaiting, reply);
}

uint16_t RunRequest(uint8_t slot, const Request& request, Reply& reply)
{
    const auto open = LookupOpenBoard(slot);
    if (!open) {
        return VEXAN_NOT_OPEN;
    }
    if (request.overflowed || !KeyFits(request.command, request.key)) {
        return VEXAN_OUT_OF_RANGE;
    }
    const uint8_t board = open->board;
    std::unique_lock<std::mutex> exchange;
    if (request.holdExchangeLock) {
        exchange = std::unique_lock(Link().exchangeLock);
    }
    if (!request.alwaysFresh && IsPending(board, request.command, request.key)) {
        return CollectReply(slot, board, request, reply);
    }
    MarkPending(board, request.command, request.key);
    const uint16_t sent = SendFrame(slot, request.bytes);
    if (sent != VEXAN_OK) {
        return sent;
    }
    const uint16_t asked = RequestResult(slot, board, request.command, request.key);
    if (asked != VEXAN_OK) {
        return asked;
    }
    if (!request.blocking && !request.alwaysFresh) {
        return VEXAN_SENT;
    }
    return AwaitReply(slot, board, request.command, request.key, reply);
}

}  // namespace vexan
