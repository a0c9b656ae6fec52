// The library against the module simulator: real use over pseudo-terminals,
// several boards at once, faults on the line, and segmented uploads end to end.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "board.hpp"
#include "engine/request.hpp"
#include "events/events.hpp"
#include "link/frame.hpp"
#include "link/protocol.hpp"
#include "patient_frames.hpp"
#include "scratch.hpp"
#include "vexan.h"
#include "vexan_sim/simulator.hpp"

namespace {

using namespace std::chrono_literals;

constexpr std::size_t kBoards = 8;
constexpr uint8_t kNode = 5;

// Pops records of one kind until `count` arrived or the limit passed.
std::vector<vexan::EventRecord> TakeEvents(vexan::EventKind kind, std::size_t count,
                                           std::chrono::milliseconds limit = vexan::test::kWaitLimit)
{
    std::vector<vexan::EventRecord> records;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (records.size() < count && std::chrono::steady_clock::now() < deadline) {
        if (auto record = vexan::QueueOf(kind).PopEvent()) {
            records.push_back(*record);
        } else {
            std::this_thread::sleep_for(2ms);
        }
    }
    return records;
}

// One simulated module with a default node, and the library's end of its line.
// The board on it is shut down before the line closes: once its port is gone the
// stop command cannot be sent and the board would stay open.
struct Line {
    explicit Line(uint8_t boardSlot = 0, uint16_t firmware = 0x0102)
        : slot(boardSlot), sim(std::make_unique<vexsim::Simulator>(Options(firmware)))
    {
        sim->AddDefaultNode(kNode);
        sim->Start();
        fd = sim->OpenLibraryEnd();
    }
    ~Line()
    {
        Vexan_ShutdownMaster(slot);
        vexsim::CloseLinePort(fd);
    }
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    static vexsim::SimulatorOptions Options(uint16_t firmware)
    {
        vexsim::SimulatorOptions options;
        options.module.firmwareVersion = firmware;
        return options;
    }

