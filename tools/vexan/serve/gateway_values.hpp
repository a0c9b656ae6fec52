// The gateway's data types: a value's text to its bytes and back. Integers
// and reals go through the device model's codec; what is the gateway's own is
// here: unsigned shown in hex (x8..x64), `vs` quoting, base64 for `os`, `us`
// and `d`, and `hex` bytes.
//
// Choices:
// - `vs` is answered in double quotes when it is empty or holds a blank, a
//   double quote or a '#', with a quote inside doubled; otherwise as it is.
//   A written `vs` in quotes must close them, a quote inside doubled.
// - `hex` is answered as lower-case byte pairs separated by spaces; written,
//   pairs of hex digits with or without blanks between the bytes.
// - An empty `hex`, `os`, `us` or `d` value is answered as "".
// - A numeric type wants exactly its size in bytes from the node: a read of
//   an object of another size is answered ERROR:0x06070010 (the abort code
//   for a length that does not match) rather than a value made up.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vexantool::serve::gateway {

// True for the names the gateway takes: b, i8..i64, u8..u64, x8..x64 (also
// the 24, 40, 48 and 56 bit widths), r32, r64, vs, os, us, d, hex.
bool KnownType(std::string_view type);
// The bytes of `text` as `type`; nullopt with a reason when it does not fit.
std::optional<std::vector<uint8_t>> EncodeValue(std::string_view type, std::string_view text, std::string& error);
// The text of `bytes` read as `type`; nullopt with a reason when the size is wrong.
std::optional<std::string> FormatValue(std::string_view type, std::span<const uint8_t> bytes, std::string& error);
// The gateway's name for a CiA 301 data type code, for reads without a type
// ("hex" for types it has no name for).
std::string TypeForDataType(uint16_t dataType);
// The data types `help datatype` lists.
std::string TypeList();

std::string Base64Encode(std::span<const uint8_t> bytes);
std::optional<std::vector<uint8_t>> Base64Decode(std::string_view text);
std::string QuoteVisible(std::string_view text);
std::optional<std::string> UnquoteVisible(std::string_view text);

}  // namespace vexantool::serve::gateway
