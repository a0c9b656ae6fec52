// The module's side of the serial line: frame layout, command codes, status
// codes and the little-endian writer and bounds-checked reader used to build and
// take apart frames. Written from the module's point of view, independently of
// the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vexsim {

using Bytes = std::vector<uint8_t>;

inline constexpr uint8_t kFrameStart = 0x3A;         // ':'
inline constexpr std::size_t kMaxFrameLength = 255;  // largest value of the length byte
inline constexpr std::size_t kMaxReplyData = 252;    // data bytes after command, key and spare byte
inline constexpr uint8_t kStatusReplyBit = 0x80;
inline constexpr std::string_view kIdentRequest{"$00M\0", 5};
inline constexpr std::string_view kIdentReply{"!00VexanW"};
inline constexpr std::size_t kCommandCount = 128;  // command codes are 7 bits wide
inline constexpr uint8_t kMaxNodeId = 127;
inline constexpr uint16_t kMaxCobId = 0x7FF;
inline constexpr std::size_t kMaxPdoBytes = 8;

enum class Command : uint8_t {
    StartMaster = 2,
    StopMaster = 3,
    GetFirmwareVersion = 5,
    SetMasterMode = 6,
    GetMasterMode = 7,
    ScanNodes = 8,
    GetNodeList = 9,
    AddNode = 10,
    RemoveNode = 11,
    NodeGuarding = 12,
    Heartbeat = 13,
    NmtChangeState = 14,
    NmtGetState = 15,
    SdoRead = 16,
    SdoWrite = 17,
    SdoAbort = 18,
    InstallPdo = 19,
    RemovePdo = 20,
    GetRxPdoIds = 21,
    GetTxPdoIds = 22,
    ChangeSyncId = 23,
    ChangeEmcyId = 24,
    GetSyncId = 25,
    GetEmcyId = 26,
    ReadLastEmcy = 27,
    InstallPdoList = 28,
    RemovePdoList = 29,
    SetSyncList = 30,
    SetEmcyList = 31,
    GetCyclicSync = 32,
    SdoNextSegment = 34,
    SetRemotePolling = 35,
    GetMultiPdo = 36,
    GetCanStatus = 39,
    RemoveAndResetNode = 41,
    DelayAndResponseTimeout = 42,
    PdoWrite = 48,
    PdoRemote = 49,
    ChangePdoId = 50,
    DynamicPdo = 51,
    PdoUseEntries = 52,
    PdoTxType = 53,
    PdoEventTimer = 54,
    GetPdoMapInfo = 55,
    GetPdoLastData = 56,
    SendSync = 57,
    PdoInhibitTime = 58,
    EventPoll = 64,
    ResponseMasterSdo = 65,
    ResponseMasterPdo = 66,
    MasterBootup = 73,
    ResultRequest = 96,
};

// How a command's result is keyed and how its replies are laid out.
enum class CommandClass { Node, Pdo, Master, None };

constexpr CommandClass ClassOf(uint8_t command)
{
    if (command >= 1 && command <= 42)
        return CommandClass::Node;
    if (command >= 48 && command <= 58)
        return CommandClass::Pdo;
    if (command >= 64 && command <= 72)
        return CommandClass::Master;
    return CommandClass::None;
}

// The module's own status codes in its replies. 0 and 40 are the values the
// library knows; the others are this module's failure codes, chosen outside the
// library's own result codes so that a test can tell them apart.
enum class Status : uint8_t {
    Ok = 0,
    MasterNotStarted = 17,  // a command other than start before the master runs
    NoSuchNode = 18,        // node id not on the bus or not in the master's list
    BadFrame = 19,          // payload length does not fit the command
    NoSuchPdo = 20,         // no PDO installed under that COB-ID
    NoTransfer = 21,        // an answer or segment request with nothing open
    NodeNoAnswer = 23,      // the node did not answer on the bus
    BadParameter = 24,      // a value out of range or in conflict
    UnknownCommand = 26,    // a command code this module does not know
    MappingRefused = 27,    // a PDO mapping the node cannot take (see simulator.hpp)
    InProgress = 40,        // still working: ask again
};

// CiA 301 SDO abort codes the simulated nodes use.
enum class SdoAbort : uint32_t {
    Timeout = 0x05040000,
    UnsupportedAccess = 0x06010000,
    WriteOnly = 0x06010001,
    ReadOnly = 0x06010002,
    NoObject = 0x06020000,
    LengthMismatch = 0x06070010,
    NoSubIndex = 0x06090011,
    General = 0x08000000,
};

std::string_view CommandName(uint8_t command);

// Builds one frame: ':' length command payload; multi-byte values low byte first.
class FrameWriter {
public:
    explicit FrameWriter(uint8_t command) { bytes_ = {kFrameStart, 0, command}; }
    explicit FrameWriter(Command command) : FrameWriter(static_cast<uint8_t>(command)) {}
    FrameWriter& U8(uint8_t v)
    {
        bytes_.push_back(v);
        return *this;
    }
    FrameWriter& U16(uint16_t v) { return U8(static_cast<uint8_t>(v)).U8(static_cast<uint8_t>(v >> 8)); }
    FrameWriter& U32(uint32_t v) { return U16(static_cast<uint16_t>(v)).U16(static_cast<uint16_t>(v >> 16)); }
    FrameWriter& Append(std::span<const uint8_t> data)
    {
        bytes_.insert(bytes_.end(), data.begin(), data.end());
        return *this;
    }
    // The finished frame. The callers keep payloads within kMaxFrameLength - 1;
    // anything beyond is cut so the length byte never lies.
    Bytes Finish() const;

private:
    Bytes bytes_;
};

// Reads a payload front to back; reading past the end yields 0 and marks the
// reader failed instead of touching memory outside the payload.
class PayloadReader {
public:
    explicit PayloadReader(std::span<const uint8_t> payload) : data_(payload) {}
    uint8_t U8();
    uint16_t U16();
    uint32_t U32();
    std::span<const uint8_t> Take(std::size_t count);
    std::size_t Remaining() const { return data_.size() - pos_; }
    std::size_t Size() const { return data_.size(); }
    bool Ok() const { return ok_; }

private:
    std::span<const uint8_t> data_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};

// Replies in the layouts the library files them by.
Bytes NodeStatusReply(uint8_t command, uint8_t key, uint8_t status);
Bytes NodeDataReply(uint8_t command, uint8_t key, std::span<const uint8_t> data);
Bytes PdoStatusReply(uint8_t command, uint16_t cobId, uint8_t status);
Bytes PdoDataReply(uint8_t command, uint16_t cobId, std::span<const uint8_t> data);
Bytes MasterStatusReply(uint8_t command, uint8_t status);
// A status reply in the layout of the command's class.
Bytes StatusReplyFor(uint8_t command, uint16_t key, uint8_t status);

// One decoded line for the trace, e.g. "0x10 SDORead node=5 index=0x1005 sub=0".
// fromModule selects the reply layouts.
std::string DescribeFrame(std::span<const uint8_t> frame, bool fromModule);

}  // namespace vexsim