    uint8_t slot;
    std::unique_ptr<vexsim::Simulator> sim;
    vexsim::LinePort fd = vexsim::kNoLinePort;
};

class SimulatorTest : public ::testing::Test {
protected:
    void SetUp() override { vexan::test::ClearEventQueues(); }
    void TearDown() override { vexan::test::ClearEventQueues(); }
};

TEST_F(SimulatorTest, EightBoardsWorkAtOnceEachWithItsOwnModule)
{
    std::vector<std::unique_ptr<Line>> lines;
    for (std::size_t i = 0; i < kBoards; ++i) {
        lines.push_back(std::make_unique<Line>(static_cast<uint8_t>(i), static_cast<uint16_t>(0x0100 + i)));
        ASSERT_NE(lines.back()->fd, vexsim::kNoLinePort);
    }

    std::array<int, kBoards> failures{};
    std::vector<std::thread> threads;
    for (uint8_t slot = 0; slot < kBoards; ++slot) {
        threads.emplace_back([&, slot] {
            const vexsim::LinePort fd = lines[slot]->fd;
            if (vexan::test::StartMaster(slot, fd, static_cast<uint8_t>(1 + slot)) != VEXAN_OK) {
                ++failures[slot];
                return;
            }
            Vexan_SetFunctionTimeout(slot, 10000);
            for (int i = 0; i < 50; ++i) {
                uint16_t firmware = 0;
                if (Vexan_GetFirmwareVersion(slot, &firmware, 1) != VEXAN_OK || firmware != 0x0100 + slot) {
                    ++failures[slot];
                }
            }
            uint8_t mode = 0xFF;
            if (Vexan_SetMasterMode(slot, slot, 1) != VEXAN_OK || Vexan_GetMasterMode(slot, &mode, 1) != VEXAN_OK ||
                mode != slot) {
                ++failures[slot];
            }
            std::array<uint8_t, VEXAN_MAX_REPLY_DATA> can{};
            if (Vexan_GetCANStatus(slot, can.data()) != VEXAN_OK) {
                ++failures[slot];
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (std::size_t slot = 0; slot < kBoards; ++slot) {
        EXPECT_EQ(failures[slot], 0) << "slot " << slot;
    }

    // Every module announced its node once; each record names the board it came from.
    const auto bootUps = TakeEvents(vexan::EventKind::BootUp, kBoards);
    ASSERT_EQ(bootUps.size(), kBoards);
    std::array<int, kBoards> seen{};
    for (const auto& record : bootUps) {
        ASSERT_LT(record.board, kBoards);
        EXPECT_EQ(record.item[0], kNode);
        ++seen[record.board];
    }
    for (int count : seen) {
        EXPECT_EQ(count, 1);
    }

    // Emergencies reported by one module arrive in order, from that board only.
    lines[3]->sim->InjectEmcy(kNode, {0x10, 0x81, 0x11, 1, 0, 0, 0, 0});
    lines[3]->sim->InjectEmcy(kNode, {0x00, 0x00, 0x00, 2, 0, 0, 0, 0});
    const auto emcys = TakeEvents(vexan::EventKind::Emcy, 2);
    ASSERT_EQ(emcys.size(), 2u);
    for (std::size_t i = 0; i < emcys.size(); ++i) {
        EXPECT_EQ(emcys[i].board, 3);
        EXPECT_EQ(emcys[i].size, 9);
        EXPECT_EQ(emcys[i].item[0], kNode);
        EXPECT_EQ(emcys[i].item[4], i + 1);
    }

    for (uint8_t slot = 0; slot < kBoards; ++slot) {
        EXPECT_EQ(Vexan_ShutdownMaster(slot), VEXAN_OK);
        EXPECT_TRUE(lines[slot]->sim->WaitForTrace("StopMaster", vexan::test::kWaitLimit));
    }
}

TEST_F(SimulatorTest, RepliesCutIntoPiecesWithNoiseBetweenStillArriveWhole)
{
    Line line;
    ASSERT_EQ(vexan::test::StartMaster(0, line.fd, 1), VEXAN_OK);
    Vexan_SetFunctionTimeout(0, 10000);
    const vexan::test::PatientFrames patient;
    // Short gaps: the module's answers to event polls are cut too, and longer
    // gaps would fill the line faster than it drains.
    vexsim::FaultSettings faults;
    faults.splitRandom = true;
    faults.splitGapMs = 1;
    faults.garbage = true;
    line.sim->SetFaults(faults);
    for (int i = 0; i < 100; ++i) {
        uint16_t firmware = 0;
        ASSERT_EQ(Vexan_GetFirmwareVersion(0, &firmware, 1), VEXAN_OK) << "query " << i;
        ASSERT_EQ(firmware, 0x0102);
    }
}

TEST_F(SimulatorTest, StreamRecoversAfterAReplyWithAWrongLength)
{
    Line line;
    ASSERT_EQ(vexan::test::StartMaster(0, line.fd, 1), VEXAN_OK);
    Vexan_SetFunctionTimeout(0, 300);
    line.sim->SendWrongLength(1);
    uint16_t firmware = 0;
    // The damaged reply may swallow the start of the next frame; whatever comes
    // of it, the stream finds its frames again.
    const uint16_t first = Vexan_GetFirmwareVersion(0, &firmware, 1);
    EXPECT_TRUE(first == VEXAN_OK || first == VEXAN_TIMEOUT) << first;
    int good = 0;
    for (int i = 0; i < 20; ++i) {
        good += Vexan_GetFirmwareVersion(0, &firmware, 1) == VEXAN_OK ? 1 : 0;
    }
    EXPECT_GE(good, 19);
    EXPECT_EQ(firmware, 0x0102);
}

// Uploads run in a directory of their own: large ones leave a spill file.
class UploadTest : public SimulatorTest {
protected:
    void SetUp() override
    {
        SimulatorTest::SetUp();
        dir_ = vexan::test::MakeScratchDirectory("vexan-e2e");
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_);
    }
    void TearDown() override
    {
        SimulatorTest::TearDown();
        std::filesystem::current_path(previous_);
        std::filesystem::remove_all(dir_);
    }

    static uint16_t Upload(uint16_t index, uint8_t subIndex, vexan::Reply& reply)
    {
        vexan::FrameWriter frame(vexan::Command::SdoRead);
        frame.U8(kNode).U16(index).U8(subIndex);
        const vexan::Request request(frame, kNode, true);
        return vexan::RunRequest(0, request, reply);
    }

    std::filesystem::path dir_;
    std::filesystem::path previous_;
};

TEST_F(UploadTest, SmallObjectIsGatheredInMemoryBehindItsHeader)
{
    Line line;
    ASSERT_EQ(vexan::test::StartMaster(0, line.fd, 1), VEXAN_OK);
    line.sim->SetSdoChunk(5);  // several segments for a 14-byte name
    vexan::Reply reply;
    ASSERT_EQ(Upload(0x1008, 0, reply), VEXAN_OK);
    const std::string name = "Vexan I/O node";
    ASSERT_EQ(reply.length, 4 + name.size());
    EXPECT_EQ(reply.data[0], 0x41);
    EXPECT_EQ(reply.data[1], 0x08);
    EXPECT_EQ(reply.data[2], 0x10);
    EXPECT_EQ(reply.data[3], 0x00);
    EXPECT_EQ(std::string(reply.data.begin() + 4, reply.data.begin() + 4 + name.size()), name);
}

struct SpillCase {
    const char* name;
    uint16_t index;
    std::size_t size;
    std::size_t chunk;
};

class SpillUploadTest : public UploadTest, public ::testing::WithParamInterface<SpillCase> {};

TEST_P(SpillUploadTest, LargeObjectLandsWholeInItsSpillFile)
{
    const SpillCase& c = GetParam();
    Line line;
    ASSERT_EQ(vexan::test::StartMaster(0, line.fd, 1), VEXAN_OK);
    Vexan_SetFunctionTimeout(0, 120000);
    line.sim->SetSdoChunk(c.chunk);
    vexan::Reply reply;
    ASSERT_EQ(Upload(c.index, 0, reply), VEXAN_OK);
    EXPECT_EQ(reply.length, c.size);

    char fileName[32];
    std::snprintf(fileName, sizeof fileName, "0_5_%04X_00.seg", c.index);
    std::ifstream file(fileName, std::ios::binary);
    ASSERT_TRUE(file) << fileName;
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    ASSERT_EQ(bytes.size(), c.size);
    // The default device fills its domains with a pattern: any chunk stored
    // twice or lost shifts it.
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        ASSERT_EQ(bytes[i], static_cast<uint8_t>((i * 7 + 3) & 0xFF)) << "byte " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Objects, SpillUploadTest,
                         ::testing::Values(SpillCase{"Domain5000", 0x2100, 5000, 128},
                                           SpillCase{"Domain1MiB", 0x2101, 1u << 20, 244}),
                         [](const auto& param) { return std::string(param.param.name); });

// ---- Restarting right after a shut-down -----------------------------------------------

// At a slow line speed the module's answer to the last event poll before a
// shut-down is still trickling in when the next start-up identifies the module;
// those bytes must not make the start-up fail. Small random gaps between the
// calls move the restart across that answer. A busy machine can hold the
// simulator's thread, or the line, back past the identification's window (a
// hundred milliseconds and more beside two busy loops): a start that failed so
// leaves the answer on the port, is counted apart, and the next cycle tries
// again.
TEST_F(SimulatorTest, RestartRightAfterShutdownOnASlowLineAlwaysStarts)
{
    constexpr int kCycles = 250;
    constexpr unsigned kSlowBaud = 19200;
    Line line;
    line.sim->SetBaud(kSlowBaud);
    std::mt19937 random(20240611u);
    std::uniform_int_distribution<int> gapMs(0, 3);
    int failedStarts = 0;
    int lateStarts = 0;
    int timedOutStarts = 0;
    int failedShutdowns = 0;
    std::vector<std::pair<int, uint16_t>> firstFailures;  // (cycle, result)
    // A loaded machine can hold the start's reply back for more than the
    // default second, and its bytes, trickling in at this line speed, apart
    // for longer than the usual give-up of a half-received frame: the board
    // keeps the time-out set while it is open across its shut-downs (put back
    // at the end), and frames may wait for their rest.
    const vexan::test::PatientFrames patient;
    ASSERT_EQ(vexan::test::StartMaster(0, line.fd, 1), VEXAN_OK);
    Vexan_SetFunctionTimeout(0, vexan::test::kGenerousTimeoutMs);
    ASSERT_EQ(Vexan_ShutdownMaster(0), VEXAN_OK);
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        const uint16_t started = Vexan_InitMaster(0, line.fd, 1, 0, 1);
        if (started == VEXAN_TIMEOUT) {
            // The start reply held up past the board's time-out, or its pieces
            // past the frame give-up, by a starved test process (seen under
            // Wine on a loaded machine, about once in a thousand start-ups).
            // The bytes of the last event poll make a start-up fail as not
            // identified instead; a few time-outs are allowed below.
            ++timedOutStarts;
            continue;
        }
        // (Once a few start-ups failed outright the test fails anyway: their
        // answers are no longer looked for.)
        constexpr int kFailuresLookedInto = 5;
        if (started == VEXAN_NOT_IDENTIFIED && failedStarts < kFailuresLookedInto &&
            vexan::test::AnswerCameLate(line.fd)) {
            ++lateStarts;
            continue;
        }
        if (started != VEXAN_OK) {
            ++failedStarts;
            if (firstFailures.size() < 5) {
                firstFailures.emplace_back(cycle, started);
            }
            continue;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(gapMs(random)));
        failedShutdowns += Vexan_ShutdownMaster(0) == VEXAN_OK ? 0 : 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(gapMs(random)));
    }
    std::string detail;
    for (const auto& [cycle, result] : firstFailures) {
        detail += " cycle " + std::to_string(cycle) + ": " + std::to_string(result) + ";";
    }
    if (vexan::test::StartMaster(0, line.fd, 1) == VEXAN_OK) {
        Vexan_SetFunctionTimeout(0, vexan::kDefaultFunctionTimeout);
        Vexan_ShutdownMaster(0);
    }
    EXPECT_EQ(failedStarts, 0) << "of " << kCycles << " start-ups; first failures:" << detail;
    // Most start-ups must have run, or the test proved little.
    EXPECT_LE(lateStarts, kCycles / 2) << "of " << kCycles << " start-ups were identified too late";
    if (lateStarts > 0) {
        std::fprintf(stderr, "[ start    ] %d of %d start-ups: the identification's answer came late\n", lateStarts,
                     kCycles);
    }
    EXPECT_LE(timedOutStarts, kCycles / 100) << "of " << kCycles << " start-ups timed out";
    EXPECT_EQ(failedShutdowns, 0);
}

}  // namespace
