// The board a command runs on: a started master on one slot, on a serial port
// or on the built-in simulator.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vexsim {
class Simulator;
}

namespace vexantool {

class TraceRelay;

struct SessionOptions {
    std::string port;
    unsigned baud = 115200;
    bool sim = false;
    std::vector<std::string> simEds;  // FILE[@ID]
    unsigned slot = 0;
    unsigned masterId = 1;
    unsigned timeoutMs = 0;  // 0: the board's default
    bool trace = false;
};

// A started master on one slot. Open() reports the reason on failure.
class Session {
public:
    Session();
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    bool Open(const SessionOptions& options, std::string& error);
    void Close();
    bool IsOpen() const { return open_; }
    uint8_t Slot() const { return static_cast<uint8_t>(options_.slot); }
    const SessionOptions& Options() const { return options_; }
    vexsim::Simulator* Sim() { return sim_.get(); }

private:
    SessionOptions options_;
    std::unique_ptr<vexsim::Simulator> sim_;
    std::unique_ptr<TraceRelay> relay_;
    int deviceFd_ = -1;
    bool open_ = false;
};

// Starts the master on `slot`, blocking. A start that ends with
// VEXAN_NOT_IDENTIFIED (the module
// did not identify itself within the library's short window: a module still
// booting, or a simulator on a busy machine) is tried a few more times.
uint16_t StartMaster(uint8_t slot, int fd, uint8_t masterId);

// Adds "FILE[@ID]" nodes (default devices 5 and 6 when the list is empty) to a
// simulator that is not started yet; false with the reason on failure.
bool AddSimNodes(vexsim::Simulator& sim, const std::vector<std::string>& specs, std::string& error);

}  // namespace vexantool
