// Builds a node's object dictionary from EDS/DCF text.
//
// Objects come from sections named by their 4-digit hex index: [1000] is a
// variable, [1018] with ObjectType 8 (array) or 9 (record) is described by its
// sub-sections [1018sub0], [1018sub1], ... (hex sub-index, any case), or, with
// CompactSubObj=N, by the object section itself plus the optional [1018Value]
// and [1018Name] tables. A DCF's ParameterValue replaces DefaultValue.
#include "object_dictionary.hpp"

#include "text_util.hpp"

#include <bit>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <limits>
#include <sstream>
#include <system_error>

namespace vexsim {
namespace {

constexpr uint8_t kObjectTypeDomain = 2;
constexpr uint8_t kObjectTypeDefType = 5;
constexpr uint8_t kObjectTypeDefStruct = 6;
constexpr uint8_t kObjectTypeVar = 7;
constexpr uint8_t kObjectTypeArray = 8;
constexpr uint8_t kObjectTypeRecord = 9;
constexpr uint64_t kMaxCompactSubObjects = 254;

std::string HexName(uint16_t index)
{
    constexpr std::string_view kDigits = "0123456789ABCDEF";
    std::string name(4, '0');
    for (std::size_t i = 0; i < 4; ++i) {
        name[3 - i] = kDigits[(index >> (4 * i)) & 0xF];
    }
    return name;
}

std::optional<uint64_t> ParseHexExact(std::string_view text, std::size_t minDigits, std::size_t maxDigits)
{
    if (text.size() < minDigits || text.size() > maxDigits) {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (const char c : text) {
        const int digit = detail::HexDigitValue(c);
        if (digit < 0) {
            return std::nullopt;
        }
        value = value * 16 + static_cast<unsigned>(digit);
    }
    return value;
}

enum class SectionKind { Other, Object, SubObject };

struct SectionName {
    SectionKind kind = SectionKind::Other;
    uint16_t index = 0;
    uint8_t subIndex = 0;
};

SectionName ClassifySection(std::string_view name)
{
    SectionName result;
    if (name.size() < 4) {
        return result;
    }
    const auto index = ParseHexExact(name.substr(0, 4), 4, 4);
    if (!index) {
        return result;
    }
    result.index = static_cast<uint16_t>(*index);
    const std::string_view rest = name.substr(4);
    if (rest.empty()) {
        result.kind = SectionKind::Object;
    } else if (detail::StartsWithNoCase(rest, "sub")) {
        if (const auto sub = ParseHexExact(rest.substr(3), 1, 2)) {
            result.kind = SectionKind::SubObject;
            result.subIndex = static_cast<uint8_t>(*sub);
        }
    }
    return result;
}

std::optional<DataType> ToDataType(uint64_t code)
{
    switch (code) {
    case 0x0001:
        return DataType::Boolean;
    case 0x0002:
        return DataType::Integer8;
    case 0x0003:
        return DataType::Integer16;
    case 0x0004:
        return DataType::Integer32;
    case 0x0005:
        return DataType::Unsigned8;
    case 0x0006:
        return DataType::Unsigned16;
    case 0x0007:
        return DataType::Unsigned32;
    case 0x0008:
        return DataType::Real32;
    case 0x0009:
        return DataType::VisibleString;
    case 0x000A:
        return DataType::OctetString;
    case 0x000B:
        return DataType::UnicodeString;
    case 0x000F:
        return DataType::Domain;
    case 0x0011:
        return DataType::Real64;
    case 0x0015:
        return DataType::Integer64;
    case 0x001B:
        return DataType::Unsigned64;
    default:
        return std::nullopt;
    }
}

bool IsSigned(DataType type)
{
    return type == DataType::Integer8 || type == DataType::Integer16 || type == DataType::Integer32 ||
           type == DataType::Integer64;
}

std::optional<Access> ParseAccess(std::string_view text)
{
    if (detail::EqualsNoCase(text, "ro")) {
        return Access::ReadOnly;
    }
    if (detail::EqualsNoCase(text, "wo")) {
        return Access::WriteOnly;
    }
    // rwr and rww only say in which PDO direction the object is mapped.
    if (detail::EqualsNoCase(text, "rw") || detail::EqualsNoCase(text, "rwr") || detail::EqualsNoCase(text, "rww")) {
        return Access::ReadWrite;
    }
    if (detail::EqualsNoCase(text, "const")) {
        return Access::Const;
    }
    return std::nullopt;
}

std::vector<uint8_t> LittleEndian(uint64_t value, std::size_t size)
{
    std::vector<uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    }
    return bytes;
}

// True when the value can be stored in `size` bytes without losing bits.
// Signed types accept both a signed value in range and a raw bit pattern of
// that size ("0xFF" for an Integer8 is -1).
bool FitsSize(uint64_t value, std::size_t size, bool isSigned)
{
    if (size >= sizeof(uint64_t)) {
        return true;
    }
    const unsigned bits = static_cast<unsigned>(8 * size);
    if ((value >> bits) == 0) {
        return true;
    }
    if (!isSigned) {
        return false;
    }
    const auto signedValue = static_cast<int64_t>(value);
    const int64_t limit = int64_t{1} << (bits - 1);
    return signedValue >= -limit && signedValue < limit;
}

struct Loader {
    const EdsText& text;
    uint8_t nodeId;
    std::vector<std::string>& warnings;

