// The C interface of the device model: a whole file's model as one JSON
// document (vexan_od.h describes it), for the Python package.
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "device_model.hpp"
#include "json_text.hpp"
#include "vexan_od.h"

namespace vexan::od {
namespace {

constexpr unsigned kFormat = 1;
constexpr unsigned kMaxNode = 127;

// A JSON string as the entries' JSON writes it (bytes that are not UTF-8 taken
// as Latin-1), so that names read the same in both; every control character
// as \u00XX.
void String(std::string& out, std::string_view text)
{
    AppendString(out, text, ControlEscapes::Unicode);
}

// Writes `"key":` after a comma unless it opens the object.
class Fields {
public:
    explicit Fields(std::string& out) : out_(out) { out_.push_back('{'); }
    Fields(const Fields&) = delete;
    Fields& operator=(const Fields&) = delete;
    ~Fields() = default;
    std::string& Key(std::string_view key)
    {
        if (!first_) {
            out_.push_back(',');
        }
        first_ = false;
        String(out_, key);
        out_.push_back(':');
        return out_;
    }
    void Text(std::string_view key, std::string_view value) { String(Key(key), value); }
    void Bool(std::string_view key, bool value) { Key(key) += value ? "true" : "false"; }
    template <typename T>
    void Number(std::string_view key, const std::optional<T>& value)
    {
        Key(key) += value ? std::to_string(*value) : "null";
    }
    template <typename T>
    void Number(std::string_view key, T value)
    {
        Key(key) += std::to_string(value);
    }
    template <typename T>
    void Numbers(std::string_view key, const std::vector<T>& values)
    {
        std::string& out = Key(key);
        out.push_back('[');
        for (std::size_t i = 0; i < values.size(); ++i) {
            out += (i > 0 ? "," : "") + std::to_string(values[i]);
        }
        out.push_back(']');
    }
    void Close() { out_.push_back('}'); }

private:
    std::string& out_;
    bool first_ = true;
};

std::string_view KindName(DiagnosticKind kind)
{
    switch (kind) {
    case DiagnosticKind::Syntax:
        return "syntax";
    case DiagnosticKind::DuplicateSection:
        return "duplicate_section";
    case DiagnosticKind::DuplicateObject:
        return "duplicate_object";
    case DiagnosticKind::DuplicateSubObject:
        return "duplicate_sub_object";
    case DiagnosticKind::DuplicateKey:
        return "duplicate_key";
    case DiagnosticKind::OrphanSubObject:
        return "orphan_sub_object";
    case DiagnosticKind::UnparsableValue:
        return "unparsable_value";
    case DiagnosticKind::MissingKey:
        return "missing_key";
    case DiagnosticKind::Inconsistent:
        return "inconsistent";
    }
    return "other";
}

void FileInfoJson(std::string& out, const FileInfo& info)
{
    Fields f(out);
    f.Text("file_name", info.file_name);
    f.Text("file_version", info.file_version);
    f.Text("file_revision", info.file_revision);
    f.Text("eds_version", info.eds_version);
    f.Text("description", info.description);
    f.Text("creation_time", info.creation_time);
    f.Text("creation_date", info.creation_date);
    f.Text("created_by", info.created_by);
    f.Text("modification_time", info.modification_time);
    f.Text("modification_date", info.modification_date);
    f.Text("modified_by", info.modified_by);
    f.Close();
}

void DeviceInfoJson(std::string& out, const DeviceInfo& info)
{
    Fields f(out);
    f.Text("vendor_name", info.vendor_name);
    f.Number("vendor_number", info.vendor_number);
    f.Text("product_name", info.product_name);
    f.Number("product_number", info.product_number);
    f.Number("revision_number", info.revision_number);
    f.Text("order_code", info.order_code);
    f.Numbers("baud_rates", info.baud_rates);
    f.Number("granularity", info.granularity);
    f.Number("rx_pdo_count", info.rx_pdo_count);
    f.Number("tx_pdo_count", info.tx_pdo_count);
    f.Bool("simple_boot_up_master", info.simple_boot_up_master);
    f.Bool("simple_boot_up_slave", info.simple_boot_up_slave);
    f.Bool("dynamic_channels_supported", info.dynamic_channels_supported);
    f.Bool("group_messaging", info.group_messaging);
    f.Bool("lss_supported", info.lss_supported);
    f.Number("compact_pdo", info.compact_pdo);
    f.Close();
}

void CommissioningJson(std::string& out, const std::optional<Commissioning>& commissioning)
{
    if (!commissioning) {
        out += "null";
        return;
    }
    Fields f(out);
    f.Number("node_id", commissioning->node_id);
    f.Number("baud_rate", commissioning->baud_rate);
    f.Text("node_name", commissioning->node_name);
    f.Text("network_name", commissioning->network_name);
    f.Number("net_number", commissioning->net_number);
    f.Number("lss_serial_number", commissioning->lss_serial_number);
    f.Close();
}

// The entry's JSON of `od list --json` with the further keys appended.
void EntryWithExtras(std::string& out, const Object& object, const Entry& entry, uint8_t node)
{
    std::string json = EntryJson(object, entry, node);
    json.pop_back();  // the closing brace
    out += json;
    out += ",\"denotation\":";
    if (entry.denotation) {
        String(out, *entry.denotation);
    } else {
        out += "null";
    }
    out += ",\"default_text\":";
    if (entry.default_value.Present()) {
        String(out, entry.default_value.text);
    } else {
        out += "null";
    }
    out += ",\"line\":" + std::to_string(entry.line);
    out += entry.generated ? ",\"generated\":true}" : ",\"generated\":false}";
}

std::string ModelDocument(const DeviceModel& model, std::string_view path, uint8_t node)
{
    std::string out;
    out.reserve(model.EntryCount() * 260 + 4096);
    Fields f(out);
    f.Number("format", kFormat);
    f.Text("path", path);
    f.Number("node", node);
    f.Bool("dcf", model.IsDcf());
    FileInfoJson(f.Key("file_info"), model.File());
    DeviceInfoJson(f.Key("device_info"), model.Device());
    CommissioningJson(f.Key("commissioning"), model.Commissioned());
    f.Numbers("dummy_usage", model.DummyUsage());
    std::string& comments = f.Key("comments");
    comments.push_back('[');
    for (std::size_t i = 0; i < model.Comments().size(); ++i) {
        if (i > 0) {
            comments.push_back(',');
        }
        String(comments, model.Comments()[i]);
    }
    comments.push_back(']');
    f.Numbers("mandatory_objects", model.MandatoryObjects());
    f.Numbers("optional_objects", model.OptionalObjects());
    f.Numbers("manufacturer_objects", model.ManufacturerObjects());
    std::string& diagnostics = f.Key("diagnostics");
    diagnostics.push_back('[');
    bool first = true;
    for (const Diagnostic& diagnostic : model.Diagnostics()) {
        if (!first) {
            diagnostics.push_back(',');
        }
        first = false;
        Fields d(diagnostics);
        d.Number("line", diagnostic.line);
        d.Text("kind", KindName(diagnostic.kind));
        d.Text("message", diagnostic.message);
        d.Close();
    }
    diagnostics.push_back(']');
    std::string& objects = f.Key("objects");
    objects.push_back('[');
    first = true;
    for (const Object& object : model.Objects()) {
        if (!first) {
            objects.push_back(',');
        }
        first = false;
        Fields o(objects);
        o.Number("index", object.index);
        o.Text("name", object.Name());
        o.Text("object_type", ObjectTypeName(object.type));
        o.Number("line", object.own.line);
        o.Number("sub_number", object.sub_number);
        o.Number("compact_sub_obj", object.compact_sub_obj);
        std::string& entries = o.Key("entries");
        entries.push_back('[');
        bool first_entry = true;
        for (const Entry& entry : object.Entries()) {
            if (!first_entry) {
                entries.push_back(',');
            }
            first_entry = false;
            EntryWithExtras(entries, object, entry, node);
        }
        entries.push_back(']');
        o.Close();
    }
    objects.push_back(']');
    f.Close();
    return out;
}

// A malloc'd copy for the caller, who frees it with VexanOD_Free: memory that
// crosses the C interface is plain C memory.
char* Handed(std::string_view text)
{
    // NOLINTNEXTLINE(cppcoreguidelines-owning-memory,cppcoreguidelines-no-malloc): handed over to C
    auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy != nullptr) {
        std::memcpy(copy, text.data(), text.size());
        copy[text.size()] = '\0';
    }
    return copy;
}

void SetError(char** error_out, std::string_view message)
{
    if (error_out != nullptr) {
        *error_out = Handed(message);
    }
}

}  // namespace
}  // namespace vexan::od

