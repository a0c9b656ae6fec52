// Soak: eight boards, each on its own simulated module and pseudo-terminal,
// driven for a set time by several application threads per board with a mix of
// blocking and non-blocking requests of every family, while the modules cut
// their replies at random points, put garbage between frames, answer "busy" now
// and then and drop an occasional reply.
//
// Every final result is checked against what the simulator holds for that
// request at that moment: firmware version, CAN status and master mode of the
// board's own module, its node list, the objects a thread wrote or the module
// holds, the PDO a thread wrote or had the node send, the node's NMT state.
// Each node thread owns one node on its board, and every board's module has a
// firmware version and CAN status of its own, so a reply filed under the wrong
// request or the wrong board shows as a wrong value.
//
// Time-outs: a request whose reply the module dropped waits until its
// function time-out. So may one whose reply the module cut into pieces: the
// pieces leave a millisecond apart, but a loaded machine can hold them apart
// on their way for the ten milliseconds after which the library gives up a
// half-received frame. The module's trace tells, for each request that timed
// out, whether a reply to it (same command, same node or COB-ID) was dropped
// or cut while it waited; a time-out with neither is unexpected: the library
// lost a reply, or the machine held a whole reply back for the whole time-out.
// A call of the three exports that hold the process-wide exchange lock
// (PDOWrite, NMTGetState here) may also time out waiting for that lock while
// an exchange on any board waits out a dropped or cut reply: such a time-out
// is put down to that reply.
// `--allow-timeouts N` tolerates N of them (default 0). Time-outs after cut
// replies must stay rare: at most one per hundred cut replies (a loaded
// machine causes a few per ten thousand; a reader that mishandled pieces
// would lose far more).
//
// Lost: a non-blocking request still waiting (40) well after its function
// time-out (a blocking one that never returns is caught by the watchdog).
// Overrun: a blocking call that lasted longer than its function time-out plus
// `--overrun-margin-ms` (default 1000): every wait a call makes counts against
// its time-out, so none should. The longest blocking call is reported against
// the time-out. Misfiled: a
// final result whose status or data does not match what the simulator holds.
//
// Exit code 0 when nothing was lost, misfiled or overran, the unexpected time-outs are
// within the allowance and those after cut replies within their bound; 1
// otherwise; 2 when the boards cannot be set up;
// 3 when the run hangs (a watchdog ends it).
//
// `--timing-reported` (the test suite's run): what depends on the machine
// keeping time is printed but does not fail the run: unexpected time-outs,
// overruns, time-outs after cut replies, and a reply filed to a thread's
// request right after its previous request timed out (a reply held back past
// the time-out arrives as the answer of the next request on the same record:
// the module's replies carry no request number, so nothing on the line tells
// them apart; counted so for 30 s after a time-out of the thread). On a machine whose other work starves the kernel's
// pseudo-terminal hand-over, all of these happen without any fault of the
// library. Lost replies, and wrong results that follow no time-out, still fail.
//
// Memory: the process's peak resident size (VmHWM) and its resident size now
// (VmRSS) once every thread has been through each of its requests (warm-up),
// and at the end. The simulators' traces are cleared every second so that they
// do not grow with the run.
//
// Usage: vexan_soak [--seconds N] [--timeout-ms N] [--allow-timeouts N] [--seed N] [--overrun-margin-ms N]
//                   [--faults split,garbage,busy,drop]   (the default: all four)
//                   [--show-trace]   (print the module's trace of unexpected time-outs)
//                   [--timing-reported]
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "vexan.h"
#include "vexan_sim/simulator.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;
using vexsim::Command;

constexpr uint8_t kBoards = 8;
constexpr uint8_t kMasterNodeId = 1;
constexpr uint8_t kFirstNode = 11;
constexpr uint8_t kNodeThreads = 3;  // one node each, plus one thread for the master's queries
constexpr uint16_t kTestObject = 0x2000;
constexpr uint8_t kU32Sub = 3;
constexpr uint8_t kStringSub = 4;
constexpr uint16_t kDomainObject = 0x2100;  // 5000 bytes: a segmented upload into a spill file
constexpr uint16_t kOutputs = 0x6200;       // mapped into the node's first RxPDO
constexpr std::size_t kPdoBytes = 4;
constexpr uint8_t kNmtStart = 1;
constexpr uint8_t kNmtPreOperational = 128;
constexpr uint8_t kStateOperational = 5;
constexpr uint8_t kStatePreOperational = 127;
// A non-blocking request still waiting this long after its time-out is lost.
constexpr auto kLostGrace = std::chrono::seconds(10);
// How long after a time-out of a thread a wrong result may still be the late
// reply of the request that timed out, filed to a later one.
constexpr auto kLateReplyWindow = std::chrono::seconds(30);

uint16_t RxPdo(uint8_t node)
{
    return static_cast<uint16_t>(0x200 + node);
}
uint16_t TxPdo(uint8_t node)
{
    return static_cast<uint16_t>(0x180 + node);
}

struct Options {
    unsigned seconds = 20;
    uint32_t timeoutMs = 1000;
    uint64_t allowTimeouts = 0;
    uint32_t seed = 1;
    uint32_t overrunMarginMs = 1000;
    // Which faults the modules make.
    bool split = true;
    bool garbage = true;
    bool busy = true;
    bool drop = true;
    // Keep every trace line for a while, to show what became of a request
    // that timed out unexpectedly (costs memory and time).
    bool showTrace = false;
    bool timingReported = false;  // --timing-reported: timing verdicts printed, not failed
};

