// Values of the basic data types on the wire, and finding entries by what a
// user typed.
#include "codec.hpp"

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "reader_internal.hpp"

namespace vexan::od {

namespace {

struct ShortName {
    std::string_view name;
    uint16_t data_type;
    bool hex;
};

constexpr ShortName kShortNames[] = {
    {"b", datatype::kBoolean, false},
    {"bool", datatype::kBoolean, false},
    {"i8", datatype::kInteger8, false},
    {"i16", datatype::kInteger16, false},
    {"i24", datatype::kInteger24, false},
    {"i32", datatype::kInteger32, false},
    {"i40", datatype::kInteger40, false},
    {"i48", datatype::kInteger48, false},
    {"i56", datatype::kInteger56, false},
    {"i64", datatype::kInteger64, false},
    {"u8", datatype::kUnsigned8, false},
    {"u16", datatype::kUnsigned16, false},
    {"u24", datatype::kUnsigned24, false},
    {"u32", datatype::kUnsigned32, false},
    {"u40", datatype::kUnsigned40, false},
    {"u48", datatype::kUnsigned48, false},
    {"u56", datatype::kUnsigned56, false},
    {"u64", datatype::kUnsigned64, false},
    {"x8", datatype::kUnsigned8, true},
    {"x16", datatype::kUnsigned16, true},
    {"x24", datatype::kUnsigned24, true},
    {"x32", datatype::kUnsigned32, true},
    {"x40", datatype::kUnsigned40, true},
    {"x48", datatype::kUnsigned48, true},
    {"x56", datatype::kUnsigned56, true},
    {"x64", datatype::kUnsigned64, true},
    {"r32", datatype::kReal32, false},
    {"r64", datatype::kReal64, false},
    {"string", datatype::kVisibleString, false},
    {"vs", datatype::kVisibleString, false},
    {"us", datatype::kUnicodeString, false},
    {"hex", datatype::kOctetString, false},
    {"os", datatype::kOctetString, false},
    {"d", datatype::kDomain, false},
    {"domain", datatype::kDomain, false},
};

// The first short name of each basic type that has one.
constexpr ShortName kShownNames[] = {
    {"bool", datatype::kBoolean, false},
    {"i8", datatype::kInteger8, false},
    {"i16", datatype::kInteger16, false},
    {"i24", datatype::kInteger24, false},
    {"i32", datatype::kInteger32, false},
    {"i40", datatype::kInteger40, false},
    {"i48", datatype::kInteger48, false},
    {"i56", datatype::kInteger56, false},
    {"i64", datatype::kInteger64, false},
    {"u8", datatype::kUnsigned8, false},
    {"u16", datatype::kUnsigned16, false},
    {"u24", datatype::kUnsigned24, false},
    {"u32", datatype::kUnsigned32, false},
    {"u40", datatype::kUnsigned40, false},
    {"u48", datatype::kUnsigned48, false},
    {"u56", datatype::kUnsigned56, false},
    {"u64", datatype::kUnsigned64, false},
    {"r32", datatype::kReal32, false},
    {"r64", datatype::kReal64, false},
    {"string", datatype::kVisibleString, false},
    {"us", datatype::kUnicodeString, false},
    {"hex", datatype::kOctetString, false},
    {"domain", datatype::kDomain, false},
    {"time_of_day", datatype::kTimeOfDay, false},
    {"time_difference", datatype::kTimeDifference, false},
};

constexpr std::size_t kTimeSize = 6;

bool IsTimeType(uint16_t data_type)
{
    return data_type == datatype::kTimeOfDay || data_type == datatype::kTimeDifference;
}

bool IsByteType(uint16_t data_type)
{
    return data_type == datatype::kOctetString || data_type == datatype::kDomain || IsTimeType(data_type);
}

bool IsIntegerType(uint16_t data_type)
{
    const ValueClass value_class = ClassOf(data_type);
    return value_class == ValueClass::Signed || value_class == ValueClass::Unsigned;
}

std::string TypeLabel(uint16_t data_type)
{
    const std::string_view name = DataTypeName(data_type);
    if (!name.empty()) {
        return std::string(name);
    }
    char text[32];
    std::snprintf(text, sizeof text, "data type 0x%04X", data_type);
    return text;
}

// "a REAL32", "an UNSIGNED8".
std::string WithArticle(const std::string& label)
{
    const char first = label.empty() ? 'x' : LowerAscii(label[0]);
    const bool vowel = first == 'a' || first == 'e' || first == 'i' || first == 'o' || first == 'u';
    return (vowel ? "an " : "a ") + label;
}

std::string Quoted(std::string_view text)
{
    return "'" + std::string(text) + "'";
}

uint64_t MaskOf(unsigned bits)
{
    return bits >= 64 ? std::numeric_limits<uint64_t>::max() : (uint64_t{1} << bits) - 1;
}

// The range of an integer type as int64 (signed) or uint64 (unsigned) bounds.
struct IntegerRange {
    int64_t min_signed = 0;
    int64_t max_signed = 0;
    uint64_t max_unsigned = 0;
    bool is_signed = false;
};

IntegerRange RangeOf(uint16_t data_type)
{
    IntegerRange range;
    const unsigned bits = BitsOf(data_type);
    range.is_signed = ClassOf(data_type) == ValueClass::Signed;
    if (range.is_signed) {
        range.max_signed = static_cast<int64_t>(MaskOf(bits - 1));
        range.min_signed = -range.max_signed - 1;
    } else {
        range.max_unsigned = MaskOf(bits);
    }
    return range;
}

std::string RangeText(uint16_t data_type)
{
    const IntegerRange range = RangeOf(data_type);
    if (range.is_signed) {
        return std::to_string(range.min_signed) + ".." + std::to_string(range.max_signed);
    }
    return "0.." + std::to_string(range.max_unsigned);
}

// An integer as a user writes it: optional sign, then decimal digits or 0x
// and hex digits.
struct UserInteger {
    uint64_t magnitude = 0;
    bool negative = false;
    bool hex = false;
};

enum class IntegerParse : uint8_t { Ok, NotANumber, TooLarge };

IntegerParse ParseUserInteger(std::string_view text, UserInteger& out)
{
    std::size_t at = 0;
    if (at < text.size() && (text[at] == '-' || text[at] == '+')) {
        out.negative = text[at] == '-';
        ++at;
    }
    unsigned base = 10;
    if (text.size() - at > 2 && text[at] == '0' && (text[at + 1] == 'x' || text[at + 1] == 'X')) {
        base = 16;
        at += 2;
        out.hex = true;
    }
    switch (ParseDigits(text.substr(at), base, std::numeric_limits<uint64_t>::max(), out.magnitude)) {
    case DigitsParse::Ok:
        return IntegerParse::Ok;
    case DigitsParse::TooLarge:
        return IntegerParse::TooLarge;
    case DigitsParse::NotANumber:
        break;
    }
    return IntegerParse::NotANumber;
}

std::optional<TypedValue> ParseInteger(uint16_t data_type, std::string_view text, std::string& error)
{
    if (data_type == datatype::kBoolean) {
        if (EqualsNoCase(text, "true")) {
            return TypedValue{uint64_t{1}};
        }
        if (EqualsNoCase(text, "false")) {
            return TypedValue{uint64_t{0}};
        }
    }
    UserInteger number;
    const IntegerParse parsed = ParseUserInteger(text, number);
    const std::string outside =
        Quoted(text) + " is outside " + TypeLabel(data_type) + " (" + RangeText(data_type) + ")";
    if (parsed == IntegerParse::NotANumber) {
        error = Quoted(text) + " is not a number for " + TypeLabel(data_type) + " (decimal, or hex with 0x)";
        return std::nullopt;
    }
    if (parsed == IntegerParse::TooLarge) {
        error = outside;
        return std::nullopt;
    }
    const IntegerRange range = RangeOf(data_type);
    if (!range.is_signed) {
        if ((number.negative && number.magnitude != 0) || number.magnitude > range.max_unsigned) {
            error = outside;
            return std::nullopt;
        }
        return TypedValue{number.magnitude};
    }
    const auto positive_max = static_cast<uint64_t>(range.max_signed);
    if (number.negative) {
        if (number.magnitude > positive_max + 1) {
            error = outside;
            return std::nullopt;
        }
        return TypedValue{number.magnitude == positive_max + 1 ? range.min_signed
                                                               : -static_cast<int64_t>(number.magnitude)};
    }
    if (number.magnitude <= positive_max) {
        return TypedValue{static_cast<int64_t>(number.magnitude)};
    }
    // Hex within the width: the two's complement.
    const uint64_t width_mask = MaskOf(BitsOf(data_type));
    if (number.hex && number.magnitude <= width_mask) {
        const uint64_t below = width_mask - number.magnitude;  // -1 - value
        return TypedValue{-static_cast<int64_t>(below) - 1};
    }
    error = outside;
    return std::nullopt;
}

std::optional<TypedValue> ParseReal(uint16_t data_type, std::string_view text, std::string& error)
{
    UserInteger integer;
    if (ParseUserInteger(text, integer) == IntegerParse::Ok && integer.hex) {
        const auto magnitude = static_cast<double>(integer.magnitude);
        return TypedValue{integer.negative ? -magnitude : magnitude};
    }
    const char* first = text.data();
    const char* last = first + text.size();
    if (first != last && *first == '+') {
        ++first;
    }
    double real = 0;
    const auto [end, failure] = std::from_chars(first, last, real);
    if (failure == std::errc::result_out_of_range) {
        error = Quoted(text) + " is outside " + TypeLabel(data_type);
        return std::nullopt;
    }
    if (failure != std::errc{} || end != last || first == last) {
        error = Quoted(text) + " is not a number for " + TypeLabel(data_type);
        return std::nullopt;
    }
    if (data_type == datatype::kReal32 && std::isfinite(real) && std::fabs(real) > FLT_MAX) {
        error = Quoted(text) + " is outside " + TypeLabel(data_type);
        return std::nullopt;
    }
    return TypedValue{real};
}

bool IsUtf8Continuation(unsigned char c)
{
    return (c & 0xC0U) == 0x80U;
}

// UTF-8 text to UTF-16LE; false at the first byte that is no UTF-8.
bool Utf8ToUtf16(std::string_view text, std::vector<uint8_t>& out, std::size_t& bad_at)
{
    const auto push = [&out](uint32_t unit) {
        out.push_back(static_cast<uint8_t>(unit & 0xFFU));
        out.push_back(static_cast<uint8_t>(unit >> 8U));
    };
    for (std::size_t at = 0; at < text.size();) {
        const auto lead = static_cast<unsigned char>(text[at]);
        uint32_t code = 0;
        std::size_t length = 0;
        uint32_t min_code = 0;
        if (lead < 0x80) {
            code = lead;
            length = 1;
        } else if ((lead & 0xE0U) == 0xC0U) {
            code = lead & 0x1FU;
            length = 2;
            min_code = 0x80;
        } else if ((lead & 0xF0U) == 0xE0U) {
            code = lead & 0x0FU;
            length = 3;
            min_code = 0x800;
        } else if ((lead & 0xF8U) == 0xF0U) {
            code = lead & 0x07U;
            length = 4;
            min_code = 0x10000;
        } else {
            bad_at = at;
            return false;
        }
        if (at + length > text.size()) {
            bad_at = at;
            return false;
        }
        for (std::size_t i = 1; i < length; ++i) {
            const auto next = static_cast<unsigned char>(text[at + i]);
            if (!IsUtf8Continuation(next)) {
                bad_at = at;
                return false;
            }
            code = code << 6U | (next & 0x3FU);
        }
        if (code < min_code || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            bad_at = at;
            return false;
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            push(0xD800 + (code >> 10U));
            push(0xDC00 + (code & 0x3FFU));
        } else {
            push(code);
        }
        at += length;
    }
    return true;
}

void AppendUtf8(std::string& out, uint32_t code)
{
    if (code < 0x80) {
        out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out.push_back(static_cast<char>(0xC0U | (code >> 6U)));
        out.push_back(static_cast<char>(0x80U | (code & 0x3FU)));
    } else if (code < 0x10000) {
        out.push_back(static_cast<char>(0xE0U | (code >> 12U)));
        out.push_back(static_cast<char>(0x80U | ((code >> 6U) & 0x3FU)));
        out.push_back(static_cast<char>(0x80U | (code & 0x3FU)));
    } else {
        out.push_back(static_cast<char>(0xF0U | (code >> 18U)));
        out.push_back(static_cast<char>(0x80U | ((code >> 12U) & 0x3FU)));
        out.push_back(static_cast<char>(0x80U | ((code >> 6U) & 0x3FU)));
        out.push_back(static_cast<char>(0x80U | (code & 0x3FU)));
    }
}

// UTF-16LE to UTF-8; a lone surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::span<const uint8_t> bytes)
{
    constexpr uint32_t kReplacement = 0xFFFD;
    std::string out;
    const std::size_t units = bytes.size() / 2;
    const auto unit_at = [&bytes](std::size_t i) {
        return static_cast<uint32_t>(bytes[2 * i] | static_cast<uint32_t>(bytes[2 * i + 1]) << 8U);
    };
    for (std::size_t i = 0; i < units; ++i) {
        const uint32_t unit = unit_at(i);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units && unit_at(i + 1) >= 0xDC00 && unit_at(i + 1) <= 0xDFFF) {
            AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10U) + (unit_at(i + 1) - 0xDC00));
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            AppendUtf8(out, kReplacement);
        } else {
            AppendUtf8(out, unit);
        }
    }
    return out;
}

