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

// Repeats a call while it answers "still waiting": a blocking add that finds
// an earlier non-blocking add of the node pending collects that one and may
// report 40, which a finished run must never end with.
template <typename Call>
uint16_t Settle(EdsRunTimes* times, Call call)
{
    const Stopwatch watch(times, &EdsRunTimes::exchangeNs);
    uint16_t result = call();
    while (result == VEXAN_WAITING) {
        platform::SleepMs(1);
        result = call();
    }
    return result;
}

// Installs the PDOs of one direction: communication parameters at
// `commBase` + n, mapping at `mapBase` + n, n from 0 until the first PDO whose
// COB-ID entry is missing.
void InstallPdos(RunReader& values, const EdsRunParams& params, const EdsNodeCalls& calls, EdsRunTimes* times,
                 uint8_t direction)
{
    const uint16_t commBase = direction == kRxDirection ? 0x1400 : 0x1800;
    const uint16_t mapBase = direction == kRxDirection ? 0x1600 : 0x1A00;
    for (uint16_t n = 0; n < kEdsMaxPdos; ++n) {
        const auto comm = static_cast<uint16_t>(commBase + n);
        const auto map = static_cast<uint16_t>(mapBase + n);
        const Lookup cobId = values.Get(comm, 1);
        if (!cobId.found) {
            return;
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
        Settle(times, [&] {
            // The module's refusal of one PDO does not stop the run.
            (void)calls.installPdo(params.slot, params.node, static_cast<uint16_t>(pdoCobId), direction,
                                   static_cast<uint16_t>(n + 1), transmissionType, eventTimer, entryCount,
                                   entries.data(), 1);
            return uint16_t{VEXAN_OK};
        });
    }
}

}  // namespace

const EdsNodeCalls& ModuleCalls()
{
    static const EdsNodeCalls calls{&Vexan_AddNode, &Vexan_NMTChangeState, &Vexan_SetSYNC_List, &Vexan_SetEMCY_List,
                                    &Vexan_InstallPDO_List};
    return calls;
}

uint16_t ConfigureNode(EdsReader& reader, const EdsRunParams& params, const EdsNodeCalls& calls, EdsRunTimes* times)
{
    RunReader values(reader, times);
    const uint16_t added = Settle(times, [&] {
        return calls.addNode(params.slot, params.node, kEdsAddNodeParam, params.word1, params.word2, 1);
    });
    if (added != VEXAN_OK) {
        return added;
    }
    reader.SetNodeId(params.node);
    if (!values.Get("[1000]").found) {
        return VEXAN_EDS_VALUE;
    }
    Settle(times, [&] {
        (void)calls.nmtChangeState(params.slot, params.node, kEdsNmtStart, 1);
        return uint16_t{VEXAN_OK};
    });
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
        const uint16_t result =
            Settle(times, [&] { return set(params.slot, params.node, static_cast<uint16_t>(cobId.value), 1); });
        if (result != VEXAN_OK) {
            return result;
        }
    }
    InstallPdos(values, params, calls, times, kRxDirection);
    InstallPdos(values, params, calls, times, kTxDirection);
    return VEXAN_OK;
}

uint16_t ConfigureNodeFromEds(const platform::FilePath& path, const EdsRunParams& params, const EdsNodeCalls& calls,
                              EdsRunTimes* times)
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
    return ConfigureNode(reader, params, calls, times);
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
    for (Job& job : jobs_) {
        std::unique_ptr<platform::StoppableThread> worker;
        {
            const std::lock_guard<std::mutex> held(job.lock);
            worker = std::move(job.worker);
        }
        worker.reset();  // joins: a worker ends once its run's last call returns
    }
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
    job.worker = platform::StoppableThread::Start([&job](const std::atomic<bool>&) {
        platform::FilePath path;
        EdsRunParams params;
        {
            const std::lock_guard<std::mutex> held(job.lock);
            path = job.path;
            params = job.params;
        }
        const uint16_t outcome = ConfigureNodeFromEds(path, params);
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
        job.path = std::move(taken);
        job.params = params;
        job.params.slot = slot;
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
    job.path = taken;
    job.params = params;
    job.params.slot = slot;
    job.state = State::BlockingRun;
    held.unlock();
    EdsRunParams run = params;
    run.slot = slot;
    const uint16_t outcome = ConfigureNodeFromEds(taken, run);
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
