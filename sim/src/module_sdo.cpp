// SDO upload (expedited and segmented), download and abort on the simulated nodes.
#include <algorithm>

#include "vexan_sim/module.hpp"

namespace vexsim {

namespace {

constexpr uint8_t kFirstSegment = 0x41;
constexpr uint8_t kFurtherSegment = 0x00;
constexpr uint8_t kAbortSpecifier = 0x80;
constexpr uint8_t kDownloadResponse = 0x60;
constexpr std::size_t kMaxExpedited = 4;
constexpr std::size_t kSegmentHeader = 8;  // code, index, sub-index, size after command, node, spare

// A node answers SDOs only while it is pre-operational or operational.
bool AnswersSdo(const SimNode* node)
{
    return node != nullptr && !node->silent &&
           (node->state == NmtState::PreOperational || node->state == NmtState::Operational);
}

}  // namespace

Bytes Module::SdoAbortReply(uint8_t command, uint8_t node, uint16_t index, uint8_t sub, SdoAbort code) const
{
    return FrameWriter(command)
        .U8(node)
        .U8(0)
        .U8(kAbortSpecifier)
        .U16(index)
        .U8(sub)
        .U32(static_cast<uint32_t>(code))
        .Finish();
}

Bytes Module::UploadFrame(Upload& upload, bool first) const
{
    const std::size_t left = upload.data.size() - upload.sent;
    const std::size_t chunk = std::min(options_.sdoChunk, left);
    FrameWriter w(Command::SdoRead);
    w.U8(upload.node).U8(0).U8(first ? kFirstSegment : kFurtherSegment).U16(upload.index).U8(upload.subIndex);
    w.U32(static_cast<uint32_t>(upload.data.size()));
    w.Append(std::span<const uint8_t>(upload.data).subspan(upload.sent, chunk));
    upload.sent += chunk;
    if (upload.sent == upload.data.size() && upload.extra > 0) {
        // Fault on demand: more bytes than the size announced.
        const std::size_t room = kMaxFrameLength - 3 - kSegmentHeader - chunk;
        for (std::size_t i = 0; i < std::min(upload.extra, room); ++i)
            w.U8(static_cast<uint8_t>(0xE0 + i));
    }
    return w.Finish();
}

void Module::AdvanceUpload(uint8_t node, ModuleOutput& out)
{
    auto it = held_.find({static_cast<uint8_t>(Command::SdoRead), node});
    if (it == held_.end() || !it->second.upload) {
        out.notes.push_back("next-segment request for node " + std::to_string(node) + " without an upload");
        return;
    }
    Held& held = it->second;
    if (!held.reply.empty()) {
        out.notes.push_back("next-segment request while a segment is still waiting: ignored");
        return;
    }
    if (held.upload->sent >= held.upload->data.size()) {
        out.notes.push_back("next-segment request after the last segment: ignored");
        return;
    }
    held.reply = UploadFrame(*held.upload, false);
}

Module::Result Module::RunSdo(uint8_t command, uint16_t key, PayloadReader& r)
{
    const auto id = static_cast<uint8_t>(key);
    r.U8();
    const uint16_t index = r.U16();
    const uint8_t sub = r.U8();
    SimNode* node = FindNode(id);

    if (command == static_cast<uint8_t>(Command::SdoAbort)) {
        const uint32_t code = r.U32();
        auto it = held_.find({static_cast<uint8_t>(Command::SdoRead), id});
        if (it != held_.end() && it->second.upload) {
            // The upload ends with the abort: the waiting read gets it as its result.
            const Upload& up = *it->second.upload;
            it->second.reply = FrameWriter(Command::SdoRead)
                                   .U8(id)
                                   .U8(0)
                                   .U8(kAbortSpecifier)
                                   .U16(up.index)
                                   .U8(up.subIndex)
                                   .U32(code)
                                   .Finish();
            it->second.upload.reset();
        }
        return NodeStatusReply(command, id, static_cast<uint8_t>(Status::Ok));
    }

    if (!AnswersSdo(node))
        return SdoAbortReply(command, id, index, sub, SdoAbort::Timeout);
    ObjectEntry* entry = node->dictionary.Find(index, sub);
    if (entry == nullptr) {
        return SdoAbortReply(command, id, index, sub,
                             node->dictionary.HasIndex(index) ? SdoAbort::NoSubIndex : SdoAbort::NoObject);
    }

    if (command == static_cast<uint8_t>(Command::SdoRead)) {
        if (entry->access == Access::WriteOnly)
            return SdoAbortReply(command, id, index, sub, SdoAbort::WriteOnly);
        const std::size_t size = entry->value.size();
        if (size >= 1 && size <= kMaxExpedited) {
            const auto cs = static_cast<uint8_t>(0x43 | ((kMaxExpedited - size) << 2));
            return FrameWriter(command).U8(id).U8(0).U8(cs).U16(index).U8(sub).Append(entry->value).Finish();
        }
        Result result;
        Upload upload{id, index, sub, entry->value, 0, extraSegmentBytes_};
        extraSegmentBytes_ = 0;
        result.reply = UploadFrame(upload, true);
        result.upload = std::move(upload);
        return result;
    }

    // Download.
    const uint16_t n = r.U16();
    auto data = r.Take(n);
    if (entry->access == Access::ReadOnly || entry->access == Access::Const) {
        return SdoAbortReply(command, id, index, sub, SdoAbort::ReadOnly);
    }
    const std::size_t fixed = SizeOf(entry->type);
    if (fixed != 0 && data.size() != fixed)
        return SdoAbortReply(command, id, index, sub, SdoAbort::LengthMismatch);
    entry->value.assign(data.begin(), data.end());
    SendChangedPdos(*node, index, sub);
    return FrameWriter(command).U8(id).U8(0).U8(kDownloadResponse).U16(index).U8(sub).Finish();
}

}  // namespace vexsim
