// The configuration run that takes a node's set-up from its EDS file, the
// per-board load jobs, and the Vexan_EDS_Load export.
#include "eds/eds_load.hpp"

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/platform.hpp"
#include "vexan.h"

namespace vexan {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kCobIdMax = 0x7FF;
constexpr uint32_t kNoRemoteRequestBit = 0x40000000;
constexpr uint8_t kDefaultTransmissionType = 255;
constexpr uint8_t kRxDirection = 0;
constexpr uint8_t kTxDirection = 1;
constexpr std::string_view kDefaultValue = "DefaultValue";

// Adds the time since it was made to one of the run's counters.
class Stopwatch {
public:
    explicit Stopwatch(EdsRunTimes* times, uint64_t EdsRunTimes::*counter)
        : times_(times), counter_(counter), start_(times != nullptr ? Clock::now() : Clock::time_point{})
    {
    }
    ~Stopwatch()
    {
        if (times_ != nullptr) {
            times_->*counter_ += static_cast<uint64_t>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start_).count());
        }
    }
    Stopwatch(const Stopwatch&) = delete;
    Stopwatch& operator=(const Stopwatch&) = delete;

private:
    EdsRunTimes* times_;
    uint64_t EdsRunTimes::*counter_;
    Clock::time_point start_;
};

// Looks up the DefaultValue of `section` and reads it as a number. Not found:
// nullopt-like false in `found`; found but not parsable: `parsed` false.
struct Lookup {
    bool found = false;
    bool parsed = false;
    uint32_t value = 0;
};

class RunReader {
public:
    RunReader(EdsReader& reader, EdsRunTimes* times) : reader_(reader), times_(times) {}

    Lookup Get(const char* section)
    {
        const Stopwatch watch(times_, &EdsRunTimes::readerNs);
        Lookup result;
        std::array<char, kEdsValueBuffer> text{};
        result.found = reader_.FindValue(section, kDefaultValue, text.data()) != 0;
        if (result.found) {
            result.parsed = reader_.ParseValue(text.data(), &result.value) == 0;
        }
        return result;
    }

    Lookup Get(uint16_t index, unsigned subIndex)
    {
        std::array<char, 24> section{};
        std::snprintf(section.data(), section.size(), "[%04Xsub%u]", static_cast<unsigned>(index), subIndex);
        return Get(section.data());
    }

private:
    EdsReader& reader_;
    EdsRunTimes* times_;
};

bool StopRequested(const EdsStopCheck& stopRequested)
{
    return stopRequested && stopRequested();
}

// Makes one call of the run. A run that is to stop makes no further call and
// ends with VEXAN_NOT_OPEN, also when the call in progress failed because the
// board was shut down under it.
template <typename Call>
uint16_t CallOnce(const EdsStopCheck& stopRequested, EdsRunTimes* times, Call call)
{
    const Stopwatch watch(times, &EdsRunTimes::exchangeNs);
    if (StopRequested(stopRequested)) {
        return VEXAN_NOT_OPEN;
    }
    const uint16_t result = call();
    if (result != VEXAN_OK && StopRequested(stopRequested)) {
        return VEXAN_NOT_OPEN;
    }
    return result;
}

// A call whose result the run ends with: repeated while it answers "still
// waiting" (a blocking add that finds an earlier non-blocking add of the node
// pending collects that one and may report VEXAN_WAITING, which a finished run
// must never end with).
template <typename Call>
uint16_t Settle(const EdsStopCheck& stopRequested, EdsRunTimes* times, Call call)
{
    for (;;) {
        const uint16_t result = CallOnce(stopRequested, times, call);
        if (result != VEXAN_WAITING) {
            return result;
        }
        platform::SleepMs(1);
    }
}

