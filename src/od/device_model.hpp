// The device model: a whole EDS or DCF file read into objects and entries with
// names, data types, access, limits and values, looked up by index/sub-index
// or by name through hash maps built at load.
//
// Reading never fails on content: whatever the file cannot say clearly is
// reported as a Diagnostic with its line number, and the rest is kept. A value
// that does not parse keeps its entry, with the value marked Invalid (its text
// is kept). Only a file that cannot be read at all gives no model.
//
// Choices:
// - Section names and keys are matched in any case; the first of two equal
//   sections or keys counts, the second is reported and ignored.
// - Numbers are decimal, 0x hex or octal (leading 0), optionally signed. For a
//   signed data type a hex or octal number within the type's width is its
//   two's complement (0xFF for INTEGER8 is -1).
// - `$NODEID` (any case) may be added to a number before or after it
//   (`$NODEID+0x180`, `0x80 + $NODEID`); the value keeps the number and a mark,
//   and Evaluate(node) adds the node id (node 0 leaves the plain number).
// - CompactSubObj=N on an ARRAY makes sub-index 0 (UNSIGNED8, ro, value N,
//   named "Highest sub-index supported") and sub-indices 1..N with the
//   object's DataType, AccessType, PDOMapping, limits and DefaultValue, named
//   from [xxxxName] or else "<object name><sub-index>". The numbers of
//   [xxxxValue] are the sub-objects' ParameterValue in a DCF and their
//   DefaultValue in an EDS; [xxxxDenotation] gives their Denotation.
// - A sub-object section whose object section is missing is kept under an
//   unnamed RECORD made for it (and reported).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

namespace vexan::od {

enum class ObjectType : uint8_t {
    Null = 0x0,
    Domain = 0x2,
    DefType = 0x5,
    DefStruct = 0x6,
    Var = 0x7,
    Array = 0x8,
    Record = 0x9,
};

enum class Access : uint8_t { Ro, Wo, Rw, Rwr, Rww, Const };

// The basic data types' codes (the object dictionary's index of the type).
namespace datatype {
inline constexpr uint16_t kBoolean = 0x01;
inline constexpr uint16_t kInteger8 = 0x02;
inline constexpr uint16_t kInteger16 = 0x03;
inline constexpr uint16_t kInteger32 = 0x04;
inline constexpr uint16_t kUnsigned8 = 0x05;
inline constexpr uint16_t kUnsigned16 = 0x06;
inline constexpr uint16_t kUnsigned32 = 0x07;
inline constexpr uint16_t kReal32 = 0x08;
inline constexpr uint16_t kVisibleString = 0x09;
inline constexpr uint16_t kOctetString = 0x0A;
inline constexpr uint16_t kUnicodeString = 0x0B;
inline constexpr uint16_t kTimeOfDay = 0x0C;
inline constexpr uint16_t kTimeDifference = 0x0D;
inline constexpr uint16_t kDomain = 0x0F;
inline constexpr uint16_t kInteger24 = 0x10;
inline constexpr uint16_t kReal64 = 0x11;
inline constexpr uint16_t kInteger40 = 0x12;
inline constexpr uint16_t kInteger48 = 0x13;
inline constexpr uint16_t kInteger56 = 0x14;
inline constexpr uint16_t kInteger64 = 0x15;
inline constexpr uint16_t kUnsigned24 = 0x16;
inline constexpr uint16_t kUnsigned40 = 0x18;
inline constexpr uint16_t kUnsigned48 = 0x19;
inline constexpr uint16_t kUnsigned56 = 0x1A;
inline constexpr uint16_t kUnsigned64 = 0x1B;
}  // namespace datatype

// How a data type's values are written and kept.
enum class ValueClass : uint8_t {
    Signed,    // BOOLEAN is Unsigned; INTEGERn
    Unsigned,  // BOOLEAN, UNSIGNEDn
    Real,      // REAL32, REAL64
    Text,      // strings, DOMAIN, TIME_OF_DAY, TIME_DIFFERENCE: the text as written
    Unknown,   // any other code (complex and manufacturer types): a number when it reads as one
};

ValueClass ClassOf(uint16_t data_type);
// Width in bits of an integer or real type, 0 for the others.
unsigned BitsOf(uint16_t data_type);
// "UNSIGNED32", ...; empty for codes that are not basic types.
std::string_view DataTypeName(uint16_t data_type);
std::string_view ObjectTypeName(ObjectType type);  // "VAR", "ARRAY", ...
std::string_view AccessName(Access access);        // "ro", "rw", ...

using Number = std::variant<int64_t, uint64_t, double>;

struct Value {
    enum class State : uint8_t {
        Absent,   // not in the file (or empty, for a numeric type)
        Valid,    // read: `number` (numeric types) or the text (Text types)
        Invalid,  // in the file but unreadable for the data type: reported, text kept
    };
    State state = State::Absent;
    std::string text;  // as written, blanks around it removed
    unsigned line = 0;
    bool node_relative = false;  // `$NODEID` was added; `number` holds the rest
    std::optional<Number> number;

