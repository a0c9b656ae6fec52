// The id lists the module answers with.
#include "id_lists.hpp"

#include <algorithm>

#include "vexan.h"
#include "vexan_results.h"

namespace vexantool {

std::vector<std::string> NodeIdsOf(std::span<const uint8_t> reply)
{
    std::vector<std::string> ids;
    for (std::size_t i = 1; !reply.empty() && i <= reply[0] && i < reply.size(); ++i) {
        ids.push_back(std::to_string(reply[i]));
    }
    return ids;
}

uint16_t ReadPdoIdList(uint8_t slot, uint8_t node, bool rx, std::vector<uint16_t>& ids)
{
    uint8_t count = 0;
    uint16_t list[VEXAN_PDO_MAX_IDS] = {};
    const uint16_t result =
        rx ? Vexan_GetRxPDOID(slot, node, &count, list, 1) : Vexan_GetTxPDOID(slot, node, &count, list, 1);
    if (result == VEXAN_OK) {
        ids.assign(list, list + std::min<unsigned>(count, VEXAN_PDO_MAX_IDS));
    }
    return result;
}

}  // namespace vexantool
