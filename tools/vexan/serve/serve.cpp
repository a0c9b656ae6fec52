#include "serve.hpp"

#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

#include "gateway.hpp"
#include "host.hpp"
#include "host_dashboard.hpp"
#include "line_server.hpp"
#include "log.hpp"
#include "vexan_results.h"

namespace vexantool::serve {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;
constexpr int kExitNoBoard = 3;

struct ServeOptions {
    std::vector<std::string> ports;  // PATH[@SLOT]
    unsigned boards = 1;             // simulated boards with --sim
    std::string socketPath;
    bool noSocket = false;
    std::string listen;
    std::string http;  // the dashboard's ADDR:PORT
    std::string allow;
    bool readOnly = false;
    unsigned maxClients = 16;
    unsigned idleTimeoutS = 600;
    std::vector<std::string> eds;  // [NET:]NODE=FILE
    std::string logLevel = "info";
};

struct ModelSpec {
    unsigned net = 1;
    uint8_t node = 0;
    std::string path;
};

bool ParseModelSpec(const std::string& text, ModelSpec& spec, std::string& error)
{
    const auto equals = text.find('=');
    if (equals == std::string::npos || equals + 1 == text.size()) {
        error = "--eds wants NODE=FILE or NET:NODE=FILE: " + text;
        return false;
    }
    std::string who = text.substr(0, equals);
    spec.path = std::filesystem::absolute(text.substr(equals + 1)).string();
    if (const auto colon = who.find(':'); colon != std::string::npos) {
        const auto net = gateway::ParseNumber(who.substr(0, colon), 8);
        if (!net || *net == 0) {
            error = "bad net in --eds " + text;
            return false;
        }
        spec.net = static_cast<unsigned>(*net);
        who = who.substr(colon + 1);
    }
    const auto node = gateway::ParseNumber(who, 127);
    if (!node || *node == 0) {
        error = "bad node id in --eds " + text;
        return false;
    }
    spec.node = static_cast<uint8_t>(*node);
    return true;
}

}  // namespace

std::shared_ptr<void> AddServeCommand(CLI::App& app, bool& chosen)
{
    auto options = std::make_shared<ServeOptions>();
    auto* cmd = app.add_subcommand("serve",
                                   "own the boards and answer the CiA 309-3 ASCII gateway protocol on a Unix socket "
                                   "(and TCP with --listen) until SIGINT or SIGTERM");
    cmd->add_option("--port", options->ports, "serial device of a board, PATH[@SLOT] (repeatable; slot 0 by default)");
    cmd->add_option("--boards", options->boards, "with --sim: the number of simulated boards, slots 0..N-1")
        ->check(CLI::Range(1, 8))
        ->capture_default_str();
    cmd->add_option("--socket", options->socketPath,
                    "the Unix socket's path (default $XDG_RUNTIME_DIR/vexan.sock, else /tmp/vexan-UID/vexan.sock)");
    cmd->add_flag("--no-socket", options->noSocket, "no Unix socket (with --listen)");
    cmd->add_option("--listen", options->listen,
                    "also listen on TCP, ADDR:PORT; an address other than loopback needs --allow");
    cmd->add_option("--http", options->http,
                    "also serve the dashboard (page and JSON API) on ADDR:PORT; an address other than loopback "
                    "needs --allow");
    cmd->add_option("--allow", options->allow, "TCP peers allowed besides loopback, CIDR[,CIDR...]");
    cmd->add_flag("--read-only", options->readOnly, "refuse writes, NMT commands and EDS loads (ERROR:100)");
    cmd->add_option("--max-clients", options->maxClients, "clients at once, over both sockets")
        ->check(CLI::Range(1, 1024))
        ->capture_default_str();
    cmd->add_option("--idle-timeout", options->idleTimeoutS, "close a client silent this many seconds (0: never)")
        ->capture_default_str();
    cmd->add_option("--eds", options->eds,
                    "device file of a node, [NET:]NODE=FILE (repeatable): reads without a data type take its types");
    cmd->add_option("--log-level", options->logLevel, "error, warning, info or debug")->capture_default_str();
    cmd->callback([&chosen] { chosen = true; });
    return options;
}

