// Objects of a node: sdo read (SDO upload, also of large objects through their
// spill file) and sdo write (SDO download).
#include <sys/stat.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>

#include "cia301.hpp"
#include "command_group.hpp"
#include "progress.hpp"
#include "sdo_spill.hpp"
#include "terminal.hpp"
#include "text.hpp"
#include "typed_objects.hpp"
#include "vexan.h"
#include "vexan_results.h"

namespace vexantool {

namespace {

// A whole upload must finish within the board's function time-out: 1 MiB takes
// over 90 s at 115200 baud, so the SDO read waits this long unless told otherwise.
constexpr uint32_t kUploadTimeoutMs = 300000;
constexpr uint32_t kDefaultFunctionTimeoutMs = 1000;

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

// The object a command names, into `located` (index and sub-index filled),
// and for a write the value; false with the reason printed.
bool Locate(const Context& context, const char* command, const Args& a, bool write, Args& located, ObjectRef& ref)
{
    located = a;
    std::string error;
    const std::size_t values = write ? 1 : 0;
    if (a.rest.size() > values + 1 || a.rest.size() < values) {
        ErrorLine() << std::string("vexan: ") + command + ": give " + (write ? "OBJECT [SUB] VALUE" : "OBJECT [SUB]") +
                           "\n";
        return false;
    }
    std::optional<unsigned> sub;
    if (a.rest.size() == values + 1) {
        char* end = nullptr;
        const std::string& text = a.rest.front();
        const unsigned long number = std::strtoul(text.c_str(), &end, 0);
        if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])) || *end != '\0' || number > 255) {
            ErrorLine() << std::string("vexan: ") + command + ": sub-index '" + text + "' is not 0..255\n";
            return false;
        }
        sub = static_cast<unsigned>(number);
    }
    const std::optional<ObjectRef> found = ResolveObject(context.devices, a.node, a.object, sub, error);
    if (!found) {
        ErrorLine() << std::string("vexan: ") + command + ": " + error + "\n";
        return false;
    }
    ref = *found;
    located.index = ref.index;
    located.sub = ref.sub;
    if (write) {
        located.value = a.rest.back();
    }
    return true;
}

// "node 5 1018/01", and the entry's name when the device file gives it.
std::string NamedObjectText(const Args& a, const ObjectRef& ref)
{
    return ObjectText(a) + (ref.name.empty() ? "" : " " + ref.name);
}

