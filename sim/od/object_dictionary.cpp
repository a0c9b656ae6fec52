// The dictionary container, the EDS/DCF text splitter and the number
// evaluator shared by the loader.
#include "object_dictionary.hpp"

#include "text_util.hpp"

#include <limits>

namespace vexsim {

std::size_t SizeOf(DataType type)
{
    switch (type) {
    case DataType::Boolean:
    case DataType::Integer8:
    case DataType::Unsigned8:
        return 1;
    case DataType::Integer16:
    case DataType::Unsigned16:
        return 2;
    case DataType::Integer32:
    case DataType::Unsigned32:
    case DataType::Real32:
        return 4;
    case DataType::Real64:
    case DataType::Integer64:
    case DataType::Unsigned64:
        return 8;
    case DataType::VisibleString:
    case DataType::OctetString:
    case DataType::UnicodeString:
    case DataType::Domain:
        return 0;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// ObjectDictionary

void ObjectDictionary::Put(ObjectEntry entry)
{
    const auto key = std::make_pair(entry.index, entry.subIndex);
    entries_.insert_or_assign(key, std::move(entry));
}

const ObjectEntry* ObjectDictionary::Find(uint16_t index, uint8_t subIndex) const
{
    const auto it = entries_.find({index, subIndex});
    return it == entries_.end() ? nullptr : &it->second;
}

ObjectEntry* ObjectDictionary::Find(uint16_t index, uint8_t subIndex)
{
    const auto it = entries_.find({index, subIndex});
    return it == entries_.end() ? nullptr : &it->second;
}

bool ObjectDictionary::HasIndex(uint16_t index) const
{
    const auto it = entries_.lower_bound({index, uint8_t{0}});
    return it != entries_.end() && it->first.first == index;
}

std::vector<const ObjectEntry*> ObjectDictionary::Entries() const
{
    std::vector<const ObjectEntry*> all;
    all.reserve(entries_.size());
    for (const auto& [key, entry] : entries_) {
        all.push_back(&entry);
    }
    return all;
}

std::optional<uint64_t> ObjectDictionary::ReadUnsigned(uint16_t index, uint8_t subIndex) const
{
    const ObjectEntry* entry = Find(index, subIndex);
    if (entry == nullptr) {
        return std::nullopt;
    }
    const std::size_t size = SizeOf(entry->type);
    // Variable-length types have no numeric reading; a fixed entry whose bytes
    // were replaced by something of another length is not trusted either.
    if (size == 0 || entry->value.size() != size) {
        return std::nullopt;
    }
    uint64_t result = 0;
    for (std::size_t i = 0; i < size; ++i) {
        result |= static_cast<uint64_t>(entry->value[i]) << (8 * i);
    }
    return result;
}

bool ObjectDictionary::WriteUnsigned(uint16_t index, uint8_t subIndex, uint64_t value)
{
    ObjectEntry* entry = Find(index, subIndex);
    if (entry == nullptr) {
        return false;
    }
    const std::size_t size = SizeOf(entry->type);
    if (size == 0) {
        return false;
    }
    // Higher bytes that do not fit the entry's type are dropped.
    entry->value.assign(size, 0);
    for (std::size_t i = 0; i < size; ++i) {
        entry->value[i] = static_cast<uint8_t>(value >> (8 * i));
    }
    return true;
}

// ---------------------------------------------------------------------------
// EdsText

EdsText EdsText::Parse(std::string_view text)
{
    EdsText result;
    // A UTF-8 byte order mark in front of the first section is not part of it.
    if (text.starts_with("\xEF\xBB\xBF")) {
        text.remove_prefix(3);
    }
    Section* current = nullptr;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);

        line = detail::Trim(line);  // also drops the CR of CR LF lines
        if (line.empty() || line.front() == ';') {
            continue;
        }
        if (line.front() == '[') {
            const std::size_t close = line.find(']');
            if (close == std::string_view::npos) {
                current = nullptr;  // malformed header: ignore its keys too
                continue;
            }
            const std::string_view name = detail::Trim(line.substr(1, close - 1));
            const std::string lower = detail::ToLower(name);
            // A section written twice continues the first one.
            const auto found = result.byLowerName_.find(lower);
            if (found != result.byLowerName_.end()) {
                current = &result.sections_[found->second];
            } else {
                result.byLowerName_.emplace(lower, result.sections_.size());
                result.sections_.push_back(Section{std::string(name), {}});
                current = &result.sections_.back();
            }
            continue;
        }
        const std::size_t eq = line.find('=');
        if (current == nullptr || eq == std::string_view::npos) {
            continue;  // text outside sections or without '=' carries nothing
        }
        current->keys.emplace_back(std::string(detail::Trim(line.substr(0, eq))),
                                   std::string(detail::Trim(line.substr(eq + 1))));
    }
    return result;
}

std::optional<std::string> EdsText::Value(std::string_view section, std::string_view key) const
{
    const auto found = byLowerName_.find(detail::ToLower(section));
    if (found == byLowerName_.end()) {
        return std::nullopt;
    }
    // The first occurrence of a key counts.
    for (const auto& [name, value] : sections_[found->second].keys) {
        if (detail::EqualsNoCase(name, key)) {
            return value;
        }
    }
    return std::nullopt;
}

bool EdsText::HasSection(std::string_view section) const
{
    return byLowerName_.contains(detail::ToLower(section));
}

std::vector<std::string> EdsText::Sections() const
{
    std::vector<std::string> names;
    names.reserve(sections_.size());
    for (const Section& section : sections_) {
        names.push_back(section.name);
    }
    return names;
}

// ---------------------------------------------------------------------------
// EvaluateEdsNumber

namespace {

std::optional<uint64_t> ParseDigits(std::string_view digits, unsigned base)
{
    if (digits.empty()) {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (const char c : digits) {
        const int digit = detail::HexDigitValue(c);
        if (digit < 0 || static_cast<unsigned>(digit) >= base) {
            return std::nullopt;
        }
        if (value > (std::numeric_limits<uint64_t>::max() - static_cast<unsigned>(digit)) / base) {
            return std::nullopt;  // does not fit 64 bits
        }
        value = value * base + static_cast<unsigned>(digit);
    }
    return value;
}

// One term: a number in decimal, 0x hex or leading-0 octal, or $NODEID.
std::optional<uint64_t> ParseTerm(std::string_view term, uint8_t nodeId)
{
    if (detail::EqualsNoCase(term, "$NODEID")) {
        return nodeId;
    }
    if (term.size() > 2 && term[0] == '0' && (term[1] == 'x' || term[1] == 'X')) {
        return ParseDigits(term.substr(2), 16);
    }
    if (term.size() > 1 && term[0] == '0') {
        return ParseDigits(term.substr(1), 8);
    }
    return ParseDigits(term, 10);
}

}  // namespace

std::optional<uint64_t> EvaluateEdsNumber(std::string_view text, uint8_t nodeId)
{
    // The value is a sum of terms ("$NODEID+0x180", "0x80 + $NodeID", "-5");
    // arithmetic wraps modulo 2^64 so negative results come out as two's
    // complement and are truncated to the object's type by the caller.
    std::string_view rest = detail::Trim(text);
    if (rest.empty()) {
        return std::nullopt;
    }
    uint64_t total = 0;
    bool negate = false;
    if (rest.front() == '-' || rest.front() == '+') {
        negate = rest.front() == '-';
        rest = detail::Trim(rest.substr(1));
    }
    while (true) {
        const std::size_t op = rest.find_first_of("+-");
        const std::string_view termText = detail::Trim(rest.substr(0, op));
        const std::optional<uint64_t> term = ParseTerm(termText, nodeId);
        if (!term) {
            return std::nullopt;
        }
        total = negate ? total - *term : total + *term;
        if (op == std::string_view::npos) {
            return total;
        }
        negate = rest[op] == '-';
        rest = rest.substr(op + 1);
    }
}

}  // namespace vexsim
