// The board-owning core of `vexan serve`: opens the boards (serial ports or
// simulators, as the tool's other commands do), starts their masters, runs
// library calls for any number of front doors (the ASCII gateway, the HTTP
// dashboard), keeps what has been seen of each board and node, holds the
// device models attached to nodes, and hands events to every subscriber.
//
// Threads: every method may be called from any thread once Start() has
// returned true and until Stop(). Calls that the library allows to run side
// by side do so: a request is serialised only with requests that share its
// library request record (same board, same command family, same key), so two
// nodes' SDO transfers, or two boards' anything, never wait for each other.
// All SDO transfers of one node (upload and download) share one lock, because
// a node serves one SDO transfer at a time.
//
// Nets are the gateway's numbering: net N is the board on slot N-1 (1..8).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "device_model.hpp"
#include "session.hpp"

namespace vexantool::serve {

inline constexpr unsigned kMaxBoards = 8;
inline constexpr unsigned kMaxNode = 127;

// One board to open: the tool's session options (port or --sim, slot, master
// id, time-out, trace).
struct BoardSpec {
    SessionOptions session;
};

struct HostOptions {
    std::vector<BoardSpec> boards;
    // Where large SDO uploads spill (the library writes them into the current
    // directory, so the host makes this its working directory). "": a private
    // directory under $XDG_RUNTIME_DIR or /tmp, removed at Stop().
    std::string spillDir;
    // Install the callbacks of other masters' requests (read/write SDO, Rx
    // PDO, remote PDO) and publish them as events. They are not answered.
    bool watchMasterRequests = false;
};

// Result of a library call: the library's or the module's code, and for
// VEXAN_SDO_ABORTED the node's abort code.
struct CallResult {
    uint16_t code = 0;
    uint32_t abortCode = 0;
    bool Ok() const { return code == 0; }
};

// CiA 301 heartbeat states, as the module reports them.
enum class NmtState : uint8_t {
    Initialising = 0,
    Stopped = 4,
    Operational = 5,
    PreOperational = 127,
};
// "initialising", "stopped", "operational", "pre-operational", or "unknown".
const char* NmtStateName(std::optional<uint8_t> state);

// NMT commands by their CiA 301 command specifier.
enum class NmtCommand : uint8_t {
    Start = 1,
    Stop = 2,
    EnterPreOperational = 128,
    ResetNode = 129,
    ResetCommunication = 130,
};

struct Event {
    enum class Kind : uint8_t {
        BootUp,           // node booted
        Emcy,             // node sent an emergency message (data: its 8 bytes)
        NmtError,         // the master detected a monitoring failure (code)
        StateChange,      // the host saw a node's NMT state change (oldState, newState)
        MasterSdoRead,    // another master reads index/subIndex of the module
        MasterSdoWrite,   // another master writes index/subIndex (data, length)
        MasterRxPdo,      // another master sent PDO cobId (data, length)
        MasterRemotePdo,  // another master asked for PDO cobId
    };
    uint64_t sequence = 0;  // rises by one per event published, from 1
    std::chrono::system_clock::time_point time;
    Kind kind = Kind::BootUp;
    unsigned net = 0;  // 1..8
    uint8_t node = 0;
    uint8_t code = 0;                 // NmtError
    std::optional<uint8_t> oldState;  // StateChange (nullopt: not known before)
    uint8_t newState = 0;             // StateChange
    uint16_t cobId = 0;               // MasterRxPdo, MasterRemotePdo
    uint16_t index = 0;               // MasterSdoRead/Write
    uint8_t subIndex = 0;             // MasterSdoRead/Write
    uint8_t length = 0;               // bytes of data in use
    std::array<uint8_t, 8> data{};    // Emcy (8), MasterSdoWrite, MasterRxPdo
};
const char* EventKindName(Event::Kind kind);  // "boot-up", "emcy", ...

// A subscriber's queue of events. Every event published after Subscribe()
// reaches every subscription in order. A subscriber that falls more than its
// capacity behind loses the oldest of its own events, never silently:
// Dropped() counts them (other subscribers are not affected).
class Subscription {
public:
    explicit Subscription(std::size_t capacity) : capacity_(capacity) {}
    // The next event, waiting up to `timeout`; nullopt when none came or the
    // hub was closed.
    std::optional<Event> Next(std::chrono::milliseconds timeout);
    // Every queued event, without waiting.
    std::vector<Event> Drain();
    uint64_t Dropped() const;
    bool Closed() const;

private:
    friend class EventHub;
    void Push(const Event& event);
    void Close();

    const std::size_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Event> queue_;
    uint64_t dropped_ = 0;
    bool closed_ = false;
};

class EventHub {
public:
    static constexpr std::size_t kDefaultCapacity = 4096;
    static constexpr std::size_t kHistory = 256;

    // A new subscription; it ends when the last shared_ptr to it goes.
    std::shared_ptr<Subscription> Subscribe(std::size_t capacity = kDefaultCapacity);
    // Stamps sequence and time (when not set) and hands the event to every
    // subscriber; returns it as stamped.
    Event Publish(Event event);
    // The last kHistory events, oldest first (for a page that opens late).
    std::vector<Event> Recent() const;
    // Wakes every subscriber's Next() for good.
    void Close();

private:
    mutable std::mutex mutex_;
    std::vector<std::weak_ptr<Subscription>> subscribers_;
    std::deque<Event> history_;
    uint64_t sequence_ = 0;
    bool closed_ = false;
};

// What the host knows of a board.
struct BoardInfo {
    unsigned net = 0;  // slot + 1
    unsigned slot = 0;
    unsigned masterId = 0;
    std::string port;  // the device path, or "simulator"
    bool simulated = false;
    std::optional<uint16_t> firmware;  // read at start
    uint32_t timeoutMs = 1000;         // the board's function time-out
};

// What the host has seen of a node (nothing read from the bus by itself).
struct NodeInfo {
    uint8_t node = 0;
    std::optional<uint8_t> nmtState;  // last known CiA 301 state
    std::optional<std::chrono::system_clock::time_point> lastBootUp;
    std::optional<Event> lastEmcy;
    std::optional<Event> lastNmtError;
    bool modelAttached = false;
    std::string deviceName;  // from the attached model's [DeviceInfo] ProductName
};

class BoardHost {
public:
    BoardHost();
    ~BoardHost();  // Stop()
    BoardHost(const BoardHost&) = delete;
    BoardHost& operator=(const BoardHost&) = delete;

