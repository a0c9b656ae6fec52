// Shared by the benchmarks of vexan serve: the server in this process on one
// simulated board per slot 0..boards-1, logging only warnings and worse.
#pragma once

#include <string>

#include "gateway_server.hpp"
#include "log.hpp"

namespace vexantool::serve::bench {

// Starts `server` on `boards` simulated boards; false with `error` set when it
// does not start.
inline bool StartOnBoards(testkit::GatewayServer& server, unsigned boards, std::string& error)
{
    SetLogLevel(LogLevel::Warning);
    testkit::ServerSetup setup;
    setup.slots.clear();
    for (unsigned slot = 0; slot < boards; ++slot) {
        setup.slots.push_back(slot);
    }
    return server.Start(setup, error);
}

}  // namespace vexantool::serve::bench
