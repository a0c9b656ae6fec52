// Large SDO uploads, two measures:
//
// 1. Through the library, against the tests' scripted module peer on a
//    pseudo-terminal that sends an object in segments as the module does (the
//    first segment on the read's result request, each next one on the result
//    request that follows a next-segment request), next to a raw exchange of
//    the same frames with a second peer: write the next-segment request and the
//    result request, read the segment, append its chunk to a file. The ratio of
//    the two times shows what the library's gathering into its spill file
//    costs on top of the line itself.
// 2. Through the library against the module simulator at 115200 baud: the
//    object's throughput and the share of the line's rate (11520 bytes per
//    second at 10 bits per byte) that the bytes of both directions use.
//
// Every file goes to a temporary directory, removed at the end.
//
// Usage: vexan_bench_upload [--quick]   (--quick: smaller objects, for CI)
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "frames.hpp"
#include "module_peer.hpp"
#include "start.hpp"
#include "uploads.hpp"
#include "vexan.h"
#include "vexan_command_table.hpp"
#include "vexan_sim/simulator.hpp"

namespace {

using namespace vexan::bench;
using vexan::test::Bytes;
using vexan::test::ModulePeer;
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

const uint8_t kSdoRead = vexan::CodeOf(vexan::Command::SdoRead);

// The frames of an upload as the library writes them: the read request, the
// request for the next segment, the result request of the read.
Bytes ReadRequest()
{
    return vexan::test::Frame(kSdoRead,
                              {kNode, static_cast<uint8_t>(kIndex), static_cast<uint8_t>(kIndex >> 8), kSubIndex});
}

Bytes NextSegmentRequest()
{
    return vexan::test::Frame(vexan::CodeOf(vexan::Command::NextUploadSegment), {kNode});
}

Bytes ReadResultRequest()
{
    return vexan::test::ResultRequest(kSdoRead, kNode);
}

// The bytes of a segment frame before its chunk: ':', the length, command .. total.
std::size_t SegmentHead()
{
    return vexan::test::UploadSegment(kNode, true, kIndex, kSubIndex, 0, {}).size();
}

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

// Queues the segments of one whole upload of `object` on the peer: it sends
// the next one on each result request of the read.
void QueueUpload(ModulePeer& peer, const Bytes& object)
{
    for (Bytes& segment :
         vexan::test::UploadSegments(kNode, kIndex, kSubIndex, object, static_cast<uint32_t>(object.size()), kChunk)) {
        peer.Queue(kSdoRead, kNode, vexan::test::Reply{std::move(segment)});
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
    const Bytes read = ReadRequest();
    const Bytes next = NextSegmentRequest();
    const Bytes request = ReadResultRequest();
    const std::size_t head = SegmentHead();
    const auto start = Clock::now();
    WriteFrame(port, read);
    WriteFrame(port, request);
    std::size_t received = 0;
    while (true) {
        const auto frame = reader.Next();
        if (frame.size() < head || frame[2] != kSdoRead) {
            std::fprintf(stderr, "bench: raw upload got an unexpected frame\n");
            std::exit(1);
        }
        const auto chunk = frame.subspan(head);
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
    const Bytes object = Pattern(size);
    // The module of the library's line answers its event polls too (no
    // events), as a module does; the raw line carries the upload alone.
    ModulePeer libraryModule;
    libraryModule.SetAnswerIdlePolls(true);
    ModulePeer rawModule;

    int status = 0;
    const uint16_t opened = vexan::test::StartMaster(kScriptedSlot, libraryModule.LibraryPort(), kMasterNodeId);
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
            QueueUpload(rawModule, object);
            raw = std::min(raw, RawUpload(rawModule.LibraryPort(), size, rawFile.c_str()));
            QueueUpload(libraryModule, object);
            library = std::min(library, LibraryUpload(kScriptedSlot, size));
            // What the peers recorded of this round is not needed.
            rawModule.ClearRecord();
            libraryModule.ClearRecord();
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
        const std::size_t ownBytes = SegmentHead() * segments + size + ReadRequest().size() +
                                     ReadResultRequest().size() +
                                     (segments - 1) * (NextSegmentRequest().size() + ReadResultRequest().size());
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
