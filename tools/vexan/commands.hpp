// The subcommands of vexan, built on a CLI11 application, for the command line
// and for each line of the shell.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "session.hpp"

namespace vexantool {

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;   // the library or the module reported a failure
inline constexpr int kExitUsage = 2;    // bad arguments
inline constexpr int kExitNoBoard = 3;  // the port, the simulator or the master did not start

class DeviceFiles;

struct Context {
    Session* session = nullptr;
    DeviceFiles* devices = nullptr;  // --eds, eds attach: the nodes' device files (shared by the shell's lines)
    bool json = false;
    bool timeoutGiven = false;  // --timeout: also for the SDO upload
    unsigned timeoutMs = 0;
    std::string spillDir;    // --spill-dir: where large uploads spill ("": the current directory)
    bool keepSpill = false;  // --keep-spill: keep spill files whose bytes went to --out
};

// What a parsed command line asks for: run(context) gives the exit status.
struct Action {
    std::function<int(Context&)> run;
    bool needsBoard = true;
    std::string name;
};

// Adds every board subcommand to app. The parsed arguments live in storage
// owned by the returned object; action is set by the chosen subcommand.
std::shared_ptr<void> AddCommands(CLI::App& app, Action& action);

// Names the first word of `words` (a command line without the program's name)
// that is not a subcommand where one is wanted: "unknown command 'sdo foo'
// (the sdo commands: read, write)"; "" when every command word is known.
// `extra` are further commands the level takes (the shell's own words).
std::string UnknownCommand(const CLI::App& app, const std::vector<std::string>& words,
                           const std::vector<std::string>& extra = {});

// Monitor: events until Ctrl-C (or seconds > 0 have passed, or count > 0
// events have come).
// With `pdos`, also the new data of these PDOs (COB-IDs) as named fields.
int RunMonitor(Context& context, double seconds, unsigned count = 0, const std::vector<unsigned>& pdos = {});

}  // namespace vexantool
