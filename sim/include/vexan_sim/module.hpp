// The simulated module: consumes the bytes the library writes and produces the
// module's replies, with a master, simulated CANopen nodes on a simulated bus,
// their PDOs, SYNC and EMCY settings, and the event queues. It does no I/O and
// keeps no clock of its own, so it can be driven byte-exact; the Simulator
// (simulator.hpp) puts it on a serial line. Not thread-safe by itself.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "od/object_dictionary.hpp"
#include "vexan_sim/wire.hpp"

namespace vexsim {

using Clock = std::chrono::steady_clock;

inline constexpr std::size_t kMaxMappings = 8;
inline constexpr std::size_t kCyclicSyncEntries = 5;
inline constexpr std::size_t kEventKinds = 7;
inline constexpr std::size_t kMaxQueuedEvents = 4096;           // per kind; the oldest is dropped beyond
inline constexpr std::size_t kMaxSdoChunk = kMaxReplyData - 8;  // data after the 8-byte segment header
inline constexpr std::size_t kDefaultSdoChunk = 128;
inline constexpr uint16_t kDefaultFirmwareVersion = 0x0102;

// NMT states as a node reports them in its heartbeat.
enum class NmtState : uint8_t { Initialising = 0, Stopped = 4, Operational = 5, PreOperational = 127 };

// NMT command specifiers accepted by command 14.
enum class NmtCommand : uint8_t {
    Start = 1,
    Stop = 2,
    EnterPreOperational = 128,
    ResetNode = 129,
    ResetCommunication = 130,
};

// Codes of the NMT-error events the master reports for a monitored node that
// fell silent: no guarding answer within guard time x life time factor, or no
// heartbeat within the consumer time.
inline constexpr uint8_t kNmtErrorGuarding = 1;
inline constexpr uint8_t kNmtErrorHeartbeat = 2;

enum class PdoDirection : uint8_t { Receive = 0, Transmit = 1 };

// Event kinds in the order of their flag bits, 0x40 first.
enum class EventKind : uint8_t { BootUp, Emcy, NmtError, ReadSdo, WriteSdo, RemotePdo, RxPdo };

struct SimNode {
    uint8_t id = 0;
    ObjectDictionary dictionary;
    DeviceInfo info;
    NmtState state = NmtState::PreOperational;
    bool listed = false;  // in the master's node list
    bool silent = false;  // on the bus but no longer answering
    uint8_t addParam = 0;
    uint16_t addWord1 = 0;
    uint16_t addWord2 = 0;
    uint16_t guardTime = 0;
    uint8_t lifeTimeFactor = 0;
    uint16_t heartbeatTime1 = 0;
    uint16_t heartbeatTime2 = 0;
    uint16_t delay = 0;
    uint16_t responseTimeout = 0;
    uint16_t syncCobId = 0x80;
    uint16_t emcyCobId = 0;
    std::optional<std::array<uint8_t, 8>> lastEmcy;
    bool lastEmcyRead = false;
    // The object values a reset restores: the dictionary as the node was put
    // on the bus (and as objects were put into it from outside since).
    ObjectDictionary initialDictionary;
    // Node guarding and heartbeat monitoring by the master.
    Clock::time_point silentSince{};
    Clock::time_point monitoredSince{};  // when guarding or heartbeat was last set up
    bool monitoringLost = false;         // the silence has been reported
};

struct PdoRecord {
    uint8_t node = 0;
    uint16_t cobId = 0;
    PdoDirection direction = PdoDirection::Receive;
    uint16_t number = 1;
    uint8_t transmissionType = 255;
    uint16_t eventTimer = 0;
    uint16_t inhibitTime = 0;
    uint8_t entriesInUse = 0;
    std::array<uint32_t, kMaxMappings> mapping{};
    unsigned syncCount = 0;
    Clock::time_point nextEvent{};  // event-driven TxPDOs with an event timer
};

struct CyclicSync {
    uint16_t cobId = 0;
    uint16_t value16 = 0;  // period in ms; 0 marks a free entry
    uint32_t value32 = 0;  // stored and reported, no effect
    Clock::time_point nextDue{};
};

// An answer the application gave through command 65 or 66.
struct MasterAnswer {
    Command command = Command::ResponseMasterSdo;
    uint8_t sdoCommand = 0;  // command 65 only
    uint16_t indexOrCobId = 0;
    uint8_t subIndex = 0;
    Bytes data;
};

// Changes how the next command(s) with a (command, key) are answered.
struct CommandPlan {
    unsigned busy = 0;                  // answer the first `busy` result requests with status 40
    std::optional<uint8_t> failStatus;  // answer with this status instead of running the command
    int uses = 1;                       // how many commands it applies to; negative: all
};

struct Outgoing {
    Bytes bytes;
    bool identification = false;
    // The request this answers, as the library's reply record names it: the
    // command (0 for the identification) and its key (node id, the master's
    // node id, 0 or the COB-ID; 0 for master-class commands and event polls).
    uint8_t command = 0;
    uint16_t key = 0;
};

// What one call of Receive produced.
struct ModuleOutput {
    std::vector<Bytes> received;     // complete frames (and identification requests) from the library
    std::vector<Outgoing> replies;   // bytes for the library, in order
    std::vector<std::string> notes;  // things worth a trace line (skipped bytes, unanswered requests)
};

struct ModuleOptions {
    uint16_t firmwareVersion = kDefaultFirmwareVersion;
    std::size_t sdoChunk = kDefaultSdoChunk;
    bool autoCreateNodes = false;  // command 10 for an unknown id adds a default device
    // An unfinished frame older than this is dropped when new bytes come, as a
    // module's receiver resynchronises after a gap; 0 keeps it forever.
    unsigned frameTimeoutMs = 500;
};

class Module {
public:
    explicit Module(ModuleOptions options = {});

