// Data types and the reading of numbers and values.
#include <cfloat>
#include <charconv>
#include <cmath>
#include <limits>

#include "device_model.hpp"
#include "reader_internal.hpp"

namespace vexan::od {

namespace {

struct TypeRow {
    uint16_t code;
    std::string_view name;
    ValueClass value_class;
    unsigned bits;
};

constexpr TypeRow kTypes[] = {
    {datatype::kBoolean, "BOOLEAN", ValueClass::Unsigned, 1},
    {datatype::kInteger8, "INTEGER8", ValueClass::Signed, 8},
    {datatype::kInteger16, "INTEGER16", ValueClass::Signed, 16},
    {datatype::kInteger32, "INTEGER32", ValueClass::Signed, 32},
    {datatype::kUnsigned8, "UNSIGNED8", ValueClass::Unsigned, 8},
    {datatype::kUnsigned16, "UNSIGNED16", ValueClass::Unsigned, 16},
    {datatype::kUnsigned32, "UNSIGNED32", ValueClass::Unsigned, 32},
    {datatype::kReal32, "REAL32", ValueClass::Real, 32},
    {datatype::kVisibleString, "VISIBLE_STRING", ValueClass::Text, 0},
    {datatype::kOctetString, "OCTET_STRING", ValueClass::Text, 0},
    {datatype::kUnicodeString, "UNICODE_STRING", ValueClass::Text, 0},
    {datatype::kTimeOfDay, "TIME_OF_DAY", ValueClass::Text, 0},
    {datatype::kTimeDifference, "TIME_DIFFERENCE", ValueClass::Text, 0},
    {datatype::kDomain, "DOMAIN", ValueClass::Text, 0},
    {datatype::kInteger24, "INTEGER24", ValueClass::Signed, 24},
    {datatype::kReal64, "REAL64", ValueClass::Real, 64},
    {datatype::kInteger40, "INTEGER40", ValueClass::Signed, 40},
    {datatype::kInteger48, "INTEGER48", ValueClass::Signed, 48},
    {datatype::kInteger56, "INTEGER56", ValueClass::Signed, 56},
    {datatype::kInteger64, "INTEGER64", ValueClass::Signed, 64},
    {datatype::kUnsigned24, "UNSIGNED24", ValueClass::Unsigned, 24},
    {datatype::kUnsigned40, "UNSIGNED40", ValueClass::Unsigned, 40},
    {datatype::kUnsigned48, "UNSIGNED48", ValueClass::Unsigned, 48},
    {datatype::kUnsigned56, "UNSIGNED56", ValueClass::Unsigned, 56},
    {datatype::kUnsigned64, "UNSIGNED64", ValueClass::Unsigned, 64},
};

const TypeRow* RowOf(uint16_t code)
{
    for (const TypeRow& row : kTypes) {
        if (row.code == code) {
            return &row;
        }
    }
    return nullptr;
}

bool IsDigitIn(char c, unsigned base, unsigned& digit)
{
    if (c >= '0' && c <= '9') {
        digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
        digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
        digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
        return false;
    }
    return digit < base;
}

uint64_t MaxOfBits(unsigned bits)
{
    return bits >= 64 ? std::numeric_limits<uint64_t>::max() : (uint64_t{1} << bits) - 1;
}

// A Signed or Unsigned type's value from one literal; false with `why` set
// when it is out of the type's range.
bool IntegerOf(const Literal& literal, ValueClass value_class, unsigned bits, Number& out, std::string& why)
{
    if (value_class == ValueClass::Unsigned) {
        if (literal.negative && literal.magnitude != 0) {
            why = "negative";
            return false;
        }
        if (literal.magnitude > MaxOfBits(bits)) {
            why = "out of range";
            return false;
        }
        out = literal.magnitude;
        return true;
    }
    const uint64_t positive_max = MaxOfBits(bits - 1);  // 2^(bits-1) - 1
    if (literal.negative) {
        if (literal.magnitude > positive_max + 1) {
            why = "out of range";
            return false;
        }
        out = literal.magnitude == positive_max + 1 ? -static_cast<int64_t>(positive_max) - 1
                                                    : -static_cast<int64_t>(literal.magnitude);
        return true;
    }
    if (literal.magnitude <= positive_max) {
        out = static_cast<int64_t>(literal.magnitude);
        return true;
    }
    // Hex and octal numbers within the width are the two's complement.
    if (literal.radix_prefixed && literal.magnitude <= MaxOfBits(bits)) {
        const uint64_t below = MaxOfBits(bits) - literal.magnitude;  // -1 - value
        out = -static_cast<int64_t>(below) - 1;
        return true;
    }
    why = "out of range";
    return false;
}

bool IsNodeId(std::string_view term)
{
    return EqualsNoCase(term, "$NODEID");
}

}  // namespace

ValueClass ClassOf(uint16_t data_type)
{
    const TypeRow* row = RowOf(data_type);
    return row != nullptr ? row->value_class : ValueClass::Unknown;
}

unsigned BitsOf(uint16_t data_type)
{
    const TypeRow* row = RowOf(data_type);
    return row != nullptr ? row->bits : 0;
}

std::string_view DataTypeName(uint16_t data_type)
{
    const TypeRow* row = RowOf(data_type);
    return row != nullptr ? row->name : std::string_view{};
}

std::string_view ObjectTypeName(ObjectType type)
{
    switch (type) {
    case ObjectType::Null:
        return "NULL";
    case ObjectType::Domain:
        return "DOMAIN";
    case ObjectType::DefType:
        return "DEFTYPE";
    case ObjectType::DefStruct:
        return "DEFSTRUCT";
    case ObjectType::Var:
        return "VAR";
    case ObjectType::Array:
        return "ARRAY";
    case ObjectType::Record:
        return "RECORD";
    }
    return "VAR";
}

std::string_view AccessName(Access access)
{
    switch (access) {
    case Access::Ro:
        return "ro";
    case Access::Wo:
        return "wo";
    case Access::Rw:
        return "rw";
    case Access::Rwr:
        return "rwr";
    case Access::Rww:
        return "rww";
    case Access::Const:
        return "const";
    }
    return "ro";
}

char LowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) {
            return false;
        }
    }
    return true;
}