// Latencies in microseconds, in buckets 1/16 of a power of two wide: fixed
// size, so a long run uses no more memory than a short one.
class Histogram {
public:
    static constexpr std::size_t kSteps = 16;
    static constexpr std::size_t kBuckets = 40 * kSteps;

    void Add(uint64_t micros)
    {
        ++counts_[Bucket(micros)];
        ++total_;
        max_ = std::max(max_, micros);
    }
    void Merge(const Histogram& other)
    {
        for (std::size_t i = 0; i < kBuckets; ++i) {
            counts_[i] += other.counts_[i];
        }
        total_ += other.total_;
        max_ = std::max(max_, other.max_);
    }
    // The upper edge of the bucket that holds the given share of the samples.
    double Percentile(double share) const
    {
        const auto wanted = static_cast<uint64_t>(std::ceil(share * static_cast<double>(total_)));
        uint64_t seen = 0;
        for (std::size_t i = 0; i < kBuckets; ++i) {
            seen += counts_[i];
            if (seen >= wanted && seen != 0) {
                return std::min(UpperEdge(i), static_cast<double>(max_));
            }
        }
        return static_cast<double>(max_);
    }
    uint64_t Max() const { return max_; }

private:
    static std::size_t Bucket(uint64_t micros)
    {
        if (micros < 2) {
            return 0;
        }
        const double position = std::log2(static_cast<double>(micros)) * kSteps;
        return std::min(kBuckets - 1, static_cast<std::size_t>(position));
    }
    static double UpperEdge(std::size_t bucket) { return std::exp2(static_cast<double>(bucket + 1) / kSteps); }

    std::array<uint64_t, kBuckets> counts_{};
    uint64_t total_ = 0;
    uint64_t max_ = 0;
};

struct Tally {
    uint64_t requests = 0;
    uint64_t blocking = 0;
    uint64_t timeoutsDropped = 0;  // after a reply the module dropped
    uint64_t timeoutsCut = 0;      // after a reply the module cut into pieces
    uint64_t timeoutsUnexpected = 0;
    uint64_t lost = 0;
    uint64_t misfiled = 0;
    uint64_t misfiledAfterTimeout = 0;   // of those, right after this thread's request timed out
    uint64_t overruns = 0;               // blocking calls longer than time-out + margin
    uint64_t longestBlockingMicros = 0;  // the longest blocking call
    Histogram latency;

    void Merge(const Tally& other)
    {
        requests += other.requests;
        blocking += other.blocking;
        timeoutsDropped += other.timeoutsDropped;
        timeoutsCut += other.timeoutsCut;
        timeoutsUnexpected += other.timeoutsUnexpected;
        lost += other.lost;
        misfiled += other.misfiled;
        misfiledAfterTimeout += other.misfiledAfterTimeout;
        overruns += other.overruns;
        longestBlockingMicros = std::max(longestBlockingMicros, other.longestBlockingMicros);
        latency.Merge(other.latency);
    }
};

// The replies to exchange-lock requests (PDOWrite, NMTGetState) that any
// module dropped or cut, with the time they were traced: a holder of the
// process-wide exchange lock waiting out such a reply keeps the callers of
// every board from the lock.
struct ExchangeFaults {
    std::mutex lock;
    std::deque<std::pair<Clock::time_point, bool>> lines;  // (traced at, dropped)
    std::chrono::milliseconds keep{0};

    static bool Concerns(const std::string& line)
    {
        return line.find("PDOWrite") != std::string::npos || line.find("NMTGetState") != std::string::npos;
    }
    void Add(Clock::time_point at, bool dropped)
    {
        std::lock_guard guard(lock);
        lines.emplace_back(at, dropped);
        while (lines.front().first + keep < at) {
            lines.pop_front();
        }
    }
    // 2 a dropped reply, 1 a cut one, 0 none between `from` and `to`.
    int Between(Clock::time_point from, Clock::time_point to)
    {
        int found = 0;
        std::lock_guard guard(lock);
        for (const auto& [at, dropped] : lines) {
            if (at >= from && at <= to) {
                found = std::max(found, dropped ? 2 : 1);
            }
        }
        return found;
    }
};

ExchangeFaults exchangeFaults;

// One module on its own line and the board opened on it.
struct Board {
    uint8_t slot = 0;
    uint16_t firmware = 0;
    Bytes canStatus;
    Bytes nodeList;  // the module's answer to a node-list query
    std::unique_ptr<vexsim::Simulator> sim;
    int fd = -1;
    // The module's last trace lines (with --show-trace), to show what became
    // of a request that timed out unexpectedly.
    bool keepRecent = false;
    struct TraceLine {
        Clock::time_point at;
        std::string text;
    };
    // Lines are kept this long: longer than any request waits.
    std::chrono::milliseconds keep{0};
    std::mutex recentLock;
    std::deque<TraceLine> recent;
    // The replies (event-poll answers left out) the module dropped or cut, the
    // last of them with the time they were traced.
    std::atomic<uint64_t> dropped{0};
    std::atomic<uint64_t> cut{0};
    std::mutex faultLock;
    std::deque<TraceLine> faultLines;

    enum class Cause { None, Cut, Dropped };

