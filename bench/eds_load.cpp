// Configuring a node from an EDS file against the module simulator: a
// generated file with 512 receive and 512 transmit PDOs, and the largest real
// file (276 KB, 50 receive PDOs). Prints the time spent reading the file and
// looking values up apart from the time spent in exchanges with the module,
// and the reader's share of the run: once on a line as fast as the simulator
// takes it (the reader's own cost shows most), once at a controller's 115200
// baud, where the target (share under 5%) applies. A run fails (and with it
// the program) when the module ends up with fewer PDOs than the file describes.
// Usage: vexan_bench_eds_load [real file]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "eds/eds_load.hpp"
#include "vexan.h"
#include "vexan_sim/simulator.hpp"

namespace {

constexpr uint8_t kSlot = 0;
constexpr uint8_t kNode = 4;
constexpr unsigned kControllerBaud = 115200;
constexpr double kTargetSharePercent = 5.0;

std::string GeneratedEds(const std::filesystem::path& path)
{
    std::ofstream out(path);
    out << "[1000]\nDefaultValue=0x191\n[1005]\nDefaultValue=0x80\n[1014]\nDefaultValue=$NODEID+0x80\n";
    for (unsigned direction = 0; direction < 2; ++direction) {
        const unsigned comm = direction == 0 ? 0x1400 : 0x1800;
        const unsigned map = direction == 0 ? 0x1600 : 0x1A00;
        for (unsigned n = 0; n < 512; ++n) {
            char buffer[512];
            std::snprintf(buffer, sizeof buffer,
                          "[%04X]\nParameterName=PDO %u parameter\nObjectType=0x9\nSubNumber=6\n"
                          "[%04Xsub0]\nParameterName=Highest sub-index\nDataType=0x0005\nAccessType=const\n"
                          "DefaultValue=5\n"
                          "[%04Xsub1]\nParameterName=COB-ID\nDataType=0x0007\nAccessType=rw\nDefaultValue=0x%X\n"
                          "[%04Xsub2]\nParameterName=Transmission type\nDataType=0x0005\nAccessType=rw\n"
                          "DefaultValue=254\n"
                          "[%04Xsub5]\nParameterName=Event timer\nDataType=0x0006\nAccessType=rw\nDefaultValue=100\n",
                          comm + n, n + 1, comm + n, comm + n, (direction == 0 ? 0x200 : 0x400) + n, comm + n,
                          comm + n);
            out << buffer;
            std::snprintf(
                buffer, sizeof buffer,
                "[%04X]\nParameterName=PDO %u mapping\nObjectType=0x9\nSubNumber=3\n"
                "[%04Xsub0]\nParameterName=Entries\nDataType=0x0005\nAccessType=rw\nDefaultValue=2\n"
                "[%04Xsub1]\nParameterName=Entry 1\nDataType=0x0007\nAccessType=rw\nDefaultValue=0x20000108\n"
                "[%04Xsub2]\nParameterName=Entry 2\nDataType=0x0007\nAccessType=rw\nDefaultValue=0x20010108\n",
                map + n, n + 1, map + n, map + n, map + n);
            out << buffer;
        }
    }
    // The mapped objects: sub-index 1 of two arrays of bytes.
    for (const unsigned index : {0x2000u, 0x2001u}) {
        char buffer[512];
        std::snprintf(buffer, sizeof buffer,
                      "[%04X]\nParameterName=Bytes\nObjectType=0x8\nSubNumber=2\n"
                      "[%04Xsub0]\nParameterName=Highest sub-index\nObjectType=0x7\nDataType=0x0005\n"
                      "AccessType=const\nDefaultValue=1\nPDOMapping=0\n"
                      "[%04Xsub1]\nParameterName=Byte 1\nObjectType=0x7\nDataType=0x0005\nAccessType=rw\n"
                      "DefaultValue=0\nPDOMapping=1\n",
                      index, index, index);
        out << buffer;
    }
    return path.string();
}

constexpr std::size_t kGeneratedPdos = 1024;

// The module's calls, counting the PDOs the run asks the module to install:
// every PDO the file describes.
std::size_t gInstallCalls = 0;

uint16_t CountedInstall(uint8_t slot, uint8_t node, uint16_t cobId, uint8_t direction, uint16_t number,
                        uint8_t transmissionType, uint16_t eventTimer, uint8_t entryCount, const uint32_t* entries,
                        uint8_t blocking)
{
    ++gInstallCalls;
    return vexan::ModuleCalls().installPdo(slot, node, cobId, direction, number, transmissionType, eventTimer,
                                           entryCount, entries, blocking);
}

const vexan::EdsNodeCalls& CountingCalls()
{
    static const vexan::EdsNodeCalls calls = [] {
        vexan::EdsNodeCalls counted = vexan::ModuleCalls();
        counted.installPdo = CountedInstall;
        return counted;
    }();
    return calls;
}

// One configuration run; false when it failed or the module holds fewer PDOs
// than the file describes (at least `described` of them, when given): the
// figures of a run that configured less would not be the ones wanted.
bool Run(const char* label, const std::string& path, unsigned baud, std::size_t described = 0)
{
    vexsim::Simulator sim;
    sim.SetBaud(baud);
    std::string error;
    if (!sim.AddEdsNode(kNode, path, &error, false)) {
        std::fprintf(stderr, "%s: the simulator cannot load %s: %s\n", label, path.c_str(), error.c_str());
        return false;
    }
    sim.Start();
    const int fd = sim.OpenLibraryEnd();
    if (fd < 0 || Vexan_InitMaster(kSlot, fd, 1, 0, 1) != VEXAN_OK) {
        std::fprintf(stderr, "%s: no master\n", label);
        return false;
    }
    Vexan_SetFunctionTimeout(kSlot, 10'000);
    vexan::EdsRunTimes times;
    const auto start = std::chrono::steady_clock::now();
    gInstallCalls = 0;
    const uint16_t outcome =
        vexan::ConfigureNodeFromEds(path, vexan::EdsRunParams{.slot = kSlot, .node = kNode}, CountingCalls(), &times);
    described = std::max(described, gInstallCalls);
    const double totalMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    const std::size_t pdos = sim.WithModule([](vexsim::Module& module) { return module.Pdos().size(); });
    Vexan_ShutdownMaster(kSlot);
    ::close(fd);
    const double readerMs = static_cast<double>(times.readerNs) / 1e6;
    const double exchangeMs = static_cast<double>(times.exchangeNs) / 1e6;
    const double share = 100.0 * readerMs / totalMs;
    std::printf(
        "%-28s %-14s outcome %u, %zu of %zu PDOs installed: run %.1f ms, reader %.2f ms, exchanges %.1f ms, "
        "reader share %.2f%%",
        label, baud == 0 ? "(fast line)" : "(115200 baud)", outcome, pdos, described, totalMs, readerMs, exchangeMs,
        share);
    if (baud != 0) {
        std::printf("   target < %.0f%%: %s", kTargetSharePercent, share < kTargetSharePercent ? "met" : "MISSED");
    }
    std::printf("\n");
    if (pdos < described) {
        std::fprintf(stderr, "%s: the module holds %zu of the %zu PDOs the file describes\n", label, pdos, described);
    }
    return outcome == VEXAN_OK && pdos >= described;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string real = argc > 1 ? argv[1] : std::string(VEXAN_EDS_DIR) + "/oresat_c3_app_control.eds";
    const auto generated =
        std::filesystem::temp_directory_path() / ("vexan-bench-" + std::to_string(::getpid()) + ".eds");
    const std::string generatedPath = GeneratedEds(generated);
    bool ok = true;
    for (const unsigned baud : {0u, kControllerBaud}) {
        ok = Run("generated 512 Rx + 512 Tx", generatedPath, baud, kGeneratedPdos) && ok;
        ok = Run("276 KB real file", real, baud) && ok;
    }
    std::filesystem::remove(generated);
    return ok ? 0 : 1;
}
