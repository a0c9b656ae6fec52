// The application's side of the events: installing and removing callbacks
// (with the rule for a master opened with node id 0), the readers of the seven
// queues with the slot of each record, and the answers to other masters'
// requests, checked byte for byte against a scripted module.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "board.hpp"
#include "child_process.hpp"
#include "engine/request.hpp"
#include "events/events.hpp"
#include "frames.hpp"
#include "link/library_state.hpp"
#include "link/protocol.hpp"
#include "module_peer.hpp"
#include "patient_frames.hpp"
#include "test_wait.hpp"
#include "vexan.h"

namespace {

using namespace std::chrono_literals;
using vexan::CallbackKind;
using vexan::CodeOf;
using vexan::Command;
using vexan::EventKind;
using vexan::test::Bytes;
using vexan::test::ClearEventQueues;
using vexan::test::ModulePeer;
using vexan::test::NodeStatus;
using vexan::test::RawFrames;
using vexan::test::Reply;
using vexan::test::ResultRequest;
using vexan::test::WaitFor;

constexpr uint8_t kAnswerSdo = CodeOf(Command::ResponseMasterSdo);
constexpr uint8_t kAnswerPdo = CodeOf(Command::ResponseMasterPdo);

// Slot 0 opened with master node id 0x21, slot 1 with master node id 0.
constexpr uint8_t kSlot = 0;
constexpr uint8_t kZeroSlot = 1;
constexpr uint8_t kClosedSlot = 5;
constexpr uint8_t kMasterId = 0x21;
constexpr uint8_t kNoSlotBoard = 6;  // a board no slot belongs to
constexpr uint8_t kSentinel = 0xEE;
constexpr uint16_t kSentinel16 = 0xEEEE;

std::atomic<int> firstCalls{0};
std::atomic<int> secondCalls{0};
void First()
{
    ++firstCalls;
}
void Second()
{
    ++secondCalls;
}

void RemoveAllCallbacks()
{
    for (std::size_t kind = 0; kind < vexan::kEventKinds; ++kind) {
        for (uint8_t board = 0; board < vexan::kBoardCount; ++board) {
            vexan::CallbackOf(static_cast<CallbackKind>(kind), board).store(nullptr);
        }
    }
}

// One kind's pair of exports.
struct CallbackCase {
    const char* name;
    CallbackKind kind;
    uint16_t (*install)(uint32_t, EventCallback);
    uint16_t (*remove)(uint32_t);
    bool nodeRole;  // a request another master addresses to the module
};

constexpr std::array<CallbackCase, vexan::kEventKinds> kCallbackCases{{
    {"boot-up", CallbackKind::BootUp, &Vexan_InstallBootUpISR, &Vexan_RemoveBootUpISR, false},
    {"EMCY", CallbackKind::Emcy, &Vexan_InstallEMCYISR, &Vexan_RemoveEMCYISR, false},
    {"NMT error", CallbackKind::NmtError, &Vexan_InstallNMTErrISR, &Vexan_RemoveNMTErrISR, false},
    {"read SDO", CallbackKind::ReadSdo, &Vexan_InstallReadSDOISR, &Vexan_RemoveReadSDOISR, true},
    {"write SDO", CallbackKind::WriteSdo, &Vexan_InstallWriteSDOISR, &Vexan_RemoveWriteSDOISR, true},
    {"RxPDO", CallbackKind::RxPdo, &Vexan_InstallRxPDOISR, &Vexan_RemoveRxPDOISR, true},
    {"remote PDO", CallbackKind::RemotePdo, &Vexan_InstallRemotePDOISR, &Vexan_RemoveRemotePDOISR, true},
}};

EventCallback Installed(CallbackKind kind, uint8_t board)
{
    return vexan::CallbackOf(kind, board).load();
}

class EventExports : public ::testing::Test {
protected:
    void SetUp() override
    {
        RemoveAllCallbacks();
        ASSERT_NO_FATAL_FAILURE(vexan::test::OpenBoard(kSlot, peer_, kMasterId));
        ASSERT_NO_FATAL_FAILURE(vexan::test::OpenBoard(kZeroSlot, zeroPeer_, 0));
        ClearEventQueues();
        firstCalls = 0;
        secondCalls = 0;
    }
    void TearDown() override
    {
        RemoveAllCallbacks();
        vexan::test::CloseBoard(kSlot);
        vexan::test::CloseBoard(kZeroSlot);
        ClearEventQueues();
    }

