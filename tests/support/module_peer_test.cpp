// Drives the scripted module peer from the library's end of its line, playing
// the library's part by hand, so that the peer can be trusted before the
// library's tests rely on it.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <thread>

#include "frames.hpp"
#include "module_peer.hpp"
#include "test_line.hpp"
#include "test_wait.hpp"

namespace vexan::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kLimit = kWaitLimit;  // generous: the machine may be loaded, or stand still
constexpr auto kQuiet = 300ms;       // how long "no answer" is watched for
constexpr unsigned kGapMs = 250;     // gaps long enough to see pieces as separate reads

Bytes Text(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

const Bytes kIdentRequest{'$', '0', '0', 'M', 0x00};

const Bytes kEventPoll{':', 1, '@'};

// The library's side of the line, used the way the library uses it: wait for
// bytes, ask how many are waiting, read exactly those.
class LibrarySide {
public:
    explicit LibrarySide(VexanPort port) : port_(port) {}

    void Write(const Bytes& bytes) const { ASSERT_TRUE(port::WriteAll(port_, bytes.data(), bytes.size())); }

    // One entry per read, until `count` bytes came or the limit passed.
    std::vector<Bytes> ReadPieces(size_t count, std::chrono::milliseconds limit = kLimit) const
    {
        std::vector<Bytes> pieces;
        size_t total = 0;
        const auto deadline = Clock::now() + limit;
        while (total < count && Clock::now() < deadline) {
            Bytes piece = ReadWaiting(deadline);
            total += piece.size();
            if (!piece.empty()) {
                pieces.push_back(std::move(piece));
            }
        }
        return pieces;
    }

    Bytes Read(size_t count, std::chrono::milliseconds limit = kLimit) const
    {
        Bytes out;
        for (const Bytes& piece : ReadPieces(count, limit)) {
            out.insert(out.end(), piece.begin(), piece.end());
        }
        return out;
    }

    // True when no byte arrives for the whole time.
    bool StaysQuiet(std::chrono::milliseconds time = kQuiet) const { return ReadWaiting(Clock::now() + time).empty(); }

private:
    Bytes ReadWaiting(Clock::time_point deadline) const
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return {};
        }
        const size_t waiting = port::WaitForBytes(port_, left);
        if (waiting == 0) {
            return {};
        }
        Bytes piece(waiting);
        const long got = port::Read(port_, piece.data(), piece.size());
        piece.resize(got > 0 ? static_cast<size_t>(got) : 0);
        return piece;
    }

    VexanPort port_;
};

class PeerTest : public ::testing::Test {
protected:
    ModulePeer peer;
    LibrarySide line{peer.LibraryPort()};
};

TEST(FrameBuilders, LayFieldsOutLowByteFirst)
{
    struct Case {
        const char* name;
        Bytes built;
        Bytes expected;
    };
    const std::vector<Case> cases{
        {"frame", Frame(3, {}), {':', 1, 3}},
        {"node status", NodeStatus(2, 5, 40), {':', 4, 0x82, 5, 0, 40}},
        {"node data", NodeData(16, 5, {1, 2}), {':', 5, 16, 5, 0, 1, 2}},
        {"pdo status", PdoStatus(50, 0x0201, 7), {':', 5, 0xB2, 0x01, 0x02, 0, 7}},
        {"pdo data", PdoData(56, 0x0181, {9}), {':', 5, 56, 0x81, 0x01, 0, 9}},
        {"event", EventReply(0x41, {5, 0x81, 0x01, 1, 0xAA}), {':', 9, 64, 0, 0, 0x41, 5, 0x81, 0x01, 1, 0xAA}},
        {"first segment",
         UploadSegment(5, true, 0x2000, 1, 0x01020304, {7}),
         {':', 12, 16, 5, 0, 0x41, 0x00, 0x20, 1, 0x04, 0x03, 0x02, 0x01, 7}},
        {"further segment",
         UploadSegment(5, false, 0x1008, 0, 1000, {}),
         {':', 11, 16, 5, 0, 0x00, 0x08, 0x10, 0, 0xE8, 0x03, 0, 0}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.built, c.expected) << c.name;
    }
    EXPECT_EQ(Frame(1, Bytes(254, 0)).size(), 257u);
    EXPECT_THROW(Frame(1, Bytes(255, 0)), std::invalid_argument);
}

