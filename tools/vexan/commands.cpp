#include "commands.hpp"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <thread>
#include <vector>

#include "vexan.h"
#include "vexan_results.h"

namespace vexantool {

namespace {

// A whole upload must finish within the board's function time-out: 1 MiB takes
// over 90 s at 115200 baud, so the SDO read waits this long unless told otherwise.
constexpr uint32_t kUploadTimeoutMs = 300000;
constexpr uint32_t kDefaultFunctionTimeoutMs = 1000;
constexpr std::size_t kFileChunk = 4096;

// Every argument any subcommand takes.
struct Args {
    unsigned node = 0;
    unsigned index = 0;
    unsigned sub = 0;
    unsigned cob = 0;
    unsigned param = 0;
    unsigned word1 = 0;
    unsigned word2 = 0;
    unsigned time1 = 0;
    unsigned time2 = 0;
    unsigned factor = 0;
    unsigned number = 1;
    unsigned period = 0;
    unsigned mode = 0;
    bool reset = false;
    bool tx = false;
    bool periodGiven = false;
    std::string value;
    std::string type = "auto";
    std::string out;
    std::string file;
    double seconds = 0;
    unsigned count = 0;
};

std::string NodeText(unsigned node)
{
    return "node " + std::to_string(node);
}

// Prints a successful command's line: the human text, or its JSON object.
int Done(Context& context, const std::string& human, Json json)
{
    if (context.json) {
        json.Bool("ok", true).Result(0);
        std::cout << json.Text() << std::endl;
    } else {
        std::cout << human << std::endl;
    }
    return kExitOk;
}

// Reports a failed command on stderr (and as JSON on stdout with --json).
int Failed(Context& context, const std::string& what, unsigned code, Json json, const std::string& detail = "")
{
    std::cerr << "vexan: " << what << ": " << ResultText(code) << (detail.empty() ? "" : ": " + detail) << std::endl;
    if (context.json) {
        json.Bool("ok", false).Result(code);
        if (!detail.empty()) {
            json.Str("detail", detail);
        }
        std::cout << json.Text() << std::endl;
    }
    return kExitFailed;
}

uint8_t Slot(Context& context)
{
    return context.session->Slot();
}

std::string IdList(const uint8_t* reply)
{
    // The module answers [count, ids...].
    std::string text;
    for (unsigned i = 0; i < reply[0] && i + 1 < VEXAN_NODE_REPLY_BUFFER; ++i) {
        text += (i > 0 ? ", " : "") + std::to_string(reply[i + 1]);
    }
    return text.empty() ? "none" : text;
}

std::string IdJson(const uint8_t* reply)
{
    std::vector<std::string> ids;
    for (unsigned i = 0; i < reply[0] && i + 1 < VEXAN_NODE_REPLY_BUFFER; ++i) {
        ids.push_back(std::to_string(reply[i + 1]));
    }
    return JsonArray(ids);
}

std::string NmtStateName(uint8_t state)
{
    switch (state) {
    case 0:
        return "initialising";
    case 4:
        return "stopped";
    case 5:
        return "operational";
    case 127:
        return "pre-operational";
    default:
        return "unknown";
    }
}

uint32_t Le32(const uint8_t* bytes)
{
    return static_cast<uint32_t>(bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24);
}

// ---- master

int Info(Context& context)
{
    const uint8_t slot = Slot(context);
    Json json;
    json.Str("command", "info").Num("slot", slot).Num("library", Vexan_GetVersion());
    uint16_t firmware = 0;
    uint16_t result = Vexan_GetFirmwareVersion(slot, &firmware, 1);
    if (result != VEXAN_OK) {
        return Failed(context, "firmware version", result, json);
    }
    uint8_t can[VEXAN_MAX_REPLY_DATA] = {};
    result = Vexan_GetCANStatus(slot, can);
    if (result != VEXAN_OK) {
        return Failed(context, "CAN status", result, json);
    }
    uint8_t mode = 0;
    result = Vexan_GetMasterMode(slot, &mode, 1);
    if (result != VEXAN_OK) {
        return Failed(context, "master mode", result, json);
    }
    char firmwareText[32];
    std::snprintf(firmwareText, sizeof firmwareText, "%u.%u", firmware >> 8, firmware & 0xFF);
    json.Str("firmware", firmwareText)
        .Num("firmware_raw", firmware)
        .Num("can_state", can[0])
        .Num("tx_errors", can[1])
        .Num("rx_errors", can[2])
        .Num("overruns", can[3])
        .Num("master_mode", mode);
    char human[160];
    std::snprintf(human, sizeof human,
                  "library %u, firmware %s, CAN state %u (tx errors %u, rx errors %u, overruns %u), master mode %u",
                  Vexan_GetVersion(), firmwareText, can[0], can[1], can[2], can[3], mode);
    return Done(context, human, json);
}

int Scan(Context& context)
{
    uint8_t reply[VEXAN_NODE_REPLY_BUFFER] = {};
    Json json;
    json.Str("command", "scan");
    const uint16_t result = Vexan_ScanNode(Slot(context), 0, 0, reply, 1);
    if (result != VEXAN_OK) {
        return Failed(context, "scan", result, json);
    }
    json.Raw("nodes", IdJson(reply));
    return Done(context, "nodes on the bus: " + IdList(reply), json);
}

int Nodes(Context& context)
{
    uint8_t reply[VEXAN_NODE_REPLY_BUFFER] = {};
    Json json;
    json.Str("command", "nodes");
    const uint16_t result = Vexan_GetNodeList(Slot(context), reply, 1);
    if (result != VEXAN_OK) {
        return Failed(context, "nodes", result, json);
    }
    json.Raw("nodes", IdJson(reply));
    return Done(context, "nodes in the master's list: " + IdList(reply), json);
}

int NodeAdd(Context& context, const Args& a)
{
    Json json;
    json.Str("command", "node add").Num("node", a.node);
    const auto node = static_cast<uint8_t>(a.node);
    uint16_t result = VEXAN_WAITING;
    // A module still busy with the add answers "waiting": ask again.
    for (int tries = 0; tries < 50 && result == VEXAN_WAITING; ++tries) {
        result = Vexan_AddNode(Slot(context), node, static_cast<uint8_t>(a.param), static_cast<uint16_t>(a.word1),
                               static_cast<uint16_t>(a.word2), 1);
    }
    if (result != VEXAN_OK) {
        return Failed(context, "node add " + std::to_string(a.node), result, json);
    }
    return Done(context, NodeText(a.node) + " added", json);
}

int NodeRemove(Context& context, const Args& a, bool reset)
{
    const std::string name = reset ? "node reset" : "node remove";
    Json json;
    json.Str("command", name).Num("node", a.node);
    const auto node = static_cast<uint8_t>(a.node);
    const uint16_t result =
        reset ? Vexan_RemoveAndResetNode(Slot(context), node, 1) : Vexan_RemoveNode(Slot(context), node, 1);
    if (result != VEXAN_OK) {
        return Failed(context, name + " " + std::to_string(a.node), result, json);
    }
    return Done(context, NodeText(a.node) + (reset ? " removed and reset" : " removed"), json);
}

// ---- NMT

int NmtChange(Context& context, const Args& a, const std::string& verb, uint8_t specifier)
{
    Json json;
    json.Str("command", "nmt " + verb).Num("node", a.node).Num("specifier", specifier);
    const uint16_t result = Vexan_NMTChangeState(Slot(context), static_cast<uint8_t>(a.node), specifier, 1);
    if (result != VEXAN_OK) {
        return Failed(context, "nmt " + verb + " " + std::to_string(a.node), result, json);
    }
    return Done(context, (a.node == 0 ? std::string("every node") : NodeText(a.node)) + ": nmt " + verb + " sent",
                json);
}

int NmtState(Context& context, const Args& a)
{
    Json json;
    json.Str("command", "nmt state").Num("node", a.node);
    uint8_t state[VEXAN_NODE_REPLY_BUFFER] = {};
    const uint16_t result = Vexan_NMTGetState(Slot(context), static_cast<uint8_t>(a.node), state, 1);
    if (result != VEXAN_OK) {
        return Failed(context, "nmt state " + std::to_string(a.node), result, json);
    }
    json.Num("state", state[0]).Str("name", NmtStateName(state[0]));
    return Done(context, NodeText(a.node) + ": " + NmtStateName(state[0]) + " (" + std::to_string(state[0]) + ")",
                json);
}

int Guard(Context& context, const Args& a)
{
    Json json;
    json.Str("command", "guard").Num("node", a.node).Num("guard_time", a.time1).Num("life_time_factor", a.factor);
    const uint16_t result = Vexan_NMTGuarding(Slot(context), static_cast<uint8_t>(a.node),
                                              static_cast<uint16_t>(a.time1), static_cast<uint8_t>(a.factor), 1);
    if (result != VEXAN_OK) {
        return Failed(context, "guard " + std::to_string(a.node), result, json);
    }
    return Done(context,
                NodeText(a.node) + ": node guarding every " + std::to_string(a.time1) + " ms, life time factor " +
                    std::to_string(a.factor),
                json);
}

int Heartbeat(Context& context, const Args& a)
{
    Json json;
    json.Str("command", "heartbeat").Num("node", a.node).Num("time1", a.time1).Num("time2", a.time2);
    const uint16_t result = Vexan_NMTHeartbeat(Slot(context), static_cast<uint8_t>(a.node),
                                               static_cast<uint16_t>(a.time1), static_cast<uint16_t>(a.time2), 1);
    if (result != VEXAN_OK) {
        return Failed(context, "heartbeat " + std::to_string(a.node), result, json);
    }
    json.Bool("off", a.time1 == 0);
    if (a.time1 == 0) {
        return Done(context, NodeText(a.node) + ": heartbeat off", json);
    }
    return Done(
        context,
        NodeText(a.node) + ": heartbeat " + std::to_string(a.time1) + " ms / " + std::to_string(a.time2) + " ms", json);
}

// ---- SDO

std::string ObjectText(const Args& a)
{
    char text[48];
    std::snprintf(text, sizeof text, "node %u %04X/%02X", a.node, a.index, a.sub);
    return text;
}

std::string AbortDetail(const uint8_t* data)
{
    const uint32_t code = Le32(data);
    return "abort " + Hex(code, 8) + " " + AbortMeaning(code);
}

int FixedSize(const std::string& type)
{
    if (type == "u8" || type == "i8") {
        return 1;
    }
    if (type == "u16" || type == "i16") {
        return 2;
    }
    if (type == "u32" || type == "i32") {
        return 4;
    }
    return 0;
}

// Formats an object's bytes as the type asks; false when they do not fit it.
bool FormatValue(const std::string& requested, std::span<const uint8_t> bytes, std::string& human, Json& json)
{
    std::string type = requested;
    if (type == "auto") {
        bool printable = !bytes.empty();
        for (uint8_t b : bytes) {
            printable = printable && b >= 0x20 && b < 0x7F;
        }
        if (bytes.size() == 1 || bytes.size() == 2 || bytes.size() == 4) {
            type = "u" + std::to_string(bytes.size() * 8);
        } else {
            type = printable ? "string" : "hex";
        }
    }
    json.Str("type", type).Str("hex", HexBytes(bytes, ""));
    if (const int size = FixedSize(type); size != 0) {
        if (bytes.size() != static_cast<std::size_t>(size)) {
            return false;
        }
        uint32_t raw = 0;
        for (int i = size - 1; i >= 0; --i) {
            raw = raw << 8 | bytes[static_cast<std::size_t>(i)];
        }
        long long value = raw;
        if (type[0] == 'i') {
            const unsigned bits = static_cast<unsigned>(size) * 8;
            if (bits < 32 && (raw & (1u << (bits - 1))) != 0) {
                value = static_cast<long long>(raw) - (1LL << bits);
            } else if (bits == 32) {
                value = static_cast<int32_t>(raw);
            }
        }
        json.Num("value", value);
        human = std::to_string(value) + " (" + Hex(raw, size * 2) + ", " + type + ")";
        return true;
    }
    if (type == "string") {
        const std::string text(bytes.begin(), bytes.end());
        json.Str("value", text);
        human = "\"" + text + "\" (string, " + std::to_string(bytes.size()) + " bytes)";
        return true;
    }
    json.Str("value", HexBytes(bytes, ""));
    human = "[" + HexBytes(bytes) + "] (" + std::to_string(bytes.size()) + " bytes)";
    return true;
}

std::string SpillName(uint8_t slot, const Args& a)
{
    char name[64];
    std::snprintf(name, sizeof name, "%u_%u_%04X_%02X.seg", slot, a.node, a.index, a.sub);
    return name;
}

// "1.2 MB/s", "800 B/s".
std::string RateText(double bytesPerSecond)
{
    char text[32];
    if (bytesPerSecond >= 1e6) {
        std::snprintf(text, sizeof text, "%.1f MB/s", bytesPerSecond / 1e6);
    } else if (bytesPerSecond >= 1e3) {
        std::snprintf(text, sizeof text, "%.1f kB/s", bytesPerSecond / 1e3);
    } else {
        std::snprintf(text, sizeof text, "%.0f B/s", bytesPerSecond);
    }
    return text;
}

// One progress line on stderr: the bytes so far, the percentage and the time
// left when the size is known, and the rate.
void ShowProgress(const char* what, uint64_t done, uint64_t total, std::chrono::steady_clock::time_point start)
{
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    std::string text = std::string(what) + " ";
    if (total > 0) {
        char head[64];
        std::snprintf(head, sizeof head, "%3u%% (%llu / %llu bytes)", static_cast<unsigned>(100 * done / total),
                      static_cast<unsigned long long>(done), static_cast<unsigned long long>(total));
        text += head;
    } else {
        text += std::to_string(done) + " bytes";
    }
    if (rate > 0) {
        text += ", " + RateText(rate);
        if (total > 0) {
            const auto left = static_cast<unsigned long long>(static_cast<double>(total - done) / rate + 0.5);
            char tail[32];
            std::snprintf(tail, sizeof tail, ", %llu:%02llu left", left / 60, left % 60);
            text += tail;
        }
    }
    std::fprintf(stderr, "\r\033[K%s", text.c_str());
    std::fflush(stderr);
}

// Copies a large upload out of its spill file with Vexan_SDOReadFile.
uint16_t CopySpill(uint8_t slot, const Args& a, uint32_t length, const std::string& path, std::string& error)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        error = "cannot write " + path;
        return VEXAN_NOT_STORED;
    }
    std::vector<uint8_t> chunk(kFileChunk);
    const bool progress = StderrIsTerminal();
    const auto start = std::chrono::steady_clock::now();
    for (uint32_t offset = 0; offset < length;) {
        uint32_t got = 0;
        const auto want = static_cast<uint32_t>(std::min<std::size_t>(kFileChunk, length - offset));
        const uint16_t result = Vexan_SDOReadFile(slot, static_cast<uint8_t>(a.node), static_cast<uint16_t>(a.index),
                                                  static_cast<uint8_t>(a.sub), offset, want, &got, chunk.data());
        if (result != VEXAN_OK || got == 0) {
            error = "reading the spill file at " + std::to_string(offset);
            return result != VEXAN_OK ? result : static_cast<uint16_t>(VEXAN_NOTHING_TO_READ);
        }
        out.write(reinterpret_cast<const char*>(chunk.data()), got);
        offset += got;
        if (progress) {
            ShowProgress("saving", offset, length, start);
        }
    }
    if (progress) {
        std::fprintf(stderr, "\n");
    }
    return out ? static_cast<uint16_t>(VEXAN_OK) : static_cast<uint16_t>(VEXAN_NOT_STORED);
}

