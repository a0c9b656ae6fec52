// SDO exports against a scripted module: the exact request frames, the reading
// of expedited, aborted and gathered uploads, the spill file and its ranges,
// downloads and aborts, and what is refused before anything is sent.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "engine/request.hpp"
#include "exports_fixture.hpp"
#include "link/protocol.hpp"
#include "uploads.hpp"
#include "vexan.h"

namespace {

namespace vt = vexan::test;
using vexan::CodeOf;
using vexan::Command;
using vt::Bytes;
using vt::kExportSlot;
using vt::ResultRequest;

constexpr uint8_t kRead = CodeOf(Command::SdoRead);
constexpr uint8_t kWrite = CodeOf(Command::SdoWrite);
constexpr uint8_t kAbort = CodeOf(Command::SdoAbort);
constexpr uint8_t kNextSegment = CodeOf(Command::NextUploadSegment);

constexpr uint8_t kNode = 3;
constexpr uint16_t kIndex = 0x1F50;
constexpr uint8_t kSub = 0x01;
constexpr std::size_t kChunk = 244;  // the largest chunk a segment frame carries
constexpr uint8_t kSentinel = 0xEE;
constexpr uint32_t kLengthSentinel = 0xDEADBEEF;

const Bytes kReadFrame{':', 5, kRead, kNode, 0x50, 0x1F, kSub};
// Board 1 (the tests' slot), node 3, object 0x1F50 sub 1.
const std::string kSpillName = "1_3_1F50_01.seg";

Bytes ObjectBytes(std::size_t size)
{
    Bytes data(size);
    for (std::size_t i = 0; i < size; ++i) {
        data[i] = static_cast<uint8_t>(i * 7 + i / 253);
    }
    return data;
}

// The frames of an upload of `data`, announcing `total`, in chunks of `chunk`.
std::vector<Bytes> Segments(const Bytes& data, uint32_t total, std::size_t chunk = kChunk)
{
    return vt::UploadSegments(kNode, kIndex, kSub, data, total, chunk);
}

class SdoTest : public vt::ExportTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(scratch_.Ok());
        vt::ExportTest::SetUp();
        output_.fill(kSentinel);
    }

    void QueueReplies(const std::vector<Bytes>& frames)
    {
        for (const auto& frame : frames) {
            peer_.Queue(kRead, kNode, vt::Reply{frame});
        }
    }

    uint16_t Read(uint8_t blocking = 1)
    {
        return Vexan_SDOReadData(kExportSlot, kNode, kIndex, kSub, &length_, output_.data(), blocking);
    }

    Bytes Output(std::size_t count) const { return Bytes(output_.begin(), output_.begin() + count); }
    bool OutputUntouched() const
    {
        return std::all_of(output_.begin(), output_.end(), [](uint8_t b) { return b == kSentinel; });
    }

    // The wire of an upload of `segments` frames: the command, its result
    // request, then a next-segment request and a result request per further frame.
    static std::vector<Bytes> UploadWire(std::size_t segments)
    {
        std::vector<Bytes> wire{kReadFrame, ResultRequest(kRead, kNode)};
        for (std::size_t i = 1; i < segments; ++i) {
            wire.push_back({':', 2, kNextSegment, kNode});
            wire.push_back(ResultRequest(kRead, kNode));
        }
        return wire;
    }

    vt::ScratchDirectory scratch_;
    uint32_t length_ = kLengthSentinel;
    std::array<uint8_t, VEXAN_SDO_READ_BUFFER> output_{};
};

// ---- Reading into memory ----------------------------------------------------------------

struct ReadCase {
    std::string name;
    std::vector<Bytes> replies;
    uint16_t result;
    bool writesOutputs;
    uint32_t length;
    Bytes data;
    std::size_t wireFrames;  // frames the upload puts on the wire
};