    ModulePeer peer_;
    ModulePeer zeroPeer_;
};

// ---- Callbacks -----------------------------------------------------------------------------

TEST_F(EventExports, InstallAndRemoveNeedAnOpenBoard)
{
    for (const CallbackCase& c : kCallbackCases) {
        for (const uint32_t slot : {uint32_t{kClosedSlot}, uint32_t{8}, uint32_t{0x100 + kClosedSlot}}) {
            EXPECT_EQ(c.install(slot, &First), VEXAN_NOT_OPEN) << c.name << ", slot " << slot;
            EXPECT_EQ(c.remove(slot), VEXAN_NOT_OPEN) << c.name << ", slot " << slot;
        }
        EXPECT_EQ(Installed(c.kind, kClosedSlot), nullptr);
    }
}

TEST_F(EventExports, AnInstalledCallbackIsReplacedOnlyAfterItWasRemoved)
{
    for (const CallbackCase& c : kCallbackCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.install(kSlot, &First), VEXAN_OK);
        EXPECT_EQ(Installed(c.kind, kSlot), &First);
        EXPECT_EQ(c.install(kSlot, &Second), VEXAN_OK);
        EXPECT_EQ(Installed(c.kind, kSlot), &First) << "the installed one stays";
        EXPECT_EQ(c.remove(kSlot), VEXAN_OK);
        EXPECT_EQ(Installed(c.kind, kSlot), nullptr);
        EXPECT_EQ(c.remove(kSlot), VEXAN_OK) << "removing nothing";
        // Only the low 8 bits of the slot count.
        EXPECT_EQ(c.install(0x100 + kSlot, &Second), VEXAN_OK);
        EXPECT_EQ(Installed(c.kind, kSlot), &Second);
        for (std::size_t other = 0; other < vexan::kEventKinds; ++other) {
            if (static_cast<CallbackKind>(other) != c.kind) {
                EXPECT_EQ(Installed(static_cast<CallbackKind>(other), kSlot), nullptr) << "kind " << other;
            }
        }
        EXPECT_EQ(c.remove(kSlot), VEXAN_OK);
    }
}

TEST_F(EventExports, MasterNodeIdZeroTakesNoCallbacksOfRequestsAddressedToTheModule)
{
    for (const CallbackCase& c : kCallbackCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.install(kZeroSlot, &First), c.nodeRole ? VEXAN_MASTER_ID_ZERO : VEXAN_OK);
        EXPECT_EQ(Installed(c.kind, kZeroSlot), c.nodeRole ? nullptr : &First);
        // One installed before (it outlives a restart under another id): kept.
        vexan::CallbackOf(c.kind, kZeroSlot).store(&First);
        EXPECT_EQ(c.install(kZeroSlot, &Second), VEXAN_OK);
        EXPECT_EQ(Installed(c.kind, kZeroSlot), &First);
        EXPECT_EQ(c.remove(kZeroSlot), c.nodeRole ? VEXAN_MASTER_ID_ZERO : VEXAN_OK);
        EXPECT_EQ(Installed(c.kind, kZeroSlot), c.nodeRole ? &First : nullptr);
    }
}

TEST_F(EventExports, TheReceiveThreadCallsTheInstalledCallbackNotTheRefusedOne)
{
    ASSERT_EQ(Vexan_InstallEMCYISR(kSlot, &First), VEXAN_OK);
    ASSERT_EQ(Vexan_InstallEMCYISR(kSlot, &Second), VEXAN_OK);
    vexan::EventRecord record;
    record.board = kSlot;
    record.size = 9;
    vexan::QueueOf(EventKind::Emcy).PushEvent(record);
    EXPECT_TRUE(WaitFor([] { return firstCalls >= 2; }));
    EXPECT_EQ(secondCalls, 0);

    ASSERT_EQ(Vexan_RemoveEMCYISR(kSlot), VEXAN_OK);
    ASSERT_EQ(Vexan_InstallEMCYISR(kSlot, &Second), VEXAN_OK);
    EXPECT_TRUE(WaitFor([] { return secondCalls >= 2; }));
}

