/* Starts a master on a module, queries it blocking and non-blocking, and shuts
 * it down. Usage: vexan-demo <serial device or pseudo-terminal path> [slot] */
#include <stdio.h>
#include <stdlib.h>

#include "port.h"
#include "vexan.h"
#include "vexan_results.h"

static const char* Name(unsigned code)
{
    const char* name = vexan_result_name(code);
    return name != NULL ? name : "module status";
}

static void Report(const char* what, unsigned code)
{
    printf("%-34s -> %3u %s\n", what, code, Name(code));
}

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s <device> [slot]\n", argv[0]);
        return 2;
    }
    const uint8_t slot = (uint8_t)(argc > 2 ? atoi(argv[2]) : 0);
    const VexanPort port = example_open_port(argv[1]);
    if (port == VEXAN_NO_PORT) {
        return 1;
    }

    printf("library version %u\n", Vexan_GetVersion());
    uint16_t result = Vexan_InitMaster(slot, port, 1, 0, 1);
    Report("start master (node 1, blocking)", result);
    if (result != VEXAN_OK) {
        example_close_port(port);
        return 1;
    }

    uint16_t firmware = 0;
    result = Vexan_GetFirmwareVersion(slot, &firmware, 1);
    Report("firmware version", result);
    if (result == VEXAN_OK) {
        printf("    firmware %u.%u (0x%04X)\n", firmware >> 8, firmware & 0xFF, firmware);
    }

    Report("set master mode 1", Vexan_SetMasterMode(slot, 1, 1));

    /* The same query without blocking: 41 once sent, 40 while waiting, then the result. */
    uint8_t mode = 0;
    unsigned polls = 0;
    result = Vexan_GetMasterMode(slot, &mode, 0);
    Report("get master mode (non-blocking)", result);
    while (result == VEXAN_SENT || result == VEXAN_WAITING) {
        example_sleep_ms(1);
        ++polls;
        result = Vexan_GetMasterMode(slot, &mode, 0);
    }
    Report("  ... collected", result);
    if (result == VEXAN_OK) {
        printf("    mode %u after %u repeats\n", mode, polls);
    }

    uint8_t can[VEXAN_MAX_REPLY_DATA] = {0};
    result = Vexan_GetCANStatus(slot, can);
    Report("CAN status", result);
    if (result == VEXAN_OK) {
        printf("    status bytes %02X %02X\n", can[0], can[1]);
    }

    Report("master boot-up message", Vexan_MasterSendBootupMsg(slot, 1));

    Vexan_Pause(0);
    Report("firmware version while paused", Vexan_GetFirmwareVersion(slot, &firmware, 1));
    Vexan_Start();

    Report("shut down master", Vexan_ShutdownMaster(slot));
    Report("firmware version after shut-down", Vexan_GetFirmwareVersion(slot, &firmware, 1));
    example_close_port(port);
    return 0;
}
