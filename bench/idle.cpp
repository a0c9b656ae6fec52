// Idle cost: eight boards open on modules served by another process, and
// nothing asked of them. Only the library's receive threads run (their event
// polls every few milliseconds); the context switches of this process over the
// idle period, per board and second, are what an idle board costs.
//
// Usage: vexan_bench_idle [--seconds N]
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "bench_support.hpp"
#include "vexan.h"

namespace {

using namespace vexan::bench;

constexpr std::size_t kBoards = 8;
constexpr long kDefaultSeconds = 10;
constexpr uint8_t kMasterNodeId = 1;
constexpr double kTargetSwitches = 270;
constexpr auto kSettle = std::chrono::milliseconds(200);
constexpr std::size_t kNameSize = 128;

struct Switches {
    long voluntary = 0;
    long involuntary = 0;
};

Switches ContextSwitches()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return {usage.ru_nvcsw, usage.ru_nivcsw};
}

bool ReadAll(int fd, void* into, std::size_t size)
{
    auto* bytes = static_cast<char*>(into);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::read(fd, bytes + done, size - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
}

// The module process: opens the pseudo-terminals, hands their port names to
// the parent and serves them until killed or until every port hung up.
[[noreturn]] void RunModules(int namesOut)
{
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    std::array<UniqueFd, kBoards> controllers;
    std::array<int, kBoards> fds{};
    for (std::size_t i = 0; i < kBoards; ++i) {
        PtyController opened;
        try {
            opened = OpenPtyController();
        } catch (const std::exception& error) {
            std::fprintf(stderr, "bench: %s\n", error.what());
            std::_Exit(2);
        }
        std::array<char, kNameSize> name{};
        opened.portName.copy(name.data(), name.size() - 1);
        if (!WriteAll(namesOut, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(name.data()), name.size()))) {
            Fail("send port name");
        }
        fds[i] = opened.controller.Get();
        controllers[i] = std::move(opened.controller);
    }
    ::close(namesOut);
    ServeLines(fds, nullptr, 0);
    std::_Exit(0);
}

int Measure(int argc, char** argv)
{
    const long seconds = NumberFlag(argc, argv, "--seconds").value_or(kDefaultSeconds);

    std::array<int, 2> names{};
    if (::pipe(names.data()) != 0) {
        Fail("pipe");
    }
    const pid_t child = ::fork();
    if (child < 0) {
        Fail("fork");
    }
    if (child == 0) {
        ::close(names[0]);
        RunModules(names[1]);
    }
    ::close(names[1]);

    std::array<UniqueFd, kBoards> ports;
    for (std::size_t i = 0; i < kBoards; ++i) {
        std::array<char, kNameSize> name{};
        if (!ReadAll(names[0], name.data(), name.size())) {
            std::fprintf(stderr, "bench: module process sent no port name\n");
            return 1;
        }
        ports[i] = OpenRawPort(std::string(name.data()));
    }
    ::close(names[0]);

    int status = 0;
    for (std::size_t i = 0; i < kBoards && status == 0; ++i) {
        const uint16_t opened = Vexan_InitMaster(static_cast<uint8_t>(i), ports[i].Get(), kMasterNodeId, 0, 1);
        if (opened != 0) {
            std::fprintf(stderr, "bench: Vexan_InitMaster(slot %zu) returned %u\n", i, opened);
            status = 1;
        }
    }

    if (status == 0) {
        std::this_thread::sleep_for(kSettle);
        const Switches before = ContextSwitches();
        const auto start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const Switches after = ContextSwitches();
        const long voluntary = after.voluntary - before.voluntary;
        const long involuntary = after.involuntary - before.involuntary;
        const long switches = voluntary + involuntary;
        const double perBoard = static_cast<double>(switches) / static_cast<double>(kBoards) / elapsed;
        std::printf(
            "idle: %zu boards open for %.1f s: %ld context switches in this process (%ld voluntary, %ld "
            "involuntary)\n",
            kBoards, elapsed, switches, voluntary, involuntary);
        std::printf("idle: %.1f switches per board per second target <= %.0f: %s\n", perBoard, kTargetSwitches,
                    perBoard <= kTargetSwitches ? "met" : "MISSED");
    }

    for (std::size_t i = 0; i < kBoards; ++i) {
        Vexan_ShutdownMaster(static_cast<uint8_t>(i));
    }
    ::kill(child, SIGTERM);
    ::waitpid(child, nullptr, 0);
    return status;
}

}  // namespace

int main(int argc, char** argv)
{
    return RunReportingFailures(Measure, argc, argv);
}