    // What became of the replies to a request of `command` about one of
    // `tokens` (its node or COB-ID; none: any) between `from` and `to`.
    Cause CauseOf(const char* command, const std::vector<std::string>& tokens, Clock::time_point from,
                  Clock::time_point to)
    {
        Cause cause = Cause::None;
        std::lock_guard guard(faultLock);
        for (const auto& line : faultLines) {
            if (line.at + std::chrono::milliseconds(5) < from || line.at > to ||
                line.text.find(command) == std::string::npos || !Mentions(line.text, tokens)) {
                continue;
            }
            if (line.text.find("(dropped)") != std::string::npos) {
                return Cause::Dropped;
            }
            cause = Cause::Cut;
        }
        return cause;
    }

    // True when the line holds one of the tokens as a whole field.
    static bool Mentions(const std::string& line, const std::vector<std::string>& tokens)
    {
        if (tokens.empty()) {
            return true;
        }
        for (const auto& token : tokens) {
            for (auto at = line.find(token); at != std::string::npos; at = line.find(token, at + 1)) {
                const std::size_t after = at + token.size();
                if ((at == 0 || line[at - 1] == ' ') && (after == line.size() || line[after] == ' ')) {
                    return true;
                }
            }
        }
        return false;
    }
};

std::mutex reportLock;
// Findings printed, per kind: time-outs, and lost or misfiled replies.
std::atomic<int> timeoutReportsLeft{20};
std::atomic<int> faultReportsLeft{20};

// Prints one finding (the first few of each kind) to stderr.
template <typename... Args>
void Report(std::atomic<int>& left, const char* format, Args... args)
{
    if (left.fetch_sub(1) <= 0) {
        return;
    }
    std::lock_guard guard(reportLock);
    std::fprintf(stderr, format, args...);
    std::fputc('\n', stderr);
}

std::string Hex(const uint8_t* bytes, std::size_t count)
{
    std::string out;
    char buffer[4];
    for (std::size_t i = 0; i < count && i < 16; ++i) {
        std::snprintf(buffer, sizeof buffer, "%02X", bytes[i]);
        out += buffer;
    }
    return out;
}

// One application thread: runs its requests until the deadline and checks each.
class Worker {
public:
    Worker(Board& board, unsigned index, uint32_t seed, uint32_t timeoutMs, uint32_t overrunMarginMs)
        : board_(board),
          index_(index),
          node_(static_cast<uint8_t>(kFirstNode + index - 1)),
          random_(seed),
          timeoutMs_(timeoutMs),
          overrunMarginMs_(overrunMarginMs)
    {
        if (index_ != 0) {
            // How the module's trace names this thread's node and PDOs.
            nodeTokens_ = {"key=" + std::to_string(node_), "node=" + std::to_string(node_)};
            rxTokens_ = {CobToken(RxPdo(node_))};
            txTokens_ = {CobToken(TxPdo(node_))};
        }
    }

    void Run(const std::atomic<bool>& stop, std::atomic<unsigned>& warm)
    {
        bool counted = false;
        unsigned round = 0;
        while (!stop.load()) {
            if (index_ == 0) {
                MasterRound(round);
            } else {
                NodeRound(round);
            }
            ++round;
            if (!counted && round >= kWarmRounds) {
                counted = true;
                ++warm;
            }
        }
        if (!counted) {
            ++warm;
        }
    }

    const Tally& Result() const { return tally_; }

private:
    static constexpr unsigned kWarmRounds = 8;  // every kind of request at least once

    bool Blocking() { return std::uniform_int_distribution<int>(0, 1)(random_) == 1; }

    static std::string CobToken(uint16_t cobId)
    {
        std::array<char, 16> text{};
        std::snprintf(text.data(), text.size(), "cob=0x%03X", cobId);
        return text.data();
    }

    // The trace fields that name a request of `command` of this thread: none
    // for the master's queries (one thread per board asks them).
    const std::vector<std::string>& TokensOf(const char* command) const
    {
        const std::string_view name = command;
        if (name == "PDOWrite") {
            return rxTokens_;
        }
        if (name == "GetPDOLastData") {
            return txTokens_;
        }
        return nodeTokens_;
    }

