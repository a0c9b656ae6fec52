// The module protocol's command table: every command byte the library sends or
// files a reply for, with its name, the class of its reply record and the kind
// of key the record is chosen by. The dispatcher, the reply tables, the tests
// and the tools read this table; nobody else spells a command number.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vexan {

// The reply table a command's result is filed in.
enum class ReplyClass : uint8_t {
    Node,    // node reply table, keyed by a node id (0..127)
    Pdo,     // PDO reply table, keyed by a COB-ID (0..2046)
    Master,  // master reply table: one record per command
    None,    // no reply record: sent without awaiting an answer
};

// What the record key of a command's request is.
enum class KeyKind : uint8_t {
    MasterNodeId,  // the board's own master node id
    NodeId,        // the node the request addresses
    Zero,          // no node: key 0
    CobId,         // the PDO's COB-ID
    Row,           // a master-table row, no key
    None,          // no record
};

enum class Command : uint8_t {
    StartMaster = 2,
    StopMaster = 3,
    FirmwareVersion = 5,
    SetMasterMode = 6,
    GetMasterMode = 7,
    ScanNode = 8,
    GetNodeList = 9,
    AddNode = 10,
    RemoveNode = 11,
    NmtGuarding = 12,
    NmtHeartbeat = 13,
    NmtChangeState = 14,
    NmtGetState = 15,
    SdoRead = 16,
    SdoWrite = 17,
    SdoAbort = 18,
    InstallPdo = 19,
    RemovePdo = 20,
    GetRxPdoId = 21,
    GetTxPdoId = 22,
    ChangeSyncId = 23,
    ChangeEmcyId = 24,
    GetSyncId = 25,
    GetEmcyId = 26,
    ReadLastEmcy = 27,
    InstallPdoList = 28,
    RemovePdoList = 29,
    SetSyncList = 30,
    SetEmcyList = 31,
    GetCyclicSyncInfo = 32,
    NextUploadSegment = 34,
    SetPdoRemotePolling = 35,
    GetMultiPdoData = 36,
    CanStatus = 39,
    RemoveAndResetNode = 41,
    DelayAndResponseTimeout = 42,
    PdoWrite = 48,
    PdoRemote = 49,
    ChangePdoId = 50,
    DynamicPdo = 51,
    PdoUseEntry = 52,
    PdoTxType = 53,
    PdoEventTimer = 54,
    GetPdoMapInfo = 55,
    GetPdoLastData = 56,
    SendSyncMessage = 57,
    PdoInhibitTime = 58,
    EventPoll = 64,
    ResponseMasterSdo = 65,
    ResponseMasterPdo = 66,
    MasterBootup = 73,
    ResultRequest = 96,
};

struct CommandInfo {
    Command code;
    std::string_view name;
    ReplyClass reply;
    KeyKind key;
    // A reply of this PDO-class command carries data after its COB-ID.
    bool pdoDataReply = false;
};

