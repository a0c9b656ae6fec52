#include "support.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "link/protocol.hpp"  // command names for the trace decoder only
#include "vexan.h"
#include "vexan_results.h"
#include "vexan_sim/simulator.hpp"

namespace vexantool {

std::string ResultName(unsigned code)
{
    const char* name = vexan_result_name(code);
    return name != nullptr ? name : "";
}

std::string ResultText(unsigned code)
{
    const char* name = vexan_result_name(code);
    if (name == nullptr) {
        return "module status (" + std::to_string(code) + ")";
    }
    std::string text = name + std::strlen("VEXAN_");
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text + " (" + std::to_string(code) + ")";
}

std::string AbortMeaning(uint32_t code)
{
    struct Entry {
        uint32_t code;
        const char* text;
    };
    static constexpr Entry kAborts[] = {
        {0x05030000, "toggle bit not alternated"},
        {0x05040000, "SDO protocol timed out"},
        {0x05040001, "client/server command specifier not valid or unknown"},
        {0x05040002, "invalid block size"},
        {0x05040003, "invalid sequence number"},
        {0x05040004, "CRC error"},
        {0x05040005, "out of memory"},
        {0x06010000, "unsupported access to an object"},
        {0x06010001, "attempt to read a write only object"},
        {0x06010002, "attempt to write a read only object"},
        {0x06020000, "object does not exist in the object dictionary"},
        {0x06040041, "object cannot be mapped to the PDO"},
        {0x06040042, "the number and length of the objects to be mapped would exceed PDO length"},
        {0x06040043, "general parameter incompatibility"},
        {0x06040047, "general internal incompatibility in the device"},
        {0x06060000, "access failed due to a hardware error"},
        {0x06070010, "data type does not match, length of service parameter does not match"},
        {0x06070012, "data type does not match, length of service parameter too high"},
        {0x06070013, "data type does not match, length of service parameter too low"},
        {0x06090011, "sub-index does not exist"},
        {0x06090030, "invalid value for parameter"},
        {0x06090031, "value of parameter written too high"},
        {0x06090032, "value of parameter written too low"},
        {0x06090036, "maximum value is less than minimum value"},
        {0x060A0023, "resource not available: SDO connection"},
        {0x08000000, "general error"},
        {0x08000020, "data cannot be transferred or stored to the application"},
        {0x08000021, "data cannot be transferred or stored to the application because of local control"},
        {0x08000022, "data cannot be transferred or stored to the application because of the present device state"},
        {0x08000023, "object dictionary dynamic generation fails or no object dictionary is present"},
        {0x08000024, "no data available"},
    };
    for (const Entry& entry : kAborts) {
        if (entry.code == code) {
            return entry.text;
        }
    }
    return "unknown abort code";
}

std::string EmcyMeaning(uint16_t code)
{
    switch (code) {
    case 0x0000:
        return "error reset or no error";
    case 0x1000:
        return "generic error";
    case 0x6100:
        return "internal software";
    case 0x6200:
        return "user software";
    case 0x6300:
        return "data set";
    case 0x7000:
        return "additional modules";
    case 0x8100:
        return "communication";
    case 0x8110:
        return "CAN overrun (objects lost)";
    case 0x8120:
        return "CAN in error passive mode";
    case 0x8130:
        return "life guard error or heartbeat error";
    case 0x8140:
        return "recovered from bus off";
    case 0x8150:
        return "CAN-ID collision";
    case 0x8200:
        return "protocol error";
    case 0x8210:
        return "PDO not processed due to length error";
    case 0x8220:
        return "PDO length exceeded";
    case 0x8230:
        return "DAM MPDO not processed, destination object not available";
    case 0x8240:
        return "unexpected SYNC data length";
    case 0x8250:
        return "RPDO timeout";
    case 0x9000:
        return "external error";
    case 0xF000:
        return "additional functions";
    default:
        break;
    }
    switch (code >> 12) {
    case 0x2:
        return "current";
    case 0x3:
        return "voltage";
    case 0x4:
        return "temperature";
    case 0x5:
        return "device hardware";
    case 0x6:
        return "device software";
    case 0x7:
        return "additional modules";
    case 0x8:
        return "monitoring";
    case 0x9:
        return "external error";
    case 0xF:
        return (code >> 8) == 0xFF ? "device specific" : "additional functions";
    default:
        return "unknown error code";
    }
}

std::string Hex(uint64_t value, int digits)
{
    char text[32];
    std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

std::string HexBytes(std::span<const uint8_t> bytes, const char* separator)
{
    std::string out;
    char two[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0) {
            out += separator;
        }
        std::snprintf(two, sizeof two, "%02X", bytes[i]);
        out += two;
    }
    return out;
}

bool ParseHexBytes(const std::string& text, std::vector<uint8_t>& out)
{
    std::string digits;
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            digits += c;
        } else if (c != ' ' && c != ':' && c != '-') {
            return false;
        }
    }
    if (digits.size() % 2 != 0) {
        return false;
    }
    out.clear();
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return true;
}

