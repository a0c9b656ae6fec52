// Master control: start and stop the module's master, its mode, firmware
// version, CAN status and boot-up message, and the board's reply time-out.

#include "engine/request.hpp"
#include "engine/toolkit.hpp"
#include "link/frame.hpp"
#include "link/library_state.hpp"
#include "link/port.hpp"
#include "vexan.h"

namespace vexan {

namespace {

// Opens the board once the module accepted the start command.
uint16_t Opened(uint16_t result, uint8_t board, uint8_t masterNodeId)
{
    if (result == VEXAN_OK) {
        Link().boards[board].openFlag.store(masterNodeId);
    }
    return result;
}

// Start-up departs from the pattern: it binds the slot to its port, identifies
// the module on the bare port and starts the receive thread between the start
// command and its result request.
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
    if (!KeyFits(CodeOf(Command::StartMaster), masterNodeId)) {
        return VEXAN_OUT_OF_RANGE;
    }
    const RecordKey key{slot, CodeOf(Command::StartMaster), masterNodeId};
    Reply reply;
    if (assigned < kBoardCount && IsPending(key)) {
        return Opened(CollectReply(slot, key, RequestOptions{.blocking = blocking}, reply), slot, masterNodeId);
    }
    // A slot without a board, or one whose earlier start-up failed, takes the
    // port it is given now; one with a start still pending keeps its port.
    const bool keepsPort = assigned < kBoardCount && AnyPending(slot, key.command);

    StopReceiveThread(slot);
    if (!keepsPort) {
        AssignSlot(slot, port);
    }
    const uint16_t identified = IdentifyModule(slot);
    if (identified != VEXAN_OK) {
        return identified == VEXAN_PAUSED ? VEXAN_PAUSED : VEXAN_NOT_IDENTIFIED;
    }
    FrameWriter frame(Command::StartMaster);
    frame.U8(masterNodeId).U8(initParam);
    const uint32_t ticket = MarkPending(key);
    const uint16_t sent = SendFrame(slot, frame.Frame());
    if (sent != VEXAN_OK) {
        ReleaseRecord(key);
        return sent;
    }
    if (!StartReceiveThread(slot)) {
        // No thread can read the answer: the start-up cannot complete.
        ReleaseRecord(key);
        return VEXAN_TIMEOUT;
    }
    const uint16_t asked = RequestResult(slot, key);
    if (asked != VEXAN_OK) {
        return asked;
    }
    if (!blocking) {
        return VEXAN_SENT;
    }
    return Opened(AwaitReply(slot, key, ticket, reply), slot, masterNodeId);
}

// The receive thread stops before the stop command goes out, so that no event
// poll follows the stop on the line (its answer would stand in front of the
// next start-up's identification). A stop command held back by a pause starts
// the thread again and leaves the board open as it was, for the caller to
// retry once traffic resumes. Any other send failure means the line itself
// failed (a write failure, a hang-up, a removed device): no call could ever
// bring the stop command out, so the board is let go all the same and its port
// is never touched again; the failure is returned, since the module may still
// be running its master.
uint16_t StopMaster(uint8_t slot)
{
    const auto open = LookupOpenBoard(slot);
    if (!open) {
        return VEXAN_NOT_OPEN;
    }
    StopReceiveThread(slot);
    FrameWriter frame(Command::StopMaster);
    const uint16_t sent = SendFrame(slot, frame.Frame());
    if (sent == VEXAN_PAUSED) {
        StartReceiveThread(slot);
        return sent;
    }
    Link().boards[open->board].openFlag.store(kBoardClosed);
    ReleaseBoard(open->board);
    ReleaseSlot(slot);
    return sent;
}

}  // namespace

}  // namespace vexan

using vexan::ByteReader;
using vexan::Command;
using vexan::FrameWriter;
using vexan::Reply;
using vexan::Request;

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
    FrameWriter frame(Command::CanStatus);
    frame.U8(0);
    Reply reply;
    return vexan::CopyReplyData(vexan::RunRequest(slot, Request(frame, 0, {.alwaysFresh = true}), reply), reply,
                                status);
}

VEXAN_API uint16_t Vexan_MasterSendBootupMsg(uint8_t slot, uint8_t /*blocking*/)
{
    FrameWriter frame(Command::MasterBootup);
    return vexan::SendOnly(slot, frame);
}

VEXAN_API uint16_t Vexan_SetMasterMode(uint8_t slot, uint8_t mode, uint8_t blocking)
{
    FrameWriter frame(Command::SetMasterMode);
    frame.U8(mode);
    Reply reply;
    return vexan::RunRequest(slot, Request(frame, 0, vexan::Blocking(blocking)), reply);
}

VEXAN_API uint16_t Vexan_GetMasterMode(uint8_t slot, uint8_t* mode, uint8_t blocking)
{
    FrameWriter frame(Command::GetMasterMode);
    Reply reply;
    const uint16_t result = vexan::RunRequest(slot, Request(frame, 0, vexan::Blocking(blocking)), reply);
    return vexan::DecodeReply(result, reply, [](ByteReader& reader) { return reader.U8(); }).Store(mode);
}

VEXAN_API uint16_t Vexan_GetFirmwareVersion(uint8_t slot, uint16_t* version, uint8_t blocking)
{
    FrameWriter frame(Command::FirmwareVersion);
    Reply reply;
    const uint16_t result = vexan::RunRequest(slot, Request(frame, 0, vexan::Blocking(blocking)), reply);
    return vexan::DecodeReply(result, reply, [](ByteReader& reader) { return reader.U16(); }).Store(version);
}

}  // extern "C"
