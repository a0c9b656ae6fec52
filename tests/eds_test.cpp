// The EDS reader's lookups and number reading, and node configuration from
// small EDS files against the scripted module: which PDOs, mappings, SYNC and
// EMCY COB-IDs go out, the path forms, and blocking and non-blocking runs.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "board.hpp"
#include "child_process.hpp"
#include "eds/eds_load.hpp"
#include "eds/eds_reader.hpp"
#include "engine/request.hpp"
#include "file_hold.hpp"
#include "link/protocol.hpp"
#include "module_peer.hpp"
#include "scratch.hpp"
#include "vexan.h"

namespace {

namespace vt = vexan::test;
using vexan::Command;
using vexan::EdsReader;

uint8_t Code(Command command)
{
    return vexan::CodeOf(command);
}

// ---- Lookups ----------------------------------------------------------------------

struct FindCase {
    const char* name;
    std::string text;
    const char* section;
    std::optional<std::string> value;  // nullopt: not found
};

std::vector<FindCase> FindCases()
{
    const std::string longValue(99, '7');
    return {
        {"OneSpaceAfterEquals", "[1400sub1]\nDefaultValue= 0x0180\n", "[1400sub1]", "0x0180"},
        {"EveryLeadingBlankSkipped", "[1005]\nDefaultValue=     0x1\n", "[1005]", "0x1"},
        {"TabsAreBlanks", "[1005]\nDefaultValue=\t 0x2\n", "[1005]", "0x2"},
        {"TrailingSpacesStay", "[1005]\nDefaultValue=7  \n", "[1005]", "7  "},
        {"CrLfLeavesNoCr", "[1005]\r\nDefaultValue=0x80\r\n[1006]\r\n", "[1005]", "0x80"},
        {"LastLineWithoutLineEnd", "[1000]\nDefaultValue=0x191", "[1000]", "0x191"},
        {"LastLineEndsWithCrOnly", "[1000]\nDefaultValue=0x191\r", "[1000]", "0x191"},
        {"LastSectionOfTheFile", "[1000]\nDefaultValue=1\n[1014]\nDefaultValue=0x85\n", "[1014]", "0x85"},
        {"NotInTheSectionButInTheNext", "[1005]\nParameterName=SYNC\n[1006]\nDefaultValue=9\n", "[1005]", std::nullopt},
        {"BracketsEndTheName", "[1000sub0]\nDefaultValue=3\n", "[1000]", std::nullopt},
        {"SectionNameIgnoresCase", "[1a00sub1]\nDefaultValue=0x60000108\n", "[1A00sub1]", "0x60000108"},
        {"SubInCapitals", "[3010Sub0]\nDefaultValue=2\n", "[3010sub0]", "2"},
        {"KeyIgnoresCase", "[1005]\ndefaultvalue=0x80\n", "[1005]", "0x80"},
        {"BracketInsideAValue", "[1800]\nParameterName=TPDO [1]\n[1800sub1]\nDefaultValue=0x181\n", "[1800sub1]",
         "0x181"},
        {"BracketInValueDoesNotEndTheSection", "[1800sub2]\nParameterName=type [see]\nDefaultValue=254\n", "[1800sub2]",
         "254"},
        {"NameInsideALineCounts", "[2000]\nParameterName=copy of [1005]\nDefaultValue=0x99\n[1005]\nDefaultValue=1\n",
         "[1005]", "0x99"},
        {"FirstOfTwoSections", "[1005]\nDefaultValue=1\n[1005]\nDefaultValue=2\n", "[1005]", "1"},
        {"DefaultValueBesideParameterValue", "[1400sub1]\nParameterValue=0x201\nDefaultValue=$NODEID+0x200\n",
         "[1400sub1]", "$NODEID+0x200"},
        {"EmptyValue", "[1005]\nDefaultValue=\n", "[1005]", std::nullopt},
        {"OnlyBlanks", "[1005]\nDefaultValue=   \n", "[1005]", std::nullopt},
        {"NinetyNineCharacters", "[1005]\nDefaultValue=" + longValue + "\n", "[1005]", longValue},
        {"HundredCharactersRefused", "[1005]\nDefaultValue=" + longValue + "7\n", "[1005]", std::nullopt},
        {"NoSuchSection", "[1005]\nDefaultValue=1\n", "[1014]", std::nullopt},
    };
}

class EdsFind : public ::testing::TestWithParam<FindCase> {};

TEST_P(EdsFind, FindsTheValueText)
{
    const FindCase& c = GetParam();
    EdsReader reader("unused");
    ASSERT_GT(reader.SetText(c.text), 0u);
    std::array<char, vexan::kEdsValueBuffer> value{};
    value.fill('#');
    const uint16_t length = reader.FindValue(c.section, "DefaultValue", value.data());
    if (c.value) {
        EXPECT_EQ(length, c.value->size());
        EXPECT_EQ(std::string(value.data()), *c.value);
    } else {
        EXPECT_EQ(length, 0u);
        EXPECT_EQ(value[0], '\0');
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, EdsFind, ::testing::ValuesIn(FindCases()),
                         [](const ::testing::TestParamInfo<FindCase>& param) { return param.param.name; });

// ---- Numbers ----------------------------------------------------------------------

struct ParseCase {
    const char* name;
    const char* text;
    uint8_t nodeId;
    uint16_t result;
    uint32_t number;  // when result is 0
};

constexpr uint32_t kSentinel = 0xDEADBEEF;
constexpr uint8_t kNodeForScripts = 5;

const ParseCase kParseCases[] = {
    {"Hex", "0x180", 5, 0, 384},
    {"Decimal", "384", 5, 0, 384},
    {"NodeIdPlusHex", "$NODEID+0x180", 5, 0, 389},
    {"HexPlusNodeId", "0x180+$NODEID", 5, 0, 389},
    {"NodeIdPlusDecimalWithSpaces", "$NODEID + 384", 5, 0, 389},
    {"DecimalPlusLowerCaseNodeId", "384 + $nodeid", 5, 0, 389},
    {"MixedCaseAsymmetricSpaces", "$NodeID +0x80", 5, 0, 133},
    {"ReversedDecimal", "1280+$NODEID", 5, 0, 1285},
    {"NodeIdThree", "$NODEID+0x200", 3, 0, 515},
    {"BitThirtyOneKept", "0x80000180", 5, 0, 0x80000180},
    {"BitThirtyOneRelative", "0xC0000180+$NODEID", 5, 0, 0xC0000185},
    {"CapitalXIsHex", "0X10", 5, 0, 16},
    {"CapitalXRelative", "$NODEID+0X80", 5, 0, 133},
    {"CapitalXBeforeNodeId", "0X80+$NODEID", 5, 0, 133},
    {"NodeIdZeroReadsPlainDecimal", "$NODEID+0x180", 0, 0, 0},
    {"NodeIdZeroHexStart", "0x180+$NODEID", 0, 0, 384},
    {"Empty", "", 5, 0, 0},
    {"TooLargeSaturates", "99999999999", 5, 0, 0xFFFFFFFF},
    {"DigitsUpToTheFirstOther", "12abc", 5, 0, 12},
    {"NineDigitsBeforePlus", "123456789+$NODEID", 5, 0, 123456794},
    {"TenDigitsBeforePlusRefused", "1234567890+$NODEID", 5, 51, 0},
    {"NodeIdAlone", "$NODEID", 5, 51, 0},
    {"NodeIdPlusNothing", "$NODEID+  ", 5, 51, 0},
    {"ShortName", "$NODE+1", 5, 51, 0},
    {"DollarAtTheEnd", "0x80+$", 5, 51, 0},
    {"DollarRefusedEvenForNodeZero", "$NODE+1", 0, 51, 0},
};

class EdsParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(EdsParse, ReadsTheNumber)
{
    const ParseCase& c = GetParam();
    EdsReader reader("unused");
    reader.SetNodeId(c.nodeId);
    uint32_t number = kSentinel;
    EXPECT_EQ(reader.ParseValue(c.text, &number), c.result);
    EXPECT_EQ(number, c.result == 0 ? c.number : kSentinel);
}

INSTANTIATE_TEST_SUITE_P(Cases, EdsParse, ::testing::ValuesIn(kParseCases),
                         [](const ::testing::TestParamInfo<ParseCase>& param) { return param.param.name; });

TEST(EdsReaderFile, LoadsOnceAndReportsMissingOrEmptyFiles)
{
    const auto directory = vt::MakeScratchDirectory("vexan-eds");
    const auto empty = directory / "empty.eds";
    std::ofstream(empty).close();
    EXPECT_EQ(EdsReader((directory / "missing.eds").string()).LoadText(), 0u);
    EXPECT_EQ(EdsReader(empty.string()).LoadText(), 0u);
    EXPECT_EQ(EdsReader(directory.string()).LoadText(), 0u);  // a directory reads as nothing
    const auto crlf = directory / "crlf.eds";
    std::ofstream(crlf, std::ios::binary) << "[1005]\r\nDefaultValue=0x80\r\n";
    EdsReader reader(crlf.string());
    EXPECT_EQ(reader.LoadText(), 25u);  // each CR LF counts as one line end
    std::array<char, vexan::kEdsValueBuffer> value{};
    EXPECT_EQ(reader.FindValue("[1005]", "DefaultValue", value.data()), 4u);
    std::filesystem::remove_all(directory);
}

// ---- Run outcomes with scripted calls -------------------------------------------------

// The calls of a run answered from a script: every call succeeds except the
// NMT start (nmtAnswer) and the install numbered failingInstall (installAnswer).
namespace script {
uint16_t nmtAnswer = 0;
unsigned failingInstall = 0;
uint16_t installAnswer = 0;
unsigned installs = 0;
unsigned stopAfterInstalls = 0;  // 0: never asks the run to stop

uint16_t AddNode(uint8_t, uint8_t, uint8_t, uint16_t, uint16_t, uint8_t)
{
    return VEXAN_OK;
}
uint16_t Nmt(uint8_t, uint8_t, uint8_t, uint8_t)
{
    return nmtAnswer;
}
uint16_t SetCobId(uint8_t, uint8_t, uint16_t, uint8_t)
{
    return VEXAN_OK;
}
uint16_t Install(uint8_t, uint8_t, uint16_t, uint8_t, uint16_t, uint8_t, uint16_t, uint8_t, const uint32_t*, uint8_t)
{
    ++installs;
    return installs == failingInstall ? installAnswer : uint16_t{VEXAN_OK};
}
const vexan::EdsNodeCalls kCalls{&AddNode, &Nmt, &SetCobId, &SetCobId, &Install};
}  // namespace script

struct OutcomeCase {
    const char* name;
    uint16_t nmtAnswer;
    unsigned failingInstall;
    uint16_t installAnswer;
    unsigned stopAfterInstalls;
    uint16_t outcome;
    unsigned installs;  // install calls made
};

// Two receive and two transmit PDOs: four installs when nothing stops the run.
// A status byte of the module's own (here 0x18, 0x05) is a refusal the run
// ignores; a code the library produced (the PDO never reached the module, or
// its answer never came) ends the run with that code.
const OutcomeCase kOutcomeCases[] = {
    {"ModuleRefusesAPdo", 0, 2, 0x18, 0, VEXAN_OK, 4},
    {"ModuleRefusesWithAStatusOfFive", 0, 1, 0x05, 0, VEXAN_OK, 4},
    {"ModuleRefusesTheStart", 0x18, 0, 0, 0, VEXAN_OK, 4},
    {"Paused", 0, 2, VEXAN_PAUSED, 0, VEXAN_PAUSED, 2},
    {"BoardShutDown", 0, 2, VEXAN_NOT_OPEN, 0, VEXAN_NOT_OPEN, 2},
    {"TimedOut", 0, 3, VEXAN_TIMEOUT, 0, VEXAN_TIMEOUT, 3},
    {"NoPortHandle", 0, 1, VEXAN_NO_PORT_HANDLE, 0, VEXAN_NO_PORT_HANDLE, 1},
    {"ShortWrite", 0, 4, VEXAN_SHORT_WRITE, 0, VEXAN_SHORT_WRITE, 4},
    {"WriteFailed", 0, 2, VEXAN_WRITE_FAILED, 0, VEXAN_WRITE_FAILED, 2},
    {"StartPaused", VEXAN_PAUSED, 0, 0, 0, VEXAN_PAUSED, 0},
    {"StartTimedOut", VEXAN_TIMEOUT, 0, 0, 0, VEXAN_TIMEOUT, 0},
    {"StopAsked", 0, 0, 0, 1, VEXAN_NOT_OPEN, 1},
    {"StopAskedDuringAFailedCall", 0, 2, 0x18, 2, VEXAN_NOT_OPEN, 2},
};

class EdsRunOutcome : public ::testing::TestWithParam<OutcomeCase> {};

TEST_P(EdsRunOutcome, LibraryFailuresEndTheRunAndModuleRefusalsDoNot)
{
    const OutcomeCase& c = GetParam();
    EdsReader reader("unused");
    ASSERT_GT(reader.SetText("[1000]\nDefaultValue=0x191\n"
                             "[1400sub1]\nDefaultValue=0x201\n[1401sub1]\nDefaultValue=0x301\n"
                             "[1800sub1]\nDefaultValue=0x181\n[1801sub1]\nDefaultValue=0x281\n"),
              0u);
    script::nmtAnswer = c.nmtAnswer;
    script::failingInstall = c.failingInstall;
    script::installAnswer = c.installAnswer;
    script::installs = 0;
    script::stopAfterInstalls = c.stopAfterInstalls;
    const vexan::EdsStopCheck stop = [] {
        return script::stopAfterInstalls != 0 && script::installs >= script::stopAfterInstalls;
    };
    EXPECT_EQ(vexan::ConfigureNode(reader, vexan::EdsRunParams{.slot = 1, .node = kNodeForScripts}, script::kCalls,
                                   nullptr, stop),
              c.outcome);
    EXPECT_EQ(script::installs, c.installs);
}

INSTANTIATE_TEST_SUITE_P(Cases, EdsRunOutcome, ::testing::ValuesIn(kOutcomeCases),
                         [](const ::testing::TestParamInfo<OutcomeCase>& param) { return param.param.name; });

// ---- Configuration against the scripted module ---------------------------------------

constexpr uint8_t kSlot = 0;  // slot 0 is configured like any other
constexpr uint8_t kMasterId = 0x7F;
constexpr uint8_t kNode = 5;

struct Installed {
    uint16_t cobId;
    uint8_t direction;
    uint16_t number;
    uint8_t type;
    uint16_t timer;
    std::vector<uint32_t> entries;
    bool operator==(const Installed&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Installed& pdo)
{
    out << "{cob " << pdo.cobId << " dir " << int{pdo.direction} << " no " << pdo.number << " type " << int{pdo.type}
        << " timer " << pdo.timer << " entries";
    for (const uint32_t entry : pdo.entries) {
        out << ' ' << std::hex << entry << std::dec;
    }
    return out << '}';
}

class EdsLoadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const Command command : {Command::AddNode, Command::NmtChangeState, Command::SetSyncList,
                                      Command::SetEmcyList, Command::InstallPdoList}) {
            const uint8_t code = Code(command);
            peer_.SetDefault(
                code, [code](uint16_t key) { return vt::Reply{vt::NodeStatus(code, static_cast<uint8_t>(key), 0)}; });
        }
        ASSERT_NO_FATAL_FAILURE(vt::OpenBoard(kSlot, peer_, kMasterId));
        peer_.ClearRecord();
        directory_ = vt::MakeScratchDirectory("vexan-eds-load");
    }
    void TearDown() override
    {
        // Collects a worker run a failed check may have left (on an idle job
        // this runs on a file that does not exist, which sends nothing).
        Vexan_EDS_Load(kSlot, kNode, "/nonexistent/unused.eds", 0, 0, 1);
        vt::CloseBoard(kSlot);
        std::filesystem::remove_all(directory_);
    }