// A callback that stays inside until released (for at most the wait limit).
std::atomic<bool> slowInside{false};
std::atomic<bool> slowRelease{false};
std::atomic<int> slowCalls{0};
void Slow()
{
    ++slowCalls;
    slowInside = true;
    WaitFor([] { return slowRelease.load(); });
    slowInside = false;
}

// A removal on an application thread returns only once the callback it removed
// has returned, so the application may free what the callback uses; the
// callback then runs no more, although its queue still holds the record.
TEST_F(EventExports, RemoveReturnsOnlyOnceTheCallbackItRemovedHasReturned)
{
    slowInside = false;
    slowRelease = false;
    slowCalls = 0;
    ASSERT_EQ(Vexan_InstallEMCYISR(kSlot, &Slow), VEXAN_OK);
    vexan::EventRecord record;
    record.board = kSlot;
    record.size = 9;
    vexan::QueueOf(EventKind::Emcy).PushEvent(record);
    ASSERT_TRUE(WaitFor([] { return slowInside.load(); }));

    std::atomic<bool> removed{false};
    uint16_t result = 0xFFFF;
    bool insideWhenRemoved = true;
    std::thread remover([&] {
        result = Vexan_RemoveEMCYISR(kSlot);
        insideWhenRemoved = slowInside.load();
        removed = true;
    });
    std::this_thread::sleep_for(100ms);  // time enough for a removal that does not wait to return
    const bool removedEarly = removed.load();
    slowRelease = true;
    remover.join();
    EXPECT_FALSE(removedEarly) << "the removal returned while its callback ran";
    EXPECT_EQ(result, VEXAN_OK);
    EXPECT_FALSE(insideWhenRemoved);
    const int calls = slowCalls.load();
    std::this_thread::sleep_for(50ms);  // several event steps, the EMCY record still queued
    EXPECT_EQ(slowCalls.load(), calls) << "the callback ran again after its removal";
}

// Two boards whose callbacks shut each other down at the same moment: each
// stop is made on a receive thread whose own board is being stopped from the
// other one. Before that, each removes the other's callback and its own, which
// inside a callback does not wait either. Run in a child process, which is
// ended if it never returns.
constexpr std::array<uint8_t, 2> kCrossSlots{2, 3};
std::array<std::atomic<bool>, 2> crossEntered{};
std::atomic<int> crossArrived{0};
std::atomic<int> crossRemoved{0};
std::array<std::atomic<uint16_t>, 2> crossResults{};
std::array<std::atomic<uint16_t>, 2> crossRemovals{};
std::array<std::atomic<bool>, 2> crossDone{};

template <std::size_t Own>
void ShutTheOtherDown()
{
    if (crossEntered[Own].exchange(true)) {
        return;  // called again before its own stop came
    }
    ++crossArrived;
    if (!WaitFor([] { return crossArrived.load() == 2; })) {
        std::_Exit(3);
    }
    const uint16_t other = Vexan_RemoveBootUpISR(kCrossSlots[1 - Own]);
    const uint16_t own = Vexan_RemoveBootUpISR(kCrossSlots[Own]);
    crossRemovals[Own] = other != VEXAN_OK ? other : own;
    ++crossRemoved;  // both boards are still open for both removals
    if (!WaitFor([] { return crossRemoved.load() == 2; })) {
        std::_Exit(3);
    }
    crossResults[Own] = Vexan_ShutdownMaster(kCrossSlots[1 - Own]);
    crossDone[Own] = true;
}

