// velko::net::Service: the network service of one server (HTTP/JSON calls and WebSocket
// monitors, docs/network.md). One I/O thread serves every connection; property calls run on a
// small worker pool.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

namespace velko::net {

struct ServiceSettings {
    std::string facility;
    std::string device;
    std::string listen = "127.0.0.1";
    int port = 0;       // 0: any free port
    std::string token;  // secret writes need; "" leaves writes open
    int call_timeout_ms = 3000;
    int max_connections = 256;
    size_t max_request_bytes = 1048576;
    int request_timeout_ms = 10000;
    int idle_timeout_ms = 60000;
    int max_subscriptions = 1024;
    int workers = 3;
    // Adds the server's own members (rate_ms, cycles) to the answer of /v1/server.
    std::function<void(nlohmann::json*)> describe;
};

// Header lines an HTTP request may have in all, in bytes.
inline constexpr size_t kMaxHeaderBytes = 8192;

class Service {
  public:
    explicit Service(ServiceSettings settings);
    // stop()
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Listens and starts the threads. Returns 0, or -1 with the reason (a sentence) in *why.
    int start(std::string* why);
    // The bound port (0 before start).
    int port() const;
    // True when the service listens on a loopback address only.
    bool loopback_only() const;
    // Samples the monitored properties once; the server calls it after each update cycle.
    void sample();
    // Closes every connection and joins the threads. Only the first call does anything.
    void stop();

    struct State;

  private:
    std::unique_ptr<State> state_;
};

}  // namespace velko::net
