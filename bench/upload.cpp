// Large SDO uploads, two measures:
//
// 1. Through the library, against a scripted module on a pseudo-terminal that
//    sends an object in segments as the module does (the first segment on the
//    read's result request, each next one on a next-segment request followed
//    by a result request), next to a raw exchange of the same frames over a
//    second pseudo-terminal: write the next-segment request and the result
//    request, read the segment, append its chunk to a file. The ratio of the
//    two times shows what the library's gathering into its spill file costs on
//    top of the line itself.
// 2. Through the library against the module simulator at 115200 baud: the
//    object's throughput and the share of the line's rate (11520 bytes per
//    second at 10 bits per byte) that the bytes of both directions use.
//
// Every file goes to a temporary directory, removed at the end.
//
// Usage: vexan_bench_upload [--quick]   (--quick: smaller objects, for CI)
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.hpp"
#include "vexan.h"
#include "vexan_sim/simulator.hpp"

namespace {

using namespace vexan::bench;
using Clock = std::chrono::steady_clock;

constexpr uint8_t kScriptedSlot = 0;
constexpr uint8_t kSimulatorSlot = 1;
constexpr uint8_t kMasterNodeId = 1;
constexpr uint8_t kNode = 5;
constexpr uint16_t kIndex = 0x2300;
constexpr uint8_t kSubIndex = 0;
constexpr std::size_t kChunk = 128;  // the simulator's chunk, and the scripted module's
constexpr std::size_t kFullScripted = std::size_t{1} << 20;
constexpr std::size_t kQuickScripted = std::size_t{64} << 10;
constexpr std::size_t kFullSimulated = std::size_t{64} << 10;
constexpr std::size_t kQuickSimulated = std::size_t{4} << 10;
constexpr unsigned kBaud = 115200;
constexpr double kLineBytesPerSecond = kBaud / 10.0;
constexpr uint32_t kFunctionTimeoutMs = 600'000;
constexpr double kTargetRatio = 1.5;
constexpr double kTargetShare = 0.90;
constexpr int kResponderCheckMs = 20;

constexpr uint8_t kSdoRead = 0x10;
constexpr uint8_t kNextSegment = 0x22;
constexpr uint8_t kFirstSegment = 0x41;
constexpr uint8_t kFurtherSegment = 0x00;
constexpr uint8_t kBusy = 40;
constexpr std::size_t kSegmentHead = 11;  // frame bytes after ':' and length before the chunk

std::vector<uint8_t> Pattern(std::size_t size)
{
    std::vector<uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>((i * 13 + 5) & 0xFF);
    }
    return bytes;
}

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The module's side of a segmented upload: the read command opens it and
// makes the first segment ready, each next-segment request the next one; a
// result request takes the ready segment, or is answered "in progress".
class ScriptedUpload {
public:
    explicit ScriptedUpload(const std::vector<uint8_t>& object) : object_(object) {}

