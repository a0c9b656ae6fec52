// The module simulator on a serial line, as an in-process fixture for tests and
// as the engine of the vexan-sim program.
//
// Start() opens a line of its own (a pseudo-terminal on POSIX, a named pipe on
// Windows) or the serial device of the options, and runs the module on its own
// thread; the library opens LibraryPath() (or takes a port from
// OpenLibraryEnd()). Every setter may be called while the thread
// runs.
//
// How the simulated module answers:
// - Identification: the 5-byte request "$00M\0" is answered at once with
//   "!00VexanW" (SetIdentification: with a carriage return, wrong, late, split,
//   or not at all).
// - Every command with a result is executed when it arrives and its reply is held
//   per (command, key) until a result request (command 0x60) asks for it; the
//   key is the one the library polls (node id, the master's node id, 0, or the
//   COB-ID; master-class commands have one record per command). A newer command
//   with the same key replaces a held result. A result request for a (command,
//   key) with no held result gets NO answer at all (the library then times out).
//   SetBusy makes the next such command answer "still in progress" (status 40)
//   to its first n result requests; SetFailure makes it answer a chosen status
//   without being executed.
// - No result is held for: stop (3), the master's boot-up message (73: sent on
//   the bus, nothing filed), the next-segment request (34), and the fast forms
//   of PDO write and remote request (last byte 1). The event poll (64) is
//   answered at once, without a result request.
// - Before the master is started (command 2) every other command's result is
//   status 17. Module status codes: 0 done, 17 master not started, 18 no such
//   node, 19 payload length does not fit the command, 20 no PDO with that COB-ID
//   (or not of the needed direction), 21 an answer or segment request with
//   nothing open, 23 the node did not answer, 24 bad parameter (range, conflict,
//   table full), 26 unknown command, 27 PDO mapping refused (below), 40 in
//   progress.
// - Master: 2 starts it (node id above 127: 24) and forgets held results; 3 stops
//   it; 5 answers the firmware version, two bytes low first (default 0x0102);
//   6/7 set and read the mode byte; 39 answers 4 bytes: controller state (0 error
//   active), transmit error counter, receive error counter, overrun count (all
//   0 unless set with SetCanStatus).
// - Nodes: those given at start-up are on the bus and in the master's list, in
//   pre-operational. 8 (scan) answers [count, ids...] of the nodes answering on
//   the bus; 9 (node list) answers [count, ids...] of the listed nodes. 10 lists a
//   node that is on the bus (otherwise 18, unless auto-creation of default
//   devices is on), resets it to pre-operational and queues its boot-up event;
//   11 and 41 unlist it (18 when not listed) and drop its PDOs, 41 also resets it
//   (boot-up event). 12, 13, 42 store their values (13: the first time is
//   written to the node's 0x1017).
// - Monitoring: a listed node set up for heartbeat (13: the second time is the
//   master's consumer time; when it is 0, the first) or node guarding (12:
//   guard time x life time factor; heartbeat wins when both are set up) that
//   falls silent (SetNodeSilent, control "silent N on") is reported once, as
//   an NMT-error event with code kNmtErrorHeartbeat (2) or kNmtErrorGuarding
//   (1), when that time has passed since it fell silent or since the set-up,
//   whichever came later. Answering again and falling silent anew reports
//   again.
// - Resets restore object values: NMT reset node (129) and 41 give the node
//   back every value it was put on the bus with (PutObject counts as such),
//   reset communication (130) those of 0x1000..0x1FFF. The master's own
//   settings (PDOs, SYNC and EMCY COB-IDs, monitoring) are kept.
// - NMT: 14 takes the CiA 301 command specifiers 1 start, 2 stop, 128 enter
//   pre-operational, 129/130 reset (pre-operational, boot-up event); others: 24.
//   Node 0 addresses every listed node. 15 answers one byte, the CiA 301
//   heartbeat state: 0 initialising, 4 stopped, 5 operational, 127
//   pre-operational; a silent node: 23.
// - SDO: objects of 1..4 bytes are uploaded expedited (0x4F/0x4B/0x47/0x43,
//   exactly the object's bytes, no padding); others (also empty ones) segmented:
//   the first 0x41 frame carries index, sub-index, size and the first chunk; each
//   next-segment request (34) makes the next 0x00 chunk available to the next
//   result request, each delivered once; a result request with no chunk ready
//   gets status 40. A node that is absent, silent, stopped or initialising
//   aborts with 0x05040000; missing object 0x06020000, missing sub-index
//   0x06090011, read of a write-only object 0x06010001, write to a read-only or
//   constant object 0x06010002, wrong length for a fixed-size type 0x06070010.
//   A download answers 0x60, index, sub-index with no data. 18 ends an open
//   upload of the node: the held read result becomes the abort (0x80, index,
//   sub-index, the given code); 18 itself answers status 0.
// - PDO: 19 takes transmission type, inhibit time, event timer and mapping from
//   the node's 0x1400/0x1800 and 0x1600/0x1A00 objects; 28 takes them from the
//   frame. The master's settings are mirrored into those objects where they
//   exist. A COB-ID used by another PDO: 24. 21/22 answer the COB-IDs in PDO
//   number order. 51: first byte the mapping position 1..8 to set (0 clears all),
//   second byte the entries in use afterwards, value the mapping entry. 55's map
//   fields: PDO number (u16), direction (u8), transmission type (u8), event
//   timer (u16), then the entries in use. 48 needs an installed RxPDO (else 20)
//   and updates the mapped objects only while the node is operational; 49 needs
//   a TxPDO of an operational node (else 20 / 23), answers its mapped data and
//   caches it. Mappings are checked against the node's dictionary as a
//   device checks writes to its mapping objects: 19, 28, 51 and 52 answer 27
//   and change nothing when an entry in use (for 51 also the entry written,
//   in use or not) names an object the node does not have, one whose EDS
//   PDOMapping is 0, or gives a bit length other than the object's size (a
//   boolean may also be mapped as 1 bit), or when the entries in use add up to
//   more than 64 bits. When a PDO is installed (19, 28), an empty entry
//   (0x00000000) in use maps nothing and is accepted, as real device files
//   count such entries in their default mappings. An RxPDO may map the basic data types 0x0001..0x0007
//   (sub-index 0, their own size) as gaps. Cache (56, 36): flag 255 when nothing was received, else 0 for
//   data not read before and 1 for data read before. 35 stores its list and
//   value only. A SYNC makes operational nodes with that SYNC COB-ID send their
//   TxPDOs of transmission types 0..240 (every n-th SYNC), which are cached.
//   Event-driven TxPDOs (254, 255) of operational nodes are cached when an SDO
//   download changes a mapped object and every event-timer period.
// - SYNC/EMCY: 57's 16-bit value is a cycle period in ms (0: one SYNC now, and
//   any cycle on that COB-ID ends); the 32-bit value is stored only; five cyclic
//   entries (a sixth: 24), reported by 32. 23/30 and 24/31 store the COB-ID and
//   mirror it into 0x1005/0x1014. 27 answers [255] with no EMCY recorded, else
//   [flag, 8 bytes], flag 0 not read before, 1 read before.
// - Events (64): one item per kind per reply, in bit order 0x40..0x01; bytes 1-2
//   of the reply hold the number of events still queued after it (u16). Master-
//   side SDO reads and writes and remote PDO requests stay open until answered
//   by 65 / 66 (status 0); an answer to nothing open: 21. The ReadSDO item's
//   command byte is 0x40, the WriteSDO item's the CiA 301 expedited download
//   request for its size.
// - Framing: bytes outside frames are skipped up to the next ':' (or the start
//   of an identification request); an unfinished frame is dropped when the next
//   bytes come more than 500 ms later (ModuleOptions::frameTimeoutMs).
// - Line speed (SetBaud): the line runs at 10 bits per byte at that rate in
//   both directions, each on its own (full duplex): replies leave at that
//   pace, and the library's bytes reach the module only as fast as the line
//   carries them, however fast they were written; a frame is executed when its
//   last byte has come in.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "vexan_sim/line_port.hpp"
#include "vexan_sim/module.hpp"