    // Feeds bytes written by the library; replies and notes are appended to out.
    void Receive(std::span<const uint8_t> bytes, ModuleOutput& out, Clock::time_point now = Clock::now());
    // Runs time-driven work (cyclic SYNC, event timers of TxPDOs).
    void Tick(Clock::time_point now);
    // Earliest time Tick has work to do, if any.
    std::optional<Clock::time_point> NextDue() const;

    // ---- nodes on the simulated bus
    // Puts a node on the bus (replacing one with the same id). Listed: in the
    // master's node list. Announce: queue its boot-up event.
    void PutNode(uint8_t id, ObjectDictionary dictionary, DeviceInfo info, bool listed = true, bool announce = true);
    void PutDefaultNode(uint8_t id, bool listed = true, bool announce = true);
    bool RemoveNode(uint8_t id);  // takes it off the bus with its PDOs
    SimNode* FindNode(uint8_t id);
    const SimNode* FindNode(uint8_t id) const;
    std::vector<uint8_t> NodeIds() const;
    bool SetNodeSilent(uint8_t id, bool silent, Clock::time_point now = Clock::now());
    // Puts an object into the node's dictionary and into the values a reset restores.
    bool PutObject(uint8_t id, ObjectEntry entry);

    // ---- node monitoring (module_nodes.cpp)
    // Reports each listed node that is set up for heartbeat or node guarding and
    // has been silent for its monitoring time, once, as an NMT-error event.
    void TickMonitoring(Clock::time_point now);
    std::optional<Clock::time_point> NextMonitoringDue() const;

    // ---- PDOs known to the master
    const PdoRecord* FindPdo(uint16_t cobId) const;
    std::vector<PdoRecord> Pdos() const;
    void PutPdo(const PdoRecord& pdo);
    // A PDO a node sent on the bus: cached for commands 56 and 36.
    void ReceiveBusPdo(uint16_t cobId, std::span<const uint8_t> data);
    std::optional<Bytes> CachedPdo(uint16_t cobId) const;

    // ---- events
    void QueueBootup(uint8_t node);
    void QueueEmcy(uint8_t node, const std::array<uint8_t, 8>& data);
    void QueueNmtError(uint8_t node, uint8_t code);
    void QueueMasterSdoRead(uint16_t index, uint8_t subIndex);
    // data: 0..4 bytes.
    bool QueueMasterSdoWrite(uint16_t index, uint8_t subIndex, std::span<const uint8_t> data);
    void QueueRemotePdo(uint16_t cobId);
    // data: 0..8 bytes.
    bool QueueRxPdo(uint16_t cobId, std::span<const uint8_t> data);
    std::size_t QueuedEvents() const;
    const std::vector<MasterAnswer>& MasterAnswers() const { return masterAnswers_; }

    // ---- behaviour
    // key nullopt: any key of the command.
    void SetCommandPlan(uint8_t command, std::optional<uint16_t> key, CommandPlan plan);
    void ClearCommandPlans() { plans_.clear(); }
    void SetSdoChunk(std::size_t chunk);
    std::size_t SdoChunk() const { return options_.sdoChunk; }
    // The next segmented upload's last segment carries this many bytes beyond the size it announced.
    void SetExtraSegmentBytes(std::size_t count) { extraSegmentBytes_ = count; }
    void SetAutoCreateNodes(bool on) { options_.autoCreateNodes = on; }

