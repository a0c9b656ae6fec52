// Values of the basic data types on the wire: text to little-endian bytes and
// back, checks against a type's range and an entry's limits, the short type
// names of the tools, and finding an entry from what a user typed.
//
// Everything here works from a data type code, so any front door (the tool,
// the gateway, the package) can use it with or without a device model; how a
// value is shown (hex, separators) is an option of the caller's.
//
// Choices:
// - Integers are written in decimal or with 0x in hex, with an optional sign
//   (no octal: a user's "010" is ten). For a signed type a hex number within
//   the type's width is its two's complement (0xFF for INTEGER8 is -1).
// - BOOLEAN takes 0, 1, true and false (any case) and reads back as 0 or 1;
//   a byte other than 0 or 1 reads as its number, so nothing is hidden.
// - Reals take what strtod takes in the C locale (also inf and nan), and 0x
//   integers; a REAL32 beyond the float range is refused, not made infinite.
// - VISIBLE_STRING is sent as written; control characters (below 0x20, 0x7F)
//   are refused. UNICODE_STRING is UTF-8 text sent as UTF-16LE.
// - OCTET_STRING and DOMAIN are hex bytes (pairs of hex digits, spaces, ':'
//   and '-' between them allowed). TIME_OF_DAY and TIME_DIFFERENCE are their
//   six bytes in hex as well.
// - Decoding a fixed-size type wants exactly its size in bytes: fewer or more
//   is an error that names both (a device answering 4 bytes for an
//   UNSIGNED16 has said something else).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "device_model.hpp"

