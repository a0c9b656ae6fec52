// The device model's reader: the ten real files (counts, chosen entries as
// their JSON lines, device and commissioning facts), values and $NODEID,
// CompactSubObj, the text's forms, lookups, and small malformed files with
// the diagnostics they must give.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "device_model.hpp"
#include "json_text.hpp"

namespace {

using vexan::od::Access;
using vexan::od::AppendString;
using vexan::od::ControlEscapes;
using vexan::od::DeviceModel;
using vexan::od::DiagnosticKind;
using vexan::od::Entry;
using vexan::od::FileKind;
using vexan::od::Number;
using vexan::od::ObjectType;
using vexan::od::Utf8Length;
using vexan::od::Value;

// The real files' folder; VEXAN_EDS_DIR in the environment overrides where
// the build expects it (a checkout whose ../shared lies elsewhere).
std::string RealFile(const char* name)
{
    const char* folder = std::getenv("VEXAN_EDS_DIR");
    return std::string(folder != nullptr ? folder : VEXAN_EDS_DIR) + "/" + name;
}

DeviceModel LoadReal(const char* name)
{
    std::string error;
    std::optional<DeviceModel> model = DeviceModel::Load(RealFile(name), &error);
    if (!model) {
        ADD_FAILURE() << error;
        return DeviceModel::Parse("");
    }
    return std::move(*model);
}

std::string Json(const DeviceModel& model, uint16_t index, uint8_t sub, uint8_t node)
{
    const Entry* entry = model.FindEntry(index, sub);
    if (entry == nullptr) {
        return "(no entry)";
    }
    return vexan::od::EntryJson(*model.FindObject(index), *entry, node);
}

// The JSON line of an entry, keys in their fixed order.
std::string Line(unsigned index, unsigned sub, const std::string& name, const char* type, int datatype,
                 const char* access, bool pdo, const std::string& def, const std::string& param = "null",
                 const std::string& low = "null", const std::string& high = "null")
{
    return "{\"index\":" + std::to_string(index) + ",\"subindex\":" + std::to_string(sub) + ",\"name\":\"" + name +
           "\",\"object_type\":\"" + type + "\",\"datatype\":" + std::to_string(datatype) + ",\"access\":\"" + access +
           "\",\"pdo_mapping\":" + (pdo ? "true" : "false") + ",\"default\":" + def + ",\"parameter_value\":" + param +
           ",\"low_limit\":" + low + ",\"high_limit\":" + high + "}";
}

// ---- The real files ---------------------------------------------------------------

struct EntryFact {
    uint16_t index;
    uint8_t sub;
    std::string json;  // the entry's JSON line for node 5
};

struct RealFileCase {
    const char* file;
    std::size_t objects;
    std::size_t entries;
    bool dcf;
    // The file's own faults: line and kind.
    std::vector<std::pair<unsigned, DiagnosticKind>> diagnostics;
    std::vector<EntryFact> facts;
};

class RealFiles : public testing::TestWithParam<RealFileCase> {};

TEST_P(RealFiles, ReadWholeWithTheirFacts)
{
    const RealFileCase& c = GetParam();
    const DeviceModel model = LoadReal(c.file);
    EXPECT_EQ(model.Objects().size(), c.objects);
    EXPECT_EQ(model.EntryCount(), c.entries);
    EXPECT_EQ(model.IsDcf(), c.dcf);
    std::vector<std::pair<unsigned, DiagnosticKind>> diagnostics;
    for (const auto& d : model.Diagnostics()) {
        diagnostics.emplace_back(d.line, d.kind);
    }
    EXPECT_EQ(diagnostics, c.diagnostics);
    for (const EntryFact& fact : c.facts) {
        EXPECT_EQ(Json(model, fact.index, fact.sub, 5), fact.json);
    }
    // Every entry is found again by index and sub-index, and by its path.
    for (const auto& object : model.Objects()) {
        for (const Entry& entry : object.Entries()) {
            EXPECT_EQ(model.FindEntry(entry.index, entry.subindex), &entry);
            const std::string path = object.HasSubs() ? object.Name() + "/" + entry.name : entry.name;
            bool found = false;
            for (const Entry* named : model.FindEntries(path)) {
                found = found || named == &entry;
            }
            EXPECT_TRUE(found) << path;
        }
    }
}

const auto kInconsistent = DiagnosticKind::Inconsistent;

INSTANTIATE_TEST_SUITE_P(
    Od, RealFiles,
    testing::Values(
        RealFileCase{"canopennode_demodevice.eds",
                     47,
                     282,
                     false,
                     {},
                     {
                         {0x1014, 0, Line(0x1014, 0, "COB-ID EMCY", "VAR", 7, "rw", false, "133")},
                         // Bit 31 set and $NODEID added.
                         {0x1402, 1, Line(0x1402, 1, "COB-ID used by RPDO", "RECORD", 7, "rw", false, "2147484677")},
                         {0x2120, 1, Line(0x2120, 1, "I64", "RECORD", 21, "rw", true, "-1234567890123456789")},
                         {0x2120, 2, Line(0x2120, 2, "U64", "RECORD", 27, "rw", true, "1311768467294899695")},
                         {0x2120, 4, Line(0x2120, 4, "R64", "RECORD", 17, "rw", true, "456.789")},
                         {0x2121, 3, Line(0x2121, 3, "Octet string", "RECORD", 10, "rw", false, "\"C83DBB\"")},
                     }},
        // Named .eds but with [DeviceComissioning]; SubNumber and lists that
        // disagree with what is there (sub-objects "left out for testing").
        RealFileCase{
            "python_canopen_sample.eds",
            40,
            125,
            true,
            {{74, kInconsistent}, {118, kInconsistent}, {834, kInconsistent}, {988, kInconsistent}},
            {
                {0x1403, 1, Line(0x1403, 1, "COB-ID use by RPDO 4", "RECORD", 7, "rw", false, "1285")},
                {0x1A00, 1, Line(0x1A00, 1, "TPDO 1 mapping information 1", "RECORD", 7, "rw", false, "1614872592")},
                {0x3010, 0, Line(0x3010, 0, "Temperature", "RECORD", 8, "ro", true, "0")},
                {0x3002, 0, Line(0x3002, 0, "Sensor Sampling Rate (Hz)", "VAR", 8, "ro", false, "5.2", "5.2", "4.5")},
                {0x3030, 0,
                 Line(0x3030, 0, "INTEGER32 only negative values", "VAR", 4, "rw", false, "null", "null", "-2147483648",
                      "-1")},
                {0x3040, 0,
                 Line(0x3040, 0, "INTEGER64 value range -10 to +10", "VAR", 21, "rw", false, "null", "null", "-10",
                      "10")},
                {0x3004, 0, Line(0x3004, 0, "Highest sub-index supported", "ARRAY", 5, "ro", false, "3")},
                {0x3004, 2, Line(0x3004, 2, "Sensor Status 2", "ARRAY", 6, "ro", false, "3")},
                {0x1008, 0, Line(0x1008, 0, "Manufacturer device name", "VAR", 9, "const", false, "\"TEST DEVICE\"")},
            }},
        RealFileCase{
            "lely_coapp_fiber_slave.dcf",
            19,
            33,
            true,
            {},
            {
                // [1016Value] of a DCF: parameter values.
                {0x1016, 1, Line(0x1016, 1, "Consumer heartbeat time1", "ARRAY", 7, "rw", false, "null", "66560")},
                {0x1600, 1, Line(0x1600, 1, "RPDO mapping parameter1", "RECORD", 7, "rw", false, "null", "536936480")},
                {0x1A01, 0, Line(0x1A01, 0, "Highest sub-index supported", "RECORD", 5, "rw", false, "254")},
                {0x1400, 1, Line(0x1400, 1, "COB-ID used by RPDO", "RECORD", 7, "rw", false, "385")},
                {0x1800, 1, Line(0x1800, 1, "COB-ID used by TPDO", "RECORD", 7, "rw", false, "389")},
                {0x1F80, 0, Line(0x1F80, 0, "NMT startup", "VAR", 7, "rw", false, "null", "4")},
                {0x1000, 0, Line(0x1000, 0, "Device type", "VAR", 7, "ro", false, "null")},
            }},
        // No final line end; CompactSubObj=254; [1A00Value] of an EDS: defaults.
        RealFileCase{
            "ros2_canopen_simple_slave_no_eof_newline.eds",
            17,
            290,
            false,
            {},
            {
                {0x1003, 0, Line(0x1003, 0, "Highest sub-index supported", "ARRAY", 5, "ro", false, "254")},
                {0x1003, 254, Line(0x1003, 254, "Pre-defined error field254", "ARRAY", 7, "ro", false, "null")},
                {0x1A00, 1, Line(0x1A00, 1, "TPDO mapping parameter1", "ARRAY", 7, "rw", false, "1073807392")},
                {0x1014, 0, Line(0x1014, 0, "COB-ID EMCY", "VAR", 7, "rw", false, "133")},
            }},
        // "$NodeID + 0x200" beside "$NODEID+0x200"; two objects whose SubNumber
        // disagrees with their sections.
        RealFileCase{"pilz_prbt_0_1.dcf",
                     94,
                     210,
                     true,
                     {{2006, kInconsistent}, {2020, kInconsistent}},
                     {
                         {0x1400, 1, Line(0x1400, 1, "COB-ID used by PDO", "RECORD", 7, "rw", false, "517", "517")},
                         {0x1017, 0,
                          Line(0x1017, 0, "Producer heartbeat time", "VAR", 6, "rw", false, "0", "100", "0", "32767")},
                     }},
        RealFileCase{"technosoft_isd860.eds",
                     81,
                     135,
                     false,
                     {},
                     {
                         {0x1014, 0, Line(0x1014, 0, "COB-ID EMCY Message", "VAR", 7, "ro", false, "133")},
                     }},
        RealFileCase{
            "maxon_epos4_50_15_node1.dcf",
            164,
            554,
            true,
            {},
            {
                {0x1400, 1, Line(0x1400, 1, "COB-ID used by RxPDO 1", "RECORD", 7, "rw", false, "517", "513")},
                {0x1801, 1, Line(0x1801, 1, "COB-ID used by TxPDO 2", "RECORD", 7, "rw", false, "3221226117", "641")},
            }},
        RealFileCase{
            "systec_sysworxx_iox1_16di_8do.eds",
            46,
            157,
            false,
            {},
            {
                {0x1009, 0, Line(0x1009, 0, "Manufacturer Hardware Version", "VAR", 9, "const", false, "\"4140.2-0\"")},
                {0x1401, 1, Line(0x1401, 1, "COB-ID Used By PDO", "RECORD", 7, "rw", false, "2147484421")},
            }},
        // $NODEID placed last; a string type with limits (not numbers: null).
        RealFileCase{"oresat_c3_app_control.eds",
                     191,
                     1646,
                     false,
                     {},
                     {
                         {0x1014, 0, Line(0x1014, 0, "COB-ID EMCY", "VAR", 7, "rw", false, "133")},
                         {0x1800, 1, Line(0x1800, 1, "COB-ID used by TPDO", "RECORD", 7, "rw", false, "3221225861")},
                         {0x1400, 1, Line(0x1400, 1, "COB-ID used by RPDO", "RECORD", 7, "rw", false, "385")},
                         {0x6000, 0, Line(0x6000, 0, "C3 State", "VAR", 9, "ro", false, "\"B\"")},
                     }},
        RealFileCase{"canfestival_ds401_slave_gui.eds",
                     38,
                     114,
                     false,
                     {},
                     {
                         {0x1005, 0, Line(0x1005, 0, "SYNC COB ID", "VAR", 7, "rw", false, "128")},
                         {0x6000, 1, Line(0x6000, 1, "Read Inputs 0x1 to 0x8", "RECORD", 5, "ro", true, "0")},
                     }}),
    [](const testing::TestParamInfo<RealFileCase>& param_info) {
        std::string name = param_info.param.file;
        for (char& c : name) {
            c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        }
        return name;
    });

TEST(OdRealFiles, DeviceCommissioningAndListsOfTheDcf)
{
    const DeviceModel maxon = LoadReal("maxon_epos4_50_15_node1.dcf");
    EXPECT_EQ(maxon.Device().vendor_name, "maxon motor ag");
    EXPECT_EQ(maxon.Device().vendor_number, 0xFBU);
    EXPECT_EQ(maxon.Device().product_name, "EPOS4 Module 50/15");
    EXPECT_EQ(maxon.Device().product_number, 0x65520000U);
    EXPECT_EQ(maxon.Device().revision_number, 0x01700000U);
    EXPECT_EQ(maxon.Device().baud_rates, (std::vector<unsigned>{20, 50, 125, 250, 500, 800, 1000}));
    EXPECT_EQ(maxon.Device().granularity, 8U);
    EXPECT_EQ(maxon.Device().rx_pdo_count, 4U);
    EXPECT_EQ(maxon.Device().tx_pdo_count, 4U);
    EXPECT_TRUE(maxon.Device().lss_supported);
    ASSERT_TRUE(maxon.Commissioned().has_value());
    EXPECT_EQ(maxon.Commissioned()->node_id, 1);
    EXPECT_EQ(maxon.Commissioned()->baud_rate, 0U);
    EXPECT_EQ(maxon.Commissioned()->lss_serial_number, 0x29001321U);
    EXPECT_EQ(maxon.Comments().size(), 4U);
    EXPECT_EQ(maxon.Comments().front(), "Software Version:    0x0170");
    EXPECT_EQ(maxon.MandatoryObjects(), (std::vector<uint16_t>{0x1000, 0x1001, 0x1018}));
    EXPECT_EQ(maxon.OptionalObjects().size(), 88U);
    EXPECT_EQ(maxon.File().file_name, "EPOS4_50_15_CAN_EC90FLAT_GP52C_MILE800_node1.dcf");
    // [ToolInfos] is kept as written.
    ASSERT_FALSE(maxon.OtherSections().empty());
    EXPECT_EQ(maxon.OtherSections().front().name, "ToolInfos");

    const DeviceModel sample = LoadReal("python_canopen_sample.eds");
    ASSERT_TRUE(sample.Commissioned().has_value());
    EXPECT_EQ(sample.Commissioned()->node_id, 0x10);
    EXPECT_EQ(sample.Commissioned()->baud_rate, 500U);
    EXPECT_EQ(sample.DummyUsage(), (std::vector<uint16_t>{3}));
    EXPECT_EQ(sample.Comments(), (std::vector<std::string>{"|-------------|", "| Don't panic |", "|-------------|"}));
    // Keys the model does not interpret stay with their entry.
    const Entry* described = sample.FindEntry(0x3050, 1);
    ASSERT_NE(described, nullptr);
    ASSERT_EQ(described->other_keys.size(), 3U);
    EXPECT_EQ(described->other_keys[2].key, "Unit");
    EXPECT_EQ(described->other_keys[2].value, "mV");

    const DeviceModel lely = LoadReal("lely_coapp_fiber_slave.dcf");
    EXPECT_EQ(lely.DummyUsage().size(), 16U);
    EXPECT_EQ(lely.ManufacturerObjects(), (std::vector<uint16_t>{0x2000, 0x2001, 0x2002, 0x2003}));
    EXPECT_FALSE(lely.Commissioned().has_value());
}

TEST(OdRealFiles, NodeZeroLeavesThePlainNumber)
{
    const DeviceModel model = LoadReal("pilz_prbt_0_1.dcf");
    EXPECT_EQ(Json(model, 0x1400, 1, 0), Line(0x1400, 1, "COB-ID used by PDO", "RECORD", 7, "rw", false, "512", "512"));
    EXPECT_EQ(Json(model, 0x1400, 1, 127),
              Line(0x1400, 1, "COB-ID used by PDO", "RECORD", 7, "rw", false, "639", "639"));
    const Entry* entry = model.FindEntry(0x1400, 1);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->default_value.text, "$NodeID + 0x200");
    EXPECT_TRUE(entry->default_value.node_relative);
}

