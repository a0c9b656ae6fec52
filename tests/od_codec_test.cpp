// The typed value codec of the device model: text to bytes and back for every
// basic type, ranges, limits (with $NODEID), access, the short type names, and
// finding entries by name, path, prefix or index:sub.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "codec.hpp"
#include "device_model.hpp"

namespace {

namespace dt = vexan::od::datatype;
using vexan::od::DeviceModel;
using vexan::od::Entry;
using vexan::od::FormatOptions;
using vexan::od::Target;
using vexan::od::TypedValue;

std::string Hex(const std::vector<uint8_t>& bytes)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (uint8_t b : bytes) {
        out += out.empty() ? "" : " ";
        out += kDigits[b >> 4U];
        out += kDigits[b & 0xFU];
    }
    return out;
}

std::vector<uint8_t> Bytes(const std::string& hex)
{
    std::vector<uint8_t> out;
    for (std::size_t at = 0; at + 1 < hex.size();) {
        if (hex[at] == ' ') {
            ++at;
            continue;
        }
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(at, 2), nullptr, 16)));
        at += 2;
    }
    return out;
}

struct EncodeCase {
    const char* type;  // a short type name
    std::string text;
    const char* bytes;  // expected bytes in hex, or nullptr when refused
    const char* error;  // a part of the refusal's message
};

TEST(OdCodec, EncodesTextOfEveryBasicTypeAndRefusesWhatDoesNotFit)
{
    const std::vector<EncodeCase> cases = {
        {"bool", "true", "01", ""},
        {"b", "FALSE", "00", ""},
        {"bool", "1", "01", ""},
        {"bool", "2", nullptr, "outside BOOLEAN (0..1)"},
        {"u8", "255", "FF", ""},
        {"u8", " 0x10 ", "10", ""},
        {"u8", "256", nullptr, "outside UNSIGNED8 (0..255)"},
        {"u8", "-1", nullptr, "outside UNSIGNED8"},
        {"u8", "-0", "00", ""},
        {"u8", "010", "0A", ""},  // decimal, not octal
        {"u16", "4660", "34 12", ""},
        {"u16", "12x", nullptr, "not a number"},
        {"u16", "", nullptr, "not a number"},
        {"u16", "0x", nullptr, "not a number"},
        {"u24", "16777215", "FF FF FF", ""},
        {"u24", "16777216", nullptr, "outside UNSIGNED24"},
        {"u32", "4294967295", "FF FF FF FF", ""},
        {"u32", "4294967296", nullptr, "outside UNSIGNED32"},
        {"u40", "1099511627775", "FF FF FF FF FF", ""},
        {"u40", "1099511627776", nullptr, "outside UNSIGNED40"},
        {"u48", "0x010203040506", "06 05 04 03 02 01", ""},
        {"u56", "72057594037927936", nullptr, "outside UNSIGNED56"},
        {"u64", "18446744073709551615", "FF FF FF FF FF FF FF FF", ""},
        {"u64", "18446744073709551616", nullptr, "outside UNSIGNED64"},
        {"x16", "0xBEEF", "EF BE", ""},
        {"i8", "-128", "80", ""},
        {"i8", "127", "7F", ""},
        {"i8", "128", nullptr, "outside INTEGER8 (-128..127)"},
        {"i8", "-129", nullptr, "outside INTEGER8"},
        {"i8", "0xFF", "FF", ""},  // hex within the width: two's complement
        {"i8", "0x100", nullptr, "outside INTEGER8"},
        {"i16", "-2", "FE FF", ""},
        {"i24", "-8388608", "00 00 80", ""},
        {"i24", "8388608", nullptr, "outside INTEGER24"},
        {"i32", "+7", "07 00 00 00", ""},
        {"i40", "-1", "FF FF FF FF FF", ""},
        {"i48", "-140737488355329", nullptr, "outside INTEGER48"},
        {"i56", "36028797018963967", "FF FF FF FF FF FF 7F", ""},
        {"i64", "-9223372036854775808", "00 00 00 00 00 00 00 80", ""},
        {"i64", "9223372036854775808", nullptr, "outside INTEGER64"},
        {"i64", "0xFFFFFFFFFFFFFFFF", "FF FF FF FF FF FF FF FF", ""},
        {"r32", "1.5", "00 00 C0 3F", ""},
        {"r32", "-inf", "00 00 80 FF", ""},
        {"r32", "1e39", nullptr, "outside REAL32"},
        {"r32", "1.5x", nullptr, "not a number"},
        {"r64", "1.5", "00 00 00 00 00 00 F8 3F", ""},
        {"r64", "+2", "00 00 00 00 00 00 00 40", ""},
        {"r64", "1e309", nullptr, "outside REAL64"},
        {"string", "Hi there", "48 69 20 74 68 65 72 65", ""},
        {"string", "", "", ""},
        {"string", "a\tb", nullptr, "control character"},
        {"us", "A\xC3\xA9", "41 00 E9 00", ""},
        {"us", "\xF0\x9F\x98\x80", "3D D8 00 DE", ""},  // U+1F600: a surrogate pair
        {"us", "\xFF", nullptr, "not UTF-8"},
        {"us", "\xED\xA0\x80", nullptr, "not UTF-8"},  // an encoded surrogate
        {"hex", "01 02:0a-FF", "01 02 0A FF", ""},
        {"hex", "123", nullptr, "not hex bytes"},
        {"hex", "zz", nullptr, "not hex bytes"},
        {"domain", "", "", ""},
        {"TIME_OF_DAY", "00 01 02 03 04 05", "00 01 02 03 04 05", ""},
        {"time_difference", "00 01", nullptr, "6 bytes, not 2"},
    };
    for (const EncodeCase& c : cases) {
        SCOPED_TRACE(std::string(c.type) + " '" + c.text + "'");
        const std::optional<vexan::od::TypeName> type = vexan::od::TypeByName(c.type);
        ASSERT_TRUE(type.has_value());
        std::string error;
        const std::optional<std::vector<uint8_t>> bytes = vexan::od::EncodeText(type->data_type, c.text, error);
        if (c.bytes == nullptr) {
            EXPECT_FALSE(bytes.has_value()) << Hex(*bytes);
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
        } else {
            ASSERT_TRUE(bytes.has_value()) << error;
            EXPECT_EQ(Hex(*bytes), c.bytes);
        }
    }
}