    // The path returned is UTF-8; the names used here are ASCII, so it reads the
    // same in the ANSI code page a narrow path is taken in on Windows (see
    // NarrowAndWidePathsConfigureTheSameNode for other names).
    std::string Write(const std::string& name, const std::string& text)
    {
        const auto path = directory_ / std::u8string(name.begin(), name.end());
        std::ofstream(path, std::ios::binary) << text;
        const std::u8string utf8 = path.u8string();
        return std::string(utf8.begin(), utf8.end());
    }

    std::vector<Installed> Installs() const
    {
        std::vector<Installed> pdos;
        for (const auto& frame : peer_.FramesExceptPolls()) {
            if (frame.command != Code(Command::InstallPdoList)) {
                continue;
            }
            const auto& p = frame.payload;
            Installed pdo{static_cast<uint16_t>(p[1] | p[2] << 8), p[3], static_cast<uint16_t>(p[4] | p[5] << 8), p[6],
                          static_cast<uint16_t>(p[7] | p[8] << 8), {}};
            for (std::size_t i = 0; i < p[9]; ++i) {
                const std::size_t at = 10 + 4 * i;
                pdo.entries.push_back(static_cast<uint32_t>(p[at] | p[at + 1] << 8 | p[at + 2] << 16) |
                                      static_cast<uint32_t>(p[at + 3]) << 24);
            }
            pdos.push_back(pdo);
        }
        return pdos;
    }