TEST(OdRealFiles, JsonLinesCoverEveryEntryOnce)
{
    const DeviceModel model = LoadReal("oresat_c3_app_control.eds");
    const std::string lines = vexan::od::ModelJsonLines(model, 3);
    std::size_t count = 0;
    for (const char c : lines) {
        count += c == '\n' ? 1 : 0;
    }
    EXPECT_EQ(count, model.EntryCount());
    EXPECT_EQ(lines.substr(0, lines.find('\n')), Json(model, 0x1000, 0, 3));
}

// ---- Lookups by name --------------------------------------------------------------

TEST(OdLookup, ByNamePathAndSharedNames)
{
    const DeviceModel model = LoadReal("lely_coapp_fiber_slave.dcf");
    const Entry* heartbeat = model.FindEntry("Producer heartbeat time");
    ASSERT_NE(heartbeat, nullptr);
    EXPECT_EQ(heartbeat->index, 0x1017);
    const Entry* vendor = model.FindEntry("Identity object/Vendor-ID");
    ASSERT_NE(vendor, nullptr);
    EXPECT_EQ(vendor->index, 0x1018);
    EXPECT_EQ(vendor->subindex, 1);
    EXPECT_EQ(model.FindEntry("Vendor-ID"), vendor);  // a sub-object's own name, when only one has it
    // Shared by many sub-objects: all of them, and no single answer.
    EXPECT_GT(model.FindEntries("Highest sub-index supported").size(), 5U);
    EXPECT_EQ(model.FindEntry("Highest sub-index supported"), nullptr);
    // Two objects of one name.
    EXPECT_EQ(model.FindObjects("TPDO mapping parameter").size(), 2U);
    EXPECT_EQ(model.FindObjects("Identity object").size(), 1U);
    EXPECT_TRUE(model.FindEntries("producer heartbeat time").empty());  // names are exact
    EXPECT_TRUE(model.FindEntries("Identity object/").empty());
    EXPECT_EQ(model.FindEntry(0x1018, 5), nullptr);
    EXPECT_EQ(model.FindObject(0x1234), nullptr);
}

