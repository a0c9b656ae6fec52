/* Reads a large object (VEXAN_SDO_SPILL_THRESHOLD bytes or more) by SDO into its
 * spill file in the current directory, then reads the file back in ranges with
 * Vexan_SDOReadFile and prints the object's length, its first bytes and a
 * checksum (the sum of its bytes). Exit status 0 only when the upload went to
 * the spill file and every range came back.
 * Usage: vexan-large-upload <serial device> <node id> <index (hex)> [sub-index] [slot] */
#include <stdio.h>
#include <stdlib.h>

#include "port.h"
#include "vexan.h"
#include "vexan_results.h"

/* Ranges that are read back from the spill file at a time. */
#define RANGE 1000u

static const char* Name(unsigned code)
{
    const char* name = vexan_result_name(code);
    return name != NULL ? name : "module status";
}

int main(int argc, char** argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: %s <device> <node id> <index (hex)> [sub-index] [slot]\n", argv[0]);
        return 2;
    }
    const uint8_t node = (uint8_t)atoi(argv[2]);
    const uint16_t index = (uint16_t)strtoul(argv[3], NULL, 16);
    const uint8_t sub = (uint8_t)(argc > 4 ? atoi(argv[4]) : 0);
    const uint8_t slot = (uint8_t)(argc > 5 ? atoi(argv[5]) : 0);
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
    /* The whole upload must finish within the function time-out: at 115200
     * baud a 64 KiB object alone takes several seconds on the line. */
    Vexan_SetFunctionTimeout(slot, 120000);

    static uint8_t data[VEXAN_SDO_READ_BUFFER];
    uint32_t length = 0;
    int failed = 0;
    result = Vexan_SDOReadData(slot, node, index, sub, &length, data, 1);
    if (result == VEXAN_SDO_ABORTED) {
        const uint32_t code =
            (uint32_t)data[0] | (uint32_t)data[1] << 8 | (uint32_t)data[2] << 16 | (uint32_t)data[3] << 24;
        printf("upload of %04X:%02X aborted 0x%08X\n", index, sub, code);
        failed = 1;
    } else if (result != VEXAN_OK) {
        printf("upload of %04X:%02X -> %u %s\n", index, sub, result, Name(result));
        failed = 1;
    } else if (length < VEXAN_SDO_SPILL_THRESHOLD) {
        printf("object %04X:%02X has %u bytes, read into memory: no spill file\n", index, sub, length);
        failed = 1;
    } else {
        printf("object %04X:%02X: %u bytes in spill file %u_%u_%04X_%02X.seg\n", index, sub, length, slot, node, index,
               sub);
        static uint8_t range[RANGE];
        uint32_t offset = 0;
        uint32_t sum = 0;
        while (offset < length) {
            uint32_t got = 0;
            result = Vexan_SDOReadFile(slot, node, index, sub, offset, RANGE, &got, range);
            if (result != VEXAN_OK || got == 0) {
                printf("reading the spill file at %u -> %u %s\n", offset, result, Name(result));
                failed = 1;
                break;
            }
            if (offset == 0) {
                printf("first bytes %02X %02X %02X %02X\n", range[0], range[1], range[2], range[3]);
            }
            for (uint32_t i = 0; i < got; ++i) {
                sum += range[i];
            }
            offset += got;
        }
        if (!failed) {
            printf("read back %u bytes in ranges of %u, checksum %u\n", offset, RANGE, sum);
        }
    }
    Vexan_ShutdownMaster(slot);
    example_close_port(port);
    return failed;
}