inline constexpr std::array kCommands{
    CommandInfo{Command::StartMaster, "StartMaster", ReplyClass::Node, KeyKind::MasterNodeId},
    CommandInfo{Command::StopMaster, "StopMaster", ReplyClass::None, KeyKind::None},
    CommandInfo{Command::FirmwareVersion, "FirmwareVersion", ReplyClass::Node, KeyKind::MasterNodeId},
    CommandInfo{Command::SetMasterMode, "SetMasterMode", ReplyClass::Node, KeyKind::MasterNodeId},
    CommandInfo{Command::GetMasterMode, "GetMasterMode", ReplyClass::Node, KeyKind::MasterNodeId},
    CommandInfo{Command::ScanNode, "ScanNode", ReplyClass::Node, KeyKind::Zero},
    CommandInfo{Command::GetNodeList, "GetNodeList", ReplyClass::Node, KeyKind::Zero},
    CommandInfo{Command::AddNode, "AddNode", ReplyClass::Node, KeyKind::NodeId},
    CommandInfo{Command::RemoveNode, "RemoveNode", ReplyClass::Node, KeyKind::NodeId},
    CommandInfo{Command::NmtGuarding, "NMTGuarding", ReplyClass::Node, KeyKind::NodeId},
    CommandInfo{Command::NmtHeartbeat, "NMTHeartbeat", ReplyClass::Node, KeyKind::NodeId},
    CommandInfo{Command::NmtChangeState, "NMTChangeState", ReplyClass::Node, KeyKind::NodeId},
    CommandInfo{Command::NmtGetState, "NMTGetState", ReplyClass::Node, KeyKind::NodeId},
    CommandInfo{Command::SdoRead, "SDORead", ReplyClass::Node, KeyKind::NodeId},
    CommandInfo{Command::SdoWrite, "SDOWrite", ReplyClass::Node, KeyKind::NodeId},
    CommandInfo{Command::SdoAbort, "SDOAbort", ReplyClass::Node, KeyKind::NodeId},
    CommandInfo{Command::InstallPdo, "InstallPDO", ReplyClass::Node, KeyKind::NodeId},
    CommandInfo{Command::RemovePdo, "RemovePDO", ReplyClass::Node, KeyKind::NodeId},
    CommandInfo{Command::GetRxPdoId, "GetRxPDOID", ReplyClass::Node, KeyKind::NodeId},
    CommandInfo{Command::GetTxPdoId, "GetTxPDOID", ReplyClass::Node, KeyKind::NodeId},
    CommandInfo{Command::ChangeSyncId, "ChangeSYNCID", ReplyClass::Node, KeyKind::NodeId},
    CommandInfo{Command::ChangeEmcyId, "ChangeEMCYID", ReplyClass::Node, KeyKind::NodeId},
    CommandInfo{Command::GetSyncId, "GetSYNCID", ReplyClass::Node, KeyKind::NodeId},
    CommandInfo{Command::GetEmcyId, "GetEMCYID", ReplyClass::Node, KeyKind::NodeId},
    CommandInfo{Command::ReadLastEmcy, "ReadLastEMCY", ReplyClass::Node, KeyKind::NodeId},
    CommandInfo{Command::InstallPdoList, "InstallPDOList", ReplyClass::Node, KeyKind::NodeId},
    CommandInfo{Command::RemovePdoList, "RemovePDOList", ReplyClass::Node, KeyKind::NodeId},
    CommandInfo{Command::SetSyncList, "SetSYNCList", ReplyClass::Node, KeyKind::NodeId},
    CommandInfo{Command::SetEmcyList, "SetEMCYList", ReplyClass::Node, KeyKind::NodeId},
    CommandInfo{Command::GetCyclicSyncInfo, "GetCyclicSYNCInfo", ReplyClass::Node, KeyKind::Zero},
    // Sent by the SDO family's reply filer during an upload; the upload's record is command 16's.
    CommandInfo{Command::NextUploadSegment, "NextUploadSegment", ReplyClass::None, KeyKind::None},
    CommandInfo{Command::SetPdoRemotePolling, "SetPDORemotePolling", ReplyClass::Node, KeyKind::Zero},
    CommandInfo{Command::GetMultiPdoData, "GetMultiPDOData", ReplyClass::Node, KeyKind::Zero},
    CommandInfo{Command::CanStatus, "CANStatus", ReplyClass::Node, KeyKind::MasterNodeId},
    CommandInfo{Command::RemoveAndResetNode, "RemoveAndResetNode", ReplyClass::Node, KeyKind::NodeId},
    CommandInfo{Command::DelayAndResponseTimeout, "DelayAndResponseTimeout", ReplyClass::Node, KeyKind::NodeId},
    CommandInfo{Command::PdoWrite, "PDOWrite", ReplyClass::Pdo, KeyKind::CobId},
    CommandInfo{Command::PdoRemote, "PDORemote", ReplyClass::Pdo, KeyKind::CobId, true},
    CommandInfo{Command::ChangePdoId, "ChangePDOID", ReplyClass::Pdo, KeyKind::CobId},
    CommandInfo{Command::DynamicPdo, "DynamicPDO", ReplyClass::Pdo, KeyKind::CobId},
    CommandInfo{Command::PdoUseEntry, "PDOUseEntry", ReplyClass::Pdo, KeyKind::CobId},
    CommandInfo{Command::PdoTxType, "PDOTxType", ReplyClass::Pdo, KeyKind::CobId},
    CommandInfo{Command::PdoEventTimer, "PDOEventTimer", ReplyClass::Pdo, KeyKind::CobId},
    CommandInfo{Command::GetPdoMapInfo, "GetPDOMapInfo", ReplyClass::Pdo, KeyKind::CobId, true},
    CommandInfo{Command::GetPdoLastData, "GetPDOLastData", ReplyClass::Pdo, KeyKind::CobId, true},
    CommandInfo{Command::SendSyncMessage, "SendSYNCMsg", ReplyClass::Pdo, KeyKind::CobId},
    CommandInfo{Command::PdoInhibitTime, "PDOInhibitTime", ReplyClass::Pdo, KeyKind::CobId},
    CommandInfo{Command::EventPoll, "EventPoll", ReplyClass::Master, KeyKind::Row},
    CommandInfo{Command::ResponseMasterSdo, "ResponseMasterSDO", ReplyClass::Master, KeyKind::Row},
    CommandInfo{Command::ResponseMasterPdo, "ResponseMasterPDO", ReplyClass::Master, KeyKind::Row},
    CommandInfo{Command::MasterBootup, "MasterSendBootupMsg", ReplyClass::None, KeyKind::None},
    CommandInfo{Command::ResultRequest, "ResultRequest", ReplyClass::None, KeyKind::None},
};

namespace detail {
// Position of each command byte's entry in kCommands, or kCommands.size().
inline constexpr auto kCommandIndex = [] {
    std::array<uint8_t, 256> index{};
    index.fill(static_cast<uint8_t>(kCommands.size()));
    for (std::size_t i = 0; i < kCommands.size(); ++i) {
        index[static_cast<uint8_t>(kCommands[i].code)] = static_cast<uint8_t>(i);
    }
    return index;
}();
}  // namespace detail

// The table's entry for a command byte, or nullptr for a byte the library
// neither sends nor files (bit 7, the status-reply mark, must be cleared first).
constexpr const CommandInfo* FindCommand(unsigned code)
{
    if (code >= detail::kCommandIndex.size()) {
        return nullptr;
    }
    const uint8_t at = detail::kCommandIndex[code];
    return at < kCommands.size() ? &kCommands[at] : nullptr;
}

constexpr ReplyClass ReplyClassOf(unsigned code)
{
    const CommandInfo* info = FindCommand(code);
    return info != nullptr ? info->reply : ReplyClass::None;
}

constexpr uint8_t CodeOf(Command command)
{
    return static_cast<uint8_t>(command);
}

// The status-reply mark in a reply's command byte.
inline constexpr uint8_t kStatusReplyBit = 0x80;

// Highest master-class command a result request may name; the master reply
// table has rows for the master-class commands of the table only.
inline constexpr uint8_t kLastResultRequestMaster = 72;

// Keys the reply tables hold.
inline constexpr std::size_t kNodeKeys = 128;
inline constexpr std::size_t kPdoKeys = 2047;

}  // namespace vexan
