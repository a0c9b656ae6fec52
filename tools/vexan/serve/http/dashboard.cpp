// The dashboard's HTTP server: routes, request checks, the event stream and
// the PDO sample stream. Formats answers only; the bus work is the backend's.
#include "dashboard.hpp"

#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <map>

#include "assets.hpp"
#include "cia301.hpp"
#include "codec.hpp"
#include "device_model.hpp"
#include "results.hpp"
#include "text.hpp"
#include "vexan.h"

namespace vexantool::http {

namespace {

using nlohmann::json;

constexpr std::size_t kKeptEvents = 500;
// A comment line this often: a client gone is noticed at the next write.
constexpr auto kKeepAlive = std::chrono::seconds(3);
constexpr unsigned kMinPdoPeriodMs = 20;
constexpr unsigned kMaxPdoPeriodMs = 60000;
constexpr std::size_t kMaxStreamedPdos = 8;
// Worker threads beside the streams, for plain requests.
constexpr unsigned kPlainWorkers = 8;

std::string HexText(uint64_t value, int digits)
{
    return vexantool::Hex(value, digits);
}

// A request refused: {"error": text} with the status.
void Fail(httplib::Response& res, int status, const std::string& text, json extra = json::object())
{
    extra["error"] = text;
    res.status = status;
    res.set_content(extra.dump(), "application/json");
}

void Answer(httplib::Response& res, const json& body)
{
    res.status = 200;
    res.set_content(body.dump(), "application/json");
}

// A library result that is not VEXAN_OK as an error body: 502 for what the
// module or the node answered, 504 for a time-out.
void FailResult(httplib::Response& res, const std::string& what, uint16_t result, std::optional<uint32_t> abort = {})
{
    json body{{"result", {{"code", result}, {"name", ResultName(result)}, {"text", ResultText(result)}}}};
    std::string text = what + ": " + ResultText(result);
    if (abort) {
        body["abort"] = *abort;
        body["abort_hex"] = HexText(*abort, 8);
        body["abort_meaning"] = AbortMeaning(*abort);
        text = what + ": abort " + HexText(*abort, 8) + " " + AbortMeaning(*abort);
    }
    Fail(res, result == VEXAN_TIMEOUT ? 504 : 502, text, body);
}

// A whole unsigned number in decimal or 0x hex, up to `most`.
std::optional<unsigned long> ParseNumber(const std::string& text, unsigned long most)
{
    if (text.empty()) {
        return std::nullopt;
    }
    int base = 10;
    const char* from = text.data();
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        from += 2;
    }
    unsigned long value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(from, end, value, base);
    if (ec != std::errc() || ptr != end || value > most) {
        return std::nullopt;
    }
    return value;
}

// A path number written in hex ("1018", "0x1018"), as the object index and sub-index are.
std::optional<unsigned long> ParseHexPath(const std::string& text, unsigned long most)
{
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits.erase(0, 2);
    }
    if (digits.empty() || digits.size() > 8) {
        return std::nullopt;
    }
    unsigned long value = 0;
    auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
    if (ec != std::errc() || ptr != digits.data() + digits.size() || value > most) {
        return std::nullopt;
    }
    return value;
}

json EmcyJson(uint16_t code, uint8_t reg, std::span<const uint8_t> vendor)
{
    return json{{"code", code},
                {"code_hex", HexText(code, 4)},
                {"meaning", EmcyMeaning(code)},
                {"error_register", reg},
                {"error_register_hex", HexText(reg, 2)},
                {"error_register_bits", ErrorRegisterBits(reg)},
                {"vendor_hex", HexBytes(vendor, "")}};
}

bool IsLoopbackHost(const std::string& host)
{
    return host == "localhost" || host.rfind("127.", 0) == 0 || host == "::1" || host == "[::1]";
}

// The host part of a Host header ("127.0.0.1:8080" -> "127.0.0.1", "[::1]:80" -> "[::1]").
std::string HostPart(const std::string& header)
{
    if (!header.empty() && header[0] == '[') {
        const auto close = header.find(']');
        return close == std::string::npos ? header : header.substr(0, close + 1);
    }
    return header.substr(0, header.find(':'));
}

