// Master control: start-up, shut-down and the master's own queries, checked
// byte for byte against a scripted module on a pseudo-terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "board.hpp"
#include "engine/reply_tables.hpp"
#include "engine/request.hpp"
#include "events/events.hpp"
#include "frames.hpp"
#include "link/library_state.hpp"
#include "link/protocol.hpp"
#include "module_peer.hpp"
#include "platform/platform.hpp"
#include "start.hpp"
#include "test_wait.hpp"
#include "vexan.h"
#include "vexan_results.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using vexan::CodeOf;
using vexan::Command;
using vexan::test::Bytes;
using vexan::test::IdentMode;
using vexan::test::kGenerousTimeoutMs;
using vexan::test::ModulePeer;
using vexan::test::MsSince;
using vexan::test::NodeData;
using vexan::test::NodeStatus;
using vexan::test::RawFrames;
using vexan::test::RepeatWhileWaiting;
using vexan::test::Reply;
using vexan::test::ResultRequest;
using vexan::test::StartRetry;
using vexan::test::StartTries;
using vexan::test::TryStartMaster;
using WriteFault = vexan::platform::testing::WriteFault;

constexpr std::size_t kSlotCount = 8;
constexpr std::size_t kPeerCount = 8;
constexpr auto kLimit = vexan::test::kWaitLimit;  // generous: the machine may be loaded, or stand still
constexpr auto kQuiet = 200ms;                    // how long "nothing written" is watched for
constexpr auto kSettle = 100ms;                   // lets bytes already written reach the peer's record
constexpr long kDefaultTimeoutFloorMs = 900;      // a 1000 ms time-out cannot end before this

// Command bytes as the module sees them, from the protocol table.
constexpr uint8_t kStart = CodeOf(Command::StartMaster);
constexpr uint8_t kStop = CodeOf(Command::StopMaster);
constexpr uint8_t kFirmware = CodeOf(Command::FirmwareVersion);
constexpr uint8_t kSetMode = CodeOf(Command::SetMasterMode);
constexpr uint8_t kGetMode = CodeOf(Command::GetMasterMode);
constexpr uint8_t kCanStatus = CodeOf(Command::CanStatus);
constexpr uint8_t kEventPoll = CodeOf(Command::EventPoll);
constexpr uint8_t kBootup = CodeOf(Command::MasterBootup);
constexpr uint8_t kResultRequest = CodeOf(Command::ResultRequest);

const Bytes kIdentRequest{'$', '0', '0', 'M', 0x00};

// Master id of the query tests, and what their outputs hold before a call.
constexpr uint8_t kQueryId = 0x15;
constexpr uint16_t kVersionSentinel = 0xBEEF;
constexpr uint8_t kModeSentinel = 0xEE;

Bytes StartFrame(uint8_t masterNodeId, uint8_t initParam)
{
    return {':', 3, kStart, masterNodeId, initParam};
}

// The frames a start-up wrote over its tries: a try that was not identified
// wrote the identification request only, every other one the whole start-up.
std::vector<Bytes> StartUpFrames(const StartTries& tries, uint8_t masterNodeId, uint8_t initParam)
{
    std::vector<Bytes> frames;
    for (const uint16_t result : tries.results) {
        frames.push_back(kIdentRequest);
        if (result != VEXAN_NOT_IDENTIFIED) {
            frames.push_back(StartFrame(masterNodeId, initParam));
            frames.push_back(ResultRequest(kStart, masterNodeId));
        }
    }
    return frames;
}

// Start commands sent over the tries of a start-up.
std::size_t StartCommands(const StartTries& tries)
{
    return tries.results.size() - tries.Count(VEXAN_NOT_IDENTIFIED);
}

std::size_t CountIdentifications(const ModulePeer& peer)
{
    const auto frames = peer.Frames();
    return static_cast<std::size_t>(
        std::count_if(frames.begin(), frames.end(), [](const auto& frame) { return frame.isIdentification; }));
}

// Waits until the peer has recorded exactly `count` identification requests.
bool WaitForIdentifications(const ModulePeer& peer, std::size_t count)
{
    return peer.WaitUntil([&](const auto&) { return CountIdentifications(peer) == count; });
}

// True when the library writes nothing to the peer for `time` (bytes already on
// their way are let in first).
bool StaysQuiet(const ModulePeer& peer, std::chrono::milliseconds time = kQuiet)
{
    std::this_thread::sleep_for(kSettle);
    const std::size_t before = peer.Written().size();
    std::this_thread::sleep_for(time);
    return peer.Written().size() == before;
}

bool IsPending(uint8_t board, uint8_t command, uint8_t key)
{
    return vexan::IsPending(board, command, key);
}

bool IsAssigned(uint8_t slot)
{
    return vexan::Link().slots[slot].board.load() != vexan::kNoBoard;
}

VexanPort StoredPort(uint8_t slot)
{
    return vexan::Link().slots[slot].port.load();
}

// Answers the master queries of any key: firmware bytes {tag, 0x20 + tag},
// mode 0x40 + tag, set mode accepted, CAN status {tag, 1, 2}.
void AnswerQueries(ModulePeer& peer, uint8_t tag)
{
    const auto key8 = [](uint16_t key) { return static_cast<uint8_t>(key); };
    peer.SetDefault(kFirmware, [=](uint16_t key) {
        return Reply{NodeData(kFirmware, key8(key), {tag, static_cast<uint8_t>(0x20 + tag)})};
    });
    peer.SetDefault(kGetMode, [=](uint16_t key) {
        return Reply{NodeData(kGetMode, key8(key), {static_cast<uint8_t>(0x40 + tag)})};
    });
    peer.SetDefault(kSetMode, [=](uint16_t key) { return Reply{NodeStatus(kSetMode, key8(key), 0)}; });
    peer.SetDefault(kCanStatus, [=](uint16_t key) { return Reply{NodeData(kCanStatus, key8(key), {tag, 1, 2})}; });
}

uint16_t ExpectedFirmware(uint8_t tag)
{
    return static_cast<uint16_t>((0x20 + tag) << 8 | tag);
}

class MasterTest : public ::testing::Test {
protected:
    ModulePeer& Peer(std::size_t index = 0)
    {
        if (!peers_.at(index)) {
            peers_.at(index) = std::make_unique<ModulePeer>();
        }
        return *peers_.at(index);
    }

    // Starts the master blocking (a start that was not identified, or whose
    // answer came too late, is tried again), checks that it opened, and gives
    // its queries a generous time-out (tests of time-outs set their own).
    // `tries`, when given, gets every try.
    void Open(uint8_t slot, ModulePeer& peer, uint8_t masterNodeId, uint8_t initParam = 0, StartTries* tries = nullptr)
    {
        const StartTries made = TryStartMaster(slot, peer.LibraryPort(), masterNodeId, initParam);
        if (tries != nullptr) {
            *tries = made;
        }
        ASSERT_EQ(made.Result(), VEXAN_OK);
        Vexan_SetFunctionTimeout(slot, kGenerousTimeoutMs);
        ASSERT_TRUE(vexan::LookupOpenBoard(slot).has_value());
        ASSERT_EQ(vexan::Link().boards[slot].functionTimeout.load(), kGenerousTimeoutMs);
    }

    void TearDown() override
    {
        vexan::platform::testing::FailNthRead(0);
        vexan::platform::testing::FailNthWrite(0);
        Vexan_Start();
        for (uint8_t slot = 0; slot < kSlotCount; ++slot) {
            if (vexan::LookupOpenBoard(slot)) {
                EXPECT_EQ(Vexan_ShutdownMaster(slot), VEXAN_OK) << "slot " << int{slot};
            }
            // A failed start-up leaves its slot assigned, with a receive thread on
            // a line that closes with this test; the interface frees a slot only
            // after a successful start, so reset it here directly.
            if (IsAssigned(slot)) {
                vexan::StopReceiveThread(slot);
                vexan::Replies().ReleaseAll(slot);
                vexan::ReleaseSlot(slot);
            }
            vexan::Link().boards[slot].functionTimeout.store(vexan::kDefaultFunctionTimeout);
        }
    }

private:
    // Outlive TearDown, so that no receive thread reads a closed line.
    std::array<std::unique_ptr<ModulePeer>, kPeerCount> peers_{};
};

// ---- Library constants ---------------------------------------------------------------

TEST(LibraryFacts, VersionNeedsNoStartUp)
{
    for (uint8_t slot = 0; slot < kSlotCount; ++slot) {
        ASSERT_FALSE(IsAssigned(slot)) << "a slot is in use before any start-up";
    }
    EXPECT_EQ(Vexan_GetVersion(), 203);
    EXPECT_EQ(Vexan_GetVersion(), VEXAN_LIBRARY_VERSION);
}

struct NamedCode {
    unsigned code;
    const char* name;
};

constexpr std::size_t kLibraryCodes = 21;
constexpr std::array<NamedCode, kLibraryCodes> kNamedCodes{{
    {0, "VEXAN_OK"},
    {2, "VEXAN_NO_PORT_HANDLE"},
    {3, "VEXAN_NOT_IDENTIFIED"},
    {7, "VEXAN_NOT_OPEN"},
    {9, "VEXAN_MASTER_ID_ZERO"},
    {13, "VEXAN_NO_RESULT_CLASS"},
    {14, "VEXAN_READ_FAILED"},
    {15, "VEXAN_NOTHING_TO_READ"},
    {16, "VEXAN_NOT_STORED"},
    {22, "VEXAN_UPLOAD_OVERRUN"},
    {25, "VEXAN_SDO_ABORTED"},
    {35, "VEXAN_TIMEOUT"},
    {36, "VEXAN_UNSUPPORTED_SIZE"},
    {38, "VEXAN_SHORT_WRITE"},
    {39, "VEXAN_WRITE_FAILED"},
    {40, "VEXAN_WAITING"},
    {41, "VEXAN_SENT"},
    {42, "VEXAN_PAUSED"},
    {50, "VEXAN_EDS_FILE"},
    {51, "VEXAN_EDS_VALUE"},
    {256, "VEXAN_OUT_OF_RANGE"},
}};

