// The simulator driven over its real line with hand-built frames:
// exact bytes in, exact bytes out.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "library_end.hpp"
#include "vexan_sim/control.hpp"
#include "vexan_sim/simulator.hpp"

namespace {

using namespace vexsim::test;

Bytes Concat(Bytes a, const Bytes& b)
{
    for (uint8_t x : b)
        a.push_back(x);
    return a;
}

uint8_t Lo(unsigned v)
{
    return static_cast<uint8_t>(v);
}
uint8_t Hi(unsigned v)
{
    return static_cast<uint8_t>(v >> 8);
}

Bytes PdoRequest(uint8_t command, uint16_t cob)
{
    return Frame(0x60, {command, static_cast<uint8_t>(cob), static_cast<uint8_t>(cob >> 8)});
}

class SimulatorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim_.AddDefaultNode(5, true, false);
        sim_.Start();
        line_ = std::make_unique<LibraryEnd>(sim_.OpenLibraryEnd());
    }

    void StartMaster(uint8_t id = 1)
    {
        line_->Send({'$', '0', '0', 'M', 0});
        ASSERT_EQ(line_->Receive(9), Bytes({'!', '0', '0', 'V', 'e', 'x', 'a', 'n', 'W'}));
        ASSERT_EQ(line_->Exchange(Frame(2, {id, 0}), NodeRequest(2, id)), Bytes({0x3A, 4, 0x82, id, 0, 0}));
    }

    vexsim::Simulator sim_;
    std::unique_ptr<LibraryEnd> line_;
};

TEST_F(SimulatorTest, IdentifiesAndStartsTheMaster)
{
    StartMaster(3);
    // Firmware version, low byte first, keyed by the master's node id.
    EXPECT_EQ(line_->Exchange(Frame(5), NodeRequest(5, 3)), Bytes({0x3A, 5, 0x05, 3, 0, 0x02, 0x01}));
    EXPECT_TRUE(sim_.WaitForTrace("<- 0x02 StartMaster master=3", kWait));
}

TEST_F(SimulatorTest, AnswersOnlyResultRequestsForCommandsItReceived)
{
    StartMaster();
    // Nothing held for NMT state of node 5: no answer at all.
    line_->Send(NodeRequest(15, 5));
    EXPECT_TRUE(line_->Quiet());
    // After the command, the result comes once; asking again gets nothing.
    EXPECT_EQ(line_->Exchange(Frame(15, {5}), NodeRequest(15, 5)), Bytes({0x3A, 4, 0x0F, 5, 0, 127}));
    line_->Send(NodeRequest(15, 5));
    EXPECT_TRUE(line_->Quiet());
    // A result request for another key does not collect it.
    line_->Send(Frame(15, {5}));
    line_->Send(NodeRequest(15, 6));
    EXPECT_TRUE(line_->Quiet());
    line_->Send(NodeRequest(15, 5));
    EXPECT_EQ(line_->ReceiveFrame(), Bytes({0x3A, 4, 0x0F, 5, 0, 127}));
}

TEST_F(SimulatorTest, BusyThenFinalAndChosenFailure)
{
    StartMaster(1);
    sim_.SetBusy(7, 1, 2);
    line_->Send(Frame(6, {9}));
    line_->Send(NodeRequest(6, 1));
    EXPECT_EQ(line_->ReceiveFrame(), Bytes({0x3A, 4, 0x86, 1, 0, 0}));
    line_->Send(Frame(7));
    for (int i = 0; i < 2; ++i) {
        line_->Send(NodeRequest(7, 1));
        EXPECT_EQ(line_->ReceiveFrame(), Bytes({0x3A, 4, 0x87, 1, 0, 40})) << "busy answer " << i;
    }
    line_->Send(NodeRequest(7, 1));
    EXPECT_EQ(line_->ReceiveFrame(), Bytes({0x3A, 4, 0x07, 1, 0, 9}));

    // A failure on a PDO-class command comes in the PDO status layout, once.
    sim_.SetFailure(57, 0x80, 0x33);
    const Bytes sync = Frame(57, {0x80, 0x00, 0x0A, 0x00, 0, 0, 0, 0});
    EXPECT_EQ(line_->Exchange(sync, PdoRequest(57, 0x80)), Bytes({0x3A, 5, 0xB9, 0x80, 0x00, 0, 0x33}));
    EXPECT_EQ(line_->Exchange(sync, PdoRequest(57, 0x80)), Bytes({0x3A, 5, 0xB9, 0x80, 0x00, 0, 0}));
}

