// Helpers of the upload tests: the frames of a whole segmented upload, and the
// bytes of a spill file.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "module_peer.hpp"

namespace vexan::test {

// The module's frames of an upload of `data` from (node, index, sub-index),
// announcing `total` bytes, in chunks of `chunk`: the first segment, then the
// further ones.
inline std::vector<Bytes> UploadSegments(uint8_t node, uint16_t index, uint8_t subIndex, const Bytes& data,
                                         uint32_t total, std::size_t chunk)
{
    std::vector<Bytes> segments;
    std::size_t at = 0;
    do {
        const std::size_t take = std::min(chunk, data.size() - at);
        const Bytes part(data.begin() + static_cast<std::ptrdiff_t>(at),
                         data.begin() + static_cast<std::ptrdiff_t>(at + take));
        segments.push_back(UploadSegment(node, at == 0, index, subIndex, total, part));
        at += take;
    } while (at < data.size());
    return segments;
}

// Every byte of a file; empty when it cannot be read.
inline Bytes FileBytes(const std::string& name)
{
    std::ifstream in(name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace vexan::test
