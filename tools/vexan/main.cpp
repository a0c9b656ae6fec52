// vexan: talk to a CANopen master module from the shell, through the library's
// public interface, on a serial port or on the built-in module simulator.
#include <editline/readline.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "commands.hpp"
#include "demo.hpp"
#include "id_lists.hpp"
#include "serve/serve.hpp"
#include "session.hpp"
#include "typed_objects.hpp"
#include "vexan.h"

namespace {

using namespace vexantool;

// Splits a shell line into words; double quotes keep spaces in a word.
std::vector<std::string> SplitWords(const std::string& line)
{
    std::vector<std::string> words;
    std::string word;
    bool quoted = false;
    bool inWord = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if (!quoted && (c == ' ' || c == '\t')) {
            if (inWord) {
                words.push_back(word);
            }
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) {
        words.push_back(word);
    }
    return words;
}

// Completion: the subcommand names at the depth of the word being typed, or
// the node ids of the master's list where a command wants a node.
std::vector<std::string> gCompletions;
Context* gShellContext = nullptr;

std::vector<std::string> ListedNodes()
{
    uint8_t reply[VEXAN_NODE_REPLY_BUFFER] = {};
    if (gShellContext == nullptr || Vexan_GetNodeList(gShellContext->session->Slot(), reply, 1) != VEXAN_OK) {
        return {};
    }
    return NodeIdsOf(reply);
}

char* NextCompletion(const char* text, int state)
{
    static std::size_t at = 0;
    if (state == 0) {
        at = 0;
    }
    const std::string prefix(text);
    while (at < gCompletions.size()) {
        const std::string& name = gCompletions[at++];
        if (name.compare(0, prefix.size(), prefix) == 0) {
            return strdup(name.c_str());
        }
    }
    return nullptr;
}

char** Complete(const char* text, int start, int)
{
    CLI::App app;
    Action action;
    auto storage = AddCommands(app, action);
    gCompletions.clear();
    const std::vector<std::string> before = SplitWords(std::string(rl_line_buffer, static_cast<std::size_t>(start)));
    const CLI::App* level = &app;
    std::size_t arguments = 0;  // words after the command, options aside
    for (const std::string& word : before) {
        const CLI::App* next = nullptr;
        for (const CLI::App* sub : level->get_subcommands([](const CLI::App*) { return true; })) {
            if (sub->get_name() == word) {
                next = sub;
            }
        }
        if (next == nullptr) {
            arguments += word.empty() || word[0] != '-' ? 1 : 0;
            continue;
        }
        level = next;
    }
    const CLI::Option* node = level->get_option_no_throw("node");
    if (node != nullptr && node->get_positional() && arguments == 0) {
        gCompletions = ListedNodes();
        rl_attempted_completion_over = 1;
        return rl_completion_matches(text, NextCompletion);
    }
    for (const CLI::App* sub : level->get_subcommands([](const CLI::App*) { return true; })) {
        gCompletions.push_back(sub->get_name());
    }
    if (level == &app) {
        for (const char* word : {"help", "quit", "exit"}) {
            gCompletions.push_back(word);
        }
    }
    rl_attempted_completion_over = 1;
    return rl_completion_matches(text, NextCompletion);
}

// Runs one shell line on the open board; the exit status it would have.
int ShellLine(Context& context, const std::vector<std::string>& words)
{
    CLI::App app{"vexan shell command", "vexan"};
    // Before the subcommands are added: they inherit it, so --json may follow them.
    app.fallthrough();
    app.require_subcommand(1);
    Action action;
    auto storage = AddCommands(app, action);
    bool json = context.json;
    app.add_flag("--json", json, "print JSON");
    if (const std::string unknown = UnknownCommand(app, words, {"help", "quit", "exit"}); !unknown.empty()) {
        std::cerr << "vexan: " << unknown << std::endl;
        return kExitUsage;
    }
    std::vector<std::string> reversed(words.rbegin(), words.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        std::cout << app.help();
        return kExitOk;
    } catch (const CLI::ParseError& e) {
        std::cerr << "vexan: " << e.what() << std::endl;
        return kExitUsage;
    }
    if (!action.run) {
        return kExitUsage;
    }
    Context lineContext = context;
    lineContext.json = json;
    return action.run(lineContext);
}

// The shell's history file: $XDG_STATE_HOME/vexan/history, else
// ~/.local/state/vexan/history; "" when neither gives a place.
std::string HistoryPath()
{
    namespace fs = std::filesystem;
    fs::path base;
    if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && fs::path(state).is_absolute()) {
        base = state;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        base = fs::path(home) / ".local" / "state";
    } else {
        return "";
    }
    std::error_code error;
    fs::create_directories(base / "vexan", error);
    return error ? "" : (base / "vexan" / "history").string();
}