// Where large uploads spill: the library writes spill files into the current
// directory, so the tool works in the chosen one for the read, and goes back.
class SpillPlace {
public:
    explicit SpillPlace(const std::string& dir) : dir_(dir)
    {
        if (dir.empty()) {
            return;
        }
        home_ = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (home_ < 0 || chdir(dir.c_str()) != 0) {
            error = "cannot use the spill directory " + dir + ": " + std::strerror(errno);
        }
    }
    ~SpillPlace()
    {
        if (home_ >= 0) {
            [[maybe_unused]] const int back = fchdir(home_);
            close(home_);
        }
    }
    SpillPlace(const SpillPlace&) = delete;
    SpillPlace& operator=(const SpillPlace&) = delete;
    std::string Path(const std::string& name) const
    {
        return dir_.empty() ? name : (std::filesystem::path(dir_) / name).string();
    }
    std::string error;

private:
    std::string dir_;
    int home_ = -1;
};

int SdoRead(Context& context, const Args& a)
{
    const uint8_t slot = Slot(context);
    Json json;
    json.Str("command", "sdo read").Num("node", a.node).Hex("index", a.index, 4).Num("sub", a.sub);
    if (!context.timeoutGiven) {
        Vexan_SetFunctionTimeout(slot, kUploadTimeoutMs);
    }
    uint32_t length = 0;
    std::vector<uint8_t> data(VEXAN_SDO_READ_BUFFER);
    const bool progress = StderrIsTerminal();
    const std::string spill = SpillName(slot, a);
    // --out names a file from where the tool was started.
    const std::string out = a.out.empty() ? "" : std::filesystem::absolute(a.out).string();
    // Spill files go to the directory the user chose (the current one by
    // default); the tool removes those it created unless told to keep them.
    const SpillPlace place(context.spillDir);
    if (!place.error.empty()) {
        std::cerr << "vexan: sdo read: " << place.error << std::endl;
        return kExitUsage;
    }
    const std::string spillPath = place.Path(spill);
    std::error_code ignored;
    const bool spillExisted = std::filesystem::exists(spill, ignored);
    const auto start = std::chrono::steady_clock::now();
    // Not blocking, so that a large upload can show how far it got from the
    // size of its spill file.
    uint16_t result;
    for (;;) {
        result = Vexan_SDOReadData(slot, static_cast<uint8_t>(a.node), static_cast<uint16_t>(a.index),
                                   static_cast<uint8_t>(a.sub), &length, data.data(), 0);
        if (result != VEXAN_SENT && result != VEXAN_WAITING) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        struct stat info {};
        if (progress && stat(spill.c_str(), &info) == 0 && info.st_size > 0) {
            ShowProgress("received", static_cast<uint64_t>(info.st_size), 0, start);
        }
    }
    if (progress) {
        std::fprintf(stderr, "\r\033[K");
    }
    Vexan_SetFunctionTimeout(slot, context.timeoutGiven ? context.timeoutMs : kDefaultFunctionTimeoutMs);
    // A spill file this read made and nobody wants: one that a failed upload
    // left partly filled, or one whose bytes went to --out.
    const auto dropSpill = [&] {
        if (!context.keepSpill && !spillExisted) {
            std::filesystem::remove(spill, ignored);
        }
    };
    if (result == VEXAN_SDO_ABORTED) {
        json.Hex("abort", Le32(data.data()), 8).Str("abort_text", AbortMeaning(Le32(data.data())));
        return Failed(context, "sdo read " + ObjectText(a), result, json, AbortDetail(data.data()));
    }
    if (result != VEXAN_OK) {
        dropSpill();
        return Failed(context, "sdo read " + ObjectText(a), result, json);
    }
    json.Num("length", length);
    if (length >= VEXAN_SDO_SPILL_THRESHOLD) {
        if (a.out.empty()) {
            // The spill file holds the object: it stays.
            json.Str("spill_file", spillPath).Bool("spill_kept", true);
            return Done(context, ObjectText(a) + ": " + std::to_string(length) + " bytes in " + spillPath, json);
        }
        std::string error;
        const uint16_t copied = CopySpill(slot, a, length, out, error);
        if (copied != VEXAN_OK) {
            return Failed(context, "sdo read " + ObjectText(a), copied, json, error);
        }
        dropSpill();
        const bool kept = std::filesystem::exists(spill, ignored);
        json.Str("spill_file", spillPath).Bool("spill_kept", kept).Str("file", a.out);
        return Done(context,
                    ObjectText(a) + ": " + std::to_string(length) + " bytes saved to " + a.out +
                        (kept ? " (spill file " + spillPath + " kept)" : ""),
                    json);
    }
    std::span<const uint8_t> bytes(data.data(), length);
    if (!a.out.empty()) {
        std::ofstream file(out, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!file) {
            return Failed(context, "sdo read " + ObjectText(a), VEXAN_NOT_STORED, json, "cannot write " + a.out);
        }
        json.Str("file", a.out);
    }
    std::string human;
    if (!FormatValue(a.type, bytes, human, json)) {
        std::cerr << "vexan: sdo read " << ObjectText(a) << ": the object has " << length << " bytes, not a " << a.type
                  << std::endl;
        return kExitFailed;
    }
    return Done(context, ObjectText(a) + " = " + human, json);
}

