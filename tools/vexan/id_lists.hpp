// The id lists the module answers with: the node ids of a node-list reply and
// a node's PDO COB-IDs.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vexantool {

// The node ids of a node-list reply ([count, ids...]), as text; no further
// than the reply goes.
std::vector<std::string> NodeIdsOf(std::span<const uint8_t> reply);

// The receive (rx) or transmit PDO COB-IDs of a node as the module lists them.
uint16_t ReadPdoIdList(uint8_t slot, uint8_t node, bool rx, std::vector<uint16_t>& ids);

}  // namespace vexantool
