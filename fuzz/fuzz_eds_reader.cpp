// Fuzzes the EDS reader on its own: the loading of a text with its section
// index, lookups and the reading of the values found as numbers, without a
// configuration run (the eds fuzzer drives whole runs, far fewer a second).
// The whole input is the EDS text, so the EDS fuzzer's seeds and real files
// serve as they are; the node id is the first byte's low seven bits.
//
// Checks: every lookup gives what a plain search of the text gives (by the
// same rules, no index) and writes nothing past its value; lookups are made for
// the names the configuration run asks for, and for section names and keys
// taken from the text itself (so that the index's hits, duplicates, case
// variants and names inside a line are all asked for). Every value found is
// read as a number and must read as the rules read it (with the input's node
// id and with node id 0), 51 writing nothing. Value texts of any form are the
// eds_value fuzzer's inputs.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "eds/eds_reader.hpp"
#include "eds_checks.hpp"
#include "not_covered.hpp"

namespace {

using vexan::fuzz::CheckLookup;
using vexan::fuzz::CheckParse;
using vexan::fuzz::RequireEds;

constexpr std::string_view kDefaultValue = "DefaultValue";
// Names of the kind the configuration run looks up, and a few odd ones that
// the index cannot answer.
constexpr std::array<std::string_view, 8> kSections{"[1000]", "[1400sub1]", "[1800sub5]", "[1a00sub1]",
                                                    "[]",     "[",          "1400",       "[1400sub1]]"};
// At most this many section names and keys are taken from the text.
constexpr std::size_t kNamesFromText = 3;
constexpr std::size_t kLongestName = 40;

struct Name {
    std::string_view section;
    std::string_view key;
};

// Section names from the text's "[": up to the first "]" on its line (or a
// short piece when there is none), each with the key that begins the next line.
VEXAN_FUZZ_NOT_COVERED void NamesFromText(std::string_view text, std::vector<Name>& names)
{
    names.clear();
    for (std::size_t at = text.find('['); at != std::string_view::npos && names.size() < kNamesFromText;
         at = text.find('[', at + 1)) {
        const std::size_t lineEnd = std::min(text.find('\n', at), text.size());
        const std::size_t close = text.find(']', at);
        const std::size_t end = close < lineEnd ? close + 1 : std::min({lineEnd, at + 6, text.size()});
        const std::string_view section = text.substr(at, std::min(end - at, kLongestName));
        std::string_view key;
        if (lineEnd < text.size()) {
            const std::string_view next = text.substr(lineEnd + 1);
            key = next.substr(0, std::min({next.find('='), next.find('\n'), kLongestName, next.size()}));
        }
        names.push_back({section, key});
    }
}

VEXAN_FUZZ_NOT_COVERED void CheckNumbers(vexan::EdsReader& reader, const std::string& value, uint8_t nodeId)
{
    reader.SetNodeId(nodeId);
    CheckParse(reader, value.c_str(), nodeId);
    reader.SetNodeId(0);
    CheckParse(reader, value.c_str(), 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::string_view raw(reinterpret_cast<const char*>(data), size);
    const auto nodeId = static_cast<uint8_t>(size > 0 ? data[0] & 0x7F : 0);
    const vexan::fuzz::SearchedText searched(raw);
    const std::string_view text = searched.text;

    // One reader for the whole run: loading a text clears what the last one left.
    static vexan::EdsReader reader("unused");
    const uint32_t length = reader.SetText(raw);
    RequireEds(length == text.size(), "the text keeps every character but line-end CRs");
    if (length == 0) {
        return 0;
    }

    for (const std::string_view section : kSections) {
        CheckNumbers(reader, CheckLookup(reader, searched, section, kDefaultValue), nodeId);
    }
    static std::vector<Name> names;
    NamesFromText(text, names);
    for (const Name& name : names) {
        CheckNumbers(reader, CheckLookup(reader, searched, name.section, kDefaultValue), nodeId);
        if (!name.key.empty()) {
            CheckNumbers(reader, CheckLookup(reader, searched, name.section, name.key), nodeId);
        }
    }

    return 0;
}