// The bytes of a value to write, as the type asks; false with the reason.
bool EncodeValue(const Args& a, std::vector<uint8_t>& bytes, std::string& error)
{
    const std::string type = a.type == "auto" ? "u32" : a.type;
    if (const int size = FixedSize(type); size != 0) {
        char* end = nullptr;
        const long long value = std::strtoll(a.value.c_str(), &end, 0);
        const bool isSigned = type[0] == 'i';
        const long long low = isSigned ? -(1LL << (size * 8 - 1)) : 0;
        const long long high = isSigned ? (1LL << (size * 8 - 1)) - 1 : (1LL << (size * 8)) - 1;
        if (a.value.empty() || *end != '\0' || value < low || value > high) {
            error = "'" + a.value + "' is not a " + type + " value";
            return false;
        }
        bytes.clear();
        for (int i = 0; i < size; ++i) {
            bytes.push_back(static_cast<uint8_t>(static_cast<unsigned long long>(value) >> (8 * i)));
        }
        return true;
    }
    if (type == "string") {
        bytes.assign(a.value.begin(), a.value.end());
        return true;
    }
    if (!ParseHexBytes(a.value, bytes)) {
        error = "'" + a.value + "' is not hex bytes";
        return false;
    }
    return true;
}

int SdoWrite(Context& context, const Args& a)
{
    Json json;
    json.Str("command", "sdo write").Num("node", a.node).Hex("index", a.index, 4).Num("sub", a.sub);
    std::vector<uint8_t> bytes;
    std::string error;
    if (!EncodeValue(a, bytes, error)) {
        std::cerr << "vexan: sdo write: " << error << std::endl;
        return kExitUsage;
    }
    json.Str("hex", HexBytes(bytes, ""));
    uint16_t replyLength = 0;
    uint8_t reply[VEXAN_SDO_WRITE_REPLY_BUFFER] = {};
    const uint16_t result = Vexan_SDOWriteData(
        Slot(context), static_cast<uint8_t>(a.node), static_cast<uint16_t>(a.index), static_cast<uint8_t>(a.sub),
        static_cast<uint32_t>(bytes.size()), bytes.empty() ? nullptr : bytes.data(), &replyLength, reply, 1);
    if (result == VEXAN_SDO_ABORTED) {
        json.Hex("abort", Le32(reply), 8).Str("abort_text", AbortMeaning(Le32(reply)));
        return Failed(context, "sdo write " + ObjectText(a), result, json, AbortDetail(reply));
    }
    if (result != VEXAN_OK) {
        return Failed(context, "sdo write " + ObjectText(a), result, json);
    }
    return Done(context, ObjectText(a) + " written: [" + HexBytes(bytes) + "]", json);
}

