#include "host.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "cia301.hpp"
#include "vexan.h"
#include "vexan_sim/simulator.hpp"

namespace vexantool::serve {
namespace {

// The library's event callbacks carry no context: the one running host.
std::atomic<BoardHost*> gHost{nullptr};

// Families of library request records; a record is (board, family, key).
enum Family : unsigned {
    kSdo,  // uploads and downloads of one node share it
    kNmt,
    kNmtState,
    kScan,
    kNodeList,
    kCanStatus,
    kSync,
    kEmcy,
    kPdoRead,
    kPdoWrite,
    kEds,
};

enum EventKinds : unsigned {
    kBootUpKind = 1,
    kEmcyKind = 2,
    kNmtErrorKind = 4,
    kMasterKinds = 8,
};

uint32_t LittleEndian32(const uint8_t* bytes)
{
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

std::string SpillName(unsigned slot, unsigned node, uint16_t index, uint8_t sub)
{
    char name[48];
    std::snprintf(name, sizeof name, "%u_%u_%04X_%02X.seg", slot, node, static_cast<unsigned>(index),
                  static_cast<unsigned>(sub));
    return name;
}

std::string MakePrivateDirectory(std::string& error)
{
    std::string base = "/tmp";
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && runtime[0] == '/') {
        base = runtime;
    }
    std::string pattern = base + "/vexan-serve-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        error = "cannot make a spill directory under " + base + ": " + std::strerror(errno);
        return "";
    }
    return pattern;
}

}  // namespace

const char* NmtStateName(std::optional<uint8_t> state)
{
    const char* name = state ? KnownNmtStateName(*state) : nullptr;
    return name != nullptr ? name : "unknown";
}

const char* EventKindName(Event::Kind kind)
{
    switch (kind) {
    case Event::Kind::BootUp:
        return "boot-up";
    case Event::Kind::Emcy:
        return "emcy";
    case Event::Kind::NmtError:
        return "nmt-error";
    case Event::Kind::StateChange:
        return "state";
    case Event::Kind::MasterSdoRead:
        return "master-sdo-read";
    case Event::Kind::MasterSdoWrite:
        return "master-sdo-write";
    case Event::Kind::MasterRxPdo:
        return "master-rx-pdo";
    case Event::Kind::MasterRemotePdo:
        return "master-remote-pdo";
    }
    return "unknown";
}

// ---- events

std::optional<Event> Subscription::Next(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    ready_.wait_for(lock, timeout, [this] { return !queue_.empty() || closed_; });
    if (queue_.empty()) {
        return std::nullopt;
    }
    Event event = queue_.front();
    queue_.pop_front();
    return event;
}

std::vector<Event> Subscription::Drain()
{
    std::lock_guard lock(mutex_);
    std::vector<Event> events(queue_.begin(), queue_.end());
    queue_.clear();
    return events;
}

uint64_t Subscription::Dropped() const
{
    std::lock_guard lock(mutex_);
    return dropped_;
}

bool Subscription::Closed() const
{
    std::lock_guard lock(mutex_);
    return closed_;
}

void Subscription::Push(const Event& event)
{
    {
        std::lock_guard lock(mutex_);
        if (queue_.size() >= capacity_ && !queue_.empty()) {
            queue_.pop_front();
            ++dropped_;
        }
        queue_.push_back(event);
    }
    ready_.notify_all();
}

void Subscription::Close()
{
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    ready_.notify_all();
}

std::shared_ptr<Subscription> EventHub::Subscribe(std::size_t capacity)
{
    auto subscription = std::make_shared<Subscription>(capacity == 0 ? 1 : capacity);
    std::lock_guard lock(mutex_);
    if (closed_) {
        subscription->Close();
    }
    subscribers_.push_back(subscription);
    return subscription;
}

Event EventHub::Publish(Event event)
{
    std::lock_guard lock(mutex_);
    event.sequence = ++sequence_;
    if (event.time == std::chrono::system_clock::time_point{}) {
        event.time = std::chrono::system_clock::now();
    }
    history_.push_back(event);
    if (history_.size() > kHistory) {
        history_.pop_front();
    }
    // Pushed under the hub's lock, so that every subscriber sees one order.
    std::erase_if(subscribers_, [&event](const std::weak_ptr<Subscription>& weak) {
        const auto subscriber = weak.lock();
        if (!subscriber) {
            return true;
        }
        subscriber->Push(event);
        return false;
    });
    return event;
}

