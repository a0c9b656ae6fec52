// Fuzzes the device model's reader (src/od). The whole input is the EDS or
// DCF text, so the real files serve as seeds as they are.
//
// Checks: every entry is found again by index/sub-index and by its name path;
// the JSON view has one line per entry, each an object with the fixed first
// key, valid UTF-8 and no raw control byte; a Valid number of an integer type
// lies within the type's range and an Invalid value keeps its text and was
// reported; diagnostics point at lines of the text; and the same text with
// CRLF line ends reads into the same model (for texts of up to
// kLongestCrlfCheck bytes: reading a text a second time would double the cost
// of every input, and the line-end handling shows in short texts as well).
//
// fuzz/run.sh gives it inputs of up to 4 KiB: the first few KiB of a real file
// hold its header and objects of every kind, and a longer text only repeats
// them at a cost that grows with its length.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>
#include <variant>

#include "device_model.hpp"

namespace {

namespace od = vexan::od;

constexpr std::size_t kLongestCrlfCheck = 1024;

void Require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz_od: %s\n", what);
        std::abort();
    }
}

bool ValidUtf8(std::string_view text)
{
    for (std::size_t at = 0; at < text.size();) {
        const auto lead = static_cast<unsigned char>(text[at]);
        std::size_t length = 1;
        if (lead >= 0xF0) {
            length = 4;
        } else if (lead >= 0xE0) {
            length = 3;
        } else if (lead >= 0xC0) {
            length = 2;
        } else if (lead >= 0x80) {
            return false;
        }
        if (lead >= 0xF5 || lead == 0xC0 || lead == 0xC1 || at + length > text.size()) {
            return false;
        }
        for (std::size_t i = 1; i < length; ++i) {
            if ((static_cast<unsigned char>(text[at + i]) & 0xC0U) != 0x80U) {
                return false;
            }
        }
        at += length;
    }
    return true;
}

void CheckValue(const od::Entry& entry, const od::Value& value)
{
    if (value.state == od::Value::State::Invalid) {
        return;
    }
    if (value.state != od::Value::State::Valid || !value.number || !entry.data_type) {
        return;
    }
    const od::ValueClass value_class = od::ClassOf(*entry.data_type);
    const unsigned bits = od::BitsOf(*entry.data_type);
    if (value_class == od::ValueClass::Unsigned) {
        const auto* number = std::get_if<uint64_t>(&*value.number);
        Require(number != nullptr, "unsigned type without an unsigned number");
        Require(bits >= 64 || *number < (uint64_t{1} << bits), "unsigned number outside its type");
    } else if (value_class == od::ValueClass::Signed) {
        const auto* number = std::get_if<int64_t>(&*value.number);
        Require(number != nullptr, "signed type without a signed number");
        if (bits < 64) {
            const int64_t limit = int64_t{1} << (bits - 1);
            Require(*number >= -limit && *number < limit, "signed number outside its type");
        }
    } else if (value_class == od::ValueClass::Real) {
        Require(std::holds_alternative<double>(*value.number), "real type without a real number");
        Require(!value.node_relative, "node-relative real");
    } else if (value_class == od::ValueClass::Text) {
        Require(false, "number kept for a text type");
    }
    if (!value.node_relative) {
        Require(value.Evaluate(0) == value.number && value.Evaluate(9) == value.number, "plain number changed by node");
    }
}

std::size_t CountLines(std::string_view text)
{
    std::size_t lines = 1;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' || (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'))) {
            ++lines;
        }
    }
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const od::DeviceModel model = od::DeviceModel::Parse(text);

    const std::size_t lines = CountLines(text);
    std::size_t invalid_values = 0;
    for (const od::Diagnostic& diagnostic : model.Diagnostics()) {
        Require(diagnostic.line >= 1 && diagnostic.line <= lines, "diagnostic outside the text");
        Require(!diagnostic.message.empty(), "diagnostic without a message");
    }
    std::size_t entries = 0;
    uint32_t previous = 0;
    bool first = true;
    for (const od::Object& object : model.Objects()) {
        Require(model.FindObject(object.index) == &object, "object not found by index");
        for (const od::Entry& entry : object.Entries()) {
            ++entries;
            const uint32_t key = (uint32_t{entry.index} << 8U) | entry.subindex;
            Require(first || key > previous, "entries not in rising order");
            first = false;
            previous = key;
            Require(entry.index == object.index, "entry under another object");
            Require(model.FindEntry(entry.index, entry.subindex) == &entry, "entry not found by index");
            const std::string path = object.HasSubs() ? object.Name() + "/" + entry.name : entry.name;
            bool found = false;
            for (const od::Entry* named : model.FindEntries(path)) {
                found = found || named == &entry;
            }
            Require(found, "entry not found by its name path");
            for (const od::Value* value :
                 {&entry.default_value, &entry.parameter_value, &entry.low_limit, &entry.high_limit}) {
                CheckValue(entry, *value);
                invalid_values += value->state == od::Value::State::Invalid ? 1 : 0;
            }
        }
    }
    Require(entries == model.EntryCount(), "entry count");
    std::size_t unparsable = 0;
    for (const od::Diagnostic& diagnostic : model.Diagnostics()) {
        unparsable += diagnostic.kind == od::DiagnosticKind::UnparsableValue ? 1 : 0;
    }
    // Compact sub-objects share their header's value: one report, many copies.
    Require(invalid_values == 0 || unparsable > 0, "invalid value not reported");

    const std::string json = od::ModelJsonLines(model, 7);
    std::size_t json_lines = 0;
    for (std::size_t at = 0; at < json.size();) {
        const std::size_t end = json.find('\n', at);
        Require(end != std::string::npos, "JSON line without its end");
        const std::string_view line(json.data() + at, end - at);
        Require(line.substr(0, 9) == "{\"index\":" && line.back() == '}', "JSON line shape");
        for (const char c : line) {
            Require(static_cast<unsigned char>(c) >= 0x20, "raw control byte in JSON");
        }
        ++json_lines;
        at = end + 1;
    }
    Require(json_lines == entries, "JSON lines per entry");
    Require(ValidUtf8(json), "JSON not UTF-8");

    if (size <= kLongestCrlfCheck && text.find('\r') == std::string_view::npos) {
        std::string crlf;
        crlf.reserve(size + size / 8);
        for (const char c : text) {
            if (c == '\n') {
                crlf += '\r';
            }
            crlf += c;
        }
        const od::DeviceModel again = od::DeviceModel::Parse(crlf);
        Require(od::ModelJsonLines(again, 7) == json, "CRLF text reads differently");
        Require(again.Diagnostics().size() == model.Diagnostics().size(), "CRLF text reports differently");
    }
    return 0;
}