TEST_F(PeerTest, LibraryPortIsABlockingRawLine)
{
    EXPECT_TRUE(port::IsBlocking(peer.LibraryPort()));
    // Raw: bytes that a terminal would translate or swallow pass unchanged.
    const Bytes awkward{'\r', '\n', 0x03, 0x04, 0x11, 0x13, 0x7F, 0xFF};
    peer.Send(Reply{awkward});
    EXPECT_EQ(line.Read(awkward.size()), awkward);
    line.Write(awkward);
    EXPECT_TRUE(peer.WaitUntil([&](const auto&) { return peer.Written() == awkward; }));
}

struct IdentCase {
    const char* name;
    IdentMode mode;
    unsigned delayOrGapMs;
    Bytes expected;
    size_t pieces;   // reads in which the reply arrives
    long atLeastMs;  // earliest arrival after the request
};

void PrintTo(const IdentCase& c, std::ostream* out)
{
    *out << c.name;
}

class IdentTest : public PeerTest, public ::testing::WithParamInterface<IdentCase> {};

TEST_P(IdentTest, AnswersTheIdentificationRequest)
{
    const IdentCase& c = GetParam();
    peer.SetIdentMode(c.mode, c.delayOrGapMs, 4);
    const auto sent = Clock::now();
    line.Write(kIdentRequest);
    ASSERT_TRUE(peer.WaitForFrames(0, 1));
    const auto frames = peer.Frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_TRUE(frames[0].isIdentification);
    EXPECT_EQ(frames[0].raw, kIdentRequest);

    if (c.expected.empty()) {
        EXPECT_TRUE(line.StaysQuiet());
        return;
    }
    const auto pieces = line.ReadPieces(c.expected.size());
    EXPECT_GE(MsSince(sent), c.atLeastMs);
    Bytes all;
    for (const Bytes& piece : pieces) {
        all.insert(all.end(), piece.begin(), piece.end());
    }
    EXPECT_EQ(all, c.expected);
    ASSERT_EQ(pieces.size(), c.pieces);
    if (c.pieces == 2) {
        EXPECT_EQ(pieces[0].size(), 4u);
    }
    EXPECT_TRUE(line.StaysQuiet(100ms));
}

INSTANTIATE_TEST_SUITE_P(
    Modes, IdentTest,
    ::testing::Values(IdentCase{"Correct", IdentMode::Correct, 0, Text("!00VexanW"), 1, 0},
                      IdentCase{"CorrectWithCR", IdentMode::CorrectWithCR, 0, Text("!00VexanW\r"), 1, 0},
                      IdentCase{"Split", IdentMode::Split, kGapMs, Text("!00VexanW"), 2, kGapMs},
                      IdentCase{"SplitDefaultGap", IdentMode::Split, 0, Text("!00VexanW"), 2, 40},
                      IdentCase{"Late", IdentMode::Late, 200, Text("!00VexanW"), 1, 200},
                      IdentCase{"LateDefault", IdentMode::Late, 0, Text("!00VexanW"), 1, 100},
                      IdentCase{"Wrong", IdentMode::Wrong, 0, Text("!00VexanX"), 1, 0},
                      IdentCase{"Silent", IdentMode::Silent, 0, {}, 0, 0}),
    [](const ::testing::TestParamInfo<IdentCase>& param) { return std::string(param.param.name); });

TEST_F(PeerTest, AnswersEveryIdentificationRequestAgain)
{
    line.Write(kIdentRequest);
    EXPECT_EQ(line.Read(9), Text("!00VexanW"));
    peer.SetIdentMode(IdentMode::Wrong);
    line.Write(kIdentRequest);
    EXPECT_EQ(line.Read(9), Text("!00VexanX"));
}