bool StdoutIsTerminal()
{
    return isatty(STDOUT_FILENO) != 0;
}

bool StderrIsTerminal()
{
    return isatty(STDERR_FILENO) != 0;
}

// ---- JSON

std::string Json::Quote(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04X", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

void Json::Key(const std::string& key)
{
    if (!body_.empty()) {
        body_ += ',';
    }
    body_ += Quote(key) + ':';
}

Json& Json::Str(const std::string& key, const std::string& value)
{
    Key(key);
    body_ += Quote(value);
    return *this;
}

Json& Json::Num(const std::string& key, long long value)
{
    Key(key);
    body_ += std::to_string(value);
    return *this;
}

Json& Json::Hex(const std::string& key, uint64_t value, int digits)
{
    Num(key, static_cast<long long>(value));
    return Str(key + "_hex", vexantool::Hex(value, digits));
}

Json& Json::Bool(const std::string& key, bool value)
{
    Key(key);
    body_ += value ? "true" : "false";
    return *this;
}

Json& Json::Raw(const std::string& key, const std::string& json)
{
    Key(key);
    body_ += json;
    return *this;
}

Json& Json::Result(unsigned code)
{
    const std::string name = ResultName(code);
    Json result;
    result.Num("code", code).Raw("name", name.empty() ? "null" : Quote(name)).Str("text", ResultText(code));
    return Raw("result", result.Text());
}

std::string JsonArray(const std::vector<std::string>& items)
{
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        out += (i > 0 ? "," : "") + items[i];
    }
    return out + "]";
}

// ---- frame decoding

namespace {

constexpr uint8_t kFrameStart = 0x3A;  // every frame begins with ':'
constexpr uint8_t kIdentStart = '$';
constexpr std::size_t kIdentRequestSize = 5;
constexpr uint8_t kIdentReplyStart = '!';
constexpr std::size_t kIdentReplySize = 9;

std::string CommandName(unsigned code)
{
    const vexan::CommandInfo* info = vexan::FindCommand(code);
    return info != nullptr ? std::string(info->name) : "command " + std::to_string(code);
}

unsigned U16(std::span<const uint8_t> bytes, std::size_t at)
{
    return bytes.size() >= at + 2 ? static_cast<unsigned>(bytes[at] | bytes[at + 1] << 8) : 0;
}

}  // namespace

