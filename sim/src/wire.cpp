#include "vexan_sim/wire.hpp"

#include <algorithm>
#include <array>
#include <cstdio>

namespace vexsim {

namespace {

struct CommandInfo {
    std::string_view name;
    // Request fields as the library sends them: "name:u8|u16|u32|rest|list16",
    // space separated; empty for no payload.
    std::string_view fields;
};

constexpr std::array<CommandInfo, kCommandCount> MakeCommandTable()
{
    std::array<CommandInfo, kCommandCount> t{};
    auto set = [&t](Command c, std::string_view name, std::string_view fields) {
        t[static_cast<uint8_t>(c)] = CommandInfo{name, fields};
    };
    set(Command::StartMaster, "StartMaster", "master:u8 param:u8");
    set(Command::StopMaster, "StopMaster", "");
    set(Command::GetFirmwareVersion, "GetFirmwareVersion", "");
    set(Command::SetMasterMode, "SetMasterMode", "mode:u8");
    set(Command::GetMasterMode, "GetMasterMode", "");
    set(Command::ScanNodes, "ScanNodes", "p1:u8 p2:u8");
    set(Command::GetNodeList, "GetNodeList", "");
    set(Command::AddNode, "AddNode", "node:u8 param:u8 word1:u16 word2:u16");
    set(Command::RemoveNode, "RemoveNode", "node:u8");
    set(Command::NodeGuarding, "NodeGuarding", "node:u8 guard:u16 life:u8");
    set(Command::Heartbeat, "Heartbeat", "node:u8 time1:u16 time2:u16");
    set(Command::NmtChangeState, "NMTChangeState", "node:u8 state:u8");
    set(Command::NmtGetState, "NMTGetState", "node:u8");
    set(Command::SdoRead, "SDORead", "node:u8 index:u16 sub:u8");
    set(Command::SdoWrite, "SDOWrite", "node:u8 index:u16 sub:u8 n:u16 data:rest");
    set(Command::SdoAbort, "SDOAbort", "node:u8 index:u16 sub:u8 code:u32");
    set(Command::InstallPdo, "InstallPDO", "node:u8 cob:u16 dir:u8 number:u16");
    set(Command::RemovePdo, "RemovePDO", "node:u8 cob:u16 dir:u8");
    set(Command::GetRxPdoIds, "GetRxPDOID", "node:u8");
    set(Command::GetTxPdoIds, "GetTxPDOID", "node:u8");
    set(Command::ChangeSyncId, "ChangeSYNCID", "node:u8 cob:u16");
    set(Command::ChangeEmcyId, "ChangeEMCYID", "node:u8 cob:u16");
    set(Command::GetSyncId, "GetSYNCID", "node:u8");
    set(Command::GetEmcyId, "GetEMCYID", "node:u8");
    set(Command::ReadLastEmcy, "ReadLastEMCY", "node:u8");
    set(Command::InstallPdoList, "InstallPDOList",
        "node:u8 cob:u16 dir:u8 number:u16 txtype:u8 timer:u16 k:u8 map:list32");
    set(Command::RemovePdoList, "RemovePDOList", "node:u8 cob:u16 dir:u8");
    set(Command::SetSyncList, "SetSYNCList", "node:u8 cob:u16");
    set(Command::SetEmcyList, "SetEMCYList", "node:u8 cob:u16");
    set(Command::GetCyclicSync, "GetCyclicSYNCInfo", "");
    set(Command::SdoNextSegment, "SDONextSegment", "node:u8");
    set(Command::SetRemotePolling, "SetPDORemotePolling", "count:u8 cobs:list16");
    set(Command::GetMultiPdo, "GetMultiPDOData", "count:u8 cobs:list16");
    set(Command::GetCanStatus, "GetCANStatus", "arg:u8");
    set(Command::RemoveAndResetNode, "RemoveAndResetNode", "node:u8");
    set(Command::DelayAndResponseTimeout, "DelayAndResponseTimeout", "node:u8 delay:u16 timeout:u16");
    set(Command::PdoWrite, "PDOWrite", "cob:u16 param:u8 n:u8 data:rest");
    set(Command::PdoRemote, "PDORemote", "cob:u16 fast:u8");
    set(Command::ChangePdoId, "ChangePDOID", "cob:u16 new:u16");
    set(Command::DynamicPdo, "DynamicPDO", "node:u8 cob:u16 b1:u8 b2:u8 value:u32");
    set(Command::PdoUseEntries, "PDOUseEntry", "cob:u16 entries:u8");
    set(Command::PdoTxType, "PDOTxType", "cob:u16 txtype:u8");
    set(Command::PdoEventTimer, "PDOEventTimer", "cob:u16 timer:u16");
    set(Command::GetPdoMapInfo, "GetPDOMapInfo", "cob:u16");
    set(Command::GetPdoLastData, "GetPDOLastData", "cob:u16");
    set(Command::SendSync, "SendSYNC", "cob:u16 v16:u16 v32:u32");
    set(Command::PdoInhibitTime, "PDOInhibitTime", "cob:u16 time:u16");
    set(Command::EventPoll, "EventPoll", "");
    set(Command::ResponseMasterSdo, "ResponseMasterSDO", "cs:u8 index:u16 sub:u8 data:rest");
    set(Command::ResponseMasterPdo, "ResponseMasterPDO", "cob:u16 n:u8 data:rest");
    set(Command::MasterBootup, "MasterBootup", "");
    set(Command::ResultRequest, "ResultRequest", "");
    return t;
}

constexpr std::array<CommandInfo, kCommandCount> kCommands = MakeCommandTable();

std::string Hex(uint64_t v, int digits)
{
    std::array<char, 24> buf{};
    std::snprintf(buf.data(), buf.size(), "0x%0*llX", digits, static_cast<unsigned long long>(v));
    return buf.data();
}

std::string HexBytes(std::span<const uint8_t> bytes)
{
    std::string s;
    for (uint8_t b : bytes) {
        std::array<char, 4> buf{};
        std::snprintf(buf.data(), buf.size(), "%02X", b);
        if (!s.empty())
            s += ' ';
        s += buf.data();
    }
    return s;
}

// Counts, ids and times read better in decimal; codes and identifiers in hex.
bool IsDecimal(std::string_view name)
{
    constexpr std::array<std::string_view, 17> kDecimal{"node",  "master",  "n",     "count",  "k",      "sub",
                                                        "dir",   "entries", "life",  "number", "timer",  "time",
                                                        "guard", "time1",   "time2", "delay",  "timeout"};
    return std::find(kDecimal.begin(), kDecimal.end(), name) != kDecimal.end() || name == "v16";
}

// Decodes fields of a request payload by the table's field list.
std::string DescribeFields(std::string_view fields, PayloadReader& r)
{
    std::string out;
    while (!fields.empty()) {
        std::size_t space = fields.find(' ');
        std::string_view field = fields.substr(0, space);
        fields = space == std::string_view::npos ? std::string_view{} : fields.substr(space + 1);
        std::size_t colon = field.find(':');
        std::string_view name = field.substr(0, colon);
        std::string_view kind = field.substr(colon + 1);
        if (r.Remaining() == 0 && kind != "rest" && kind != "list16" && kind != "list32") {
            out += " (short)";
            break;
        }
        out += ' ';
        out += name;
        out += '=';
        if (kind == "u8") {
            out += IsDecimal(name) ? std::to_string(r.U8()) : Hex(r.U8(), 2);
        } else if (kind == "u16") {
            out += IsDecimal(name) ? std::to_string(r.U16()) : Hex(r.U16(), name == "index" ? 4 : 3);
        } else if (kind == "u32") {
            out += Hex(r.U32(), 8);
        } else if (kind == "list16") {
            std::string list;
            while (r.Remaining() >= 2) {
                if (!list.empty())
                    list += ',';
                list += Hex(r.U16(), 3);
            }
            out += '[' + list + ']';
        } else if (kind == "list32") {
            std::string list;
            while (r.Remaining() >= 4) {
                if (!list.empty())
                    list += ',';
                list += Hex(r.U32(), 8);
            }
            out += '[' + list + ']';
        } else {
            out += '[' + HexBytes(r.Take(r.Remaining())) + ']';
        }
    }
    if (r.Remaining() > 0)
        out += " extra=[" + HexBytes(r.Take(r.Remaining())) + ']';
    return out;
}

std::string DescribeEventReply(PayloadReader& r)
{
    uint16_t left = r.U16();
    uint8_t flags = r.U8();
    std::string out = " flags=" + Hex(flags, 2) + " waiting=" + std::to_string(left);
    if (flags & 0x40)
        out += " bootup(node=" + std::to_string(r.U8()) + ')';
    if (flags & 0x20) {
        uint8_t node = r.U8();
        out += " emcy(node=" + std::to_string(node) + " [" + HexBytes(r.Take(8)) + "])";
    }
    if (flags & 0x10) {
        uint8_t node = r.U8();
        out += " nmt-error(node=" + std::to_string(node) + " code=" + Hex(r.U8(), 2) + ')';
    }
    if (flags & 0x08) {
        uint8_t cs = r.U8();
        uint16_t index = r.U16();
        out += " read-sdo(cs=" + Hex(cs, 2) + " index=" + Hex(index, 4) + " sub=" + std::to_string(r.U8()) + ')';
    }
    if (flags & 0x04) {
        uint8_t len = r.U8();
        out += " write-sdo([" + HexBytes(r.Take(len)) + "])";
    }
    if (flags & 0x02)
        out += " remote-pdo(cob=" + Hex(r.U16(), 3) + ')';
    if (flags & 0x01) {
        uint16_t cob = r.U16();
        uint8_t len = r.U8();
        out += " rx-pdo(cob=" + Hex(cob, 3) + " [" + HexBytes(r.Take(len)) + "])";
    }
    if (!r.Ok())
        out += " (short)";
    return out;
}

}  // namespace

std::string_view CommandName(uint8_t command)
{
    std::string_view name = kCommands[command & 0x7F].name;
    return name.empty() ? std::string_view{"Unknown"} : name;
}

Bytes FrameWriter::Finish() const
{
    Bytes frame = bytes_;
    if (frame.size() > kMaxFrameLength + 2)
        frame.resize(kMaxFrameLength + 2);
    frame[1] = static_cast<uint8_t>(frame.size() - 2);
    return frame;
}

uint8_t PayloadReader::U8()
{
    if (pos_ >= data_.size()) {
        ok_ = false;
        return 0;
    }
    return data_[pos_++];
}

uint16_t PayloadReader::U16()
{
    uint16_t lo = U8();
    uint16_t hi = U8();
    return static_cast<uint16_t>(lo | (hi << 8));
}

uint32_t PayloadReader::U32()
{
    uint32_t lo = U16();
    uint32_t hi = U16();
    return lo | (hi << 16);
}

std::span<const uint8_t> PayloadReader::Take(std::size_t count)
{
    if (count > Remaining()) {
        ok_ = false;
        count = Remaining();
    }
    auto part = data_.subspan(pos_, count);
    pos_ += count;
    return part;
}

Bytes NodeStatusReply(uint8_t command, uint8_t key, uint8_t status)
{
    return FrameWriter(static_cast<uint8_t>(command | kStatusReplyBit)).U8(key).U8(0).U8(status).Finish();
}

Bytes NodeDataReply(uint8_t command, uint8_t key, std::span<const uint8_t> data)
{
    return FrameWriter(command).U8(key).U8(0).Append(data.first(std::min(data.size(), kMaxReplyData))).Finish();
}

Bytes PdoStatusReply(uint8_t command, uint16_t cobId, uint8_t status)
{
    return FrameWriter(static_cast<uint8_t>(command | kStatusReplyBit)).U16(cobId).U8(0).U8(status).Finish();
}

Bytes PdoDataReply(uint8_t command, uint16_t cobId, std::span<const uint8_t> data)
{
    return FrameWriter(command).U16(cobId).U8(0).Append(data.first(std::min(data.size(), kMaxReplyData - 1))).Finish();
}

Bytes MasterStatusReply(uint8_t command, uint8_t status)
{
    return FrameWriter(static_cast<uint8_t>(command | kStatusReplyBit)).U8(0).U8(0).U8(status).Finish();
}

Bytes StatusReplyFor(uint8_t command, uint16_t key, uint8_t status)
{
    switch (ClassOf(command)) {
    case CommandClass::Pdo:
        return PdoStatusReply(command, key, status);
    case CommandClass::Master:
        return MasterStatusReply(command, status);
    default:
        return NodeStatusReply(command, static_cast<uint8_t>(key), status);
    }
}

std::string DescribeFrame(std::span<const uint8_t> frame, bool fromModule)
{
    if (frame.size() >= kIdentRequest.size() && frame[0] == '$')
        return "Identify";
    if (!frame.empty() && frame[0] == '!') {
        return "IdentReply \"" + std::string(frame.begin(), frame.end()) + '"';
    }
    if (frame.size() < 3)
        return "Empty";
    uint8_t raw = frame[2];
    uint8_t command = static_cast<uint8_t>(raw & 0x7F);
    PayloadReader r(frame.subspan(3));
    std::string out = Hex(raw, 2) + ' ' + std::string(CommandName(command));
    if (!fromModule) {
        if (raw == static_cast<uint8_t>(Command::ResultRequest)) {
            uint8_t asked = r.U8();
            out += " for=" + std::string(CommandName(asked));
            uint16_t key = r.Remaining() >= 2 ? r.U16() : r.U8();
            out += ClassOf(asked) == CommandClass::Pdo ? " cob=" + Hex(key, 3) : " key=" + std::to_string(key);
            return out;
        }
        return out + DescribeFields(kCommands[command].fields, r);
    }
    CommandClass cls = ClassOf(command);
    if (raw & kStatusReplyBit) {
        if (cls == CommandClass::Pdo) {
            uint16_t cob = r.U16();
            r.U8();
            out += " cob=" + Hex(cob, 3);
        } else {
            uint8_t key = r.U8();
            r.U8();
            if (cls != CommandClass::Master)
                out += " key=" + std::to_string(key);
        }
        uint8_t st = r.U8();
        return out + " status=" + std::to_string(st) +
               (st == static_cast<uint8_t>(Status::InProgress) ? " (busy)" : "");
    }
    if (command == static_cast<uint8_t>(Command::EventPoll))
        return out + DescribeEventReply(r);
    if (cls == CommandClass::Pdo) {
        uint16_t cob = r.U16();
        r.U8();
        return out + " data cob=" + Hex(cob, 3) + " [" + HexBytes(r.Take(r.Remaining())) + ']';
    }
    uint8_t key = r.U8();
    r.U8();
    if (command == static_cast<uint8_t>(Command::SdoRead) && r.Remaining() >= 4) {
        uint8_t cs = r.U8();
        uint16_t index = r.U16();
        uint8_t sub = r.U8();
        out += " node=" + std::to_string(key) + " cs=" + Hex(cs, 2) + " index=" + Hex(index, 4) +
               " sub=" + std::to_string(sub);
        if (cs == 0x41 || cs == 0x00) {
            uint32_t size = r.U32();
            return out + " size=" + std::to_string(size) + " chunk=" + std::to_string(r.Remaining());
        }
        if (cs == 0x80)
            return out + " abort=" + Hex(r.U32(), 8);
        return out + " [" + HexBytes(r.Take(r.Remaining())) + ']';
    }
    return out + " data key=" + std::to_string(key) + " [" + HexBytes(r.Take(r.Remaining())) + ']';
}

}  // namespace vexsim
