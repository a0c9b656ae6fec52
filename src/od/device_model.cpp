// Reading an EDS or DCF text into the device model: the text is cut into
// sections of keys (one pass), then each section is read by what its name
// says, sub-objects are attached, compact objects expanded, and the lookup
// maps built.
#include "device_model.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include "reader_internal.hpp"

namespace vexan::od {

namespace {

constexpr std::size_t kMaxFileBytes = 64U << 20U;
constexpr unsigned kMaxCompactSubs = 254;
constexpr std::size_t kCompactBudgetFloor = 4096;

struct RawKey {
    std::string_view key;
    std::string_view value;
    unsigned line = 0;
};

struct RawSection {
    std::string_view name;
    unsigned line = 0;
    std::vector<RawKey> keys;
};

std::string Lower(std::string_view text)
{
    std::string out(text);
    for (char& c : out) {
        c = LowerAscii(c);
    }
    return out;
}

std::string Hex4(unsigned index)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out = "0x0000";
    for (int i = 5; i >= 2; --i) {
        out[static_cast<std::size_t>(i)] = kDigits[index & 0xFU];
        index >>= 4U;
    }
    return out;
}

// Cuts the text into sections: line ends CRLF, LF or CR; ';' starts a
// comment line; keys before the first section and lines without '=' are
// reported.
std::vector<RawSection> CutSections(std::string_view text, std::vector<Diagnostic>& diagnostics)
{
    std::vector<RawSection> sections;
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
    }
    bool in_bad_header = false;
    unsigned line = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        ++line;
        std::size_t end = at;
        while (end < text.size() && text[end] != '\n' && text[end] != '\r') {
            ++end;
        }
        const std::string_view content = Trim(text.substr(at, end - at));
        at = end;
        if (at < text.size() && text[at] == '\r') {
            ++at;
        }
        if (at < text.size() && text[at] == '\n' && (at == end || text[at - 1] == '\r')) {
            ++at;
        }
        if (content.empty() || content.front() == ';') {
            continue;
        }
        if (content.front() == '[') {
            const std::size_t close = content.find(']');
            const std::string_view rest = close == std::string_view::npos ? "" : Trim(content.substr(close + 1));
            if (close == std::string_view::npos || (!rest.empty() && rest.front() != ';')) {
                diagnostics.push_back(
                    {line, DiagnosticKind::Syntax,
                     "malformed section header \"" + std::string(content) + "\"; its keys are ignored"});
                in_bad_header = true;
                continue;
            }
            in_bad_header = false;
            sections.push_back({Trim(content.substr(1, close - 1)), line, {}});
            continue;
        }
        const std::size_t equals = content.find('=');
        if (equals == std::string_view::npos || Trim(content.substr(0, equals)).empty()) {
            diagnostics.push_back(
                {line, DiagnosticKind::Syntax, "\"" + std::string(content) + "\" is no key=value line; ignored"});
            continue;
        }
        if (in_bad_header) {
            continue;
        }
        if (sections.empty()) {
            diagnostics.push_back({line, DiagnosticKind::Syntax, "key outside any section; ignored"});
            continue;
        }
        sections.back().keys.push_back({Trim(content.substr(0, equals)), Trim(content.substr(equals + 1)), line});
    }
    return sections;
}

// Drops the second and later of equal keys (in any case), reporting each.
void DropDuplicateKeys(RawSection& section, std::vector<Diagnostic>& diagnostics)
{
    if (section.keys.size() < 2) {
        return;
    }
    std::vector<std::pair<std::string, std::size_t>> sorted;
    sorted.reserve(section.keys.size());
    for (std::size_t i = 0; i < section.keys.size(); ++i) {
        sorted.emplace_back(Lower(section.keys[i].key), i);
    }
    std::sort(sorted.begin(), sorted.end());
    std::vector<bool> drop(section.keys.size(), false);
    bool any = false;
    for (std::size_t i = 1; i < sorted.size(); ++i) {
        if (sorted[i].first == sorted[i - 1].first) {
            const RawKey& first = section.keys[sorted[i - 1].second];
            const RawKey& again = section.keys[sorted[i].second];
            diagnostics.push_back({again.line, DiagnosticKind::DuplicateKey,
                                   "key " + std::string(again.key) + " given again in [" + std::string(section.name) +
                                       "] (first at line " + std::to_string(first.line) + "); ignored"});
            drop[sorted[i].second] = true;
            sorted[i].second = sorted[i - 1].second;  // the first stays the one compared with
            any = true;
        }
    }
    if (!any) {
        return;
    }
    std::vector<RawKey> kept;
    for (std::size_t i = 0; i < section.keys.size(); ++i) {
        if (!drop[i]) {
            kept.push_back(section.keys[i]);
        }
    }
    section.keys = std::move(kept);
}

