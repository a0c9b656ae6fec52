// End-to-end tests of the vexan program: each run starts the built-in module
// simulator (--sim, default devices 5 and 6) and checks what the program prints
// and its exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "vexan_sim/simulator.hpp"

namespace {

// A scratch directory of one test, removed with it.
class ScratchDir {
public:
    ScratchDir()
    {
        std::string name = (std::filesystem::temp_directory_path() / "vexan-example-XXXXXX").string();
        if (mkdtemp(name.data()) != nullptr) {
            path_ = name;
        }
    }
    ~ScratchDir()
    {
        if (!path_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(path_, ignored);
        }
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

// Reads a descriptor to its end (or until the deadline).
std::string ReadAll(int fd, std::chrono::steady_clock::time_point deadline)
{
    std::string text;
    char buffer[4096];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) {
            continue;
        }
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

// Runs a program with the arguments in `dir`; stdout and stderr apart.
Outcome ExecOnce(const char* program, std::vector<std::string> args, const std::string& dir,
                 const std::string& input = "")
{
    int in[2];
    if (pipe(in) != 0) {
        ADD_FAILURE() << "pipe";
        return {};
    }
    int out[2];
    int err[2];
    if (pipe(out) != 0 || pipe(err) != 0) {
        ADD_FAILURE() << "pipe";
        return {};
    }
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        dup2(in[0], STDIN_FILENO);
        close(in[1]);
        close(out[0]);
        close(err[0]);
        if (chdir(dir.c_str()) != 0) {
            _exit(126);
        }
        std::vector<char*> argv{const_cast<char*>(program)};
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    close(in[0]);
    // The input is small: it fits in the pipe's buffer.
    if (!input.empty() && write(in[1], input.data(), input.size()) != static_cast<ssize_t>(input.size())) {
        ADD_FAILURE() << "input not written";
    }
    close(in[1]);
    Outcome run;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    // stderr is read after stdout: both are small, far below a pipe's buffer.
    run.out = ReadAll(out[0], deadline);
    run.err = ReadAll(err[0], deadline);
    close(out[0]);
    close(err[0]);
    int status = 0;
    waitpid(child, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// ExecOnce, run again when the program could not start its master because
// the module's identification answer came after the library's short window
// (a busy machine can hold the simulator's thread back that long): nothing
// was done then but the failed start. A few runs at most, each logged.
Outcome Exec(const char* program, const std::vector<std::string>& args, const std::string& dir,
             const std::string& input = "")
{
    constexpr int kRuns = 5;
    const auto notIdentified = [](const Outcome& run) {
        for (const std::string* text : {&run.out, &run.err}) {
            if (text->find("VEXAN_NOT_IDENTIFIED") != std::string::npos ||
                text->find("not_identified (3)") != std::string::npos) {
                return true;
            }
        }
        return false;
    };
    Outcome run;
    for (int attempt = 1; attempt <= kRuns; ++attempt) {
        run = ExecOnce(program, args, dir, input);
        if (run.status == 0 || !notIdentified(run)) {
            break;
        }
        std::fprintf(stderr, "[ start    ] %s: module not identified (run %d)%s\n", program, attempt,
                     attempt < kRuns ? ", running it again" : "");
    }
    return run;
}

Outcome Vexan(std::vector<std::string> args, const std::string& dir = "/tmp", const std::string& input = "")
{
    return Exec(VEXAN_TOOL_PROGRAM, std::move(args), dir, input);
}

std::vector<std::string> Sim(std::vector<std::string> args, bool json = false)
{
    args.insert(args.begin(), "--sim");
    if (json) {
        args.insert(args.begin(), "--json");
    }
    return args;
}

struct Case {
    std::vector<std::string> args;
    std::string human;  // in the human-readable line
    std::string json;   // in the JSON object
};

TEST(VexanCli, EachSubcommandPrintsItsResultAsTextAndJson)
{
    const std::vector<Case> cases = {
        {{"info"}, "library 203, firmware 1.2, CAN state 0", "\"firmware\":\"1.2\""},
        {{"scan"}, "nodes on the bus: 5, 6", "\"nodes\":[5,6]"},
        {{"nodes"}, "nodes in the master's list: 5, 6", "\"nodes\":[5,6]"},
        {{"node", "add", "5"}, "node 5 added", "\"command\":\"node add\",\"node\":5"},
        {{"node", "remove", "6"}, "node 6 removed", "\"command\":\"node remove\",\"node\":6"},
        {{"node", "reset", "6"}, "node 6 removed and reset", "\"command\":\"node reset\""},
        {{"nmt", "start", "5"}, "node 5: nmt start sent", "\"specifier\":1"},
        {{"nmt", "reset-comm", "5"}, "node 5: nmt reset-comm sent", "\"specifier\":130"},
        {{"nmt", "state", "5"}, "node 5: pre-operational (127)", "\"state\":127"},
        {{"guard", "5", "100", "3"}, "node guarding every 100 ms, life time factor 3", "\"guard_time\":100"},
        {{"heartbeat", "5", "100", "300"}, "heartbeat 100 ms / 300 ms", "\"time2\":300"},
        {{"sdo", "read", "5", "0x1018", "1"},
         "node 5 1018/01 = 5658702 (0x0056584E, u32)",
         "\"index\":4120,\"index_hex\":\"0x1018\",\"sub\":1"},
        {{"sdo", "read", "5", "0x1008", "0"},
         "= \"Vexan I/O node\" (string, 14 bytes)",
         "\"type\":\"string\",\"hex\":\"56657861"},
        {{"sdo", "read", "6", "0x1018", "4", "-t", "hex"}, "= [06 10 00 00] (4 bytes)", "\"value\":\"06100000\""},
        {{"sdo", "write", "5", "0x2000", "2", "-1", "-t", "i16"},
         "node 5 2000/02 written: [FF FF]",
         "\"hex\":\"FFFF\""},
        {{"pdo", "list", "5"}, "node 5: RxPDOs none, TxPDOs none", "\"rx\":[],\"rx_hex\":[],\"tx\":[],\"tx_hex\":[]"},
        {{"pdo", "install", "5", "0x205"}, "node 5: RxPDO 1 installed on 0x205", "\"cob\":517,\"cob_hex\":\"0x205\""},
        {{"sync"}, "SYNC sent on 0x080\n", "\"cob\":128,\"cob_hex\":\"0x080\""},
        // Period 0 sends one SYNC and stops the cycle.
        {{"sync", "--period", "0"}, "SYNC sent on 0x080; the SYNC cycle on 0x080 stopped", "\"period_ms\":0"},
        {{"sync", "--period", "20"}, "SYNC every 20 ms on 0x080", "\"period_ms\":20"},
        {{"heartbeat", "5", "0"}, "node 5: heartbeat off", "\"off\":true"},
        // NMT to node 0: every node.
        {{"nmt", "stop", "0"}, "every node: nmt stop sent", "\"node\":0"},
        {{"emcy", "last", "5"}, "node 5: no EMCY recorded", "\"recorded\":false"},
    };
    for (const Case& c : cases) {
        const Outcome human = Vexan(Sim(c.args));
        EXPECT_EQ(human.status, 0) << c.args[0] << ": " << human.err;
        EXPECT_NE(human.out.find(c.human), std::string::npos) << human.out;
        const Outcome json = Vexan(Sim(c.args, true));
        EXPECT_EQ(json.status, 0) << c.args[0] << ": " << json.err;
        EXPECT_EQ(json.out.front(), '{') << json.out;
        EXPECT_NE(json.out.find(c.json), std::string::npos) << json.out;
        EXPECT_NE(json.out.find("\"ok\":true,\"result\":{\"code\":0,\"name\":\"VEXAN_OK\""), std::string::npos)
            << json.out;
    }
}

// The PDO exchange needs set-up first: one shell session, its lines from a pipe.
TEST(VexanCli, PdoExchangeInOneSession)
{
    const std::string script =
        "pdo install 5 0x205\n"
        "pdo install 5 0x185 --tx\n"
        "nmt start 5\n"
        "pdo write 0x205 11223344\n"
        "sdo read 5 0x6200 2\n"
        "pdo remote 0x185\n"
        "pdo read 0x185\n"
        "pdo read 0x185\n"
        "pdo map 0x205\n"
        "pdo list 5\n"
        "pdo remote 0x185 --json\n"
        "pdo read 0x185 --json\n"
        "pdo map 0x205 --json\n";
    const Outcome run = Vexan({"--sim", "shell"}, "/tmp", script);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    for (const char* line :
         {"PDO 0x205 sent: [11 22 33 44]", "node 5 6200/02 = 34 (0x22, u8)", "PDO 0x185 answered: [00 00 00 00]",
          "PDO 0x185: [00 00 00 00] (new)\nPDO 0x185: [00 00 00 00] (read before)",
          "PDO 0x205: number 1, direction 0 (receive), transmission type 255, event timer 0 ms; 4 entries "
          "(object/sub-index:bits): 6200/01:8, 6200/02:8, 6200/03:8, 6200/04:8",
          "node 5: RxPDOs 0x205, TxPDOs 0x185",
          "{\"command\":\"pdo remote\",\"cob\":389,\"cob_hex\":\"0x185\",\"hex\":\"00000000\"",
          "{\"command\":\"pdo read\",\"cob\":389,\"cob_hex\":\"0x185\",\"flag\":0",
          "\"number\":1,\"direction\":0,\"transmission_type\":255,\"event_timer\":0",
          "\"entries\":[\"6200/01:8\",\"6200/02:8\",\"6200/03:8\",\"6200/04:8\"]"}) {
        EXPECT_NE(run.out.find(line), std::string::npos) << line << " missing in\n" << run.out;
    }
}

TEST(VexanCli, AFailingCommandExitsNonZeroWithItsReasonOnStderr)
{
    // An SDO abort: the result by name and number and the abort code's meaning.
    Outcome run = Vexan(Sim({"sdo", "read", "5", "0x3000", "0"}));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("sdo_aborted (25): abort 0x06020000 object does not exist in the object dictionary"),
              std::string::npos)
        << run.err;
    run = Vexan(Sim({"sdo", "read", "5", "0x3000", "0"}, true));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("\"ok\":false,\"result\":{\"code\":25,\"name\":\"VEXAN_SDO_ABORTED\""), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\"abort\":100794368,\"abort_hex\":\"0x06020000\""), std::string::npos) << run.out;

    // The module's own status for a node that is not on the bus.
    run = Vexan(Sim({"node", "add", "9"}));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("node add 9: module status (18)"), std::string::npos) << run.err;