    // Makes the call blocking or not (then repeats it while it answers 40),
    // measures it and counts its time-out. Returns the final result.
    template <typename Call>
    uint16_t Issue(const char* what, Call call, bool canWait = true)
    {
        const bool blocking = !canWait || Blocking();
        afterTimeout_ = lastTimedOut_;
        const auto start = Clock::now();
        uint16_t result = call(static_cast<uint8_t>(blocking ? 1 : 0));
        const auto firstReturned = Clock::now();
        const auto lostAfter = firstReturned + std::chrono::milliseconds(timeoutMs_) + kLostGrace;
        if (blocking) {
            const auto micros = static_cast<uint64_t>(
                std::chrono::duration_cast<std::chrono::microseconds>(firstReturned - start).count());
            tally_.longestBlockingMicros = std::max(tally_.longestBlockingMicros, micros);
            if (micros > (uint64_t{timeoutMs_} + overrunMarginMs_) * 1000) {
                ++tally_.overruns;
                Report(faultReportsLeft,
                       "slot %u thread %u: blocking %s returned %u after %" PRIu64 " ms, beyond its %u ms time-out",
                       board_.slot, index_, what, result, micros / 1000, timeoutMs_);
            }
        }
        if (!blocking && result == VEXAN_SENT) {
            std::uniform_int_distribution<int> pause(0, 400);
            do {
                std::this_thread::sleep_for(std::chrono::microseconds(pause(random_)));
                result = call(0);
            } while (result == VEXAN_WAITING && Clock::now() < lostAfter);
        }
        const auto end = Clock::now();
        ++tally_.requests;
        tally_.blocking += blocking ? 1 : 0;
        tally_.latency.Add(
            static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(end - start).count()));
        if (result == VEXAN_WAITING) {
            ++tally_.lost;
            Report(faultReportsLeft, "slot %u thread %u: request lost (%s, result %u after %lld ms)", board_.slot,
                   index_, blocking ? "blocking" : "non-blocking", result,
                   static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(end - start).count()));
        }
        lastTimedOut_ = result == VEXAN_TIMEOUT;
        if (lastTimedOut_) {
            lastTimeout_ = Clock::now();
        }
        if (result == VEXAN_TIMEOUT) {
            Board::Cause cause = board_.CauseOf(what, TokensOf(what), start, end);
            if (cause == Board::Cause::None && ExchangeFaults::Concerns(what)) {
                // Waited for the exchange lock behind a holder that waited out
                // a lost reply: it began at most a time-out before this call.
                const int held = exchangeFaults.Between(
                    start - std::chrono::milliseconds(timeoutMs_) - std::chrono::milliseconds(5), end);
                cause = held == 2 ? Board::Cause::Dropped : held == 1 ? Board::Cause::Cut : Board::Cause::None;
            }
            tally_.timeoutsDropped += cause == Board::Cause::Dropped ? 1 : 0;
            tally_.timeoutsCut += cause == Board::Cause::Cut ? 1 : 0;
            if (cause == Board::Cause::None) {
                ++tally_.timeoutsUnexpected;
                Report(
                    timeoutReportsLeft,
                    "slot %u thread %u: %s (%s) timed out after %lld ms with no dropped or cut reply to blame",
                    board_.slot, index_, what, blocking ? "blocking" : "non-blocking",
                    static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(end - start).count()));
                if (board_.keepRecent) {
                    ShowTrace(what, start, end);
                }
            }
        }
        return result;
    }

    // The module's trace lines about `command` from shortly before `from` to `to`.
    void ShowTrace(const char* command, Clock::time_point from, Clock::time_point to)
    {
        std::vector<std::string> lines;
        {
            std::lock_guard guard(board_.recentLock);
            for (const auto& line : board_.recent) {
                if (line.at + std::chrono::milliseconds(5) >= from && line.at <= to &&
                    line.text.find(command) != std::string::npos) {
                    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(line.at - from).count();
                    lines.push_back(std::to_string(micros) + " us: " + line.text);
                }
            }
        }
        std::lock_guard guard(reportLock);
        for (std::size_t i = 0; i < lines.size() && i < 40; ++i) {
            std::fprintf(stderr, "    %s\n", lines[i].c_str());
        }
    }

    // A final result other than a time-out must be `wanted` with `good` data.
    void Check(uint16_t result, bool good, const char* what, uint16_t wanted = VEXAN_OK)
    {
        if (result == VEXAN_TIMEOUT || result == VEXAN_WAITING) {
            return;
        }
        if (result != wanted || !good) {
            ++tally_.misfiled;
            // A reply held back past its request's time-out is filed to whichever
            // later request of the thread waits on the same record when it comes.
            if (afterTimeout_ || (lastTimeout_ && Clock::now() - *lastTimeout_ < kLateReplyWindow)) {
                ++tally_.misfiledAfterTimeout;
            }
            Report(faultReportsLeft, "slot %u thread %u: %s gave %u (wanted %u)%s%s", board_.slot, index_, what, result,
                   wanted, result == wanted ? " with wrong data" : "",
                   afterTimeout_ ? ", right after a request of this thread timed out" : "");
        }
    }

    std::optional<Bytes> Object(uint16_t index, uint8_t sub) { return board_.sim->ReadObject(node_, index, sub); }

    // ---- the master's queries: firmware version, mode, CAN status, node list

    void MasterRound(unsigned round)
    {
        const uint8_t slot = board_.slot;
        uint16_t version = 0;
        uint16_t result =
            Issue("GetFirmwareVersion", [&](uint8_t b) { return Vexan_GetFirmwareVersion(slot, &version, b); });
        Check(result, version == board_.firmware, "firmware version");

        const auto mode = static_cast<uint8_t>(random_());
        result = Issue("SetMasterMode", [&](uint8_t b) { return Vexan_SetMasterMode(slot, mode, b); });
        const auto heldMode = [&] { return board_.sim->WithModule([](vexsim::Module& m) { return m.MasterMode(); }); };
        Check(result, heldMode() == mode, "set master mode");
        uint8_t got = 0;
        result = Issue("GetMasterMode", [&](uint8_t b) { return Vexan_GetMasterMode(slot, &got, b); });
        // Against the mode the module holds now: a set that timed out may
        // have reached the module only after its time-out.
        Check(result, got == heldMode(), "get master mode");

        std::array<uint8_t, VEXAN_MAX_REPLY_DATA> reply{};
        if (round % 2 == 0) {
            result = Issue(
                "GetCANStatus", [&](uint8_t) { return Vexan_GetCANStatus(slot, reply.data()); }, false);
            Check(result, std::equal(board_.canStatus.begin(), board_.canStatus.end(), reply.begin()), "CAN status");
        } else {
            reply.fill(0);
            result = Issue("GetNodeList", [&](uint8_t b) { return Vexan_GetNodeList(slot, reply.data(), b); });
            Check(result, std::equal(board_.nodeList.begin(), board_.nodeList.end(), reply.begin()), "node list");
        }
    }

    // ---- one node: SDO, PDO and NMT

    void NodeRound(unsigned round)
    {
        switch (round % 8) {
        case 0:
        case 4:
            SdoNumber();
            break;
        case 1:
        case 5:
            SdoString();
            break;
        case 2:
            PdoWrite();
            PdoCache();
            break;
        case 3:
            Nmt();
            break;
        case 6:
            PdoCache();
            PdoWrite();
            break;
        case 7:
            // The large upload only every other time round: it takes forty
            // exchanges where the others take one or two.
            if (round % 16 == 7) {
                SdoSpill();
            } else {
                Nmt();
            }
            break;
        default:
            break;
        }
    }

    void SdoNumber()
    {
        Bytes value(4);
        for (auto& b : value) {
            b = static_cast<uint8_t>(random_());
        }
        WriteAndReadBack(kU32Sub, value, "u32");
    }

    void SdoString()
    {
        // Longer than four bytes: the read is a segmented upload into memory.
        Bytes value(std::uniform_int_distribution<std::size_t>(5, 200)(random_));
        for (auto& b : value) {
            b = static_cast<uint8_t>(std::uniform_int_distribution<int>('a', 'z')(random_));
        }
        WriteAndReadBack(kStringSub, value, "string");
    }

    void WriteAndReadBack(uint8_t sub, const Bytes& value, const char* what)
    {
        const uint8_t slot = board_.slot;
        uint16_t replyLength = 0xFFFF;
        std::array<uint8_t, VEXAN_SDO_WRITE_REPLY_BUFFER> replyData{};
        uint16_t result = Issue("SDOWrite", [&](uint8_t b) {
            return Vexan_SDOWriteData(slot, node_, kTestObject, sub, static_cast<uint32_t>(value.size()), value.data(),
                                      &replyLength, replyData.data(), b);
        });
        Check(result, replyLength == 0 && Object(kTestObject, sub) == value, what);

        uint32_t length = 0;
        std::array<uint8_t, VEXAN_SDO_READ_BUFFER> data{};
        result = Issue("SDORead", [&](uint8_t b) {
            return Vexan_SDOReadData(slot, node_, kTestObject, sub, &length, data.data(), b);
        });
        const auto held = Object(kTestObject, sub);
        const bool good = held && length == held->size() && std::equal(held->begin(), held->end(), data.begin());
        if (result == VEXAN_OK && !good) {
            Report(faultReportsLeft, "slot %u node %u: read %s %s, module holds %s", slot, node_, what,
                   Hex(data.data(), length).c_str(), held ? Hex(held->data(), held->size()).c_str() : "nothing");
        }
        Check(result, good, what);
    }

    void SdoSpill()
    {
        const uint8_t slot = board_.slot;
        uint32_t length = 0;
        std::array<uint8_t, VEXAN_SDO_READ_BUFFER> data{};
        const uint16_t result = Issue("SDORead", [&](uint8_t b) {
            return Vexan_SDOReadData(slot, node_, kDomainObject, 0, &length, data.data(), b);
        });
        bool good = false;
        const auto held = Object(kDomainObject, 0);
        if (result == VEXAN_OK && held && length == held->size()) {
            Bytes file(held->size());
            uint32_t bytesRead = 0;
            good = Vexan_SDOReadFile(slot, node_, kDomainObject, 0, 0, length, &bytesRead, file.data()) == VEXAN_OK &&
                   bytesRead == length && file == *held;
        }
        Check(result, good, "spilled upload");
    }

    void PdoWrite()
    {
        const uint8_t slot = board_.slot;
        std::array<uint8_t, kPdoBytes> data{};
        for (auto& b : data) {
            b = static_cast<uint8_t>(random_());
        }
        const uint16_t result = Issue(
            "PDOWrite", [&](uint8_t b) { return Vexan_PDOWrite(slot, RxPdo(node_), 0, kPdoBytes, data.data(), b); });
        bool good = true;
        for (uint8_t sub = 1; sub <= kPdoBytes; ++sub) {
            good = good && Object(kOutputs, sub) == Bytes{data[sub - 1U]};
        }
        Check(result, good, "PDO write");
    }

    void PdoCache()
    {
        const uint8_t slot = board_.slot;
        Bytes sent(std::uniform_int_distribution<std::size_t>(1, VEXAN_PDO_MAX_DATA)(random_));
        for (auto& b : sent) {
            b = static_cast<uint8_t>(random_());
        }
        board_.sim->InjectNodePdo(TxPdo(node_), sent);
        uint8_t flag = 0xEE;
        uint8_t length = 0;
        std::array<uint8_t, VEXAN_PDO_MAX_DATA> data{};
        const uint16_t result = Issue("GetPDOLastData", [&](uint8_t b) {
            return Vexan_GetPDOLastData(slot, TxPdo(node_), &flag, &length, data.data(), b);
        });
        Check(result, flag == 0 && length == sent.size() && std::equal(sent.begin(), sent.end(), data.begin()),
              "PDO cache");
    }

    uint8_t HeldState()
    {
        return board_.sim->WithModule([&](vexsim::Module& m) {
            const vexsim::SimNode* node = m.FindNode(node_);
            return node != nullptr ? static_cast<uint8_t>(node->state) : uint8_t{0xEE};
        });
    }

    void Nmt()
    {
        ChangeAndReadState(kNmtPreOperational, kStatePreOperational);
        ChangeAndReadState(kNmtStart, kStateOperational);
    }

    void ChangeAndReadState(uint8_t command, uint8_t state)
    {
        const uint8_t slot = board_.slot;
        uint16_t result =
            Issue("NMTChangeState", [&](uint8_t b) { return Vexan_NMTChangeState(slot, node_, command, b); });
        Check(result, HeldState() == state, "NMT change");
        std::array<uint8_t, VEXAN_NODE_REPLY_BUFFER> reply{};
        reply[0] = 0xEE;
        result = Issue("NMTGetState", [&](uint8_t b) { return Vexan_NMTGetState(slot, node_, reply.data(), b); });
        Check(result, reply[0] == HeldState(), "NMT state");
    }

    Board& board_;
    unsigned index_;
    uint8_t node_;
    std::mt19937 random_;
    uint32_t timeoutMs_;
    uint32_t overrunMarginMs_;
    bool lastTimedOut_ = false;                     // the thread's last request timed out
    std::optional<Clock::time_point> lastTimeout_;  // when a request of this thread last timed out
    bool afterTimeout_ = false;                     // the current request follows one that timed out
    std::vector<std::string> nodeTokens_;
    std::vector<std::string> rxTokens_;
    std::vector<std::string> txTokens_;
    Tally tally_;
};