// ---- PDO

int PdoWrite(Context& context, const Args& a)
{
    Json json;
    json.Str("command", "pdo write").Hex("cob", a.cob, 3);
    std::vector<uint8_t> bytes;
    if (!ParseHexBytes(a.value, bytes) || bytes.size() > VEXAN_PDO_MAX_DATA) {
        std::cerr << "vexan: pdo write: '" << a.value << "' is not 0..8 hex bytes" << std::endl;
        return kExitUsage;
    }
    json.Str("hex", HexBytes(bytes, ""));
    const uint8_t none = 0;
    const uint16_t result = Vexan_PDOWrite(Slot(context), static_cast<uint16_t>(a.cob), 0,
                                           static_cast<uint8_t>(bytes.size()), bytes.empty() ? &none : bytes.data(), 1);
    if (result != VEXAN_OK) {
        return Failed(context, "pdo write " + Hex(a.cob, 3), result, json);
    }
    return Done(context, "PDO " + Hex(a.cob, 3) + " sent: [" + HexBytes(bytes) + "]", json);
}

int PdoRead(Context& context, const Args& a)
{
    Json json;
    json.Str("command", "pdo read").Hex("cob", a.cob, 3);
    uint8_t flag = 0;
    uint8_t length = 0;
    uint8_t data[VEXAN_PDO_MAX_DATA] = {};
    const uint16_t result = Vexan_GetPDOLastData(Slot(context), static_cast<uint16_t>(a.cob), &flag, &length, data, 1);
    if (result != VEXAN_OK) {
        return Failed(context, "pdo read " + Hex(a.cob, 3), result, json);
    }
    const std::span<const uint8_t> bytes(data, std::min<std::size_t>(length, VEXAN_PDO_MAX_DATA));
    json.Num("flag", flag).Str("hex", HexBytes(bytes, ""));
    return Done(context,
                "PDO " + Hex(a.cob, 3) + ": [" + HexBytes(bytes) + "]" + (flag == 1 ? " (read before)" : " (new)"),
                json);
}

int PdoRemote(Context& context, const Args& a)
{
    Json json;
    json.Str("command", "pdo remote").Hex("cob", a.cob, 3);
    uint8_t length = 0;
    uint8_t data[VEXAN_PDO_MAX_DATA] = {};
    const uint16_t result = Vexan_PDORemote(Slot(context), static_cast<uint16_t>(a.cob), &length, data, 1);
    if (result != VEXAN_OK) {
        return Failed(context, "pdo remote " + Hex(a.cob, 3), result, json);
    }
    const std::span<const uint8_t> bytes(data, std::min<std::size_t>(length, VEXAN_PDO_MAX_DATA));
    json.Str("hex", HexBytes(bytes, ""));
    return Done(context, "PDO " + Hex(a.cob, 3) + " answered: [" + HexBytes(bytes) + "]", json);
}

int PdoMap(Context& context, const Args& a)
{
    Json json;
    json.Str("command", "pdo map").Hex("cob", a.cob, 3);
    uint16_t field1 = 0;
    uint8_t field2 = 0;
    uint8_t field3 = 0;
    uint16_t field4 = 0;
    uint8_t count = 0;
    uint32_t entries[VEXAN_PDO_MAX_ENTRIES] = {};
    const uint16_t result = Vexan_GetPDOMapInfo(Slot(context), static_cast<uint16_t>(a.cob), &field1, &field2, &field3,
                                                &field4, &count, entries, 1);
    if (result != VEXAN_OK) {
        return Failed(context, "pdo map " + Hex(a.cob, 3), result, json);
    }
    std::vector<std::string> list;
    // The four map fields as the module fills them: the PDO's number, its
    // direction, transmission type and event timer.
    std::string human = "PDO " + Hex(a.cob, 3) + ": number " + std::to_string(field1) + ", direction " +
                        std::to_string(field2) +
                        (field2 == 0   ? " (receive)"
                         : field2 == 1 ? " (transmit)"
                                       : "") +
                        ", transmission type " + std::to_string(field3) + ", event timer " + std::to_string(field4) +
                        " ms; " + std::to_string(count) + " entries (object/sub-index:bits)";
    for (unsigned i = 0; i < count && i < VEXAN_PDO_MAX_ENTRIES; ++i) {
        char entry[32];
        std::snprintf(entry, sizeof entry, "%04X/%02X:%u", entries[i] >> 16, (entries[i] >> 8) & 0xFF,
                      entries[i] & 0xFF);
        human += (i == 0 ? ": " : ", ") + std::string(entry);
        list.push_back(Json::Quote(entry));
    }
    json.Num("number", field1).Num("direction", field2).Num("transmission_type", field3).Num("event_timer", field4);
    json.Num("field1", field1).Num("field2", field2).Num("field3", field3).Num("field4", field4);
    json.Raw("entries", JsonArray(list));
    return Done(context, human, json);
}

int PdoList(Context& context, const Args& a)
{
    Json json;
    json.Str("command", "pdo list").Num("node", a.node);
    std::string human = NodeText(a.node) + ":";
    for (const bool rx : {true, false}) {
        uint8_t count = 0;
        uint16_t ids[VEXAN_PDO_MAX_IDS] = {};
        const auto node = static_cast<uint8_t>(a.node);
        const uint16_t result = rx ? Vexan_GetRxPDOID(Slot(context), node, &count, ids, 1)
                                   : Vexan_GetTxPDOID(Slot(context), node, &count, ids, 1);
        if (result != VEXAN_OK) {
            return Failed(context, std::string("pdo list ") + (rx ? "rx " : "tx ") + std::to_string(a.node), result,
                          json);
        }
        std::vector<std::string> list;
        std::vector<std::string> hexList;
        std::string text;
        for (unsigned i = 0; i < count && i < VEXAN_PDO_MAX_IDS; ++i) {
            list.push_back(std::to_string(ids[i]));
            hexList.push_back(Json::Quote(Hex(ids[i], 3)));
            text += (i > 0 ? ", " : "") + Hex(ids[i], 3);
        }
        json.Raw(rx ? "rx" : "tx", JsonArray(list)).Raw(rx ? "rx_hex" : "tx_hex", JsonArray(hexList));
        human += std::string(rx ? " RxPDOs " : ", TxPDOs ") + (text.empty() ? "none" : text);
    }
    return Done(context, human, json);
}

int PdoInstall(Context& context, const Args& a)
{
    Json json;
    json.Str("command", "pdo install")
        .Num("node", a.node)
        .Hex("cob", a.cob, 3)
        .Bool("tx", a.tx)
        .Num("number", a.number);
    const uint16_t result = Vexan_InstallPDO(Slot(context), static_cast<uint8_t>(a.node), static_cast<uint16_t>(a.cob),
                                             a.tx ? 1 : 0, static_cast<uint16_t>(a.number), 1);
    if (result != VEXAN_OK) {
        return Failed(context, "pdo install " + Hex(a.cob, 3), result, json);
    }
    return Done(context,
                NodeText(a.node) + ": " + (a.tx ? "TxPDO " : "RxPDO ") + std::to_string(a.number) + " installed on " +
                    Hex(a.cob, 3),
                json);
}

