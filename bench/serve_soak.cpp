// Load test of vexan serve's ASCII gateway: the server in this process on
// eight simulated boards, 16 clients (half on the Unix socket, half on
// loopback TCP), each on its own board and node, mixing writes and reads for
// the given time. Every answer is checked: its sequence, and its value
// against what the client wrote and what the simulated node holds; an answer
// that does not come within a minute is lost. The server's open descriptors
// and resident memory are printed before the clients come and after they
// have gone; descriptors must be back where they were, and the heap in use
// (the simulators' traces emptied) within kHeapSlackKiB of where it was.
//
// Time-outs (ERROR:103) are counted and printed, and so are wrong answers
// that come within kAfterTimeout of a time-out of the same client: a reply
// that came after its request timed out is taken for the next request of the
// same kind (the module's reply names no request), so those follow from the
// time-out. With --strict both fail the run like other wrong answers and lost
// ones do (a machine loaded by other work can hold the simulator's line back
// for longer than a board's time-out).
//
// Usage: vexan_serve_soak [--seconds N] [--strict]
#include <dirent.h>
#include <malloc.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "gateway_client.hpp"
#include "gateway_server.hpp"
#include "log.hpp"
#include "serve_bench.hpp"
#include "vexan_sim/simulator.hpp"

namespace {

using namespace vexantool::serve;
using Clock = std::chrono::steady_clock;

constexpr unsigned kBoards = 8;
constexpr unsigned kClients = 16;
constexpr uint32_t kBoardTimeoutMs = 5000;
constexpr long kHeapSlackKiB = 4096;
constexpr auto kAfterTimeout = std::chrono::seconds(30);

struct Counts {
    std::atomic<unsigned long> answers{0};
    std::atomic<unsigned long> wrong{0};
    std::atomic<unsigned long> wrongAfterTimeout{0};
    std::atomic<unsigned long> lost{0};
    std::atomic<unsigned long> timeouts{0};
};

unsigned OpenDescriptors()
{
    unsigned count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) {
            ++count;
        }
        closedir(dir);
    }
    return count;
}

// Heap bytes in use, with the simulators' traces (up to 200000 lines each,
// kept for tests) emptied first: what the server holds, not the test's peers.
long HeapInUseKiB(testkit::GatewayServer& server)
{
    for (unsigned net = 1; net <= kBoards; ++net) {
        server.Sim(net).ClearTrace();
    }
    malloc_trim(0);
    return static_cast<long>(mallinfo2().uordblks / 1024);
}

long ResidentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return -1;
}

// A wrong answer; `afterTimeout` when the client had a time-out within
// kAfterTimeout before it.
void Report(Counts& counts, unsigned client, const std::string& line, const std::string& answer,
            const std::string& expected, bool afterTimeout = false)
{
    (afterTimeout ? counts.wrongAfterTimeout : counts.wrong)++;
    std::fprintf(stderr, "soak: client %u: '%s' answered '%s', expected '%s'%s\n", client, line.c_str(), answer.c_str(),
                 expected.c_str(), afterTimeout ? " (after a time-out of this client)" : "");
}