TEST(OdLookup, NamesWithASlash)
{
    const DeviceModel model = DeviceModel::Parse(
        "[2000]\nParameterName=Read/Write\nObjectType=9\nSubNumber=1\n"
        "[2000sub0]\nParameterName=In/Out\nDataType=5\nAccessType=ro\n");
    const Entry* entry = model.FindEntry("Read/Write/In/Out");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->subindex, 0);
}

// ---- Values -----------------------------------------------------------------------

struct ValueCase {
    const char* text;
    uint16_t data_type;
    std::optional<Number> node0;  // nullopt: not a number (invalid, absent or text)
    std::optional<Number> node5;
    Value::State state;
};

class OdValues : public testing::TestWithParam<ValueCase> {};

TEST_P(OdValues, ReadByTheDataType)
{
    const ValueCase& c = GetParam();
    const std::string text = "[2000]\nParameterName=x\nDataType=" + std::to_string(c.data_type) +
                             "\nAccessType=rw\nDefaultValue=" + c.text + "\n";
    const DeviceModel model = DeviceModel::Parse(text);
    const Entry* entry = model.FindEntry(0x2000, 0);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->default_value.state, c.state);
    EXPECT_EQ(entry->default_value.Evaluate(0), c.node0);
    EXPECT_EQ(entry->default_value.Evaluate(5), c.node5);
    // Only an unreadable value is reported, on its own line, and its text is kept.
    EXPECT_EQ(model.Diagnostics().size(), c.state == Value::State::Invalid ? 1U : 0U);
    if (c.state == Value::State::Invalid && !model.Diagnostics().empty()) {
        EXPECT_EQ(model.Diagnostics().front().line, 5U);
        EXPECT_EQ(model.Diagnostics().front().kind, DiagnosticKind::UnparsableValue);
    }
    EXPECT_EQ(entry->default_value.text, std::string(c.text).substr(0, std::string(c.text).find_last_not_of(' ') + 1));
}