std::vector<ReadCase> ReadCases()
{
    const Bytes hundred = ObjectBytes(100);
    const Bytes almostSpilled = ObjectBytes(1020);
    const Bytes overrun = ObjectBytes(120);
    return {
        {"Expedited",
         {vt::NodeData(kRead, kNode, {0x43, 0x50, 0x1F, kSub, 0x11, 0x22, 0x33, 0x44})},
         VEXAN_OK,
         true,
         4,
         {0x11, 0x22, 0x33, 0x44},
         2},
        {"Aborted",
         {vt::NodeData(kRead, kNode, {0x80, 0x50, 0x1F, kSub, 0x00, 0x00, 0x02, 0x06})},
         VEXAN_SDO_ABORTED,
         true,
         4,
         {0x00, 0x00, 0x02, 0x06},
         2},
        {"Segmented100InChunks", Segments(hundred, 100, 30), VEXAN_OK, true, 100, hundred, 2 * 4},
        {"Segmented1020", Segments(almostSpilled, 1020), VEXAN_OK, true, 1020, almostSpilled, 2 * 5},
        // An empty object: complete with its first frame, no next-segment request.
        {"EmptyObject", {vt::UploadSegment(kNode, true, kIndex, kSub, 0, {})}, VEXAN_OK, true, 0, {}, 2},
        {"ChunkPastAnnouncedSize", Segments(overrun, 100, 60), VEXAN_UPLOAD_OVERRUN, false, 0, {}, 4},
        {"ModuleStatus", {vt::NodeStatus(kRead, kNode, 0x17)}, 0x17, false, 0, {}, 2},
        {"ExpeditedWithoutHead", {vt::NodeData(kRead, kNode, {0x43, 0x50})}, VEXAN_OUT_OF_RANGE, false, 0, {}, 2},
        {"AbortWithoutItsCode",
         {vt::NodeData(kRead, kNode, {0x80, 0x50, 0x1F, kSub, 0x00, 0x00})},
         VEXAN_OUT_OF_RANGE,
         false,
         0,
         {},
         2},
    };
}

class SdoRead : public SdoTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(SdoRead, ReadsTheReplyIntoTheOutputsOrLeavesThemUntouched)
{
    const ReadCase& read = GetParam();
    QueueReplies(read.replies);
    EXPECT_EQ(Read(), read.result);
    if (read.writesOutputs) {
        EXPECT_EQ(length_, read.length);
        EXPECT_EQ(Output(read.data.size()), read.data);
        EXPECT_TRUE(std::all_of(output_.begin() + static_cast<std::ptrdiff_t>(read.data.size()), output_.end(),
                                [](uint8_t b) { return b == kSentinel; }))
            << "nothing written past the object";
    } else {
        EXPECT_EQ(length_, kLengthSentinel);
        EXPECT_TRUE(OutputUntouched());
    }
    EXPECT_EQ(Wire(read.wireFrames), UploadWire(read.wireFrames / 2));
    EXPECT_TRUE(scratch_.Files().empty()) << "an object under 1024 bytes never touches a spill file";
}

INSTANTIATE_TEST_SUITE_P(Cases, SdoRead, ::testing::ValuesIn(ReadCases()),
                         [](const ::testing::TestParamInfo<ReadCase>& param) { return param.param.name; });

TEST_F(SdoTest, NonBlockingUploadReturnsSentThenWaitingThenTheObject)
{
    const Bytes data = ObjectBytes(600);
    QueueReplies(Segments(data, 600));
    ASSERT_EQ(Read(0), VEXAN_SENT);
    const auto [result, waits] = vt::RepeatWhileWaiting([&] { return Read(0); });
    EXPECT_EQ(result, VEXAN_OK);
    EXPECT_GE(waits, 2) << "each further segment is asked for by one repeat call";
    EXPECT_EQ(length_, 600u);
    EXPECT_EQ(Output(600), data);
    EXPECT_EQ(Wire(6), UploadWire(3));
}