TEST(EventCallbacks, TwoBoardsWhoseCallbacksShutEachOtherDownBothReturn)
{
    const int status = vexan::test::RunInChild(
        [] {
            // The peers outlive the child's last moment: never destroyed.
            static ModulePeer* const first = std::make_unique<ModulePeer>().release();
            static ModulePeer* const second = std::make_unique<ModulePeer>().release();
            if (vexan::test::StartMaster(kCrossSlots[0], first->LibraryPort(), 1) != VEXAN_OK ||
                vexan::test::StartMaster(kCrossSlots[1], second->LibraryPort(), 2) != VEXAN_OK) {
                std::_Exit(2);
            }
            ClearEventQueues();
            Vexan_InstallBootUpISR(kCrossSlots[0], &ShutTheOtherDown<0>);
            Vexan_InstallBootUpISR(kCrossSlots[1], &ShutTheOtherDown<1>);
            // One boot-up record: both boards' event steps see the queue filled.
            vexan::EventRecord record;
            record.board = kCrossSlots[0];
            record.size = 1;
            vexan::QueueOf(EventKind::BootUp).PushEvent(record);
            // Both stops return at once; the limit is for a machine that is busy.
            if (!WaitFor([] { return crossDone[0].load() && crossDone[1].load(); })) {
                std::_Exit(4);
            }
            if (crossResults[0] != VEXAN_OK || crossResults[1] != VEXAN_OK || crossRemovals[0] != VEXAN_OK ||
                crossRemovals[1] != VEXAN_OK || vexan::LookupOpenBoard(kCrossSlots[0]) ||
                vexan::LookupOpenBoard(kCrossSlots[1])) {
                std::_Exit(5);
            }
            std::_Exit(0);
        },
        90s);  // far beyond its waits: ended only when the two wait for each other
    EXPECT_EQ(status, 0) << "-1: the two callbacks waited for each other; 3: a callback never ran; 4: a shut-down "
                            "did not return; 5: a removal or shut-down failed";
}

// ---- Readers -------------------------------------------------------------------------------

// Every output of every reader, set to sentinels before a call.
struct Outputs {
    uint8_t slot = kSentinel;
    uint8_t node = kSentinel;
    uint8_t code = kSentinel;
    uint16_t index = kSentinel16;
    uint8_t sub = kSentinel;
    uint16_t cobId = kSentinel16;
    uint8_t length = kSentinel;
    std::array<uint8_t, 9> data{kSentinel, kSentinel, kSentinel, kSentinel, kSentinel,
                                kSentinel, kSentinel, kSentinel, kSentinel};
    bool operator==(const Outputs&) const = default;
};

void PrintTo(const Outputs& o, std::ostream* out)
{
    *out << "slot " << int{o.slot} << " node " << int{o.node} << " code " << int{o.code} << " index " << o.index
         << " sub " << int{o.sub} << " cob " << o.cobId << " length " << int{o.length} << " data "
         << ::testing::PrintToString(o.data);
}

struct ReaderCase {
    const char* name;
    EventKind kind;
    std::function<uint16_t(Outputs&)> read;
};

const std::vector<ReaderCase>& Readers()
{
    static const std::vector<ReaderCase> readers{
        {"boot-up", EventKind::BootUp, [](Outputs& o) { return Vexan_GetBootUpNodeAfterAdd(&o.slot, &o.node); }},
        {"EMCY", EventKind::Emcy, [](Outputs& o) { return Vexan_GetEMCYData(&o.slot, &o.node, o.data.data()); }},
        {"NMT error", EventKind::NmtError, [](Outputs& o) { return Vexan_GetNMTError(&o.slot, &o.node, &o.code); }},
        {"read SDO", EventKind::ReadSdo,
         [](Outputs& o) { return Vexan_GetMasterReadSDOEvent(&o.slot, &o.index, &o.sub); }},
        {"write SDO", EventKind::WriteSdo,
         [](Outputs& o) { return Vexan_GetMasterWriteSDOEvent(&o.slot, &o.index, &o.sub, &o.length, o.data.data()); }},
        {"remote PDO", EventKind::RemotePdo,
         [](Outputs& o) { return Vexan_GetMasterRemotePDOEvent(&o.slot, &o.cobId); }},
        {"RxPDO", EventKind::RxPdo,
         [](Outputs& o) { return Vexan_GetMasterRxPDOEvent(&o.slot, &o.cobId, &o.length, o.data.data()); }},
    };
    return readers;
}

