// What the command groups (commands_*.cpp, monitor.cpp) share: the parsed
// arguments, the wiring of a group's subcommands into the application, and
// the lines a command prints. Each group has one registration function, listed
// in the table of AddCommands (commands.cpp).
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "commands.hpp"
#include "json.hpp"

namespace vexantool {

// Every argument any subcommand takes. One parse fills one of these; its
// subcommand's action reads it.
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
    std::string object;             // sdo read/write: a name, a path, a prefix, INDEX[:SUB] or INDEX
    std::vector<std::string> rest;  // sdo read: [SUB]; sdo write: [SUB] VALUE
    std::vector<unsigned> pdos;     // monitor --pdo: COB-IDs to follow
    bool fields = false;            // pdo read --fields
    std::string type = "auto";
    std::string out;
    std::string file;
    double seconds = 0;
    unsigned count = 0;
};

// A command's body: runs on the open board with the parsed arguments and
// gives the exit status.
using CommandBody = std::function<int(Context&, const Args&)>;

// What a group adds its subcommands with.
struct CommandWiring {
    CLI::App& app;
    Args& args;
    Action& action;

    // The callback of a subcommand: makes `body` (on this parse's arguments)
    // the action, named `name`.
    std::function<void()> Run(std::string name, CommandBody body) const;
    // The node id, a required positional argument (1..127).
    void NodeArgument(CLI::App* command) const;
};

// The groups, in the order of the help's command list.
void AddMasterCommands(const CommandWiring& wiring);    // info
void AddNodeCommands(const CommandWiring& wiring);      // scan, nodes, node
void AddNmtCommands(const CommandWiring& wiring);       // nmt, guard, heartbeat
void AddSdoCommands(const CommandWiring& wiring);       // sdo
void AddPdoCommands(const CommandWiring& wiring);       // pdo
void AddSyncEmcyCommands(const CommandWiring& wiring);  // sync, emcy
void AddEdsCommands(const CommandWiring& wiring);       // eds
void AddMonitorCommand(const CommandWiring& wiring);    // monitor
void AddOdCommands(const CommandWiring& wiring);        // od (a device file; no board)

// Prints a successful command's line: the human text, or its JSON object.
int Done(Context& context, const std::string& human, Json json);
// Reports a failed command on stderr (and as JSON on stdout with --json).
int Failed(Context& context, const std::string& what, unsigned code, Json json, const std::string& detail = "");

inline uint8_t Slot(const Context& context)
{
    return context.session->Slot();
}

// "node 5".
std::string NodeText(unsigned node);

// A little-endian 32-bit number (an SDO abort code, an object's value).
inline uint32_t Le32(const uint8_t* bytes)
{
    return static_cast<uint32_t>(bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24);
}

// An EMCY's eight bytes, for emcy last and the monitor: "node 5: EMCY 0x8130
// life guard error or heartbeat error, error register 0x11 (generic,
// communication) [30 81 11 00 00 00 00 00]", and its JSON fields (error code,
// meaning, error register and its bits, the bytes).
std::string EmcyText(unsigned node, std::span<const uint8_t> data);
void AddEmcyFields(Json& json, std::span<const uint8_t> data);

// "0x205, 0x206" ("none" when empty); `key` and `key`_hex into json.
std::string PdoIdListText(const char* key, const std::vector<uint16_t>& ids, Json& json);

}  // namespace vexantool
