#include "gateway_values.hpp"

#include <array>

#include "codec.hpp"

namespace vexantool::serve::gateway {
namespace {

constexpr std::string_view kBase64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool IsByteType(std::string_view type)
{
    return type == "os" || type == "us" || type == "d";
}

// The codec's type for a numeric gateway name, and whether it is shown in hex.
std::optional<vexan::od::TypeName> NumericType(std::string_view type)
{
    if (type == "b") {
        return vexan::od::TypeName{vexan::od::datatype::kBoolean, false};
    }
    if (type == "r32" || type == "r64") {
        return vexan::od::TypeByName(type);
    }
    if (type.size() < 2 || (type[0] != 'i' && type[0] != 'u' && type[0] != 'x')) {
        return std::nullopt;
    }
    static constexpr std::array<std::string_view, 8> kWidths = {"8", "16", "24", "32", "40", "48", "56", "64"};
    for (std::string_view width : kWidths) {
        if (type.substr(1) == width) {
            return vexan::od::TypeByName(type);
        }
    }
    return std::nullopt;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::optional<std::vector<uint8_t>> ParseHex(std::string_view text)
{
    std::vector<uint8_t> bytes;
    std::size_t at = 0;
    while (at < text.size()) {
        if (text[at] == ' ' || text[at] == '\t') {
            ++at;
            continue;
        }
        if (at + 1 >= text.size()) {
            return std::nullopt;
        }
        const int high = HexDigit(text[at]);
        const int low = HexDigit(text[at + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<uint8_t>(high << 4 | low));
        at += 2;
    }
    return bytes;
}

std::string FormatHex(std::span<const uint8_t> bytes)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t byte : bytes) {
        if (!text.empty()) {
            text += ' ';
        }
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0xF];
    }
    return text;
}

}  // namespace

std::string Base64Encode(std::span<const uint8_t> bytes)
{
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t at = 0;
    for (; at + 3 <= bytes.size(); at += 3) {
        const uint32_t group =
            static_cast<uint32_t>(bytes[at]) << 16 | static_cast<uint32_t>(bytes[at + 1]) << 8 | bytes[at + 2];
        for (int shift = 18; shift >= 0; shift -= 6) {
            text += kBase64[(group >> shift) & 0x3F];
        }
    }
    const std::size_t left = bytes.size() - at;
    if (left > 0) {
        uint32_t group = static_cast<uint32_t>(bytes[at]) << 16;
        if (left == 2) {
            group |= static_cast<uint32_t>(bytes[at + 1]) << 8;
        }
        text += kBase64[(group >> 18) & 0x3F];
        text += kBase64[(group >> 12) & 0x3F];
        text += left == 2 ? kBase64[(group >> 6) & 0x3F] : '=';
        text += '=';
    }
    return text;
}

std::optional<std::vector<uint8_t>> Base64Decode(std::string_view text)
{
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::vector<uint8_t> bytes;
    bytes.reserve(text.size() / 4 * 3);
    for (std::size_t at = 0; at < text.size(); at += 4) {
        uint32_t group = 0;
        int padding = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            const char c = text[at + i];
            uint32_t value = 0;
            if (c == '=') {
                // Padding only at the end, in the last two places.
                if (at + 4 != text.size() || i < 2) {
                    return std::nullopt;
                }
                ++padding;
            } else {
                if (padding > 0) {
                    return std::nullopt;
                }
                const std::size_t found = kBase64.find(c);
                if (found == std::string_view::npos) {
                    return std::nullopt;
                }
                value = static_cast<uint32_t>(found);
            }
            group = group << 6 | value;
        }
        bytes.push_back(static_cast<uint8_t>(group >> 16));
        if (padding < 2) {
            bytes.push_back(static_cast<uint8_t>(group >> 8));
        }
        if (padding < 1) {
            bytes.push_back(static_cast<uint8_t>(group));
        }
    }
    return bytes;
}