struct Memory {
    long hwmKiB = -1;
    long rssKiB = -1;
};

Memory ReadMemory()
{
    Memory memory;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            memory.hwmKiB = std::strtol(line.c_str() + 6, nullptr, 10);
        } else if (line.rfind("VmRSS:", 0) == 0) {
            memory.rssKiB = std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return memory;
}

bool ParseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--show-trace") {
            options.showTrace = true;
            continue;
        }
        if (arg == "--timing-reported") {
            options.timingReported = true;
            continue;
        }
        if (i + 1 >= argc) {
            return false;
        }
        const unsigned long long value = std::strtoull(argv[++i], nullptr, 10);  // 0 for --faults
        if (arg == "--seconds") {
            options.seconds = static_cast<unsigned>(value);
        } else if (arg == "--timeout-ms") {
            options.timeoutMs = static_cast<uint32_t>(value);
        } else if (arg == "--allow-timeouts") {
            options.allowTimeouts = value;
        } else if (arg == "--seed") {
            options.seed = static_cast<uint32_t>(value);
        } else if (arg == "--overrun-margin-ms") {
            options.overrunMarginMs = static_cast<uint32_t>(value);
        } else if (arg == "--faults") {
            const std::string list = argv[i];
            options.split = list.find("split") != std::string::npos;
            options.garbage = list.find("garbage") != std::string::npos;
            options.busy = list.find("busy") != std::string::npos;
            options.drop = list.find("drop") != std::string::npos;
        } else {
            return false;
        }
    }
    return options.seconds > 0 && options.timeoutMs > 0;
}