struct DecodeCase {
    uint16_t type;
    const char* bytes;
    const char* text;  // nullptr when the bytes do not fit
    const char* hex;   // with hex_integers (or "" when the same as text)
};

TEST(OdCodec, DecodesBytesOfEveryBasicTypeToText)
{
    const std::vector<DecodeCase> cases = {
        {dt::kBoolean, "01", "1", "0x01"},
        {dt::kInteger8, "FF", "-1", "0xFF"},
        {dt::kUnsigned16, "34 12", "4660", "0x1234"},
        {dt::kInteger16, "00 80", "-32768", "0x8000"},
        {dt::kInteger24, "00 00 80", "-8388608", "0x800000"},
        {dt::kUnsigned24, "FF FF FF", "16777215", "0xFFFFFF"},
        {dt::kInteger32, "FE FF FF FF", "-2", "0xFFFFFFFE"},
        {dt::kInteger40, "FF FF FF FF FF", "-1", "0xFFFFFFFFFF"},
        {dt::kInteger40, "FF FF FF FF 7F", "549755813887", "0x7FFFFFFFFF"},
        {dt::kUnsigned48, "06 05 04 03 02 01", "1108152157446", "0x010203040506"},
        {dt::kInteger56, "00 00 00 00 00 00 80", "-36028797018963968", "0x80000000000000"},
        {dt::kInteger64, "00 00 00 00 00 00 00 80", "-9223372036854775808", "0x8000000000000000"},
        {dt::kUnsigned64, "FF FF FF FF FF FF FF FF", "18446744073709551615", "0xFFFFFFFFFFFFFFFF"},
        {dt::kReal32, "00 00 C0 3F", "1.5", ""},
        {dt::kReal32, "CD CC CC 3D", "0.1", ""},  // shortest form of the float, not of the double
        {dt::kReal64, "9A 99 99 99 99 99 B9 3F", "0.1", ""},
        {dt::kVisibleString, "48 69", "Hi", ""},
        {dt::kUnicodeString, "41 00 E9 00 3D D8 00 DE", "A\xC3\xA9\xF0\x9F\x98\x80", ""},
        {dt::kUnicodeString, "00 D8 41 00",
         "\xEF\xBF\xBD"
         "A",
         ""},  // a lone surrogate
        {dt::kOctetString, "01 AB", "01 AB", ""},
        {dt::kDomain, "", "", ""},
        {dt::kTimeOfDay, "00 01 02 03 04 05", "00 01 02 03 04 05", ""},
        // Sizes that are not the type's.
        {dt::kUnsigned16, "01", nullptr, ""},
        {dt::kUnsigned16, "01 00 00 00", nullptr, ""},
        {dt::kInteger24, "01 02 03 04", nullptr, ""},
        {dt::kReal64, "00 00 C0 3F", nullptr, ""},
        {dt::kUnicodeString, "41 00 42", nullptr, ""},
        {dt::kTimeDifference, "00", nullptr, ""},
        {0x0020, "00", nullptr, ""},  // PDO_COMMUNICATION_PARAMETER: no basic type
    };
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.type) + " [" + c.bytes + "]");
        std::string error;
        const std::vector<uint8_t> bytes = Bytes(c.bytes);
        const std::optional<std::string> text = vexan::od::DecodeText(c.type, bytes, error);
        if (c.text == nullptr) {
            EXPECT_FALSE(text.has_value()) << *text;
            EXPECT_FALSE(error.empty());
            continue;
        }
        ASSERT_TRUE(text.has_value()) << error;
        EXPECT_EQ(*text, c.text);
        const std::optional<std::string> hex = vexan::od::DecodeText(c.type, bytes, error, FormatOptions{true, " "});
        ASSERT_TRUE(hex.has_value());
        EXPECT_EQ(*hex, *c.hex != '\0' ? c.hex : c.text);
    }
    std::string error;
    EXPECT_EQ(vexan::od::DecodeText(dt::kOctetString, Bytes("01 AB"), error, FormatOptions{false, ""}), "01AB");
    const std::optional<std::string> none = vexan::od::DecodeText(dt::kUnsigned16, Bytes("01"), error);
    EXPECT_FALSE(none.has_value());
    EXPECT_EQ(error, "an UNSIGNED16 is 2 bytes, not 1");
}

