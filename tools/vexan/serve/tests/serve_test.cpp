// The ASCII gateway of `vexan serve`: conversations over a real Unix socket
// and real loopback TCP with the server in this process on simulated boards,
// the parser on its own, and the program itself (start, signals, exit codes).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "gateway_client.hpp"
#include "gateway_parse.hpp"
#include "gateway_server.hpp"
#include "gateway_values.hpp"
#include "vexan_sim/simulator.hpp"

namespace {

using namespace vexantool::serve;
using testkit::GatewayClient;
using testkit::GatewayServer;
using testkit::ServerSetup;

constexpr uint8_t kSdoReadCommand = 16;  // the module's command number of an SDO upload

enum class Transport { Unix, Tcp };

std::string TransportName(const ::testing::TestParamInfo<Transport>& info)
{
    return info.param == Transport::Unix ? "Unix" : "Tcp";
}

bool Connect(GatewayClient& client, GatewayServer& server, Transport transport)
{
    return transport == Transport::Unix ? client.ConnectUnix(server.SocketPath()) : client.ConnectTcp(server.TcpPort());
}

struct Exchange {
    const char* line;
    const char* expected;  // nullptr: no answer expected (the next exchange's answer follows)
};

// Sends each line and checks each answer, in order, on one connection.
void Converse(GatewayClient& client, const std::vector<Exchange>& table)
{
    for (const Exchange& row : table) {
        ASSERT_TRUE(client.Send(std::string(row.line) + "\n")) << row.line;
        if (row.expected == nullptr) {
            continue;
        }
        EXPECT_EQ(client.ReadLine().value_or("<no answer>"), row.expected) << "line: " << row.line;
    }
}

class Conversation : public ::testing::TestWithParam<Transport> {
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(server_.Start(ServerSetup{}, error)) << error;
        ASSERT_TRUE(Connect(client_, server_, GetParam()));
    }

    GatewayServer server_;
    GatewayClient client_;
};

TEST_P(Conversation, CommandsDefaultsSequencesAndErrors)
{
    Converse(client_, {
                          // No node yet: 105; the net defaults to 1.
                          {"r 0x1017 0 u16", "ERROR:105"},
                          {"set node 5", "OK"},
                          {"r 0x1017 0 u16", "0"},
                          {"read 0x1017 0 u16", "0"},
                          {"w 0x1017 0 u16 100", "OK"},
                          {"write 0x1017 0x0 u16 0x65", "OK"},
                          {"r 0x1017 0 u16", "101"},
                          // Net and node before the command.
                          {"6 r 0x1018 4 u32", "4102"},
                          {"1 6 r 0x1018 4 x32", "0x00001006"},
                          {"2 6 r 0x1018 4 u32", "ERROR:106"},
                          {"0 6 r 0x1018 4 u32", "ERROR:106"},
                          {"128 r 0x1018 4 u32", "ERROR:107"},
                          {"0 r 0x1018 4 u32", "ERROR:107"},
                          {"1 2 3 r 0x1018 4 u32", "ERROR:101"},
                          // Sequences are repeated, also on errors.
                          {"[1] r 0x1018 1 x32", "[1] 0x0056584E"},
                          {"[4294967295] r 0x1000 0", "[4294967295] 91 01 0f 00"},
                          {"[42] nonsense", "[42] ERROR:100"},
                          {"[43] r 0x1017", "[43] ERROR:101"},
                          {"[x] r 0x1017 0 u16", "ERROR:101"},
                          {"[4294967296] r 0x1017 0 u16", "ERROR:101"},
                          {"[7]", "[7] ERROR:101"},
                          // Comments and blank lines get no answer.
                          {"# a comment", nullptr},
                          {"", nullptr},
                          {"   ", nullptr},
                          {"r 0x1017 0 u16 # the heartbeat", "101"},
                          // SDO aborts come back as their code.
                          {"r 0x5555 0 u8", "ERROR:0x06020000"},
                          {"r 0x1018 9 u32", "ERROR:0x06090011"},
                          {"w 0x1000 0 u32 1", "ERROR:0x06010002"},
                          {"w 0x1017 0 u32 1", "ERROR:0x06070010"},
                          // A type that does not fit the object's size is not made up.
                          {"r 0x1017 0 u32", "ERROR:0x06070010"},
                          // Malformed requests.
                          {"r 0x10000 0 u8", "ERROR:101"},
                          {"r 0x1017 256 u8", "ERROR:101"},
                          {"r 0x1017 0 q7", "ERROR:101"},
                          {"r 0x1017 0 u16 extra", "ERROR:101"},
                          {"w 0x1017 0 u16", "ERROR:101"},
                          {"w 0x1017 0 u16 65536", "ERROR:101"},
                          {"w 0x1017 0 u16 -1", "ERROR:101"},
                          {"w 0x1017 0 u16 12abc", "ERROR:101"},
                          {"start now", "ERROR:101"},
                          {"reset everything", "ERROR:101"},
                          {"frobnicate", "ERROR:100"},
                          {"_nothing", "ERROR:100"},
                          // set
                          {"set network 2", "ERROR:106"},
                          {"set network 1", "OK"},
                          {"set node 0", "ERROR:107"},
                          {"set node 128", "ERROR:107"},
                          {"set node", "ERROR:101"},
                          {"set colour 5", "ERROR:100"},
                          {"set sdo_timeout 0", "ERROR:101"},
                          {"set sdo_timeout 1500", "OK"},
                          {"2 set sdo_timeout 1500", "ERROR:106"},
                          // NMT, default node and given node, and node 0 (all).
                          {"preop", "OK"},
                          {"start", "OK"},
                          {"6 stop", "OK"},
                          {"1 6 preoperational", "OK"},
                          {"reset comm", "OK"},
                          {"reset communication", "OK"},
                          {"reset node", "OK"},
                          {"0 start", "OK"},
                          {"130 start", "ERROR:107"},
                          // Vexan's own commands.
                          {"_scan", "5 6"},
                          {"1 _scan", "5 6"},
                          {"2 _scan", "ERROR:106"},
                          {"_sync", "OK"},
                          {"_sync 0x80", "OK"},
                          {"_sync 0x800", "ERROR:101"},
                          {"_emcy 5", "none"},
                          {"_emcy 0", "ERROR:107"},
                          {"_pdo read 0x185", "none"},
                          {"_pdo read", "ERROR:101"},
                          {"_pdo frob 0x185", "ERROR:101"},
                          // No receive PDO 0x205 is installed: the module's refusal.
                          {"_pdo write 0x205 01 02 03 04", "ERROR:102"},
                          {"_pdo write 0x205 01 02 03 04 05 06 07 08 09", "ERROR:101"},
                          {"_eds load 5", "ERROR:101"},
                          {"help me", "ERROR:101"},
                          {"3 4 help", "ERROR:101"},
                      });
}