std::vector<Event> EventHub::Recent() const
{
    std::lock_guard lock(mutex_);
    return {history_.begin(), history_.end()};
}

void EventHub::Close()
{
    std::lock_guard lock(mutex_);
    closed_ = true;
    for (const auto& weak : subscribers_) {
        if (const auto subscriber = weak.lock()) {
            subscriber->Close();
        }
    }
}

// ---- the host

struct BoardHost::NodeRecord {
    NodeInfo info;
    std::shared_ptr<const vexan::od::DeviceModel> model;
};

struct BoardHost::Board {
    BoardInfo info;
    Session session;
    std::mutex locksMutex;
    std::map<uint32_t, std::unique_ptr<std::mutex>> locks;
    std::map<uint8_t, NodeRecord> nodes;  // under the host's nodesMutex_
};

BoardHost::BoardHost() = default;

BoardHost::~BoardHost()
{
    Stop();
}

bool BoardHost::Start(const HostOptions& options, std::string& error)
{
    if (started_) {
        error = "the host is already started";
        return false;
    }
    BoardHost* none = nullptr;
    if (!gHost.compare_exchange_strong(none, this)) {
        error = "another host runs in this process";
        return false;
    }
    options_ = options;
    started_ = true;
    if (options.boards.empty()) {
        error = "no board to open";
        Stop();
        return false;
    }
    // Large uploads spill into the working directory: a private one.
    homeDir_ = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    spillDir_ = options.spillDir;
    if (spillDir_.empty()) {
        spillDir_ = MakePrivateDirectory(error);
        if (spillDir_.empty()) {
            Stop();
            return false;
        }
        ownSpillDir_ = true;
    }
    if (chdir(spillDir_.c_str()) != 0) {
        error = "cannot use the spill directory " + spillDir_ + ": " + std::strerror(errno);
        Stop();
        return false;
    }
    for (const BoardSpec& spec : options.boards) {
        const unsigned slot = spec.session.slot;
        if (slot >= kMaxBoards || FindBoard(slot + 1) != nullptr) {
            error = "slot " + std::to_string(slot) + (slot >= kMaxBoards ? " is out of range" : " is given twice");
            Stop();
            return false;
        }
        auto board = std::make_unique<Board>();
        std::string why;
        if (!board->session.Open(spec.session, why)) {
            error = "board on slot " + std::to_string(slot) + ": " + why;
            Stop();
            return false;
        }
        board->info.slot = slot;
        board->info.net = slot + 1;
        board->info.masterId = spec.session.masterId;
        board->info.simulated = spec.session.sim;
        board->info.port = spec.session.sim ? "simulator" : spec.session.port;
        if (spec.session.timeoutMs != 0) {
            board->info.timeoutMs = spec.session.timeoutMs;
        }
        uint16_t firmware = 0;
        if (Vexan_GetFirmwareVersion(static_cast<uint8_t>(slot), &firmware, 1) == VEXAN_OK) {
            board->info.firmware = firmware;
        }
        boards_.push_back(std::move(board));
        Vexan_InstallBootUpISR(slot, &BoardHost::BootUpCallback);
        Vexan_InstallEMCYISR(slot, &BoardHost::EmcyCallback);
        Vexan_InstallNMTErrISR(slot, &BoardHost::NmtErrorCallback);
        if (options.watchMasterRequests && spec.session.masterId != 0) {
            Vexan_InstallReadSDOISR(slot, &BoardHost::MasterCallback);
            Vexan_InstallWriteSDOISR(slot, &BoardHost::MasterCallback);
            Vexan_InstallRxPDOISR(slot, &BoardHost::MasterCallback);
            Vexan_InstallRemotePDOISR(slot, &BoardHost::MasterCallback);
        }
    }
    return true;
}

void BoardHost::Interrupt()
{
    if (!started_ || interrupted_.exchange(true)) {
        return;
    }
    RemoveCallbacks();
    for (const auto& board : boards_) {
        Vexan_ShutdownMaster(static_cast<uint8_t>(board->info.slot));
    }
}