    void Warn(std::string_view section, std::string_view message)
    {
        warnings.push_back("[" + std::string(section) + "] " + std::string(message));
    }

    // Hex pairs ("C83DBB") are the written form of octet strings and domains;
    // anything else is taken as the raw text bytes.
    static std::vector<uint8_t> DecodeOctets(std::string_view value)
    {
        bool hexPairs = value.size() % 2 == 0;
        for (const char c : value) {
            hexPairs = hexPairs && detail::HexDigitValue(c) >= 0;
        }
        if (!hexPairs) {
            return {value.begin(), value.end()};
        }
        std::vector<uint8_t> bytes(value.size() / 2);
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = static_cast<uint8_t>(detail::HexDigitValue(value[2 * i]) * 16 +
                                            detail::HexDigitValue(value[2 * i + 1]));
        }
        return bytes;
    }

    template <typename Float>
    std::optional<std::vector<uint8_t>> ParseReal(std::string_view value)
    {
        Float parsed{};
        const char* end = value.data() + value.size();
        const auto [ptr, ec] = std::from_chars(value.data(), end, parsed);
        if (ec == std::errc() && ptr == end) {
            using Bits = std::conditional_t<sizeof(Float) == 4, uint32_t, uint64_t>;
            return LittleEndian(std::bit_cast<Bits>(parsed), sizeof(Float));
        }
        // Some tools write the IEEE bit pattern as an integer ("0x3F800000").
        if (const auto raw = EvaluateEdsNumber(value, nodeId); raw && FitsSize(*raw, sizeof(Float), false)) {
            return LittleEndian(*raw, sizeof(Float));
        }
        return std::nullopt;
    }

    // The value bytes of an entry. A missing or empty value gives zeros of the
    // type's size (nothing for strings and domains). A number too large for
    // its type is truncated to the type's size, keeping the low bytes, as a
    // device storing it would; a warning records it.
    std::vector<uint8_t> ConvertValue(std::string_view section, DataType type, std::string_view value)
    {
        const std::size_t size = SizeOf(type);
        if (value.empty()) {
            return std::vector<uint8_t>(size, 0);
        }
        switch (type) {
        case DataType::VisibleString:
        case DataType::UnicodeString:
            return {value.begin(), value.end()};
        case DataType::OctetString:
        case DataType::Domain:
            return DecodeOctets(value);
        case DataType::Real32:
        case DataType::Real64: {
            auto bytes = type == DataType::Real32 ? ParseReal<float>(value) : ParseReal<double>(value);
            if (bytes) {
                return *bytes;
            }
            Warn(section, "value '" + std::string(value) + "' is not a real number; zero used");
            return std::vector<uint8_t>(size, 0);
        }
        case DataType::Boolean:
            if (detail::EqualsNoCase(value, "true")) {
                return {1};
            }
            if (detail::EqualsNoCase(value, "false")) {
                return {0};
            }
            break;
        default:
            break;
        }
        if (value.front() == '-' && !IsSigned(type)) {
            Warn(section, "negative value '" + std::string(value) + "' for an unsigned type; zero used");
            return std::vector<uint8_t>(size, 0);
        }
        const std::optional<uint64_t> number = EvaluateEdsNumber(value, nodeId);
        if (!number) {
            Warn(section, "value '" + std::string(value) + "' is not a number; zero used");
            return std::vector<uint8_t>(size, 0);
        }
        if (!FitsSize(*number, size, IsSigned(type))) {
            Warn(section, "value '" + std::string(value) + "' does not fit its type; truncated");
        }
        return LittleEndian(*number, size);
    }