TEST(LibraryFacts, ResultNamesCoverEveryLibraryCodeAndNothingElse)
{
    for (const NamedCode& entry : kNamedCodes) {
        const char* name = vexan_result_name(entry.code);
        ASSERT_NE(name, nullptr) << entry.code;
        EXPECT_STREQ(name, entry.name) << entry.code;
        EXPECT_NE(vexan_result_text(entry.code), nullptr) << entry.code;
    }
    // Everything else is a module status passed through: no name.
    constexpr unsigned kScanned = 1024;
    for (unsigned code = 0; code < kScanned; ++code) {
        const bool known = std::any_of(kNamedCodes.begin(), kNamedCodes.end(),
                                       [code](const NamedCode& entry) { return entry.code == code; });
        if (!known) {
            EXPECT_EQ(vexan_result_name(code), nullptr) << code;
            EXPECT_EQ(vexan_result_text(code), nullptr) << code;
        }
    }
    EXPECT_EQ(vexan_result_name(0xFFFFFFFFu), nullptr);
}

// ---- Slots without an open board -----------------------------------------------------

// Every export that addresses a module, with output sentinels that must survive
// a refusal.
struct Probe {
    const char* name;
    std::function<uint16_t(uint8_t slot)> call;
};

struct ProbeOutputs {
    static constexpr uint8_t kByteSentinel = 0xEE;
    static constexpr uint16_t kWordSentinel = 0xBEEF;
    uint8_t mode = kByteSentinel;
    uint16_t version = kWordSentinel;
    std::array<uint8_t, VEXAN_MAX_REPLY_DATA> canStatus{};

    ProbeOutputs() { canStatus.fill(kByteSentinel); }
    bool Untouched() const
    {
        return mode == kByteSentinel && version == kWordSentinel &&
               std::all_of(canStatus.begin(), canStatus.end(), [](uint8_t b) { return b == kByteSentinel; });
    }
};

constexpr std::size_t kProbeCount = 9;

std::array<Probe, kProbeCount> SlotProbes(ProbeOutputs& out)
{
    return {{
        {"ShutdownMaster", [](uint8_t slot) { return Vexan_ShutdownMaster(slot); }},
        {"GetCANStatus", [&out](uint8_t slot) { return Vexan_GetCANStatus(slot, out.canStatus.data()); }},
        {"MasterSendBootupMsg blocking", [](uint8_t slot) { return Vexan_MasterSendBootupMsg(slot, 1); }},
        {"MasterSendBootupMsg", [](uint8_t slot) { return Vexan_MasterSendBootupMsg(slot, 0); }},
        {"SetMasterMode blocking", [](uint8_t slot) { return Vexan_SetMasterMode(slot, 1, 1); }},
        {"SetMasterMode", [](uint8_t slot) { return Vexan_SetMasterMode(slot, 1, 0); }},
        {"GetMasterMode blocking", [&out](uint8_t slot) { return Vexan_GetMasterMode(slot, &out.mode, 1); }},
        {"GetMasterMode", [&out](uint8_t slot) { return Vexan_GetMasterMode(slot, &out.mode, 0); }},
        {"GetFirmwareVersion", [&out](uint8_t slot) { return Vexan_GetFirmwareVersion(slot, &out.version, 1); }},
    }};
}

// Every export refuses `slot` with 7 and writes nothing to `peer`.
void ExpectSlotRefused(uint8_t slot, const ModulePeer& peer)
{
    ProbeOutputs out;
    const std::size_t before = peer.Written().size();
    for (const Probe& probe : SlotProbes(out)) {
        EXPECT_EQ(probe.call(slot), VEXAN_NOT_OPEN) << probe.name << " on slot " << int{slot};
    }
    const uint32_t timeout = slot < kSlotCount ? vexan::Link().boards[slot].functionTimeout.load() : 0;
    Vexan_SetFunctionTimeout(slot, 7);  // no result; must change nothing
    if (slot < kSlotCount) {
        EXPECT_EQ(vexan::Link().boards[slot].functionTimeout.load(), timeout);
    }
    EXPECT_TRUE(out.Untouched()) << "slot " << int{slot};
    EXPECT_TRUE(StaysQuiet(peer, 50ms));
    EXPECT_EQ(peer.Written().size(), before);
}

TEST_F(MasterTest, EverySlotWithoutBoardIsRefusedAndSlotsAboveSevenCannotStart)
{
    ModulePeer& peer = Peer();
    for (uint8_t slot = 0; slot < kSlotCount; ++slot) {
        ExpectSlotRefused(slot, peer);
    }
    constexpr std::array<uint8_t, 5> kForeignSlots{8, 9, 100, 128, 255};
    for (const uint8_t slot : kForeignSlots) {
        EXPECT_EQ(Vexan_InitMaster(slot, peer.LibraryPort(), 1, 0, 1), VEXAN_NOT_OPEN) << int{slot};
        EXPECT_EQ(Vexan_InitMaster(slot, peer.LibraryPort(), 1, 0, 0), VEXAN_NOT_OPEN) << int{slot};
        ExpectSlotRefused(slot, peer);
    }
    EXPECT_TRUE(peer.Written().empty());
    for (uint8_t slot = 0; slot < kSlotCount; ++slot) {
        EXPECT_FALSE(IsAssigned(slot)) << int{slot};
    }
}

TEST_F(MasterTest, MasterNodeIdOutsideTheTableIsRefusedBeforeTheSlotIsTaken)
{
    ModulePeer& first = Peer(0);
    ModulePeer& second = Peer(1);
    constexpr uint8_t kSlot = 2;
    constexpr std::array<uint8_t, 3> kBadIds{128, 200, 255};
    for (const uint8_t id : kBadIds) {
        for (const uint8_t blocking : {uint8_t{1}, uint8_t{0}}) {
            EXPECT_EQ(Vexan_InitMaster(kSlot, first.LibraryPort(), id, 0, blocking), VEXAN_OUT_OF_RANGE) << int{id};
        }
    }
    EXPECT_TRUE(StaysQuiet(first));
    EXPECT_TRUE(first.Written().empty());
    EXPECT_FALSE(IsAssigned(kSlot));

    // The slot is still free: the next start-up takes the port it is given.
    ASSERT_NO_FATAL_FAILURE(Open(kSlot, second, 127));
    EXPECT_TRUE(first.Written().empty());
    EXPECT_EQ(RawFrames(second).front(), kIdentRequest);
}

// ---- Start-up ------------------------------------------------------------------------

TEST_F(MasterTest, BlockingStartUpWritesExactBytesAndQueriesKeyOnTheMasterId)
{
    ModulePeer& peer = Peer();
    constexpr uint8_t kSlot = 3;
    constexpr uint8_t kId = 0x15;
    constexpr uint8_t kParam = 0xA5;
    AnswerQueries(peer, 7);
    StartTries tries;
    ASSERT_NO_FATAL_FAILURE(Open(kSlot, peer, kId, kParam, &tries));
    EXPECT_EQ(RawFrames(peer), StartUpFrames(tries, kId, kParam));
    EXPECT_EQ(StoredPort(kSlot), peer.LibraryPort());

    // Each query: its command frame, then its result request keyed by the master id.
    struct QueryCase {
        const char* name;
        std::function<uint16_t()> call;
        Bytes command;
        std::function<bool()> outputOk;
    };
    uint16_t version = 0;
    uint8_t mode = 0;
    std::array<uint8_t, VEXAN_MAX_REPLY_DATA> canStatus{};
    const std::array<QueryCase, 4> cases{{
        {"firmware",
         [&] { return Vexan_GetFirmwareVersion(kSlot, &version, 1); },
         {':', 1, kFirmware},
         [&] { return version == ExpectedFirmware(7); }},
        {"get mode",
         [&] { return Vexan_GetMasterMode(kSlot, &mode, 1); },
         {':', 1, kGetMode},
         [&] { return mode == 0x47; }},
        {"set mode",
         [&] { return Vexan_SetMasterMode(kSlot, 0x5A, 1); },
         {':', 2, kSetMode, 0x5A},
         [] { return true; }},
        {"CAN status",
         [&] { return Vexan_GetCANStatus(kSlot, canStatus.data()); },
         {':', 2, kCanStatus, 0x00},
         [&] { return canStatus[0] == 7 && canStatus[1] == 1 && canStatus[2] == 2; }},
    }};
    for (const QueryCase& c : cases) {
        peer.ClearRecord();
        EXPECT_EQ(c.call(), VEXAN_OK) << c.name;
        EXPECT_TRUE(c.outputOk()) << c.name;
        EXPECT_EQ(RawFrames(peer), (std::vector<Bytes>{c.command, ResultRequest(c.command[2], kId)})) << c.name;
    }

    // Boot-up message: three bytes and nothing after them.
    peer.ClearRecord();
    EXPECT_EQ(Vexan_MasterSendBootupMsg(kSlot, 1), VEXAN_OK);
    ASSERT_TRUE(peer.WaitForFrames(kBootup, 1));
    std::this_thread::sleep_for(100ms);  // room for a result request, were one sent
    EXPECT_EQ(RawFrames(peer), (std::vector<Bytes>{{':', 1, kBootup}}));

    // The receive thread's polls are the bare 3-byte event poll.
    ASSERT_TRUE(peer.WaitForFrames(kEventPoll, 2));
    for (const auto& frame : peer.Frames()) {
        if (frame.command == kEventPoll) {
            EXPECT_EQ(frame.raw, (Bytes{':', 1, kEventPoll}));
        }
    }

    peer.ClearRecord();
    EXPECT_EQ(Vexan_ShutdownMaster(kSlot), VEXAN_OK);
    ASSERT_TRUE(peer.WaitForFrames(kStop, 1));
    EXPECT_TRUE(StaysQuiet(peer));
    EXPECT_EQ(RawFrames(peer), (std::vector<Bytes>{{':', 1, kStop}}));
}

