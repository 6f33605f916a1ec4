// Decoding of request targets, write bodies and monitor frames; see docs/network.md.
#include "net/request.h"

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "net/value_json.h"
#include "text_tokens.h"

namespace velko::net {

namespace {

struct Prefix {
    const char* text;
    Endpoint endpoint;
    size_t parts;  // address parts after the prefix (0: none)
};
constexpr Prefix kPrefixes[] = {
    {"/v1/property/", Endpoint::kProperty, 4}, {"/v1/names/", Endpoint::kNames, 3},
    {"/v1/history/", Endpoint::kHistory, 4},   {"/v1/machine/", Endpoint::kMachine, 3},
    {"/v1/trace/", Endpoint::kTrace, 3},
};

bool fail_with(Failure* fail, int code, std::string message) {
    fail->code = code;
    fail->message = std::move(message);
    return false;
}

bool control_byte(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7f;
}

bool percent_decode(std::string_view in, std::string* out) {
    out->clear();
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            *out += in[i];
            continue;
        }
        if (i + 2 >= in.size()) {
            return false;
        }
        const int hi = text::hex_digit(in[i + 1]);
        const int lo = text::hex_digit(in[i + 2]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        *out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return true;
}

// Shows a text from the network in a message: control bytes as \xNN, at most 120 bytes.
std::string shown(std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < text.size() && i < 120; ++i) {
        const char c = text[i];
        if (control_byte(c)) {
            out += "\\x";
            out += kHex[(static_cast<unsigned char>(c) >> 4) & 15];
            out += kHex[static_cast<unsigned char>(c) & 15];
        } else {
            out += c;
        }
    }
    return text.size() > 120 ? out + "..." : out;
}

std::vector<std::string_view> split(std::string_view text, char sep) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (;;) {
        const size_t pos = text.find(sep, start);
        parts.push_back(text.substr(start, pos == std::string_view::npos ? std::string_view::npos : pos - start));
        if (pos == std::string_view::npos) {
            return parts;
        }
        start = pos + 1;
    }
}

// Decodes the address parts after an endpoint's prefix and joins them with '/'.
bool decode_address(std::string_view raw, size_t parts, Endpoint endpoint, std::string* address, Failure* fail) {
    const std::vector<std::string_view> segs = split(raw, '/');
    if (segs.size() != parts) {
        return fail_with(fail, ERR_BAD_ADDRESS,
                         "The address \"" + shown(raw) + "\" must have " + std::to_string(parts) +
                             (parts == 4                     ? " parts: FACILITY/DEVICE/LOCATION/PROPERTY."
                              : endpoint == Endpoint::kNames ? " parts: FACILITY/DEVICE/LOCATION or FACILITY/DEVICE/*."
                                                             : " parts: FACILITY/DEVICE/LOCATION."));
    }
    address->clear();
    for (size_t i = 0; i < segs.size(); ++i) {
        std::string part;
        if (!percent_decode(segs[i], &part)) {
            return fail_with(fail, ERR_PROTOCOL, "The address \"" + shown(raw) + "\" holds a bad percent escape.");
        }
        if (part.empty()) {
            return fail_with(fail, ERR_BAD_ADDRESS, "The address \"" + shown(raw) + "\" has an empty part.");
        }
        for (char c : part) {
            if (control_byte(c) || c == ' ' || c == '/') {
                return fail_with(fail, ERR_BAD_ADDRESS,
                                 "The address \"" + shown(raw) +
                                     "\" holds a control character, a blank or an encoded '/' in a part.");
            }
        }
        if (part.find("..") != std::string::npos) {
            return fail_with(fail, ERR_BAD_ADDRESS, "The address \"" + shown(raw) + "\" holds \"..\".");
        }
        if (part == "*" && !(endpoint == Endpoint::kNames && i == 2)) {
            return fail_with(fail, ERR_BAD_ADDRESS,
                             "The address \"" + shown(raw) + "\" holds \"*\" where a name belongs.");
        }
        *address += (i == 0 ? "" : "/") + part;
    }
    return true;
}

bool parse_time(std::string_view name, std::string_view value, double* out, Failure* fail) {
    const std::string text(value);
    char* end = nullptr;
    const double v = text.empty() ? 0 : std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(v)) {
        return fail_with(
            fail, ERR_PROTOCOL,
            "The parameter " + std::string(name) + " must be a time in unix seconds, not \"" + shown(value) + "\".");
    }
    *out = v;
    return true;
}