constexpr auto kValid = Value::State::Valid;
constexpr auto kInvalid = Value::State::Invalid;
constexpr auto kAbsent = Value::State::Absent;
Number U(uint64_t v)
{
    return Number{v};
}
Number S(int64_t v)
{
    return Number{v};
}
Number R(double v)
{
    return Number{v};
}

INSTANTIATE_TEST_SUITE_P(
    Od, OdValues,
    testing::Values(
        // Numbers: decimal, hex, octal.
        ValueCase{"100", 7, U(100), U(100), kValid}, ValueCase{"0x1F", 7, U(31), U(31), kValid},
        ValueCase{"010", 7, U(8), U(8), kValid}, ValueCase{"0", 5, U(0), U(0), kValid},
        ValueCase{"0XfF", 5, U(255), U(255), kValid},
        // $NODEID in the forms real files use.
        ValueCase{"$NODEID+0x180", 7, U(0x180), U(0x185), kValid},
        ValueCase{"0x180+$NODEID", 7, U(0x180), U(0x185), kValid},
        ValueCase{"$NodeID + 0x200", 7, U(0x200), U(0x205), kValid},
        ValueCase{"$NODEID +0x80", 7, U(0x80), U(0x85), kValid}, ValueCase{"1280+$NODEID", 7, U(1280), U(1285), kValid},
        ValueCase{"$NODEID", 5, U(0), U(5), kValid},
        ValueCase{"0xC0000180+$NODEID", 7, U(0xC0000180), U(0xC0000185), kValid},
        // A hex digit E before the '+' is no exponent.
        ValueCase{"0x18E+$NODEID", 7, U(0x18E), U(0x193), kValid},
        // Ranges of the type.
        ValueCase{"256", 5, std::nullopt, std::nullopt, kInvalid},
        ValueCase{"0x100000000", 7, std::nullopt, std::nullopt, kInvalid},
        ValueCase{"-1", 7, std::nullopt, std::nullopt, kInvalid},
        ValueCase{"0xFFFFFF", 0x16, U(0xFFFFFF), U(0xFFFFFF), kValid},
        ValueCase{"0x1000000", 0x16, std::nullopt, std::nullopt, kInvalid},
        ValueCase{"0xFFFFFFFFFFFFFFFF", 0x1B, U(UINT64_MAX), U(UINT64_MAX), kValid},
        ValueCase{"0x10000000000000000", 0x1B, std::nullopt, std::nullopt, kInvalid},
        ValueCase{"2", 1, std::nullopt, std::nullopt, kInvalid}, ValueCase{"1", 1, U(1), U(1), kValid},
        // Signed: two's complement of hex within the width, decimal range.
        ValueCase{"0xFF", 2, S(-1), S(-1), kValid}, ValueCase{"-128", 2, S(-128), S(-128), kValid},
        ValueCase{"-129", 2, std::nullopt, std::nullopt, kInvalid},
        ValueCase{"128", 2, std::nullopt, std::nullopt, kInvalid},
        ValueCase{"0x800000", 0x10, S(-0x800000), S(-0x800000), kValid},
        ValueCase{"0x8000000000", 0x12, S(-0x8000000000), S(-0x8000000000), kValid},
        ValueCase{"-9223372036854775808", 0x15, S(INT64_MIN), S(INT64_MIN), kValid},
        ValueCase{"$NODEID-1", 4, std::nullopt, std::nullopt, kInvalid},
        // Reals.
        ValueCase{"12.345", 8, R(12.345), R(12.345), kValid}, ValueCase{"-1e+3", 0x11, R(-1000), R(-1000), kValid},
        ValueCase{"0x10", 8, R(16), R(16), kValid}, ValueCase{"1e39", 8, std::nullopt, std::nullopt, kInvalid},
        ValueCase{"1e39", 0x11, R(1e39), R(1e39), kValid},
        ValueCase{"$NODEID+1.5", 8, std::nullopt, std::nullopt, kInvalid},
        // Unreadable numbers.
        ValueCase{"0x", 7, std::nullopt, std::nullopt, kInvalid},
        ValueCase{"08", 7, std::nullopt, std::nullopt, kInvalid},
        ValueCase{"12abc", 7, std::nullopt, std::nullopt, kInvalid},
        ValueCase{"$NODEID+$NODEID", 7, std::nullopt, std::nullopt, kInvalid},
        ValueCase{"1+2", 7, std::nullopt, std::nullopt, kInvalid},
        ValueCase{"+", 7, std::nullopt, std::nullopt, kInvalid},
        // Empty: absent for a number, an empty text for a string.
        ValueCase{"", 7, std::nullopt, std::nullopt, kAbsent}, ValueCase{"", 9, std::nullopt, std::nullopt, kValid},
        // Text types keep the text as it is.
        ValueCase{"0x12", 9, std::nullopt, std::nullopt, kValid},
        ValueCase{"C83DBB", 0x0A, std::nullopt, std::nullopt, kValid},
        ValueCase{"anything", 0x0F, std::nullopt, std::nullopt, kValid},
        // A type the model does not know: a number when it reads as one.
        ValueCase{"0x3", 0x40, U(3), U(3), kValid}, ValueCase{"x", 0x40, std::nullopt, std::nullopt, kValid}));

