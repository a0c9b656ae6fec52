#include "host_dashboard.hpp"

#include <map>

#include "cia301.hpp"
#include "results.hpp"
#include "text.hpp"
#include "vexan.h"

namespace vexantool::http {

namespace {

using nlohmann::json;

constexpr auto kNodeListAge = std::chrono::milliseconds(500);
constexpr auto kStateLookEvery = std::chrono::seconds(2);

class HostBackend final : public Backend {
public:
    explicit HostBackend(serve::BoardHost& host) : host_(host) {}

    std::vector<BoardSummary> Boards() override
    {
        std::vector<BoardSummary> out;
        for (const serve::BoardInfo& info : host_.Boards()) {
            BoardSummary b;
            b.net = info.net;
            b.slot = info.slot;
            b.masterId = info.masterId;
            b.firmware = info.firmware;
            b.source = info.port;
            std::vector<uint8_t> status;
            if (host_.CanStatus(info.net, status).Ok() && status.size() >= 4) {
                b.can = CanStatus{status[0], status[1], status[2], status[3]};
            }
            out.push_back(b);
        }
        return out;
    }

    bool HasNet(unsigned net) override { return host_.HasNet(net); }

    std::vector<NodeSummary> Nodes(unsigned net) override
    {
        std::vector<NodeSummary> out;
        for (uint8_t id : Listed(net)) {
            NodeSummary node;
            node.id = id;
            std::optional<serve::NodeInfo> info = host_.Node(net, id);
            if (!info || !info->nmtState) {
                // Never seen: ask the module once; the host keeps it from then on.
                uint8_t nmt = 0;
                if (host_.NmtState(net, id, nmt).Ok()) {
                    info = host_.Node(net, id);
                }
            }
            if (info) {
                node.nmtState = info->nmtState;
                node.deviceName = info->deviceName;
                node.hasModel = info->modelAttached;
                node.lastBootup = info->lastBootUp;
                if (info->lastEmcy) {
                    const auto& data = info->lastEmcy->data;
                    node.lastEmcy = EmcyRecord{static_cast<uint16_t>(data[0] | data[1] << 8),
                                               data[2],
                                               {data[3], data[4], data[5], data[6], data[7]},
                                               info->lastEmcy->time};
                }
            }
            out.push_back(node);
        }
        return out;
    }

    bool HasNode(unsigned net, unsigned node) override
    {
        for (uint8_t id : Listed(net)) {
            if (id == node) {
                return true;
            }
        }
        return false;
    }

    std::shared_ptr<const vexan::od::DeviceModel> Model(unsigned net, unsigned node) override
    {
        return host_.Model(net, static_cast<uint8_t>(node));
    }

    SdoOutcome SdoRead(unsigned net, unsigned node, uint16_t index, uint8_t subindex) override
    {
        SdoOutcome out;
        const serve::CallResult r = host_.SdoRead(net, static_cast<uint8_t>(node), index, subindex, out.data);
        Fill(out, r);
        return out;
    }

    SdoOutcome SdoWrite(unsigned net, unsigned node, uint16_t index, uint8_t subindex,
                        const std::vector<uint8_t>& data) override
    {
        SdoOutcome out;
        Fill(out, host_.SdoWrite(net, static_cast<uint8_t>(node), index, subindex, data));
        return out;
    }

    uint16_t Nmt(unsigned net, unsigned node, uint8_t specifier) override
    {
        return host_.Nmt(net, static_cast<uint8_t>(node), static_cast<serve::NmtCommand>(specifier)).code;
    }

    uint16_t Sync(unsigned net) override { return host_.Sync(net, kSyncCobId).code; }

    // The PDO configuration calls the host does not offer are made here, one
    // at a time, on the board's slot; their request records are their own.
    uint16_t TxPdos(unsigned net, unsigned node, std::vector<uint16_t>& cobIds) override
    {
        std::lock_guard lock(pdoMutex_);
        uint8_t count = 0;
        std::array<uint16_t, VEXAN_PDO_MAX_IDS> ids{};
        const uint16_t result = Vexan_GetTxPDOID(Slot(net), static_cast<uint8_t>(node), &count, ids.data(), 1);
        if (result == VEXAN_OK) {
            cobIds.assign(ids.begin(), ids.begin() + std::min<std::size_t>(count, ids.size()));
        }
        return result;
    }

    uint16_t InstallTxPdo(unsigned net, unsigned node, uint16_t cobId, unsigned number) override
    {
        std::lock_guard lock(pdoMutex_);
        return Vexan_InstallPDO(Slot(net), static_cast<uint8_t>(node), cobId, 1, static_cast<uint16_t>(number), 1);
    }

    PdoMapping PdoMap(unsigned net, uint16_t cobId) override
    {
        std::lock_guard lock(pdoMutex_);
        PdoMapping out;
        uint16_t number = 0;
        uint8_t direction = 0;
        uint8_t transmission = 0;
        uint16_t eventTimer = 0;
        uint8_t count = 0;
        std::array<uint32_t, VEXAN_PDO_MAX_ENTRIES> entries{};
        out.result = Vexan_GetPDOMapInfo(Slot(net), cobId, &number, &direction, &transmission, &eventTimer, &count,
                                         entries.data(), 1);
        if (out.result == VEXAN_OK) {
            out.number = number;
            out.direction = direction;
            out.transmissionType = transmission;
            out.eventTimer = eventTimer;
            out.entries.assign(entries.begin(), entries.begin() + std::min<std::size_t>(count, entries.size()));
        }
        return out;
    }