    // Nothing cached for a PDO: a library code.
    run = Vexan(Sim({"pdo", "read", "0x185"}));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("nothing_to_read (15)"), std::string::npos) << run.err;

    // A value that does not fit its type, a missing argument, no module at all.
    run = Vexan(Sim({"sdo", "write", "5", "0x2000", "1", "300", "-t", "u8"}));
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("'300' is outside UNSIGNED8 (0..255); nothing was sent"), std::string::npos) << run.err;
    EXPECT_EQ(Vexan(Sim({"sdo", "read", "5"})).status, 2);
    EXPECT_EQ(Vexan({"info"}).status, 2);
    run = Vexan({"--port", "/nonexistent/tty", "info"});
    EXPECT_EQ(run.status, 3);
    EXPECT_NE(run.err.find("/nonexistent/tty"), std::string::npos) << run.err;
}

// A node simulated from a device file, configured from the same file: before
// the load it has no PDOs and is pre-operational, after it holds the file's.
TEST(VexanCli, EdsLoadConfiguresASimulatedNode)
{
    if (!std::filesystem::is_directory(VEXAN_EDS_DIR)) {
        GTEST_SKIP() << "EDS folder not found: '" << VEXAN_EDS_DIR << "'";
    }
    const std::string eds = std::string(VEXAN_EDS_DIR) + "/canfestival_ds401_slave_gui.eds";
    const Outcome run =
        Vexan({"--sim", eds + "@10", "shell"}, "/tmp",
              "pdo list 10\nnmt state 10\neds load 10 " + eds + "\nnmt state 10\neds load 10 " + eds + " --json\n");
    EXPECT_EQ(run.status, 0) << run.err;
    // Not a terminal: no progress on stderr.
    EXPECT_EQ(run.err, "");
    for (const std::string& line :
         {std::string("node 10: RxPDOs none, TxPDOs none\nnode 10: pre-operational (127)\n"),
          "node 10 configured from " + eds + ": RxPDOs 0x20A, 0x30A, TxPDOs 0x18A, 0x28A, 0x38A\n" +
              "node 10: operational (5)\n",
          "{\"command\":\"eds load\",\"node\":10,\"file\":\"" + eds +
              "\",\"rx\":[522,778],\"rx_hex\":[\"0x20A\",\"0x30A\"],\"tx\":[394,650,906],\"tx_hex\":[\"0x18A\","
              "\"0x28A\",\"0x38A\"],\"ok\":true,\"result\":{\"code\":0,\"name\":\"VEXAN_OK\""}) {
        EXPECT_NE(run.out.find(line), std::string::npos) << line << " missing in\n" << run.out;
    }
}

