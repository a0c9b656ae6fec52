// The EDS reader's rules written out plainly, for the EDS fuzzers to hold the
// reader against: a lookup by search of the whole text (no index), and the
// reading of value texts as numbers with the C library's own strtoull. A broken
// expectation aborts, so that libFuzzer keeps the input that caused it.
#pragma once

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "eds/eds_reader.hpp"
#include "vexan.h"

// The plain searches below are the slowest part of an input; coverage of the
// fuzzer's own reference code guides nothing, so it is not instrumented.
#if defined(__clang__)
#define VEXAN_FUZZ_NOT_COVERED __attribute__((no_sanitize("coverage")))
#else
#define VEXAN_FUZZ_NOT_COVERED
#endif

namespace vexan::fuzz {

inline void RequireEds(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "broken expectation: %s\n", what);
        std::abort();
    }
}

inline char LowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// The text as the reader keeps it: a CR before a LF, or at the very end, goes.
inline std::string WithoutLineEndCr(std::string_view raw)
{
    std::string text;
    text.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\r' && (i + 1 == raw.size() || raw[i + 1] == '\n')) {
            continue;
        }
        text.push_back(raw[i]);
    }
    return text;
}

inline std::string Lowered(std::string_view text)
{
    std::string lowered(text);
    for (char& c : lowered) {
        c = LowerAscii(c);
    }
    return lowered;
}

// A text as the reference searches it: as kept, and in lower case (case is
// ignored in every search).
struct SearchedText {
    explicit SearchedText(std::string_view raw) : text(WithoutLineEndCr(raw)), lowered(Lowered(text)) {}
    std::string text;
    std::string lowered;
};

// The lookup rules by plain search of `text` (already without line-end CRs):
// the first occurrence of the section name, ignoring case; the section runs to
// the next "[" that begins a line; the key must start inside it; the value is
// what follows the next "=" up to the line end, leading blanks skipped, and
// counts as missing when empty or longer than 99 characters.
VEXAN_FUZZ_NOT_COVERED inline std::string ReferenceFind(const SearchedText& searched, std::string_view section,
                                                        std::string_view key)
{
    const std::string_view text = searched.text;
    const std::string_view lowered = searched.lowered;
    const std::size_t found = lowered.find(Lowered(section));
    if (found == std::string_view::npos) {
        return {};
    }
    const std::size_t start = found + section.size();
    std::size_t end = start;
    while (end < text.size() && !(text[end] == '[' && (end == 0 || text[end - 1] == '\n'))) {
        ++end;
    }
    const std::size_t keyAt = lowered.find(Lowered(key), start);
    if (keyAt == std::string_view::npos || keyAt >= end) {
        return {};
    }
    const std::size_t equals = text.find('=', keyAt + key.size());
    if (equals == std::string_view::npos) {
        return {};
    }
    std::size_t from = equals + 1;
    std::size_t to = text.find('\n', from);
    if (to == std::string_view::npos) {
        to = text.size();
    }
    while (from < to && (text[from] == ' ' || text[from] == '\t')) {
        ++from;
    }
    if (to - from >= kEdsValueBuffer) {
        return {};
    }
    return std::string(text.substr(from, to - from));
}

// Looks `key` up in `section` with the reader and by plain search, and checks
// that both agree and that the value keeps the buffer's bounds. Returns the
// value found.
inline std::string CheckLookup(const EdsReader& reader, const SearchedText& text, std::string_view section,
                               std::string_view key)
{
    std::array<char, kEdsValueBuffer> value{};
    value.fill('#');
    const uint16_t length = reader.FindValue(section, key, value.data());
    RequireEds(length < value.size(), "a value fits its buffer");
    RequireEds(value[length] == '\0', "a value is terminated");
    const std::string expected = ReferenceFind(text, section, key);
    RequireEds(length == expected.size() && std::string_view(value.data(), length) == expected,
               "a lookup gives what a plain search of the text gives");
    for (std::size_t i = length + 1; i < value.size(); ++i) {
        RequireEds(value[i] == '#', "a lookup writes nothing past the value's NUL");
    }
    return expected;
}

