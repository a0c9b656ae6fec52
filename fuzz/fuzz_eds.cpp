// Fuzzes the EDS reader and the node configuration run. The whole input is the
// EDS text (so real files serve as seeds as they are); the node id and the
// scripted module's answers are drawn from a hash of it.
//
// Checks: every lookup the run makes, and a set of others, gives the same
// result as a plain search of the text by the same rules (no index); value
// texts are at most 99 characters, hold no line end, and start with no blank;
// ParseValue answers 0 or 51 and writes nothing on 51. The run against the
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
#include "vexan.h"

namespace {

void Require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz_eds: %s\n", what);
        std::abort();
    }
}

char Lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::size_t Search(const std::string& text, std::string_view word, std::size_t from)
{
    for (std::size_t at = from; at + word.size() <= text.size(); ++at) {
        std::size_t i = 0;
        while (i < word.size() && Lower(text[at + i]) == Lower(word[i])) {
            ++i;
        }
        if (i == word.size()) {
            return at;
        }
    }
    return std::string::npos;
}

// The lookup rules by plain search of the whole text.
std::string ReferenceFind(const std::string& raw, std::string_view section, std::string_view key)
{
    std::string text;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\r' && (i + 1 == raw.size() || raw[i + 1] == '\n')) {
            continue;
        }
        text.push_back(raw[i]);
    }
    const std::size_t found = Search(text, section, 0);
    if (found == std::string::npos) {
        return {};
    }
    const std::size_t start = found + section.size();
    std::size_t end = start;
    while (end < text.size() && !(text[end] == '[' && (end == 0 || text[end - 1] == '\n'))) {
        ++end;
    }
    const std::size_t keyAt = Search(text, key, start);
    if (keyAt == std::string::npos || keyAt >= end) {
        return {};
    }
    const std::size_t equals = text.find('=', keyAt + key.size());
    if (equals == std::string::npos) {
        return {};
    }
    std::size_t from = equals + 1;
    std::size_t to = text.find('\n', from);
    if (to == std::string::npos) {
        to = text.size();
    }
    while (from < to && (text[from] == ' ' || text[from] == '\t')) {
        ++from;
    }
    if (to - from >= vexan::kEdsValueBuffer) {
        return {};
    }
    return text.substr(from, to - from);
}

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
    Require(blocking == 1, "run call not blocking");
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
    Require(cobId <= 0x7FF, "COB-ID above 0x7FF installed");
    Require(count <= 8 && entries != nullptr, "entry count above 8");
    Require(direction <= 1 && direction >= lastDirection, "transmit PDO before a receive PDO");
    Require(number >= 1 && number <= 512, "PDO number outside 1..512");
    Require(direction != lastDirection || number > lastNumber, "PDO numbers not rising");
    lastDirection = direction;
    lastNumber = number;
    ++installs;
    return Answer();
}

const vexan::EdsNodeCalls kScripted{&AddNode, &NmtChange, &SetCobId, &SetCobId, &InstallPdo};

void CheckLookup(const vexan::EdsReader& reader, const std::string& raw, const char* section)
{
    std::array<char, vexan::kEdsValueBuffer> value{};
    const uint16_t length = reader.FindValue(section, "DefaultValue", value.data());
    const std::string expected = ReferenceFind(raw, section, "DefaultValue");
    Require(length == expected.size() && std::string_view(value.data(), length) == expected,
            "lookup differs from a plain search");
    Require(value[length] == '\0', "value not terminated");
    for (std::size_t i = 0; i < length; ++i) {
        Require(value[i] != '\n', "line end in a value");
    }
    uint32_t number = 0xA5A5A5A5;
    const uint16_t parsed = reader.ParseValue(value.data(), &number);
    Require(parsed == 0 || parsed == vexan::kEdsValueError, "ParseValue result");
    Require(parsed == 0 || number == 0xA5A5A5A5, "number written on failure");
}

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
        Require(raw.empty() || raw == "\r", "text refused");
        return 0;
    }
    reader.SetNodeId(node);
    for (const char* section : {"[1000]", "[1005]", "[1014]", "[1400sub1]", "[1600sub0]", "[1600sub1]", "[1800sub1]",
                                "[1800sub5]", "[1a00sub1]", "[]", "[", "1400", "[1400sub1"}) {
        CheckLookup(reader, raw, section);
    }

    lastDirection = 0;
    lastNumber = 0;
    installs = 0;
    const uint16_t outcome = vexan::ConfigureNode(reader, vexan::EdsRunParams{.slot = 0, .node = node}, kScripted);
    Require(outcome == 0 || outcome == vexan::kEdsValueError || outcome == 0x18, "run outcome");
    Require(outcome == 0 || installs == 0, "PDOs installed by a failed run");
    return 0;
}