// ---- EDS

// The node's receive and transmit PDO COB-IDs as the module lists them.
uint16_t ReadPdoIds(uint8_t slot, uint8_t node, std::vector<uint16_t>& rx, std::vector<uint16_t>& tx)
{
    for (std::vector<uint16_t>* list : {&rx, &tx}) {
        uint8_t count = 0;
        uint16_t ids[VEXAN_PDO_MAX_IDS] = {};
        const uint16_t result =
            list == &rx ? Vexan_GetRxPDOID(slot, node, &count, ids, 1) : Vexan_GetTxPDOID(slot, node, &count, ids, 1);
        if (result != VEXAN_OK) {
            return result;
        }
        list->assign(ids, ids + std::min<unsigned>(count, VEXAN_PDO_MAX_IDS));
    }
    return VEXAN_OK;
}

std::string Lower(std::string text)
{
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// Why a load ended with "file" (50): the system's reason for the path.
std::string EdsFileReason(const std::string& path)
{
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (error) {
        return path + ": " + error.message();
    }
    if (std::filesystem::is_directory(status)) {
        return path + ": " + std::strerror(EISDIR);
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return path + ": " + std::strerror(errno);
    }
    if (file.peek() == std::ifstream::traits_type::eof()) {
        return path + ": the file is empty";
    }
    return vexan_result_text(VEXAN_EDS_FILE);
}

// The DefaultValue of `section` in an EDS text (sections and keys in any
// case), as the load looks it up; nullopt when the section or key is missing
// or the value empty.
std::optional<std::string> EdsDefaultValue(const std::string& text, const std::string& section, bool& sectionFound)
{
    const std::string lower = Lower(text);
    const std::string header = Lower(section);
    std::size_t at = 0;
    sectionFound = false;
    while ((at = lower.find(header, at)) != std::string::npos) {
        if (at == 0 || lower[at - 1] == '\n') {
            break;
        }
        ++at;
    }
    if (at == std::string::npos) {
        return std::nullopt;
    }
    sectionFound = true;
    std::size_t end = lower.find("\n[", at);
    end = end == std::string::npos ? lower.size() : end;
    const std::size_t key = lower.find("defaultvalue", at);
    if (key == std::string::npos || key >= end) {
        return std::nullopt;
    }
    const std::size_t equals = text.find('=', key);
    const std::size_t lineEnd = std::min(text.find('\n', key), text.size());
    if (equals == std::string::npos || equals > lineEnd) {
        return std::nullopt;
    }
    std::string value = text.substr(equals + 1, lineEnd - equals - 1);
    while (!value.empty() && (value.back() == '\r' || value.back() == ' ' || value.back() == '\t')) {
        value.pop_back();
    }
    if (value.empty()) {
        return std::nullopt;
    }
    return value;
}

// Whether a value is a number the load can read: "$" only as "$NODEID", and
// then with a "+" term.
bool EdsValueParses(const std::string& value)
{
    const std::string lower = Lower(value);
    bool relative = false;
    for (std::size_t at = lower.find('$'); at != std::string::npos; at = lower.find('$', at + 1)) {
        if (lower.compare(at + 1, 6, "nodeid") != 0) {
            return false;
        }
        relative = true;
    }
    return !relative || lower.find('+') != std::string::npos;
}

// Which value a load that ended with "value" (51) missed: the device type's
// section must be there (its DefaultValue need not), the SYNC and EMCY COB-IDs
// must read as numbers where given.
std::string EdsValueReason(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(file), {}};
    bool found = false;
    EdsDefaultValue(text, "[1000]", found);
    if (!found) {
        return "section [1000] (device type) is missing";
    }
    for (const char* section : {"[1005]", "[1014]"}) {
        const auto value = EdsDefaultValue(text, section, found);
        if (value && !EdsValueParses(*value)) {
            return std::string("the DefaultValue of section ") + section + ", '" + *value + "', does not parse";
        }
    }
    return vexan_result_text(VEXAN_EDS_VALUE);
}

int EdsLoad(Context& context, const Args& a)
{
    const uint8_t slot = Slot(context);
    const auto node = static_cast<uint8_t>(a.node);
    Json json;
    json.Str("command", "eds load").Num("node", a.node).Str("file", a.file);
    if (a.file.empty()) {
        std::cerr << "vexan: eds load: no file given" << std::endl;
        return kExitUsage;
    }
    // The library reads a path whose second byte is NUL as a wide string, and
    // so past the end of a one-character name: that goes as "./x", narrow.
    const std::string path = a.file.size() < 2 ? "./" + a.file : a.file;
    const bool progress = StderrIsTerminal();
    const auto start = std::chrono::steady_clock::now();
    // Not blocking, so that a terminal sees that the load is still running.
    uint16_t result;
    for (unsigned ticks = 0;; ++ticks) {
        result =
            Vexan_EDS_Load(slot, node, path.c_str(), static_cast<uint16_t>(a.word1), static_cast<uint16_t>(a.word2), 0);
        if (result != VEXAN_SENT && result != VEXAN_WAITING) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (progress && ticks % 10 == 0) {
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            std::fprintf(stderr, "\rconfiguring node %u from %s %c %.1f s", a.node, a.file.c_str(),
                         "|/-\\"[(ticks / 10) % 4], seconds);
        }
    }
    if (progress) {
        std::fprintf(stderr, "\r\033[K");
    }
    const std::string what = "eds load " + std::to_string(a.node) + " " + a.file;
    if (result != VEXAN_OK) {
        // The reasons that concern the file, in words.
        std::string detail;
        // The library gives the code only: the file is read again for the reason.
        if (result == VEXAN_EDS_FILE) {
            detail = EdsFileReason(path);
        } else if (result == VEXAN_EDS_VALUE) {
            detail = EdsValueReason(path);
        } else if (result == VEXAN_OUT_OF_RANGE) {
            detail = "the path is longer than " + std::to_string(VEXAN_EDS_MAX_PATH) + " bytes";
        }
        return Failed(context, what, result, json, detail);
    }
    std::string human = NodeText(a.node) + " configured from " + a.file;
    std::vector<uint16_t> rx;
    std::vector<uint16_t> tx;
    // The load's outcome stands; what it installed is shown when the module lists it.
    if (const uint16_t read = ReadPdoIds(slot, node, rx, tx); read != VEXAN_OK) {
        std::cerr << "vexan: " << what << ": the node's PDOs could not be read back: " << ResultText(read) << std::endl;
        return Done(context, human, json);
    }
    for (const bool isRx : {true, false}) {
        std::vector<std::string> list;
        std::vector<std::string> hexList;
        std::string text;
        for (const uint16_t id : isRx ? rx : tx) {
            list.push_back(std::to_string(id));
            hexList.push_back(Json::Quote(Hex(id, 3)));
            text += (text.empty() ? "" : ", ") + Hex(id, 3);
        }
        json.Raw(isRx ? "rx" : "tx", JsonArray(list)).Raw(isRx ? "rx_hex" : "tx_hex", JsonArray(hexList));
        human += std::string(isRx ? ": RxPDOs " : ", TxPDOs ") + (text.empty() ? "none" : text);
    }
    return Done(context, human, json);
}

// ---- SYNC and EMCY

