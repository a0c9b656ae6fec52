// Configuring a node from its EDS file: the configuration run, and the load
// job of each board that runs it in the caller's thread or on a worker.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "eds/eds_reader.hpp"
#include "link/library_state.hpp"
#include "platform/thread.hpp"

namespace vexan {

// The exports a configuration run drives, all called blocking. The module's
// by default; tests and the fuzzer put scripted ones in their place.
struct EdsNodeCalls {
    uint16_t (*addNode)(uint8_t slot, uint8_t node, uint8_t param, uint16_t word1, uint16_t word2, uint8_t blocking);
    uint16_t (*nmtChangeState)(uint8_t slot, uint8_t node, uint8_t state, uint8_t blocking);
    uint16_t (*setSync)(uint8_t slot, uint8_t node, uint16_t cobId, uint8_t blocking);
    uint16_t (*setEmcy)(uint8_t slot, uint8_t node, uint16_t cobId, uint8_t blocking);
    uint16_t (*installPdo)(uint8_t slot, uint8_t node, uint16_t cobId, uint8_t direction, uint16_t number,
                           uint8_t transmissionType, uint16_t eventTimer, uint8_t entryCount, const uint32_t* entries,
                           uint8_t blocking);
};
const EdsNodeCalls& ModuleCalls();

struct EdsRunParams {
    uint8_t slot = 0;
    uint8_t node = 0;
    uint16_t word1 = 0;
    uint16_t word2 = 0;
};

// Where a run spent its time: reading the file and looking values up, and in
// the exports' exchanges with the module.
struct EdsRunTimes {
    uint64_t readerNs = 0;
    uint64_t exchangeNs = 0;
};

// The node-add parameter and NMT state a run uses.
inline constexpr uint8_t kEdsAddNodeParam = 2;
inline constexpr uint8_t kEdsNmtStart = 1;
// PDOs looked for in each direction.
inline constexpr uint16_t kEdsMaxPdos = 512;

// The configuration run on an already loaded reader; returns its outcome (0,
// 51, or an export's non-zero result), never 40.
uint16_t ConfigureNode(EdsReader& reader, const EdsRunParams& params, const EdsNodeCalls& calls,
                       EdsRunTimes* times = nullptr);
// Loads `path` and runs the configuration: 50 when the file yields no text.
uint16_t ConfigureNodeFromEds(const platform::FilePath& path, const EdsRunParams& params,
                              const EdsNodeCalls& calls = ModuleCalls(), EdsRunTimes* times = nullptr);

// Takes the path argument of the load export: a narrow string when its first
// two bytes are both non-zero, kept as the application's own bytes (on Windows
// opened through the ANSI file interface), otherwise a wide one (UTF-16,
// wchar_t on Windows), converted to UTF-8 and opened as a wide name. 0 and
// `out`, or VEXAN_OUT_OF_RANGE for a path longer than kEdsMaxPath bytes (never
// cut), or VEXAN_EDS_FILE for a null path or a wide one that does not convert.
uint16_t TakeEdsPath(const void* path, platform::FilePath& out);

// The load jobs of the eight boards. Destroying them joins every worker.
class EdsJobs {
public:
    EdsJobs() = default;
    ~EdsJobs();
    EdsJobs(const EdsJobs&) = delete;
    EdsJobs& operator=(const EdsJobs&) = delete;

    uint16_t Load(uint8_t slot, uint8_t board, const void* path, const EdsRunParams& params, uint8_t blocking);

private:
    enum class State : uint8_t { Idle, BlockingRun, WorkerRun, WorkerDone };
    struct Job {
        std::mutex lock;
        std::condition_variable changed;
        State state = State::Idle;
        uint16_t status = 0;
        platform::FilePath path;
        EdsRunParams params;
        std::unique_ptr<platform::StoppableThread> worker;
    };

    uint16_t StartEdsWorker(Job& job);
    // Takes a finished worker run's outcome and returns the job to idle; the
    // lock is released before the worker, which has returned, is joined.
    static uint16_t EndEdsLoadJob(Job& job, std::unique_lock<std::mutex>& held);

    std::array<Job, kBoardCount> jobs_;
};

EdsJobs& EdsLoadJobs();

}  // namespace vexan
