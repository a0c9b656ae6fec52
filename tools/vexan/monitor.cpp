// monitor: the board's events live, as a table on a terminal, else one line
// (or one JSON object) an event.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <deque>
#include <iostream>
#include <map>
#include <mutex>

#include "command_group.hpp"
#include "pdo_fields.hpp"
#include "terminal.hpp"
#include "text.hpp"
#include "vexan.h"
#include "vexan_results.h"

namespace vexantool {

namespace {

std::mutex gEventMutex;
std::condition_variable gEventSignal;
bool gEventsWaiting = false;
std::atomic<bool> gInterrupted{false};

void OnEvent()
{
    {
        std::lock_guard lock(gEventMutex);
        gEventsWaiting = true;
    }
    gEventSignal.notify_one();
}

void OnInterrupt(int)
{
    gInterrupted = true;
}

// Every event callback of a slot, installed for the monitor's time.
struct Callback {
    uint16_t (*install)(uint32_t slot, EventCallback callback);
    uint16_t (*remove)(uint32_t slot);
};
constexpr Callback kCallbacks[] = {
    {Vexan_InstallBootUpISR, Vexan_RemoveBootUpISR},       {Vexan_InstallEMCYISR, Vexan_RemoveEMCYISR},
    {Vexan_InstallNMTErrISR, Vexan_RemoveNMTErrISR},       {Vexan_InstallReadSDOISR, Vexan_RemoveReadSDOISR},
    {Vexan_InstallWriteSDOISR, Vexan_RemoveWriteSDOISR},   {Vexan_InstallRxPDOISR, Vexan_RemoveRxPDOISR},
    {Vexan_InstallRemotePDOISR, Vexan_RemoveRemotePDOISR},
};

struct Event {
    std::string kind;
    unsigned slot = 0;
    std::string text;
    Json json;
};

// "2026-12-11T09:30:05.123Z": UTC, to the millisecond.
std::string IsoTime(std::chrono::system_clock::time_point when)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[40];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(ms % 1000));
    return text;
}

// Takes every queued event record.
std::vector<Event> DrainEvents()
{
    std::vector<Event> events;
    uint8_t slot = 0;
    uint8_t node = 0;
    uint8_t data[8] = {};
    while (Vexan_GetBootUpNodeAfterAdd(&slot, &node) == VEXAN_OK) {
        Event e{"boot-up", slot, NodeText(node) + " booted", {}};
        e.json.Num("node", node);
        events.push_back(e);
    }
    while (Vexan_GetEMCYData(&slot, &node, data) == VEXAN_OK) {
        Event e{"emcy", slot, EmcyText(node, data), {}};
        e.json.Num("node", node);
        AddEmcyFields(e.json, data);
        events.push_back(e);
    }
    uint8_t code = 0;
    while (Vexan_GetNMTError(&slot, &node, &code) == VEXAN_OK) {
        const std::string why = code == 1 ? "node guarding" : code == 2 ? "heartbeat" : "code " + std::to_string(code);
        Event e{"nmt-error", slot, NodeText(node) + ": NMT error (" + why + ")", {}};
        e.json.Num("node", node).Num("code", code);
        events.push_back(e);
    }
    uint16_t index = 0;
    uint8_t sub = 0;
    uint8_t length = 0;
    while (Vexan_GetMasterReadSDOEvent(&slot, &index, &sub) == VEXAN_OK) {
        Event e{"master-sdo-read", slot, "another master reads " + Hex(index, 4) + "/" + Hex(sub, 2), {}};
        e.json.Hex("index", index, 4).Num("sub", sub);
        events.push_back(e);
    }
    while (Vexan_GetMasterWriteSDOEvent(&slot, &index, &sub, &length, data) == VEXAN_OK) {
        const std::span<const uint8_t> bytes(data, std::min<std::size_t>(length, 4));
        Event e{"master-sdo-write",
                slot,
                "another master writes " + Hex(index, 4) + "/" + Hex(sub, 2) + " [" + HexBytes(bytes) + "]",
                {}};
        e.json.Hex("index", index, 4).Num("sub", sub).Str("hex", HexBytes(bytes, ""));
        events.push_back(e);
    }
    uint16_t cob = 0;
    while (Vexan_GetMasterRemotePDOEvent(&slot, &cob) == VEXAN_OK) {
        Event e{"master-remote-pdo", slot, "another master requests PDO " + Hex(cob, 3), {}};
        e.json.Hex("cob", cob, 3);
        events.push_back(e);
    }
    while (Vexan_GetMasterRxPDOEvent(&slot, &cob, &length, data) == VEXAN_OK) {
        const std::span<const uint8_t> bytes(data, std::min<std::size_t>(length, 8));
        Event e{"master-rx-pdo", slot, "another master sent PDO " + Hex(cob, 3) + " [" + HexBytes(bytes) + "]", {}};
        e.json.Hex("cob", cob, 3).Str("hex", HexBytes(bytes, ""));
        events.push_back(e);
    }
    return events;
}

}  // namespace