bool ParseHex(std::string_view text, std::vector<uint8_t>& out)
{
    out.clear();
    int high = -1;
    for (const char c : text) {
        int digit = -1;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else if ((c == ' ' || c == ':' || c == '-' || c == '\t') && high < 0) {
            continue;
        } else {
            return false;
        }
        if (high < 0) {
            high = digit;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | digit));
            high = -1;
        }
    }
    return high < 0;
}

std::string HexOf(std::span<const uint8_t> bytes, std::string_view separator)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * (2 + separator.size()));
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0) {
            out.append(separator);
        }
        out.push_back(kDigits[bytes[i] >> 4U]);
        out.push_back(kDigits[bytes[i] & 0xFU]);
    }
    return out;
}

// -1, 0 or 1 as a is below, equal to or above b; exact for integers.
int CompareNumbers(const Number& a, const Number& b)
{
    const auto as_long_double = [](const Number& n) {
        return std::visit([](auto v) { return static_cast<long double>(v); }, n);
    };
    if (std::holds_alternative<double>(a) || std::holds_alternative<double>(b)) {
        const long double x = as_long_double(a);
        const long double y = as_long_double(b);
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    const auto sign_split = [](const Number& n, bool& negative) -> uint64_t {
        if (const auto* s = std::get_if<int64_t>(&n); s != nullptr && *s < 0) {
            negative = true;
            return static_cast<uint64_t>(-(*s + 1)) + 1;
        }
        negative = false;
        if (const auto* s = std::get_if<int64_t>(&n)) {
            return static_cast<uint64_t>(*s);
        }
        return std::get<uint64_t>(n);
    };
    bool a_negative = false;
    bool b_negative = false;
    const uint64_t a_magnitude = sign_split(a, a_negative);
    const uint64_t b_magnitude = sign_split(b, b_negative);
    if (a_negative != b_negative) {
        return a_negative ? -1 : 1;
    }
    if (a_magnitude == b_magnitude) {
        return 0;
    }
    const bool a_greater_magnitude = a_magnitude > b_magnitude;
    return (a_greater_magnitude != a_negative) ? 1 : -1;
}

std::string NumberText(const Number& number)
{
    return std::visit(
        [](auto v) -> std::string {
            if constexpr (std::is_same_v<decltype(v), double>) {
                char buffer[64];
                const auto result = std::to_chars(buffer, buffer + sizeof buffer, v);
                return std::string(buffer, result.ptr);
            } else {
                return std::to_string(v);
            }
        },
        number);
}

std::string IndexText(uint16_t index)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04X", index);
    return text;
}

