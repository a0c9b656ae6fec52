// The demo runs two simulated boards in this process and walks through the
// library's exports step by step, checking each result against what the
// simulated module must answer.
#include "demo.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "cia301.hpp"
#include "id_lists.hpp"
#include "json.hpp"
#include "results.hpp"
#include "session.hpp"
#include "text.hpp"
#include "trace_relay.hpp"
#include "vexan.h"
#include "vexan_results.h"
#include "vexan_sim/simulator.hpp"

namespace vexantool {

namespace {

constexpr uint8_t kSlotA = 0;
constexpr uint8_t kSlotB = 1;
constexpr uint8_t kMasterA = 1;
constexpr uint8_t kMasterB = 2;
constexpr uint8_t kNodeIo = 5;    // default device
constexpr uint8_t kNodeIo2 = 6;   // default device
constexpr uint8_t kNodeEds = 10;  // from the EDS file
constexpr uint8_t kNodeB = 7;     // default device on the second board
constexpr uint16_t kRxPdo = 0x200 + kNodeIo;
constexpr uint16_t kTxPdo = 0x180 + kNodeIo;
constexpr uint16_t kSyncCob = 0x80;
constexpr uint16_t kLargeObject = 0x2100;  // 5000-byte domain of the default device
constexpr uint32_t kLargeSize = 5000;
constexpr uint8_t kNmtStart = 1;
constexpr uint8_t kNmtResetNode = 129;
constexpr uint8_t kOperational = 5;

// What the callbacks saw, read on the receive threads.
struct Seen {
    std::mutex mutex;
    std::vector<std::pair<uint8_t, uint8_t>> bootUps;  // slot, node
    std::vector<std::pair<uint8_t, std::array<uint8_t, 8>>> emcys;
    std::atomic<int> sdoAnswer{-1};  // result of the answer given inside the callback
    uint16_t sdoIndex = 0;
    uint8_t sdoSub = 0;
};
Seen gSeen;

constexpr std::array<uint8_t, 4> kAnswer = {0x78, 0x56, 0x34, 0x12};

void OnBootUp()
{
    uint8_t slot = 0;
    uint8_t node = 0;
    while (Vexan_GetBootUpNodeAfterAdd(&slot, &node) == VEXAN_OK) {
        std::lock_guard lock(gSeen.mutex);
        gSeen.bootUps.emplace_back(slot, node);
    }
}

void OnEmcy()
{
    uint8_t slot = 0;
    uint8_t node = 0;
    std::array<uint8_t, 8> data{};
    while (Vexan_GetEMCYData(&slot, &node, data.data()) == VEXAN_OK) {
        std::lock_guard lock(gSeen.mutex);
        gSeen.emcys.emplace_back(node, data);
    }
}

// Answers another master's SDO read from inside the callback, with a blocking call.
void OnMasterSdoRead()
{
    uint8_t slot = 0;
    uint16_t index = 0;
    uint8_t sub = 0;
    while (Vexan_GetMasterReadSDOEvent(&slot, &index, &sub) == VEXAN_OK) {
        const uint16_t result = Vexan_ResponseMasterSDO(slot, 0, index, sub, kAnswer.size(), kAnswer.data());
        std::lock_guard lock(gSeen.mutex);
        gSeen.sdoIndex = index;
        gSeen.sdoSub = sub;
        gSeen.sdoAnswer = result;
    }
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::milliseconds(3000))
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
}

struct Step {
    bool ok = false;
    std::string detail;
};

Step Pass(std::string detail)
{
    return {true, std::move(detail)};
}

Step Fail(std::string detail)
{
    return {false, std::move(detail)};
}

Step Check(uint16_t result, const std::string& what)
{
    return result == VEXAN_OK ? Pass(what) : Fail(what + ": " + ResultText(result));
}

// "5,6,10": the ids of a node-list reply.
std::string Ids(std::span<const uint8_t> reply)
{
    return Join(NodeIdsOf(reply), ",");
}

uint32_t ReadU32(uint8_t slot, uint8_t node, uint16_t index, uint8_t sub, uint16_t& result)
{
    uint32_t length = 0;
    std::vector<uint8_t> data(VEXAN_SDO_READ_BUFFER);
    result = Vexan_SDOReadData(slot, node, index, sub, &length, data.data(), 1);
    if (result == VEXAN_OK && length != 4) {
        result = VEXAN_OUT_OF_RANGE;
    }
    return static_cast<uint32_t>(data[0] | data[1] << 8 | data[2] << 16 | static_cast<uint32_t>(data[3]) << 24);
}

// A board: a simulator on a pseudo-terminal, optionally traced.
struct Board {
    std::unique_ptr<vexsim::Simulator> sim;
    std::unique_ptr<TraceRelay> relay;
    int fd = -1;
    ~Board()
    {
        relay.reset();
        if (fd >= 0) {
            close(fd);
        }
        if (sim) {
            sim->Stop();
        }
    }
};

// A small device description: identity, SYNC and EMCY COB-IDs, one receive
// and one transmit PDO mapping two bytes of its own objects.
void WriteGeneratedDeviceFile(const std::string& path)
{
    std::ofstream out(path);
    out << "[DeviceInfo]\nVendorName=Vexan demo\nProductName=Generated device\n"
           "[1000]\nParameterName=Device type\nObjectType=0x7\nDataType=0x0007\nAccessType=ro\n"
           "DefaultValue=0x000F0191\nPDOMapping=0\n"
           "[1005]\nParameterName=COB-ID SYNC\nObjectType=0x7\nDataType=0x0007\nAccessType=rw\n"
           "DefaultValue=0x80\nPDOMapping=0\n"
           "[1014]\nParameterName=COB-ID EMCY\nObjectType=0x7\nDataType=0x0007\nAccessType=rw\n"
           "DefaultValue=$NODEID+0x80\nPDOMapping=0\n";
    const auto pdo = [&](unsigned comm, unsigned map, const char* cobId, unsigned object) {
        out << "[" << std::hex << std::uppercase << comm << "]\nParameterName=PDO parameter\nObjectType=0x9\n"
            << "SubNumber=3\n[" << comm << "sub0]\nParameterName=Highest sub-index\nObjectType=0x7\n"
            << "DataType=0x0005\nAccessType=ro\nDefaultValue=2\nPDOMapping=0\n[" << comm
            << "sub1]\nParameterName=COB-ID\nObjectType=0x7\nDataType=0x0007\nAccessType=rw\nDefaultValue=" << cobId
            << "\nPDOMapping=0\n[" << comm
            << "sub2]\nParameterName=Transmission type\nObjectType=0x7\nDataType=0x0005\nAccessType=rw\n"
            << "DefaultValue=254\nPDOMapping=0\n[" << map << "]\nParameterName=PDO mapping\nObjectType=0x9\n"
            << "SubNumber=2\n[" << map << "sub0]\nParameterName=Entries\nObjectType=0x7\nDataType=0x0005\n"
            << "AccessType=rw\nDefaultValue=1\nPDOMapping=0\n[" << map
            << "sub1]\nParameterName=Entry 1\nObjectType=0x7\nDataType=0x0007\nAccessType=rw\nDefaultValue=0x" << object
            << "0008\nPDOMapping=0\n[" << object << "]\nParameterName=Byte\nObjectType=0x7\n"
            << "DataType=0x0005\nAccessType=rw\nDefaultValue=0\nPDOMapping=1\n"
            << std::dec;
    };
    pdo(0x1400, 0x1600, "$NODEID+0x200", 0x2000);
    pdo(0x1800, 0x1A00, "$NODEID+0x180", 0x2001);
}

}  // namespace

