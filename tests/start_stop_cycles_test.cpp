// Start-up and shut-down over and over on eight boards at once: every cycle
// starts, answers and stops, and the cycles leave no thread and no descriptor
// behind (the sanitizer build's leak check covers memory). An executable of
// its own, so that nothing else in the process starts or ends threads meanwhile.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <memory>
#include <thread>
#include <vector>

#include "board.hpp"
#include "start.hpp"
#include "vexan.h"
#include "vexan_sim/simulator.hpp"

namespace {

constexpr uint8_t kBoards = 8;
constexpr int kCycles = 1000;
constexpr uint8_t kNode = 5;
// A loaded machine can hold a reply back for a while, or stand still.
constexpr uint32_t kTimeoutMs = vexan::test::kGenerousTimeoutMs;

std::size_t EntriesOf(const char* directory)
{
    std::error_code error;
    std::filesystem::directory_iterator entries(directory, error);
    return error ? 0 : static_cast<std::size_t>(std::distance(entries, std::filesystem::directory_iterator{}));
}

std::size_t Threads()
{
    return EntriesOf("/proc/self/task");
}

std::size_t Descriptors()
{
    return EntriesOf("/proc/self/fd");
}

struct Line {
    explicit Line(uint8_t slot)
    {
        vexsim::SimulatorOptions options;
        options.module.firmwareVersion = static_cast<uint16_t>(0x0600 + slot);
        sim = std::make_unique<vexsim::Simulator>(options);
        sim->AddDefaultNode(kNode, true, false);
        sim->Start();
        fd = sim->OpenLibraryEnd();
    }
    ~Line()
    {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    std::unique_ptr<vexsim::Simulator> sim;
    int fd = -1;
};

// One board's cycles; counts those that did not start, answer and stop.
int Cycle(uint8_t slot, int fd, int cycles)
{
    int failed = 0;
    for (int i = 0; i < cycles; ++i) {
        if (vexan::test::StartMaster(slot, fd, 1) != VEXAN_OK) {
            ++failed;
            continue;
        }
        Vexan_SetFunctionTimeout(slot, kTimeoutMs);
        uint16_t version = 0;
        if (i % 10 == 0 && (Vexan_GetFirmwareVersion(slot, &version, 1) != VEXAN_OK || version != 0x0600 + slot)) {
            ++failed;
        }
        if (Vexan_ShutdownMaster(slot) != VEXAN_OK) {
            ++failed;
        }
    }
    return failed;
}

TEST(StartStopCycles, ThousandCyclesOnEightBoardsLeaveNoThreadOrDescriptorBehind)
{
    std::vector<std::unique_ptr<Line>> lines;
    for (uint8_t slot = 0; slot < kBoards; ++slot) {
        lines.push_back(std::make_unique<Line>(slot));
        ASSERT_GE(lines.back()->fd, 0);
    }
    // One cycle each first, so that whatever the library sets up once for
    // good is there before the count.
    for (uint8_t slot = 0; slot < kBoards; ++slot) {
        ASSERT_EQ(Cycle(slot, lines[slot]->fd, 1), 0) << "slot " << int{slot};
    }
    const std::size_t threadsBefore = Threads();
    const std::size_t descriptorsBefore = Descriptors();

    std::array<int, kBoards> failed{};
    std::vector<std::thread> threads;
    for (uint8_t slot = 0; slot < kBoards; ++slot) {
        threads.emplace_back([&, slot] { failed[slot] = Cycle(slot, lines[slot]->fd, kCycles); });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (uint8_t slot = 0; slot < kBoards; ++slot) {
        EXPECT_EQ(failed[slot], 0) << "slot " << int{slot};
    }
    EXPECT_EQ(Threads(), threadsBefore);
    EXPECT_EQ(Descriptors(), descriptorsBefore);
}

}  // namespace
