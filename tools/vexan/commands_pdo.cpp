// PDO exchange and configuration: pdo write, read, remote, map, list, install.
#include <algorithm>
#include <cstdio>
#include <iostream>

#include "command_group.hpp"
#include "id_lists.hpp"
#include "pdo_fields.hpp"
#include "text.hpp"
#include "vexan.h"
#include "vexan_results.h"

namespace vexantool {

namespace {

int PdoWrite(Context& context, const Args& a)
{
    Json json;
    json.Str("command", "pdo write").Hex("cob", a.cob, 3);
    std::vector<uint8_t> bytes;
    if (!ParseHexBytes(a.value, bytes) || bytes.size() > VEXAN_PDO_MAX_DATA) {
        ErrorLine() << "vexan: pdo write: '" << a.value << "' is not 0..8 hex bytes" << std::endl;
        return kExitUsage;
    }
    json.Str("hex", HexBytes(bytes, ""));
    const uint8_t none = 0;
    const uint16_t result = Vexan_PDOWrite(Slot(context), static_cast<uint16_t>(a.cob), 0,
                                           static_cast<uint8_t>(bytes.size()), bytes.empty() ? &none : bytes.data(), 1);
    if (result != VEXAN_OK) {
        return Failed(context, "pdo write " + Hex(a.cob, 3), result, json);
    }
    return Done(context, "PDO " + Hex(a.cob, 3) + " sent: [" + HexBytes(bytes) + "]", json);
}

int PdoRead(Context& context, const Args& a)
{
    Json json;
    json.Str("command", "pdo read").Hex("cob", a.cob, 3);
    uint8_t flag = 0;
    uint8_t length = 0;
    uint8_t data[VEXAN_PDO_MAX_DATA] = {};
    const uint16_t result = Vexan_GetPDOLastData(Slot(context), static_cast<uint16_t>(a.cob), &flag, &length, data, 1);
    if (result != VEXAN_OK) {
        return Failed(context, "pdo read " + Hex(a.cob, 3), result, json);
    }
    const std::span<const uint8_t> bytes(data, std::min<std::size_t>(length, VEXAN_PDO_MAX_DATA));
    json.Num("flag", flag).Str("hex", HexBytes(bytes, ""));
    std::string human =
        "PDO " + Hex(a.cob, 3) + ": [" + HexBytes(bytes) + "]" + (flag == 1 ? " (read before)" : " (new)");
    // Named, typed fields when a device file can say what the PDO carries.
    const bool described = a.node != 0 || (context.devices != nullptr && !context.devices->Nodes().empty());
    if (described || a.fields) {
        std::string error;
        const std::optional<PdoLayout> layout = ReadPdoLayout(context, static_cast<uint16_t>(a.cob), a.node, error);
        if (!layout) {
            ErrorLine() << "vexan: pdo read " << Hex(a.cob, 3) << ": no fields: " << error << std::endl;
        } else {
            const std::vector<PdoField> fields = DecodePdo(layout->model, layout->mapping, bytes);
            if (layout->node != 0) {
                json.Num("node", layout->node);
                human += ", " + NodeText(layout->node);
            }
            json.Raw("fields", FieldsJson(fields));
            human += "\n" + FieldLines(fields, "  ");
            human.pop_back();
        }
    }
    return Done(context, human, json);
}

int PdoRemote(Context& context, const Args& a)
{
    Json json;
    json.Str("command", "pdo remote").Hex("cob", a.cob, 3);
    uint8_t length = 0;
    uint8_t data[VEXAN_PDO_MAX_DATA] = {};
    const uint16_t result = Vexan_PDORemote(Slot(context), static_cast<uint16_t>(a.cob), &length, data, 1);
    if (result != VEXAN_OK) {
        return Failed(context, "pdo remote " + Hex(a.cob, 3), result, json);
    }
    const std::span<const uint8_t> bytes(data, std::min<std::size_t>(length, VEXAN_PDO_MAX_DATA));
    json.Str("hex", HexBytes(bytes, ""));
    return Done(context, "PDO " + Hex(a.cob, 3) + " answered: [" + HexBytes(bytes) + "]", json);
}

int PdoMap(Context& context, const Args& a)
{
    Json json;
    json.Str("command", "pdo map").Hex("cob", a.cob, 3);
    uint16_t field1 = 0;
    uint8_t field2 = 0;
    uint8_t field3 = 0;
    uint16_t field4 = 0;
    uint8_t count = 0;
    uint32_t entries[VEXAN_PDO_MAX_ENTRIES] = {};
    const uint16_t result = Vexan_GetPDOMapInfo(Slot(context), static_cast<uint16_t>(a.cob), &field1, &field2, &field3,
                                                &field4, &count, entries, 1);
    if (result != VEXAN_OK) {
        return Failed(context, "pdo map " + Hex(a.cob, 3), result, json);
    }
    std::vector<std::string> list;
    // The four map fields as the module fills them: the PDO's number, its
    // direction, transmission type and event timer.
    std::string human = "PDO " + Hex(a.cob, 3) + ": number " + std::to_string(field1) + ", direction " +
                        std::to_string(field2) +
                        (field2 == 0   ? " (receive)"
                         : field2 == 1 ? " (transmit)"
                                       : "") +
                        ", transmission type " + std::to_string(field3) + ", event timer " + std::to_string(field4) +
                        " ms; " + std::to_string(count) + " entries (object/sub-index:bits)";
    for (unsigned i = 0; i < count && i < VEXAN_PDO_MAX_ENTRIES; ++i) {
        char entry[32];
        std::snprintf(entry, sizeof entry, "%04X/%02X:%u", entries[i] >> 16, (entries[i] >> 8) & 0xFF,
                      entries[i] & 0xFF);
        human += (i == 0 ? ": " : ", ") + std::string(entry);
        list.push_back(Json::Quote(entry));
    }
    json.Num("number", field1).Num("direction", field2).Num("transmission_type", field3).Num("event_timer", field4);
    json.Num("field1", field1).Num("field2", field2).Num("field3", field3).Num("field4", field4);
    json.Raw("entries", JsonArray(list));
    return Done(context, human, json);
}

int PdoList(Context& context, const Args& a)
{
    Json json;
    json.Str("command", "pdo list").Num("node", a.node);
    std::string human = NodeText(a.node) + ":";
    for (const bool rx : {true, false}) {
        std::vector<uint16_t> ids;
        const uint16_t result = ReadPdoIdList(Slot(context), static_cast<uint8_t>(a.node), rx, ids);
        if (result != VEXAN_OK) {
            return Failed(context, std::string("pdo list ") + (rx ? "rx " : "tx ") + std::to_string(a.node), result,
                          json);
        }
        human += std::string(rx ? " RxPDOs " : ", TxPDOs ") + PdoIdListText(rx ? "rx" : "tx", ids, json);
    }
    return Done(context, human, json);
}

int PdoInstall(Context& context, const Args& a)
{
    Json json;
    json.Str("command", "pdo install")
        .Num("node", a.node)
        .Hex("cob", a.cob, 3)
        .Bool("tx", a.tx)
        .Num("number", a.number);
    const uint16_t result = Vexan_InstallPDO(Slot(context), static_cast<uint8_t>(a.node), static_cast<uint16_t>(a.cob),
                                             a.tx ? 1 : 0, static_cast<uint16_t>(a.number), 1);
    if (result != VEXAN_OK) {
        return Failed(context, "pdo install " + Hex(a.cob, 3), result, json);
    }
    return Done(context,
                NodeText(a.node) + ": " + (a.tx ? "TxPDO " : "RxPDO ") + std::to_string(a.number) + " installed on " +
                    Hex(a.cob, 3),
                json);
}

}  // namespace

std::string PdoIdListText(const char* key, const std::vector<uint16_t>& ids, Json& json)
{
    std::vector<std::string> numbers;
    std::vector<std::string> hexNumbers;
    std::vector<std::string> texts;
    for (const uint16_t id : ids) {
        numbers.push_back(std::to_string(id));
        texts.push_back(Hex(id, 3));
        hexNumbers.push_back(Json::Quote(texts.back()));
    }
    json.Raw(key, JsonArray(numbers)).Raw(std::string(key) + "_hex", JsonArray(hexNumbers));
    return texts.empty() ? "none" : Join(texts, ", ");
}

void AddPdoCommands(const CommandWiring& wiring)
{
    Args& a = wiring.args;
    auto* pdo = wiring.app.add_subcommand("pdo", "PDO exchange and configuration");
    pdo->require_subcommand(1);
    const auto cob = [&a](CLI::App* cmd) {
        cmd->add_option("cob-id", a.cob, "the PDO's COB-ID, e.g. 0x205")->required()->check(CLI::Range(0, 2046));
    };
    auto* pdoWrite = pdo->add_subcommand("write", "send a PDO");
    cob(pdoWrite);
    pdoWrite->add_option("data", a.value, "0..8 data bytes in hex, e.g. 01020304")->required();
    pdoWrite->callback(wiring.Run("pdo write", PdoWrite));
    auto* pdoRead = pdo->add_subcommand("read", "the last PDO received on a COB-ID");
    cob(pdoRead);
    pdoRead->add_option("--node", a.node, "the node whose PDO it is, for its device file's names and types")
        ->check(CLI::Range(1, 127));
    pdoRead->add_flag("--fields", a.fields, "cut the data into the fields of the PDO's mapping (also without a file)");
    pdoRead->callback(wiring.Run("pdo read", PdoRead));
    auto* pdoRemote = pdo->add_subcommand("remote", "ask a node for a PDO by remote request");
    cob(pdoRemote);
    pdoRemote->callback(wiring.Run("pdo remote", PdoRemote));
    auto* pdoMap = pdo->add_subcommand("map", "a PDO's mapping");
    cob(pdoMap);
    pdoMap->callback(wiring.Run("pdo map", PdoMap));
    auto* pdoList = pdo->add_subcommand("list", "a node's receive and transmit PDOs");
    wiring.NodeArgument(pdoList);
    pdoList->callback(wiring.Run("pdo list", PdoList));
    auto* pdoInstall = pdo->add_subcommand("install", "install a PDO from the node's own PDO objects");
    wiring.NodeArgument(pdoInstall);
    cob(pdoInstall);
    pdoInstall->add_flag("--tx", a.tx, "a transmit PDO of the node (default: receive)");
    pdoInstall->add_option("--number", a.number, "the PDO's number (1..512)")->check(CLI::Range(1, 512));
    pdoInstall->callback(wiring.Run("pdo install", PdoInstall));
}

}  // namespace vexantool
