// ScriptedServer: a loopback HTTP and WebSocket server for network client tests. It answers
// canned JSON per request, records what it was sent, holds WebSockets and pushes frames, and can
// be stopped and started again on the same port.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace testsupport {

class ScriptedServer {
  public:
    struct Request {
        std::string method;
        std::string target;
        std::string authorization;  // the Authorization header, "" when absent
        std::string body;
    };

    // Listens on 127.0.0.1 on a port chosen by the system.
    ScriptedServer();
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    int port() const;

    // The answer to METHOD TARGET ("GET", "/v1/property/F/D/L/P"). Requests without one get
    // 404 with an error body.
    void answer(const std::string& method, const std::string& target, int status, const std::string& body);
    // While silent, HTTP requests are read and recorded but never answered.
    void set_silent(bool silent);
    // Frames sent at once to a WebSocket client that subscribes to address.
    void on_subscribe(const std::string& address, const std::vector<std::string>& frames);
    // Sends frame to every open WebSocket.
    void push(const std::string& frame);

    std::vector<Request> requests() const;
    // Text frames received on WebSockets, in order.
    std::vector<std::string> frames() const;
    // TCP connections accepted since the start.
    int connections() const;
    // WebSockets open now.
    int websockets() const;

    // Closes the listening socket and every connection.
    void stop();
    // Listens again on the same port.
    void restart();

    struct Impl;  // defined in the source, where its sessions use it

  private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace testsupport