    bool operator()(std::span<const uint8_t> frame, std::vector<uint8_t>& out)
    {
        const uint8_t command = frame[2];
        if (command == kSdoRead && frame.size() == 7) {
            node_ = frame[3];
            index_ = static_cast<uint16_t>(frame[4] | (frame[5] << 8));
            subIndex_ = frame[6];
            sent_ = 0;
            open_ = true;
            ready_ = true;
            return true;
        }
        if (command == kNextSegment && frame.size() == 4) {
            ready_ = open_ && sent_ > 0 && sent_ < object_.size();
            return true;
        }
        if (command == wire::kResultRequest && frame.size() == 5 && frame[3] == kSdoRead) {
            if (!open_ || !ready_) {
                const std::array<uint8_t, 6> busy{wire::kFrameStart, 4, kSdoRead | wire::kStatusBit,
                                                  frame[4],          0, kBusy};
                out.insert(out.end(), busy.begin(), busy.end());
                return true;
            }
            AppendSegment(out);
            return true;
        }
        return false;
    }

private:
    void AppendSegment(std::vector<uint8_t>& out)
    {
        const std::size_t chunk = std::min(kChunk, object_.size() - sent_);
        const auto size = static_cast<uint32_t>(object_.size());
        out.push_back(wire::kFrameStart);
        out.push_back(static_cast<uint8_t>(kSegmentHead + chunk));  // the length counts command .. chunk
        out.push_back(kSdoRead);
        out.push_back(node_);
        out.push_back(0);
        out.push_back(sent_ == 0 ? kFirstSegment : kFurtherSegment);
        out.push_back(static_cast<uint8_t>(index_));
        out.push_back(static_cast<uint8_t>(index_ >> 8));
        out.push_back(subIndex_);
        for (int shift = 0; shift < 32; shift += 8) {
            out.push_back(static_cast<uint8_t>(size >> shift));
        }
        const auto from = object_.begin() + static_cast<std::ptrdiff_t>(sent_);
        out.insert(out.end(), from, from + static_cast<std::ptrdiff_t>(chunk));
        sent_ += chunk;
        ready_ = false;
        open_ = sent_ < object_.size();
    }

    const std::vector<uint8_t>& object_;
    uint8_t node_ = 0;
    uint16_t index_ = 0;
    uint8_t subIndex_ = 0;
    std::size_t sent_ = 0;
    bool open_ = false;
    bool ready_ = false;
};

void WriteFrame(int port, std::span<const uint8_t> frame)
{
    ssize_t put = -1;
    do {
        put = ::write(port, frame.data(), frame.size());
    } while (put < 0 && errno == EINTR);
    if (put != static_cast<ssize_t>(frame.size())) {
        Fail("raw write");
    }
}

// Reads whole frames from a line, keeping what came beyond the last one.
class FrameReader {
public:
    explicit FrameReader(int port) : port_(port) {}

    std::span<const uint8_t> Next()
    {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(used_));
        used_ = 0;
        while (buffer_.size() < 2 || buffer_.size() < buffer_[1] + 2u) {
            std::array<uint8_t, kReadChunk> bytes{};
            pollfd entry{port_, POLLIN, 0};
            if (::poll(&entry, 1, -1) < 0 && errno != EINTR) {
                Fail("raw poll");
            }
            const ssize_t got = ::read(port_, bytes.data(), bytes.size());
            if (got < 0 && errno != EINTR && errno != EAGAIN) {
                Fail("raw read");
            }
            if (got > 0) {
                buffer_.insert(buffer_.end(), bytes.begin(), bytes.begin() + got);
            }
        }
        used_ = buffer_[1] + 2u;
        return std::span<const uint8_t>(buffer_).first(used_);
    }

private:
    int port_;
    std::vector<uint8_t> buffer_;
    std::size_t used_ = 0;
};

// The raw exchange of the same upload; returns its duration in seconds.
double RawUpload(int port, std::size_t size, const char* path)
{
    const int file = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (file < 0) {
        Fail("raw spill file");
    }
    FrameReader reader(port);
    const std::array<uint8_t, 7> read{
        wire::kFrameStart, 5, kSdoRead, kNode, static_cast<uint8_t>(kIndex), static_cast<uint8_t>(kIndex >> 8),
        kSubIndex};
    const std::array<uint8_t, 4> next{wire::kFrameStart, 2, kNextSegment, kNode};
    const auto request = wire::ResultRequest(kSdoRead, kNode);
    const auto start = Clock::now();
    WriteFrame(port, read);
    WriteFrame(port, request);
    std::size_t received = 0;
    while (true) {
        const auto frame = reader.Next();
        if (frame.size() < 2 + kSegmentHead || frame[2] != kSdoRead) {
            std::fprintf(stderr, "bench: raw upload got an unexpected frame\n");
            std::exit(1);
        }
        const auto chunk = frame.subspan(2 + kSegmentHead);
        if (!WriteAll(file, chunk)) {
            Fail("raw spill write");
        }
        received += chunk.size();
        if (received >= size) {
            break;
        }
        WriteFrame(port, next);
        WriteFrame(port, request);
    }
    const double took = SecondsSince(start);
    ::close(file);
    return took;
}