// Opens the board on a new simulated module and prepares its nodes: listed,
// their first RxPDO installed, operational. False (with a message) on failure.
bool SetUpBoard(Board& board, uint8_t slot, const Options& options)
{
    board.slot = slot;
    board.firmware = static_cast<uint16_t>(0x0300 + slot);
    board.canStatus = {0, slot, static_cast<uint8_t>(2 * slot + 1), static_cast<uint8_t>(0x40 + slot)};
    vexsim::SimulatorOptions simOptions;
    simOptions.module.firmwareVersion = board.firmware;
    simOptions.randomSeed = options.seed * 131U + slot;
    board.sim = std::make_unique<vexsim::Simulator>(simOptions);
    for (uint8_t i = 0; i < kNodeThreads; ++i) {
        board.sim->AddDefaultNode(static_cast<uint8_t>(kFirstNode + i), true, false);
    }
    board.sim->WithModule([&](vexsim::Module& m) { m.SetCanStatus(board.canStatus); });
    board.sim->Start();
    board.fd = board.sim->OpenLibraryEnd();
    // The module must answer the identification within a few tens of
    // milliseconds, which a simulator thread on a loaded machine can miss: a
    // start that was not identified is tried again for a while, and said so.
    const auto startDeadline = Clock::now() + std::chrono::seconds(20);
    uint16_t started = VEXAN_NOT_IDENTIFIED;
    for (int attempt = 1; board.fd >= 0 && started == VEXAN_NOT_IDENTIFIED; ++attempt) {
        started = Vexan_InitMaster(slot, board.fd, kMasterNodeId, 0, 1);
        if (started == VEXAN_NOT_IDENTIFIED) {
            std::fprintf(stderr, "soak: board %u: module not identified (attempt %d)\n", slot, attempt);
            if (Clock::now() >= startDeadline) {
                break;
            }
            std::this_thread::sleep_for(
                std::min(std::chrono::milliseconds(25) * attempt, std::chrono::milliseconds(250)));
        }
    }
    if (board.fd < 0 || started != VEXAN_OK) {
        std::fprintf(stderr, "soak: board %u did not start (%u)\n", slot, started);
        return false;
    }
    Vexan_SetFunctionTimeout(slot, options.timeoutMs);
    board.nodeList = {kNodeThreads};
    const std::array<uint32_t, kPdoBytes> outputs{0x62000108, 0x62000208, 0x62000308, 0x62000408};
    for (uint8_t i = 0; i < kNodeThreads; ++i) {
        const auto node = static_cast<uint8_t>(kFirstNode + i);
        board.nodeList.push_back(node);
        if (Vexan_InstallPDO_List(slot, node, RxPdo(node), 0, 1, 255, 0, kPdoBytes, outputs.data(), 1) != VEXAN_OK ||
            Vexan_NMTChangeState(slot, node, kNmtStart, 1) != VEXAN_OK) {
            std::fprintf(stderr, "soak: node %u of board %u could not be prepared\n", node, slot);
            return false;
        }
    }
    // The trace: every line for a while, and the replies dropped or cut that
    // some request waits for (every one but the answers to event polls, which
    // the receive thread does not wait for). A blocking call may first wait
    // for the exchange lock for a time-out, then for its own reply.
    board.keep = std::chrono::milliseconds(2 * options.timeoutMs + 1000);
    exchangeFaults.keep = board.keep;
    board.keepRecent = options.showTrace;
    board.sim->SetTraceSink([&board](const std::string& line) {
        const auto now = Clock::now();
        if (line.rfind("-> ", 0) == 0 && line.find("EventPoll") == std::string::npos) {
            const bool dropped = line.find("(dropped)") != std::string::npos;
            if (dropped || line.find("(split at") != std::string::npos) {
                ++(dropped ? board.dropped : board.cut);
                if (ExchangeFaults::Concerns(line)) {
                    exchangeFaults.Add(now, dropped);
                }
                std::lock_guard guard(board.faultLock);
                board.faultLines.push_back(Board::TraceLine{now, line});
                while (board.faultLines.front().at + board.keep < now) {
                    board.faultLines.pop_front();
                }
            }
        }
        if (!board.keepRecent) {
            return;
        }
        std::lock_guard guard(board.recentLock);
        board.recent.push_back(Board::TraceLine{now, line});
        while (board.recent.front().at + board.keep < now) {
            board.recent.pop_front();
        }
    });
    vexsim::FaultSettings faults;
    faults.splitGapMs = 1;
    faults.garbage = options.garbage;
    board.sim->SetFaults(faults);
    return true;
}

