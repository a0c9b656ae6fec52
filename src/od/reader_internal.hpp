// Helpers shared by the reader's files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "device_model.hpp"

namespace vexan::od {

char LowerAscii(char c);
bool EqualsNoCase(std::string_view a, std::string_view b);
std::string_view Trim(std::string_view text);

// One integer as written: optional sign, then 0x hex, 0 octal or decimal.
struct Literal {
    uint64_t magnitude = 0;
    bool negative = false;
    bool radix_prefixed = false;  // hex or octal
};
std::optional<Literal> ParseLiteral(std::string_view text);
// A plain non-negative number (counts, codes, indices).
std::optional<uint64_t> ParseUnsigned(std::string_view text);

// Reads `raw` as a value of `data_type` (nullopt: unknown) into `value`,
// keeping the text. False with `why` set when it does not read; `value` is
// then Invalid.
bool ParseValue(std::string_view raw, std::optional<uint16_t> data_type, Value& value, std::string& why);

}  // namespace vexan::od
