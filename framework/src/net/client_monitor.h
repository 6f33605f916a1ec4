// The client's WebSocket to one server: subscriptions, pushed values, and reconnection with a
// growing pause (100 ms doubling to 2 s) that makes every subscription again. Runs on the
// client's I/O thread; add and remove may be called from any thread.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "eq_data.h"
#include "net/directory_file.h"

namespace velko::net {

class MonitorChannel : public std::enable_shared_from_this<MonitorChannel> {
  public:
    // Receives each pushed value or error of an address, and ERR_UNREACHABLE for every address
    // when the server is lost. Called on the I/O thread.
    using Sink = std::function<void(const std::string& address, const EqData& value, double timestamp)>;

    MonitorChannel(boost::asio::io_context& ioc, std::string server, ServerEndpoint endpoint, int connect_timeout_ms,
                   Sink sink);

    // Starts (or stops) receiving the values of address; the first add connects.
    void add(const std::string& address);
    void remove(const std::string& address);

  private:
    using Socket = boost::beast::websocket::stream<boost::beast::tcp_stream>;

    void connect();
    void on_open(const std::shared_ptr<Socket>& ws);
    void read(const std::shared_ptr<Socket>& ws, const std::shared_ptr<boost::beast::flat_buffer>& inbox);
    void on_frame(const std::string& text);
    void send(std::string frame);
    void write_next();
    // The connection failed or broke: tells every address once, then tries again later.
    void lost(unsigned generation, const std::string& sentence);
    void close();

    boost::asio::io_context& ioc_;
    std::string server_;  // "FACILITY/DEVICE", for messages
    ServerEndpoint endpoint_;
    int connect_timeout_ms_;
    Sink sink_;

    std::set<std::string> wanted_;
    std::shared_ptr<Socket> ws_;
    unsigned generation_ = 0;  // handlers of an older connection do nothing
    bool connecting_ = false;
    bool open_ = false;
    bool reported_lost_ = false;
    std::chrono::milliseconds backoff_{100};
    boost::asio::steady_timer retry_;
    std::deque<std::string> outbox_;
    bool writing_ = false;
};

}  // namespace velko::net