// ---- Spilled uploads and reading them back ----------------------------------------------

TEST_F(SdoTest, LargeUploadGoesToItsSpillFileAndCopiesNothing)
{
    const Bytes data = ObjectBytes(5000);
    const auto segments = Segments(data, 5000);
    QueueReplies(segments);
    ASSERT_EQ(Read(), VEXAN_OK);
    EXPECT_EQ(length_, 5000u);
    EXPECT_TRUE(OutputUntouched());
    EXPECT_EQ(scratch_.Files(), std::vector<std::string>{kSpillName});
    EXPECT_EQ(vt::FileBytes(kSpillName), data);
    EXPECT_EQ(Wire(2 * segments.size()), UploadWire(segments.size()));
}

struct RangeCase {
    std::string name;
    uint16_t index;
    uint32_t offset;
    uint32_t count;
    uint16_t result;
    uint32_t bytesRead;
};

const std::array kRangeCases{
    RangeCase{"Whole", kIndex, 0, 5000, VEXAN_OK, 5000},
    RangeCase{"Middle", kIndex, 1234, 100, VEXAN_OK, 100},
    RangeCase{"CutAtTheEnd", kIndex, 4096, 1000, VEXAN_OK, 904},
    RangeCase{"LastByte", kIndex, 4999, 10, VEXAN_OK, 1},
    RangeCase{"NothingAsked", kIndex, 10, 0, VEXAN_OK, 0},
    RangeCase{"OffsetAtTheEnd", kIndex, 5000, 1, VEXAN_UPLOAD_OVERRUN, 0},
    RangeCase{"OffsetBeyondTheEnd", kIndex, 0xFFFFFFFF, 1, VEXAN_UPLOAD_OVERRUN, 0},
    RangeCase{"ObjectNeverUploaded", 0x1F51, 0, 10, VEXAN_NOTHING_TO_READ, 0},
};

class SdoReadFile : public SdoTest, public ::testing::WithParamInterface<RangeCase> {};

TEST_P(SdoReadFile, ReadsTheRangeThatTheFileHolds)
{
    const RangeCase& range = GetParam();
    const Bytes data = ObjectBytes(5000);
    QueueReplies(Segments(data, 5000));
    ASSERT_EQ(Read(), VEXAN_OK);
    peer_.ClearRecord();
    uint32_t bytesRead = kLengthSentinel;
    output_.fill(kSentinel);
    std::vector<uint8_t> buffer(5001, kSentinel);  // one byte more than any range, to see overruns
    EXPECT_EQ(
        Vexan_SDOReadFile(kExportSlot, kNode, range.index, kSub, range.offset, range.count, &bytesRead, buffer.data()),
        range.result);
    if (range.result == VEXAN_OK) {
        ASSERT_EQ(bytesRead, range.bytesRead);
        EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + bytesRead, data.begin() + range.offset));
        EXPECT_EQ(buffer[bytesRead], kSentinel);
    } else {
        EXPECT_EQ(bytesRead, kLengthSentinel);
        EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](uint8_t b) { return b == kSentinel; }));
    }
    EXPECT_TRUE(SendsNothing());
}

INSTANTIATE_TEST_SUITE_P(Cases, SdoReadFile, ::testing::ValuesIn(kRangeCases),
                         [](const ::testing::TestParamInfo<RangeCase>& param) { return param.param.name; });

TEST_F(SdoTest, ReadFileWaitsWhileAnUploadToTheNodeIsOpen)
{
    const Bytes data = ObjectBytes(5000);
    const auto segments = Segments(data, 5000);
    QueueReplies({segments.begin(), segments.begin() + 2});
    ASSERT_EQ(Read(0), VEXAN_SENT);
    ASSERT_TRUE(vt::WaitFor([&] { return std::filesystem::exists(kSpillName); }));
    uint32_t bytesRead = kLengthSentinel;
    std::array<uint8_t, 16> buffer{};
    EXPECT_EQ(Vexan_SDOReadFile(kExportSlot, kNode, kIndex, kSub, 0, 16, &bytesRead, buffer.data()), VEXAN_WAITING);
    EXPECT_EQ(bytesRead, kLengthSentinel);
    // Another object of the same node: the node's one upload record is open.
    EXPECT_EQ(Vexan_SDOReadFile(kExportSlot, kNode, 0x1F51, kSub, 0, 16, &bytesRead, buffer.data()), VEXAN_WAITING);
}

