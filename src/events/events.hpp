// The events a module collects on its bus: the event poll each receive thread
// sends, the unpacking of the module's answer into seven process-wide queues,
// and the application's callbacks run from the receive thread's event step.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>

#include "link/library_state.hpp"
#include "vexan.h"

namespace vexan {

// Queues in the order of the event flags, 0x40 down to 0x01.
enum class EventKind : uint8_t { BootUp, Emcy, NmtError, ReadSdo, WriteSdo, RemotePdo, RxPdo };
inline constexpr std::size_t kEventKinds = 7;
inline constexpr std::array<uint8_t, kEventKinds> kEventFlagBits{0x40, 0x20, 0x10, 0x08, 0x04, 0x02, 0x01};

// The callback table keeps its own order of kinds.
enum class CallbackKind : uint8_t { RemotePdo, RxPdo, WriteSdo, ReadSdo, NmtError, Emcy, BootUp };

constexpr CallbackKind CallbackKindOf(EventKind kind)
{
    constexpr std::array<CallbackKind, kEventKinds> map{
        CallbackKind::BootUp,   CallbackKind::Emcy,      CallbackKind::NmtError, CallbackKind::ReadSdo,
        CallbackKind::WriteSdo, CallbackKind::RemotePdo, CallbackKind::RxPdo};
    return map[static_cast<std::size_t>(kind)];
}

// Longest item after the board byte: an RxPDO's COB-ID, length and 8 data bytes.
inline constexpr std::size_t kMaxEventItem = 11;
inline constexpr std::size_t kMaxEventData = 8;

// One queued event: the reporting board and the item's bytes as received
// (for WriteSDO the length byte included, for RxPDO COB-ID, length and data).
struct EventRecord {
    uint8_t board = 0;
    uint8_t size = 0;
    std::array<uint8_t, kMaxEventItem> item{};
};

// A ring of 256 records; at most 255 unread, a push into a full ring drops the
// oldest. A small lock makes it safe for several receive threads and readers.
class EventQueue {
public:
    static constexpr std::size_t kSlots = 256;

    void PushEvent(const EventRecord& record);
    std::optional<EventRecord> PopEvent();
    bool HasRecords() const;
    // Drops the records of one board, keeping the others in order.
    void DropBoard(uint8_t board);
    void Clear();

private:
    mutable std::mutex lock_;
    std::array<EventRecord, kSlots> records_{};
    uint8_t head_ = 0;
    uint8_t tail_ = 0;
};

// Installed application callbacks, per callback kind and board.
using CallbackTable = std::array<std::array<std::atomic<EventCallback>, kBoardCount>, kEventKinds>;

struct EventState {
    std::array<EventQueue, kEventKinds> queues;
    CallbackTable callbacks{};
    // Held by the event step while it loads and runs an entry's callback, so a
    // removal can wait until the callback it removed has returned.
    std::array<std::array<std::mutex, kBoardCount>, kEventKinds> callbackRuns;
};

EventState& Events();

inline EventQueue& QueueOf(EventKind kind)
{
    return Events().queues[static_cast<std::size_t>(kind)];
}

inline std::atomic<EventCallback>& CallbackOf(CallbackKind kind, uint8_t board)
{
    return Events().callbacks[static_cast<std::size_t>(kind)][board];
}

// True when the application has a callback of the kind installed for the board.
bool HasCallback(CallbackKind kind, uint8_t board);

// Empties a callback entry. On an application thread it returns once the
// callback it removed has returned, if it was running, so it will not run
// again from then on. On a receive thread (inside any callback) it does not
// wait: two callbacks removing each other's entries would wait for each other.
void RemoveCallbackEntry(CallbackKind kind, uint8_t board);

// Unpacks a command-64 reply (`frame` from the command byte on) into the queues.
// Returns the flags byte, or nothing when the frame is too short to hold it.
// An item whose length byte is above 8 or that runs past the frame ends the
// unpacking: it and the items after it are dropped.
std::optional<uint8_t> UnpackEvents(uint8_t board, std::span<const uint8_t> frame);

// Sends the 3-byte event poll. VEXAN_NOT_OPEN when the board is not open, else
// the send result.
uint16_t SendEventPoll(uint8_t slot);

// The receive thread's event step: the callbacks of the kinds whose queues hold
// records, then the event poll; nothing more once `stop` is set.
void RunEventCallbacks(uint8_t slot, uint8_t board, const std::atomic<bool>& stop);

// Empties the queues that a shut-down board leaves behind: its records in every
// queue but the boot-up queue.
void DropBoardEvents(uint8_t board);

}  // namespace vexan
