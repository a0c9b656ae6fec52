#include "typed_objects.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <type_traits>

#include "json.hpp"
#include "text.hpp"

namespace vexantool {

namespace od = vexan::od;

namespace {

std::string EntryPath(const od::DeviceModel& model, const od::Entry& entry)
{
    const od::Object* object = model.FindObject(entry.index);
    return object != nullptr && object->HasSubs() ? object->Name() + "/" + entry.name : entry.name;
}

// A number as the command line wrote it before names came: decimal, or hex
// with 0x (octal with a leading 0, as strtoul reads it).
std::optional<unsigned long> PlainNumber(const std::string& text)
{
    if (text.empty() || text[0] == '-' || text[0] == '+') {
        return std::nullopt;
    }
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 0);
    if (end == text.c_str() || *end != '\0') {
        return std::nullopt;
    }
    return value;
}

std::string KeyText(uint16_t index, uint8_t sub)
{
    char text[16];
    std::snprintf(text, sizeof text, "%04X:%02X", index, sub);
    return text;
}

std::string JsonNumberOrText(const od::TypedValue& value, const std::string& text)
{
    if (const auto* real = std::get_if<double>(&value); real != nullptr && !std::isfinite(*real)) {
        return Json::Quote(text);  // JSON has no infinities
    }
    if (std::holds_alternative<int64_t>(value) || std::holds_alternative<uint64_t>(value) ||
        std::holds_alternative<double>(value)) {
        return text;
    }
    return Json::Quote(text);
}

}  // namespace

bool DeviceFiles::Attach(unsigned node, const std::string& path, std::string& error)
{
    if (node < 1 || node > 127) {
        error = "node " + std::to_string(node) + " is not a node id (1..127)";
        return false;
    }
    std::string why;
    std::optional<od::DeviceModel> model = od::DeviceModel::Load(path, &why);
    if (!model) {
        error = why;
        return false;
    }
    files_[node] = Attached{path, std::make_shared<const od::DeviceModel>(std::move(*model))};
    return true;
}

bool DeviceFiles::AttachSpec(const std::string& spec, std::string& error)
{
    const std::size_t equals = spec.find('=');
    const std::optional<unsigned long> node =
        equals == std::string::npos ? std::nullopt : PlainNumber(spec.substr(0, equals));
    if (!node || *node < 1 || *node > 127 || equals + 1 >= spec.size()) {
        error = "'" + spec + "' is not NODE=FILE (a node id 1..127 and a device file)";
        return false;
    }
    return Attach(static_cast<unsigned>(*node), spec.substr(equals + 1), error);
}

const od::DeviceModel* DeviceFiles::Model(unsigned node) const
{
    const auto found = files_.find(node);
    return found != files_.end() ? found->second.model.get() : nullptr;
}

const std::string& DeviceFiles::Path(unsigned node) const
{
    static const std::string kNone;
    const auto found = files_.find(node);
    return found != files_.end() ? found->second.path : kNone;
}

std::vector<unsigned> DeviceFiles::Nodes() const
{
    std::vector<unsigned> nodes;
    for (const auto& [node, attached] : files_) {
        nodes.push_back(node);
    }
    return nodes;
}

std::optional<ObjectRef> ResolveObject(const DeviceFiles* files, unsigned node, const std::string& object,
                                       std::optional<unsigned> sub, std::string& error)
{
    const od::DeviceModel* model = files != nullptr ? files->Model(node) : nullptr;
    ObjectRef ref;
    const auto fill = [&](uint16_t index, uint8_t subindex) {
        ref.index = index;
        ref.sub = subindex;
        ref.entry = model != nullptr ? model->FindEntry(index, subindex) : nullptr;
        ref.name = ref.entry != nullptr ? EntryPath(*model, *ref.entry) : "";
        return ref;
    };
    if (sub) {
        if (*sub > 0xFF) {
            error = "sub-index " + std::to_string(*sub) + " is not 0..255";
            return std::nullopt;
        }
        if (const std::optional<unsigned long> index = PlainNumber(object)) {
            if (*index > 0xFFFF) {
                error = "index " + object + " is not 0..0xFFFF";
                return std::nullopt;
            }
            return fill(static_cast<uint16_t>(*index), static_cast<uint8_t>(*sub));
        }
    }
    const std::optional<od::Target> target = od::Resolve(model, object, error);
    if (!target) {
        if (model == nullptr && files != nullptr) {
            error += " (give the node a device file: --eds " + std::to_string(node) + "=FILE)";
        }
        return std::nullopt;
    }
    if (sub) {
        if (target->subindex_given) {
            error = "'" + object + "' has a sub-index already; give no second one";
            return std::nullopt;
        }
        return fill(target->index, static_cast<uint8_t>(*sub));
    }
    if (target->entry == nullptr && !target->subindex_given) {
        if (target->object != nullptr) {
            std::string subs;
            for (const od::Entry& entry : target->object->subs) {
                subs += (subs.empty() ? "" : ", ") + KeyText(entry.index, entry.subindex) + " " + entry.name;
                if (subs.size() > 200) {
                    subs += ", ...";
                    break;
                }
            }
            error = "'" + object + "' (" + KeyText(target->index, 0).substr(0, 4) + " " + target->object->Name() +
                    ") has sub-objects; name one: " + subs;
            return std::nullopt;
        }
        // An index alone that the file does not hold: sub-index 0.
    }
    return fill(target->index, target->subindex);
}