// "application/json", also with parameters ("; charset=utf-8"), in any case.
bool IsJsonType(const std::string& contentType)
{
    std::string type;
    for (char c : contentType.substr(0, contentType.find(';'))) {
        if (c != ' ' && c != '\t') {
            type += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
    }
    return type == "application/json";
}

// The JSON body of a POST; an error status set when it is no JSON object.
std::optional<json> BodyObject(const httplib::Request& req, httplib::Response& res)
{
    json body = json::parse(req.body, nullptr, false);
    if (body.is_discarded()) {
        Fail(res, 400, "the body is not JSON");
        return std::nullopt;
    }
    if (!body.is_object()) {
        Fail(res, 400, "the body must be a JSON object");
        return std::nullopt;
    }
    return body;
}

// A member of a body object, or null when it has none (operator[] of a
// const object must not be asked for a key it lacks).
const json& Member(const json& object, const char* key)
{
    static const json kAbsent;
    const auto at = object.find(key);
    return at == object.end() ? kAbsent : *at;
}

// The NMT command specifier of a command word.
std::optional<uint8_t> NmtSpecifier(const std::string& word)
{
    static const std::pair<const char*, uint8_t> kWords[] = {
        {"start", 1}, {"stop", 2}, {"preop", 128}, {"reset", 129}, {"reset-comm", 130},
    };
    for (const auto& [name, specifier] : kWords) {
        if (word == name) {
            return specifier;
        }
    }
    return std::nullopt;
}

struct PdoField {
    uint16_t index = 0;
    uint8_t subindex = 0;
    unsigned bits = 0;
    std::optional<uint16_t> dataType;  // from the device model
    std::string name;
};

// The fields of a mapping, named and typed from the node's model where it has them.
std::vector<PdoField> FieldsOf(const PdoMapping& mapping, const vexan::od::DeviceModel* model)
{
    std::vector<PdoField> fields;
    for (const vexan::od::MappedField& f : vexan::od::CutPdo(model, mapping.entries, {})) {
        fields.push_back(PdoField{f.index, f.subindex, f.bits, f.data_type, f.entry != nullptr ? f.entry->name : ""});
    }
    return fields;
}

json TypedJson(const vexan::od::TypedValue& value);

// The values of a PDO's fields in its data, as the device model cuts them
// (typed from the file where it has the object, else the raw bits); null for
// a field the data does not reach.
json FieldValues(const PdoMapping& mapping, const vexan::od::DeviceModel* model, const std::vector<uint8_t>& data)
{
    json values = json::array();
    for (const vexan::od::MappedField& f : vexan::od::CutPdo(model, mapping.entries, data)) {
        values.push_back(f.value ? TypedJson(*f.value) : json(nullptr));
    }
    return values;
}

json FieldJson(const PdoField& field)
{
    json out{{"index", field.index},
             {"index_hex", HexText(field.index, 4)},
             {"sub", field.subindex},
             {"bits", field.bits},
             {"name", field.name}};
    out["type"] = field.dataType ? json(std::string(vexan::od::ShortTypeName(*field.dataType))) : json(nullptr);
    return out;
}

// A value from a JSON body as the text the codec reads: strings as they are,
// numbers as written, booleans as 0/1.
std::optional<std::string> ValueText(const json& value)
{
    if (value.is_string()) {
        return value.get<std::string>();
    }
    if (value.is_boolean()) {
        return value.get<bool>() ? "1" : "0";
    }
    if (value.is_number_integer() || value.is_number_unsigned()) {
        return value.dump();
    }
    if (value.is_number_float()) {
        char text[64];
        std::snprintf(text, sizeof text, "%.17g", value.get<double>());
        return std::string(text);
    }
    return std::nullopt;
}

json TypedJson(const vexan::od::TypedValue& value)
{
    if (const auto* i = std::get_if<int64_t>(&value)) {
        return *i;
    }
    if (const auto* u = std::get_if<uint64_t>(&value)) {
        return *u;
    }
    if (const auto* d = std::get_if<double>(&value)) {
        return *d;
    }
    if (const auto* s = std::get_if<std::string>(&value)) {
        return *s;
    }
    return HexBytes(std::get<std::vector<uint8_t>>(value), " ");
}

}  // namespace

std::string NmtStateName(std::optional<uint8_t> state)
{
    if (!state) {
        return "unknown";
    }
    const char* name = KnownNmtStateName(*state);
    return name != nullptr ? name : "state " + std::to_string(*state);
}

std::string IsoUtc(WallTime time)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(ms % 1000));
    return text;
}

DashboardServer::DashboardServer(Backend& backend, DashboardOptions options)
    : backend_(backend), options_(std::move(options)), server_(std::make_unique<httplib::Server>())
{
}

DashboardServer::~DashboardServer()
{
    Stop();
}

bool DashboardServer::Start(std::string& error)
{
    const unsigned workers = options_.maxClients + kPlainWorkers;
    server_->new_task_queue = [workers] { return new httplib::ThreadPool(workers); };
    server_->set_payload_max_length(options_.maxBodyBytes);
    // An idle keep-alive connection holds a worker: let it go soon.
    server_->set_keep_alive_timeout(std::min<time_t>(options_.idleTimeout.count(), 2));
    server_->set_read_timeout(std::chrono::seconds(5));
    server_->set_write_timeout(std::chrono::seconds(5));
    Routes();
    if (options_.port == 0) {
        boundPort_ = server_->bind_to_any_port(options_.host);
    } else if (server_->bind_to_port(options_.host, options_.port)) {
        boundPort_ = options_.port;
    }
    if (boundPort_ <= 0) {
        error = "cannot listen on " + options_.host + ":" + std::to_string(options_.port);
        return false;
    }
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    return true;
}