TEST_F(SimulatorTest, RefusesMalformedAndEarlyCommands)
{
    line_->Send(Frame(15, {5}));  // master not started yet
    line_->Send(NodeRequest(15, 5));
    EXPECT_EQ(line_->ReceiveFrame(), Bytes({0x3A, 4, 0x8F, 5, 0, 17}));
    StartMaster();
    line_->Send(Frame(15, {5, 0}));  // one byte too many
    line_->Send(NodeRequest(15, 5));
    EXPECT_EQ(line_->ReceiveFrame(), Bytes({0x3A, 4, 0x8F, 5, 0, 19}));
    // An SDO write whose length field disagrees with the frame.
    line_->Send(Frame(17, {5, 0x00, 0x20, 1, 2, 0, 0xAA}));
    line_->Send(NodeRequest(17, 5));
    EXPECT_EQ(line_->ReceiveFrame(), Bytes({0x3A, 4, 0x91, 5, 0, 19}));
    // The start of a frame that never ends is dropped after a gap; the next frame counts.
    line_->Send({0x3A, 0x05, 0x10});
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(line_->Exchange(Frame(15, {5}), NodeRequest(15, 5)), Bytes({0x3A, 4, 0x0F, 5, 0, 127}));
}

TEST_F(SimulatorTest, ExpeditedSdoAndAborts)
{
    StartMaster();
    const auto vendor = static_cast<uint32_t>(
        *sim_.WithModule([](vexsim::Module& m) { return m.FindNode(5)->dictionary.ReadUnsigned(0x1018, 1); }));
    auto read = [&](uint16_t index, uint8_t sub) {
        return line_->Exchange(Frame(16, {5, Lo(index), Hi(index), sub}), NodeRequest(16, 5));
    };
    auto write = [&](uint16_t index, uint8_t sub, const Bytes& data) {
        Bytes payload{5, Lo(index), Hi(index), sub, Lo(static_cast<unsigned>(data.size())), 0};
        return line_->Exchange(Frame(17, Concat(payload, data)), NodeRequest(17, 5));
    };
    auto abort = [](uint8_t command, uint16_t index, uint8_t sub, uint32_t code) {
        return Bytes{0x3A,
                     11,
                     command,
                     5,
                     0,
                     0x80,
                     Lo(index),
                     Hi(index),
                     sub,
                     Lo(code),
                     Hi(code),
                     static_cast<uint8_t>(code >> 16),
                     static_cast<uint8_t>(code >> 24)};
    };
    EXPECT_EQ(read(0x1018, 1), Bytes({0x3A, 11, 0x10, 5, 0, 0x43, 0x18, 0x10, 1, Lo(vendor), Hi(vendor),
                                      static_cast<uint8_t>(vendor >> 16), static_cast<uint8_t>(vendor >> 24)}));
    EXPECT_EQ(write(0x2000, 2, {0x34, 0x12}), Bytes({0x3A, 7, 0x11, 5, 0, 0x60, 0x00, 0x20, 2}));
    EXPECT_EQ(read(0x2000, 2), Bytes({0x3A, 9, 0x10, 5, 0, 0x4B, 0x00, 0x20, 2, 0x34, 0x12}));
    EXPECT_EQ(read(0x2000, 1), Bytes({0x3A, 8, 0x10, 5, 0, 0x4F, 0x00, 0x20, 1, 0x00}));

    EXPECT_EQ(read(0x3000, 0), abort(0x10, 0x3000, 0, 0x06020000));
    EXPECT_EQ(read(0x1018, 9), abort(0x10, 0x1018, 9, 0x06090011));
    EXPECT_EQ(write(0x1000, 0, {1, 2, 3, 4}), abort(0x11, 0x1000, 0, 0x06010002));
    EXPECT_EQ(write(0x2000, 2, {1}), abort(0x11, 0x2000, 2, 0x06070010));
    sim_.SetNodeSilent(5, true);
    EXPECT_EQ(read(0x1018, 1), abort(0x10, 0x1018, 1, 0x05040000));
}

// Drives a whole segmented upload of `object` from node 5, checking every frame.
void ExpectSegmentedUpload(const LibraryEnd& line, uint16_t index, const Bytes& object, std::size_t chunk)
{
    const auto size = static_cast<uint32_t>(object.size());
    const Bytes header{Lo(index),
                       Hi(index),
                       0,
                       Lo(size),
                       Hi(size),
                       static_cast<uint8_t>(size >> 16),
                       static_cast<uint8_t>(size >> 24)};
    line.Send(Frame(16, {5, Lo(index), Hi(index), 0}));
    std::size_t sent = 0;
    for (bool first = true; sent < object.size(); first = false) {
        if (!first) {
            // Before the next-segment request no chunk is ready: status 40.
            line.Send(NodeRequest(16, 5));
            ASSERT_EQ(line.ReceiveFrame(), Bytes({0x3A, 4, 0x90, 5, 0, 40}));
            line.Send(Frame(34, {5}));
        }
        line.Send(NodeRequest(16, 5));
        const std::size_t n = std::min(chunk, object.size() - sent);
        Bytes expected{0x3A, static_cast<uint8_t>(11 + n), 0x10, 5, 0, static_cast<uint8_t>(first ? 0x41 : 0x00)};
        expected = Concat(expected, header);
        expected.insert(expected.end(), object.begin() + static_cast<std::ptrdiff_t>(sent),
                        object.begin() + static_cast<std::ptrdiff_t>(sent + n));
        ASSERT_EQ(line.ReceiveFrame(), expected) << "segment at " << sent;
        sent += n;
    }
    // Every chunk is delivered exactly once: the upload is over.
    line.Send(NodeRequest(16, 5));
    EXPECT_TRUE(line.Quiet());
}