std::vector<std::string> TypeNames()
{
    return {"auto", "b",   "bool", "i8",  "i16", "i24", "i32", "i40",    "i48", "i56", "i64",
            "u8",   "u16", "u24",  "u32", "u40", "u48", "u56", "u64",    "x8",  "x16", "x24",
            "x32",  "x40", "x48",  "x56", "x64", "r32", "r64", "string", "us",  "hex", "domain"};
}

std::optional<ValueType> ChooseType(const std::string& requested, const ObjectRef& object, std::string& error)
{
    if (requested != "auto" && !requested.empty()) {
        const std::optional<od::TypeName> type = od::TypeByName(requested);
        if (!type) {
            error = "'" + requested + "' is not a type";
            return std::nullopt;
        }
        return ValueType{type->data_type, type->hex, requested == "b" ? "bool" : requested};
    }
    if (object.entry == nullptr || !object.entry->data_type) {
        return std::nullopt;
    }
    const uint16_t code = *object.entry->data_type;
    if (!od::IsBasicType(code)) {
        error = object.name + " is of data type " + Hex(code, 4) + ", which the tool does not know; give -t";
        return std::nullopt;
    }
    const std::string_view name = od::ShortTypeName(code);
    return ValueType{code, false, std::string(name)};
}

std::optional<ShownValue> ShowValue(const ValueType& type, std::span<const uint8_t> bytes, std::string& error)
{
    const std::optional<od::TypedValue> value = od::Decode(type.dataType, bytes, error);
    if (!value) {
        return std::nullopt;
    }
    ShownValue shown;
    const std::string text = od::FormatValue(type.dataType, *value, {false, ""});
    if (std::holds_alternative<int64_t>(*value) || std::holds_alternative<uint64_t>(*value)) {
        const std::string hex = od::FormatValue(type.dataType, *value, {true, ""});
        shown.human =
            type.hex ? hex + " (" + text + ", " + type.label + ")" : text + " (" + hex + ", " + type.label + ")";
        shown.json = text;
    } else if (std::holds_alternative<double>(*value)) {
        shown.human = text + " (" + type.label + ")";
        shown.json = JsonNumberOrText(*value, text);
    } else if (std::holds_alternative<std::string>(*value)) {
        shown.human = "\"" + text + "\" (" + type.label + ", " + std::to_string(bytes.size()) + " bytes)";
        shown.json = Json::Quote(text);
    } else {
        shown.human = "[" + HexBytes(bytes) + "] (" + std::to_string(bytes.size()) + " bytes" +
                      (type.label == "hex" ? "" : ", " + type.label) + ")";
        shown.json = Json::Quote(text);
    }
    return shown;
}

std::optional<std::vector<uint8_t>> EncodeWrite(const ValueType& type, const ObjectRef& object, unsigned node,
                                                const std::string& text, std::string& error)
{
    if (object.entry != nullptr) {
        if (const std::optional<std::string> refusal = od::WriteRefusal(*object.entry)) {
            error = "read-only (" + std::string(od::AccessName(*object.entry->access)) + ")";
            return std::nullopt;
        }
    }
    const std::optional<od::TypedValue> value = od::ParseText(type.dataType, text, error);
    if (!value) {
        return std::nullopt;
    }
    if (object.entry != nullptr) {
        if (const std::optional<std::string> violation =
                od::LimitViolation(*object.entry, *value, static_cast<uint8_t>(node))) {
            error = *violation;
            return std::nullopt;
        }
    }
    return od::Encode(type.dataType, *value, error);
}

std::vector<PdoField> DecodePdo(const od::DeviceModel* model, std::span<const uint32_t> mapping,
                                std::span<const uint8_t> data)
{
    std::vector<PdoField> fields;
    for (const od::MappedField& cut : od::CutPdo(model, mapping, data)) {
        PdoField field;
        field.index = cut.index;
        field.sub = cut.subindex;
        field.bits = cut.bits;
        field.offset = cut.offset;
        field.present = cut.present;
        field.hex = HexBytes(cut.bytes, "");
        if (cut.entry != nullptr) {
            field.name = EntryPath(*model, *cut.entry);
        } else if (cut.data_type) {
            field.name = "(dummy " + std::string(od::DataTypeName(*cut.data_type)) + ")";
        }
        if (cut.data_type) {
            field.type = std::string(od::ShortTypeName(*cut.data_type));
        }
        if (!cut.present) {
            field.human = "(not in the data)";
            field.json = "null";
        } else if (cut.raw) {
            const uint64_t raw = std::get<uint64_t>(*cut.value);
            field.human = std::to_string(raw) + " (" + Hex(raw, static_cast<int>((cut.bits + 3) / 4)) + ", " +
                          std::to_string(cut.bits) + " bits)";
            field.json = std::to_string(raw);
        } else if (cut.value) {
            const ValueType type{*cut.data_type, false, field.type};
            std::vector<uint8_t> bytes = cut.bytes;
            bytes.resize(std::max<std::size_t>(bytes.size(), od::WireSize(*cut.data_type)));
            std::string ignored;
            if (const std::optional<ShownValue> shown = ShowValue(type, bytes, ignored)) {
                field.human = shown->human;
                field.json = shown->json;
            }
        } else {
            field.human = "[" + HexBytes(cut.bytes) + "]";
            field.json = Json::Quote(field.hex);
        }
        fields.push_back(field);
    }
    return fields;
}

}  // namespace vexantool
