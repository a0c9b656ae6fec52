// The dashboard of `vexan serve --http`: the page built into the program and a
// JSON API over the boards the process owns, with a server-sent event stream
// of what happens on the buses (see docs/http-api.md for every shape).
//
// Choices:
// - Reads are GET; everything that changes the bus (SDO writes, NMT, SYNC,
//   PDO installs) is POST with a JSON body. A POST must say
//   `Content-Type: application/json` (a cross-site form cannot, and a
//   cross-site script cannot without a preflight this server never grants),
//   and a browser's Origin, when sent, must name this very server.
// - On a loopback address the Host header must name a loopback host, so a page
//   of another site that renames itself to 127.0.0.1 (DNS rebinding) is refused.
// - Streams (events, PDO samples) count as clients: at most maxClients at once,
//   the next is refused with 503. Plain requests run on worker threads beside
//   them, so a full set of streams never starves a read.
#pragma once

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "backend.hpp"

namespace httplib {
class Server;
}

namespace vexantool::http {

struct DashboardOptions {
    std::string host = "127.0.0.1";
    int port = 8080;  // 0: any free port (Port() tells which)
    bool readOnly = false;
    unsigned maxClients = 16;  // streams open at once
    std::chrono::seconds idleTimeout{60};
    std::size_t maxBodyBytes = 16 * 1024;
    // Whether a peer address may be served; null: every peer.
    std::function<bool(const std::string& address)> allowPeer;
    std::string version;  // the tool's version, shown by /api/info
    // Where to log a line (levels as the server's log); null: nowhere.
    std::function<void(const std::string&)> log;
};

// One event of the stream: an id that rises by one per event, its kind and
// JSON fields (the same object the stream sends).
struct Event {
    uint64_t id = 0;
    nlohmann::json json;
};

class DashboardServer {
public:
    DashboardServer(Backend& backend, DashboardOptions options);
    ~DashboardServer();
    DashboardServer(const DashboardServer&) = delete;
    DashboardServer& operator=(const DashboardServer&) = delete;

    // Binds and serves on a thread of its own; false with the reason.
    bool Start(std::string& error);
    // Ends every stream, then the server; idempotent.
    void Stop();
    int Port() const { return boundPort_; }
    // Streams (events, PDO samples) open now.
    unsigned Streams() const { return streams_; }

    // ---- what the host saw on the buses
    void PublishBootup(unsigned net, unsigned node, WallTime time);
    // `data`: the EMCY's 8 bytes (code, error register, vendor bytes).
    void PublishEmcy(unsigned net, unsigned node, const std::array<uint8_t, 8>& data, WallTime time);
    void PublishNmtError(unsigned net, unsigned node, unsigned code, WallTime time);
    void PublishStateChange(unsigned net, unsigned node, std::optional<uint8_t> before, uint8_t now, WallTime time);
    // Requests of other masters addressed to the module: kind "master_sdo_read",
    // "master_sdo_write", "master_rx_pdo", "master_remote_pdo"; fields as given.
    void PublishMasterRequest(unsigned net, const std::string& kind, nlohmann::json fields, WallTime time);

    // The events kept for late subscribers, after `afterId` (oldest first).
    std::vector<Event> RecentEvents(uint64_t afterId) const;

private:
    void Publish(nlohmann::json event);
    void Routes();
    bool WaitForEvents(uint64_t afterId, std::chrono::milliseconds timeout) const;

    Backend& backend_;
    DashboardOptions options_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int boundPort_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<unsigned> streams_{0};

    mutable std::mutex eventsMutex_;
    mutable std::condition_variable eventsChanged_;
    std::deque<Event> events_;
    uint64_t nextEventId_ = 1;
};

// Names the dashboard shows.
std::string NmtStateName(std::optional<uint8_t> state);
std::string IsoUtc(WallTime time);

}  // namespace vexantool::http
