// The call pattern every request export follows: mark the reply record, send
// the command frame, ask for its result, then wait for the reply (blocking) or
// return at once and collect it on a later call (non-blocking).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "link/frame.hpp"

namespace vexan {

// Room for any reply a record can hand out: an in-memory upload of up to 1023
// bytes behind its 4-byte header.
inline constexpr std::size_t kMaxReplyData = 1027;

struct Reply {
    uint8_t status = 0;
    uint32_t length = 0;  // for an upload kept in a spill file: the file's byte count
    std::array<uint8_t, kMaxReplyData> data{};

    // The reply bytes held in `data`.
    std::span<const uint8_t> Bytes() const { return {data.data(), std::min<std::size_t>(length, data.size())}; }
};

struct Request {
    Request(FrameWriter& frame, uint16_t requestKey, bool wait)
        : command(frame.Frame()[2]),
          key(requestKey),
          bytes(frame.Frame()),
          overflowed(frame.Overflowed()),
          blocking(wait)
    {
    }

    uint8_t command;
    uint16_t key;
    std::span<const uint8_t> bytes;
    bool overflowed;
    bool blocking;
    bool holdExchangeLock = false;       // serialise the whole exchange against the other exchange users
    bool alwaysFresh = false;            // no collect path: always send anew and wait
    bool collectReturnsWaiting = false;  // collect path returns 40 after re-asking, even when blocking
};

// Sends the result request for a pending command. 0, 13 (no class), 42 (paused;
// the record stays pending), or the send failure (the record is released).
uint16_t RequestResult(uint8_t slot, uint8_t board, uint8_t command, uint16_t key);

// Inspects the record of (board, command, key): 40 no reply yet, 41 the module
// is busy (ask again), 35 timed out (released), 0 with the reply handed out and
// the record released.
uint16_t PollReply(uint8_t board, uint8_t command, uint16_t key, Reply& reply);

// The whole pattern for one export. Returns the collected status (0 success),
// or 7, 35, 40, 41, 42, 256, or a send failure.
uint16_t RunRequest(uint8_t slot, const Request& request, Reply& reply);

// Pieces of the pattern, for exports that depart from it.
bool IsPending(uint8_t board, uint8_t command, uint16_t key);
void MarkPending(uint8_t board, uint8_t command, uint16_t key);
uint16_t CollectReply(uint8_t slot, uint8_t board, const Request& request, Reply& reply);
// The blocking loop after the result request went out.
uint16_t AwaitReply(uint8_t slot, uint8_t board, uint8_t command, uint16_t key, Reply& reply);

}  // namespace vexan
