// Framing, result holding, the master commands, node management and NMT, and
// the event reply. SDO, PDO and SYNC/EMCY commands are in their own files.
#include <algorithm>
#include <cstring>

#include "vexan_sim/module.hpp"

namespace vexsim {

namespace {

constexpr uint8_t U8(Command c)
{
    return static_cast<uint8_t>(c);
}
constexpr uint8_t U8(Status s)
{
    return static_cast<uint8_t>(s);
}

// Payload size of each fixed-size command (bytes after the command byte);
// -1 for variable-size commands and for codes this module does not know.
constexpr std::array<int, kCommandCount> MakeFixedSizes()
{
    std::array<int, kCommandCount> t{};
    t.fill(-1);
    auto set = [&t](Command c, int n) { t[U8(c)] = n; };
    set(Command::StartMaster, 2);
    set(Command::StopMaster, 0);
    set(Command::GetFirmwareVersion, 0);
    set(Command::SetMasterMode, 1);
    set(Command::GetMasterMode, 0);
    set(Command::ScanNodes, 2);
    set(Command::GetNodeList, 0);
    set(Command::AddNode, 6);
    set(Command::RemoveNode, 1);
    set(Command::NodeGuarding, 4);
    set(Command::Heartbeat, 5);
    set(Command::NmtChangeState, 2);
    set(Command::NmtGetState, 1);
    set(Command::SdoRead, 4);
    set(Command::SdoAbort, 8);
    set(Command::InstallPdo, 6);
    set(Command::RemovePdo, 4);
    set(Command::GetRxPdoIds, 1);
    set(Command::GetTxPdoIds, 1);
    set(Command::ChangeSyncId, 3);
    set(Command::ChangeEmcyId, 3);
    set(Command::GetSyncId, 1);
    set(Command::GetEmcyId, 1);
    set(Command::ReadLastEmcy, 1);
    set(Command::RemovePdoList, 4);
    set(Command::SetSyncList, 3);
    set(Command::SetEmcyList, 3);
    set(Command::GetCyclicSync, 0);
    set(Command::SdoNextSegment, 1);
    set(Command::GetCanStatus, 1);
    set(Command::RemoveAndResetNode, 1);
    set(Command::DelayAndResponseTimeout, 5);
    set(Command::PdoRemote, 3);
    set(Command::ChangePdoId, 4);
    set(Command::DynamicPdo, 9);
    set(Command::PdoUseEntries, 3);
    set(Command::PdoTxType, 3);
    set(Command::PdoEventTimer, 4);
    set(Command::GetPdoMapInfo, 2);
    set(Command::GetPdoLastData, 2);
    set(Command::SendSync, 8);
    set(Command::PdoInhibitTime, 4);
    set(Command::EventPoll, 0);
    set(Command::ResponseMasterSdo, 8);
    set(Command::MasterBootup, 0);
    return t;
}

constexpr std::array<int, kCommandCount> kFixedSizes = MakeFixedSizes();

// Whether the payload length is the one the command's layout gives.
bool PayloadFits(uint8_t command, std::span<const uint8_t> p)
{
    std::size_t n = p.size();
    auto u16At = [&p](std::size_t i) { return static_cast<std::size_t>(p[i] | (p[i + 1] << 8)); };
    switch (static_cast<Command>(command)) {
    case Command::SdoWrite:
        return n >= 6 && n == 6 + u16At(4);
    case Command::InstallPdoList:
        return n >= 10 && n == 10 + 4u * p[9];
    case Command::SetRemotePolling:
        return n >= 1 && n == 3 + 2u * p[0];
    case Command::GetMultiPdo:
        return n >= 1 && n == 1 + 2u * p[0];
    case Command::PdoWrite:
        return n >= 5 && n == 5 + std::size_t{p[3]};
    case Command::ResponseMasterPdo:
        return n >= 3 && n == 3 + std::size_t{p[2]};
    default:
        return command < kCommandCount && kFixedSizes[command] >= 0 &&
               n == static_cast<std::size_t>(kFixedSizes[command]);
    }
}

Bytes IdList(const std::vector<uint8_t>& ids)
{
    Bytes data;
    data.reserve(ids.size() + 1);
    data.push_back(static_cast<uint8_t>(ids.size()));
    for (uint8_t id : ids)
        data.push_back(id);
    return data;
}

}  // namespace

Module::Module(ModuleOptions options) : options_(options)
{
    SetSdoChunk(options.sdoChunk);
}

void Module::SetSdoChunk(std::size_t chunk)
{
    options_.sdoChunk = std::clamp<std::size_t>(chunk, 1, kMaxSdoChunk);
}

// ---------------------------------------------------------------- framing

void Module::Receive(std::span<const uint8_t> bytes, ModuleOutput& out, Clock::time_point now)
{
    if (!input_.empty() && options_.frameTimeoutMs != 0 &&
        now - lastInput_ > std::chrono::milliseconds(options_.frameTimeoutMs)) {
        out.notes.push_back("dropped " + std::to_string(input_.size()) + " bytes of an unfinished frame after a gap");
        input_.clear();
    }
    lastInput_ = now;
    input_.insert(input_.end(), bytes.begin(), bytes.end());
    std::size_t pos = 0;
    std::size_t skipped = 0;
    while (pos < input_.size()) {
        uint8_t b = input_[pos];
        if (b == '$') {
            std::size_t have = std::min(input_.size() - pos, kIdentRequest.size());
            bool prefix = std::memcmp(&input_[pos], kIdentRequest.data(), have) == 0;
            if (!prefix) {
                ++pos;
                ++skipped;
                continue;
            }
            if (have < kIdentRequest.size())
                break;  // wait for the rest
            out.received.emplace_back(input_.begin() + static_cast<std::ptrdiff_t>(pos),
                                      input_.begin() + static_cast<std::ptrdiff_t>(pos + have));
            out.replies.push_back(Outgoing{Bytes(kIdentReply.begin(), kIdentReply.end()), true});
            pos += have;
            continue;
        }
        if (b != kFrameStart) {
            ++pos;
            ++skipped;
            continue;
        }
        if (input_.size() - pos < 2)
            break;
        std::size_t total = std::size_t{input_[pos + 1]} + 2;
        if (input_.size() - pos < total)
            break;
        std::span<const uint8_t> frame(&input_[pos], total);
        out.received.emplace_back(frame.begin(), frame.end());
        HandleFrame(frame, out);
        pos += total;
    }
    if (skipped > 0)
        out.notes.push_back("skipped " + std::to_string(skipped) + " bytes outside frames");
    input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(pos));
}