TEST(VexanCli, EdsLoadFailuresGiveTheResultAndExitNonZero)
{
    struct Failure {
        std::vector<std::string> args;
        std::string err;   // on stderr
        std::string json;  // in the JSON object
    };
    if (!std::filesystem::is_directory(VEXAN_EDS_DIR)) {
        GTEST_SKIP() << "EDS folder not found: '" << VEXAN_EDS_DIR << "'";
    }
    const std::string dir = VEXAN_EDS_DIR;
    // Files that fail the load, each for its own reason.
    ScratchDir scratch;
    ASSERT_FALSE(scratch.Path().empty());
    const std::string own = scratch.Path();
    std::ofstream(own + "/empty.eds").close();
    std::ofstream(own + "/no1000.eds") << "[1005]\nDefaultValue=0x80\n";
    std::ofstream(own + "/bad1014.eds") << "[1000]\nDefaultValue=0x191\n[1005]\nDefaultValue=0x80\n"
                                           "[1014]\nDefaultValue=$NODEID\n";
    const std::vector<Failure> cases = {
        // 50: the system's reason.
        {{"eds", "load", "5", "/nonexistent.eds"},
         "eds load 5 /nonexistent.eds: eds_file (50): /nonexistent.eds: No such file or directory",
         "\"result\":{\"code\":50,\"name\":\"VEXAN_EDS_FILE\""},
        {{"eds", "load", "5", own}, "eds_file (50): " + own + ": Is a directory", "\"result\":{\"code\":50"},
        {{"eds", "load", "5", own + "/empty.eds"},
         "eds_file (50): " + own + "/empty.eds: the file is empty",
         "\"result\":{\"code\":50"},
        // 51: the section and key.
        {{"eds", "load", "5", own + "/no1000.eds"},
         "eds_value (51): section [1000] (device type) is missing",
         "\"result\":{\"code\":51"},
        {{"eds", "load", "5", own + "/bad1014.eds"},
         "eds_value (51): the DefaultValue of section [1014], '$NODEID', does not parse",
         "\"result\":{\"code\":51"},
        {{"eds", "load", "9", dir + "/canopennode_demodevice.eds"},
         "module status (18)",
         "\"result\":{\"code\":18,\"name\":null"},
        {{"eds", "load", "5", "/" + std::string(300, 'a')},
         "out_of_range (256): the path is longer than 255 bytes",
         "\"result\":{\"code\":256,\"name\":\"VEXAN_OUT_OF_RANGE\""},
    };
    for (const Failure& c : cases) {
        const Outcome human = Vexan(Sim(c.args));
        EXPECT_EQ(human.status, 1) << c.args[3];
        EXPECT_EQ(human.out, "");
        EXPECT_NE(human.err.find(c.err), std::string::npos) << human.err;
        const Outcome json = Vexan(Sim(c.args, true));
        EXPECT_EQ(json.status, 1) << c.args[3];
        EXPECT_NE(json.out.find("\"ok\":false," + c.json), std::string::npos) << json.out;
    }
    EXPECT_EQ(Vexan(Sim({"eds", "load", "5"})).status, 2);
}