TEST(OdValuesJson, NumbersStringsAndNulls)
{
    const DeviceModel model = DeviceModel::Parse(
        "[2000]\nParameterName=Say "
        "\"hi\"\\\tnow\nDataType=0x0009\nAccessType=RO\nDefaultValue=a\"b\x01\xE9\xE2\x82\xAC\n"
        "[2001]\nParameterName=n\nDataType=0x0003\nAccessType=Const\nPDOMapping=1\nDefaultValue=0x8000\n"
        "LowLimit=-5\nHighLimit=bad\n");
    EXPECT_EQ(
        Json(model, 0x2000, 0, 0),
        "{\"index\":8192,\"subindex\":0,\"name\":\"Say \\\"hi\\\"\\\\\\tnow\",\"object_type\":\"VAR\","
        "\"datatype\":9,\"access\":\"ro\",\"pdo_mapping\":false,\"default\":\"a\\\"b\\u0001\xC3\xA9\xE2\x82\xAC\","
        "\"parameter_value\":null,\"low_limit\":null,\"high_limit\":null}");
    EXPECT_EQ(Json(model, 0x2001, 0, 0), Line(0x2001, 0, "n", "VAR", 3, "const", true, "-32768", "null", "-5", "null"));
    ASSERT_EQ(model.Diagnostics().size(), 1U);
    EXPECT_EQ(model.Diagnostics()[0].line, 13U);
    const Entry* entry = model.FindEntry(0x2001, 0);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->high_limit.state, Value::State::Invalid);
    EXPECT_EQ(entry->high_limit.text, "bad");
}