    // Opens every board, starts its master, reads its firmware version and
    // installs the event callbacks. false, with the reason of the first board
    // that failed in `error`, when any board cannot start (the others are
    // closed again). One host per process at a time (the library's callbacks
    // carry no context).
    bool Start(const HostOptions& options, std::string& error);
    // Removes the callbacks, shuts every board down, closes the event hub.
    // Front doors must have stopped calling first.
    void Stop();
    // For a quick stop while front doors still run: shuts the boards' masters
    // down, which ends every library call under way at once, and answers
    // every later call with VEXAN_NOT_OPEN. Stop() must still follow, once
    // the front doors have stopped.
    void Interrupt();

    EventHub& Events() { return events_; }

    std::vector<BoardInfo> Boards() const;
    bool HasNet(unsigned net) const;
    // The simulator behind a --sim board (tests), or nullptr.
    vexsim::Simulator* Simulator(unsigned net);

    // Nodes seen on a net: those with any state, event or model, by id.
    std::vector<NodeInfo> Nodes(unsigned net) const;
    std::optional<NodeInfo> Node(unsigned net, uint8_t node) const;

    // ---- device models per (net, node)
    // Loads the file and attaches it; false with the reason on failure (the
    // previous model, if any, stays).
    bool AttachModel(unsigned net, uint8_t node, const std::string& path, std::string& error);
    void DetachModel(unsigned net, uint8_t node);
    std::shared_ptr<const vexan::od::DeviceModel> Model(unsigned net, uint8_t node) const;

    // ---- library calls (blocking); `timeoutMs` 0: the board's time-out
    // SDO upload of any size (large objects through the spill file, which is
    // removed afterwards). On VEXAN_SDO_ABORTED, abortCode is set.
    CallResult SdoRead(unsigned net, uint8_t node, uint16_t index, uint8_t sub, std::vector<uint8_t>& data);
    // SDO download of 1..VEXAN_SDO_MAX_WRITE bytes.
    CallResult SdoWrite(unsigned net, uint8_t node, uint16_t index, uint8_t sub, const std::vector<uint8_t>& data);
    // NMT command to a node (0: every node); records the state it leads to.
    CallResult Nmt(unsigned net, uint8_t node, NmtCommand command);
    // Reads the node's NMT state from the module and records it.
    CallResult NmtState(unsigned net, uint8_t node, uint8_t& state);
    // The module's bus scan and node list: node ids.
    CallResult Scan(unsigned net, std::vector<uint8_t>& nodes);
    CallResult NodeList(unsigned net, std::vector<uint8_t>& nodes);
    // The module's CAN interface state bytes.
    CallResult CanStatus(unsigned net, std::vector<uint8_t>& status);
    // One SYNC on cobId (no cycle).
    CallResult Sync(unsigned net, uint16_t cobId);
    // The module's last recorded EMCY of the node (VEXAN_NOTHING_TO_READ: none).
    CallResult LastEmcy(unsigned net, uint8_t node, std::array<uint8_t, 8>& data);
    // The cached copy of the last PDO cobId received (VEXAN_NOTHING_TO_READ: none).
    CallResult PdoRead(unsigned net, uint16_t cobId, std::vector<uint8_t>& data);
    // Sends PDO cobId with 0..8 bytes.
    CallResult PdoWrite(unsigned net, uint16_t cobId, const std::vector<uint8_t>& data);
    // Configures the node from its EDS file (the library's one-call set-up).
    CallResult EdsLoad(unsigned net, uint8_t node, const std::string& path);
    // The board's function time-out (the library keeps one per board, for
    // every request on it, those already pending included).
    bool SetFunctionTimeout(unsigned net, uint32_t ms);
    uint32_t FunctionTimeout(unsigned net) const;  // 0: no such net

private:
    struct Board;
    struct NodeRecord;

    void RemoveCallbacks();
    Board* FindBoard(unsigned net);
    const Board* FindBoard(unsigned net) const;
    // The lock of one library request record: (family, key) on a board.
    std::mutex& RecordLock(Board& board, unsigned family, unsigned key);
    void SetState(unsigned net, uint8_t node, uint8_t state);
    NodeRecord& Record(Board& board, uint8_t node);  // under nodesMutex_
    void OnEvents(unsigned kinds);                   // reads the library's event queues
    static void BootUpCallback();
    static void EmcyCallback();
    static void NmtErrorCallback();
    static void MasterCallback();

    HostOptions options_;
    std::vector<std::unique_ptr<Board>> boards_;
    mutable std::mutex nodesMutex_;
    EventHub events_;
    std::mutex readMutex_;  // one thread at a time drains the library's queues
    std::string spillDir_;
    bool ownSpillDir_ = false;
    int homeDir_ = -1;  // the working directory before Start(), restored at Stop()
    bool started_ = false;
    std::atomic<bool> interrupted_{false};
};

}  // namespace vexantool::serve