    bool Present() const { return state != State::Absent; }
    bool Valid() const { return state == State::Valid; }
    // The number with the node id added when node-relative; nullopt for Text
    // values and values that are not Valid.
    std::optional<Number> Evaluate(uint8_t node) const;
};

struct KeyValue {
    std::string key;
    std::string value;
    unsigned line = 0;
};

// A VAR object, or one sub-object of an ARRAY, RECORD or DEFSTRUCT.
struct Entry {
    uint16_t index = 0;
    uint8_t subindex = 0;
    std::string name;
    ObjectType object_type = ObjectType::Var;  // the section's own ObjectType
    std::optional<uint16_t> data_type;
    std::optional<Access> access;
    bool pdo_mapping = false;
    Value default_value;
    Value parameter_value;
    Value low_limit;
    Value high_limit;
    std::optional<std::string> denotation;
    std::optional<uint32_t> obj_flags;
    std::vector<KeyValue> other_keys;  // keys the model does not interpret, as written
    unsigned line = 0;                 // the section's header line
    bool generated = false;            // made from CompactSubObj
};

struct Object {
    uint16_t index = 0;
    ObjectType type = ObjectType::Var;
    // The object's own section. For VAR, DOMAIN, DEFTYPE and NULL objects it is
    // the one entry (sub-index 0); for the others it holds the header's keys.
    Entry own;
    std::vector<Entry> subs;  // ARRAY, RECORD, DEFSTRUCT: by rising sub-index
    std::optional<unsigned> sub_number;
    std::optional<unsigned> compact_sub_obj;
    bool made_for_orphans = false;  // no section of its own in the file

    const std::string& Name() const { return own.name; }
    bool HasSubs() const;
    // What can be read and written: the sub-objects, or the object itself (also
    // for an ARRAY or RECORD that has no sub-objects, so that none is lost).
    std::span<const Entry> Entries() const;
};

enum class DiagnosticKind : uint8_t {
    Syntax,              // a line that is no section, key=value or comment
    DuplicateSection,    // a non-object section given twice
    DuplicateObject,     // [xxxx] given twice
    DuplicateSubObject,  // [xxxxsubN] given twice (sub-index equal)
    DuplicateKey,        // a key twice in one section
    OrphanSubObject,     // [xxxxsubN] without [xxxx]
    UnparsableValue,     // a value that does not read for its key or data type
    MissingKey,          // a key the entry needs (DataType, AccessType, ParameterName)
    Inconsistent,        // counts, lists and sections that disagree
};

struct Diagnostic {
    unsigned line = 0;
    DiagnosticKind kind = DiagnosticKind::Syntax;
    std::string message;
};

enum class FileKind : uint8_t { Auto, Eds, Dcf };

struct FileInfo {
    std::string file_name, file_version, file_revision, eds_version, description;
    std::string creation_time, creation_date, created_by;
    std::string modification_time, modification_date, modified_by;
};

struct DeviceInfo {
    std::string vendor_name, product_name, order_code;
    std::optional<uint32_t> vendor_number, product_number, revision_number;
    std::vector<unsigned> baud_rates;  // kbit/s of every BaudRate_n=1, rising
    std::optional<unsigned> granularity;
    std::optional<unsigned> rx_pdo_count, tx_pdo_count;
    bool simple_boot_up_master = false, simple_boot_up_slave = false;
    bool dynamic_channels_supported = false, group_messaging = false, lss_supported = false;
    std::optional<unsigned> compact_pdo;
};

struct Commissioning {
    std::optional<uint8_t> node_id;
    std::optional<unsigned> baud_rate;  // kbit/s
    std::string node_name, network_name;
    std::optional<unsigned> net_number;
    std::optional<uint32_t> lss_serial_number;
};

struct Section {
    std::string name;  // as written
    unsigned line = 0;
    std::vector<KeyValue> keys;
};

class DeviceModel {
public:
    DeviceModel(const DeviceModel&) = delete;
    DeviceModel& operator=(const DeviceModel&) = delete;
    DeviceModel(DeviceModel&&) noexcept = default;
    DeviceModel& operator=(DeviceModel&&) noexcept = default;
    ~DeviceModel() = default;

