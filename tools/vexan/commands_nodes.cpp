// The master's node list: scan, nodes, node add, node remove, node reset.
#include "command_group.hpp"
#include "id_lists.hpp"
#include "text.hpp"
#include "vexan.h"
#include "vexan_results.h"

namespace vexantool {

namespace {

// scan (the nodes answering on the bus) and nodes (the master's list).
int ListNodes(Context& context, bool scan)
{
    const std::string name = scan ? "scan" : "nodes";
    uint8_t reply[VEXAN_NODE_REPLY_BUFFER] = {};
    Json json;
    json.Str("command", name);
    const uint16_t result =
        scan ? Vexan_ScanNode(Slot(context), 0, 0, reply, 1) : Vexan_GetNodeList(Slot(context), reply, 1);
    if (result != VEXAN_OK) {
        return Failed(context, name, result, json);
    }
    const std::vector<std::string> ids = NodeIdsOf(reply);
    json.Raw("nodes", JsonArray(ids));
    return Done(
        context,
        (scan ? "nodes on the bus: " : "nodes in the master's list: ") + (ids.empty() ? "none" : Join(ids, ", ")),
        json);
}

int NodeAdd(Context& context, const Args& a)
{
    Json json;
    json.Str("command", "node add").Num("node", a.node);
    const auto node = static_cast<uint8_t>(a.node);
    uint16_t result = VEXAN_WAITING;
    // A module still busy with the add answers "waiting": ask again.
    for (int tries = 0; tries < 50 && result == VEXAN_WAITING; ++tries) {
        result = Vexan_AddNode(Slot(context), node, static_cast<uint8_t>(a.param), static_cast<uint16_t>(a.word1),
                               static_cast<uint16_t>(a.word2), 1);
    }
    if (result != VEXAN_OK) {
        return Failed(context, "node add " + std::to_string(a.node), result, json);
    }
    return Done(context, NodeText(a.node) + " added", json);
}

int NodeRemove(Context& context, const Args& a, bool reset)
{
    const std::string name = reset ? "node reset" : "node remove";
    Json json;
    json.Str("command", name).Num("node", a.node);
    const auto node = static_cast<uint8_t>(a.node);
    const uint16_t result =
        reset ? Vexan_RemoveAndResetNode(Slot(context), node, 1) : Vexan_RemoveNode(Slot(context), node, 1);
    if (result != VEXAN_OK) {
        return Failed(context, name + " " + std::to_string(a.node), result, json);
    }
    return Done(context, NodeText(a.node) + (reset ? " removed and reset" : " removed"), json);
}

}  // namespace

void AddNodeCommands(const CommandWiring& wiring)
{
    CLI::App& app = wiring.app;
    Args& a = wiring.args;
    app.add_subcommand("scan", "nodes answering on the bus")->callback(wiring.Run("scan", [](Context& c, const Args&) {
        return ListNodes(c, true);
    }));
    app.add_subcommand("nodes", "nodes in the master's list")
        ->callback(wiring.Run("nodes", [](Context& c, const Args&) { return ListNodes(c, false); }));

    auto* nodeCmd = app.add_subcommand("node", "add, remove or reset a node of the master's list");
    nodeCmd->require_subcommand(1);
    auto* add = nodeCmd->add_subcommand("add", "add a node to the master's list");
    wiring.NodeArgument(add);
    add->add_option("--param", a.param, "the module's node parameter")->check(CLI::Range(0, 255));
    add->add_option("--word1", a.word1, "the module's first node word")->check(CLI::Range(0, 65535));
    add->add_option("--word2", a.word2, "the module's second node word")->check(CLI::Range(0, 65535));
    add->callback(wiring.Run("node add", NodeAdd));
    auto* remove = nodeCmd->add_subcommand("remove", "remove a node from the master's list");
    wiring.NodeArgument(remove);
    remove->callback(
        wiring.Run("node remove", [](Context& c, const Args& args) { return NodeRemove(c, args, false); }));
    auto* reset = nodeCmd->add_subcommand("reset", "remove a node from the list and reset it");
    wiring.NodeArgument(reset);
    reset->callback(wiring.Run("node reset", [](Context& c, const Args& args) { return NodeRemove(c, args, true); }));
}

}  // namespace vexantool
