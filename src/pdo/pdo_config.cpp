// PDO configuration: installing and removing a node's PDOs, listing their
// COB-IDs, changing a PDO's COB-ID and mapping, its communication parameters,
// and reading its mapping back.
#include <array>
#include <cstring>
#include <span>

#include "engine/request.hpp"
#include "engine/toolkit.hpp"
#include "link/frame.hpp"
#include "vexan.h"

namespace vexan {

namespace {

constexpr uint8_t kMaxMappingEntries = 8;

// Sends a PDO-level command whose reply carries only a status.
uint16_t RunPdoStatus(uint8_t slot, FrameWriter& frame, uint16_t cobId, uint8_t blocking)
{
    Reply reply;
    return RunRequest(slot, Request(frame, cobId, Blocking(blocking)), reply);
}

// Sends a node-level command whose reply carries only a status.
uint16_t RunNodeStatus(uint8_t slot, FrameWriter& frame, uint8_t node, uint8_t blocking)
{
    Reply reply;
    return RunRequest(slot, Request(frame, node, Blocking(blocking)), reply);
}

// Lists the COB-IDs of a node's receive or transmit PDOs. After an error
// status the count is 0 and the list untouched.
uint16_t GetPdoIds(uint8_t slot, Command command, uint8_t node, uint8_t* count, uint16_t* cobIds, uint8_t blocking)
{
    FrameWriter frame(command);
    frame.U8(node);
    Reply reply;
    const uint16_t result = RunRequest(slot, Request(frame, node, Blocking(blocking)), reply);
    if (CollectedStatus(result, reply)) {
        if (count != nullptr) {
            *count = 0;
        }
        return result;
    }
    if (result != VEXAN_OK) {
        return result;
    }
    const auto bytes = reply.Bytes();
    const std::size_t found = bytes.size() / 2;  // an odd last byte holds no COB-ID
    if (cobIds != nullptr) {
        ByteReader reader(bytes);
        for (std::size_t i = 0; i < found; ++i) {
            cobIds[i] = reader.U16();
        }
    }
    if (count != nullptr) {
        *count = static_cast<uint8_t>(found);
    }
    return VEXAN_OK;
}

struct MapInfo {
    uint16_t field1 = 0;
    uint8_t field2 = 0;
    uint8_t field3 = 0;
    uint16_t field4 = 0;
    uint8_t count = 0;
    std::array<uint32_t, kMaxMappingEntries> entries{};
};

}  // namespace

}  // namespace vexan

using vexan::ByteReader;
using vexan::Command;
using vexan::FrameWriter;
using vexan::Reply;
using vexan::Request;