TEST_F(MasterTest, NonBlockingStartUpReturnsSentThenWaitingThenOpens)
{
    ModulePeer& peer = Peer();
    constexpr uint8_t kSlot = 0;
    constexpr uint8_t kId = 9;
    AnswerQueries(peer, 1);
    peer.Queue(kStart, kId, Reply{NodeStatus(kStart, kId, 0), {}, 5, 500});

    const StartTries tries = TryStartMaster(kSlot, peer.LibraryPort(), kId, 3, false);
    ASSERT_EQ(tries.Result(), VEXAN_SENT);
    uint8_t mode = 0;
    EXPECT_EQ(Vexan_GetMasterMode(kSlot, &mode, 1), VEXAN_NOT_OPEN) << "open before the module accepted";
    const auto [result, waits] =
        RepeatWhileWaiting([&] { return Vexan_InitMaster(kSlot, peer.LibraryPort(), kId, 3, 0); });
    EXPECT_EQ(result, VEXAN_OK);
    EXPECT_GE(waits, 1);
    // Repeats collected the reply without sending anything.
    EXPECT_EQ(RawFrames(peer), StartUpFrames(tries, kId, 3));
    EXPECT_FALSE(IsPending(kSlot, kStart, kId));
    EXPECT_EQ(Vexan_GetMasterMode(kSlot, &mode, 1), VEXAN_OK);
    EXPECT_EQ(mode, 0x41);
    EXPECT_EQ(peer.CountResultRequests(kGetMode, kId), 1u);
}

TEST_F(MasterTest, StartUpWaitsThroughBusyAnswersInBothModes)
{
    for (const uint8_t blocking : {uint8_t{1}, uint8_t{0}}) {
        SCOPED_TRACE(blocking ? "blocking" : "non-blocking");
        ModulePeer& peer = Peer(blocking);
        const uint8_t slot = blocking;
        constexpr uint8_t kId = 4;
        peer.Queue(kStart, kId, Reply{NodeStatus(kStart, kId, 40)});
        peer.Queue(kStart, kId, Reply{NodeStatus(kStart, kId, 40), {}, 5, 50});
        peer.Queue(kStart, kId, Reply{NodeStatus(kStart, kId, 0), {}, 5, 50});
        const StartTries tries =
            TryStartMaster(slot, peer.LibraryPort(), kId, 0, blocking != 0, StartRetry::NotIdentified);
        uint16_t result = tries.Result();
        if (!blocking) {
            ASSERT_EQ(result, VEXAN_SENT);
            result = RepeatWhileWaiting([&] { return Vexan_InitMaster(slot, peer.LibraryPort(), kId, 0, 0); }).first;
        }
        EXPECT_EQ(result, VEXAN_OK);
        EXPECT_EQ(peer.CountResultRequests(kStart, kId), 3u) << "a busy answer is asked again";
        EXPECT_EQ(CountIdentifications(peer), tries.results.size());
        EXPECT_TRUE(vexan::LookupOpenBoard(slot).has_value());
    }
}

TEST_F(MasterTest, StartUpAcrossTheTickWrapDoesNotTimeOutEarly)
{
    ModulePeer& peer = Peer();
    constexpr uint8_t kId = 1;
    peer.Queue(kStart, kId, Reply{NodeStatus(kStart, kId, 0), {}, 5, 400});
    // A start that was not identified is tried again, from the same tick.
    constexpr int kTries = 5;
    uint16_t result = VEXAN_NOT_IDENTIFIED;
    for (int attempt = 0; attempt < kTries && result == VEXAN_NOT_IDENTIFIED; ++attempt) {
        vexan::platform::testing::SetTickCount(0xFFFFFFFFu - 100);
        result = Vexan_InitMaster(5, peer.LibraryPort(), kId, 0, 1);
    }
    EXPECT_EQ(result, VEXAN_OK);
}

TEST_F(MasterTest, StartUpOnAnOpenBoardChangesNothing)
{
    ModulePeer& peer = Peer(0);
    ModulePeer& other = Peer(1);
    constexpr uint8_t kSlot = 6;
    constexpr uint8_t kId = 33;
    AnswerQueries(peer, 2);
    ASSERT_NO_FATAL_FAILURE(Open(kSlot, peer, kId));
    peer.ClearRecord();
    for (const uint8_t blocking : {uint8_t{1}, uint8_t{0}}) {
        EXPECT_EQ(Vexan_InitMaster(kSlot, other.LibraryPort(), 34, 9, blocking), VEXAN_OK);
        EXPECT_EQ(Vexan_InitMaster(kSlot, peer.LibraryPort(), kId, 0, blocking), VEXAN_OK);
    }
    EXPECT_TRUE(StaysQuiet(other));
    EXPECT_TRUE(other.Written().empty());
    EXPECT_TRUE(RawFrames(peer).empty());
    EXPECT_EQ(StoredPort(kSlot), peer.LibraryPort());
    EXPECT_FALSE(IsPending(kSlot, kStart, 34));

    // Still open under the first master id, on the first line.
    uint16_t version = 0;
    EXPECT_EQ(Vexan_GetFirmwareVersion(kSlot, &version, 1), VEXAN_OK);
    EXPECT_EQ(version, ExpectedFirmware(2));
    EXPECT_EQ(RawFrames(peer), (std::vector<Bytes>{{':', 1, kFirmware}, ResultRequest(kFirmware, kId)}));
}

TEST_F(MasterTest, SecondNonBlockingStartUpWithAnotherIdRunsAFreshStartUp)
{
    ModulePeer& peer = Peer();
    constexpr uint8_t kSlot = 1;
    constexpr uint8_t kFirstId = 1;
    constexpr uint8_t kSecondId = 2;
    peer.SetAutoAcceptStart(false);
    AnswerQueries(peer, 5);

    const StartTries first = TryStartMaster(kSlot, peer.LibraryPort(), kFirstId, 0, false);
    ASSERT_EQ(first.Result(), VEXAN_SENT);
    EXPECT_EQ(Vexan_InitMaster(kSlot, peer.LibraryPort(), kFirstId, 0, 0), VEXAN_WAITING);
    peer.Queue(kStart, kSecondId, Reply{NodeStatus(kStart, kSecondId, 0), {}, 5, 100});
    const StartTries second = TryStartMaster(kSlot, peer.LibraryPort(), kSecondId, 0, false);
    ASSERT_EQ(second.Result(), VEXAN_SENT);
    EXPECT_EQ(RepeatWhileWaiting([&] { return Vexan_InitMaster(kSlot, peer.LibraryPort(), kSecondId, 0, 0); }).first,
              VEXAN_OK);

    std::vector<Bytes> expected = StartUpFrames(first, kFirstId, 0);
    const std::vector<Bytes> secondFrames = StartUpFrames(second, kSecondId, 0);
    expected.insert(expected.end(), secondFrames.begin(), secondFrames.end());
    EXPECT_EQ(RawFrames(peer), expected);
    // Open under the second id.
    peer.ClearRecord();
    uint8_t mode = 0;
    EXPECT_EQ(Vexan_GetMasterMode(kSlot, &mode, 1), VEXAN_OK);
    EXPECT_EQ(mode, 0x45);
    EXPECT_EQ(peer.CountResultRequests(kGetMode, kSecondId), 1u);
}

struct IdentFailureCase {
    const char* name;
    IdentMode mode;
};

// A failed start-up leaves the slot assigned but closed, and does not bind it to
// its line for good: with no start pending, the next start-up takes the line it
// is given.
TEST_F(MasterTest, FailedIdentificationLeavesTheSlotFreeToTakeAnotherLine)
{
    constexpr std::array<IdentFailureCase, 2> kCases{{{"silent", IdentMode::Silent}, {"wrong", IdentMode::Wrong}}};
    uint8_t slot = 0;
    for (const IdentFailureCase& c : kCases) {
        SCOPED_TRACE(c.name);
        ModulePeer& first = Peer(2 * slot);
        ModulePeer& second = Peer(2 * slot + 1);
        first.SetIdentMode(c.mode);
        constexpr uint8_t kId = 10;

        EXPECT_EQ(Vexan_InitMaster(slot, first.LibraryPort(), kId, 0, 1), VEXAN_NOT_IDENTIFIED);
        ASSERT_TRUE(WaitForIdentifications(first, 1));
        EXPECT_EQ(RawFrames(first), (std::vector<Bytes>{kIdentRequest}));
        EXPECT_TRUE(IsAssigned(slot));
        EXPECT_FALSE(vexan::LookupOpenBoard(slot).has_value());
        EXPECT_FALSE(IsPending(slot, kStart, kId));
        EXPECT_EQ(Vexan_ShutdownMaster(slot), VEXAN_NOT_OPEN);

        // Non-blocking fails the same way.
        EXPECT_EQ(Vexan_InitMaster(slot, first.LibraryPort(), kId, 0, 0), VEXAN_NOT_IDENTIFIED);
        EXPECT_TRUE(WaitForIdentifications(first, 2));
        std::this_thread::sleep_for(kSettle);
        const std::size_t writtenToFirst = first.Written().size();

        // The next call names another line, where the module answers: the master starts there.
        const StartTries tries = TryStartMaster(slot, second.LibraryPort(), kId);
        EXPECT_EQ(tries.Result(), VEXAN_OK);
        EXPECT_EQ(StoredPort(slot), second.LibraryPort());
        EXPECT_EQ(RawFrames(second), StartUpFrames(tries, kId, 0));
        EXPECT_TRUE(StaysQuiet(first, 50ms));
        EXPECT_EQ(first.Written().size(), writtenToFirst) << "the start-up went to the first line";
        EXPECT_EQ(Vexan_ShutdownMaster(slot), VEXAN_OK);
        EXPECT_TRUE(second.WaitForFrames(kStop, 1));
        ++slot;
    }
}

