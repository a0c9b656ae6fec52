// `vexan serve` in the test's own process: a board host on simulated boards,
// the gateway, and its sockets (a Unix socket in a scratch folder and
// loopback TCP on a free port). Shared by the tests, the load test and the
// benchmark.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "gateway.hpp"
#include "host.hpp"
#include "line_server.hpp"

namespace vexantool::serve::testkit {

struct ServerSetup {
    std::vector<unsigned> slots = {0};  // one simulated board per slot
    std::vector<std::string> simEds;    // FILE[@ID]; empty: default nodes 5 and 6
    bool readOnly = false;
    unsigned maxClients = 16;
    std::chrono::milliseconds idleTimeout{0};
    bool tcp = true;
    std::vector<Cidr> allow;
    bool allowLoopback = true;
};

class GatewayServer {
public:
    GatewayServer()
    {
        std::string name = (std::filesystem::temp_directory_path() / "vexan-serve-test-XXXXXX").string();
        if (mkdtemp(name.data()) != nullptr) {
            dir_ = name;
        }
    }
    ~GatewayServer()
    {
        Stop();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    GatewayServer(const GatewayServer&) = delete;
    GatewayServer& operator=(const GatewayServer&) = delete;

    bool Start(const ServerSetup& setup, std::string& error)
    {
        HostOptions options;
        for (unsigned slot : setup.slots) {
            BoardSpec spec;
            spec.session.sim = true;
            spec.session.simEds = setup.simEds;
            spec.session.slot = slot;
            options.boards.push_back(spec);
        }
        options.spillDir = dir_ + "/spill";
        std::filesystem::create_directories(options.spillDir);
        if (!host_.Start(options, error)) {
            return false;
        }
        gateway_ = std::make_unique<gateway::Gateway>(host_, gateway::GatewayOptions{setup.readOnly, dir_});
        server_ = std::make_unique<LineServer>([this] {
            auto client = std::make_shared<gateway::ClientState>(gateway_->NewClient());
            return [this, client](std::string_view line) { return gateway_->Answer(line, *client); };
        });
        LineServerOptions serverOptions;
        serverOptions.unixPath = SocketPath();
        if (setup.tcp) {
            serverOptions.tcp = Endpoint{"127.0.0.1", 0};
        }
        serverOptions.allow = setup.allow;
        serverOptions.allowLoopback = setup.allowLoopback;
        serverOptions.maxClients = setup.maxClients;
        serverOptions.idleTimeout = setup.idleTimeout;
        serverOptions.overlongResponse = "ERROR:101";
        serverOptions.busyResponse = "ERROR:102\r\n";
        return server_->Start(serverOptions, error);
    }

    void Stop()
    {
        host_.Interrupt();
        if (server_) {
            server_->Stop();
        }
        host_.Stop();
    }

    std::string SocketPath() const { return dir_ + "/vexan.sock"; }
    const std::string& Dir() const { return dir_; }
    uint16_t TcpPort() const { return server_ ? server_->TcpPort() : 0; }
    BoardHost& Host() { return host_; }
    LineServer& Server() { return *server_; }
    vexsim::Simulator& Sim(unsigned net = 1) { return *host_.Simulator(net); }

private:
    std::string dir_;
    BoardHost host_;
    std::unique_ptr<gateway::Gateway> gateway_;
    std::unique_ptr<LineServer> server_;
};

}  // namespace vexantool::serve::testkit