TEST(OdValuesJson, StringsWithControlCharactersInEitherForm)
{
    const std::string text = "a\n\r\t\x01\x7F\"\\\xE9\xE2\x82\xAC\xED\xA0\x80";
    std::string shortForm;
    AppendString(shortForm, text);
    EXPECT_EQ(shortForm, "\"a\\n\\r\\t\\u0001\\u007f\\\"\\\\\xC3\xA9\xE2\x82\xAC\xC3\xAD\xC2\xA0\xC2\x80\"");
    std::string unicodeForm;
    AppendString(unicodeForm, text, ControlEscapes::Unicode);
    EXPECT_EQ(unicodeForm,
              "\"a\\u000a\\u000d\\u0009\\u0001\\u007f\\\"\\\\\xC3\xA9\xE2\x82\xAC\xC3\xAD\xC2\xA0\xC2\x80\"");
    EXPECT_EQ(Utf8Length("\xF4\x8F\xBF\xBF", 0), 4U);
    EXPECT_EQ(Utf8Length("\xF4\x90\x80\x80", 0), 0U);
    EXPECT_EQ(Utf8Length("\xE2\x82", 0), 0U);
}

TEST(OdValuesJson, EveryAccessTypeInAnyCase)
{
    const std::pair<const char*, Access> cases[] = {{"ro", Access::Ro},   {"WO", Access::Wo},
                                                    {"Rw", Access::Rw},   {"rwR", Access::Rwr},
                                                    {"RWW", Access::Rww}, {"CONST", Access::Const}};
    for (const auto& [text, access] : cases) {
        const DeviceModel model =
            DeviceModel::Parse(std::string("[2000]\nParameterName=x\nDataType=7\nAccessType=") + text + "\n");
        const Entry* entry = model.FindEntry(0x2000, 0);
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->access, access) << text;
        EXPECT_TRUE(model.Diagnostics().empty()) << text;
    }
}

// ---- CompactSubObj ----------------------------------------------------------------

TEST(OdCompact, NamesValuesAndDenotationsByFileKind)
{
    const char* text =
        "[1003]\nParameterName=Errors\nObjectType=0x8\nDataType=0x0007\nAccessType=ro\nCompactSubObj=3\n"
        "DefaultValue=7\nPDOMapping=1\n"
        "[1003Name]\nNrOfEntries=1\n2=Second\n"
        "[1003Value]\nNrOfEntries=2\n1=0x10\n3=$NODEID+1\n"
        "[1003Denotation]\nNrOfEntries=1\n1=first one\n";
    const DeviceModel eds = DeviceModel::Parse(text, FileKind::Eds);
    const DeviceModel dcf = DeviceModel::Parse(text, FileKind::Dcf);
    EXPECT_TRUE(eds.Diagnostics().empty());
    ASSERT_EQ(eds.EntryCount(), 4U);
    EXPECT_EQ(Json(eds, 0x1003, 0, 0), Line(0x1003, 0, "Highest sub-index supported", "ARRAY", 5, "ro", false, "3"));
    EXPECT_EQ(Json(eds, 0x1003, 1, 2), Line(0x1003, 1, "Errors1", "ARRAY", 7, "ro", true, "16"));
    EXPECT_EQ(Json(eds, 0x1003, 2, 2), Line(0x1003, 2, "Second", "ARRAY", 7, "ro", true, "7"));
    EXPECT_EQ(Json(eds, 0x1003, 3, 2), Line(0x1003, 3, "Errors3", "ARRAY", 7, "ro", true, "3"));
    EXPECT_EQ(Json(dcf, 0x1003, 1, 2), Line(0x1003, 1, "Errors1", "ARRAY", 7, "ro", true, "7", "16"));
    EXPECT_EQ(Json(dcf, 0x1003, 3, 2), Line(0x1003, 3, "Errors3", "ARRAY", 7, "ro", true, "7", "3"));
    EXPECT_EQ(eds.FindEntry(0x1003, 1)->denotation, "first one");
    EXPECT_EQ(eds.FindEntry("Errors/Second"), eds.FindEntry(0x1003, 2));
}