void Module::HandleFrame(std::span<const uint8_t> frame, ModuleOutput& out)
{
    if (frame.size() < 3) {
        out.notes.push_back("empty frame ignored");
        return;
    }
    uint8_t command = frame[2];
    auto payload = frame.subspan(3);
    if (command == U8(Command::ResultRequest)) {
        HandleResultRequest(payload, out);
    } else if (command == U8(Command::EventPoll)) {
        // The event poll is answered at once: the library files the answer
        // without a result request.
        out.replies.push_back(Outgoing{BuildEventReply(), false, U8(Command::EventPoll), 0});
    } else {
        HandleCommand(command, payload, out);
    }
}

// ------------------------------------------------------- results on request

void Module::HandleResultRequest(std::span<const uint8_t> payload, ModuleOutput& out)
{
    if (payload.empty()) {
        out.notes.push_back("result request without command ignored");
        return;
    }
    uint8_t command = payload[0];
    CommandClass cls = ClassOf(command);
    std::size_t keyBytes = cls == CommandClass::Pdo ? 2 : 1;
    if (cls == CommandClass::None || payload.size() != 1 + keyBytes) {
        out.notes.push_back("malformed result request ignored");
        return;
    }
    uint16_t key = keyBytes == 2 ? static_cast<uint16_t>(payload[1] | (payload[2] << 8)) : payload[1];
    if (cls == CommandClass::Master)
        key = 0;
    auto it = held_.find({command, key});
    if (it == held_.end()) {
        out.notes.push_back("no result held for " + std::string(CommandName(command)) + " key " + std::to_string(key) +
                            ": no answer");
        return;
    }
    Held& held = it->second;
    if (held.busy > 0) {
        --held.busy;
        out.replies.push_back(Outgoing{StatusReplyFor(command, key, U8(Status::InProgress)), false, command, key});
        return;
    }
    if (held.reply.empty()) {
        // An upload whose next segment has not been asked for yet.
        out.replies.push_back(Outgoing{StatusReplyFor(command, key, U8(Status::InProgress)), false, command, key});
        return;
    }
    out.replies.push_back(Outgoing{std::move(held.reply), false, command, key});
    held.reply.clear();
    if (!held.upload || held.upload->sent >= held.upload->data.size())
        held_.erase(it);
}