std::string EntryKey(uint16_t index, uint8_t sub)
{
    char text[16];
    std::snprintf(text, sizeof text, "%04X:%02X", index, sub);
    return text;
}

}  // namespace

DigitsParse ParseDigits(std::string_view digits, unsigned base, uint64_t max, uint64_t& value)
{
    if (digits.empty()) {
        return DigitsParse::NotANumber;
    }
    bool overflow = false;
    uint64_t number = 0;
    for (const char c : digits) {
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return DigitsParse::NotANumber;
        }
        if (overflow || number > (max - digit) / base) {
            overflow = true;
        } else {
            number = number * base + digit;
        }
    }
    if (overflow) {
        return DigitsParse::TooLarge;
    }
    value = number;
    return DigitsParse::Ok;
}

std::size_t WireSize(uint16_t data_type)
{
    if (IsTimeType(data_type)) {
        return kTimeSize;
    }
    if (data_type == datatype::kBoolean) {
        return 1;
    }
    return BitsOf(data_type) / 8;
}

bool IsBasicType(uint16_t data_type)
{
    return !DataTypeName(data_type).empty();
}

std::optional<TypedValue> ParseText(uint16_t data_type, std::string_view text, std::string& error)
{
    if (IsIntegerType(data_type)) {
        return ParseInteger(data_type, Trim(text), error);
    }
    if (ClassOf(data_type) == ValueClass::Real) {
        return ParseReal(data_type, Trim(text), error);
    }
    if (data_type == datatype::kVisibleString || data_type == datatype::kUnicodeString) {
        return TypedValue{std::string(text)};
    }
    if (IsByteType(data_type)) {
        std::vector<uint8_t> bytes;
        if (!ParseHex(text, bytes)) {
            error = Quoted(text) + " is not hex bytes for " + TypeLabel(data_type);
            return std::nullopt;
        }
        return TypedValue{std::move(bytes)};
    }
    error = TypeLabel(data_type) + " is not a basic data type";
    return std::nullopt;
}

