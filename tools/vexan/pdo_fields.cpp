#include "pdo_fields.hpp"

#include <algorithm>
#include <cstdio>

#include "command_group.hpp"
#include "id_lists.hpp"
#include "json.hpp"
#include "results.hpp"
#include "vexan.h"
#include "vexan_results.h"

namespace vexantool {

namespace {

std::string FieldKey(const PdoField& field)
{
    char key[16];
    std::snprintf(key, sizeof key, "%04X:%02X", field.index, field.sub);
    return key;
}

// The field's name, or its key when the file does not name it.
std::string FieldName(const PdoField& field)
{
    return field.name.empty() ? FieldKey(field) : field.name;
}

}  // namespace

std::optional<PdoLayout> ReadPdoLayout(const Context& context, uint16_t cob, unsigned node, std::string& error)
{
    const uint8_t slot = Slot(context);
    PdoLayout layout;
    layout.cob = cob;
    uint16_t number = 0;
    uint8_t direction = 0;
    uint8_t transmission = 0;
    uint16_t timer = 0;
    uint8_t count = 0;
    uint32_t entries[VEXAN_PDO_MAX_ENTRIES] = {};
    const uint16_t result =
        Vexan_GetPDOMapInfo(slot, cob, &number, &direction, &transmission, &timer, &count, entries, 1);
    if (result != VEXAN_OK) {
        error = "the module reports no mapping: " + ResultText(result);
        return std::nullopt;
    }
    layout.mapping.assign(entries, entries + std::min<unsigned>(count, VEXAN_PDO_MAX_ENTRIES));
    if (context.devices == nullptr) {
        return layout;
    }
    if (node != 0) {
        layout.node = node;
        layout.model = context.devices->Model(node);
        return layout;
    }
    for (const unsigned attached : context.devices->Nodes()) {
        for (const bool rx : {true, false}) {
            std::vector<uint16_t> ids;
            if (ReadPdoIdList(slot, static_cast<uint8_t>(attached), rx, ids) != VEXAN_OK) {
                continue;
            }
            if (std::find(ids.begin(), ids.end(), cob) != ids.end()) {
                layout.node = attached;
                layout.model = context.devices->Model(attached);
                return layout;
            }
        }
    }
    return layout;
}

std::string FieldLines(const std::vector<PdoField>& fields, const char* indent)
{
    std::string text;
    for (const PdoField& field : fields) {
        text +=
            indent + FieldKey(field) + " " + (field.name.empty() ? "" : field.name + " ") + "= " + field.human + "\n";
    }
    return text;
}

std::string FieldsInline(const std::vector<PdoField>& fields)
{
    std::string text;
    for (const PdoField& field : fields) {
        text += (text.empty() ? "" : ", ") + FieldName(field) + " = " + field.human;
    }
    return text;
}

std::string FieldsJson(const std::vector<PdoField>& fields)
{
    std::vector<std::string> items;
    for (const PdoField& field : fields) {
        Json json;
        json.Hex("index", field.index, 4).Num("sub", field.sub).Num("bits", field.bits).Num("offset", field.offset);
        json.Str("name", field.name).Str("type", field.type).Bool("present", field.present);
        json.Raw("value", field.json).Str("hex", field.hex);
        items.push_back(json.Text());
    }
    return JsonArray(items);
}

}  // namespace vexantool
