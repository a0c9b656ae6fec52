// The server's log: one line per message on stderr, with its level. Under
// systemd (JOURNAL_STREAM set) each line starts with the syslog priority in
// angle brackets, which the journal reads as the message's level.
#pragma once

#include <string>

namespace vexantool::serve {

enum class LogLevel { Error = 3, Warning = 4, Info = 6, Debug = 7 };

// Messages above `level` are not written. Default: Info.
void SetLogLevel(LogLevel level);
bool ParseLogLevel(const std::string& name, LogLevel& level);  // error, warning, info, debug
bool LogEnabled(LogLevel level);
void Log(LogLevel level, const std::string& message);

}  // namespace vexantool::serve