TEST_F(PeerTest, AnswersScriptedResultRequestsWholeSplitDelayedAndWithGarbage)
{
    const Bytes whole = NodeData(5, 3, {1, 2, 3});
    const Bytes split = NodeStatus(6, 3, 0);
    const Bytes delayed = NodeStatus(7, 3, 9);
    const Bytes afterGarbage = NodeStatus(8, 0, 0);
    const Bytes garbage{'\r', '\n', 0x55, '$'};
    peer.Queue(5, 3, Reply{whole});
    peer.Queue(6, 3, Reply{split, {2, 4}, kGapMs});
    peer.Queue(7, 3, Reply{delayed, {}, 5, 300});
    peer.Queue(8, 0, Reply{afterGarbage, {}, 5, 0, garbage});

    line.Write(ResultRequest(5, 3));
    EXPECT_EQ(line.Read(whole.size()), whole);

    line.Write(ResultRequest(6, 3));
    const auto pieces = line.ReadPieces(split.size());
    const std::vector<Bytes> expectedPieces{
        {split.begin(), split.begin() + 2}, {split.begin() + 2, split.begin() + 4}, {split.begin() + 4, split.end()}};
    EXPECT_EQ(pieces, expectedPieces);

    const auto sent = Clock::now();
    line.Write(ResultRequest(7, 3));
    EXPECT_EQ(line.Read(delayed.size()), delayed);
    EXPECT_GE(MsSince(sent), 300);

    line.Write(ResultRequest(8, 0));
    EXPECT_EQ(line.Read(garbage.size() + afterGarbage.size()), Concat({garbage, afterGarbage}));
    EXPECT_TRUE(line.StaysQuiet(100ms));
}

TEST_F(PeerTest, EachRequestTakesTheNextQueuedReplyThenNone)
{
    const Bytes busy = NodeStatus(16, 5, 40);
    const Bytes final = NodeData(16, 5, {0x43, 0x00, 0x10, 0x00, 1, 2, 3, 4});
    peer.Queue(16, 5, Reply{busy});
    peer.Queue(16, 5, Reply{final});

    line.Write(ResultRequest(16, 5));
    EXPECT_EQ(line.Read(busy.size()), busy);
    line.Write(ResultRequest(16, 5));
    EXPECT_EQ(line.Read(final.size()), final);
    line.Write(ResultRequest(16, 5));
    EXPECT_TRUE(line.StaysQuiet());
    EXPECT_EQ(peer.CountResultRequests(16, 5), 3u);
}

TEST_F(PeerTest, KeysSelectTheScriptInBothRequestForms)
{
    const Bytes pdo = PdoData(56, 0x0181, {1, 2});
    const Bytes node = NodeStatus(56, 0x81, 3);
    peer.Queue(56, 0x0181, Reply{pdo});
    peer.Queue(56, 0x0081, Reply{node});
    peer.Queue(5, 4, Reply{NodeStatus(5, 4, 0)});

    line.Write(PdoResultRequest(56, 0x0181));
    EXPECT_EQ(line.Read(pdo.size()), pdo);
    line.Write(ResultRequest(56, 0x81));
    EXPECT_EQ(line.Read(node.size()), node);
    // Same command, other key: nothing is scripted for it.
    line.Write(ResultRequest(5, 3));
    EXPECT_TRUE(line.StaysQuiet());
    EXPECT_EQ(peer.CountResultRequests(56, 0x0181), 1u);
    EXPECT_EQ(peer.CountResultRequests(56, 0x0081), 1u);
    EXPECT_EQ(peer.CountResultRequests(5, 3), 1u);
    EXPECT_EQ(peer.CountResultRequests(5, 4), 0u);
}

TEST_F(PeerTest, NeverSwallowsOneRequestAndDefaultsAnswerTheRest)
{
    peer.Queue(7, 1, Reply{NodeStatus(7, 1, 0), {}, 5, 0, {}, true});
    peer.Queue(7, 1, Reply{NodeStatus(7, 1, 1)});
    peer.SetDefault(7, [](uint16_t key) { return Reply{NodeStatus(7, static_cast<uint8_t>(key), 9)}; });

    line.Write(ResultRequest(7, 1));
    EXPECT_TRUE(line.StaysQuiet());
    line.Write(ResultRequest(7, 1));
    EXPECT_EQ(line.Read(6), NodeStatus(7, 1, 1));
    line.Write(ResultRequest(7, 1));
    EXPECT_EQ(line.Read(6), NodeStatus(7, 1, 9));
    line.Write(ResultRequest(7, 42));
    EXPECT_EQ(line.Read(6), NodeStatus(7, 42, 9));

    peer.SetDefault(7, nullptr);
    line.Write(ResultRequest(7, 1));
    EXPECT_TRUE(line.StaysQuiet());
}

TEST_F(PeerTest, StartCommandIsAcceptedUnlessScriptedOrSwitchedOff)
{
    line.Write(ResultRequest(2, 1));
    EXPECT_EQ(line.Read(6), NodeStatus(2, 1, 0));

    peer.Queue(2, 1, Reply{NodeStatus(2, 1, 40)});
    line.Write(ResultRequest(2, 1));
    EXPECT_EQ(line.Read(6), NodeStatus(2, 1, 40));

    peer.SetAutoAcceptStart(false);
    line.Write(ResultRequest(2, 1));
    EXPECT_TRUE(line.StaysQuiet());
}