std::optional<CommandPlan> Module::TakePlan(uint8_t command, uint16_t key)
{
    auto it = plans_.find({command, static_cast<int>(key)});
    if (it == plans_.end())
        it = plans_.find({command, -1});
    if (it == plans_.end())
        return std::nullopt;
    CommandPlan plan = it->second;
    if (it->second.uses > 0 && --it->second.uses == 0)
        plans_.erase(it);
    return plan;
}

void Module::SetCommandPlan(uint8_t command, std::optional<uint16_t> key, CommandPlan plan)
{
    std::pair<uint8_t, int> k{command, key ? static_cast<int>(*key) : -1};
    if (plan.uses == 0) {
        plans_.erase(k);
    } else {
        plans_[k] = plan;
    }
}

// --------------------------------------------------------------- commands

void Module::HandleCommand(uint8_t command, std::span<const uint8_t> payload, ModuleOutput& out)
{
    const bool fits = PayloadFits(command, payload);
    // The key under which the result is held, as the library asks for it.
    uint16_t key = 0;
    switch (ClassOf(command)) {
    case CommandClass::Node:
        if (command == U8(Command::GetFirmwareVersion) || command == U8(Command::SetMasterMode) ||
            command == U8(Command::GetMasterMode) || command == U8(Command::GetCanStatus)) {
            key = masterNodeId_;
        } else if (command == U8(Command::ScanNodes) || command == U8(Command::GetNodeList) ||
                   command == U8(Command::GetCyclicSync) || command == U8(Command::SetRemotePolling) ||
                   command == U8(Command::GetMultiPdo)) {
            key = 0;
        } else if (!payload.empty()) {
            key = payload[0];
        }
        break;
    case CommandClass::Pdo: {
        std::size_t at = command == U8(Command::ChangePdoId) ? 2 : command == U8(Command::DynamicPdo) ? 1 : 0;
        if (payload.size() >= at + 2)
            key = static_cast<uint16_t>(payload[at] | (payload[at + 1] << 8));
        break;
    }
    default:
        break;
    }

    if (command == U8(Command::StopMaster)) {
        if (fits) {
            masterStarted_ = false;
            held_.clear();
        }
        out.notes.push_back(fits ? "master stopped" : "malformed stop ignored");
        return;
    }
    if (command == U8(Command::MasterBootup)) {
        // The master's boot-up message goes on the bus; no result is filed.
        out.notes.push_back(masterStarted_ ? "master boot-up message sent on the bus"
                                           : "master boot-up ignored: master not started");
        return;
    }
    if (command == U8(Command::SdoNextSegment)) {
        if (fits) {
            AdvanceUpload(payload[0], out);
        } else {
            out.notes.push_back("malformed next-segment request ignored");
        }
        return;
    }
    // The fast PDO forms file no result: nothing waits for one.
    const bool fast =
        fits && (command == U8(Command::PdoWrite) || command == U8(Command::PdoRemote)) && payload.back() == 1;

    if (ClassOf(command) == CommandClass::None) {
        out.notes.push_back("unknown command " + std::to_string(command) + " ignored");
        return;
    }
    const bool known = CommandName(command) != "Unknown";
    std::optional<CommandPlan> plan;
    Result result;
    if (!known) {
        result = StatusReplyFor(command, key, U8(Status::UnknownCommand));
    } else if (!fits) {
        result = StatusReplyFor(command, key, U8(Status::BadFrame));
    } else if (!masterStarted_ && command != U8(Command::StartMaster)) {
        result = StatusReplyFor(command, key, U8(Status::MasterNotStarted));
    } else {
        if (!fast)
            plan = TakePlan(command, key);
        if (plan && plan->failStatus) {
            result = StatusReplyFor(command, key, *plan->failStatus);
        } else {
            PayloadReader r(payload);
            result = Run(command, key, r, out);
        }
    }
    if (fast || result.none)
        return;
    // A newer command with the same key replaces a result not yet asked for.
    const uint16_t heldKey = ClassOf(command) == CommandClass::Master ? uint16_t{0} : key;
    held_[{command, heldKey}] = Held{std::move(result.reply), plan ? plan->busy : 0u, std::move(result.upload)};
}

