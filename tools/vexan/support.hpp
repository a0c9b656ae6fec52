// Shared pieces of the vexan tool: naming results, SDO abort codes and EMCY
// error codes, a small JSON writer, the frame trace between the library and the
// device, and the session that opens a board on a serial port or a simulator.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace vexsim {
class Simulator;
}

namespace vexantool {

// "timeout (35)", "ok (0)", or "module status (18)" for the module's own codes.
std::string ResultText(unsigned code);
// "VEXAN_TIMEOUT", or "" for a module status.
std::string ResultName(unsigned code);
// Meaning of a CiA 301 SDO abort code, or "unknown abort code".
std::string AbortMeaning(uint32_t code);
// Meaning of a CiA 301 emergency error code (by its class where not listed).
std::string EmcyMeaning(uint16_t code);
std::string Hex(uint64_t value, int digits);
std::string HexBytes(std::span<const uint8_t> bytes, const char* separator = " ");
bool ParseHexBytes(const std::string& text, std::vector<uint8_t>& out);
bool StdoutIsTerminal();
bool StderrIsTerminal();

// One JSON object built field by field: {"a":1,"b":"x"}.
class Json {
public:
    Json& Str(const std::string& key, const std::string& value);
    Json& Num(const std::string& key, long long value);
    // The number, and beside it "<key>_hex" as "0x1018" (`digits` hex digits at least).
    Json& Hex(const std::string& key, uint64_t value, int digits);
    Json& Bool(const std::string& key, bool value);
    Json& Raw(const std::string& key, const std::string& json);  // value already JSON
    Json& Result(unsigned code);                                 // "result":{"code":..,"name":..}
    std::string Text() const { return "{" + body_ + "}"; }
    static std::string Quote(const std::string& text);

private:
    void Key(const std::string& key);
    std::string body_;
};
std::string JsonArray(const std::vector<std::string>& items);

// Decodes the frames of one direction of the line into one line each.
class FrameDecoder {
public:
    explicit FrameDecoder(bool fromModule) : fromModule_(fromModule) {}
    // Takes the bytes as they come; hands each complete frame's description out.
    void Feed(std::span<const uint8_t> bytes, const std::function<void(const std::string&)>& line);
    static std::string Describe(std::span<const uint8_t> frame, bool fromModule);

private:
    bool fromModule_;
    std::vector<uint8_t> pending_;
};

// Puts a pseudo-terminal between the library and the device: the library gets
// LibraryFd(); every byte is passed on unchanged and every frame printed to
// stderr, timestamped, "<-" from the library and "->" from the module.
class TraceRelay {
public:
    TraceRelay(int deviceFd, std::string label);
    ~TraceRelay();
    TraceRelay(const TraceRelay&) = delete;
    TraceRelay& operator=(const TraceRelay&) = delete;
    int LibraryFd() const { return libraryFd_; }

private:
    void Run();
    void Drain();
    void Print(const std::string& direction, const std::string& text);

    int deviceFd_;
    std::string label_;
    int controllerFd_ = -1;
    int libraryFd_ = -1;
    int wake_[2] = {-1, -1};
    std::thread thread_;
    std::chrono::steady_clock::time_point start_;
    FrameDecoder toModule_{false};
    FrameDecoder fromModule_{true};
};

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

// Starts the master on `slot`, blocking. A start that ends with 3 (the module
// did not identify itself within the library's short window: a module still
// booting, or a simulator on a busy machine) is tried a few more times.
uint16_t StartMaster(uint8_t slot, int fd, uint8_t masterId);

// Opens a serial device in raw mode at the given speed; -1 with errno set.
int OpenSerial(const std::string& path, unsigned baud, std::string& error);

// Adds "FILE[@ID]" nodes (default devices 5 and 6 when the list is empty) to a
// simulator that is not started yet; false with the reason on failure.
bool AddSimNodes(vexsim::Simulator& sim, const std::vector<std::string>& specs, std::string& error);

}  // namespace vexantool