std::string FrameDecoder::Describe(std::span<const uint8_t> frame, bool fromModule)
{
    if (!frame.empty() && frame[0] == kIdentStart) {
        return "Identify";
    }
    if (!frame.empty() && frame[0] == kIdentReplyStart) {
        return "IdentReply \"" + std::string(frame.begin(), frame.end()) + "\"";
    }
    if (frame.size() < 3) {
        return "short frame [" + HexBytes(frame) + "]";
    }
    const uint8_t raw = frame[2];
    const unsigned code = raw & static_cast<uint8_t>(~vexan::kStatusReplyBit);
    const auto payload = frame.subspan(3);
    std::string out = CommandName(code);
    const vexan::CommandInfo* info = vexan::FindCommand(code);
    const bool pdoClass = info != nullptr && info->reply == vexan::ReplyClass::Pdo;
    if (!fromModule) {
        if (code == vexan::CodeOf(vexan::Command::ResultRequest) && !payload.empty()) {
            const unsigned asked = payload[0];
            const vexan::CommandInfo* askedInfo = vexan::FindCommand(asked);
            out += " for=" + CommandName(asked);
            if (askedInfo != nullptr && askedInfo->reply == vexan::ReplyClass::Pdo) {
                out += " cob=" + Hex(U16(payload, 1), 3);
            } else if (payload.size() > 1) {
                out += " key=" + std::to_string(payload[1]);
            }
            return out;
        }
        std::size_t used = 0;
        if (info != nullptr && info->key == vexan::KeyKind::CobId && payload.size() >= 2) {
            out += " cob=" + Hex(U16(payload, 0), 3);
            used = 2;
        } else if (info != nullptr && info->key == vexan::KeyKind::NodeId && !payload.empty()) {
            out += " node=" + std::to_string(payload[0]);
            used = 1;
        }
        if (payload.size() > used) {
            out += " [" + HexBytes(payload.subspan(used)) + "]";
        }
        return out;
    }
    // Replies: key (a COB-ID for the PDO class), a spare byte, then the status
    // of a status reply or the data of a data reply.
    std::size_t keySize = pdoClass ? 2 : 1;
    if (code == vexan::CodeOf(vexan::Command::EventPoll)) {
        return out + " events [" + HexBytes(payload) + "]";
    }
    if (payload.size() >= keySize) {
        out += pdoClass ? " cob=" + Hex(U16(payload, 0), 3) : " key=" + std::to_string(payload[0]);
    }
    const std::size_t dataAt = keySize + 1;
    if ((raw & vexan::kStatusReplyBit) != 0) {
        if (payload.size() > dataAt) {
            out += " status " + ResultText(payload[dataAt]);
        }
        return out;
    }
    out += " result " + ResultText(0);
    if (payload.size() > dataAt) {
        const auto data = payload.subspan(dataAt);
        out += " data[" + std::to_string(data.size()) + "]";
        if (data.size() <= 16) {
            out += " " + HexBytes(data);
        } else {
            out += " " + HexBytes(data.first(16)) + " ...";
        }
    }
    return out;
}

void FrameDecoder::Feed(std::span<const uint8_t> bytes, const std::function<void(const std::string&)>& line)
{
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    std::size_t at = 0;
    while (at < pending_.size()) {
        const uint8_t first = pending_[at];
        std::size_t size = 0;
        if (first == kFrameStart) {
            if (pending_.size() - at < 2) {
                break;
            }
            size = std::size_t{pending_[at + 1]} + 2;
        } else if (!fromModule_ && first == kIdentStart) {
            size = kIdentRequestSize;
        } else if (fromModule_ && first == kIdentReplyStart) {
            size = kIdentReplySize;
        } else {
            // Bytes outside frames: skipped up to the next frame start.
            std::size_t next = at;
            while (next < pending_.size() && pending_[next] != kFrameStart) {
                ++next;
            }
            line("skipped [" + HexBytes(std::span(pending_).subspan(at, next - at)) + "]");
            at = next;
            continue;
        }
        if (pending_.size() - at < size) {
            break;
        }
        line(Describe(std::span(pending_).subspan(at, size), fromModule_));
        at += size;
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(at));
}

// ---- trace relay

namespace {

bool MakeRaw(int fd)
{
    termios mode{};
    if (tcgetattr(fd, &mode) != 0) {
        return false;
    }
    cfmakeraw(&mode);
    mode.c_cc[VMIN] = 1;
    mode.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &mode) == 0;
}

bool WriteAll(int fd, const uint8_t* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::mutex gPrintMutex;

}  // namespace