TEST_P(Conversation, HelpListsTheCommandsAndTheDataTypes)
{
    const std::string help = client_.Ask("[3] help");
    EXPECT_EQ(help.rfind("[3] ", 0), 0U) << help;
    for (const char* command : {"r[ead]", "w[rite]", "start", "stop", "preop", "reset node", "set sdo_timeout", "_info",
                                "_scan", "_sync", "_emcy", "_pdo read", "_pdo write", "_eds load"}) {
        EXPECT_NE(help.find(command), std::string::npos) << command;
    }
    const std::string types = client_.Ask("help datatype");
    for (const char* type : {"b ", "i8", "i64", "u64", "x8", "x64", "r32", "r64", "vs", "os", "us", " d ", "hex"}) {
        EXPECT_NE(types.find(type), std::string::npos) << type;
    }
}

TEST_P(Conversation, InfoNamesVersionsFirmwareAndCanStatus)
{
    const std::string info = client_.Ask("_info");
    EXPECT_TRUE(std::regex_search(info, std::regex("^library 203 tool [0-9.]+; net 1 slot 0 master 1 port simulator "
                                                   "firmware 0x0102 can-state 0 tx-errors 0 rx-errors 0 overruns 0$")))
        << info;
}

TEST_P(Conversation, NmtCommandsReachTheNodeAndTheHostSeesTheState)
{
    Converse(client_, {{"set node 5", "OK"}, {"start", "OK"}});
    // An SDO to a stopped node is aborted by the simulated node: the stop arrived.
    Converse(client_,
             {{"stop", "OK"}, {"r 0x1017 0 u16", "ERROR:0x05040000"}, {"preop", "OK"}, {"r 0x1017 0 u16", "0"}});
    const auto node = server_.Host().Node(1, 5);
    ASSERT_TRUE(node.has_value());
    EXPECT_EQ(node->nmtState, std::optional<uint8_t>(127));
}

