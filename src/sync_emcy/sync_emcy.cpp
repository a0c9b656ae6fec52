// SYNC and EMCY: a node's SYNC and EMCY COB-IDs, the module's SYNC messages and
// cyclic SYNC entries, and the last emergency message recorded for a node.
#include <array>
#include <cstring>
#include <span>

#include "engine/request.hpp"
#include "engine/toolkit.hpp"
#include "link/frame.hpp"
#include "link/library_state.hpp"
#include "vexan.h"

namespace vexan {

namespace {

constexpr uint8_t kNoEmcyRecorded = 255;

uint16_t SetNodeCobId(uint8_t slot, Command command, uint8_t node, uint16_t cobId, uint8_t blocking)
{
    if (cobId > kMaxCobId) {
        return RefuseArguments(slot);
    }
    FrameWriter frame(command);
    frame.U8(node).U16(cobId);
    Reply reply;
    return RunRequest(slot, Request(frame, node, Blocking(blocking)), reply);
}

uint16_t GetNodeCobId(uint8_t slot, Command command, uint8_t node, uint16_t* cobId, uint8_t blocking)
{
    FrameWriter frame(command);
    frame.U8(node);
    Reply reply;
    const uint16_t result = RunRequest(slot, Request(frame, node, Blocking(blocking)), reply);
    return DecodeReply(result, reply, [](ByteReader& reader) { return reader.U16(); }).Store(cobId);
}

struct LastEmcy {
    uint8_t flag = 0;
    std::span<const uint8_t> message;
};

struct CyclicSync {
    std::array<uint16_t, VEXAN_SYNC_CYCLIC_ENTRIES> cobIds{};
    std::array<uint16_t, VEXAN_SYNC_CYCLIC_ENTRIES> values16{};
    std::array<uint32_t, VEXAN_SYNC_CYCLIC_ENTRIES> values32{};
};

template <typename T, std::size_t N>
void CopyOut(T* out, const std::array<T, N>& values)
{
    if (out != nullptr) {
        std::memcpy(out, values.data(), sizeof(values));
    }
}

}  // namespace

}  // namespace vexan

using vexan::ByteReader;
using vexan::Command;
using vexan::FrameWriter;
using vexan::Reply;
using vexan::Request;

extern "C" {

VEXAN_API uint16_t Vexan_ChangeSYNCID(uint8_t slot, uint8_t node, uint16_t cobId, uint8_t blocking)
{
    return vexan::SetNodeCobId(slot, Command::ChangeSyncId, node, cobId, blocking);
}

VEXAN_API uint16_t Vexan_ChangeEMCYID(uint8_t slot, uint8_t node, uint16_t cobId, uint8_t blocking)
{
    return vexan::SetNodeCobId(slot, Command::ChangeEmcyId, node, cobId, blocking);
}

VEXAN_API uint16_t Vexan_SetSYNC_List(uint8_t slot, uint8_t node, uint16_t cobId, uint8_t blocking)
{
    return vexan::SetNodeCobId(slot, Command::SetSyncList, node, cobId, blocking);
}

VEXAN_API uint16_t Vexan_SetEMCY_List(uint8_t slot, uint8_t node, uint16_t cobId, uint8_t blocking)
{
    return vexan::SetNodeCobId(slot, Command::SetEmcyList, node, cobId, blocking);
}

VEXAN_API uint16_t Vexan_GetSYNCID(uint8_t slot, uint8_t node, uint16_t* cobId, uint8_t blocking)
{
    return vexan::GetNodeCobId(slot, Command::GetSyncId, node, cobId, blocking);
}

VEXAN_API uint16_t Vexan_GetEMCYID(uint8_t slot, uint8_t node, uint16_t* cobId, uint8_t blocking)
{
    return vexan::GetNodeCobId(slot, Command::GetEmcyId, node, cobId, blocking);
}

VEXAN_API uint16_t Vexan_ReadLastEMCY(uint8_t slot, uint8_t node, uint8_t* flag, uint8_t* data, uint8_t blocking)
{
    FrameWriter frame(Command::ReadLastEmcy);
    frame.U8(node);
    Reply reply;
    const uint16_t result = vexan::RunRequest(slot, Request(frame, node, vexan::Blocking(blocking)), reply);
    const auto decoded = vexan::DecodeReply(result, reply, [](ByteReader& reader) {
        vexan::LastEmcy last;
        last.flag = reader.U8();
        if (reader.Remaining() > VEXAN_EMCY_DATA) {
            vexan::RejectReply(reader);  // longer than an emergency message
        }
        last.message = reader.Bytes(reader.Remaining());
        return last;
    });
    if (!decoded.Ok()) {
        return decoded.result;
    }
    if (decoded.value.flag == vexan::kNoEmcyRecorded) {
        return VEXAN_NOTHING_TO_READ;
    }
    // With an EMCY callback installed the application learns of emergencies
    // through it: the flag then reads 0.
    const auto open = vexan::LookupOpenBoard(slot);
    const bool hasCallback = open && vexan::EmcyCallbackInstalled(open->board);
    if (flag != nullptr) {
        *flag = hasCallback ? 0 : decoded.value.flag;
    }
    if (data != nullptr && !decoded.value.message.empty()) {
        std::memcpy(data, decoded.value.message.data(), decoded.value.message.size());
    }
    return VEXAN_OK;
}

VEXAN_API uint16_t Vexan_GetCyclicSYNCInfo(uint8_t slot, uint16_t* cobIds, uint16_t* values16, uint32_t* values32,
                                           uint8_t blocking)
{
    FrameWriter frame(Command::GetCyclicSyncInfo);
    Reply reply;
    const uint16_t result = vexan::RunRequest(slot, Request(frame, 0, vexan::Blocking(blocking)), reply);
    vexan::CyclicSync entries;
    if (vexan::CollectedStatus(result, reply)) {
        // The module's error status: the entries read as none.
    } else {
        const auto decoded = vexan::DecodeReply(result, reply, [](ByteReader& reader) {
            vexan::CyclicSync read;
            for (std::size_t i = 0; i < VEXAN_SYNC_CYCLIC_ENTRIES; ++i) {
                read.cobIds[i] = reader.U16();
                read.values16[i] = reader.U16();
                read.values32[i] = reader.U32();
            }
            return read;
        });
        if (!decoded.Ok()) {
            return decoded.result;
        }
        entries = decoded.value;
    }
    vexan::CopyOut(cobIds, entries.cobIds);
    vexan::CopyOut(values16, entries.values16);
    vexan::CopyOut(values32, entries.values32);
    return result;
}

VEXAN_API uint16_t Vexan_SendSYNCMsg(uint8_t slot, uint16_t cobId, uint16_t value16, uint32_t value32, uint8_t blocking)
{
    FrameWriter frame(Command::SendSyncMessage);
    frame.U16(cobId).U16(value16).U32(value32);
    Reply reply;
    return vexan::RunRequest(slot, Request(frame, cobId, vexan::Blocking(blocking)), reply);
}

}  // extern "C"