std::string QuoteVisible(std::string_view text)
{
    if (!text.empty() && text.find_first_of(" \t\"#") == std::string_view::npos) {
        return std::string(text);
    }
    std::string quoted = "\"";
    for (char c : text) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    return quoted + '"';
}

std::optional<std::string> UnquoteVisible(std::string_view text)
{
    if (text.empty() || text.front() != '"') {
        return std::string(text);
    }
    if (text.size() < 2 || text.back() != '"') {
        return std::nullopt;
    }
    const std::string_view inside = text.substr(1, text.size() - 2);
    std::string plain;
    for (std::size_t at = 0; at < inside.size(); ++at) {
        if (inside[at] == '"') {
            if (at + 1 >= inside.size() || inside[at + 1] != '"') {
                return std::nullopt;  // a lone quote: the value ended before the line did
            }
            ++at;
        }
        plain += inside[at];
    }
    return plain;
}

bool KnownType(std::string_view type)
{
    return type == "vs" || type == "hex" || IsByteType(type) || NumericType(type).has_value();
}

std::optional<std::vector<uint8_t>> EncodeValue(std::string_view type, std::string_view text, std::string& error)
{
    if (type == "vs") {
        auto plain = UnquoteVisible(text);
        if (!plain) {
            error = "unbalanced quotes";
            return std::nullopt;
        }
        return std::vector<uint8_t>(plain->begin(), plain->end());
    }
    if (text == "\"\"" && (type == "hex" || IsByteType(type))) {
        return std::vector<uint8_t>{};
    }
    if (type == "hex") {
        auto bytes = ParseHex(text);
        if (!bytes) {
            error = "not hex bytes";
        }
        return bytes;
    }
    if (IsByteType(type)) {
        auto bytes = Base64Decode(text);
        if (!bytes) {
            error = "not base64";
        }
        return bytes;
    }
    const auto numeric = NumericType(type);
    if (!numeric) {
        error = "unknown data type";
        return std::nullopt;
    }
    return vexan::od::EncodeText(numeric->data_type, text, error);
}

std::optional<std::string> FormatValue(std::string_view type, std::span<const uint8_t> bytes, std::string& error)
{
    if (type == "vs") {
        return QuoteVisible(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    }
    if (bytes.empty() && (type == "hex" || IsByteType(type))) {
        return std::string("\"\"");
    }
    if (type == "hex") {
        return FormatHex(bytes);
    }
    if (IsByteType(type)) {
        return Base64Encode(bytes);
    }
    const auto numeric = NumericType(type);
    if (!numeric) {
        error = "unknown data type";
        return std::nullopt;
    }
    vexan::od::FormatOptions options;
    options.hex_integers = numeric->hex;
    return vexan::od::DecodeText(numeric->data_type, bytes, error, options);
}

std::string TypeForDataType(uint16_t dataType)
{
    using namespace vexan::od::datatype;
    switch (dataType) {
    case kBoolean:
        return "b";
    case kVisibleString:
        return "vs";
    case kOctetString:
        return "os";
    case kUnicodeString:
        return "us";
    case kDomain:
        return "d";
    case kReal32:
        return "r32";
    case kReal64:
        return "r64";
    default:
        break;
    }
    const auto bits = vexan::od::BitsOf(dataType);
    const auto valueClass = vexan::od::ClassOf(dataType);
    if (bits != 0 && valueClass == vexan::od::ValueClass::Signed) {
        return "i" + std::to_string(bits);
    }
    if (bits != 0 && valueClass == vexan::od::ValueClass::Unsigned) {
        return "u" + std::to_string(bits);
    }
    return "hex";
}

std::string TypeList()
{
    return "b i8 i16 i24 i32 i40 i48 i56 i64 u8 u16 u24 u32 u40 u48 u56 u64 "
           "x8 x16 x24 x32 x40 x48 x56 x64 (unsigned in hex) r32 r64 vs (visible string, quoted when it holds "
           "blanks) os us d (octet string, unicode string, domain: base64) hex (hex bytes)";
}

}  // namespace vexantool::serve::gateway