// Now and then, on each board: drop one reply (until `noDrops`), make the next
// request of some command answer busy a few times; clear the traces.
void InjectFaults(std::vector<std::unique_ptr<Board>>& boards, const std::atomic<bool>& stop,
                  const std::atomic<bool>& noDrops, const Options& options)
{
    constexpr std::array<Command, 10> kBusyCommands{
        Command::GetFirmwareVersion, Command::SetMasterMode, Command::GetMasterMode, Command::GetNodeList,
        Command::NmtChangeState,     Command::NmtGetState,   Command::SdoRead,       Command::SdoWrite,
        Command::PdoWrite,           Command::GetPdoLastData};
    std::mt19937 random(options.seed);
    std::uniform_int_distribution<int> percent(0, 99);
    constexpr int kSplitPercent = 25;
    unsigned step = 0;
    while (!stop.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        for (auto& board : boards) {
            // Cut replies cost the line a pause per piece: cut all the time,
            // the replies of a busy board would queue up for longer than a
            // time-out. A quarter of the time on each board keeps the line's
            // load within what it carries.
            if (options.split) {
                board->sim->SplitRepliesRandomly(percent(random) < kSplitPercent);
            }
            if (options.drop && !noDrops.load() && percent(random) < 7) {
                // The next reply to one of the requests the threads make (an
                // event poll's answer is no request's reply).
                const Command command = kBusyCommands[random() % kBusyCommands.size()];
                board->sim->DropReplies(1, vexsim::DropTarget{static_cast<uint8_t>(command), std::nullopt});
            }
            if (options.busy && percent(random) < 30) {
                const Command command = kBusyCommands[random() % kBusyCommands.size()];
                const auto times = static_cast<unsigned>(1 + random() % 3);
                board->sim->SetBusy(static_cast<uint8_t>(command), std::nullopt, times);
            }
            if (step % 10 == 0) {
                board->sim->ClearTrace();
            }
        }
        ++step;
    }
}

void PrintMemory(const char* when, const Memory& memory)
{
    std::printf("memory %-5s VmHWM %ld KiB, VmRSS %ld KiB\n", when, memory.hwmKiB, memory.rssKiB);
}

