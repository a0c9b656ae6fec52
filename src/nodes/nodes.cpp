// Node management and NMT: adding and removing the master's slave nodes, their
// delay and response time-out, scanning the bus and reading the node list,
// and the NMT services (state change and query, node guarding, heartbeat).
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "engine/request.hpp"
#include "link/frame.hpp"
#include "link/library_state.hpp"
#include "vexan.h"

namespace vexan {

namespace {

// Runs a remove command. Once its reply is collected, whatever its status, the
// node is gone from the module's list: every request still open to it is
// dropped, so that callers waiting on one end with the time-out code.
uint16_t RemoveNode(uint8_t slot, FrameWriter& frame, uint8_t node, uint8_t blocking)
{
    Reply reply;
    const uint16_t result = RunRequest(slot, Request(frame, node, Blocking(blocking)), reply);
    if (reply.collected) {
        if (const auto open = LookupOpenBoard(slot)) {
            ReleaseNodeRecords(open->board, node);
        }
    }
    return result;
}

}  // namespace

}  // namespace vexan

using vexan::Command;
using vexan::FrameWriter;
using vexan::Reply;
using vexan::Request;

extern "C" {

VEXAN_API uint16_t Vexan_AddNode(uint8_t slot, uint8_t nodeId, uint8_t nodeParam, uint16_t nodeWord1,
                                 uint16_t nodeWord2, uint8_t blocking)
{
    FrameWriter frame(Command::AddNode);
    frame.U8(nodeId).U8(nodeParam).U16(nodeWord1).U16(nodeWord2);
    vexan::RequestOptions options = vexan::Blocking(blocking);
    options.collectReturnsWaiting = true;
    Reply reply;
    return vexan::RunRequest(slot, Request(frame, nodeId, options), reply);
}

VEXAN_API uint16_t Vexan_RemoveNode(uint8_t slot, uint8_t nodeId, uint8_t blocking)
{
    FrameWriter frame(Command::RemoveNode);
    frame.U8(nodeId);
    return vexan::RemoveNode(slot, frame, nodeId, blocking);
}

VEXAN_API uint16_t Vexan_RemoveAndResetNode(uint8_t slot, uint8_t nodeId, uint8_t blocking)
{
    FrameWriter frame(Command::RemoveAndResetNode);
    frame.U8(nodeId);
    return vexan::RemoveNode(slot, frame, nodeId, blocking);
}

VEXAN_API uint16_t Vexan_DelayAndResponseTimeout(uint8_t slot, uint8_t nodeId, uint16_t delay, uint16_t responseTimeout,
                                                 uint8_t blocking)
{
    FrameWriter frame(Command::DelayAndResponseTimeout);
    frame.U8(nodeId).U16(delay).U16(responseTimeout);
    Reply reply;
    return vexan::RunRequest(slot, Request(frame, nodeId, vexan::Blocking(blocking)), reply);
}

VEXAN_API uint16_t Vexan_ScanNode(uint8_t slot, uint8_t scanParam1, uint8_t scanParam2, uint8_t* result,
                                  uint8_t blocking)
{
    FrameWriter frame(Command::ScanNode);
    frame.U8(scanParam1).U8(scanParam2);
    Reply reply;
    return vexan::CopyReplyData(vexan::RunRequest(slot, Request(frame, 0, vexan::Blocking(blocking)), reply), reply,
                                result);
}

VEXAN_API uint16_t Vexan_GetNodeList(uint8_t slot, uint8_t* nodeList, uint8_t blocking)
{
    FrameWriter frame(Command::GetNodeList);
    Reply reply;
    return vexan::CopyReplyData(vexan::RunRequest(slot, Request(frame, 0, vexan::Blocking(blocking)), reply), reply,
                                nodeList);
}

VEXAN_API uint16_t Vexan_NMTChangeState(uint8_t slot, uint8_t nodeId, uint8_t state, uint8_t blocking)
{
    FrameWriter frame(Command::NmtChangeState);
    frame.U8(nodeId).U8(state);
    Reply reply;
    return vexan::RunRequest(slot, Request(frame, nodeId, vexan::Blocking(blocking)), reply);
}

VEXAN_API uint16_t Vexan_NMTGetState(uint8_t slot, uint8_t nodeId, uint8_t* state, uint8_t blocking)
{
    FrameWriter frame(Command::NmtGetState);
    frame.U8(nodeId);
    Reply reply;
    auto options = vexan::Blocking(blocking);
    options.holdExchangeLock = true;
    return vexan::CopyReplyData(vexan::RunRequest(slot, Request(frame, nodeId, options), reply), reply, state);
}

VEXAN_API uint16_t Vexan_NMTGuarding(uint8_t slot, uint8_t nodeId, uint16_t guardTime, uint8_t lifeTimeFactor,
                                     uint8_t blocking)
{
    FrameWriter frame(Command::NmtGuarding);
    frame.U8(nodeId).U16(guardTime).U8(lifeTimeFactor);
    Reply reply;
    return vexan::RunRequest(slot, Request(frame, nodeId, vexan::Blocking(blocking)), reply);
}

VEXAN_API uint16_t Vexan_NMTHeartbeat(uint8_t slot, uint8_t nodeId, uint16_t heartbeatTime1, uint16_t heartbeatTime2,
                                      uint8_t blocking)
{
    FrameWriter frame(Command::NmtHeartbeat);
    frame.U8(nodeId).U16(heartbeatTime1).U16(heartbeatTime2);
    Reply reply;
    return vexan::RunRequest(slot, Request(frame, nodeId, vexan::Blocking(blocking)), reply);
}

}  // extern "C"
