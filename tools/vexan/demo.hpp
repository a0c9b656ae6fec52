// vexan demo: a walk through the library on two simulated boards.
#pragma once

#include <string>

namespace vexantool {

struct DemoOptions {
    // The third node's device file; empty: the demo writes a device file of
    // its own, so that an installed program depends on no other file.
    std::string edsPath;
    bool trace = false;
    bool json = false;
};

// Prints each step and its result and a summary; 0 only when every step passed.
int RunDemo(const DemoOptions& options);

}  // namespace vexantool