// Every integer type's bounds and a value between them survive the trip.
TEST(OdCodec, IntegerBoundsRoundTrip)
{
    const uint16_t types[] = {dt::kInteger8,   dt::kInteger16,  dt::kInteger24,  dt::kInteger32,  dt::kInteger40,
                              dt::kInteger48,  dt::kInteger56,  dt::kInteger64,  dt::kUnsigned8,  dt::kUnsigned16,
                              dt::kUnsigned24, dt::kUnsigned32, dt::kUnsigned40, dt::kUnsigned48, dt::kUnsigned56,
                              dt::kUnsigned64, dt::kBoolean};
    for (const uint16_t type : types) {
        SCOPED_TRACE(std::string(vexan::od::DataTypeName(type)));
        const unsigned bits = vexan::od::BitsOf(type);
        const bool is_signed = vexan::od::ClassOf(type) == vexan::od::ValueClass::Signed;
        std::vector<TypedValue> values;
        if (is_signed) {
            const int64_t max = bits == 64 ? std::numeric_limits<int64_t>::max() : (int64_t{1} << (bits - 1)) - 1;
            values = {TypedValue{-max - 1}, TypedValue{int64_t{-1}}, TypedValue{int64_t{0}}, TypedValue{max}};
        } else {
            const uint64_t max = bits == 64 ? std::numeric_limits<uint64_t>::max() : (uint64_t{1} << bits) - 1;
            values = {TypedValue{uint64_t{0}}, TypedValue{max / 2}, TypedValue{max}};
        }
        for (const TypedValue& value : values) {
            std::string error;
            const auto bytes = vexan::od::Encode(type, value, error);
            ASSERT_TRUE(bytes.has_value()) << error;
            EXPECT_EQ(bytes->size(), vexan::od::WireSize(type));
            const auto back = vexan::od::Decode(type, *bytes, error);
            ASSERT_TRUE(back.has_value()) << error;
            EXPECT_EQ(*back, value);
            // And through the text.
            const std::string text = vexan::od::FormatValue(type, value);
            EXPECT_EQ(vexan::od::EncodeText(type, text, error), bytes) << text;
        }
    }
    // Values of the other kind are checked against the range too.
    std::string error;
    EXPECT_FALSE(vexan::od::Encode(dt::kUnsigned8, TypedValue{int64_t{-1}}, error).has_value());
    EXPECT_FALSE(vexan::od::Encode(dt::kInteger8, TypedValue{uint64_t{128}}, error).has_value());
    EXPECT_FALSE(vexan::od::Encode(dt::kInteger64, TypedValue{uint64_t{1} << 63}, error).has_value());
    EXPECT_FALSE(vexan::od::Encode(dt::kUnsigned16, TypedValue{1.0}, error).has_value());
    EXPECT_FALSE(vexan::od::Encode(dt::kVisibleString, TypedValue{uint64_t{1}}, error).has_value());
    EXPECT_EQ(vexan::od::Encode(dt::kReal32, TypedValue{int64_t{-2}}, error), Bytes("00 00 00 C0"));
    EXPECT_FALSE(vexan::od::Encode(dt::kReal32, TypedValue{1e300}, error).has_value());
}

