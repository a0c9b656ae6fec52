// The library's result codes in words, for messages and JSON.
#pragma once

#include <string>

namespace vexantool {

// "timeout (35)", "ok (0)", or "module status (18)" for the module's own codes.
std::string ResultText(unsigned code);
// "VEXAN_TIMEOUT", or "" for a module status.
std::string ResultName(unsigned code);

}  // namespace vexantool