// One client: its own board (client / 2 + 1) and node (5 or 6).
void RunClient(testkit::GatewayServer& server, unsigned client, Clock::time_point end, Counts& counts)
{
    testkit::GatewayClient connection;
    const bool connected =
        client % 2 == 0 ? connection.ConnectUnix(server.SocketPath()) : connection.ConnectTcp(server.TcpPort());
    if (!connected) {
        std::fprintf(stderr, "soak: client %u could not connect\n", client);
        counts.lost++;
        return;
    }
    const unsigned net = client / 2 + 1;
    const auto node = static_cast<uint8_t>(5 + client % 2);
    vexsim::Simulator& sim = server.Sim(net);
    std::mt19937 random(client + 1);
    unsigned long sequence = 0;
    bool known = false;  // whether `written` is what 0x2000:3 holds
    uint32_t written = 0;
    std::optional<Clock::time_point> lastTimeout;
    const auto wrong = [&](const std::string& line, const std::string& answer, const std::string& expected) {
        Report(counts, client, line, answer, expected, lastTimeout && Clock::now() - *lastTimeout < kAfterTimeout);
    };
    const std::string prefix = std::to_string(net) + " " + std::to_string(node) + " ";
    auto ask = [&](const std::string& command, std::string& answer) {
        const std::string seq = "[" + std::to_string(++sequence) + "] ";
        const std::string line = seq + prefix + command;
        if (!connection.Send(line + "\n")) {
            counts.lost++;
            return false;
        }
        const auto reply = connection.ReadLine(std::chrono::seconds(60));
        if (!reply) {
            counts.lost++;
            std::fprintf(stderr, "soak: client %u: no answer to '%s'\n", client, line.c_str());
            return false;
        }
        counts.answers++;
        if (reply->rfind(seq, 0) != 0) {
            Report(counts, client, line, *reply, seq + "...");
            return false;
        }
        answer = reply->substr(seq.size());
        if (answer == "ERROR:103") {
            counts.timeouts++;
            lastTimeout = Clock::now();
            return false;
        }
        return true;
    };
    std::string answer;
    while (Clock::now() < end) {
        switch (random() % 3) {
        case 0: {
            const auto value = static_cast<uint32_t>(random());
            const std::string command = "w 0x2000 3 u32 " + std::to_string(value);
            if (!ask(command, answer)) {
                known = false;  // a write that timed out may have happened or not
                break;
            }
            if (answer != "OK") {
                wrong(command, answer, "OK");
                break;
            }
            written = value;
            known = true;
            const auto held = sim.ReadObject(node, 0x2000, 3);
            const std::vector<uint8_t> bytes = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                                                static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
            if (held != bytes) {
                wrong(command, "the node holds other bytes", "the value written");
            }
            break;
        }
        case 1:
            if (ask("r 0x2000 3 u32", answer) && known && answer != std::to_string(written)) {
                wrong("r 0x2000 3 u32", answer, std::to_string(written));
            }
            break;
        default: {
            // The node's serial number, as the simulator has it.
            const auto held = sim.ReadObject(node, 0x1018, 4);
            const uint32_t serial = held && held->size() == 4
                                        ? static_cast<uint32_t>((*held)[0] | (*held)[1] << 8 | (*held)[2] << 16 |
                                                                static_cast<uint32_t>((*held)[3]) << 24)
                                        : 0;
            if (ask("r 0x1018 4 u32", answer) && answer != std::to_string(serial)) {
                wrong("r 0x1018 4 u32", answer, std::to_string(serial));
            }
            break;
        }
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    double seconds = 20;
    bool strict = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else if (std::strcmp(argv[i], "--strict") == 0) {
            strict = true;
        } else {
            std::fprintf(stderr, "usage: vexan_serve_soak [--seconds N] [--strict]\n");
            return 2;
        }
    }
    testkit::GatewayServer server;
    std::string error;
    if (!bench::StartOnBoards(server, kBoards, error)) {
        std::fprintf(stderr, "soak: the server did not start: %s\n", error.c_str());
        return 1;
    }
    for (unsigned net = 1; net <= kBoards; ++net) {
        server.Host().SetFunctionTimeout(net, kBoardTimeoutMs);
    }
    const unsigned fdsBefore = OpenDescriptors();
    const long heapBefore = HeapInUseKiB(server);
    const long rssBefore = ResidentKiB();
    Counts counts;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    {
        std::vector<std::jthread> clients;
        for (unsigned client = 0; client < kClients; ++client) {
            clients.emplace_back([&server, client, end, &counts] { RunClient(server, client, end, counts); });
        }
    }
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    // The server notices the clients' ends and joins their threads.
    unsigned fdsAfter = OpenDescriptors();
    for (int i = 0; i < 300 && (fdsAfter != fdsBefore || server.Server().ClientCount() != 0); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        fdsAfter = OpenDescriptors();
    }
    const long heapAfter = HeapInUseKiB(server);
    const long rssAfter = ResidentKiB();
    std::printf("serve soak: %u clients (%u on the Unix socket, %u on TCP) on %u boards for %.1f s\n", kClients,
                kClients / 2, kClients / 2, kBoards, took);
    std::printf("  answers %lu (%.0f/s), wrong %lu, lost %lu, time-outs %lu, wrong after a time-out %lu\n",
                counts.answers.load(), static_cast<double>(counts.answers.load()) / took, counts.wrong.load(),
                counts.lost.load(), counts.timeouts.load(), counts.wrongAfterTimeout.load());
    std::printf("  server descriptors %u before, %u after\n", fdsBefore, fdsAfter);
    std::printf("  heap in use %ld KiB before, %ld KiB after%s; resident %ld KiB before, %ld KiB after\n", heapBefore,
                heapAfter, heapBefore == 0 ? " (not seen under a sanitizer's allocator)" : "", rssBefore, rssAfter);
    bool failed = counts.wrong != 0 || counts.lost != 0 || fdsAfter != fdsBefore || counts.answers == 0 ||
                  heapAfter > heapBefore + kHeapSlackKiB;
    if (strict && (counts.timeouts != 0 || counts.wrongAfterTimeout != 0)) {
        failed = true;
    }
    std::printf("  %s\n", failed ? "FAILED" : "passed");
    return failed ? 1 : 0;
}
