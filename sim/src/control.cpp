#include "vexan_sim/control.hpp"

#include <cctype>
#include <charconv>
#include <optional>
#include <sstream>
#include <vector>

namespace vexsim {

namespace {

std::optional<unsigned long> ParseNumber(std::string_view text, unsigned long max)
{
    if (text.empty())
        return std::nullopt;
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    unsigned long value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc{} || end != text.data() + text.size() || value > max)
        return std::nullopt;
    return value;
}

std::optional<Bytes> ParseHex(const std::vector<std::string>& words, std::size_t from)
{
    std::string digits;
    for (std::size_t i = from; i < words.size(); ++i)
        digits += words[i];
    if (digits.size() % 2 != 0)
        return std::nullopt;
    Bytes out;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        unsigned value = 0;
        auto [end, ec] = std::from_chars(digits.data() + i, digits.data() + i + 2, value, 16);
        if (ec != std::errc{} || end != digits.data() + i + 2)
            return std::nullopt;
        out.push_back(static_cast<uint8_t>(value));
    }
    return out;
}

ControlResult Error(std::string message)
{
    return ControlResult{false, false, std::move(message)};
}

constexpr std::string_view kHelp =
    "bootup N | emcy N HEX8 | nmt-error N CODE | master-sdo-read IDX SUB | master-sdo-write IDX SUB HEX | "
    "remote-pdo COB | rx-pdo COB HEX | node-pdo COB HEX | add-node ID [EDS] | remove-node ID | silent N on|off | "
    "busy CMD KEY|* N | fail CMD KEY|* STATUS | fault split random|off|POS[,POS] | fault drop N [CMD [KEY|*]] | fault "
    "delay MS | "
    "fault garbage on|off | fault wrong-length N | fault extra-segment N | "
    "fault ident correct|cr|wrong|silent|late MS|split POS | fault none | baud N | chunk N | trace on|off | quit";

}  // namespace