    // The commands the run sent, in order, without result requests and polls.
    std::vector<uint8_t> Commands() const
    {
        std::vector<uint8_t> commands;
        for (const auto& frame : peer_.FramesExceptPolls()) {
            if (frame.command != Code(Command::ResultRequest)) {
                commands.push_back(frame.command);
            }
        }
        return commands;
    }

    std::optional<uint16_t> CobIdSent(Command command) const
    {
        for (const auto& frame : peer_.FramesExceptPolls()) {
            if (frame.command == Code(command)) {
                return static_cast<uint16_t>(frame.payload[1] | frame.payload[2] << 8);
            }
        }
        return std::nullopt;
    }

    vt::ModulePeer peer_;
    std::filesystem::path directory_;
};

const char* const kHead = "[1000]\nDefaultValue=0x191\n";

TEST_F(EdsLoadTest, GapsEndTheListAndInvalidCobIdsAreSkipped)
{
    const std::string path = Write("gaps.eds", std::string(kHead) +
                                                   "[1400sub1]\nDefaultValue=$NODEID+0x200\n"
                                                   "[1400sub2]\nDefaultValue=1\n"
                                                   "[1401sub1]\nDefaultValue=0x80000201\n"  // not valid: skipped
                                                   "[1402sub1]\nDefaultValue=0x402\n"
                                                   "[1403sub1]\nDefaultValue=$NODE+1\n"     // does not parse: skipped
                                                   "[1404sub1]\nDefaultValue=0x800\n"       // above 0x7FF: skipped
                                                   "[1405sub1]\nDefaultValue=0x40000405\n"  // bit 30 is a flag
                                                   "[1407sub1]\nDefaultValue=0x407\n");     // after the gap
    EXPECT_EQ(Vexan_EDS_Load(kSlot, kNode, path.c_str(), 0x1234, 0x5678, 1), VEXAN_OK);
    const std::vector<Installed> expected{
        {0x205, 0, 1, 1, 0, {}}, {0x402, 0, 3, 255, 0, {}}, {0x405, 0, 6, 255, 0, {}}};
    EXPECT_EQ(Installs(), expected);
    const std::vector<uint8_t> order{Code(Command::AddNode), Code(Command::NmtChangeState),
                                     Code(Command::InstallPdoList), Code(Command::InstallPdoList),
                                     Code(Command::InstallPdoList)};
    EXPECT_EQ(Commands(), order);  // no [1005] or [1014]: no SYNC or EMCY COB-ID
    const auto frames = peer_.FramesExceptPolls();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames[0].payload, (vt::Bytes{kNode, 2, 0x34, 0x12, 0x78, 0x56}));
    EXPECT_EQ(frames[2].payload, (vt::Bytes{kNode, 1}));
}

