// The master's own commands: info.
#include <cstdio>

#include "command_group.hpp"
#include "vexan.h"
#include "vexan_results.h"

namespace vexantool {

namespace {

int Info(Context& context, const Args&)
{
    const uint8_t slot = Slot(context);
    Json json;
    json.Str("command", "info").Num("slot", slot).Num("library", Vexan_GetVersion());
    uint16_t firmware = 0;
    uint16_t result = Vexan_GetFirmwareVersion(slot, &firmware, 1);
    if (result != VEXAN_OK) {
        return Failed(context, "firmware version", result, json);
    }
    uint8_t can[VEXAN_MAX_REPLY_DATA] = {};
    result = Vexan_GetCANStatus(slot, can);
    if (result != VEXAN_OK) {
        return Failed(context, "CAN status", result, json);
    }
    uint8_t mode = 0;
    result = Vexan_GetMasterMode(slot, &mode, 1);
    if (result != VEXAN_OK) {
        return Failed(context, "master mode", result, json);
    }
    char firmwareText[32];
    std::snprintf(firmwareText, sizeof firmwareText, "%u.%u", firmware >> 8, firmware & 0xFF);
    json.Str("firmware", firmwareText)
        .Num("firmware_raw", firmware)
        .Num("can_state", can[0])
        .Num("tx_errors", can[1])
        .Num("rx_errors", can[2])
        .Num("overruns", can[3])
        .Num("master_mode", mode);
    char human[160];
    std::snprintf(human, sizeof human,
                  "library %u, firmware %s, CAN state %u (tx errors %u, rx errors %u, overruns %u), master mode %u",
                  Vexan_GetVersion(), firmwareText, can[0], can[1], can[2], can[3], mode);
    return Done(context, human, json);
}

}  // namespace

void AddMasterCommands(const CommandWiring& wiring)
{
    wiring.app.add_subcommand("info", "library and firmware versions, CAN status, master mode")
        ->callback(wiring.Run("info", Info));
}

}  // namespace vexantool