// One upload through the library; returns its duration in seconds.
double LibraryUpload(uint8_t slot, std::size_t size, const std::function<void()>& onFailure = nullptr)
{
    uint32_t length = 0;
    std::array<uint8_t, VEXAN_SDO_READ_BUFFER> data{};
    const auto start = Clock::now();
    const uint16_t result = Vexan_SDOReadData(slot, kNode, kIndex, kSubIndex, &length, data.data(), 1);
    const double took = SecondsSince(start);
    if (result != VEXAN_OK || length != size) {
        std::fprintf(stderr, "bench: upload on slot %u returned %u, length %u of %zu\n", slot, result, length, size);
        if (onFailure) {
            onFailure();
        }
        std::exit(1);
    }
    return took;
}

std::string SpillFileName(uint8_t slot)
{
    std::array<char, 64> name{};
    std::snprintf(name.data(), name.size(), "%u_%u_%04X_%02X.seg", slot, kNode, kIndex, kSubIndex);
    return name.data();
}

// Whether the file holds exactly the object's bytes.
bool FileHolds(const std::string& path, const std::vector<uint8_t>& object)
{
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return bytes == object;
}

int ScriptedComparison(std::size_t size)
{
    const std::vector<uint8_t> object = Pattern(size);
    PtyPair libraryLine = OpenPtyPair();
    PtyPair rawLine = OpenPtyPair();
    std::atomic<bool> stop{false};
    std::array<int, 1> libraryModule{libraryLine.module.Get()};
    std::array<int, 1> rawModule{rawLine.module.Get()};
    std::thread libraryResponder([&] { ServeLines(libraryModule, &stop, kResponderCheckMs, ScriptedUpload(object)); });
    std::thread rawResponder([&] { ServeLines(rawModule, &stop, kResponderCheckMs, ScriptedUpload(object)); });

    int status = 0;
    const uint16_t opened = Vexan_InitMaster(kScriptedSlot, libraryLine.port.Get(), kMasterNodeId, 0, 1);
    if (opened != 0) {
        std::fprintf(stderr, "bench: Vexan_InitMaster returned %u\n", opened);
        status = 1;
    } else {
        Vexan_SetFunctionTimeout(kScriptedSlot, kFunctionTimeoutMs);
        const std::string rawFile = "raw.seg";
        // Raw first, then the library, twice over: the better of each counts,
        // so that a passing disturbance does not decide the ratio.
        double raw = 1e9;
        double library = 1e9;
        for (int round = 0; round < 2; ++round) {
            raw = std::min(raw, RawUpload(rawLine.port.Get(), size, rawFile.c_str()));
            library = std::min(library, LibraryUpload(kScriptedSlot, size));
        }
        if (!FileHolds(SpillFileName(kScriptedSlot), object) || !FileHolds(rawFile, object)) {
            std::fprintf(stderr, "bench: a spill file does not hold the object\n");
            status = 1;
        }
        const double ratio = library / raw;
        std::printf(
            "upload: %zu KiB in %zu-byte segments, scripted module: library %.1f ms (spill file), raw %.1f ms "
            "(same frames, one open file)\n",
            size >> 10, kChunk, library * 1e3, raw * 1e3);
        std::printf("upload: ratio library/raw %.2f target <= %.1f: %s\n", ratio, kTargetRatio,
                    ratio <= kTargetRatio ? "met" : "MISSED");
        Vexan_ShutdownMaster(kScriptedSlot);
    }
    stop.store(true);
    libraryResponder.join();
    rawResponder.join();
    return status;
}