const ReaderCase& ReaderOf(EventKind kind)
{
    return *std::find_if(Readers().begin(), Readers().end(), [&](const ReaderCase& r) { return r.kind == kind; });
}

void Push(EventKind kind, uint8_t board, const Bytes& item)
{
    vexan::EventRecord record;
    record.board = board;
    record.size = static_cast<uint8_t>(item.size());
    std::copy(item.begin(), item.end(), record.item.begin());
    vexan::QueueOf(kind).PushEvent(record);
}

TEST_F(EventExports, ReadersOfEmptyQueuesReturnNothingToReadAndWriteNothing)
{
    for (const ReaderCase& r : Readers()) {
        Outputs outputs;
        EXPECT_EQ(r.read(outputs), VEXAN_NOTHING_TO_READ) << r.name;
        EXPECT_EQ(outputs, Outputs{}) << r.name;
    }
}

Outputs With(const std::function<void(Outputs&)>& set)
{
    Outputs o;
    set(o);
    return o;
}

struct RecordCase {
    const char* name;
    EventKind kind;
    uint8_t board;
    Bytes item;
    uint16_t result;
    Outputs expected;
};

TEST_F(EventExports, ReadersHandOutEachRecordsFieldsAndItsSlot)
{
    const std::vector<RecordCase> cases{
        {"boot-up", EventKind::BootUp, kZeroSlot, {0x05}, VEXAN_OK, With([](Outputs& o) {
             o.slot = kZeroSlot;
             o.node = 5;
         })},
        {"EMCY",
         EventKind::Emcy,
         kSlot,
         {0x06, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17},
         VEXAN_OK,
         With([](Outputs& o) {
             o.slot = kSlot;
             o.node = 6;
             o.data = {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, kSentinel};
         })},
        {"NMT error", EventKind::NmtError, kSlot, {0x07, 0x20}, VEXAN_OK, With([](Outputs& o) {
             o.slot = kSlot;
             o.node = 7;
             o.code = 0x20;
         })},
        {"read SDO", EventKind::ReadSdo, kSlot, {0x40, 0x00, 0x20, 0x01}, VEXAN_OK, With([](Outputs& o) {
             o.slot = kSlot;
             o.index = 0x2000;
             o.sub = 1;
         })},
        {"write SDO, 2 bytes",
         EventKind::WriteSdo,
         kSlot,
         {6, 0x2B, 0x00, 0x20, 0x02, 0xAA, 0xBB},
         VEXAN_OK,
         With([](Outputs& o) {
             o.slot = kSlot;
             o.index = 0x2000;
             o.sub = 2;
             o.length = 2;
             o.data[0] = 0xAA;
             o.data[1] = 0xBB;
         })},
        {"write SDO, 4 bytes",
         EventKind::WriteSdo,
         kSlot,
         {8, 0x23, 0x17, 0x10, 0x00, 1, 2, 3, 4},
         VEXAN_OK,
         With([](Outputs& o) {
             o.slot = kSlot;
             o.index = 0x1017;
             o.sub = 0;
             o.length = 4;
             std::copy_n(Bytes{1, 2, 3, 4}.begin(), 4, o.data.begin());
         })},
        {"write SDO, no data", EventKind::WriteSdo, kSlot, {4, 0x23, 0x00, 0x30, 0x05}, VEXAN_OK, With([](Outputs& o) {
             o.slot = kSlot;
             o.index = 0x3000;
             o.sub = 5;
             o.length = 0;
         })},
        // Items too short for their command byte, index and sub-index.
        {"write SDO, item of 3", EventKind::WriteSdo, kSlot, {3, 0x2F, 0x00, 0x20}, VEXAN_OUT_OF_RANGE, Outputs{}},
        {"write SDO, item of 0", EventKind::WriteSdo, kSlot, {0}, VEXAN_OUT_OF_RANGE, Outputs{}},
        {"remote PDO", EventKind::RemotePdo, kSlot, {0x81, 0x01}, VEXAN_OK, With([](Outputs& o) {
             o.slot = kSlot;
             o.cobId = 0x0181;
         })},
        {"RxPDO, 3 bytes", EventKind::RxPdo, kSlot, {0x81, 0x02, 3, 1, 2, 3}, VEXAN_OK, With([](Outputs& o) {
             o.slot = kSlot;
             o.cobId = 0x0281;
             o.length = 3;
             std::copy_n(Bytes{1, 2, 3}.begin(), 3, o.data.begin());
         })},
        {"RxPDO, 8 bytes",
         EventKind::RxPdo,
         kSlot,
         {0x81, 0x03, 8, 1, 2, 3, 4, 5, 6, 7, 8},
         VEXAN_OK,
         With([](Outputs& o) {
             o.slot = kSlot;
             o.cobId = 0x0381;
             o.length = 8;
             std::copy_n(Bytes{1, 2, 3, 4, 5, 6, 7, 8}.begin(), 8, o.data.begin());
         })},
        {"RxPDO, no data", EventKind::RxPdo, kSlot, {0x81, 0x04, 0}, VEXAN_OK, With([](Outputs& o) {
             o.slot = kSlot;
             o.cobId = 0x0481;
             o.length = 0;
         })},
        // Records of a board whose slot has been shut down: consumed, slot not written.
        {"boot-up, slot gone", EventKind::BootUp, kNoSlotBoard, {0x09}, VEXAN_NOTHING_TO_READ, With([](Outputs& o) {
             o.node = 9;
         })},
        {"RxPDO, slot gone",
         EventKind::RxPdo,
         kNoSlotBoard,
         {0x81, 0x01, 1, 0x55},
         VEXAN_NOTHING_TO_READ,
         With([](Outputs& o) {
             o.cobId = 0x0181;
             o.length = 1;
             o.data[0] = 0x55;
         })},
    };
    for (const RecordCase& c : cases) {
        SCOPED_TRACE(c.name);
        Push(c.kind, c.board, c.item);
        Outputs outputs;
        EXPECT_EQ(ReaderOf(c.kind).read(outputs), c.result);
        EXPECT_EQ(outputs, c.expected);
        EXPECT_FALSE(vexan::QueueOf(c.kind).HasRecords()) << "the record is consumed";
    }
}

