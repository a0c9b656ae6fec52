// Writing JSON strings, shared by the entries' JSON and the C interface.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vexan::od {

// Length of the valid UTF-8 sequence at text[at], or 0.
std::size_t Utf8Length(std::string_view text, std::size_t at);

// How control characters are written: newline, carriage return and tab as
// \n, \r and \t (the others as \u00XX), or every one of them as \u00XX.
enum class ControlEscapes { Short, Unicode };

// A JSON string. Bytes that are not UTF-8 are taken as Latin-1, the usual
// encoding of older files, so that no byte is lost.
void AppendString(std::string& out, std::string_view text, ControlEscapes controls = ControlEscapes::Short);

}  // namespace vexan::od