namespace vexan::od {

// A decoded value: INTEGERn as int64_t, BOOLEAN and UNSIGNEDn as uint64_t,
// REALn as double, VISIBLE_STRING and UNICODE_STRING as UTF-8 text in a
// std::string, the others as bytes.
using TypedValue = std::variant<int64_t, uint64_t, double, std::string, std::vector<uint8_t>>;

// The size on the wire in bytes of a fixed-size basic type (BOOLEAN 1,
// INTEGER24 3, TIME_OF_DAY 6, ...); 0 for strings, DOMAIN and unknown codes.
std::size_t WireSize(uint16_t data_type);
// True for the basic types this codec reads and writes.
bool IsBasicType(uint16_t data_type);

// ---- numbers

// How a run of digits reads.
enum class DigitsParse : uint8_t { Ok, NotANumber, TooLarge };
// `digits` in `base` (10, or 16 with digits of either case; no sign, no 0x)
// into `value`: NotANumber when empty or any character is no digit (checked
// to the end), TooLarge when the number exceeds `max`. `value` is set only
// for Ok.
DigitsParse ParseDigits(std::string_view digits, unsigned base, uint64_t max, uint64_t& value);

// ---- encoding

// The value written as text, for `data_type`; nullopt with `error` set
// ("300 is outside UNSIGNED8 (0..255)", "'x1' is not a number").
std::optional<TypedValue> ParseText(uint16_t data_type, std::string_view text, std::string& error);
// The bytes of a value; nullopt with `error` set when the value does not fit
// the type (a number out of range, text for a number, ...).
std::optional<std::vector<uint8_t>> Encode(uint16_t data_type, const TypedValue& value, std::string& error);
// ParseText then Encode.
std::optional<std::vector<uint8_t>> EncodeText(uint16_t data_type, std::string_view text, std::string& error);

// Whether a numeric value lies within the entry's LowLimit and HighLimit (with
// `$NODEID` evaluated for `node`); an empty optional when it does, else the
// reason ("1500 is above the high limit 1000 of ..."). Limits that are absent
// or unreadable, and values that are no number, pass.
std::optional<std::string> LimitViolation(const Entry& entry, const TypedValue& value, uint8_t node);
// Why the entry may not be written ("... is read-only (ro)"), or nothing.
std::optional<std::string> WriteRefusal(const Entry& entry);
// The bytes for writing `text` to `entry`: its data type's encoding and its
// limits checked; the entry's access is not (see WriteRefusal).
std::optional<std::vector<uint8_t>> EncodeForEntry(const Entry& entry, std::string_view text, uint8_t node,
                                                   std::string& error);

// ---- decoding

std::optional<TypedValue> Decode(uint16_t data_type, std::span<const uint8_t> bytes, std::string& error);

struct FormatOptions {
    bool hex_integers = false;              // 0x with the type's width in digits (two's complement)
    std::string_view byte_separator = " ";  // between the hex bytes of octet strings, domains, times
};
// A value as text: decimal (or hex) integers, reals in their shortest exact
// form, strings as they are, bytes in hex.
std::string FormatValue(uint16_t data_type, const TypedValue& value, const FormatOptions& options = {});
// Decode then FormatValue.
std::optional<std::string> DecodeText(uint16_t data_type, std::span<const uint8_t> bytes, std::string& error,
                                      const FormatOptions& options = {});

// ---- PDO data

// One mapped field of a PDO's data.
struct MappedField {
    uint16_t index = 0;
    uint8_t subindex = 0;
    unsigned bits = 0;
    unsigned offset = 0;                // in bits from the start of the data
    const Entry* entry = nullptr;       // from the model, when it has the object
    std::optional<uint16_t> data_type;  // the entry's, or a dummy entry's index (below 0x20)
    bool present = false;               // the data reaches to the field's end
    std::vector<uint8_t> bytes;         // the field's bits, least significant first
    // Decoded by the data type when the field's length is the type's (a
    // BOOLEAN also from one bit); else, up to 64 bits, the bits as an
    // unsigned number with `raw` set; nothing when not present.
    std::optional<TypedValue> value;
    bool raw = false;
};
// Cuts `data` into the fields of `mapping` (index << 16 | sub << 8 | bits, as
// the mapping objects hold them); `model` may be null.
std::vector<MappedField> CutPdo(const DeviceModel* model, std::span<const uint32_t> mapping,
                                std::span<const uint8_t> data);

// ---- names of types

struct TypeName {
    uint16_t data_type = 0;
    bool hex = false;  // the name asks for hex display (x8..x64)
};
// The short names: b/bool, i8 i16 i24 i32 i40 i48 i56 i64, u8 .. u64, x8 .. x64
// (unsigned, shown in hex), r32 r64, string/vs (VISIBLE_STRING), us
// (UNICODE_STRING), hex/os (OCTET_STRING), d/domain (DOMAIN), and the full
// names (UNSIGNED16, ...) in any case. nullopt for anything else.
std::optional<TypeName> TypeByName(std::string_view name);
// The short name of a basic type ("u16", "string", "hex"), or "" for others.
std::string_view ShortTypeName(uint16_t data_type);

// ---- finding entries

// What a user's argument names: an entry, or an object with sub-objects given
// without a sub-index (entry null), or an index:sub the model does not hold
// (object and entry null).
struct Target {
    uint16_t index = 0;
    uint8_t subindex = 0;
    bool subindex_given = false;
    const Object* object = nullptr;
    const Entry* entry = nullptr;
};
// Reads `argument` as, in this order:
// - INDEX[:SUB] in hex, as the files and the tool's output write them: the
//   index 1..4 hex digits, the sub-index 1..2, each with an optional 0x prefix
//   or h suffix, joined by ':' or '/' ("1017", "0x1018:1", "1018/01",
//   "1017h"). A VAR object's index alone is its entry.
// - a ParameterName or an "Object name/Sub-object name" path, exactly;
// - the same in any case, and then as a unique case-insensitive prefix (of an
//   object's or entry's name, or of both halves of a path).
// Several candidates of equal rank are an error that names them. The model
// may be null (only numbers are then understood). nullopt with `error` set
// when nothing fits.
std::optional<Target> Resolve(const DeviceModel* model, std::string_view argument, std::string& error);
// "1018:01 Identity object/Vendor-ID" (the path only for sub-objects).
std::string DescribeEntry(const DeviceModel& model, const Entry& entry);

}  // namespace vexan::od
