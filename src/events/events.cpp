#include "events/events.hpp"

#include <algorithm>

#include "link/frame.hpp"
#include "link/port.hpp"

namespace vexan {

void EventQueue::PushEvent(const EventRecord& record)
{
    std::lock_guard guard(lock_);
    records_[tail_] = record;
    ++tail_;
    if (tail_ == head_) {
        ++head_;
    }
}

std::optional<EventRecord> EventQueue::PopEvent()
{
    std::lock_guard guard(lock_);
    if (head_ == tail_) {
        return std::nullopt;
    }
    return records_[head_++];
}

bool EventQueue::HasRecords() const
{
    std::lock_guard guard(lock_);
    return head_ != tail_;
}

void EventQueue::DropBoard(uint8_t board)
{
    std::lock_guard guard(lock_);
    uint8_t kept = head_;
    for (uint8_t i = head_; i != tail_; ++i) {
        if (records_[i].board != board) {
            records_[kept++] = records_[i];
        }
    }
    tail_ = kept;
}

void EventQueue::Clear()
{
    std::lock_guard guard(lock_);
    head_ = 0;
    tail_ = 0;
}

namespace {

// Bytes of each kind's item that precede its variable part, and where its
// length byte sits (none for fixed items).
struct ItemShape {
    std::size_t fixed;
    std::optional<std::size_t> lengthAt;
};

constexpr std::array<ItemShape, kEventKinds> kItemShapes{{
    {1, std::nullopt},  // BootUp: node id
    {9, std::nullopt},  // EMCY: node id, 8 message bytes
    {2, std::nullopt},  // NMT error: node id, code
    {4, std::nullopt},  // ReadSDO: command byte, index, sub-index
    {1, 0},             // WriteSDO: L, then L bytes
    {2, std::nullopt},  // RemotePDO: COB-ID
    {3, 2},             // RxPDO: COB-ID, L, then L bytes
}};

}  // namespace

std::optional<uint8_t> UnpackEvents(uint8_t board, std::span<const uint8_t> frame)
{
    ByteReader reader(frame, 3);
    const uint8_t flags = reader.U8();
    if (!reader.Ok()) {
        return std::nullopt;
    }
    for (std::size_t kind = 0; kind < kEventKinds; ++kind) {
        if ((flags & kEventFlagBits[kind]) == 0) {
            continue;
        }
        const ItemShape shape = kItemShapes[kind];
        std::size_t size = shape.fixed;
        if (shape.lengthAt) {
            ByteReader peek(frame, reader.Position() + *shape.lengthAt);
            const uint8_t length = peek.U8();
            if (!peek.Ok() || length > kMaxEventData) {
                break;
            }
            size += length;
        }
        const auto item = reader.Bytes(size);
        if (!reader.Ok()) {
            break;
        }
        EventRecord record;
        record.board = board;
        record.size = static_cast<uint8_t>(size);
        std::copy(item.begin(), item.end(), record.item.begin());
        Events().queues[kind].PushEvent(record);
    }
    return flags;
}

uint16_t SendEventPoll(uint8_t slot)
{
    if (!LookupOpenBoard(slot)) {
        return VEXAN_NOT_OPEN;
    }
    FrameWriter poll(Command::EventPoll);
    return SendFrame(slot, poll.Frame());
}

bool HasCallback(CallbackKind kind, uint8_t board)
{
    return board < kBoardCount && CallbackOf(kind, board).load(std::memory_order_acquire) != nullptr;
}

void RemoveCallbackEntry(CallbackKind kind, uint8_t board)
{
    CallbackOf(kind, board).store(nullptr, std::memory_order_release);
    if (!OnReceiveThread()) {
        // The event step loads the entry under this lock: once it is ours, the
        // callback has returned or the step will find the entry empty.
        const std::lock_guard ended(Events().callbackRuns[static_cast<std::size_t>(kind)][board]);
    }
}

void RunEventCallbacks(uint8_t slot, uint8_t board, const std::atomic<bool>& stop)
{
    // A callback may shut the board down (or reopen it): once that stopped
    // this thread, it runs no further callback and sends no poll.
    for (std::size_t kind = 0; kind < kEventKinds && !stop.load(); ++kind) {
        if (!Events().queues[kind].HasRecords()) {
            continue;
        }
        const CallbackKind callbackKind = CallbackKindOf(static_cast<EventKind>(kind));
        std::atomic<EventCallback>& entry = CallbackOf(callbackKind, board);
        if (entry.load(std::memory_order_acquire) == nullptr) {
            continue;
        }
        // While the callback runs, a stop from another board's callback need
        // not wait for it.
        const CallbackWindow window;
        const std::lock_guard running(Events().callbackRuns[static_cast<std::size_t>(callbackKind)][board]);
        const EventCallback callback = entry.load(std::memory_order_acquire);
        if (callback != nullptr && !stop.load()) {
            callback();
        }
    }
    if (!stop.load()) {
        SendEventPoll(slot);
    }
}

void DropBoardEvents(uint8_t board)
{
    for (std::size_t kind = 0; kind < kEventKinds; ++kind) {
        if (static_cast<EventKind>(kind) != EventKind::BootUp) {
            Events().queues[kind].DropBoard(board);
        }
    }
}

}  // namespace vexan
