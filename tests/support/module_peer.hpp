// A scripted module on a real line (a pseudo-terminal on POSIX, a named pipe on
// Windows), for byte-exact tests of the library's link. The library opens one
// end (LibraryPort()); the peer owns the other end in raw mode, records every
// byte the library writes, answers the identification request and answers each
// result request from a script.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "test_wait.hpp"
#include "vexan.h"

namespace vexan::test {

using Bytes = std::vector<uint8_t>;

// One frame the library wrote: the identification request ('$' '0' '0' 'M' 0)
// has command 0 and isIdentification set; a module frame has its command byte
// and payload (the bytes after the command byte).
struct WrittenFrame {
    bool isIdentification = false;
    uint8_t command = 0;
    Bytes payload{};
    Bytes raw{};  // every byte of the frame as written
};

// How the peer sends one reply. Every member has a default, so that a brace
// list may name only the first few (Reply{bytes}, Reply{bytes, {}, 5, 100}).
struct Reply {
    Bytes bytes{};                 // whole frame(s), ':' and length byte included
    std::vector<size_t> splits{};  // byte offsets where the write is cut; a pause of splitGapMs between pieces
    unsigned splitGapMs = 5;
    unsigned delayMs = 0;   // wait before the first byte
    Bytes garbageBefore{};  // bytes written right before the reply (e.g. "\r\n", stray bytes)
    bool never = false;     // swallow the request: send nothing
};

// Frame builders (independent of the library's own code).
Bytes Frame(uint8_t command, const Bytes& payload);  // ':' len command payload
// Node/master-class status reply: cmd|0x80, key, 0, status (length 4).
Bytes NodeStatus(uint8_t command, uint8_t key, uint8_t status);
// Node-class data reply: cmd, key, 0, data.
Bytes NodeData(uint8_t command, uint8_t key, const Bytes& data);
// PDO-class status reply: cmd|0x80, cobLo, cobHi, 0, status (length 5).
Bytes PdoStatus(uint8_t command, uint16_t cobId, uint8_t status);
// PDO-class data reply: cmd, cobLo, cobHi, 0, data.
Bytes PdoData(uint8_t command, uint16_t cobId, const Bytes& data);
// Event reply: 64, 0, 0, flags, items (already laid out in bit order).
Bytes EventReply(uint8_t flags, const Bytes& items);
// SDO upload segment of command 16: 16, node, 0, code (0x41 first / 0x00 further),
// index lo/hi, sub, total (u32 LE), chunk.
Bytes UploadSegment(uint8_t node, bool first, uint16_t index, uint8_t sub, uint32_t total, const Bytes& chunk);

enum class IdentMode {
    Correct,        // "!00VexanW" in one write
    CorrectWithCR,  // "!00VexanW\r"
    Split,          // correct reply in two writes (after byte identSplitAt), identSplitGapMs apart
    Late,           // correct reply after identDelayMs
    Wrong,          // "!00VexanX"
    Silent,         // no answer
};

class ModulePeer {
public:
    ModulePeer();
    ~ModulePeer();
    ModulePeer(const ModulePeer&) = delete;
    ModulePeer& operator=(const ModulePeer&) = delete;

    // The port to hand to Vexan_InitMaster.
    VexanPort LibraryPort() const;

    // delayOrGapMs is the delay for Late and the gap for Split; 0 picks one that
    // the library's identification cannot bridge (100 ms for Late, 40 ms for Split).
    void SetIdentMode(IdentMode mode, unsigned delayOrGapMs = 0, size_t splitAt = 4);

    // Answer to the start command: each result request for (2, key) is answered
    // with status 0 unless a script says otherwise. Set false to leave command 2
    // to the scripts like any other command.
    void SetAutoAcceptStart(bool on);

    // Scripts: each result request for (command, key) takes the next reply queued
    // for it; with none queued, the default reply for that command is used when
    // set, otherwise the request gets no answer.
    void Queue(uint8_t command, uint16_t key, Reply reply);
    void SetDefault(uint8_t command, std::function<Reply(uint16_t key)> make);

    // Event polls (':' 1 '@'): each takes the next queued event reply; with none
    // queued, the poll gets no answer unless SetAnswerIdlePolls(true), which makes
    // the peer answer with an empty event reply (flags 0).
    void QueueEvent(Reply reply);
    void SetAnswerIdlePolls(bool on);

    // Writes bytes to the library unasked.
    void Send(const Reply& reply);

    // What the library wrote.
    Bytes Written() const;
    std::vector<WrittenFrame> Frames() const;
    // Frames other than event polls, in order.
    std::vector<WrittenFrame> FramesExceptPolls() const;
    size_t CountFrames(uint8_t command) const;
    size_t CountResultRequests(uint8_t command, uint16_t key) const;
    void ClearRecord();

    // Waits until pred(Frames()) holds or the limit passes; returns whether it held.
    bool WaitUntil(const std::function<bool(const std::vector<WrittenFrame>&)>& pred,
                   std::chrono::milliseconds limit = kWaitLimit) const;
    bool WaitForFrames(uint8_t command, size_t count, std::chrono::milliseconds limit = kWaitLimit) const;

    // Closes the peer side now (the library's reads then fail or see nothing).
    void Close();

private:
    // implementation detail; see module_peer.cpp
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vexan::test
