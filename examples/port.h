/* Opening the module's serial port for the library, one small file per system
 * (port_posix.c, port_win32.c), so that the examples themselves stay the same
 * everywhere. */
#ifndef VEXAN_EXAMPLE_PORT_H
#define VEXAN_EXAMPLE_PORT_H

#include "vexan.h"

/* Opens the serial port `name` for the library: 115200 baud, 8 data bits, no
 * parity, one stop bit, no flow control, reads that return at once.
 *  - POSIX: a device path such as /dev/ttyUSB0 (or a pseudo-terminal), opened
 *    read-write, no controlling terminal, in raw mode.
 *  - Windows: "COM3" or "\\.\COM3" (any "\\" name is taken as it is, so a
 *    named pipe such as \\.\pipe\module works too). Opened by CreateFile for
 *    synchronous I/O (no FILE_FLAG_OVERLAPPED: the library's reads and writes
 *    fail on an overlapped handle), no sharing, line set through the DCB, and
 *    COMMTIMEOUTS with ReadIntervalTimeout MAXDWORD and both read totals 0.
 * Returns VEXAN_NO_PORT, with the reason on stderr, when the port cannot be
 * opened. */
VexanPort example_open_port(const char* name);

/* Closes what example_open_port opened; only after Vexan_ShutdownMaster. */
void example_close_port(VexanPort port);

/* Sleeps for `ms` milliseconds. */
void example_sleep_ms(unsigned ms);

#endif