// Every data type: written as text, stored on the node as its bytes, read back as text.
TEST_P(Conversation, EveryDataTypeRoundTrips)
{
    using vexsim::DataType;
    struct Row {
        const char* type;
        DataType objectType;
        const char* written;
        std::vector<uint8_t> bytes;  // on the node afterwards
        const char* read;
    };
    const std::vector<Row> rows = {
        {"b", DataType::Boolean, "1", {1}, "1"},
        {"i8", DataType::Integer8, "-128", {0x80}, "-128"},
        {"i16", DataType::Integer16, "-2", {0xFE, 0xFF}, "-2"},
        {"i32", DataType::Integer32, "-70000", {0x90, 0xEE, 0xFE, 0xFF}, "-70000"},
        {"i64", DataType::Integer64, "-9223372036854775808", {0, 0, 0, 0, 0, 0, 0, 0x80}, "-9223372036854775808"},
        {"u8", DataType::Unsigned8, "255", {0xFF}, "255"},
        {"u16", DataType::Unsigned16, "0xBEEF", {0xEF, 0xBE}, "48879"},
        {"u32", DataType::Unsigned32, "4294967295", {0xFF, 0xFF, 0xFF, 0xFF}, "4294967295"},
        {"u64", DataType::Unsigned64, "18446744073709551615", std::vector<uint8_t>(8, 0xFF), "18446744073709551615"},
        {"x8", DataType::Unsigned8, "10", {0x0A}, "0x0A"},
        {"x16", DataType::Unsigned16, "0x1234", {0x34, 0x12}, "0x1234"},
        {"x32", DataType::Unsigned32, "0xDEADBEEF", {0xEF, 0xBE, 0xAD, 0xDE}, "0xDEADBEEF"},
        {"x64", DataType::Unsigned64, "1", {1, 0, 0, 0, 0, 0, 0, 0}, "0x0000000000000001"},
        {"r32", DataType::Real32, "1.5", {0, 0, 0xC0, 0x3F}, "1.5"},
        {"r64", DataType::Real64, "-0.25", {0, 0, 0, 0, 0, 0, 0xD0, 0xBF}, "-0.25"},
        {"vs", DataType::VisibleString, "plain", {'p', 'l', 'a', 'i', 'n'}, "plain"},
        {"vs",
         DataType::VisibleString,
         "\"two words\"",
         {'t', 'w', 'o', ' ', 'w', 'o', 'r', 'd', 's'},
         "\"two words\""},
        {"vs",
         DataType::VisibleString,
         "\"say \"\"hi\"\"\"",
         {'s', 'a', 'y', ' ', '"', 'h', 'i', '"'},
         "\"say \"\"hi\"\"\""},
        {"os", DataType::OctetString, "AAEC/w==", {0, 1, 2, 0xFF}, "AAEC/w=="},
        {"us", DataType::UnicodeString, "aABpAA==", {'h', 0, 'i', 0}, "aABpAA=="},
        {"d", DataType::Domain, "AQID", {1, 2, 3}, "AQID"},
        {"hex", DataType::Domain, "01 02 ff", {1, 2, 0xFF}, "01 02 ff"},
        {"hex", DataType::Domain, "A0b1C2", {0xA0, 0xB1, 0xC2}, "a0 b1 c2"},
    };
    uint8_t sub = 1;
    ASSERT_EQ(client_.Ask("set node 5"), "OK");
    for (const Row& row : rows) {
        const std::size_t size = vexsim::SizeOf(row.objectType);
        server_.Sim().PutObject(5, vexsim::ObjectEntry{0x3000, sub, "test", row.objectType, vexsim::Access::ReadWrite,
                                                       false, std::vector<uint8_t>(size == 0 ? 1 : size, 0)});
        const std::string where = "0x3000 " + std::to_string(sub);
        EXPECT_EQ(client_.Ask("w " + where + " " + row.type + " " + row.written), "OK")
            << row.type << " " << row.written;
        EXPECT_EQ(server_.Sim().ReadObject(5, 0x3000, sub).value_or(std::vector<uint8_t>{}), row.bytes)
            << row.type << " " << row.written;
        EXPECT_EQ(client_.Ask("r " + where + " " + row.type), row.read) << row.type << " " << row.written;
        ++sub;
    }
}

TEST_P(Conversation, ValuesOutsideTheirTypeAreRefusedBeforeAnythingIsSent)
{
    ASSERT_EQ(client_.Ask("set node 5"), "OK");
    for (const char* line :
         {"w 0x2000 1 i8 128", "w 0x2000 1 i8 -129", "w 0x2000 1 u8 256", "w 0x2000 1 x8 0x100", "w 0x2000 1 b 2",
          "w 0x2000 1 r32 1e40", "w 0x2000 1 os AAE", "w 0x2000 1 os A@==", "w 0x2000 1 hex 0", "w 0x2000 1 hex zz",
          "w 0x2000 4 vs \"open", "w 0x2000 4 vs \"a\"b\""}) {
        EXPECT_EQ(client_.Ask(line), "ERROR:101") << line;
    }
    // An empty value, and one over what a single download carries (248 bytes): not supported.
    EXPECT_EQ(client_.Ask("w 0x2000 4 vs \"\""), "ERROR:100");
    std::string large = "w 0x2100 0 hex";
    for (int i = 0; i < 249; ++i) {
        large += " 5a";
    }
    EXPECT_EQ(client_.Ask(large), "ERROR:100");
    EXPECT_EQ(client_.Ask("r 0x2000 1 u8"), "0");
    EXPECT_EQ(client_.Ask("r 0x2000 4 vs"), "test");
}