// A small text cannot make a huge model: expansion stops at a budget that
// grows with the text's size, and each object left out is reported.
TEST(OdCompact, ExpansionBoundedByTheTextSize)
{
    std::string text;
    for (unsigned index = 0x2000; index < 0x2100; ++index) {
        char header[128];
        std::snprintf(header, sizeof header, "[%04X]\nObjectType=8\nCompactSubObj=254\n", index);
        text += header;
    }
    const DeviceModel model = DeviceModel::Parse(text);
    EXPECT_GE(model.EntryCount(), 255U * 16);  // the first objects are expanded
    EXPECT_LE(model.EntryCount(), text.size() / 8 + 4096 + 256);
    std::size_t not_expanded = 0;
    for (const auto& d : model.Diagnostics()) {
        not_expanded += d.message.find("not expanded") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(model.EntryCount(), (256 - not_expanded) * 255 + not_expanded);
    EXPECT_GT(not_expanded, 0U);
}

// ---- Forms of the text ------------------------------------------------------------

TEST(OdText, LineEndsCaseOrderAndCommentsGiveTheSameModel)
{
    const std::string lf =
        "[FileInfo]\nFileName=a.eds\n\n; a comment\n[2000sub1]\nParameterName=One\nDataType=7\nAccessType=rw\n"
        "DefaultValue=$NODEID+1\n[2000]\nParameterName=Rec\nObjectType=9\nSubNumber=2\n"
        "[2000sub0]\nParameterName=Count\nDataType=5\nAccessType=ro\nDefaultValue=1";
    std::string crlf;
    std::string cr;
    for (const char c : lf) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
        cr += c == '\n' ? '\r' : c;
    }
    std::string odd_case = lf;
    for (const char* from : {"[FileInfo]", "[2000sub1]", "ParameterName", "DataType", "AccessType"}) {
        std::string to = from;
        for (char& c : to) {
            c = static_cast<char>(std::islower(static_cast<unsigned char>(c)) ? std::toupper(c) : std::tolower(c));
        }
        for (std::size_t at = odd_case.find(from); at != std::string::npos; at = odd_case.find(from, at + 1)) {
            odd_case.replace(at, to.size(), to);
        }
    }
    const std::string expected = vexan::od::ModelJsonLines(DeviceModel::Parse(lf), 9);
    EXPECT_NE(expected.find("\"default\":10"), std::string::npos) << expected;
    for (const std::string& text : {lf + "\n", crlf, crlf + "\r\n", cr, odd_case, "\xEF\xBB\xBF" + lf}) {
        const DeviceModel model = DeviceModel::Parse(text);
        EXPECT_EQ(vexan::od::ModelJsonLines(model, 9), expected) << text;
        EXPECT_TRUE(model.Diagnostics().empty()) << text;
        EXPECT_EQ(model.File().file_name, "a.eds");
    }
    // Line numbers count CRLF once.
    const DeviceModel model = DeviceModel::Parse(crlf);
    EXPECT_EQ(model.FindEntry(0x2000, 1)->line, 5U);
    EXPECT_EQ(model.FindEntry(0x2000, 1)->default_value.line, 9U);
}

// ---- Malformed files --------------------------------------------------------------

struct MalformedCase {
    const char* name;
    std::string text;
    std::vector<std::pair<unsigned, DiagnosticKind>> diagnostics;
    std::size_t entries;  // what is kept
};

class OdMalformed : public testing::TestWithParam<MalformedCase> {};

TEST_P(OdMalformed, ReportedByLineAndTheRestKept)
{
    const MalformedCase& c = GetParam();
    const DeviceModel model = DeviceModel::Parse(c.text);
    std::vector<std::pair<unsigned, DiagnosticKind>> got;
    std::string messages;
    for (const auto& d : model.Diagnostics()) {
        got.emplace_back(d.line, d.kind);
        messages += std::to_string(d.line) + ": " + d.message + "\n";
        EXPECT_FALSE(d.message.empty());
    }
    EXPECT_EQ(got, c.diagnostics) << messages;
    EXPECT_EQ(model.EntryCount(), c.entries);
}

constexpr char kNulText[] = "[2000]\nParameterName=a\0b\nDataType=7\nAccessType=rw\n";
const std::string kWithNul(kNulText, sizeof kNulText - 1);

constexpr auto kSyntax = DiagnosticKind::Syntax;
constexpr auto kDupObject = DiagnosticKind::DuplicateObject;
constexpr auto kDupSub = DiagnosticKind::DuplicateSubObject;
constexpr auto kDupKey = DiagnosticKind::DuplicateKey;
constexpr auto kDupSection = DiagnosticKind::DuplicateSection;
constexpr auto kOrphan = DiagnosticKind::OrphanSubObject;
constexpr auto kUnparsable = DiagnosticKind::UnparsableValue;
constexpr auto kMissing = DiagnosticKind::MissingKey;