    // The value of a section: a DCF's ParameterValue when it has one, else
    // DefaultValue.
    std::string ValueText(std::string_view section) const
    {
        if (auto parameter = text.Value(section, "ParameterValue"); parameter && !parameter->empty()) {
            return *parameter;
        }
        return text.Value(section, "DefaultValue").value_or("");
    }

    std::optional<uint64_t> Number(std::string_view section, std::string_view key) const
    {
        const auto value = text.Value(section, key);
        return value ? EvaluateEdsNumber(*value, nodeId) : std::nullopt;
    }

    // Name, type, access and mapping of a section; nullopt (with a warning)
    // when its data type is missing or not one the simulator stores.
    std::optional<ObjectEntry> ReadAttributes(std::string_view section, uint16_t index, uint8_t subIndex)
    {
        ObjectEntry entry;
        entry.index = index;
        entry.subIndex = subIndex;
        entry.name = text.Value(section, "ParameterName").value_or("");
        const auto typeText = text.Value(section, "DataType");
        if (!typeText) {
            Warn(section, "no DataType; skipped");
            return std::nullopt;
        }
        const auto typeCode = EvaluateEdsNumber(*typeText, nodeId);
        const auto type = typeCode ? ToDataType(*typeCode) : std::nullopt;
        if (!type) {
            Warn(section, "unsupported DataType " + *typeText + "; skipped");
            return std::nullopt;
        }
        entry.type = *type;
        const auto accessText = text.Value(section, "AccessType");
        const auto access = accessText ? ParseAccess(*accessText) : std::nullopt;
        if (!access) {
            Warn(section, "missing or unknown AccessType; read-only assumed");
        }
        entry.access = access.value_or(Access::ReadOnly);
        const auto mappingText = text.Value(section, "PDOMapping");
        entry.pdoMappable = mappingText && (detail::EqualsNoCase(*mappingText, "true") ||
                                            EvaluateEdsNumber(*mappingText, nodeId).value_or(0) != 0);
        return entry;
    }

    void AddEntry(ObjectDictionary& dictionary, std::string_view section, uint16_t index, uint8_t subIndex)
    {
        if (auto entry = ReadAttributes(section, index, subIndex)) {
            entry->value = ConvertValue(section, entry->type, ValueText(section));
            dictionary.Put(std::move(*entry));
        }
    }

    // CompactSubObj=N: sub 0 is the read-only count N; subs 1..N share the
    // object's type, access and mapping, take their values from [NNNNValue]
    // (decimal sub-index keys) or else the object's own value, and their names
    // from [NNNNName] or else the object's name followed by the sub-index.
    void AddCompact(ObjectDictionary& dictionary, const std::string& section, uint16_t index, uint64_t count)
    {
        if (count > kMaxCompactSubObjects) {
            Warn(section, "CompactSubObj above 254; limited to 254");
            count = kMaxCompactSubObjects;
        }
        const auto shape = ReadAttributes(section, index, 0);
        if (!shape) {
            return;
        }
        ObjectEntry highest;
        highest.index = index;
        highest.subIndex = 0;
        highest.name = "Highest sub-index supported";
        highest.type = DataType::Unsigned8;
        highest.access = Access::ReadOnly;
        highest.value = {static_cast<uint8_t>(count)};
        dictionary.Put(std::move(highest));

        const std::string valueSection = section + "Value";
        const std::string nameSection = section + "Name";
        const std::string ownValue = ValueText(section);
        for (uint64_t sub = 1; sub <= count; ++sub) {
            ObjectEntry entry = *shape;
            entry.subIndex = static_cast<uint8_t>(sub);
            const std::string key = std::to_string(sub);
            entry.name = text.Value(nameSection, key).value_or(shape->name + std::to_string(sub));
            const std::string value = text.Value(valueSection, key).value_or(ownValue);
            entry.value = ConvertValue(valueSection, entry.type, value);
            dictionary.Put(std::move(entry));
        }
    }
};

}  // namespace