TraceRelay::TraceRelay(int deviceFd, std::string label)
    : deviceFd_(deviceFd), label_(std::move(label)), start_(std::chrono::steady_clock::now())
{
    controllerFd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (controllerFd_ < 0 || grantpt(controllerFd_) != 0 || unlockpt(controllerFd_) != 0) {
        return;
    }
    const char* name = ptsname(controllerFd_);
    libraryFd_ = name != nullptr ? open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    if (libraryFd_ < 0 || !MakeRaw(libraryFd_) || !MakeRaw(controllerFd_) || pipe(wake_) != 0) {
        if (libraryFd_ >= 0) {
            close(libraryFd_);
        }
        libraryFd_ = -1;
        return;
    }
    thread_ = std::thread([this] { Run(); });
}

TraceRelay::~TraceRelay()
{
    if (thread_.joinable()) {
        const char c = 0;
        [[maybe_unused]] auto n = write(wake_[1], &c, 1);
        thread_.join();
    }
    for (int fd : {libraryFd_, controllerFd_, wake_[0], wake_[1]}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

void TraceRelay::Print(const std::string& direction, const std::string& text)
{
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start_).count();
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%4lld.%06lld", static_cast<long long>(elapsed / 1000000),
                  static_cast<long long>(elapsed % 1000000));
    std::lock_guard lock(gPrintMutex);
    std::cerr << "trace " << stamp << ' ' << label_ << direction << ' ' << text << '\n';
}

// Passes on what is still under way on either side until the line is quiet,
// so that the last frames (the master's stop command) are traced too.
void TraceRelay::Drain()
{
    constexpr int kQuietMs = 20;
    uint8_t buffer[512];
    for (;;) {
        pollfd fds[2] = {{controllerFd_, POLLIN, 0}, {deviceFd_, POLLIN, 0}};
        if (poll(fds, 2, kQuietMs) <= 0) {
            return;
        }
        bool moved = false;
        if ((fds[0].revents & POLLIN) != 0) {
            const ssize_t n = read(controllerFd_, buffer, sizeof buffer);
            if (n > 0) {
                moved = true;
                WriteAll(deviceFd_, buffer, static_cast<std::size_t>(n));
                toModule_.Feed({buffer, static_cast<std::size_t>(n)},
                               [this](const std::string& text) { Print("<-", text); });
            }
        }
        if ((fds[1].revents & POLLIN) != 0) {
            const ssize_t n = read(deviceFd_, buffer, sizeof buffer);
            if (n > 0) {
                moved = true;
                WriteAll(controllerFd_, buffer, static_cast<std::size_t>(n));
                fromModule_.Feed({buffer, static_cast<std::size_t>(n)},
                                 [this](const std::string& text) { Print("->", text); });
            }
        }
        if (!moved) {
            return;
        }
    }
}

