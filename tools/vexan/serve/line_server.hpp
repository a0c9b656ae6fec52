// A server of line-based conversations on a Unix socket and a TCP socket:
// one thread per client, so that one client's long request never stalls
// another's; a bounded number of clients; idle clients closed; lines longer
// than the limit answered with an error and dropped; peers checked at accept.
// What a line means is the handler's business.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "net.hpp"

namespace vexantool::serve {

struct LineServerOptions {
    std::string unixPath;                      // "": no Unix socket
    std::optional<Endpoint> tcp;               // nullopt: no TCP socket
    std::vector<Cidr> allow;                   // TCP peers allowed
    bool allowLoopback = true;                 // and every loopback peer
    unsigned maxClients = 16;                  // over both sockets
    std::chrono::milliseconds idleTimeout{0};  // 0: never
    std::size_t maxLine = 4096;                // bytes before the LF (a CR before it not counted)
    std::string overlongResponse;              // sent for a line over maxLine (then dropped)
    std::string busyResponse;                  // sent to a client over maxClients before it is closed
};

// Answers one line; nullopt: nothing to answer. Each client gets its own,
// called on that client's thread only.
using LineHandler = std::function<std::optional<std::string>(std::string_view line)>;

class LineServer {
public:
    explicit LineServer(std::function<LineHandler()> newClient);
    ~LineServer();  // Stop()
    LineServer(const LineServer&) = delete;
    LineServer& operator=(const LineServer&) = delete;

    // Binds and listens; false with the reason. A Unix socket path that holds
    // a stale socket is replaced; one that a server answers on, or anything
    // else, is refused. The socket is made with mode 0600.
    bool Start(const LineServerOptions& options, std::string& error);
    // Stops accepting, ends every client's connection (a request under way
    // is finished first), joins every thread, removes the Unix socket.
    void Stop();
    // The TCP port bound (for a port 0 given), 0 without TCP.
    uint16_t TcpPort() const { return tcpPort_; }
    unsigned ClientCount() const;
    // Connections refused at accept (not allowed, or too many), for tests.
    unsigned Refused() const { return refused_.load(); }

private:
    struct Client {
        int fd = -1;
        std::thread thread;
        std::atomic<bool> done{false};
    };
    void AcceptLoop();
    void Accept(int listener, bool tcp);
    void Serve(Client& client, LineHandler handler);
    void Reap(bool all);

    std::function<LineHandler()> newClient_;
    LineServerOptions options_;
    int unixFd_ = -1;
    int tcpFd_ = -1;
    int wake_[2] = {-1, -1};
    uint16_t tcpPort_ = 0;
    bool ownsUnixPath_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<unsigned> refused_{0};
    std::thread acceptThread_;
    mutable std::mutex clientsMutex_;
    std::list<std::unique_ptr<Client>> clients_;
};

}  // namespace vexantool::serve