int Sync(Context& context, const Args& a)
{
    Json json;
    json.Str("command", "sync").Hex("cob", a.cob, 3).Num("period_ms", a.period);
    const uint16_t result =
        Vexan_SendSYNCMsg(Slot(context), static_cast<uint16_t>(a.cob), static_cast<uint16_t>(a.period), 0, 1);
    if (result != VEXAN_OK) {
        return Failed(context, "sync " + Hex(a.cob, 3), result, json);
    }
    if (a.period != 0) {
        return Done(context, "SYNC every " + std::to_string(a.period) + " ms on " + Hex(a.cob, 3), json);
    }
    // A period of 0 sends one SYNC and ends the module's cycle on that COB-ID.
    return Done(
        context,
        "SYNC sent on " + Hex(a.cob, 3) + (a.periodGiven ? "; the SYNC cycle on " + Hex(a.cob, 3) + " stopped" : ""),
        json);
}

// The bits of the error register (object 1001h) an EMCY carries, by name.
std::vector<std::string> ErrorRegisterBits(uint8_t value)
{
    static constexpr const char* kBits[8] = {"generic",       "current",        "voltage",  "temperature",
                                             "communication", "device profile", "reserved", "manufacturer specific"};
    std::vector<std::string> names;
    for (unsigned bit = 0; bit < 8; ++bit) {
        if ((value >> bit & 1u) != 0) {
            names.emplace_back(kBits[bit]);
        }
    }
    return names;
}

// "0x11 (generic, communication)", "0x00 (no error)".
std::string ErrorRegisterText(uint8_t value)
{
    std::string names;
    for (const std::string& name : ErrorRegisterBits(value)) {
        names += (names.empty() ? "" : ", ") + name;
    }
    return Hex(value, 2) + " (" + (names.empty() ? "no error" : names) + ")";
}

std::string ErrorRegisterJson(uint8_t value)
{
    std::vector<std::string> names;
    for (const std::string& name : ErrorRegisterBits(value)) {
        names.push_back(Json::Quote(name));
    }
    return JsonArray(names);
}

int EmcyLast(Context& context, const Args& a)
{
    Json json;
    json.Str("command", "emcy last").Num("node", a.node);
    uint8_t flag = 0;
    uint8_t data[VEXAN_EMCY_DATA] = {};
    const uint16_t result = Vexan_ReadLastEMCY(Slot(context), static_cast<uint8_t>(a.node), &flag, data, 1);
    if (result == VEXAN_NOTHING_TO_READ) {
        json.Bool("recorded", false);
        return Done(context, NodeText(a.node) + ": no EMCY recorded", json);
    }
    if (result != VEXAN_OK) {
        return Failed(context, "emcy last " + std::to_string(a.node), result, json);
    }
    const auto code = static_cast<uint16_t>(data[0] | data[1] << 8);
    json.Bool("recorded", true)
        .Num("flag", flag)
        .Hex("error_code", code, 4)
        .Str("meaning", EmcyMeaning(code))
        .Hex("error_register", data[2], 2)
        .Raw("error_register_bits", ErrorRegisterJson(data[2]))
        .Str("hex", HexBytes(data, ""));
    return Done(context,
                NodeText(a.node) + ": EMCY " + Hex(code, 4) + " " + EmcyMeaning(code) + ", error register " +
                    ErrorRegisterText(data[2]) + " [" + HexBytes(data) + "]",
                json);
}

// ---- monitor

std::mutex gEventMutex;
std::condition_variable gEventSignal;
bool gEventsWaiting = false;
std::atomic<bool> gInterrupted{false};

void OnEvent()
{
    {
        std::lock_guard lock(gEventMutex);
        gEventsWaiting = true;
    }
    gEventSignal.notify_one();
}

void OnInterrupt(int)
{
    gInterrupted = true;
}

struct Event {
    std::string kind;
    unsigned slot = 0;
    std::string text;
    Json json;
};

// "2026-12-11T09:30:05.123Z": UTC, to the millisecond.
std::string IsoTime(std::chrono::system_clock::time_point when)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[40];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(ms % 1000));
    return text;
}

// Takes every queued event record.
std::vector<Event> DrainEvents()
{
    std::vector<Event> events;
    uint8_t slot = 0;
    uint8_t node = 0;
    uint8_t data[8] = {};
    while (Vexan_GetBootUpNodeAfterAdd(&slot, &node) == VEXAN_OK) {
        Event e{"boot-up", slot, NodeText(node) + " booted", {}};
        e.json.Num("node", node);
        events.push_back(e);
    }
    while (Vexan_GetEMCYData(&slot, &node, data) == VEXAN_OK) {
        const auto code = static_cast<uint16_t>(data[0] | data[1] << 8);
        Event e{"emcy",
                slot,
                NodeText(node) + ": EMCY " + Hex(code, 4) + " " + EmcyMeaning(code) + ", error register " +
                    ErrorRegisterText(data[2]) + " [" + HexBytes(data) + "]",
                {}};
        e.json.Num("node", node)
            .Hex("error_code", code, 4)
            .Str("meaning", EmcyMeaning(code))
            .Hex("error_register", data[2], 2)
            .Raw("error_register_bits", ErrorRegisterJson(data[2]))
            .Str("hex", HexBytes(data, ""));
        events.push_back(e);
    }
    uint8_t code = 0;
    while (Vexan_GetNMTError(&slot, &node, &code) == VEXAN_OK) {
        const std::string why = code == 1 ? "node guarding" : code == 2 ? "heartbeat" : "code " + std::to_string(code);
        Event e{"nmt-error", slot, NodeText(node) + ": NMT error (" + why + ")", {}};
        e.json.Num("node", node).Num("code", code);
        events.push_back(e);
    }
    uint16_t index = 0;
    uint8_t sub = 0;
    uint8_t length = 0;
    while (Vexan_GetMasterReadSDOEvent(&slot, &index, &sub) == VEXAN_OK) {
        Event e{"master-sdo-read", slot, "another master reads " + Hex(index, 4) + "/" + Hex(sub, 2), {}};
        e.json.Hex("index", index, 4).Num("sub", sub);
        events.push_back(e);
    }
    while (Vexan_GetMasterWriteSDOEvent(&slot, &index, &sub, &length, data) == VEXAN_OK) {
        const std::span<const uint8_t> bytes(data, std::min<std::size_t>(length, 4));
        Event e{"master-sdo-write",
                slot,
                "another master writes " + Hex(index, 4) + "/" + Hex(sub, 2) + " [" + HexBytes(bytes) + "]",
                {}};
        e.json.Hex("index", index, 4).Num("sub", sub).Str("hex", HexBytes(bytes, ""));
        events.push_back(e);
    }
    uint16_t cob = 0;
    while (Vexan_GetMasterRemotePDOEvent(&slot, &cob) == VEXAN_OK) {
        Event e{"master-remote-pdo", slot, "another master requests PDO " + Hex(cob, 3), {}};
        e.json.Hex("cob", cob, 3);
        events.push_back(e);
    }
    while (Vexan_GetMasterRxPDOEvent(&slot, &cob, &length, data) == VEXAN_OK) {
        const std::span<const uint8_t> bytes(data, std::min<std::size_t>(length, 8));
        Event e{"master-rx-pdo", slot, "another master sent PDO " + Hex(cob, 3) + " [" + HexBytes(bytes) + "]", {}};
        e.json.Hex("cob", cob, 3).Str("hex", HexBytes(bytes, ""));
        events.push_back(e);
    }
    return events;
}

}  // namespace

namespace {

// The terminal's height in lines (24 when it does not say).
std::size_t TerminalRows()
{
    winsize size{};
    return ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 ? size.ws_row : 24;
}

}  // namespace

