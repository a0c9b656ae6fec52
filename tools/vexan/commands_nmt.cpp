// Network management: nmt (state changes and the state), guard, heartbeat.
#include "cia301.hpp"
#include "command_group.hpp"
#include "vexan.h"
#include "vexan_results.h"

namespace vexantool {

namespace {

std::string NmtStateName(uint8_t state)
{
    const char* name = KnownNmtStateName(state);
    return name != nullptr ? name : "unknown";
}

int NmtChange(Context& context, const Args& a, const std::string& verb, uint8_t specifier)
{
    Json json;
    json.Str("command", "nmt " + verb).Num("node", a.node).Num("specifier", specifier);
    const uint16_t result = Vexan_NMTChangeState(Slot(context), static_cast<uint8_t>(a.node), specifier, 1);
    if (result != VEXAN_OK) {
        return Failed(context, "nmt " + verb + " " + std::to_string(a.node), result, json);
    }
    return Done(context, (a.node == 0 ? std::string("every node") : NodeText(a.node)) + ": nmt " + verb + " sent",
                json);
}

int NmtState(Context& context, const Args& a)
{
    Json json;
    json.Str("command", "nmt state").Num("node", a.node);
    uint8_t state[VEXAN_NODE_REPLY_BUFFER] = {};
    const uint16_t result = Vexan_NMTGetState(Slot(context), static_cast<uint8_t>(a.node), state, 1);
    if (result != VEXAN_OK) {
        return Failed(context, "nmt state " + std::to_string(a.node), result, json);
    }
    json.Num("state", state[0]).Str("name", NmtStateName(state[0]));
    return Done(context, NodeText(a.node) + ": " + NmtStateName(state[0]) + " (" + std::to_string(state[0]) + ")",
                json);
}

int Guard(Context& context, const Args& a)
{
    Json json;
    json.Str("command", "guard").Num("node", a.node).Num("guard_time", a.time1).Num("life_time_factor", a.factor);
    const uint16_t result = Vexan_NMTGuarding(Slot(context), static_cast<uint8_t>(a.node),
                                              static_cast<uint16_t>(a.time1), static_cast<uint8_t>(a.factor), 1);
    if (result != VEXAN_OK) {
        return Failed(context, "guard " + std::to_string(a.node), result, json);
    }
    return Done(context,
                NodeText(a.node) + ": node guarding every " + std::to_string(a.time1) + " ms, life time factor " +
                    std::to_string(a.factor),
                json);
}

int Heartbeat(Context& context, const Args& a)
{
    Json json;
    json.Str("command", "heartbeat").Num("node", a.node).Num("time1", a.time1).Num("time2", a.time2);
    const uint16_t result = Vexan_NMTHeartbeat(Slot(context), static_cast<uint8_t>(a.node),
                                               static_cast<uint16_t>(a.time1), static_cast<uint16_t>(a.time2), 1);
    if (result != VEXAN_OK) {
        return Failed(context, "heartbeat " + std::to_string(a.node), result, json);
    }
    json.Bool("off", a.time1 == 0);
    if (a.time1 == 0) {
        return Done(context, NodeText(a.node) + ": heartbeat off", json);
    }
    return Done(
        context,
        NodeText(a.node) + ": heartbeat " + std::to_string(a.time1) + " ms / " + std::to_string(a.time2) + " ms", json);
}

}  // namespace

void AddNmtCommands(const CommandWiring& wiring)
{
    CLI::App& app = wiring.app;
    Args& a = wiring.args;
    auto* nmt = app.add_subcommand("nmt", "NMT state changes and state query");
    nmt->require_subcommand(1);
    struct Change {
        const char* verb;
        uint8_t specifier;
        const char* help;
    };
    static constexpr Change kChanges[] = {{"start", 1, "start the node (operational)"},
                                          {"stop", 2, "stop the node"},
                                          {"preop", 128, "enter pre-operational"},
                                          {"reset", 129, "reset the node"},
                                          {"reset-comm", 130, "reset the node's communication"}};
    for (const Change& change : kChanges) {
        auto* cmd = nmt->add_subcommand(change.verb, change.help);
        // An NMT command to node 0 goes to every node.
        cmd->add_option("node", a.node, "node id (1..127, 0: every node)")->required()->check(CLI::Range(0, 127));
        cmd->callback(wiring.Run(std::string("nmt ") + change.verb, [change](Context& c, const Args& args) {
            return NmtChange(c, args, change.verb, change.specifier);
        }));
    }
    auto* state = nmt->add_subcommand("state", "read the node's NMT state");
    wiring.NodeArgument(state);
    state->callback(wiring.Run("nmt state", NmtState));

    auto* guard = app.add_subcommand("guard", "set up node guarding of a node");
    wiring.NodeArgument(guard);
    guard->add_option("guard-time", a.time1, "guard time in ms")->required()->check(CLI::Range(0, 65535));
    guard->add_option("life-time-factor", a.factor, "life time factor")->required()->check(CLI::Range(0, 255));
    guard->callback(wiring.Run("guard", Guard));
    auto* heartbeat = app.add_subcommand("heartbeat", "set up heartbeat monitoring of a node");
    wiring.NodeArgument(heartbeat);
    heartbeat->add_option("time1", a.time1, "the node's heartbeat time in ms")->required()->check(CLI::Range(0, 65535));
    heartbeat->add_option("time2", a.time2, "the master's consumer time in ms")->check(CLI::Range(0, 65535));
    heartbeat->callback(wiring.Run("heartbeat", Heartbeat));
}

}  // namespace vexantool
