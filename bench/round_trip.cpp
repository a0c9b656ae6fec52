// Latency of one blocking master query through the library, next to a raw
// ping-pong of the same bytes between two threads over a second
// pseudo-terminal: the same command frame and result request, each in one
// write as the library sends them, and the same reply. The ratio of the
// medians shows what the library's receive thread and its wait for the filed
// reply add on top of the line itself.
//
// Usage: vexan_bench_round_trip [--iterations N]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "bench_support.hpp"
#include "vexan.h"

namespace {

using namespace vexan::bench;
using Clock = std::chrono::steady_clock;

constexpr long kDefaultIterations = 2000;
constexpr long kWarmUpIterations = 50;
constexpr long kBlocks = 10;  // library and raw runs alternate in blocks so drift hits both alike
constexpr uint8_t kSlot = 0;
constexpr uint8_t kMasterNodeId = 1;
constexpr double kTargetRatio = 1.5;
constexpr double kAimRatio = 1.2;
constexpr int kResponderCheckMs = 20;

double MicrosecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// One firmware query through the library; returns its duration.
double LibraryRoundTrip()
{
    uint16_t version = 0;
    const auto start = Clock::now();
    const uint16_t result = Vexan_GetFirmwareVersion(kSlot, &version, 1);
    const double took = MicrosecondsSince(start);
    if (result != 0 || version != wire::kFirmware) {
        std::fprintf(stderr, "bench: firmware query returned %u (version 0x%04X)\n", result, version);
        std::exit(1);
    }
    return took;
}

// The same exchange by hand: command frame and result request as two writes,
// then wait for the whole reply and read it.
double RawRoundTrip(int port)
{
    const auto command = wire::FirmwareCommand();
    const auto request = wire::ResultRequest(wire::kFirmwareVersion, kMasterNodeId);
    const auto expected = wire::FirmwareReply(kMasterNodeId);
    std::array<uint8_t, wire::kFirmwareReplySize> reply{};
    const auto start = Clock::now();
    WriteFrame(port, command);
    WriteFrame(port, request);
    std::size_t got = 0;
    while (got < reply.size()) {
        pollfd entry{port, POLLIN, 0};
        if (::poll(&entry, 1, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            Fail("raw poll");
        }
        const ssize_t read = ::read(port, reply.data() + got, reply.size() - got);
        if (read < 0 && errno != EINTR && errno != EAGAIN) {
            Fail("raw read");
        }
        got += read > 0 ? static_cast<std::size_t>(read) : 0;
    }
    const double took = MicrosecondsSince(start);
    if (reply != expected) {
        std::fprintf(stderr, "bench: raw reply differs\n");
        std::exit(1);
    }
    return took;
}

void PrintLine(const char* name, const Summary& summary)
{
    std::printf("%s p50 %.1f us p99 %.1f us\n", name, summary.median, summary.p99);
}

int Measure(int argc, char** argv)
{
    const long iterations = NumberFlag(argc, argv, "--iterations").value_or(kDefaultIterations);
    const long perBlock = std::max(1L, iterations / kBlocks);

    PtyPair libraryLine = OpenPtyPair();
    PtyPair rawLine = OpenPtyPair();
    std::atomic<bool> stop{false};
    std::array<int, 1> libraryModule{libraryLine.module.Get()};
    std::array<int, 1> rawModule{rawLine.module.Get()};
    std::thread libraryResponder([&] { ServeLines(libraryModule, &stop, kResponderCheckMs); });
    std::thread rawResponder([&] { ServeLines(rawModule, &stop, kResponderCheckMs); });

    const uint16_t opened = Vexan_InitMaster(kSlot, libraryLine.port.Get(), kMasterNodeId, 0, 1);
    if (opened != 0) {
        std::fprintf(stderr, "bench: Vexan_InitMaster returned %u\n", opened);
        return 1;
    }

    for (long i = 0; i < kWarmUpIterations; ++i) {
        LibraryRoundTrip();
        RawRoundTrip(rawLine.port.Get());
    }
    std::vector<double> library;
    std::vector<double> raw;
    library.reserve(static_cast<std::size_t>(perBlock * kBlocks));
    raw.reserve(static_cast<std::size_t>(perBlock * kBlocks));
    for (long block = 0; block < kBlocks; ++block) {
        for (long i = 0; i < perBlock; ++i) {
            library.push_back(LibraryRoundTrip());
        }
        for (long i = 0; i < perBlock; ++i) {
            raw.push_back(RawRoundTrip(rawLine.port.Get()));
        }
    }

    Vexan_ShutdownMaster(kSlot);
    stop.store(true);
    libraryResponder.join();
    rawResponder.join();

    const Summary librarySummary = Summarise(library);
    const Summary rawSummary = Summarise(raw);
    const double ratio = rawSummary.median > 0 ? librarySummary.median / rawSummary.median : 0;
    std::printf("round trip: blocking Vexan_GetFirmwareVersion vs raw ping-pong of the same bytes, %zu each\n",
                library.size());
    PrintLine("library", librarySummary);
    PrintLine("raw", rawSummary);
    std::printf("ratio library/raw (p50) %.2f target <= %.1f: %s (aim <= %.1f: %s)\n", ratio, kTargetRatio,
                ratio <= kTargetRatio ? "met" : "MISSED", kAimRatio, ratio <= kAimRatio ? "met" : "not yet");
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    return RunReportingFailures(Measure, argc, argv);
}