Module::Result Module::Run(uint8_t command, uint16_t key, PayloadReader& r, ModuleOutput& out)
{
    switch (static_cast<Command>(command)) {
    case Command::StartMaster: {
        uint8_t id = r.U8();
        uint8_t param = r.U8();
        if (id > kMaxNodeId)
            return NodeStatusReply(command, id, U8(Status::BadParameter));
        // A (re)start forgets every result of the previous run.
        held_.clear();
        masterStarted_ = true;
        masterNodeId_ = id;
        masterInitParam_ = param;
        out.notes.push_back("master started as node " + std::to_string(id));
        return NodeStatusReply(command, id, U8(Status::Ok));
    }
    case Command::GetFirmwareVersion: {
        const std::array<uint8_t, 2> v{static_cast<uint8_t>(options_.firmwareVersion),
                                       static_cast<uint8_t>(options_.firmwareVersion >> 8)};
        return NodeDataReply(command, masterNodeId_, v);
    }
    case Command::SetMasterMode:
        masterMode_ = r.U8();
        return NodeStatusReply(command, masterNodeId_, U8(Status::Ok));
    case Command::GetMasterMode: {
        const std::array<uint8_t, 1> v{masterMode_};
        return NodeDataReply(command, masterNodeId_, v);
    }
    case Command::GetCanStatus:
        return NodeDataReply(command, masterNodeId_, canStatus_);
    case Command::ScanNodes:
    case Command::GetNodeList:
    case Command::AddNode:
    case Command::RemoveNode:
    case Command::RemoveAndResetNode:
    case Command::DelayAndResponseTimeout:
        return RunNodeManagement(command, key, r);
    case Command::NodeGuarding:
    case Command::Heartbeat:
    case Command::NmtChangeState:
    case Command::NmtGetState:
        return RunNmt(command, key, r);
    case Command::SdoRead:
    case Command::SdoWrite:
    case Command::SdoAbort:
        return RunSdo(command, key, r);
    case Command::InstallPdo:
    case Command::RemovePdo:
    case Command::GetRxPdoIds:
    case Command::GetTxPdoIds:
    case Command::InstallPdoList:
    case Command::RemovePdoList:
    case Command::ChangePdoId:
    case Command::DynamicPdo:
    case Command::PdoUseEntries:
    case Command::PdoTxType:
    case Command::PdoEventTimer:
    case Command::GetPdoMapInfo:
    case Command::PdoInhibitTime:
        return RunPdoConfig(command, key, r);
    case Command::SetRemotePolling:
    case Command::GetMultiPdo:
    case Command::PdoWrite:
    case Command::PdoRemote:
    case Command::GetPdoLastData:
        return RunPdoData(command, key, r);
    case Command::ChangeSyncId:
    case Command::ChangeEmcyId:
    case Command::GetSyncId:
    case Command::GetEmcyId:
    case Command::ReadLastEmcy:
    case Command::SetSyncList:
    case Command::SetEmcyList:
    case Command::GetCyclicSync:
    case Command::SendSync:
        return RunSyncEmcy(command, key, r);
    case Command::ResponseMasterSdo:
    case Command::ResponseMasterPdo:
        return RunMasterSide(command, r);
    default:
        return StatusReplyFor(command, key, U8(Status::UnknownCommand));
    }
}

// ------------------------------------------------------ node management

void Module::PutNode(uint8_t id, ObjectDictionary dictionary, DeviceInfo info, bool listed, bool announce)
{
    RemovePdosOf(id);
    SimNode node;
    node.id = id;
    node.dictionary = std::move(dictionary);
    node.info = std::move(info);
    node.listed = listed;
    node.initialDictionary = node.dictionary;
    node.syncCobId = static_cast<uint16_t>(node.dictionary.ReadUnsigned(0x1005, 0).value_or(0x80) & kMaxCobId);
    node.emcyCobId = static_cast<uint16_t>(node.dictionary.ReadUnsigned(0x1014, 0).value_or(0x80u + id) & kMaxCobId);
    nodes_[id] = std::move(node);
    if (announce)
        QueueBootup(id);
}