TEST_F(PeerTest, RepliesOfEqualDelayKeepTheirOrderAndADelayedOneDoesNotHoldOthers)
{
    const Bytes first = NodeStatus(5, 1, 0);
    const Bytes second = NodeStatus(5, 2, 0);
    peer.Queue(5, 1, Reply{first, {}, 5, 100});
    peer.Queue(5, 2, Reply{second, {}, 5, 100});
    line.Write(Concat({ResultRequest(5, 1), ResultRequest(5, 2)}));
    EXPECT_EQ(line.Read(12), Concat({first, second}));

    const Bytes slow = NodeStatus(6, 1, 0);
    const Bytes quick = NodeStatus(6, 2, 0);
    peer.Queue(6, 1, Reply{slow, {}, 5, 800});
    peer.Queue(6, 2, Reply{quick});
    line.Write(ResultRequest(6, 1));
    ASSERT_TRUE(peer.WaitUntil([&](const auto&) { return peer.CountResultRequests(6, 1) == 1; }));
    line.Write(ResultRequest(6, 2));
    EXPECT_EQ(line.Read(12), Concat({quick, slow}));
}

TEST_F(PeerTest, EventPollsTakeQueuedRepliesThenIdleRule)
{
    const Bytes bootUp = EventReply(0x40, {5});
    peer.QueueEvent(Reply{bootUp});

    line.Write(kEventPoll);
    EXPECT_EQ(line.Read(bootUp.size()), bootUp);
    line.Write(kEventPoll);
    EXPECT_TRUE(line.StaysQuiet());

    peer.SetAnswerIdlePolls(true);
    line.Write(kEventPoll);
    EXPECT_EQ(line.Read(6), EventReply(0, {}));
    EXPECT_EQ(peer.CountFrames(0x40), 3u);
}

