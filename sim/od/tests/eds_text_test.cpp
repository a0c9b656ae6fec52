// The text splitter, the number evaluator and object building on small
// written-out EDS fragments.
#include "object_dictionary.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>

namespace vexsim {
namespace {

std::vector<uint8_t> Bytes(std::string_view text)
{
    return {text.begin(), text.end()};
}

TEST(EdsText, SplitsSectionsKeysAndValuesWhateverTheLineEnds)
{
    const std::string text =
        "; leading comment\r\n"
        "[DeviceInfo]\r\n"
        "  VendorName =  Acme Widgets  \r\n"
        "stray line without equals\r\n"
        "\r\n"
        "[1a00sub1]\n"
        ";DefaultValue=commented out\n"
        "DefaultValue=0x60000108\r\n"
        "Empty=\n"
        "[1018] \n"
        "SubNumber=5";  // no final newline
    const EdsText eds = EdsText::Parse(text);

    EXPECT_EQ(eds.Sections(), (std::vector<std::string>{"DeviceInfo", "1a00sub1", "1018"}));
    EXPECT_EQ(eds.Value("deviceinfo", "VENDORNAME"), "Acme Widgets");
    EXPECT_EQ(eds.Value("1A00SUB1", "defaultvalue"), "0x60000108");  // no CR, comment skipped
    EXPECT_EQ(eds.Value("1a00sub1", "Empty"), "");
    EXPECT_EQ(eds.Value("1018", "SubNumber"), "5");
    EXPECT_TRUE(eds.HasSection("1A00Sub1"));
    EXPECT_FALSE(eds.HasSection("1A00"));
    EXPECT_EQ(eds.Value("1018", "ParameterName"), std::nullopt);
    EXPECT_EQ(eds.Value("Missing", "SubNumber"), std::nullopt);
}

TEST(EdsText, RepeatedSectionContinuesTheFirstAndFirstKeyWins)
{
    const EdsText eds = EdsText::Parse("[1000]\nA=1\n[2000]\nB=2\n[1000]\nA=3\nC=4\n");
    EXPECT_EQ(eds.Sections(), (std::vector<std::string>{"1000", "2000"}));
    EXPECT_EQ(eds.Value("1000", "A"), "1");
    EXPECT_EQ(eds.Value("1000", "C"), "4");
}

struct NumberCase {
    const char* text;
    std::optional<uint64_t> expected;
};

TEST(EvaluateEdsNumber, AcceptsTheWrittenFormsForNode5)
{
    const std::vector<NumberCase> cases = {
        {"0", 0},
        {"128", 128},
        {"0x80", 0x80},
        {"0X1a", 0x1A},
        {"017", 15},  // leading 0 is octal
        {"  42\r", 42},
        {"0xFFFFFFFFFFFFFFFF", UINT64_MAX},
        {"-1", UINT64_MAX},
        {"-128", static_cast<uint64_t>(-128)},
        {"$NODEID", 5},
        {"$NODEID+0x180", 0x185},
        {"$NODEID+0x80000400", 0x80000405},
        {"0x80+$NODEID", 0x85},
        {"0xC0000180+$NODEID", 0xC0000185},
        {"$NodeID + 512", 517},
        {"$NODEID +0x80", 0x85},
        {"1280+$NODEID", 1285},
        {"$nodeid+0x00000200", 0x205},
        {"", std::nullopt},
        {"   ", std::nullopt},
        {"0x", std::nullopt},
        {"08", std::nullopt},  // 8 is no octal digit
        {"12abc", std::nullopt},
        {"0x1G", std::nullopt},
        {"$NODEID+", std::nullopt},
        {"$NODE+1", std::nullopt},
        {"0x10000000000000000", std::nullopt},  // more than 64 bits
        {"18446744073709551616", std::nullopt},
    };
    for (const NumberCase& c : cases) {
        EXPECT_EQ(EvaluateEdsNumber(c.text, 5), c.expected) << "'" << c.text << "'";
    }
}

// One object section per line of the table, then the entry it produced.
TEST(ParseEds, ConvertsValuesToTheBytesOfTheirType)
{
    const std::string text =
        "[2001]\nDataType=0x0005\nAccessType=rw\nDefaultValue=0x1FF\n"        // too large: truncated
        "[2002]\nDataType=0x0003\nAccessType=ro\nDefaultValue=-2\n"           // signed negative
        "[2003]\nDataType=0x0002\nAccessType=ro\nDefaultValue=0xFF\n"         // raw bit pattern
        "[2004]\nDataType=0x0007\nAccessType=ro\n"                            // missing: zeros
        "[2005]\nDataType=0x0008\nAccessType=ro\nDefaultValue=1.5\n"          // Real32
        "[2006]\nDataType=0x0011\nAccessType=ro\nDefaultValue=-0.25\n"        // Real64
        "[2007]\nDataType=0x0009\nAccessType=ro\nDefaultValue=Hello World\n"  // text kept
        "[2008]\nDataType=0x000A\nAccessType=ro\nDefaultValue=C83DBB\n"       // hex octets
        "[2009]\nDataType=0x000F\nAccessType=rw\n"                            // empty domain
        "[200A]\nDataType=0x0006\nAccessType=rw\nDefaultValue=$NODEID+0x100\n"
        "[200B]\nDataType=0x0006\nAccessType=rw\nDefaultValue=-1\n"  // negative unsigned
        "[200C]\nDataType=0x0015\nAccessType=ro\nDefaultValue=-1234567890123456789\n"
        "[200D]\nDataType=0x0001\nAccessType=ro\nDefaultValue=1\n"
        "[200E]\nDataType=0x0004\nAccessType=ro\nDefaultValue=\n";
    const EdsLoad load = ParseEds(text, 9);
    ASSERT_TRUE(load.ok) << load.error;

    const float real32 = 1.5F;
    const auto real32Bits = std::bit_cast<uint32_t>(real32);
    const auto real64Bits = std::bit_cast<uint64_t>(-0.25);
    const auto int64Bits = static_cast<uint64_t>(int64_t{-1234567890123456789});
    std::vector<uint8_t> real64Bytes(8);
    std::vector<uint8_t> int64Bytes(8);
    for (std::size_t i = 0; i < 8; ++i) {
        real64Bytes[i] = static_cast<uint8_t>(real64Bits >> (8 * i));
        int64Bytes[i] = static_cast<uint8_t>(int64Bits >> (8 * i));
    }
    const std::vector<std::pair<uint16_t, std::vector<uint8_t>>> expected = {
        {0x2001, {0xFF}},
        {0x2002, {0xFE, 0xFF}},
        {0x2003, {0xFF}},
        {0x2004, {0, 0, 0, 0}},
        {0x2005,
         {static_cast<uint8_t>(real32Bits), static_cast<uint8_t>(real32Bits >> 8),
          static_cast<uint8_t>(real32Bits >> 16), static_cast<uint8_t>(real32Bits >> 24)}},
        {0x2006, real64Bytes},
        {0x2007, Bytes("Hello World")},
        {0x2008, {0xC8, 0x3D, 0xBB}},
        {0x2009, {}},
        {0x200A, {0x09, 0x01}},
        {0x200B, {0, 0}},
        {0x200C, int64Bytes},
        {0x200D, {1}},
        {0x200E, {0, 0, 0, 0}},
    };
    for (const auto& [index, bytes] : expected) {
        const ObjectEntry* entry = load.dictionary.Find(index, 0);
        ASSERT_NE(entry, nullptr) << std::hex << index;
        EXPECT_EQ(entry->value, bytes) << std::hex << index;
    }
    // The truncation and the negative unsigned value are reported.
    ASSERT_EQ(load.warnings.size(), 2U);
    EXPECT_NE(load.warnings[0].find("2001"), std::string::npos);
    EXPECT_NE(load.warnings[1].find("200B"), std::string::npos);
}

TEST(ParseEds, ReadsAttributesAndParameterValueWins)
{
    const std::string text =
        "[1017]\nParameterName=Producer heartbeat time\nObjectType=0x7\nDataType=0x0006\n"
        "AccessType=rw\nPDOMapping=0\nDefaultValue=100\nParameterValue=250\n"
        "[1018]\nSubNumber=2\nObjectType=0x9\n"
        "[1018sub0]\nDataType=0x0005\nAccessType=const\nDefaultValue=1\n"
        "[1018Sub1]\nParameterName=Vendor-ID\nDataType=0x0007\nAccessType=ro\nDefaultValue=$NODEID+0x10\n"
        "ParameterValue=0x00000201\n"
        "[6000]\nDataType=0x0005\nAccessType=rww\nPDOMapping=1\nDefaultValue=3\nParameterValue=\n"
        "[6001]\nDataType=0x0005\nAccessType=wo\n";
    const EdsLoad load = ParseEds(text, 1);
    ASSERT_TRUE(load.ok) << load.error;

    const ObjectEntry* heartbeat = load.dictionary.Find(0x1017, 0);
    ASSERT_NE(heartbeat, nullptr);
    EXPECT_EQ(heartbeat->name, "Producer heartbeat time");
    EXPECT_EQ(heartbeat->type, DataType::Unsigned16);
    EXPECT_EQ(heartbeat->access, Access::ReadWrite);
    EXPECT_FALSE(heartbeat->pdoMappable);
    EXPECT_EQ(load.dictionary.ReadUnsigned(0x1017, 0), 250U);

    EXPECT_EQ(load.dictionary.Find(0x1018, 0)->access, Access::Const);
    EXPECT_EQ(load.dictionary.Find(0x1018, 1)->access, Access::ReadOnly);
    EXPECT_EQ(load.dictionary.ReadUnsigned(0x1018, 1), 0x201U);
    EXPECT_EQ(load.dictionary.Find(0x1018, 2), nullptr);  // SubNumber does not invent subs
    // An empty ParameterValue leaves DefaultValue in force.
    EXPECT_EQ(load.dictionary.ReadUnsigned(0x6000, 0), 3U);
    EXPECT_TRUE(load.dictionary.Find(0x6000, 0)->pdoMappable);
    EXPECT_EQ(load.dictionary.Find(0x6000, 0)->access, Access::ReadWrite);
    EXPECT_EQ(load.dictionary.Find(0x6001, 0)->access, Access::WriteOnly);
    EXPECT_EQ(load.dictionary.Entries().size(), 5U);
}

TEST(ParseEds, CompactSubObjectsTakeValuesNamesAndTheObjectDefault)
{
    const std::string text =
        "[1003]\nParameterName=Error field\nObjectType=0x8\nDataType=0x0007\nAccessType=ro\n"
        "CompactSubObj=254\n"
        "[1600]\nParameterName=RPDO mapping\nObjectType=0x9\nDataType=0x0007\nAccessType=rw\n"
        "PDOMapping=0\nDefaultValue=0x11\nCompactSubObj=3\n"
        "[1600Value]\nNrOfEntries=2\n1=0x20010020\n3=$NODEID\n"
        "[1600Name]\nNrOfEntries=1\n2=Second\n";
    const EdsLoad load = ParseEds(text, 7);
    ASSERT_TRUE(load.ok) << load.error;

    const ObjectDictionary& od = load.dictionary;
    EXPECT_EQ(od.ReadUnsigned(0x1600, 0), 3U);
    EXPECT_EQ(od.Find(0x1600, 0)->type, DataType::Unsigned8);
    EXPECT_EQ(od.Find(0x1600, 0)->access, Access::ReadOnly);
    EXPECT_EQ(od.ReadUnsigned(0x1600, 1), 0x20010020U);
    EXPECT_EQ(od.ReadUnsigned(0x1600, 2), 0x11U);  // not in the table: the object's value
    EXPECT_EQ(od.ReadUnsigned(0x1600, 3), 7U);
    EXPECT_EQ(od.Find(0x1600, 4), nullptr);
    EXPECT_EQ(od.Find(0x1600, 2)->name, "Second");
    EXPECT_EQ(od.Find(0x1600, 1)->name, "RPDO mapping1");
    EXPECT_EQ(od.Find(0x1600, 3)->access, Access::ReadWrite);

    EXPECT_EQ(od.ReadUnsigned(0x1003, 0), 254U);
    EXPECT_EQ(od.ReadUnsigned(0x1003, 254), 0U);
    EXPECT_EQ(od.Find(0x1003, 255), nullptr);
    EXPECT_EQ(od.Size(), 4U + 255U);
}

TEST(ParseEds, SkipsWhatItCannotStoreAndSaysWhy)
{
    const std::string text =
        "[2020]\nObjectType=0x7\nDataType=0x40\nAccessType=rw\nDefaultValue=0\n"  // complex type
        "[2021]\nObjectType=0x7\nAccessType=rw\n"                                 // no DataType
        "[2022]\nObjectType=0x9\nSubNumber=1\n"                                   // no subs
        "[3000sub1]\nDataType=0x0005\nAccessType=rw\n"                            // no object section
        "[2023]\nDataType=0x0005\nAccessType=rw\nDefaultValue=12x\n";             // bad number
    const EdsLoad load = ParseEds(text, 1);
    ASSERT_TRUE(load.ok) << load.error;
    EXPECT_EQ(load.dictionary.Size(), 1U);
    EXPECT_EQ(load.dictionary.ReadUnsigned(0x2023, 0), 0U);
    EXPECT_FALSE(load.dictionary.HasIndex(0x2020));
    EXPECT_FALSE(load.dictionary.HasIndex(0x3000));
    ASSERT_EQ(load.warnings.size(), 5U);
    for (const char* section : {"[2020]", "[2021]", "[2022]", "[2023]", "[3000sub1]"}) {
        bool found = false;
        for (const std::string& warning : load.warnings) {
            found = found || warning.starts_with(section);
        }
        EXPECT_TRUE(found) << section;
    }
}

TEST(ParseEds, FailsClearlyWithoutObjects)
{
    for (const char* text : {"", "[DeviceInfo]\nVendorName=x\n[Comments]\nLines=0\n", "[2020]\nDataType=0x40\n"}) {
        const EdsLoad load = ParseEds(text, 1);
        EXPECT_FALSE(load.ok) << text;
        EXPECT_FALSE(load.error.empty()) << text;
    }
    const EdsLoad missing = LoadEds("/nonexistent/dir/device.eds", 1);
    EXPECT_FALSE(missing.ok);
    EXPECT_NE(missing.error.find("/nonexistent/dir/device.eds"), std::string::npos) << missing.error;
}

TEST(ObjectDictionary, ReadsAndWritesFixedValuesLittleEndian)
{
    ObjectDictionary od;
    od.Put({0x2000, 1, "u16", DataType::Unsigned16, Access::ReadWrite, false, {0x34, 0x12}});
    od.Put({0x2000, 2, "text", DataType::VisibleString, Access::ReadWrite, false, Bytes("abc")});
    EXPECT_EQ(od.ReadUnsigned(0x2000, 1), 0x1234U);
    EXPECT_EQ(od.ReadUnsigned(0x2000, 2), std::nullopt);
    EXPECT_EQ(od.ReadUnsigned(0x2000, 3), std::nullopt);

    EXPECT_TRUE(od.WriteUnsigned(0x2000, 1, 0xABCDEF));  // keeps two bytes
    EXPECT_EQ(od.Find(0x2000, 1)->value, (std::vector<uint8_t>{0xEF, 0xCD}));
    EXPECT_FALSE(od.WriteUnsigned(0x2000, 2, 1));
    EXPECT_FALSE(od.WriteUnsigned(0x2001, 0, 1));

    od.Put({0x2000, 1, "replaced", DataType::Unsigned8, Access::ReadOnly, false, {7}});
    EXPECT_EQ(od.Size(), 2U);
    EXPECT_EQ(od.ReadUnsigned(0x2000, 1), 7U);
    EXPECT_TRUE(od.HasIndex(0x2000));
    EXPECT_FALSE(od.HasIndex(0x1FFF));
    EXPECT_FALSE(od.HasIndex(0x2001));
}

}  // namespace
}  // namespace vexsim
