// The command line's subcommands: the table of command groups, and what
// every group shares (the wiring, the lines a command prints).
#include "commands.hpp"
#include "text.hpp"

#include <algorithm>
#include <iostream>

#include "command_group.hpp"
#include "results.hpp"

namespace vexantool {

namespace {

// Every group of commands, in the order of the help's command list: a new
// group is one registration function here.
constexpr void (*kCommandGroups[])(const CommandWiring&) = {
    AddMasterCommands,   AddNodeCommands, AddNmtCommands,    AddSdoCommands, AddPdoCommands,
    AddSyncEmcyCommands, AddEdsCommands,  AddMonitorCommand, AddOdCommands,
};

}  // namespace

std::function<void()> CommandWiring::Run(std::string name, CommandBody body) const
{
    return [&action = action, &args = args, name = std::move(name), body = std::move(body)] {
        action.name = name;
        action.run = [&args, body](Context& context) { return body(context, args); };
    };
}

void CommandWiring::NodeArgument(CLI::App* command) const
{
    command->add_option("node", args.node, "node id (1..127)")->required()->check(CLI::Range(1, 127));
}

std::shared_ptr<void> AddCommands(CLI::App& app, Action& action)
{
    auto args = std::make_shared<Args>();
    const CommandWiring wiring{app, *args, action};
    for (const auto add : kCommandGroups) {
        add(wiring);
    }
    return args;
}

int Done(Context& context, const std::string& human, Json json)
{
    if (context.json) {
        json.Bool("ok", true).Result(0);
        std::cout << json.Text() << std::endl;
    } else {
        std::cout << human << std::endl;
    }
    return kExitOk;
}

int Failed(Context& context, const std::string& what, unsigned code, Json json, const std::string& detail)
{
    ErrorLine() << "vexan: " + what + ": " + ResultText(code) + (detail.empty() ? "" : ": " + detail) + "\n";
    if (context.json) {
        json.Bool("ok", false).Result(code);
        if (!detail.empty()) {
            json.Str("detail", detail);
        }
        std::cout << json.Text() << std::endl;
    }
    return kExitFailed;
}

std::string NodeText(unsigned node)
{
    return "node " + std::to_string(node);
}

std::string UnknownCommand(const CLI::App& app, const std::vector<std::string>& words,
                           const std::vector<std::string>& extra)
{
    const CLI::App* level = &app;
    std::string path;
    const auto subcommands = [](const CLI::App* at) {
        return at->get_subcommands([](const CLI::App*) { return true; });
    };
    // An option of this level or of one above it (options fall through).
    const auto findOption = [&](const std::string& name) -> const CLI::Option* {
        for (const CLI::App* at = level; at != nullptr; at = at->get_parent()) {
            if (const CLI::Option* option = at->get_option_no_throw(name); option != nullptr) {
                return option;
            }
        }
        return nullptr;
    };
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        const auto subs = subcommands(level);
        if (word == "--") {
            return "";
        }
        if (word.size() > 1 && word[0] == '-') {
            const std::string name = word.substr(0, word.find('='));
            const CLI::Option* option = findOption(name);
            if (option == nullptr || word.find('=') != std::string::npos || option->get_expected_max() == 0) {
                continue;  // an unknown option is the parser's to report
            }
            // Its values, up to the next option or subcommand name.
            const int most = option->get_expected_max();
            for (int taken = 0; taken < most && i + 1 < words.size(); ++taken) {
                const std::string& next = words[i + 1];
                const bool isCommand = std::any_of(subs.begin(), subs.end(),
                                                   [&next](const CLI::App* sub) { return sub->get_name() == next; });
                if ((next.size() > 1 && next[0] == '-') || (taken >= option->get_expected_min() && isCommand)) {
                    break;
                }
                ++i;
            }
            continue;
        }
        if (subs.empty()) {
            return "";  // the arguments of a command
        }
        const CLI::App* next = nullptr;
        for (const CLI::App* sub : subs) {
            if (sub->get_name() == word) {
                next = sub;
            }
        }
        const bool topExtra = level == &app && std::find(extra.begin(), extra.end(), word) != extra.end();
        if (topExtra) {
            return "";
        }
        if (next == nullptr) {
            std::string valid;
            for (const CLI::App* sub : subs) {
                valid += (valid.empty() ? "" : ", ") + sub->get_name();
            }
            if (level == &app) {
                for (const std::string& more : extra) {
                    valid += ", " + more;
                }
            }
            return "unknown command '" + path + word + "' (the " + (path.empty() ? "" : path) + "commands: " + valid +
                   ")";
        }
        path += word + " ";
        level = next;
    }
    return "";
}

}  // namespace vexantool