constexpr int kHistoryLines = 1000;
volatile std::sig_atomic_t gLineInterrupted = 0;
// Ctrl-C's wake-up: the handler writes a byte here. SIGINT may be handled on
// any of the process's threads (the library's and the simulator's threads do
// not block it), so the line editor's wait cannot count on being interrupted
// itself; it waits on this pipe beside the terminal instead.
int gInterruptPipe[2] = {-1, -1};

void OnShellInterrupt(int)
{
    const int saved = errno;
    gLineInterrupted = 1;
    if (gInterruptPipe[1] >= 0) {
        const char byte = 'c';
        [[maybe_unused]] const ssize_t ignored = write(gInterruptPipe[1], &byte, 1);
    }
    errno = saved;
}

void DrainInterruptPipe()
{
    char bytes[64];
    while (gInterruptPipe[0] >= 0 && read(gInterruptPipe[0], bytes, sizeof bytes) > 0) {
    }
}

// Forgets a Ctrl-C that came while no line was being typed. The pipe is
// drained first: a Ctrl-C that comes in between leaves its byte, which the
// next key wait takes as the Ctrl-C it is.
void ForgetInterrupt()
{
    DrainInterruptPipe();
    gLineInterrupted = 0;
}

// The line editor's input: one byte of the terminal, or the end of the line
// when Ctrl-C came (the line is then dropped).
int ShellGetc(FILE* stream)
{
    const int fd = fileno(stream);
    for (;;) {
        if (gLineInterrupted != 0) {
            return '\n';
        }
        pollfd waits[2] = {{fd, POLLIN, 0}, {gInterruptPipe[0], POLLIN, 0}};
        const int ready = poll(waits, gInterruptPipe[0] >= 0 ? 2 : 1, -1);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            return -1;
        }
        if (waits[1].revents != 0) {
            DrainInterruptPipe();
            gLineInterrupted = 1;
            return '\n';
        }
        unsigned char c = 0;
        const ssize_t n = read(fd, &c, 1);
        if (n == 1) {
            return c;
        }
        if (n == 0 || errno != EINTR) {
            return -1;
        }
    }
}

