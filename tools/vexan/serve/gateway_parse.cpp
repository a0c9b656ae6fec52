#include "gateway_parse.hpp"

#include <cctype>
#include <vector>

#include "codec.hpp"

namespace vexantool::serve::gateway {
namespace {

struct Word {
    std::string_view text;
    std::size_t end = 0;  // offset just past the word in the line
};

std::string Lower(std::string_view text)
{
    std::string lower(text);
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return lower;
}

bool Blank(char c)
{
    return c == ' ' || c == '\t';
}

// Cuts the line into words, stopping at a comment. Quotes keep blanks in a
// word; an unclosed quote runs to the end of the line.
std::vector<Word> SplitWords(std::string_view line)
{
    std::vector<Word> words;
    std::size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && Blank(line[at])) {
            ++at;
        }
        if (at >= line.size() || line[at] == '#') {
            break;
        }
        const std::size_t start = at;
        bool quoted = false;
        while (at < line.size() && (quoted || !Blank(line[at]))) {
            if (line[at] == '"') {
                quoted = !quoted;
            }
            ++at;
        }
        words.push_back({line.substr(start, at - start), at});
    }
    return words;
}

// The text after word `i` up to a comment, blanks around it removed.
std::string_view Rest(std::string_view line, const std::vector<Word>& words, std::size_t i)
{
    if (i >= words.size()) {
        return {};
    }
    const std::size_t start = static_cast<std::size_t>(words[i].text.data() - line.data());
    const std::size_t end = words.back().end;
    return line.substr(start, end - start);
}

bool IsNumberWord(std::string_view text)
{
    return !text.empty() && std::isdigit(static_cast<unsigned char>(text[0])) != 0;
}

enum class Scope { Node, Net, None };

struct Command {
    const char* name;
    const char* shortName;  // or nullptr
    Scope scope;
};

}  // namespace

std::optional<uint64_t> ParseNumber(std::string_view text, uint64_t max)
{
    if (text.empty()) {
        return std::nullopt;
    }
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    uint64_t value = 0;
    if (vexan::od::ParseDigits(text, base, max, value) != vexan::od::DigitsParse::Ok) {
        return std::nullopt;
    }
    return value;
}

bool ChangesBus(Verb verb)
{
    switch (verb) {
    case Verb::Write:
    case Verb::Start:
    case Verb::Stop:
    case Verb::PreOperational:
    case Verb::ResetNode:
    case Verb::ResetCommunication:
    case Verb::SetSdoTimeout:
    case Verb::PdoWrite:
    case Verb::EdsLoad:
        return true;
    default:
        return false;
    }
}

