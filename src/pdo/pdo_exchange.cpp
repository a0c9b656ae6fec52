// PDO data exchange: writing output PDOs, remote requests, the module's own
// remote polling, and reading the module's cache of received PDOs.
#include <algorithm>
#include <cstring>
#include <span>

#include "engine/request.hpp"
#include "engine/toolkit.hpp"
#include "link/frame.hpp"
#include "vexan.h"

namespace vexan {

namespace {

constexpr uint8_t kWaitingForm = 0;  // last byte of a write or remote request awaiting its result
constexpr uint8_t kFastForm = 1;     // last byte of the forms the module files no result for
constexpr uint8_t kNoCachedData = 255;
constexpr uint8_t kMaxPollingList = 125;
constexpr uint8_t kMaxMultiPdo = 25;

bool PdoWriteFits(uint16_t cobId, uint8_t length, const uint8_t* data)
{
    return cobId <= kMaxCobId && length <= kMaxPdoData && (data != nullptr || length == 0);
}

void BuildPdoWrite(FrameWriter& frame, uint16_t cobId, uint8_t parameter, uint8_t length, const uint8_t* data,
                   uint8_t form)
{
    frame.U16(cobId).U8(parameter).U8(length).Bytes({data, length}).U8(form);
}

// The cached data of one PDO: its flag and up to 8 bytes.
struct CachedPdo {
    uint8_t flag = 0;
    std::span<const uint8_t> bytes;
};

// The split reply of a multi-PDO read: the module's count, then a flag and a
// length per PDO, then their data one after another.
struct MultiPdo {
    uint8_t count = 0;
    std::span<const uint8_t> flags;
    std::span<const uint8_t> lengths;
    std::span<const uint8_t> data;
};

}  // namespace

}  // namespace vexan

using vexan::ByteReader;
using vexan::Command;
using vexan::FrameWriter;
using vexan::Reply;
using vexan::Request;