TEST_P(Conversation, LinesEndInLfOrCrLfAndAnswersInCrLf)
{
    ASSERT_TRUE(client_.Send("set node 5\r\n[1] r 0x1017 0 u16\n[2] r 0x1017 0 u16\r\n"));
    EXPECT_EQ(client_.ReadLine(std::chrono::seconds(60), true), "OK\r\n");
    EXPECT_EQ(client_.ReadLine(std::chrono::seconds(60), true), "[1] 0\r\n");
    EXPECT_EQ(client_.ReadLine(std::chrono::seconds(60), true), "[2] 0\r\n");
}

TEST_P(Conversation, ALineOverFourKiBIsAnsweredWithASyntaxErrorAndDropped)
{
    const std::string command = "[9] 5 r 0x1017 0 u16";
    // Exactly 4096 bytes before the LF (with or without CR) is a line; one more is not.
    const std::string longest = command + std::string(gateway::kMaxLine - command.size(), ' ');
    EXPECT_EQ(client_.Ask(longest), "[9] 0");
    EXPECT_EQ(client_.Ask(longest + "\r"), "[9] 0");
    EXPECT_EQ(client_.Ask(longest + "x"), "ERROR:101");
    // A line far too long, in pieces: one answer, the whole line dropped, the next one served.
    ASSERT_TRUE(client_.Send("[10] 5 w 0x2000 4 vs "));
    for (int i = 0; i < 8; ++i) {
        ASSERT_TRUE(client_.Send(std::string(3000, 'a')));
    }
    ASSERT_TRUE(client_.Send("\n[11] 5 r 0x2000 4 vs\n"));
    EXPECT_EQ(client_.ReadLine(), "ERROR:101");
    EXPECT_EQ(client_.ReadLine(), "[11] test");
}

TEST_P(Conversation, LargeObjectsComeWholeInBase64AndLeaveNoSpillFile)
{
    ASSERT_EQ(client_.Ask("set node 5"), "OK");
    const auto expected = server_.Sim().ReadObject(5, 0x2100, 0);
    ASSERT_TRUE(expected.has_value());
    const std::string answer = client_.Ask("r 0x2100 0 d");
    EXPECT_EQ(gateway::Base64Decode(answer).value_or(std::vector<uint8_t>{}), *expected);
    EXPECT_TRUE(std::filesystem::is_empty(server_.Dir() + "/spill"));
}

TEST_P(Conversation, ReadsWithoutATypeTakeItFromTheAttachedDeviceFile)
{
    const std::string eds = server_.Dir() + "/node.eds";
    std::ofstream(eds) << "[DeviceInfo]\nProductName=Test node\n"
                          "[1017]\nParameterName=Producer heartbeat time\nObjectType=0x7\nDataType=0x0006\n"
                          "AccessType=rw\nDefaultValue=0\n"
                          "[1008]\nParameterName=Device name\nObjectType=0x7\nDataType=0x0009\nAccessType=const\n"
                          "[1000]\nParameterName=Device type\nObjectType=0x7\nDataType=0x0007\nAccessType=ro\n";
    EXPECT_EQ(client_.Ask("5 r 0x1000 0"), "91 01 0f 00");
    std::string error;
    ASSERT_TRUE(server_.Host().AttachModel(1, 5, eds, error)) << error;
    Converse(client_, {{"5 r 0x1000 0", "983441"},
                       {"5 r 0x1008 0", "\"Vexan I/O node\""},
                       {"5 w 0x1017 0 u16 250", "OK"},
                       {"5 r 0x1017 0", "250"},
                       // Objects the file does not describe stay hex.
                       {"5 r 0x2000 1", "00"},
                       // A type given wins.
                       {"5 r 0x1000 0 x32", "0x000F0191"},
                       // Node 6 has no file.
                       {"6 r 0x1000 0", "91 01 0f 00"}});
    EXPECT_EQ(server_.Host().Node(1, 5)->deviceName, "Test node");
}

TEST_P(Conversation, EmcyAndPdoCommandsShowWhatTheModuleRecorded)
{
    server_.Sim().InjectEmcy(5, {0x30, 0x81, 0x11, 1, 2, 3, 4, 5});
    // The EMCY reaches the host through the library's event poll.
    std::optional<NodeInfo> node;
    for (int i = 0; i < 600 && !(node && node->lastEmcy); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        node = server_.Host().Node(1, 5);
    }
    ASSERT_TRUE(node && node->lastEmcy);
    EXPECT_EQ(node->lastEmcy->data[0], 0x30);
    EXPECT_EQ(client_.Ask("_emcy 5"), "0x8130 0x11 01 02 03 04 05");
    server_.Sim().InjectNodePdo(0x185, {0xAA, 0xBB});
    EXPECT_EQ(client_.Ask("_pdo read 0x185"), "aa bb");
}