bool HexDigits(std::string_view text, std::size_t count)
{
    if (text.size() < count) {
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const char c = LowerAscii(text[i]);
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

unsigned HexValue(std::string_view text)
{
    unsigned value = 0;
    for (const char c : text) {
        const char l = LowerAscii(c);
        value = value * 16 + static_cast<unsigned>(l <= '9' ? l - '0' : l - 'a' + 10);
    }
    return value;
}

enum class SectionClass : uint8_t {
    Object,
    SubObject,
    Names,
    Values,
    Denotations,
    FileInfo,
    DeviceInfo,
    DummyUsage,
    Comments,
    Mandatory,
    Optional,
    Manufacturer,
    Commissioning,
    Other,
};

struct Classified {
    SectionClass section_class = SectionClass::Other;
    uint16_t index = 0;
    unsigned subindex = 0;
};

Classified Classify(std::string_view name)
{
    if (HexDigits(name, 4)) {
        const auto index = static_cast<uint16_t>(HexValue(name.substr(0, 4)));
        const std::string_view rest = name.substr(4);
        if (rest.empty()) {
            return {SectionClass::Object, index, 0};
        }
        if (rest.size() > 3 && EqualsNoCase(rest.substr(0, 3), "sub") && HexDigits(rest.substr(3), rest.size() - 3)) {
            const std::string_view digits = rest.substr(3);
            // Leading zeros allowed; the value must be a sub-index.
            const std::size_t first = std::min(digits.find_first_not_of('0'), digits.size());
            if (digits.size() - first <= 2) {
                return {SectionClass::SubObject, index, HexValue(digits.substr(first))};
            }
            return {SectionClass::Other, index, 0};
        }
        if (EqualsNoCase(rest, "name")) {
            return {SectionClass::Names, index, 0};
        }
        if (EqualsNoCase(rest, "value")) {
            return {SectionClass::Values, index, 0};
        }
        if (EqualsNoCase(rest, "denotation")) {
            return {SectionClass::Denotations, index, 0};
        }
        return {};
    }
    static constexpr std::pair<std::string_view, SectionClass> kNamed[] = {
        {"FileInfo", SectionClass::FileInfo},
        {"DeviceInfo", SectionClass::DeviceInfo},
        {"DummyUsage", SectionClass::DummyUsage},
        {"Comments", SectionClass::Comments},
        {"MandatoryObjects", SectionClass::Mandatory},
        {"OptionalObjects", SectionClass::Optional},
        {"ManufacturerObjects", SectionClass::Manufacturer},
        {"DeviceComissioning", SectionClass::Commissioning},
        {"DeviceCommissioning", SectionClass::Commissioning},
    };
    for (const auto& [known, section_class] : kNamed) {
        if (EqualsNoCase(name, known)) {
            return {section_class, 0, 0};
        }
    }
    return {};
}

}  // namespace

// Builds one model; a class so that it reaches the model's private members.
class ModelBuilder {
public:
    explicit ModelBuilder(FileKind kind) : kind_(kind) {}

    DeviceModel Build(std::string_view text)
    {
        // CompactSubObj makes up to 255 entries from a few bytes: their total is
        // bounded by the text's size, so that a small file cannot claim
        // gigabytes (real files make a few hundred).
        compact_budget_ = text.size() / 8 + kCompactBudgetFloor;
        std::vector<RawSection> sections = CutSections(text, model_.diagnostics_);
        std::vector<std::pair<const RawSection*, Classified>> subs;
        std::map<std::string, unsigned> named_seen;  // lower-case name -> line
        for (RawSection& section : sections) {
            DropDuplicateKeys(section, model_.diagnostics_);
        }
        // Whether the values of [xxxxValue] are parameter values.
        bool commissioning = false;
        for (const RawSection& section : sections) {
            commissioning = commissioning || Classify(section.name).section_class == SectionClass::Commissioning;
        }
        model_.dcf_ = kind_ == FileKind::Dcf || (kind_ == FileKind::Auto && commissioning);

        for (const RawSection& section : sections) {
            const Classified classified = Classify(section.name);
            switch (classified.section_class) {
            case SectionClass::Object:
                ReadObject(section, classified.index);
                continue;
            case SectionClass::SubObject:
                subs.emplace_back(&section, classified);
                continue;
            case SectionClass::Names:
            case SectionClass::Values:
            case SectionClass::Denotations: {
                auto& table = classified.section_class == SectionClass::Names    ? names_
                              : classified.section_class == SectionClass::Values ? values_
                                                                                 : denotations_;
                if (!table.emplace(classified.index, &section).second) {
                    Report(section.line, DiagnosticKind::DuplicateSection,
                           "section [" + std::string(section.name) + "] given again; ignored");
                }
                continue;
            }
            case SectionClass::Other:
                model_.other_sections_.push_back(Copy(section));
                continue;
            default:
                break;
            }
            const auto [seen, fresh] = named_seen.emplace(Lower(section.name), section.line);
            if (!fresh) {
                Report(section.line, DiagnosticKind::DuplicateSection,
                       "section [" + std::string(section.name) + "] given again (first at line " +
                           std::to_string(seen->second) + "); ignored");
                continue;
            }
            ReadNamedSection(section, classified.section_class);
        }
        for (const auto& [section, classified] : subs) {
            ReadSubObject(*section, classified.index, static_cast<uint8_t>(classified.subindex));
        }
        for (auto& [index, object] : objects_) {
            FinishObject(object);
        }
        for (const auto* table : {&names_, &values_, &denotations_}) {
            for (const auto& [index, section] : *table) {
                if (objects_.find(index) == objects_.end()) {
                    Report(section->line, DiagnosticKind::Inconsistent,
                           "[" + std::string(section->name) + "] has no object section; ignored");
                }
            }
        }
        CheckLists();
        BuildMaps();
        std::stable_sort(model_.diagnostics_.begin(), model_.diagnostics_.end(),
                         [](const Diagnostic& a, const Diagnostic& b) { return a.line < b.line; });
        return std::move(model_);
    }

private:
    void Report(unsigned line, DiagnosticKind kind, std::string message)
    {
        model_.diagnostics_.push_back({line, kind, std::move(message)});
    }

    static Section Copy(const RawSection& raw)
    {
        Section section{std::string(raw.name), raw.line, {}};
        section.keys.reserve(raw.keys.size());
        for (const RawKey& key : raw.keys) {
            section.keys.push_back({std::string(key.key), std::string(key.value), key.line});
        }
        return section;
    }

    std::optional<uint64_t> Count(const RawKey& key, uint64_t max)
    {
        const std::optional<uint64_t> number = ParseUnsigned(key.value);
        if (!number || *number > max) {
            Report(key.line, DiagnosticKind::UnparsableValue,
                   std::string(key.key) + "=" + std::string(key.value) + " does not read as a number up to " +
                       std::to_string(max));
            return std::nullopt;
        }
        return number;
    }

    bool Flag(const RawKey& key)
    {
        const std::optional<uint64_t> number = Count(key, 1);
        return number.value_or(0) == 1;
    }

    // The keys of an object's or sub-object's section. Values are kept as text
    // here and read once the data type is known.
    Entry ReadEntryKeys(const RawSection& section, uint16_t index, uint8_t subindex, Object* object)
    {
        Entry entry;
        entry.index = index;
        entry.subindex = subindex;
        entry.line = section.line;
        bool named = false;
        bool typed = false;
        for (const RawKey& key : section.keys) {
            const std::string_view k = key.key;
            if (EqualsNoCase(k, "ParameterName")) {
                entry.name.assign(key.value);
                named = true;
            } else if (EqualsNoCase(k, "ObjectType")) {
                entry.object_type = ReadObjectType(key);
                typed = true;
            } else if (EqualsNoCase(k, "DataType")) {
                if (const std::optional<uint64_t> code = Count(key, 0xFFFF)) {
                    entry.data_type = static_cast<uint16_t>(*code);
                }
            } else if (EqualsNoCase(k, "AccessType")) {
                entry.access = ReadAccess(key);
            } else if (EqualsNoCase(k, "PDOMapping")) {
                entry.pdo_mapping = Flag(key);
            } else if (EqualsNoCase(k, "DefaultValue")) {
                Keep(entry.default_value, key);
            } else if (EqualsNoCase(k, "ParameterValue")) {
                Keep(entry.parameter_value, key);
            } else if (EqualsNoCase(k, "LowLimit")) {
                Keep(entry.low_limit, key);
            } else if (EqualsNoCase(k, "HighLimit")) {
                Keep(entry.high_limit, key);
            } else if (EqualsNoCase(k, "Denotation")) {
                entry.denotation.emplace(key.value);
            } else if (EqualsNoCase(k, "ObjFlags")) {
                if (const std::optional<uint64_t> flags = Count(key, 0xFFFFFFFF)) {
                    entry.obj_flags = static_cast<uint32_t>(*flags);
                }
            } else if (object != nullptr && EqualsNoCase(k, "SubNumber")) {
                if (const std::optional<uint64_t> number = Count(key, 0x100)) {
                    object->sub_number = static_cast<unsigned>(*number);
                }
            } else if (object != nullptr && EqualsNoCase(k, "CompactSubObj")) {
                if (const std::optional<uint64_t> number = Count(key, kMaxCompactSubs)) {
                    object->compact_sub_obj = static_cast<unsigned>(*number);
                }
            } else {
                entry.other_keys.push_back({std::string(key.key), std::string(key.value), key.line});
            }
        }
        if (!named) {
            Report(section.line, DiagnosticKind::MissingKey,
                   "[" + std::string(section.name) + "] has no ParameterName");
        }
        if (!typed && object != nullptr && (object->sub_number || object->compact_sub_obj)) {
            // A header without ObjectType that announces sub-objects.
            entry.object_type = object->compact_sub_obj ? ObjectType::Array : ObjectType::Record;
        }
        return entry;
    }

    static void Keep(Value& value, const RawKey& key)
    {
        value.text.assign(key.value);
        value.line = key.line;
        value.state = Value::State::Valid;  // read again by ReadValues
    }

    ObjectType ReadObjectType(const RawKey& key)
    {
        static constexpr std::pair<std::string_view, ObjectType> kNames[] = {
            {"NULL", ObjectType::Null},           {"DOMAIN", ObjectType::Domain}, {"DEFTYPE", ObjectType::DefType},
            {"DEFSTRUCT", ObjectType::DefStruct}, {"VAR", ObjectType::Var},       {"ARRAY", ObjectType::Array},
            {"RECORD", ObjectType::Record},
        };
        for (const auto& [name, type] : kNames) {
            if (EqualsNoCase(key.value, name)) {
                return type;
            }
        }
        const std::optional<uint64_t> code = ParseUnsigned(key.value);
        for (const auto& [name, type] : kNames) {
            if (code && *code == static_cast<uint64_t>(type)) {
                return type;
            }
        }
        Report(key.line, DiagnosticKind::UnparsableValue,
               "ObjectType=" + std::string(key.value) + " is no object type; taken as VAR");
        return ObjectType::Var;
    }

    std::optional<Access> ReadAccess(const RawKey& key)
    {
        static constexpr std::pair<std::string_view, Access> kNames[] = {
            {"ro", Access::Ro},   {"wo", Access::Wo},   {"rw", Access::Rw},
            {"rwr", Access::Rwr}, {"rww", Access::Rww}, {"const", Access::Const},
        };
        for (const auto& [name, access] : kNames) {
            if (EqualsNoCase(key.value, name)) {
                return access;
            }
        }
        Report(key.line, DiagnosticKind::UnparsableValue,
               "AccessType=" + std::string(key.value) + " is no access type");
        return std::nullopt;
    }

    // Reads the kept texts of the values by the entry's data type.
    void ReadValues(Entry& entry)
    {
        const std::pair<Value*, std::string_view> values[] = {{&entry.default_value, "DefaultValue"},
                                                              {&entry.parameter_value, "ParameterValue"},
                                                              {&entry.low_limit, "LowLimit"},
                                                              {&entry.high_limit, "HighLimit"}};
        for (const auto& [value, key] : values) {
            if (value->state == Value::State::Absent) {
                continue;
            }
            const std::string text = value->text;
            std::string why;
            if (!ParseValue(text, entry.data_type, *value, why)) {
                std::string message(key);
                message += "=" + text + " of " + Hex4(entry.index) + " sub " + std::to_string(entry.subindex);
                message += " does not read as ";
                message += entry.data_type ? DataTypeName(*entry.data_type) : "";
                message += " (" + why + ")";
                Report(value->line, DiagnosticKind::UnparsableValue, std::move(message));
            }
        }
    }

    static bool SingleEntry(ObjectType type)
    {
        return type == ObjectType::Var || type == ObjectType::Domain || type == ObjectType::DefType ||
               type == ObjectType::Null;
    }

    void ReadObject(const RawSection& section, uint16_t index)
    {
        if (const auto found = objects_.find(index); found != objects_.end()) {
            Report(section.line, DiagnosticKind::DuplicateObject,
                   "object " + Hex4(index) + " given again as [" + std::string(section.name) + "] (first at line " +
                       std::to_string(found->second.own.line) + "); ignored");
            return;
        }
        Object& object = objects_[index];
        object.index = index;
        object.own = ReadEntryKeys(section, index, 0, &object);
        object.type = object.own.object_type;
        if (SingleEntry(object.type)) {
            if (!object.own.data_type) {
                Report(section.line, DiagnosticKind::MissingKey, "[" + std::string(section.name) + "] has no DataType");
            }
            if (!object.own.access) {
                Report(section.line, DiagnosticKind::MissingKey,
                       "[" + std::string(section.name) + "] has no AccessType");
            }
        }
        ReadValues(object.own);
    }

    void ReadSubObject(const RawSection& section, uint16_t index, uint8_t subindex)
    {
        auto found = objects_.find(index);
        if (found == objects_.end()) {
            Report(section.line, DiagnosticKind::OrphanSubObject,
                   "[" + std::string(section.name) + "] has no object section [" + Hex4(index).substr(2) +
                       "]; kept under an unnamed RECORD");
            found = objects_.emplace(index, Object{}).first;
            found->second.index = index;
            found->second.type = ObjectType::Record;
            found->second.own.index = index;
            found->second.own.object_type = ObjectType::Record;
            found->second.own.line = section.line;
            found->second.made_for_orphans = true;
        }
        Object& object = found->second;
        if (SingleEntry(object.type)) {
            Report(section.line, DiagnosticKind::Inconsistent,
                   "[" + std::string(section.name) + "] belongs to object " + Hex4(index) + ", a " +
                       std::string(ObjectTypeName(object.type)) + " without sub-objects; ignored");
            return;
        }
        for (const Entry& sub : object.subs) {
            if (sub.subindex == subindex) {
                Report(section.line, DiagnosticKind::DuplicateSubObject,
                       "sub-object " + Hex4(index) + " sub " + std::to_string(subindex) + " given again as [" +
                           std::string(section.name) + "] (first at line " + std::to_string(sub.line) + "); ignored");
                return;
            }
        }
        Entry entry = ReadEntryKeys(section, index, subindex, nullptr);
        if (!entry.data_type) {
            Report(section.line, DiagnosticKind::MissingKey, "[" + std::string(section.name) + "] has no DataType");
        }
        if (!entry.access) {
            Report(section.line, DiagnosticKind::MissingKey, "[" + std::string(section.name) + "] has no AccessType");
        }
        ReadValues(entry);
        object.subs.push_back(std::move(entry));
    }

    // The sub-objects of CompactSubObj, then the counts.
    void FinishObject(Object& object)
    {
        const std::size_t explicit_subs = object.subs.size();
        const bool compact = object.compact_sub_obj && *object.compact_sub_obj > 0 && !SingleEntry(object.type);
        if (compact && *object.compact_sub_obj + 1 > compact_budget_) {
            Report(object.own.line, DiagnosticKind::Inconsistent,
                   "object " + Hex4(object.index) +
                       ": more compact sub-objects than a file of this size can mean; not expanded");
        } else if (compact) {
            compact_budget_ -= *object.compact_sub_obj + 1;
            Expand(object);
        } else {
            for (const auto* table : {&names_, &values_, &denotations_}) {
                if (const auto found = table->find(object.index); found != table->end()) {
                    Report(found->second->line, DiagnosticKind::Inconsistent,
                           "[" + std::string(found->second->name) +
                               "] belongs to an object without CompactSubObj; "
                               "ignored");
                }
            }
        }
        std::sort(object.subs.begin(), object.subs.end(),
                  [](const Entry& a, const Entry& b) { return a.subindex < b.subindex; });
        if (object.sub_number && !object.compact_sub_obj && *object.sub_number != explicit_subs) {
            Report(object.own.line, DiagnosticKind::Inconsistent,
                   "object " + Hex4(object.index) + " has SubNumber=" + std::to_string(*object.sub_number) + " but " +
                       std::to_string(explicit_subs) + " sub-object sections");
        }
    }

    void Expand(Object& object)
    {
        const unsigned count = *object.compact_sub_obj;
        const Entry& header = object.own;
        std::vector<Entry> generated;
        generated.reserve(count + 1);
        Entry first;
        first.index = object.index;
        first.name = "Highest sub-index supported";
        first.data_type = datatype::kUnsigned8;
        first.access = Access::Ro;
        first.default_value.text = std::to_string(count);
        first.default_value.state = Value::State::Valid;
        first.default_value.number = Number{uint64_t{count}};
        first.line = header.line;
        first.generated = true;
        generated.push_back(std::move(first));
        for (unsigned sub = 1; sub <= count; ++sub) {
            Entry entry;
            entry.index = object.index;
            entry.subindex = static_cast<uint8_t>(sub);
            entry.name = header.name + std::to_string(sub);
            entry.data_type = header.data_type;
            entry.access = header.access;
            entry.pdo_mapping = header.pdo_mapping;
            entry.default_value = header.default_value;
            entry.low_limit = header.low_limit;
            entry.high_limit = header.high_limit;
            entry.line = header.line;
            entry.generated = true;
            generated.push_back(std::move(entry));
        }
        generated_ = &generated;
        ApplyNumbered(object, names_, count, [&](Entry& entry, const RawKey& key) { entry.name.assign(key.value); });
        ApplyNumbered(object, denotations_, count,
                      [&](Entry& entry, const RawKey& key) { entry.denotation.emplace(key.value); });
        ApplyNumbered(object, values_, count, [&](Entry& entry, const RawKey& key) {
            Value& value = model_.dcf_ ? entry.parameter_value : entry.default_value;
            std::string why;
            value.line = key.line;
            if (!ParseValue(key.value, entry.data_type, value, why)) {
                Report(key.line, DiagnosticKind::UnparsableValue,
                       "value " + std::string(key.value) + " of " + Hex4(entry.index) + " sub " +
                           std::to_string(entry.subindex) + " does not read (" + why + ")");
            }
        });
        // Sections written out for some sub-indices replace the generated ones.
        for (Entry& entry : generated) {
            const auto written = std::find_if(object.subs.begin(), object.subs.end(),
                                              [&](const Entry& sub) { return sub.subindex == entry.subindex; });
            if (written != object.subs.end()) {
                Report(written->line, DiagnosticKind::Inconsistent,
                       "sub-object section of " + Hex4(object.index) + " sub " + std::to_string(entry.subindex) +
                           " beside CompactSubObj; the section counts");
                continue;
            }
            object.subs.push_back(std::move(entry));
        }
        generated_ = nullptr;
    }

    // Applies "n=text" of a [xxxxName]/[xxxxValue]/[xxxxDenotation] section to
    // generated sub-object n (1..count).
    template <typename Apply>
    void ApplyNumbered(Object& object, const std::map<uint16_t, const RawSection*>& table, unsigned count, Apply apply)
    {
        const auto found = table.find(object.index);
        if (found == table.end()) {
            return;
        }
        for (const RawKey& key : found->second->keys) {
            if (EqualsNoCase(key.key, "NrOfEntries")) {
                Count(key, kMaxCompactSubs);
                continue;
            }
            const std::optional<uint64_t> sub = ParseUnsigned(key.key);
            if (!sub || *sub == 0 || *sub > count) {
                Report(key.line, DiagnosticKind::Inconsistent,
                       "entry " + std::string(key.key) + " of [" + std::string(found->second->name) +
                           "] is no sub-index 1.." + std::to_string(count) + "; ignored");
                continue;
            }
            apply(generated_->at(*sub), key);
        }
    }

    void ReadNamedSection(const RawSection& section, SectionClass section_class)
    {
        switch (section_class) {
        case SectionClass::FileInfo:
            ReadFileInfo(section);
            break;
        case SectionClass::DeviceInfo:
            ReadDeviceInfo(section);
            break;
        case SectionClass::DummyUsage:
            for (const RawKey& key : section.keys) {
                const std::string_view k = key.key;
                if (k.size() == 9 && EqualsNoCase(k.substr(0, 5), "Dummy") && HexDigits(k.substr(5), 4)) {
                    if (Flag(key)) {
                        model_.dummy_usage_.push_back(static_cast<uint16_t>(HexValue(k.substr(5))));
                    }
                } else {
                    Report(key.line, DiagnosticKind::Syntax, "unknown key " + std::string(k) + " in [DummyUsage]");
                }
            }
            std::sort(model_.dummy_usage_.begin(), model_.dummy_usage_.end());
            break;
        case SectionClass::Comments:
            ReadComments(section);
            break;
        case SectionClass::Mandatory:
            ReadList(section, model_.mandatory_);
            break;
        case SectionClass::Optional:
            ReadList(section, model_.optional_);
            break;
        case SectionClass::Manufacturer:
            ReadList(section, model_.manufacturer_);
            break;
        case SectionClass::Commissioning:
            ReadCommissioning(section);
            break;
        default:
            break;
        }
    }

    void ReadFileInfo(const RawSection& section)
    {
        FileInfo& info = model_.file_info_;
        const std::pair<std::string_view, std::string*> fields[] = {
            {"FileName", &info.file_name},
            {"FileVersion", &info.file_version},
            {"FileRevision", &info.file_revision},
            {"EDSVersion", &info.eds_version},
            {"Description", &info.description},
            {"CreationTime", &info.creation_time},
            {"CreationDate", &info.creation_date},
            {"CreatedBy", &info.created_by},
            {"ModificationTime", &info.modification_time},
            {"ModificationDate", &info.modification_date},
            {"ModifiedBy", &info.modified_by},
        };
        Section others{std::string(section.name), section.line, {}};
        for (const RawKey& key : section.keys) {
            const auto field = std::find_if(std::begin(fields), std::end(fields),
                                            [&](const auto& f) { return EqualsNoCase(key.key, f.first); });
            if (field != std::end(fields)) {
                field->second->assign(key.value);
            } else {
                others.keys.push_back({std::string(key.key), std::string(key.value), key.line});
            }
        }
        KeepOthers(std::move(others));
    }

    void ReadDeviceInfo(const RawSection& section)
    {
        DeviceInfo& info = model_.device_info_;
        Section others{std::string(section.name), section.line, {}};
        for (const RawKey& key : section.keys) {
            const std::string_view k = key.key;
            if (EqualsNoCase(k, "VendorName")) {
                info.vendor_name.assign(key.value);
            } else if (EqualsNoCase(k, "ProductName")) {
                info.product_name.assign(key.value);
            } else if (EqualsNoCase(k, "OrderCode")) {
                info.order_code.assign(key.value);
            } else if (EqualsNoCase(k, "VendorNumber")) {
                info.vendor_number = Count32(key);
            } else if (EqualsNoCase(k, "ProductNumber")) {
                info.product_number = Count32(key);
            } else if (EqualsNoCase(k, "RevisionNumber")) {
                info.revision_number = Count32(key);
            } else if (k.size() > 9 && EqualsNoCase(k.substr(0, 9), "BaudRate_")) {
                const std::optional<uint64_t> rate = ParseUnsigned(k.substr(9));
                if (rate && *rate <= 1000000 && Flag(key)) {
                    info.baud_rates.push_back(static_cast<unsigned>(*rate));
                } else if (!rate || *rate > 1000000) {
                    others.keys.push_back({std::string(key.key), std::string(key.value), key.line});
                }
            } else if (EqualsNoCase(k, "Granularity")) {
                info.granularity = Small(key);
            } else if (EqualsNoCase(k, "NrOfRxPDO")) {
                info.rx_pdo_count = Small(key);
            } else if (EqualsNoCase(k, "NrOfTxPDO")) {
                info.tx_pdo_count = Small(key);
            } else if (EqualsNoCase(k, "CompactPDO")) {
                info.compact_pdo = Small(key);
            } else if (EqualsNoCase(k, "SimpleBootUpMaster")) {
                info.simple_boot_up_master = Flag(key);
            } else if (EqualsNoCase(k, "SimpleBootUpSlave")) {
                info.simple_boot_up_slave = Flag(key);
            } else if (EqualsNoCase(k, "DynamicChannelsSupported")) {
                info.dynamic_channels_supported = Flag(key);
            } else if (EqualsNoCase(k, "GroupMessaging")) {
                info.group_messaging = Flag(key);
            } else if (EqualsNoCase(k, "LSS_Supported")) {
                info.lss_supported = Flag(key);
            } else {
                others.keys.push_back({std::string(key.key), std::string(key.value), key.line});
            }
        }
        std::sort(info.baud_rates.begin(), info.baud_rates.end());
        KeepOthers(std::move(others));
    }

    void ReadCommissioning(const RawSection& section)
    {
        Commissioning& info = model_.commissioning_.emplace();
        Section others{std::string(section.name), section.line, {}};
        for (const RawKey& key : section.keys) {
            const std::string_view k = key.key;
            if (EqualsNoCase(k, "NodeID")) {
                if (const std::optional<uint64_t> node = Count(key, 127)) {
                    info.node_id = static_cast<uint8_t>(*node);
                }
            } else if (EqualsNoCase(k, "Baudrate")) {
                info.baud_rate = Small(key);
            } else if (EqualsNoCase(k, "NodeName")) {
                info.node_name.assign(key.value);
            } else if (EqualsNoCase(k, "NetworkName")) {
                info.network_name.assign(key.value);
            } else if (EqualsNoCase(k, "NetNumber")) {
                info.net_number = Count32(key);
            } else if (EqualsNoCase(k, "LSS_SerialNumber")) {
                info.lss_serial_number = Count32(key);
            } else {
                others.keys.push_back({std::string(key.key), std::string(key.value), key.line});
            }
        }
        KeepOthers(std::move(others));
    }

    void ReadComments(const RawSection& section)
    {
        std::map<uint64_t, std::string> lines;
        std::optional<uint64_t> declared;
        for (const RawKey& key : section.keys) {
            if (EqualsNoCase(key.key, "Lines")) {
                declared = Count(key, 0xFFFF);
            } else if (key.key.size() > 4 && EqualsNoCase(key.key.substr(0, 4), "Line")) {
                const std::optional<uint64_t> number = ParseUnsigned(key.key.substr(4));
                if (number && *number >= 1 && *number <= 0xFFFF) {
                    lines.emplace(*number, std::string(key.value));
                    continue;
                }
                Report(key.line, DiagnosticKind::Syntax, "unknown key " + std::string(key.key) + " in [Comments]");
            } else {
                Report(key.line, DiagnosticKind::Syntax, "unknown key " + std::string(key.key) + " in [Comments]");
            }
        }
        for (auto& [number, text] : lines) {
            model_.comments_.push_back(std::move(text));
        }
        if (declared && *declared != lines.size()) {
            Report(section.line, DiagnosticKind::Inconsistent,
                   "[Comments] says Lines=" + std::to_string(*declared) + " but has " + std::to_string(lines.size()));
        }
    }

    void ReadList(const RawSection& section, std::vector<uint16_t>& list)
    {
        std::optional<uint64_t> declared;
        for (const RawKey& key : section.keys) {
            if (EqualsNoCase(key.key, "SupportedObjects")) {
                declared = Count(key, 0xFFFF);
                continue;
            }
            const std::optional<uint64_t> position = ParseUnsigned(key.key);
            const std::optional<uint64_t> index = ParseUnsigned(key.value);
            if (!position || !index || *index > 0xFFFF) {
                Report(key.line, DiagnosticKind::UnparsableValue,
                       std::string(key.key) + "=" + std::string(key.value) + " in [" + std::string(section.name) +
                           "] is no object index");
                continue;
            }
            list.push_back(static_cast<uint16_t>(*index));
            listed_.emplace_back(static_cast<uint16_t>(*index), key.line);
        }
        if (declared && *declared != list.size()) {
            Report(section.line, DiagnosticKind::Inconsistent,
                   "[" + std::string(section.name) + "] says SupportedObjects=" + std::to_string(*declared) +
                       " but lists " + std::to_string(list.size()));
        }
    }

    void CheckLists()
    {
        for (const auto& [index, line] : listed_) {
            if (objects_.find(index) == objects_.end()) {
                Report(line, DiagnosticKind::Inconsistent, "object " + Hex4(index) + " is listed but has no section");
            }
        }
    }

    void KeepOthers(Section others)
    {
        if (!others.keys.empty()) {
            model_.other_sections_.push_back(std::move(others));
        }
    }

    std::optional<uint32_t> Count32(const RawKey& key)
    {
        const std::optional<uint64_t> number = Count(key, 0xFFFFFFFF);
        return number ? std::optional<uint32_t>(static_cast<uint32_t>(*number)) : std::nullopt;
    }

    std::optional<unsigned> Small(const RawKey& key)
    {
        const std::optional<uint64_t> number = Count(key, 0xFFFF);
        return number ? std::optional<unsigned>(static_cast<unsigned>(*number)) : std::nullopt;
    }

    void BuildMaps()
    {
        model_.objects_.reserve(objects_.size());
        for (auto& [index, object] : objects_) {
            model_.objects_.push_back(std::move(object));
        }
        std::size_t entries = 0;
        for (const Object& object : model_.objects_) {
            entries += object.Entries().size();
        }
        model_.entry_count_ = entries;
        model_.by_index_.reserve(model_.objects_.size());
        model_.by_key_.reserve(entries);
        model_.entries_by_name_.reserve(entries * 2);
        for (const Object& object : model_.objects_) {
            model_.by_index_.emplace(object.index, &object);
            if (!object.made_for_orphans) {
                model_.objects_by_name_[object.Name()].push_back(&object);
            }
            for (const Entry& entry : object.Entries()) {
                model_.by_key_.emplace((uint32_t{object.index} << 8U) | entry.subindex, &entry);
                model_.entries_by_name_[entry.name].push_back(&entry);
                if (object.HasSubs()) {
                    model_.entries_by_name_[object.Name() + "/" + entry.name].push_back(&entry);
                }
            }
        }
    }

    FileKind kind_;
    DeviceModel model_;
    std::map<uint16_t, Object> objects_;
    std::map<uint16_t, const RawSection*> names_, values_, denotations_;
    std::vector<std::pair<uint16_t, unsigned>> listed_;
    std::size_t compact_budget_ = 0;
    std::vector<Entry>* generated_ = nullptr;
};

bool Object::HasSubs() const
{
    return !(type == ObjectType::Var || type == ObjectType::Domain || type == ObjectType::DefType ||
             type == ObjectType::Null);
}

std::span<const Entry> Object::Entries() const
{
    if (HasSubs() && !subs.empty()) {
        return subs;
    }
    return {&own, 1};
}

std::size_t DeviceModel::NameHash::operator()(std::string_view text) const noexcept
{
    return std::hash<std::string_view>{}(text);
}

DeviceModel DeviceModel::Parse(std::string_view text, FileKind kind)
{
    return ModelBuilder(kind).Build(text);
}

std::optional<DeviceModel> DeviceModel::Load(const std::string& path, std::string* error, FileKind kind)
{
    std::error_code code;
    if (std::filesystem::is_directory(path, code)) {
        if (error != nullptr) {
            *error = path + " is a directory";
        }
        return std::nullopt;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        if (error != nullptr) {
            *error = "cannot open " + path;
        }
        return std::nullopt;
    }
    std::string text;
    file.seekg(0, std::ios::end);
    const std::streamoff size = file.tellg();
    if (size < 0 || static_cast<uint64_t>(size) > kMaxFileBytes) {
        if (error != nullptr) {
            *error = size < 0 ? "cannot read " + path : path + " is larger than 64 MiB";
        }
        return std::nullopt;
    }
    file.seekg(0, std::ios::beg);
    text.resize(static_cast<std::size_t>(size));
    if (!file.read(text.data(), size)) {
        if (error != nullptr) {
            *error = "cannot read " + path;
        }
        return std::nullopt;
    }
    if (kind == FileKind::Auto && path.size() >= 4 &&
        EqualsNoCase(std::string_view(path).substr(path.size() - 4), ".dcf")) {
        kind = FileKind::Dcf;
    }
    return Parse(text, kind);
}

const Object* DeviceModel::FindObject(uint16_t index) const
{
    const auto found = by_index_.find(index);
    return found == by_index_.end() ? nullptr : found->second;
}

const Entry* DeviceModel::FindEntry(uint16_t index, uint8_t subindex) const
{
    const auto found = by_key_.find((uint32_t{index} << 8U) | subindex);
    return found == by_key_.end() ? nullptr : found->second;
}

std::span<const Entry* const> DeviceModel::FindEntries(std::string_view name) const
{
    const auto found = entries_by_name_.find(name);
    if (found == entries_by_name_.end()) {
        return {};
    }
    return found->second;
}

const Entry* DeviceModel::FindEntry(std::string_view name) const
{
    const std::span<const Entry* const> found = FindEntries(name);
    return found.size() == 1 ? found.front() : nullptr;
}

std::span<const Object* const> DeviceModel::FindObjects(std::string_view name) const
{
    const auto found = objects_by_name_.find(name);
    if (found == objects_by_name_.end()) {
        return {};
    }
    return found->second;
}

}  // namespace vexan::od