TEST_F(SdoTest, ReadFileRefusesWhatHasNoFile)
{
    uint32_t bytesRead = kLengthSentinel;
    std::array<uint8_t, 4> buffer{};
    EXPECT_EQ(Vexan_SDOReadFile(kExportSlot, 128, kIndex, kSub, 0, 4, &bytesRead, buffer.data()), VEXAN_OUT_OF_RANGE);
    EXPECT_EQ(Vexan_SDOReadFile(0, kNode, kIndex, kSub, 0, 4, &bytesRead, buffer.data()), VEXAN_NOT_OPEN);
    EXPECT_EQ(bytesRead, kLengthSentinel);
}

// A link planted under a spill file's name is not read through: the bytes of
// whatever it points to never reach the caller.
TEST_F(SdoTest, ReadFileRefusesALinkUnderTheSpillFilesName)
{
    const std::string target = "elsewhere.bin";
    {
        std::ofstream out(target, std::ios::binary);
        out << "not the object";
    }
    std::error_code failed;
    std::filesystem::create_symlink(target, kSpillName, failed);
    if (failed) {
        GTEST_SKIP() << "no symbolic link can be made here: " << failed.message();
    }
    uint32_t bytesRead = kLengthSentinel;
    std::array<uint8_t, 4> buffer{};
    EXPECT_EQ(Vexan_SDOReadFile(kExportSlot, kNode, kIndex, kSub, 0, 4, &bytesRead, buffer.data()),
              VEXAN_NOTHING_TO_READ);
    EXPECT_EQ(bytesRead, kLengthSentinel);
}

// ---- Downloads and aborts ---------------------------------------------------------------

struct WriteCase {
    std::string name;
    Bytes reply;  // reply data of the download
    uint16_t result;
    bool writesOutputs;
    uint16_t replyLength;
    Bytes replyData;
};

const std::array kWriteCases{
    WriteCase{"Accepted", {0x60, 0x00, 0x20, 0x01}, VEXAN_OK, true, 0, {}},
    WriteCase{"AcceptedWithData", {0x60, 0x00, 0x20, 0x01, 0xAA, 0xBB}, VEXAN_OK, true, 2, {0xAA, 0xBB}},
    WriteCase{"Aborted",
              {0x80, 0x00, 0x20, 0x01, 0x10, 0x00, 0x07, 0x06},
              VEXAN_SDO_ABORTED,
              true,
              4,
              {0x10, 0x00, 0x07, 0x06}},
    WriteCase{"ReplyWithoutHead", {0x60, 0x00}, VEXAN_OUT_OF_RANGE, false, 0, {}},
};

class SdoWrite : public SdoTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(SdoWrite, SendsTheObjectAndReadsTheReply)
{
    const WriteCase& write = GetParam();
    peer_.Queue(kWrite, kNode, vt::Reply{vt::NodeData(kWrite, kNode, write.reply)});
    const Bytes data{0x01, 0x02, 0x03, 0x04};
    uint16_t replyLength = 0xBEEF;
    EXPECT_EQ(Vexan_SDOWriteData(kExportSlot, kNode, 0x2000, 0x01, 4, data.data(), &replyLength, output_.data(), 1),
              write.result);
    if (write.writesOutputs) {
        EXPECT_EQ(replyLength, write.replyLength);
        EXPECT_EQ(Output(write.replyData.size()), write.replyData);
        EXPECT_EQ(output_[write.replyData.size()], kSentinel);
    } else {
        EXPECT_EQ(replyLength, 0xBEEF);
        EXPECT_TRUE(OutputUntouched());
    }
    const std::vector<Bytes> wire{{':', 0x0B, kWrite, kNode, 0x00, 0x20, 0x01, 0x04, 0x00, 0x01, 0x02, 0x03, 0x04},
                                  ResultRequest(kWrite, kNode)};
    EXPECT_EQ(Wire(2), wire);
}