// A device of its own with limits, one of them node-relative, and every access.
constexpr const char* kLimitsFile = R"([1017]
ParameterName=Producer heartbeat time
ObjectType=0x7
DataType=0x0006
AccessType=rw
LowLimit=100
HighLimit=1000

[2000]
ParameterName=Offset
ObjectType=0x7
DataType=0x0004
AccessType=rww
LowLimit=-50
HighLimit=$NODEID+0x10

[2001]
ParameterName=Gain
ObjectType=0x7
DataType=0x0008
AccessType=rwr
LowLimit=-1.5
HighLimit=2.5

[2002]
ParameterName=Counter
ObjectType=0x7
DataType=0x001B
AccessType=wo
LowLimit=0x8000000000000000
HighLimit=0xFFFFFFFFFFFFFFFF

[2003]
ParameterName=Serial
ObjectType=0x7
DataType=0x0007
AccessType=ro

[2004]
ParameterName=Build
ObjectType=0x7
DataType=0x0009
AccessType=const

[2005]
ParameterName=Signed wide
ObjectType=0x7
DataType=0x0015
AccessType=RW
LowLimit=-9223372036854775808
HighLimit=-1
)";

struct LimitCase {
    uint16_t index;
    const char* text;
    uint8_t node;
    const char* error;  // "" when written
};

TEST(OdCodec, DigitsReadInEitherBaseUpToTheirBound)
{
    using vexan::od::DigitsParse;
    using vexan::od::ParseDigits;
    uint64_t value = 7;
    EXPECT_EQ(ParseDigits("255", 10, 255, value), DigitsParse::Ok);
    EXPECT_EQ(value, 255U);
    EXPECT_EQ(ParseDigits("fF", 16, 255, value), DigitsParse::Ok);
    EXPECT_EQ(value, 255U);
    EXPECT_EQ(ParseDigits("18446744073709551615", 10, UINT64_MAX, value), DigitsParse::Ok);
    EXPECT_EQ(value, UINT64_MAX);
    value = 7;
    EXPECT_EQ(ParseDigits("256", 10, 255, value), DigitsParse::TooLarge);
    EXPECT_EQ(ParseDigits("18446744073709551616", 10, UINT64_MAX, value), DigitsParse::TooLarge);
    EXPECT_EQ(ParseDigits("ff", 10, 255, value), DigitsParse::NotANumber);
    EXPECT_EQ(ParseDigits("", 10, 255, value), DigitsParse::NotANumber);
    // A character that is no digit wins over a number that is too large.
    EXPECT_EQ(ParseDigits("999g", 10, 255, value), DigitsParse::NotANumber);
    EXPECT_EQ(value, 7U);
}

