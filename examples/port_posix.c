/* The serial port on POSIX: a file descriptor in raw mode. */
#include <fcntl.h>
#include <stdio.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "port.h"

VexanPort example_open_port(const char* name)
{
    const int fd = open(name, O_RDWR | O_NOCTTY);
    if (fd < 0) {
        perror(name);
        return VEXAN_NO_PORT;
    }
    struct termios line;
    if (tcgetattr(fd, &line) == 0) {
        cfmakeraw(&line); /* 8 data bits, no parity, no echo or line editing */
        line.c_cflag &= (tcflag_t) ~(CSTOPB | CRTSCTS);
        line.c_cflag |= CLOCAL | CREAD;
        line.c_iflag &= (tcflag_t) ~(IXON | IXOFF | IXANY);
        line.c_cc[VMIN] = 0; /* a read returns at once with what is waiting */
        line.c_cc[VTIME] = 0;
        cfsetspeed(&line, B115200);
        if (tcsetattr(fd, TCSANOW, &line) != 0) {
            perror("setting up the line");
        }
    }
    return fd;
}

void example_close_port(VexanPort port)
{
    close(port);
}

void example_sleep_ms(unsigned ms)
{
    struct timespec pause;
    pause.tv_sec = (time_t)(ms / 1000);
    pause.tv_nsec = (long)(ms % 1000) * 1000000L;
    nanosleep(&pause, NULL);
}
