#include "log.hpp"

#include <unistd.h>

#include <atomic>
#include <cstdlib>

namespace vexantool::serve {
namespace {

std::atomic<int> gLevel{static_cast<int>(LogLevel::Info)};

const char* Name(LogLevel level)
{
    switch (level) {
    case LogLevel::Error:
        return "error";
    case LogLevel::Warning:
        return "warning";
    case LogLevel::Info:
        return "info";
    case LogLevel::Debug:
        return "debug";
    }
    return "info";
}

}  // namespace

void SetLogLevel(LogLevel level)
{
    gLevel.store(static_cast<int>(level));
}

bool ParseLogLevel(const std::string& name, LogLevel& level)
{
    for (LogLevel candidate : {LogLevel::Error, LogLevel::Warning, LogLevel::Info, LogLevel::Debug}) {
        if (name == Name(candidate)) {
            level = candidate;
            return true;
        }
    }
    return false;
}

bool LogEnabled(LogLevel level)
{
    return static_cast<int>(level) <= gLevel.load();
}

void Log(LogLevel level, const std::string& message)
{
    if (!LogEnabled(level)) {
        return;
    }
    static const bool journal = std::getenv("JOURNAL_STREAM") != nullptr;
    std::string line;
    if (journal) {
        line = "<" + std::to_string(static_cast<int>(level)) + ">";
    }
    line += "vexan serve: ";
    line += Name(level);
    line += ": " + message + "\n";
    // One write per line, so that lines of several threads do not mix.
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = write(STDERR_FILENO, line.data() + done, line.size() - done);
        if (n <= 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace vexantool::serve