    std::vector<PdoSample> PdoRead(unsigned net, const std::vector<uint16_t>& cobIds) override
    {
        std::vector<PdoSample> out;
        for (uint16_t cob : cobIds) {
            PdoSample sample;
            sample.result = host_.PdoRead(net, cob, sample.data).code;
            out.push_back(std::move(sample));
        }
        return out;
    }

private:
    static uint8_t Slot(unsigned net) { return static_cast<uint8_t>(net - 1); }

    static void Fill(SdoOutcome& out, const serve::CallResult& r)
    {
        out.result = r.code;
        if (r.code == VEXAN_SDO_ABORTED) {
            out.abort = r.abortCode;
        }
    }

    // The module's node list, asked at most every kNodeListAge per net.
    std::vector<uint8_t> Listed(unsigned net)
    {
        std::lock_guard lock(listMutex_);
        Cached& cached = lists_[net];
        const auto now = std::chrono::steady_clock::now();
        if (!cached.valid || now - cached.at > kNodeListAge) {
            std::vector<uint8_t> ids;
            if (host_.NodeList(net, ids).Ok()) {
                cached.ids = ids;
                cached.valid = true;
                cached.at = now;
            }
        }
        return cached.ids;
    }

    struct Cached {
        bool valid = false;
        std::chrono::steady_clock::time_point at;
        std::vector<uint8_t> ids;
    };

    serve::BoardHost& host_;
    std::mutex pdoMutex_;
    std::mutex listMutex_;
    std::map<unsigned, Cached> lists_;
};

json MasterFields(const serve::Event& e)
{
    json fields = json::object();
    const std::span<const uint8_t> data(e.data.data(), std::min<std::size_t>(e.length, e.data.size()));
    switch (e.kind) {
    case serve::Event::Kind::MasterSdoRead:
        fields = json{{"index", e.index}, {"index_hex", Hex(e.index, 4)}, {"sub", e.subIndex}};
        break;
    case serve::Event::Kind::MasterSdoWrite:
        fields = json{
            {"index", e.index}, {"index_hex", Hex(e.index, 4)}, {"sub", e.subIndex}, {"data_hex", HexBytes(data, "")}};
        break;
    case serve::Event::Kind::MasterRxPdo:
        fields = json{{"cob", e.cobId}, {"cob_hex", Hex(e.cobId, 3)}, {"data_hex", HexBytes(data, "")}};
        break;
    case serve::Event::Kind::MasterRemotePdo:
        fields = json{{"cob", e.cobId}, {"cob_hex", Hex(e.cobId, 3)}};
        break;
    default:
        break;
    }
    return fields;
}

}  // namespace

HostDashboard::HostDashboard(serve::BoardHost& host) : host_(host) {}

HostDashboard::~HostDashboard()
{
    Stop();
}

bool HostDashboard::Start(DashboardOptions options, std::string& error)
{
    backend_ = std::make_unique<HostBackend>(host_);
    server_ = std::make_unique<DashboardServer>(*backend_, std::move(options));
    // Subscribed before serving, so that nothing the page could see is missed.
    subscription_ = host_.Events().Subscribe();
    if (!server_->Start(error)) {
        subscription_.reset();
        return false;
    }
    pump_ = std::thread([this] { Pump(); });
    watcher_ = std::thread([this] { WatchStates(); });
    return true;
}

void HostDashboard::Stop()
{
    if (stopping_.exchange(true)) {
        return;
    }
    {
        std::lock_guard lock(waitMutex_);
        wake_.notify_all();
    }
    if (server_) {
        server_->Stop();
    }
    if (pump_.joinable()) {
        pump_.join();
    }
    if (watcher_.joinable()) {
        watcher_.join();
    }
}

void HostDashboard::Pump()
{
    using Kind = serve::Event::Kind;
    while (!stopping_) {
        const std::optional<serve::Event> next = subscription_->Next(std::chrono::milliseconds(200));
        if (!next) {
            if (subscription_->Closed()) {
                return;
            }
            continue;
        }
        const serve::Event& e = *next;
        switch (e.kind) {
        case Kind::BootUp:
            server_->PublishBootup(e.net, e.node, e.time);
            break;
        case Kind::Emcy:
            server_->PublishEmcy(e.net, e.node, e.data, e.time);
            break;
        case Kind::NmtError:
            server_->PublishNmtError(e.net, e.node, e.code, e.time);
            break;
        case Kind::StateChange:
            server_->PublishStateChange(e.net, e.node, e.oldState, e.newState, e.time);
            break;
        case Kind::MasterSdoRead:
            server_->PublishMasterRequest(e.net, "master_sdo_read", MasterFields(e), e.time);
            break;
        case Kind::MasterSdoWrite:
            server_->PublishMasterRequest(e.net, "master_sdo_write", MasterFields(e), e.time);
            break;
        case Kind::MasterRxPdo:
            server_->PublishMasterRequest(e.net, "master_rx_pdo", MasterFields(e), e.time);
            break;
        case Kind::MasterRemotePdo:
            server_->PublishMasterRequest(e.net, "master_remote_pdo", MasterFields(e), e.time);
            break;
        }
    }
}

void HostDashboard::WatchStates()
{
    std::unique_lock lock(waitMutex_);
    while (!stopping_) {
        wake_.wait_for(lock, kStateLookEvery, [this] { return stopping_.load(); });
        if (stopping_ || server_->Streams() == 0) {
            continue;
        }
        lock.unlock();
        // The host publishes a state change it sees this way as any other.
        for (const serve::BoardInfo& board : host_.Boards()) {
            std::vector<uint8_t> ids;
            if (!host_.NodeList(board.net, ids).Ok()) {
                continue;
            }
            for (uint8_t id : ids) {
                uint8_t nmt = 0;
                host_.NmtState(board.net, id, nmt);
            }
        }
        lock.lock();
    }
}

}  // namespace vexantool::http
