// Fuzzes the node configuration run on an EDS text. The whole input is the
// EDS text (so real files serve as seeds as they are); the node id and the
// scripted module's answers are drawn from a hash of it. Each input is a whole
// run, with the short waits of a module that is still busy: the eds_reader
// fuzzer takes the reader alone at a far higher rate.
//
// Checks: lookups of the kind the run makes (and a few odd ones) give the same result as a plain search of
// the text by the same rules (no index), and their values read as the rules
// read them (eds_checks.hpp). The run against the
// scripted module ends with 0, 51 or the module's refusal, never 40, and
// installs PDOs only with COB-IDs up to 0x7FF, at most 8 entries and rising
// numbers 1..512, receive PDOs before transmit PDOs.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "eds/eds_load.hpp"
#include "eds/eds_reader.hpp"
#include "eds_checks.hpp"
#include "vexan.h"

namespace {

using vexan::fuzz::RequireEds;

struct Script {
    uint64_t state = 0;
    unsigned waits = 0;
    uint8_t Next()
    {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<uint8_t>(state >> 56);
    }
};

Script script;
int lastDirection = 0;
int lastNumber = 0;
unsigned installs = 0;

uint16_t Answer()
{
    const uint8_t pick = script.Next();
    if (pick < 8 && script.waits < 3) {
        ++script.waits;
        return VEXAN_WAITING;  // an earlier non-blocking request still busy
    }
    return pick < 24 ? uint16_t{0x18} : uint16_t{0};
}

uint16_t AddNode(uint8_t, uint8_t, uint8_t, uint16_t, uint16_t, uint8_t blocking)
{
    RequireEds(blocking == 1, "run call not blocking");
    return Answer();
}

uint16_t NmtChange(uint8_t, uint8_t, uint8_t, uint8_t)
{
    return Answer();
}

uint16_t SetCobId(uint8_t, uint8_t, uint16_t, uint8_t)
{
    return Answer();
}

uint16_t InstallPdo(uint8_t, uint8_t, uint16_t cobId, uint8_t direction, uint16_t number, uint8_t, uint16_t,
                    uint8_t count, const uint32_t* entries, uint8_t)
{
    RequireEds(cobId <= 0x7FF, "COB-ID above 0x7FF installed");
    RequireEds(count <= 8 && entries != nullptr, "entry count above 8");
    RequireEds(direction <= 1 && direction >= lastDirection, "transmit PDO before a receive PDO");
    RequireEds(number >= 1 && number <= 512, "PDO number outside 1..512");
    RequireEds(direction != lastDirection || number > lastNumber, "PDO numbers not rising");
    lastDirection = direction;
    lastNumber = number;
    ++installs;
    return Answer();
}

const vexan::EdsNodeCalls kScripted{&AddNode, &NmtChange, &SetCobId, &SetCobId, &InstallPdo};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::string raw(reinterpret_cast<const char*>(data), size);
    uint64_t hash = 1469598103934665603ULL;
    for (const char c : raw) {
        hash = (hash ^ static_cast<uint8_t>(c)) * 1099511628211ULL;
    }
    script = Script{hash, 0};
    const auto node = static_cast<uint8_t>(hash % 128);

    vexan::EdsReader reader("unused");
    if (reader.SetText(raw) == 0) {
        RequireEds(raw.empty() || raw == "\r", "text refused");
        return 0;
    }
    reader.SetNodeId(node);
    const vexan::fuzz::SearchedText text(raw);
    for (const char* section : {"[1000]", "[1005]", "[1014]", "[1400sub1]", "[1600sub0]", "[1600sub1]", "[1800sub1]",
                                "[1800sub5]", "[1a00sub1]", "[]", "[", "1400", "[1400sub1"}) {
        const std::string value = vexan::fuzz::CheckLookup(reader, text, section, "DefaultValue");
        vexan::fuzz::CheckParse(reader, value.c_str(), node);
    }

    lastDirection = 0;
    lastNumber = 0;
    installs = 0;
    const uint16_t outcome = vexan::ConfigureNode(reader, vexan::EdsRunParams{.slot = 0, .node = node}, kScripted);
    RequireEds(outcome == 0 || outcome == VEXAN_EDS_VALUE || outcome == 0x18, "run outcome");
    RequireEds(outcome == 0 || installs == 0, "PDOs installed by a failed run");
    return 0;
}