int RunMonitor(Context& context, double seconds, unsigned count)
{
    const uint8_t slot = Slot(context);
    // Callbacks only wake the loop; the records are read here, off the receive thread.
    Vexan_InstallBootUpISR(slot, OnEvent);
    Vexan_InstallEMCYISR(slot, OnEvent);
    Vexan_InstallNMTErrISR(slot, OnEvent);
    Vexan_InstallReadSDOISR(slot, OnEvent);
    Vexan_InstallWriteSDOISR(slot, OnEvent);
    Vexan_InstallRxPDOISR(slot, OnEvent);
    Vexan_InstallRemotePDOISR(slot, OnEvent);
    gInterrupted = false;
    auto previous = std::signal(SIGINT, OnInterrupt);
    const bool table = StdoutIsTerminal() && !context.json;
    std::map<std::string, unsigned> seen;  // kind -> count
    std::deque<std::string> log;           // the latest events, oldest first
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                 std::chrono::duration<double>(seconds > 0 ? seconds : 1e9));
    double drawnAt = -1;
    if (!table && !context.json) {
        std::cout << "monitoring slot " << unsigned{slot} << " (Ctrl-C ends)" << std::endl;
    }
    unsigned taken = 0;
    while (!gInterrupted && std::chrono::steady_clock::now() < end && (count == 0 || taken < count)) {
        {
            std::unique_lock lock(gEventMutex);
            gEventSignal.wait_for(lock, std::chrono::milliseconds(100), [] { return gEventsWaiting; });
            gEventsWaiting = false;
        }
        const auto events = DrainEvents();
        const std::string now = IsoTime(std::chrono::system_clock::now());
        const double at = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        char stamp[16];
        std::snprintf(stamp, sizeof stamp, "%8.3f", at);
        for (const Event& e : events) {
            if (context.json) {
                Json json = e.json;
                json.Str("event", e.kind).Num("slot", e.slot).Str("time", now).Str("text", e.text);
                std::cout << json.Text() << std::endl;
            } else if (!table) {
                std::cout << stamp << " slot " << e.slot << " " << e.kind << ": " << e.text << std::endl;
            }
            ++seen[e.kind];
            ++taken;
            if (table) {
                char kind[24];
                std::snprintf(kind, sizeof kind, "%-18s", e.kind.c_str());
                log.push_back(std::string(stamp) + "  " + kind + " " + e.text);
            }
        }
        // The log scrolls: as many of the latest events as fit under the counters.
        const std::size_t room =
            std::max<std::size_t>(TerminalRows() > 6 + seen.size() ? TerminalRows() - 6 - seen.size() : 0, 3);
        while (log.size() > room) {
            log.pop_front();
        }
        // The table is redrawn when something came, and once a second for the clock.
        const bool redraw = !events.empty() || at - drawnAt >= 1.0 || drawnAt < 0;
        if (table && redraw) {
            drawnAt = at;
            std::cout << "\033[H\033[2J"
                      << "vexan monitor, slot " << unsigned{slot} << ", " << stamp << " s (Ctrl-C ends)\n\n";
            std::printf("%-18s %6s\n", "event", "count");
            for (const auto& [kind, number] : seen) {
                std::printf("%-18s %6u\n", kind.c_str(), number);
            }
            std::printf("\nlatest events:\n");
            for (const std::string& line : log) {
                std::printf("%s\n", line.c_str());
            }
            std::fflush(stdout);
        }
    }
    std::signal(SIGINT, previous);
    Vexan_RemoveBootUpISR(slot);
    Vexan_RemoveEMCYISR(slot);
    Vexan_RemoveNMTErrISR(slot);
    Vexan_RemoveReadSDOISR(slot);
    Vexan_RemoveWriteSDOISR(slot);
    Vexan_RemoveRxPDOISR(slot);
    Vexan_RemoveRemotePDOISR(slot);
    return kExitOk;
}

std::string UnknownCommand(const CLI::App& app, const std::vector<std::string>& words,
                           const std::vector<std::string>& extra)
{
    const CLI::App* level = &app;
    std::string path;
    const auto subcommands = [](const CLI::App* at) {
        return at->get_subcommands([](const CLI::App*) { return true; });
    };
    // An option of this level or of one above it (options fall through).
    const auto findOption = [&](const std::string& name) -> const CLI::Option* {
        for (const CLI::App* at = level; at != nullptr; at = at->get_parent()) {
            if (const CLI::Option* option = at->get_option_no_throw(name); option != nullptr) {
                return option;
            }
        }
        return nullptr;
    };
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        const auto subs = subcommands(level);
        if (word == "--") {
            return "";
        }
        if (word.size() > 1 && word[0] == '-') {
            const std::string name = word.substr(0, word.find('='));
            const CLI::Option* option = findOption(name);
            if (option == nullptr || word.find('=') != std::string::npos || option->get_expected_max() == 0) {
                continue;  // an unknown option is the parser's to report
            }
            // Its values, up to the next option or subcommand name.
            const int most = option->get_expected_max();
            for (int taken = 0; taken < most && i + 1 < words.size(); ++taken) {
                const std::string& next = words[i + 1];
                const bool isCommand = std::any_of(subs.begin(), subs.end(),
                                                   [&next](const CLI::App* sub) { return sub->get_name() == next; });
                if ((next.size() > 1 && next[0] == '-') || (taken >= option->get_expected_min() && isCommand)) {
                    break;
                }
                ++i;
            }
            continue;
        }
        if (subs.empty()) {
            return "";  // the arguments of a command
        }
        const CLI::App* next = nullptr;
        for (const CLI::App* sub : subs) {
            if (sub->get_name() == word) {
                next = sub;
            }
        }
        const bool topExtra = level == &app && std::find(extra.begin(), extra.end(), word) != extra.end();
        if (topExtra) {
            return "";
        }
        if (next == nullptr) {
            std::string valid;
            for (const CLI::App* sub : subs) {
                valid += (valid.empty() ? "" : ", ") + sub->get_name();
            }
            if (level == &app) {
                for (const std::string& more : extra) {
                    valid += ", " + more;
                }
            }
            return "unknown command '" + path + word + "' (the " + (path.empty() ? "" : path) + "commands: " + valid +
                   ")";
        }
        path += word + " ";
        level = next;
    }
    return "";
}

