// The tool's small JSON writer.
#include "json.hpp"

#include <cstdio>

#include "results.hpp"
#include "text.hpp"

namespace vexantool {

std::string Json::Quote(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04X", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

void Json::Key(const std::string& key)
{
    if (!body_.empty()) {
        body_ += ',';
    }
    body_ += Quote(key) + ':';
}

Json& Json::Str(const std::string& key, const std::string& value)
{
    Key(key);
    body_ += Quote(value);
    return *this;
}

Json& Json::Num(const std::string& key, long long value)
{
    Key(key);
    body_ += std::to_string(value);
    return *this;
}

Json& Json::Hex(const std::string& key, uint64_t value, int digits)
{
    Num(key, static_cast<long long>(value));
    return Str(key + "_hex", vexantool::Hex(value, digits));
}

Json& Json::Bool(const std::string& key, bool value)
{
    Key(key);
    body_ += value ? "true" : "false";
    return *this;
}

Json& Json::Raw(const std::string& key, const std::string& json)
{
    Key(key);
    body_ += json;
    return *this;
}

Json& Json::Result(unsigned code)
{
    const std::string name = ResultName(code);
    Json result;
    result.Num("code", code).Raw("name", name.empty() ? "null" : Quote(name)).Str("text", ResultText(code));
    return Raw("result", result.Text());
}

std::string JsonArray(const std::vector<std::string>& items)
{
    std::string out = "[";
    out += Join(items, ",");
    return out + "]";
}

}  // namespace vexantool