TEST_F(EventExports, RecordsOfTwoBoardsAreReadOldestFirstWithTheirSlots)
{
    Push(EventKind::BootUp, kZeroSlot, {0x03});
    Push(EventKind::BootUp, kNoSlotBoard, {0x04});
    Push(EventKind::BootUp, kSlot, {0x05});
    struct Expected {
        uint16_t result;
        uint8_t slot;
        uint8_t node;
    };
    for (const Expected& e : {Expected{VEXAN_OK, kZeroSlot, 3}, Expected{VEXAN_NOTHING_TO_READ, kSentinel, 4},
                              Expected{VEXAN_OK, kSlot, 5}, Expected{VEXAN_NOTHING_TO_READ, kSentinel, kSentinel}}) {
        uint8_t slot = kSentinel;
        uint8_t node = kSentinel;
        EXPECT_EQ(Vexan_GetBootUpNodeAfterAdd(&slot, &node), e.result);
        EXPECT_EQ(slot, e.slot);
        EXPECT_EQ(node, e.node);
    }
}

// ---- Answers to other masters ------------------------------------------------------------

struct SdoAnswerCase {
    uint8_t write;
    uint8_t length;
    Bytes frame;
};

TEST_F(EventExports, SdoAnswersWriteTheirExactFrameAndReturnTheModulesStatus)
{
    const uint8_t data[] = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5};
    const std::vector<SdoAnswerCase> cases{
        {0, 1, {':', 9, kAnswerSdo, 0x4F, 0x34, 0x12, 0x07, 0xA1, 0, 0, 0}},
        {0, 2, {':', 9, kAnswerSdo, 0x4B, 0x34, 0x12, 0x07, 0xA1, 0xB2, 0, 0}},
        {0, 3, {':', 9, kAnswerSdo, 0x47, 0x34, 0x12, 0x07, 0xA1, 0xB2, 0xC3, 0}},
        {0, 4, {':', 9, kAnswerSdo, 0x43, 0x34, 0x12, 0x07, 0xA1, 0xB2, 0xC3, 0xD4}},
        {1, 0, {':', 9, kAnswerSdo, 0x60, 0x34, 0x12, 0x07, 0, 0, 0, 0}},
        {1, 2, {':', 9, kAnswerSdo, 0x60, 0x34, 0x12, 0x07, 0xA1, 0xB2, 0, 0}},
        {7, 4, {':', 9, kAnswerSdo, 0x60, 0x34, 0x12, 0x07, 0xA1, 0xB2, 0xC3, 0xD4}},
    };
    for (const SdoAnswerCase& c : cases) {
        for (const uint8_t status : {uint8_t{0}, uint8_t{0x15}}) {
            SCOPED_TRACE("write " + std::to_string(c.write) + ", length " + std::to_string(c.length) + ", status " +
                         std::to_string(status));
            peer_.ClearRecord();
            peer_.Queue(kAnswerSdo, 0, Reply{NodeStatus(kAnswerSdo, 0, status)});
            EXPECT_EQ(Vexan_ResponseMasterSDO(kSlot, c.write, 0x1234, 0x07, c.length, data), status);
            EXPECT_EQ(RawFrames(peer_), (std::vector<Bytes>{c.frame, ResultRequest(kAnswerSdo, 0)}));
        }
    }
}