TEST_F(MasterTest, IdentificationAnswerSplitOverReadsIsAccepted)
{
    ModulePeer& peer = Peer();
    peer.SetIdentMode(IdentMode::Split, 15, 4);
    EXPECT_EQ(vexan::test::StartMaster(4, peer.LibraryPort(), 3), VEXAN_OK);
}

TEST_F(MasterTest, PausedTrafficRefusesStartUpUntilStarted)
{
    ModulePeer& peer = Peer();
    constexpr uint8_t kSlot = 7;
    Vexan_Pause(0);
    EXPECT_EQ(Vexan_InitMaster(kSlot, peer.LibraryPort(), 1, 0, 1), VEXAN_PAUSED);
    EXPECT_EQ(Vexan_InitMaster(kSlot, peer.LibraryPort(), 1, 0, 0), VEXAN_PAUSED);
    EXPECT_TRUE(StaysQuiet(peer));
    EXPECT_TRUE(peer.Written().empty());
    EXPECT_FALSE(vexan::LookupOpenBoard(kSlot).has_value());
    Vexan_Start();
    EXPECT_EQ(vexan::test::StartMaster(kSlot, peer.LibraryPort(), 1), VEXAN_OK);
}

TEST_F(MasterTest, RefusedStartLeavesTheBoardClosedAndARestartSucceeds)
{
    ModulePeer& peer = Peer();
    constexpr uint8_t kSlot = 2;
    constexpr uint8_t kId = 12;
    peer.Queue(kStart, kId, Reply{NodeStatus(kStart, kId, 5)});
    const StartTries refused = TryStartMaster(kSlot, peer.LibraryPort(), kId, 0, true, StartRetry::NotIdentified);
    EXPECT_EQ(refused.Result(), 5);
    EXPECT_FALSE(vexan::LookupOpenBoard(kSlot).has_value());
    EXPECT_FALSE(IsPending(kSlot, kStart, kId));
    ExpectSlotRefused(kSlot, peer);
    EXPECT_TRUE(IsAssigned(kSlot));

    // Non-blocking refusal reaches the caller the same way.
    peer.Queue(kStart, kId, Reply{NodeStatus(kStart, kId, 0x11)});
    const StartTries sent = TryStartMaster(kSlot, peer.LibraryPort(), kId, 0, false);
    ASSERT_EQ(sent.Result(), VEXAN_SENT);
    EXPECT_EQ(RepeatWhileWaiting([&] { return Vexan_InitMaster(kSlot, peer.LibraryPort(), kId, 0, 0); }).first, 0x11);
    EXPECT_FALSE(vexan::LookupOpenBoard(kSlot).has_value());

    StartTries opened;
    ASSERT_NO_FATAL_FAILURE(Open(kSlot, peer, kId, 0, &opened));
    EXPECT_EQ(CountIdentifications(peer), refused.results.size() + sent.results.size() + opened.results.size());
    EXPECT_EQ(peer.CountFrames(kStart), StartCommands(refused) + StartCommands(sent) + StartCommands(opened));
}

// A receive thread that cannot be started (no thread or no memory for one)
// ends the start-up with the time-out code at once, without asking for the
// start command's answer: no exception reaches the caller, no thread is
// recorded, nothing stays pending, and the next try runs. (A start whose
// identification missed its window, the answer coming late, is tried again.)
TEST_F(MasterTest, ThreadThatCannotStartEndsTheStartUpWithTimeOut)
{
    ModulePeer& peer = Peer();
    constexpr uint8_t kSlot = 6;
    constexpr uint8_t kId = 9;
    constexpr int kTries = 5;
    for (const uint8_t blocking : {uint8_t{1}, uint8_t{0}}) {
        SCOPED_TRACE(blocking != 0 ? "blocking" : "non-blocking");
        uint16_t result = VEXAN_NOT_IDENTIFIED;
        for (int attempt = 1; attempt <= kTries; ++attempt) {
            vexan::platform::testing::FailNthThreadStart(1);
            result = Vexan_InitMaster(kSlot, peer.LibraryPort(), kId, 0, blocking);
            vexan::platform::testing::FailNthThreadStart(0);
            if (result != VEXAN_NOT_IDENTIFIED || !vexan::test::AnswerCameLate(peer.LibraryPort())) {
                break;
            }
        }
        EXPECT_EQ(result, VEXAN_TIMEOUT);
        EXPECT_FALSE(vexan::ReceiveSideOf(kSlot).ThreadRunning());
        EXPECT_FALSE(vexan::LookupOpenBoard(kSlot).has_value());
        EXPECT_FALSE(IsPending(kSlot, kStart, kId));
    }
    EXPECT_TRUE(StaysQuiet(peer, 50ms)) << "no thread polls the line";
    EXPECT_EQ(peer.CountResultRequests(kStart, kId), 0u) << "the start-up waited for an answer";
    ASSERT_NO_FATAL_FAILURE(Open(kSlot, peer, kId));
    EXPECT_TRUE(vexan::ReceiveSideOf(kSlot).ThreadRunning());
}

TEST_F(MasterTest, UnansweredStartTimesOutAfterTheDefaultAndARestartSucceeds)
{
    ModulePeer& peer = Peer();
    constexpr uint8_t kSlot = 3;
    constexpr uint8_t kId = 100;
    peer.SetAutoAcceptStart(false);
    // On a free slot, and below on an assigned but closed one, the time-out is not set.
    Vexan_SetFunctionTimeout(kSlot, 50);

    auto began = Clock::now();
    const StartTries blocking = TryStartMaster(kSlot, peer.LibraryPort(), kId, 0, true, StartRetry::NotIdentified);
    EXPECT_EQ(blocking.Result(), VEXAN_TIMEOUT);
    EXPECT_GE(MsSince(began), kDefaultTimeoutFloorMs);
    EXPECT_FALSE(IsPending(kSlot, kStart, kId));
    EXPECT_FALSE(vexan::LookupOpenBoard(kSlot).has_value());

    Vexan_SetFunctionTimeout(kSlot, 50);
    EXPECT_EQ(vexan::Link().boards[kSlot].functionTimeout.load(), vexan::kDefaultFunctionTimeout);
    began = Clock::now();
    const StartTries nonBlocking = TryStartMaster(kSlot, peer.LibraryPort(), kId, 0, false);
    ASSERT_EQ(nonBlocking.Result(), VEXAN_SENT);
    EXPECT_EQ(RepeatWhileWaiting([&] { return Vexan_InitMaster(kSlot, peer.LibraryPort(), kId, 0, 0); }).first,
              VEXAN_TIMEOUT);
    EXPECT_GE(MsSince(began), kDefaultTimeoutFloorMs);

    peer.SetAutoAcceptStart(true);
    StartTries opened;
    ASSERT_NO_FATAL_FAILURE(Open(kSlot, peer, kId, 0, &opened));
    EXPECT_EQ(CountIdentifications(peer), blocking.results.size() + nonBlocking.results.size() + opened.results.size());
    EXPECT_EQ(peer.CountFrames(kStart), StartCommands(blocking) + StartCommands(nonBlocking) + StartCommands(opened));
}

struct SendFailureCase {
    const char* name;
    uint32_t failingWrite;  // 1 identification, 2 start command, 3 its result request
    WriteFault fault;
    uint16_t expected;
    bool lineUsableAfter;  // a cut-short frame leaves the module's parser mid-frame
};

constexpr std::array<SendFailureCase, 4> kSendFailures{{
    {"identification write fails", 1, WriteFault::Fail, VEXAN_NOT_IDENTIFIED, true},
    {"start command write fails", 2, WriteFault::Fail, VEXAN_WRITE_FAILED, true},
    {"start command cut short", 2, WriteFault::Short, VEXAN_SHORT_WRITE, false},
    {"result request write fails", 3, WriteFault::Fail, VEXAN_WRITE_FAILED, true},
}};

// Vexan_InitMaster with its `nth` write failing. A write after the
// identification's is reached only once the module was identified: while the
// identification missed its window (the answer came late), the start is tried
// again with the fault armed afresh, a few times at most; `late` counts those
// tries.
uint16_t StartWithFailingWrite(uint8_t slot, const ModulePeer& peer, uint8_t masterNodeId, uint8_t blocking,
                               uint32_t nth, WriteFault fault, std::size_t& late)
{
    constexpr int kTries = 5;
    uint16_t result = 0;
    for (int attempt = 1; attempt <= kTries; ++attempt) {
        vexan::platform::testing::FailNthWrite(nth, fault);
        result = Vexan_InitMaster(slot, peer.LibraryPort(), masterNodeId, 0, blocking);
        vexan::platform::testing::FailNthWrite(0);
        if (nth == 1 || result != VEXAN_NOT_IDENTIFIED || !vexan::test::AnswerCameLate(peer.LibraryPort())) {
            break;
        }
        ++late;
        std::fprintf(stderr, "[ start    ] slot %u: the identification's answer came late (try %d), trying again\n",
                     unsigned{slot}, attempt);
    }
    return result;
}

