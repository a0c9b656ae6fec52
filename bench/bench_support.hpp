// Shared pieces of the benchmarks: pseudo-terminal pairs in raw mode (the same
// helpers as the tests' module peer uses), a minimal module responder that
// answers just enough for a master to start and for master queries and event
// polls to complete (as fast as a line can: the round trip and idle cost
// measure against it), raw frame writes, and percentile summaries.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "pty.hpp"

namespace vexan::bench {

// Pseudo-terminal pairs and writes, shared with the tests' module peer.
using vexan::test::OpenPtyController;
using vexan::test::OpenPtyPair;
using vexan::test::OpenRawPort;
using vexan::test::PtyController;
using vexan::test::PtyPair;
using vexan::test::UniqueFd;
using vexan::test::WriteAll;

[[noreturn]] inline void Fail(const char* what)
{
    std::fprintf(stderr, "bench: %s: %s\n", what, std::strerror(errno));
    std::exit(2);
}

// Runs a benchmark's body; a failure to set up its lines ends it with status 2.
inline int RunReportingFailures(int (*body)(int, char**), int argc, char** argv)
{
    try {
        return body(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench: %s\n", error.what());
        return 2;
    }
}

// Frame bytes shared by the responder and the raw ping-pong.
namespace wire {
inline constexpr uint8_t kFrameStart = ':';
inline constexpr uint8_t kResultRequest = 0x60;
inline constexpr uint8_t kEventPoll = 0x40;
inline constexpr uint8_t kFirmwareVersion = 5;
inline constexpr uint8_t kStatusBit = 0x80;
inline constexpr uint16_t kFirmware = 0x0203;
inline constexpr std::array<uint8_t, 5> kIdentifyRequest{'$', '0', '0', 'M', 0};
inline constexpr std::array<uint8_t, 9> kIdentifyReply{'!', '0', '0', 'V', 'e', 'x', 'a', 'n', 'W'};
inline constexpr std::array<uint8_t, 6> kEventReply{kFrameStart, 4, kEventPoll, 0, 0, 0};
inline constexpr std::size_t kFirmwareReplySize = 7;

inline std::array<uint8_t, 3> FirmwareCommand()
{
    return {kFrameStart, 1, kFirmwareVersion};
}
inline std::array<uint8_t, 5> ResultRequest(uint8_t command, uint8_t key)
{
    return {kFrameStart, 3, kResultRequest, command, key};
}
inline std::array<uint8_t, kFirmwareReplySize> FirmwareReply(uint8_t key)
{
    return {kFrameStart,
            5,
            kFirmwareVersion,
            key,
            0,
            static_cast<uint8_t>(kFirmware & 0xFF),
            static_cast<uint8_t>(kFirmware >> 8)};
}
inline std::array<uint8_t, 6> StatusReply(uint8_t command, uint8_t key)
{
    return {kFrameStart, 4, static_cast<uint8_t>(command | kStatusBit), key, 0, 0};
}
}  // namespace wire

// The module side of one line: answers the identification, every result
// request (data for the firmware query, status 0 for anything else) and every
// event poll (no events). Command frames themselves need no answer.
class ModuleResponder {
public:
    // Takes the bytes read from the line and appends the answers to `out`.
    void Feed(std::span<const uint8_t> bytes, std::vector<uint8_t>& out)
    {
        pending_.insert(pending_.end(), bytes.begin(), bytes.end());
        std::size_t at = 0;
        while (at < pending_.size()) {
            const std::size_t left = pending_.size() - at;
            const uint8_t first = pending_[at];
            if (first == wire::kIdentifyRequest[0]) {
                if (left < wire::kIdentifyRequest.size()) {
                    break;
                }
                if (std::equal(wire::kIdentifyRequest.begin(), wire::kIdentifyRequest.end(),
                               pending_.begin() + Offset(at))) {
                    Append(out, wire::kIdentifyReply);
                    at += wire::kIdentifyRequest.size();
                } else {
                    ++at;
                }
                continue;
            }
            if (first != wire::kFrameStart) {
                ++at;
                continue;
            }
            if (left < 2 || left < pending_[at + 1] + 2u) {
                break;
            }
            const std::size_t size = pending_[at + 1] + 2u;
            const auto frame = std::span<const uint8_t>(pending_).subspan(at, size);
            Answer(frame, out);
            at += size;
        }
        pending_.erase(pending_.begin(), pending_.begin() + Offset(at));
    }

private:
    static std::ptrdiff_t Offset(std::size_t at) { return static_cast<std::ptrdiff_t>(at); }

    template <std::size_t N>
    static void Append(std::vector<uint8_t>& out, const std::array<uint8_t, N>& bytes)
    {
        out.insert(out.end(), bytes.begin(), bytes.end());
    }

    static void Answer(std::span<const uint8_t> frame, std::vector<uint8_t>& out)
    {
        if (frame.size() == 5 && frame[2] == wire::kResultRequest) {
            const uint8_t command = frame[3];
            const uint8_t key = frame[4];
            if (command == wire::kFirmwareVersion) {
                Append(out, wire::FirmwareReply(key));
            } else {
                Append(out, wire::StatusReply(command, key));
            }
        } else if (frame.size() == 3 && frame[2] == wire::kEventPoll) {
            Append(out, wire::kEventReply);
        }
    }

    std::vector<uint8_t> pending_;
};

inline constexpr std::size_t kMaxServedLines = 8;
inline constexpr std::size_t kReadChunk = 512;

// Serves up to eight lines until `stop` is set (checked every `checkMs`) or
// every line has hung up. With no stop flag it serves until killed.
inline void ServeLines(std::span<const int> modules, const std::atomic<bool>* stop, int checkMs)
{
    std::array<pollfd, kMaxServedLines> entries{};
    std::array<ModuleResponder, kMaxServedLines> responders{};
    const std::size_t count = std::min(modules.size(), kMaxServedLines);
    for (std::size_t i = 0; i < count; ++i) {
        entries[i] = pollfd{modules[i], POLLIN, 0};
    }
    std::array<uint8_t, kReadChunk> buffer{};
    std::vector<uint8_t> answers;
    while (stop == nullptr || !stop->load(std::memory_order_relaxed)) {
        const int ready = ::poll(entries.data(), count, stop == nullptr ? -1 : checkMs);
        if (ready < 0 && errno != EINTR) {
            Fail("poll");
        }
        std::size_t live = 0;
        for (std::size_t i = 0; i < count; ++i) {
            pollfd& entry = entries[i];
            if (entry.fd < 0) {
                continue;
            }
            if ((entry.revents & POLLIN) != 0) {
                const ssize_t got = ::read(entry.fd, buffer.data(), buffer.size());
                if (got > 0) {
                    answers.clear();
                    responders[i].Feed(std::span<const uint8_t>(buffer).first(static_cast<std::size_t>(got)), answers);
                    WriteAll(entry.fd, answers);
                }
            } else if ((entry.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
                entry.fd = -1;  // the port side closed: stop watching it
                continue;
            }
            ++live;
        }
        if (live == 0) {
            return;
        }
    }
}

// One frame in one write, as the library sends each frame; a short write is a
// failure, as it is for the library.
inline void WriteFrame(int port, std::span<const uint8_t> frame)
{
    ssize_t put = -1;
    do {
        put = ::write(port, frame.data(), frame.size());
    } while (put < 0 && errno == EINTR);
    if (put != static_cast<ssize_t>(frame.size())) {
        Fail("raw write");
    }
}

// Median and tail of a set of durations in microseconds.
struct Summary {
    double median = 0;
    double p90 = 0;
    double p99 = 0;
};

inline Summary Summarise(std::vector<double> samples)
{
    if (samples.empty()) {
        return {};
    }
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double fraction) {
        const auto index = static_cast<std::size_t>(std::lround(fraction * static_cast<double>(samples.size() - 1)));
        return samples[index];
    };
    return {at(0.5), at(0.9), at(0.99)};
}

// Value of `--name N` in the arguments, if given and valid.
inline std::optional<long> NumberFlag(int argc, char** argv, const char* name)
{
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0) {
            char* end = nullptr;
            const long value = std::strtol(argv[i + 1], &end, 10);
            if (end != argv[i + 1] && *end == '\0' && value > 0) {
                return value;
            }
            std::fprintf(stderr, "bench: %s needs a positive number\n", name);
            std::exit(2);
        }
    }
    return std::nullopt;
}

}  // namespace vexan::bench
