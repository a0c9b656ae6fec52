// SDO transfers: reading an object of a node (expedited, or gathered by the
// family's filer in memory or in a spill file), reading a spilled object back
// in ranges, writing an object and aborting a transfer.
#include <algorithm>
#include <cstring>

#include "engine/request.hpp"
#include "link/frame.hpp"
#include "link/library_state.hpp"
#include "platform/platform.hpp"
#include "sdo/upload.hpp"
#include "vexan.h"

namespace vexan {

namespace {

constexpr uint8_t kAbortCode = 0x80;
// Reply data ahead of the object's bytes: the command specifier, index and
// sub-index of an expedited or download reply, or the header of a gathered upload.
constexpr std::size_t kReplyHead = 4;
constexpr std::size_t kAbortCodeSize = 4;

// What a collected SDO reply holds: an abort code, an object kept in the spill
// file (only its size), or bytes to hand out.
struct SdoReply {
    bool aborted = false;
    bool inFile = false;
    uint32_t length = 0;
    std::span<const uint8_t> bytes;
};

// Reads a collected reply of an upload or download. An upload kept in the
// spill file hands out no bytes, only its size.
SdoReply ReadSdoReply(ByteReader& reader, const Reply& reply, bool uploads)
{
    SdoReply read;
    if (uploads && reply.keptOutside) {
        read.inFile = true;
        read.length = reply.length;
        return read;
    }
    const uint8_t specifier = reader.U8();
    reader.Bytes(kReplyHead - 1);  // index and sub-index, passed over
    read.aborted = uploads ? specifier == kAbortCode : (specifier & kAbortCode) != 0;
    read.bytes = reader.Bytes(read.aborted ? kAbortCodeSize : reader.Remaining());
    read.length = static_cast<uint32_t>(read.bytes.size());
    return read;
}

// Runs an SDO read or write and decodes its reply; the decoded bytes point
// into `reply`.
Decoded<SdoReply> RunTransfer(uint8_t slot, FrameWriter& frame, uint8_t node, uint8_t blocking, bool uploads,
                              Reply& reply)
{
    const uint16_t result = RunRequest(slot, Request(frame, node, Blocking(blocking)), reply);
    return DecodeReply(result, reply, [&](ByteReader& reader) { return ReadSdoReply(reader, reply, uploads); });
}

// Writes a transfer's outputs from a whole decoded reply: the length and the
// bytes (the object's, or the abort code). VEXAN_SDO_ABORTED for an abort.
template <typename Length>
uint16_t StoreTransfer(const Decoded<SdoReply>& decoded, Length* length, uint8_t* data)
{
    if (!decoded.Ok()) {
        return decoded.result;
    }
    const SdoReply& read = decoded.value;
    if (length != nullptr) {
        *length = static_cast<Length>(read.length);
    }
    if (data != nullptr && !read.bytes.empty()) {
        std::memcpy(data, read.bytes.data(), read.bytes.size());
    }
    return read.aborted ? VEXAN_SDO_ABORTED : VEXAN_OK;
}

uint16_t ReadSpilled(uint8_t slot, uint8_t node, uint16_t index, uint8_t subIndex, uint32_t offset, uint32_t count,
                     uint32_t* bytesRead, uint8_t* data)
{
    const auto open = LookupOpenBoard(slot);
    if (!open) {
        return VEXAN_NOT_OPEN;
    }
    if (!KeyFits(CodeOf(Command::SdoRead), node)) {
        return VEXAN_OUT_OF_RANGE;
    }
    if (IsPending(open->board, CodeOf(Command::SdoRead), node)) {
        return VEXAN_WAITING;  // an upload to the node may still be writing the file
    }
    const auto name = SegmentSpillFile::NameOf(open->board, node, index, subIndex);
    platform::ExclusiveFile file(name.data(), platform::ExclusiveFile::Mode::ReadExisting);
    const long long size = file.Size();
    if (!file.IsOpen() || size < 0) {
        return VEXAN_NOTHING_TO_READ;
    }
    if (offset >= static_cast<unsigned long long>(size)) {
        return VEXAN_UPLOAD_OVERRUN;
    }
    const auto available = static_cast<unsigned long long>(size) - offset;
    const auto take = static_cast<uint32_t>(std::min<unsigned long long>(count, available));
    if (take > 0 && (data == nullptr || !file.ReadAt(offset, data, take))) {
        return VEXAN_NOTHING_TO_READ;
    }
    if (bytesRead != nullptr) {
        *bytesRead = take;
    }
    return VEXAN_OK;
}

}  // namespace

}  // namespace vexan

using vexan::Command;
using vexan::FrameWriter;
using vexan::Reply;
using vexan::Request;

extern "C" {

VEXAN_API uint16_t Vexan_SDOReadData(uint8_t slot, uint8_t node, uint16_t index, uint8_t subIndex, uint32_t* length,
                                     uint8_t* data, uint8_t blocking)
{
    FrameWriter frame(Command::SdoRead);
    frame.U8(node).U16(index).U8(subIndex);
    Reply reply;
    return vexan::StoreTransfer(vexan::RunTransfer(slot, frame, node, blocking, true, reply), length, data);
}

VEXAN_API uint16_t Vexan_SDOReadFile(uint8_t slot, uint8_t node, uint16_t index, uint8_t subIndex, uint32_t offset,
                                     uint32_t count, uint32_t* bytesRead, uint8_t* data)
{
    return vexan::ReadSpilled(slot, node, index, subIndex, offset, count, bytesRead, data);
}

VEXAN_API uint16_t Vexan_SDOWriteData(uint8_t slot, uint8_t node, uint16_t index, uint8_t subIndex, uint32_t length,
                                      const uint8_t* data, uint16_t* replyLength, uint8_t* replyData, uint8_t blocking)
{
    if (length > VEXAN_SDO_MAX_WRITE || (data == nullptr && length != 0)) {
        return vexan::RefuseArguments(slot);
    }
    FrameWriter frame(Command::SdoWrite);
    frame.U8(node).U16(index).U8(subIndex).U16(static_cast<uint16_t>(length)).Bytes({data, length});
    Reply reply;
    return vexan::StoreTransfer(vexan::RunTransfer(slot, frame, node, blocking, false, reply), replyLength, replyData);
}

VEXAN_API uint16_t Vexan_SDOAbortTransmit(uint8_t slot, uint8_t node, uint16_t index, uint8_t subIndex,
                                          uint32_t abortCode, uint8_t blocking)
{
    FrameWriter frame(Command::SdoAbort);
    frame.U8(node).U16(index).U8(subIndex).U32(abortCode);
    Reply reply;
    return vexan::RunRequest(slot, Request(frame, node, vexan::Blocking(blocking)), reply);
}

}  // extern "C"