int SdoRead(Context& context, const Args& given)
{
    Args a;
    ObjectRef ref;
    if (!Locate(context, "sdo read", given, false, a, ref)) {
        return kExitUsage;
    }
    std::string typeError;
    const std::optional<ValueType> type = ChooseType(a.type, ref, typeError);
    if (!typeError.empty()) {
        ErrorLine() << "vexan: sdo read " << ObjectText(a) << ": " << typeError << std::endl;
        return kExitUsage;
    }
    const uint8_t slot = Slot(context);
    Json json;
    json.Str("command", "sdo read").Num("node", a.node).Hex("index", a.index, 4).Num("sub", a.sub);
    if (!ref.name.empty()) {
        json.Str("name", ref.name);
    }
    if (!context.timeoutGiven) {
        Vexan_SetFunctionTimeout(slot, kUploadTimeoutMs);
    }
    uint32_t length = 0;
    std::vector<uint8_t> data(VEXAN_SDO_READ_BUFFER);
    const bool progress = StderrIsTerminal();
    const std::string spill = SpillName(slot, a.node, a.index, a.sub);
    // --out names a file from where the tool was started.
    const std::string out = a.out.empty() ? "" : std::filesystem::absolute(a.out).string();
    // Spill files go to the directory the user chose (the current one by
    // default); the tool removes those it created unless told to keep them.
    const SpillPlace place(context.spillDir);
    if (!place.error.empty()) {
        ErrorLine() << "vexan: sdo read: " << place.error << std::endl;
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
        const uint16_t copied = CopySpill(slot, static_cast<uint8_t>(a.node), static_cast<uint16_t>(a.index),
                                          static_cast<uint8_t>(a.sub), length, out, error);
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
    if (type) {
        std::string error;
        const std::optional<ShownValue> shown = ShowValue(*type, bytes, error);
        if (!shown) {
            ErrorLine() << "vexan: sdo read " << NamedObjectText(a, ref) << ": " << error << " [" << HexBytes(bytes)
                        << "]" << std::endl;
            return kExitFailed;
        }
        json.Str("type", type->label).Num("datatype", type->dataType).Str("hex", HexBytes(bytes, ""));
        json.Raw("value", shown->json);
        human = shown->human;
    } else if (!FormatValue(a.type, bytes, human, json)) {
        ErrorLine() << "vexan: sdo read " << ObjectText(a) << ": the object has " << length << " bytes, not a "
                    << a.type << std::endl;
        return kExitFailed;
    }
    return Done(context, NamedObjectText(a, ref) + " = " + human, json);
}

int SdoWrite(Context& context, const Args& given)
{
    Args a;
    ObjectRef ref;
    if (!Locate(context, "sdo write", given, true, a, ref)) {
        return kExitUsage;
    }
    Json json;
    json.Str("command", "sdo write").Num("node", a.node).Hex("index", a.index, 4).Num("sub", a.sub);
    if (!ref.name.empty()) {
        json.Str("name", ref.name);
    }
    // Everything is checked before anything is sent: the access, the type's
    // range, the entry's limits.
    std::string error;
    std::optional<ValueType> type = ChooseType(a.type, ref, error);
    if (!error.empty()) {
        ErrorLine() << "vexan: sdo write " << ObjectText(a) << ": " << error << std::endl;
        return kExitUsage;
    }
    if (!type) {
        type = ValueType{0x0007, false, "u32"};  // UNSIGNED32 when nothing says otherwise
    }
    const std::optional<std::vector<uint8_t>> encoded = EncodeWrite(*type, ref, a.node, a.value, error);
    if (!encoded) {
        ErrorLine() << "vexan: sdo write " << NamedObjectText(a, ref) << ": " << error << "; nothing was sent"
                    << std::endl;
        return kExitUsage;
    }
    const std::vector<uint8_t>& bytes = *encoded;
    json.Str("type", type->label);
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
    return Done(context, NamedObjectText(a, ref) + " written: [" + HexBytes(bytes) + "]", json);
}

}  // namespace

void AddSdoCommands(const CommandWiring& wiring)
{
    Args& a = wiring.args;
    const std::vector<std::string> types = TypeNames();
    const char* object =
        "the object: INDEX:SUB in hex (1018:01, 0x1017), or with a device file (--eds, eds attach) a name "
        "(\"Producer heartbeat time\"), a path (\"Identity object/Vendor-ID\") or a unique prefix; or INDEX "
        "(decimal, or hex with 0x) followed by SUB";
    auto* sdo = wiring.app.add_subcommand("sdo", "read and write objects of a node");
    sdo->require_subcommand(1);
    auto* read = sdo->add_subcommand("read", "read an object (SDO upload)");
    wiring.NodeArgument(read);
    read->add_option("object", a.object, object)->required();
    read->add_option("sub", a.rest, "sub-index, when OBJECT is an index alone")->expected(0, 1);
    read->add_option("--type,-t", a.type, "how to show the value (default: the device file's type, else by its size)")
        ->check(CLI::IsMember(types));
    read->add_option("--out,-o", a.out, "save the object's bytes to this file (for large objects)");
    read->callback(wiring.Run("sdo read", SdoRead));
    auto* write = sdo->add_subcommand("write", "write an object (SDO download)");
    wiring.NodeArgument(write);
    write->add_option("object", a.object, object)->required();
    write
        ->add_option("value", a.rest,
                     "[SUB] VALUE: the value, a number, a string, or hex bytes (SUB when OBJECT is an index alone)")
        ->expected(1, 2)
        ->required();
    write->add_option("--type,-t", a.type, "the value's type (default: the device file's type, else u32)")
        ->check(CLI::IsMember(types));
    write->callback(wiring.Run("sdo write", SdoWrite));
}

}  // namespace vexantool
