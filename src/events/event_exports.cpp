// The application's side of the event queues: installing and removing its
// callbacks, reading the queued events with the slot that reported each, and
// answering the requests that other masters address to the module as a node.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

#include "engine/request.hpp"
#include "events/events.hpp"
#include "link/frame.hpp"
#include "link/library_state.hpp"
#include "vexan.h"

namespace vexan {

namespace {

// Kinds whose events are requests addressed to the module as a node: a master
// opened with node id 0 is no node and takes none of their callbacks.
constexpr bool IsNodeRoleKind(CallbackKind kind)
{
    return kind == CallbackKind::ReadSdo || kind == CallbackKind::WriteSdo || kind == CallbackKind::RxPdo ||
           kind == CallbackKind::RemotePdo;
}

// Installs `callback` unless the entry already holds one, which stays: a
// callback is replaced only by removing it first.
uint16_t InstallCallback(uint32_t slot, CallbackKind kind, EventCallback callback)
{
    const auto open = LookupOpenBoard(static_cast<uint8_t>(slot));
    if (!open) {
        return VEXAN_NOT_OPEN;
    }
    std::atomic<EventCallback>& entry = CallbackOf(kind, open->board);
    if (entry.load(std::memory_order_acquire) != nullptr) {
        return VEXAN_OK;
    }
    if (IsNodeRoleKind(kind) && open->masterNodeId == 0) {
        return VEXAN_MASTER_ID_ZERO;
    }
    entry.store(callback, std::memory_order_release);
    return VEXAN_OK;
}

uint16_t RemoveCallback(uint32_t slot, CallbackKind kind)
{
    const auto open = LookupOpenBoard(static_cast<uint8_t>(slot));
    if (!open) {
        return VEXAN_NOT_OPEN;
    }
    if (IsNodeRoleKind(kind) && open->masterNodeId == 0) {
        return VEXAN_MASTER_ID_ZERO;
    }
    RemoveCallbackEntry(kind, open->board);
    return VEXAN_OK;
}

// The slot a board belongs to: the first slot record, in slot order, that
// names it; none once the slot was shut down after the event was queued.
std::optional<uint8_t> SlotOfBoard(uint8_t board)
{
    for (const SlotRecord& record : Link().slots) {
        if (record.board.load() == board) {
            return record.slotNumber;
        }
    }
    return std::nullopt;
}

template <typename T>
void Put(T* out, T value)
{
    if (out != nullptr) {
        *out = value;
    }
}

// Reads the oldest event of a kind: VEXAN_NOTHING_TO_READ when there is none.
// Otherwise the record is consumed, `write` writes its data outputs (or returns
// false for a record too short to hold them, reported with VEXAN_OUT_OF_RANGE,
// nothing written), then the reporting slot is written; VEXAN_NOTHING_TO_READ
// when that slot has been shut down since.
template <typename Write>
uint16_t ReadEvent(EventKind kind, uint8_t* slotOut, Write write)
{
    const auto record = QueueOf(kind).PopEvent();
    if (!record) {
        return VEXAN_NOTHING_TO_READ;
    }
    ByteReader reader(std::span<const uint8_t>(record->item.data(), record->size));
    if (!write(reader)) {
        return VEXAN_OUT_OF_RANGE;
    }
    const auto slot = SlotOfBoard(record->board);
    if (!slot) {
        return VEXAN_NOTHING_TO_READ;
    }
    Put(slotOut, *slot);
    return VEXAN_OK;
}

// Copies `count` bytes from the reader into `out` (when given).
void CopyBytes(std::span<const uint8_t> bytes, uint8_t* out)
{
    if (out != nullptr) {
        std::copy(bytes.begin(), bytes.end(), out);
    }
}

// Expedited upload response command byte for 1 to 4 data bytes.
constexpr std::array<uint8_t, 4> kUploadResponse{0x4F, 0x4B, 0x47, 0x43};
constexpr uint8_t kDownloadResponse = 0x60;
constexpr std::size_t kSdoAnswerBytes = 4;
constexpr std::size_t kPdoAnswerBytes = 8;
// Bytes of a WriteSDO item ahead of its data: command byte, index, sub-index.
constexpr uint8_t kWriteSdoHeader = 4;

// Answers always wait for the module's status; no earlier answer is collected.
constexpr RequestOptions kAnswerOptions{.blocking = true, .alwaysFresh = true};

}  // namespace

}  // namespace vexan

