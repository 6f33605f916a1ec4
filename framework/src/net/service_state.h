// What the network service's connections share: settings, calls, monitor feed, worker pool and
// the I/O context. Private to framework/src/net.
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <memory>
#include <thread>

#include "net/calls.h"
#include "net/monitor_feed.h"
#include "net/service.h"
#include "net/worker_pool.h"

namespace velko::net {

// Members are destroyed in reverse order: the I/O context (and with it every connection) goes
// before the parts the connections use.
struct Service::State {
    explicit State(ServiceSettings s);

    ServiceSettings settings;
    Calls calls;
    Feed feed;
    WorkerPool pool;
    std::atomic<int> connections{0};
    std::atomic<bool> sampling{false};  // a sample job is queued or running
    std::atomic<bool> started{false};
    std::atomic<bool> stopped{false};  // sample() may run on the update thread while stop() runs
    int port = 0;
    boost::asio::io_context ioc{1};
    boost::asio::ip::tcp::acceptor acceptor{ioc};
    std::thread io_thread;
};

// Counts a connection for the life of the object.
class ConnectionCount {
  public:
    explicit ConnectionCount(std::atomic<int>* n) : n_(n) { n_->fetch_add(1); }
    ~ConnectionCount() { n_->fetch_sub(1); }
    ConnectionCount(const ConnectionCount&) = delete;
    ConnectionCount& operator=(const ConnectionCount&) = delete;

  private:
    std::atomic<int>* n_;
};

// Serves HTTP requests on socket until it closes or upgrades to a monitor. reject_busy: answers
// 503 at once (the connection limit was reached).
void serve_http(Service::State* st, boost::asio::ip::tcp::socket socket, bool reject_busy);
// Takes over an upgrade request to /v1/monitor.
void serve_monitor(Service::State* st, boost::beast::tcp_stream stream,
                   boost::beast::http::request<boost::beast::http::string_body> req);

}  // namespace velko::net