TEST_F(EventExports, PdoAnswersWriteTheirExactFrameAndReturnTheModulesStatus)
{
    const uint8_t data[] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    const std::vector<std::pair<uint8_t, Bytes>> cases{
        {3, {':', 7, kAnswerPdo, 0x81, 0x02, 3, 1, 2, 3}},
        {0, {':', 4, kAnswerPdo, 0x81, 0x02, 0}},
        {8, {':', 12, kAnswerPdo, 0x81, 0x02, 8, 1, 2, 3, 4, 5, 6, 7, 8}},
    };
    for (const auto& [length, frame] : cases) {
        SCOPED_TRACE("length " + std::to_string(length));
        peer_.ClearRecord();
        peer_.Queue(kAnswerPdo, 0, Reply{NodeStatus(kAnswerPdo, 0, 0x16)});
        EXPECT_EQ(Vexan_ResponseMasterPDO(kSlot, 0x0281, length, data), 0x16);
        EXPECT_EQ(RawFrames(peer_), (std::vector<Bytes>{frame, ResultRequest(kAnswerPdo, 0)}));
    }
}

TEST_F(EventExports, AnswersTheFramesCannotHoldAreRefusedBeforeAnythingIsSent)
{
    const uint8_t data[16] = {};
    struct Refusal {
        const char* name;
        std::function<uint16_t()> call;
        uint16_t result;
    };
    const std::vector<Refusal> cases{
        {"read answer of 0 bytes", [&] { return Vexan_ResponseMasterSDO(kSlot, 0, 0x2000, 0, 0, data); },
         VEXAN_UNSUPPORTED_SIZE},
        {"read answer of 5 bytes", [&] { return Vexan_ResponseMasterSDO(kSlot, 0, 0x2000, 0, 5, data); },
         VEXAN_UNSUPPORTED_SIZE},
        {"read answer of 255 bytes", [&] { return Vexan_ResponseMasterSDO(kSlot, 0, 0x2000, 0, 255, data); },
         VEXAN_UNSUPPORTED_SIZE},
        {"write answer of 5 bytes", [&] { return Vexan_ResponseMasterSDO(kSlot, 1, 0x2000, 0, 5, data); },
         VEXAN_OUT_OF_RANGE},
        {"read answer without data", [&] { return Vexan_ResponseMasterSDO(kSlot, 0, 0x2000, 0, 2, nullptr); },
         VEXAN_OUT_OF_RANGE},
        {"PDO answer of 9 bytes", [&] { return Vexan_ResponseMasterPDO(kSlot, 0x181, 9, data); }, VEXAN_OUT_OF_RANGE},
        {"PDO answer without data", [&] { return Vexan_ResponseMasterPDO(kSlot, 0x181, 1, nullptr); },
         VEXAN_OUT_OF_RANGE},
        {"closed slot before the size", [&] { return Vexan_ResponseMasterSDO(kClosedSlot, 0, 0x2000, 0, 0, data); },
         VEXAN_NOT_OPEN},
        {"PDO on a closed slot", [&] { return Vexan_ResponseMasterPDO(kClosedSlot, 0x181, 1, data); }, VEXAN_NOT_OPEN},
    };
    peer_.ClearRecord();
    for (const Refusal& c : cases) {
        EXPECT_EQ(c.call(), c.result) << c.name;
    }
    EXPECT_FALSE(vexan::IsPending(kSlot, kAnswerSdo, 0));
    EXPECT_FALSE(vexan::IsPending(kSlot, kAnswerPdo, 0));
    std::this_thread::sleep_for(150ms);
    EXPECT_TRUE(RawFrames(peer_).empty());
}