void BoardHost::RemoveCallbacks()
{
    for (const auto& board : boards_) {
        const uint32_t slot = board->info.slot;
        Vexan_RemoveBootUpISR(slot);
        Vexan_RemoveEMCYISR(slot);
        Vexan_RemoveNMTErrISR(slot);
        if (options_.watchMasterRequests && board->info.masterId != 0) {
            Vexan_RemoveReadSDOISR(slot);
            Vexan_RemoveWriteSDOISR(slot);
            Vexan_RemoveRxPDOISR(slot);
            Vexan_RemoveRemotePDOISR(slot);
        }
    }
}

void BoardHost::Stop()
{
    if (!started_) {
        return;
    }
    if (!interrupted_) {
        RemoveCallbacks();
    }
    for (const auto& board : boards_) {
        board->session.Close();
    }
    boards_.clear();
    events_.Close();
    if (homeDir_ >= 0) {
        [[maybe_unused]] const int back = fchdir(homeDir_);
        close(homeDir_);
        homeDir_ = -1;
    }
    if (ownSpillDir_) {
        std::error_code ignored;
        std::filesystem::remove_all(spillDir_, ignored);
        ownSpillDir_ = false;
    }
    spillDir_.clear();
    started_ = false;
    interrupted_ = false;
    BoardHost* self = this;
    gHost.compare_exchange_strong(self, nullptr);
}

BoardHost::Board* BoardHost::FindBoard(unsigned net)
{
    for (const auto& board : boards_) {
        if (board->info.net == net) {
            return board.get();
        }
    }
    return nullptr;
}

const BoardHost::Board* BoardHost::FindBoard(unsigned net) const
{
    for (const auto& board : boards_) {
        if (board->info.net == net) {
            return board.get();
        }
    }
    return nullptr;
}

std::vector<BoardInfo> BoardHost::Boards() const
{
    std::vector<BoardInfo> boards;
    std::lock_guard lock(nodesMutex_);
    for (const auto& board : boards_) {
        boards.push_back(board->info);
    }
    return boards;
}

bool BoardHost::HasNet(unsigned net) const
{
    return FindBoard(net) != nullptr;
}

vexsim::Simulator* BoardHost::Simulator(unsigned net)
{
    Board* board = FindBoard(net);
    return board != nullptr ? board->session.Sim() : nullptr;
}

std::mutex& BoardHost::RecordLock(Board& board, unsigned family, unsigned key)
{
    std::lock_guard lock(board.locksMutex);
    auto& slot = board.locks[family << 16 | key];
    if (!slot) {
        slot = std::make_unique<std::mutex>();
    }
    return *slot;
}

BoardHost::NodeRecord& BoardHost::Record(Board& board, uint8_t node)
{
    NodeRecord& record = board.nodes[node];
    record.info.node = node;
    return record;
}

std::vector<NodeInfo> BoardHost::Nodes(unsigned net) const
{
    std::vector<NodeInfo> nodes;
    const Board* board = FindBoard(net);
    if (board == nullptr) {
        return nodes;
    }
    std::lock_guard lock(nodesMutex_);
    for (const auto& [id, record] : board->nodes) {
        nodes.push_back(record.info);
    }
    return nodes;
}

std::optional<NodeInfo> BoardHost::Node(unsigned net, uint8_t node) const
{
    const Board* board = FindBoard(net);
    if (board == nullptr) {
        return std::nullopt;
    }
    std::lock_guard lock(nodesMutex_);
    const auto found = board->nodes.find(node);
    if (found == board->nodes.end()) {
        return std::nullopt;
    }
    return found->second.info;
}

void BoardHost::SetState(unsigned net, uint8_t node, uint8_t state)
{
    Board* board = FindBoard(net);
    if (board == nullptr) {
        return;
    }
    std::optional<uint8_t> old;
    {
        std::lock_guard lock(nodesMutex_);
        NodeRecord& record = Record(*board, node);
        old = record.info.nmtState;
        record.info.nmtState = state;
    }
    if (old != state) {
        Event event;
        event.kind = Event::Kind::StateChange;
        event.net = net;
        event.node = node;
        event.oldState = old;
        event.newState = state;
        events_.Publish(event);
    }
}

