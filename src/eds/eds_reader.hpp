// The EDS reader: loads a node's electronic data sheet as one text, looks up
// the value of a key in a section, and reads value texts as 32-bit numbers,
// node-relative ones ("$NODEID+0x180", "0x180+$NODEID") included.
//
// Lookup rules: section names and keys match without regard to ASCII case; a
// section runs from its name to the next "[" that begins a line (or the end of
// the text); the value is the text after the first "=" that follows the key, up
// to the line end ("\n" or "\r\n") or the end of the text, with its leading
// blanks skipped. The file is read once; an index of the section headers built
// at load time finds a section without searching the whole text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/platform.hpp"
#include "vexan.h"

namespace vexan {

// Longest path the reader takes, in bytes, without its NUL.
inline constexpr std::size_t kEdsMaxPath = 255;
// Size of a value buffer: at most 99 characters and a NUL.
inline constexpr std::size_t kEdsValueBuffer = 100;
// Longest number text before the "+" of the form "number+$NODEID".
inline constexpr std::size_t kEdsMaxRelativeNumber = 9;

class EdsReader {
public:
    explicit EdsReader(platform::FilePath path);

    // Reads the file and indexes it; returns the text length, 0 when the file
    // cannot be opened or read, or is empty.
    uint32_t LoadText();
    // Uses `text` as the file's content (tests, fuzzing); same result as LoadText.
    uint32_t SetText(std::string_view text);

    void SetNodeId(uint8_t nodeId) { nodeId_ = nodeId; }
    uint32_t TextLength() const { return static_cast<uint32_t>(text_.size()); }

    // Copies the value of `key` in `section` (for example "[1005]",
    // "DefaultValue"), NUL-terminated, into `value` (kEdsValueBuffer bytes);
    // returns its length, 0 when not found, empty, or longer than 99 characters
    // (such a value is refused rather than cut).
    uint16_t FindValue(std::string_view section, std::string_view key, char* value) const;

    // True when `section` (for example "[1000]") begins a line of the text,
    // ignoring case: a header of the file, whatever keys its section holds.
    bool HasSectionHeader(std::string_view section) const;

    // Reads a value text as a number: VEXAN_OK and *number on success, VEXAN_EDS_VALUE
    // (number untouched) for a "$" not followed by NODEID, a $NODEID form
    // without a "+" term, or a "number+$NODEID" whose number text is longer
    // than kEdsMaxRelativeNumber characters.
    uint16_t ParseValue(const char* text, uint32_t* number) const;

private:
    void BuildIndex();
    std::size_t FindSection(std::string_view section) const;
    std::size_t SectionEnd(std::size_t from) const;

    platform::FilePath path_;
    std::string text_;
    uint8_t nodeId_ = 0;
    // Line-start section headers: the header text up to and including its
    // first "]", lower-cased, to the offset of its first occurrence.
    std::unordered_map<std::string, std::size_t> headers_;
    // Offsets of every "[" that begins a line, in order (section ends).
    std::vector<std::size_t> lineStarts_;
    // Offsets of every "[" inside a line: a section name found there counts
    // too, as it would for a plain search of the text.
    std::vector<std::size_t> inlineBrackets_;
};

}  // namespace vexan