void Module::PutDefaultNode(uint8_t id, bool listed, bool announce)
{
    PutNode(id, DefaultDevice(id), DefaultDeviceInfo(), listed, announce);
}

bool Module::RemoveNode(uint8_t id)
{
    RemovePdosOf(id);
    return nodes_.erase(id) > 0;
}

SimNode* Module::FindNode(uint8_t id)
{
    auto it = nodes_.find(id);
    return it == nodes_.end() ? nullptr : &it->second;
}

const SimNode* Module::FindNode(uint8_t id) const
{
    auto it = nodes_.find(id);
    return it == nodes_.end() ? nullptr : &it->second;
}

std::vector<uint8_t> Module::NodeIds() const
{
    std::vector<uint8_t> ids;
    for (const auto& [id, node] : nodes_)
        ids.push_back(id);
    return ids;
}

bool Module::SetNodeSilent(uint8_t id, bool silent, Clock::time_point now)
{
    SimNode* node = FindNode(id);
    if (node == nullptr)
        return false;
    if (silent && !node->silent)
        node->silentSince = now;
    node->silent = silent;
    node->monitoringLost = false;
    return true;
}

void Module::ResetNode(SimNode& node)
{
    node.state = NmtState::PreOperational;
    if (!node.silent)
        QueueBootup(node.id);
}

void Module::RemovePdosOf(uint8_t node)
{
    std::erase_if(pdos_, [node](const auto& entry) { return entry.second.node == node; });
}

Module::Result Module::RunNodeManagement(uint8_t command, uint16_t key, PayloadReader& r)
{
    const auto id = static_cast<uint8_t>(key);
    switch (static_cast<Command>(command)) {
    case Command::ScanNodes: {
        std::vector<uint8_t> ids;
        for (const auto& [nid, node] : nodes_) {
            if (!node.silent)
                ids.push_back(nid);
        }
        return NodeDataReply(command, 0, IdList(ids));
    }
    case Command::GetNodeList: {
        std::vector<uint8_t> ids;
        for (const auto& [nid, node] : nodes_) {
            if (node.listed)
                ids.push_back(nid);
        }
        return NodeDataReply(command, 0, IdList(ids));
    }
    case Command::AddNode: {
        r.U8();
        uint8_t param = r.U8();
        uint16_t w1 = r.U16();
        uint16_t w2 = r.U16();
        if (id == 0 || id > kMaxNodeId)
            return NodeStatusReply(command, id, U8(Status::BadParameter));
        if (FindNode(id) == nullptr) {
            if (!options_.autoCreateNodes)
                return NodeStatusReply(command, id, U8(Status::NoSuchNode));
            PutDefaultNode(id, false, false);
        }
        SimNode& node = *FindNode(id);
        node.listed = true;
        node.addParam = param;
        node.addWord1 = w1;
        node.addWord2 = w2;
        // Taking a node under the master resets it, so it reports its boot-up.
        ResetNode(node);
        return NodeStatusReply(command, id, U8(Status::Ok));
    }
    case Command::RemoveNode:
    case Command::RemoveAndResetNode: {
        SimNode* node = FindNode(id);
        if (node == nullptr || !node->listed)
            return NodeStatusReply(command, id, U8(Status::NoSuchNode));
        node->listed = false;
        RemovePdosOf(id);
        held_.erase({U8(Command::SdoRead), id});
        if (command == U8(Command::RemoveAndResetNode)) {
            RestoreValues(*node, false);
            ResetNode(*node);
        }
        return NodeStatusReply(command, id, U8(Status::Ok));
    }
    case Command::DelayAndResponseTimeout: {
        r.U8();
        SimNode* node = FindNode(id);
        if (node == nullptr)
            return NodeStatusReply(command, id, U8(Status::NoSuchNode));
        node->delay = r.U16();
        node->responseTimeout = r.U16();
        return NodeStatusReply(command, id, U8(Status::Ok));
    }
    default:
        return NodeStatusReply(command, id, U8(Status::UnknownCommand));
    }
}

