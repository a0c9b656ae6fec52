// The line between the scripted module peer and the library, and the few
// operations a test needs on the library's end of it. One source file per
// platform implements it (chosen by the build): a raw pseudo-terminal pair on
// POSIX, a duplex byte-mode named pipe on Windows.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "vexan.h"

namespace vexan::test {

// Both ends of one line. The peer's end is read by one thread and written by
// another at the same time; the library's end is handed out as a VexanPort and
// behaves as the library expects of a port: blocking, raw bytes.
class PeerLine {
public:
    // Opens a new line; throws std::system_error when that fails.
    PeerLine();
    ~PeerLine();
    PeerLine(const PeerLine&) = delete;
    PeerLine& operator=(const PeerLine&) = delete;

    VexanPort LibraryPort() const;

    // Waits up to `sliceMs` for bytes from the library and reads what has come,
    // at most `size`: the count read, 0 when nothing came, -1 when the line
    // failed (the caller pauses before it asks again).
    long Read(uint8_t* buffer, size_t size, int sliceMs);

    // Writes every byte to the library, waiting for room while the library
    // reads nothing; false when `stop` turned true first or the line failed.
    bool WriteAll(const uint8_t* bytes, size_t count, const std::atomic<bool>& stop);

    // Closes the peer's end: the library's reads and writes then fail. Only
    // when no thread reads or writes it any more.
    void ClosePeerEnd();
    // Closes the library's end.
    void CloseLibraryEnd();

private:
    struct Ends;
    std::unique_ptr<Ends> ends_;
};

// The library's end used by hand, the way the library uses it.
namespace port {

// Writes all bytes; false when the line failed.
bool WriteAll(VexanPort port, const uint8_t* bytes, size_t count);
// Waits until bytes wait to be read or `limit` passes: how many wait (0 none,
// also when the line failed).
size_t WaitForBytes(VexanPort port, std::chrono::milliseconds limit);
// Reads up to `size` bytes that wait: the count read, or -1 on failure.
long Read(VexanPort port, uint8_t* buffer, size_t size);
// Whether the port blocks in reads and writes (the library expects it to).
bool IsBlocking(VexanPort port);
void Close(VexanPort port);

}  // namespace port

}  // namespace vexan::test