TEST_F(EdsLoadTest, MappingCountsAndTransmitDefaults)
{
    const std::string path = Write("mapping.eds", std::string(kHead) +
                                                      "[1005]\nDefaultValue=0x80\n"
                                                      "[1014]\nDefaultValue=$NODEID+0x80\n"
                                                      "[1400sub1]\nDefaultValue=0x201\n"
                                                      "[1600sub0]\nDefaultValue=3\n"
                                                      "[1600sub1]\nDefaultValue=0x60000108\n"
                                                      "[1600sub2]\nDefaultValue=0x60010110\n"
                                                      "[1401sub1]\nDefaultValue=0x301\n"
                                                      "[1601sub0]\nDefaultValue=2\n"
                                                      "[1601sub1]\nDefaultValue=0x62000108\n"
                                                      "[1601sub2]\nDefaultValue=$oops\n"  // ends the list
                                                      "[1800sub1]\nDefaultValue=$NODEID+0x180\n"
                                                      "[1A00sub0]\nDefaultValue=9\n"
                                                      "[1A00sub1]\nDefaultValue=0x60000108\n"
                                                      "[1801sub1]\nDefaultValue=0x281\n"
                                                      "[1801sub2]\nDefaultValue=254\n"
                                                      "[1801sub5]\nDefaultValue=100\n"
                                                      "[1a01sub0]\nDefaultValue=1\n"
                                                      "[1a01sub1]\nDefaultValue=0x64000108\n");
    EXPECT_EQ(Vexan_EDS_Load(kSlot, kNode, path.c_str(), 0, 0, 1), VEXAN_OK);
    const std::vector<Installed> expected{
        {0x201, 0, 1, 255, 0, {0x60000108, 0x60010110}},
        {0x301, 0, 2, 255, 0, {0x62000108}},
        {0x185, 1, 1, 255, 0, {}},  // a count of 9 installs no entries
        {0x281, 1, 2, 254, 100, {0x64000108}},
    };
    EXPECT_EQ(Installs(), expected);
    EXPECT_EQ(CobIdSent(Command::SetSyncList), 0x80);
    EXPECT_EQ(CobIdSent(Command::SetEmcyList), 0x85);
}

