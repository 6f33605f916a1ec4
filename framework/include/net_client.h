// velko::NetClient: calls on the properties of other servers over the network, and the
// process-wide settings of that client (directory file, time-out, write token).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "eq_adr.h"
#include "eq_data.h"

namespace velko {

struct ClientSettings {
    std::string directory;       // directory file; "" = the VELKO_DIRECTORY environment variable
    int call_timeout_ms = 3000;  // every call answers within this time (ERR_TIMEOUT otherwise)
    std::string token;           // sent with writes as "Authorization: Bearer <token>" when not empty
};

// Settings of the clients made without settings of their own (the one behind velko::EqCall).
// The server sets them from its configuration; they apply from the next call on.
void set_client_settings(const ClientSettings& settings);
ClientSettings client_settings();

// A network client: one kept-alive HTTP connection per server, driven by the calling thread
// (calls on one server take turns), and one WebSocket per server, served by the client's own I/O
// thread. Every call is synchronous and answers within the call time-out, in out: the value, or
// error() non-zero with a sentence (unknown device 101, unreachable server 106, time-out 107, or
// the code and text the server answered). The result is out->error(). Safe to use from several
// threads.
class NetClient {
  public:
    // Called on the client's thread with the newest value (or error) of a monitored address and
    // the time the server gave it (unix seconds). It must not unsubscribe or destroy the client.
    using MonitorHandler = std::function<void(const std::string& address, const EqData& value, double timestamp)>;

    // Uses the process-wide settings at each call.
    NetClient();
    explicit NetClient(const ClientSettings& settings);
    ~NetClient();
    NetClient(const NetClient&) = delete;
    NetClient& operator=(const NetClient&) = delete;

    int get(const EqAdr& adr, EqData* out);
    // A DATA_STRING value is sent as text that the server parses in the property's type.
    int set(const EqAdr& adr, const EqData& in, EqData* out);
    // Location "*": one USTR per location (name, i1_data its code); otherwise one USTR per
    // property (name, i1_data its type code).
    int names(const EqAdr& adr, EqData* out);
    // History records (DATA_A_TDS) between since and until (unix seconds; 0 = open end).
    int history(const EqAdr& adr, double since, double until, EqData* out);
    // The structure of the machine part at the location adr (F/D/L) in format "json", "dot" or
    // "scxml": the server's text as a DATA_STRING.
    int machine(const EqAdr& adr, const std::string& format, EqData* out);
    // The transitions of adr's machine recorded after seq `after`: the server's JSON text as a
    // DATA_STRING (docs/network.md, "Machines").
    int trace(const EqAdr& adr, uint64_t after, EqData* out);

    // Subscribes to adr on the server's WebSocket. Returns a subscription number (> 0), or 0 with
    // the error in *error (unknown device or bad address). The connection is made on the client's
    // thread; a lost server is retried with a growing pause (100 ms doubling to 2 s) and the
    // subscriptions are made again. handler may be empty.
    long subscribe(const EqAdr& adr, MonitorHandler handler, EqData* error);
    // The newest value of a subscription without a round trip: ERR_MONITOR_PENDING while no value
    // has arrived, ERR_UNREACHABLE while the server is lost, or the server's error.
    int latest(long subscription, EqData* out);
    // After it returns the subscription's handler is not running and will not run again.
    void unsubscribe(long subscription);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace velko