TEST_F(SimulatorTest, SegmentedUploads)
{
    StartMaster();
    vexsim::ObjectEntry small;
    small.index = 0x2200;
    small.type = vexsim::DataType::Domain;
    for (unsigned i = 0; i < 100; ++i)
        small.value.push_back(static_cast<uint8_t>(i + 1));
    sim_.PutObject(5, small);
    const Bytes big = *sim_.ReadObject(5, 0x2100, 0);
    ASSERT_EQ(big.size(), 5000u);

    struct Case {
        uint16_t index;
        Bytes object;
        std::size_t chunk;
    };
    for (const Case& c : {Case{0x2200, small.value, 40}, Case{0x2100, big, 244}, Case{0x2100, big, 128}}) {
        SCOPED_TRACE(testing::Message() << "object " << c.object.size() << " chunk " << c.chunk);
        sim_.SetSdoChunk(c.chunk);
        ExpectSegmentedUpload(*line_, c.index, c.object, c.chunk);
    }
}

TEST_F(SimulatorTest, AbortEndsAnOpenUploadAndExtraBytesFaultOverrunsTheSize)
{
    StartMaster();
    sim_.SetSdoChunk(200);
    line_->Send(Frame(16, {5, 0x00, 0x21, 0}));
    line_->Send(NodeRequest(16, 5));
    ASSERT_EQ(line_->ReceiveFrame().size(), 2u + 11u + 200u);
    EXPECT_EQ(line_->Exchange(Frame(18, {5, 0x00, 0x21, 0, 0x00, 0x00, 0x04, 0x05}), NodeRequest(18, 5)),
              Bytes({0x3A, 4, 0x92, 5, 0, 0}));
    line_->Send(NodeRequest(16, 5));
    EXPECT_EQ(line_->ReceiveFrame(), Bytes({0x3A, 11, 0x10, 5, 0, 0x80, 0x00, 0x21, 0, 0x00, 0x00, 0x04, 0x05}));

    // The last segment of the next upload carries 3 bytes beyond the size.
    sim_.SetSdoChunk(244);
    sim_.SendExtraSegmentBytes(3);
    vexsim::ObjectEntry obj;
    obj.index = 0x2201;
    obj.type = vexsim::DataType::Domain;
    obj.value.assign(10, 0x55);
    sim_.PutObject(5, obj);
    line_->Send(Frame(16, {5, 0x01, 0x22, 0}));
    line_->Send(NodeRequest(16, 5));
    const Bytes frame = line_->ReceiveFrame();
    ASSERT_EQ(frame.size(), 2u + 11u + 13u);
    EXPECT_EQ(frame[1], 24);
    EXPECT_EQ(frame[9], 10);  // size still announced as 10
}

TEST_F(SimulatorTest, EventReplyCarriesOneItemPerKindInBitOrder)
{
    StartMaster();
    // Queued out of bit order, two boot-ups.
    sim_.InjectRxPdo(0x181, {0xA1, 0xA2});
    sim_.InjectBootup(5);
    sim_.InjectMasterSdoWrite(0x2000, 1, {0x77, 0x88});
    sim_.InjectEmcy(5, {0x00, 0x10, 1, 2, 3, 4, 5, 6});
    sim_.InjectBootup(6);
    sim_.InjectNmtError(7, 0x31);
    sim_.InjectMasterSdoRead(0x2001, 2);
    sim_.InjectRemotePdo(0x281);
    line_->Send(Frame(64));
    const Bytes items{5,                                              // boot-up
                      5,    0x00, 0x10, 1,    2,   3,    4,    5, 6,  // EMCY
                      7,    0x31,                                     // NMT error
                      0x40, 0x01, 0x20, 2,                            // read SDO
                      6,    0x2B, 0x00, 0x20, 1,   0x77, 0x88,        // write SDO: L, cs, index, sub, data
                      0x81, 0x02,                                     // remote PDO
                      0x81, 0x01, 2,    0xA1, 0xA2};                  // RxPDO
    EXPECT_EQ(line_->ReceiveFrame(),
              Concat(Bytes{0x3A, static_cast<uint8_t>(4 + items.size()), 0x40, 1, 0, 0x7F}, items));
    line_->Send(Frame(64));
    EXPECT_EQ(line_->ReceiveFrame(), Bytes({0x3A, 5, 0x40, 0, 0, 0x40, 6}));
    line_->Send(Frame(64));
    EXPECT_EQ(line_->ReceiveFrame(), Bytes({0x3A, 4, 0x40, 0, 0, 0}));

    // The application's answers: status 0 for open requests, 21 for anything else.
    const Bytes readAnswer = Frame(65, {0x4B, 0x01, 0x20, 2, 0x11, 0x22, 0, 0});
    EXPECT_EQ(line_->Exchange(readAnswer, Frame(0x60, {65, 0})), Bytes({0x3A, 4, 0xC1, 0, 0, 0}));
    EXPECT_EQ(line_->Exchange(readAnswer, Frame(0x60, {65, 0})), Bytes({0x3A, 4, 0xC1, 0, 0, 21}));
    EXPECT_EQ(line_->Exchange(Frame(66, {0x81, 0x02, 1, 0x99}), Frame(0x60, {66, 0})), Bytes({0x3A, 4, 0xC2, 0, 0, 0}));
}

