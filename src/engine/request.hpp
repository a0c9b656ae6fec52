// The call pattern every request export follows, and the toolkit the export
// families build on: run the pattern (with its departures as options), send a
// frame without awaiting a reply, release a node's records, and decode a reply
// by reading every field and checking its length before any output is written.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "engine/reply_tables.hpp"
#include "link/frame.hpp"
#include "link/protocol.hpp"
#include "vexan.h"

namespace vexan {

// Room for any reply a record can hand out: an in-memory upload of up to 1023
// bytes behind its 4-byte header.
inline constexpr std::size_t kMaxReplyData = 1027;

struct Reply {
    uint8_t status = 0;
    uint32_t length = 0;     // for a reply kept outside its record: the count of its bytes
    bool collected = false;  // a final reply was handed out (whatever its status)
    // The reply's bytes are kept outside the record (an SDO upload in its
    // spill file): `data` holds nothing.
    bool keptOutside = false;
    std::array<uint8_t, kMaxReplyData> data{};

    // The reply bytes held in `data`.
    std::span<const uint8_t> Bytes() const { return {data.data(), std::min<std::size_t>(length, data.size())}; }
};

// How one export runs the pattern.
struct RequestOptions {
    bool blocking = true;
    bool holdExchangeLock = false;       // the fresh path holds the exchange lock (collecting takes none)
    bool alwaysFresh = false;            // no collect path: always send anew and wait
    bool collectReturnsWaiting = false;  // collect path returns VEXAN_WAITING after re-asking, even when blocking
};

inline RequestOptions Blocking(uint8_t flag)
{
    return RequestOptions{.blocking = flag != 0};
}

// One export's request: its frame and the key its record is chosen by. For
// commands keyed by the master's own node id, or by no node, the key is taken
// from the board when the request runs and `key` is not used.
struct Request {
    Request(FrameWriter& frame, uint16_t requestKey, RequestOptions requestOptions)
        : command(frame.Frame()[kFrameHead]),
          key(requestKey),
          bytes(frame.Frame()),
          overflowed(frame.Overflowed()),
          options(requestOptions)
    {
    }
    Request(FrameWriter& frame, uint16_t requestKey, bool blocking)
        : Request(frame, requestKey, RequestOptions{.blocking = blocking})
    {
    }

    uint8_t command;
    uint16_t key;
    std::span<const uint8_t> bytes;
    bool overflowed;
    RequestOptions options;
};

// The whole pattern for one export. Returns the collected status (VEXAN_OK on
// success), or VEXAN_NOT_OPEN, VEXAN_TIMEOUT, VEXAN_WAITING, VEXAN_SENT,
// VEXAN_PAUSED, VEXAN_OUT_OF_RANGE, or a send failure; `reply` holds the reply
// on VEXAN_OK.
uint16_t RunRequest(uint8_t slot, const Request& request, Reply& reply);

// Sends a frame that awaits no reply (no record, no result request), with the
// same refusals as the pattern: VEXAN_NOT_OPEN no open board,
// VEXAN_OUT_OF_RANGE a payload that does not fit, or the send's result.
uint16_t SendOnly(uint8_t slot, FrameWriter& frame);

// Returns every record of one node on the board to the empty state.
void ReleaseNodeRecords(uint8_t board, uint8_t node);

// The result of a call whose arguments a frame or a reply table cannot hold:
// VEXAN_NOT_OPEN when the slot has no open board (as every export reports
// first), otherwise VEXAN_OUT_OF_RANGE. Nothing is sent or marked.
uint16_t RefuseArguments(uint8_t slot);

// Copies every reply data byte (at most VEXAN_MAX_REPLY_DATA) to `out` when the
// result is VEXAN_OK and `out` is given; returns the result. For the exports
// whose caller buffer takes the module's answer whole.
uint16_t CopyReplyData(uint16_t result, const Reply& reply, uint8_t* out);

// A decoded reply: the call's result and, when it is VEXAN_OK, every field read.
template <typename T>
struct Decoded {
    uint16_t result;
    T value{};

    bool Ok() const { return result == VEXAN_OK; }
    // Writes the value to `out` (when given) on success; returns the result.
    uint16_t Store(T* out) const
    {
        if (Ok() && out != nullptr) {
            *out = value;
        }
        return result;
    }
};

// Reads the fields of a collected reply with `read(ByteReader&)`, which returns
// them (a value, a struct, a tuple) and writes nothing. A reply too short for
// them turns a success into VEXAN_OUT_OF_RANGE; the export then writes no output.
template <typename Read>
auto DecodeReply(uint16_t result, const Reply& reply, Read read)
{
    ByteReader reader(reply.Bytes());
    using Value = decltype(read(reader));
    Decoded<Value> decoded{result, {}};
    if (result != VEXAN_OK) {
        return decoded;
    }
    decoded.value = read(reader);
    if (!reader.Ok()) {
        decoded.result = VEXAN_OUT_OF_RANGE;
    }
    return decoded;
}

// Pieces of the pattern, for exports that depart from it and for tests.
bool IsPending(const RecordKey& key);
inline bool IsPending(uint8_t board, uint8_t command, uint16_t key)
{
    return IsPending(RecordKey{board, command, key});
}
// True when any record of the command on the board is pending.
bool AnyPending(uint8_t board, uint8_t command);
// Marks the record pending; returns the request's generation (its ticket).
// `request` is the request's frame from the command byte on, for the filer of
// the command's family (ReplyFiler::Marked); none when it has no frame.
// The request's time-out counts from `since` (a tick count; default: now).
uint32_t MarkPending(const RecordKey& key, std::span<const uint8_t> request = {},
                     std::optional<uint32_t> since = std::nullopt);
void ReleaseRecord(const RecordKey& key);
// The generation of the request now pending on the record.
uint32_t TicketOf(const RecordKey& key);

// Sends the result request for a pending command. VEXAN_OK,
// VEXAN_NO_RESULT_CLASS, VEXAN_PAUSED (the record stays pending), or the send
// failure (the record is released).
uint16_t RequestResult(uint8_t slot, const RecordKey& key);

// Inspects the record: VEXAN_WAITING no reply yet, VEXAN_SENT the module is
// busy (ask again), VEXAN_TIMEOUT timed out or released under the caller (the
// record no longer holds the request `ticket`), VEXAN_OK with the reply handed
// out and the record released.
uint16_t PollReply(const RecordKey& key, uint32_t ticket, Reply& reply);
// The same for whatever request is pending on the record now.
inline uint16_t PollReply(uint8_t board, uint8_t command, uint16_t key, Reply& reply)
{
    const RecordKey record{board, command, key};
    return PollReply(record, TicketOf(record), reply);
}

// The collect path: polls a pending record, asks again when the module was
// busy, and waits for the final result when `options.blocking`.
uint16_t CollectReply(uint8_t slot, const RecordKey& key, const RequestOptions& options, Reply& reply);
// The blocking loop after the result request went out.
uint16_t AwaitReply(uint8_t slot, const RecordKey& key, uint32_t ticket, Reply& reply);

}  // namespace vexan