namespace {

// A followed PDO.
struct FollowedPdo {
    PdoLayout layout;
    bool shown = false;  // its data was shown once: from now on only new data
};

// The new data of the followed PDOs, as events: the module is asked for each
// one's last data (one request a PDO each pass); the first answer is shown
// whether or not it was read before, later ones only when new.
std::vector<Event> PollPdos(uint8_t slot, std::vector<FollowedPdo>& followed)
{
    std::vector<Event> events;
    for (FollowedPdo& pdo : followed) {
        uint8_t flag = 0;
        uint8_t length = 0;
        uint8_t data[VEXAN_PDO_MAX_DATA] = {};
        if (Vexan_GetPDOLastData(slot, pdo.layout.cob, &flag, &length, data, 1) != VEXAN_OK ||
            (flag != 0 && pdo.shown)) {
            continue;
        }
        pdo.shown = true;
        const std::span<const uint8_t> bytes(data, std::min<std::size_t>(length, VEXAN_PDO_MAX_DATA));
        const std::vector<PdoField> fields = DecodePdo(pdo.layout.model, pdo.layout.mapping, bytes);
        Event e{"pdo",
                slot,
                "PDO " + Hex(pdo.layout.cob, 3) + (pdo.layout.node != 0 ? " " + NodeText(pdo.layout.node) : "") + ": " +
                    FieldsInline(fields) + " [" + HexBytes(bytes) + "]",
                {}};
        e.json.Hex("cob", pdo.layout.cob, 3).Str("hex", HexBytes(bytes, ""));
        if (pdo.layout.node != 0) {
            e.json.Num("node", pdo.layout.node);
        }
        e.json.Raw("fields", FieldsJson(fields));
        events.push_back(e);
    }
    return events;
}

}  // namespace

int RunMonitor(Context& context, double seconds, unsigned count, const std::vector<unsigned>& pdos)
{
    const uint8_t slot = Slot(context);
    std::vector<FollowedPdo> followed;
    for (const unsigned cob : pdos) {
        std::string error;
        std::optional<PdoLayout> layout = ReadPdoLayout(context, static_cast<uint16_t>(cob), 0, error);
        if (!layout) {
            ErrorLine() << "vexan: monitor --pdo " << Hex(cob, 3) << ": " << error << std::endl;
            return kExitFailed;
        }
        followed.push_back(FollowedPdo{std::move(*layout), false});
    }
    // Callbacks only wake the loop; the records are read here, off the receive thread.
    for (const Callback& callback : kCallbacks) {
        callback.install(slot, OnEvent);
    }
    gInterrupted = false;
    auto previous = std::signal(SIGINT, OnInterrupt);
    const bool table = StdoutIsTerminal() && !context.json;
    std::map<std::string, unsigned> seen;  // kind -> count
    std::deque<std::string> log;           // the latest events, oldest first
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                 std::chrono::duration<double>(seconds > 0 ? seconds : 1e9));
    double drawnAt = -1;
    if (!table && !context.json) {
        std::cout << "monitoring slot " << unsigned{slot} << " (Ctrl-C ends)" << std::endl;
    }
    unsigned taken = 0;
    while (!gInterrupted && std::chrono::steady_clock::now() < end && (count == 0 || taken < count)) {
        {
            std::unique_lock lock(gEventMutex);
            gEventSignal.wait_for(lock, std::chrono::milliseconds(100), [] { return gEventsWaiting; });
            gEventsWaiting = false;
        }
        auto events = DrainEvents();
        for (Event& e : PollPdos(slot, followed)) {
            events.push_back(std::move(e));
        }
        const std::string now = IsoTime(std::chrono::system_clock::now());
        const double at = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        char stamp[16];
        std::snprintf(stamp, sizeof stamp, "%8.3f", at);
        for (const Event& e : events) {
            if (context.json) {
                Json json = e.json;
                json.Str("event", e.kind).Num("slot", e.slot).Str("time", now).Str("text", e.text);
                std::cout << json.Text() << std::endl;
            } else if (!table) {
                std::cout << stamp << " slot " << e.slot << " " << e.kind << ": " << e.text << std::endl;
            }
            ++seen[e.kind];
            ++taken;
            if (table) {
                char kind[24];
                std::snprintf(kind, sizeof kind, "%-18s", e.kind.c_str());
                log.push_back(std::string(stamp) + "  " + kind + " " + e.text);
            }
        }
        // The log scrolls: as many of the latest events as fit under the counters.
        const std::size_t room =
            std::max<std::size_t>(TerminalRows() > 6 + seen.size() ? TerminalRows() - 6 - seen.size() : 0, 3);
        while (log.size() > room) {
            log.pop_front();
        }
        // The table is redrawn when something came, and once a second for the clock.
        const bool redraw = !events.empty() || at - drawnAt >= 1.0 || drawnAt < 0;
        if (table && redraw) {
            drawnAt = at;
            std::cout << "\033[H\033[2J"
                      << "vexan monitor, slot " << unsigned{slot} << ", " << stamp << " s (Ctrl-C ends)\n\n";
            std::printf("%-18s %6s\n", "event", "count");
            for (const auto& [kind, number] : seen) {
                std::printf("%-18s %6u\n", kind.c_str(), number);
            }
            std::printf("\nlatest events:\n");
            for (const std::string& line : log) {
                std::printf("%s\n", line.c_str());
            }
            std::fflush(stdout);
        }
    }
    std::signal(SIGINT, previous);
    for (const Callback& callback : kCallbacks) {
        callback.remove(slot);
    }
    return kExitOk;
}

void AddMonitorCommand(const CommandWiring& wiring)
{
    Args& a = wiring.args;
    auto* monitor = wiring.app.add_subcommand("monitor", "show events live until Ctrl-C");
    monitor->add_option("--seconds", a.seconds, "stop after this many seconds");
    monitor->add_option("--count", a.count, "stop after this many events");
    monitor
        ->add_option("--pdo", a.pdos,
                     "follow this PDO (COB-ID; repeatable): its fields, named from the device files, whenever new "
                     "data comes (the module is asked about each one about ten times a second)")
        ->check(CLI::Range(1, 2047));
    monitor->callback(wiring.Run(
        "monitor", [](Context& c, const Args& args) { return RunMonitor(c, args.seconds, args.count, args.pdos); }));
}

}  // namespace vexantool
