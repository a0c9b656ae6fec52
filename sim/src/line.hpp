// The simulator's serial line: the module's end, which the simulator's thread
// reads and writes without ever blocking, and a wake-up for that thread. One
// source file per platform implements it (the build picks it): a
// pseudo-terminal or serial device on POSIX, a named pipe on Windows.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "vexan_sim/line_port.hpp"

namespace vexsim {

class Line {
public:
    // A line of the simulator's own; LibraryPath() names the library's end,
    // which stays usable across the library's opens and closes. Throws
    // std::runtime_error when it cannot be opened.
    static std::unique_ptr<Line> OpenNew();
    // A serial device at `baud` (0: as it is set).
    static std::unique_ptr<Line> OpenDevice(const std::string& path, unsigned baud);
    ~Line();
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    const std::string& LibraryPath() const { return path_; }
    // A new port on the library's end, raw; kNoLinePort on failure or on a device.
    LinePort OpenLibraryEnd() const;

    enum class Ready { Nothing, Readable, Failed };
    // Waits until bytes can be read, room to write appears (wantWrite), Wake()
    // is called or the timeout passes. Readable: Read() has something to say
    // (bytes or a failure); Failed: the wait itself failed.
    Ready Wait(std::chrono::milliseconds timeout, bool wantWrite);
    // From any thread: ends the current Wait() early.
    void Wake();
    // The count read, 0 when nothing is there, -1 when the line failed.
    long Read(uint8_t* buffer, std::size_t size);
    // The count the line took (0: no room now, wait with wantWrite), -1 when
    // the line failed.
    long Write(const uint8_t* bytes, std::size_t count);

private:
    struct State;
    explicit Line(std::unique_ptr<State> state, std::string path);

    std::unique_ptr<State> state_;
    std::string path_;
    bool device_ = false;
};

}  // namespace vexsim
