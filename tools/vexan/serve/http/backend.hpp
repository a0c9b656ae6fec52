// What the dashboard needs from the process that owns the boards: their
// summaries, the nodes the host keeps track of, device models, and the bus
// services the page may ask for. The HTTP layer only parses requests and
// formats answers; everything that touches a board goes through this.
//
// Every call may come from several HTTP worker threads at once; an
// implementation serialises what the library needs serialised.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vexan::od {
class DeviceModel;
}

namespace vexantool::http {

using WallTime = std::chrono::system_clock::time_point;

struct CanStatus {
    unsigned state = 0;  // 0 error active, 1 error passive, 2 bus off
    unsigned txErrors = 0;
    unsigned rxErrors = 0;
    unsigned overruns = 0;
};

struct BoardSummary {
    unsigned net = 0;  // 1-based: net N is the board on slot N-1
    unsigned slot = 0;
    unsigned masterId = 0;
    std::optional<unsigned> firmware;  // the module's version word, 0x0102 = 1.2
    std::optional<CanStatus> can;      // absent when the module did not answer
    std::string source;                // "/dev/ttyUSB0", "simulator"
};

struct EmcyRecord {
    uint16_t code = 0;
    uint8_t errorRegister = 0;
    std::array<uint8_t, 5> vendor{};
    WallTime time;
};

struct NodeSummary {
    unsigned id = 0;
    std::optional<uint8_t> nmtState;  // CiA 301 heartbeat state: 0, 4, 5, 127
    std::string deviceName;           // from an attached device file, else ""
    bool hasModel = false;
    std::optional<WallTime> lastBootup;
    std::optional<EmcyRecord> lastEmcy;
};

// An SDO transfer's outcome: the library's result, the abort code when the
// node aborted (result VEXAN_SDO_ABORTED), and the bytes of a read.
struct SdoOutcome {
    uint16_t result = 0;
    std::optional<uint32_t> abort;
    std::vector<uint8_t> data;
};

struct PdoMapping {
    uint16_t result = 0;
    unsigned number = 0;
    unsigned direction = 0;
    unsigned transmissionType = 0;
    unsigned eventTimer = 0;
    std::vector<uint32_t> entries;  // index << 16 | sub-index << 8 | bit length
};

struct PdoSample {
    uint16_t result = 0;  // VEXAN_NOTHING_TO_READ: nothing received yet
    std::vector<uint8_t> data;
};

class Backend {
public:
    virtual ~Backend() = default;

    virtual std::vector<BoardSummary> Boards() = 0;
    virtual bool HasNet(unsigned net) = 0;
    // The nodes of the board's list with what the host has seen of them.
    virtual std::vector<NodeSummary> Nodes(unsigned net) = 0;
    // Whether the node is in the board's list (no more than that is asked).
    virtual bool HasNode(unsigned net, unsigned node) = 0;
    // The device model attached to a node, or null.
    virtual std::shared_ptr<const vexan::od::DeviceModel> Model(unsigned net, unsigned node) = 0;

    virtual SdoOutcome SdoRead(unsigned net, unsigned node, uint16_t index, uint8_t subindex) = 0;
    virtual SdoOutcome SdoWrite(unsigned net, unsigned node, uint16_t index, uint8_t subindex,
                                const std::vector<uint8_t>& data) = 0;
    // CiA 301 command specifier: 1 start, 2 stop, 128 pre-operational, 129
    // reset node, 130 reset communication. Node 0: every node.
    virtual uint16_t Nmt(unsigned net, unsigned node, uint8_t specifier) = 0;
    virtual uint16_t Sync(unsigned net) = 0;

    // The COB-IDs of the node's transmit PDOs as the module lists them.
    virtual uint16_t TxPdos(unsigned net, unsigned node, std::vector<uint16_t>& cobIds) = 0;
    // Installs the node's transmit PDO `number` (1..512) from its own objects.
    virtual uint16_t InstallTxPdo(unsigned net, unsigned node, uint16_t cobId, unsigned number) = 0;
    virtual PdoMapping PdoMap(unsigned net, uint16_t cobId) = 0;
    // The module's cached copies of these PDOs, one sample each, in order.
    virtual std::vector<PdoSample> PdoRead(unsigned net, const std::vector<uint16_t>& cobIds) = 0;
};

}  // namespace vexantool::http
