// The od commands: a device file's objects for people (od list, od show,
// od search) and as JSON lines (--json). They need no board.
#include <charconv>
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "codec.hpp"
#include "command_group.hpp"
#include "device_model.hpp"
#include "text.hpp"

namespace vexantool {

namespace {

namespace od = vexan::od;

// The model of a file, with its diagnostics on stderr; nullopt when it cannot
// be read at all.
std::optional<od::DeviceModel> LoadModel(const std::string& command, const std::string& file)
{
    std::string error;
    std::optional<od::DeviceModel> model = od::DeviceModel::Load(file, &error);
    if (!model) {
        ErrorLine() << std::string("vexan: ") + command + ": " + error + "\n";
        return std::nullopt;
    }
    for (const od::Diagnostic& diagnostic : model->Diagnostics()) {
        ErrorLine() << "vexan: " + file + ":" + std::to_string(diagnostic.line) + ": " + diagnostic.message + "\n";
    }
    return model;
}

std::string TypeText(const od::Entry& entry)
{
    if (!entry.data_type) {
        return "-";
    }
    const std::string_view name = od::DataTypeName(*entry.data_type);
    if (!name.empty()) {
        return std::string(name);
    }
    char code[16];
    std::snprintf(code, sizeof code, "0x%04X", *entry.data_type);
    return code;
}

std::string NumberText(const od::Number& number)
{
    return std::visit(
        [](auto v) {
            if constexpr (std::is_same_v<decltype(v), double>) {
                char text[64];
                const auto end = std::to_chars(text, text + sizeof text, v).ptr;
                return std::string(text, end);
            } else {
                return std::to_string(v);
            }
        },
        number);
}

// A value for people: the number (with the node id added), and the text as the
// file writes it when that differs; "" when absent.
std::string ValueText(const od::Entry& entry, const od::Value& value, uint8_t node)
{
    if (!value.Present()) {
        return "";
    }
    if (const std::optional<od::Number> number = value.Evaluate(node)) {
        std::string text = NumberText(*number);
        return text == value.text ? text : text + " (" + value.text + ")";
    }
    if (value.Valid() && entry.data_type && od::ClassOf(*entry.data_type) == od::ValueClass::Text) {
        return "\"" + value.text + "\"";
    }
    return value.text + (value.Valid() ? "" : " (unreadable)");
}

std::string KeyText(const od::Object& object, const od::Entry& entry)
{
    char key[16];
    if (object.HasSubs()) {
        std::snprintf(key, sizeof key, "%04X:%02X", entry.index, entry.subindex);
    } else {
        std::snprintf(key, sizeof key, "%04X", entry.index);
    }
    return key;
}

std::string PathText(const od::Object& object, const od::Entry& entry)
{
    return object.HasSubs() ? object.Name() + "/" + entry.name : entry.name;
}

std::string Padded(std::string text, std::size_t width)
{
    if (text.size() < width) {
        text.append(width - text.size(), ' ');
    }
    return text;
}

// One entry on one line: key, access, type, name, then what the file gives.
std::string EntryLine(const od::Object& object, const od::Entry& entry, uint8_t node)
{
    constexpr std::size_t kKeyWidth = 8;
    constexpr std::size_t kAccessWidth = 6;
    constexpr std::size_t kTypeWidth = 16;
    std::string line = Padded(KeyText(object, entry), kKeyWidth) +
                       Padded(entry.access ? std::string(od::AccessName(*entry.access)) : "-", kAccessWidth) +
                       Padded(TypeText(entry), kTypeWidth) + PathText(object, entry);
    if (const std::string text = ValueText(entry, entry.default_value, node); !text.empty()) {
        line += "  default " + text;
    }
    if (const std::string text = ValueText(entry, entry.parameter_value, node); !text.empty()) {
        line += "  value " + text;
    }
    const std::string low = ValueText(entry, entry.low_limit, node);
    const std::string high = ValueText(entry, entry.high_limit, node);
    if (!low.empty() || !high.empty()) {
        line += "  limits " + (low.empty() ? "" : low) + ".." + (high.empty() ? "" : high);
    }
    if (entry.pdo_mapping) {
        line += "  pdo";
    }
    return line;
}

void PrintEntries(const Context& context, const od::Object& object, uint8_t node)
{
    for (const od::Entry& entry : object.Entries()) {
        std::cout << (context.json ? od::EntryJson(object, entry, node) : EntryLine(object, entry, node)) << '\n';
    }
}

int OdList(Context& context, const Args& a)
{
    const std::optional<od::DeviceModel> model = LoadModel("od list", a.file);
    if (!model) {
        return kExitFailed;
    }
    const auto node = static_cast<uint8_t>(a.node);
    if (context.json) {
        std::cout << od::ModelJsonLines(*model, node) << std::flush;
        return kExitOk;
    }
    for (const od::Object& object : model->Objects()) {
        PrintEntries(context, object, node);
    }
    std::cout << std::flush;
    return kExitOk;
}

void ShowField(const char* label, const std::string& text)
{
    if (!text.empty()) {
        std::cout << "  " << Padded(std::string(label) + ":", 14) << text << '\n';
    }
}

void ShowEntry(const od::Object& object, const od::Entry& entry, uint8_t node)
{
    std::cout << KeyText(object, entry) << " " << PathText(object, entry) << '\n';
    ShowField("object type", std::string(od::ObjectTypeName(object.type)));
    std::string type = TypeText(entry);
    if (entry.data_type) {
        char code[16];
        std::snprintf(code, sizeof code, " (0x%04X)", *entry.data_type);
        type += od::DataTypeName(*entry.data_type).empty() ? "" : code;
        if (const std::string_view name = od::ShortTypeName(*entry.data_type); !name.empty()) {
            type += ", -t " + std::string(name);
        }
    }
    ShowField("data type", type);
    ShowField("access", entry.access ? std::string(od::AccessName(*entry.access)) : "-");
    ShowField("PDO mapping", entry.pdo_mapping ? "yes" : "no");
    ShowField("default", ValueText(entry, entry.default_value, node));
    ShowField("value", ValueText(entry, entry.parameter_value, node));
    ShowField("low limit", ValueText(entry, entry.low_limit, node));
    ShowField("high limit", ValueText(entry, entry.high_limit, node));
    ShowField("denotation", entry.denotation.value_or(""));
    ShowField("line", entry.line != 0 ? std::to_string(entry.line) : "");
}

int OdShow(Context& context, const Args& a)
{
    const std::optional<od::DeviceModel> model = LoadModel("od show", a.file);
    if (!model) {
        return kExitFailed;
    }
    std::string error;
    const std::optional<od::Target> target = od::Resolve(&*model, a.value, error);
    if (!target) {
        ErrorLine() << "vexan: od show: " << error << std::endl;
        return kExitFailed;
    }
    if (target->object == nullptr || (target->subindex_given && target->entry == nullptr)) {
        char key[16];
        std::snprintf(key, sizeof key, target->subindex_given ? "%04X:%02X" : "%04X", target->index, target->subindex);
        ErrorLine() << "vexan: od show: no object " << key << " in " << a.file << std::endl;
        return kExitFailed;
    }
    const auto node = static_cast<uint8_t>(a.node);
    const od::Object& object = *target->object;
    if (context.json) {
        if (target->entry != nullptr) {
            std::cout << od::EntryJson(object, *target->entry, node) << '\n';
        } else {
            PrintEntries(context, object, node);
        }
        std::cout << std::flush;
        return kExitOk;
    }
    if (target->entry != nullptr) {
        ShowEntry(object, *target->entry, node);
    } else {
        char key[8];
        std::snprintf(key, sizeof key, "%04X", object.index);
        std::cout << key << " " << object.Name() << " (" << od::ObjectTypeName(object.type) << ", "
                  << object.subs.size() << " sub-objects)\n";
        for (const od::Entry& entry : object.Entries()) {
            std::cout << "  " << EntryLine(object, entry, node) << '\n';
        }
    }
    std::cout << std::flush;
    return kExitOk;
}

bool ContainsNoCase(const std::string& text, const std::string& part)
{
    const auto lower = [](std::string s) {
        for (char& c : s) {
            c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        }
        return s;
    };
    return lower(text).find(lower(part)) != std::string::npos;
}

int OdSearch(Context& context, const Args& a)
{
    const std::optional<od::DeviceModel> model = LoadModel("od search", a.file);
    if (!model) {
        return kExitFailed;
    }
    const auto node = static_cast<uint8_t>(a.node);
    std::size_t found = 0;
    for (const od::Object& object : model->Objects()) {
        for (const od::Entry& entry : object.Entries()) {
            const std::string key = KeyText(object, entry);
            if (!ContainsNoCase(PathText(object, entry), a.value) && !ContainsNoCase(key, a.value)) {
                continue;
            }
            ++found;
            std::cout << (context.json ? od::EntryJson(object, entry, node) : EntryLine(object, entry, node)) << '\n';
        }
    }
    std::cout << std::flush;
    if (found == 0) {
        ErrorLine() << "vexan: od search: nothing in " << a.file << " matches '" << a.value << "'" << std::endl;
        return kExitFailed;
    }
    return kExitOk;
}

}  // namespace

void AddOdCommands(const CommandWiring& wiring)
{
    Args& a = wiring.args;
    // No board: the action runs without a session.
    const auto set = [&wiring](const std::string& name, CommandBody body) {
        return [run = wiring.Run(name, std::move(body)), &action = wiring.action] {
            run();
            action.needsBoard = false;
        };
    };
    auto* odCmd = wiring.app.add_subcommand("od", "a device file's objects: names, types, access, limits, defaults");
    odCmd->require_subcommand(1);
    const auto common = [&a](CLI::App* cmd) {
        cmd->add_option("file", a.file, "the EDS or DCF file")->required();
        cmd->add_option("--node", a.node, "evaluate $NODEID for this node (default 0: the plain numbers)")
            ->check(CLI::Range(0, 127));
    };
    auto* list = odCmd->add_subcommand("list", "every object and sub-object, one a line (--json: JSON lines)");
    common(list);
    list->callback(set("od list", OdList));
    auto* show = odCmd->add_subcommand("show", "one object or entry in full");
    common(show);
    show->add_option("object", a.value,
                     "a name (\"Producer heartbeat time\"), a path (\"Identity object/Vendor-ID\"), a unique prefix, "
                     "or INDEX[:SUB] in hex (1018:01)")
        ->required();
    show->callback(set("od show", OdShow));
    auto* search = odCmd->add_subcommand("search", "the entries whose name or index holds the text (any case)");
    common(search);
    search->add_option("text", a.value, "the text to look for")->required();
    search->callback(set("od search", OdSearch));
}

}  // namespace vexantool