int SimulatedLine(std::size_t size)
{
    vexsim::SimulatorOptions options;
    options.baud = kBaud;
    vexsim::Simulator sim(options);
    sim.AddDefaultNode(kNode, true, false);
    vexsim::ObjectEntry entry;
    entry.index = kIndex;
    entry.subIndex = kSubIndex;
    entry.type = vexsim::DataType::Domain;
    entry.access = vexsim::Access::ReadOnly;
    entry.value = Pattern(size);
    sim.PutObject(kNode, entry);
    sim.Start();
    const int port = sim.OpenLibraryEnd();
    if (port < 0) {
        Fail("simulator line");
    }
    int status = 0;
    const uint16_t opened = Vexan_InitMaster(kSimulatorSlot, port, kMasterNodeId, 0, 1);
    if (opened != 0) {
        std::fprintf(stderr, "bench: Vexan_InitMaster on the simulator returned %u\n", opened);
        status = 1;
    } else {
        // Three times the line's time for the object, and at least 30 s.
        const auto lineMs = static_cast<uint32_t>(static_cast<double>(size) * 1.2 / kLineBytesPerSecond * 1e3);
        Vexan_SetFunctionTimeout(kSimulatorSlot, std::max<uint32_t>(30'000, 3 * lineMs));
        const std::size_t inBefore = sim.BytesReceived();
        const std::size_t outBefore = sim.BytesSent();
        const double took = LibraryUpload(kSimulatorSlot, size, [&sim] {
            // What the module saw last, to tell where the upload stalled.
            const auto trace = sim.Trace();
            for (std::size_t i = trace.size() > 20 ? trace.size() - 20 : 0; i < trace.size(); ++i)
                std::fprintf(stderr, "  %s\n", trace[i].c_str());
        });
        const std::size_t toModule = sim.BytesReceived() - inBefore;
        const std::size_t fromModule = sim.BytesSent() - outBefore;
        if (!FileHolds(SpillFileName(kSimulatorSlot), entry.value)) {
            std::fprintf(stderr, "bench: the simulator's upload does not match the object\n");
            status = 1;
        }
        const double share = static_cast<double>(toModule + fromModule) / took / kLineBytesPerSecond;
        // The upload's own frames, without the event polls and their replies
        // that run alongside on the full-duplex line.
        const std::size_t segments = (size + kChunk - 1) / kChunk;
        const std::size_t ownBytes = (2 + kSegmentHead) * segments + size + 7 + 5 + (segments - 1) * (4 + 5);
        const double ownShare = static_cast<double>(ownBytes) / took / kLineBytesPerSecond;
        std::printf(
            "upload: %zu KiB from the simulator at %u baud in %zu-byte segments: %.2f s, %.0f object bytes/s; "
            "%zu bytes to the module and %zu from it\n",
            size >> 10, kBaud, kChunk, took, static_cast<double>(size) / took, toModule, fromModule);
        std::printf(
            "upload: line use %.1f%% of %.0f bytes/s target >= %.0f%%: %s (the upload's own frames alone: "
            "%.1f%%)\n",
            share * 100, kLineBytesPerSecond, kTargetShare * 100, share >= kTargetShare ? "met" : "MISSED",
            ownShare * 100);
        Vexan_ShutdownMaster(kSimulatorSlot);
    }
    ::close(port);
    sim.Stop();
    return status;
}

int Measure(int argc, char** argv)
{
    bool quick = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            quick = true;
        } else {
            std::fprintf(stderr, "usage: vexan_bench_upload [--quick]\n");
            return 2;
        }
    }
    std::array<char, 64> dir{};
    std::strcpy(dir.data(), "/tmp/vexan-bench-upload-XXXXXX");
    if (::mkdtemp(dir.data()) == nullptr) {
        Fail("temporary directory");
    }
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.data());
    int status = ScriptedComparison(quick ? kQuickScripted : kFullScripted);
    if (status == 0) {
        status = SimulatedLine(quick ? kQuickSimulated : kFullSimulated);
    }
    std::filesystem::current_path(previous);
    std::filesystem::remove_all(dir.data());
    return status;
}

}  // namespace

int main(int argc, char** argv)
{
    return RunReportingFailures(Measure, argc, argv);
}