bool BoardHost::AttachModel(unsigned net, uint8_t node, const std::string& path, std::string& error)
{
    Board* board = FindBoard(net);
    if (board == nullptr) {
        error = "no net " + std::to_string(net);
        return false;
    }
    auto model = vexan::od::DeviceModel::Load(path, &error);
    if (!model) {
        return false;
    }
    auto shared = std::make_shared<const vexan::od::DeviceModel>(std::move(*model));
    std::lock_guard lock(nodesMutex_);
    NodeRecord& record = Record(*board, node);
    record.info.modelAttached = true;
    record.info.deviceName = shared->Device().product_name;
    record.model = std::move(shared);
    return true;
}

void BoardHost::DetachModel(unsigned net, uint8_t node)
{
    Board* board = FindBoard(net);
    if (board == nullptr) {
        return;
    }
    std::lock_guard lock(nodesMutex_);
    const auto found = board->nodes.find(node);
    if (found != board->nodes.end()) {
        found->second.model.reset();
        found->second.info.modelAttached = false;
        found->second.info.deviceName.clear();
    }
}

std::shared_ptr<const vexan::od::DeviceModel> BoardHost::Model(unsigned net, uint8_t node) const
{
    const Board* board = FindBoard(net);
    if (board == nullptr) {
        return nullptr;
    }
    std::lock_guard lock(nodesMutex_);
    const auto found = board->nodes.find(node);
    return found != board->nodes.end() ? found->second.model : nullptr;
}

// ---- library calls

CallResult BoardHost::SdoRead(unsigned net, uint8_t node, uint16_t index, uint8_t sub, std::vector<uint8_t>& data)
{
    Board* board = FindBoard(net);
    if (board == nullptr || interrupted_) {
        return {VEXAN_NOT_OPEN, 0};
    }
    const auto slot = static_cast<uint8_t>(board->info.slot);
    std::lock_guard lock(RecordLock(*board, kSdo, node));
    std::vector<uint8_t> buffer(VEXAN_SDO_READ_BUFFER);
    uint32_t length = 0;
    CallResult result;
    result.code = Vexan_SDOReadData(slot, node, index, sub, &length, buffer.data(), 1);
    if (result.code == VEXAN_SDO_ABORTED) {
        result.abortCode = LittleEndian32(buffer.data());
        return result;
    }
    if (result.code != VEXAN_OK) {
        return result;
    }
    if (length < VEXAN_SDO_SPILL_THRESHOLD) {
        buffer.resize(length);
        data = std::move(buffer);
        return result;
    }
    // A large object: out of its spill file, which nobody else wants afterwards.
    std::vector<uint8_t> bytes(length);
    uint32_t offset = 0;
    while (offset < length) {
        const uint32_t count = std::min<uint32_t>(length - offset, 1U << 16);
        uint32_t got = 0;
        const uint16_t code = Vexan_SDOReadFile(slot, node, index, sub, offset, count, &got, bytes.data() + offset);
        if (code != VEXAN_OK || got == 0) {
            result.code = code != VEXAN_OK ? code : static_cast<uint16_t>(VEXAN_NOTHING_TO_READ);
            break;
        }
        offset += got;
    }
    std::error_code ignored;
    std::filesystem::remove(SpillName(slot, node, index, sub), ignored);
    if (result.code == VEXAN_OK) {
        data = std::move(bytes);
    }
    return result;
}

CallResult BoardHost::SdoWrite(unsigned net, uint8_t node, uint16_t index, uint8_t sub,
                               const std::vector<uint8_t>& data)
{
    Board* board = FindBoard(net);
    if (board == nullptr || interrupted_) {
        return {VEXAN_NOT_OPEN, 0};
    }
    const auto slot = static_cast<uint8_t>(board->info.slot);
    std::lock_guard lock(RecordLock(*board, kSdo, node));
    std::array<uint8_t, VEXAN_SDO_WRITE_REPLY_BUFFER> reply{};
    uint16_t replyLength = 0;
    CallResult result;
    result.code = Vexan_SDOWriteData(slot, node, index, sub, static_cast<uint32_t>(data.size()), data.data(),
                                     &replyLength, reply.data(), 1);
    if (result.code == VEXAN_SDO_ABORTED) {
        result.abortCode = LittleEndian32(reply.data());
    }
    return result;
}