namespace vexsim {

class Line;

// The replies a drop fault applies to: those of one command (nullopt: any
// reply, event-poll answers included) and of one key of it (nullopt: any key).
// The key is the one the library's reply record is chosen by: the node id,
// the master's node id or 0 for node-class commands, the COB-ID for PDO-class
// ones, 0 for master-class commands and the event poll.
struct DropTarget {
    std::optional<uint8_t> command;
    std::optional<uint16_t> key;

    bool Matches(uint8_t replyCommand, uint16_t replyKey) const
    {
        return (!command || *command == replyCommand) && (!key || *key == replyKey);
    }
};

// Faults applied to the module's replies (not to the identification reply).
struct FaultSettings {
    unsigned dropNext = 0;             // the next n replies (of the drop target) are not sent
    DropTarget dropTarget;             // whose replies dropNext drops: any by default
    unsigned delayMs = 0;              // every reply waits this long before its first byte
    std::vector<std::size_t> splitAt;  // cut every reply at these byte offsets
    bool splitRandom = false;          // cut every reply at 1..3 random offsets
    unsigned splitGapMs = 3;           // pause between the pieces of a cut reply
    bool garbage = false;              // 1..4 random bytes (never ':') before every reply
    unsigned wrongLengthNext = 0;      // the next n replies carry a length byte one too large
};

enum class IdentBehaviour { Correct, CorrectWithCR, Wrong, Silent };

struct IdentSettings {
    IdentBehaviour behaviour = IdentBehaviour::Correct;
    unsigned delayMs = 0;
    std::optional<std::size_t> splitAt;  // reply written in two pieces
    unsigned splitGapMs = 30;
};

struct SimulatorOptions {
    ModuleOptions module;
    std::string device;            // a serial device to use; empty: a new pseudo-terminal
    unsigned baud = 0;             // line speed of the replies; 0: as fast as the line takes them
    bool traceEventPolls = false;  // trace event polls that report nothing
    uint32_t randomSeed = 1;
};

class Simulator {
public:
    explicit Simulator(SimulatorOptions options = {});
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Opens the line and starts the module's thread; throws std::runtime_error
    // when the line cannot be opened.
    void Start();
    void Stop();
    // The path the library opens: the pseudo-terminal's slave side, the pipe's
    // name, or the device.
    const std::string& LibraryPath() const { return path_; }
    // A new port on the library's end in raw mode; the caller closes it
    // (CloseLinePort). kNoLinePort on failure or when running on a device.
    LinePort OpenLibraryEnd() const;