int RunDemo(const DemoOptions& options)
{
    namespace fs = std::filesystem;
    // Large uploads land in spill files in the current directory: work in a
    // directory of our own and remove it at the end.
    const fs::path home = fs::current_path();
    char pattern[] = "/tmp/vexan-demo.XXXXXX";
    const char* work = mkdtemp(pattern);
    if (work == nullptr || chdir(work) != 0) {
        std::cerr << "vexan demo: cannot make a working directory" << std::endl;
        return 1;
    }
    std::string edsPath;
    if (options.edsPath.empty()) {
        edsPath = (fs::path(work) / "generated_device.eds").string();
        WriteGeneratedDeviceFile(edsPath);
    } else {
        edsPath = fs::path(options.edsPath).is_absolute() ? options.edsPath : (home / options.edsPath).string();
    }

    Board a;
    Board b;
    a.sim = std::make_unique<vexsim::Simulator>();
    b.sim = std::make_unique<vexsim::Simulator>();
    a.sim->AddDefaultNode(kNodeIo);
    a.sim->AddDefaultNode(kNodeIo2);
    std::string edsError;
    const bool edsNode = a.sim->AddEdsNode(kNodeEds, edsPath, &edsError);
    b.sim->AddDefaultNode(kNodeB);

    int number = 0;
    int passed = 0;
    int failed = 0;
    auto run = [&](const std::string& name, const std::function<Step()>& body) {
        ++number;
        Step step;
        try {
            step = body();
        } catch (const std::exception& e) {
            step = Fail(e.what());
        }
        const char* verdict = step.ok ? "ok" : "FAIL";
        (step.ok ? passed : failed) += 1;
        if (options.json) {
            Json json;
            json.Num("step", number).Str("name", name).Str("verdict", verdict).Str("detail", step.detail);
            std::cout << json.Text() << std::endl;
        } else {
            std::printf("[%2d] %-50s %-4s  %s\n", number, name.c_str(), verdict, step.detail.c_str());
            std::fflush(stdout);
        }
        return step.ok;
    };

    run("start the simulated modules and both masters", [&] {
        for (Board* board : {&a, &b}) {
            board->sim->Start();
            board->fd = board->sim->OpenLibraryEnd();
            if (board->fd < 0) {
                return Fail("cannot open a simulator's line");
            }
        }
        int fdA = a.fd;
        int fdB = b.fd;
        if (options.trace) {
            a.relay = std::make_unique<TraceRelay>(a.fd, "[slot 0] ");
            b.relay = std::make_unique<TraceRelay>(b.fd, "[slot 1] ");
            fdA = a.relay->LibraryFd();
            fdB = b.relay->LibraryFd();
        }
        const uint16_t ra = StartMaster(kSlotA, fdA, kMasterA);
        const uint16_t rb = StartMaster(kSlotB, fdB, kMasterB);
        if (ra != VEXAN_OK || rb != VEXAN_OK) {
            return Fail("slot 0: " + ResultText(ra) + ", slot 1: " + ResultText(rb));
        }
        // The callbacks come first so that no event of the later steps is missed.
        for (uint8_t slot : {kSlotA, kSlotB}) {
            Vexan_InstallBootUpISR(slot, OnBootUp);
            Vexan_InstallEMCYISR(slot, OnEmcy);
        }
        const uint16_t rs = Vexan_InstallReadSDOISR(kSlotA, OnMasterSdoRead);
        return Check(rs,
                     "slot 0 master 1 (" + a.sim->LibraryPath() + "), slot 1 master 2 (" + b.sim->LibraryPath() + ")");
    });

    run("versions and status", [&] {
        uint16_t firmware = 0;
        uint8_t can[VEXAN_MAX_REPLY_DATA] = {};
        uint8_t mode = 0;
        uint16_t r = Vexan_GetFirmwareVersion(kSlotA, &firmware, 1);
        if (r != VEXAN_OK) {
            return Fail("firmware: " + ResultText(r));
        }
        if ((r = Vexan_GetCANStatus(kSlotA, can)) != VEXAN_OK) {
            return Fail("CAN status: " + ResultText(r));
        }
        if ((r = Vexan_GetMasterMode(kSlotA, &mode, 1)) != VEXAN_OK) {
            return Fail("master mode: " + ResultText(r));
        }
        char text[128];
        std::snprintf(text, sizeof text, "library %u, firmware %u.%u, CAN state %u, master mode %u", Vexan_GetVersion(),
                      firmware >> 8, firmware & 0xFF, can[0], mode);
        return Vexan_GetVersion() == VEXAN_LIBRARY_VERSION && firmware == vexsim::kDefaultFirmwareVersion && can[0] == 0
                   ? Pass(text)
                   : Fail(text);
    });

    run("scan both buses", [&] {
        uint8_t scanA[VEXAN_NODE_REPLY_BUFFER] = {};
        uint8_t scanB[VEXAN_NODE_REPLY_BUFFER] = {};
        uint16_t r = Vexan_ScanNode(kSlotA, 0, 0, scanA, 1);
        if (r != VEXAN_OK) {
            return Fail("slot 0: " + ResultText(r));
        }
        if ((r = Vexan_ScanNode(kSlotB, 0, 0, scanB, 1)) != VEXAN_OK) {
            return Fail("slot 1: " + ResultText(r));
        }
        const std::string expectA = edsNode ? "5,6,10" : "5,6";
        const std::string text = "slot 0 nodes " + Ids(scanA) + ", slot 1 nodes " + Ids(scanB);
        return Ids(scanA) == expectA && Ids(scanB) == "7" ? Pass(text) : Fail(text);
    });

    run("configure a node from an EDS file", [&] {
        const std::string file = fs::path(edsPath).filename().string();
        if (!edsNode) {
            return Fail("node 10 is not simulated: " + edsError);
        }
        // Not blocking: the first call starts the load on the board's worker,
        // the next ones report that it runs, the last one its outcome.
        const uint16_t started = Vexan_EDS_Load(kSlotA, kNodeEds, edsPath.c_str(), 0, 0, 0);
        if (started != VEXAN_SENT) {
            return Fail("start: " + ResultText(started));
        }
        uint16_t r = VEXAN_WAITING;
        bool waited = false;
        while (r == VEXAN_WAITING) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            r = Vexan_EDS_Load(kSlotA, kNodeEds, edsPath.c_str(), 0, 0, 0);
            waited = waited || r == VEXAN_WAITING;
        }
        if (r != VEXAN_OK) {
            return Fail(file + ": " + ResultText(r));
        }
        // The PDOs as the library lists them, against those the module holds.
        std::vector<uint16_t> rx;
        std::vector<uint16_t> tx;
        for (std::vector<uint16_t>* list : {&rx, &tx}) {
            if ((r = ReadPdoIdList(kSlotA, kNodeEds, list == &rx, *list)) != VEXAN_OK) {
                return Fail(std::string(list == &rx ? "RxPDO" : "TxPDO") + " list: " + ResultText(r));
            }
        }
        std::vector<uint16_t> heldRx;
        std::vector<uint16_t> heldTx;
        a.sim->WithModule([&](vexsim::Module& module) {
            for (const auto& pdo : module.Pdos()) {
                if (pdo.node == kNodeEds) {
                    (pdo.direction == vexsim::PdoDirection::Receive ? heldRx : heldTx).push_back(pdo.cobId);
                }
            }
        });
        auto text = [](const std::vector<uint16_t>& ids) {
            std::vector<std::string> hex;
            for (const uint16_t id : ids) {
                hex.push_back(Hex(id, 3));
            }
            return hex.empty() ? std::string("none") : Join(hex, ",");
        };
        auto sorted = [](std::vector<uint16_t> ids) {
            std::sort(ids.begin(), ids.end());
            return ids;
        };
        const std::string detail = "node 10 from " + file + " (sent" + (waited ? ", waiting" : "") + ", ok): RxPDOs " +
                                   text(rx) + ", TxPDOs " + text(tx);
        if (rx.empty() && tx.empty()) {
            return Fail(detail + ": no PDO installed");
        }
        if (sorted(rx) != sorted(heldRx) || sorted(tx) != sorted(heldTx)) {
            return Fail(detail + "; the module holds RxPDOs " + text(heldRx) + ", TxPDOs " + text(heldTx));
        }
        return Pass(detail);
    });

    run("NMT start node 5, read its state", [&] {
        uint16_t r = Vexan_NMTChangeState(kSlotA, kNodeIo, kNmtStart, 1);
        if (r != VEXAN_OK) {
            return Fail("start: " + ResultText(r));
        }
        uint8_t state[VEXAN_NODE_REPLY_BUFFER] = {};
        r = Vexan_NMTGetState(kSlotA, kNodeIo, state, 1);
        if (r != VEXAN_OK) {
            return Fail("state: " + ResultText(r));
        }
        return state[0] == kOperational ? Pass("operational (5)") : Fail("state " + std::to_string(state[0]));
    });

    run("read the identity object 0x1018 of node 5", [&] {
        std::string text;
        std::array<uint32_t, 4> values{};
        for (uint8_t sub = 1; sub <= 4; ++sub) {
            uint16_t r = 0;
            values[sub - 1u] = ReadU32(kSlotA, kNodeIo, 0x1018, sub, r);
            if (r != VEXAN_OK) {
                return Fail("sub " + std::to_string(sub) + ": " + ResultText(r));
            }
        }
        text = "vendor " + Hex(values[0], 8) + ", product " + Hex(values[1], 8) + ", revision " + Hex(values[2], 8) +
               ", serial " + Hex(values[3], 8);
        const auto expected = a.sim->ReadObject(kNodeIo, 0x1018, 1);
        const bool same = expected && expected->size() == 4 &&
                          static_cast<uint32_t>((*expected)[0] | (*expected)[1] << 8 | (*expected)[2] << 16 |
                                                static_cast<uint32_t>((*expected)[3]) << 24) == values[0];
        return same ? Pass(text) : Fail(text);
    });

    run("write 0x2000/03 of node 5 and read it back", [&] {
        const uint32_t value = 0xC0FFEE42;
        const std::array<uint8_t, 4> bytes = {0x42, 0xEE, 0xFF, 0xC0};
        uint16_t replyLength = 0;
        uint8_t reply[VEXAN_SDO_WRITE_REPLY_BUFFER] = {};
        uint16_t r = Vexan_SDOWriteData(kSlotA, kNodeIo, 0x2000, 3, 4, bytes.data(), &replyLength, reply, 1);
        if (r != VEXAN_OK) {
            return Fail("write: " + ResultText(r));
        }
        const uint32_t back = ReadU32(kSlotA, kNodeIo, 0x2000, 3, r);
        if (r != VEXAN_OK) {
            return Fail("read: " + ResultText(r));
        }
        return back == value ? Pass("wrote and read " + Hex(value, 8)) : Fail("read back " + Hex(back, 8));
    });

    run("exchange PDOs with node 5", [&] {
        uint16_t r = Vexan_InstallPDO(kSlotA, kNodeIo, kRxPdo, 0, 1, 1);
        if (r != VEXAN_OK) {
            return Fail("install RxPDO: " + ResultText(r));
        }
        if ((r = Vexan_InstallPDO(kSlotA, kNodeIo, kTxPdo, 1, 1, 1)) != VEXAN_OK) {
            return Fail("install TxPDO: " + ResultText(r));
        }
        const std::array<uint8_t, 4> outputs = {0x11, 0x22, 0x33, 0x44};
        if ((r = Vexan_PDOWrite(kSlotA, kRxPdo, 0, 4, outputs.data(), 1)) != VEXAN_OK) {
            return Fail("PDO write: " + ResultText(r));
        }
        uint32_t length = 0;
        std::vector<uint8_t> data(VEXAN_SDO_READ_BUFFER);
        r = Vexan_SDOReadData(kSlotA, kNodeIo, 0x6200, 2, &length, data.data(), 1);
        if (r != VEXAN_OK || length != 1 || data[0] != 0x22) {
            return Fail("output 0x6200/02 after the RxPDO: " + ResultText(r));
        }
        a.sim->PutObject(
            kNodeIo,
            vexsim::ObjectEntry{
                0x6000, 1, "Read input 8 bits 1", vexsim::DataType::Unsigned8, vexsim::Access::ReadOnly, true, {0x5A}});
        uint8_t pdoLength = 0;
        uint8_t pdo[VEXAN_PDO_MAX_DATA] = {};
        if ((r = Vexan_PDORemote(kSlotA, kTxPdo, &pdoLength, pdo, 1)) != VEXAN_OK) {
            return Fail("remote request: " + ResultText(r));
        }
        const std::string text = "RxPDO " + Hex(kRxPdo, 3) + " [11 22 33 44] set the outputs; TxPDO " + Hex(kTxPdo, 3) +
                                 " answered [" + HexBytes({pdo, pdoLength}) + "]";
        return pdoLength >= 1 && pdo[0] == 0x5A ? Pass(text) : Fail(text);
    });

    run("send a SYNC: node 5 sends its TxPDO", [&] {
        uint16_t r = Vexan_PDOTxType(kSlotA, kTxPdo, 1, 1);
        if (r != VEXAN_OK) {
            return Fail("transmission type: " + ResultText(r));
        }
        a.sim->PutObject(
            kNodeIo,
            vexsim::ObjectEntry{
                0x6000, 1, "Read input 8 bits 1", vexsim::DataType::Unsigned8, vexsim::Access::ReadOnly, true, {0xA5}});
        if ((r = Vexan_SendSYNCMsg(kSlotA, kSyncCob, 0, 0, 1)) != VEXAN_OK) {
            return Fail("SYNC: " + ResultText(r));
        }
        uint8_t flag = 0;
        uint8_t length = 0;
        uint8_t data[VEXAN_PDO_MAX_DATA] = {};
        const bool got = WaitFor([&] {
            return Vexan_GetPDOLastData(kSlotA, kTxPdo, &flag, &length, data, 1) == VEXAN_OK && length >= 1 &&
                   data[0] == 0xA5;
        });
        const std::string text = "TxPDO " + Hex(kTxPdo, 3) + " after SYNC " + Hex(kSyncCob, 3) + ": [" +
                                 HexBytes({data, std::min<std::size_t>(length, VEXAN_PDO_MAX_DATA)}) + "]";
        return got ? Pass(text) : Fail(text);
    });

    run("upload a 5000-byte object to its spill file", [&] {
        Vexan_SetFunctionTimeout(kSlotA, 60000);
        uint32_t length = 0;
        std::vector<uint8_t> data(VEXAN_SDO_READ_BUFFER);
        const uint16_t r = Vexan_SDOReadData(kSlotA, kNodeIo, kLargeObject, 0, &length, data.data(), 1);
        Vexan_SetFunctionTimeout(kSlotA, 1000);
        if (r != VEXAN_OK) {
            return Fail(ResultText(r));
        }
        if (length != kLargeSize) {
            return Fail("length " + std::to_string(length));
        }
        std::vector<uint8_t> file(length);
        uint32_t got = 0;
        const uint16_t rf = Vexan_SDOReadFile(kSlotA, kNodeIo, kLargeObject, 0, 0, length, &got, file.data());
        if (rf != VEXAN_OK || got != length) {
            return Fail("reading the spill file: " + ResultText(rf));
        }
        const auto expected = a.sim->ReadObject(kNodeIo, kLargeObject, 0);
        const bool same = expected && *expected == file;
        return same ? Pass(std::to_string(length) + " bytes in 0_5_2100_00.seg, every byte as the node holds it")
                    : Fail("the spill file differs from the object");
    });

    run("catch a boot-up and an EMCY through callbacks", [&] {
        const uint16_t r = Vexan_NMTChangeState(kSlotA, kNodeIo2, kNmtResetNode, 1);
        if (r != VEXAN_OK) {
            return Fail("reset node 6: " + ResultText(r));
        }
        a.sim->InjectEmcy(kNodeIo2, {0x10, 0x42, 0x08, 0, 0, 0, 0, 0});
        const bool bootUp = WaitFor([&] {
            std::lock_guard lock(gSeen.mutex);
            for (const auto& [slot, node] : gSeen.bootUps) {
                if (slot == kSlotA && node == kNodeIo2) {
                    return true;
                }
            }
            return false;
        });
        uint16_t code = 0;
        const bool emcy = WaitFor([&] {
            std::lock_guard lock(gSeen.mutex);
            for (const auto& [node, data] : gSeen.emcys) {
                if (node == kNodeIo2) {
                    code = static_cast<uint16_t>(data[0] | data[1] << 8);
                    return true;
                }
            }
            return false;
        });
        const std::string text = std::string("boot-up of node 6 ") + (bootUp ? "seen" : "missed") +
                                 ", EMCY of node 6 " + (emcy ? Hex(code, 4) + " " + EmcyMeaning(code) : "missed");
        return bootUp && emcy && code == 0x4210 ? Pass(text) : Fail(text);
    });

    run("answer another master's SDO read in its callback", [&] {
        a.sim->InjectMasterSdoRead(0x2000, 3);
        const bool answered = WaitFor([] { return gSeen.sdoAnswer.load() >= 0; });
        if (!answered) {
            return Fail("no request seen");
        }
        if (gSeen.sdoAnswer.load() != VEXAN_OK) {
            return Fail("answer: " + ResultText(static_cast<unsigned>(gSeen.sdoAnswer.load())));
        }
        const bool onLine = a.sim->WithModule([](vexsim::Module& module) {
            for (const auto& answer : module.MasterAnswers()) {
                if (answer.indexOrCobId == 0x2000 && answer.subIndex == 3 &&
                    answer.data == vexsim::Bytes(kAnswer.begin(), kAnswer.end())) {
                    return true;
                }
            }
            return false;
        });
        return onLine ? Pass("0x2000/03 answered with 0x12345678, the module took it")
                      : Fail("the module did not get the answer");
    });

    run("pause and resume traffic", [&] {
        uint16_t firmware = 0;
        Vexan_Pause(0);
        const uint16_t paused = Vexan_GetFirmwareVersion(kSlotA, &firmware, 1);
        Vexan_Start();
        const uint16_t resumed = Vexan_GetFirmwareVersion(kSlotA, &firmware, 1);
        const std::string text = "while paused " + ResultText(paused) + ", resumed " + ResultText(resumed);
        return paused == VEXAN_PAUSED && resumed == VEXAN_OK ? Pass(text) : Fail(text);
    });

    run("shut down both masters", [&] {
        for (uint8_t slot : {kSlotA, kSlotB}) {
            Vexan_RemoveBootUpISR(slot);
            Vexan_RemoveEMCYISR(slot);
        }
        Vexan_RemoveReadSDOISR(kSlotA);
        const uint16_t ra = Vexan_ShutdownMaster(kSlotA);
        const uint16_t rb = Vexan_ShutdownMaster(kSlotB);
        uint16_t firmware = 0;
        const uint16_t after = Vexan_GetFirmwareVersion(kSlotA, &firmware, 1);
        const std::string text =
            "slot 0 " + ResultText(ra) + ", slot 1 " + ResultText(rb) + "; afterwards " + ResultText(after);
        return ra == VEXAN_OK && rb == VEXAN_OK && after == VEXAN_NOT_OPEN ? Pass(text) : Fail(text);
    });

    // Stop the boards before the working directory goes.
    a.relay.reset();
    b.relay.reset();
    std::error_code ignored;
    fs::current_path(home, ignored);
    fs::remove_all(work, ignored);

    const bool ok = failed == 0;
    if (options.json) {
        Json json;
        json.Str("summary", ok ? "passed" : "failed").Num("passed", passed).Num("failed", failed);
        std::cout << json.Text() << std::endl;
    } else {
        std::printf("demo %s: %d of %d steps passed, %d failed\n", ok ? "passed" : "FAILED", passed, number, failed);
    }
    return ok ? 0 : 1;
}

}  // namespace vexantool