// Installs the PDOs of one direction: communication parameters at
// `commBase` + n, mapping at `mapBase` + n, n from 0 until the first PDO whose
// COB-ID entry is missing. 0, or the library's own failure of an install.
uint16_t InstallPdos(RunReader& values, const EdsRunParams& params, const EdsNodeCalls& calls, EdsRunTimes* times,
                     const EdsStopCheck& stopRequested, uint8_t direction)
{
    const uint16_t commBase = direction == kRxDirection ? 0x1400 : 0x1800;
    const uint16_t mapBase = direction == kRxDirection ? 0x1600 : 0x1A00;
    for (uint16_t n = 0; n < kEdsMaxPdos; ++n) {
        const auto comm = static_cast<uint16_t>(commBase + n);
        const auto map = static_cast<uint16_t>(mapBase + n);
        const Lookup cobId = values.Get(comm, 1);
        if (!cobId.found) {
            return VEXAN_OK;
        }
        // Bit 30 only says the PDO takes no remote request: the PDO is valid and
        // goes on the COB-ID below it. Any other value above 0x7FF, bit 31
        // (PDO not valid) included, skips the PDO.
        const uint32_t pdoCobId = cobId.value & ~kNoRemoteRequestBit;
        if (!cobId.parsed || pdoCobId > kCobIdMax) {
            continue;
        }
        const Lookup type = values.Get(comm, 2);
        const uint8_t transmissionType =
            type.found && type.parsed ? static_cast<uint8_t>(type.value) : kDefaultTransmissionType;
        uint16_t eventTimer = 0;
        if (direction == kTxDirection) {
            const Lookup timer = values.Get(comm, 5);
            eventTimer = timer.found && timer.parsed ? static_cast<uint16_t>(timer.value) : 0;
        }
        std::array<uint32_t, VEXAN_PDO_MAX_ENTRIES> entries{};
        const Lookup count = values.Get(map, 0);
        uint8_t entryCount = 0;
        if (count.found && count.parsed && count.value <= VEXAN_PDO_MAX_ENTRIES) {
            for (unsigned k = 1; k <= count.value; ++k) {
                const Lookup entry = values.Get(map, k);
                if (!entry.found || !entry.parsed) {
                    break;
                }
                entries[k - 1] = entry.value;
                entryCount = static_cast<uint8_t>(k);
            }
        }
        const uint16_t installed = CallOnce(stopRequested, times, [&] {
            return calls.installPdo(params.slot, params.node, static_cast<uint16_t>(pdoCobId), direction,
                                    static_cast<uint16_t>(n + 1), transmissionType, eventTimer, entryCount,
                                    entries.data(), 1);
        });
        // The module's refusal of one PDO does not stop the run; a PDO that
        // never reached the module (or whose answer never came) does.
        if (IsLibraryFailure(installed)) {
            return installed;
        }
    }
    return VEXAN_OK;
}

}  // namespace

bool IsLibraryFailure(uint16_t result)
{
    switch (result) {
    case VEXAN_PAUSED:
    case VEXAN_NOT_OPEN:
    case VEXAN_TIMEOUT:
    case VEXAN_NO_PORT_HANDLE:
    case VEXAN_SHORT_WRITE:
    case VEXAN_WRITE_FAILED:
    case VEXAN_OUT_OF_RANGE:
        return true;
    default:
        return false;
    }
}

const EdsNodeCalls& ModuleCalls()
{
    static const EdsNodeCalls calls{&Vexan_AddNode, &Vexan_NMTChangeState, &Vexan_SetSYNC_List, &Vexan_SetEMCY_List,
                                    &Vexan_InstallPDO_List};
    return calls;
}

uint16_t ConfigureNode(EdsReader& reader, const EdsRunParams& params, const EdsNodeCalls& calls, EdsRunTimes* times,
                       const EdsStopCheck& stopRequested)
{
    RunReader values(reader, times);
    const uint16_t added = Settle(stopRequested, times, [&] {
        return calls.addNode(params.slot, params.node, kEdsAddNodeParam, params.word1, params.word2, 1);
    });
    if (added != VEXAN_OK) {
        return added;
    }
    reader.SetNodeId(params.node);
    // The device type's section tells a device file; its DefaultValue is
    // optional there (many device and configuration files leave it out) and
    // is not used.
    if (!reader.HasSectionHeader("[1000]")) {
        return VEXAN_EDS_VALUE;
    }
    // The module's refusal of the start does not stop the run.
    const uint16_t started =
        CallOnce(stopRequested, times, [&] { return calls.nmtChangeState(params.slot, params.node, kEdsNmtStart, 1); });
    if (IsLibraryFailure(started)) {
        return started;
    }
    const std::array<std::pair<const char*, decltype(calls.setSync)>, 2> cobIds{
        {{"[1005]", calls.setSync}, {"[1014]", calls.setEmcy}}};
    for (const auto& entry : cobIds) {
        const auto set = entry.second;
        const Lookup cobId = values.Get(entry.first);
        if (!cobId.found) {
            continue;
        }
        if (!cobId.parsed) {
            return VEXAN_EDS_VALUE;
        }
        const uint16_t result = Settle(
            stopRequested, times, [&] { return set(params.slot, params.node, static_cast<uint16_t>(cobId.value), 1); });
        if (result != VEXAN_OK) {
            return result;
        }
    }
    if (const uint16_t failed = InstallPdos(values, params, calls, times, stopRequested, kRxDirection);
        failed != VEXAN_OK) {
        return failed;
    }
    return InstallPdos(values, params, calls, times, stopRequested, kTxDirection);
}