ControlResult ControlChannel::Apply(std::string_view line)
{
    std::vector<std::string> w;
    {
        std::istringstream in{std::string(line)};
        for (std::string word; in >> word;)
            w.push_back(word);
    }
    if (w.empty() || w[0][0] == '#')
        return ControlResult{};
    const std::string& cmd = w[0];
    auto num = [&w](std::size_t i, unsigned long max) -> std::optional<unsigned long> {
        return i < w.size() ? ParseNumber(w[i], max) : std::nullopt;
    };
    auto onOff = [&w](std::size_t i) -> std::optional<bool> {
        if (i >= w.size())
            return std::nullopt;
        if (w[i] == "on")
            return true;
        if (w[i] == "off")
            return false;
        return std::nullopt;
    };
    const ControlResult ok{true, false, "ok"};

    if (cmd == "quit" || cmd == "exit")
        return ControlResult{true, true, "bye"};
    if (cmd == "help")
        return ControlResult{true, false, std::string(kHelp)};
    if (cmd == "bootup") {
        auto node = num(1, kMaxNodeId);
        if (!node)
            return Error("usage: bootup <node>");
        sim_.InjectBootup(static_cast<uint8_t>(*node));
        return ok;
    }
    if (cmd == "emcy") {
        auto node = num(1, kMaxNodeId);
        auto data = ParseHex(w, 2);
        if (!node || !data || data->size() != 8)
            return Error("usage: emcy <node> <8 hex bytes>");
        std::array<uint8_t, 8> bytes{};
        std::copy(data->begin(), data->end(), bytes.begin());
        sim_.InjectEmcy(static_cast<uint8_t>(*node), bytes);
        return ok;
    }
    if (cmd == "nmt-error") {
        auto node = num(1, kMaxNodeId);
        auto code = num(2, 0xFF);
        if (!node || !code)
            return Error("usage: nmt-error <node> <code>");
        sim_.InjectNmtError(static_cast<uint8_t>(*node), static_cast<uint8_t>(*code));
        return ok;
    }
    if (cmd == "master-sdo-read" || cmd == "master-sdo-write") {
        auto index = num(1, 0xFFFF);
        auto sub = num(2, 0xFF);
        if (!index || !sub)
            return Error("usage: " + cmd + " <index> <sub>" + (cmd == "master-sdo-write" ? " <hex bytes>" : ""));
        if (cmd == "master-sdo-read") {
            sim_.InjectMasterSdoRead(static_cast<uint16_t>(*index), static_cast<uint8_t>(*sub));
            return ok;
        }
        auto data = ParseHex(w, 3);
        if (!data || !sim_.InjectMasterSdoWrite(static_cast<uint16_t>(*index), static_cast<uint8_t>(*sub), *data)) {
            return Error("master-sdo-write takes 0..4 hex bytes");
        }
        return ok;
    }
    if (cmd == "remote-pdo") {
        auto cob = num(1, kMaxCobId);
        if (!cob)
            return Error("usage: remote-pdo <cob>");
        sim_.InjectRemotePdo(static_cast<uint16_t>(*cob));
        return ok;
    }
    if (cmd == "rx-pdo" || cmd == "node-pdo") {
        auto cob = num(1, kMaxCobId);
        auto data = ParseHex(w, 2);
        if (!cob || !data || data->size() > kMaxPdoBytes)
            return Error("usage: " + cmd + " <cob> <0..8 hex bytes>");
        if (cmd == "rx-pdo") {
            sim_.InjectRxPdo(static_cast<uint16_t>(*cob), *data);
        } else {
            sim_.InjectNodePdo(static_cast<uint16_t>(*cob), *data);
        }
        return ok;
    }
    if (cmd == "add-node") {
        auto id = num(1, kMaxNodeId);
        if (!id || *id == 0)
            return Error("usage: add-node <id 1..127> [eds]");
        if (w.size() > 2) {
            std::string error;
            if (!sim_.AddEdsNode(static_cast<uint8_t>(*id), w[2], &error))
                return Error("eds: " + error);
        } else {
            sim_.AddDefaultNode(static_cast<uint8_t>(*id));
        }
        return ok;
    }
    if (cmd == "remove-node") {
        auto id = num(1, kMaxNodeId);
        if (!id)
            return Error("usage: remove-node <id>");
        return sim_.RemoveNode(static_cast<uint8_t>(*id)) ? ok : Error("no such node");
    }
    if (cmd == "silent" || (cmd == "fault" && w.size() > 1 && w[1] == "silent")) {
        const std::size_t at = cmd == "silent" ? 1 : 2;
        auto id = num(at, kMaxNodeId);
        auto on = onOff(at + 1);
        if (!id || !on)
            return Error("usage: silent <node> on|off");
        return sim_.SetNodeSilent(static_cast<uint8_t>(*id), *on) ? ok : Error("no such node");
    }
    if (cmd == "busy" || cmd == "fail") {
        auto command = num(1, 0x7F);
        std::optional<uint16_t> key;
        if (w.size() > 2 && w[2] != "*") {
            auto k = num(2, 0xFFFF);
            if (!k)
                return Error("bad key");
            key = static_cast<uint16_t>(*k);
        }
        auto value = num(3, 0xFF);
        if (!command || w.size() < 3 || !value)
            return Error("usage: " + cmd + " <command> <key|*> <n>");
        if (cmd == "busy") {
            sim_.SetBusy(static_cast<uint8_t>(*command), key, static_cast<unsigned>(*value));
        } else {
            sim_.SetFailure(static_cast<uint8_t>(*command), key, static_cast<uint8_t>(*value));
        }
        return ok;
    }
    if (cmd == "baud" || cmd == "chunk") {
        auto value = num(1, 10'000'000);
        if (!value)
            return Error("usage: " + cmd + " <n>");
        if (cmd == "baud") {
            sim_.SetBaud(static_cast<unsigned>(*value));
        } else {
            sim_.SetSdoChunk(*value);
        }
        return ok;
    }
    if (cmd == "trace") {
        auto on = onOff(1);
        if (!on)
            return Error("usage: trace on|off");
        sim_.SetTraceSink(*on ? traceSink_ : nullptr);
        return ok;
    }
    if (cmd != "fault" || w.size() < 2)
        return Error("unknown command; try help");

    const std::string& what = w[1];
    if (what == "none") {
        sim_.ClearFaults();
        sim_.ClearCommandPlans();
        sim_.SetIdentification(IdentSettings{});
        sim_.SendExtraSegmentBytes(0);
        return ok;
    }
    if (what == "split") {
        if (w.size() < 3)
            return Error("usage: fault split random|off|<pos>[,<pos>...]");
        if (w[2] == "random" || w[2] == "off") {
            sim_.SplitReplies({});
            sim_.SplitRepliesRandomly(w[2] == "random");
            return ok;
        }
        std::vector<std::size_t> cuts;
        std::string_view list = w[2];
        while (!list.empty()) {
            std::size_t comma = list.find(',');
            auto pos = ParseNumber(list.substr(0, comma), kMaxFrameLength + 1);
            if (!pos)
                return Error("bad split position");
            cuts.push_back(*pos);
            list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
        }
        sim_.SplitRepliesRandomly(false);
        sim_.SplitReplies(std::move(cuts));
        return ok;
    }
    if (what == "garbage") {
        auto on = onOff(2);
        if (!on)
            return Error("usage: fault garbage on|off");
        sim_.SetGarbage(*on);
        return ok;
    }
    if (what == "ident") {
        IdentSettings ident;
        const std::string mode = w.size() > 2 ? w[2] : "";
        if (mode == "cr") {
            ident.behaviour = IdentBehaviour::CorrectWithCR;
        } else if (mode == "wrong") {
            ident.behaviour = IdentBehaviour::Wrong;
        } else if (mode == "silent") {
            ident.behaviour = IdentBehaviour::Silent;
        } else if (mode == "late" || mode == "split") {
            auto value = num(3, 60'000);
            if (!value)
                return Error("usage: fault ident " + mode + " <n>");
            if (mode == "late") {
                ident.delayMs = static_cast<unsigned>(*value);
            } else {
                ident.splitAt = *value;
            }
        } else if (mode != "correct") {
            return Error("usage: fault ident correct|cr|wrong|silent|late <ms>|split <pos>");
        }
        sim_.SetIdentification(ident);
        return ok;
    }
    auto value = num(2, 1'000'000);
    if (what == "drop") {
        // fault drop <n> [<command> [<key>|*]]: only that command's replies
        // (of that key) are dropped; the others, event polls too, go out.
        DropTarget target;
        if (w.size() > 3) {
            auto command = num(3, 0xFF);
            if (!command)
                return Error("bad command");
            target.command = static_cast<uint8_t>(*command);
        }
        if (w.size() > 4 && w[4] != "*") {
            auto key = num(4, 0xFFFF);
            if (!key)
                return Error("bad key");
            target.key = static_cast<uint16_t>(*key);
        }
        if (!value || w.size() > 5)
            return Error("usage: fault drop <n> [<command> [<key>|*]]");
        sim_.DropReplies(static_cast<unsigned>(*value), target);
        return ok;
    }
    if (!value)
        return Error("usage: fault " + what + " <n>");
    const auto n = static_cast<unsigned>(*value);
    if (what == "delay") {
        sim_.DelayReplies(n);
    } else if (what == "wrong-length") {
        sim_.SendWrongLength(n);
    } else if (what == "extra-segment") {
        sim_.SendExtraSegmentBytes(n);
    } else {
        return Error("unknown fault " + what);
    }
    return ok;
}

}  // namespace vexsim