    // Direct access to the module, under the simulator's lock.
    template <class F>
    auto WithModule(F&& f)
    {
        std::lock_guard lock(mutex_);
        return f(module_);
    }

    // ---- nodes
    void AddDefaultNode(uint8_t id, bool listed = true, bool announce = true);
    // false, with the reason in *error, when the EDS file does not load.
    bool AddEdsNode(uint8_t id, const std::string& path, std::string* error = nullptr, bool listed = true,
                    bool announce = true);
    bool RemoveNode(uint8_t id);
    bool SetNodeSilent(uint8_t id, bool silent);
    void PutObject(uint8_t node, ObjectEntry entry);
    std::optional<Bytes> ReadObject(uint8_t node, uint16_t index, uint8_t subIndex);

    // ---- events for the next event polls
    void InjectBootup(uint8_t node);
    void InjectEmcy(uint8_t node, const std::array<uint8_t, 8>& data);
    void InjectNmtError(uint8_t node, uint8_t code);
    void InjectMasterSdoRead(uint16_t index, uint8_t subIndex);
    bool InjectMasterSdoWrite(uint16_t index, uint8_t subIndex, const Bytes& data);
    void InjectRemotePdo(uint16_t cobId);
    bool InjectRxPdo(uint16_t cobId, const Bytes& data);
    // A PDO sent by a node on the bus: cached as received.
    void InjectNodePdo(uint16_t cobId, const Bytes& data);