struct FailureCase {
    const char* name;
    std::string body;  // after the [1000] head, when withHead
    bool withHead;
    std::optional<Command> failing;  // the command the module refuses with 0x18
    uint16_t outcome;
    std::vector<Command> sent;  // the commands the run sends, in order
};

std::vector<FailureCase> FailureCases()
{
    return {
        {"EmcyThatDoesNotParse",
         "[1005]\nDefaultValue=0x80\n[1014]\nDefaultValue=$NODE+0x80\n[1400sub1]\nDefaultValue=1\n",
         true,
         std::nullopt,
         VEXAN_EDS_VALUE,
         {Command::AddNode, Command::NmtChangeState, Command::SetSyncList}},
        {"SyncThatDoesNotParse",
         "[1005]\nDefaultValue=$NODEID\n",
         true,
         std::nullopt,
         VEXAN_EDS_VALUE,
         {Command::AddNode, Command::NmtChangeState}},
        {"DeviceTypeWithoutDefaultValue",
         "[1000]\nParameterName=Device type\nDataType=0x0007\n[1400sub1]\nDefaultValue=1\n",
         false,
         std::nullopt,
         VEXAN_OK,
         {Command::AddNode, Command::NmtChangeState, Command::InstallPdoList}},
        {"NoDeviceTypeSection",
         "[1005]\nDefaultValue=0x80\n[1400sub1]\nDefaultValue=1\n",
         false,
         std::nullopt,
         VEXAN_EDS_VALUE,
         {Command::AddNode}},
        {"DeviceTypeNamedOnlyInsideALine",
         "[2000]\nParameterName=copy of [1000]\nDefaultValue=1\n[1000sub0]\nDefaultValue=1\n",
         false,
         std::nullopt,
         VEXAN_EDS_VALUE,
         {Command::AddNode}},
        {"AddRefused", "[1400sub1]\nDefaultValue=1\n", true, Command::AddNode, 0x18, {Command::AddNode}},
        {"SyncRefused",
         "[1005]\nDefaultValue=0x80\n[1014]\nDefaultValue=0x85\n",
         true,
         Command::SetSyncList,
         0x18,
         {Command::AddNode, Command::NmtChangeState, Command::SetSyncList}},
        {"EmcyRefused",
         "[1014]\nDefaultValue=0x85\n",
         true,
         Command::SetEmcyList,
         0x18,
         {Command::AddNode, Command::NmtChangeState, Command::SetEmcyList}},
        {"RefusedStartAndPdoDoNotStopTheRun",
         "[1400sub1]\nDefaultValue=1\n[1401sub1]\nDefaultValue=2\n",
         true,
         Command::NmtChangeState,
         VEXAN_OK,
         {Command::AddNode, Command::NmtChangeState, Command::InstallPdoList, Command::InstallPdoList}},
    };
}

class EdsLoadFailure : public EdsLoadTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(EdsLoadFailure, EndsWithItsCodeAndUndoesNothing)
{
    const FailureCase& c = GetParam();
    if (c.failing) {
        const uint8_t code = Code(*c.failing);
        peer_.SetDefault(
            code, [code](uint16_t key) { return vt::Reply{vt::NodeStatus(code, static_cast<uint8_t>(key), 0x18)}; });
    }
    if (c.outcome == VEXAN_OK) {
        peer_.SetDefault(Code(Command::InstallPdoList), [](uint16_t key) {
            return vt::Reply{vt::NodeStatus(Code(Command::InstallPdoList), static_cast<uint8_t>(key), 0x18)};
        });
    }
    const std::string path = Write("failure.eds", (c.withHead ? std::string(kHead) : std::string()) + c.body);
    EXPECT_EQ(Vexan_EDS_Load(kSlot, kNode, path.c_str(), 0, 0, 1), c.outcome);
    std::vector<uint8_t> sent;
    for (const Command command : c.sent) {
        sent.push_back(Code(command));
    }
    EXPECT_EQ(Commands(), sent);
}

INSTANTIATE_TEST_SUITE_P(Cases, EdsLoadFailure, ::testing::ValuesIn(FailureCases()),
                         [](const ::testing::TestParamInfo<FailureCase>& param) { return param.param.name; });

