// The line-based control channel of vexan-sim: one command per line, applied to
// a running Simulator. Numbers are decimal or 0x-hex; byte strings are hex,
// either as one run ("0010AB") or as separate bytes ("00 10 AB").
//
//   bootup <node>                       emcy <node> <8 hex bytes>
//   nmt-error <node> <code>             node-pdo <cob> <hex bytes>
//   master-sdo-read <index> <sub>       master-sdo-write <index> <sub> <hex bytes>
//   remote-pdo <cob>                    rx-pdo <cob> <hex bytes>
//   add-node <id> [eds]                 remove-node <id>
//   silent <node> on|off               (also as: fault silent <node> on|off)
//   busy <command> <key|*> <n>          fail <command> <key|*> <status>
//   fault split random|off|<pos>[,<pos>...]
//   fault drop <n> [<command> [<key>|*]] | delay <ms> | garbage on|off | wrong-length <n> | extra-segment <n>
//   fault ident correct|cr|wrong|silent|late <ms>|split <pos>
//   fault none                          (clears every reply fault and command plan)
//   baud <n>   chunk <n>   trace on|off   help   quit
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "vexan_sim/simulator.hpp"

namespace vexsim {

struct ControlResult {
    bool ok = true;
    bool quit = false;
    std::string message;
};

class ControlChannel {
public:
    // traceSink: where "trace on" sends trace lines.
    ControlChannel(Simulator& sim, std::function<void(const std::string&)> traceSink)
        : sim_(sim), traceSink_(std::move(traceSink))
    {
    }
    ControlResult Apply(std::string_view line);

private:
    Simulator& sim_;
    std::function<void(const std::string&)> traceSink_;
};

}  // namespace vexsim
