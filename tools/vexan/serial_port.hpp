// Opening the serial device of a module.
#pragma once

#include <string>

namespace vexantool {

// Opens a serial device in raw mode at the given speed, locked against other
// programs; -1 with the reason in `error` on failure.
int OpenSerial(const std::string& path, unsigned baud, std::string& error);

}  // namespace vexantool