    // ---- how commands are answered; key nullopt: any key
    void SetBusy(uint8_t command, std::optional<uint16_t> key, unsigned times, int uses = 1);
    void SetFailure(uint8_t command, std::optional<uint16_t> key, uint8_t status, int uses = 1);
    void ClearCommandPlans();

    // ---- faults and line
    void SetFaults(FaultSettings faults);
    FaultSettings Faults() const;
    void ClearFaults() { SetFaults(FaultSettings{}); }
    // Drops the next `count` replies of the target; replies of other commands
    // or keys go out as usual. A test that loses a reply names the one it
    // means, so that an event-poll answer or another request's reply cannot
    // take its place.
    void DropReplies(unsigned count, DropTarget target = {});
    void DelayReplies(unsigned ms);
    void SplitReplies(std::vector<std::size_t> positions);
    void SplitRepliesRandomly(bool on);
    void SetGarbage(bool on);
    void SendWrongLength(unsigned count);
    void SendExtraSegmentBytes(std::size_t count);
    void SetIdentification(IdentSettings ident);
    void SetBaud(unsigned baud);
    void SetSdoChunk(std::size_t chunk);

    // ---- trace: one decoded line per frame, "<-" from the library, "->" to it
    void SetTraceSink(std::function<void(const std::string&)> sink);
    std::vector<std::string> Trace() const;
    void ClearTrace();
    // Waits until a trace line contains needle; false after the timeout.
    bool WaitForTrace(std::string_view needle, std::chrono::milliseconds timeout) const;
    // Number of bytes the library has written so far.
    std::size_t BytesReceived() const { return bytesReceived_.load(); }
    // Number of bytes the module has written to the library so far.
    std::size_t BytesSent() const { return bytesSent_.load(); }

private:
    struct Piece {
        Clock::time_point due;
        Bytes bytes;
    };

    void Run();
    void ReadLine(Clock::time_point now);
    void DeliverDue(Clock::time_point now);  // hands the bytes the line has carried to the module
    void WriteDue(Clock::time_point now);
    std::chrono::nanoseconds ByteTime() const;  // 0 without a line rate
    // When the next bytes for the library can go out, if any wait.
    std::optional<Clock::time_point> NextWrite(std::chrono::nanoseconds byteTime) const;
    void Schedule(Outgoing reply, Clock::time_point now);  // under mutex_
    void AddTrace(std::string line);                       // under mutex_
    bool IsQuietEventTraffic(const Bytes& frame, bool fromModule) const;
    void Wake();

    SimulatorOptions options_;
    mutable std::mutex mutex_;
    mutable std::condition_variable traceChanged_;
    Module module_;
    FaultSettings faults_;
    IdentSettings ident_;
    unsigned baud_ = 0;
    std::mt19937 random_;
    std::deque<std::string> trace_;
    std::function<void(const std::string&)> traceSink_;
    std::deque<Piece> pieces_;  // owned by the thread
    struct InByte {
        Clock::time_point due;  // when the line has carried it in
        uint8_t byte = 0;
    };
    std::deque<InByte> incoming_;      // owned by the thread
    Clock::time_point receiveBusy_{};  // end of the last incoming byte's time on the line
    Clock::time_point lastDue_{};
    Clock::time_point transmitFree_{};  // end of the last outgoing byte's time on the line
    std::atomic<std::size_t> bytesReceived_{0};
    std::atomic<std::size_t> bytesSent_{0};

    std::string path_;
    std::unique_ptr<Line> line_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace vexsim