// Whatever write fails, nothing stays pending: the next call starts afresh
// (identification, start command, result request) instead of collecting a
// record whose command never went out.
TEST_F(MasterTest, SendFailuresDuringStartUp)
{
    uint8_t slot = 0;
    for (const SendFailureCase& c : kSendFailures) {
        SCOPED_TRACE(c.name);
        ModulePeer& peer = Peer(slot);
        const uint8_t id = static_cast<uint8_t>(20 + slot);
        std::size_t late = 0;
        EXPECT_EQ(StartWithFailingWrite(slot, peer, id, 1, c.failingWrite, c.fault, late), c.expected);
        EXPECT_FALSE(vexan::LookupOpenBoard(slot).has_value());
        EXPECT_TRUE(IsAssigned(slot));
        // A start command that did not go out leaves no record to collect.
        EXPECT_FALSE(IsPending(slot, kStart, id));
        const std::size_t identifications = (c.failingWrite > 1 ? 1 : 0) + late;
        EXPECT_TRUE(WaitForIdentifications(peer, identifications));
        EXPECT_TRUE(StaysQuiet(peer, 50ms));

        if (c.lineUsableAfter) {
            peer.ClearRecord();
            const StartTries tries = TryStartMaster(slot, peer.LibraryPort(), id);
            EXPECT_EQ(tries.Result(), VEXAN_OK);
            EXPECT_EQ(RawFrames(peer), StartUpFrames(tries, id, 0)) << "a dead record was collected first";
            // An open board polls, and its writes would count toward the next case's fault.
            EXPECT_EQ(Vexan_ShutdownMaster(slot), VEXAN_OK);
        }
        ++slot;
    }
}

TEST_F(MasterTest, FailedStartSendLetsTheNextNonBlockingCallStartAfresh)
{
    ModulePeer& peer = Peer();
    constexpr uint8_t kSlot = 5;
    constexpr uint8_t kId = 50;
    std::size_t late = 0;
    ASSERT_EQ(StartWithFailingWrite(kSlot, peer, kId, 0, 2, WriteFault::Fail, late), VEXAN_WRITE_FAILED);
    EXPECT_FALSE(IsPending(kSlot, kStart, kId));
    const StartTries tries = TryStartMaster(kSlot, peer.LibraryPort(), kId, 0, false);
    ASSERT_EQ(tries.Result(), VEXAN_SENT);
    EXPECT_EQ(RepeatWhileWaiting([&] { return Vexan_InitMaster(kSlot, peer.LibraryPort(), kId, 0, 0); }).first,
              VEXAN_OK);
    EXPECT_EQ(CountIdentifications(peer), 1 + late + tries.results.size());
    EXPECT_EQ(peer.CountFrames(kStart), 1u) << "only the second start command reached the line";
}

// ---- Shut-down -----------------------------------------------------------------------

TEST_F(MasterTest, ShutdownRefusesSlotsThatAreNotOpen)
{
    ModulePeer& peer = Peer();
    EXPECT_EQ(Vexan_ShutdownMaster(0), VEXAN_NOT_OPEN);  // free
    peer.SetAutoAcceptStart(false);
    ASSERT_EQ(TryStartMaster(0, peer.LibraryPort(), 1, 0, false).Result(), VEXAN_SENT);
    EXPECT_EQ(Vexan_ShutdownMaster(0), VEXAN_NOT_OPEN);  // assigned, start-up pending
    EXPECT_TRUE(IsAssigned(0));
    EXPECT_EQ(StoredPort(0), peer.LibraryPort());
    EXPECT_TRUE(IsPending(0, kStart, 1));
    EXPECT_EQ(peer.CountFrames(kStop), 0u);
}

TEST_F(MasterTest, ShutdownFreesTheSlotStopsTheThreadAndForgetsRequests)
{
    ModulePeer& first = Peer(0);
    ModulePeer& second = Peer(1);
    constexpr uint8_t kSlot = 4;
    constexpr uint8_t kId = 8;
    AnswerQueries(second, 3);
    ASSERT_NO_FATAL_FAILURE(Open(kSlot, first, kId));
    // A request left pending on the board.
    uint16_t version = 0;
    ASSERT_EQ(Vexan_GetFirmwareVersion(kSlot, &version, 0), VEXAN_SENT);
    ASSERT_TRUE(IsPending(kSlot, kFirmware, kId));
    ASSERT_TRUE(first.WaitForFrames(kEventPoll, 2)) << "the receive thread polls while open";

    EXPECT_EQ(Vexan_ShutdownMaster(kSlot), VEXAN_OK);
    ASSERT_TRUE(first.WaitForFrames(kStop, 1));
    EXPECT_TRUE(StaysQuiet(first)) << "the receive thread still writes after shut-down";
    EXPECT_FALSE(IsAssigned(kSlot));
    EXPECT_EQ(StoredPort(kSlot), VEXAN_NO_PORT);
    EXPECT_FALSE(IsPending(kSlot, kFirmware, kId));
    ExpectSlotRefused(kSlot, first);

    // The next start-up takes the line it is given, and the firmware query starts
    // afresh instead of collecting the forgotten one.
    ASSERT_NO_FATAL_FAILURE(Open(kSlot, second, kId));
    EXPECT_EQ(Vexan_GetFirmwareVersion(kSlot, &version, 0), VEXAN_SENT);
    EXPECT_EQ(RepeatWhileWaiting([&] { return Vexan_GetFirmwareVersion(kSlot, &version, 0); }).first, VEXAN_OK);
    EXPECT_EQ(version, ExpectedFirmware(3));
    EXPECT_EQ(RawFrames(second).front(), kIdentRequest);
    EXPECT_EQ(second.CountFrames(kFirmware), 1u);
    EXPECT_TRUE(StaysQuiet(first, 50ms));
}

// The module may still answer the board's last event poll after the receive
// thread has stopped; those bytes wait on the line when the master is started
// there again, and must not make the module look unidentified.
struct StaleBytesCase {
    const char* name;
    Bytes bytes;
};

TEST_F(MasterTest, RestartOnTheSameLineIgnoresBytesLeftFromBefore)
{
    const std::array<StaleBytesCase, 3> cases{{
        {"late event-poll answer", vexan::test::EventReply(0, {})},
        {"late status reply", NodeStatus(kFirmware, 1, 0)},
        {"line noise", {'\r', '\n', 0x00}},
    }};
    uint8_t slot = 0;
    for (const StaleBytesCase& c : cases) {
        SCOPED_TRACE(c.name);
        ModulePeer& peer = Peer(slot);
        ASSERT_NO_FATAL_FAILURE(Open(slot, peer, 1));
        ASSERT_EQ(Vexan_ShutdownMaster(slot), VEXAN_OK);
        // Should the answer have come after the identification's window (the
        // library then leaves it on the port), the bytes and the start-up are
        // tried again, a few times at most.
        constexpr int kTries = 5;
        uint16_t result = 0;
        for (int attempt = 1; attempt <= kTries; ++attempt) {
            peer.Send(Reply{c.bytes});
            std::this_thread::sleep_for(kSettle);
            result = Vexan_InitMaster(slot, peer.LibraryPort(), 1, 0, 1);
            if (result != VEXAN_NOT_IDENTIFIED || !vexan::test::AnswerCameLate(peer.LibraryPort())) {
                break;
            }
            std::fprintf(stderr, "[ start    ] the identification's answer came late (try %d)\n", attempt);
        }
        EXPECT_EQ(result, VEXAN_OK);
        ++slot;
    }
}

TEST_F(MasterTest, QueriesWithoutOutputStorageStillComplete)
{
    ModulePeer& peer = Peer();
    constexpr uint8_t kSlot = 7;
    AnswerQueries(peer, 6);
    ASSERT_NO_FATAL_FAILURE(Open(kSlot, peer, kQueryId));
    EXPECT_EQ(Vexan_GetFirmwareVersion(kSlot, nullptr, 1), VEXAN_OK);
    EXPECT_EQ(Vexan_GetMasterMode(kSlot, nullptr, 1), VEXAN_OK);
    EXPECT_EQ(Vexan_GetCANStatus(kSlot, nullptr), VEXAN_OK);
    EXPECT_FALSE(IsPending(kSlot, kFirmware, kQueryId));
    EXPECT_FALSE(IsPending(kSlot, kGetMode, kQueryId));
    EXPECT_FALSE(IsPending(kSlot, kCanStatus, kQueryId));
}

// A pause holds the stop command back: the board stays open on its line with
// its receive thread running again, for the caller to retry once traffic resumes.
TEST_F(MasterTest, ShutdownHeldBackByAPauseLeavesTheMasterOpen)
{
    ModulePeer& peer = Peer();
    constexpr uint8_t kSlot = 1;
    constexpr uint8_t kId = 70;
    AnswerQueries(peer, 4);
    ASSERT_NO_FATAL_FAILURE(Open(kSlot, peer, kId));

    Vexan_Pause(0);
    EXPECT_EQ(Vexan_ShutdownMaster(kSlot), VEXAN_PAUSED);
    Vexan_Start();
    EXPECT_TRUE(vexan::LookupOpenBoard(kSlot).has_value());
    EXPECT_EQ(StoredPort(kSlot), peer.LibraryPort());
    const std::size_t polls = peer.CountFrames(kEventPoll);
    EXPECT_TRUE(peer.WaitForFrames(kEventPoll, polls + 3)) << "the receive thread was stopped";
    uint8_t mode = 0;
    EXPECT_EQ(Vexan_GetMasterMode(kSlot, &mode, 1), VEXAN_OK);
    EXPECT_EQ(mode, 0x44);
}