TEST(OdCodec, WritesAreCheckedAgainstTheEntrysLimitsForTheNode)
{
    const DeviceModel model = DeviceModel::Parse(kLimitsFile);
    ASSERT_TRUE(model.Diagnostics().empty()) << model.Diagnostics().front().message;
    const std::vector<LimitCase> cases = {
        {0x1017, "100", 0, ""},
        {0x1017, "1000", 0, ""},
        {0x1017, "99", 0, "99 is below the low limit 100 of Producer heartbeat time"},
        {0x1017, "1001", 0, "1001 is above the high limit 1000 of Producer heartbeat time"},
        {0x1017, "70000", 0, "outside UNSIGNED16"},  // the type's range first
        {0x2000, "-50", 5, ""},
        {0x2000, "-51", 5, "below the low limit -50"},
        {0x2000, "21", 5, ""},  // $NODEID+0x10 for node 5
        {0x2000, "22", 5, "above the high limit 21"},
        {0x2000, "17", 0, "above the high limit 16"},
        {0x2000, "0xFFFFFFFF", 5, ""},  // -1
        {0x2001, "2.5", 0, ""},
        {0x2001, "2.5000001", 0, "above the high limit 2.5"},
        {0x2001, "-1.75", 0, "below the low limit -1.5"},
        {0x2001, "nan", 0, "outside the limits"},
        {0x2002, "18446744073709551615", 0, ""},
        {0x2002, "9223372036854775808", 0, ""},
        {0x2002, "9223372036854775807", 0, "below the low limit 9223372036854775808"},
        {0x2005, "-1", 0, ""},
        {0x2005, "0", 0, "above the high limit -1"},
        {0x2005, "-9223372036854775808", 0, ""},
    };
    for (const LimitCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.index) + " '" + c.text + "' node " + std::to_string(c.node));
        const Entry* entry = model.FindEntry(c.index, 0);
        ASSERT_NE(entry, nullptr);
        std::string error;
        const auto bytes = vexan::od::EncodeForEntry(*entry, c.text, c.node, error);
        if (*c.error == '\0') {
            EXPECT_TRUE(bytes.has_value()) << error;
        } else {
            EXPECT_FALSE(bytes.has_value());
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
        }
    }
}

TEST(OdCodec, ReadOnlyAndConstEntriesRefuseWrites)
{
    const DeviceModel model = DeviceModel::Parse(kLimitsFile);
    const std::vector<std::pair<uint16_t, const char*>> cases = {
        {0x1017, nullptr},
        {0x2000, nullptr},
        {0x2001, nullptr},
        {0x2002, nullptr},
        {0x2003, "Serial is read-only (ro)"},
        {0x2004, "Build is read-only (const)"},
    };
    for (const auto& [index, refusal] : cases) {
        const Entry* entry = model.FindEntry(index, 0);
        ASSERT_NE(entry, nullptr);
        const std::optional<std::string> why = vexan::od::WriteRefusal(*entry);
        if (refusal == nullptr) {
            EXPECT_FALSE(why.has_value()) << index << ": " << *why;
        } else {
            EXPECT_EQ(why, refusal);
        }
    }
}

TEST(OdCodec, TypeNamesMapToDataTypeCodes)
{
    const std::vector<std::tuple<const char*, uint16_t, bool>> cases = {
        {"b", dt::kBoolean, false},        {"bool", dt::kBoolean, false},          {"i8", dt::kInteger8, false},
        {"i16", dt::kInteger16, false},    {"i24", dt::kInteger24, false},         {"i32", dt::kInteger32, false},
        {"i40", dt::kInteger40, false},    {"i48", dt::kInteger48, false},         {"i56", dt::kInteger56, false},
        {"i64", dt::kInteger64, false},    {"u8", dt::kUnsigned8, false},          {"u16", dt::kUnsigned16, false},
        {"u24", dt::kUnsigned24, false},   {"u32", dt::kUnsigned32, false},        {"u40", dt::kUnsigned40, false},
        {"u48", dt::kUnsigned48, false},   {"u56", dt::kUnsigned56, false},        {"u64", dt::kUnsigned64, false},
        {"x8", dt::kUnsigned8, true},      {"x64", dt::kUnsigned64, true},         {"r32", dt::kReal32, false},
        {"r64", dt::kReal64, false},       {"string", dt::kVisibleString, false},  {"vs", dt::kVisibleString, false},
        {"us", dt::kUnicodeString, false}, {"hex", dt::kOctetString, false},       {"os", dt::kOctetString, false},
        {"d", dt::kDomain, false},         {"unsigned16", dt::kUnsigned16, false}, {"REAL64", dt::kReal64, false},
    };
    for (const auto& [name, code, hex] : cases) {
        const auto type = vexan::od::TypeByName(name);
        ASSERT_TRUE(type.has_value()) << name;
        EXPECT_EQ(type->data_type, code) << name;
        EXPECT_EQ(type->hex, hex) << name;
    }
    for (const char* unknown : {"", "u12", "U16", "int", "i"}) {
        EXPECT_FALSE(vexan::od::TypeByName(unknown).has_value()) << unknown;
    }
    EXPECT_EQ(vexan::od::ShortTypeName(dt::kUnsigned16), "u16");
    EXPECT_EQ(vexan::od::ShortTypeName(dt::kOctetString), "hex");
}

