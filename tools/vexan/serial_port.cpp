// Opening a serial device for the module: raw, at the asked speed, locked.
#include "serial_port.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace vexantool {

namespace {

// The pid of the process that holds an flock on the file `info` describes,
// from /proc/locks; 0 when none is listed (or /proc is not there).
long FlockHolder(const struct stat& info)
{
    std::ifstream locks("/proc/locks");
    std::string line;
    char wanted[64];
    std::snprintf(wanted, sizeof wanted, "%02x:%02x:%llu", major(info.st_dev), minor(info.st_dev),
                  static_cast<unsigned long long>(info.st_ino));
    while (std::getline(locks, line)) {
        // "1: FLOCK  ADVISORY  WRITE 4242 00:1a:3 0 EOF"; blocked waiters are "1: -> FLOCK ...".
        std::istringstream fields(line);
        std::string number;
        std::string kind;
        std::string mode;
        std::string access;
        long pid = 0;
        std::string file;
        if (fields >> number >> kind >> mode >> access >> pid >> file && kind == "FLOCK" && file == wanted &&
            pid != static_cast<long>(getpid())) {
            return pid;
        }
    }
    return 0;
}

std::string PortInUse(long holder)
{
    return holder > 0 ? "port in use (held by pid " + std::to_string(holder) + ")" : "port in use";
}

}  // namespace

int OpenSerial(const std::string& path, unsigned baud, std::string& error)
{
    struct Speed {
        unsigned baud;
        speed_t code;
    };
    static constexpr Speed kSpeeds[] = {{9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
                                        {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600}};
    speed_t speed = 0;
    for (const Speed& s : kSpeeds) {
        if (s.baud == baud) {
            speed = s.code;
        }
    }
    if (speed == 0) {
        error = "unsupported baud rate " + std::to_string(baud);
        return -1;
    }
    // O_NONBLOCK: a FIFO or a modem line waiting for its carrier must not
    // hold the open up; the line is made blocking again below.
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        const int why = errno;
        if (why == EBUSY) {
            // Another process made the line exclusive (TIOCEXCL).
            struct stat info {};
            error = path + ": " + PortInUse(stat(path.c_str(), &info) == 0 ? FlockHolder(info) : 0);
        } else {
            error = path + ": " + std::strerror(why);
        }
        return -1;
    }
    // Nothing is written to a file, a FIFO or /dev/null: only a terminal is a line.
    struct stat info {};
    termios mode{};
    if (fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode) || tcgetattr(fd, &mode) != 0) {
        close(fd);
        error = path + ": not a serial device";
        return -1;
    }
    // One program on a line at a time: an advisory lock that every vexan (and
    // the Python package) takes, and the terminal's own exclusive mode against
    // programs that do not lock.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int why = errno;
        close(fd);
        error = path + ": " + (why == EWOULDBLOCK ? PortInUse(FlockHolder(info)) : std::strerror(why));
        return -1;
    }
    if (ioctl(fd, TIOCEXCL) != 0) {
        error = path + ": cannot make the line exclusive: " + std::strerror(errno);
        close(fd);
        return -1;
    }
    cfmakeraw(&mode);
    mode.c_cc[VMIN] = 1;
    mode.c_cc[VTIME] = 0;
    cfsetspeed(&mode, speed);
    tcsetattr(fd, TCSANOW, &mode);
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        error = path + ": " + std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace vexantool
