// `vexan serve`: the subcommand that owns the boards and answers the ASCII
// gateway on a Unix socket and, when asked, on TCP, until SIGINT or SIGTERM.
#pragma once

#include <CLI/CLI.hpp>
#include <memory>
#include <string>

#include "session.hpp"

namespace vexantool::serve {

// Adds the `serve` subcommand to the tool's application. `chosen` is set when
// the command line names it. The options live in the returned storage.
std::shared_ptr<void> AddServeCommand(CLI::App& app, bool& chosen);

// Runs the server with the tool's global options (--sim, --port, --slot,
// --master-id, --timeout, --trace, --spill-dir); returns the exit status:
// 0 after a clean stop, 2 for bad arguments, 3 when a board or a socket
// cannot start.
int RunServe(const std::shared_ptr<void>& storage, const SessionOptions& global, const std::string& spillDir);

}  // namespace vexantool::serve