    // ---- master
    bool MasterStarted() const { return masterStarted_; }
    uint8_t MasterNodeId() const { return masterNodeId_; }
    uint8_t MasterInitParam() const { return masterInitParam_; }
    uint8_t MasterMode() const { return masterMode_; }
    void SetFirmwareVersion(uint16_t version) { options_.firmwareVersion = version; }
    void SetCanStatus(Bytes status) { canStatus_ = std::move(status); }
    const std::array<CyclicSync, kCyclicSyncEntries>& CyclicSyncs() const { return cyclicSyncs_; }
    const std::vector<uint16_t>& RemotePollingList() const { return remotePolling_; }
    uint16_t RemotePollingValue() const { return remotePollingValue_; }
    std::size_t HeldResults() const { return held_.size(); }

private:
    struct Upload {
        uint8_t node = 0;
        uint16_t index = 0;
        uint8_t subIndex = 0;
        Bytes data;
        std::size_t sent = 0;   // object bytes already put into segments
        std::size_t extra = 0;  // bytes beyond the size added to the last segment
    };
    struct Held {
        Bytes reply;  // empty while an upload waits for its next-segment request
        unsigned busy = 0;
        std::optional<Upload> upload;
    };
    struct Result {
        Result() = default;
        Result(Bytes r) : reply(std::move(r)) {}  // NOLINT: most handlers return a reply
        Bytes reply;
        std::optional<Upload> upload;
        bool none = false;  // nothing to hold
    };
    using HeldKey = std::pair<uint8_t, uint16_t>;

    void HandleFrame(std::span<const uint8_t> frame, ModuleOutput& out);
    void HandleResultRequest(std::span<const uint8_t> payload, ModuleOutput& out);
    void HandleCommand(uint8_t command, std::span<const uint8_t> payload, ModuleOutput& out);
    Result Run(uint8_t command, uint16_t key, PayloadReader& r, ModuleOutput& out);
    Bytes BuildEventReply();
    void QueueEvent(EventKind kind, Bytes item);

    Result RunNodeManagement(uint8_t command, uint16_t key, PayloadReader& r);
    Result RunNmt(uint8_t command, uint16_t key, PayloadReader& r);
    Result RunSdo(uint8_t command, uint16_t key, PayloadReader& r);
    Result RunPdoConfig(uint8_t command, uint16_t key, PayloadReader& r);
    Result RunPdoData(uint8_t command, uint16_t key, PayloadReader& r);
    Result RunSyncEmcy(uint8_t command, uint16_t key, PayloadReader& r);
    Result RunMasterSide(uint8_t command, PayloadReader& r);

    Bytes SdoAbortReply(uint8_t command, uint8_t node, uint16_t index, uint8_t sub, SdoAbort code) const;
    Bytes UploadFrame(Upload& upload, bool first) const;
    void AdvanceUpload(uint8_t node, ModuleOutput& out);
    void ResetNode(SimNode& node);
    // A reset node takes its initial object values back: all of them, or those
    // of the communication area only.
    static void RestoreValues(SimNode& node, bool communicationOnly);
    // `emptyEntriesMapNothing`: an installed PDO's entries of 0 in use are
    // accepted as mapping nothing (changes of single entries refuse them).
    bool MappingFits(const PdoRecord& pdo, bool emptyEntriesMapNothing = false) const;
    Bytes MappedData(const PdoRecord& pdo) const;
    void WriteMappedData(const PdoRecord& pdo, std::span<const uint8_t> data);
    void RunSync(uint16_t cobId);
    void SendChangedPdos(const SimNode& node, uint16_t index, uint8_t subIndex);
    bool SendsEvents(const PdoRecord& pdo) const;
    void WritePdoObjects(const PdoRecord& pdo);
    void RemovePdosOf(uint8_t node);
    std::optional<CommandPlan> TakePlan(uint8_t command, uint16_t key);

    ModuleOptions options_;
    Bytes input_;
    Clock::time_point lastInput_{};
    bool masterStarted_ = false;
    uint8_t masterNodeId_ = 0;
    uint8_t masterInitParam_ = 0;
    uint8_t masterMode_ = 0;
    Bytes canStatus_ = {0, 0, 0, 0};
    std::map<uint8_t, SimNode> nodes_;
    std::map<uint16_t, PdoRecord> pdos_;
    struct CacheEntry {
        Bytes data;
        bool read = false;
    };
    std::map<uint16_t, CacheEntry> pdoCache_;
    std::array<CyclicSync, kCyclicSyncEntries> cyclicSyncs_{};
    std::vector<uint16_t> remotePolling_;
    uint16_t remotePollingValue_ = 0;
    std::map<HeldKey, Held> held_;
    std::map<std::pair<uint8_t, int>, CommandPlan> plans_;
    std::size_t extraSegmentBytes_ = 0;
    std::array<std::deque<Bytes>, kEventKinds> events_;
    std::multiset<std::pair<uint16_t, uint8_t>> openSdoReads_;
    std::multiset<std::pair<uint16_t, uint8_t>> openSdoWrites_;
    std::multiset<uint16_t> openRemotePdos_;
    std::vector<MasterAnswer> masterAnswers_;
};

}  // namespace vexsim