INSTANTIATE_TEST_SUITE_P(Sockets, Conversation, ::testing::Values(Transport::Unix, Transport::Tcp), TransportName);

// ---- errors that need a board in a particular state

TEST(GatewayErrors, TimeOutAndRefusalByTheModule)
{
    GatewayServer server;
    std::string error;
    ASSERT_TRUE(server.Start(ServerSetup{}, error)) << error;
    GatewayClient client;
    ASSERT_TRUE(client.ConnectUnix(server.SocketPath()));
    ASSERT_EQ(client.Ask("set sdo_timeout 300"), "OK");
    server.Sim().DropReplies(1, vexsim::DropTarget{kSdoReadCommand, 5});
    EXPECT_EQ(client.Ask("5 r 0x1017 0 u16"), "ERROR:103");
    server.Sim().SetFailure(kSdoReadCommand, 5, 24);
    EXPECT_EQ(client.Ask("5 r 0x1017 0 u16"), "ERROR:102");
    EXPECT_EQ(client.Ask("5 r 0x1017 0 u16"), "0");
    // A node that is not on the bus: its SDO times out on the bus (the
    // module's abort); the master does not know it for NMT.
    EXPECT_EQ(client.Ask("9 r 0x1017 0 u16"), "ERROR:0x05040000");
    EXPECT_EQ(client.Ask("9 start"), "ERROR:107");
}

TEST(GatewayErrors, WithoutABoardOnSlotZeroThereIsNoDefaultNet)
{
    GatewayServer server;
    std::string error;
    ServerSetup setup;
    setup.slots = {1};
    ASSERT_TRUE(server.Start(setup, error)) << error;
    GatewayClient client;
    ASSERT_TRUE(client.ConnectUnix(server.SocketPath()));
    Converse(client, {{"set node 5", "OK"},
                      {"r 0x1017 0 u16", "ERROR:104"},
                      {"start", "ERROR:104"},
                      {"_scan", "ERROR:104"},
                      {"1 5 r 0x1017 0 u16", "ERROR:106"},
                      {"2 5 r 0x1017 0 u16", "0"},
                      {"set network 1", "ERROR:106"},
                      {"set network 2", "OK"},
                      {"r 0x1017 0 u16", "0"}});
}

TEST(GatewayErrors, ReadOnlyRefusesEveryChange)
{
    GatewayServer server;
    std::string error;
    ServerSetup setup;
    setup.readOnly = true;
    ASSERT_TRUE(server.Start(setup, error)) << error;
    GatewayClient client;
    ASSERT_TRUE(client.ConnectTcp(server.TcpPort()));
    Converse(client, {{"set node 5", "OK"},
                      {"w 0x1017 0 u16 7", "ERROR:100"},
                      {"start", "ERROR:100"},
                      {"stop", "ERROR:100"},
                      {"preop", "ERROR:100"},
                      {"reset node", "ERROR:100"},
                      {"reset comm", "ERROR:100"},
                      {"set sdo_timeout 5000", "ERROR:100"},
                      {"_pdo write 0x205 01", "ERROR:100"},
                      {"_eds load 5 x.eds", "ERROR:100"},
                      {"r 0x1017 0 u16", "0"},
                      {"_scan", "5 6"},
                      {"_pdo read 0x185", "none"}});
    EXPECT_EQ(server.Sim().ReadObject(5, 0x1017, 0), std::optional<std::vector<uint8_t>>({0, 0}));
}

TEST(GatewayEds, LoadConfiguresTheNodeAndAttachesItsFile)
{
    GatewayServer server;
    std::string error;
    ASSERT_TRUE(server.Start(ServerSetup{}, error)) << error;
    const std::string eds = server.Dir() + "/io.eds";
    std::ofstream(eds) << "[DeviceInfo]\nProductName=Loaded\n"
                          "[1000]\nParameterName=Device type\nObjectType=0x7\nDataType=0x0007\nAccessType=ro\n";
    GatewayClient client;
    ASSERT_TRUE(client.ConnectUnix(server.SocketPath()));
    // A relative path is taken from the server's folder.
    EXPECT_EQ(client.Ask("_eds load 5 io.eds"), "OK");
    EXPECT_EQ(client.Ask("5 r 0x1000 0"), "983441");
    EXPECT_EQ(client.Ask("_eds load 5 missing.eds"), "ERROR:102");
    EXPECT_EQ(client.Ask("_eds load 200 io.eds"), "ERROR:107");
}