std::optional<std::vector<uint8_t>> Encode(uint16_t data_type, const TypedValue& value, std::string& error)
{
    if (IsIntegerType(data_type)) {
        const IntegerRange range = RangeOf(data_type);
        uint64_t bits = 0;
        const std::string label = TypeLabel(data_type);
        if (const auto* s = std::get_if<int64_t>(&value)) {
            const bool fits = range.is_signed ? (*s >= range.min_signed && *s <= range.max_signed)
                                              : (*s >= 0 && static_cast<uint64_t>(*s) <= range.max_unsigned);
            if (!fits) {
                error = std::to_string(*s) + " is outside " + label + " (" + RangeText(data_type) + ")";
                return std::nullopt;
            }
            bits = static_cast<uint64_t>(*s);
        } else if (const auto* u = std::get_if<uint64_t>(&value)) {
            const bool fits =
                range.is_signed ? *u <= static_cast<uint64_t>(range.max_signed) : *u <= range.max_unsigned;
            if (!fits) {
                error = std::to_string(*u) + " is outside " + label + " (" + RangeText(data_type) + ")";
                return std::nullopt;
            }
            bits = *u;
        } else {
            error = WithArticle(label) + " takes an integer";
            return std::nullopt;
        }
        std::vector<uint8_t> bytes(WireSize(data_type));
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = static_cast<uint8_t>(bits >> (8 * i));
        }
        return bytes;
    }
    if (ClassOf(data_type) == ValueClass::Real) {
        double real = 0;
        if (const auto* d = std::get_if<double>(&value)) {
            real = *d;
        } else if (const auto* s = std::get_if<int64_t>(&value)) {
            real = static_cast<double>(*s);
        } else if (const auto* u = std::get_if<uint64_t>(&value)) {
            real = static_cast<double>(*u);
        } else {
            error = WithArticle(TypeLabel(data_type)) + " takes a number";
            return std::nullopt;
        }
        if (data_type == datatype::kReal32) {
            if (std::isfinite(real) && std::fabs(real) > FLT_MAX) {
                error = NumberText(Number{real}) + " is outside REAL32";
                return std::nullopt;
            }
            const auto single = static_cast<float>(real);
            uint32_t raw = 0;
            std::memcpy(&raw, &single, sizeof raw);
            return std::vector<uint8_t>{static_cast<uint8_t>(raw), static_cast<uint8_t>(raw >> 8U),
                                        static_cast<uint8_t>(raw >> 16U), static_cast<uint8_t>(raw >> 24U)};
        }
        uint64_t raw = 0;
        std::memcpy(&raw, &real, sizeof raw);
        std::vector<uint8_t> bytes(8);
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = static_cast<uint8_t>(raw >> (8 * i));
        }
        return bytes;
    }
    if (data_type == datatype::kVisibleString || data_type == datatype::kUnicodeString) {
        const auto* text = std::get_if<std::string>(&value);
        if (text == nullptr) {
            error = WithArticle(TypeLabel(data_type)) + " takes text";
            return std::nullopt;
        }
        if (data_type == datatype::kVisibleString) {
            for (std::size_t i = 0; i < text->size(); ++i) {
                const auto c = static_cast<unsigned char>((*text)[i]);
                if (c < 0x20 || c == 0x7F) {
                    char where[96];
                    std::snprintf(where, sizeof where, "a VISIBLE_STRING holds no control character (0x%02X at %zu)", c,
                                  i);
                    error = where;
                    return std::nullopt;
                }
            }
            return std::vector<uint8_t>(text->begin(), text->end());
        }
        std::vector<uint8_t> bytes;
        std::size_t bad_at = 0;
        if (!Utf8ToUtf16(*text, bytes, bad_at)) {
            error = "the text is not UTF-8 (at byte " + std::to_string(bad_at) + ")";
            return std::nullopt;
        }
        return bytes;
    }
    if (IsByteType(data_type)) {
        std::vector<uint8_t> bytes;
        if (const auto* raw = std::get_if<std::vector<uint8_t>>(&value)) {
            bytes = *raw;
        } else if (const auto* text = std::get_if<std::string>(&value)) {
            bytes.assign(text->begin(), text->end());
        } else {
            error = WithArticle(TypeLabel(data_type)) + " takes bytes";
            return std::nullopt;
        }
        if (IsTimeType(data_type) && bytes.size() != kTimeSize) {
            error = WithArticle(TypeLabel(data_type)) + " is 6 bytes, not " + std::to_string(bytes.size());
            return std::nullopt;
        }
        return bytes;
    }
    error = TypeLabel(data_type) + " is not a basic data type";
    return std::nullopt;
}