std::shared_ptr<void> AddCommands(CLI::App& app, Action& action)
{
    auto args = std::make_shared<Args>();
    Args& a = *args;
    auto set = [&action](const std::string& name, std::function<int(Context&)> run) {
        return [&action, name, run] {
            action.name = name;
            action.run = run;
        };
    };
    const auto node = [&a](CLI::App* cmd) {
        cmd->add_option("node", a.node, "node id (1..127)")->required()->check(CLI::Range(1, 127));
    };

    app.add_subcommand("info", "library and firmware versions, CAN status, master mode")->callback(set("info", Info));
    app.add_subcommand("scan", "nodes answering on the bus")->callback(set("scan", Scan));
    app.add_subcommand("nodes", "nodes in the master's list")->callback(set("nodes", Nodes));

    auto* nodeCmd = app.add_subcommand("node", "add, remove or reset a node of the master's list");
    nodeCmd->require_subcommand(1);
    auto* add = nodeCmd->add_subcommand("add", "add a node to the master's list");
    node(add);
    add->add_option("--param", a.param, "the module's node parameter")->check(CLI::Range(0, 255));
    add->add_option("--word1", a.word1, "the module's first node word")->check(CLI::Range(0, 65535));
    add->add_option("--word2", a.word2, "the module's second node word")->check(CLI::Range(0, 65535));
    add->callback(set("node add", [&a](Context& c) { return NodeAdd(c, a); }));
    auto* remove = nodeCmd->add_subcommand("remove", "remove a node from the master's list");
    node(remove);
    remove->callback(set("node remove", [&a](Context& c) { return NodeRemove(c, a, false); }));
    auto* reset = nodeCmd->add_subcommand("reset", "remove a node from the list and reset it");
    node(reset);
    reset->callback(set("node reset", [&a](Context& c) { return NodeRemove(c, a, true); }));

    auto* nmt = app.add_subcommand("nmt", "NMT state changes and state query");
    nmt->require_subcommand(1);
    struct Change {
        const char* verb;
        uint8_t specifier;
        const char* help;
    };
    static constexpr Change kChanges[] = {{"start", 1, "start the node (operational)"},
                                          {"stop", 2, "stop the node"},
                                          {"preop", 128, "enter pre-operational"},
                                          {"reset", 129, "reset the node"},
                                          {"reset-comm", 130, "reset the node's communication"}};
    for (const Change& change : kChanges) {
        auto* cmd = nmt->add_subcommand(change.verb, change.help);
        // An NMT command to node 0 goes to every node.
        cmd->add_option("node", a.node, "node id (1..127, 0: every node)")->required()->check(CLI::Range(0, 127));
        cmd->callback(set(std::string("nmt ") + change.verb,
                          [&a, change](Context& c) { return NmtChange(c, a, change.verb, change.specifier); }));
    }
    auto* state = nmt->add_subcommand("state", "read the node's NMT state");
    node(state);
    state->callback(set("nmt state", [&a](Context& c) { return NmtState(c, a); }));

    auto* guard = app.add_subcommand("guard", "set up node guarding of a node");
    node(guard);
    guard->add_option("guard-time", a.time1, "guard time in ms")->required()->check(CLI::Range(0, 65535));
    guard->add_option("life-time-factor", a.factor, "life time factor")->required()->check(CLI::Range(0, 255));
    guard->callback(set("guard", [&a](Context& c) { return Guard(c, a); }));
    auto* heartbeat = app.add_subcommand("heartbeat", "set up heartbeat monitoring of a node");
    node(heartbeat);
    heartbeat->add_option("time1", a.time1, "the node's heartbeat time in ms")->required()->check(CLI::Range(0, 65535));
    heartbeat->add_option("time2", a.time2, "the master's consumer time in ms")->check(CLI::Range(0, 65535));
    heartbeat->callback(set("heartbeat", [&a](Context& c) { return Heartbeat(c, a); }));

    const std::vector<std::string> types = {"auto", "u8", "u16", "u32", "i8", "i16", "i32", "string", "hex"};
    auto* sdo = app.add_subcommand("sdo", "read and write objects of a node");
    sdo->require_subcommand(1);
    auto* read = sdo->add_subcommand("read", "read an object (SDO upload)");
    node(read);
    read->add_option("index", a.index, "object index, e.g. 0x1018")->required()->check(CLI::Range(0, 0xFFFF));
    read->add_option("sub", a.sub, "sub-index")->required()->check(CLI::Range(0, 255));
    read->add_option("--type,-t", a.type, "how to show the value")->check(CLI::IsMember(types));
    read->add_option("--out,-o", a.out, "save the object's bytes to this file (for large objects)");
    read->callback(set("sdo read", [&a](Context& c) { return SdoRead(c, a); }));
    auto* write = sdo->add_subcommand("write", "write an object (SDO download)");
    node(write);
    write->add_option("index", a.index, "object index")->required()->check(CLI::Range(0, 0xFFFF));
    write->add_option("sub", a.sub, "sub-index")->required()->check(CLI::Range(0, 255));
    write->add_option("value", a.value, "the value: a number, a string, or hex bytes")->required();
    write->add_option("--type,-t", a.type, "the value's type (default u32)")->check(CLI::IsMember(types));
    write->callback(set("sdo write", [&a](Context& c) { return SdoWrite(c, a); }));

    auto* pdo = app.add_subcommand("pdo", "PDO exchange and configuration");
    pdo->require_subcommand(1);
    const auto cob = [&a](CLI::App* cmd) {
        cmd->add_option("cob-id", a.cob, "the PDO's COB-ID, e.g. 0x205")->required()->check(CLI::Range(0, 2046));
    };
    auto* pdoWrite = pdo->add_subcommand("write", "send a PDO");
    cob(pdoWrite);
    pdoWrite->add_option("data", a.value, "0..8 data bytes in hex, e.g. 01020304")->required();
    pdoWrite->callback(set("pdo write", [&a](Context& c) { return PdoWrite(c, a); }));
    auto* pdoRead = pdo->add_subcommand("read", "the last PDO received on a COB-ID");
    cob(pdoRead);
    pdoRead->callback(set("pdo read", [&a](Context& c) { return PdoRead(c, a); }));
    auto* pdoRemote = pdo->add_subcommand("remote", "ask a node for a PDO by remote request");
    cob(pdoRemote);
    pdoRemote->callback(set("pdo remote", [&a](Context& c) { return PdoRemote(c, a); }));
    auto* pdoMap = pdo->add_subcommand("map", "a PDO's mapping");
    cob(pdoMap);
    pdoMap->callback(set("pdo map", [&a](Context& c) { return PdoMap(c, a); }));
    auto* pdoList = pdo->add_subcommand("list", "a node's receive and transmit PDOs");
    node(pdoList);
    pdoList->callback(set("pdo list", [&a](Context& c) { return PdoList(c, a); }));
    auto* pdoInstall = pdo->add_subcommand("install", "install a PDO from the node's own PDO objects");
    node(pdoInstall);
    cob(pdoInstall);
    pdoInstall->add_flag("--tx", a.tx, "a transmit PDO of the node (default: receive)");
    pdoInstall->add_option("--number", a.number, "the PDO's number (1..512)")->check(CLI::Range(1, 512));
    pdoInstall->callback(set("pdo install", [&a](Context& c) { return PdoInstall(c, a); }));

    auto* sync = app.add_subcommand("sync", "send a SYNC, or start a cyclic one");
    sync->add_option("cob-id", a.cob, "SYNC COB-ID (default 0x80)")->check(CLI::Range(0, 2046));
    a.cob = 0x80;
    auto* period = sync->add_option("--period", a.period, "cycle in ms (0: one SYNC now, and the cycle stops)")
                       ->check(CLI::Range(0, 65535));
    sync->callback([&a, &action, period] {
        a.periodGiven = period->count() > 0;
        action.name = "sync";
        action.run = [&a](Context& c) { return Sync(c, a); };
    });

    auto* emcy = app.add_subcommand("emcy", "emergency messages");
    emcy->require_subcommand(1);
    auto* last = emcy->add_subcommand("last", "the last EMCY the module recorded for a node");
    node(last);
    last->callback(set("emcy last", [&a](Context& c) { return EmcyLast(c, a); }));

    auto* eds = app.add_subcommand("eds", "configure nodes from EDS files");
    eds->require_subcommand(1);
    auto* edsLoad =
        eds->add_subcommand("load", "add a node, start it, and set its SYNC, EMCY and PDOs from its EDS (or DCF) file");
    node(edsLoad);
    edsLoad->add_option("file", a.file, "the node's EDS or DCF file")->required();
    edsLoad->add_option("--word1", a.word1, "the module's first node word")->check(CLI::Range(0, 65535));
    edsLoad->add_option("--word2", a.word2, "the module's second node word")->check(CLI::Range(0, 65535));
    edsLoad->callback(set("eds load", [&a](Context& c) { return EdsLoad(c, a); }));

    auto* monitor = app.add_subcommand("monitor", "show events live until Ctrl-C");
    monitor->add_option("--seconds", a.seconds, "stop after this many seconds");
    monitor->add_option("--count", a.count, "stop after this many events");
    monitor->callback(set("monitor", [&a](Context& c) { return RunMonitor(c, a.seconds, a.count); }));
    return std::make_shared<std::pair<std::shared_ptr<Args>, std::shared_ptr<void>>>(args, AddOdCommands(app, action));
}

}  // namespace vexantool