bool parse_history_query(std::string_view query, Target* out, Failure* fail) {
    if (query.empty()) {
        return true;
    }
    for (std::string_view item : split(query, '&')) {
        const size_t eq = item.find('=');
        const std::string_view name = item.substr(0, eq);
        const std::string_view value = eq == std::string_view::npos ? std::string_view() : item.substr(eq + 1);
        if (name == "since" && !out->has_since) {
            out->has_since = parse_time(name, value, &out->since, fail);
            if (!out->has_since) {
                return false;
            }
        } else if (name == "until" && !out->has_until) {
            out->has_until = parse_time(name, value, &out->until, fail);
            if (!out->has_until) {
                return false;
            }
        } else {
            return fail_with(fail, ERR_PROTOCOL,
                             "The history parameter \"" + shown(item) +
                                 "\" is unknown or repeated; give since and until at most once each.");
        }
    }
    return true;
}

// The one parameter of an endpoint, NAME=VALUE, or an empty query.
bool single_parameter(std::string_view query, std::string_view name, std::string_view* value, Failure* fail) {
    if (query.empty()) {
        return true;
    }
    const size_t eq = query.find('=');
    if (query.substr(0, eq) != name || eq == std::string_view::npos || query.find('&') != std::string_view::npos) {
        return fail_with(
            fail, ERR_PROTOCOL,
            "The parameter \"" + shown(query) + "\" is unknown; give " + std::string(name) + " at most once.");
    }
    *value = query.substr(eq + 1);
    return true;
}

bool parse_machine_query(std::string_view query, Target* out, Failure* fail) {
    std::string_view format = "json";
    if (!single_parameter(query, "format", &format, fail)) {
        return false;
    }
    if (format == "json") {
        out->format = MachineFormat::kJson;
    } else if (format == "dot") {
        out->format = MachineFormat::kDot;
    } else if (format == "scxml") {
        out->format = MachineFormat::kScxml;
    } else {
        return fail_with(fail, ERR_PROTOCOL,
                         "The format \"" + shown(format) + "\" is unknown; the formats are json, dot and scxml.");
    }
    return true;
}

bool parse_trace_query(std::string_view query, Target* out, Failure* fail) {
    std::string_view after = "0";
    if (!single_parameter(query, "after", &after, fail)) {
        return false;
    }
    uint64_t v = 0;
    for (char c : after) {
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (c < '0' || c > '9' || v > (UINT64_MAX - digit) / 10) {
            return fail_with(fail, ERR_PROTOCOL,
                             "The parameter after must be a sequence number, not \"" + shown(after) + "\".");
        }
        v = v * 10 + digit;
    }
    if (after.empty()) {
        return fail_with(fail, ERR_PROTOCOL, "The parameter after must be a sequence number, not \"\".");
    }
    out->after = v;
    return true;
}

}  // namespace

bool parse_target(std::string_view target, Target* out, Failure* fail) {
    *out = Target();
    *fail = Failure();
    for (char c : target) {
        if (control_byte(c)) {
            return fail_with(fail, ERR_PROTOCOL, "The request path \"" + shown(target) + "\" holds a control byte.");
        }
    }
    const size_t qpos = target.find('?');
    const std::string_view path = target.substr(0, qpos);
    const std::string_view query = qpos == std::string_view::npos ? std::string_view() : target.substr(qpos + 1);
    if (path == "/v1/server" || path == "/v1/monitor" || path == "/v1/machines") {
        out->endpoint = path == "/v1/server"    ? Endpoint::kServer
                        : path == "/v1/monitor" ? Endpoint::kMonitor
                                                : Endpoint::kMachines;
        return true;
    }
    for (const Prefix& p : kPrefixes) {
        const std::string_view prefix(p.text);
        if (path.substr(0, prefix.size()) != prefix) {
            continue;
        }
        out->endpoint = p.endpoint;
        if (!decode_address(path.substr(prefix.size()), p.parts, p.endpoint, &out->address, fail)) {
            return false;
        }
        switch (p.endpoint) {
            case Endpoint::kHistory:
                return parse_history_query(query, out, fail);
            case Endpoint::kMachine:
                return parse_machine_query(query, out, fail);
            case Endpoint::kTrace:
                return parse_trace_query(query, out, fail);
            default:
                return true;
        }
    }
    out->asset = find_web_asset(path);
    if (out->asset != nullptr) {
        out->endpoint = Endpoint::kConsole;
        return true;
    }
    fail_with(fail, ERR_PROTOCOL,
              "There is nothing at \"" + shown(path) +
                  "\"; the paths are /v1/property/, /v1/names/, /v1/history/, /v1/server, /v1/monitor, "
                  "/v1/machines, /v1/machine/ and /v1/trace/.");
    fail->status = 404;
    return false;
}