extern "C" {

VEXAN_API uint16_t Vexan_PDOWrite(uint8_t slot, uint16_t cobId, uint8_t parameter, uint8_t length, const uint8_t* data,
                                  uint8_t blocking)
{
    if (!vexan::PdoWriteFits(cobId, length, data)) {
        return vexan::RefuseArguments(slot);
    }
    FrameWriter frame(Command::PdoWrite);
    vexan::BuildPdoWrite(frame, cobId, parameter, length, data, vexan::kWaitingForm);
    Reply reply;
    return vexan::RunRequest(slot, Request(frame, cobId, {.blocking = blocking != 0, .holdExchangeLock = true}), reply);
}

VEXAN_API uint16_t Vexan_PDOWrite_Fast(uint8_t slot, uint16_t cobId, uint8_t parameter, uint8_t length,
                                       const uint8_t* data)
{
    if (!vexan::PdoWriteFits(cobId, length, data)) {
        return vexan::RefuseArguments(slot);
    }
    FrameWriter frame(Command::PdoWrite);
    vexan::BuildPdoWrite(frame, cobId, parameter, length, data, vexan::kFastForm);
    return vexan::SendOnlyPaced(slot, frame);
}

VEXAN_API uint16_t Vexan_PDORemote(uint8_t slot, uint16_t cobId, uint8_t* length, uint8_t* data, uint8_t blocking)
{
    FrameWriter frame(Command::PdoRemote);
    frame.U16(cobId).U8(vexan::kWaitingForm);
    Reply reply;
    const uint16_t result = vexan::RunRequest(slot, Request(frame, cobId, vexan::Blocking(blocking)), reply);
    const auto decoded = vexan::DecodeReply(result, reply, [](ByteReader& reader) {
        if (reader.Remaining() > vexan::kMaxPdoData) {
            vexan::RejectReply(reader);  // more than a PDO holds
        }
        return reader.Bytes(reader.Remaining());
    });
    if (!decoded.Ok()) {
        return decoded.result;
    }
    if (length != nullptr) {
        *length = static_cast<uint8_t>(decoded.value.size());
    }
    if (data != nullptr && !decoded.value.empty()) {
        std::memcpy(data, decoded.value.data(), decoded.value.size());
    }
    return VEXAN_OK;
}

VEXAN_API uint16_t Vexan_PDORemote_Fast(uint8_t slot, uint16_t cobId)
{
    if (cobId > vexan::kMaxCobId) {
        return vexan::RefuseArguments(slot);
    }
    FrameWriter frame(Command::PdoRemote);
    frame.U16(cobId).U8(vexan::kFastForm);
    return vexan::SendOnlyPaced(slot, frame);
}

VEXAN_API uint16_t Vexan_SetPDORemotePolling(uint8_t slot, uint8_t count, const uint16_t* cobIds, uint16_t value,
                                             uint8_t blocking)
{
    if (count > vexan::kMaxPollingList || (cobIds == nullptr && count != 0)) {
        return vexan::RefuseArguments(slot);
    }
    FrameWriter frame(Command::SetPdoRemotePolling);
    frame.U8(count);
    for (uint8_t i = 0; i < count; ++i) {
        frame.U16(cobIds[i]);
    }
    frame.U16(value);
    Reply reply;
    return vexan::RunRequest(slot, Request(frame, 0, vexan::Blocking(blocking)), reply);
}

VEXAN_API uint16_t Vexan_GetPDOLastData(uint8_t slot, uint16_t cobId, uint8_t* flag, uint8_t* length, uint8_t* data,
                                        uint8_t blocking)
{
    FrameWriter frame(Command::GetPdoLastData);
    frame.U16(cobId);
    Reply reply;
    const uint16_t result = vexan::RunRequest(slot, Request(frame, cobId, vexan::Blocking(blocking)), reply);
    const auto decoded = vexan::DecodeReply(result, reply, [](ByteReader& reader) {
        vexan::CachedPdo cached;
        cached.flag = reader.U8();
        if (reader.Remaining() > vexan::kMaxPdoData) {
            vexan::RejectReply(reader);  // more than a PDO holds
        }
        cached.bytes = reader.Bytes(reader.Remaining());
        return cached;
    });
    if (!decoded.Ok()) {
        return decoded.result;
    }
    const vexan::CachedPdo& cached = decoded.value;
    if (cached.flag == vexan::kNoCachedData) {
        return VEXAN_NOTHING_TO_READ;
    }
    if (flag != nullptr) {
        *flag = cached.flag;
    }
    if (length != nullptr) {
        *length = static_cast<uint8_t>(cached.bytes.size());
    }
    if (data != nullptr && !cached.bytes.empty()) {
        std::memcpy(data, cached.bytes.data(), cached.bytes.size());
    }
    return VEXAN_OK;
}

VEXAN_API uint16_t Vexan_GetMultiPDOData(uint8_t slot, uint8_t count, const uint16_t* cobIds, uint8_t* flags,
                                         uint8_t* lengths, uint8_t* data, uint8_t blocking)
{
    const uint8_t asked = std::min(count, vexan::kMaxMultiPdo);
    if (cobIds == nullptr && asked != 0) {
        return vexan::RefuseArguments(slot);
    }
    FrameWriter frame(Command::GetMultiPdoData);
    frame.U8(asked);
    for (uint8_t i = 0; i < asked; ++i) {
        frame.U16(cobIds[i]);
    }
    Reply reply;
    const uint16_t result =
        vexan::RunRequest(slot, Request(frame, 0, {.blocking = blocking != 0, .holdExchangeLock = true}), reply);
    // The reply is split by the module's own count, which must fit the
    // caller's arrays (sized for this call's count); its data bytes must fit
    // 8 bytes per PDO.
    const auto decoded = vexan::DecodeReply(result, reply, [asked](ByteReader& reader) {
        vexan::MultiPdo split;
        split.count = reader.U8();
        if (split.count > asked) {
            vexan::RejectReply(reader);
        }
        split.flags = reader.Bytes(split.count);
        split.lengths = reader.Bytes(split.count);
        if (reader.Remaining() > static_cast<std::size_t>(split.count) * vexan::kMaxPdoData) {
            vexan::RejectReply(reader);
        }
        split.data = reader.Bytes(reader.Remaining());
        return split;
    });
    if (!decoded.Ok()) {
        return decoded.result;
    }
    const vexan::MultiPdo& split = decoded.value;
    if (flags != nullptr && !split.flags.empty()) {
        std::memcpy(flags, split.flags.data(), split.flags.size());
    }
    if (lengths != nullptr && !split.lengths.empty()) {
        std::memcpy(lengths, split.lengths.data(), split.lengths.size());
    }
    if (data != nullptr && !split.data.empty()) {
        std::memcpy(data, split.data.data(), split.data.size());
    }
    return VEXAN_OK;
}

}  // extern "C"