std::string_view Trim(std::string_view text)
{
    std::size_t from = 0;
    std::size_t to = text.size();
    while (from < to && (text[from] == ' ' || text[from] == '\t')) {
        ++from;
    }
    while (to > from && (text[to - 1] == ' ' || text[to - 1] == '\t')) {
        --to;
    }
    return text.substr(from, to - from);
}

std::optional<Literal> ParseLiteral(std::string_view text)
{
    Literal literal;
    std::size_t at = 0;
    if (at < text.size() && (text[at] == '-' || text[at] == '+')) {
        literal.negative = text[at] == '-';
        ++at;
    }
    unsigned base = 10;
    if (text.size() - at >= 2 && text[at] == '0' && (text[at + 1] == 'x' || text[at + 1] == 'X')) {
        base = 16;
        at += 2;
        literal.radix_prefixed = true;
    } else if (text.size() - at >= 2 && text[at] == '0') {
        base = 8;
        ++at;
        literal.radix_prefixed = true;
    }
    if (at >= text.size()) {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (; at < text.size(); ++at) {
        unsigned digit = 0;
        if (!IsDigitIn(text[at], base, digit)) {
            return std::nullopt;
        }
        if (value > (std::numeric_limits<uint64_t>::max() - digit) / base) {
            return std::nullopt;
        }
        value = value * base + digit;
    }
    literal.magnitude = value;
    return literal;
}

std::optional<uint64_t> ParseUnsigned(std::string_view text)
{
    const std::optional<Literal> literal = ParseLiteral(Trim(text));
    if (!literal || literal->negative) {
        return std::nullopt;
    }
    return literal->magnitude;
}

bool ParseValue(std::string_view raw, std::optional<uint16_t> data_type, Value& value, std::string& why)
{
    const std::string_view text = Trim(raw);
    value.text.assign(text);
    value.node_relative = false;
    value.number.reset();
    const ValueClass value_class = data_type ? ClassOf(*data_type) : ValueClass::Unknown;
    if (value_class == ValueClass::Text) {
        value.state = Value::State::Valid;
        return true;
    }
    if (text.empty()) {
        value.state = Value::State::Absent;
        return true;
    }
    // Terms joined by '+': at most one $NODEID and one number. A '+' that
    // starts the text or follows 'e' in a real is a sign, not a join.
    std::string_view number_text;
    bool node = false;
    bool many = false;
    std::size_t start = 0;
    for (std::size_t at = 0; at <= text.size(); ++at) {
        const bool exponent_sign = value_class == ValueClass::Real && at > 0 && LowerAscii(text[at - 1]) == 'e';
        const bool join =
            at == text.size() || (text[at] == '+' && !Trim(text.substr(start, at - start)).empty() && !exponent_sign);
        if (!join) {
            continue;
        }
        const std::string_view term = Trim(text.substr(start, at - start));
        if (IsNodeId(term)) {
            many = many || node;
            node = true;
        } else {
            many = many || !number_text.empty() || term.empty();
            number_text = term;
        }
        start = at + 1;
    }
    value.state = Value::State::Invalid;
    if (many) {
        why = "not a number, or a number plus $NODEID";
        return false;
    }
    if (node && number_text.empty()) {
        number_text = "0";
    }
    if (value_class == ValueClass::Real) {
        if (node) {
            why = "$NODEID in a real number";
            return false;
        }
        double real = 0;
        if (const std::optional<Literal> literal = ParseLiteral(number_text); literal && literal->radix_prefixed) {
            real = static_cast<double>(literal->magnitude);
            real = literal->negative ? -real : real;
        } else {
            const char* first = number_text.data();
            const char* last = first + number_text.size();
            if (first != last && *first == '+') {
                ++first;
            }
            const auto [end, error] = std::from_chars(first, last, real);
            if (error != std::errc{} || end != last || first == last) {
                why = "not a real number";
                return false;
            }
        }
        if (*data_type == datatype::kReal32 && std::isfinite(real) && std::fabs(real) > FLT_MAX) {
            why = "out of range";
            return false;
        }
        value.number = real;
        value.state = Value::State::Valid;
        return true;
    }
    const std::optional<Literal> literal = ParseLiteral(number_text);
    if (value_class == ValueClass::Unknown) {
        // A type the model does not know: a number when it reads as one.
        if (literal && !node) {
            if (literal->negative && literal->magnitude <= uint64_t{1} << 63) {
                value.number = literal->magnitude == uint64_t{1} << 63 ? std::numeric_limits<int64_t>::min()
                                                                       : -static_cast<int64_t>(literal->magnitude);
            } else if (!literal->negative) {
                value.number = literal->magnitude;
            }
        } else if (literal && node && !literal->negative) {
            value.number = literal->magnitude;
            value.node_relative = true;
        }
        value.state = Value::State::Valid;
        return true;
    }
    if (!literal) {
        why = "not a number";
        return false;
    }
    Number number;
    if (!IntegerOf(*literal, value_class, BitsOf(*data_type), number, why)) {
        return false;
    }
    value.number = number;
    value.node_relative = node;
    value.state = Value::State::Valid;
    return true;
}

std::optional<Number> Value::Evaluate(uint8_t node) const
{
    if (state != State::Valid || !number) {
        return std::nullopt;
    }
    if (!node_relative) {
        return number;
    }
    if (const auto* u = std::get_if<uint64_t>(&*number)) {
        return Number{*u + node};
    }
    if (const auto* s = std::get_if<int64_t>(&*number)) {
        return *s > std::numeric_limits<int64_t>::max() - node ? Number{*s} : Number{*s + node};
    }
    return number;
}

}  // namespace vexan::od
