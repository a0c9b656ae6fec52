// What vexan serve's ASCII gateway adds to a read: one client's `r` of a
// 4-byte object over loopback TCP, next to the same SDO read made through the
// library directly, on the same simulated board, in alternating blocks so that
// drift hits both alike; the ratio of the medians. Then requests per second
// with 1, 4 and 16 clients at once, spread over eight simulated boards.
//
// A read that times out (the library's 35, the gateway's ERROR:103: a machine
// busy with other work can hold the simulator's line back past a board's
// time-out) is counted and printed, and left out of the medians; any other
// wrong answer ends the run.
//
// Usage: vexan_bench_serve [--iterations N] [--seconds S]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "gateway_client.hpp"
#include "gateway_server.hpp"
#include "log.hpp"
#include "serve_bench.hpp"
#include "vexan.h"

namespace {

using namespace vexantool::serve;
using Clock = std::chrono::steady_clock;

constexpr unsigned kBoards = 8;
constexpr long kBlocks = 10;
constexpr long kWarmUp = 50;
constexpr double kTargetRatio = 1.5;
constexpr double kAimRatio = 1.2;
const std::string kExpected = "4101";  // 0x1018:4 of node 5
const std::string kTimedOut = "ERROR:103";

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

double MicrosecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

[[noreturn]] void Fail(const std::string& what)
{
    std::fprintf(stderr, "bench: %s\n", what.c_str());
    std::exit(1);
}

// One read's time in microseconds, added to `times` unless it timed out
// (then counted in `timeouts`).
void DirectRead(std::vector<double>& times, unsigned long& timeouts)
{
    uint8_t data[VEXAN_SDO_READ_BUFFER];
    uint32_t length = 0;
    const auto start = Clock::now();
    const uint16_t result = Vexan_SDOReadData(0, 5, 0x1018, 4, &length, data, 1);
    const double took = MicrosecondsSince(start);
    if (result == VEXAN_TIMEOUT) {
        ++timeouts;
        return;
    }
    if (result != VEXAN_OK || length != 4) {
        Fail("direct read returned " + std::to_string(result));
    }
    times.push_back(took);
}

void GatewayRead(testkit::GatewayClient& client, std::vector<double>& times, unsigned long& timeouts)
{
    const auto start = Clock::now();
    const std::string answer = client.Ask("1 5 r 0x1018 4 u32");
    const double took = MicrosecondsSince(start);
    if (answer == kTimedOut) {
        ++timeouts;
        return;
    }
    if (answer != kExpected) {
        Fail("gateway read answered '" + answer + "'");
    }
    times.push_back(took);
}

struct Rate {
    double perSecond;
    unsigned long timeouts;
};

// Requests per second of `clients` clients at once for `seconds`.
Rate Throughput(testkit::GatewayServer& server, unsigned clients, double seconds)
{
    std::atomic<unsigned long> done{0};
    std::atomic<unsigned long> timeouts{0};
    std::atomic<bool> failed{false};
    std::string wrong;  // the first wrong answer, set once `failed` was claimed
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    const auto start = Clock::now();
    {
        std::vector<std::jthread> threads;
        for (unsigned i = 0; i < clients; ++i) {
            threads.emplace_back([&, i] {
                testkit::GatewayClient client;
                if (!client.ConnectTcp(server.TcpPort())) {
                    failed = true;
                    return;
                }
                const unsigned net = i % kBoards + 1;
                const unsigned node = 5 + (i / kBoards) % 2;
                const std::string line = std::to_string(net) + " " + std::to_string(node) + " r 0x1018 4 u32";
                const std::string expected = std::to_string(0x1000 + node);
                while (Clock::now() < end) {
                    const std::string answer = client.Ask(line);
                    if (answer == kTimedOut) {
                        timeouts++;
                    } else if (answer != expected) {
                        if (!failed.exchange(true)) {
                            wrong = "'" + line + "' answered '" + answer + "'";
                        }
                        return;
                    } else {
                        done++;
                    }
                }
            });
        }
    }
    if (failed) {
        Fail("a throughput client failed: " + wrong);
    }
    return {static_cast<double>(done.load()) / std::chrono::duration<double>(Clock::now() - start).count(),
            timeouts.load()};
}

}  // namespace

int main(int argc, char** argv)
{
    long iterations = 1000;
    double seconds = 2;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--iterations") == 0 && i + 1 < argc) {
            iterations = std::atol(argv[++i]);
        } else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: vexan_bench_serve [--iterations N] [--seconds S]\n");
            return 2;
        }
    }
    testkit::GatewayServer server;
    std::string error;
    if (!bench::StartOnBoards(server, kBoards, error)) {
        Fail("the server did not start: " + error);
    }
    testkit::GatewayClient client;
    if (!client.ConnectTcp(server.TcpPort())) {
        Fail("cannot connect");
    }
    std::vector<double> direct;
    std::vector<double> gateway;
    unsigned long directTimeouts = 0;
    unsigned long gatewayTimeouts = 0;
    for (long i = 0; i < kWarmUp; ++i) {
        DirectRead(direct, directTimeouts);
        GatewayRead(client, gateway, gatewayTimeouts);
    }
    direct.clear();
    gateway.clear();
    directTimeouts = 0;
    gatewayTimeouts = 0;
    const long perBlock = std::max(1L, iterations / kBlocks);
    for (long block = 0; block < kBlocks; ++block) {
        for (long i = 0; i < perBlock; ++i) {
            DirectRead(direct, directTimeouts);
        }
        for (long i = 0; i < perBlock; ++i) {
            GatewayRead(client, gateway, gatewayTimeouts);
        }
    }
    if (direct.empty() || gateway.empty()) {
        Fail("every read of one kind timed out");
    }
    client.Close();
    const double directMedian = Median(direct);
    const double gatewayMedian = Median(gateway);
    const double ratio = gatewayMedian / directMedian;
    std::printf("serve: SDO read of a 4-byte object (0x1018:4), %ld reads each, medians\n", perBlock * kBlocks);
    std::printf("  library directly          %8.1f us (%lu timed out)\n", directMedian, directTimeouts);
    std::printf("  gateway over loopback TCP %8.1f us (%lu timed out)\n", gatewayMedian, gatewayTimeouts);
    std::printf("  ratio %.2f (target at most %.1f, aim %.1f): %s\n", ratio, kTargetRatio, kAimRatio,
                ratio <= kAimRatio      ? "within the aim"
                : ratio <= kTargetRatio ? "within the target"
                                        : "ABOVE the target");
    for (unsigned clients : {1U, 4U, 16U}) {
        const Rate rate = Throughput(server, clients, seconds);
        std::printf("  %2u client%s: %8.0f requests/s over %u boards (%lu timed out)\n", clients,
                    clients == 1 ? " " : "s", rate.perSecond, kBoards, rate.timeouts);
    }
    return 0;
}