std::string RealFile(const char* name)
{
    const char* folder = std::getenv("VEXAN_EDS_DIR");
    return std::string(folder != nullptr ? folder : VEXAN_EDS_DIR) + "/" + name;
}

struct ResolveCase {
    std::string argument;
    int index;  // -1: refused
    int sub;    // -1: the object without a sub-index
    const char* error;
};

TEST(OdCodec, ResolvesNamesPathsPrefixesAndNumbers)
{
    std::string error;
    const std::optional<DeviceModel> model = DeviceModel::Load(RealFile("python_canopen_sample.eds"), &error);
    ASSERT_TRUE(model.has_value()) << error;
    const std::vector<ResolveCase> cases = {
        {"Producer heartbeat time", 0x1017, 0, ""},
        {"producer HEARTBEAT time", 0x1017, 0, ""},
        {"Producer heart", 0x1017, 0, ""},
        {"Identity object/Vendor-ID", 0x1018, 1, ""},
        {"identity object/vendor-id", 0x1018, 1, ""},
        {"Identity/Vendor", 0x1018, 1, ""},
        {"Vendor-ID", 0x1018, 1, ""},
        {"Identity object", 0x1018, -1, ""},
        {"Ident", 0x1018, -1, ""},
        {"0x1017", 0x1017, 0, ""},
        {"1017", 0x1017, 0, ""},
        {"1017h", 0x1017, 0, ""},
        {"1018:1", 0x1018, 1, ""},
        {"0x1018:0x01", 0x1018, 1, ""},
        {"1018/01", 0x1018, 1, ""},
        {"1018", 0x1018, -1, ""},
        {"Number of Entries", -1, 0, "ambiguous: 1400:00 Receive PDO 0 Communication Parameter/Number of Entries"},
        {"Receive PDO", -1, 0, "ambiguous"},
        {"Nothing like this", -1, 0, "no object 'Nothing like this'"},
        {"0x12345", -1, 0, "no object"},
        {"", -1, 0, "no object given"},
    };
    for (const ResolveCase& c : cases) {
        SCOPED_TRACE(c.argument);
        const std::optional<Target> target = vexan::od::Resolve(&*model, c.argument, error);
        if (c.index < 0) {
            EXPECT_FALSE(target.has_value());
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
            continue;
        }
        ASSERT_TRUE(target.has_value()) << error;
        EXPECT_EQ(target->index, c.index);
        ASSERT_NE(target->object, nullptr);
        if (c.sub < 0) {
            EXPECT_EQ(target->entry, nullptr);
            EXPECT_FALSE(target->subindex_given);
        } else {
            ASSERT_NE(target->entry, nullptr);
            EXPECT_EQ(target->entry->subindex, c.sub);
            EXPECT_EQ(target->subindex, c.sub);
        }
    }
    // A number the file does not hold, and numbers without a file.
    const std::optional<Target> absent = vexan::od::Resolve(&*model, "0x6000:2", error);
    ASSERT_TRUE(absent.has_value());
    EXPECT_EQ(absent->object, nullptr);
    EXPECT_EQ(absent->entry, nullptr);
    EXPECT_EQ(absent->index, 0x6000);
    EXPECT_EQ(absent->subindex, 2);
    const std::optional<Target> bare = vexan::od::Resolve(nullptr, "1018:2", error);
    ASSERT_TRUE(bare.has_value());
    EXPECT_EQ(bare->index, 0x1018);
    EXPECT_EQ(bare->subindex, 2);
    EXPECT_TRUE(bare->subindex_given);
    EXPECT_FALSE(vexan::od::Resolve(nullptr, "Producer heartbeat time", error).has_value());
    EXPECT_NE(error.find("INDEX[:SUB]"), std::string::npos) << error;
    EXPECT_EQ(vexan::od::DescribeEntry(*model, *model->FindEntry(0x1018, 1)), "1018:01 Identity object/Vendor-ID");
    EXPECT_EQ(vexan::od::DescribeEntry(*model, *model->FindEntry(0x1017, 0)), "1017 Producer heartbeat time");
}

