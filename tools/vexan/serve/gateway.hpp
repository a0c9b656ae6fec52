// The ASCII gateway (CiA 309-3): one command line in, one response line out,
// run on the board host. Front doors (the sockets) keep one ClientState per
// connection and call Answer() for each line they receive.
//
// Responses: "[<seq>] OK", "[<seq>] <value>", "[<seq>] ERROR:<code>", the
// code an SDO abort code as 0x and eight hex digits or one of the gateway's
// (100..107, see gateway_parse.hpp). Library and module results map so:
// SDO abort: its code; time-out (also the module's "node did not answer"):
// 103; the module's "no such node": 107; anything else that kept the request
// from being done (a closed or paused board, a write failure, another status
// of the module's): 102.
//
// Choices:
// - `set sdo_timeout` sets the board's function time-out, which the library
//   keeps per board: it applies to every client's requests on that net
//   (CiA 309-3 scopes it by net too). It changes what others get, so
//   --read-only refuses it.
// - `help` answers on one line, as every other command, so that a client
//   reading one line per request stays in step.
// - `_scan` answers the node ids on the bus separated by blanks, `OK` when
//   there are none; `_emcy` and `_pdo read` answer `none` when the module has
//   recorded nothing.
// - `_eds load` runs the library's one-call configuration of the node from
//   the file and attaches the file as the node's device model; a relative
//   path is taken from the folder the server was started in. The file is one
//   on the server's machine, read with the server's rights.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "gateway_parse.hpp"
#include "host.hpp"

namespace vexantool::serve::gateway {

struct GatewayOptions {
    bool readOnly = false;  // writes, NMT, PDO writes, EDS loads, sdo_timeout: ERROR:100
    std::string baseDir;    // relative paths of `_eds load` are taken from here
};

// One connection's defaults: net 1 when the host has it (else none, ERROR:104
// until `set network`), and no node (ERROR:105 until `set node`).
struct ClientState {
    std::optional<unsigned> net;
    std::optional<unsigned> node;
};

class Gateway {
public:
    Gateway(BoardHost& host, GatewayOptions options);
    ClientState NewClient() const;
    // The response to one line, without its CR LF; nullopt for an empty line
    // or a comment.
    std::optional<std::string> Answer(std::string_view line, ClientState& client);
    // The help texts.
    static std::string HelpText();

private:
    std::string Run(const Request& request, ClientState& client);
    std::string Read(const Request& request, unsigned net, uint8_t node);
    std::string Write(const Request& request, unsigned net, uint8_t node);
    std::string Info(std::optional<unsigned> net);

    BoardHost& host_;
    GatewayOptions options_;
};

// "ERROR:103", or the abort code "ERROR:0x06020000", for a call's result.
std::string ErrorFor(const CallResult& result);

}  // namespace vexantool::serve::gateway
