// PDO exports against a scripted module: the exact frames of every command,
// the reading of their replies, the outputs left untouched on errors, and the
// refusals before anything is sent.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/request.hpp"
#include "exports_fixture.hpp"
#include "link/protocol.hpp"
#include "vexan.h"

namespace {

namespace vt = vexan::test;
using vexan::CodeOf;
using vexan::Command;
using vt::Bytes;
using vt::kExportSlot;
using vt::PdoResultRequest;
using vt::ResultRequest;

constexpr uint8_t kNode = 6;
constexpr uint16_t kCob = 0x201;
constexpr uint8_t kCobLo = 0x01;
constexpr uint8_t kCobHi = 0x02;
constexpr uint8_t kSentinel = 0xEE;

uint8_t Code(Command command)
{
    return CodeOf(command);
}

using PdoTest = vt::ExportTest;

// ---- Frames of the status commands ------------------------------------------------------

struct StatusCase {
    std::string name;
    Command command;
    bool nodeLevel;  // node-level record (key: the node) or PDO-level (key: the COB-ID)
    uint16_t key;
    std::function<uint16_t(uint8_t blocking)> call;
    Bytes frame;
};

const std::array<uint32_t, 8> kEntries{0x60000108, 0x60000208, 0x60010110, 0x60010210,
                                       0x60020120, 0x60020220, 0x60030108, 0x60030208};

std::vector<StatusCase> StatusCases()
{
    return {
        {"PDOWrite",
         Command::PdoWrite,
         false,
         kCob,
         [](uint8_t b) {
             const Bytes data{0xA1, 0xA2, 0xA3};
             return Vexan_PDOWrite(kExportSlot, kCob, 0x09, 3, data.data(), b);
         },
         {':', 9, 48, kCobLo, kCobHi, 0x09, 3, 0xA1, 0xA2, 0xA3, 0}},
        {"PDOWriteEmpty",
         Command::PdoWrite,
         false,
         kCob,
         [](uint8_t b) { return Vexan_PDOWrite(kExportSlot, kCob, 0x09, 0, nullptr, b); },
         {':', 6, 48, kCobLo, kCobHi, 0x09, 0, 0}},
        {"SetPDORemotePollingEmpty",
         Command::SetPdoRemotePolling,
         true,
         0,
         [](uint8_t b) { return Vexan_SetPDORemotePolling(kExportSlot, 0, nullptr, 0x0102, b); },
         {':', 4, 35, 0, 0x02, 0x01}},
        {"SetPDORemotePolling",
         Command::SetPdoRemotePolling,
         true,
         0,
         [](uint8_t b) {
             const std::array<uint16_t, 2> list{0x181, 0x282};
             return Vexan_SetPDORemotePolling(kExportSlot, 2, list.data(), 100, b);
         },
         {':', 8, 35, 2, 0x81, 0x01, 0x82, 0x02, 100, 0}},
        {"InstallPDO",
         Command::InstallPdo,
         true,
         kNode,
         [](uint8_t b) { return Vexan_InstallPDO(kExportSlot, kNode, kCob, 0, 0x0102, b); },
         {':', 7, 19, kNode, kCobLo, kCobHi, 0, 0x02, 0x01}},
        {"RemovePDO",
         Command::RemovePdo,
         true,
         kNode,
         [](uint8_t b) { return Vexan_RemovePDO(kExportSlot, kNode, kCob, 1, b); },
         {':', 5, 20, kNode, kCobLo, kCobHi, 1}},
        {"InstallPDOListNoEntries",
         Command::InstallPdoList,
         true,
         kNode,
         [](uint8_t b) { return Vexan_InstallPDO_List(kExportSlot, kNode, kCob, 1, 2, 254, 0x0300, 0, nullptr, b); },
         {':', 11, 28, kNode, kCobLo, kCobHi, 1, 2, 0, 254, 0x00, 0x03, 0}},
        {"InstallPDOListEightEntries", Command::InstallPdoList, true, kNode,
         [](uint8_t b) { return Vexan_InstallPDO_List(kExportSlot, kNode, kCob, 0, 1, 1, 0, 8, kEntries.data(), b); },
         [] {
             Bytes frame{':', 43, 28, kNode, kCobLo, kCobHi, 0, 1, 0, 1, 0, 0, 8};
             for (const uint32_t entry : kEntries) {
                 for (int shift = 0; shift < 32; shift += 8) {
                     frame.push_back(static_cast<uint8_t>(entry >> shift));
                 }
             }
             return frame;
         }()},
        {"RemovePDOList",
         Command::RemovePdoList,
         true,
         kNode,
         [](uint8_t b) { return Vexan_RemovePDO_List(kExportSlot, kNode, kCob, 0, b); },
         {':', 5, 29, kNode, kCobLo, kCobHi, 0}},
        {"ChangePDOIDKeyedByTheNewId",
         Command::ChangePdoId,
         false,
         0x305,
         [](uint8_t b) { return Vexan_ChangePDOID(kExportSlot, kCob, 0x305, b); },
         {':', 5, 50, kCobLo, kCobHi, 0x05, 0x03}},
        {"DynamicPDO",
         Command::DynamicPdo,
         false,
         kCob,
         [](uint8_t b) { return Vexan_DynamicPDO(kExportSlot, kNode, kCob, 1, 2, 0x60000108, b); },
         {':', 10, 51, kNode, kCobLo, kCobHi, 1, 2, 0x08, 0x01, 0x00, 0x60}},
        {"PDOUseEntry",
         Command::PdoUseEntry,
         false,
         kCob,
         [](uint8_t b) { return Vexan_PDOUseEntry(kExportSlot, kCob, 3, b); },
         {':', 4, 52, kCobLo, kCobHi, 3}},
        {"PDOTxType",
         Command::PdoTxType,
         false,
         kCob,
         [](uint8_t b) { return Vexan_PDOTxType(kExportSlot, kCob, 255, b); },
         {':', 4, 53, kCobLo, kCobHi, 255}},
        {"PDOEventTimer",
         Command::PdoEventTimer,
         false,
         kCob,
         [](uint8_t b) { return Vexan_PDOEventTimer(kExportSlot, kCob, 0x1234, b); },
         {':', 5, 54, kCobLo, kCobHi, 0x34, 0x12}},
        {"PDOInhibitTime",
         Command::PdoInhibitTime,
         false,
         kCob,
         [](uint8_t b) { return Vexan_PDOInhibitTime(kExportSlot, kCob, 0x0A0B, b); },
         {':', 5, 58, kCobLo, kCobHi, 0x0B, 0x0A}},
    };
}

class PdoStatusCommand : public PdoTest, public ::testing::WithParamInterface<StatusCase> {
protected:
    void QueueStatus(const StatusCase& c, uint8_t status, vt::Reply reply = {})
    {
        reply.bytes = c.nodeLevel ? vt::NodeStatus(Code(c.command), static_cast<uint8_t>(c.key), status)
                                  : vt::PdoStatus(Code(c.command), c.key, status);
        peer_.Queue(Code(c.command), c.key, reply);
    }
    static Bytes Asked(const StatusCase& c)
    {
        return c.nodeLevel ? ResultRequest(Code(c.command), static_cast<uint8_t>(c.key))
                           : PdoResultRequest(Code(c.command), c.key);
    }
};

TEST_P(PdoStatusCommand, SendsItsFrameAndReturnsTheModuleStatus)
{
    const StatusCase& c = GetParam();
    QueueStatus(c, 0x18);
    EXPECT_EQ(c.call(1), 0x18);
    EXPECT_EQ(Wire(2), (std::vector<Bytes>{c.frame, Asked(c)}));
}

// A second non-blocking call collects the first request: it sends nothing and
// its own arguments are never sent.
TEST_P(PdoStatusCommand, SecondNonBlockingCallCollectsTheFirst)
{
    const StatusCase& c = GetParam();
    QueueStatus(c, 0, vt::Reply{{}, {}, 5, 300});
    ASSERT_EQ(c.call(0), VEXAN_SENT);
    EXPECT_EQ(c.call(0), VEXAN_WAITING);
    EXPECT_EQ(vt::RepeatWhileWaiting([&] { return c.call(0); }).first, VEXAN_OK);
    EXPECT_EQ(peer_.CountFrames(Code(c.command)), 1u);
}

INSTANTIATE_TEST_SUITE_P(Cases, PdoStatusCommand, ::testing::ValuesIn(StatusCases()),
                         [](const ::testing::TestParamInfo<StatusCase>& param) { return param.param.name; });

TEST_F(PdoTest, SecondTxTypeWithAnotherValueSendsNothingAndGetsTheFirstStatus)
{
    peer_.Queue(53, kCob, vt::Reply{vt::PdoStatus(53, kCob, 0x14), {}, 5, 300});
    ASSERT_EQ(Vexan_PDOTxType(kExportSlot, kCob, 1, 0), VEXAN_SENT);
    const auto [result, waits] = vt::RepeatWhileWaiting([] { return Vexan_PDOTxType(kExportSlot, kCob, 200, 0); });
    EXPECT_EQ(result, 0x14);
    EXPECT_GE(waits, 1);
    EXPECT_EQ(Wire(2), (std::vector<Bytes>{{':', 4, 53, kCobLo, kCobHi, 1}, PdoResultRequest(53, kCob)}));
}

TEST_F(PdoTest, PendingTxTypeDoesNotHoldUpTheEventTimer)
{
    peer_.Queue(53, kCob, Never());
    peer_.Queue(54, kCob, vt::Reply{vt::PdoStatus(54, kCob, 0)});
    ASSERT_EQ(Vexan_PDOTxType(kExportSlot, kCob, 1, 0), VEXAN_SENT);
    EXPECT_EQ(Vexan_PDOEventTimer(kExportSlot, kCob, 100, 1), VEXAN_OK);
}

// ---- Fast forms -------------------------------------------------------------------------

TEST_F(PdoTest, FastFormsSendOneFrameAndReturnWithoutAnswer)
{
    const Bytes data{1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(Vexan_PDOWrite_Fast(kExportSlot, kCob, 0x07, 8, data.data()), VEXAN_OK);
    EXPECT_EQ(Vexan_PDORemote_Fast(kExportSlot, 0x181), VEXAN_OK);
    const std::vector<Bytes> wire{{':', 14, 48, kCobLo, kCobHi, 0x07, 8, 1, 2, 3, 4, 5, 6, 7, 8, 1},
                                  {':', 4, 49, 0x81, 0x01, 1}};
    EXPECT_EQ(Wire(2), wire);
    EXPECT_FALSE(vexan::IsPending(kExportSlot, 48, kCob));
    EXPECT_FALSE(vexan::IsPending(kExportSlot, 49, 0x181));
}

// ---- Replies with data ------------------------------------------------------------------

struct RemoteCase {
    std::string name;
    Bytes reply;
    uint16_t result;
    Bytes data;  // written on success
};

const std::array kRemoteCases{
    RemoteCase{"Data", vt::PdoData(49, kCob, {1, 2, 3}), VEXAN_OK, {1, 2, 3}},
    RemoteCase{"EightBytes", vt::PdoData(49, kCob, {1, 2, 3, 4, 5, 6, 7, 8}), VEXAN_OK, {1, 2, 3, 4, 5, 6, 7, 8}},
    RemoteCase{"MoreThanAPdoHolds", vt::PdoData(49, kCob, Bytes(9, 0x42)), VEXAN_OUT_OF_RANGE, {}},
    RemoteCase{"ModuleStatus", vt::PdoStatus(49, kCob, 0x17), 0x17, {}},
};

class PdoRemote : public PdoTest, public ::testing::WithParamInterface<RemoteCase> {};

TEST_P(PdoRemote, HandsOutTheNodesData)
{
    const RemoteCase& c = GetParam();
    peer_.Queue(49, kCob, vt::Reply{c.reply});
    uint8_t length = kSentinel;
    std::array<uint8_t, 16> data{};
    data.fill(kSentinel);
    EXPECT_EQ(Vexan_PDORemote(kExportSlot, kCob, &length, data.data(), 1), c.result);
    if (c.result == VEXAN_OK) {
        EXPECT_EQ(length, c.data.size());
        EXPECT_TRUE(std::equal(c.data.begin(), c.data.end(), data.begin()));
    } else {
        EXPECT_EQ(length, kSentinel);
    }
    EXPECT_EQ(data[c.data.size()], kSentinel);
    EXPECT_EQ(Wire(2), (std::vector<Bytes>{{':', 4, 49, kCobLo, kCobHi, 0}, PdoResultRequest(49, kCob)}));
}

INSTANTIATE_TEST_SUITE_P(Cases, PdoRemote, ::testing::ValuesIn(kRemoteCases),
                         [](const ::testing::TestParamInfo<RemoteCase>& param) { return param.param.name; });

struct LastDataCase {
    std::string name;
    Bytes reply;
    uint16_t result;
    uint8_t flag;
    Bytes data;
};

const std::array kLastDataCases{
    LastDataCase{"Cached", vt::PdoData(56, kCob, {0x00, 0x11, 0x22}), VEXAN_OK, 0x00, {0x11, 0x22}},
    LastDataCase{"CachedReadBefore",
                 vt::PdoData(56, kCob, {0x01, 1, 2, 3, 4, 5, 6, 7, 8}),
                 VEXAN_OK,
                 0x01,
                 {1, 2, 3, 4, 5, 6, 7, 8}},
    LastDataCase{"NothingReceived", vt::PdoData(56, kCob, {0xFF}), VEXAN_NOTHING_TO_READ, 0, {}},
    LastDataCase{"WithoutItsFlag", vt::PdoData(56, kCob, {}), VEXAN_OUT_OF_RANGE, 0, {}},
    LastDataCase{"MoreThanAPdoHolds", vt::PdoData(56, kCob, Bytes(10, 0)), VEXAN_OUT_OF_RANGE, 0, {}},
    LastDataCase{"ModuleStatus", vt::PdoStatus(56, kCob, 0x14), 0x14, 0, {}},
};

class PdoLastData : public PdoTest, public ::testing::WithParamInterface<LastDataCase> {};

TEST_P(PdoLastData, HandsOutTheCacheOrLeavesTheOutputs)
{
    const LastDataCase& c = GetParam();
    peer_.Queue(56, kCob, vt::Reply{c.reply});
    uint8_t flag = kSentinel;
    uint8_t length = kSentinel;
    std::array<uint8_t, 16> data{};
    data.fill(kSentinel);
    EXPECT_EQ(Vexan_GetPDOLastData(kExportSlot, kCob, &flag, &length, data.data(), 1), c.result);
    if (c.result == VEXAN_OK) {
        EXPECT_EQ(flag, c.flag);
        EXPECT_EQ(length, c.data.size());
        EXPECT_TRUE(std::equal(c.data.begin(), c.data.end(), data.begin()));
    } else {
        EXPECT_EQ(flag, kSentinel);
        EXPECT_EQ(length, kSentinel);
    }
    EXPECT_EQ(data[c.data.size()], kSentinel);
    EXPECT_EQ(Wire(2), (std::vector<Bytes>{{':', 3, 56, kCobLo, kCobHi}, PdoResultRequest(56, kCob)}));
}

INSTANTIATE_TEST_SUITE_P(Cases, PdoLastData, ::testing::ValuesIn(kLastDataCases),
                         [](const ::testing::TestParamInfo<LastDataCase>& param) { return param.param.name; });

TEST_F(PdoTest, MultiPdoDataSplitsTheReplyInRequestOrder)
{
    peer_.Queue(36, 0, vt::Reply{vt::NodeData(36, 0, {2, 0xF1, 0xF2, 2, 4, 0xA1, 0xA2, 0xB1, 0xB2, 0xB3, 0xB4})});
    const std::array<uint16_t, 2> cobs{0x181, 0x182};
    std::array<uint8_t, 3> flags{kSentinel, kSentinel, kSentinel};
    std::array<uint8_t, 3> lengths{kSentinel, kSentinel, kSentinel};
    std::array<uint8_t, 17> data{};
    data.fill(kSentinel);
    ASSERT_EQ(Vexan_GetMultiPDOData(kExportSlot, 2, cobs.data(), flags.data(), lengths.data(), data.data(), 1),
              VEXAN_OK);
    EXPECT_EQ(flags, (std::array<uint8_t, 3>{0xF1, 0xF2, kSentinel}));
    EXPECT_EQ(lengths, (std::array<uint8_t, 3>{2, 4, kSentinel}));
    EXPECT_EQ(Bytes(data.begin(), data.begin() + 7), (Bytes{0xA1, 0xA2, 0xB1, 0xB2, 0xB3, 0xB4, kSentinel}));
    EXPECT_EQ(Wire(2), (std::vector<Bytes>{{':', 6, 36, 2, 0x81, 0x01, 0x82, 0x01}, ResultRequest(36, 0)}));
}

TEST_F(PdoTest, MultiPdoDataCapsItsCountAt25)
{
    Bytes reply{25};
    for (uint8_t i = 0; i < 25; ++i) {
        reply.push_back(i);  // flags
    }
    reply.insert(reply.end(), 25, 1);  // one byte each
    for (uint8_t i = 0; i < 25; ++i) {
        reply.push_back(static_cast<uint8_t>(0x80 + i));
    }
    peer_.Queue(36, 0, vt::Reply{vt::NodeData(36, 0, reply)});
    std::array<uint16_t, 30> cobs{};
    for (std::size_t i = 0; i < cobs.size(); ++i) {
        cobs[i] = static_cast<uint16_t>(0x181 + i);
    }
    std::array<uint8_t, 30> flags{};
    std::array<uint8_t, 30> lengths{};
    std::array<uint8_t, 240> data{};
    flags.fill(kSentinel);
    lengths.fill(kSentinel);
    data.fill(kSentinel);
    ASSERT_EQ(Vexan_GetMultiPDOData(kExportSlot, 30, cobs.data(), flags.data(), lengths.data(), data.data(), 1),
              VEXAN_OK);
    const auto wire = Wire(1);
    ASSERT_FALSE(wire.empty());
    EXPECT_EQ(wire[0].size(), 54u);
    EXPECT_EQ(wire[0][1], 52);
    EXPECT_EQ(wire[0][3], 25);
    EXPECT_EQ(wire[0][52], 0x99);  // the 25th COB-ID, 0x199, is the last one sent
    EXPECT_EQ(flags[24], 24);
    EXPECT_EQ(flags[25], kSentinel);
    EXPECT_EQ(lengths[24], 1);
    EXPECT_EQ(lengths[25], kSentinel);
    EXPECT_EQ(data[24], 0x80 + 24);
    EXPECT_EQ(data[25], kSentinel);
}

struct MultiRefusalCase {
    std::string name;
    Bytes reply;
};

const std::array kMultiRefusalCases{
    MultiRefusalCase{"ShorterThanItsFlagsAndLengths", {2, 0xF1, 0xF2, 2}},
    MultiRefusalCase{"MorePdosThanAsked", {3, 0, 0, 0, 1, 1, 1, 5, 6, 7}},
    MultiRefusalCase{"MoreDataThanThePdosHold",
                     [] {
                         Bytes reply{2, 0, 0, 8, 8};
                         reply.insert(reply.end(), 17, 0x33);
                         return reply;
                     }()},
};

class MultiPdoRefusal : public PdoTest, public ::testing::WithParamInterface<MultiRefusalCase> {};

TEST_P(MultiPdoRefusal, WritesNothing)
{
    peer_.Queue(36, 0, vt::Reply{vt::NodeData(36, 0, GetParam().reply)});
    const std::array<uint16_t, 2> cobs{0x181, 0x182};
    std::array<uint8_t, 2> flags{kSentinel, kSentinel};
    std::array<uint8_t, 2> lengths{kSentinel, kSentinel};
    std::array<uint8_t, 16> data{};
    data.fill(kSentinel);
    EXPECT_EQ(Vexan_GetMultiPDOData(kExportSlot, 2, cobs.data(), flags.data(), lengths.data(), data.data(), 1),
              VEXAN_OUT_OF_RANGE);
    EXPECT_EQ(flags, (std::array<uint8_t, 2>{kSentinel, kSentinel}));
    EXPECT_EQ(lengths, (std::array<uint8_t, 2>{kSentinel, kSentinel}));
    EXPECT_TRUE(std::all_of(data.begin(), data.end(), [](uint8_t b) { return b == kSentinel; }));
}

INSTANTIATE_TEST_SUITE_P(Cases, MultiPdoRefusal, ::testing::ValuesIn(kMultiRefusalCases),
                         [](const ::testing::TestParamInfo<MultiRefusalCase>& param) { return param.param.name; });

// ---- Configuration queries --------------------------------------------------------------

TEST_F(PdoTest, TxPdoIdsListsEveryCobIdAndCountsZeroAfterAnError)
{
    peer_.Queue(22, kNode, vt::Reply{vt::NodeData(22, kNode, {0x81, 0x01, 0x81, 0x02, 0x81, 0x03})});
    peer_.Queue(22, kNode, vt::Reply{vt::NodeStatus(22, kNode, 0x12)});
    uint8_t count = kSentinel;
    std::array<uint16_t, 4> cobs{0xEEEE, 0xEEEE, 0xEEEE, 0xEEEE};
    ASSERT_EQ(Vexan_GetTxPDOID(kExportSlot, kNode, &count, cobs.data(), 1), VEXAN_OK);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(cobs, (std::array<uint16_t, 4>{0x181, 0x281, 0x381, 0xEEEE}));
    cobs.fill(0xEEEE);
    EXPECT_EQ(Vexan_GetTxPDOID(kExportSlot, kNode, &count, cobs.data(), 1), 0x12);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(cobs, (std::array<uint16_t, 4>{0xEEEE, 0xEEEE, 0xEEEE, 0xEEEE}));
    const Bytes asked{':', 2, 22, kNode};
    EXPECT_EQ(Wire(4), (std::vector<Bytes>{asked, ResultRequest(22, kNode), asked, ResultRequest(22, kNode)}));
}

struct MapInfoCase {
    std::string name;
    Bytes reply;
    uint16_t result;
};

const std::array kMapInfoCases{
    MapInfoCase{"ModuleStatus", vt::PdoStatus(55, kCob, 0x14), 0x14},
    MapInfoCase{"WithoutItsEntryCount", vt::PdoData(55, kCob, {1, 0, 1, 2, 0, 0}), VEXAN_OUT_OF_RANGE},
    MapInfoCase{"FewerEntriesThanCounted", vt::PdoData(55, kCob, {1, 0, 1, 2, 0, 0, 2, 8, 1, 0, 0x60}),
                VEXAN_OUT_OF_RANGE},
    MapInfoCase{"MoreThanEightEntries",
                vt::PdoData(55, kCob,
                            [] {
                                Bytes map{1, 0, 1, 2, 0, 0, 9};
                                map.insert(map.end(), 36, 0x11);
                                return map;
                            }()),
                VEXAN_OUT_OF_RANGE},
};

class PdoMapInfo : public PdoTest, public ::testing::WithParamInterface<MapInfoCase> {};

TEST_P(PdoMapInfo, ErrorsLeaveAllSixOutputs)
{
    peer_.Queue(55, kCob, vt::Reply{GetParam().reply});
    uint16_t field1 = 0xEEEE;
    uint8_t field2 = kSentinel;
    uint8_t field3 = kSentinel;
    uint16_t field4 = 0xEEEE;
    uint8_t count = kSentinel;
    std::array<uint32_t, 8> entries{};
    entries.fill(0xEEEEEEEE);
    EXPECT_EQ(Vexan_GetPDOMapInfo(kExportSlot, kCob, &field1, &field2, &field3, &field4, &count, entries.data(), 1),
              GetParam().result);
    EXPECT_EQ(field1, 0xEEEE);
    EXPECT_EQ(field2, kSentinel);
    EXPECT_EQ(field3, kSentinel);
    EXPECT_EQ(field4, 0xEEEE);
    EXPECT_EQ(count, kSentinel);
    EXPECT_TRUE(std::all_of(entries.begin(), entries.end(), [](uint32_t e) { return e == 0xEEEEEEEE; }));
}

INSTANTIATE_TEST_SUITE_P(Cases, PdoMapInfo, ::testing::ValuesIn(kMapInfoCases),
                         [](const ::testing::TestParamInfo<MapInfoCase>& param) { return param.param.name; });

TEST_F(PdoTest, MapInfoCopiesEveryField)
{
    peer_.Queue(
        55, kCob,
        vt::Reply{vt::PdoData(
            55, kCob, {0x02, 0x01, 0x01, 0xFE, 0x34, 0x12, 2, 0x08, 0x01, 0x00, 0x60, 0x10, 0x02, 0x00, 0x60})});
    uint16_t field1 = 0;
    uint8_t field2 = 0;
    uint8_t field3 = 0;
    uint16_t field4 = 0;
    uint8_t count = 0;
    std::array<uint32_t, 8> entries{};
    entries.fill(0xEEEEEEEE);
    ASSERT_EQ(Vexan_GetPDOMapInfo(kExportSlot, kCob, &field1, &field2, &field3, &field4, &count, entries.data(), 1),
              VEXAN_OK);
    EXPECT_EQ(field1, 0x0102);
    EXPECT_EQ(field2, 0x01);
    EXPECT_EQ(field3, 0xFE);
    EXPECT_EQ(field4, 0x1234);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(entries[0], 0x60000108u);
    EXPECT_EQ(entries[1], 0x60000210u);
    EXPECT_EQ(entries[2], 0xEEEEEEEEu);
    EXPECT_EQ(Wire(2), (std::vector<Bytes>{{':', 3, 55, kCobLo, kCobHi}, PdoResultRequest(55, kCob)}));
}

// ---- Refusals ---------------------------------------------------------------------------

TEST_F(PdoTest, RefusesWhatNoFrameOrRecordHoldsBeforeSendingAnything)
{
    const Bytes nine(9, 1);
    const std::array<uint16_t, 126> list{};
    const std::array<uint32_t, 9> entries{};
    uint8_t count = 0;
    std::array<uint16_t, 126> ids{};
    const std::vector<std::function<uint16_t(uint8_t slot)>> calls{
        [&](uint8_t s) { return Vexan_PDOWrite(s, kCob, 0, 9, nine.data(), 1); },
        [&](uint8_t s) { return Vexan_PDOWrite(s, 2047, 0, 1, nine.data(), 1); },
        [&](uint8_t s) { return Vexan_PDOWrite_Fast(s, kCob, 0, 9, nine.data()); },
        [&](uint8_t s) { return Vexan_PDOWrite_Fast(s, 0xFFFF, 0, 1, nine.data()); },
        [&](uint8_t s) { return Vexan_PDORemote_Fast(s, 2047); },
        [&](uint8_t s) { return Vexan_PDORemote(s, 2047, &count, nullptr, 1); },
        [&](uint8_t s) { return Vexan_SetPDORemotePolling(s, 126, list.data(), 0, 1); },
        [&](uint8_t s) { return Vexan_GetPDOLastData(s, 2047, nullptr, nullptr, nullptr, 1); },
        [&](uint8_t s) { return Vexan_InstallPDO(s, 128, kCob, 0, 1, 1); },
        [&](uint8_t s) { return Vexan_InstallPDO(s, kNode, 2047, 0, 1, 1); },
        [&](uint8_t s) { return Vexan_RemovePDO(s, kNode, 2047, 0, 1); },
        [&](uint8_t s) { return Vexan_GetRxPDOID(s, 128, &count, ids.data(), 1); },
        [&](uint8_t s) { return Vexan_InstallPDO_List(s, kNode, kCob, 0, 1, 1, 0, 9, entries.data(), 1); },
        [&](uint8_t s) { return Vexan_InstallPDO_List(s, kNode, 2047, 0, 1, 1, 0, 0, nullptr, 1); },
        [&](uint8_t s) { return Vexan_RemovePDO_List(s, 255, kCob, 0, 1); },
        [&](uint8_t s) { return Vexan_ChangePDOID(s, 2047, kCob, 1); },
        [&](uint8_t s) { return Vexan_ChangePDOID(s, kCob, 2047, 1); },
        [&](uint8_t s) { return Vexan_DynamicPDO(s, 128, kCob, 1, 1, 0, 1); },
        [&](uint8_t s) { return Vexan_DynamicPDO(s, kNode, 2047, 1, 1, 0, 1); },
        [&](uint8_t s) { return Vexan_PDOTxType(s, 0x800, 1, 1); },
        [&](uint8_t s) { return Vexan_PDOInhibitTime(s, 0x800, 1, 1); },
    };
    for (std::size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i](kExportSlot), VEXAN_OUT_OF_RANGE) << "call " << i;
        EXPECT_EQ(calls[i](0), VEXAN_NOT_OPEN) << "call " << i << " on a slot without a board";
    }
    EXPECT_TRUE(SendsNothing());
    EXPECT_EQ(ids[0], 0);
}

}  // namespace