INSTANTIATE_TEST_SUITE_P(Cases, SdoWrite, ::testing::ValuesIn(kWriteCases),
                         [](const ::testing::TestParamInfo<WriteCase>& param) { return param.param.name; });

// ---- A late answer of a request that timed out ------------------------------------------

// Replies carry only command and node: the answer of a request that timed out,
// arriving once the next request on the node's record is pending, names the
// earlier object and must not be taken for the answer of the next request.
TEST_F(SdoTest, LateAnswerOfATimedOutRequestIsNotTakenForTheNextOne)
{
    struct LateCase {
        const char* name;
        uint8_t command;
        std::function<uint16_t(uint8_t sub, uint8_t blocking)> call;
        Bytes late;   // the answer of the timed-out request (sub-index 2)
        Bytes right;  // the answer of the next request (sub-index 1)
        Bytes expected;
    };
    const Bytes data{0x01, 0x02, 0x03, 0x04};
    uint16_t replyLength = 0;
    const std::vector<LateCase> cases{
        {"read",
         kRead,
         [&](uint8_t sub, uint8_t blocking) {
             return Vexan_SDOReadData(kExportSlot, kNode, kIndex, sub, &length_, output_.data(), blocking);
         },
         {0x43, 0x50, 0x1F, 0x02, 0xAA, 0xAA, 0xAA, 0xAA},
         {0x43, 0x50, 0x1F, kSub, 0x11, 0x22, 0x33, 0x44},
         {0x11, 0x22, 0x33, 0x44}},
        {"write",
         kWrite,
         [&](uint8_t sub, uint8_t blocking) {
             return Vexan_SDOWriteData(kExportSlot, kNode, kIndex, sub, 4, data.data(), &replyLength, output_.data(),
                                       blocking);
         },
         {0x60, 0x50, 0x1F, 0x02},
         {0x80, 0x50, 0x1F, kSub, 0x00, 0x00, 0x01, 0x06},
         {}},
    };
    for (const LateCase& c : cases) {
        SCOPED_TRACE(c.name);
        // The module answers the first request 300 ms late, after its 100 ms
        // time-out, and the next request 200 ms after that: long enough for a
        // misfiled late answer to be collected as the next request's.
        peer_.Queue(c.command, kNode, vt::Reply{vt::NodeData(c.command, kNode, c.late), {}, 5, 300});
        peer_.Queue(c.command, kNode, vt::Reply{vt::NodeData(c.command, kNode, c.right), {}, 5, 200});
        Vexan_SetFunctionTimeout(kExportSlot, 100);
        EXPECT_EQ(c.call(0x02, 1), VEXAN_TIMEOUT);
        Vexan_SetFunctionTimeout(kExportSlot, vt::kGenerousTimeoutMs);
        ASSERT_EQ(c.call(kSub, 0), VEXAN_SENT);
        const auto [result, waits] = vt::RepeatWhileWaiting([&] { return c.call(kSub, 0); });
        if (c.command == kRead) {
            EXPECT_EQ(result, VEXAN_OK);
            EXPECT_EQ(Output(4), c.expected);
        } else {
            EXPECT_EQ(result, VEXAN_SDO_ABORTED);  // the write's own answer, an abort, not the late success
        }
    }
}

