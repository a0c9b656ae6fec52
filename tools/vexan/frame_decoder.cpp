// The frames of the line, one line of text each, named from the command table.
#include "frame_decoder.hpp"

#include "results.hpp"
#include "text.hpp"
#include "vexan_command_table.hpp"

namespace vexantool {

namespace {

constexpr uint8_t kFrameStart = 0x3A;  // every frame begins with ':'
constexpr uint8_t kIdentStart = '$';
constexpr std::size_t kIdentRequestSize = 5;
constexpr uint8_t kIdentReplyStart = '!';
constexpr std::size_t kIdentReplySize = 9;

std::string CommandName(unsigned code)
{
    const vexan::CommandInfo* info = vexan::FindCommand(code);
    return info != nullptr ? std::string(info->name) : "command " + std::to_string(code);
}

unsigned U16(std::span<const uint8_t> bytes, std::size_t at)
{
    return bytes.size() >= at + 2 ? static_cast<unsigned>(bytes[at] | bytes[at + 1] << 8) : 0;
}

}  // namespace

std::string FrameDecoder::Describe(std::span<const uint8_t> frame, bool fromModule)
{
    if (!frame.empty() && frame[0] == kIdentStart) {
        return "Identify";
    }
    if (!frame.empty() && frame[0] == kIdentReplyStart) {
        return "IdentReply \"" + std::string(frame.begin(), frame.end()) + "\"";
    }
    if (frame.size() < 3) {
        return "short frame [" + HexBytes(frame) + "]";
    }
    const uint8_t raw = frame[2];
    const unsigned code = raw & static_cast<uint8_t>(~vexan::kStatusReplyBit);
    const auto payload = frame.subspan(3);
    std::string out = CommandName(code);
    const vexan::CommandInfo* info = vexan::FindCommand(code);
    const bool pdoClass = info != nullptr && info->reply == vexan::ReplyClass::Pdo;
    if (!fromModule) {
        if (code == vexan::CodeOf(vexan::Command::ResultRequest) && !payload.empty()) {
            const unsigned asked = payload[0];
            const vexan::CommandInfo* askedInfo = vexan::FindCommand(asked);
            out += " for=" + CommandName(asked);
            if (askedInfo != nullptr && askedInfo->reply == vexan::ReplyClass::Pdo) {
                out += " cob=" + Hex(U16(payload, 1), 3);
            } else if (payload.size() > 1) {
                out += " key=" + std::to_string(payload[1]);
            }
            return out;
        }
        std::size_t used = 0;
        if (info != nullptr && info->key == vexan::KeyKind::CobId && payload.size() >= 2) {
            out += " cob=" + Hex(U16(payload, 0), 3);
            used = 2;
        } else if (info != nullptr && info->key == vexan::KeyKind::NodeId && !payload.empty()) {
            out += " node=" + std::to_string(payload[0]);
            used = 1;
        }
        if (payload.size() > used) {
            out += " [" + HexBytes(payload.subspan(used)) + "]";
        }
        return out;
    }
    // Replies: key (a COB-ID for the PDO class), a spare byte, then the status
    // of a status reply or the data of a data reply.
    std::size_t keySize = pdoClass ? 2 : 1;
    if (code == vexan::CodeOf(vexan::Command::EventPoll)) {
        return out + " events [" + HexBytes(payload) + "]";
    }
    if (payload.size() >= keySize) {
        out += pdoClass ? " cob=" + Hex(U16(payload, 0), 3) : " key=" + std::to_string(payload[0]);
    }
    const std::size_t dataAt = keySize + 1;
    if ((raw & vexan::kStatusReplyBit) != 0) {
        if (payload.size() > dataAt) {
            out += " status " + ResultText(payload[dataAt]);
        }
        return out;
    }
    out += " result " + ResultText(0);
    if (payload.size() > dataAt) {
        const auto data = payload.subspan(dataAt);
        out += " data[" + std::to_string(data.size()) + "]";
        if (data.size() <= 16) {
            out += " " + HexBytes(data);
        } else {
            out += " " + HexBytes(data.first(16)) + " ...";
        }
    }
    return out;
}

void FrameDecoder::Feed(std::span<const uint8_t> bytes, const std::function<void(const std::string&)>& line)
{
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    std::size_t at = 0;
    while (at < pending_.size()) {
        const uint8_t first = pending_[at];
        std::size_t size = 0;
        if (first == kFrameStart) {
            if (pending_.size() - at < 2) {
                break;
            }
            size = std::size_t{pending_[at + 1]} + 2;
        } else if (!fromModule_ && first == kIdentStart) {
            size = kIdentRequestSize;
        } else if (fromModule_ && first == kIdentReplyStart) {
            size = kIdentReplySize;
        } else {
            // Bytes outside frames: skipped up to the next frame start.
            std::size_t next = at;
            while (next < pending_.size() && pending_[next] != kFrameStart) {
                ++next;
            }
            line("skipped [" + HexBytes(std::span(pending_).subspan(at, next - at)) + "]");
            at = next;
            continue;
        }
        if (pending_.size() - at < size) {
            break;
        }
        line(Describe(std::span(pending_).subspan(at, size), fromModule_));
        at += size;
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(at));
}

}  // namespace vexantool
