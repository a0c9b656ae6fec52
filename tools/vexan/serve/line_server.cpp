#include "line_server.hpp"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "log.hpp"

namespace vexantool::serve {
namespace {

bool SendAll(int fd, std::string_view text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// A socket at `path` that a server answers on.
bool SocketAnswers(const std::string& path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const bool answers = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return answers;
}

int ListenUnix(const std::string& path, std::string& error)
{
    sockaddr_un address{};
    if (path.size() + 1 > sizeof address.sun_path) {
        error = "socket path too long: " + path;
        return -1;
    }
    struct stat info {};
    if (lstat(path.c_str(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode)) {
            error = path + " exists and is not a socket";
            return -1;
        }
        if (SocketAnswers(path)) {
            error = path + ": another server answers there";
            return -1;
        }
        unlink(path.c_str());  // a stale socket of a server that ended
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    // Made with mode 0600 from the start: no moment in which others may connect.
    const mode_t old = umask(0177);
    const int bound = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int why = errno;
    umask(old);
    if (bound != 0 || listen(fd, 64) != 0) {
        error = path + ": " + std::strerror(bound != 0 ? why : errno);
        close(fd);
        return -1;
    }
    chmod(path.c_str(), 0600);
    return fd;
}

int ListenTcp(const Endpoint& endpoint, uint16_t& port, std::string& error)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(endpoint.port);
    if (const int code = getaddrinfo(endpoint.host.c_str(), service.c_str(), &hints, &found); code != 0) {
        error = endpoint.host + ": " + gai_strerror(code);
        return -1;
    }
    int fd = -1;
    for (addrinfo* at = found; at != nullptr && fd < 0; at = at->ai_next) {
        fd = socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC, at->ai_protocol);
        if (fd < 0) {
            continue;
        }
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (bind(fd, at->ai_addr, at->ai_addrlen) != 0 || listen(fd, 64) != 0) {
            error = endpoint.host + ":" + service + ": " + std::strerror(errno);
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    if (fd < 0) {
        if (error.empty()) {
            error = "cannot listen on " + endpoint.host + ":" + service;
        }
        return -1;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                             : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    return fd;
}

}  // namespace

LineServer::LineServer(std::function<LineHandler()> newClient) : newClient_(std::move(newClient)) {}

LineServer::~LineServer()
{
    Stop();
}

bool LineServer::Start(const LineServerOptions& options, std::string& error)
{
    options_ = options;
    stop_ = false;
    if (pipe2(wake_, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    if (!options.unixPath.empty()) {
        unixFd_ = ListenUnix(options.unixPath, error);
        if (unixFd_ < 0) {
            Stop();
            return false;
        }
        ownsUnixPath_ = true;
        Log(LogLevel::Info, "listening on " + options.unixPath);
    }
    if (options.tcp) {
        tcpFd_ = ListenTcp(*options.tcp, tcpPort_, error);
        if (tcpFd_ < 0) {
            Stop();
            return false;
        }
        Log(LogLevel::Info, "listening on tcp " + options.tcp->host + ":" + std::to_string(tcpPort_));
    }
    acceptThread_ = std::thread([this] { AcceptLoop(); });
    return true;
}

void LineServer::Stop()
{
    stop_ = true;
    if (wake_[1] >= 0) {
        [[maybe_unused]] const ssize_t n = write(wake_[1], "x", 1);
    }
    if (acceptThread_.joinable()) {
        acceptThread_.join();
    }
    Reap(true);
    for (int* fd : {&unixFd_, &tcpFd_, &wake_[0], &wake_[1]}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
    if (ownsUnixPath_) {
        unlink(options_.unixPath.c_str());
        ownsUnixPath_ = false;
    }
    tcpPort_ = 0;
}

unsigned LineServer::ClientCount() const
{
    std::lock_guard lock(clientsMutex_);
    unsigned count = 0;
    for (const auto& client : clients_) {
        count += client->done ? 0 : 1;
    }
    return count;
}

void LineServer::Reap(bool all)
{
    std::list<std::unique_ptr<Client>> ended;
    {
        std::lock_guard lock(clientsMutex_);
        for (auto it = clients_.begin(); it != clients_.end();) {
            if (all && !(*it)->done) {
                // Ends the client's wait for input or for room to send.
                shutdown((*it)->fd, SHUT_RDWR);
            }
            if (all || (*it)->done) {
                ended.push_back(std::move(*it));
                it = clients_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& client : ended) {
        if (client->thread.joinable()) {
            client->thread.join();
        }
        close(client->fd);
    }
}

void LineServer::AcceptLoop()
{
    while (!stop_) {
        pollfd fds[3] = {{wake_[0], POLLIN, 0}, {unixFd_, POLLIN, 0}, {tcpFd_, POLLIN, 0}};
        // Every second at least, so that ended clients are reaped while nobody connects.
        const int ready = poll(fds, 3, 1000);
        if (ready < 0 && errno != EINTR) {
            Log(LogLevel::Error, std::string("poll: ") + std::strerror(errno));
            break;
        }
        Reap(false);
        if (stop_ || (ready > 0 && (fds[0].revents & POLLIN) != 0)) {
            break;
        }
        if (ready > 0 && (fds[1].revents & POLLIN) != 0) {
            Accept(unixFd_, false);
        }
        if (ready > 0 && (fds[2].revents & POLLIN) != 0) {
            Accept(tcpFd_, true);
        }
    }
}

void LineServer::Accept(int listener, bool tcp)
{
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    const int fd = accept4(listener, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED) {
            Log(LogLevel::Warning, std::string("accept: ") + std::strerror(errno));
        }
        return;
    }
    std::string who = tcp ? "tcp client" : "unix client";
    if (tcp) {
        const auto address = FromSockaddr(reinterpret_cast<const sockaddr*>(&peer));
        bool allowed = options_.allowLoopback && address && IsLoopback(*address);
        for (const Cidr& cidr : options_.allow) {
            allowed = allowed || (address && cidr.Contains(*address));
        }
        who = address ? FormatIp(*address) : "unknown peer";
        if (!allowed) {
            Log(LogLevel::Warning, "refused " + who + ": not an allowed peer");
            refused_++;
            close(fd);
            return;
        }
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    if (ClientCount() >= options_.maxClients) {
        Log(LogLevel::Warning, "refused " + who + ": " + std::to_string(options_.maxClients) + " clients already");
        refused_++;
        SendAll(fd, options_.busyResponse);
        close(fd);
        return;
    }
    Log(LogLevel::Debug, "connected: " + who);
    auto client = std::make_unique<Client>();
    client->fd = fd;
    Client& ref = *client;
    std::lock_guard lock(clientsMutex_);
    clients_.push_back(std::move(client));
    ref.thread = std::thread([this, &ref, handler = newClient_()]() mutable { Serve(ref, std::move(handler)); });
}

void LineServer::Serve(Client& client, LineHandler handler)
{
    std::string buffer;
    bool dropping = false;  // inside a line that was too long: skipped up to its LF
    auto lastInput = std::chrono::steady_clock::now();
    char chunk[4096];
    while (!stop_) {
        int timeout = -1;
        if (options_.idleTimeout.count() > 0) {
            const auto left = options_.idleTimeout - std::chrono::duration_cast<std::chrono::milliseconds>(
                                                         std::chrono::steady_clock::now() - lastInput);
            if (left.count() <= 0) {
                Log(LogLevel::Info, "closed an idle client");
                break;
            }
            timeout = static_cast<int>(left.count());
        }
        pollfd fds[2] = {{client.fd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        const int ready = poll(fds, 2, timeout);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0 || (fds[1].revents & POLLIN) != 0) {
            break;
        }
        if (ready == 0) {
            continue;  // the idle check above decides
        }
        const ssize_t n = recv(client.fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;  // the client went
        }
        lastInput = std::chrono::steady_clock::now();
        buffer.append(chunk, static_cast<std::size_t>(n));
        bool open = true;
        std::size_t start = 0;
        for (std::size_t lf = buffer.find('\n'); open && !stop_ && lf != std::string::npos;
             lf = buffer.find('\n', start)) {
            std::string_view line(buffer.data() + start, lf - start);
            start = lf + 1;
            if (dropping) {
                dropping = false;
                continue;
            }
            if (!line.empty() && line.back() == '\r') {
                line.remove_suffix(1);
            }
            std::optional<std::string> response;
            if (line.size() > options_.maxLine) {
                response = options_.overlongResponse;
            } else {
                response = handler(line);
            }
            if (response) {
                open = SendAll(client.fd, *response + "\r\n");
            }
        }
        buffer.erase(0, start);
        if (!open) {
            break;
        }
        // A line without its end yet, already too long: answered now, the rest skipped.
        if (!dropping && buffer.size() > options_.maxLine + 1) {
            dropping = true;
            if (!SendAll(client.fd, options_.overlongResponse + "\r\n")) {
                break;
            }
        }
        if (dropping) {
            buffer.clear();
        }
    }
    Log(LogLevel::Debug, "disconnected");
    client.done = true;
}

}  // namespace vexantool::serve
