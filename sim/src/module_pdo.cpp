// PDO configuration and data exchange, SYNC and EMCY settings.
#include <algorithm>

#include "vexan_sim/module.hpp"

namespace vexsim {

namespace {

constexpr uint8_t Ok = static_cast<uint8_t>(Status::Ok);
constexpr uint8_t NoSuchNode = static_cast<uint8_t>(Status::NoSuchNode);
constexpr uint8_t NoSuchPdo = static_cast<uint8_t>(Status::NoSuchPdo);
constexpr uint8_t BadParameter = static_cast<uint8_t>(Status::BadParameter);
constexpr uint8_t NodeNoAnswer = static_cast<uint8_t>(Status::NodeNoAnswer);
constexpr uint8_t MappingRefused = static_cast<uint8_t>(Status::MappingRefused);
constexpr unsigned kMaxPdoBits = 64;
constexpr uint16_t kLastDummyIndex = 0x0007;  // RxPDOs may map the basic data types 0x0001..0x0007 as gaps
constexpr uint16_t kMaxPdoNumber = 512;
constexpr std::size_t kMaxMultiPdo = 25;
constexpr uint8_t kCacheNone = 255;
constexpr uint8_t kLastSyncType = 240;  // transmission types 0..240 follow SYNC

uint16_t CommObject(const PdoRecord& pdo)
{
    return static_cast<uint16_t>((pdo.direction == PdoDirection::Receive ? 0x1400 : 0x1800) + pdo.number - 1);
}

uint16_t MapObject(const PdoRecord& pdo)
{
    return static_cast<uint16_t>((pdo.direction == PdoDirection::Receive ? 0x1600 : 0x1A00) + pdo.number - 1);
}

unsigned EntryBits(uint32_t entry)
{
    return entry & 0xFF;
}

// Whether one mapping entry names an object of the node that can be mapped
// with the length it gives: the object exists and is marked mappable, and the
// length is the object's size in bits (a boolean may also take a single bit).
// An RxPDO may name a basic data type instead of an object, to skip bytes the
// node has no use for.
bool CanMap(const ObjectDictionary& dictionary, PdoDirection direction, uint32_t entry)
{
    const auto index = static_cast<uint16_t>(entry >> 16);
    const auto subIndex = static_cast<uint8_t>(entry >> 8);
    const unsigned bits = EntryBits(entry);
    if (direction == PdoDirection::Receive && index >= 0x0001 && index <= kLastDummyIndex && subIndex == 0) {
        const std::size_t size = SizeOf(static_cast<DataType>(index));
        return size != 0 && (bits == size * 8 || (index == static_cast<uint16_t>(DataType::Boolean) && bits == 1));
    }
    const ObjectEntry* object = dictionary.Find(index, subIndex);
    if (object == nullptr || !object->pdoMappable)
        return false;
    const std::size_t fixed = SizeOf(object->type);
    const std::size_t size = fixed != 0 ? fixed : object->value.size();
    return bits != 0 && (bits == size * 8 || (object->type == DataType::Boolean && bits == 1));
}

}  // namespace

// A node refuses a mapping whose entries in use it cannot map, or whose
// entries add up to more than the 64 bits of a PDO.
bool Module::MappingFits(const PdoRecord& pdo, bool emptyEntriesMapNothing) const
{
    const SimNode* node = FindNode(pdo.node);
    if (node == nullptr)
        return false;
    unsigned total = 0;
    for (std::size_t i = 0; i < std::min<std::size_t>(pdo.entriesInUse, kMaxMappings); ++i) {
        if (emptyEntriesMapNothing && pdo.mapping[i] == 0)
            continue;  // device files count empty entries in their default mappings
        if (!CanMap(node->dictionary, pdo.direction, pdo.mapping[i]))
            return false;
        total += EntryBits(pdo.mapping[i]);
    }
    return total <= kMaxPdoBits;
}

const PdoRecord* Module::FindPdo(uint16_t cobId) const
{
    auto it = pdos_.find(cobId);
    return it == pdos_.end() ? nullptr : &it->second;
}

std::vector<PdoRecord> Module::Pdos() const
{
    std::vector<PdoRecord> all;
    for (const auto& [cob, pdo] : pdos_)
        all.push_back(pdo);
    return all;
}

void Module::PutPdo(const PdoRecord& pdo)
{
    pdos_[pdo.cobId] = pdo;
}

void Module::ReceiveBusPdo(uint16_t cobId, std::span<const uint8_t> data)
{
    pdoCache_[cobId] = CacheEntry{
        Bytes(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(std::min(data.size(), kMaxPdoBytes))), false};
}

std::optional<Bytes> Module::CachedPdo(uint16_t cobId) const
{
    auto it = pdoCache_.find(cobId);
    if (it == pdoCache_.end())
        return std::nullopt;
    return it->second.data;
}

// The PDO's bytes from its node's mapped objects (byte-aligned mappings).
Bytes Module::MappedData(const PdoRecord& pdo) const
{
    Bytes data;
    const SimNode* node = FindNode(pdo.node);
    for (std::size_t i = 0; i < std::min<std::size_t>(pdo.entriesInUse, kMaxMappings); ++i) {
        const uint32_t e = pdo.mapping[i];
        const auto index = static_cast<uint16_t>(e >> 16);
        const auto sub = static_cast<uint8_t>(e >> 8);
        const std::size_t bytes = ((e & 0xFF) + 7) / 8;
        const ObjectEntry* obj = node != nullptr ? node->dictionary.Find(index, sub) : nullptr;
        for (std::size_t b = 0; b < bytes && data.size() < kMaxPdoBytes; ++b) {
            data.push_back(obj != nullptr && b < obj->value.size() ? obj->value[b] : 0);
        }
    }
    return data;
}

void Module::WriteMappedData(const PdoRecord& pdo, std::span<const uint8_t> data)
{
    SimNode* node = FindNode(pdo.node);
    if (node == nullptr)
        return;
    std::size_t pos = 0;
    for (std::size_t i = 0; i < std::min<std::size_t>(pdo.entriesInUse, kMaxMappings) && pos < data.size(); ++i) {
        const uint32_t e = pdo.mapping[i];
        const std::size_t bytes = ((e & 0xFF) + 7) / 8;
        ObjectEntry* obj = node->dictionary.Find(static_cast<uint16_t>(e >> 16), static_cast<uint8_t>(e >> 8));
        for (std::size_t b = 0; b < bytes && pos < data.size(); ++b, ++pos) {
            if (obj != nullptr && b < obj->value.size())
                obj->value[b] = data[pos];
        }
    }
}

// Mirrors the master's PDO settings into the node's communication and mapping
// objects where the node has them, as the master would configure the node.
void Module::WritePdoObjects(const PdoRecord& pdo)
{
    SimNode* node = FindNode(pdo.node);
    if (node == nullptr)
        return;
    ObjectDictionary& d = node->dictionary;
    const uint16_t comm = CommObject(pdo);
    const uint64_t old = d.ReadUnsigned(comm, 1).value_or(0);
    d.WriteUnsigned(comm, 1, (old & ~uint64_t{0x7FF}) | pdo.cobId);
    d.WriteUnsigned(comm, 2, pdo.transmissionType);
    d.WriteUnsigned(comm, 3, pdo.inhibitTime);
    if (pdo.direction == PdoDirection::Transmit)
        d.WriteUnsigned(comm, 5, pdo.eventTimer);
    const uint16_t map = MapObject(pdo);
    d.WriteUnsigned(map, 0, pdo.entriesInUse);
    for (std::size_t i = 0; i < kMaxMappings; ++i)
        d.WriteUnsigned(map, static_cast<uint8_t>(i + 1), pdo.mapping[i]);
}

Module::Result Module::RunPdoConfig(uint8_t command, uint16_t key, PayloadReader& r)
{
    switch (static_cast<Command>(command)) {
    case Command::InstallPdo:
    case Command::InstallPdoList: {
        const uint8_t id = r.U8();
        PdoRecord pdo;
        pdo.node = id;
        pdo.cobId = r.U16();
        const uint8_t dir = r.U8();
        pdo.number = r.U16();
        SimNode* node = FindNode(id);
        if (node == nullptr)
            return NodeStatusReply(command, id, NoSuchNode);
        if (dir > 1 || pdo.number == 0 || pdo.number > kMaxPdoNumber || pdo.cobId > kMaxCobId) {
            return NodeStatusReply(command, id, BadParameter);
        }
        pdo.direction = static_cast<PdoDirection>(dir);
        if (const PdoRecord* other = FindPdo(pdo.cobId);
            other != nullptr &&
            (other->node != id || other->direction != pdo.direction || other->number != pdo.number)) {
            return NodeStatusReply(command, id, BadParameter);  // COB-ID used by another PDO
        }
        const ObjectDictionary& d = node->dictionary;
        if (command == static_cast<uint8_t>(Command::InstallPdoList)) {
            pdo.transmissionType = r.U8();
            pdo.eventTimer = r.U16();
            const uint8_t k = r.U8();
            if (k > kMaxMappings)
                return NodeStatusReply(command, id, BadParameter);
            pdo.entriesInUse = k;
            for (std::size_t i = 0; i < k; ++i)
                pdo.mapping[i] = r.U32();
            pdo.inhibitTime = static_cast<uint16_t>(d.ReadUnsigned(CommObject(pdo), 3).value_or(0));
        } else {
            // The plain form takes the rest from the node's own PDO objects.
            pdo.transmissionType = static_cast<uint8_t>(d.ReadUnsigned(CommObject(pdo), 2).value_or(255));
            pdo.inhibitTime = static_cast<uint16_t>(d.ReadUnsigned(CommObject(pdo), 3).value_or(0));
            pdo.eventTimer = static_cast<uint16_t>(d.ReadUnsigned(CommObject(pdo), 5).value_or(0));
            pdo.entriesInUse =
                static_cast<uint8_t>(std::min<uint64_t>(d.ReadUnsigned(MapObject(pdo), 0).value_or(0), kMaxMappings));
            for (std::size_t i = 0; i < pdo.entriesInUse; ++i) {
                pdo.mapping[i] =
                    static_cast<uint32_t>(d.ReadUnsigned(MapObject(pdo), static_cast<uint8_t>(i + 1)).value_or(0));
            }
        }
        if (!MappingFits(pdo, true))
            return NodeStatusReply(command, id, MappingRefused);
        // Reinstalling the same PDO under a new COB-ID moves it.
        std::erase_if(pdos_, [&pdo](const auto& e) {
            return e.second.node == pdo.node && e.second.direction == pdo.direction && e.second.number == pdo.number;
        });
        pdos_[pdo.cobId] = pdo;
        WritePdoObjects(pdo);
        return NodeStatusReply(command, id, Ok);
    }
    case Command::RemovePdo:
    case Command::RemovePdoList: {
        const uint8_t id = r.U8();
        const uint16_t cob = r.U16();
        const uint8_t dir = r.U8();
        auto it = pdos_.find(cob);
        if (it == pdos_.end() || it->second.node != id || static_cast<uint8_t>(it->second.direction) != dir) {
            return NodeStatusReply(command, id, NoSuchPdo);
        }
        pdos_.erase(it);
        return NodeStatusReply(command, id, Ok);
    }
    case Command::GetRxPdoIds:
    case Command::GetTxPdoIds: {
        const uint8_t id = r.U8();
        if (FindNode(id) == nullptr)
            return NodeStatusReply(command, id, NoSuchNode);
        const PdoDirection dir =
            command == static_cast<uint8_t>(Command::GetRxPdoIds) ? PdoDirection::Receive : PdoDirection::Transmit;
        std::vector<const PdoRecord*> list;
        for (const auto& [cob, pdo] : pdos_) {
            if (pdo.node == id && pdo.direction == dir)
                list.push_back(&pdo);
        }
        std::sort(list.begin(), list.end(), [](auto* a, auto* b) { return a->number < b->number; });
        FrameWriter w(command);
        w.U8(id).U8(0);
        for (std::size_t i = 0; i < std::min<std::size_t>(list.size(), kMaxReplyData / 2); ++i)
            w.U16(list[i]->cobId);
        return w.Finish();
    }
    default:
        break;
    }

    // PDO-class configuration, keyed by COB-ID.
    if (command == static_cast<uint8_t>(Command::ChangePdoId)) {
        const uint16_t current = r.U16();
        const uint16_t next = r.U16();
        auto it = pdos_.find(current);
        if (it == pdos_.end())
            return PdoStatusReply(command, key, NoSuchPdo);
        if (next > kMaxCobId || (next != current && pdos_.count(next) > 0))
            return PdoStatusReply(command, key, BadParameter);
        PdoRecord pdo = it->second;
        pdos_.erase(it);
        pdo.cobId = next;
        pdos_[next] = pdo;
        WritePdoObjects(pdo);
        return PdoStatusReply(command, key, Ok);
    }
    if (command == static_cast<uint8_t>(Command::DynamicPdo))
        r.U8();  // node id; the COB-ID names the PDO
    const uint16_t cob = r.U16();
    auto it = pdos_.find(cob);
    if (it == pdos_.end())
        return PdoStatusReply(command, key, NoSuchPdo);
    PdoRecord& pdo = it->second;
    switch (static_cast<Command>(command)) {
    case Command::DynamicPdo: {
        // First byte: mapping position 1..8 to set (0 clears the mapping);
        // second byte: entries in use afterwards; value: the mapping entry.
        // A refused change leaves the mapping as it was.
        const uint8_t position = r.U8();
        const uint8_t inUse = r.U8();
        const uint32_t value = r.U32();
        if (position > kMaxMappings || inUse > kMaxMappings)
            return PdoStatusReply(command, key, BadParameter);
        PdoRecord changed = pdo;
        if (position == 0) {
            changed.mapping.fill(0);
        } else {
            // The entry is checked as it is written, even when not yet in use.
            const SimNode* node = FindNode(pdo.node);
            if (node == nullptr || !CanMap(node->dictionary, pdo.direction, value))
                return PdoStatusReply(command, key, MappingRefused);
            changed.mapping[position - 1u] = value;
        }
        changed.entriesInUse = inUse;
        if (!MappingFits(changed))
            return PdoStatusReply(command, key, MappingRefused);
        pdo = changed;
        break;
    }
    case Command::PdoUseEntries: {
        const uint8_t n = r.U8();
        if (n > kMaxMappings)
            return PdoStatusReply(command, key, BadParameter);
        PdoRecord changed = pdo;
        changed.entriesInUse = n;
        if (!MappingFits(changed))
            return PdoStatusReply(command, key, MappingRefused);
        pdo.entriesInUse = n;
        break;
    }
    case Command::PdoTxType:
        pdo.transmissionType = r.U8();
        break;
    case Command::PdoEventTimer:
        pdo.eventTimer = r.U16();
        break;
    case Command::PdoInhibitTime:
        pdo.inhibitTime = r.U16();
        break;
    case Command::GetPdoMapInfo: {
        // Map fields: PDO number (u16), direction (u8), transmission type
        // (u8), event timer (u16); then the entries in use.
        FrameWriter w(command);
        w.U16(cob).U8(0).U16(pdo.number).U8(static_cast<uint8_t>(pdo.direction)).U8(pdo.transmissionType);
        w.U16(pdo.eventTimer).U8(pdo.entriesInUse);
        for (std::size_t i = 0; i < pdo.entriesInUse; ++i)
            w.U32(pdo.mapping[i]);
        return w.Finish();
    }
    default:
        return PdoStatusReply(command, key, static_cast<uint8_t>(Status::UnknownCommand));
    }
    WritePdoObjects(pdo);
    return PdoStatusReply(command, key, Ok);
}

Module::Result Module::RunPdoData(uint8_t command, uint16_t key, PayloadReader& r)
{
    switch (static_cast<Command>(command)) {
    case Command::SetRemotePolling: {
        const uint8_t count = r.U8();
        remotePolling_.clear();
        for (std::size_t i = 0; i < count; ++i)
            remotePolling_.push_back(r.U16());
        remotePollingValue_ = r.U16();
        return NodeStatusReply(command, 0, Ok);
    }
    case Command::GetMultiPdo: {
        const uint8_t count = r.U8();
        if (count > kMaxMultiPdo)
            return NodeStatusReply(command, 0, BadParameter);
        Bytes flags;
        Bytes lengths;
        Bytes data;
        for (std::size_t i = 0; i < count; ++i) {
            auto it = pdoCache_.find(r.U16());
            if (it == pdoCache_.end()) {
                flags.push_back(kCacheNone);
                lengths.push_back(0);
                continue;
            }
            flags.push_back(it->second.read ? 1 : 0);
            it->second.read = true;
            lengths.push_back(static_cast<uint8_t>(it->second.data.size()));
            data.insert(data.end(), it->second.data.begin(), it->second.data.end());
        }
        FrameWriter w(command);
        w.U8(0).U8(0).U8(count).Append(flags).Append(lengths).Append(data);
        return w.Finish();
    }
    case Command::PdoWrite: {
        const uint16_t cob = r.U16();
        r.U8();  // parameter byte: no meaning on this module
        const uint8_t n = r.U8();
        auto data = r.Take(n);
        if (n > kMaxPdoBytes)
            return PdoStatusReply(command, key, static_cast<uint8_t>(Status::BadFrame));
        const PdoRecord* pdo = FindPdo(cob);
        if (pdo == nullptr || pdo->direction != PdoDirection::Receive)
            return PdoStatusReply(command, key, NoSuchPdo);
        const SimNode* node = FindNode(pdo->node);
        // The PDO goes on the bus; only an operational node takes it in.
        if (node != nullptr && !node->silent && node->state == NmtState::Operational)
            WriteMappedData(*pdo, data);
        return PdoStatusReply(command, key, Ok);
    }
    case Command::PdoRemote: {
        const uint16_t cob = r.U16();
        const PdoRecord* pdo = FindPdo(cob);
        if (pdo == nullptr || pdo->direction != PdoDirection::Transmit)
            return PdoStatusReply(command, key, NoSuchPdo);
        const SimNode* node = FindNode(pdo->node);
        if (node == nullptr || node->silent || node->state != NmtState::Operational) {
            return PdoStatusReply(command, key, NodeNoAnswer);
        }
        Bytes data = MappedData(*pdo);
        ReceiveBusPdo(cob, data);
        return PdoDataReply(command, cob, data);
    }
    case Command::GetPdoLastData: {
        const uint16_t cob = r.U16();
        auto it = pdoCache_.find(cob);
        if (it == pdoCache_.end()) {
            const std::array<uint8_t, 1> none{kCacheNone};
            return PdoDataReply(command, cob, none);
        }
        // Flag 0: data not read before; 1: read before.
        Bytes data{static_cast<uint8_t>(it->second.read ? 1 : 0)};
        data.insert(data.end(), it->second.data.begin(), it->second.data.end());
        it->second.read = true;
        return PdoDataReply(command, cob, data);
    }
    default:
        return StatusReplyFor(command, key, static_cast<uint8_t>(Status::UnknownCommand));
    }
}

// A SYNC on the bus: operational nodes send their synchronous TxPDOs, which the
// module caches as received.
void Module::RunSync(uint16_t cobId)
{
    for (auto& [cob, pdo] : pdos_) {
        if (pdo.direction != PdoDirection::Transmit || pdo.transmissionType > kLastSyncType)
            continue;
        const SimNode* node = FindNode(pdo.node);
        if (node == nullptr || node->silent || node->state != NmtState::Operational || node->syncCobId != cobId)
            continue;
        ++pdo.syncCount;
        const unsigned every = std::max<unsigned>(pdo.transmissionType, 1);
        if (pdo.syncCount % every == 0)
            ReceiveBusPdo(cob, MappedData(pdo));
    }
}

// Event-driven TxPDOs (types 254, 255) of an operational node go out on a
// change of a mapped object and when their event timer runs out.
bool Module::SendsEvents(const PdoRecord& pdo) const
{
    const SimNode* node = FindNode(pdo.node);
    return pdo.direction == PdoDirection::Transmit && pdo.transmissionType >= 254 && node != nullptr && !node->silent &&
           node->state == NmtState::Operational;
}

void Module::SendChangedPdos(const SimNode& node, uint16_t index, uint8_t subIndex)
{
    for (auto& [cob, pdo] : pdos_) {
        if (pdo.node != node.id || !SendsEvents(pdo))
            continue;
        for (std::size_t i = 0; i < std::min<std::size_t>(pdo.entriesInUse, kMaxMappings); ++i) {
            if ((pdo.mapping[i] >> 8) == ((uint32_t{index} << 8) | subIndex)) {
                ReceiveBusPdo(cob, MappedData(pdo));
                break;
            }
        }
    }
}

void Module::Tick(Clock::time_point now)
{
    for (auto& entry : cyclicSyncs_) {
        if (entry.value16 == 0 || now < entry.nextDue)
            continue;
        RunSync(entry.cobId);
        entry.nextDue = std::max(entry.nextDue + std::chrono::milliseconds(entry.value16), now);
    }
    for (auto& [cob, pdo] : pdos_) {
        if (pdo.eventTimer == 0 || !SendsEvents(pdo) || now < pdo.nextEvent)
            continue;
        ReceiveBusPdo(cob, MappedData(pdo));
        pdo.nextEvent = now + std::chrono::milliseconds(pdo.eventTimer);
    }
}

std::optional<Clock::time_point> Module::NextDue() const
{
    std::optional<Clock::time_point> due;
    for (const auto& entry : cyclicSyncs_) {
        if (entry.value16 != 0 && (!due || entry.nextDue < *due))
            due = entry.nextDue;
    }
    for (const auto& [cob, pdo] : pdos_) {
        if (pdo.eventTimer != 0 && SendsEvents(pdo) && (!due || pdo.nextEvent < *due))
            due = pdo.nextEvent;
    }
    return due;
}

Module::Result Module::RunSyncEmcy(uint8_t command, uint16_t /*key*/, PayloadReader& r)
{
    if (command == static_cast<uint8_t>(Command::GetCyclicSync)) {
        FrameWriter w(command);
        w.U8(0).U8(0);
        for (const auto& entry : cyclicSyncs_)
            w.U16(entry.cobId).U16(entry.value16).U32(entry.value32);
        return w.Finish();
    }
    if (command == static_cast<uint8_t>(Command::SendSync)) {
        // 16-bit value: cycle period in ms; 0 sends one SYNC now and ends a
        // cycle on that COB-ID. 32-bit value: stored and reported only.
        const uint16_t cob = r.U16();
        const uint16_t period = r.U16();
        const uint32_t value32 = r.U32();
        auto same = std::find_if(cyclicSyncs_.begin(), cyclicSyncs_.end(),
                                 [cob](const CyclicSync& e) { return e.value16 != 0 && e.cobId == cob; });
        if (period == 0) {
            if (same != cyclicSyncs_.end())
                *same = CyclicSync{};
            RunSync(cob);
            return PdoStatusReply(command, cob, Ok);
        }
        auto slot = same != cyclicSyncs_.end() ? same
                                               : std::find_if(cyclicSyncs_.begin(), cyclicSyncs_.end(),
                                                              [](const CyclicSync& e) { return e.value16 == 0; });
        if (slot == cyclicSyncs_.end())
            return PdoStatusReply(command, cob, BadParameter);
        *slot = CyclicSync{cob, period, value32, Clock::now()};
        return PdoStatusReply(command, cob, Ok);
    }

    const uint8_t id = r.U8();
    SimNode* node = FindNode(id);
    if (node == nullptr)
        return NodeStatusReply(command, id, NoSuchNode);
    switch (static_cast<Command>(command)) {
    case Command::ChangeSyncId:
    case Command::SetSyncList:
        node->syncCobId = static_cast<uint16_t>(r.U16() & kMaxCobId);
        node->dictionary.WriteUnsigned(0x1005, 0, node->syncCobId);
        return NodeStatusReply(command, id, Ok);
    case Command::ChangeEmcyId:
    case Command::SetEmcyList:
        node->emcyCobId = static_cast<uint16_t>(r.U16() & kMaxCobId);
        node->dictionary.WriteUnsigned(0x1014, 0, node->emcyCobId);
        return NodeStatusReply(command, id, Ok);
    case Command::GetSyncId:
    case Command::GetEmcyId: {
        const uint16_t cob = command == static_cast<uint8_t>(Command::GetSyncId) ? node->syncCobId : node->emcyCobId;
        const std::array<uint8_t, 2> v{static_cast<uint8_t>(cob), static_cast<uint8_t>(cob >> 8)};
        return NodeDataReply(command, id, v);
    }
    case Command::ReadLastEmcy: {
        if (!node->lastEmcy) {
            const std::array<uint8_t, 1> none{kCacheNone};
            return NodeDataReply(command, id, none);
        }
        // Flag 0: not read before; 1: read before.
        Bytes data{static_cast<uint8_t>(node->lastEmcyRead ? 1 : 0)};
        data.insert(data.end(), node->lastEmcy->begin(), node->lastEmcy->end());
        node->lastEmcyRead = true;
        return NodeDataReply(command, id, data);
    }
    default:
        return NodeStatusReply(command, id, static_cast<uint8_t>(Status::UnknownCommand));
    }
}

}  // namespace vexsim
