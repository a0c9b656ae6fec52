// What the tool asks of the terminal: whether it prints to one, and its height.
#pragma once

#include <cstddef>

namespace vexantool {

bool StdoutIsTerminal();
bool StderrIsTerminal();
// The height of the terminal on stdout in lines (24 when it does not say).
std::size_t TerminalRows();

}  // namespace vexantool