int RunServe(const std::shared_ptr<void>& storage, const SessionOptions& global, const std::string& spillDir)
{
    const auto& options = *std::static_pointer_cast<ServeOptions>(storage);
    LogLevel level = LogLevel::Info;
    if (!ParseLogLevel(options.logLevel, level)) {
        Log(LogLevel::Error, "unknown log level " + options.logLevel);
        return kExitUsage;
    }
    SetLogLevel(level);

    // The boards.
    HostOptions hostOptions;
    if (global.sim) {
        if (!options.ports.empty()) {
            Log(LogLevel::Error, "--port and --sim exclude each other");
            return kExitUsage;
        }
        for (unsigned slot = 0; slot < options.boards; ++slot) {
            BoardSpec spec{global};
            spec.session.slot = slot;
            hostOptions.boards.push_back(spec);
        }
    } else {
        if (!global.port.empty()) {
            hostOptions.boards.push_back(BoardSpec{global});
        }
        for (const std::string& text : options.ports) {
            BoardSpec spec{global};
            spec.session.port = text;
            spec.session.slot = 0;
            if (const auto at = text.rfind('@'); at != std::string::npos) {
                const auto slot = gateway::ParseNumber(text.substr(at + 1), 7);
                if (!slot) {
                    Log(LogLevel::Error, "bad slot in --port " + text);
                    return kExitUsage;
                }
                spec.session.port = text.substr(0, at);
                spec.session.slot = static_cast<unsigned>(*slot);
            }
            hostOptions.boards.push_back(spec);
        }
    }
    if (hostOptions.boards.empty()) {
        Log(LogLevel::Error, "no module: give --port PATH[@SLOT] or --sim");
        return kExitUsage;
    }
    std::vector<ModelSpec> models;
    for (const std::string& text : options.eds) {
        ModelSpec spec;
        std::string error;
        if (!ParseModelSpec(text, spec, error)) {
            Log(LogLevel::Error, error);
            return kExitUsage;
        }
        models.push_back(spec);
    }

    // The sockets.
    LineServerOptions serverOptions;
    serverOptions.maxClients = options.maxClients;
    serverOptions.idleTimeout = std::chrono::seconds(options.idleTimeoutS);
    serverOptions.maxLine = gateway::kMaxLine;
    serverOptions.overlongResponse = "ERROR:" + std::to_string(gateway::kErrorSyntax);
    serverOptions.busyResponse = "ERROR:" + std::to_string(gateway::kErrorState) + "\r\n";
    if (!options.listen.empty()) {
        serverOptions.tcp = ParseEndpoint(options.listen);
        if (!serverOptions.tcp) {
            Log(LogLevel::Error, "--listen wants ADDR:PORT: " + options.listen);
            return kExitUsage;
        }
        if (!options.allow.empty()) {
            std::string error;
            const auto allow = ParseCidrList(options.allow, error);
            if (!allow) {
                Log(LogLevel::Error, "--allow: " + error);
                return kExitUsage;
            }
            serverOptions.allow = *allow;
        }
        const auto address = ParseIp(serverOptions.tcp->host);
        const bool loopback = serverOptions.tcp->host == "localhost" || (address.has_value() && IsLoopback(*address));
        if (!loopback && serverOptions.allow.empty()) {
            Log(LogLevel::Error, "--listen on " + serverOptions.tcp->host +
                                     " reaches the network: name the peers allowed with --allow CIDR[,CIDR]");
            return kExitUsage;
        }
    } else if (!options.allow.empty() && options.http.empty()) {
        Log(LogLevel::Error, "--allow without --listen or --http");
        return kExitUsage;
    }
    if (!options.noSocket) {
        std::string error;
        serverOptions.unixPath = options.socketPath.empty() ? DefaultSocketPath(error) : options.socketPath;
        if (serverOptions.unixPath.empty()) {
            Log(LogLevel::Error, error);
            return kExitNoBoard;
        }
        serverOptions.unixPath = std::filesystem::absolute(serverOptions.unixPath).string();
    } else if (!serverOptions.tcp && options.http.empty()) {
        Log(LogLevel::Error, "--no-socket without --listen or --http leaves nothing to serve on");
        return kExitUsage;
    }

    // The dashboard's address, checked as --listen's.
    std::optional<Endpoint> http;
    std::vector<Cidr> httpAllow;
    if (!options.http.empty()) {
        http = ParseEndpoint(options.http);
        if (!http) {
            Log(LogLevel::Error, "--http wants ADDR:PORT: " + options.http);
            return kExitUsage;
        }
        if (!options.allow.empty()) {
            std::string error;
            const auto allow = ParseCidrList(options.allow, error);
            if (!allow) {
                Log(LogLevel::Error, "--allow: " + error);
                return kExitUsage;
            }
            httpAllow = *allow;
        }
        const auto address = ParseIp(http->host);
        const bool loopback = http->host == "localhost" || (address.has_value() && IsLoopback(*address));
        if (!loopback && httpAllow.empty()) {
            Log(LogLevel::Error,
                "--http on " + http->host + " reaches the network: name the peers allowed with --allow CIDR[,CIDR]");
            return kExitUsage;
        }
    }

    // SIGINT and SIGTERM are taken by this thread alone (every thread started
    // from here on inherits the mask); a client gone mid-answer is no signal.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::error_code ignored;
    const std::string baseDir = std::filesystem::current_path(ignored).string();
    hostOptions.spillDir = spillDir.empty() ? "" : std::filesystem::absolute(spillDir).string();
    BoardHost host;
    std::string error;
    if (!host.Start(hostOptions, error)) {
        Log(LogLevel::Error, error);
        return kExitNoBoard;
    }
    for (const BoardInfo& board : host.Boards()) {
        Log(LogLevel::Info, "net " + std::to_string(board.net) + ": slot " + std::to_string(board.slot) + " on " +
                                board.port + ", master " + std::to_string(board.masterId) + " started");
    }
    for (const ModelSpec& spec : models) {
        if (!host.AttachModel(spec.net, spec.node, spec.path, error)) {
            Log(LogLevel::Error, "--eds " + spec.path + ": " + error);
            host.Stop();
            return kExitUsage;
        }
    }
    gateway::Gateway gateway(host, {options.readOnly, baseDir});
    LineServer server([&gateway] {
        auto client = std::make_shared<gateway::ClientState>(gateway.NewClient());
        return [&gateway, client](std::string_view line) {
            auto answer = gateway.Answer(line, *client);
            if (LogEnabled(LogLevel::Debug)) {
                Log(LogLevel::Debug, "'" + std::string(line) + "' -> '" + answer.value_or("") + "'");
            }
            return answer;
        };
    });
    if (!server.Start(serverOptions, error)) {
        Log(LogLevel::Error, error);
        host.Stop();
        return kExitNoBoard;
    }
    http::HostDashboard dashboard(host);
    if (http) {
        http::DashboardOptions dashboardOptions;
        dashboardOptions.host = http->host;
        dashboardOptions.port = http->port;
        dashboardOptions.readOnly = options.readOnly;
        dashboardOptions.maxClients = options.maxClients;
        dashboardOptions.version = "vexan " VEXAN_TOOL_VERSION;
        // Loopback peers always; others only as --allow names them.
        dashboardOptions.allowPeer = [httpAllow](const std::string& peer) {
            const auto address = ParseIp(peer);
            if (!address) {
                return false;
            }
            if (IsLoopback(*address)) {
                return true;
            }
            for (const Cidr& block : httpAllow) {
                if (block.Contains(*address)) {
                    return true;
                }
            }
            return false;
        };
        if (!dashboard.Start(dashboardOptions, error)) {
            Log(LogLevel::Error, "--http: " + error);
            server.Stop();
            host.Stop();
            return kExitNoBoard;
        }
        Log(LogLevel::Info, "dashboard on http://" +
                                (http->host.find(':') != std::string::npos ? "[" + http->host + "]" : http->host) +
                                ":" + std::to_string(dashboard.Port()) + "/");
    }
    Log(LogLevel::Info, std::string("ready") + (options.readOnly ? " (read-only)" : ""));
    int signal = 0;
    while (sigwait(&stopSignals, &signal) != 0) {
    }
    Log(LogLevel::Info, std::string("stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
    // Requests under way end at once (a long upload would hold the stop up),
    // then the clients' threads are joined, then the boards closed.
    host.Interrupt();
    dashboard.Stop();
    server.Stop();
    host.Stop();
    Log(LogLevel::Info, "stopped");
    return kExitOk;
}

}  // namespace vexantool::serve