    // Reads the text of a file. Kind Auto: a DCF when it has a
    // [DeviceComissioning] section.
    static DeviceModel Parse(std::string_view text, FileKind kind = FileKind::Auto);
    // Reads a file (Auto: a DCF by the extension .dcf or as above). nullopt
    // with *error set when the file cannot be read.
    static std::optional<DeviceModel> Load(const std::string& path, std::string* error, FileKind kind = FileKind::Auto);

    bool IsDcf() const { return dcf_; }
    const FileInfo& File() const { return file_info_; }
    const DeviceInfo& Device() const { return device_info_; }
    const std::optional<Commissioning>& Commissioned() const { return commissioning_; }
    const std::vector<uint16_t>& DummyUsage() const { return dummy_usage_; }  // data types usable as dummies
    const std::vector<std::string>& Comments() const { return comments_; }
    const std::vector<uint16_t>& MandatoryObjects() const { return mandatory_; }
    const std::vector<uint16_t>& OptionalObjects() const { return optional_; }
    const std::vector<uint16_t>& ManufacturerObjects() const { return manufacturer_; }
    // Every section the model does not interpret ([ToolInfos], ...), as written.
    const std::vector<Section>& OtherSections() const { return other_sections_; }
    const std::vector<Diagnostic>& Diagnostics() const { return diagnostics_; }

    // Objects by rising index.
    const std::vector<Object>& Objects() const { return objects_; }
    std::size_t EntryCount() const { return entry_count_; }

    const Object* FindObject(uint16_t index) const;
    // A VAR object answers to sub-index 0.
    const Entry* FindEntry(uint16_t index, uint8_t subindex) const;
    // Entries by a VAR object's or a sub-object's ParameterName, or by an
    // "Object name/Sub-object name" path; several when the name is shared.
    std::span<const Entry* const> FindEntries(std::string_view name) const;
    // The one entry of that name, or null when there is none or several.
    const Entry* FindEntry(std::string_view name) const;
    // Objects by their own ParameterName.
    std::span<const Object* const> FindObjects(std::string_view name) const;

private:
    DeviceModel() = default;
    friend class ModelBuilder;

    struct NameHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const noexcept;
    };
    template <typename T>
    using NameMap = std::unordered_map<std::string, std::vector<T>, NameHash, std::equal_to<>>;

    bool dcf_ = false;
    FileInfo file_info_;
    DeviceInfo device_info_;
    std::optional<Commissioning> commissioning_;
    std::vector<uint16_t> dummy_usage_;
    std::vector<std::string> comments_;
    std::vector<uint16_t> mandatory_, optional_, manufacturer_;
    std::vector<Section> other_sections_;
    std::vector<Diagnostic> diagnostics_;
    std::vector<Object> objects_;
    std::size_t entry_count_ = 0;
    std::unordered_map<uint16_t, const Object*> by_index_;
    std::unordered_map<uint32_t, const Entry*> by_key_;
    NameMap<const Entry*> entries_by_name_;
    NameMap<const Object*> objects_by_name_;
};

// One JSON object (no line end) for an entry of `object`, with the keys index,
// subindex, name, object_type (the object's type), datatype, access,
// pdo_mapping, default, parameter_value, low_limit, high_limit. Numbers with
// `$NODEID` are evaluated for `node`; Text types give strings; what is absent
// or unreadable gives null, and so do limits of Text types. parameter_value is
// the entry's ParameterValue, which only DCF files carry (and [xxxxValue] in a
// DCF); names and texts that are not UTF-8 are taken as Latin-1.
std::string EntryJson(const Object& object, const Entry& entry, uint8_t node);
// EntryJson for every entry of every object, one per line, each ended by '\n'.
std::string ModelJsonLines(const DeviceModel& model, uint8_t node);

}  // namespace vexan::od
