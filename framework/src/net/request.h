// Decoding of network requests without sockets: request targets, write bodies and monitor
// frames, and the HTTP status of each error code. Pure functions, so they can be fuzzed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "eq_data.h"
#include "net/web_assets.h"

namespace velko::net {

enum class Endpoint { kProperty, kNames, kHistory, kServer, kMonitor, kMachines, kMachine, kTrace, kConsole };

// The form of a machine's structure (/v1/machine/F/D/L?format=...).
enum class MachineFormat { kJson, kDot, kScxml };

// A decoded request target. address is FACILITY/DEVICE/LOCATION/PROPERTY (property and history),
// FACILITY/DEVICE/LOCATION or FACILITY/DEVICE/* (names), FACILITY/DEVICE/LOCATION (machine and
// trace), "" otherwise.
struct Target {
    Endpoint endpoint = Endpoint::kServer;
    std::string address;
    bool has_since = false;
    bool has_until = false;
    double since = 0;
    double until = 0;
    MachineFormat format = MachineFormat::kJson;  // machine
    uint64_t after = 0;                           // trace: entries after this seq
    const WebAsset* asset = nullptr;              // the web console's file (kConsole)
};

// A failure: an error code (ERR_*) and a sentence; http_status gives the answer's status.
struct Failure {
    int code = ERR_NONE;
    std::string message;
    int status = 0;  // the HTTP status when it is not the code's own (404 for unknown paths)
};

// Decodes an HTTP request target ("/v1/property/F/D/L/P", "/v1/history/...?since=T", "/" and the
// other files of the web console).
// Returns true, or false with *fail set: unknown paths are ERR_PROTOCOL (404), bad addresses
// ERR_BAD_ADDRESS, bad encodings ERR_PROTOCOL (400).
bool parse_target(std::string_view target, Target* out, Failure* fail);

// Whether the method (an HTTP verb) is allowed on the endpoint; allowed lists the allowed ones.
bool method_allowed(Endpoint endpoint, std::string_view method, std::string* allowed);

// The input of a write: {"text":"..."} gives a STRING value (parsed in the property's type by
// the property), {"type":..,"value":..} a typed value. Returns true, or false with *fail set.
bool parse_write_body(std::string_view body, EqData* in, Failure* fail);

// A monitor frame: {"subscribe":"F/D/L/P"} or {"unsubscribe":"F/D/L/P"}.
struct MonitorRequest {
    bool subscribe = true;
    std::string address;
};
// Returns true, or false with *fail set (ERR_PROTOCOL for frames that are not requests,
// ERR_BAD_ADDRESS for bad addresses; fail->message names the address when there is one).
bool parse_monitor_frame(std::string_view text, MonitorRequest* out, Failure* fail);

// Checks a property address text (four non-empty parts). Returns true, or false with *fail set.
bool check_property_address(const std::string& address, Failure* fail);

// The HTTP status of an error answer. foreign_origin tells an ERR_ACCESS refused for its Origin
// (403) from one refused for its token (401); too_large an ERR_LIMIT for a request's size (413)
// from one for the number of connections (503).
int http_status(int code, bool foreign_origin = false, bool too_large = false);

// True when the Origin header names a different host:port than the Host header (a write from a
// page of another site).
bool foreign_origin(std::string_view origin, std::string_view host);

// Compares a token in constant time for its length.
bool same_secret(std::string_view given, std::string_view secret);

}  // namespace velko::net