// A number read as strtoul does where unsigned long has 32 bits: white space,
// an optional sign (a minus negates modulo 2^32), in base 16 an optional "0x",
// the digits of the base; no digits give 0, a value too large gives 0xFFFFFFFF.
VEXAN_FUZZ_NOT_COVERED inline uint32_t ReferenceNumber(const char* text, int base)
{
    const char* at = text;
    while (*at == ' ' || (*at >= '\t' && *at <= '\r')) {
        ++at;
    }
    bool negative = false;
    if (*at == '+' || *at == '-') {
        negative = *at == '-';
        ++at;
    }
    // strtoull would take white space or a sign here too; strtoul, once past
    // its own sign, takes neither.
    if (*at == ' ' || (*at >= '\t' && *at <= '\r') || *at == '+' || *at == '-') {
        return 0;
    }
    errno = 0;
    const unsigned long long magnitude = std::strtoull(at, nullptr, base);
    if (errno == ERANGE || magnitude > 0xFFFFFFFFULL) {
        return 0xFFFFFFFFU;
    }
    const auto number = static_cast<uint32_t>(magnitude);
    return negative ? static_cast<uint32_t>(0U - number) : number;
}

inline bool HexPrefixed(const char* text)
{
    return text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

// The value rules: every "$" must begin "$NODEID" (any case), else 51; without
// one, or with node id 0, a plain number ("0x"/"0X": hexadecimal). Otherwise
// the first "+" must be followed, after spaces, by a term: "$" (the number
// stands before the "+", at most 9 characters up to a space or "+"), or a
// number; the node id is added to it. Nothing: 51.
VEXAN_FUZZ_NOT_COVERED inline std::optional<uint32_t> ReferenceParse(const char* text, uint8_t nodeId)
{
    bool relative = false;
    for (const char* at = std::strchr(text, '$'); at != nullptr; at = std::strchr(at + 1, '$')) {
        if (std::strlen(at + 1) < 6) {
            return std::nullopt;
        }
        for (std::size_t i = 0; i < 6; ++i) {
            if (LowerAscii(at[1 + i]) != "nodeid"[i]) {
                return std::nullopt;
            }
        }
        relative = true;
    }
    const auto plain = [](const char* from) {
        return HexPrefixed(from) ? ReferenceNumber(from + 2, 16) : ReferenceNumber(from, 10);
    };
    if (!relative || nodeId == 0) {
        return plain(text);
    }
    const char* plus = std::strchr(text, '+');
    if (plus == nullptr) {
        return std::nullopt;
    }
    const char* term = plus + 1;
    while (*term == ' ') {
        ++term;
    }
    if (*term == '\0') {
        return std::nullopt;
    }
    if (*term != '$') {
        return static_cast<uint32_t>(plain(term) + nodeId);
    }
    const bool hex = HexPrefixed(text);
    const std::string digits(hex ? text + 2 : text, std::strcspn(hex ? text + 2 : text, " +"));
    if (digits.size() > kEdsMaxRelativeNumber) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(ReferenceNumber(digits.c_str(), hex ? 16 : 10) + nodeId);
}

// Reads `text` with the reader and by the rules above; they must agree, and a
// failure leaves the number untouched.
inline void CheckParse(const EdsReader& reader, const char* text, uint8_t nodeId)
{
    constexpr uint32_t kUntouched = 0xA5A5A5A5;
    uint32_t number = kUntouched;
    const uint16_t result = reader.ParseValue(text, &number);
    const std::optional<uint32_t> expected = ReferenceParse(text, nodeId);
    RequireEds(result == VEXAN_OK || result == VEXAN_EDS_VALUE, "a value reads with VEXAN_OK or VEXAN_EDS_VALUE");
    RequireEds((result == 0) == expected.has_value(), "a value fails exactly when the rules refuse it");
    RequireEds(result == 0 ? number == *expected : number == kUntouched,
               "a value reads as the rules read it, and a refused one writes nothing");
}

}  // namespace vexan::fuzz