using vexan::ByteReader;
using vexan::CallbackKind;
using vexan::Command;
using vexan::EventKind;
using vexan::FrameWriter;
using vexan::Reply;
using vexan::Request;

extern "C" {

// ---- Callbacks -----------------------------------------------------------------------

VEXAN_API uint16_t Vexan_InstallBootUpISR(uint32_t slot, EventCallback callback)
{
    return vexan::InstallCallback(slot, CallbackKind::BootUp, callback);
}

VEXAN_API uint16_t Vexan_RemoveBootUpISR(uint32_t slot)
{
    return vexan::RemoveCallback(slot, CallbackKind::BootUp);
}

VEXAN_API uint16_t Vexan_InstallEMCYISR(uint32_t slot, EventCallback callback)
{
    return vexan::InstallCallback(slot, CallbackKind::Emcy, callback);
}

VEXAN_API uint16_t Vexan_RemoveEMCYISR(uint32_t slot)
{
    return vexan::RemoveCallback(slot, CallbackKind::Emcy);
}

VEXAN_API uint16_t Vexan_InstallNMTErrISR(uint32_t slot, EventCallback callback)
{
    return vexan::InstallCallback(slot, CallbackKind::NmtError, callback);
}

VEXAN_API uint16_t Vexan_RemoveNMTErrISR(uint32_t slot)
{
    return vexan::RemoveCallback(slot, CallbackKind::NmtError);
}

VEXAN_API uint16_t Vexan_InstallReadSDOISR(uint32_t slot, EventCallback callback)
{
    return vexan::InstallCallback(slot, CallbackKind::ReadSdo, callback);
}

VEXAN_API uint16_t Vexan_RemoveReadSDOISR(uint32_t slot)
{
    return vexan::RemoveCallback(slot, CallbackKind::ReadSdo);
}

VEXAN_API uint16_t Vexan_InstallWriteSDOISR(uint32_t slot, EventCallback callback)
{
    return vexan::InstallCallback(slot, CallbackKind::WriteSdo, callback);
}

VEXAN_API uint16_t Vexan_RemoveWriteSDOISR(uint32_t slot)
{
    return vexan::RemoveCallback(slot, CallbackKind::WriteSdo);
}

VEXAN_API uint16_t Vexan_InstallRxPDOISR(uint32_t slot, EventCallback callback)
{
    return vexan::InstallCallback(slot, CallbackKind::RxPdo, callback);
}

VEXAN_API uint16_t Vexan_RemoveRxPDOISR(uint32_t slot)
{
    return vexan::RemoveCallback(slot, CallbackKind::RxPdo);
}

VEXAN_API uint16_t Vexan_InstallRemotePDOISR(uint32_t slot, EventCallback callback)
{
    return vexan::InstallCallback(slot, CallbackKind::RemotePdo, callback);
}

VEXAN_API uint16_t Vexan_RemoveRemotePDOISR(uint32_t slot)
{
    return vexan::RemoveCallback(slot, CallbackKind::RemotePdo);
}

// ---- Readers -------------------------------------------------------------------------

VEXAN_API uint16_t Vexan_GetBootUpNodeAfterAdd(uint8_t* slot, uint8_t* node)
{
    return vexan::ReadEvent(EventKind::BootUp, slot, [&](ByteReader& reader) {
        const uint8_t id = reader.U8();
        if (!reader.Ok()) {
            return false;
        }
        vexan::Put(node, id);
        return true;
    });
}

VEXAN_API uint16_t Vexan_GetEMCYData(uint8_t* slot, uint8_t* node, uint8_t* data)
{
    return vexan::ReadEvent(EventKind::Emcy, slot, [&](ByteReader& reader) {
        const uint8_t id = reader.U8();
        const auto message = reader.Bytes(vexan::kMaxEventData);
        if (!reader.Ok()) {
            return false;
        }
        vexan::Put(node, id);
        vexan::CopyBytes(message, data);
        return true;
    });
}

VEXAN_API uint16_t Vexan_GetNMTError(uint8_t* slot, uint8_t* node, uint8_t* code)
{
    return vexan::ReadEvent(EventKind::NmtError, slot, [&](ByteReader& reader) {
        const uint8_t id = reader.U8();
        const uint8_t error = reader.U8();
        if (!reader.Ok()) {
            return false;
        }
        vexan::Put(node, id);
        vexan::Put(code, error);
        return true;
    });
}

VEXAN_API uint16_t Vexan_GetMasterReadSDOEvent(uint8_t* slot, uint16_t* index, uint8_t* subIndex)
{
    return vexan::ReadEvent(EventKind::ReadSdo, slot, [&](ByteReader& reader) {
        reader.U8();  // the request's SDO command byte is not handed out
        const uint16_t object = reader.U16();
        const uint8_t sub = reader.U8();
        if (!reader.Ok()) {
            return false;
        }
        vexan::Put(index, object);
        vexan::Put(subIndex, sub);
        return true;
    });
}

VEXAN_API uint16_t Vexan_GetMasterWriteSDOEvent(uint8_t* slot, uint16_t* index, uint8_t* subIndex, uint8_t* length,
                                                uint8_t* data)
{
    return vexan::ReadEvent(EventKind::WriteSdo, slot, [&](ByteReader& reader) {
        const uint8_t itemLength = reader.U8();
        reader.U8();  // the request's SDO command byte
        const uint16_t object = reader.U16();
        const uint8_t sub = reader.U8();
        // An item too short for its command byte, index and sub-index has no
        // data length to report.
        if (!reader.Ok() || itemLength < vexan::kWriteSdoHeader) {
            return false;
        }
        const auto bytes = reader.Bytes(itemLength - vexan::kWriteSdoHeader);
        if (!reader.Ok()) {
            return false;
        }
        vexan::Put(index, object);
        vexan::Put(subIndex, sub);
        vexan::Put(length, static_cast<uint8_t>(bytes.size()));
        vexan::CopyBytes(bytes, data);
        return true;
    });
}

VEXAN_API uint16_t Vexan_GetMasterRemotePDOEvent(uint8_t* slot, uint16_t* cobId)
{
    return vexan::ReadEvent(EventKind::RemotePdo, slot, [&](ByteReader& reader) {
        const uint16_t id = reader.U16();
        if (!reader.Ok()) {
            return false;
        }
        vexan::Put(cobId, id);
        return true;
    });
}

VEXAN_API uint16_t Vexan_GetMasterRxPDOEvent(uint8_t* slot, uint16_t* cobId, uint8_t* length, uint8_t* data)
{
    return vexan::ReadEvent(EventKind::RxPdo, slot, [&](ByteReader& reader) {
        const uint16_t id = reader.U16();
        const uint8_t count = reader.U8();
        const auto bytes = reader.Bytes(count);
        if (!reader.Ok()) {
            return false;
        }
        vexan::Put(cobId, id);
        vexan::Put(length, count);
        vexan::CopyBytes(bytes, data);
        return true;
    });
}

// ---- Answers to other masters --------------------------------------------------------

VEXAN_API uint16_t Vexan_ResponseMasterSDO(uint32_t slot, uint8_t write, uint16_t index, uint8_t subIndex,
                                           uint8_t length, const uint8_t* data)
{
    if (!vexan::LookupOpenBoard(static_cast<uint8_t>(slot))) {
        return VEXAN_NOT_OPEN;
    }
    if (write == 0 && (length < 1 || length > vexan::kSdoAnswerBytes)) {
        return VEXAN_UNSUPPORTED_SIZE;
    }
    if (length > vexan::kSdoAnswerBytes || (length > 0 && data == nullptr)) {
        return VEXAN_OUT_OF_RANGE;
    }
    std::array<uint8_t, vexan::kSdoAnswerBytes> value{};
    std::copy_n(data, length, value.begin());
    FrameWriter frame(Command::ResponseMasterSdo);
    frame.U8(write != 0 ? vexan::kDownloadResponse : vexan::kUploadResponse.at(length - 1u))
        .U16(index)
        .U8(subIndex)
        .Bytes(value);
    Reply reply;
    return vexan::RunRequest(static_cast<uint8_t>(slot), Request(frame, 0, vexan::kAnswerOptions), reply);
}

VEXAN_API uint16_t Vexan_ResponseMasterPDO(uint32_t slot, uint16_t cobId, uint8_t length, const uint8_t* data)
{
    if (!vexan::LookupOpenBoard(static_cast<uint8_t>(slot))) {
        return VEXAN_NOT_OPEN;
    }
    if (length > vexan::kPdoAnswerBytes || (length > 0 && data == nullptr)) {
        return VEXAN_OUT_OF_RANGE;
    }
    FrameWriter frame(Command::ResponseMasterPdo);
    frame.U16(cobId).U8(length).Bytes(std::span<const uint8_t>(data, length));
    Reply reply;
    return vexan::RunRequest(static_cast<uint8_t>(slot), Request(frame, 0, vexan::kAnswerOptions), reply);
}

}  // extern "C"