std::optional<std::vector<uint8_t>> EncodeText(uint16_t data_type, std::string_view text, std::string& error)
{
    const std::optional<TypedValue> value = ParseText(data_type, text, error);
    if (!value) {
        return std::nullopt;
    }
    return Encode(data_type, *value, error);
}

std::optional<std::string> LimitViolation(const Entry& entry, const TypedValue& value, uint8_t node)
{
    Number number;
    if (const auto* s = std::get_if<int64_t>(&value)) {
        number = *s;
    } else if (const auto* u = std::get_if<uint64_t>(&value)) {
        number = *u;
    } else if (const auto* d = std::get_if<double>(&value)) {
        if (std::isnan(*d)) {
            // NaN lies within no limits.
            if (entry.low_limit.Evaluate(node) || entry.high_limit.Evaluate(node)) {
                return "nan is outside the limits of " + entry.name;
            }
            return std::nullopt;
        }
        number = *d;
    } else {
        return std::nullopt;
    }
    if (const std::optional<Number> low = entry.low_limit.Evaluate(node); low && CompareNumbers(number, *low) < 0) {
        return NumberText(number) + " is below the low limit " + NumberText(*low) + " of " + entry.name;
    }
    if (const std::optional<Number> high = entry.high_limit.Evaluate(node); high && CompareNumbers(number, *high) > 0) {
        return NumberText(number) + " is above the high limit " + NumberText(*high) + " of " + entry.name;
    }
    return std::nullopt;
}

std::optional<std::string> WriteRefusal(const Entry& entry)
{
    if (entry.access && (*entry.access == Access::Ro || *entry.access == Access::Const)) {
        return entry.name + " is read-only (" + std::string(AccessName(*entry.access)) + ")";
    }
    return std::nullopt;
}