CallResult BoardHost::Nmt(unsigned net, uint8_t node, NmtCommand command)
{
    Board* board = FindBoard(net);
    if (board == nullptr || interrupted_) {
        return {VEXAN_NOT_OPEN, 0};
    }
    CallResult result;
    {
        std::lock_guard lock(RecordLock(*board, kNmt, node));
        result.code =
            Vexan_NMTChangeState(static_cast<uint8_t>(board->info.slot), node, static_cast<uint8_t>(command), 1);
    }
    if (!result.Ok()) {
        return result;
    }
    uint8_t state = 0;
    switch (command) {
    case NmtCommand::Start:
        state = 5;
        break;
    case NmtCommand::Stop:
        state = 4;
        break;
    default:  // pre-operational, and where a reset ends
        state = 127;
        break;
    }
    if (node != 0) {
        SetState(net, node, state);
        return result;
    }
    // Node 0 addresses every node: those the host knows of.
    std::vector<uint8_t> known;
    {
        std::lock_guard lock(nodesMutex_);
        for (const auto& [id, record] : board->nodes) {
            if (id != 0) {
                known.push_back(id);
            }
        }
    }
    for (uint8_t id : known) {
        SetState(net, id, state);
    }
    return result;
}

CallResult BoardHost::NmtState(unsigned net, uint8_t node, uint8_t& state)
{
    Board* board = FindBoard(net);
    if (board == nullptr || interrupted_) {
        return {VEXAN_NOT_OPEN, 0};
    }
    std::array<uint8_t, VEXAN_NODE_REPLY_BUFFER> reply{};
    CallResult result;
    {
        std::lock_guard lock(RecordLock(*board, kNmtState, node));
        result.code = Vexan_NMTGetState(static_cast<uint8_t>(board->info.slot), node, reply.data(), 1);
    }
    if (result.Ok()) {
        state = reply[0];
        SetState(net, node, state);
    }
    return result;
}

namespace {

// [count, ids...] as the module answers a scan or its node list.
std::vector<uint8_t> NodeIds(const std::array<uint8_t, VEXAN_NODE_REPLY_BUFFER>& reply)
{
    std::vector<uint8_t> ids;
    for (unsigned i = 0; i < reply[0] && i + 1 < reply.size(); ++i) {
        ids.push_back(reply[i + 1]);
    }
    return ids;
}

}  // namespace

CallResult BoardHost::Scan(unsigned net, std::vector<uint8_t>& nodes)
{
    Board* board = FindBoard(net);
    if (board == nullptr || interrupted_) {
        return {VEXAN_NOT_OPEN, 0};
    }
    std::array<uint8_t, VEXAN_NODE_REPLY_BUFFER> reply{};
    CallResult result;
    {
        std::lock_guard lock(RecordLock(*board, kScan, 0));
        result.code = Vexan_ScanNode(static_cast<uint8_t>(board->info.slot), 0, 0, reply.data(), 1);
    }
    if (result.Ok()) {
        nodes = NodeIds(reply);
    }
    return result;
}

CallResult BoardHost::NodeList(unsigned net, std::vector<uint8_t>& nodes)
{
    Board* board = FindBoard(net);
    if (board == nullptr || interrupted_) {
        return {VEXAN_NOT_OPEN, 0};
    }
    std::array<uint8_t, VEXAN_NODE_REPLY_BUFFER> reply{};
    CallResult result;
    {
        std::lock_guard lock(RecordLock(*board, kNodeList, 0));
        result.code = Vexan_GetNodeList(static_cast<uint8_t>(board->info.slot), reply.data(), 1);
    }
    if (result.Ok()) {
        nodes = NodeIds(reply);
    }
    return result;
}

CallResult BoardHost::CanStatus(unsigned net, std::vector<uint8_t>& status)
{
    Board* board = FindBoard(net);
    if (board == nullptr || interrupted_) {
        return {VEXAN_NOT_OPEN, 0};
    }
    std::array<uint8_t, VEXAN_MAX_REPLY_DATA> reply{};
    CallResult result;
    {
        std::lock_guard lock(RecordLock(*board, kCanStatus, 0));
        result.code = Vexan_GetCANStatus(static_cast<uint8_t>(board->info.slot), reply.data());
    }
    if (result.Ok()) {
        // The module's four bytes: controller state, transmit and receive error counters, overruns.
        status.assign(reply.begin(), reply.begin() + 4);
    }
    return result;
}