// ---- several clients

TEST(GatewayClients, TwoClientsInterleavedKeepTheirOwnDefaultsAndSequences)
{
    GatewayServer server;
    std::string error;
    ASSERT_TRUE(server.Start(ServerSetup{}, error)) << error;
    GatewayClient a;
    GatewayClient b;
    ASSERT_TRUE(a.ConnectUnix(server.SocketPath()));
    ASSERT_TRUE(b.ConnectTcp(server.TcpPort()));
    ASSERT_EQ(a.Ask("set node 5"), "OK");
    ASSERT_EQ(b.Ask("set node 6"), "OK");
    // Both send a burst before reading: each gets its own answers, in its own order.
    std::string burstA;
    std::string burstB;
    for (int i = 0; i < 20; ++i) {
        burstA += "[" + std::to_string(i) + "] r 0x1018 4 u32\n";
        burstB += "[" + std::to_string(100 + i) + "] r 0x1018 4 u32\n";
    }
    ASSERT_TRUE(a.Send(burstA));
    ASSERT_TRUE(b.Send(burstB));
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(a.ReadLine(), "[" + std::to_string(i) + "] 4101");
        EXPECT_EQ(b.ReadLine(), "[" + std::to_string(100 + i) + "] 4102");
    }
}

// A client that starts a long upload and vanishes costs the others nothing:
// another client's short read is answered while the upload still runs, and
// the server serves on afterwards.
TEST(GatewayClients, AClientVanishingMidUploadDoesNotStallTheOthers)
{
    GatewayServer server;
    std::string error;
    ServerSetup setup;
    setup.slots = {0, 1};
    ASSERT_TRUE(server.Start(setup, error)) << error;
    // The 1 MiB object at the line's own pace takes minutes: the upload is
    // surely under way while the other client asks, and the time-out ends it.
    // The time-out is the board's, also for the other client's reads on it:
    // long enough that a busy machine does not end those.
    server.Sim(1).SetBaud(115200);
    GatewayClient uploader;
    ASSERT_TRUE(uploader.ConnectUnix(server.SocketPath()));
    ASSERT_EQ(uploader.Ask("set sdo_timeout 10000"), "OK");
    ASSERT_TRUE(uploader.Send("[1] 5 r 0x2101 0 d\n"));
    ASSERT_TRUE(server.Sim(1).WaitForTrace("SDORead", std::chrono::seconds(60)));
    uploader.Close();
    GatewayClient other;
    ASSERT_TRUE(other.ConnectTcp(server.TcpPort()));
    // Another node of the same board, and the other board.
    EXPECT_EQ(other.Ask("6 r 0x1018 4 u32"), "4102");
    EXPECT_EQ(other.Ask("2 5 r 0x1018 4 u32"), "4101");
    // The same node waits for the upload to end (one SDO transfer per node), then is served.
    EXPECT_EQ(other.Ask("5 r 0x1018 4 u32"), "4101");
    GatewayClient later;
    ASSERT_TRUE(later.ConnectUnix(server.SocketPath()));
    EXPECT_EQ(later.Ask("5 r 0x1017 0 u16"), "0");
}

