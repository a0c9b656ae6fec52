// Configuring nodes from their device files: eds load, and the reasons of a
// failed load in words.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <thread>

#include "command_group.hpp"
#include "id_lists.hpp"
#include "results.hpp"
#include "terminal.hpp"
#include "text.hpp"
#include "typed_objects.hpp"
#include "vexan.h"
#include "vexan_results.h"

namespace vexantool {

namespace {

// Why a load ended with VEXAN_EDS_FILE: the system's reason for the path.
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

// Which value a load that ended with VEXAN_EDS_VALUE missed: the device type's
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
        ErrorLine() << "vexan: eds load: no file given" << std::endl;
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
    // The load's outcome stands; what it installed is shown when the module lists it.
    std::vector<uint16_t> ids[2];
    for (const bool rx : {true, false}) {
        if (const uint16_t read = ReadPdoIdList(slot, node, rx, ids[rx ? 0 : 1]); read != VEXAN_OK) {
            ErrorLine() << "vexan: " + what + ": the node's PDOs could not be read back: " + ResultText(read) + "\n";
            return Done(context, human, json);
        }
    }
    human += ": RxPDOs " + PdoIdListText("rx", ids[0], json);
    human += ", TxPDOs " + PdoIdListText("tx", ids[1], json);
    return Done(context, human, json);
}

}  // namespace

namespace {

// Objects by name and type for a node's sdo and pdo commands, from its file.
int EdsAttach(Context& context, const Args& a)
{
    Json json;
    json.Str("command", "eds attach").Num("node", a.node).Str("file", a.file);
    std::string error;
    if (context.devices == nullptr || !context.devices->Attach(a.node, a.file, error)) {
        ErrorLine() << "vexan: eds attach " << a.node << ": " << error << std::endl;
        return kExitFailed;
    }
    const vexan::od::DeviceModel& model = *context.devices->Model(a.node);
    json.Num("objects", static_cast<long long>(model.Objects().size()))
        .Num("entries", static_cast<long long>(model.EntryCount()))
        .Num("diagnostics", static_cast<long long>(model.Diagnostics().size()));
    std::string human = NodeText(a.node) + ": objects by name from " + a.file + " (" +
                        std::to_string(model.Objects().size()) + " objects, " + std::to_string(model.EntryCount()) +
                        " entries)";
    if (!model.Diagnostics().empty()) {
        human += "; the file has " + std::to_string(model.Diagnostics().size()) + " flaws (vexan od list shows them)";
    }
    return Done(context, human, json);
}

}  // namespace

void AddEdsCommands(const CommandWiring& wiring)
{
    Args& a = wiring.args;
    auto* eds = wiring.app.add_subcommand("eds", "configure nodes from EDS files");
    eds->require_subcommand(1);
    auto* edsLoad =
        eds->add_subcommand("load", "add a node, start it, and set its SYNC, EMCY and PDOs from its EDS (or DCF) file");
    wiring.NodeArgument(edsLoad);
    edsLoad->add_option("file", a.file, "the node's EDS or DCF file")->required();
    edsLoad->add_option("--word1", a.word1, "the module's first node word")->check(CLI::Range(0, 65535));
    edsLoad->add_option("--word2", a.word2, "the module's second node word")->check(CLI::Range(0, 65535));
    edsLoad->callback(wiring.Run("eds load", EdsLoad));
    auto* attach = eds->add_subcommand(
        "attach", "use the node's EDS or DCF file for its objects by name and its values by type (as --eds NODE=FILE)");
    wiring.NodeArgument(attach);
    attach->add_option("file", a.file, "the node's EDS or DCF file")->required();
    attach->callback(wiring.Run("eds attach", EdsAttach));
}

}  // namespace vexantool