// A line that failed under the stop command (a write failure, the other end
// gone) can never carry it: the board is let go all the same, its slot freed
// and its port never touched again, and the failure is returned. (The
// reliability tests check that a file which takes the port's descriptor
// afterwards stays untouched.)
TEST_F(MasterTest, ShutdownOnAFailedLineFreesTheSlotAndNeverTouchesThePortAgain)
{
    constexpr uint8_t kSlot = 3;
    constexpr uint8_t kId = 71;
    for (const bool hangUp : {false, true}) {
        SCOPED_TRACE(hangUp ? "the other end gone" : "a write failure");
        auto line = std::make_unique<ModulePeer>();
        ASSERT_NO_FATAL_FAILURE(Open(kSlot, *line, kId));
        uint16_t result = VEXAN_OK;
        if (hangUp) {
            line->Close();
            result = Vexan_ShutdownMaster(kSlot);
        } else {
            // The receive thread's polls share the write counter: when the fault
            // lands on a poll instead, the shut-down goes through and the case is
            // tried again.
            constexpr int kAttempts = 20;
            for (int attempt = 0; attempt < kAttempts; ++attempt) {
                if (!vexan::LookupOpenBoard(kSlot)) {
                    ASSERT_NO_FATAL_FAILURE(Open(kSlot, *line, kId));
                }
                vexan::platform::testing::FailNthWrite(1);
                result = Vexan_ShutdownMaster(kSlot);
                vexan::platform::testing::FailNthWrite(0);
                if (result != VEXAN_OK) {
                    break;
                }
            }
        }
        EXPECT_EQ(result, VEXAN_WRITE_FAILED);
        EXPECT_FALSE(vexan::LookupOpenBoard(kSlot).has_value());
        EXPECT_FALSE(IsAssigned(kSlot));
        EXPECT_EQ(StoredPort(kSlot), VEXAN_NO_PORT);
        EXPECT_FALSE(vexan::ReceiveSideOf(kSlot).ThreadRunning());
        EXPECT_EQ(Vexan_ShutdownMaster(kSlot), VEXAN_NOT_OPEN);
        if (!hangUp) {
            EXPECT_TRUE(StaysQuiet(*line)) << "the library still writes to the line";
        }
        line.reset();

        // The freed slot starts again on a new line.
        ModulePeer& next = Peer();
        AnswerQueries(next, 5);
        ASSERT_NO_FATAL_FAILURE(Open(kSlot, next, kId));
        uint8_t mode = 0;
        EXPECT_EQ(Vexan_GetMasterMode(kSlot, &mode, 1), VEXAN_OK);
        EXPECT_EQ(mode, 0x45);
        EXPECT_EQ(Vexan_ShutdownMaster(kSlot), VEXAN_OK);
    }
}

// Calls waiting on a line whose other end went away end with the port's
// failure instead of waiting out the board's time-out, blocking or not, and
// leave nothing pending.
TEST_F(MasterTest, CallsWaitingOnALineWhoseOtherEndWentAwayEndWithTheReadFailure)
{
    constexpr uint8_t kSlot = 4;
    constexpr uint8_t kId = 72;
    auto line = std::make_unique<ModulePeer>();  // answers nothing but the start
    ASSERT_NO_FATAL_FAILURE(Open(kSlot, *line, kId));
    ASSERT_EQ(vexan::Link().boards[kSlot].functionTimeout.load(), kGenerousTimeoutMs);

    uint8_t mode = kModeSentinel;
    ASSERT_EQ(Vexan_GetMasterMode(kSlot, &mode, 0), VEXAN_SENT);
    uint16_t version = kVersionSentinel;
    uint16_t blocking = 0xFFFF;
    std::atomic<bool> returned{false};
    std::thread waiter([&] {
        blocking = Vexan_GetFirmwareVersion(kSlot, &version, 1);
        returned = true;
    });
    const bool asked = line->WaitUntil([](const std::vector<vexan::test::WrittenFrame>& frames) {
        return std::any_of(frames.begin(), frames.end(), [](const auto& frame) {
            return frame.command == kResultRequest && frame.payload == Bytes{kFirmware, kId};
        });
    });
    const auto closed = Clock::now();
    line->Close();
    const bool ended = vexan::test::WaitFor([&] { return returned.load(); }, 30s);
    const long waitedMs = MsSince(closed);
    waiter.join();
    ASSERT_TRUE(asked);
    ASSERT_TRUE(ended);
    EXPECT_EQ(blocking, VEXAN_READ_FAILED);
    // The time-out is ten seconds; ending within half of it leaves a loaded
    // machine room while showing that the time-out was not waited out.
    EXPECT_LT(waitedMs, static_cast<long>(kGenerousTimeoutMs / 2));
    EXPECT_EQ(version, kVersionSentinel);
    EXPECT_FALSE(IsPending(kSlot, kFirmware, kId));

    const auto [repeated, waits] = RepeatWhileWaiting([&] { return Vexan_GetMasterMode(kSlot, &mode, 0); });
    EXPECT_EQ(repeated, VEXAN_READ_FAILED) << waits << " waits";
    EXPECT_EQ(mode, kModeSentinel);
    EXPECT_FALSE(IsPending(kSlot, kGetMode, kId));

    EXPECT_EQ(Vexan_ShutdownMaster(kSlot), VEXAN_WRITE_FAILED);
    EXPECT_FALSE(IsAssigned(kSlot));
}

