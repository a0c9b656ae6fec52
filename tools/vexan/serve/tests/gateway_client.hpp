// A client of the gateway for tests, the load test and the benchmark: a
// connection to a Unix socket or to loopback TCP, lines out, lines in.
// Every wait is bounded; a failure is reported, never a hang.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace vexantool::serve::testkit {

class GatewayClient {
public:
    GatewayClient() = default;
    ~GatewayClient() { Close(); }
    GatewayClient(const GatewayClient&) = delete;
    GatewayClient& operator=(const GatewayClient&) = delete;
    GatewayClient(GatewayClient&& other) noexcept : fd_(other.fd_), pending_(std::move(other.pending_))
    {
        other.fd_ = -1;
    }

    bool ConnectUnix(const std::string& path)
    {
        Close();
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (fd_ < 0 || path.size() + 1 > sizeof address.sun_path) {
            return false;
        }
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        return connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }

    bool ConnectTcp(uint16_t port, const char* host = "127.0.0.1")
    {
        Close();
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        if (fd_ < 0 || inet_pton(AF_INET, host, &address.sin_addr) != 1) {
            return false;
        }
        const int on = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        return connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }

    void Close()
    {
        if (fd_ >= 0) {
            close(fd_);
            fd_ = -1;
        }
        pending_.clear();
    }

    bool Send(std::string_view bytes)
    {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    // The next line, CR LF removed (nullopt when the server closed or nothing
    // came in time). `raw` keeps the line's end, to check it.
    std::optional<std::string> ReadLine(std::chrono::milliseconds timeout = std::chrono::seconds(60), bool raw = false)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (const auto lf = pending_.find('\n'); lf != std::string::npos) {
                std::string line = pending_.substr(0, lf + 1);
                pending_.erase(0, lf + 1);
                if (!raw) {
                    line.pop_back();
                    if (!line.empty() && line.back() == '\r') {
                        line.pop_back();
                    }
                }
                return line;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return std::nullopt;
            }
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                continue;
            }
            char chunk[65536];
            const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0) {
                return std::nullopt;
            }
            pending_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    // Whether the server has closed the connection (reads what is left).
    bool ClosedByServer(std::chrono::milliseconds timeout = std::chrono::seconds(60))
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) {
                continue;
            }
            char chunk[4096];
            const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0) {
                return true;
            }
            pending_.append(chunk, static_cast<std::size_t>(n));
        }
        return false;
    }

    // True when a line or more has arrived and not been read.
    bool HasInput()
    {
        pollfd p{fd_, POLLIN, 0};
        return !pending_.empty() || poll(&p, 1, 0) > 0;
    }

    std::string Ask(const std::string& line)
    {
        if (!Send(line + "\n")) {
            return "<send failed>";
        }
        return ReadLine().value_or("<no answer>");
    }

    int Fd() const { return fd_; }

private:
    int fd_ = -1;
    std::string pending_;
};

}  // namespace vexantool::serve::testkit
