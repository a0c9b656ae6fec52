// The ten real EDS/DCF files kept beside the project: each loads, and the
// facts known about each file show in the dictionary built for node 5.
#include "object_dictionary.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#ifndef VEXAN_EDS_DIR
#define VEXAN_EDS_DIR ""
#endif

namespace vexsim {
namespace {

constexpr uint8_t kNode = 5;

struct NumberFact {
    uint16_t index;
    uint8_t subIndex;
    std::optional<uint64_t> value;  // nullopt: the entry must be absent
};

struct TextFact {
    uint16_t index;
    uint8_t subIndex;
    std::string value;
};

struct FileCase {
    std::string file;
    std::size_t rpdoCount;  // RPDO / TPDO communication objects with a COB-ID
    std::size_t tpdoCount;
    std::vector<NumberFact> numbers;
    std::vector<TextFact> texts = {};
    std::optional<uint32_t> vendorNumber = std::nullopt;
};

const std::vector<FileCase>& Files()
{
    static const std::vector<FileCase> files = {
        {"canopennode_demodevice.eds",
         4,
         4,
         {{0x1005, 0, 0x80},
          {0x1014, 0, 0x85},
          {0x1400, 1, 0x205},
          {0x1402, 1, 0x80000405},
          {0x1803, 1, 0xC0000485},
          {0x1A00, 1, 0x60000108}},
         {{0x1008, 0, ""}, {0x2122, 0, ""}},  // empty string and empty domain
         0},
        {"python_canopen_sample.eds",
         4,
         4,
         {{0x1005, 0, std::nullopt},
          {0x1014, 0, std::nullopt},
          {0x1400, 1, 0x205},
          {0x1403, 1, 0x505},
          {0x1A00, 0, 1},
          {0x1A00, 1, 1614872592},
          {0x1018, 1, 1},
          {0x3010, 0, 0}},
         {{0x1008, 0, "TEST DEVICE"}},
         1},
        {"lely_coapp_fiber_slave.dcf",
         1,
         2,
         {{0x1000, 0, 0},
          {0x1005, 0, 0x80},
          {0x1014, 0, 0x85},
          {0x1400, 1, 0x181},
          {0x1800, 1, 0x185},
          {0x1801, 1, 0x285},
          {0x1600, 0, 1},
          {0x1600, 1, 0x20010020},
          {0x1600, 2, std::nullopt},
          {0x1A00, 1, 0x20020020},
          {0x1A01, 0, 0xFE},
          {0x1A01, 1, std::nullopt}},
         {},
         0x360},
        {"ros2_canopen_simple_slave_no_eof_newline.eds",
         1,
         1,
         {{0x1005, 0, 0x80},
          {0x1014, 0, 0x85},
          {0x1017, 0, 0},
          {0x1003, 0, 254},
          {0x1003, 254, 0},
          {0x1400, 1, 0x205},
          {0x1600, 1, 0x40000020},
          {0x1A00, 1, 0x40010020},
          {0x4002, 0, 0}},
         {},
         0x360},
        {"pilz_prbt_0_1.dcf",
         2,
         4,
         {{0x1005, 0, 0x80},
          {0x1014, 0, 0x85},
          {0x1400, 1, 0x205},
          {0x1800, 1, 0x185},
          {0x1801, 1, 0x285},
          {0x1600, 0, 3}}},  // ParameterValue 3 over DefaultValue 2
        {"technosoft_isd860.eds",
         4,
         4,
         {{0x1005, 0, 0x80},
          {0x1014, 0, 0x85},
          {0x1400, 1, 0x205},
          {0x1403, 1, 0x505},
          {0x1801, 1, 0x285},
          {0x1A00, 1, 0x60410010}},
         {},
         419},
        // A DCF resolved for node 1: its ParameterValues win over the node-5
        // DefaultValues, including a bit-31 default turned into a valid ID.
        {"maxon_epos4_50_15_node1.dcf",
         4,
         4,
         {{0x1005, 0, 0x80},
          {0x1014, 0, 0x81},
          {0x1400, 1, 0x201},
          {0x1403, 1, 0x501},
          {0x1801, 1, 0x281},
          {0x1600, 0, 2}},
         {{0x1008, 0, "EPOS4"}},
         0xFB},
        {"systec_sysworxx_iox1_16di_8do.eds",
         2,
         2,
         {{0x1005, 0, 0x80},
          {0x1014, 0, 0x85},
          {0x1401, 1, 0x80000305},
          {0x1801, 1, 0x80000285},
          {0x1A00, 1, 0x60000108}},
         {{0x1008, 0, "CANopen IO-X1"}},
         63},
        {"oresat_c3_app_control.eds",
         50,
         16,
         {{0x1014, 0, 0x85},
          {0x1400, 1, 0x181},
          {0x1431, 1, 0x3D0},
          {0x1800, 1, 0xC0000185},
          {0x180F, 1, 0xC0000485},
          {0x1600, 0, 8},
          {0x1600, 8, 0}},
         {{0x1008, 0, "OreSat Node"}}},
        {"canfestival_ds401_slave_gui.eds",
         2,
         3,
         {{0x1005, 0, 128}, {0x1014, 0, std::nullopt}, {0x1400, 1, 0x205}, {0x1801, 1, 0x285}, {0x1A00, 1, 1610613000}},
         {},
         0x175},
    };
    return files;
}

// Keeps the test names short: a file case prints as its file name.
void PrintTo(const FileCase& c, std::ostream* out)
{
    *out << c.file;
}

class EdsFile : public testing::TestWithParam<FileCase> {};

std::size_t CountPdos(const ObjectDictionary& od, uint16_t base)
{
    std::size_t count = 0;
    for (uint16_t index = base; index < base + 0x200; ++index) {
        count += od.Find(index, 1) != nullptr ? 1 : 0;
    }
    return count;
}

TEST_P(EdsFile, LoadsWithTheKnownFacts)
{
    const std::filesystem::path dir = VEXAN_EDS_DIR;
    if (dir.empty() || !std::filesystem::is_directory(dir)) {
        GTEST_SKIP() << "EDS folder not found: '" << VEXAN_EDS_DIR << "'";
    }
    const FileCase& c = GetParam();
    const EdsLoad load = LoadEds((dir / c.file).string(), kNode);
    ASSERT_TRUE(load.ok) << load.error;
    for (const std::string& warning : load.warnings) {
        std::cout << "  note: " << warning << "\n";
    }

    EXPECT_EQ(CountPdos(load.dictionary, 0x1400), c.rpdoCount);
    EXPECT_EQ(CountPdos(load.dictionary, 0x1800), c.tpdoCount);
    for (const NumberFact& fact : c.numbers) {
        SCOPED_TRACE(testing::Message() << std::hex << fact.index << "sub" << int{fact.subIndex});
        if (!fact.value) {
            EXPECT_EQ(load.dictionary.Find(fact.index, fact.subIndex), nullptr);
        } else {
            EXPECT_EQ(load.dictionary.ReadUnsigned(fact.index, fact.subIndex), fact.value);
        }
    }
    for (const TextFact& fact : c.texts) {
        const ObjectEntry* entry = load.dictionary.Find(fact.index, fact.subIndex);
        ASSERT_NE(entry, nullptr) << std::hex << fact.index;
        EXPECT_EQ(std::string(entry->value.begin(), entry->value.end()), fact.value) << std::hex << fact.index;
    }
    if (c.vendorNumber) {
        EXPECT_EQ(load.info.vendorNumber, *c.vendorNumber);
    }

    // Every fixed-size entry has exactly its type's size, and no value carries
    // a line-end byte from a CR LF file.
    for (const ObjectEntry* entry : load.dictionary.Entries()) {
        SCOPED_TRACE(testing::Message() << std::hex << entry->index << "sub" << int{entry->subIndex});
        if (SizeOf(entry->type) != 0) {
            EXPECT_EQ(entry->value.size(), SizeOf(entry->type));
        } else if (entry->type == DataType::VisibleString) {
            EXPECT_EQ(std::find(entry->value.begin(), entry->value.end(), '\r'), entry->value.end());
        }
    }
}

std::string CaseName(const testing::TestParamInfo<FileCase>& info)
{
    std::string name = info.param.file;
    for (char& c : name) {
        if ((c < 'a' || c > 'z') && (c < 'A' || c > 'Z') && (c < '0' || c > '9')) {
            c = '_';
        }
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(RealFiles, EdsFile, testing::ValuesIn(Files()), CaseName);

// The section-name traps: lowercase hex and "Sub" both address the object.
TEST(EdsFileText, LowercaseAndMixedCaseSectionsAreFound)
{
    const std::filesystem::path dir = VEXAN_EDS_DIR;
    if (dir.empty() || !std::filesystem::is_directory(dir)) {
        GTEST_SKIP() << "EDS folder not found: '" << VEXAN_EDS_DIR << "'";
    }
    const EdsLoad load = LoadEds((dir / "python_canopen_sample.eds").string(), kNode);
    ASSERT_TRUE(load.ok) << load.error;
    EXPECT_TRUE(load.text.HasSection("1A00sub1"));
    EXPECT_EQ(load.text.Value("1A00SUB1", "DefaultValue"), "1614872592");
    const ObjectEntry* real = load.dictionary.Find(0x3010, 0);
    ASSERT_NE(real, nullptr);
    EXPECT_EQ(real->type, DataType::Real32);
    EXPECT_TRUE(real->pdoMappable);
}

// A file cut anywhere (a transfer or a write that stopped short) still gives
// a consistent dictionary or a clear failure.
TEST(EdsFileText, EveryTruncationOfAFileLoadsConsistently)
{
    const std::filesystem::path dir = VEXAN_EDS_DIR;
    if (dir.empty() || !std::filesystem::is_directory(dir)) {
        GTEST_SKIP() << "EDS folder not found: '" << VEXAN_EDS_DIR << "'";
    }
    std::ifstream file(dir / "lely_coapp_fiber_slave.dcf", std::ios::binary);
    const std::string whole{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    ASSERT_GT(whole.size(), 1000U);
    std::size_t loaded = 0;
    for (std::size_t length = 0; length <= whole.size(); ++length) {
        const EdsLoad load = ParseEds(std::string_view(whole).substr(0, length), kNode);
        EXPECT_EQ(load.ok, load.dictionary.Size() > 0) << length;
        EXPECT_EQ(load.ok, load.error.empty()) << length;
        for (const ObjectEntry* entry : load.dictionary.Entries()) {
            if (SizeOf(entry->type) != 0) {
                ASSERT_EQ(entry->value.size(), SizeOf(entry->type)) << length;
            }
        }
        loaded += load.ok ? 1 : 0;
    }
    EXPECT_GT(loaded, whole.size() / 2);
}

}  // namespace
}  // namespace vexsim