Module::Result Module::RunNmt(uint8_t command, uint16_t key, PayloadReader& r)
{
    const auto id = static_cast<uint8_t>(key);
    r.U8();
    SimNode* node = FindNode(id);
    switch (static_cast<Command>(command)) {
    case Command::NodeGuarding:
        if (node == nullptr)
            return NodeStatusReply(command, id, U8(Status::NoSuchNode));
        node->guardTime = r.U16();
        node->lifeTimeFactor = r.U8();
        node->monitoredSince = lastInput_;
        node->monitoringLost = false;
        return NodeStatusReply(command, id, U8(Status::Ok));
    case Command::Heartbeat:
        if (node == nullptr)
            return NodeStatusReply(command, id, U8(Status::NoSuchNode));
        node->heartbeatTime1 = r.U16();
        node->heartbeatTime2 = r.U16();
        node->monitoredSince = lastInput_;
        node->monitoringLost = false;
        // The first time is the node's producer heartbeat time.
        node->dictionary.WriteUnsigned(0x1017, 0, node->heartbeatTime1);
        return NodeStatusReply(command, id, U8(Status::Ok));
    case Command::NmtChangeState: {
        const auto cs = static_cast<NmtCommand>(r.U8());
        std::optional<NmtState> next;
        bool reset = false;
        switch (cs) {
        case NmtCommand::Start:
            next = NmtState::Operational;
            break;
        case NmtCommand::Stop:
            next = NmtState::Stopped;
            break;
        case NmtCommand::EnterPreOperational:
            next = NmtState::PreOperational;
            break;
        case NmtCommand::ResetNode:
        case NmtCommand::ResetCommunication:
            reset = true;
            break;
        default:
            return NodeStatusReply(command, id, U8(Status::BadParameter));
        }
        std::vector<SimNode*> targets;
        if (id == 0) {
            // Node 0 addresses every node the master manages.
            for (auto& [nid, n] : nodes_) {
                if (n.listed)
                    targets.push_back(&n);
            }
        } else if (node != nullptr) {
            targets.push_back(node);
        } else {
            return NodeStatusReply(command, id, U8(Status::NoSuchNode));
        }
        for (SimNode* t : targets) {
            if (t->silent)
                continue;  // NMT is unconfirmed: a silent node just misses it
            if (reset) {
                RestoreValues(*t, cs == NmtCommand::ResetCommunication);
                ResetNode(*t);
            } else {
                t->state = *next;
            }
        }
        return NodeStatusReply(command, id, U8(Status::Ok));
    }
    case Command::NmtGetState: {
        if (node == nullptr)
            return NodeStatusReply(command, id, U8(Status::NoSuchNode));
        if (node->silent)
            return NodeStatusReply(command, id, U8(Status::NodeNoAnswer));
        const std::array<uint8_t, 1> state{static_cast<uint8_t>(node->state)};
        return NodeDataReply(command, id, state);
    }
    default:
        return NodeStatusReply(command, id, U8(Status::UnknownCommand));
    }
}

// ------------------------------------------------------------------ events

void Module::QueueEvent(EventKind kind, Bytes item)
{
    auto& queue = events_[static_cast<std::size_t>(kind)];
    if (queue.size() >= kMaxQueuedEvents)
        queue.pop_front();
    queue.push_back(std::move(item));
}

void Module::QueueBootup(uint8_t node)
{
    QueueEvent(EventKind::BootUp, Bytes{node});
}

void Module::QueueEmcy(uint8_t node, const std::array<uint8_t, 8>& data)
{
    Bytes item{node};
    item.insert(item.end(), data.begin(), data.end());
    QueueEvent(EventKind::Emcy, std::move(item));
    if (SimNode* n = FindNode(node)) {
        n->lastEmcy = data;
        n->lastEmcyRead = false;
    }
}

void Module::QueueNmtError(uint8_t node, uint8_t code)
{
    QueueEvent(EventKind::NmtError, Bytes{node, code});
}

void Module::QueueMasterSdoRead(uint16_t index, uint8_t subIndex)
{
    // CiA 301 initiate upload request.
    QueueEvent(EventKind::ReadSdo,
               Bytes{0x40, static_cast<uint8_t>(index), static_cast<uint8_t>(index >> 8), subIndex});
    openSdoReads_.insert({index, subIndex});
}