std::optional<std::vector<uint8_t>> EncodeForEntry(const Entry& entry, std::string_view text, uint8_t node,
                                                   std::string& error)
{
    if (!entry.data_type) {
        error = entry.name + " has no data type in the file";
        return std::nullopt;
    }
    const std::optional<TypedValue> value = ParseText(*entry.data_type, text, error);
    if (!value) {
        return std::nullopt;
    }
    if (std::optional<std::string> violation = LimitViolation(entry, *value, node)) {
        error = std::move(*violation);
        return std::nullopt;
    }
    return Encode(*entry.data_type, *value, error);
}

std::optional<TypedValue> Decode(uint16_t data_type, std::span<const uint8_t> bytes, std::string& error)
{
    if (!IsBasicType(data_type)) {
        error = TypeLabel(data_type) + " is not a basic data type";
        return std::nullopt;
    }
    const std::size_t size = WireSize(data_type);
    if (size != 0 && bytes.size() != size) {
        error = WithArticle(TypeLabel(data_type)) + " is " + std::to_string(size) + (size == 1 ? " byte" : " bytes") +
                ", not " + std::to_string(bytes.size());
        return std::nullopt;
    }
    if (IsIntegerType(data_type)) {
        uint64_t raw = 0;
        for (std::size_t i = size; i > 0; --i) {
            raw = raw << 8U | bytes[i - 1];
        }
        if (ClassOf(data_type) == ValueClass::Unsigned) {
            return TypedValue{raw};
        }
        const unsigned bits = BitsOf(data_type);
        if (bits < 64 && (raw >> (bits - 1) & 1U) != 0) {
            raw |= ~MaskOf(bits);  // sign extension
        }
        return TypedValue{static_cast<int64_t>(raw)};
    }
    if (data_type == datatype::kReal32) {
        const uint32_t raw = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8U |
                             static_cast<uint32_t>(bytes[2]) << 16U | static_cast<uint32_t>(bytes[3]) << 24U;
        float single = 0;
        std::memcpy(&single, &raw, sizeof single);
        return TypedValue{static_cast<double>(single)};
    }
    if (data_type == datatype::kReal64) {
        uint64_t raw = 0;
        for (std::size_t i = 8; i > 0; --i) {
            raw = raw << 8U | bytes[i - 1];
        }
        double real = 0;
        std::memcpy(&real, &raw, sizeof real);
        return TypedValue{real};
    }
    if (data_type == datatype::kVisibleString) {
        return TypedValue{std::string(bytes.begin(), bytes.end())};
    }
    if (data_type == datatype::kUnicodeString) {
        if (bytes.size() % 2 != 0) {
            error = std::to_string(bytes.size()) + " bytes are no UNICODE_STRING (two bytes a character)";
            return std::nullopt;
        }
        return TypedValue{Utf16ToUtf8(bytes)};
    }
    return TypedValue{std::vector<uint8_t>(bytes.begin(), bytes.end())};
}

std::string FormatValue(uint16_t data_type, const TypedValue& value, const FormatOptions& options)
{
    if (options.hex_integers && (std::holds_alternative<int64_t>(value) || std::holds_alternative<uint64_t>(value))) {
        const std::size_t size = WireSize(data_type);
        const auto raw = std::holds_alternative<int64_t>(value) ? static_cast<uint64_t>(std::get<int64_t>(value))
                                                                : std::get<uint64_t>(value);
        const int digits = size != 0 ? static_cast<int>(2 * size) : 1;
        const uint64_t shown = size != 0 ? raw & MaskOf(static_cast<unsigned>(8 * size)) : raw;
        char text[32];
        std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(shown));
        return text;
    }
    if (const auto* s = std::get_if<int64_t>(&value)) {
        return std::to_string(*s);
    }
    if (const auto* u = std::get_if<uint64_t>(&value)) {
        return std::to_string(*u);
    }
    if (const auto* d = std::get_if<double>(&value)) {
        char buffer[64];
        const auto result = data_type == datatype::kReal32
                                ? std::to_chars(buffer, buffer + sizeof buffer, static_cast<float>(*d))
                                : std::to_chars(buffer, buffer + sizeof buffer, *d);
        return std::string(buffer, result.ptr);
    }
    if (const auto* text = std::get_if<std::string>(&value)) {
        return *text;
    }
    return HexOf(std::get<std::vector<uint8_t>>(value), options.byte_separator);
}

std::optional<std::string> DecodeText(uint16_t data_type, std::span<const uint8_t> bytes, std::string& error,
                                      const FormatOptions& options)
{
    const std::optional<TypedValue> value = Decode(data_type, bytes, error);
    if (!value) {
        return std::nullopt;
    }
    return FormatValue(data_type, *value, options);
}

