// The client's HTTP channel to one server: one kept-alive connection that the calling thread
// drives itself, one request at a time, each bounded by its deadline.
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
#include <mutex>
#include <optional>
#include <string>

#include "net/directory_file.h"

namespace velko::net {

using HttpRequest = boost::beast::http::request<boost::beast::http::string_body>;

// The answer to one request, or why there is none.
struct HttpAnswer {
    int status = 0;
    std::string body;
    int error = 0;       // ERR_UNREACHABLE, ERR_TIMEOUT or ERR_LIMIT when there is no answer
    std::string reason;  // why there is no answer
};

// The largest answer body a call takes (long histories are the largest answers).
inline constexpr size_t kMaxAnswerBytes = 64u << 20;

class HttpChannel {
  public:
    explicit HttpChannel(ServerEndpoint endpoint);

    // Any thread: sends request and waits for its answer until deadline, running the channel's
    // own I/O on the calling thread (no hand-over to another thread, so a call costs no extra
    // wake-ups). Calls on one channel take turns; a call that cannot have the channel before its
    // deadline answers ERR_TIMEOUT.
    HttpAnswer exchange(const HttpRequest& request, std::chrono::steady_clock::time_point deadline);

  private:
    // Waits until the channel is free or the deadline passes; true when the caller has it.
    bool take_turn(std::chrono::steady_clock::time_point deadline);
    void end_turn();
    void connect();
    void send();
    void on_failure(boost::beast::error_code ec);
    void close();

    ServerEndpoint endpoint_;
    // A condition variable rather than a timed mutex: ThreadSanitizer follows timed waits on it.
    std::mutex turn_mux_;
    std::condition_variable turn_free_;
    bool busy_ = false;  // a call is using everything below
    boost::asio::io_context ioc_;
    boost::asio::ip::tcp::resolver resolver_;
    std::optional<boost::beast::tcp_stream> stream_;
    boost::beast::flat_buffer buffer_;
    std::optional<boost::beast::http::response_parser<boost::beast::http::string_body>> response_;
    // The call in progress.
    const HttpRequest* request_ = nullptr;
    std::chrono::steady_clock::time_point deadline_;
    HttpAnswer answer_;
    bool done_ = false;
    bool reused_ = false;  // request_ went out on a connection that had served earlier requests
};

}  // namespace velko::net