bool Module::QueueMasterSdoWrite(uint16_t index, uint8_t subIndex, std::span<const uint8_t> data)
{
    if (data.size() > 4)
        return false;
    // CiA 301 expedited initiate download request with the size indicated (none for 0 bytes).
    const auto cs = static_cast<uint8_t>(data.empty() ? 0x22 : 0x23 | ((4 - data.size()) << 2));
    Bytes item{static_cast<uint8_t>(4 + data.size()), cs, static_cast<uint8_t>(index), static_cast<uint8_t>(index >> 8),
               subIndex};
    item.insert(item.end(), data.begin(), data.end());
    QueueEvent(EventKind::WriteSdo, std::move(item));
    openSdoWrites_.insert({index, subIndex});
    return true;
}

void Module::QueueRemotePdo(uint16_t cobId)
{
    QueueEvent(EventKind::RemotePdo, Bytes{static_cast<uint8_t>(cobId), static_cast<uint8_t>(cobId >> 8)});
    openRemotePdos_.insert(cobId);
}

bool Module::QueueRxPdo(uint16_t cobId, std::span<const uint8_t> data)
{
    if (data.size() > kMaxPdoBytes)
        return false;
    Bytes item{static_cast<uint8_t>(cobId), static_cast<uint8_t>(cobId >> 8), static_cast<uint8_t>(data.size())};
    item.insert(item.end(), data.begin(), data.end());
    QueueEvent(EventKind::RxPdo, std::move(item));
    return true;
}

std::size_t Module::QueuedEvents() const
{
    std::size_t n = 0;
    for (const auto& q : events_)
        n += q.size();
    return n;
}

Bytes Module::BuildEventReply()
{
    uint8_t flags = 0;
    Bytes items;
    for (std::size_t k = 0; k < kEventKinds; ++k) {
        auto& queue = events_[k];
        if (queue.empty())
            continue;
        flags = static_cast<uint8_t>(flags | (0x40 >> k));
        items.insert(items.end(), queue.front().begin(), queue.front().end());
        queue.pop_front();
    }
    // Bytes 1-2: how many events still wait after this reply, so a reader can
    // tell that another poll will bring more.
    const auto waiting = static_cast<uint16_t>(std::min<std::size_t>(QueuedEvents(), 0xFFFF));
    return FrameWriter(Command::EventPoll).U16(waiting).U8(flags).Append(items).Finish();
}

Module::Result Module::RunMasterSide(uint8_t command, PayloadReader& r)
{
    if (command == U8(Command::ResponseMasterSdo)) {
        MasterAnswer answer{Command::ResponseMasterSdo, r.U8(), r.U16(), r.U8(), {}};
        auto data = r.Take(4);
        answer.data.assign(data.begin(), data.end());
        const std::pair<uint16_t, uint8_t> object{answer.indexOrCobId, answer.subIndex};
        std::multiset<std::pair<uint16_t, uint8_t>>* open = nullptr;
        switch (answer.sdoCommand) {
        case 0x60:
            open = &openSdoWrites_;
            break;
        case 0x43:
        case 0x47:
        case 0x4B:
        case 0x4F:
            open = &openSdoReads_;
            break;
        default:
            return MasterStatusReply(command, U8(Status::BadParameter));
        }
        auto it = open->find(object);
        if (it == open->end())
            return MasterStatusReply(command, U8(Status::NoTransfer));
        open->erase(it);
        masterAnswers_.push_back(std::move(answer));
        return MasterStatusReply(command, U8(Status::Ok));
    }
    MasterAnswer answer{Command::ResponseMasterPdo, 0, r.U16(), 0, {}};
    uint8_t n = r.U8();
    if (n > kMaxPdoBytes)
        return MasterStatusReply(command, U8(Status::BadParameter));
    auto data = r.Take(n);
    answer.data.assign(data.begin(), data.end());
    auto it = openRemotePdos_.find(answer.indexOrCobId);
    if (it == openRemotePdos_.end())
        return MasterStatusReply(command, U8(Status::NoTransfer));
    openRemotePdos_.erase(it);
    masterAnswers_.push_back(std::move(answer));
    return MasterStatusReply(command, U8(Status::Ok));
}

}  // namespace vexsim
