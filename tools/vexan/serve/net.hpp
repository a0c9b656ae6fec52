// Addresses for the servers of `vexan serve`: ADDR:PORT, allowed peers as
// CIDR blocks, loopback, and the default path of the Unix socket.
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vexantool::serve {

// An IPv4 or IPv6 address, IPv4 kept as IPv4-mapped IPv6 so that one
// comparison serves both.
struct IpAddress {
    std::array<uint8_t, 16> bytes{};
};

struct Cidr {
    IpAddress address;
    unsigned prefix = 128;  // in the IPv6 form (an IPv4 /8 is /104)
    bool Contains(const IpAddress& peer) const;
};

struct Endpoint {
    std::string host;  // the address as written, brackets removed
    uint16_t port = 0;
};

// "127.0.0.1:5000", "[::1]:5000", "localhost:5000"; nullopt when malformed.
std::optional<Endpoint> ParseEndpoint(std::string_view text);
// "10.0.0.0/8", "192.168.1.7" (a single address), "fd00::/8"; comma separated.
std::optional<std::vector<Cidr>> ParseCidrList(std::string_view text, std::string& error);
std::optional<IpAddress> ParseIp(std::string_view text);
std::optional<IpAddress> FromSockaddr(const sockaddr* address);
bool IsLoopback(const IpAddress& address);
std::string FormatIp(const IpAddress& address);

// $XDG_RUNTIME_DIR/vexan.sock, else /tmp/vexan-<uid>/vexan.sock (the folder
// made with mode 0700 and checked to be the user's own); "" with the reason
// when no safe place is found.
std::string DefaultSocketPath(std::string& error);

}  // namespace vexantool::serve
