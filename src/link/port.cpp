#include "link/port.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "link/library_state.hpp"
#include "vexan.h"

namespace vexan {

namespace {

constexpr std::array<uint8_t, 5> kIdentifyRequest{'$', '0', '0', 'M', 0x00};
constexpr std::array<uint8_t, 9> kIdentifyReply{'!', '0', '0', 'V', 'e', 'x', 'a', 'n', 'W'};
constexpr int kIdentifyAttempts = 11;
constexpr uint32_t kIdentifyFirstWaitMs = 10;
constexpr uint32_t kIdentifyRetryWaitMs = 5;
constexpr int kStaleReadLimit = 1024;

platform::PortHandle PortOf(uint8_t slot)
{
    return slot < kBoardCount ? Link().slots[slot].port.load(std::memory_order_relaxed) : platform::kNoPort;
}

}  // namespace

uint16_t SendFrame(uint8_t slot, std::span<const uint8_t> bytes)
{
    if (!Link().gate.IsOpen()) {
        return VEXAN_PAUSED;
    }
    std::lock_guard guard(Link().transmitLock);
    if (!Link().gate.IsOpen()) {
        return VEXAN_PAUSED;  // paused while this send waited for the lock
    }
    platform::SelectSlot(slot);
    const platform::PortHandle port = PortOf(slot);
    if (port == platform::kNoPort) {
        return VEXAN_NO_PORT_HANDLE;
    }
    const long written = platform::WriteBytes(port, bytes.data(), bytes.size());
    if (written < 0) {
        return VEXAN_WRITE_FAILED;
    }
    if (static_cast<std::size_t>(written) < bytes.size()) {
        return VEXAN_SHORT_WRITE;
    }
    return VEXAN_OK;
}

uint16_t ReadPort(uint8_t slot, uint16_t& count, std::span<uint8_t> buffer)
{
    if (!Link().gate.IsOpen()) {
        return VEXAN_PAUSED;
    }
    platform::SelectSlot(slot);
    const platform::PortHandle port = PortOf(slot);
    if (port == platform::kNoPort) {
        return VEXAN_NO_PORT_HANDLE;
    }
    const long waiting = platform::BytesWaiting(port);
    if (waiting < 0) {
        return VEXAN_READ_FAILED;
    }
    const auto available = static_cast<std::size_t>(waiting & 0xFFFF);
    if (available == 0) {
        count = 0;
        return VEXAN_NOTHING_TO_READ;
    }
    const long got = platform::ReadBytes(port, buffer.data(), std::min(available, buffer.size()));
    if (got <= 0) {
        return VEXAN_READ_FAILED;
    }
    count = static_cast<uint16_t>(got);
    return VEXAN_OK;
}

uint16_t IdentifyModule(uint8_t slot)
{
    // The identification reads the bare port: no one else may read it meanwhile.
    const ReceiveSide::ReaderTurn turn = ReceiveSideOf(slot).TakeReader();

    // Bytes still waiting from an earlier session (say the answer to the last
    // event poll before a shut-down) would stand in front of the answer.
    std::array<uint8_t, kIdentifyBufferSize> stale{};
    uint16_t staleCount = 0;
    for (int i = 0; i < kStaleReadLimit && ReadPort(slot, staleCount, stale) == VEXAN_OK; ++i) {
    }

    const uint16_t sent = SendFrame(slot, kIdentifyRequest);
    if (sent != VEXAN_OK) {
        return sent;
    }
    platform::SleepMs(kIdentifyFirstWaitMs);

    // The answer may arrive over several reads, and bytes that were still on
    // their way (an event reply, a stray byte) may precede it: skip everything
    // before the answer's first character, gather up to the buffer's size and
    // compare from there.
    std::array<uint8_t, kIdentifyBufferSize> reply{};
    std::size_t gathered = 0;
    // Keeps the gathered bytes from the first answer character at or after `from`.
    const auto keepFromAnswerStart = [&](std::size_t from) {
        const auto end = reply.begin() + static_cast<std::ptrdiff_t>(gathered);
        const auto start = std::find(reply.begin() + static_cast<std::ptrdiff_t>(from), end, kIdentifyReply[0]);
        if (start != reply.begin()) {
            gathered = static_cast<std::size_t>(std::copy(start, end, reply.begin()) - reply.begin());
        }
    };
    for (int attempt = 0; attempt < kIdentifyAttempts; ++attempt) {
        uint16_t count = 0;
        if (ReadPort(slot, count, std::span<uint8_t>(reply).subspan(gathered)) == VEXAN_OK) {
            gathered += count;
            keepFromAnswerStart(0);
        }
        if (gathered >= kIdentifyReply.size()) {
            if (std::equal(kIdentifyReply.begin(), kIdentifyReply.end(), reply.begin())) {
                return VEXAN_OK;
            }
            keepFromAnswerStart(1);  // not the answer: look for it further on
        }
        platform::SleepMs(kIdentifyRetryWaitMs);
    }
    return VEXAN_READ_FAILED;
}

}  // namespace vexan
