// What the tool asks of the terminal it prints to.
#include "terminal.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

namespace vexantool {

bool StdoutIsTerminal()
{
    return isatty(STDOUT_FILENO) != 0;
}

bool StderrIsTerminal()
{
    return isatty(STDERR_FILENO) != 0;
}
std::size_t TerminalRows()
{
    winsize size{};
    return ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 ? size.ws_row : 24;
}

}  // namespace vexantool