TEST_F(SdoTest, WriteOfTheLargestObjectFillsOneFrame)
{
    peer_.Queue(kWrite, kNode, vt::Reply{vt::NodeData(kWrite, kNode, {0x60, 0x00, 0x20, 0x01})});
    const Bytes data = ObjectBytes(VEXAN_SDO_MAX_WRITE);
    uint16_t replyLength = 0;
    ASSERT_EQ(Vexan_SDOWriteData(kExportSlot, kNode, 0x2000, 0x01, VEXAN_SDO_MAX_WRITE, data.data(), &replyLength,
                                 output_.data(), 1),
              VEXAN_OK);
    const auto wire = Wire(2);
    ASSERT_EQ(wire.size(), 2u);
    EXPECT_EQ(wire[0].size(), 257u);
    EXPECT_EQ(wire[0][1], 255);
    EXPECT_EQ(wire[0][7], VEXAN_SDO_MAX_WRITE);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), wire[0].begin() + 9));
}

TEST_F(SdoTest, AbortSendsItsCode)
{
    peer_.Queue(kAbort, kNode, vt::Reply{vt::NodeStatus(kAbort, kNode, 0)});
    EXPECT_EQ(Vexan_SDOAbortTransmit(kExportSlot, kNode, 0x2000, 0x01, 0x05040000, 1), VEXAN_OK);
    const std::vector<Bytes> wire{{':', 9, kAbort, kNode, 0x00, 0x20, 0x01, 0x00, 0x00, 0x04, 0x05},
                                  ResultRequest(kAbort, kNode)};
    EXPECT_EQ(Wire(2), wire);
}

// Arguments that no frame or reply record can hold are refused before anything
// is sent or marked; a slot without an open board is refused first.
TEST_F(SdoTest, RefusesWhatCannotBeSent)
{
    const Bytes data(VEXAN_SDO_MAX_WRITE + 1, 0x55);
    uint16_t replyLength = 0xBEEF;
    EXPECT_EQ(Vexan_SDOWriteData(kExportSlot, kNode, 0x2000, 1, VEXAN_SDO_MAX_WRITE + 1, data.data(), &replyLength,
                                 output_.data(), 1),
              VEXAN_OUT_OF_RANGE);
    EXPECT_EQ(Vexan_SDOWriteData(kExportSlot, kNode, 0x2000, 1, 4, nullptr, &replyLength, output_.data(), 1),
              VEXAN_OUT_OF_RANGE);
    EXPECT_EQ(Vexan_SDOWriteData(kExportSlot, 128, 0x2000, 1, 4, data.data(), &replyLength, output_.data(), 1),
              VEXAN_OUT_OF_RANGE);
    EXPECT_EQ(Vexan_SDOReadData(kExportSlot, 128, kIndex, kSub, &length_, output_.data(), 1), VEXAN_OUT_OF_RANGE);
    EXPECT_EQ(Vexan_SDOAbortTransmit(kExportSlot, 200, kIndex, kSub, 0, 1), VEXAN_OUT_OF_RANGE);
    EXPECT_EQ(
        Vexan_SDOWriteData(0, kNode, 0x2000, 1, VEXAN_SDO_MAX_WRITE + 1, data.data(), &replyLength, output_.data(), 1),
        VEXAN_NOT_OPEN);
    EXPECT_EQ(Vexan_SDOReadData(0, kNode, kIndex, kSub, &length_, output_.data(), 1), VEXAN_NOT_OPEN);
    EXPECT_EQ(Vexan_SDOAbortTransmit(0, kNode, kIndex, kSub, 0, 1), VEXAN_NOT_OPEN);
    EXPECT_TRUE(SendsNothing());
    EXPECT_FALSE(vexan::IsPending(kExportSlot, kRead, kNode));
    EXPECT_FALSE(vexan::IsPending(kExportSlot, kWrite, kNode));
    EXPECT_EQ(replyLength, 0xBEEF);
    EXPECT_EQ(length_, kLengthSentinel);
}

}  // namespace