CallResult BoardHost::Sync(unsigned net, uint16_t cobId)
{
    Board* board = FindBoard(net);
    if (board == nullptr || interrupted_) {
        return {VEXAN_NOT_OPEN, 0};
    }
    std::lock_guard lock(RecordLock(*board, kSync, cobId));
    return {Vexan_SendSYNCMsg(static_cast<uint8_t>(board->info.slot), cobId, 0, 0, 1), 0};
}

CallResult BoardHost::LastEmcy(unsigned net, uint8_t node, std::array<uint8_t, 8>& data)
{
    Board* board = FindBoard(net);
    if (board == nullptr || interrupted_) {
        return {VEXAN_NOT_OPEN, 0};
    }
    uint8_t flag = 0;
    std::lock_guard lock(RecordLock(*board, kEmcy, node));
    return {Vexan_ReadLastEMCY(static_cast<uint8_t>(board->info.slot), node, &flag, data.data(), 1), 0};
}

CallResult BoardHost::PdoRead(unsigned net, uint16_t cobId, std::vector<uint8_t>& data)
{
    Board* board = FindBoard(net);
    if (board == nullptr || interrupted_) {
        return {VEXAN_NOT_OPEN, 0};
    }
    uint8_t flag = 0;
    uint8_t length = 0;
    std::array<uint8_t, VEXAN_PDO_MAX_DATA> bytes{};
    CallResult result;
    {
        std::lock_guard lock(RecordLock(*board, kPdoRead, cobId));
        result.code =
            Vexan_GetPDOLastData(static_cast<uint8_t>(board->info.slot), cobId, &flag, &length, bytes.data(), 1);
    }
    if (result.Ok()) {
        data.assign(bytes.begin(), bytes.begin() + std::min<std::size_t>(length, bytes.size()));
    }
    return result;
}

CallResult BoardHost::PdoWrite(unsigned net, uint16_t cobId, const std::vector<uint8_t>& data)
{
    Board* board = FindBoard(net);
    if (board == nullptr || interrupted_) {
        return {VEXAN_NOT_OPEN, 0};
    }
    std::lock_guard lock(RecordLock(*board, kPdoWrite, cobId));
    return {Vexan_PDOWrite(static_cast<uint8_t>(board->info.slot), cobId, 0, static_cast<uint8_t>(data.size()),
                           data.data(), 1),
            0};
}

CallResult BoardHost::EdsLoad(unsigned net, uint8_t node, const std::string& path)
{
    Board* board = FindBoard(net);
    if (board == nullptr || interrupted_) {
        return {VEXAN_NOT_OPEN, 0};
    }
    // One configuration run per board at a time, and none beside the node's SDO transfers.
    std::lock_guard runLock(RecordLock(*board, kEds, 0));
    std::lock_guard sdoLock(RecordLock(*board, kSdo, node));
    return {Vexan_EDS_Load(static_cast<uint8_t>(board->info.slot), node, path.c_str(), 0, 0, 1), 0};
}

bool BoardHost::SetFunctionTimeout(unsigned net, uint32_t ms)
{
    Board* board = FindBoard(net);
    if (board == nullptr || ms == 0) {
        return false;
    }
    Vexan_SetFunctionTimeout(static_cast<uint8_t>(board->info.slot), ms);
    std::lock_guard lock(nodesMutex_);
    board->info.timeoutMs = ms;
    return true;
}

uint32_t BoardHost::FunctionTimeout(unsigned net) const
{
    const Board* board = FindBoard(net);
    if (board == nullptr) {
        return 0;
    }
    std::lock_guard lock(nodesMutex_);
    return board->info.timeoutMs;
}

// ---- events from the library

void BoardHost::BootUpCallback()
{
    if (BoardHost* host = gHost.load()) {
        host->OnEvents(kBootUpKind);
    }
}

void BoardHost::EmcyCallback()
{
    if (BoardHost* host = gHost.load()) {
        host->OnEvents(kEmcyKind);
    }
}

