// Small blocking clients of the network service for tests, on 127.0.0.1 only; every wait is
// bounded (10 s unless given).
//   TestHttp     one kept-alive HTTP/1.1 connection: request(method, target, body, headers).
//   TestMonitor  one WebSocket connection to /v1/monitor: send(frame), next(&json).
#pragma once

#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

namespace testsupport {

struct HttpAnswer {
    int status = 0;  // 0: no answer (connection closed or timed out)
    std::string body;
    nlohmann::json json;  // the body parsed, or null
    std::map<std::string, std::string> headers;
};

class TestHttp {
  public:
    explicit TestHttp(int port);
    ~TestHttp();
    TestHttp(const TestHttp&) = delete;
    TestHttp& operator=(const TestHttp&) = delete;

    HttpAnswer request(const std::string& method, const std::string& target, const std::string& body = "",
                       const std::map<std::string, std::string>& headers = {});
    // Sends raw bytes on the connection (a partial or broken request).
    bool send_raw(const std::string& bytes);
    // Reads one answer after send_raw; after_head: the answer to a HEAD request (no body).
    HttpAnswer read_answer(int timeout_ms = 10000, bool after_head = false);
    // True when the server closed the connection within timeout_ms (reads give end of stream).
    bool closed_by_server(int timeout_ms);

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

class TestMonitor {
  public:
    explicit TestMonitor(int port);
    ~TestMonitor();
    TestMonitor(const TestMonitor&) = delete;
    TestMonitor& operator=(const TestMonitor&) = delete;

    bool connected() const;
    bool send(const std::string& frame);
    // The next frame parsed as JSON; false when none came within timeout_ms.
    bool next(nlohmann::json* out, int timeout_ms = 10000);

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace testsupport
