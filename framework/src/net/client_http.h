// The client's HTTP channel to one server: one kept-alive connection, requests sent one at a
// time in the order given, each bounded by its deadline. Runs on the client's I/O thread.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "net/directory_file.h"

namespace velko::net {

using HttpRequest = boost::beast::http::request<boost::beast::http::string_body>;

// One request and its answer, shared by the calling thread and the I/O thread.
class HttpExchange {
  public:
    HttpExchange(HttpRequest request, std::chrono::steady_clock::time_point deadline)
        : request_(std::move(request)), deadline_(deadline) {}

    // Calling thread: waits for the answer until the deadline. False when it did not come; the
    // exchange is then given up and a late answer is dropped.
    bool wait();

    // I/O thread: stores the answer (the first of answer/fail wins).
    void answer(int status, std::string body);
    // I/O thread: no answer; code is ERR_UNREACHABLE, ERR_TIMEOUT or ERR_LIMIT, reason says why.
    void fail(int code, std::string reason);
    // True once answered, failed or given up.
    bool done();

    const HttpRequest& request() const { return request_; }
    std::chrono::steady_clock::time_point deadline() const { return deadline_; }

    // Valid after wait() returned true.
    int status() const { return status_; }
    const std::string& body() const { return body_; }
    int error() const { return error_; }
    const std::string& reason() const { return reason_; }

  private:
    // Runs store under the lock unless the exchange is done, then wakes the caller.
    template <class Store>
    void complete(Store store);

    HttpRequest request_;
    std::chrono::steady_clock::time_point deadline_;
    std::mutex mux_;
    std::condition_variable cv_;
    bool done_ = false;
    int status_ = 0;
    std::string body_;
    int error_ = 0;
    std::string reason_;
};

// The largest answer body a call takes (long histories are the largest answers).
inline constexpr size_t kMaxAnswerBytes = 64u << 20;

class HttpChannel : public std::enable_shared_from_this<HttpChannel> {
  public:
    HttpChannel(boost::asio::io_context& ioc, ServerEndpoint endpoint);

    // Any thread: queues x; it is sent when the ones before it are answered.
    void submit(std::shared_ptr<HttpExchange> x);

  private:
    void start_next();
    void connect();
    void send();
    void on_failure(boost::beast::error_code ec);
    void finish_current();
    void close();

    boost::asio::io_context& ioc_;
    ServerEndpoint endpoint_;
    boost::asio::ip::tcp::resolver resolver_;
    std::optional<boost::beast::tcp_stream> stream_;
    boost::beast::flat_buffer buffer_;
    std::optional<boost::beast::http::response_parser<boost::beast::http::string_body>> response_;
    std::deque<std::shared_ptr<HttpExchange>> queue_;
    std::shared_ptr<HttpExchange> current_;
    bool reused_ = false;  // current_ went out on a connection that had served earlier requests
};

}  // namespace velko::net
