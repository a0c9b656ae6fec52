// SYNC and EMCY: sync (one SYNC or a cycle) and emcy last.
#include "cia301.hpp"
#include "command_group.hpp"
#include "text.hpp"
#include "vexan.h"
#include "vexan_results.h"

namespace vexantool {

namespace {

int Sync(Context& context, const Args& a)
{
    Json json;
    json.Str("command", "sync").Hex("cob", a.cob, 3).Num("period_ms", a.period);
    const uint16_t result =
        Vexan_SendSYNCMsg(Slot(context), static_cast<uint16_t>(a.cob), static_cast<uint16_t>(a.period), 0, 1);
    if (result != VEXAN_OK) {
        return Failed(context, "sync " + Hex(a.cob, 3), result, json);
    }
    if (a.period != 0) {
        return Done(context, "SYNC every " + std::to_string(a.period) + " ms on " + Hex(a.cob, 3), json);
    }
    // A period of 0 sends one SYNC and ends the module's cycle on that COB-ID.
    return Done(
        context,
        "SYNC sent on " + Hex(a.cob, 3) + (a.periodGiven ? "; the SYNC cycle on " + Hex(a.cob, 3) + " stopped" : ""),
        json);
}

int EmcyLast(Context& context, const Args& a)
{
    Json json;
    json.Str("command", "emcy last").Num("node", a.node);
    uint8_t flag = 0;
    uint8_t data[VEXAN_EMCY_DATA] = {};
    const uint16_t result = Vexan_ReadLastEMCY(Slot(context), static_cast<uint8_t>(a.node), &flag, data, 1);
    if (result == VEXAN_NOTHING_TO_READ) {
        json.Bool("recorded", false);
        return Done(context, NodeText(a.node) + ": no EMCY recorded", json);
    }
    if (result != VEXAN_OK) {
        return Failed(context, "emcy last " + std::to_string(a.node), result, json);
    }
    json.Bool("recorded", true).Num("flag", flag);
    AddEmcyFields(json, data);
    return Done(context, EmcyText(a.node, data), json);
}

}  // namespace

std::string EmcyText(unsigned node, std::span<const uint8_t> data)
{
    const auto code = static_cast<uint16_t>(data[0] | data[1] << 8);
    std::string bits = Join(ErrorRegisterBits(data[2]), ", ");
    return NodeText(node) + ": EMCY " + Hex(code, 4) + " " + EmcyMeaning(code) + ", error register " + Hex(data[2], 2) +
           " (" + (bits.empty() ? "no error" : bits) + ") [" + HexBytes(data) + "]";
}

void AddEmcyFields(Json& json, std::span<const uint8_t> data)
{
    const auto code = static_cast<uint16_t>(data[0] | data[1] << 8);
    std::vector<std::string> bits;
    for (const std::string& name : ErrorRegisterBits(data[2])) {
        bits.push_back(Json::Quote(name));
    }
    json.Hex("error_code", code, 4)
        .Str("meaning", EmcyMeaning(code))
        .Hex("error_register", data[2], 2)
        .Raw("error_register_bits", JsonArray(bits))
        .Str("hex", HexBytes(data, ""));
}

void AddSyncEmcyCommands(const CommandWiring& wiring)
{
    CLI::App& app = wiring.app;
    Args& a = wiring.args;
    auto* sync = app.add_subcommand("sync", "send a SYNC, or start a cyclic one");
    sync->add_option("cob-id", a.cob, "SYNC COB-ID (default 0x80)")->check(CLI::Range(0, 2046));
    a.cob = 0x80;
    auto* period = sync->add_option("--period", a.period, "cycle in ms (0: one SYNC now, and the cycle stops)")
                       ->check(CLI::Range(0, 65535));
    sync->callback([&a, period, run = wiring.Run("sync", Sync)] {
        a.periodGiven = period->count() > 0;
        run();
    });

    auto* emcy = app.add_subcommand("emcy", "emergency messages");
    emcy->require_subcommand(1);
    auto* last = emcy->add_subcommand("last", "the last EMCY the module recorded for a node");
    wiring.NodeArgument(last);
    last->callback(wiring.Run("emcy last", EmcyLast));
}

}  // namespace vexantool
