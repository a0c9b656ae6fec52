// vexan demo: a walk through the library on two simulated boards.
#pragma once

#include <string>

namespace vexantool {

struct DemoOptions {
    std::string edsPath = VEXAN_TOOL_EDS_DIR "/canopennode_demodevice.eds";
    bool trace = false;
    bool json = false;
};

// Prints each step and its result and a summary; 0 only when every step passed.
int RunDemo(const DemoOptions& options);

}  // namespace vexantool
