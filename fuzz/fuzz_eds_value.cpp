// Fuzzes the reading of one EDS value text as a number on its own: the
// smallest pure part of a configuration run, so that it runs a great many
// inputs a second. The first byte's low seven bits are the node id; the rest,
// cut to a value's longest length and ended at its first NUL, is the value
// text as a lookup hands it on.
//
// Checks: the text reads as the rules read it (eds_checks.hpp), with the
// input's node id and with node id 0, and a refused text writes nothing.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "eds/eds_reader.hpp"
#include "eds_checks.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    const auto nodeId = static_cast<uint8_t>(data[0] & 0x7F);
    std::array<char, vexan::kEdsValueBuffer> value{};
    const std::size_t length = std::min(size - 1, value.size() - 1);
    std::memcpy(value.data(), data + 1, length);

    static vexan::EdsReader reader("unused");
    reader.SetNodeId(nodeId);
    vexan::fuzz::CheckParse(reader, value.data(), nodeId);
    reader.SetNodeId(0);
    vexan::fuzz::CheckParse(reader, value.data(), 0);
    return 0;
}
