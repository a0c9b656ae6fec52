// Fuzzes the unpacking of an event reply. The input is a command-64 frame from
// the command byte on: command, two bytes, the flags byte, then the items of
// the flagged kinds in flag order. Beyond the bounds of every queued record it
// checks that the records are the frame's own items: laid end to end from
// the first item byte, one per flagged kind, and that unpacking stops only at
// an item whose length byte is above 8 or that runs past the frame.
#include <cstddef>
#include <cstdint>
#include <span>

#include "event_checks.hpp"
#include "events/events.hpp"

namespace {

constexpr uint8_t kBoard = 5;
constexpr std::size_t kFlagsAt = 3;
constexpr std::size_t kFirstItemAt = 4;

using vexan::EventKind;
using vexan::fuzz::Require;

// Why the kind's item at `at` cannot be taken: true when its length byte is
// missing or above 8, or the item runs past the frame.
bool ItemUnfit(EventKind kind, std::span<const uint8_t> frame, std::size_t at)
{
    const std::size_t left = frame.size() - at;
    std::size_t size = 0;
    switch (kind) {
    case EventKind::WriteSdo:
        if (left < 1 || frame[at] > vexan::kMaxEventData) {
            return true;
        }
        size = 1u + frame[at];
        break;
    case EventKind::RxPdo:
        if (left < 3 || frame[at + 2] > vexan::kMaxEventData) {
            return true;
        }
        size = 3u + frame[at + 2];
        break;
    default:
        constexpr std::array<std::size_t, vexan::kEventKinds> kFixedSizes{1, 9, 2, 4, 0, 2, 0};
        size = kFixedSizes[static_cast<std::size_t>(kind)];
        break;
    }
    return size > left;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::span<const uint8_t> frame(data, size);
    const auto flags = vexan::UnpackEvents(kBoard, frame);
    const auto drained = vexan::fuzz::DrainEvents(kBoard);

    if (frame.size() <= kFlagsAt) {
        Require(!flags.has_value(), "a frame without a flags byte yields no flags");
        for (const auto& records : drained) {
            Require(records.empty(), "a frame without a flags byte queues nothing");
        }
        return 0;
    }
    Require(flags == frame[kFlagsAt], "the flags byte is handed back");

    std::size_t at = kFirstItemAt;
    bool stopped = false;
    for (std::size_t kind = 0; kind < vexan::kEventKinds; ++kind) {
        const auto& records = drained[kind];
        Require(records.size() <= 1, "one unpacking queues at most one record per kind");
        if ((*flags & vexan::kEventFlagBits[kind]) == 0 || stopped) {
            Require(records.empty(), "only flagged kinds before the first unfit item are queued");
            continue;
        }
        if (records.empty()) {
            Require(ItemUnfit(static_cast<EventKind>(kind), frame, at), "a flagged kind is dropped only when unfit");
            stopped = true;
            continue;
        }
        const auto& record = records.front();
        Require(record.size <= frame.size() - at, "a queued item lies within the frame");
        for (std::size_t i = 0; i < record.size; ++i) {
            Require(record.item[i] == frame[at + i], "a queued item holds the frame's bytes in order");
        }
        at += record.size;
    }
    return 0;
}