std::vector<MappedField> CutPdo(const DeviceModel* model, std::span<const uint32_t> mapping,
                                std::span<const uint8_t> data)
{
    constexpr uint16_t kLastDummyIndex = 0x1F;
    constexpr unsigned kWidestNumber = 64;
    std::vector<MappedField> fields;
    unsigned offset = 0;
    const std::size_t available = data.size() * 8;
    for (const uint32_t word : mapping) {
        MappedField field;
        field.index = static_cast<uint16_t>(word >> 16U);
        field.subindex = static_cast<uint8_t>(word >> 8U);
        field.bits = word & 0xFFU;
        field.offset = offset;
        offset += field.bits;
        field.entry = model != nullptr ? model->FindEntry(field.index, field.subindex) : nullptr;
        if (field.entry != nullptr) {
            field.data_type = field.entry->data_type;
        } else if (field.index <= kLastDummyIndex && IsBasicType(field.index)) {
            field.data_type = field.index;
        }
        field.present = field.offset + field.bits <= available;
        if (!field.present) {
            fields.push_back(std::move(field));
            continue;
        }
        field.bytes.assign((field.bits + 7) / 8, 0);
        for (unsigned bit = 0; bit < field.bits; ++bit) {
            const unsigned from = field.offset + bit;
            if ((data[from / 8] >> (from % 8) & 1U) != 0) {
                field.bytes[bit / 8] = static_cast<uint8_t>(field.bytes[bit / 8] | 1U << (bit % 8));
            }
        }
        const std::optional<uint16_t> type = field.data_type;
        const std::size_t size = type ? WireSize(*type) : 0;
        const bool whole = type && IsBasicType(*type) && (size != 0 ? field.bits == size * 8 : field.bits % 8 == 0);
        const bool one_bit = type && *type == datatype::kBoolean && field.bits == 1;
        std::string ignored;
        if (whole || one_bit) {
            field.value = Decode(*type, field.bytes, ignored);
        }
        if (!field.value && field.bits <= kWidestNumber) {
            uint64_t number = 0;
            for (std::size_t i = field.bytes.size(); i > 0; --i) {
                number = number << 8U | field.bytes[i - 1];
            }
            field.value = number;
            field.raw = true;
        }
        fields.push_back(std::move(field));
    }
    return fields;
}

std::optional<TypeName> TypeByName(std::string_view name)
{
    for (const ShortName& row : kShortNames) {
        if (row.name == name) {
            return TypeName{row.data_type, row.hex};
        }
    }
    for (uint16_t code = 1; code <= datatype::kUnsigned64; ++code) {
        const std::string_view full = DataTypeName(code);
        if (!full.empty() && EqualsNoCase(full, name)) {
            return TypeName{code, false};
        }
    }
    return std::nullopt;
}

std::string_view ShortTypeName(uint16_t data_type)
{
    for (const ShortName& row : kShownNames) {
        if (row.data_type == data_type) {
            return row.name;
        }
    }
    return {};
}

// ---- finding entries

namespace {

// A hex number of 1..max_digits digits with an optional 0x prefix or h suffix.
std::optional<unsigned> ParseHexPart(std::string_view text, std::size_t max_digits)
{
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
    } else if (text.size() > 1 && (text.back() == 'h' || text.back() == 'H')) {
        text.remove_suffix(1);
    }
    if (text.empty() || text.size() > max_digits) {
        return std::nullopt;
    }
    unsigned value = 0;
    for (const char c : text) {
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
        value = value * 16 + digit;
    }
    return value;
}

std::optional<Target> ParseIndexSub(std::string_view text)
{
    constexpr std::size_t kIndexDigits = 4;
    constexpr std::size_t kSubDigits = 2;
    const std::size_t join = text.find_first_of(":/");
    const std::optional<unsigned> index = ParseHexPart(text.substr(0, join), kIndexDigits);
    if (!index) {
        return std::nullopt;
    }
    Target target;
    target.index = static_cast<uint16_t>(*index);
    if (join != std::string_view::npos) {
        const std::optional<unsigned> sub = ParseHexPart(text.substr(join + 1), kSubDigits);
        if (!sub) {
            return std::nullopt;
        }
        target.subindex = static_cast<uint8_t>(*sub);
        target.subindex_given = true;
    }
    return target;
}

// A found entry, of `object` when known.
Target TargetOfEntry(const DeviceModel& model, const Object* object, const Entry& entry)
{
    Target target;
    target.index = entry.index;
    target.subindex = entry.subindex;
    target.object = object != nullptr ? object : model.FindObject(entry.index);
    target.subindex_given = target.object == nullptr || target.object->HasSubs();
    target.entry = &entry;
    return target;
}

// A found object: its entry for a VAR, else the object alone.
Target TargetOfObject(const Object& object)
{
    Target target;
    target.index = object.index;
    target.object = &object;
    if (!object.HasSubs()) {
        target.entry = &object.own;
    }
    return target;
}

std::string Describe(const DeviceModel& model, const Target& target)
{
    if (target.entry != nullptr) {
        return DescribeEntry(model, *target.entry);
    }
    return IndexText(target.index) + " " + (target.object != nullptr ? target.object->Name() : std::string());
}