// A narrow path is the application's own, as its C runtime's fopen takes it
// (on Windows in the ANSI code page, such as "Ger\xE4t.eds" under code page
// 1252); the wide form of the same name configures the same node.
TEST_F(EdsLoadTest, NarrowAndWidePathsConfigureTheSameNode)
{
    const std::string text = std::string(kHead) +
                             "[1005]\nDefaultValue=0x80\n"
                             "[1800sub1]\nDefaultValue=$NODEID+0x180\n"
                             "[1800sub2]\nDefaultValue=1\n";
    for (const std::u16string name : {u"Ger\u00E4t.eds", u"wide-\u00E9\u20AC.eds"}) {
        std::u16string wide;
        for (const char c : directory_.string() + "/") {
            wide.push_back(static_cast<char16_t>(c));  // the scratch directory's path is ASCII
        }
        wide += name;
        const std::string narrow = vt::NarrowNameOf(wide);
        SCOPED_TRACE(narrow);
        ASSERT_FALSE(narrow.empty()) << "the system's narrow names cannot spell this one";
        // Made as an application would make it, through the narrow name.
        FILE* file = std::fopen(narrow.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        ASSERT_EQ(std::fwrite(text.data(), 1, text.size(), file), text.size());
        std::fclose(file);
        peer_.ClearRecord();
        ASSERT_EQ(Vexan_EDS_Load(kSlot, kNode, narrow.c_str(), 0, 0, 1), VEXAN_OK);
        const auto narrowFrames = vt::RawFrames(peer_);
        EXPECT_EQ(Installs().size(), 1u);
        peer_.ClearRecord();
        ASSERT_EQ(Vexan_EDS_Load(kSlot, kNode, wide.c_str(), 0, 0, 1), VEXAN_OK);
        EXPECT_EQ(vt::RawFrames(peer_), narrowFrames);
    }
}

TEST_F(EdsLoadTest, PathsThatDoNotFitAreRefusedBeforeAnything)
{
    const std::string longest =
        directory_.string() + "/" + std::string(vexan::kEdsMaxPath - directory_.string().size() - 1, 'a');
    ASSERT_EQ(longest.size(), vexan::kEdsMaxPath);
    EXPECT_EQ(Vexan_EDS_Load(kSlot, kNode, longest.c_str(), 0, 0, 1), VEXAN_EDS_FILE);  // fits: no such file
    const std::string tooLong = longest + "a";
    EXPECT_EQ(Vexan_EDS_Load(kSlot, kNode, tooLong.c_str(), 0, 0, 1), VEXAN_OUT_OF_RANGE);
    EXPECT_EQ(Vexan_EDS_Load(kSlot, kNode, tooLong.c_str(), 0, 0, 0), VEXAN_OUT_OF_RANGE);
    const std::u16string wideTooLong(vexan::kEdsMaxPath + 1, u'a');
    EXPECT_EQ(Vexan_EDS_Load(kSlot, kNode, wideTooLong.c_str(), 0, 0, 1), VEXAN_OUT_OF_RANGE);
    // 128 two-byte characters are 256 bytes in UTF-8: one too many.
    const std::u16string wideTooManyBytes(128, u'\u00E9');
    EXPECT_EQ(Vexan_EDS_Load(kSlot, kNode, wideTooManyBytes.c_str(), 0, 0, 1), VEXAN_OUT_OF_RANGE);
    const char16_t loneSurrogate[] = {u'a', 0xD800, u'b', 0};
    EXPECT_EQ(Vexan_EDS_Load(kSlot, kNode, loneSurrogate, 0, 0, 1), VEXAN_EDS_FILE);
    EXPECT_EQ(Vexan_EDS_Load(kSlot, kNode, nullptr, 0, 0, 1), VEXAN_EDS_FILE);
    EXPECT_TRUE(peer_.FramesExceptPolls().empty());
    EXPECT_EQ(Vexan_EDS_Load(5, kNode, "x.eds", 0, 0, 1), VEXAN_NOT_OPEN);
}

TEST_F(EdsLoadTest, MissingFile)
{
    const std::string missing = (directory_ / "missing.eds").string();
    EXPECT_EQ(Vexan_EDS_Load(kSlot, kNode, missing.c_str(), 0, 0, 1), VEXAN_EDS_FILE);
    ASSERT_EQ(Vexan_EDS_Load(kSlot, kNode, missing.c_str(), 0, 0, 0), VEXAN_SENT);
    EXPECT_EQ(vt::RepeatWhileWaiting([&] { return Vexan_EDS_Load(kSlot, kNode, missing.c_str(), 0, 0, 0); }).first,
              VEXAN_EDS_FILE);
    // Collected: the job is idle and the next call starts a new run.
    EXPECT_EQ(Vexan_EDS_Load(kSlot, kNode, missing.c_str(), 0, 0, 0), VEXAN_SENT);
    EXPECT_EQ(vt::RepeatWhileWaiting([&] { return Vexan_EDS_Load(kSlot, kNode, missing.c_str(), 0, 0, 0); }).first,
              VEXAN_EDS_FILE);
    EXPECT_TRUE(peer_.FramesExceptPolls().empty());
}

// The add command's result comes late, so the run lasts while the calls repeat.
TEST_F(EdsLoadTest, NonBlockingSentThenWaitingThenTheOutcomeOnce)
{
    peer_.Queue(Code(Command::AddNode), kNode, vt::Reply{vt::NodeStatus(Code(Command::AddNode), kNode, 0), {}, 5, 300});
    const std::string path = Write("one.eds", std::string(kHead) + "[1400sub1]\nDefaultValue=0x201\n");
    const std::string other = (directory_ / "other.eds").string();
    ASSERT_EQ(Vexan_EDS_Load(kSlot, kNode, path.c_str(), 0, 0, 0), VEXAN_SENT);
    EXPECT_EQ(Vexan_EDS_Load(kSlot, kNode, other.c_str(), 0, 0, 0), VEXAN_WAITING);
    const auto [outcome, waits] =
        vt::RepeatWhileWaiting([&] { return Vexan_EDS_Load(kSlot, 9, other.c_str(), 0, 0, 0); });
    EXPECT_EQ(outcome, VEXAN_OK);
    EXPECT_GT(waits, 0);
    EXPECT_EQ(Installs(), (std::vector<Installed>{{0x201, 0, 1, 255, 0, {}}}));
    // The outcome came once: the next call starts a run of its own.
    EXPECT_EQ(Vexan_EDS_Load(kSlot, kNode, other.c_str(), 0, 0, 0), VEXAN_SENT);
    EXPECT_EQ(vt::RepeatWhileWaiting([&] { return Vexan_EDS_Load(kSlot, kNode, other.c_str(), 0, 0, 0); }).first,
              VEXAN_EDS_FILE);
}

TEST_F(EdsLoadTest, BlockingCallWaitsForTheWorkerRunAndReturnsItsOutcome)
{
    peer_.Queue(Code(Command::AddNode), kNode,
                vt::Reply{vt::NodeStatus(Code(Command::AddNode), kNode, 0x18), {}, 5, 200});
    const std::string path = Write("one.eds", std::string(kHead) + "[1400sub1]\nDefaultValue=0x201\n");
    ASSERT_EQ(Vexan_EDS_Load(kSlot, kNode, path.c_str(), 0, 0, 0), VEXAN_SENT);
    EXPECT_EQ(Vexan_EDS_Load(kSlot, kNode, path.c_str(), 0, 0, 1), 0x18);
    EXPECT_EQ(peer_.CountFrames(Code(Command::AddNode)), 1u);                  // the blocking call ran nothing itself
    EXPECT_EQ(Vexan_EDS_Load(kSlot, kNode, path.c_str(), 0, 0, 1), VEXAN_OK);  // idle again: a run of its own
}

TEST_F(EdsLoadTest, NonBlockingStartDuringABlockingRunIsRefused)
{
    peer_.Queue(Code(Command::AddNode), kNode, vt::Reply{vt::NodeStatus(Code(Command::AddNode), kNode, 0), {}, 5, 300});
    const std::string path = Write("one.eds", std::string(kHead) + "[1400sub1]\nDefaultValue=0x201\n");
    uint16_t blockingOutcome = 0xFFFF;
    std::thread blocking([&] { blockingOutcome = Vexan_EDS_Load(kSlot, kNode, path.c_str(), 0, 0, 1); });
    ASSERT_TRUE(peer_.WaitForFrames(Code(Command::AddNode), 1));
    EXPECT_EQ(Vexan_EDS_Load(kSlot, kNode, path.c_str(), 0, 0, 0), VEXAN_WAITING);
    blocking.join();
    EXPECT_EQ(blockingOutcome, VEXAN_OK);
    EXPECT_EQ(peer_.CountFrames(Code(Command::AddNode)), 1u);
    EXPECT_EQ(Installs().size(), 1u);
}

// An add left pending by an earlier non-blocking call, which the module is
// still busy with: the run collects it until it has a final result.
TEST_F(EdsLoadTest, PendingAddStillBusyIsCollectedToTheEnd)
{
    const uint8_t add = Code(Command::AddNode);
    peer_.Queue(add, kNode, vt::Reply{vt::NodeStatus(add, kNode, 0), {}, 5, 200});
    ASSERT_EQ(Vexan_AddNode(kSlot, kNode, 2, 0, 0, 0), VEXAN_SENT);
    peer_.Queue(add, kNode, vt::Reply{vt::NodeStatus(add, kNode, VEXAN_WAITING)});
    const std::string path = Write("one.eds", std::string(kHead) + "[1400sub1]\nDefaultValue=0x201\n");
    EXPECT_EQ(Vexan_EDS_Load(kSlot, kNode, path.c_str(), 0, 0, 1), VEXAN_OK);
    EXPECT_EQ(Installs().size(), 1u);
}

// A file of `count` receive PDOs, 0x201 on.
std::string ReceivePdos(unsigned count)
{
    std::string text = kHead;
    for (unsigned n = 0; n < count; ++n) {
        std::array<char, 64> line{};
        std::snprintf(line.data(), line.size(), "[%04Xsub1]\nDefaultValue=0x%X\n", 0x1400 + n, 0x201 + n);
        text += line.data();
    }
    return text;
}

// The real install export, with the transmit gate closed (untimed) before the
// second install: that install never reaches the module.
namespace pause_script {
unsigned installs = 0;
uint16_t Install(uint8_t slot, uint8_t node, uint16_t cobId, uint8_t direction, uint16_t number, uint8_t type,
                 uint16_t timer, uint8_t count, const uint32_t* entries, uint8_t blocking)
{
    if (++installs == 2) {
        Vexan_Pause(0);
    }
    return Vexan_InstallPDO_List(slot, node, cobId, direction, number, type, timer, count, entries, blocking);
}
}  // namespace pause_script

TEST_F(EdsLoadTest, PauseMidRunEndsItWithPaused)
{
    const std::string path = Write("sixteen.eds", ReceivePdos(16));
    const vexan::EdsNodeCalls calls{&Vexan_AddNode, &Vexan_NMTChangeState, &Vexan_SetSYNC_List, &Vexan_SetEMCY_List,
                                    &pause_script::Install};
    pause_script::installs = 0;
    const uint16_t outcome =
        vexan::ConfigureNodeFromEds(path, vexan::EdsRunParams{.slot = kSlot, .node = kNode}, calls);
    Vexan_Start();
    EXPECT_EQ(outcome, VEXAN_PAUSED);
    EXPECT_EQ(pause_script::installs, 2u);  // no install after the refused one
    EXPECT_EQ(Installs().size(), 1u);       // one of sixteen reached the module
}

// The board goes while an install waits for its answer: the run ends with 7
// at once, whether the shutdown found the call waiting (its record released)
// or between two calls.
TEST_F(EdsLoadTest, ShutdownMidRunEndsItWithNotOpen)
{
    const uint8_t install = Code(Command::InstallPdoList);
    peer_.Queue(install, kNode, vt::Reply{vt::NodeStatus(install, kNode, 0), {}, 5, 30'000});
    const std::string path = Write("sixteen.eds", ReceivePdos(16));
    uint16_t outcome = 0xFFFF;
    std::thread run([&] { outcome = Vexan_EDS_Load(kSlot, kNode, path.c_str(), 0, 0, 1); });
    const bool installing = peer_.WaitForFrames(install, 1, std::chrono::seconds(20));
    EXPECT_EQ(Vexan_ShutdownMaster(kSlot), VEXAN_OK);
    run.join();
    ASSERT_TRUE(installing);
    EXPECT_EQ(outcome, VEXAN_NOT_OPEN);
    EXPECT_EQ(Installs().size(), 1u);
}

// A worker run that ended before the board was shut down: once the board is
// open again, the next load is a run of its own, not that run's outcome.
TEST_F(EdsLoadTest, OutcomeOfARunBeforeAShutdownIsNotHandedOutAfterTheRestart)
{
    const uint8_t add = Code(Command::AddNode);
    peer_.Queue(add, kNode, vt::Reply{vt::NodeStatus(add, kNode, 0x18)});
    const std::string path = Write("one.eds", std::string(kHead) + "[1400sub1]\nDefaultValue=0x201\n");
    ASSERT_EQ(Vexan_EDS_Load(kSlot, kNode, path.c_str(), 0, 0, 0), VEXAN_SENT);
    // The run ends (the add refused) and is left uncollected.
    ASSERT_TRUE(peer_.WaitForFrames(add, 1, std::chrono::seconds(20)));
    ASSERT_TRUE(
        vt::WaitFor([] { return !vexan::IsPending(kSlot, Code(Command::AddNode), kNode); }, std::chrono::seconds(20)));
    ASSERT_EQ(Vexan_ShutdownMaster(kSlot), VEXAN_OK);
    ASSERT_NO_FATAL_FAILURE(vt::OpenBoard(kSlot, peer_, kMasterId));
    peer_.ClearRecord();
    EXPECT_EQ(Vexan_EDS_Load(kSlot, kNode, path.c_str(), 0, 0, 1), VEXAN_OK);
    EXPECT_EQ(peer_.CountFrames(add), 1u);
    EXPECT_EQ(Installs().size(), 1u);
}

TEST(EdsUnload, ExitWithAWorkerRunJoinsIt)
{
    const int status = vt::RunInChild([] {
        static vt::ModulePeer* const peer = std::make_unique<vt::ModulePeer>().release();
        peer->SetAnswerIdlePolls(true);
        const uint8_t add = Code(Command::AddNode);
        peer->Queue(add, kNode, vt::Reply{vt::NodeStatus(add, kNode, 0), {}, 5, 300});
        if (vt::StartMaster(2, peer->LibraryPort(), 1) != VEXAN_OK) {
            std::_Exit(2);
        }
        const auto directory = vt::MakeScratchDirectory("vexan-eds-unload");
        const std::string path = (directory / "unload.eds").string();
        std::ofstream(path) << kHead;
        if (Vexan_EDS_Load(2, kNode, path.c_str(), 0, 0, 0) != VEXAN_SENT) {
            std::_Exit(3);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the add is on its way
        std::filesystem::remove_all(directory);
        std::exit(0);  // runs the library's unload while the worker waits for the add
    });
    EXPECT_EQ(status, 0);
}

// The module answers each install only after 100 ms, so the whole run of 400
// PDOs would last 40 seconds: the unload ends it at its next call instead
// of waiting for it.
TEST(EdsUnload, ExitEndsAWorkerRunAtItsNextCall)
{
    const auto directory = vt::MakeScratchDirectory("vexan-eds-unload-long");
    const std::string path = (directory / "long.eds").string();
    std::ofstream(path) << ReceivePdos(400);
    const int status = vt::RunInChild(
        [&path] {
            static vt::ModulePeer* const peer = std::make_unique<vt::ModulePeer>().release();
            peer->SetAnswerIdlePolls(true);
            for (const Command command : {Command::AddNode, Command::NmtChangeState, Command::InstallPdoList}) {
                const uint8_t code = Code(command);
                const unsigned delayMs = command == Command::InstallPdoList ? 100 : 0;
                peer->SetDefault(code, [code, delayMs](uint16_t key) {
                    return vt::Reply{vt::NodeStatus(code, static_cast<uint8_t>(key), 0), {}, 5, delayMs};
                });
            }
            if (vt::StartMaster(2, peer->LibraryPort(), 1) != VEXAN_OK ||
                Vexan_EDS_Load(2, kNode, path.c_str(), 0, 0, 0) != VEXAN_SENT) {
                std::_Exit(2);
            }
            if (!peer->WaitForFrames(Code(Command::InstallPdoList), 2, std::chrono::seconds(10))) {
                std::_Exit(3);
            }
            std::exit(0);  // runs the library's unload during the run
        },
        std::chrono::seconds(25));
    EXPECT_EQ(status, 0);
    std::filesystem::remove_all(directory);
}

}  // namespace
