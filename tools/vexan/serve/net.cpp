#include "net.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "gateway_parse.hpp"

namespace vexantool::serve {

bool Cidr::Contains(const IpAddress& peer) const
{
    for (unsigned bit = 0; bit < prefix; ++bit) {
        const unsigned byte = bit / 8;
        const auto mask = static_cast<uint8_t>(0x80U >> (bit % 8));
        if ((peer.bytes[byte] & mask) != (address.bytes[byte] & mask)) {
            return false;
        }
    }
    return true;
}

std::optional<IpAddress> ParseIp(std::string_view text)
{
    const std::string copy(text);
    IpAddress address;
    in_addr v4{};
    if (inet_pton(AF_INET, copy.c_str(), &v4) == 1) {
        address.bytes[10] = 0xFF;
        address.bytes[11] = 0xFF;
        std::memcpy(address.bytes.data() + 12, &v4, 4);
        return address;
    }
    in6_addr v6{};
    if (inet_pton(AF_INET6, copy.c_str(), &v6) == 1) {
        std::memcpy(address.bytes.data(), &v6, 16);
        return address;
    }
    return std::nullopt;
}

std::optional<IpAddress> FromSockaddr(const sockaddr* address)
{
    IpAddress ip;
    if (address->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        ip.bytes[10] = 0xFF;
        ip.bytes[11] = 0xFF;
        std::memcpy(ip.bytes.data() + 12, &v4->sin_addr, 4);
        return ip;
    }
    if (address->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        std::memcpy(ip.bytes.data(), &v6->sin6_addr, 16);
        return ip;
    }
    return std::nullopt;
}

namespace {

bool IsMappedV4(const IpAddress& address)
{
    for (int i = 0; i < 10; ++i) {
        if (address.bytes[i] != 0) {
            return false;
        }
    }
    return address.bytes[10] == 0xFF && address.bytes[11] == 0xFF;
}

}  // namespace

bool IsLoopback(const IpAddress& address)
{
    if (IsMappedV4(address)) {
        return address.bytes[12] == 127;
    }
    for (int i = 0; i < 15; ++i) {
        if (address.bytes[i] != 0) {
            return false;
        }
    }
    return address.bytes[15] == 1;
}

std::string FormatIp(const IpAddress& address)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (IsMappedV4(address)) {
        inet_ntop(AF_INET, address.bytes.data() + 12, text, sizeof text);
    } else {
        inet_ntop(AF_INET6, address.bytes.data(), text, sizeof text);
    }
    return text;
}

std::optional<Endpoint> ParseEndpoint(std::string_view text)
{
    Endpoint endpoint;
    std::string_view port;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find("]:");
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        endpoint.host = std::string(text.substr(1, close - 1));
        port = text.substr(close + 2);
    } else {
        const auto colon = text.rfind(':');
        if (colon == std::string_view::npos || text.find(':') != colon) {
            return std::nullopt;
        }
        endpoint.host = std::string(text.substr(0, colon));
        port = text.substr(colon + 1);
    }
    if (port.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    const auto number = gateway::ParseNumber(port, 65535);
    if (endpoint.host.empty() || !number) {
        return std::nullopt;
    }
    endpoint.port = static_cast<uint16_t>(*number);
    return endpoint;
}

std::optional<std::vector<Cidr>> ParseCidrList(std::string_view text, std::string& error)
{
    std::vector<Cidr> list;
    while (!text.empty()) {
        const auto comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
        const auto slash = item.find('/');
        const auto address = ParseIp(item.substr(0, slash));
        if (!address) {
            error = "not an address: " + std::string(item);
            return std::nullopt;
        }
        Cidr cidr;
        cidr.address = *address;
        const bool v4 = IsMappedV4(*address) && item.substr(0, slash).find(':') == std::string_view::npos;
        if (slash != std::string_view::npos) {
            const std::string_view bits = item.substr(slash + 1);
            const auto number = bits.find_first_not_of("0123456789") == std::string_view::npos
                                    ? gateway::ParseNumber(bits, v4 ? 32 : 128)
                                    : std::nullopt;
            if (!number) {
                error = "bad prefix length in " + std::string(item);
                return std::nullopt;
            }
            cidr.prefix = static_cast<unsigned>(*number) + (v4 ? 96 : 0);
        }
        list.push_back(cidr);
    }
    if (list.empty()) {
        error = "no address given";
        return std::nullopt;
    }
    return list;
}

std::string DefaultSocketPath(std::string& error)
{
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && runtime[0] == '/') {
        return std::string(runtime) + "/vexan.sock";
    }
    const std::string dir = "/tmp/vexan-" + std::to_string(getuid());
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot make " + dir + ": " + std::strerror(errno);
        return "";
    }
    struct stat info {};
    // Not a link, a folder of this user's only, not open to others.
    if (lstat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != getuid() ||
        (info.st_mode & 0077) != 0) {
        error = dir + " is not a private folder of this user";
        return "";
    }
    return dir + "/vexan.sock";
}

}  // namespace vexantool::serve