void BoardHost::NmtErrorCallback()
{
    if (BoardHost* host = gHost.load()) {
        host->OnEvents(kNmtErrorKind);
    }
}

void BoardHost::MasterCallback()
{
    if (BoardHost* host = gHost.load()) {
        host->OnEvents(kMasterKinds);
    }
}

void BoardHost::OnEvents(unsigned kinds)
{
    std::vector<Event> events;
    {
        std::lock_guard lock(readMutex_);
        uint8_t slot = 0;
        uint8_t node = 0;
        if ((kinds & kBootUpKind) != 0) {
            while (Vexan_GetBootUpNodeAfterAdd(&slot, &node) == VEXAN_OK) {
                Event event;
                event.kind = Event::Kind::BootUp;
                event.net = slot + 1U;
                event.node = node;
                events.push_back(event);
            }
        }
        if ((kinds & kEmcyKind) != 0) {
            std::array<uint8_t, 8> data{};
            while (Vexan_GetEMCYData(&slot, &node, data.data()) == VEXAN_OK) {
                Event event;
                event.kind = Event::Kind::Emcy;
                event.net = slot + 1U;
                event.node = node;
                event.data = data;
                event.length = 8;
                events.push_back(event);
            }
        }
        if ((kinds & kNmtErrorKind) != 0) {
            uint8_t code = 0;
            while (Vexan_GetNMTError(&slot, &node, &code) == VEXAN_OK) {
                Event event;
                event.kind = Event::Kind::NmtError;
                event.net = slot + 1U;
                event.node = node;
                event.code = code;
                events.push_back(event);
            }
        }
        if ((kinds & kMasterKinds) != 0) {
            Event event;
            while (Vexan_GetMasterReadSDOEvent(&slot, &event.index, &event.subIndex) == VEXAN_OK) {
                event.kind = Event::Kind::MasterSdoRead;
                event.net = slot + 1U;
                events.push_back(event);
                event = Event{};
            }
            while (Vexan_GetMasterWriteSDOEvent(&slot, &event.index, &event.subIndex, &event.length,
                                                event.data.data()) == VEXAN_OK) {
                event.kind = Event::Kind::MasterSdoWrite;
                event.net = slot + 1U;
                events.push_back(event);
                event = Event{};
            }
            while (Vexan_GetMasterRxPDOEvent(&slot, &event.cobId, &event.length, event.data.data()) == VEXAN_OK) {
                event.kind = Event::Kind::MasterRxPdo;
                event.net = slot + 1U;
                events.push_back(event);
                event = Event{};
            }
            while (Vexan_GetMasterRemotePDOEvent(&slot, &event.cobId) == VEXAN_OK) {
                event.kind = Event::Kind::MasterRemotePdo;
                event.net = slot + 1U;
                events.push_back(event);
                event = Event{};
            }
        }
    }
    for (Event& event : events) {
        Board* board = FindBoard(event.net);
        if (board == nullptr) {
            continue;  // a board this host does not own
        }
        // The node's record learns of the event before any subscriber does, so
        // that a client told of an EMCY finds it in the node list too.
        if (event.time == std::chrono::system_clock::time_point{}) {
            event.time = std::chrono::system_clock::now();
        }
        const bool nodeEvent =
            event.kind == Event::Kind::BootUp || event.kind == Event::Kind::Emcy || event.kind == Event::Kind::NmtError;
        const auto remember = [&](const Event& seen) {
            std::lock_guard lock(nodesMutex_);
            NodeRecord& record = Record(*board, seen.node);
            if (seen.kind == Event::Kind::BootUp) {
                record.info.lastBootUp = seen.time;
            } else if (seen.kind == Event::Kind::Emcy) {
                record.info.lastEmcy = seen;
            } else {
                record.info.lastNmtError = seen;
            }
        };
        if (nodeEvent) {
            remember(event);
        }
        event = events_.Publish(event);
        if (nodeEvent) {
            remember(event);  // again with the sequence the hub gave it
        }
        if (event.kind == Event::Kind::BootUp) {
            SetState(event.net, event.node, static_cast<uint8_t>(NmtState::PreOperational));
        }
    }
}

}  // namespace vexantool::serve
