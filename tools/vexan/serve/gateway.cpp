#include "gateway.hpp"

#include <cstdio>
#include <filesystem>

#include "codec.hpp"
#include "gateway_values.hpp"
#include "vexan.h"

#ifndef VEXAN_TOOL_VERSION
#define VEXAN_TOOL_VERSION "unknown"
#endif

namespace vexantool::serve::gateway {
namespace {

constexpr uint8_t kModuleNoSuchNode = 18;
constexpr uint8_t kModuleNodeSilent = 23;
constexpr uint16_t kDefaultSyncCob = 0x80;
constexpr uint32_t kAbortLengthMismatch = 0x06070010;
constexpr uint32_t kMaxSdoTimeoutMs = 3600000;

std::string Error(int code)
{
    return "ERROR:" + std::to_string(code);
}

std::string AbortError(uint32_t code)
{
    char text[24];
    std::snprintf(text, sizeof text, "ERROR:0x%08X", static_cast<unsigned>(code));
    return text;
}

std::string Hex(unsigned value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

}  // namespace

std::string ErrorFor(const CallResult& result)
{
    switch (result.code) {
    case VEXAN_SDO_ABORTED:
        return AbortError(result.abortCode);
    case VEXAN_TIMEOUT:
    case kModuleNodeSilent:
        return Error(kErrorTimeout);
    case kModuleNoSuchNode:
        return Error(kErrorUnsupportedNode);
    default:
        return Error(kErrorState);
    }
}

Gateway::Gateway(BoardHost& host, GatewayOptions options) : host_(host), options_(std::move(options)) {}

ClientState Gateway::NewClient() const
{
    ClientState client;
    if (host_.HasNet(1)) {
        client.net = 1;
    }
    return client;
}

std::string Gateway::HelpText()
{
    return "[<seq>] [[<net>] <node>] r[ead] <index> <subindex> [<datatype>] | "
           "[[<net>] <node>] w[rite] <index> <subindex> <datatype> <value> | "
           "[[<net>] <node>] start|stop|preop[erational]|reset node|reset comm[unication] | "
           "[<net>] set network <net>|set node <node>|set sdo_timeout <ms> | help [datatype] | "
           "[<net>] _info (versions, firmware, CAN status) | [<net>] _scan (nodes on the bus) | "
           "[<net>] _sync [<cob>] (one SYNC, default 0x80) | [<net>] _emcy <node> (last EMCY) | "
           "[<net>] _pdo read <cob> | [<net>] _pdo write <cob> [<hex>] | "
           "[<net>] _eds load <node> <file> (configure the node, attach its device file)";
}

std::optional<std::string> Gateway::Answer(std::string_view line, ClientState& client)
{
    const Parsed parsed = ParseLine(line);
    if (parsed.error == 0 && parsed.request.verb == Verb::None) {
        return std::nullopt;
    }
    std::string prefix;
    if (parsed.request.sequence) {
        prefix = "[" + *parsed.request.sequence + "] ";
    }
    if (parsed.error != 0) {
        return prefix + Error(parsed.error);
    }
    return prefix + Run(parsed.request, client);
}

std::string Gateway::Run(const Request& request, ClientState& client)
{
    if (options_.readOnly && ChangesBus(request.verb)) {
        return Error(kErrorUnsupported);
    }
    // The net: given, or the client's default.
    std::optional<unsigned> net = request.net;
    if (!net) {
        net = client.net;
    }
    // Commands about the client's defaults and the server itself need no net
    // unless one is named.
    const bool netFree = request.verb == Verb::Help || request.verb == Verb::SetNetwork ||
                         request.verb == Verb::SetNode || request.verb == Verb::Info;
    const bool netScoped = !netFree || request.net.has_value();
    if (netScoped) {
        if (!net) {
            return Error(kErrorNoDefaultNet);
        }
        if (!host_.HasNet(*net)) {
            return Error(kErrorUnsupportedNet);
        }
    }
    // The node of node commands: given, or the client's default.
    std::optional<unsigned> node = request.node ? request.node : client.node;
    const bool nodeCommand = request.verb == Verb::Read || request.verb == Verb::Write || request.verb == Verb::Start ||
                             request.verb == Verb::Stop || request.verb == Verb::PreOperational ||
                             request.verb == Verb::ResetNode || request.verb == Verb::ResetCommunication;
    if (nodeCommand) {
        if (!node) {
            return Error(kErrorNoDefaultNode);
        }
        // Node 0 addresses every node, for NMT only.
        const bool sdo = request.verb == Verb::Read || request.verb == Verb::Write;
        if (*node > kMaxNode || (sdo && *node == 0)) {
            return Error(kErrorUnsupportedNode);
        }
    }
    const auto nodeId = static_cast<uint8_t>(node.value_or(0));

    switch (request.verb) {
    case Verb::Read:
        return Read(request, *net, nodeId);
    case Verb::Write:
        return Write(request, *net, nodeId);
    case Verb::Start:
    case Verb::Stop:
    case Verb::PreOperational:
    case Verb::ResetNode:
    case Verb::ResetCommunication: {
        const NmtCommand command = request.verb == Verb::Start            ? NmtCommand::Start
                                   : request.verb == Verb::Stop           ? NmtCommand::Stop
                                   : request.verb == Verb::PreOperational ? NmtCommand::EnterPreOperational
                                   : request.verb == Verb::ResetNode      ? NmtCommand::ResetNode
                                                                          : NmtCommand::ResetCommunication;
        const CallResult result = host_.Nmt(*net, nodeId, command);
        return result.Ok() ? "OK" : ErrorFor(result);
    }
    case Verb::SetNetwork:
        if (request.net && !host_.HasNet(*request.net)) {
            return Error(kErrorUnsupportedNet);
        }
        if (!host_.HasNet(request.number)) {
            return Error(kErrorUnsupportedNet);
        }
        client.net = request.number;
        return "OK";
    case Verb::SetNode:
        if (request.number == 0 || request.number > kMaxNode) {
            return Error(kErrorUnsupportedNode);
        }
        client.node = request.number;
        return "OK";
    case Verb::SetSdoTimeout:
        if (request.number == 0 || request.number > kMaxSdoTimeoutMs) {
            return Error(kErrorSyntax);
        }
        return host_.SetFunctionTimeout(*net, request.number) ? "OK" : Error(kErrorUnsupportedNet);
    case Verb::Help:
        if (request.value.empty()) {
            return HelpText();
        }
        if (request.value == "datatype" || request.value == "datatypes") {
            return TypeList();
        }
        return Error(kErrorSyntax);
    case Verb::Info:
        return Info(request.net);
    case Verb::Scan: {
        std::vector<uint8_t> nodes;
        const CallResult result = host_.Scan(*net, nodes);
        if (!result.Ok()) {
            return ErrorFor(result);
        }
        std::string text;
        for (uint8_t id : nodes) {
            text += (text.empty() ? "" : " ") + std::to_string(id);
        }
        return text.empty() ? "OK" : text;
    }
    case Verb::Sync: {
        const CallResult result = host_.Sync(*net, static_cast<uint16_t>(request.cobId.value_or(kDefaultSyncCob)));
        return result.Ok() ? "OK" : ErrorFor(result);
    }
    case Verb::Emcy: {
        if (request.number == 0 || request.number > kMaxNode) {
            return Error(kErrorUnsupportedNode);
        }
        std::array<uint8_t, 8> data{};
        const CallResult result = host_.LastEmcy(*net, static_cast<uint8_t>(request.number), data);
        if (result.code == VEXAN_NOTHING_TO_READ) {
            return "none";
        }
        if (!result.Ok()) {
            return ErrorFor(result);
        }
        // Error code, error register, the manufacturer's five bytes.
        std::string text = Hex(static_cast<unsigned>(data[0] | data[1] << 8), 4) + " " + Hex(data[2], 2);
        std::string error;
        text += " " + FormatValue("hex", std::span<const uint8_t>(data).subspan(3), error).value_or("");
        return text;
    }
    case Verb::PdoRead: {
        std::vector<uint8_t> data;
        const CallResult result = host_.PdoRead(*net, static_cast<uint16_t>(request.number), data);
        if (result.code == VEXAN_NOTHING_TO_READ) {
            return "none";
        }
        if (!result.Ok()) {
            return ErrorFor(result);
        }
        std::string error;
        return FormatValue("hex", data, error).value_or("");
    }
    case Verb::PdoWrite: {
        std::string error;
        const auto data = EncodeValue("hex", request.value, error);
        if (!data || data->size() > VEXAN_PDO_MAX_DATA) {
            return Error(kErrorSyntax);
        }
        const CallResult result = host_.PdoWrite(*net, static_cast<uint16_t>(request.number), *data);
        return result.Ok() ? "OK" : ErrorFor(result);
    }
    case Verb::EdsLoad: {
        if (request.number == 0 || request.number > kMaxNode) {
            return Error(kErrorUnsupportedNode);
        }
        if (request.value.empty()) {
            return Error(kErrorSyntax);
        }
        std::filesystem::path path(request.value);
        if (path.is_relative() && !options_.baseDir.empty()) {
            path = std::filesystem::path(options_.baseDir) / path;
        }
        const auto nodeNumber = static_cast<uint8_t>(request.number);
        const CallResult result = host_.EdsLoad(*net, nodeNumber, path.string());
        if (result.code == VEXAN_EDS_FILE || result.code == VEXAN_EDS_VALUE) {
            return Error(kErrorState);
        }
        if (!result.Ok()) {
            return ErrorFor(result);
        }
        std::string error;
        host_.AttachModel(*net, nodeNumber, path.string(), error);
        return "OK";
    }
    case Verb::None:
        break;
    }
    return Error(kErrorUnsupported);
}

std::string Gateway::Read(const Request& request, unsigned net, uint8_t node)
{
    std::string type = request.dataType;
    if (!type.empty() && !KnownType(type)) {
        return Error(kErrorSyntax);
    }
    if (type.empty()) {
        // The type from the node's device file, when one is attached.
        type = "hex";
        if (const auto model = host_.Model(net, node)) {
            if (const auto* entry = model->FindEntry(request.index, request.subIndex); entry && entry->data_type) {
                type = TypeForDataType(*entry->data_type);
            }
        }
    }
    std::vector<uint8_t> data;
    const CallResult result = host_.SdoRead(net, node, request.index, request.subIndex, data);
    if (!result.Ok()) {
        return ErrorFor(result);
    }
    std::string error;
    const auto text = FormatValue(type, data, error);
    return text ? *text : AbortError(kAbortLengthMismatch);
}

std::string Gateway::Write(const Request& request, unsigned net, uint8_t node)
{
    if (!KnownType(request.dataType) || request.value.empty()) {
        return Error(kErrorSyntax);
    }
    std::string error;
    const auto data = EncodeValue(request.dataType, request.value, error);
    if (!data) {
        return Error(kErrorSyntax);
    }
    // An empty object cannot be downloaded, nor one above a single call's limit.
    if (data->empty() || data->size() > VEXAN_SDO_MAX_WRITE) {
        return Error(kErrorUnsupported);
    }
    const CallResult result = host_.SdoWrite(net, node, request.index, request.subIndex, *data);
    return result.Ok() ? "OK" : ErrorFor(result);
}

std::string Gateway::Info(std::optional<unsigned> net)
{
    std::string text = "library " + std::to_string(Vexan_GetVersion()) + " tool " VEXAN_TOOL_VERSION;
    for (const BoardInfo& board : host_.Boards()) {
        if (net && board.net != *net) {
            continue;
        }
        text += "; net " + std::to_string(board.net) + " slot " + std::to_string(board.slot) + " master " +
                std::to_string(board.masterId) + " port " + board.port;
        text += " firmware " + (board.firmware ? Hex(*board.firmware, 4) : std::string("unknown"));
        std::vector<uint8_t> status;
        const CallResult result = host_.CanStatus(board.net, status);
        if (result.Ok() && status.size() >= 4) {
            text += " can-state " + std::to_string(status[0]) + " tx-errors " + std::to_string(status[1]) +
                    " rx-errors " + std::to_string(status[2]) + " overruns " + std::to_string(status[3]);
        } else {
            text += " can-status " + ErrorFor(result);
        }
    }
    return text;
}

}  // namespace vexantool::serve::gateway