extern "C" {

VEXAN_API uint16_t Vexan_InstallPDO(uint8_t slot, uint8_t node, uint16_t cobId, uint8_t direction, uint16_t number,
                                    uint8_t blocking)
{
    if (cobId > vexan::kMaxCobId) {
        return vexan::RefuseArguments(slot);
    }
    FrameWriter frame(Command::InstallPdo);
    frame.U8(node).U16(cobId).U8(direction).U16(number);
    return vexan::RunNodeStatus(slot, frame, node, blocking);
}

VEXAN_API uint16_t Vexan_RemovePDO(uint8_t slot, uint8_t node, uint16_t cobId, uint8_t direction, uint8_t blocking)
{
    if (cobId > vexan::kMaxCobId) {
        return vexan::RefuseArguments(slot);
    }
    FrameWriter frame(Command::RemovePdo);
    frame.U8(node).U16(cobId).U8(direction);
    return vexan::RunNodeStatus(slot, frame, node, blocking);
}

VEXAN_API uint16_t Vexan_GetRxPDOID(uint8_t slot, uint8_t node, uint8_t* count, uint16_t* cobIds, uint8_t blocking)
{
    return vexan::GetPdoIds(slot, Command::GetRxPdoId, node, count, cobIds, blocking);
}

VEXAN_API uint16_t Vexan_GetTxPDOID(uint8_t slot, uint8_t node, uint8_t* count, uint16_t* cobIds, uint8_t blocking)
{
    return vexan::GetPdoIds(slot, Command::GetTxPdoId, node, count, cobIds, blocking);
}

VEXAN_API uint16_t Vexan_InstallPDO_List(uint8_t slot, uint8_t node, uint16_t cobId, uint8_t direction, uint16_t number,
                                         uint8_t transmissionType, uint16_t eventTimer, uint8_t entryCount,
                                         const uint32_t* entries, uint8_t blocking)
{
    if (cobId > vexan::kMaxCobId || entryCount > vexan::kMaxMappingEntries || (entries == nullptr && entryCount != 0)) {
        return vexan::RefuseArguments(slot);
    }
    FrameWriter frame(Command::InstallPdoList);
    frame.U8(node).U16(cobId).U8(direction).U16(number).U8(transmissionType).U16(eventTimer).U8(entryCount);
    for (uint8_t i = 0; i < entryCount; ++i) {
        frame.U32(entries[i]);
    }
    return vexan::RunNodeStatus(slot, frame, node, blocking);
}

VEXAN_API uint16_t Vexan_RemovePDO_List(uint8_t slot, uint8_t node, uint16_t cobId, uint8_t direction, uint8_t blocking)
{
    if (cobId > vexan::kMaxCobId) {
        return vexan::RefuseArguments(slot);
    }
    FrameWriter frame(Command::RemovePdoList);
    frame.U8(node).U16(cobId).U8(direction);
    return vexan::RunNodeStatus(slot, frame, node, blocking);
}

VEXAN_API uint16_t Vexan_ChangePDOID(uint8_t slot, uint16_t cobId, uint16_t newCobId, uint8_t blocking)
{
    if (cobId > vexan::kMaxCobId) {
        return vexan::RefuseArguments(slot);
    }
    FrameWriter frame(Command::ChangePdoId);
    frame.U16(cobId).U16(newCobId);
    return vexan::RunPdoStatus(slot, frame, newCobId, blocking);
}

VEXAN_API uint16_t Vexan_DynamicPDO(uint8_t slot, uint8_t node, uint16_t cobId, uint8_t first, uint8_t second,
                                    uint32_t value, uint8_t blocking)
{
    if (node > vexan::kMaxNodeId) {
        return vexan::RefuseArguments(slot);
    }
    FrameWriter frame(Command::DynamicPdo);
    frame.U8(node).U16(cobId).U8(first).U8(second).U32(value);
    return vexan::RunPdoStatus(slot, frame, cobId, blocking);
}

VEXAN_API uint16_t Vexan_PDOUseEntry(uint8_t slot, uint16_t cobId, uint8_t entries, uint8_t blocking)
{
    FrameWriter frame(Command::PdoUseEntry);
    frame.U16(cobId).U8(entries);
    return vexan::RunPdoStatus(slot, frame, cobId, blocking);
}

VEXAN_API uint16_t Vexan_PDOTxType(uint8_t slot, uint16_t cobId, uint8_t transmissionType, uint8_t blocking)
{
    FrameWriter frame(Command::PdoTxType);
    frame.U16(cobId).U8(transmissionType);
    return vexan::RunPdoStatus(slot, frame, cobId, blocking);
}

VEXAN_API uint16_t Vexan_PDOEventTimer(uint8_t slot, uint16_t cobId, uint16_t eventTimer, uint8_t blocking)
{
    FrameWriter frame(Command::PdoEventTimer);
    frame.U16(cobId).U16(eventTimer);
    return vexan::RunPdoStatus(slot, frame, cobId, blocking);
}

VEXAN_API uint16_t Vexan_PDOInhibitTime(uint8_t slot, uint16_t cobId, uint16_t inhibitTime, uint8_t blocking)
{
    FrameWriter frame(Command::PdoInhibitTime);
    frame.U16(cobId).U16(inhibitTime);
    return vexan::RunPdoStatus(slot, frame, cobId, blocking);
}

VEXAN_API uint16_t Vexan_GetPDOMapInfo(uint8_t slot, uint16_t cobId, uint16_t* field1, uint8_t* field2, uint8_t* field3,
                                       uint16_t* field4, uint8_t* entryCount, uint32_t* entries, uint8_t blocking)
{
    FrameWriter frame(Command::GetPdoMapInfo);
    frame.U16(cobId);
    Reply reply;
    const uint16_t result = vexan::RunRequest(slot, Request(frame, cobId, vexan::Blocking(blocking)), reply);
    const auto decoded = vexan::DecodeReply(result, reply, [](ByteReader& reader) {
        vexan::MapInfo info;
        info.field1 = reader.U16();
        info.field2 = reader.U8();
        info.field3 = reader.U8();
        info.field4 = reader.U16();
        info.count = reader.U8();
        if (info.count > vexan::kMaxMappingEntries) {
            vexan::RejectReply(reader);  // more entries than the caller's array holds
        }
        for (uint8_t i = 0; i < info.count && reader.Ok(); ++i) {
            info.entries[i] = reader.U32();
        }
        return info;
    });
    if (!decoded.Ok()) {
        return decoded.result;
    }
    const vexan::MapInfo& info = decoded.value;
    const auto store = [](auto* out, auto value) {
        if (out != nullptr) {
            *out = value;
        }
    };
    store(field1, info.field1);
    store(field2, info.field2);
    store(field3, info.field3);
    store(field4, info.field4);
    store(entryCount, info.count);
    if (entries != nullptr) {
        std::memcpy(entries, info.entries.data(), info.count * sizeof(uint32_t));
    }
    return VEXAN_OK;
}

}  // extern "C"
