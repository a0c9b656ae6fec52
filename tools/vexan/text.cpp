// Text the tool builds often: numbers and bytes in hex, hex back to bytes, lists.
#include "text.hpp"

#include <cctype>
#include <cstdio>

namespace vexantool {

std::string Hex(uint64_t value, int digits)
{
    char text[32];
    std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

std::string HexBytes(std::span<const uint8_t> bytes, const char* separator)
{
    std::string out;
    char two[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0) {
            out += separator;
        }
        std::snprintf(two, sizeof two, "%02X", bytes[i]);
        out += two;
    }
    return out;
}

bool ParseHexBytes(const std::string& text, std::vector<uint8_t>& out)
{
    std::string digits;
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            digits += c;
        } else if (c != ' ' && c != ':' && c != '-') {
            return false;
        }
    }
    if (digits.size() % 2 != 0) {
        return false;
    }
    out.clear();
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return true;
}

std::string Join(const std::vector<std::string>& items, const char* separator)
{
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i) {
        out += (i > 0 ? separator : "") + items[i];
    }
    return out;
}

std::string Lower(std::string text)
{
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

}  // namespace vexantool