TEST_F(SimulatorTest, PdosMoveDataBetweenTheMasterAndAnOperationalNode)
{
    StartMaster();
    sim_.WithModule([](vexsim::Module& m) { m.FindNode(5)->dictionary.WriteUnsigned(0x6000, 1, 0x5A); });
    // RxPDO 0x205 -> 0x6200 sub 1; TxPDO 0x185 <- 0x6000 sub 1; 8 bits each.
    auto install = [&](uint16_t cob, uint8_t dir, uint32_t map) {
        Bytes payload{5, Lo(cob), Hi(cob), dir, 1, 0, 255, 0, 0, 1, Lo(map), Hi(map), Lo(map >> 16), Hi(map >> 16)};
        return line_->Exchange(Frame(28, payload), NodeRequest(28, 5));
    };
    EXPECT_EQ(install(0x205, 0, 0x62000108), Bytes({0x3A, 4, 0x9C, 5, 0, 0}));
    EXPECT_EQ(install(0x185, 1, 0x60000108), Bytes({0x3A, 4, 0x9C, 5, 0, 0}));
    EXPECT_EQ(install(0x185, 0, 0x62000108), Bytes({0x3A, 4, 0x9C, 5, 0, 24}));  // COB-ID taken
    EXPECT_EQ(line_->Exchange(Frame(22, {5}), NodeRequest(22, 5)), Bytes({0x3A, 5, 0x16, 5, 0, 0x85, 0x01}));

    const Bytes write = Frame(48, {0x05, 0x02, 0, 1, 0xC3, 0});
    const Bytes remote = Frame(49, {0x85, 0x01, 0});
    const Bytes last = Frame(56, {0x85, 0x01});
    // Pre-operational: the write is accepted but not taken in; no answer to a remote request.
    EXPECT_EQ(line_->Exchange(write, PdoRequest(48, 0x205)), Bytes({0x3A, 5, 0xB0, 0x05, 0x02, 0, 0}));
    EXPECT_EQ(*sim_.ReadObject(5, 0x6200, 1), Bytes{0});
    EXPECT_EQ(line_->Exchange(remote, PdoRequest(49, 0x185)), Bytes({0x3A, 5, 0xB1, 0x85, 0x01, 0, 23}));
    EXPECT_EQ(line_->Exchange(last, PdoRequest(56, 0x185)), Bytes({0x3A, 5, 0x38, 0x85, 0x01, 0, 255}));

    EXPECT_EQ(line_->Exchange(Frame(14, {5, 1}), NodeRequest(14, 5)), Bytes({0x3A, 4, 0x8E, 5, 0, 0}));
    EXPECT_EQ(line_->Exchange(write, PdoRequest(48, 0x205)), Bytes({0x3A, 5, 0xB0, 0x05, 0x02, 0, 0}));
    EXPECT_EQ(*sim_.ReadObject(5, 0x6200, 1), Bytes{0xC3});
    EXPECT_EQ(line_->Exchange(remote, PdoRequest(49, 0x185)), Bytes({0x3A, 5, 0x31, 0x85, 0x01, 0, 0x5A}));
    EXPECT_EQ(line_->Exchange(last, PdoRequest(56, 0x185)), Bytes({0x3A, 6, 0x38, 0x85, 0x01, 0, 0, 0x5A}));
    EXPECT_EQ(line_->Exchange(last, PdoRequest(56, 0x185)), Bytes({0x3A, 6, 0x38, 0x85, 0x01, 0, 1, 0x5A}));
    // Multi-PDO read: count, flags, lengths, data.
    EXPECT_EQ(line_->Exchange(Frame(36, {2, 0x85, 0x01, 0x86, 0x01}), NodeRequest(36, 0)),
              Bytes({0x3A, 9, 0x24, 0, 0, 2, 1, 255, 1, 0, 0x5A}));
    // Synchronous transmission: a SYNC brings the node's current inputs into the cache.
    EXPECT_EQ(line_->Exchange(Frame(53, {0x85, 0x01, 1}), PdoRequest(53, 0x185)),
              Bytes({0x3A, 5, 0xB5, 0x85, 0x01, 0, 0}));
    sim_.WithModule([](vexsim::Module& m) { m.FindNode(5)->dictionary.WriteUnsigned(0x6000, 1, 0x66); });
    EXPECT_EQ(line_->Exchange(Frame(57, {0x80, 0, 0, 0, 0, 0, 0, 0}), PdoRequest(57, 0x80)),
              Bytes({0x3A, 5, 0xB9, 0x80, 0x00, 0, 0}));
    EXPECT_EQ(line_->Exchange(last, PdoRequest(56, 0x185)), Bytes({0x3A, 6, 0x38, 0x85, 0x01, 0, 0, 0x66}));
    // A cyclic SYNC entry is reported by the cyclic SYNC query: COB-ID, period, 32-bit value.
    EXPECT_EQ(line_->Exchange(Frame(57, {0x80, 0, 50, 0, 7, 0, 0, 0}), PdoRequest(57, 0x80)),
              Bytes({0x3A, 5, 0xB9, 0x80, 0x00, 0, 0}));
    Bytes cyclic = Concat(Bytes{0x3A, 43, 0x20, 0, 0, 0x80, 0, 50, 0, 7, 0, 0, 0}, Bytes(32, 0));
    EXPECT_EQ(line_->Exchange(Frame(32), NodeRequest(32, 0)), cyclic);

    // The fast form files no result.
    line_->Send(Frame(48, {0x05, 0x02, 0, 1, 0x3C, 1}));
    line_->Send(PdoRequest(48, 0x205));
    EXPECT_TRUE(line_->Quiet());
    EXPECT_EQ(*sim_.ReadObject(5, 0x6200, 1), Bytes{0x3C});
}