// A large object is saved from its spill file; the spill files go to the
// directory given (the current one by default) and those the tool made are
// removed once saved, unless they are to be kept or hold the only copy.
TEST(VexanCli, ALargeObjectIsSavedFromItsSpillFile)
{
    ScratchDir scratch;
    ASSERT_FALSE(scratch.Path().empty());
    const std::filesystem::path dir = scratch.Path();
    const std::filesystem::path spills = dir / "spills";
    std::filesystem::create_directories(spills);
    const auto check = [](const std::filesystem::path& path) {
        std::ifstream file(path, std::ios::binary);
        const std::vector<char> bytes{std::istreambuf_iterator<char>(file), {}};
        ASSERT_EQ(bytes.size(), 5000u) << path;
        // The default device's domain holds a known pattern.
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            ASSERT_EQ(static_cast<uint8_t>(bytes[i]), static_cast<uint8_t>((i * 7 + 3) & 0xFF)) << "at " << i;
        }
    };
    const std::string seg = "0_5_2100_00.seg";
    struct Read {
        std::vector<std::string> args;
        std::string line;
        std::filesystem::path saved;  // --out, from the working directory
        std::filesystem::path spill;  // where the spill file stays, or empty
    };
    const std::vector<Read> cases = {
        {{"sdo", "read", "5", "0x2100", "0", "--out", "object.bin"},
         "node 5 2100/00: 5000 bytes saved to object.bin\n",
         dir / "object.bin",
         {}},
        {{"--spill-dir", spills.string(), "sdo", "read", "5", "0x2100", "0", "--out", "second.bin"},
         "5000 bytes saved to second.bin\n",
         dir / "second.bin",
         {}},
        {{"--spill-dir", "spills", "--keep-spill", "sdo", "read", "5", "0x2100", "0", "--out", "third.bin"},
         "5000 bytes saved to third.bin (spill file spills/" + seg + " kept)",
         dir / "third.bin",
         spills / seg},
        // Without --out the spill file is the object's only copy.
        {{"--spill-dir", "spills", "sdo", "read", "5", "0x2100", "0"}, "5000 bytes in spills/" + seg, {}, spills / seg},
    };
    for (const Read& c : cases) {
        std::filesystem::remove(spills / seg);
        const Outcome run = Vexan(Sim(c.args), dir.string());
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.out.find(c.line), std::string::npos) << run.out;
        // Not a terminal: no progress on stderr.
        EXPECT_EQ(run.err, "");
        if (!c.saved.empty()) {
            check(c.saved);
        }
        EXPECT_FALSE(std::filesystem::exists(dir / seg)) << "a spill file left in the working directory";
        if (c.spill.empty()) {
            EXPECT_FALSE(std::filesystem::exists(spills / seg)) << c.line;
        } else {
            check(c.spill);
        }
    }
    // A spill file that was there before the read is not the tool's to remove.
    std::ofstream(dir / seg) << "the user's";
    Outcome run = Vexan(Sim({"sdo", "read", "5", "0x2100", "0", "--out", "fourth.bin"}), dir.string());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(std::filesystem::exists(dir / seg));
    // A spill directory that is not there: refused before anything is read.
    run = Vexan(Sim({"--spill-dir", "missing", "sdo", "read", "5", "0x2100", "0"}), dir.string());
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("cannot use the spill directory missing: No such file or directory"), std::string::npos)
        << run.err;
}

TEST(VexanCli, TraceShowsEachRequestAndReplyDecoded)
{
    const Outcome run = Vexan({"--sim", "--trace", "nmt", "state", "5"});
    EXPECT_EQ(run.status, 0) << run.err;
    // Names from the library's protocol table, the key, the reply's result by name.
    for (const char* line :
         {"<- Identify", "-> IdentReply \"!00VexanW\"", "<- StartMaster [01 00]",
          "<- ResultRequest for=StartMaster key=1", "-> StartMaster key=1 status ok (0)", "<- NMTGetState node=5",
          "<- ResultRequest for=NMTGetState key=5", "-> NMTGetState key=5 result ok (0) data[1] 7F", "<- StopMaster"}) {
        EXPECT_NE(run.err.find(line), std::string::npos) << line << " missing in\n" << run.err;
    }
    // Each request of several commands in one session, and its reply.
    const Outcome session = Vexan({"--sim", "--trace", "shell"}, "/tmp",
                                  "info\nscan\nnodes\nsdo read 5 0x1018 2\npdo list 5\nsync\nemcy last 5\n");
    EXPECT_EQ(session.status, 0) << session.err;
    for (const char* line : {"<- FirmwareVersion",
                             "-> FirmwareVersion key=1 result ok (0) data[2] 02 01",
                             "<- CANStatus",
                             "-> CANStatus key=1 result ok (0)",
                             "<- GetMasterMode",
                             "-> GetMasterMode key=1",
                             "<- ScanNode",
                             "-> ScanNode key=0 result ok (0) data[3] 02 05 06",
                             "<- GetNodeList",
                             "-> GetNodeList key=0",
                             "<- SDORead node=5 [18 10 02]",
                             "-> SDORead key=5 result ok (0)",
                             "<- GetRxPDOID node=5",
                             "-> GetRxPDOID key=5",
                             "<- GetTxPDOID node=5",
                             "-> GetTxPDOID key=5",
                             "<- SendSYNCMsg cob=0x080",
                             "-> SendSYNCMsg cob=0x080 status ok (0)",
                             "<- ReadLastEMCY node=5",
                             "-> ReadLastEMCY key=5"}) {
        EXPECT_NE(session.err.find(line), std::string::npos) << line << " missing in\n" << session.err;
    }
    // A module status that is not one of the library's codes.
    const Outcome failed = Vexan({"--sim", "--trace", "node", "add", "9"});
    EXPECT_NE(failed.err.find("-> AddNode key=9 status module status (18)"), std::string::npos) << failed.err;
}