TEST_F(EventExports, AnswerWaitsThroughABusyStatus)
{
    const uint8_t data[] = {9};
    peer_.Queue(kAnswerPdo, 0, Reply{NodeStatus(kAnswerPdo, 0, VEXAN_WAITING)});
    peer_.Queue(kAnswerPdo, 0, Reply{NodeStatus(kAnswerPdo, 0, 0), {}, 5, 50});
    EXPECT_EQ(Vexan_ResponseMasterPDO(kSlot, 0x0181, 1, data), VEXAN_OK);
    EXPECT_EQ(peer_.CountResultRequests(kAnswerPdo, 0), 2u);
}

// ---- Answering from inside the callback, and from another thread ------------------------

std::atomic<bool> answered{false};
std::atomic<uint16_t> readResult{0xFFFF};
std::atomic<uint16_t> answerResult{0xFFFF};
std::atomic<uint16_t> askedIndex{0};
std::atomic<bool> readAsked{false};

// Reads one SDO read request and answers it with the 4 bytes 0x0A0B0C0D.
void AnswerOneRead()
{
    uint8_t slot = kSentinel;
    uint16_t index = 0;
    uint8_t sub = 0;
    readResult = Vexan_GetMasterReadSDOEvent(&slot, &index, &sub);
    if (readResult != VEXAN_OK) {
        return;
    }
    askedIndex = index;
    const uint8_t value[] = {0x0D, 0x0C, 0x0B, 0x0A};
    answerResult = Vexan_ResponseMasterSDO(slot, 0, index, sub, 4, value);
    answered = true;
}

void NoteReadAsked()
{
    readAsked = true;
}

TEST_F(EventExports, ReadRequestIsAnsweredFromInsideItsCallbackAndFromAnotherThread)
{
    const vexan::test::PatientFrames patient;
    for (const bool inCallback : {true, false}) {
        SCOPED_TRACE(inCallback ? "inside the callback" : "from another thread");
        answered = false;
        readAsked = false;
        readResult = 0xFFFF;
        answerResult = 0xFFFF;
        peer_.ClearRecord();
        ASSERT_EQ(Vexan_InstallReadSDOISR(kSlot, inCallback ? &AnswerOneRead : &NoteReadAsked), VEXAN_OK);
        // The status reply comes in pieces over several reads, 2 ms apart.
        peer_.Queue(kAnswerSdo, 0, Reply{NodeStatus(kAnswerSdo, 0, 0), {1, 3, 5}, 2});
        peer_.QueueEvent(Reply{vexan::test::EventReply(0x08, {0x40, 0x00, 0x20, 0x03})});
        if (!inCallback) {
            ASSERT_TRUE(WaitFor([] { return readAsked.load(); }));
            AnswerOneRead();
        }
        ASSERT_TRUE(WaitFor([] { return answered.load(); }));
        EXPECT_EQ(readResult, VEXAN_OK);
        EXPECT_EQ(answerResult, VEXAN_OK);
        EXPECT_EQ(askedIndex, 0x2000);
        EXPECT_EQ(RawFrames(peer_),
                  (std::vector<Bytes>{{':', 9, kAnswerSdo, 0x43, 0x00, 0x20, 0x03, 0x0D, 0x0C, 0x0B, 0x0A},
                                      ResultRequest(kAnswerSdo, 0)}));
        ASSERT_EQ(Vexan_RemoveReadSDOISR(kSlot), VEXAN_OK);
    }
}

}  // namespace