void TraceRelay::Run()
{
    uint8_t buffer[512];
    for (;;) {
        pollfd fds[3] = {{controllerFd_, POLLIN, 0}, {deviceFd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if ((fds[2].revents & POLLIN) != 0) {
            Drain();
            return;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            const ssize_t n = read(controllerFd_, buffer, sizeof buffer);
            if (n > 0) {
                WriteAll(deviceFd_, buffer, static_cast<std::size_t>(n));
                toModule_.Feed({buffer, static_cast<std::size_t>(n)},
                               [this](const std::string& text) { Print("<-", text); });
            }
        }
        if ((fds[1].revents & POLLIN) != 0) {
            const ssize_t n = read(deviceFd_, buffer, sizeof buffer);
            if (n > 0) {
                WriteAll(controllerFd_, buffer, static_cast<std::size_t>(n));
                fromModule_.Feed({buffer, static_cast<std::size_t>(n)},
                                 [this](const std::string& text) { Print("->", text); });
            }
        }
        if (((fds[0].revents | fds[1].revents) & (POLLERR | POLLNVAL)) != 0) {
            // A side went away: wait for the stop instead of spinning.
            pollfd stop{wake_[0], POLLIN, 0};
            poll(&stop, 1, -1);
            return;
        }
    }
}

// ---- session

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

bool AddSimNodes(vexsim::Simulator& sim, const std::vector<std::string>& specs, std::string& error)
{
    if (specs.empty()) {
        sim.AddDefaultNode(5);
        sim.AddDefaultNode(6);
        return true;
    }
    unsigned nextId = 5;
    for (std::string spec : specs) {
        unsigned id = nextId;
        if (const auto at = spec.rfind('@'); at != std::string::npos) {
            char* end = nullptr;
            id = static_cast<unsigned>(std::strtoul(spec.c_str() + at + 1, &end, 0));
            if (*end != '\0' || id == 0 || id > 127) {
                error = "bad node id in " + spec;
                return false;
            }
            spec.resize(at);
        }
        nextId = id + 1;
        std::string why;
        if (!sim.AddEdsNode(static_cast<uint8_t>(id), spec, &why)) {
            error = spec + ": " + why;
            return false;
        }
    }
    return true;
}

Session::Session() = default;

Session::~Session()
{
    Close();
}

bool Session::Open(const SessionOptions& options, std::string& error)
{
    Close();
    options_ = options;
    if (options.sim) {
        sim_ = std::make_unique<vexsim::Simulator>();
        if (!AddSimNodes(*sim_, options.simEds, error)) {
            sim_.reset();
            return false;
        }
        try {
            sim_->Start();
        } catch (const std::exception& e) {
            error = std::string("the simulator did not start: ") + e.what();
            sim_.reset();
            return false;
        }
        deviceFd_ = sim_->OpenLibraryEnd();
        if (deviceFd_ < 0) {
            error = "cannot open the simulator's line";
            Close();
            return false;
        }
    } else if (!options.port.empty()) {
        deviceFd_ = OpenSerial(options.port, options.baud, error);
        if (deviceFd_ < 0) {
            return false;
        }
    } else {
        error = "no module: give --port PATH or --sim";
        return false;
    }
    int libraryFd = deviceFd_;
    if (options.trace) {
        relay_ = std::make_unique<TraceRelay>(deviceFd_, "");
        if (relay_->LibraryFd() < 0) {
            error = "cannot open the trace's pseudo-terminal";
            Close();
            return false;
        }
        libraryFd = relay_->LibraryFd();
    }
    const uint16_t result = StartMaster(Slot(), libraryFd, static_cast<uint8_t>(options.masterId));
    if (result != VEXAN_OK) {
        error = "starting the master failed: " + ResultText(result);
        Close();
        return false;
    }
    if (options.timeoutMs != 0) {
        Vexan_SetFunctionTimeout(Slot(), options.timeoutMs);
    }
    open_ = true;
    return true;
}

// The library gives the module a few tens of milliseconds to identify itself,
// which a module still booting, or a loaded machine running the simulator, can
// miss: the start is tried again then.
uint16_t StartMaster(uint8_t slot, int fd, uint8_t masterId)
{
    constexpr int kAttempts = 3;
    uint16_t result = VEXAN_NOT_IDENTIFIED;
    for (int attempt = 0; attempt < kAttempts && result == VEXAN_NOT_IDENTIFIED; ++attempt) {
        result = Vexan_InitMaster(slot, fd, masterId, 0, /*blocking=*/1);
    }
    return result;
}

void Session::Close()
{
    if (open_) {
        Vexan_ShutdownMaster(Slot());
        open_ = false;
    }
    relay_.reset();
    if (deviceFd_ >= 0) {
        // A terminal that stays open elsewhere (a simulator's line) would stay
        // exclusive after us and refuse every later open by others.
        if (!options_.sim) {
            ioctl(deviceFd_, TIOCNXCL);
        }
        close(deviceFd_);
        deviceFd_ = -1;
    }
    if (sim_) {
        sim_->Stop();
        sim_.reset();
    }
}

}  // namespace vexantool
