// Text the tool builds often: numbers and bytes in hex, hex back to bytes, lists.
#pragma once

#include <cstdint>
#include <iostream>
#include <span>
#include <sstream>
#include <string>
#include <vector>

namespace vexantool {

// "0x1018" for Hex(0x1018, 4): at least `digits` digits.
std::string Hex(uint64_t value, int digits);
// "01 02 0A", or with another separator "01020A".
std::string HexBytes(std::span<const uint8_t> bytes, const char* separator = " ");
// Reads "01020A", "01 02 0a", "01:02-0A"; false when the text is not whole bytes.
bool ParseHexBytes(const std::string& text, std::vector<uint8_t>& out);
// The items with `separator` between them.
std::string Join(const std::vector<std::string>& items, const char* separator);
// The text in lower case (ASCII).
std::string Lower(std::string text);

// One message for stderr, gathered and written at once when the statement
// ends, so that a line of the trace relay's thread never lands inside it:
// ErrorLine() << "vexan: " << what << std::endl;
class ErrorLine {
public:
    ErrorLine() = default;
    ErrorLine(const ErrorLine&) = delete;
    ErrorLine& operator=(const ErrorLine&) = delete;
    ~ErrorLine() { std::cerr << text_.str() << std::flush; }

    template <class T>
    ErrorLine& operator<<(const T& value)
    {
        text_ << value;
        return *this;
    }
    ErrorLine& operator<<(std::ostream& (*manipulator)(std::ostream&))
    {
        text_ << manipulator;
        return *this;
    }

private:
    std::ostringstream text_;
};

}  // namespace vexantool