TEST(VexanCli, MonitorPrintsEventsAsLinesWhenNotOnATerminal)
{
    Outcome run = Vexan(Sim({"monitor", "--seconds", "0.5"}));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("boot-up: node 5 booted"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("boot-up: node 6 booted"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("\033["), std::string::npos) << "no screen control off a terminal";
    run = Vexan(Sim({"monitor", "--seconds", "0.5"}, true));
    EXPECT_NE(run.out.find("{\"node\":5,\"event\":\"boot-up\",\"slot\":0"), std::string::npos) << run.out;
}

TEST(VexanCli, DemoPassesEveryStep)
{
    const Outcome run = Vexan({"demo"});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("demo passed: 14 of 14 steps passed, 0 failed\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("FAIL"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("skip"), std::string::npos) << run.out;
    // Node 10 is simulated from a device file the demo writes, and configured from it.
    EXPECT_NE(run.out.find("configure a node from an EDS file                  ok    node 10 from "
                           "generated_device.eds"),
              std::string::npos)
        << run.out;
    // The installed program depends on no file of the source tree: it does
    // not even name the folder of the device files it was built beside.
    std::ifstream program(VEXAN_TOOL_PROGRAM, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(program), {}};
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(bytes.find("/shared/eds"), std::string::npos) << "the program names the device files' folder";
    // A device file of the user's own.
    if (std::filesystem::is_directory(VEXAN_EDS_DIR)) {
        const Outcome own = Vexan({"demo", "--eds", std::string(VEXAN_EDS_DIR) + "/canopennode_demodevice.eds"});
        EXPECT_EQ(own.status, 0) << own.out << own.err;
        EXPECT_NE(own.out.find("ok    node 10 from canopennode_demodevice.eds"), std::string::npos) << own.out;
        EXPECT_NE(own.out.find("RxPDOs 0x20A,0x30A"), std::string::npos) << own.out;
    }
}

// Words the tool does not know, on the command line and in the shell, are
// named with the valid ones; node 0 is refused where it is no node.
TEST(VexanCli, UnknownWordsAndBadNodeIdsAreNamed)
{
    struct Refused {
        std::vector<std::string> args;
        std::string err;
    };
    const std::vector<Refused> cases = {
        {{"bogus"}, "vexan: unknown command 'bogus' (the commands: info, scan, nodes, node, nmt,"},
        {{"--sim", "sdo", "foo", "5"}, "vexan: unknown command 'sdo foo' (the sdo commands: read, write)\n"},
        {{"--sim", "nmt", "operational", "5"},
         "unknown command 'nmt operational' (the nmt commands: start, stop, preop, reset, reset-comm, state)"},
        {{"--json", "--sim", "--slot", "1", "pdo", "nap", "5"}, "unknown command 'pdo nap'"},
        {{"--sim", "sdo", "read", "0", "0x1018", "1"}, "node: Value 0 not in range 1 to 127"},
        {{"--sim", "nmt", "state", "0"}, "node: Value 0 not in range 1 to 127"},
        {{"--sim", "guard", "0", "100", "3"}, "node: Value 0 not in range 1 to 127"},
    };
    for (const Refused& c : cases) {
        const Outcome run = Vexan(c.args);
        EXPECT_EQ(run.status, 2) << c.args[1];
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
    }
    const Outcome shell = Vexan({"--sim", "shell"}, "/tmp", "bogus\nsdo foo 5\nnodes\n");
    EXPECT_NE(shell.err.find("unknown command 'bogus' (the commands: info,"), std::string::npos) << shell.err;
    EXPECT_NE(shell.err.find(", help, quit, exit)"), std::string::npos) << shell.err;
    EXPECT_NE(shell.err.find("unknown command 'sdo foo' (the sdo commands: read, write)"), std::string::npos)
        << shell.err;
    EXPECT_NE(shell.out.find("nodes in the master's list: 5, 6"), std::string::npos) << shell.out;

    const Outcome version = Vexan({"--version"});
    EXPECT_EQ(version.status, 0) << version.err;
    EXPECT_TRUE(std::regex_search(version.out, std::regex("^vexan [0-9]+\\.[0-9]+\\.[0-9]+, library [0-9]+\n$")))
        << version.out;
}

TEST(VexanCli, HelpOnEveryLevel)
{
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--help"}, {"sdo", "--help"}, {"sdo", "read", "--help"}, {"nmt", "state", "--help"}}) {
        const Outcome run = Vexan(args);
        EXPECT_EQ(run.status, 0);
        EXPECT_NE(run.out.find("Usage: vexan"), std::string::npos) << run.out;
    }
}

// The shell on a pseudo-terminal: one master across commands, completion.
TEST(VexanCli, ShellKeepsTheMasterOpenAndCompletesCommands)
{
    const int controller = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(controller, 0);
    ASSERT_EQ(grantpt(controller), 0);
    ASSERT_EQ(unlockpt(controller), 0);
    const std::string portName = ptsname(controller);
    const pid_t child = fork();
    if (child == 0) {
        setsid();
        const int port = open(portName.c_str(), O_RDWR);
        dup2(port, STDIN_FILENO);
        dup2(port, STDOUT_FILENO);
        dup2(port, STDERR_FILENO);
        close(controller);
        if (chdir("/tmp") != 0) {
            _exit(126);
        }
        execl(VEXAN_TOOL_PROGRAM, VEXAN_TOOL_PROGRAM, "--sim", "shell", static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string screen;
    auto waitFor = [&](const std::string& needle) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        char buffer[1024];
        while (screen.find(needle) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            pollfd p{controller, POLLIN, 0};
            if (poll(&p, 1, 100) > 0) {
                const ssize_t n = read(controller, buffer, sizeof buffer);
                if (n <= 0) {
                    break;
                }
                screen.append(buffer, static_cast<std::size_t>(n));
            }
        }
        return screen.find(needle) != std::string::npos;
    };
    auto type = [&](const std::string& text) {
        ASSERT_EQ(write(controller, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    };
    ASSERT_TRUE(waitFor("vexan> ")) << screen;
    // Written in one command, read back in the next: the same simulated node.
    type("sdo write 5 0x2000 3 77\r");
    ASSERT_TRUE(waitFor("node 5 2000/03 written")) << screen;
    type("sdo read 5 0x2000 3\r");
    EXPECT_TRUE(waitFor("node 5 2000/03 = 77 (0x0000004D, u32)")) << screen;
    // Tab completes the subcommand: "nm" runs as "nmt".
    type("nm\t");
    type("state 5\r");
    EXPECT_TRUE(waitFor("node 5: pre-operational (127)")) << screen;
    type("bogus\r");
    EXPECT_TRUE(waitFor("unknown command 'bogus'")) << screen;
    // The shell's exit status is its last command's.
    type("nodes\r");
    EXPECT_TRUE(waitFor("nodes in the master's list: 5, 6")) << screen;
    type("quit\r");
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    pid_t done = 0;
    while ((done = waitpid(child, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
        waitFor("\x01");  // drain the screen meanwhile
    }
    if (done == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        ADD_FAILURE() << "the shell did not end on quit";
    } else {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << screen;
    }
    close(controller);
}

}  // namespace

namespace {

// The C examples, each against a simulator of its own.
TEST(Examples, RunAgainstTheSimulator)
{
    vexsim::Simulator sim;
    sim.AddDefaultNode(5);
    sim.Start();
    Outcome run = Exec(VEXAN_EXAMPLE_DEMO, {sim.LibraryPath()}, "/tmp");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("firmware 1.2 (0x0102)"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("firmware version while paused      ->  42 VEXAN_PAUSED"), std::string::npos) << run.out;
    run = Exec(VEXAN_EXAMPLE_READ_IDENTITY, {sim.LibraryPath(), "5"}, "/tmp");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("node 5 vendor   0x0056584E"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("node 5 serial   0x00001005"), std::string::npos) << run.out;
    // A node that is not on the bus: every read fails, and so does the program.
    run = Exec(VEXAN_EXAMPLE_READ_IDENTITY, {sim.LibraryPath(), "9"}, "/tmp");
    EXPECT_EQ(run.status, 1) << run.out;
    sim.Stop();
}

// The events example: its callbacks read the boot-up its own NMT reset causes
// and an EMCY queued by the module; without the EMCY it waits, then fails.
TEST(Examples, EventsCallbacksReadBootUpAndEmcy)
{
    for (const bool emcy : {true, false}) {
        SCOPED_TRACE(emcy ? "with an EMCY" : "without an EMCY");
        vexsim::Simulator sim;
        sim.AddDefaultNode(5, true, false);  // no boot-up of its own at start
        sim.Start();
        if (emcy) {
            sim.InjectEmcy(5, {0x10, 0x81, 0x11, 0xA5, 0x00, 0x00, 0x00, 0x7E});
        }
        const Outcome run = Exec(VEXAN_EXAMPLE_EVENTS, {sim.LibraryPath(), "5"}, "/tmp");
        EXPECT_NE(run.out.find("reset node 5 -> 0 "), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("boot-up: slot 0 node 5\n"), std::string::npos) << run.out;
        if (emcy) {
            EXPECT_EQ(run.status, 0) << run.out << run.err;
            EXPECT_NE(run.out.find("EMCY: slot 0 node 5 data 10 81 11 A5 00 00 00 7E\n"), std::string::npos) << run.out;
        } else {
            EXPECT_EQ(run.status, 1) << run.out << run.err;
            EXPECT_EQ(run.out.find("EMCY: "), std::string::npos) << run.out;
        }
        sim.Stop();
    }
}

// The large-upload example: the object goes to its spill file and comes back
// whole through the ranges; a missing object or a small one fails the program.
TEST(Examples, LargeUploadReadsTheSpillFileBackInRanges)
{
    vexsim::Simulator sim;
    sim.AddDefaultNode(5);
    sim.Start();
    const std::optional<vexsim::Bytes> object = sim.ReadObject(5, 0x2100, 0);
    ASSERT_TRUE(object.has_value());
    ASSERT_GE(object->size(), 1024u);
    uint32_t sum = 0;
    for (const uint8_t byte : *object) {
        sum += byte;
    }
    char first[32];
    std::snprintf(first, sizeof first, "first bytes %02X %02X %02X %02X\n", (*object)[0], (*object)[1], (*object)[2],
                  (*object)[3]);

    ScratchDir scratch;
    ASSERT_FALSE(scratch.Path().empty());
    Outcome run = Exec(VEXAN_EXAMPLE_LARGE_UPLOAD, {sim.LibraryPath(), "5", "2100"}, scratch.Path());
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    const std::string size = std::to_string(object->size());
    EXPECT_NE(run.out.find("object 2100:00: " + size + " bytes in spill file 0_5_2100_00.seg"), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find(first), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("read back " + size + " bytes in ranges of 1000, checksum " + std::to_string(sum) + "\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(std::filesystem::file_size(scratch.Path() + "/0_5_2100_00.seg"), object->size());

    struct Failing {
        const char* index;
        const char* line;
    };
    for (const Failing& failing : {Failing{"7777", "upload of 7777:00 aborted 0x06020000"},
                                   Failing{"1018", "object 1018:00 has 1 bytes, read into memory: no spill file"}}) {
        run = Exec(VEXAN_EXAMPLE_LARGE_UPLOAD, {sim.LibraryPath(), "5", failing.index}, scratch.Path());
        EXPECT_EQ(run.status, 1) << run.out;
        EXPECT_NE(run.out.find(failing.line), std::string::npos) << run.out;
    }
    sim.Stop();
}

// A vexan that keeps running while the test talks to it through pipes; ended
// (killed if it must be) when the object goes, so no failed assertion leaves
// it behind.
struct Running {
    pid_t pid = -1;
    int in = -1;
    int outFd = -1;
    std::string out;

    Running() = default;
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;
    Running(Running&& other) noexcept
        : pid(std::exchange(other.pid, -1)),
          in(std::exchange(other.in, -1)),
          outFd(std::exchange(other.outFd, -1)),
          out(std::move(other.out))
    {
    }
    Running& operator=(Running&&) = delete;
    ~Running()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        for (const int fd : {in, outFd}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }
    void Send(const std::string& text)
    {
        ASSERT_EQ(write(in, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    // Keys typed at the shell's prompt. The line editor prints its prompt
    // before it takes the terminal out of line mode; keys that come in between
    // are the kernel's to echo and edit (and a Ctrl-D there is lost), so they
    // are sent once the terminal is out of line mode.
    void Type(const std::string& text)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        termios mode{};
        while (tcgetattr(outFd, &mode) == 0 && (mode.c_lflag & ICANON) != 0 &&
               std::chrono::steady_clock::now() < deadline) {
            usleep(1000);
        }
        ASSERT_EQ(mode.c_lflag & ICANON, 0u) << "the line editor never took the terminal";
        Send(text);
    }
    static std::size_t Count(const std::string& text, const std::string& needle)
    {
        std::size_t n = 0;
        for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
            ++n;
        }
        return n;
    }
    // Waits until `needle` has appeared `times` times in all the output.
    bool WaitForOutput(const std::string& needle, std::size_t times = 1)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        char buffer[4096];
        while (Count(out, needle) < times && std::chrono::steady_clock::now() < deadline) {
            pollfd p{outFd, POLLIN, 0};
            if (poll(&p, 1, 100) > 0) {
                const ssize_t n = read(outFd, buffer, sizeof buffer);
                if (n <= 0) {
                    break;
                }
                out.append(buffer, static_cast<std::size_t>(n));
            }
        }
        return Count(out, needle) >= times;
    }
    // Ends the input and waits for the exit status (-1 when it had to be killed).
    int Finish()
    {
        close(in);
        in = -1;
        out += ReadAll(outFd, std::chrono::steady_clock::now() + std::chrono::seconds(30));
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        pid_t done = 0;
        while ((done = waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
            usleep(10000);
        }
        if (done == 0) {
            return -1;  // the destructor kills it
        }
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

// Starts vexan with stdin and stdout on pipes (stderr goes with stdout).
Running Start(std::vector<std::string> args, const std::string& dir = "/tmp")
{
    Running run;
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe";
        return run;
    }
    const pid_t child = fork();
    if (child == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(out[1], STDERR_FILENO);
        if (chdir(dir.c_str()) != 0) {
            _exit(126);
        }
        std::vector<char*> argv{const_cast<char*>(VEXAN_TOOL_PROGRAM)};
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    run.pid = child;
    run.in = in[1];
    run.outFd = out[0];
    return run;
}

// Starts vexan on a pseudo-terminal of its own (stdin, stdout and stderr), with
// these variables added to its environment.
Running StartOnTerminal(std::vector<std::string> args, const std::vector<std::string>& env = {},
                        const std::string& dir = "/tmp")
{
    Running run;
    const int controller = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (controller < 0 || grantpt(controller) != 0 || unlockpt(controller) != 0) {
        ADD_FAILURE() << "no pseudo-terminal";
        if (controller >= 0) {
            close(controller);
        }
        return run;
    }
    const std::string name = ptsname(controller);
    const pid_t child = fork();
    if (child == 0) {
        setsid();
        const int terminal = open(name.c_str(), O_RDWR);
        dup2(terminal, STDIN_FILENO);
        dup2(terminal, STDOUT_FILENO);
        dup2(terminal, STDERR_FILENO);
        for (const std::string& entry : env) {
            putenv(const_cast<char*>(entry.c_str()));
        }
        if (chdir(dir.c_str()) != 0) {
            _exit(126);
        }
        std::vector<char*> argv{const_cast<char*>(VEXAN_TOOL_PROGRAM)};
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    run.pid = child;
    run.in = dup(controller);
    run.outFd = controller;
    return run;
}

// On a terminal the monitor counts each kind and keeps a log of the latest
// events under the counts; EMCYs name their error register's bits.
TEST(VexanCli, MonitorOnATerminalLogsTheLatestEvents)
{
    vexsim::Simulator sim;
    sim.AddDefaultNode(5);
    sim.AddDefaultNode(6);
    sim.Start();
    sim.InjectEmcy(5, {0x10, 0x81, 0x11, 0xA5, 0x00, 0x00, 0x00, 0x7E});
    Running monitor = StartOnTerminal({"--port", sim.LibraryPath(), "monitor", "--count", "3", "--seconds", "60"});
    ASSERT_GT(monitor.pid, 0);
    EXPECT_EQ(monitor.Finish(), 0) << monitor.out;
    // The last screen drawn.
    const std::size_t cleared = monitor.out.rfind("\033[2J");
    ASSERT_NE(cleared, std::string::npos) << monitor.out;
    const std::string screen = monitor.out.substr(cleared);
    for (const char* line : {"boot-up                 2", "emcy                    1",
                             "latest events:", "boot-up            node 5 booted", "boot-up            node 6 booted",
                             "emcy               node 5: EMCY 0x8110 CAN overrun (objects lost), error register 0x11 "
                             "(generic, communication)"}) {
        EXPECT_NE(screen.find(line), std::string::npos) << line << " missing in\n" << screen;
    }

    // The same events as JSON: a time to the millisecond, codes also in hex.
    vexsim::Simulator again;
    again.AddDefaultNode(5);
    again.Start();
    again.InjectEmcy(5, {0x10, 0x81, 0x11, 0xA5, 0x00, 0x00, 0x00, 0x7E});
    const Outcome json = Vexan({"--json", "--port", again.LibraryPath(), "monitor", "--count", "2", "--seconds", "60"});
    EXPECT_EQ(json.status, 0) << json.err;
    EXPECT_NE(json.out.find("\"error_code\":33040,\"error_code_hex\":\"0x8110\",\"meaning\":\"CAN overrun (objects "
                            "lost)\",\"error_register\":17,\"error_register_hex\":\"0x11\",\"error_register_bits\":["
                            "\"generic\",\"communication\"]"),
              std::string::npos)
        << json.out;
    EXPECT_TRUE(std::regex_search(
        json.out,
        std::regex("\"event\":\"emcy\",\"slot\":0,\"time\":\"20[0-9]{2}-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5]["
                   "0-9]:[0-6][0-9]\\.[0-9]{3}Z\"")))
        << json.out;
    again.Stop();
    sim.Stop();
}

// The shell on a terminal: Ctrl-C drops the line being typed, Tab completes
// node ids from the master's list, Ctrl-D ends the shell, and the history is
// there again in the next shell (kept in the user's state directory).
TEST(VexanCli, ShellLineEditingHistoryAndNodeCompletion)
{
#ifdef VEXAN_SANITIZED_BUILD
    GTEST_SKIP() << "the sanitizer runtimes hold Ctrl-C back from the line editor; checked in the plain build";
#endif
    ScratchDir state;
    ASSERT_FALSE(state.Path().empty());
    const std::vector<std::string> env = {"XDG_STATE_HOME=" + state.Path()};
    {
        Running shell = StartOnTerminal({"--sim", "shell"}, env);
        ASSERT_GT(shell.pid, 0);
        // Each line is typed at its prompt, as a user would.
        ASSERT_TRUE(shell.WaitForOutput("vexan> ")) << shell.out;
        shell.Type("sdo read 5 0x1018 1 junk");
        ASSERT_TRUE(shell.WaitForOutput("junk")) << shell.out;  // the line editor has it
        shell.Type("\x03");
        ASSERT_TRUE(shell.WaitForOutput("vexan> ", 2)) << shell.out;
        shell.Type("nodes\r");
        ASSERT_TRUE(shell.WaitForOutput("vexan> ", 3)) << shell.out;
        EXPECT_NE(shell.out.find("nodes in the master's list: 5, 6"), std::string::npos) << shell.out;
        EXPECT_EQ(shell.out.find("1018/01"), std::string::npos) << shell.out;
        // With node 6 gone, Tab after a command that takes a node gives 5.
        shell.Type("node remove 6\r");
        ASSERT_TRUE(shell.WaitForOutput("vexan> ", 4)) << shell.out;
        EXPECT_NE(shell.out.find("node 6 removed"), std::string::npos) << shell.out;
        shell.Type("nmt state \t\r");
        ASSERT_TRUE(shell.WaitForOutput("vexan> ", 5)) << shell.out;
        EXPECT_NE(shell.out.find("node 5: pre-operational (127)"), std::string::npos) << shell.out;
        // Ctrl-D on an empty line.
        shell.Type("zz");
        ASSERT_TRUE(shell.WaitForOutput("zz")) << shell.out;
        shell.Type("\x7f\x7f\x04");
        EXPECT_EQ(shell.Finish(), 0) << shell.out;
    }
    EXPECT_TRUE(std::filesystem::is_regular_file(state.Path() + "/vexan/history"));
    // The next shell: the up arrow brings the last line back.
    Running again = StartOnTerminal({"--sim", "shell"}, env);
    ASSERT_GT(again.pid, 0);
    ASSERT_TRUE(again.WaitForOutput("vexan> ")) << again.out;
    again.Type("\x1b[A\r");
    ASSERT_TRUE(again.WaitForOutput("vexan> ", 2)) << again.out;
    EXPECT_NE(again.out.find("node 5: pre-operational (127)"), std::string::npos) << again.out;
    again.Type("quit\r");
    EXPECT_EQ(again.Finish(), 0) << again.out;
}

// On a terminal a large read shows its progress: percentage, rate, time left.
TEST(VexanCli, ALargeReadShowsItsProgressOnATerminal)
{
    ScratchDir scratch;
    ASSERT_FALSE(scratch.Path().empty());
    Running read =
        StartOnTerminal({"--sim", "sdo", "read", "5", "0x2100", "0", "--out", "object.bin"}, {}, scratch.Path());
    ASSERT_GT(read.pid, 0);
    EXPECT_EQ(read.Finish(), 0) << read.out;
    EXPECT_TRUE(std::regex_search(read.out, std::regex("saving 100% \\(5000 / 5000 bytes\\), [0-9.]+ (B|kB|MB)/s, "
                                                       "0:00 left")))
        << read.out;
    EXPECT_NE(read.out.find("5000 bytes saved to object.bin"), std::string::npos) << read.out;
}

// Ports opened by path: anything but a terminal is refused before a byte is
// written to it; a line that another program holds is named as in use.
TEST(VexanCli, APortMustBeATerminalThatNoOneElseHolds)
{
    ScratchDir scratch;
    ASSERT_FALSE(scratch.Path().empty());
    const std::string notes = scratch.Path() + "/notes.txt";
    std::ofstream(notes) << "my notes\n";
    const std::string fifo = scratch.Path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {notes, fifo, std::string("/dev/null")}) {
        const Outcome run = Vexan({"--port", path, "info"});
        EXPECT_EQ(run.status, 3) << path;
        EXPECT_NE(run.err.find(path + ": not a serial device"), std::string::npos) << run.err;
    }
    std::ifstream file(notes);
    const std::string content{std::istreambuf_iterator<char>(file), {}};
    EXPECT_EQ(content, "my notes\n") << "the file was written into";

    vexsim::Simulator sim;
    sim.AddDefaultNode(5);
    sim.Start();
    const std::string port = sim.LibraryPath();
    // A free simulated line works.
    Outcome run = Vexan({"--port", port, "nodes"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("nodes in the master's list: 5"), std::string::npos) << run.out;
    // The line is left as it was found: not exclusive (the simulator keeps
    // it open, so an exclusive mode left behind would refuse everyone else).
    {
        const int after = open(port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(after, 0);
        int exclusive = -1;
        EXPECT_EQ(ioctl(after, TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive, 0);
        close(after);
    }
    // Held by another process's lock: that process is named.
    {
        const int held = open(port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(held, 0);
        ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
        run = Vexan({"--port", port, "nodes"});
        close(held);
        EXPECT_EQ(run.status, 3);
        EXPECT_NE(run.err.find(port + ": port in use (held by pid " + std::to_string(getpid()) + ")"),
                  std::string::npos)
            << run.err;
    }
    // Held by a running vexan shell: the second one is refused, the first goes on.
    Running first = Start({"--port", port, "shell"});
    ASSERT_GT(first.pid, 0);
    first.Send("nodes\n");
    EXPECT_TRUE(first.WaitForOutput("nodes in the master's list: 5")) << first.out;
    run = Vexan({"--port", port, "nodes"});
    EXPECT_EQ(run.status, 3);
    EXPECT_NE(run.err.find("port in use (held by pid " + std::to_string(first.pid) + ")"), std::string::npos)
        << run.err;
    first.Send("nmt state 5\n");
    EXPECT_TRUE(first.WaitForOutput("node 5: pre-operational (127)")) << first.out;
    EXPECT_EQ(first.Finish(), 0) << first.out;
    sim.Stop();
}

}  // namespace
