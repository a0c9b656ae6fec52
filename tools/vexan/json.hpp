// A small JSON writer: one object built field by field.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vexantool {

// One JSON object built field by field: {"a":1,"b":"x"}.
class Json {
public:
    Json& Str(const std::string& key, const std::string& value);
    Json& Num(const std::string& key, long long value);
    // The number, and beside it "<key>_hex" as "0x1018" (`digits` hex digits at least).
    Json& Hex(const std::string& key, uint64_t value, int digits);
    Json& Bool(const std::string& key, bool value);
    Json& Raw(const std::string& key, const std::string& json);  // value already JSON
    Json& Result(unsigned code);                                 // "result":{"code":..,"name":..}
    std::string Text() const { return "{" + body_ + "}"; }
    static std::string Quote(const std::string& text);

private:
    void Key(const std::string& key);
    std::string body_;
};
// [a,b,c] of items that are JSON already.
std::string JsonArray(const std::vector<std::string>& items);

}  // namespace vexantool
