/* Starts a master, reads a node's identity object (0x1018, sub-indices 1..4) by
 * SDO and prints it, then shuts the master down. Exit status 0 only when every
 * read succeeded. Usage: vexan-read-identity <serial device> <node id> [slot] */
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

int main(int argc, char** argv)
{
    static const char* const fields[] = {"vendor", "product", "revision", "serial"};
    if (argc < 3) {
        fprintf(stderr, "usage: %s <device> <node id> [slot]\n", argv[0]);
        return 2;
    }
    const uint8_t node = (uint8_t)atoi(argv[2]);
    const uint8_t slot = (uint8_t)(argc > 3 ? atoi(argv[3]) : 0);
    const VexanPort port = example_open_port(argv[1]);
    if (port == VEXAN_NO_PORT) {
        return 1;
    }

    uint16_t result = Vexan_InitMaster(slot, port, 1, 0, 1);
    if (result != VEXAN_OK) {
        fprintf(stderr, "start master: %u %s\n", result, Name(result));
        example_close_port(port);
        return 1;
    }
    int failures = 0;
    for (uint8_t sub = 1; sub <= 4; ++sub) {
        uint8_t data[VEXAN_SDO_READ_BUFFER];
        uint32_t length = 0;
        result = Vexan_SDOReadData(slot, node, 0x1018, sub, &length, data, 1);
        if (result == VEXAN_OK && length == 4) {
            const uint32_t value =
                (uint32_t)data[0] | (uint32_t)data[1] << 8 | (uint32_t)data[2] << 16 | (uint32_t)data[3] << 24;
            printf("node %u %-8s 0x%08X\n", node, fields[sub - 1], value);
        } else if (result == VEXAN_SDO_ABORTED) {
            const uint32_t code =
                (uint32_t)data[0] | (uint32_t)data[1] << 8 | (uint32_t)data[2] << 16 | (uint32_t)data[3] << 24;
            printf("node %u %-8s aborted 0x%08X\n", node, fields[sub - 1], code);
            ++failures;
        } else {
            printf("node %u %-8s %u %s\n", node, fields[sub - 1], result, Name(result));
            ++failures;
        }
    }
    Vexan_ShutdownMaster(slot);
    example_close_port(port);
    return failures == 0 ? 0 : 1;
}