int RunSoak(const Options& options)
{
    std::vector<std::unique_ptr<Board>> boards;
    for (uint8_t slot = 0; slot < kBoards; ++slot) {
        boards.push_back(std::make_unique<Board>());
        if (!SetUpBoard(*boards.back(), slot, options)) {
            return 2;
        }
    }

    std::atomic<bool> stop{false};
    std::atomic<bool> noDrops{false};
    std::atomic<bool> finished{false};
    std::atomic<unsigned> warm{0};
    std::vector<std::unique_ptr<Worker>> workers;
    for (auto& board : boards) {
        for (unsigned i = 0; i <= kNodeThreads; ++i) {
            workers.push_back(std::make_unique<Worker>(*board, i, options.seed * 7919U + board->slot * 16U + i,
                                                       options.timeoutMs, options.overrunMarginMs));
        }
    }
    // A run that does not end within a generous time after its deadline hangs.
    std::thread watchdog([&] {
        const auto limit = Clock::now() + std::chrono::seconds(options.seconds) + std::chrono::seconds(120);
        while (!finished.load()) {
            if (Clock::now() > limit) {
                std::fprintf(stderr, "soak: the run hangs: its threads did not end\n");
                std::fflush(nullptr);
                std::_Exit(3);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    });
    std::thread faults([&] { InjectFaults(boards, stop, noDrops, options); });
    std::vector<std::thread> threads;
    threads.reserve(workers.size());
    for (auto& worker : workers) {
        threads.emplace_back([&, w = worker.get()] { w->Run(stop, warm); });
    }
    // Warm: every thread has been through its requests, and the traces kept
    // have reached the length they keep.
    const auto workersStarted = Clock::now();
    while (warm.load() < workers.size() || Clock::now() < workersStarted + boards.front()->keep) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const Memory atStart = ReadMemory();
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::seconds(options.seconds);
    // The last drops come a time-out before the end, so that no thread is
    // still waiting out a dropped reply at the end.
    const auto lastDrop = deadline - std::chrono::milliseconds(options.timeoutMs);
    unsigned nextProgress = 60;
    while (Clock::now() < deadline) {
        if (Clock::now() >= lastDrop) {
            noDrops.store(true);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count();
        if (elapsed >= nextProgress) {
            const Memory now = ReadMemory();
            std::printf("after %u s: VmHWM %ld KiB, VmRSS %ld KiB\n", nextProgress, now.hwmKiB, now.rssKiB);
            std::fflush(stdout);
            nextProgress += 60;
        }
    }
    stop.store(true);
    for (auto& thread : threads) {
        thread.join();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    faults.join();
    const Memory atEnd = ReadMemory();

    Tally total;
    for (const auto& worker : workers) {
        total.Merge(worker->Result());
    }
    uint64_t dropped = 0;
    uint64_t cut = 0;
    for (auto& board : boards) {
        board->sim->ClearFaults();
        board->sim->ClearCommandPlans();
        dropped += board->dropped.load();
        cut += board->cut.load();
        if (Vexan_ShutdownMaster(board->slot) != VEXAN_OK) {
            std::fprintf(stderr, "soak: board %u did not shut down\n", board->slot);
            ++total.lost;
        }
        board->sim->SetTraceSink(nullptr);
    }
    finished.store(true);
    watchdog.join();
    for (auto& board : boards) {
        ::close(board->fd);
        board->sim.reset();
    }

    std::printf("soak: %u boards, %u threads each, %.1f s, function time-out %u ms, seed %u\n", kBoards,
                kNodeThreads + 1, seconds, options.timeoutMs, options.seed);
    std::printf("requests       %" PRIu64 " (%.0f per second; %" PRIu64 " blocking, %" PRIu64 " non-blocking)\n",
                total.requests, static_cast<double>(total.requests) / seconds, total.blocking,
                total.requests - total.blocking);
    std::printf("latency        p50 %.2f ms, p99 %.2f ms, max %.2f ms\n", total.latency.Percentile(0.50) / 1000.0,
                total.latency.Percentile(0.99) / 1000.0, static_cast<double>(total.latency.Max()) / 1000.0);
    std::printf("replies        %" PRIu64 " dropped, %" PRIu64 " cut into pieces by the modules\n", dropped, cut);
    std::printf("time-outs      %" PRIu64 " after a dropped reply, %" PRIu64 " after a cut reply, %" PRIu64
                " unexpected (allowed %" PRIu64 ")\n",
                total.timeoutsDropped, total.timeoutsCut, total.timeoutsUnexpected, options.allowTimeouts);
    std::printf("longest        blocking call %.2f ms against a time-out of %u ms; %" PRIu64
                " longer than time-out + %u ms\n",
                static_cast<double>(total.longestBlockingMicros) / 1000.0, options.timeoutMs, total.overruns,
                options.overrunMarginMs);
    std::printf("lost           %" PRIu64 "\n", total.lost);
    std::printf("misfiled       %" PRIu64 " (%" PRIu64 " soon after a time-out of the same thread)\n", total.misfiled,
                total.misfiledAfterTimeout);
    PrintMemory("start", atStart);
    PrintMemory("end", atEnd);
    const bool timingPassed = total.overruns == 0 && total.timeoutsUnexpected <= options.allowTimeouts &&
                              total.timeoutsCut * 100 <= cut && total.misfiledAfterTimeout == 0;
    const bool passed = total.lost == 0 && total.misfiled == total.misfiledAfterTimeout && total.requests > 0 &&
                        (timingPassed || options.timingReported);
    if (!timingPassed && options.timingReported) {
        std::printf("timing verdicts failed (reported only: the machine held the run back)\n");
    }
    std::printf("%s\n", passed ? "PASSED" : "FAILED");
    return passed ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: vexan_soak [--seconds N] [--timeout-ms N] [--allow-timeouts N] [--seed N]\n"
                     "                  [--overrun-margin-ms N]\n"
                     "                  [--faults split,garbage,busy,drop] [--show-trace] [--timing-reported]\n");
        return 2;
    }
    // Spilled uploads go to a directory of their own, removed at the end.
    std::string pattern = (std::filesystem::temp_directory_path() / "vexan-soak-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("soak: mkdtemp");
        return 2;
    }
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(pattern);
    int status = 2;
    try {
        status = RunSoak(options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "soak: %s\n", error.what());
    }
    std::filesystem::current_path(previous);
    std::filesystem::remove_all(pattern);
    return status;
}
