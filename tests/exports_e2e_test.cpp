// The SDO, PDO, SYNC and EMCY exports end to end against the module simulator:
// real objects of a simulated node, a 1 MiB upload through its spill file, PDO
// configuration and exchange, SYNC and EMCY COB-IDs and a node's emergency.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/request.hpp"
#include "exports_fixture.hpp"
#include "link/frame.hpp"
#include "link/protocol.hpp"
#include "start.hpp"
#include "test_wait.hpp"
#include "vexan.h"
#include "vexan_sim/simulator.hpp"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kSlot = 2;
constexpr uint8_t kNode = 5;
constexpr uint16_t kTxPdo = 0x180 + kNode;  // inputs 0x6000:1..4
constexpr uint16_t kRxPdo = 0x200 + kNode;  // outputs 0x6200:1..4
constexpr uint32_t kLargeDomain = 1U << 20;

// The simulator's domain objects hold (i * 7 + 3) at byte i.
uint8_t DomainByte(std::size_t i)
{
    return static_cast<uint8_t>((i * 7 + 3) & 0xFF);
}

class ExportsE2E : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(scratch_.Ok());
        sim_ = std::make_unique<vexsim::Simulator>();
        sim_->AddDefaultNode(kNode);
        sim_->Start();
        fd_ = sim_->OpenLibraryEnd();
        ASSERT_NE(fd_, vexsim::kNoLinePort);
        ASSERT_EQ(vexan::test::StartMaster(kSlot, fd_, 1), VEXAN_OK);
        Vexan_SetFunctionTimeout(kSlot, vexan::test::kGenerousTimeoutMs);
    }
    void TearDown() override
    {
        Vexan_ShutdownMaster(kSlot);
        vexsim::CloseLinePort(fd_);
        sim_.reset();
    }

    // Starts the node (NMT start) through the module's NMT command.
    void StartNode()
    {
        vexan::FrameWriter frame(vexan::Command::NmtChangeState);
        frame.U8(kNode).U8(1);
        vexan::Reply reply;
        ASSERT_EQ(vexan::RunRequest(kSlot, vexan::Request(frame, kNode, true), reply), VEXAN_OK);
    }

    vexan::test::ScratchDirectory scratch_;
    std::unique_ptr<vexsim::Simulator> sim_;
    vexsim::LinePort fd_ = vexsim::kNoLinePort;
};

TEST_F(ExportsE2E, WritesAndReadsRealObjects)
{
    const Bytes value{0x78, 0x56, 0x34, 0x12};
    uint16_t replyLength = 0xFFFF;
    std::array<uint8_t, VEXAN_SDO_WRITE_REPLY_BUFFER> replyData{};
    ASSERT_EQ(Vexan_SDOWriteData(kSlot, kNode, 0x2000, 3, 4, value.data(), &replyLength, replyData.data(), 1),
              VEXAN_OK);
    EXPECT_EQ(replyLength, 0);
    EXPECT_EQ(sim_->ReadObject(kNode, 0x2000, 3), value);

    uint32_t length = 0;
    std::array<uint8_t, VEXAN_SDO_READ_BUFFER> data{};
    ASSERT_EQ(Vexan_SDOReadData(kSlot, kNode, 0x2000, 3, &length, data.data(), 1), VEXAN_OK);
    EXPECT_EQ(Bytes(data.begin(), data.begin() + length), value);

    ASSERT_EQ(Vexan_SDOReadData(kSlot, kNode, 0x2100, 0, &length, data.data(), 1), VEXAN_OK);
    EXPECT_EQ(length, 5000u) << "5000 bytes go to the spill file";

    ASSERT_EQ(Vexan_SDOReadData(kSlot, kNode, 0x7777, 0, &length, data.data(), 1), VEXAN_SDO_ABORTED);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(Bytes(data.begin(), data.begin() + 4), (Bytes{0x00, 0x00, 0x02, 0x06}));

    const Bytes tooShort{0x01};
    EXPECT_EQ(Vexan_SDOWriteData(kSlot, kNode, 0x2000, 3, 1, tooShort.data(), &replyLength, replyData.data(), 1),
              VEXAN_SDO_ABORTED);
    EXPECT_EQ(Bytes(replyData.begin(), replyData.begin() + 4), (Bytes{0x10, 0x00, 0x07, 0x06}));
}

