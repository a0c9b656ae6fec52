// Simulated node object dictionaries: objects with their values, data types and
// access rights, read from EDS/DCF files by the simulator's own reader, or built
// in for the default device. Independent of the library's own EDS code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vexsim {

// CANopen basic data types (object 0x0001..0x001B numbering).
enum class DataType : uint16_t {
    Boolean = 0x0001,
    Integer8 = 0x0002,
    Integer16 = 0x0003,
    Integer32 = 0x0004,
    Unsigned8 = 0x0005,
    Unsigned16 = 0x0006,
    Unsigned32 = 0x0007,
    Real32 = 0x0008,
    VisibleString = 0x0009,
    OctetString = 0x000A,
    UnicodeString = 0x000B,
    Domain = 0x000F,
    Real64 = 0x0011,
    Integer64 = 0x0015,
    Unsigned64 = 0x001B,
};

enum class Access { ReadOnly, WriteOnly, ReadWrite, Const };

// Fixed size in bytes of a data type; 0 for the variable-length ones
// (strings, domain).
std::size_t SizeOf(DataType type);

struct ObjectEntry {
    uint16_t index = 0;
    uint8_t subIndex = 0;
    std::string name;
    DataType type = DataType::Unsigned8;
    Access access = Access::ReadWrite;
    bool pdoMappable = false;
    std::vector<uint8_t> value;  // little-endian bytes, SizeOf(type) long for fixed types
};

class ObjectDictionary {
public:
    // Adds or replaces the entry (index, subIndex).
    void Put(ObjectEntry entry);
    const ObjectEntry* Find(uint16_t index, uint8_t subIndex) const;
    ObjectEntry* Find(uint16_t index, uint8_t subIndex);
    bool HasIndex(uint16_t index) const;
    // All entries in (index, subIndex) order.
    std::vector<const ObjectEntry*> Entries() const;
    std::size_t Size() const { return entries_.size(); }

    // Convenience for fixed-size unsigned objects (reads the value little-endian).
    std::optional<uint64_t> ReadUnsigned(uint16_t index, uint8_t subIndex) const;
    // Writes a fixed-size value, keeping the entry's size; false when absent.
    bool WriteUnsigned(uint16_t index, uint8_t subIndex, uint64_t value);

private:
    std::map<std::pair<uint16_t, uint8_t>, ObjectEntry> entries_;
};

// The raw text of an EDS/DCF file as sections and keys. Section and key names
// compare without regard to case; values are trimmed (no trailing CR).
class EdsText {
public:
    static EdsText Parse(std::string_view text);
    std::optional<std::string> Value(std::string_view section, std::string_view key) const;
    bool HasSection(std::string_view section) const;
    std::vector<std::string> Sections() const;  // as written, in file order

private:
    struct Section {
        std::string name;                                       // as written
        std::vector<std::pair<std::string, std::string>> keys;  // as written, in order
    };
    std::vector<Section> sections_;
    std::map<std::string, std::size_t> byLowerName_;
};

// Evaluates an EDS number for the given node id: decimal, 0x hex, 0 octal, and
// $NODEID in its usual forms ("$NODEID+0x180", "0x80+$NODEID", "$NodeID + 512",
// "1280+$NODEID"). nullopt when it does not parse. A leading minus is
// accepted for signed values; the result is then the two's complement.
std::optional<uint64_t> EvaluateEdsNumber(std::string_view text, uint8_t nodeId);

struct DeviceInfo {
    std::string vendorName;
    std::string productName;
    uint32_t vendorNumber = 0;
    uint32_t productNumber = 0;
};

struct EdsLoad {
    bool ok = false;
    std::string error;  // why it failed, when !ok
    // Entries that were skipped or adjusted while loading (unsupported data
    // type, unparsable value, value truncated to its type, ...); the load is
    // still ok.
    std::vector<std::string> warnings;
    DeviceInfo info;
    ObjectDictionary dictionary;
    EdsText text;  // the file's sections and keys, for comparisons in tests
};

// Builds a node's dictionary from EDS/DCF text (CiA 306: [NNNN], [NNNNsubM],
// CompactSubObj with [NNNNValue]/[NNNNName], ParameterValue over DefaultValue,
// CR LF or LF, no final newline). Values with $NODEID are evaluated for nodeId.
EdsLoad ParseEds(std::string_view text, uint8_t nodeId);
EdsLoad LoadEds(const std::string& path, uint8_t nodeId);

// The built-in default device: a small I/O node with identity 0x1018, device
// type 0x1000, heartbeat 0x1017, four RPDO/TPDO communication and mapping
// records (0x1400.., 0x1600.., 0x1800.., 0x1A00..) mapped onto 0x6000 (8-bit
// inputs, 4 subs) and 0x6200 (8-bit outputs, 4 subs), a writable test area
// 0x2000 (sub 1 u8, 2 u16, 3 u32, 4 visible string), and large domain objects
// 0x2100 sub 0 (5000 bytes) and 0x2101 sub 0 (1 MiB) with a deterministic byte
// pattern (byte i = (i * 7 + 3) & 0xFF).
ObjectDictionary DefaultDevice(uint8_t nodeId);
DeviceInfo DefaultDeviceInfo();

}  // namespace vexsim