TEST(GatewayClients, OneClientOverTheLimitIsToldAndClosed)
{
    GatewayServer server;
    std::string error;
    ServerSetup setup;
    setup.maxClients = 2;
    ASSERT_TRUE(server.Start(setup, error)) << error;
    GatewayClient a;
    GatewayClient b;
    GatewayClient c;
    ASSERT_TRUE(a.ConnectUnix(server.SocketPath()));
    ASSERT_TRUE(b.ConnectTcp(server.TcpPort()));
    // Both are served, so both are counted.
    ASSERT_EQ(a.Ask("help datatype").empty(), false);
    ASSERT_EQ(b.Ask("help datatype").empty(), false);
    ASSERT_TRUE(c.ConnectUnix(server.SocketPath()));
    EXPECT_EQ(c.ReadLine(), "ERROR:102");
    EXPECT_TRUE(c.ClosedByServer());
    // Once one has gone, there is room again.
    a.Close();
    GatewayClient d;
    bool served = false;
    for (int attempt = 0; attempt < 600 && !served; ++attempt) {
        ASSERT_TRUE(d.ConnectUnix(server.SocketPath()));
        served = d.Ask("5 r 0x1017 0 u16") == "0";
        if (!served) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    EXPECT_TRUE(served);
}

TEST(GatewayClients, AnIdleClientIsClosed)
{
    GatewayServer server;
    std::string error;
    ServerSetup setup;
    setup.idleTimeout = std::chrono::milliseconds(200);
    ASSERT_TRUE(server.Start(setup, error)) << error;
    GatewayClient client;
    ASSERT_TRUE(client.ConnectUnix(server.SocketPath()));
    EXPECT_TRUE(client.ClosedByServer());
}

TEST(GatewayClients, TcpPeersOutsideTheAllowListAreRefusedAtAccept)
{
    GatewayServer server;
    std::string error;
    ServerSetup setup;
    setup.allowLoopback = false;
    setup.allow = ParseCidrList("127.0.0.2/32", error).value();
    ASSERT_TRUE(server.Start(setup, error)) << error;
    GatewayClient refused;
    ASSERT_TRUE(refused.ConnectTcp(server.TcpPort()));
    EXPECT_TRUE(refused.ClosedByServer());
    EXPECT_EQ(server.Server().Refused(), 1U);
    // The Unix socket is not subject to it, and is the owner's only.
    GatewayClient local;
    ASSERT_TRUE(local.ConnectUnix(server.SocketPath()));
    EXPECT_EQ(local.Ask("5 r 0x1017 0 u16"), "0");
    struct stat info {};
    ASSERT_EQ(stat(server.SocketPath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600U);
}

TEST(GatewayNet, AddressesAndAllowLists)
{
    std::string error;
    const auto list = ParseCidrList("10.0.0.0/8,192.168.1.7,fd00::/8", error);
    ASSERT_TRUE(list.has_value()) << error;
    const auto allowed = [&list](const char* text) {
        const auto ip = ParseIp(text).value();
        for (const Cidr& cidr : *list) {
            if (cidr.Contains(ip)) {
                return true;
            }
        }
        return false;
    };
    EXPECT_TRUE(allowed("10.200.3.4"));
    EXPECT_FALSE(allowed("11.0.0.1"));
    EXPECT_TRUE(allowed("192.168.1.7"));
    EXPECT_FALSE(allowed("192.168.1.8"));
    EXPECT_TRUE(allowed("fd12::1"));
    EXPECT_FALSE(allowed("fe80::1"));
    for (const char* bad : {"", "10.0.0.0/33", "10.0.0.0/x", "nonsense", "fd00::/129", "10.0.0.0/8,"}) {
        EXPECT_FALSE(ParseCidrList(bad, error).has_value() && std::string(bad).back() != ',') << bad;
    }
    EXPECT_TRUE(IsLoopback(ParseIp("127.1.2.3").value()));
    EXPECT_TRUE(IsLoopback(ParseIp("::1").value()));
    EXPECT_FALSE(IsLoopback(ParseIp("0.0.0.0").value()));
    EXPECT_EQ(ParseEndpoint("127.0.0.1:5000")->port, 5000);
    EXPECT_EQ(ParseEndpoint("[::1]:6000")->host, "::1");
    for (const char* bad : {"127.0.0.1", "127.0.0.1:", ":80", "127.0.0.1:65536", "::1:80", "[::1]80"}) {
        EXPECT_FALSE(ParseEndpoint(bad).has_value()) << bad;
    }
}

// ---- the parser and the values on their own

TEST(GatewayParse, WhatALineAsksFor)
{
    using gateway::ParseLine;
    using gateway::Verb;
    const auto read = ParseLine("[12] 2 7 r 0x1018 0x01 U32 # identity");
    ASSERT_EQ(read.error, 0);
    EXPECT_EQ(read.request.sequence, std::optional<std::string>("12"));
    EXPECT_EQ(read.request.net, std::optional<uint32_t>(2));
    EXPECT_EQ(read.request.node, std::optional<uint32_t>(7));
    EXPECT_EQ(read.request.verb, Verb::Read);
    EXPECT_EQ(read.request.index, 0x1018);
    EXPECT_EQ(read.request.subIndex, 1);
    EXPECT_EQ(read.request.dataType, "u32");
    const auto write = ParseLine("w 0x2000 4 vs \"a # b\"   # comment\r");
    EXPECT_EQ(write.request.value, "\"a # b\"");
    EXPECT_EQ(ParseLine("3 _scan").request.net, std::optional<uint32_t>(3));
    EXPECT_EQ(ParseLine("3 _scan").request.node, std::nullopt);
    EXPECT_EQ(ParseLine("3 4 _scan").error, gateway::kErrorSyntax);
    EXPECT_EQ(ParseLine("a#b").error, gateway::kErrorUnsupported);
    EXPECT_EQ(ParseLine("#r 0x1000 0").request.verb, Verb::None);
}

TEST(GatewayValues, Base64)
{
    const std::vector<std::pair<std::vector<uint8_t>, std::string>> table = {{{}, ""},
                                                                             {{'f'}, "Zg=="},
                                                                             {{'f', 'o'}, "Zm8="},
                                                                             {{'f', 'o', 'o'}, "Zm9v"},
                                                                             {{0xFF, 0xFE, 0xFD, 0}, "//79AA=="}};
    for (const auto& [bytes, text] : table) {
        EXPECT_EQ(gateway::Base64Encode(bytes), text);
        EXPECT_EQ(gateway::Base64Decode(text), bytes) << text;
    }
    for (const char* bad : {"Z", "Zg=", "Z===", "=Zg=", "Zg==Zg==", "Zm9v!A==", "Z=g="}) {
        EXPECT_FALSE(gateway::Base64Decode(bad).has_value()) << bad;
    }
}

// ---- the program

struct Child {
    pid_t pid = -1;
    int err = -1;  // its stderr
};

Child Spawn(const std::vector<std::string>& args)
{
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        return {};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], STDERR_FILENO);
        std::vector<char*> argv;
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    return {pid, pipeFds[0]};
}

