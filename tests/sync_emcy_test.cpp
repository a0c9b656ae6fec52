// SYNC and EMCY exports against a scripted module: frames, the reading of
// their replies, and outputs left untouched on errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "events/events.hpp"
#include "exports_fixture.hpp"
#include "link/protocol.hpp"
#include "vexan.h"

namespace {

namespace vt = vexan::test;
using vexan::CodeOf;
using vexan::Command;
using vt::Bytes;
using vt::kExportSlot;
using vt::ResultRequest;

constexpr uint8_t kNode = 9;
constexpr uint8_t kSentinel = 0xEE;

using SyncEmcyTest = vt::ExportTest;

struct SetIdCase {
    std::string name;
    Command command;
    uint16_t (*call)(uint8_t, uint8_t, uint16_t, uint8_t);
};

const std::array kSetIdCases{
    SetIdCase{"ChangeSYNCID", Command::ChangeSyncId, Vexan_ChangeSYNCID},
    SetIdCase{"ChangeEMCYID", Command::ChangeEmcyId, Vexan_ChangeEMCYID},
    SetIdCase{"SetSYNCList", Command::SetSyncList, Vexan_SetSYNC_List},
    SetIdCase{"SetEMCYList", Command::SetEmcyList, Vexan_SetEMCY_List},
};

class SetCobId : public SyncEmcyTest, public ::testing::WithParamInterface<SetIdCase> {};

TEST_P(SetCobId, SendsNodeAndCobIdAndReturnsTheStatus)
{
    const uint8_t code = CodeOf(GetParam().command);
    peer_.Queue(code, kNode, vt::Reply{vt::NodeStatus(code, kNode, 0x18)});
    EXPECT_EQ(GetParam().call(kExportSlot, kNode, 0x0089, 1), 0x18);
    EXPECT_EQ(Wire(2), (std::vector<Bytes>{{':', 4, code, kNode, 0x89, 0x00}, ResultRequest(code, kNode)}));
    EXPECT_EQ(GetParam().call(kExportSlot, kNode, 2047, 1), VEXAN_OUT_OF_RANGE);
    EXPECT_EQ(GetParam().call(kExportSlot, 128, 0x80, 1), VEXAN_OUT_OF_RANGE);
    EXPECT_EQ(GetParam().call(0, kNode, 0x80, 1), VEXAN_NOT_OPEN);
    EXPECT_EQ(Wire().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Cases, SetCobId, ::testing::ValuesIn(kSetIdCases),
                         [](const ::testing::TestParamInfo<SetIdCase>& param) { return param.param.name; });

struct GetIdCase {
    std::string name;
    Command command;
    uint16_t (*call)(uint8_t, uint8_t, uint16_t*, uint8_t);
    Bytes reply;  // reply data, or empty for a status reply
    uint16_t result;
    uint16_t cobId;
};

const std::array kGetIdCases{
    GetIdCase{"SYNC", Command::GetSyncId, Vexan_GetSYNCID, {0x80, 0x00}, VEXAN_OK, 0x0080},
    GetIdCase{"EMCY", Command::GetEmcyId, Vexan_GetEMCYID, {0x89, 0x00}, VEXAN_OK, 0x0089},
    GetIdCase{"EMCYError", Command::GetEmcyId, Vexan_GetEMCYID, {}, 0x12, 0xEEEE},
    GetIdCase{"SYNCShort", Command::GetSyncId, Vexan_GetSYNCID, {0x80}, VEXAN_OUT_OF_RANGE, 0xEEEE},
};

class GetCobId : public SyncEmcyTest, public ::testing::WithParamInterface<GetIdCase> {};

TEST_P(GetCobId, StoresTheCobIdOnlyOnSuccess)
{
    const GetIdCase& c = GetParam();
    const uint8_t code = CodeOf(c.command);
    peer_.Queue(code, kNode,
                vt::Reply{c.reply.empty() ? vt::NodeStatus(code, kNode, 0x12) : vt::NodeData(code, kNode, c.reply)});
    uint16_t cobId = 0xEEEE;
    EXPECT_EQ(c.call(kExportSlot, kNode, &cobId, 1), c.result);
    EXPECT_EQ(cobId, c.cobId);
    EXPECT_EQ(Wire(2), (std::vector<Bytes>{{':', 2, code, kNode}, ResultRequest(code, kNode)}));
}

INSTANTIATE_TEST_SUITE_P(Cases, GetCobId, ::testing::ValuesIn(kGetIdCases),
                         [](const ::testing::TestParamInfo<GetIdCase>& param) { return param.param.name; });

// ---- Last emergency ---------------------------------------------------------------------

void NoCallback() {}

struct EmcyCase {
    std::string name;
    Bytes reply;  // reply data, or empty for a status reply
    bool callback;
    uint16_t result;
    uint8_t flag;
    Bytes data;
};

const Bytes kEmcyMessage{0x10, 0x81, 0x11, 0x01, 0x02, 0x03, 0x04, 0x05};

std::vector<EmcyCase> EmcyCases()
{
    Bytes recorded{0x01};
    recorded.insert(recorded.end(), kEmcyMessage.begin(), kEmcyMessage.end());
    Bytes tooLong = recorded;
    tooLong.push_back(0x99);
    return {
        {"Recorded", recorded, false, VEXAN_OK, 0x01, kEmcyMessage},
        {"RecordedWithCallbackReportsFlagZero", recorded, true, VEXAN_OK, 0x00, kEmcyMessage},
        {"NoneRecorded", {0xFF}, false, VEXAN_NOTHING_TO_READ, kSentinel, {}},
        {"NoneRecordedWithCallback", {0xFF}, true, VEXAN_NOTHING_TO_READ, kSentinel, {}},
        {"ModuleStatus", {}, false, 0x12, kSentinel, {}},
        {"LongerThanAMessage", tooLong, false, VEXAN_OUT_OF_RANGE, kSentinel, {}},
    };
}

class LastEmcy : public SyncEmcyTest, public ::testing::WithParamInterface<EmcyCase> {
protected:
    void TearDown() override
    {
        vexan::CallbackOf(vexan::CallbackKind::Emcy, kExportSlot).store(nullptr);
        SyncEmcyTest::TearDown();
    }
};

TEST_P(LastEmcy, ReportsTheRecordedMessage)
{
    const EmcyCase& c = GetParam();
    constexpr uint8_t code = CodeOf(Command::ReadLastEmcy);
    if (c.callback) {
        vexan::CallbackOf(vexan::CallbackKind::Emcy, kExportSlot).store(&NoCallback);
    }
    peer_.Queue(code, kNode,
                vt::Reply{c.reply.empty() ? vt::NodeStatus(code, kNode, 0x12) : vt::NodeData(code, kNode, c.reply)});
    uint8_t flag = kSentinel;
    std::array<uint8_t, 12> data{};
    data.fill(kSentinel);
    EXPECT_EQ(Vexan_ReadLastEMCY(kExportSlot, kNode, &flag, data.data(), 1), c.result);
    EXPECT_EQ(flag, c.flag);
    EXPECT_TRUE(std::equal(c.data.begin(), c.data.end(), data.begin()));
    EXPECT_TRUE(std::all_of(data.begin() + static_cast<std::ptrdiff_t>(c.data.size()), data.end(),
                            [](uint8_t b) { return b == kSentinel; }));
    EXPECT_EQ(Wire(2), (std::vector<Bytes>{{':', 2, code, kNode}, ResultRequest(code, kNode)}));
}

INSTANTIATE_TEST_SUITE_P(Cases, LastEmcy, ::testing::ValuesIn(EmcyCases()),
                         [](const ::testing::TestParamInfo<EmcyCase>& param) { return param.param.name; });

// ---- Cyclic SYNC ------------------------------------------------------------------------

struct CyclicOutputs {
    std::array<uint16_t, 5> cobIds{};
    std::array<uint16_t, 5> values16{};
    std::array<uint32_t, 5> values32{};
    CyclicOutputs()
    {
        cobIds.fill(0xEEEE);
        values16.fill(0xEEEE);
        values32.fill(0xEEEEEEEE);
    }
    uint16_t Read(uint8_t blocking = 1)
    {
        return Vexan_GetCyclicSYNCInfo(kExportSlot, cobIds.data(), values16.data(), values32.data(), blocking);
    }
};

TEST_F(SyncEmcyTest, CyclicSyncInfoFillsTheFiveEntriesInOrder)
{
    constexpr uint8_t code = CodeOf(Command::GetCyclicSyncInfo);
    Bytes reply;
    for (uint8_t i = 0; i < 5; ++i) {
        const Bytes entry{static_cast<uint8_t>(0x80 + i), 0x00, static_cast<uint8_t>(10 * i), 0x00, i, 0x00, 0x00,
                          static_cast<uint8_t>(0x10 + i)};
        reply.insert(reply.end(), entry.begin(), entry.end());
    }
    peer_.Queue(code, 0, vt::Reply{vt::NodeData(code, 0, reply)});
    CyclicOutputs out;
    ASSERT_EQ(out.Read(), VEXAN_OK);
    for (uint32_t i = 0; i < 5; ++i) {
        EXPECT_EQ(out.cobIds[i], 0x80 + i);
        EXPECT_EQ(out.values16[i], 10 * i);
        EXPECT_EQ(out.values32[i], ((0x10 + i) << 24) | i);
    }
    EXPECT_EQ(Wire(2), (std::vector<Bytes>{{':', 1, code}, ResultRequest(code, 0)}));
}

TEST_F(SyncEmcyTest, CyclicSyncInfoReadsNoneAfterAnErrorAndNothingFromAShortReply)
{
    constexpr uint8_t code = CodeOf(Command::GetCyclicSyncInfo);
    peer_.Queue(code, 0, vt::Reply{vt::NodeStatus(code, 0, 0x18)});
    peer_.Queue(code, 0, vt::Reply{vt::NodeData(code, 0, Bytes(39, 0x11))});
    CyclicOutputs errored;
    EXPECT_EQ(errored.Read(), 0x18);
    EXPECT_EQ(errored.cobIds, (std::array<uint16_t, 5>{}));
    EXPECT_EQ(errored.values16, (std::array<uint16_t, 5>{}));
    EXPECT_EQ(errored.values32, (std::array<uint32_t, 5>{}));
    CyclicOutputs shortReply;
    EXPECT_EQ(shortReply.Read(), VEXAN_OUT_OF_RANGE);
    EXPECT_EQ(shortReply.cobIds[0], 0xEEEE);
    EXPECT_EQ(shortReply.values32[4], 0xEEEEEEEE);
    // The library's own codes leave the outputs as they were.
    peer_.Queue(code, 0, Never());
    CyclicOutputs pending;
    EXPECT_EQ(pending.Read(0), VEXAN_SENT);
    EXPECT_EQ(pending.cobIds[0], 0xEEEE);
}

TEST_F(SyncEmcyTest, SendSyncMessageSendsItsValues)
{
    constexpr uint8_t code = CodeOf(Command::SendSyncMessage);
    peer_.Queue(code, 0x80, vt::Reply{vt::PdoStatus(code, 0x80, 0)});
    EXPECT_EQ(Vexan_SendSYNCMsg(kExportSlot, 0x80, 10, 0, 1), VEXAN_OK);
    EXPECT_EQ(Wire(2), (std::vector<Bytes>{{':', 9, code, 0x80, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00},
                                           vt::PdoResultRequest(code, 0x80)}));
    EXPECT_EQ(Vexan_SendSYNCMsg(kExportSlot, 2047, 10, 0, 1), VEXAN_OUT_OF_RANGE);
    EXPECT_EQ(Vexan_SendSYNCMsg(0, 0x80, 10, 0, 1), VEXAN_NOT_OPEN);
    EXPECT_EQ(Wire().size(), 2u);
}

}  // namespace
