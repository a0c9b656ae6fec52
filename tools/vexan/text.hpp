// Text the tool builds often: numbers and bytes in hex, hex back to bytes, lists.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vexantool {

// "0x1018" for Hex(0x1018, 4): at least `digits` digits.
std::string Hex(uint64_t value, int digits);
// "01 02 0A", or with another separator "01020A".
std::string HexBytes(std::span<const uint8_t> bytes, const char* separator = " ");
// Reads "01020A", "01 02 0a", "01:02-0A"; false when the text is not whole bytes.
bool ParseHexBytes(const std::string& text, std::vector<uint8_t>& out);
// The items with `separator` between them.
std::string Join(const std::vector<std::string>& items, const char* separator);
// The text in lower case (ASCII).
std::string Lower(std::string text);

}  // namespace vexantool