int RunShell(Context& context)
{
    const bool terminal = isatty(STDIN_FILENO) != 0;
    std::string history;
    struct sigaction previous {};
    if (terminal) {
        gShellContext = &context;
        rl_readline_name = "vexan";
        rl_getc_function = ShellGetc;
        rl_attempted_completion_function = Complete;
        using_history();
        stifle_history(kHistoryLines);
        history = HistoryPath();
        if (!history.empty()) {
            read_history(history.c_str());
        }
        // Ctrl-C drops the line being typed, not the shell.
        if (gInterruptPipe[0] < 0 && pipe2(gInterruptPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
            gInterruptPipe[0] = gInterruptPipe[1] = -1;  // Ctrl-C then waits for the next key
        }
        struct sigaction interrupt {};
        interrupt.sa_handler = OnShellInterrupt;
        sigemptyset(&interrupt.sa_mask);
        sigaction(SIGINT, &interrupt, &previous);
        std::cout << "vexan shell on slot " << unsigned{context.session->Slot()}
                  << ": commands as on the command line; Tab completes, 'help' lists, 'quit' ends" << std::endl;
    }
    int last = kExitOk;
    for (;;) {
        std::string line;
        if (terminal) {
            ForgetInterrupt();
            char* input = readline("vexan> ");
            if (input == nullptr && gLineInterrupted != 0) {
                std::cout << std::endl;
                continue;
            }
            if (input == nullptr) {  // Ctrl-D
                std::cout << std::endl;
                break;
            }
            line = input;
            free(input);
            if (gLineInterrupted != 0) {
                continue;  // Ctrl-C: the line is dropped
            }
            if (!line.empty()) {
                add_history(line.c_str());
                if (!history.empty()) {
                    write_history(history.c_str());
                }
            }
        } else if (!std::getline(std::cin, line)) {
            break;
        }
        const auto words = SplitWords(line);
        if (words.empty() || words[0][0] == '#') {
            continue;
        }
        if (words[0] == "quit" || words[0] == "exit") {
            break;
        }
        last = ShellLine(context, words[0] == "help" ? std::vector<std::string>{"--help"} : words);
    }
    if (terminal) {
        // The pipe stays open until the process ends: a handler still running
        // on another thread must never write into a descriptor reused since.
        sigaction(SIGINT, &previous, nullptr);
        gShellContext = nullptr;
    }
    return last;
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"vexan: talk to a CANopen master module through the Vexan library", "vexan"};
    app.require_subcommand(1);
    app.fallthrough();

    SessionOptions options;
    bool json = false;
    unsigned timeoutMs = 0;
    auto* port = app.add_option("--port", options.port, "serial device of the module");
    app.add_option("--baud", options.baud, "serial line speed")->capture_default_str();
    auto* sim = app.add_option("--sim", options.simEds,
                               "use the built-in module simulator, with nodes from these EDS files (FILE[@ID]); "
                               "without files two default devices, nodes 5 and 6")
                    ->expected(0, -1)
                    ->excludes(port);
    app.add_option("--slot", options.slot, "the module's slot")->check(CLI::Range(0, 7))->capture_default_str();
    app.add_option("--master-id", options.masterId, "the master's node id")
        ->check(CLI::Range(0, 127))
        ->capture_default_str();
    auto* timeout =
        app.add_option("--timeout", timeoutMs, "the board's function time-out in ms")->check(CLI::Range(1u, 3600000u));
    app.add_flag("--json", json, "print one JSON object a line");
    app.add_flag("--trace", options.trace, "print every frame on the line, decoded, to stderr");
    std::string spillDir;
    bool keepSpill = false;
    app.add_option("--spill-dir", spillDir,
                   "directory of the spill files of large SDO reads (default: the current one)");
    app.add_flag("--keep-spill", keepSpill, "keep the spill file of a large SDO read saved with --out");
    std::vector<std::string> edsSpecs;
    app.add_option("--eds", edsSpecs,
                   "NODE=FILE: the node's EDS or DCF file, for objects by name and values by type (repeatable)");

    Action action;
    auto storage = AddCommands(app, action);
    app.add_subcommand("shell", "interactive mode: the master stays open across commands")->callback([&action] {
        action.name = "shell";
        action.run = RunShell;
    });
    DemoOptions demo;
    auto* demoCmd = app.add_subcommand("demo", "walk through what the library does, on two simulated boards");
    demoCmd->add_option("--eds", demo.edsPath, "EDS file of the third node (default: a device file the demo writes)");
    demoCmd->callback([&action] {
        action.name = "demo";
        action.needsBoard = false;
    });

    // The server opens its boards itself, from the same options.
    bool serveChosen = false;
    auto serveStorage = serve::AddServeCommand(app, serveChosen);

    app.set_version_flag("--version", [] {
        return std::string("vexan " VEXAN_TOOL_VERSION ", library ") + std::to_string(Vexan_GetVersion());
    });
    if (const std::string unknown = UnknownCommand(app, std::vector<std::string>(argv + 1, argv + argc));
        !unknown.empty()) {
        std::cerr << "vexan: " << unknown << std::endl;
        return kExitUsage;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int status = app.exit(e);
        return status == 0 ? kExitOk : kExitUsage;
    }
    options.sim = sim->count() > 0;
    // "--sim" alone leaves one empty value behind.
    std::erase(options.simEds, std::string());
    options.timeoutMs = timeoutMs;

    if (serveChosen) {
        return serve::RunServe(serveStorage, options, spillDir);
    }
    if (action.name == "demo") {
        demo.trace = options.trace;
        demo.json = json;
        return RunDemo(demo);
    }
    if (!action.needsBoard) {
        Context context;
        context.json = json;
        return action.run(context);
    }
    if (!options.sim && options.port.empty()) {
        std::cerr << "vexan: no module: give --port PATH or --sim" << std::endl;
        return kExitUsage;
    }
    DeviceFiles devices;
    std::string error;
    for (const std::string& spec : edsSpecs) {
        if (!devices.AttachSpec(spec, error)) {
            std::cerr << "vexan: --eds " << spec << ": " << error << std::endl;
            return kExitUsage;
        }
    }
    Session session;
    if (!session.Open(options, error)) {
        std::cerr << "vexan: " << error << std::endl;
        return kExitNoBoard;
    }
    Context context;
    context.session = &session;
    context.devices = &devices;
    context.json = json;
    context.timeoutGiven = timeout->count() > 0;
    context.timeoutMs = timeoutMs;
    context.spillDir = spillDir;
    context.keepSpill = keepSpill;
    const int status = action.run(context);
    session.Close();
    return status;
}
