// The JSON view of entries: one object per entry, the keys in a fixed order.
#include <charconv>
#include <cmath>

#include "device_model.hpp"
#include "json_text.hpp"

namespace vexan::od {

std::size_t Utf8Length(std::string_view text, std::size_t at)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t length = 0;
    unsigned min_second = 0x80;
    unsigned max_second = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        min_second = lead == 0xE0 ? 0xA0 : 0x80;
        max_second = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        min_second = lead == 0xF0 ? 0x90 : 0x80;
        max_second = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (at + length > text.size()) {
        return 0;
    }
    if (byte(at + 1) < min_second || byte(at + 1) > max_second) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) {
            return 0;
        }
    }
    return length;
}

void AppendString(std::string& out, std::string_view text, ControlEscapes controls)
{
    static constexpr char kHex[] = "0123456789abcdef";
    out.push_back('"');
    for (std::size_t at = 0; at < text.size();) {
        const auto c = static_cast<unsigned char>(text[at]);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
        } else if (c == '\n' && controls == ControlEscapes::Short) {
            out += "\\n";
        } else if (c == '\r' && controls == ControlEscapes::Short) {
            out += "\\r";
        } else if (c == '\t' && controls == ControlEscapes::Short) {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            out += "\\u00";
            out.push_back(kHex[c >> 4U]);
            out.push_back(kHex[c & 0xFU]);
        } else if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (const std::size_t length = Utf8Length(text, at); length > 0) {
            out.append(text.substr(at, length));
            at += length;
            continue;
        } else {
            out.push_back(static_cast<char>(0xC0 | (c >> 6U)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3FU)));
        }
        ++at;
    }
    out.push_back('"');
}

namespace {

void AppendNumber(std::string& out, const Number& number)
{
    char buffer[64];
    std::to_chars_result result{};
    if (const auto* u = std::get_if<uint64_t>(&number)) {
        result = std::to_chars(buffer, buffer + sizeof buffer, *u);
    } else if (const auto* s = std::get_if<int64_t>(&number)) {
        result = std::to_chars(buffer, buffer + sizeof buffer, *s);
    } else {
        const double real = std::get<double>(number);
        if (!std::isfinite(real)) {
            out += "null";  // JSON has no infinities
            return;
        }
        result = std::to_chars(buffer, buffer + sizeof buffer, real);
    }
    out.append(buffer, result.ptr);
}

void AppendValue(std::string& out, const Entry& entry, const Value& value, uint8_t node, bool text_allowed)
{
    if (const std::optional<Number> number = value.Evaluate(node)) {
        AppendNumber(out, *number);
        return;
    }
    // Text types, and values of unknown types that are no number.
    if (text_allowed && value.Valid() && !value.node_relative &&
        (!entry.data_type || ClassOf(*entry.data_type) == ValueClass::Text ||
         ClassOf(*entry.data_type) == ValueClass::Unknown)) {
        AppendString(out, value.text);
        return;
    }
    out += "null";
}

}  // namespace

std::string EntryJson(const Object& object, const Entry& entry, uint8_t node)
{
    std::string out = "{\"index\":";
    out += std::to_string(entry.index);
    out += ",\"subindex\":";
    out += std::to_string(entry.subindex);
    out += ",\"name\":";
    AppendString(out, entry.name);
    out += ",\"object_type\":";
    AppendString(out, ObjectTypeName(object.type));
    out += ",\"datatype\":";
    out += entry.data_type ? std::to_string(*entry.data_type) : "null";
    out += ",\"access\":";
    if (entry.access) {
        AppendString(out, AccessName(*entry.access));
    } else {
        out += "null";
    }
    out += ",\"pdo_mapping\":";
    out += entry.pdo_mapping ? "true" : "false";
    out += ",\"default\":";
    AppendValue(out, entry, entry.default_value, node, true);
    out += ",\"parameter_value\":";
    AppendValue(out, entry, entry.parameter_value, node, true);
    out += ",\"low_limit\":";
    AppendValue(out, entry, entry.low_limit, node, false);
    out += ",\"high_limit\":";
    AppendValue(out, entry, entry.high_limit, node, false);
    out += '}';
    return out;
}

std::string ModelJsonLines(const DeviceModel& model, uint8_t node)
{
    std::string out;
    out.reserve(model.EntryCount() * 200);
    for (const Object& object : model.Objects()) {
        for (const Entry& entry : object.Entries()) {
            out += EntryJson(object, entry, node);
            out += '\n';
        }
    }
    return out;
}

}  // namespace vexan::od