TEST_F(MasterTest, ShutdownDropsOnlyItsOwnBoardsQueuedEventsAndKeepsBootUps)
{
    using vexan::EventKind;
    for (auto& queue : vexan::Events().queues) {
        queue.Clear();
    }
    ModulePeer& leaving = Peer(0);
    ModulePeer& staying = Peer(1);
    constexpr uint8_t kLeaving = 2;
    constexpr uint8_t kStaying = 5;
    // One boot-up (node 7) and one EMCY (node 7, 8 bytes) from each board.
    const Bytes items{7, 7, 1, 2, 3, 4, 5, 6, 7, 8};
    leaving.QueueEvent(Reply{vexan::test::EventReply(0x60, items)});
    staying.QueueEvent(Reply{vexan::test::EventReply(0x60, items)});
    ASSERT_NO_FATAL_FAILURE(Open(kLeaving, leaving, 1));
    ASSERT_NO_FATAL_FAILURE(Open(kStaying, staying, 1));

    const auto boardsIn = [](EventKind kind) {
        std::vector<uint8_t> boards;
        auto& queue = vexan::QueueOf(kind);
        while (const auto record = queue.PopEvent()) {
            boards.push_back(record->board);
        }
        for (const uint8_t board : boards) {  // put them back, in order
            vexan::EventRecord record;
            record.board = board;
            queue.PushEvent(record);
        }
        std::sort(boards.begin(), boards.end());
        return boards;
    };
    const std::vector<uint8_t> both{kLeaving, kStaying};
    const auto deadline = Clock::now() + kLimit;
    while ((boardsIn(EventKind::Emcy) != both || boardsIn(EventKind::BootUp) != both) && Clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_EQ(boardsIn(EventKind::Emcy), both);

    ASSERT_EQ(Vexan_ShutdownMaster(kLeaving), VEXAN_OK);
    EXPECT_EQ(boardsIn(EventKind::Emcy), (std::vector<uint8_t>{kStaying}));
    EXPECT_EQ(boardsIn(EventKind::BootUp), both);
    for (auto& queue : vexan::Events().queues) {
        queue.Clear();
    }
}

// ---- Queries -------------------------------------------------------------------------

struct OutputCase {
    const char* name;
    uint8_t command;  // firmware or get mode
    Bytes reply;
    uint16_t expected;
    std::optional<uint16_t> value;  // nothing: the output stays untouched
};

const std::array<OutputCase, 11> kOutputCases{{
    {"firmware two bytes", kFirmware, NodeData(kFirmware, kQueryId, {0x03, 0x02}), VEXAN_OK, 0x0203},
    {"firmware extra bytes", kFirmware, NodeData(kFirmware, kQueryId, {0x03, 0x02, 0x77}), VEXAN_OK, 0x0203},
    {"firmware module status", kFirmware, NodeStatus(kFirmware, kQueryId, 9), 9, std::nullopt},
    {"firmware one byte", kFirmware, NodeData(kFirmware, kQueryId, {0x03}), VEXAN_OUT_OF_RANGE, std::nullopt},
    {"firmware no data", kFirmware, NodeData(kFirmware, kQueryId, {}), VEXAN_OUT_OF_RANGE, std::nullopt},
    {"firmware status 0 alone", kFirmware, NodeStatus(kFirmware, kQueryId, 0), VEXAN_OUT_OF_RANGE, std::nullopt},
    {"mode one byte", kGetMode, NodeData(kGetMode, kQueryId, {0x5A}), VEXAN_OK, 0x5A},
    {"mode extra bytes", kGetMode, NodeData(kGetMode, kQueryId, {0x00, 0x5A}), VEXAN_OK, 0x00},
    {"mode module status", kGetMode, NodeStatus(kGetMode, kQueryId, 0x11), 0x11, std::nullopt},
    {"mode no data", kGetMode, NodeData(kGetMode, kQueryId, {}), VEXAN_OUT_OF_RANGE, std::nullopt},
    {"mode status 0 alone", kGetMode, NodeStatus(kGetMode, kQueryId, 0), VEXAN_OUT_OF_RANGE, std::nullopt},
}};

TEST_F(MasterTest, QueryOutputsAreWrittenOnlyFromAWholeSuccessfulReply)
{
    ModulePeer& peer = Peer();
    constexpr uint8_t kSlot = 0;
    ASSERT_NO_FATAL_FAILURE(Open(kSlot, peer, kQueryId));
    for (const OutputCase& c : kOutputCases) {
        for (const uint8_t blocking : {uint8_t{1}, uint8_t{0}}) {
            SCOPED_TRACE(std::string(c.name) + (blocking ? ", blocking" : ", non-blocking"));
            // Delayed, so that a non-blocking call meets the collect path.
            peer.Queue(c.command, kQueryId, Reply{c.reply, {}, 5, blocking ? 0u : 100u});
            uint16_t version = kVersionSentinel;
            uint8_t mode = kModeSentinel;
            const auto call = [&] {
                return c.command == kFirmware ? Vexan_GetFirmwareVersion(kSlot, &version, blocking)
                                              : Vexan_GetMasterMode(kSlot, &mode, blocking);
            };
            uint16_t result = call();
            if (!blocking) {
                ASSERT_EQ(result, VEXAN_SENT);
                EXPECT_EQ(version, kVersionSentinel);
                EXPECT_EQ(mode, kModeSentinel);
                result = RepeatWhileWaiting(call).first;
            }
            EXPECT_EQ(result, c.expected);
            if (c.command == kFirmware) {
                EXPECT_EQ(version, c.value.value_or(kVersionSentinel));
                EXPECT_EQ(mode, kModeSentinel);
            } else {
                EXPECT_EQ(mode, c.value.value_or(kModeSentinel));
                EXPECT_EQ(version, kVersionSentinel);
            }
            EXPECT_FALSE(IsPending(kSlot, c.command, kQueryId)) << "record not released";
        }
    }
}

TEST_F(MasterTest, SetMasterModeSendsTheModeAndPassesTheStatusThrough)
{
    ModulePeer& peer = Peer();
    constexpr uint8_t kSlot = 2;
    ASSERT_NO_FATAL_FAILURE(Open(kSlot, peer, kQueryId));
    struct ModeCase {
        uint8_t mode;
        uint8_t status;
        uint8_t blocking;
    };
    constexpr std::array<ModeCase, 4> kCases{{{0x00, 0, 1}, {0xFF, 0x22, 1}, {0x03, 0, 0}, {0x80, 0x09, 0}}};
    for (const ModeCase& c : kCases) {
        SCOPED_TRACE(int{c.mode});
        peer.ClearRecord();
        peer.Queue(kSetMode, kQueryId, Reply{NodeStatus(kSetMode, kQueryId, c.status)});
        uint16_t result = Vexan_SetMasterMode(kSlot, c.mode, c.blocking);
        if (!c.blocking) {
            ASSERT_EQ(result, VEXAN_SENT);
            result = RepeatWhileWaiting([&] { return Vexan_SetMasterMode(kSlot, c.mode, 0); }).first;
        }
        EXPECT_EQ(result, c.status);
        EXPECT_EQ(RawFrames(peer), (std::vector<Bytes>{{':', 2, kSetMode, c.mode}, ResultRequest(kSetMode, kQueryId)}));
    }
}

TEST_F(MasterTest, CanStatusAlwaysWaitsAndCopiesTheWholeReply)
{
    ModulePeer& peer = Peer();
    constexpr uint8_t kSlot = 3;
    constexpr uint8_t kSentinel = 0xEE;
    constexpr std::size_t kGuard = 16;  // bytes past the largest reply that must stay untouched
    ASSERT_NO_FATAL_FAILURE(Open(kSlot, peer, kQueryId));
    std::array<uint8_t, VEXAN_MAX_REPLY_DATA + kGuard> buffer{};

    struct CanCase {
        const char* name;
        Reply reply;
        uint16_t expected;
        Bytes data;  // bytes expected at the start of the buffer
    };
    Bytes largest(VEXAN_MAX_REPLY_DATA);
    for (std::size_t i = 0; i < largest.size(); ++i) {
        largest[i] = static_cast<uint8_t>(i);
    }
    const std::array<CanCase, 4> cases{{
        {"three bytes, late", Reply{NodeData(kCanStatus, kQueryId, {1, 2, 3}), {}, 5, 300}, VEXAN_OK, {1, 2, 3}},
        {"largest reply", Reply{NodeData(kCanStatus, kQueryId, largest)}, VEXAN_OK, largest},
        {"module status", Reply{NodeStatus(kCanStatus, kQueryId, 0x13)}, 0x13, {}},
        {"garbage before",
         Reply{NodeData(kCanStatus, kQueryId, {9, 8}), {}, 5, 0, {'\r', '\n', 0x55}},
         VEXAN_OK,
         {9, 8}},
    }};
    for (const CanCase& c : cases) {
        SCOPED_TRACE(c.name);
        buffer.fill(kSentinel);
        peer.Queue(kCanStatus, kQueryId, c.reply);
        EXPECT_EQ(Vexan_GetCANStatus(kSlot, buffer.data()), c.expected);
        EXPECT_TRUE(std::equal(c.data.begin(), c.data.end(), buffer.begin()));
        EXPECT_TRUE(std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(c.data.size()), buffer.end(),
                                [](uint8_t b) { return b == kSentinel; }));
        EXPECT_FALSE(IsPending(kSlot, kCanStatus, kQueryId));
    }

    // A refused send leaves no record behind; the next call sends afresh.
    Vexan_Pause(0);
    EXPECT_EQ(Vexan_GetCANStatus(kSlot, buffer.data()), VEXAN_PAUSED);
    Vexan_Start();
    EXPECT_FALSE(IsPending(kSlot, kCanStatus, kQueryId));
    peer.ClearRecord();
    peer.Queue(kCanStatus, kQueryId, Reply{NodeData(kCanStatus, kQueryId, {4})});
    EXPECT_EQ(Vexan_GetCANStatus(kSlot, buffer.data()), VEXAN_OK);
    EXPECT_EQ(buffer[0], 4);
    peer.Queue(kCanStatus, kQueryId, Reply{NodeData(kCanStatus, kQueryId, {5})});
    EXPECT_EQ(Vexan_GetCANStatus(kSlot, buffer.data()), VEXAN_OK);
    EXPECT_EQ(buffer[0], 5);
    const Bytes command{':', 2, kCanStatus, 0x00};
    EXPECT_EQ(RawFrames(peer), (std::vector<Bytes>{command, ResultRequest(kCanStatus, kQueryId), command,
                                                   ResultRequest(kCanStatus, kQueryId)}));

    // Unanswered: the board's time-out ends it.
    Vexan_SetFunctionTimeout(kSlot, 150);
    EXPECT_EQ(Vexan_GetCANStatus(kSlot, buffer.data()), VEXAN_TIMEOUT);
    EXPECT_FALSE(IsPending(kSlot, kCanStatus, kQueryId));
}

TEST_F(MasterTest, BootupMessageSendsThreeBytesAndTouchesNoRecord)
{
    ModulePeer& peer = Peer();
    constexpr uint8_t kSlot = 5;
    ASSERT_NO_FATAL_FAILURE(Open(kSlot, peer, kQueryId));
    // A request of the master's own key left pending, answered late; the boot-up
    // messages sent meanwhile must leave its record be.
    Vexan_SetFunctionTimeout(kSlot, 10000);
    peer.Queue(kGetMode, kQueryId, Reply{NodeData(kGetMode, kQueryId, {0x66}), {}, 5, 1500});
    uint8_t mode = kModeSentinel;
    ASSERT_EQ(Vexan_GetMasterMode(kSlot, &mode, 0), VEXAN_SENT);
    ASSERT_TRUE(peer.WaitUntil([&](const auto&) { return peer.CountResultRequests(kGetMode, kQueryId) == 1; }));
    peer.ClearRecord();

    EXPECT_EQ(Vexan_MasterSendBootupMsg(kSlot, 1), VEXAN_OK);
    EXPECT_EQ(Vexan_MasterSendBootupMsg(kSlot, 0), VEXAN_OK);
    ASSERT_TRUE(peer.WaitForFrames(kBootup, 2));
    std::this_thread::sleep_for(100ms);  // room for a result request, were one sent
    EXPECT_EQ(RawFrames(peer), (std::vector<Bytes>{{':', 1, kBootup}, {':', 1, kBootup}}));
    EXPECT_EQ(peer.CountFrames(kResultRequest), 0u);

    ASSERT_TRUE(IsPending(kSlot, kGetMode, kQueryId));
    const vexan::PendingReply* record = vexan::Replies().Find(kSlot, kGetMode, kQueryId);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->status.load(), vexan::kStatusNone);
    // Answers to the boot-up command coming back anyway are dropped harmlessly.
    peer.Send(Reply{NodeStatus(kBootup, kQueryId, 0)});
    peer.Send(Reply{NodeData(kBootup, kQueryId, {1, 2, 3})});

    // The pending request is collected as usual, without a new command frame.
    EXPECT_EQ(RepeatWhileWaiting([&] { return Vexan_GetMasterMode(kSlot, &mode, 0); }).first, VEXAN_OK);
    EXPECT_EQ(mode, 0x66);
    EXPECT_EQ(peer.CountFrames(kGetMode), 0u);
}

