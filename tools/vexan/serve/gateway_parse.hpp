// The command lines of the ASCII gateway (CiA 309-3), read into requests.
// Pure: no I/O, no library calls, so that it can be fuzzed on its own.
//
//   [<seq>] [[<net>] <node>] r[ead] <index> <subindex> [<datatype>]
//   [<seq>] [[<net>] <node>] w[rite] <index> <subindex> <datatype> <value>
//   [<seq>] [[<net>] <node>] start | stop | preop[erational] | reset node | reset comm[unication]
//   [<seq>] [<net>] set network <net> | set node <node> | set sdo_timeout <ms>
//   [<seq>] help [datatype]
//   [<seq>] [<net>] _info | _scan | _sync [<cob>] | _emcy <node>
//   [<seq>] [<net>] _pdo read <cob> | _pdo write <cob> [<hex>] | _eds load <node> <file>
//
// Choices:
// - Words are separated by spaces or tabs; a CR before the line's end is
//   dropped. `#` at the start of a word outside double quotes starts a
//   comment that runs to the line's end (so "a#b" is one word).
// - Command words and data type names are matched in any case.
// - Numbers are decimal or 0x hex. A sequence is 1..10 decimal digits
//   (0..4294967295) in brackets, repeated in the response as written.
// - Numbers before the command: for node commands (r, w, NMT) one is the
//   node, two are net and node; for net commands (set, _info, _scan, _sync,
//   _emcy, _pdo, _eds) one is the net. `help` takes none.
// - A write's value is the rest of the line after the data type, blanks
//   around it removed: a `vs` value may hold spaces, in double quotes with
//   a doubled quote for a quote inside; a `hex` value may separate its bytes.
// - Unknown command words give ErrorUnsupported (100), known commands with
//   missing, extra or malformed arguments ErrorSyntax (101). Range checks of
//   nets and nodes are left to the executor (codes 106, 107).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vexantool::serve::gateway {

inline constexpr int kErrorUnsupported = 100;
inline constexpr int kErrorSyntax = 101;
inline constexpr int kErrorState = 102;
inline constexpr int kErrorTimeout = 103;
inline constexpr int kErrorNoDefaultNet = 104;
inline constexpr int kErrorNoDefaultNode = 105;
inline constexpr int kErrorUnsupportedNet = 106;
inline constexpr int kErrorUnsupportedNode = 107;

// Longest command line, LF excluded.
inline constexpr std::size_t kMaxLine = 4096;

enum class Verb : uint8_t {
    None,  // an empty line or a comment: no response
    Read,
    Write,
    Start,
    Stop,
    PreOperational,
    ResetNode,
    ResetCommunication,
    SetNetwork,
    SetNode,
    SetSdoTimeout,
    Help,
    Info,
    Scan,
    Sync,
    Emcy,
    PdoRead,
    PdoWrite,
    EdsLoad,
};

struct Request {
    std::optional<std::string> sequence;  // the digits inside the brackets
    std::optional<uint32_t> net;          // given before the command
    std::optional<uint32_t> node;         // given before the command
    Verb verb = Verb::None;
    uint16_t index = 0;             // r, w
    uint8_t subIndex = 0;           // r, w
    std::string dataType;           // r (may be empty), w; lower case
    std::string value;              // w: the value's text; _pdo write: hex; _eds load: file; help: topic
    uint32_t number = 0;            // set network/node/sdo_timeout, _emcy/_eds node, _pdo cob
    std::optional<uint32_t> cobId;  // _sync
};

struct Parsed {
    Request request;
    int error = 0;  // 0, kErrorUnsupported or kErrorSyntax
};

Parsed ParseLine(std::string_view line);

// True for a verb that changes something on the bus (writes, NMT, PDO
// writes, EDS configuration) or the net's shared settings.
bool ChangesBus(Verb verb);

// Numbers as the gateway writes them: decimal, or 0x hex. nullopt for
// anything else or above `max`.
std::optional<uint64_t> ParseNumber(std::string_view text, uint64_t max);

}  // namespace vexantool::serve::gateway
