// Decodes the frames on the line between the library and the module into one
// line of text each, named from the command table.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace vexantool {

// Decodes the frames of one direction of the line into one line each.
class FrameDecoder {
public:
    explicit FrameDecoder(bool fromModule) : fromModule_(fromModule) {}
    // Takes the bytes as they come; hands each complete frame's description out.
    void Feed(std::span<const uint8_t> bytes, const std::function<void(const std::string&)>& line);
    static std::string Describe(std::span<const uint8_t> frame, bool fromModule);

private:
    bool fromModule_;
    std::vector<uint8_t> pending_;
};

}  // namespace vexantool
