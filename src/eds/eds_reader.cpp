// The EDS reader: one text per load, a header index, and the number reader.
#include "eds/eds_reader.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <utility>

#include "platform/platform.hpp"

namespace vexan {

namespace {

constexpr uint32_t kNumberMax = 0xFFFFFFFFU;
constexpr std::string_view kNodeId = "nodeid";

// ASCII lower case by table: the searches below fold every character they
// compare, so this costs one load rather than two tests.
constexpr std::array<char, 256> kLowerTable = [] {
    std::array<char, 256> table{};
    for (std::size_t i = 0; i < table.size(); ++i) {
        const auto c = static_cast<unsigned char>(i);
        table[i] = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    return table;
}();

char Lower(char c)
{
    return kLowerTable[static_cast<unsigned char>(c)];
}

char Upper(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool SameIgnoringCase(std::string_view text, std::size_t at, std::string_view word)
{
    if (at > text.size() || text.size() - at < word.size()) {
        return false;
    }
    for (std::size_t i = 0; i < word.size(); ++i) {
        if (Lower(text[at + i]) != Lower(word[i])) {
            return false;
        }
    }
    return true;
}

// First start of `word` at or after `from` and before `limit`, ignoring case.
std::size_t FindIgnoringCase(std::string_view text, std::string_view word, std::size_t from, std::size_t limit)
{
    if (word.empty()) {
        return from < limit ? from : std::string_view::npos;
    }
    const std::size_t end = std::min(limit, text.size());
    if (from >= end) {
        return std::string_view::npos;
    }
    // Candidates are where the first character stands in either case: the
    // next of each is found with memchr, and only those are compared whole.
    const char lower = Lower(word[0]);
    const char upper = Upper(lower);
    const auto next = [&](char c, std::size_t at) {
        const void* found = std::memchr(text.data() + at, c, end - at);
        return found == nullptr ? end : static_cast<std::size_t>(static_cast<const char*>(found) - text.data());
    };
    std::size_t nextLower = next(lower, from);
    std::size_t nextUpper = upper == lower ? end : next(upper, from);
    while (true) {
        const std::size_t at = std::min(nextLower, nextUpper);
        if (at >= end) {
            return std::string_view::npos;
        }
        if (SameIgnoringCase(text, at, word)) {
            return at;
        }
        if (at == nextLower) {
            nextLower = at + 1 < end ? next(lower, at + 1) : end;
        } else {
            nextUpper = at + 1 < end ? next(upper, at + 1) : end;
        }
    }
}

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool IsHexPrefix(const char* text)
{
    return text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

int DigitValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'Z') {
        return c - 'A' + 10;
    }
    return 99;
}

// Reads a number as the C library's strtoul does with a 32-bit unsigned long:
// leading white space, an optional sign (a minus negates modulo 2^32), in base
// 16 an optional "0x", then the digits of the base up to the first other
// character. No digits: 0. Too large for 32 bits: 0xFFFFFFFF.
uint32_t ReadNumber(const char* text, int base)
{
    const char* at = text;
    while (IsSpace(*at)) {
        ++at;
    }
    bool negative = false;
    if (*at == '+' || *at == '-') {
        negative = *at == '-';
        ++at;
    }
    if (base == 16 && IsHexPrefix(at) && DigitValue(at[2]) < 16) {
        at += 2;
    }
    uint64_t value = 0;
    bool overflow = false;
    for (; DigitValue(*at) < base; ++at) {
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(DigitValue(*at));
        if (value > kNumberMax) {
            overflow = true;
            value = kNumberMax;
        }
    }
    if (overflow) {
        return kNumberMax;
    }
    const auto number = static_cast<uint32_t>(value);
    return negative ? static_cast<uint32_t>(0U - number) : number;
}

}  // namespace

EdsReader::EdsReader(platform::FilePath path) : path_(std::move(path)) {}

uint32_t EdsReader::LoadText()
{
    text_.clear();
    headers_.clear();
    lineStarts_.clear();
    inlineBrackets_.clear();
    std::string raw;
    try {
        if (!platform::ReadWholeFile(path_, raw)) {
            return 0;
        }
        return SetText(raw);
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

uint32_t EdsReader::SetText(std::string_view raw)
{
    text_.clear();
    headers_.clear();
    lineStarts_.clear();
    inlineBrackets_.clear();
    if (raw.size() >= kNumberMax) {
        return 0;
    }
    try {
        // A line ends with "\n" or "\r\n": the CR of a pair goes, as does a CR
        // that ends the text, so that no value keeps one.
        text_.assign(raw);
        std::size_t kept = 0;
        for (std::size_t i = 0; i < text_.size(); ++i) {
            const bool crBeforeLf = text_[i] == '\r' && i + 1 < text_.size() && text_[i + 1] == '\n';
            const bool crAtEnd = text_[i] == '\r' && i + 1 == text_.size();
            if (!crBeforeLf && !crAtEnd) {
                text_[kept++] = text_[i];
            }
        }
        text_.resize(kept);
        BuildIndex();
    } catch (const std::bad_alloc&) {
        text_.clear();
        headers_.clear();
        lineStarts_.clear();
        inlineBrackets_.clear();
        return 0;
    }
    return static_cast<uint32_t>(text_.size());
}

void EdsReader::BuildIndex()
{
    for (std::size_t at = text_.find('['); at != std::string::npos; at = text_.find('[', at + 1)) {
        if (at != 0 && text_[at - 1] != '\n') {
            inlineBrackets_.push_back(at);
            continue;
        }
        lineStarts_.push_back(at);
        std::size_t close = at + 1;
        while (close < text_.size() && text_[close] != ']' && text_[close] != '\n') {
            ++close;
        }
        if (close < text_.size() && text_[close] == ']') {
            std::string name(text_, at, close + 1 - at);
            std::transform(name.begin(), name.end(), name.begin(), Lower);
            headers_.emplace(std::move(name), at);  // keeps the first occurrence
        }
    }
}

// The end of the first occurrence of `section` in the text, ignoring case, or
// npos. A name such as "[1400sub1]" can only begin at a "[": at a line start
// the index has it; one inside a line is checked among the few such "[".
std::size_t EdsReader::FindSection(std::string_view section) const
{
    const bool indexed = section.size() >= 2 && section.front() == '[' && section.back() == ']' &&
                         section.find(']') == section.size() - 1 && section.find('\n') == std::string_view::npos &&
                         section.find('[', 1) == std::string_view::npos;
    if (!indexed) {
        const std::size_t at = FindIgnoringCase(text_, section, 0, text_.size());
        return at == std::string_view::npos ? at : at + section.size();
    }
    std::size_t first = std::string_view::npos;
    std::string lower(section);
    std::transform(lower.begin(), lower.end(), lower.begin(), Lower);
    if (const auto found = headers_.find(lower); found != headers_.end()) {
        first = found->second;
    }
    for (const std::size_t at : inlineBrackets_) {
        if (at >= first) {
            break;
        }
        if (SameIgnoringCase(text_, at, section)) {
            first = at;
            break;
        }
    }
    return first == std::string_view::npos ? first : first + section.size();
}

std::size_t EdsReader::SectionEnd(std::size_t from) const
{
    const auto next = std::lower_bound(lineStarts_.begin(), lineStarts_.end(), from);
    return next == lineStarts_.end() ? text_.size() : *next;
}

bool EdsReader::HasSectionHeader(std::string_view section) const
{
    std::string lower(section);
    std::transform(lower.begin(), lower.end(), lower.begin(), Lower);
    return headers_.find(lower) != headers_.end();
}

uint16_t EdsReader::FindValue(std::string_view section, std::string_view key, char* value) const
{
    value[0] = '\0';
    const std::size_t sectionStart = FindSection(section);
    if (sectionStart == std::string_view::npos) {
        return 0;
    }
    const std::size_t sectionEnd = SectionEnd(sectionStart);
    const std::size_t keyAt = FindIgnoringCase(text_, key, sectionStart, sectionEnd);
    if (keyAt == std::string_view::npos) {
        return 0;
    }
    const std::size_t equals = text_.find('=', keyAt + key.size());
    if (equals == std::string::npos) {
        return 0;
    }
    std::size_t start = equals + 1;
    std::size_t end = text_.find('\n', start);
    if (end == std::string::npos) {
        end = text_.size();
    }
    while (start < end && IsBlank(text_[start])) {
        ++start;
    }
    const std::size_t length = end - start;
    if (length == 0 || length >= kEdsValueBuffer) {
        return 0;
    }
    std::memcpy(value, text_.data() + start, length);
    value[length] = '\0';
    return static_cast<uint16_t>(length);
}

uint16_t EdsReader::ParseValue(const char* text, uint32_t* number) const
{
    bool relative = false;
    for (const char* at = std::strchr(text, '$'); at != nullptr; at = std::strchr(at + 1, '$')) {
        for (std::size_t i = 0; i < kNodeId.size(); ++i) {
            if (Lower(at[1 + i]) != kNodeId[i]) {
                return VEXAN_EDS_VALUE;
            }
        }
        relative = true;
    }
    if (!relative || nodeId_ == 0) {
        *number = IsHexPrefix(text) ? ReadNumber(text + 2, 16) : ReadNumber(text, 10);
        return 0;
    }
    const char* plus = std::strchr(text, '+');
    if (plus == nullptr) {
        return VEXAN_EDS_VALUE;
    }
    const char* term = plus + 1;
    while (*term == ' ') {
        ++term;
    }
    if (*term == '\0') {
        return VEXAN_EDS_VALUE;
    }
    uint32_t offset = 0;
    if (*term == '$') {
        // "number+$NODEID": the number runs from the start to a space or "+".
        const bool hex = IsHexPrefix(text);
        const char* digits = hex ? text + 2 : text;
        const std::size_t length = std::strcspn(digits, " +");
        if (length > kEdsMaxRelativeNumber) {
            return VEXAN_EDS_VALUE;
        }
        std::array<char, kEdsMaxRelativeNumber + 1> copy{};
        std::memcpy(copy.data(), digits, length);
        offset = ReadNumber(copy.data(), hex ? 16 : 10);
    } else if (IsHexPrefix(term)) {
        offset = ReadNumber(term + 2, 16);
    } else {
        offset = ReadNumber(term, 10);
    }
    *number = offset + nodeId_;
    return 0;
}

}  // namespace vexan
