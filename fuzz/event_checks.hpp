// Checks shared by the fuzzers: a broken expectation aborts, so that libFuzzer
// keeps the input that caused it; draining the event queues keeps one input's
// records from reaching the next.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

#include "events/events.hpp"
#include "not_covered.hpp"

namespace vexan::fuzz {

inline void Require(bool holds, const char* what)
{
    if (!holds) {
        std::fprintf(stderr, "broken expectation: %s\n", what);
        std::abort();
    }
}

// The item size a queued record must have, from its own length byte where the
// kind has one; nothing when that length byte is above the data limit.
VEXAN_FUZZ_NOT_COVERED inline std::optional<std::size_t> ExpectedItemSize(EventKind kind, const EventRecord& record)
{
    switch (kind) {
    case EventKind::BootUp:
        return 1;
    case EventKind::Emcy:
        return 9;
    case EventKind::NmtError:
        return 2;
    case EventKind::ReadSdo:
        return 4;
    case EventKind::WriteSdo:
        if (record.item[0] > kMaxEventData) {
            return std::nullopt;
        }
        return 1u + record.item[0];
    case EventKind::RemotePdo:
        return 2;
    case EventKind::RxPdo:
        if (record.item[2] > kMaxEventData) {
            return std::nullopt;
        }
        return 3u + record.item[2];
    }
    return std::nullopt;
}

// Empties every queue, checking each record against its kind's bounds and the
// board that reported it. Returns the records per kind, in queue order.
VEXAN_FUZZ_NOT_COVERED inline std::array<std::vector<EventRecord>, kEventKinds> DrainEvents(uint8_t board)
{
    std::array<std::vector<EventRecord>, kEventKinds> drained;
    for (std::size_t kind = 0; kind < kEventKinds; ++kind) {
        while (const auto record = Events().queues[kind].PopEvent()) {
            Require(record->board == board, "a queued event names the board that reported it");
            Require(record->size <= kMaxEventItem, "a queued event fits its record");
            const auto expected = ExpectedItemSize(static_cast<EventKind>(kind), *record);
            Require(expected.has_value(), "a queued event's length byte is at most 8");
            Require(record->size == *expected, "a queued event has its kind's size");
            for (std::size_t i = record->size; i < record->item.size(); ++i) {
                Require(record->item[i] == 0, "a queued event carries no bytes past its size");
            }
            drained[kind].push_back(*record);
        }
    }
    return drained;
}

}  // namespace vexan::fuzz