void DashboardServer::Stop()
{
    if (stopping_.exchange(true)) {
        return;
    }
    {
        std::lock_guard lock(eventsMutex_);
        eventsChanged_.notify_all();
    }
    server_->stop();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void DashboardServer::Publish(json event)
{
    std::lock_guard lock(eventsMutex_);
    const uint64_t id = nextEventId_++;
    event["id"] = id;
    events_.push_back(Event{id, std::move(event)});
    while (events_.size() > kKeptEvents) {
        events_.pop_front();
    }
    eventsChanged_.notify_all();
}

std::vector<Event> DashboardServer::RecentEvents(uint64_t afterId) const
{
    std::lock_guard lock(eventsMutex_);
    std::vector<Event> out;
    for (const Event& e : events_) {
        if (e.id > afterId) {
            out.push_back(e);
        }
    }
    return out;
}

bool DashboardServer::WaitForEvents(uint64_t afterId, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(eventsMutex_);
    return eventsChanged_.wait_for(lock, timeout, [&] { return stopping_ || nextEventId_ - 1 > afterId; }) &&
           !stopping_;
}

void DashboardServer::PublishBootup(unsigned net, unsigned node, WallTime time)
{
    Publish(json{{"kind", "bootup"}, {"net", net}, {"node", node}, {"time", IsoUtc(time)}});
}

void DashboardServer::PublishEmcy(unsigned net, unsigned node, const std::array<uint8_t, 8>& data, WallTime time)
{
    const auto code = static_cast<uint16_t>(data[0] | data[1] << 8);
    json event{{"kind", "emcy"}, {"net", net}, {"node", node}, {"time", IsoUtc(time)}};
    event["emcy"] = EmcyJson(code, data[2], std::span<const uint8_t>(data).subspan(3));
    event["data_hex"] = HexBytes(data, "");
    Publish(std::move(event));
}

void DashboardServer::PublishNmtError(unsigned net, unsigned node, unsigned code, WallTime time)
{
    static constexpr const char* kReasons[] = {"none", "node guarding", "heartbeat"};
    Publish(json{{"kind", "nmt_error"},
                 {"net", net},
                 {"node", node},
                 {"code", code},
                 {"meaning", code < 3 ? kReasons[code] : "error " + std::to_string(code)},
                 {"time", IsoUtc(time)}});
}

void DashboardServer::PublishStateChange(unsigned net, unsigned node, std::optional<uint8_t> before, uint8_t now,
                                         WallTime time)
{
    json event{{"kind", "nmt_state"}, {"net", net}, {"node", node}, {"state", now}, {"state_name", NmtStateName(now)},
               {"time", IsoUtc(time)}};
    event["before"] = before ? json(*before) : json(nullptr);
    event["before_name"] = NmtStateName(before);
    Publish(std::move(event));
}

void DashboardServer::PublishMasterRequest(unsigned net, const std::string& kind, json fields, WallTime time)
{
    if (!fields.is_object()) {
        fields = json::object();
    }
    fields["kind"] = kind;
    fields["net"] = net;
    fields["time"] = IsoUtc(time);
    Publish(std::move(fields));
}

void DashboardServer::Routes()
{
    httplib::Server& s = *server_;

    s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        if (options_.allowPeer && !options_.allowPeer(req.remote_addr)) {
            Fail(res, 403, "peer " + req.remote_addr + " is not allowed");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (IsLoopbackHost(options_.host) && !IsLoopbackHost(HostPart(req.get_header_value("Host")))) {
            Fail(res, 403, "this server answers only to a loopback host name");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (req.method != "POST") {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        if (!IsJsonType(req.get_header_value("Content-Type"))) {
            Fail(res, 415, "a POST takes a JSON body (Content-Type: application/json)");
            return httplib::Server::HandlerResponse::Handled;
        }
        const std::string fetchSite = req.get_header_value("Sec-Fetch-Site");
        const std::string origin = req.get_header_value("Origin");
        const std::string own = "http://" + req.get_header_value("Host");
        if ((!origin.empty() && origin != own) || fetchSite == "cross-site" || fetchSite == "same-site") {
            Fail(res, 403, "cross-origin request refused");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (options_.readOnly) {
            Fail(res, 403, "the server is read-only");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });

    s.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (!res.body.empty()) {
            return;
        }
        const char* text = res.status == 404   ? "not found"
                           : res.status == 413 ? "request too large"
                           : res.status == 405 ? "method not allowed"
                                               : "bad request";
        res.set_content(json{{"error", text}}.dump(), "application/json");
    });

    s.set_exception_handler(
        [](const httplib::Request&, httplib::Response& res, std::exception_ptr) { Fail(res, 500, "internal error"); });

    // The page.
    s.Get(R"(/|/[A-Za-z0-9._-]+)", [](const httplib::Request& req, httplib::Response& res) {
        const Asset* asset = FindAsset(req.path);
        if (asset == nullptr) {
            Fail(res, 404, "not found");
            return;
        }
        res.set_header("Cache-Control", "no-cache");
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("Content-Security-Policy",
                       "default-src 'self'; style-src 'self' 'unsafe-inline'; frame-ancestors 'none'");
        res.set_content(std::string(asset->body), std::string(asset->contentType));
    });

    s.Get("/api/info", [this](const httplib::Request&, httplib::Response& res) {
        Answer(res, json{{"tool", options_.version},
                         {"library", Vexan_GetVersion()},
                         {"read_only", options_.readOnly},
                         {"max_clients", options_.maxClients}});
    });

    s.Get("/api/boards", [this](const httplib::Request&, httplib::Response& res) {
        json boards = json::array();
        for (const BoardSummary& b : backend_.Boards()) {
            json board{{"net", b.net}, {"slot", b.slot}, {"master_id", b.masterId}, {"source", b.source}};
            if (b.firmware) {
                board["firmware"] = std::to_string(*b.firmware >> 8) + "." + std::to_string(*b.firmware & 0xFF);
                board["firmware_word"] = *b.firmware;
            } else {
                board["firmware"] = nullptr;
            }
            if (b.can) {
                static constexpr const char* kStates[] = {"error active", "error passive", "bus off"};
                board["can"] = json{{"state", b.can->state},
                                    {"state_name", b.can->state < 3 ? kStates[b.can->state] : "unknown"},
                                    {"tx_errors", b.can->txErrors},
                                    {"rx_errors", b.can->rxErrors},
                                    {"overruns", b.can->overruns}};
            } else {
                board["can"] = nullptr;
            }
            boards.push_back(board);
        }
        Answer(res, json{{"boards", boards}});
    });

    // The net of /api/boards/<net>/..., or an error answered.
    auto net = [this](const httplib::Request& req, httplib::Response& res) -> std::optional<unsigned> {
        const auto value = ParseNumber(req.matches[1], 8);
        if (!value || *value == 0 || !backend_.HasNet(static_cast<unsigned>(*value))) {
            Fail(res, 404, "no board with net " + std::string(req.matches[1]));
            return std::nullopt;
        }
        return static_cast<unsigned>(*value);
    };
    // The node of .../nodes/<node>/..., 1..127 and in the board's list.
    auto node = [this](const httplib::Request& req, httplib::Response& res, unsigned onNet) -> std::optional<unsigned> {
        const auto value = ParseNumber(req.matches[2], 127);
        if (!value || *value == 0) {
            Fail(res, 404, "no node " + std::string(req.matches[2]) + " (node ids are 1..127)");
            return std::nullopt;
        }
        if (backend_.HasNode(onNet, static_cast<unsigned>(*value))) {
            return static_cast<unsigned>(*value);
        }
        Fail(res, 404, "node " + std::to_string(*value) + " is not in the list of net " + std::to_string(onNet));
        return std::nullopt;
    };

    s.Get(R"(/api/boards/([^/]+)/nodes)", [this, net](const httplib::Request& req, httplib::Response& res) {
        const auto n = net(req, res);
        if (!n) {
            return;
        }
        json nodes = json::array();
        for (const NodeSummary& summary : backend_.Nodes(*n)) {
            json out{{"node", summary.id},
                     {"state_name", NmtStateName(summary.nmtState)},
                     {"device_name", summary.deviceName},
                     {"has_model", summary.hasModel}};
            out["state"] = summary.nmtState ? json(*summary.nmtState) : json(nullptr);
            out["last_bootup"] = summary.lastBootup ? json(IsoUtc(*summary.lastBootup)) : json(nullptr);
            if (summary.lastEmcy) {
                json emcy = EmcyJson(summary.lastEmcy->code, summary.lastEmcy->errorRegister, summary.lastEmcy->vendor);
                emcy["time"] = IsoUtc(summary.lastEmcy->time);
                out["last_emcy"] = emcy;
            } else {
                out["last_emcy"] = nullptr;
            }
            nodes.push_back(out);
        }
        Answer(res, json{{"net", *n}, {"nodes", nodes}});
    });

    s.Get(R"(/api/boards/([^/]+)/nodes/([^/]+)/objects)", [this, net, node](const httplib::Request& req,
                                                                            httplib::Response& res) {
        const auto n = net(req, res);
        const auto id = n ? node(req, res, *n) : std::nullopt;
        if (!id) {
            return;
        }
        const auto model = backend_.Model(*n, *id);
        if (!model) {
            Fail(res, 404, "node " + std::to_string(*id) + " has no device file attached");
            return;
        }
        // The model's own JSON of each entry, read as is.
        json entries = json::array();
        for (const vexan::od::Object& object : model->Objects()) {
            for (const vexan::od::Entry& entry : object.Entries()) {
                json e = json::parse(vexan::od::EntryJson(object, entry, static_cast<uint8_t>(*id)), nullptr, false);
                if (e.is_discarded()) {
                    continue;
                }
                e["type"] = entry.data_type ? std::string(vexan::od::ShortTypeName(*entry.data_type)) : "";
                entries.push_back(std::move(e));
            }
        }
        Answer(res, json{{"net", *n},
                         {"node", *id},
                         {"device_name", model->Device().product_name},
                         {"vendor_name", model->Device().vendor_name},
                         {"entries", entries}});
    });

    // The entry a request names, and the data type to use: the model's, or the
    // one the request gives ("type": a short name) where the model has none.
    struct Target {
        uint16_t index = 0;
        uint8_t sub = 0;
        const vexan::od::Entry* entry = nullptr;
        std::optional<vexan::od::TypeName> type;
        std::shared_ptr<const vexan::od::DeviceModel> model;
    };
    auto target = [this](const httplib::Request& req, httplib::Response& res, unsigned onNet, unsigned id,
                         const std::string& typeName) -> std::optional<Target> {
        Target t;
        const auto index = ParseHexPath(req.matches[3], 0xFFFF);
        const auto sub = ParseHexPath(req.matches[4], 0xFF);
        if (!index || !sub) {
            Fail(res, 400, "the object is named by a hex index and sub-index, e.g. /sdo/1018/01");
            return std::nullopt;
        }
        t.index = static_cast<uint16_t>(*index);
        t.sub = static_cast<uint8_t>(*sub);
        t.model = backend_.Model(onNet, id);
        if (t.model) {
            t.entry = t.model->FindEntry(t.index, t.sub);
        }
        if (!typeName.empty()) {
            t.type = vexan::od::TypeByName(typeName);
            if (!t.type) {
                Fail(res, 400, "unknown data type '" + typeName + "'");
                return std::nullopt;
            }
        }
        if (t.entry != nullptr && t.entry->data_type) {
            const uint16_t own = *t.entry->data_type;
            if (t.type && vexan::od::WireSize(t.type->data_type) != vexan::od::WireSize(own)) {
                Fail(res, 400,
                     "type '" + typeName + "' does not fit " + std::string(vexan::od::DataTypeName(own)) + " of " +
                         HexText(t.index, 4) + ":" + HexText(t.sub, 2).substr(2));
                return std::nullopt;
            }
            const bool hex = t.type && t.type->hex;
            t.type = vexan::od::TypeName{own, hex};
        }
        return t;
    };

    auto objectJson = [](const Target& t) {
        json out{{"index", t.index}, {"index_hex", HexText(t.index, 4)}, {"sub", t.sub}};
        out["name"] = t.entry != nullptr ? json(t.entry->name) : json(nullptr);
        out["type"] = t.type ? json(std::string(vexan::od::ShortTypeName(t.type->data_type))) : json("hex");
        return out;
    };

    s.Get(R"(/api/boards/([^/]+)/nodes/([^/]+)/sdo/([^/]+)/([^/]+))",
          [this, net, node, target, objectJson](const httplib::Request& req, httplib::Response& res) {
              const auto n = net(req, res);
              const auto id = n ? node(req, res, *n) : std::nullopt;
              const auto t = id ? target(req, res, *n, *id, req.get_param_value("type")) : std::nullopt;
              if (!t) {
                  return;
              }
              const SdoOutcome outcome = backend_.SdoRead(*n, *id, t->index, t->sub);
              json out = objectJson(*t);
              if (outcome.result != VEXAN_OK) {
                  FailResult(res, "read " + HexText(t->index, 4) + ":" + HexText(t->sub, 2).substr(2), outcome.result,
                             outcome.abort);
                  return;
              }
              out["hex"] = HexBytes(outcome.data, " ");
              out["length"] = outcome.data.size();
              if (t->type && vexan::od::IsBasicType(t->type->data_type)) {
                  std::string error;
                  const auto value = vexan::od::Decode(t->type->data_type, outcome.data, error);
                  if (!value) {
                      out["value"] = nullptr;
                      out["decode_error"] = error;
                  } else {
                      out["value"] = TypedJson(*value);
                      vexan::od::FormatOptions format;
                      format.hex_integers = t->type->hex;
                      out["text"] = vexan::od::FormatValue(t->type->data_type, *value, format);
                  }
              } else {
                  out["value"] = out["hex"];
                  out["text"] = out["hex"];
              }
              Answer(res, out);
          });

    s.Post(R"(/api/boards/([^/]+)/nodes/([^/]+)/sdo/([^/]+)/([^/]+))",
           [this, net, node, target, objectJson](const httplib::Request& req, httplib::Response& res) {
               const auto body = BodyObject(req, res);
               if (!body) {
                   return;
               }
               if (body->contains("type") && !Member(*body, "type").is_string()) {
                   Fail(res, 400, "\"type\" must be a string (u8, i16, r32, string, hex, ...)");
                   return;
               }
               const auto text = body->contains("value") ? ValueText(Member(*body, "value")) : std::nullopt;
               if (!text) {
                   Fail(res, 400, "\"value\" must be a number, a string or a boolean");
                   return;
               }
               const auto n = net(req, res);
               const auto id = n ? node(req, res, *n) : std::nullopt;
               const auto t = id ? target(req, res, *n, *id, body->value("type", std::string())) : std::nullopt;
               if (!t) {
                   return;
               }
               if (!t->type) {
                   Fail(res, 400, "the node's device file does not describe this object: give \"type\"");
                   return;
               }
               std::string error;
               std::optional<std::vector<uint8_t>> bytes;
               if (t->entry != nullptr) {
                   if (const auto refusal = vexan::od::WriteRefusal(*t->entry)) {
                       Fail(res, 400, *refusal);
                       return;
                   }
                   bytes = vexan::od::EncodeForEntry(*t->entry, *text, static_cast<uint8_t>(*id), error);
               } else {
                   bytes = vexan::od::EncodeText(t->type->data_type, *text, error);
               }
               if (!bytes) {
                   Fail(res, 400, error);
                   return;
               }
               const SdoOutcome outcome = backend_.SdoWrite(*n, *id, t->index, t->sub, *bytes);
               if (outcome.result != VEXAN_OK) {
                   FailResult(res, "write " + HexText(t->index, 4) + ":" + HexText(t->sub, 2).substr(2), outcome.result,
                              outcome.abort);
                   return;
               }
               json out = objectJson(*t);
               out["hex"] = HexBytes(*bytes, " ");
               out["ok"] = true;
               Answer(res, out);
           });

    s.Post(R"(/api/boards/([^/]+)/nodes/([^/]+)/nmt)", [this, net](const httplib::Request& req,
                                                                   httplib::Response& res) {
        const auto body = BodyObject(req, res);
        if (!body) {
            return;
        }
        const json& command = Member(*body, "command");
        const auto specifier = command.is_string() ? NmtSpecifier(command.get<std::string>()) : std::nullopt;
        if (!specifier) {
            Fail(res, 400, "\"command\" must be one of start, stop, preop, reset, reset-comm");
            return;
        }
        const auto n = net(req, res);
        if (!n) {
            return;
        }
        // Node 0 addresses every node; others must be listed.
        const auto value = ParseNumber(req.matches[2], 127);
        const bool listed = value && (*value == 0 || backend_.HasNode(*n, static_cast<unsigned>(*value)));
        if (!listed) {
            Fail(res, 404, "node " + std::string(req.matches[2]) + " is not in the list of net " + std::to_string(*n));
            return;
        }
        const uint16_t result = backend_.Nmt(*n, static_cast<unsigned>(*value), *specifier);
        if (result != VEXAN_OK) {
            FailResult(res, "nmt " + command.get<std::string>(), result);
            return;
        }
        Answer(res, json{{"ok", true}, {"net", *n}, {"node", *value}, {"command", command}});
    });

    s.Post(R"(/api/boards/([^/]+)/sync)", [this, net](const httplib::Request& req, httplib::Response& res) {
        if (!BodyObject(req, res)) {
            return;
        }
        const auto n = net(req, res);
        if (!n) {
            return;
        }
        const uint16_t result = backend_.Sync(*n);
        if (result != VEXAN_OK) {
            FailResult(res, "sync", result);
            return;
        }
        Answer(res, json{{"ok", true}, {"net", *n}});
    });

    // The node's transmit PDOs with their fields.
    s.Get(R"(/api/boards/([^/]+)/nodes/([^/]+)/pdos)",
          [this, net, node](const httplib::Request& req, httplib::Response& res) {
              const auto n = net(req, res);
              const auto id = n ? node(req, res, *n) : std::nullopt;
              if (!id) {
                  return;
              }
              std::vector<uint16_t> cobs;
              if (const uint16_t result = backend_.TxPdos(*n, *id, cobs); result != VEXAN_OK) {
                  FailResult(res, "the node's PDOs", result);
                  return;
              }
              const auto model = backend_.Model(*n, *id);
              json pdos = json::array();
              for (uint16_t cob : cobs) {
                  const PdoMapping mapping = backend_.PdoMap(*n, cob);
                  json pdo{{"cob", cob}, {"cob_hex", HexText(cob, 3)}};
                  if (mapping.result != VEXAN_OK) {
                      pdo["error"] = ResultText(mapping.result);
                      pdo["fields"] = json::array();
                  } else {
                      pdo["number"] = mapping.number;
                      pdo["transmission_type"] = mapping.transmissionType;
                      pdo["event_timer"] = mapping.eventTimer;
                      json fields = json::array();
                      for (const PdoField& field : FieldsOf(mapping, model.get())) {
                          fields.push_back(FieldJson(field));
                      }
                      pdo["fields"] = fields;
                  }
                  pdos.push_back(pdo);
              }
              Answer(res, json{{"net", *n}, {"node", *id}, {"tpdos", pdos}});
          });

    s.Post(R"(/api/boards/([^/]+)/nodes/([^/]+)/pdos)",
           [this, net, node](const httplib::Request& req, httplib::Response& res) {
               const auto body = BodyObject(req, res);
               if (!body) {
                   return;
               }
               const json& number = Member(*body, "number");
               if (!number.is_number_unsigned() || number.get<unsigned>() < 1 || number.get<unsigned>() > 512) {
                   Fail(res, 400, "\"number\" must be the transmit PDO's number, 1..512");
                   return;
               }
               const auto n = net(req, res);
               const auto id = n ? node(req, res, *n) : std::nullopt;
               if (!id) {
                   return;
               }
               // The COB-ID from the node's own communication parameter.
               const auto pdo = number.get<unsigned>();
               const SdoOutcome cob = backend_.SdoRead(*n, *id, static_cast<uint16_t>(0x1800 + pdo - 1), 1);
               if (cob.result != VEXAN_OK || cob.data.size() < 2) {
                   FailResult(res, "the COB-ID of transmit PDO " + std::to_string(pdo),
                              cob.result == VEXAN_OK ? uint16_t{VEXAN_OUT_OF_RANGE} : cob.result, cob.abort);
                   return;
               }
               const auto cobId = static_cast<uint16_t>((cob.data[0] | cob.data[1] << 8) & 0x7FF);
               const uint16_t result = backend_.InstallTxPdo(*n, *id, cobId, pdo);
               if (result != VEXAN_OK) {
                   FailResult(res, "install transmit PDO " + std::to_string(pdo), result);
                   return;
               }
               Answer(res, json{{"ok", true}, {"cob", cobId}, {"cob_hex", HexText(cobId, 3)}, {"number", pdo}});
           });

    // One sample of PDOs: /api/boards/1/pdo?cob=0x185,0x285
    auto parseCobs = [](const httplib::Request& req, httplib::Response& res) -> std::optional<std::vector<uint16_t>> {
        std::vector<uint16_t> cobs;
        const std::string list = req.get_param_value("cob");
        std::size_t from = 0;
        while (from <= list.size() && !list.empty()) {
            const auto comma = list.find(',', from);
            const auto cob = ParseNumber(list.substr(from, comma - from), 0x7FF);
            if (!cob) {
                Fail(res, 400, "cob: COB-IDs 0x001..0x7FF, separated by commas");
                return std::nullopt;
            }
            cobs.push_back(static_cast<uint16_t>(*cob));
            if (comma == std::string::npos) {
                break;
            }
            from = comma + 1;
        }
        if (cobs.empty() || cobs.size() > kMaxStreamedPdos) {
            Fail(res, 400, "cob: 1.." + std::to_string(kMaxStreamedPdos) + " COB-IDs");
            return std::nullopt;
        }
        return cobs;
    };

    // The fields of each PDO and their values in one sample; mappings are read once per stream.
    struct Mapped {
        uint16_t cob;
        PdoMapping mapping;
        std::shared_ptr<const vexan::od::DeviceModel> model;
        std::vector<PdoField> fields;
    };
    auto mapped = [this](unsigned onNet, const std::vector<uint16_t>& cobs) {
        std::vector<Mapped> out;
        std::map<unsigned, std::shared_ptr<const vexan::od::DeviceModel>> models;
        for (uint16_t cob : cobs) {
            const PdoMapping mapping = backend_.PdoMap(onNet, cob);
            // A TPDO's node from its default COB-ID scheme, for names and types.
            const unsigned owner = cob & 0x7F;
            if (!models.count(owner)) {
                models[owner] = backend_.Model(onNet, owner);
            }
            out.push_back(
                Mapped{cob, mapping, models[owner],
                       mapping.result == VEXAN_OK ? FieldsOf(mapping, models[owner].get()) : std::vector<PdoField>{}});
        }
        return out;
    };
    auto sampleJson = [this](unsigned onNet, const std::vector<Mapped>& pdos) {
        std::vector<uint16_t> cobs;
        for (const Mapped& m : pdos) {
            cobs.push_back(m.cob);
        }
        const std::vector<PdoSample> samples = backend_.PdoRead(onNet, cobs);
        json out = json::array();
        for (std::size_t i = 0; i < pdos.size(); ++i) {
            json pdo{{"cob", pdos[i].cob}, {"cob_hex", HexText(pdos[i].cob, 3)}};
            if (i >= samples.size() || samples[i].result != VEXAN_OK) {
                pdo["received"] = false;
                pdo["values"] = json::array();
            } else {
                pdo["received"] = true;
                pdo["hex"] = HexBytes(samples[i].data, " ");
                pdo["values"] = pdos[i].mapping.result == VEXAN_OK
                                    ? FieldValues(pdos[i].mapping, pdos[i].model.get(), samples[i].data)
                                    : json::array();
            }
            out.push_back(pdo);
        }
        return out;
    };

    s.Get(R"(/api/boards/([^/]+)/pdo)",
          [net, parseCobs, mapped, sampleJson](const httplib::Request& req, httplib::Response& res) {
              const auto n = net(req, res);
              const auto cobs = n ? parseCobs(req, res) : std::nullopt;
              if (!cobs) {
                  return;
              }
              const auto pdos = mapped(*n, *cobs);
              json fields = json::array();
              for (const Mapped& m : pdos) {
                  json list = json::array();
                  for (const PdoField& f : m.fields) {
                      list.push_back(FieldJson(f));
                  }
                  fields.push_back(json{{"cob", m.cob}, {"fields", list}});
              }
              Answer(res, json{{"net", *n},
                               {"time", IsoUtc(std::chrono::system_clock::now())},
                               {"mappings", fields},
                               {"pdos", sampleJson(*n, pdos)}});
          });

    // A stream of samples at a chosen period: /api/boards/1/pdo/stream?cob=0x185&period_ms=100
    s.Get(R"(/api/boards/([^/]+)/pdo/stream)",
          [this, net, parseCobs, mapped, sampleJson](const httplib::Request& req, httplib::Response& res) {
              const auto n = net(req, res);
              const auto cobs = n ? parseCobs(req, res) : std::nullopt;
              if (!cobs) {
                  return;
              }
              unsigned periodMs = 200;
              if (req.has_param("period_ms")) {
                  const auto p = ParseNumber(req.get_param_value("period_ms"), kMaxPdoPeriodMs);
                  if (!p || *p < kMinPdoPeriodMs) {
                      Fail(res, 400,
                           "period_ms: " + std::to_string(kMinPdoPeriodMs) + ".." + std::to_string(kMaxPdoPeriodMs));
                      return;
                  }
                  periodMs = static_cast<unsigned>(*p);
              }
              if (streams_.fetch_add(1) >= options_.maxClients) {
                  streams_.fetch_sub(1);
                  Fail(res, 503, "too many clients (at most " + std::to_string(options_.maxClients) + ")");
                  return;
              }
              const unsigned onNet = *n;
              auto pdos = std::make_shared<std::vector<Mapped>>(mapped(onNet, *cobs));
              res.set_header("Cache-Control", "no-cache");
              res.set_chunked_content_provider(
                  "text/event-stream",
                  [this, onNet, pdos, periodMs, sampleJson](std::size_t, httplib::DataSink& sink) {
                      json head = json::array();
                      for (const Mapped& m : *pdos) {
                          json list = json::array();
                          for (const PdoField& f : m.fields) {
                              list.push_back(FieldJson(f));
                          }
                          head.push_back(json{{"cob", m.cob}, {"cob_hex", HexText(m.cob, 3)}, {"fields", list}});
                      }
                      std::string text = "event: mapping\ndata: " + json{{"pdos", head}}.dump() + "\n\n";
                      if (!sink.write(text.data(), text.size())) {
                          return false;
                      }
                      auto next = std::chrono::steady_clock::now();
                      while (!stopping_ && sink.is_writable()) {
                          const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::system_clock::now().time_since_epoch())
                                              .count();
                          text = "data: " + json{{"t", ms}, {"pdos", sampleJson(onNet, *pdos)}}.dump() + "\n\n";
                          if (!sink.write(text.data(), text.size())) {
                              return false;
                          }
                          // A sample that took longer than the period is not made up for with a burst.
                          next = std::max(next + std::chrono::milliseconds(periodMs), std::chrono::steady_clock::now());
                          std::unique_lock lock(eventsMutex_);
                          eventsChanged_.wait_until(lock, next, [this] { return stopping_.load(); });
                      }
                      sink.done();
                      return true;
                  },
                  [this](bool) { streams_.fetch_sub(1); });
          });

    s.Get("/api/events/recent", [this](const httplib::Request& req, httplib::Response& res) {
        uint64_t after = 0;
        if (req.has_param("after")) {
            const auto a = ParseNumber(req.get_param_value("after"), ~0ul);
            if (!a) {
                Fail(res, 400, "after: an event id");
                return;
            }
            after = *a;
        }
        json list = json::array();
        for (const Event& e : RecentEvents(after)) {
            list.push_back(e.json);
        }
        Answer(res, json{{"events", list}});
    });

    // Server-sent events: the kept events after Last-Event-ID (or ?after=), then each new one.
    s.Get("/api/events", [this](const httplib::Request& req, httplib::Response& res) {
        std::string from = req.get_header_value("Last-Event-ID");
        if (from.empty()) {
            from = req.get_param_value("after");
        }
        std::optional<unsigned long> after = from.empty() ? std::optional<unsigned long>(0) : ParseNumber(from, ~0ul);
        if (!after) {
            Fail(res, 400, "after: an event id");
            return;
        }
        if (from.empty()) {
            // A new subscriber starts at the present; the page fetches the past itself.
            std::lock_guard lock(eventsMutex_);
            after = nextEventId_ - 1;
        }
        if (streams_.fetch_add(1) >= options_.maxClients) {
            streams_.fetch_sub(1);
            Fail(res, 503, "too many clients (at most " + std::to_string(options_.maxClients) + ")");
            return;
        }
        res.set_header("Cache-Control", "no-cache");
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, last = static_cast<uint64_t>(*after)](std::size_t, httplib::DataSink& sink) mutable {
                const std::string hello = "retry: 1000\n: vexan events\n\n";
                if (!sink.write(hello.data(), hello.size())) {
                    return false;
                }
                while (!stopping_ && sink.is_writable()) {
                    std::string text;
                    for (const Event& e : RecentEvents(last)) {
                        text += "id: " + std::to_string(e.id) + "\ndata: " + e.json.dump() + "\n\n";
                        last = e.id;
                    }
                    if (!text.empty() && !sink.write(text.data(), text.size())) {
                        return false;
                    }
                    if (!WaitForEvents(last, kKeepAlive) && !stopping_) {
                        const std::string ping = ": keep-alive\n\n";
                        if (!sink.write(ping.data(), ping.size())) {
                            return false;
                        }
                    }
                }
                sink.done();
                return true;
            },
            [this](bool) { streams_.fetch_sub(1); });
    });
}

}  // namespace vexantool::http