// Reads the child's stderr until `needle` shows (or it ends); what was read.
std::string ReadUntil(int fd, const std::string& needle)
{
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (text.find(needle) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) {
            continue;
        }
        char chunk[1024];
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0) {
            break;
        }
        text.append(chunk, static_cast<std::size_t>(n));
    }
    return text;
}

int WaitExit(pid_t pid)
{
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class ServeProgram : public ::testing::TestWithParam<int> {};

TEST_P(ServeProgram, AnswersOnBothSocketsAndStopsCleanlyOnItsSignal)
{
    GatewayServer scratch;  // for its folder only
    const std::string socket = scratch.Dir() + "/serve.sock";
    Child child =
        Spawn({VEXAN_TOOL_PROGRAM, "serve", "--sim", "--boards", "2", "--socket", socket, "--listen", "127.0.0.1:0"});
    ASSERT_GT(child.pid, 0);
    std::string log = ReadUntil(child.err, "ready");
    std::smatch match;
    const bool listening = std::regex_search(log, match, std::regex("listening on tcp 127\\.0\\.0\\.1:([0-9]+)"));
    if (!listening || log.find("ready") == std::string::npos) {
        kill(child.pid, SIGKILL);
        WaitExit(child.pid);
        FAIL() << log;
    }
    GatewayClient tcp;
    GatewayClient local;
    EXPECT_TRUE(tcp.ConnectTcp(static_cast<uint16_t>(std::stoi(match[1]))));
    EXPECT_TRUE(local.ConnectUnix(socket));
    EXPECT_EQ(tcp.Ask("[1] 2 5 r 0x1018 4 u32"), "[1] 4101");
    EXPECT_EQ(local.Ask("[2] 1 6 r 0x1018 4 u32"), "[2] 4102");
    struct stat info {};
    EXPECT_EQ(stat(socket.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600U);
    kill(child.pid, GetParam());
    EXPECT_EQ(WaitExit(child.pid), 0);
    log += ReadUntil(child.err, "stopped");
    EXPECT_NE(log.find("stopped"), std::string::npos) << log;
    EXPECT_NE(stat(socket.c_str(), &info), 0);  // the socket is gone
    EXPECT_TRUE(tcp.ClosedByServer());
    close(child.err);
}

INSTANTIATE_TEST_SUITE_P(Signals, ServeProgram, ::testing::Values(SIGTERM, SIGINT));

TEST(ServeProgramStart, ExitsNonZeroWhenItCannotStart)
{
    GatewayServer scratch;
    struct Row {
        std::vector<std::string> args;
        int status;
        const char* message;
    };
    const std::vector<Row> rows = {
        {{"serve", "--port", scratch.Dir() + "/no-such-device", "--socket", scratch.Dir() + "/a.sock"},
         3,
         "no-such-device"},
        {{"serve", "--sim", "--listen", "0.0.0.0:0", "--socket", scratch.Dir() + "/b.sock"}, 2, "--allow"},
        {{"serve", "--sim", "--listen", "nonsense", "--socket", scratch.Dir() + "/c.sock"}, 2, "ADDR:PORT"},
        {{"serve", "--sim", "--socket", scratch.Dir()}, 3, "not a socket"},
        {{"serve", "--sim", "--eds", "0=x.eds", "--socket", scratch.Dir() + "/d.sock"}, 2, "node id"},
    };
    for (const Row& row : rows) {
        std::vector<std::string> args = {VEXAN_TOOL_PROGRAM};
        args.insert(args.end(), row.args.begin(), row.args.end());
        Child child = Spawn(args);
        ASSERT_GT(child.pid, 0);
        const std::string log = ReadUntil(child.err, "\x01");  // to its end
        EXPECT_EQ(WaitExit(child.pid), row.status) << log;
        EXPECT_NE(log.find(row.message), std::string::npos) << log;
        close(child.err);
    }
}

}  // namespace