TEST_F(MasterTest, FunctionTimeoutOfAnOpenBoardAppliesToPendingRequests)
{
    ModulePeer& peer = Peer();
    constexpr uint8_t kSlot = 6;
    ASSERT_NO_FATAL_FAILURE(Open(kSlot, peer, kQueryId));
    uint16_t version = kVersionSentinel;

    // Lengthened after the request went out: still waiting past the default.
    ASSERT_EQ(Vexan_GetFirmwareVersion(kSlot, &version, 0), VEXAN_SENT);
    Vexan_SetFunctionTimeout(kSlot, 60000);
    std::this_thread::sleep_for(1300ms);
    EXPECT_EQ(Vexan_GetFirmwareVersion(kSlot, &version, 0), VEXAN_WAITING);

    // Shortened: the same request has now run out.
    Vexan_SetFunctionTimeout(kSlot, 100);
    EXPECT_EQ(Vexan_GetFirmwareVersion(kSlot, &version, 0), VEXAN_TIMEOUT);
    EXPECT_FALSE(IsPending(kSlot, kFirmware, kQueryId));
    EXPECT_EQ(version, kVersionSentinel);
    EXPECT_EQ(peer.CountFrames(kFirmware), 1u);

    // A blocking request uses the new value too.
    const auto began = Clock::now();
    EXPECT_EQ(Vexan_GetFirmwareVersion(kSlot, &version, 1), VEXAN_TIMEOUT);
    EXPECT_LT(MsSince(began), 30'000) << "the 60-second time-out was used";
    EXPECT_TRUE(peer.WaitForFrames(kFirmware, 2));
    EXPECT_EQ(peer.CountFrames(kFirmware), 2u);
}

// ---- Eight boards --------------------------------------------------------------------

TEST_F(MasterTest, EightBoardsAnswerTheirOwnQueriesFromEightThreads)
{
    constexpr int kRounds = 25;
    const auto idOf = [](uint8_t slot) { return static_cast<uint8_t>(10 + slot); };
    // Started at once from eight threads: start-ups of different slots are independent.
    std::array<StartTries, kSlotCount> started{};
    {
        std::vector<std::thread> starters;
        for (uint8_t slot = 0; slot < kSlotCount; ++slot) {
            AnswerQueries(Peer(slot), static_cast<uint8_t>(slot + 1));
            starters.emplace_back([slot, port = Peer(slot).LibraryPort(), id = idOf(slot), &started] {
                started[slot] = TryStartMaster(slot, port, id, slot);
            });
        }
        for (auto& starter : starters) {
            starter.join();
        }
    }
    for (uint8_t slot = 0; slot < kSlotCount; ++slot) {
        ASSERT_EQ(started[slot].Result(), VEXAN_OK) << int{slot};
        Vexan_SetFunctionTimeout(slot, kGenerousTimeoutMs);
        EXPECT_EQ(RawFrames(Peer(slot)), StartUpFrames(started[slot], idOf(slot), slot));
        EXPECT_EQ(StoredPort(slot), Peer(slot).LibraryPort());
    }

    std::array<std::atomic<int>, kSlotCount> failures{};
    std::array<std::atomic<uint16_t>, kSlotCount> lastFailure{};
    std::vector<std::thread> threads;
    for (uint8_t slot = 0; slot < kSlotCount; ++slot) {
        threads.emplace_back([slot, &failures, &lastFailure] {
            const auto tag = static_cast<uint8_t>(slot + 1);
            const auto check = [&](uint16_t result, bool outputOk) {
                if (result != VEXAN_OK || !outputOk) {
                    ++failures[slot];
                    lastFailure[slot] = result;
                }
            };
            for (int round = 0; round < kRounds; ++round) {
                uint16_t version = 0;
                uint8_t mode = 0;
                std::array<uint8_t, VEXAN_MAX_REPLY_DATA> can{};
                uint16_t result = Vexan_GetFirmwareVersion(slot, &version, 1);
                check(result, version == ExpectedFirmware(tag));
                // Alternately blocking and non-blocking with its collect path.
                const bool blocking = round % 2 != 0;
                result = Vexan_GetMasterMode(slot, &mode, blocking ? 1 : 0);
                if (!blocking && result == VEXAN_SENT) {
                    result = RepeatWhileWaiting([&] { return Vexan_GetMasterMode(slot, &mode, 0); }).first;
                }
                check(result, mode == 0x40 + tag);
                result = Vexan_GetCANStatus(slot, can.data());
                check(result, can[0] == tag);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (uint8_t slot = 0; slot < kSlotCount; ++slot) {
        EXPECT_EQ(failures[slot].load(), 0) << "slot " << int{slot} << ", last result " << lastFailure[slot].load();
        const ModulePeer& peer = Peer(slot);
        EXPECT_EQ(peer.CountResultRequests(kFirmware, idOf(slot)), static_cast<std::size_t>(kRounds));
        EXPECT_EQ(peer.CountFrames(kFirmware), static_cast<std::size_t>(kRounds)) << "a query went to another line";
        EXPECT_EQ(peer.CountFrames(kGetMode), static_cast<std::size_t>(kRounds));
        EXPECT_EQ(peer.CountFrames(kCanStatus), static_cast<std::size_t>(kRounds));
    }
    for (uint8_t slot = 0; slot < kSlotCount; ++slot) {
        EXPECT_EQ(Vexan_ShutdownMaster(slot), VEXAN_OK) << int{slot};
    }
    for (uint8_t slot = 0; slot < kSlotCount; ++slot) {
        EXPECT_TRUE(Peer(slot).WaitForFrames(kStop, 1));
        EXPECT_TRUE(StaysQuiet(Peer(slot), 50ms)) << int{slot};
        EXPECT_FALSE(IsAssigned(slot));
    }
}

// ---- A pending start keeps its line ------------------------------------------------------

// Repeating a start-up that is still pending collects it on the line it went
// out on, whatever line the repeat names.
TEST_F(MasterTest, PendingStartKeepsItsLineWhenRepeatedWithAnother)
{
    ModulePeer& first = Peer(0);
    ModulePeer& second = Peer(1);
    constexpr uint8_t kSlot = 1;
    constexpr uint8_t kId = 30;
    first.SetAutoAcceptStart(false);
    const StartTries tries = TryStartMaster(kSlot, first.LibraryPort(), kId, 0, false);
    ASSERT_EQ(tries.Result(), VEXAN_SENT);
    EXPECT_EQ(Vexan_InitMaster(kSlot, second.LibraryPort(), kId, 0, 0), VEXAN_WAITING);
    EXPECT_EQ(StoredPort(kSlot), first.LibraryPort());
    EXPECT_TRUE(StaysQuiet(second));
    EXPECT_TRUE(second.Written().empty());
    EXPECT_EQ(CountIdentifications(first), tries.results.size());
    EXPECT_EQ(first.CountFrames(kStart), 1u);
}

// ---- A command whose send failed ---------------------------------------------------------

// The firmware query's command frame fails to go out: its record is released,
// so the next call sends a fresh command and gets its answer instead of
// waiting for a reply to something never sent.
TEST_F(MasterTest, FailedCommandSendReleasesItsRecordAndTheNextCallSendsAfresh)
{
    ModulePeer& peer = Peer();
    constexpr uint8_t kSlot = 2;
    constexpr uint8_t kTag = 7;
    AnswerQueries(peer, kTag);
    ASSERT_NO_FATAL_FAILURE(Open(kSlot, peer, kQueryId));
    for (const uint8_t blocking : {uint8_t{1}, uint8_t{0}}) {
        SCOPED_TRACE(blocking ? "blocking" : "non-blocking");
        uint16_t version = kVersionSentinel;
        const auto call = [&] { return Vexan_GetFirmwareVersion(kSlot, &version, blocking); };
        // The receive thread's event polls share the write counter: retry until
        // the fault lands on the command frame itself (no firmware frame written).
        constexpr int kAttempts = 20;
        bool commandFailed = false;
        for (int attempt = 0; attempt < kAttempts && !commandFailed; ++attempt) {
            const std::size_t commands = peer.CountFrames(kFirmware);
            version = kVersionSentinel;  // an earlier attempt the fault missed wrote it
            vexan::platform::testing::FailNthWrite(1);
            uint16_t result = call();
            vexan::platform::testing::FailNthWrite(0);
            if (result == VEXAN_SENT) {
                result = RepeatWhileWaiting(call).first;
            }
            std::this_thread::sleep_for(kSettle);
            commandFailed = result == VEXAN_WRITE_FAILED && peer.CountFrames(kFirmware) == commands;
            if (!commandFailed && IsPending(kSlot, kFirmware, kQueryId)) {
                RepeatWhileWaiting(call);  // an attempt the fault missed: let it finish
            }
        }
        ASSERT_TRUE(commandFailed);
        EXPECT_EQ(version, kVersionSentinel);
        EXPECT_FALSE(IsPending(kSlot, kFirmware, kQueryId)) << "the failed send left its record pending";

        const std::size_t commands = peer.CountFrames(kFirmware);
        uint16_t result = call();
        if (!blocking) {
            EXPECT_EQ(result, VEXAN_SENT) << "the call collected the dead record";
            result = RepeatWhileWaiting(call).first;
        }
        EXPECT_EQ(result, VEXAN_OK);
        EXPECT_EQ(version, ExpectedFirmware(kTag));
        EXPECT_TRUE(peer.WaitForFrames(kFirmware, commands + 1)) << "no fresh command frame was sent";
    }
}

}  // namespace
