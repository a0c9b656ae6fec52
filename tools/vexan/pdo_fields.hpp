// A PDO's data as named, typed fields: the mapping the module reports for the
// COB-ID, cut and typed by the device file of the node whose PDO it is.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "commands.hpp"
#include "typed_objects.hpp"

namespace vexantool {

struct PdoLayout {
    uint16_t cob = 0;
    unsigned node = 0;  // 0: no node's device file describes it
    const vexan::od::DeviceModel* model = nullptr;
    std::vector<uint32_t> mapping;  // index << 16 | sub << 8 | bits
};

// The layout of a PDO: its mapping as the module reports it (one request),
// and the device file of `node`, or when node is 0 of the attached node
// whose receive or transmit PDOs include the COB-ID (a request a node asked).
// nullopt with the reason when the module reports no mapping.
std::optional<PdoLayout> ReadPdoLayout(const Context& context, uint16_t cob, unsigned node, std::string& error);

// "  6000:01 Read Inputs/Input 1 = 34 (0x22, u8)" a field, each line ended.
std::string FieldLines(const std::vector<PdoField>& fields, const char* indent);
// The fields as one line: "Input 1 = 34, Input 2 = 0".
std::string FieldsInline(const std::vector<PdoField>& fields);
// [{"index":..,"sub":..,"bits":..,"name":..,"type":..,"value":..,"hex":..},...]
std::string FieldsJson(const std::vector<PdoField>& fields);

}  // namespace vexantool