bool SameTarget(const Target& a, const Target& b)
{
    return a.index == b.index && (a.entry == nullptr) == (b.entry == nullptr) &&
           (a.entry == nullptr || a.subindex == b.subindex);
}

void AddUnique(std::vector<Target>& list, const Target& target)
{
    if (std::none_of(list.begin(), list.end(), [&](const Target& t) { return SameTarget(t, target); })) {
        list.push_back(target);
    }
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix)
{
    return prefix.size() <= text.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

enum class Match : uint8_t { None, Prefix, Exact };

Match MatchName(std::string_view name, std::string_view argument)
{
    if (EqualsNoCase(name, argument)) {
        return Match::Exact;
    }
    return StartsWithNoCase(name, argument) ? Match::Prefix : Match::None;
}

// How `argument` matches "object/sub" split at any of its '/'.
Match MatchPath(std::string_view object_name, std::string_view sub_name, std::string_view argument)
{
    Match best = Match::None;
    for (std::size_t slash = argument.find('/'); slash != std::string_view::npos;
         slash = argument.find('/', slash + 1)) {
        const Match left = MatchName(object_name, Trim(argument.substr(0, slash)));
        const Match right = MatchName(sub_name, Trim(argument.substr(slash + 1)));
        if (left == Match::None || right == Match::None) {
            continue;
        }
        const Match both = (left == Match::Exact && right == Match::Exact) ? Match::Exact : Match::Prefix;
        best = std::max(best, both);
    }
    return best;
}

std::optional<Target> OneOf(const DeviceModel& model, const std::vector<Target>& found, std::string_view argument,
                            std::string& error)
{
    constexpr std::size_t kNamed = 8;
    if (found.size() == 1) {
        return found.front();
    }
    error = Quoted(argument) + " is ambiguous: ";
    for (std::size_t i = 0; i < found.size() && i < kNamed; ++i) {
        error += (i > 0 ? "; " : "") + Describe(model, found[i]);
    }
    if (found.size() > kNamed) {
        error += "; and " + std::to_string(found.size() - kNamed) + " more";
    }
    return std::nullopt;
}

}  // namespace

std::string DescribeEntry(const DeviceModel& model, const Entry& entry)
{
    const Object* object = model.FindObject(entry.index);
    if (object != nullptr && object->HasSubs()) {
        return EntryKey(entry.index, entry.subindex) + " " + object->Name() + "/" + entry.name;
    }
    return IndexText(entry.index) + " " + entry.name;
}

std::optional<Target> Resolve(const DeviceModel* model, std::string_view argument, std::string& error)
{
    const std::string_view text = Trim(argument);
    if (text.empty()) {
        error = "no object given";
        return std::nullopt;
    }
    // A name exactly as written first, so that no name is shadowed by the
    // numbers (a parameter called "ADC1").
    if (model != nullptr) {
        std::vector<Target> found;
        for (const Entry* entry : model->FindEntries(text)) {
            AddUnique(found, TargetOfEntry(*model, nullptr, *entry));
        }
        for (const Object* object : model->FindObjects(text)) {
            AddUnique(found, TargetOfObject(*object));
        }
        if (!found.empty()) {
            return OneOf(*model, found, text, error);
        }
    }
    if (std::optional<Target> numbers = ParseIndexSub(text)) {
        if (model != nullptr) {
            numbers->object = model->FindObject(numbers->index);
            if (numbers->subindex_given || (numbers->object != nullptr && !numbers->object->HasSubs())) {
                numbers->entry = model->FindEntry(numbers->index, numbers->subindex);
            }
        }
        return numbers;
    }
    if (model == nullptr) {
        error = Quoted(text) +
                " is no INDEX[:SUB] (hex, as 1018:01 or 0x1017), and without a device file "
                "objects have no names";
        return std::nullopt;
    }
    std::vector<Target> exact;
    std::vector<Target> prefixed;
    const bool has_slash = text.find('/') != std::string_view::npos;
    const auto consider = [&](Match match, const Target& target) {
        if (match == Match::Exact) {
            AddUnique(exact, target);
        } else if (match == Match::Prefix) {
            AddUnique(prefixed, target);
        }
    };
    for (const Object& object : model->Objects()) {
        consider(MatchName(object.Name(), text), TargetOfObject(object));
        if (!object.HasSubs()) {
            continue;
        }
        for (const Entry& entry : object.subs) {
            const Target target = TargetOfEntry(*model, &object, entry);
            consider(MatchName(entry.name, text), target);
            if (has_slash) {
                consider(MatchPath(object.Name(), entry.name, text), target);
            }
        }
    }
    if (!exact.empty()) {
        return OneOf(*model, exact, text, error);
    }
    if (!prefixed.empty()) {
        return OneOf(*model, prefixed, text, error);
    }
    error = "no object " + Quoted(text) + " in the device file";
    return std::nullopt;
}

}  // namespace vexan::od
