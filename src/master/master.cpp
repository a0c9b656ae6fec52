// Master control: start and stop the module's master, its mode, firmware
// version, CAN status and boot-up message, and the board's reply time-out.
#include <algorithm>
#include <cstring>

#include "engine/reply_tables.hpp"
#include "engine/request.hpp"
#include "events/events.hpp"
#include "link/frame.hpp"
#include "link/library_state.hpp"
#include "link/port.hpp"
#include "vexan.h"

namespace vexan {

namespace {

// Decodes a collected reply into the export's outputs. A reply shorter than
// its outputs writes nothing and reports VEXAN_OUT_OF_RANGE instead of success.
template <typename Decode>
uint16_t Collected(uint16_t result, const Reply& reply, Decode decode)
{
    if (result != VEXAN_OK) {
        return result;
    }
    ByteReader reader(reply.Bytes());
    return decode(reader) ? VEXAN_OK : VEXAN_OUT_OF_RANGE;
}

uint16_t StartMaster(uint8_t slot, VexanPort port, uint8_t masterNodeId, uint8_t initParam, bool blocking)
{
    if (slot >= kBoardCount) {
        return VEXAN_NOT_OPEN;
    }
    SlotRecord& record = Link().slots[slot];
    const uint8_t assigned = record.board.load();
    if (assigned < kBoardCount && Link().boards[assigned].openFlag.load() != kBoardClosed) {
        return VEXAN_OK;  // already open: nothing is sent and nothing changes
    }
    if (!KeyFits(command::kStartMaster, masterNodeId)) {
        return VEXAN_OUT_OF_RANGE;
    }
    FrameWriter frame(command::kStartMaster);
    frame.U8(masterNodeId).U8(initParam);
    const Request request(frame, masterNodeId, blocking);
    Reply reply;

    if (assigned >= kBoardCount) {
        AssignSlot(slot, port);
    } else if (IsPending(assigned, command::kStartMaster, masterNodeId)) {
        const uint16_t result = CollectReply(slot, assigned, request, reply);
        if (result == VEXAN_OK) {
            Link().boards[assigned].openFlag.store(masterNodeId);
        }
        return result;
    }
    const uint8_t board = record.board.load();

    StopReceiveThread(slot);
    const uint16_t identified = IdentifyModule(slot);
    if (identified != VEXAN_OK) {
        return identified == VEXAN_PAUSED ? VEXAN_PAUSED : VEXAN_NOT_IDENTIFIED;
    }
    MarkPending(board, command::kStartMaster, masterNodeId);
    const uint16_t sent = SendFrame(slot, request.bytes);
    if (sent != VEXAN_OK) {
        return sent;
    }
    StartReceiveThread(slot);
    const uint16_t asked = RequestResult(slot, board, command::kStartMaster, masterNodeId);
    if (asked != VEXAN_OK) {
        return asked;
    }
    if (!blocking) {
        return VEXAN_SENT;
    }
    const uint16_t result = AwaitReply(slot, board, command::kStartMaster, masterNodeId, reply);
    if (result == VEXAN_OK) {
        Link().boards[board].openFlag.store(masterNodeId);
    }
    return result;
}

uint16_t StopMaster(uint8_t slot)
{
    const auto open = LookupOpenBoard(slot);
    if (!open) {
        return VEXAN_NOT_OPEN;
    }
    FrameWriter frame(command::kStopMaster);
    const uint16_t sent = SendFrame(slot, frame.Frame());
    if (sent != VEXAN_OK) {
        return sent;
    }
    StopReceiveThread(slot);
    Link().boards[open->board].openFlag.store(kBoardClosed);
    Replies().ReleaseAll(open->board);
    DropBoardEvents(open->board);
    ReleaseSlot(slot);
    return VEXAN_OK;
}

// A query of the master itself, keyed by the master's own node id.
uint16_t QueryMaster(uint8_t slot, FrameWriter& frame, bool blocking, Reply& reply)
{
    const auto open = LookupOpenBoard(slot);
    if (!open) {
        return VEXAN_NOT_OPEN;
    }
    const Request request(frame, open->masterNodeId, blocking);
    return RunRequest(slot, request, reply);
}

}  // namespace

}  // namespace vexan

using vexan::ByteReader;
using vexan::FrameWriter;
using vexan::Reply;

extern "C" {

VEXAN_API uint16_t Vexan_GetVersion(void)
{
    return VEXAN_LIBRARY_VERSION;
}

VEXAN_API void Vexan_SetFunctionTimeout(uint8_t slot, uint32_t ms)
{
    if (const auto open = vexan::LookupOpenBoard(slot)) {
        vexan::Link().boards[open->board].functionTimeout.store(ms);
    }
}

VEXAN_API uint16_t Vexan_InitMaster(uint8_t slot, VexanPort port, uint8_t masterNodeId, uint8_t initParam,
                                    uint8_t blocking)
{
    return vexan::StartMaster(slot, port, masterNodeId, initParam, blocking != 0);
}

VEXAN_API uint16_t Vexan_ShutdownMaster(uint8_t slot)
{
    return vexan::StopMaster(slot);
}

VEXAN_API uint16_t Vexan_GetCANStatus(uint8_t slot, uint8_t* status)
{
    const auto open = vexan::LookupOpenBoard(slot);
    if (!open) {
        return VEXAN_NOT_OPEN;
    }
    FrameWriter frame(vexan::command::kCanStatus);
    frame.U8(0);
    vexan::Request request(frame, open->masterNodeId, true);
    request.alwaysFresh = true;
    Reply reply;
    const uint16_t result = vexan::RunRequest(slot, request, reply);
    if (result == VEXAN_OK && status != nullptr) {
        const auto bytes = reply.Bytes();
        std::memcpy(status, bytes.data(), std::min<std::size_t>(bytes.size(), VEXAN_MAX_REPLY_DATA));
    }
    return result;
}

VEXAN_API uint16_t Vexan_MasterSendBootupMsg(uint8_t slot, uint8_t /*blocking*/)
{
    if (!vexan::LookupOpenBoard(slot)) {
        return VEXAN_NOT_OPEN;
    }
    FrameWriter frame(vexan::command::kMasterBootup);
    return vexan::SendFrame(slot, frame.Frame());
}

VEXAN_API uint16_t Vexan_SetMasterMode(uint8_t slot, uint8_t mode, uint8_t blocking)
{
    FrameWriter frame(vexan::command::kSetMasterMode);
    frame.U8(mode);
    Reply reply;
    return vexan::QueryMaster(slot, frame, blocking != 0, reply);
}

VEXAN_API uint16_t Vexan_GetMasterMode(uint8_t slot, uint8_t* mode, uint8_t blocking)
{
    FrameWriter frame(vexan::command::kGetMasterMode);
    Reply reply;
    const uint16_t result = vexan::QueryMaster(slot, frame, blocking != 0, reply);
    return vexan::Collected(result, reply, [&](ByteReader& reader) {
        const uint8_t value = reader.U8();
        if (reader.Ok() && mode != nullptr) {
            *mode = value;
        }
        return reader.Ok();
    });
}

VEXAN_API uint16_t Vexan_GetFirmwareVersion(uint8_t slot, uint16_t* version, uint8_t blocking)
{
    FrameWriter frame(vexan::command::kFirmwareVersion);
    Reply reply;
    const uint16_t result = vexan::QueryMaster(slot, frame, blocking != 0, reply);
    return vexan::Collected(result, reply, [&](ByteReader& reader) {
        const uint16_t value = reader.U16();
        if (reader.Ok() && version != nullptr) {
            *version = value;
        }
        return reader.Ok();
    });
}

}  // extern "C"