uint16_t ConfigureNodeFromEds(const platform::FilePath& path, const EdsRunParams& params, const EdsNodeCalls& calls,
                              EdsRunTimes* times, const EdsStopCheck& stopRequested)
{
    EdsReader reader(path);
    uint32_t length = 0;
    {
        const Stopwatch watch(times, &EdsRunTimes::readerNs);
        length = reader.LoadText();
    }
    if (length == 0) {
        return VEXAN_EDS_FILE;
    }
    return ConfigureNode(reader, params, calls, times, stopRequested);
}

namespace {

// Appends `code` (a Unicode scalar value) to `out` in UTF-8.
void AppendUtf8(std::string& out, uint32_t code)
{
    if (code < 0x80) {
        out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code >> 6)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (code >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (code >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

}  // namespace

uint16_t TakeEdsPath(const void* path, platform::FilePath& taken)
{
    std::string out;
    if (path == nullptr) {
        return VEXAN_EDS_FILE;
    }
    const auto* bytes = static_cast<const unsigned char*>(path);
    if (bytes[0] != 0 && bytes[1] != 0) {
        const auto* narrow = static_cast<const char*>(path);
        // Never reads past the longest path taken and its NUL.
        const std::size_t length = strnlen(narrow, kEdsMaxPath + 1);
        if (length > kEdsMaxPath) {
            return VEXAN_OUT_OF_RANGE;
        }
        taken = platform::FilePath(std::string(narrow, length));
        return VEXAN_OK;
    }
    // UTF-16 on every system (wchar_t on Windows); made UTF-8 below, which is
    // how the platform layer takes a wide name.
    const auto* wide = static_cast<const platform::WidePathUnit*>(path);
    // Every unit yields at least one byte: a path of more units cannot fit.
    for (std::size_t i = 0; wide[i] != 0; ++i) {
        if (i >= kEdsMaxPath) {
            return VEXAN_OUT_OF_RANGE;
        }
        const auto unit = static_cast<uint32_t>(wide[i]);
        uint32_t code = unit;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            const auto low = static_cast<uint32_t>(wide[i + 1]);
            if (low < 0xDC00 || low > 0xDFFF) {
                return VEXAN_EDS_FILE;
            }
            code = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
            ++i;
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return VEXAN_EDS_FILE;
        }
        AppendUtf8(out, code);
        if (out.size() > kEdsMaxPath) {
            return VEXAN_OUT_OF_RANGE;
        }
    }
    if (out.empty()) {
        return VEXAN_EDS_FILE;
    }
    taken = platform::FilePath::FromWide(std::move(out));
    return VEXAN_OK;
}

EdsJobs::~EdsJobs()
{
    StopRuns();
    JoinWorkers();
}

void EdsJobs::StopRuns()
{
    stopping_.store(true);
}

void EdsJobs::JoinWorkers()
{
    for (Job& job : jobs_) {
        std::unique_ptr<platform::StoppableThread> worker;
        {
            const std::lock_guard<std::mutex> held(job.lock);
            worker = std::move(job.worker);
        }
        worker.reset();  // joins: a worker ends once its run's current call returns
    }
}

bool EdsJobs::RunStopped(uint8_t board, uint32_t session) const
{
    // A shut-down closes the board before it releases the records a call may
    // wait on, and ends the session last: a call released under the run sees
    // the board closed, a run that comes back after a restart sees the session.
    const BoardState& state = Link().boards[board];
    return stopping_.load() || state.openFlag.load() == kBoardClosed || state.session.load() != session;
}

void EdsJobs::PrepareRun(Job& job, uint8_t slot, uint8_t board, const EdsRunParams& params, uint32_t session)
{
    job.params = params;
    job.params.slot = slot;
    job.session = session;
    job.stopRequested = [this, board, session] { return RunStopped(board, session); };
}

uint16_t EdsJobs::EndEdsLoadJob(Job& job, std::unique_lock<std::mutex>& held)
{
    const uint16_t outcome = job.status;
    std::unique_ptr<platform::StoppableThread> worker = std::move(job.worker);
    job.state = State::Idle;
    job.status = 0;
    held.unlock();
    job.changed.notify_all();
    worker.reset();
    return outcome;
}

uint16_t EdsJobs::StartEdsWorker(Job& job)
{
    job.state = State::WorkerRun;
    job.status = VEXAN_WAITING;
    job.worker = platform::StoppableThread::Start([&job](const std::atomic<bool>& stop) {
        platform::FilePath path;
        EdsRunParams params;
        EdsStopCheck stopped;
        {
            const std::lock_guard<std::mutex> held(job.lock);
            path = job.path;
            params = job.params;
            stopped = job.stopRequested;
        }
        const uint16_t outcome = ConfigureNodeFromEds(path, params, ModuleCalls(), nullptr,
                                                      [&stop, &stopped] { return stop.load() || stopped(); });
        {
            const std::lock_guard<std::mutex> held(job.lock);
            job.status = outcome;
            job.state = State::WorkerDone;
        }
        job.changed.notify_all();
    });
    if (job.worker == nullptr) {
        job.state = State::Idle;
        job.status = 0;
        return VEXAN_TIMEOUT;
    }
    return VEXAN_SENT;
}

uint16_t EdsJobs::Load(uint8_t slot, uint8_t board, const void* path, const EdsRunParams& params, uint8_t blocking)
{
    Job& job = jobs_.at(board);
    std::unique_lock<std::mutex> held(job.lock);
    // Read under the job's lock, so that no job holds a later session than this.
    const uint32_t session = Link().boards[board].session.load();
    // A worker run started before the board was last shut down belongs to no
    // caller now: it ends at its next call; its outcome is forgotten.
    while (job.session != session && (job.state == State::WorkerRun || job.state == State::WorkerDone)) {
        job.changed.wait(held, [&] { return job.state != State::WorkerRun; });
        if (job.state == State::WorkerDone && job.session != session) {
            EndEdsLoadJob(job, held);
            held.lock();
        }
    }
    if (blocking == 0) {
        switch (job.state) {
        case State::WorkerRun:
        case State::BlockingRun:
            return VEXAN_WAITING;
        case State::WorkerDone:
            return EndEdsLoadJob(job, held);
        case State::Idle:
            break;
        }
        platform::FilePath taken;
        if (const uint16_t refused = TakeEdsPath(path, taken); refused != VEXAN_OK) {
            return refused;
        }
        if (stopping_.load()) {
            return VEXAN_TIMEOUT;  // the library unloads: no worker starts
        }
        job.path = std::move(taken);
        PrepareRun(job, slot, board, params, session);
        return StartEdsWorker(job);
    }
    // A blocking call collects a worker run (waiting for it to end), and waits
    // for another caller's blocking run to end before it runs its own.
    job.changed.wait(held, [&] { return job.state != State::WorkerRun && job.state != State::BlockingRun; });
    if (job.state == State::WorkerDone) {
        return EndEdsLoadJob(job, held);
    }
    platform::FilePath taken;
    if (const uint16_t refused = TakeEdsPath(path, taken); refused != VEXAN_OK) {
        return refused;
    }
    if (stopping_.load()) {
        return VEXAN_NOT_OPEN;  // the library unloads: the run would make no call
    }
    job.path = taken;
    PrepareRun(job, slot, board, params, session);
    job.state = State::BlockingRun;
    const EdsRunParams run = job.params;
    const EdsStopCheck stopped = job.stopRequested;
    held.unlock();
    const uint16_t outcome = ConfigureNodeFromEds(taken, run, ModuleCalls(), nullptr, stopped);
    held.lock();
    job.state = State::Idle;
    job.status = 0;
    held.unlock();
    job.changed.notify_all();
    return outcome;
}

}  // namespace vexan

extern "C" {

VEXAN_API uint16_t Vexan_EDS_Load(uint8_t slot, uint8_t nodeId, const void* path, uint16_t nodeWord1,
                                  uint16_t nodeWord2, uint8_t blocking)
{
    const auto open = vexan::LookupOpenBoard(slot);
    if (!open) {
        return VEXAN_NOT_OPEN;
    }
    const vexan::EdsRunParams params{.slot = slot, .node = nodeId, .word1 = nodeWord1, .word2 = nodeWord2};
    return vexan::EdsLoadJobs().Load(slot, open->board, path, params, blocking);
}

}  // extern "C"
