/* The serial port on Windows: a HANDLE opened for synchronous I/O. */
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "port.h"

static void ReportError(const char* what, const char* name)
{
    fprintf(stderr, "%s %s: Windows error %lu\n", what, name, (unsigned long)GetLastError());
}

VexanPort example_open_port(const char* name)
{
    /* COM10 and above are reachable only as \\.\COM10; the prefix suits all. */
    char path[MAX_PATH];
    const char* prefix = strncmp(name, "\\\\", 2) == 0 ? "" : "\\\\.\\";
    if (snprintf(path, sizeof path, "%s%s", prefix, name) >= (int)sizeof path) {
        fprintf(stderr, "port name too long: %s\n", name);
        return VEXAN_NO_PORT;
    }
    /* No FILE_FLAG_OVERLAPPED: the library reads and writes synchronously. */
    const HANDLE port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (port == INVALID_HANDLE_VALUE) {
        ReportError("opening", path);
        return VEXAN_NO_PORT;
    }
    if (GetFileType(port) == FILE_TYPE_PIPE) {
        return port; /* a pipe has no line to set up */
    }
    DCB line;
    memset(&line, 0, sizeof line);
    line.DCBlength = sizeof line;
    if (!GetCommState(port, &line)) {
        ReportError("reading the line settings of", path);
        CloseHandle(port);
        return VEXAN_NO_PORT;
    }
    line.BaudRate = CBR_115200;
    line.ByteSize = 8;
    line.Parity = NOPARITY;
    line.StopBits = ONESTOPBIT;
    line.fBinary = TRUE;
    line.fParity = FALSE;
    line.fOutxCtsFlow = FALSE; /* no flow control of any kind */
    line.fOutxDsrFlow = FALSE;
    line.fDtrControl = DTR_CONTROL_ENABLE;
    line.fDsrSensitivity = FALSE;
    line.fOutX = FALSE;
    line.fInX = FALSE;
    line.fErrorChar = FALSE;
    line.fNull = FALSE;
    line.fRtsControl = RTS_CONTROL_ENABLE;
    line.fAbortOnError = FALSE; /* an error must not stall every later read */
    /* Reads return at once with what is waiting (the library asks how many
     * bytes wait before it reads); writes wait until the bytes are out. */
    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    if (!SetCommState(port, &line) || !SetCommTimeouts(port, &timeouts)) {
        ReportError("setting up the line of", path);
        CloseHandle(port);
        return VEXAN_NO_PORT;
    }
    PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR);
    return port;
}

void example_close_port(VexanPort port)
{
    CloseHandle(port);
}

void example_sleep_ms(unsigned ms)
{
    Sleep(ms);
}