Bytes U32(uint32_t v)
{
    return {Lo(v), Hi(v), Lo(v >> 16), Hi(v >> 16)};
}

// Installs a PDO of node 5 with its mapping in the frame (command 28) and
// returns the status of the reply.
uint8_t InstallWithMapping(const LibraryEnd& line, uint16_t cob, uint8_t dir, const std::vector<uint32_t>& map)
{
    Bytes payload{5, Lo(cob), Hi(cob), dir, 1, 0, 255, 0, 0, static_cast<uint8_t>(map.size())};
    for (uint32_t entry : map)
        payload = Concat(payload, U32(entry));
    const Bytes reply = line.Exchange(Frame(28, payload), NodeRequest(28, 5));
    return reply.size() == 6 ? reply[5] : 0xEE;
}

TEST_F(SimulatorTest, MappingsAreCheckedAgainstTheNodesDictionary)
{
    StartMaster();
    constexpr uint8_t kRefused = 27;
    constexpr uint8_t kTx = 1;
    constexpr uint8_t kRx = 0;
    struct Case {
        const char* what;
        uint8_t dir;
        std::vector<uint32_t> map;
        uint8_t status;
    };
    const std::vector<Case> cases{
        {"mappable objects of their own sizes", kTx, {0x60000108, 0x20000210, 0x20000108}, 0},
        {"no such sub-index", kTx, {0x60000508}, kRefused},
        {"no such object", kTx, {0x30000108}, kRefused},
        {"object not mappable", kTx, {0x10170010}, kRefused},
        {"string not mappable", kTx, {0x20000420}, kRefused},
        {"length shorter than the object", kTx, {0x20000310}, kRefused},
        {"length longer than the object", kTx, {0x60000110}, kRefused},
        {"length 0", kTx, {0x60000100}, kRefused},
        {"exactly 64 bits", kTx, {0x20000320, 0x20000320}, 0},
        {"65 bits and more", kTx, {0x20000320, 0x20000320, 0x60000108}, kRefused},
        {"a bad entry after good ones", kRx, {0x62000108, 0x62000208, 0x62000908}, kRefused},
        {"gap of a basic type in an RxPDO", kRx, {0x62000108, 0x00050008, 0x62000208}, 0},
        {"gap of the wrong size", kRx, {0x00060008}, kRefused},
        {"gap in a TxPDO", kTx, {0x00050008}, kRefused},
        {"no entries", kTx, {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const uint16_t cob = c.dir == kTx ? 0x185 : 0x205;
        EXPECT_EQ(InstallWithMapping(*line_, cob, c.dir, c.map), c.status);
        const bool installed = sim_.WithModule([&](vexsim::Module& m) { return m.FindPdo(cob) != nullptr; });
        EXPECT_EQ(installed, c.status == 0);
        if (installed) {
            const Bytes removed = line_->Exchange(Frame(20, {5, Lo(cob), Hi(cob), c.dir}), NodeRequest(20, 5));
            ASSERT_EQ(removed, Bytes({0x3A, 4, 0x94, 5, 0, 0}));
        }
    }
}

TEST_F(SimulatorTest, RefusedMappingChangesLeaveTheMappingAsItWas)
{
    StartMaster();
    ASSERT_EQ(InstallWithMapping(*line_, 0x185, 1, {0x60000108}), 0);
    auto dynamic = [&](uint8_t position, uint8_t inUse, uint32_t value) {
        const Bytes reply =
            line_->Exchange(Frame(51, Concat({5, 0x85, 0x01, position, inUse}, U32(value))), PdoRequest(51, 0x185));
        return reply.size() == 7 ? reply[6] : 0xEE;
    };
    auto useEntries = [&](uint8_t n) {
        const Bytes reply = line_->Exchange(Frame(52, {0x85, 0x01, n}), PdoRequest(52, 0x185));
        return reply.size() == 7 ? reply[6] : 0xEE;
    };
    auto mapping = [&] {
        return sim_.WithModule([](vexsim::Module& m) {
            const vexsim::PdoRecord* pdo = m.FindPdo(0x185);
            return std::vector<uint32_t>(pdo->mapping.begin(), pdo->mapping.begin() + pdo->entriesInUse);
        });
    };

    EXPECT_EQ(dynamic(2, 1, 0x30000108), 27) << "an entry is checked when written, in use or not";
    EXPECT_EQ(dynamic(2, 2, 0x20000320), 0);
    EXPECT_EQ(dynamic(3, 3, 0x20000320), 27) << "72 bits";
    EXPECT_EQ(mapping(), (std::vector<uint32_t>{0x60000108, 0x20000320}));
    EXPECT_EQ(useEntries(3), 27) << "entry 3 was never set";
    EXPECT_EQ(useEntries(1), 0);
    EXPECT_EQ(mapping(), (std::vector<uint32_t>{0x60000108}));
    EXPECT_EQ(dynamic(0, 1, 0), 27) << "cleared entries cannot stay in use";
    EXPECT_EQ(dynamic(0, 0, 0), 0);
    EXPECT_EQ(mapping(), std::vector<uint32_t>{});
    // The node's mapping object follows the accepted changes only.
    EXPECT_EQ(sim_.ReadObject(5, 0x1A00, 0), Bytes{0});

    // The plain install takes the mapping from the node's own objects, and
    // is refused alike when they name something the node cannot map.
    sim_.WithModule([](vexsim::Module& m) {
        auto& d = m.FindNode(5)->dictionary;
        d.WriteUnsigned(0x1A01, 0, 1);
        d.WriteUnsigned(0x1A01, 1, 0x10170010);
    });
    EXPECT_EQ(line_->Exchange(Frame(19, {5, 0x86, 0x01, 1, 2, 0}), NodeRequest(19, 5)),
              Bytes({0x3A, 4, 0x93, 5, 0, 27}));
    sim_.WithModule([](vexsim::Module& m) { return m.FindNode(5)->dictionary.WriteUnsigned(0x1A01, 1, 0x60000208); });
    EXPECT_EQ(line_->Exchange(Frame(19, {5, 0x86, 0x01, 1, 2, 0}), NodeRequest(19, 5)),
              Bytes({0x3A, 4, 0x93, 5, 0, 0}));
}

TEST_F(SimulatorTest, SplitGarbageAndDelayedRepliesStillArriveWhole)
{
    StartMaster(1);
    struct Case {
        const char* name;
        vexsim::FaultSettings faults;
    };
    vexsim::FaultSettings split;
    split.splitAt = {1, 3};
    split.splitGapMs = 20;
    vexsim::FaultSettings randomSplit;
    randomSplit.splitRandom = true;
    vexsim::FaultSettings delayed;
    delayed.delayMs = 100;
    for (const Case& c : {Case{"split", split}, Case{"random split", randomSplit}, Case{"delayed", delayed}}) {
        SCOPED_TRACE(c.name);
        sim_.SetFaults(c.faults);
        EXPECT_EQ(line_->Exchange(Frame(5), NodeRequest(5, 1)), Bytes({0x3A, 5, 0x05, 1, 0, 0x02, 0x01}));
    }
    EXPECT_TRUE(sim_.WaitForTrace("(split at 1 3)", kWait));

    // Garbage never contains a start byte, so skipping to ':' finds the frame.
    vexsim::FaultSettings garbage;
    garbage.garbage = true;
    sim_.SetFaults(garbage);
    line_->Send(Frame(5));
    line_->Send(NodeRequest(5, 1));
    Bytes seen = line_->Receive(1);
    std::size_t skipped = 0;
    while (!seen.empty() && seen[0] != 0x3A) {
        ++skipped;
        seen = line_->Receive(1);
    }
    ASSERT_FALSE(seen.empty());
    EXPECT_GE(skipped, 1u);
    EXPECT_EQ(Concat(seen, line_->Receive(6)), Bytes({0x3A, 5, 0x05, 1, 0, 0x02, 0x01}));

    // Dropped replies are gone; the next one comes.
    vexsim::FaultSettings drop;
    drop.dropNext = 1;
    sim_.SetFaults(drop);
    line_->Send(Frame(5));
    line_->Send(NodeRequest(5, 1));
    EXPECT_TRUE(line_->Quiet());
    EXPECT_EQ(line_->Exchange(Frame(5), NodeRequest(5, 1)), Bytes({0x3A, 5, 0x05, 1, 0, 0x02, 0x01}));

    // A drop aimed at one command and key lets the event poll's answer and
    // other requests' replies through, and takes the reply it names.
    sim_.DropReplies(1, vexsim::DropTarget{5, 1});
    line_->Send(Frame(64));
    EXPECT_EQ(line_->ReceiveFrame(), Bytes({0x3A, 4, 0x40, 0, 0, 0}));
    EXPECT_EQ(line_->Exchange(Frame(7), NodeRequest(7, 1)), Bytes({0x3A, 4, 0x07, 1, 0, 0}));
    line_->Send(Frame(5));
    line_->Send(NodeRequest(5, 1));
    EXPECT_TRUE(line_->Quiet());
    EXPECT_EQ(sim_.Faults().dropNext, 0u);
    // Another key of the command is spared.
    sim_.DropReplies(1, vexsim::DropTarget{16, 6});
    line_->Send(Frame(16, {5, 0x00, 0x10, 0}));
    line_->Send(NodeRequest(16, 5));
    EXPECT_FALSE(line_->ReceiveFrame().empty());
    EXPECT_EQ(sim_.Faults().dropNext, 1u);
}

TEST_F(SimulatorTest, WrongLengthByteAndLineSpeed)
{
    StartMaster(1);
    sim_.SendWrongLength(1);
    line_->Send(Frame(5));
    line_->Send(NodeRequest(5, 1));
    EXPECT_EQ(line_->Receive(7), Bytes({0x3A, 6, 0x05, 1, 0, 0x02, 0x01}));
    EXPECT_EQ(line_->Exchange(Frame(5), NodeRequest(5, 1)), Bytes({0x3A, 5, 0x05, 1, 0, 0x02, 0x01}));

    // 255 bytes at 19200 baud take at least 130 ms on the line.
    sim_.SetBaud(19200);
    sim_.SetSdoChunk(244);
    line_->Send(Frame(16, {5, 0x00, 0x21, 0}));
    const auto start = std::chrono::steady_clock::now();
    line_->Send(NodeRequest(16, 5));
    EXPECT_EQ(line_->ReceiveFrame().size(), 257u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
}

TEST_F(SimulatorTest, LineSpeedPacesTheLibrarysBytesToo)
{
    StartMaster(1);
    // A download of 248 bytes and its result request: 262 bytes, over a
    // second at 2400 baud; the reply is 10 bytes.
    constexpr unsigned kBaud = 2400;
    Bytes download{5, 0x00, 0x22, 0, 248, 0};
    for (unsigned i = 0; i < 248; ++i)
        download.push_back(static_cast<uint8_t>(i));
    const Bytes command = Frame(17, download);
    const Bytes request = NodeRequest(17, 5);
    vexsim::ObjectEntry target;
    target.index = 0x2200;
    target.type = vexsim::DataType::Domain;
    sim_.PutObject(5, target);
    sim_.SetBaud(kBaud);

    const auto start = std::chrono::steady_clock::now();
    line_->Send(command);
    line_->Send(request);
    EXPECT_FALSE(sim_.WaitForTrace("<- 0x11", 300ms)) << "the frame cannot have come in yet";
    EXPECT_EQ(line_->ReceiveFrame(), Bytes({0x3A, 7, 0x11, 5, 0, 0x60, 0x00, 0x22, 0}));
    const auto lineTime = std::chrono::microseconds(10'000'000ULL * (command.size() + request.size()) / kBaud);
    EXPECT_GE(std::chrono::steady_clock::now() - start, lineTime) << "the line's time for the library's bytes";
    EXPECT_EQ(sim_.ReadObject(5, 0x2200, 0)->size(), 248u) << "the slow frame came in whole";
}

TEST_F(SimulatorTest, IdentificationFaults)
{
    struct Case {
        vexsim::IdentSettings ident;
        Bytes expected;
    };
    const Bytes good{'!', '0', '0', 'V', 'e', 'x', 'a', 'n', 'W'};
    vexsim::IdentSettings withCr;
    withCr.behaviour = vexsim::IdentBehaviour::CorrectWithCR;
    vexsim::IdentSettings wrong;
    wrong.behaviour = vexsim::IdentBehaviour::Wrong;
    vexsim::IdentSettings silent;
    silent.behaviour = vexsim::IdentBehaviour::Silent;
    vexsim::IdentSettings late;
    late.delayMs = 150;
    for (const Case& c : {Case{withCr, Concat(good, {'\r'})},
                          Case{wrong, {'!', '0', '0', 'V', 'e', 'x', 'a', 'n', 'X'}}, Case{late, good}}) {
        sim_.SetIdentification(c.ident);
        line_->Send({'$', '0', '0', 'M', 0});
        EXPECT_EQ(line_->Receive(c.expected.size()), c.expected);
    }
    sim_.SetIdentification(silent);
    line_->Send({'$', '0', '0', 'M', 0});
    EXPECT_TRUE(line_->Quiet());
}

// Whatever the library sends, the module neither crashes nor reads outside a
// frame (run under the sanitizers), and every reply it makes is a whole frame.
TEST(SimulatorModule, SurvivesArbitraryFrames)
{
    vexsim::Module module;
    module.PutDefaultNode(5);
    vexsim::ModuleOutput out;
    module.Receive(Frame(2, {1, 0}), out);
    std::mt19937 random(7);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> small(0, 12);
    // Commands the library sends, plus a few it does not.
    const std::vector<uint8_t> commands{2,  3,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20,  21,
                                        22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 34, 35, 36, 39, 41, 42, 48,  49,
                                        50, 51, 52, 53, 54, 55, 56, 57, 58, 64, 65, 66, 73, 96, 1,  33, 70, 0x90};
    std::uniform_int_distribution<std::size_t> pick(0, commands.size() - 1);
    for (int i = 0; i < 20000; ++i) {
        Bytes payload;
        for (int n = small(random); n > 0; --n)
            payload.push_back(static_cast<uint8_t>(byte(random) % 8 == 0 ? 5 : byte(random)));
        if (i % 3 == 0)
            payload = {static_cast<uint8_t>(commands[pick(random)]), 5};  // result requests
        Bytes frame = Frame(i % 3 == 0 ? 0x60 : commands[pick(random)], payload);
        if (i % 50 == 0)
            frame[1] = static_cast<uint8_t>(byte(random));  // a lying length byte
        if (i % 7 == 0)
            frame.insert(frame.begin(), static_cast<uint8_t>(byte(random)));
        out = {};
        module.Receive(frame, out);
        for (const Bytes& in : out.received)
            EXPECT_FALSE(vexsim::DescribeFrame(in, false).empty());
        for (const vexsim::Outgoing& reply : out.replies) {
            if (reply.identification)
                continue;
            ASSERT_GE(reply.bytes.size(), 3u);
            ASSERT_EQ(reply.bytes[0], 0x3A);
            ASSERT_EQ(reply.bytes[1] + 2u, reply.bytes.size());
            EXPECT_FALSE(vexsim::DescribeFrame(reply.bytes, true).empty());
        }
    }
}

TEST(SimulatorEds, NodeFromAnEdsFileAnswersWithItsValues)
{
    const std::filesystem::path eds = std::filesystem::path(VEXAN_SIM_EDS_DIR) / "canopennode_demodevice.eds";
    if (!std::filesystem::exists(eds))
        GTEST_SKIP() << "no EDS files at " << VEXAN_SIM_EDS_DIR;
    vexsim::Simulator sim;
    std::string error;
    ASSERT_TRUE(sim.AddEdsNode(9, eds.string(), &error)) << error;
    const Bytes deviceType = *sim.ReadObject(9, 0x1000, 0);
    ASSERT_EQ(deviceType.size(), 4u);
    sim.Start();
    LibraryEnd line(sim.OpenLibraryEnd());
    line.Send(Frame(2, {1, 0}));
    line.Send(NodeRequest(2, 1));
    ASSERT_EQ(line.ReceiveFrame(), Bytes({0x3A, 4, 0x82, 1, 0, 0}));
    line.Send(Frame(16, {9, 0x00, 0x10, 0}));
    line.Send(NodeRequest(16, 9));
    EXPECT_EQ(line.ReceiveFrame(), Concat(Bytes{0x3A, 11, 0x10, 9, 0, 0x43, 0x00, 0x10, 0}, deviceType));
    // The EMCY COB-ID comes from the file's $NODEID+0x80.
    line.Send(Frame(26, {9}));
    line.Send(NodeRequest(26, 9));
    EXPECT_EQ(line.ReceiveFrame(), Bytes({0x3A, 5, 0x1A, 9, 0, 0x89, 0x00}));
}

TEST(SimulatorControl, AppliesLinesAndRejectsBadOnes)
{
    vexsim::Simulator sim;
    vexsim::ControlChannel control(sim, nullptr);
    for (const char* good : {"fault drop 2", "fault split 1,3", "fault delay 5", "busy 7 * 2", "fail 16 5 0x30",
                             "master-sdo-write 0x2000 1 1122", "emcy 5 00 10 00 00 00 00 00 00", "# comment", ""}) {
        EXPECT_TRUE(control.Apply(good).ok) << good;
    }
    EXPECT_EQ(sim.Faults().dropNext, 2u);
    EXPECT_FALSE(sim.Faults().dropTarget.command);
    EXPECT_TRUE(control.Apply("fault drop 3 0x10 5").ok);
    EXPECT_EQ(sim.Faults().dropNext, 3u);
    EXPECT_EQ(sim.Faults().dropTarget.command, std::optional<uint8_t>(16));
    EXPECT_EQ(sim.Faults().dropTarget.key, std::optional<uint16_t>(5));
    EXPECT_TRUE(control.Apply("fault drop 1 48 *").ok);
    EXPECT_EQ(sim.Faults().dropTarget.command, std::optional<uint8_t>(48));
    EXPECT_FALSE(sim.Faults().dropTarget.key);
    EXPECT_TRUE(control.Apply("fault drop 2").ok);
    EXPECT_EQ(sim.Faults().splitAt, (std::vector<std::size_t>{1, 3}));
    EXPECT_EQ(sim.WithModule([](vexsim::Module& m) { return m.QueuedEvents(); }), 2u);
    for (const char* bad :
         {"emcy 5 0010", "bootup 300", "master-sdo-write 0x2000 1 0102030405", "fault drop x", "fault drop 1 300",
          "fault drop 1 16 x", "fault drop 1 16 5 7", "split", "rx-pdo 0x181 123"}) {
        EXPECT_FALSE(control.Apply(bad).ok) << bad;
    }
    EXPECT_TRUE(control.Apply("fault none").ok);
    EXPECT_EQ(sim.Faults().dropNext, 0u);
    EXPECT_TRUE(control.Apply("quit").quit);
}

}  // namespace