extern "C" int VexanOD_ReadJSON(const char* path, unsigned node, char** json_out, size_t* length_out, char** error_out)
{
    using namespace vexan::od;
    if (error_out != nullptr) {
        *error_out = nullptr;
    }
    if (json_out != nullptr) {
        *json_out = nullptr;
    }
    if (length_out != nullptr) {
        *length_out = 0;
    }
    if (path == nullptr || json_out == nullptr) {
        SetError(error_out, "no path or no place for the document");
        return VEXAN_OD_BAD_ARGUMENT;
    }
    if (node > kMaxNode) {
        SetError(error_out, "node must be in 0..127, got " + std::to_string(node));
        return VEXAN_OD_BAD_ARGUMENT;
    }
    try {
        std::string error;
        const std::optional<DeviceModel> model = DeviceModel::Load(path, &error);
        if (!model) {
            SetError(error_out, error);
            return VEXAN_OD_FILE_ERROR;
        }
        const std::string document = ModelDocument(*model, path, static_cast<uint8_t>(node));
        *json_out = Handed(document);
        if (*json_out == nullptr) {
            SetError(error_out, "out of memory");
            return VEXAN_OD_NO_MEMORY;
        }
        if (length_out != nullptr) {
            *length_out = document.size();
        }
        return VEXAN_OD_OK;
    } catch (const std::bad_alloc&) {
        SetError(error_out, "out of memory");
        return VEXAN_OD_NO_MEMORY;
    } catch (const std::exception& failure) {
        SetError(error_out, std::string("cannot read ") + path + ": " + failure.what());
        return VEXAN_OD_FILE_ERROR;
    }
}

extern "C" void VexanOD_Free(char* text)
{
    std::free(text);  // NOLINT(cppcoreguidelines-owning-memory,cppcoreguidelines-no-malloc): C memory
}

extern "C" unsigned VexanOD_Version(void)
{
    return vexan::od::kFormat;
}
