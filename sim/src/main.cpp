// vexan-sim: the module simulator as a program. Prints the path the library
// should open as the first line on stdout, then runs until SIGINT/SIGTERM, a
// "quit" on the control channel, or the end of stdin when stdin is the control
// channel. Control replies and the trace go to stderr, so stdout carries the
// path only and never fills up.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "vexan_sim/control.hpp"
#include "vexan_sim/simulator.hpp"

namespace {

volatile std::sig_atomic_t gStop = 0;

void OnSignal(int)
{
    gStop = 1;
}

constexpr const char* kUsage =
    "usage: vexan-sim [options]\n"
    "  --eds FILE[@ID]   a node from an EDS/DCF file (repeatable; ID defaults to 5)\n"
    "  --nodes ID[,ID]   default devices (default: 5 when no --eds is given)\n"
    "  --device PATH     use this serial device instead of a pseudo-terminal\n"
    "  --baud N          line speed of the replies (and of the device)\n"
    "  --chunk N         SDO upload segment size (1..244, default 128)\n"
    "  --firmware V      firmware version answered (default 0x0102)\n"
    "  --auto-nodes      adding an unknown node id creates a default device\n"
    "  --control PATH    also read control commands from this FIFO\n"
    "  --no-stdin        do not read control commands from stdin\n"
    "  --trace           print the decoded trace to stderr\n"
    "  --trace-polls     include event polls that report nothing\n";

struct LineReader {
    int fd = -1;
    std::string pending;
};

// Reads what is waiting on fd and hands each complete line to apply; false at end of input.
template <class Apply>
bool Drain(LineReader& reader, Apply&& apply)
{
    char buf[512];
    ssize_t n = read(reader.fd, buf, sizeof buf);
    if (n == 0)
        return false;
    if (n < 0)
        return true;
    reader.pending.append(buf, static_cast<std::size_t>(n));
    for (std::size_t nl; (nl = reader.pending.find('\n')) != std::string::npos;) {
        std::string line = reader.pending.substr(0, nl);
        reader.pending.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        apply(line);
    }
    return true;
}

unsigned long ParseUnsigned(const std::string& text, const char* what)
{
    char* end = nullptr;
    unsigned long v = std::strtoul(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0') {
        std::cerr << "vexan-sim: bad " << what << ": " << text << '\n';
        std::exit(2);
    }
    return v;
}

}  // namespace

int main(int argc, char** argv)
{
    vexsim::SimulatorOptions options;
    std::vector<std::pair<std::string, uint8_t>> edsNodes;
    std::vector<uint8_t> defaultNodes;
    bool nodesGiven = false;
    bool trace = false;
    bool useStdin = true;
    std::string controlPath;

    std::vector<std::string> args(argv + 1, argv + argc);
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) {
                std::cerr << "vexan-sim: " << a << " needs a value\n" << kUsage;
                std::exit(2);
            }
            return args[++i];
        };
        if (a == "--help" || a == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (a == "--eds") {
            std::string spec = value();
            uint8_t id = 5;
            if (auto at = spec.rfind('@'); at != std::string::npos) {
                id = static_cast<uint8_t>(ParseUnsigned(spec.substr(at + 1), "node id"));
                spec.resize(at);
            }
            edsNodes.emplace_back(spec, id);
        } else if (a == "--nodes") {
            nodesGiven = true;
            std::string list = value();
            for (std::size_t start = 0; start <= list.size();) {
                std::size_t comma = list.find(',', start);
                std::string item = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
                if (!item.empty())
                    defaultNodes.push_back(static_cast<uint8_t>(ParseUnsigned(item, "node id")));
                if (comma == std::string::npos)
                    break;
                start = comma + 1;
            }
        } else if (a == "--device") {
            options.device = value();
        } else if (a == "--baud") {
            options.baud = static_cast<unsigned>(ParseUnsigned(value(), "baud rate"));
        } else if (a == "--chunk") {
            options.module.sdoChunk = ParseUnsigned(value(), "chunk size");
        } else if (a == "--firmware") {
            options.module.firmwareVersion = static_cast<uint16_t>(ParseUnsigned(value(), "firmware version"));
        } else if (a == "--auto-nodes") {
            options.module.autoCreateNodes = true;
        } else if (a == "--control") {
            controlPath = value();
        } else if (a == "--no-stdin") {
            useStdin = false;
        } else if (a == "--trace") {
            trace = true;
        } else if (a == "--trace-polls") {
            options.traceEventPolls = true;
        } else {
            std::cerr << "vexan-sim: unknown option " << a << '\n' << kUsage;
            return 2;
        }
    }
    if (!nodesGiven && edsNodes.empty())
        defaultNodes.push_back(5);

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);

    vexsim::Simulator sim(options);
    auto toStderr = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
    for (uint8_t id : defaultNodes) {
        if (id == 0 || id > vexsim::kMaxNodeId) {
            std::cerr << "vexan-sim: node id " << int{id} << " out of range\n";
            return 2;
        }
        sim.AddDefaultNode(id, true, false);
    }
    for (const auto& [path, id] : edsNodes) {
        std::string error;
        if (id == 0 || id > vexsim::kMaxNodeId || !sim.AddEdsNode(id, path, &error, true, false)) {
            std::cerr << "vexan-sim: " << path << ": " << (error.empty() ? "bad node id" : error) << '\n';
            return 1;
        }
    }
    if (trace)
        sim.SetTraceSink(toStderr);
    try {
        sim.Start();
    } catch (const std::exception& e) {
        std::cerr << "vexan-sim: " << e.what() << '\n';
        return 1;
    }
    std::cout << sim.LibraryPath() << std::endl;

    vexsim::ControlChannel control(sim, toStderr);
    std::vector<LineReader> readers;
    if (useStdin)
        readers.push_back(LineReader{STDIN_FILENO, {}});
    if (!controlPath.empty()) {
        // Read and write, so the FIFO never reports end of input between writers.
        int fd = open(controlPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            std::perror(("vexan-sim: " + controlPath).c_str());
            return 1;
        }
        readers.push_back(LineReader{fd, {}});
    }

    bool quit = false;
    while (!gStop && !quit) {
        std::vector<pollfd> fds;
        for (const LineReader& r : readers)
            fds.push_back(pollfd{r.fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), 100) <= 0)
            continue;
        for (std::size_t i = 0; i < fds.size() && !quit; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            bool open = Drain(readers[i], [&](const std::string& line) {
                vexsim::ControlResult result = control.Apply(line);
                if (!result.message.empty() && !line.empty()) {
                    std::fprintf(stderr, "%s%s\n", result.ok ? "" : "error: ", result.message.c_str());
                }
                quit = quit || result.quit;
            });
            if (!open)
                quit = readers[i].fd == STDIN_FILENO;
        }
    }
    sim.Stop();
    return 0;
}