EdsLoad ParseEds(std::string_view input, uint8_t nodeId)
{
    EdsLoad load;
    load.text = EdsText::Parse(input);
    const EdsText& text = load.text;
    Loader loader{text, nodeId, load.warnings};

    // Sections as written, grouped by object; a section written twice in
    // different case is one section already.
    std::map<uint16_t, std::string> objects;
    std::map<uint16_t, std::vector<std::pair<uint8_t, std::string>>> subObjects;
    for (const std::string& name : text.Sections()) {
        const SectionName kind = ClassifySection(name);
        if (kind.kind == SectionKind::Object) {
            objects.emplace(kind.index, name);
        } else if (kind.kind == SectionKind::SubObject) {
            subObjects[kind.index].emplace_back(kind.subIndex, name);
        }
    }
    if (objects.empty()) {
        load.error = "no object sections ([NNNN] with a hex index) found";
        return load;
    }

    for (const auto& [index, section] : objects) {
        const auto subNumber = loader.Number(section, "SubNumber").value_or(0);
        const auto objectType =
            loader.Number(section, "ObjectType").value_or(subNumber > 0 ? kObjectTypeRecord : kObjectTypeVar);
        const auto subs = subObjects.find(index);
        switch (objectType) {
        case kObjectTypeVar:
        case kObjectTypeDomain:
        case kObjectTypeDefType:
            loader.AddEntry(load.dictionary, section, index, 0);
            break;
        case kObjectTypeArray:
        case kObjectTypeRecord:
        case kObjectTypeDefStruct:
            if (const auto compact = loader.Number(section, "CompactSubObj"); compact && *compact > 0) {
                loader.AddCompact(load.dictionary, section, index, *compact);
            } else if (subs != subObjects.end()) {
                for (const auto& [subIndex, subSection] : subs->second) {
                    loader.AddEntry(load.dictionary, subSection, index, subIndex);
                }
            } else {
                loader.Warn(section, "structured object without sub-objects; skipped");
            }
            break;
        default:
            loader.Warn(section, "unsupported ObjectType; skipped");
            break;
        }
        if (subs != subObjects.end() && objectType != kObjectTypeArray && objectType != kObjectTypeRecord &&
            objectType != kObjectTypeDefStruct) {
            loader.Warn(section, "sub-sections of a simple object ignored");
        }
    }
    for (const auto& [index, subs] : subObjects) {
        if (!objects.contains(index)) {
            loader.Warn(subs.front().second,
                        "sub-section without its object section [" + HexName(index) + "]; ignored");
        }
    }
    if (load.dictionary.Size() == 0) {
        load.error = "none of the object sections describes a usable object";
        return load;
    }

    load.info.vendorName = text.Value("DeviceInfo", "VendorName").value_or("");
    load.info.productName = text.Value("DeviceInfo", "ProductName").value_or("");
    load.info.vendorNumber = static_cast<uint32_t>(loader.Number("DeviceInfo", "VendorNumber").value_or(0));
    load.info.productNumber = static_cast<uint32_t>(loader.Number("DeviceInfo", "ProductNumber").value_or(0));
    load.ok = true;
    return load;
}

EdsLoad LoadEds(const std::string& path, uint8_t nodeId)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        EdsLoad load;
        load.error = "cannot open '" + path + "': " + std::generic_category().message(errno);
        return load;
    }
    std::ostringstream content;
    content << file.rdbuf();
    if (file.bad()) {
        EdsLoad load;
        load.error = "cannot read '" + path + "'";
        return load;
    }
    EdsLoad load = ParseEds(content.view(), nodeId);
    if (!load.ok) {
        load.error = path + ": " + load.error;
    }
    return load;
}

}  // namespace vexsim
