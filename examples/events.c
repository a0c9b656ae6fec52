/* Installs a boot-up and an EMCY callback, resets a node (which boots up again)
 * and waits until both callbacks have run; the callbacks take the queued records
 * with the readers and print them. Exit status 0 once a boot-up of the node and
 * an EMCY have been read. Usage: vexan-events <serial device> <node id> [slot] */
#include <pthread.h>
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

/* The callbacks run on the board's receive thread; main() reads what they saw
 * under this lock. */
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static uint8_t watched_node;
static unsigned bootup_calls, emcy_calls, bootups_of_node, emcys;

/* A callback only says that records wait: read until the queue is empty. */
static void OnBootUp(void)
{
    uint8_t slot = 0;
    uint8_t node = 0;
    pthread_mutex_lock(&lock);
    ++bootup_calls;
    while (Vexan_GetBootUpNodeAfterAdd(&slot, &node) == VEXAN_OK) {
        printf("boot-up: slot %u node %u\n", slot, node);
        if (node == watched_node) {
            ++bootups_of_node;
        }
    }
    fflush(stdout);
    pthread_mutex_unlock(&lock);
}

static void OnEmcy(void)
{
    uint8_t slot = 0;
    uint8_t node = 0;
    uint8_t data[8];
    pthread_mutex_lock(&lock);
    ++emcy_calls;
    while (Vexan_GetEMCYData(&slot, &node, data) == VEXAN_OK) {
        printf("EMCY: slot %u node %u data %02X %02X %02X %02X %02X %02X %02X %02X\n", slot, node, data[0], data[1],
               data[2], data[3], data[4], data[5], data[6], data[7]);
        ++emcys;
    }
    fflush(stdout);
    pthread_mutex_unlock(&lock);
}

int main(int argc, char** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: %s <device> <node id> [slot]\n", argv[0]);
        return 2;
    }
    watched_node = (uint8_t)atoi(argv[2]);
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
    if (Vexan_InstallBootUpISR(slot, OnBootUp) != VEXAN_OK || Vexan_InstallEMCYISR(slot, OnEmcy) != VEXAN_OK) {
        fprintf(stderr, "installing the callbacks failed\n");
        Vexan_ShutdownMaster(slot);
        example_close_port(port);
        return 1;
    }
    /* NMT reset node: the node boots up again, and the module reports it. */
    result = Vexan_NMTChangeState(slot, watched_node, 129, 1);
    printf("reset node %u -> %u %s\n", watched_node, result, Name(result));
    fflush(stdout);

    /* Wait up to 5 s for a boot-up of the node and an EMCY of any node. */
    int done = 0;
    for (int waited = 0; waited < 5000 && !done; waited += 10) {
        example_sleep_ms(10);
        pthread_mutex_lock(&lock);
        done = bootups_of_node > 0 && emcys > 0;
        pthread_mutex_unlock(&lock);
    }
    Vexan_RemoveBootUpISR(slot);
    Vexan_RemoveEMCYISR(slot);
    Vexan_ShutdownMaster(slot);
    example_close_port(port);
    pthread_mutex_lock(&lock);
    printf("callbacks: boot-up %u, EMCY %u; read: %u boot-ups of node %u, %u EMCYs\n", bootup_calls, emcy_calls,
           bootups_of_node, watched_node, emcys);
    pthread_mutex_unlock(&lock);
    return done ? 0 : 1;
}