TEST_F(ExportsE2E, UploadsOneMebibyteToItsSpillFileAndReadsItBackInRanges)
{
    Vexan_SetFunctionTimeout(kSlot, 300'000);
    uint32_t length = 0;
    std::array<uint8_t, VEXAN_SDO_READ_BUFFER> data{};
    ASSERT_EQ(Vexan_SDOReadData(kSlot, kNode, 0x2101, 0, &length, data.data(), 1), VEXAN_OK);
    ASSERT_EQ(length, kLargeDomain);
    EXPECT_EQ(scratch_.Files(), std::vector<std::string>{"2_5_2101_00.seg"});

    constexpr uint32_t kRange = 65'536 + 17;  // ranges that do not line up with the chunks
    std::vector<uint8_t> buffer(kRange);
    uint32_t offset = 0;
    std::size_t mismatches = 0;
    while (offset < kLargeDomain) {
        uint32_t bytesRead = 0;
        ASSERT_EQ(Vexan_SDOReadFile(kSlot, kNode, 0x2101, 0, offset, kRange, &bytesRead, buffer.data()), VEXAN_OK);
        ASSERT_EQ(bytesRead, std::min(kRange, kLargeDomain - offset));
        for (uint32_t i = 0; i < bytesRead; ++i) {
            mismatches += buffer[i] != DomainByte(offset + i) ? 1 : 0;
        }
        offset += bytesRead;
    }
    EXPECT_EQ(mismatches, 0u);
    uint32_t bytesRead = 0;
    EXPECT_EQ(Vexan_SDOReadFile(kSlot, kNode, 0x2101, 0, kLargeDomain, 1, &bytesRead, buffer.data()),
              VEXAN_UPLOAD_OVERRUN);
}

TEST_F(ExportsE2E, ConfiguresPdosAndExchangesTheirData)
{
    uint8_t count = 0;
    std::array<uint16_t, VEXAN_PDO_MAX_IDS> ids{};
    // The node's first PDOs, mapped to its inputs and outputs.
    const std::array<uint32_t, 4> inputs{0x60000108, 0x60000208, 0x60000308, 0x60000408};
    const std::array<uint32_t, 4> outputs{0x62000108, 0x62000208, 0x62000308, 0x62000408};
    ASSERT_EQ(Vexan_InstallPDO_List(kSlot, kNode, kRxPdo, 0, 1, 255, 0, 4, outputs.data(), 1), VEXAN_OK);
    ASSERT_EQ(Vexan_InstallPDO_List(kSlot, kNode, kTxPdo, 1, 1, 1, 0, 4, inputs.data(), 1), VEXAN_OK);
    ASSERT_EQ(Vexan_GetTxPDOID(kSlot, kNode, &count, ids.data(), 1), VEXAN_OK);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(ids[0], kTxPdo);
    ASSERT_EQ(Vexan_GetRxPDOID(kSlot, kNode, &count, ids.data(), 1), VEXAN_OK);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(ids[0], kRxPdo);

    uint16_t field1 = 0;
    uint8_t field2 = 0;
    uint8_t field3 = 0;
    uint16_t field4 = 0;
    uint8_t entries = 0;
    std::array<uint32_t, VEXAN_PDO_MAX_ENTRIES> map{};
    ASSERT_EQ(Vexan_GetPDOMapInfo(kSlot, kTxPdo, &field1, &field2, &field3, &field4, &entries, map.data(), 1),
              VEXAN_OK);
    EXPECT_EQ(entries, 4);
    EXPECT_EQ(map[3], inputs[3]);
    EXPECT_EQ(Vexan_PDOEventTimer(kSlot, kTxPdo, 0, 1), VEXAN_OK);
    EXPECT_EQ(Vexan_PDOInhibitTime(kSlot, kTxPdo, 0, 1), VEXAN_OK);

    ASSERT_NO_FATAL_FAILURE(StartNode());
    // Master to node: the outputs change.
    const Bytes out{0x11, 0x22, 0x33, 0x44};
    ASSERT_EQ(Vexan_PDOWrite(kSlot, kRxPdo, 0, 4, out.data(), 1), VEXAN_OK);
    EXPECT_EQ(sim_->ReadObject(kNode, 0x6200, 2), Bytes{0x22});

    // Node to master: the inputs, sent on SYNC and cached by the module.
    const uint16_t syncId = 0x80;
    ASSERT_EQ(Vexan_SendSYNCMsg(kSlot, syncId, 0, 0, 1), VEXAN_OK);
    uint8_t flag = 0xEE;
    uint8_t length = 0xEE;
    std::array<uint8_t, VEXAN_PDO_MAX_DATA> data{};
    ASSERT_TRUE(vexan::test::WaitFor(
        [&] { return Vexan_GetPDOLastData(kSlot, kTxPdo, &flag, &length, data.data(), 1) == VEXAN_OK; }));
    EXPECT_EQ(length, 4);
    EXPECT_EQ(flag, 0);

    std::array<uint8_t, VEXAN_PDO_MAX_DATA> remote{};
    ASSERT_EQ(Vexan_PDORemote(kSlot, kTxPdo, &length, remote.data(), 1), VEXAN_OK);
    EXPECT_EQ(length, 4);
    const std::array<uint16_t, 1> cobs{kTxPdo};
    uint8_t flags = 0;
    uint8_t lengths = 0;
    std::array<uint8_t, VEXAN_PDO_MAX_DATA> multi{};
    ASSERT_EQ(Vexan_GetMultiPDOData(kSlot, 1, cobs.data(), &flags, &lengths, multi.data(), 1), VEXAN_OK);
    EXPECT_EQ(lengths, 4);
    EXPECT_EQ(flags, 0) << "the remote request cached fresh data";
    EXPECT_EQ(multi, remote);
}

TEST_F(ExportsE2E, SetsAndReadsSyncAndEmcyCobIds)
{
    ASSERT_EQ(Vexan_ChangeSYNCID(kSlot, kNode, 0x81, 1), VEXAN_OK);
    ASSERT_EQ(Vexan_SetEMCY_List(kSlot, kNode, 0xA5, 1), VEXAN_OK);
    uint16_t sync = 0;
    uint16_t emcy = 0;
    ASSERT_EQ(Vexan_GetSYNCID(kSlot, kNode, &sync, 1), VEXAN_OK);
    ASSERT_EQ(Vexan_GetEMCYID(kSlot, kNode, &emcy, 1), VEXAN_OK);
    EXPECT_EQ(sync, 0x81);
    EXPECT_EQ(emcy, 0xA5);

    ASSERT_EQ(Vexan_SendSYNCMsg(kSlot, 0x81, 100, 7, 1), VEXAN_OK);
    std::array<uint16_t, 5> cobIds{};
    std::array<uint16_t, 5> values16{};
    std::array<uint32_t, 5> values32{};
    ASSERT_EQ(Vexan_GetCyclicSYNCInfo(kSlot, cobIds.data(), values16.data(), values32.data(), 1), VEXAN_OK);
    EXPECT_EQ(cobIds[0], 0x81);
    EXPECT_EQ(values16[0], 100);
    EXPECT_EQ(values32[0], 7u);
    EXPECT_EQ(Vexan_SendSYNCMsg(kSlot, 0x81, 0, 0, 1), VEXAN_OK);  // ends the cycle
}

TEST_F(ExportsE2E, CatchesANodesEmergency)
{
    uint8_t flag = 0xEE;
    std::array<uint8_t, VEXAN_EMCY_DATA> data{};
    EXPECT_EQ(Vexan_ReadLastEMCY(kSlot, kNode, &flag, data.data(), 1), VEXAN_NOTHING_TO_READ);
    EXPECT_EQ(flag, 0xEE);
    const std::array<uint8_t, 8> message{0x10, 0x81, 0x11, 1, 2, 3, 4, 5};
    sim_->InjectEmcy(kNode, message);
    ASSERT_TRUE(
        vexan::test::WaitFor([&] { return Vexan_ReadLastEMCY(kSlot, kNode, &flag, data.data(), 1) == VEXAN_OK; }));
    EXPECT_EQ(data, message);
}

}  // namespace