Parsed ParseLine(std::string_view line)
{
    Parsed parsed;
    Request& request = parsed.request;
    if (!line.empty() && line.back() == '\n') {
        line.remove_suffix(1);
    }
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    const std::vector<Word> words = SplitWords(line);
    std::size_t at = 0;
    auto fail = [&parsed](int code) {
        parsed.error = code;
        return parsed;
    };
    if (words.empty()) {
        return parsed;
    }
    // [<seq>]
    if (!words[0].text.empty() && words[0].text[0] == '[') {
        const std::string_view seq = words[0].text;
        if (seq.size() < 3 || seq.back() != ']') {
            return fail(kErrorSyntax);
        }
        const std::string_view digits = seq.substr(1, seq.size() - 2);
        if (digits.size() > 10 || !ParseNumber(digits, UINT32_MAX) || digits.find_first_of("xX") != digits.npos) {
            return fail(kErrorSyntax);
        }
        request.sequence = std::string(digits);
        at = 1;
        if (words.size() == 1) {
            return fail(kErrorSyntax);  // a sequence and no command
        }
    }
    // Numbers before the command.
    std::vector<uint32_t> prefix;
    while (at < words.size() && IsNumberWord(words[at].text)) {
        const auto number = ParseNumber(words[at].text, UINT32_MAX);
        if (!number || prefix.size() == 2) {
            return fail(kErrorSyntax);
        }
        prefix.push_back(static_cast<uint32_t>(*number));
        ++at;
    }
    if (at >= words.size()) {
        return fail(kErrorSyntax);
    }
    const std::string verb = Lower(words[at].text);
    ++at;
    const std::size_t argCount = words.size() - at;
    auto arg = [&words, &at](std::size_t i) { return words[at + i].text; };

    Scope scope = Scope::Node;
    if (verb == "r" || verb == "read" || verb == "w" || verb == "write") {
        const bool write = verb[0] == 'w';
        request.verb = write ? Verb::Write : Verb::Read;
        if (argCount < 2 || (!write && argCount > 3) || (write && argCount < 4)) {
            return fail(kErrorSyntax);
        }
        const auto index = ParseNumber(arg(0), 0xFFFF);
        const auto sub = ParseNumber(arg(1), 0xFF);
        if (!index || !sub) {
            return fail(kErrorSyntax);
        }
        request.index = static_cast<uint16_t>(*index);
        request.subIndex = static_cast<uint8_t>(*sub);
        if (argCount >= 3) {
            request.dataType = Lower(arg(2));
        }
        if (write) {
            request.value = std::string(Rest(line, words, at + 3));
        }
    } else if (verb == "start" || verb == "stop" || verb == "preop" || verb == "preoperational") {
        request.verb = verb == "start" ? Verb::Start : verb == "stop" ? Verb::Stop : Verb::PreOperational;
        if (argCount != 0) {
            return fail(kErrorSyntax);
        }
    } else if (verb == "reset") {
        if (argCount != 1) {
            return fail(kErrorSyntax);
        }
        const std::string what = Lower(arg(0));
        if (what == "node") {
            request.verb = Verb::ResetNode;
        } else if (what == "comm" || what == "communication") {
            request.verb = Verb::ResetCommunication;
        } else {
            return fail(kErrorSyntax);
        }
    } else if (verb == "set") {
        scope = Scope::Net;
        if (argCount < 1) {
            return fail(kErrorSyntax);
        }
        const std::string what = Lower(arg(0));
        if (what == "network") {
            request.verb = Verb::SetNetwork;
        } else if (what == "node") {
            request.verb = Verb::SetNode;
        } else if (what == "sdo_timeout") {
            request.verb = Verb::SetSdoTimeout;
        } else {
            return fail(kErrorUnsupported);  // a parameter the gateway does not have
        }
        if (argCount != 2) {
            return fail(kErrorSyntax);
        }
        const auto number = ParseNumber(arg(1), UINT32_MAX);
        if (!number) {
            return fail(kErrorSyntax);
        }
        request.number = static_cast<uint32_t>(*number);
    } else if (verb == "help") {
        scope = Scope::None;
        request.verb = Verb::Help;
        if (argCount > 1) {
            return fail(kErrorSyntax);
        }
        if (argCount == 1) {
            request.value = Lower(arg(0));
        }
    } else if (verb == "_info" || verb == "_scan") {
        scope = Scope::Net;
        request.verb = verb == "_info" ? Verb::Info : Verb::Scan;
        if (argCount != 0) {
            return fail(kErrorSyntax);
        }
    } else if (verb == "_sync") {
        scope = Scope::Net;
        request.verb = Verb::Sync;
        if (argCount > 1) {
            return fail(kErrorSyntax);
        }
        if (argCount == 1) {
            const auto cob = ParseNumber(arg(0), 0x7FF);
            if (!cob) {
                return fail(kErrorSyntax);
            }
            request.cobId = static_cast<uint32_t>(*cob);
        }
    } else if (verb == "_emcy") {
        scope = Scope::Net;
        request.verb = Verb::Emcy;
        const auto node = argCount == 1 ? ParseNumber(arg(0), UINT32_MAX) : std::nullopt;
        if (!node) {
            return fail(kErrorSyntax);
        }
        request.number = static_cast<uint32_t>(*node);
    } else if (verb == "_pdo") {
        scope = Scope::Net;
        if (argCount < 2) {
            return fail(kErrorSyntax);
        }
        const std::string what = Lower(arg(0));
        const auto cob = ParseNumber(arg(1), 0x7FF);
        if ((what != "read" && what != "write") || !cob) {
            return fail(kErrorSyntax);
        }
        request.number = static_cast<uint32_t>(*cob);
        if (what == "read") {
            request.verb = Verb::PdoRead;
            if (argCount != 2) {
                return fail(kErrorSyntax);
            }
        } else {
            request.verb = Verb::PdoWrite;
            request.value = std::string(Rest(line, words, at + 2));
        }
    } else if (verb == "_eds") {
        scope = Scope::Net;
        if (argCount < 3 || Lower(arg(0)) != "load") {
            return fail(kErrorSyntax);
        }
        const auto node = ParseNumber(arg(1), UINT32_MAX);
        if (!node) {
            return fail(kErrorSyntax);
        }
        request.verb = Verb::EdsLoad;
        request.number = static_cast<uint32_t>(*node);
        std::string_view file = Rest(line, words, at + 2);
        if (file.size() >= 2 && file.front() == '"' && file.back() == '"') {
            file = file.substr(1, file.size() - 2);
        }
        request.value = std::string(file);
    } else {
        return fail(kErrorUnsupported);
    }

    const std::size_t allowed = scope == Scope::Node ? 2 : scope == Scope::Net ? 1 : 0;
    if (prefix.size() > allowed) {
        request.verb = Verb::None;
        return fail(kErrorSyntax);
    }
    if (scope == Scope::Node && prefix.size() == 2) {
        request.net = prefix[0];
        request.node = prefix[1];
    } else if (scope == Scope::Node && prefix.size() == 1) {
        request.node = prefix[0];
    } else if (scope == Scope::Net && prefix.size() == 1) {
        request.net = prefix[0];
    }
    return parsed;
}

}  // namespace vexantool::serve::gateway