INSTANTIATE_TEST_SUITE_P(
    Od, OdMalformed,
    testing::Values(
        MalformedCase{"DuplicateObject",
                      "[2000]\nParameterName=a\nDataType=7\nAccessType=rw\n[2000]\nParameterName=b\n",
                      {{5, kDupObject}},
                      1},
        MalformedCase{"DuplicateObjectInOtherCase",
                      "[1a00]\nParameterName=a\nDataType=7\nAccessType=rw\n\n[1A00]\nParameterName=b\n",
                      {{6, kDupObject}},
                      1},
        MalformedCase{"DuplicateSubObject",
                      "[2000]\nParameterName=r\nObjectType=9\nSubNumber=1\n[2000sub1]\nParameterName=a\nDataType=7\n"
                      "AccessType=rw\n[2000sub01]\nParameterName=b\nDataType=7\nAccessType=rw\n",
                      {{9, kDupSub}},
                      1},
        MalformedCase{
            "SubObjectWithoutObject", "[2000sub1]\nParameterName=a\nDataType=7\nAccessType=rw\n", {{1, kOrphan}}, 1},
        MalformedCase{"UnparsableValueKeepsTheEntry",
                      "[2000]\nParameterName=a\nDataType=5\nAccessType=rw\nDefaultValue=0xZZ\n",
                      {{5, kUnparsable}},
                      1},
        MalformedCase{
            "UnparsableKeys",
            "[2000]\nParameterName=a\nObjectType=0x42\nDataType=seven\nAccessType=readwrite\nPDOMapping=2\n",
            {{1, kMissing}, {1, kMissing}, {3, kUnparsable}, {4, kUnparsable}, {5, kUnparsable}, {6, kUnparsable}},
            1},
        MalformedCase{"MissingKeys", "[2000]\nObjectType=7\n", {{1, kMissing}, {1, kMissing}, {1, kMissing}}, 1},
        MalformedCase{"DuplicateKeyFirstCounts",
                      "[2000]\nParameterName=a\nDataType=7\nAccessType=rw\nDefaultValue=1\ndefaultvalue=2\n",
                      {{6, kDupKey}},
                      1},
        MalformedCase{"LinesThatAreNoKeys",
                      "stray=1\n[2000]\nParameterName=a\nDataType=7\nAccessType=rw\njust words\n=5\n[broken\nX=1\n",
                      {{1, kSyntax}, {6, kSyntax}, {7, kSyntax}, {8, kSyntax}},
                      1},
        MalformedCase{
            "DuplicateNamedSection", "[DeviceInfo]\nVendorName=a\n[deviceinfo]\nVendorName=b\n", {{3, kDupSection}}, 0},
        MalformedCase{"ListsAndCounts",
                      "[OptionalObjects]\nSupportedObjects=2\n1=0x2000\n2=zz\n[2000]\nParameterName=r\nObjectType=9\n"
                      "SubNumber=3\n[2000sub0]\nParameterName=n\nDataType=5\nAccessType=ro\n[Comments]\nLines=2\n"
                      "Line1=x\n",
                      {{1, kInconsistent}, {4, kUnparsable}, {5, kInconsistent}, {13, kInconsistent}},
                      1},
        MalformedCase{"ListedObjectWithoutSection",
                      "[MandatoryObjects]\nSupportedObjects=1\n1=0x1000\n",
                      {{3, kInconsistent}},
                      0},
        MalformedCase{"SubObjectOfAVar",
                      "[2000]\nParameterName=v\nDataType=7\nAccessType=rw\n[2000sub1]\nParameterName=s\n",
                      {{5, kInconsistent}},
                      1},
        MalformedCase{"CompactEntriesOutOfRange",
                      "[2000]\nParameterName=a\nObjectType=8\nDataType=7\nAccessType=rw\nCompactSubObj=2\n"
                      "[2000Value]\nNrOfEntries=1\n3=5\n0=1\n1=nope\n[2001Name]\n1=x\n",
                      {{9, kInconsistent}, {10, kInconsistent}, {11, kUnparsable}, {12, kInconsistent}},
                      3},
        MalformedCase{"CompactSubObjTooLarge",
                      "[2000]\nParameterName=a\nObjectType=8\nDataType=7\nAccessType=rw\nCompactSubObj=255\n",
                      {{6, kUnparsable}},
                      1},
        MalformedCase{"Empty", "", {}, 0}, MalformedCase{"OnlyBlanks", "\r\n\n  \t\n;x", {}, 0},
        MalformedCase{"NulBytes", kWithNul, {}, 1}),
    [](const testing::TestParamInfo<MalformedCase>& param_info) { return std::string(param_info.param.name); });

TEST(OdLoad, UnreadableFileGivesNoModel)
{
    std::string error;
    EXPECT_FALSE(DeviceModel::Load(RealFile("no_such_file.eds"), &error).has_value());
    EXPECT_NE(error.find("no_such_file.eds"), std::string::npos);
    EXPECT_FALSE(DeviceModel::Load(RealFile(""), &error).has_value());
    EXPECT_NE(error.find("directory"), std::string::npos) << error;
}

}  // namespace
