// Configuring a node from its EDS file: the configuration run, and the load
// job of each board that runs it in the caller's thread or on a worker.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
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

// Asked before every call of a run and after every call that failed: true ends
// the run with VEXAN_NOT_OPEN (the library unloads, or the board the run was
// started for has been shut down since). Empty: the run is never stopped.
using EdsStopCheck = std::function<bool()>;

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

// True for a result the library produced itself rather than a status byte
// the module answered with: paused, no open board, time-out, no port handle,
// a failed or short write, or arguments out of range. Such a result ends a run
// even from the calls whose refusal by the module the run ignores (the NMT
// start and the PDO installs): the request never reached the module, or its
// answer never came.
bool IsLibraryFailure(uint16_t result);

// The configuration run on an already loaded reader; returns its outcome
// (VEXAN_OK, VEXAN_EDS_VALUE, VEXAN_NOT_OPEN when stopped, or an export's
// failure), never VEXAN_WAITING.
uint16_t ConfigureNode(EdsReader& reader, const EdsRunParams& params, const EdsNodeCalls& calls,
                       EdsRunTimes* times = nullptr, const EdsStopCheck& stopRequested = {});
// Loads `path` and runs the configuration: VEXAN_EDS_FILE when the file yields
// no text.
uint16_t ConfigureNodeFromEds(const platform::FilePath& path, const EdsRunParams& params,
                              const EdsNodeCalls& calls = ModuleCalls(), EdsRunTimes* times = nullptr,
                              const EdsStopCheck& stopRequested = {});

// Takes the path argument of the load export: a narrow string when its first
// two bytes are both non-zero, kept as the application's own bytes (on Windows
// opened through the ANSI file interface), otherwise a wide one (UTF-16,
// wchar_t on Windows), converted to UTF-8 and opened as a wide name. VEXAN_OK
// and `out`, or VEXAN_OUT_OF_RANGE for a path longer than kEdsMaxPath bytes (never
// cut), or VEXAN_EDS_FILE for a null path or a wide one that does not convert.
uint16_t TakeEdsPath(const void* path, platform::FilePath& out);

// The load jobs of the eight boards. Destroying them stops and joins every
// worker.
class EdsJobs {
public:
    EdsJobs() = default;
    ~EdsJobs();
    EdsJobs(const EdsJobs&) = delete;
    EdsJobs& operator=(const EdsJobs&) = delete;

    uint16_t Load(uint8_t slot, uint8_t board, const void* path, const EdsRunParams& params, uint8_t blocking);

    // The library's unload: every run, on a worker or in a caller's thread,
    // ends at its next call with VEXAN_NOT_OPEN, and no run starts any more.
    void StopRuns();
    // Waits for every worker to end (after StopRuns, within one call each).
    void JoinWorkers();

private:
    enum class State : uint8_t { Idle, BlockingRun, WorkerRun, WorkerDone };
    struct Job {
        std::mutex lock;
        std::condition_variable changed;
        State state = State::Idle;
        uint16_t status = 0;
        // The board's session (BoardState::session) the run was started in: an
        // outcome of an earlier session is not handed out after the board was
        // shut down and reopened.
        uint32_t session = 0;
        platform::FilePath path;
        EdsRunParams params;
        EdsStopCheck stopRequested;
        std::unique_ptr<platform::StoppableThread> worker;
    };

    // True when the run must end: the library unloads, or the board is closed
    // or was shut down since the run was started in `session`.
    bool RunStopped(uint8_t board, uint32_t session) const;
    // Fills the job for a run of the caller's arguments in `session`.
    void PrepareRun(Job& job, uint8_t slot, uint8_t board, const EdsRunParams& params, uint32_t session);
    uint16_t StartEdsWorker(Job& job);
    // Takes a finished worker run's outcome and returns the job to idle; the
    // lock is released before the worker, which has returned, is joined.
    static uint16_t EndEdsLoadJob(Job& job, std::unique_lock<std::mutex>& held);

    std::array<Job, kBoardCount> jobs_;
    std::atomic<bool> stopping_{false};
};

EdsJobs& EdsLoadJobs();

}  // namespace vexan