TEST_F(PeerTest, ParsesFramesWrittenInPiecesAndSkipsStrayBytes)
{
    peer.SetAutoAcceptStart(false);
    const Bytes command{':', 5, 0x10, 5, 5, 0x10, 0x00};
    const Bytes empty{':', 0};
    const Bytes stream = Concat({Text("xx$0"), kIdentRequest, Bytes{0xFF}, command, ResultRequest(16, 5), empty,
                                 Bytes{'\r'}, kEventPoll, PdoResultRequest(57, 0x80)});
    for (const uint8_t byte : stream) {
        line.Write({byte});
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_TRUE(peer.WaitUntil([](const auto& frames) { return frames.size() == 6; }));
    EXPECT_EQ(peer.Written(), stream);

    const auto frames = peer.Frames();
    ASSERT_EQ(frames.size(), 6u);
    EXPECT_TRUE(frames[0].isIdentification);
    EXPECT_EQ(frames[0].raw, kIdentRequest);
    EXPECT_EQ(frames[1].command, 0x10);
    EXPECT_EQ(frames[1].payload, (Bytes{5, 5, 0x10, 0x00}));
    EXPECT_EQ(frames[1].raw, command);
    EXPECT_EQ(frames[2].raw, ResultRequest(16, 5));
    EXPECT_FALSE(frames[3].isIdentification);
    EXPECT_EQ(frames[3].command, 0);
    EXPECT_EQ(frames[3].raw, empty);
    EXPECT_EQ(frames[4].raw, kEventPoll);
    EXPECT_EQ(frames[5].payload, (Bytes{57, 0x80, 0x00}));

    EXPECT_EQ(peer.FramesExceptPolls().size(), 5u);
    EXPECT_EQ(peer.CountResultRequests(16, 5), 1u);
    EXPECT_EQ(peer.CountResultRequests(57, 0x80), 1u);
    EXPECT_EQ(peer.CountFrames(0x60), 2u);

    peer.ClearRecord();
    EXPECT_TRUE(peer.Written().empty());
    EXPECT_TRUE(peer.Frames().empty());
    line.Write(kEventPoll);
    EXPECT_TRUE(peer.WaitForFrames(0x40, 1));
    EXPECT_EQ(peer.Written(), kEventPoll);
}

TEST_F(PeerTest, RequestSplitAcrossWritesIsStillAnswered)
{
    const Bytes reply = NodeStatus(11, 9, 0);
    peer.Queue(11, 9, Reply{reply});
    const Bytes request = ResultRequest(11, 9);
    line.Write({request.begin(), request.begin() + 2});
    std::this_thread::sleep_for(50ms);
    line.Write({request.begin() + 2, request.end()});
    EXPECT_EQ(line.Read(reply.size()), reply);
}

TEST_F(PeerTest, SendWritesUnasked)
{
    const Bytes bytes = NodeData(5, 1, {7});
    const auto sent = Clock::now();
    peer.Send(Reply{bytes, {}, 5, 150});
    EXPECT_EQ(line.Read(bytes.size()), bytes);
    EXPECT_GE(MsSince(sent), 150);
    EXPECT_TRUE(peer.Frames().empty());
}

TEST_F(PeerTest, WaitUntilGivesUpAtItsLimit)
{
    const auto start = Clock::now();
    EXPECT_FALSE(peer.WaitForFrames(0x40, 1, 100ms));
    EXPECT_GE(MsSince(start), 100);
    // A predicate may query the peer itself.
    line.Write(kEventPoll);
    EXPECT_TRUE(peer.WaitUntil([&](const auto&) { return peer.CountFrames(0x40) == 1; }));
}

TEST_F(PeerTest, SurvivesGarbageAndKeepsRecording)
{
    std::mt19937 random(12345);
    Bytes junk(20000);
    for (uint8_t& byte : junk) {
        // No ':' so the junk cannot open a long frame that swallows what follows.
        do {
            byte = static_cast<uint8_t>(random() & 0xFF);
        } while (byte == ':');
    }
    line.Write(junk);
    peer.Queue(5, 1, Reply{NodeStatus(5, 1, 0)});
    line.Write(ResultRequest(5, 1));
    EXPECT_EQ(line.Read(6), NodeStatus(5, 1, 0));
    EXPECT_EQ(peer.Written(), Concat({junk, ResultRequest(5, 1)}));
}

TEST(PeerShutdown, CloseEndsTheLineAndIsIdempotent)
{
    ModulePeer peer;
    LibrarySide line{peer.LibraryPort()};
    peer.Queue(5, 1, Reply{NodeStatus(5, 1, 0), {}, 5, 10000});
    line.Write(ResultRequest(5, 1));
    ASSERT_TRUE(peer.WaitForFrames(0x60, 1));
    peer.Close();
    peer.Close();
    EXPECT_TRUE(line.StaysQuiet(100ms));
    const uint8_t byte = ':';
    EXPECT_FALSE(port::WriteAll(peer.LibraryPort(), &byte, 1));
    // The record stays readable after the close.
    EXPECT_EQ(peer.CountFrames(0x60), 1u);
    EXPECT_FALSE(peer.WaitForFrames(0x40, 1, 50ms));
}

TEST(PeerShutdown, DestructorReturnsPromptlyWhateverIsInFlight)
{
    struct Case {
        const char* name;
        std::function<void(ModulePeer&)> load;
    };
    const std::vector<Case> cases{
        {"long delay",
         [](ModulePeer& peer) {
             peer.Send(Reply{NodeStatus(5, 1, 0), {}, 5, 60000});
         }},
        {"slow pieces",
         [](ModulePeer& peer) {
             peer.Send(Reply{NodeStatus(5, 2, 0), {1, 2, 3}, 60000});
         }},
        // More than the line holds while the library reads nothing.
        {"unread flood", [](ModulePeer& peer) { peer.Send(Reply{Bytes(1 << 20, 0x55)}); }},
        {"partial frame",
         [](ModulePeer& peer) {
             const Bytes partial{':', 0xFF, 1, 2};
             ASSERT_TRUE(port::WriteAll(peer.LibraryPort(), partial.data(), partial.size()));
             ASSERT_TRUE(peer.WaitUntil([&](const auto&) { return peer.Written().size() == 4; }));
         }},
    };
    for (const Case& c : cases) {
        std::optional<ModulePeer> peer(std::in_place);
        c.load(*peer);
        std::this_thread::sleep_for(50ms);  // let the peer's threads get into the wait
        const auto start = Clock::now();
        peer.reset();
        EXPECT_LT(MsSince(start), 2000) << c.name;
    }
}

}  // namespace
}  // namespace vexan::test
