// Fuzzes the command lines of vexan serve's ASCII gateway: the parser and the
// value texts (numbers of every type, quoted visible strings, base64, hex
// bytes). The input is one line, or several separated by LF, as a client
// sends them.
//
// Checks: a line either fails with 100 or 101 and nothing else, or reads into
// a request whose numbers lie within their fields and whose sequence is the
// decimal digits the line holds; a value that encodes formats back into the
// same bytes (base64, hex, visible strings also through their quoting).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "gateway_parse.hpp"
#include "gateway_values.hpp"

namespace {

namespace gw = vexantool::serve::gateway;

void Require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz_gateway: %s\n", what);
        std::abort();
    }
}

void CheckRoundTrip(std::string_view type, std::string_view text)
{
    std::string error;
    const auto bytes = gw::EncodeValue(type, text, error);
    if (!bytes) {
        Require(!error.empty(), "a refused value has a reason");
        return;
    }
    const auto shown = gw::FormatValue(type, *bytes, error);
    Require(shown.has_value(), "encoded bytes format back");
    const auto again = gw::EncodeValue(type, *shown, error);
    Require(again.has_value() && *again == *bytes, "the formatted value encodes into the same bytes");
}

void CheckLine(std::string_view line)
{
    const gw::Parsed parsed = gw::ParseLine(line);
    const gw::Request& request = parsed.request;
    Require(parsed.error == 0 || parsed.error == gw::kErrorUnsupported || parsed.error == gw::kErrorSyntax,
            "a parse error is 100 or 101");
    if (request.sequence) {
        Require(!request.sequence->empty() && request.sequence->size() <= 10, "a sequence of 1..10 digits");
        for (char c : *request.sequence) {
            Require(c >= '0' && c <= '9', "a sequence of decimal digits");
        }
    }
    if (parsed.error != 0) {
        return;
    }
    if (request.cobId) {
        Require(*request.cobId <= 0x7FF, "a SYNC COB-ID within 11 bits");
    }
    if (request.verb == gw::Verb::PdoRead || request.verb == gw::Verb::PdoWrite) {
        Require(request.number <= 0x7FF, "a PDO COB-ID within 11 bits");
    }
    if (request.verb == gw::Verb::Write && gw::KnownType(request.dataType)) {
        CheckRoundTrip(request.dataType, request.value);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::size_t start = 0;
    while (start <= input.size()) {
        const std::size_t lf = input.find('\n', start);
        const std::size_t end = lf == std::string_view::npos ? input.size() : lf;
        CheckLine(input.substr(start, end - start));
        if (lf == std::string_view::npos) {
            break;
        }
        start = lf + 1;
    }
    // The value decoders on the whole input as well.
    for (std::string_view type : {"vs", "hex", "os", "i64", "u32", "x16", "r32", "r64", "b"}) {
        CheckRoundTrip(type, input);
    }
    return 0;
}