bool method_allowed(Endpoint endpoint, std::string_view method, std::string* allowed) {
    if (endpoint == Endpoint::kConsole) {
        *allowed = "GET, HEAD";
        return method == "GET" || method == "HEAD";
    }
    *allowed = endpoint == Endpoint::kProperty ? "GET, PUT" : "GET";
    return method == "GET" || (method == "PUT" && endpoint == Endpoint::kProperty);
}

bool parse_write_body(std::string_view body, EqData* in, Failure* fail) {
    in->init();
    nlohmann::json j;
    std::string why;
    if (parse_json(body, &j, &why) != 0) {
        return fail_with(fail, ERR_PROTOCOL, "The body of the write cannot be read: " + why);
    }
    if (j.is_object() && j.size() == 1 && j.contains("text")) {
        const nlohmann::json& t = j["text"];
        if (!t.is_string() || t.get_ref<const std::string&>().find('\0') != std::string::npos) {
            return fail_with(fail, ERR_PROTOCOL,
                             "The member \"text\" of a write must be a text without NUL characters.");
        }
        in->set(t.get_ref<const std::string&>().c_str());
        return true;
    }
    if (!j.is_object() || !j.contains("type")) {
        return fail_with(fail, ERR_PROTOCOL,
                         "The body of a write must be {\"text\":\"...\"} or {\"type\":..,\"value\":..}.");
    }
    if (value_from_json(j, in, &why) != 0) {
        return fail_with(fail, ERR_PARSE, why);
    }
    return true;
}

bool check_property_address(const std::string& address, Failure* fail) {
    std::string decoded;
    return decode_address(address, 4, Endpoint::kProperty, &decoded, fail) &&
           (decoded == address ||
            fail_with(fail, ERR_BAD_ADDRESS, "The address \"" + shown(address) + "\" must not be percent-encoded."));
}

bool parse_monitor_frame(std::string_view text, MonitorRequest* out, Failure* fail) {
    nlohmann::json j;
    std::string why;
    if (parse_json(text, &j, &why) != 0) {
        return fail_with(fail, ERR_PROTOCOL, "The frame cannot be read: " + why);
    }
    const bool sub = j.is_object() && j.size() == 1 && j.contains("subscribe");
    const bool unsub = j.is_object() && j.size() == 1 && j.contains("unsubscribe");
    if ((!sub && !unsub) || !j.begin()->is_string()) {
        return fail_with(fail, ERR_PROTOCOL,
                         "A frame must be {\"subscribe\":\"F/D/L/P\"} or {\"unsubscribe\":\"F/D/L/P\"}.");
    }
    out->subscribe = sub;
    out->address = j.begin()->get<std::string>();
    return check_property_address(out->address, fail);
}

int http_status(int code, bool foreign, bool too_large) {
    switch (code) {
        case ERR_NONE:
            return 200;
        case ERR_UNKNOWN_DEVICE:
        case ERR_UNKNOWN_LOCATION:
        case ERR_UNKNOWN_PROPERTY:
            return 404;
        case ERR_WRONG_TYPE:
        case ERR_PARSE:
        case ERR_BAD_ADDRESS:
        case ERR_INDEX:
        case ERR_PROTOCOL:
            return 400;
        case ERR_READ_ONLY:
            return 403;
        case ERR_ACCESS:
            return foreign ? 403 : 401;
        case ERR_LIMIT:
            return too_large ? 413 : 503;
        case ERR_UNREACHABLE:
            return 502;
        case ERR_TIMEOUT:
            return 504;
        default:
            return 500;
    }
}

bool foreign_origin(std::string_view origin, std::string_view host) {
    const size_t scheme = origin.find("://");
    if (scheme == std::string_view::npos) {
        return true;  // "null" and anything unreadable
    }
    std::string_view rest = origin.substr(scheme + 3);
    rest = rest.substr(0, rest.find('/'));
    if (rest.size() != host.size() || host.empty()) {
        return true;
    }
    for (size_t i = 0; i < rest.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(rest[i])) != std::tolower(static_cast<unsigned char>(host[i]))) {
            return true;
        }
    }
    return false;
}

bool same_secret(std::string_view given, std::string_view secret) {
    unsigned diff = given.size() == secret.size() ? 0u : 1u;
    for (size_t i = 0; i < given.size(); ++i) {
        diff |= static_cast<unsigned char>(given[i]) ^
                static_cast<unsigned char>(secret.empty() ? 0 : secret[i % secret.size()]);
    }
    return diff == 0 && !secret.empty();
}

}  // namespace velko::net