// A name made only of hex digits is still found by its name.
TEST(OdCodec, NamesAreNotShadowedByNumbers)
{
    const DeviceModel model = DeviceModel::Parse(R"([2000]
ParameterName=ADC1
ObjectType=0x7
DataType=0x0006
AccessType=ro
)");
    std::string error;
    const std::optional<Target> target = vexan::od::Resolve(&model, "ADC1", error);
    ASSERT_TRUE(target.has_value()) << error;
    EXPECT_EQ(target->index, 0x2000);
}

}  // namespace

namespace {

// A PDO's data cut by its mapping: typed from the file, dummies typed by
// their index, a one-bit BOOLEAN, bits of an object the file does not know,
// and a field the data does not reach.
TEST(OdCodec, CutsPdoDataIntoTheFieldsOfItsMapping)
{
    const DeviceModel model = DeviceModel::Parse(R"([2000]
ParameterName=Speed
ObjectType=0x7
DataType=0x0003
AccessType=ro
PDOMapping=1

[2001]
ParameterName=Enabled
ObjectType=0x7
DataType=0x0001
AccessType=ro
PDOMapping=1

[2002]
ParameterName=Position
ObjectType=0x7
DataType=0x0007
AccessType=ro
PDOMapping=1
)");
    const std::vector<uint32_t> mapping = {
        0x20000010,  // Speed, INTEGER16
        0x00050008,  // a dummy UNSIGNED8
        0x20010001,  // Enabled, one bit
        0x30000007,  // seven bits of an unknown object
        0x20020020,  // Position: beyond the data
    };
    const std::vector<uint8_t> data = {0x2E, 0xFB, 0x99, 0x8B};  // -1234, 0x99, 1, 0x45
    const std::vector<vexan::od::MappedField> fields = vexan::od::CutPdo(&model, mapping, data);
    ASSERT_EQ(fields.size(), 5U);
    EXPECT_EQ(fields[0].entry, model.FindEntry(0x2000, 0));
    EXPECT_EQ(fields[0].value, TypedValue{int64_t{-1234}});
    EXPECT_FALSE(fields[0].raw);
    EXPECT_EQ(fields[1].entry, nullptr);
    EXPECT_EQ(fields[1].data_type, dt::kUnsigned8);
    EXPECT_EQ(fields[1].value, TypedValue{uint64_t{0x99}});
    EXPECT_EQ(fields[2].offset, 24U);
    EXPECT_EQ(fields[2].value, TypedValue{uint64_t{1}});
    EXPECT_FALSE(fields[2].raw);
    EXPECT_EQ(fields[3].offset, 25U);
    EXPECT_EQ(fields[3].value, TypedValue{uint64_t{0x45}});
    EXPECT_TRUE(fields[3].raw);
    EXPECT_EQ(Hex(fields[3].bytes), "45");
    EXPECT_TRUE(fields[3].present);
    EXPECT_FALSE(fields[4].present);
    EXPECT_FALSE(fields[4].value.has_value());
    EXPECT_EQ(fields[4].offset, 32U);

    // Without a model only dummies have types; nothing reads past the data.
    const std::vector<vexan::od::MappedField> bare = vexan::od::CutPdo(nullptr, mapping, std::span(data).first(1));
    ASSERT_EQ(bare.size(), 5U);
    EXPECT_FALSE(bare[0].present);
    EXPECT_FALSE(bare[1].present);
    EXPECT_FALSE(bare[0].data_type.has_value());
}

}  // namespace
