// One HTTP connection: reads a request within the request time-out, answers simple failures at
// once, hands property calls to the worker pool and writes their answer, keeps the connection
// alive between requests for the idle time-out.
//
// Threads: the session is driven by the I/O thread, except while a property call is outstanding.
// Then nothing is read or written on the connection, and whoever answers first (the worker with
// the call's answer, or the call's time-out on the I/O thread) takes the session over: it writes
// the answer and starts the wait for the next request. The worker thus answers without waking the
// I/O thread.
#include <sys/socket.h>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/websocket/rfc6455.hpp>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <optional>

#include "net/console_reply.h"
#include "net/service_state.h"
#include "net/value_json.h"

namespace velko::net {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

constexpr size_t kFirstRead = 1024;

std::string_view view(beast::string_view s) {
    return std::string_view(s.data(), s.size());
}

// The answer as it goes on the wire: status line, header and body.
std::string wire_text(http::response<http::string_body>& response) {
    http::response_serializer<http::string_body> sr{response};
    std::string text;
    beast::error_code ec;
    while (!ec && !sr.is_done()) {
        sr.next(ec, [&](beast::error_code&, const auto& buffers) {
            for (const auto b : beast::buffers_range_ref(buffers)) {
                text.append(static_cast<const char*>(b.data()), b.size());
            }
            sr.consume(beast::buffer_bytes(buffers));
        });
    }
    return text;
}

class HttpSession : public std::enable_shared_from_this<HttpSession> {
  public:
    HttpSession(Service::State* st, tcp::socket socket)
        : st_(st), count_(&st->connections), stream_(std::move(socket)), timer_(stream_.get_executor()) {}

    void start(bool reject_busy) {
        if (reject_busy) {
            Failure busy{ERR_LIMIT, "The server " + st_->settings.facility + "/" + st_->settings.device + " has " +
                                        std::to_string(st_->settings.max_connections) +
                                        " connections already; try again later."};
            write(error_reply("", busy), false);
            return;
        }
        wait_for_request();
    }

  private:
    // Waits up to the idle time-out for the first bytes, then up to the request time-out for the
    // whole request: a client that trickles a request is dropped.
    void wait_for_request() {
        if (buffer_.size() > 0) {
            read_request();
            return;
        }
        stream_.expires_after(std::chrono::milliseconds(st_->settings.idle_timeout_ms));
        stream_.async_read_some(buffer_.prepare(kFirstRead),
                                [self = shared_from_this()](beast::error_code ec, size_t n) {
                                    if (ec) {
                                        self->close();
                                        return;
                                    }
                                    self->buffer_.commit(n);
                                    self->read_request();
                                });
    }

    void read_request() {
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(kMaxHeaderBytes));
        parser_->body_limit(st_->settings.max_request_bytes);
        stream_.expires_after(std::chrono::milliseconds(st_->settings.request_timeout_ms));
        http::async_read(stream_, buffer_, *parser_,
                         [self = shared_from_this()](beast::error_code ec, size_t) { self->on_read(ec); });
    }

    void on_read(beast::error_code ec) {
        if (ec == http::error::body_limit) {
            write(error_reply("",
                              {ERR_LIMIT, "The request body is larger than the limit of " +
                                              std::to_string(st_->settings.max_request_bytes) + " bytes."},
                              false, true),
                  false);
            return;
        }
        if (ec == http::error::header_limit) {
            Reply r = error_reply("", {ERR_LIMIT, "The request header is larger than the limit of " +
                                                      std::to_string(kMaxHeaderBytes) + " bytes."});
            r.status = 431;
            write(r, false);
            return;
        }
        if (ec && &ec.category() == &http::make_error_code(http::error::bad_target).category() &&
            ec != http::error::end_of_stream && ec != http::error::partial_message) {
            write(error_reply("", {ERR_PROTOCOL, "The request is not valid HTTP/1.1: " + ec.message() + "."}), false);
            return;
        }
        if (ec) {
            close();  // the client went away or was too slow
            return;
        }
        stream_.expires_never();
        request_ = parser_->release();
        handle();
    }

    void handle() {
        const bool keep = request_.keep_alive();
        Target target;
        Failure fail;
        if (!parse_target(view(request_.target()), &target, &fail)) {
            write(error_reply("", fail), keep);
            return;
        }
        std::string allowed;
        const std::string_view method = view(request_.method_string());
        if (!method_allowed(target.endpoint, method, &allowed)) {
            Reply r = error_reply(target.address,
                                  {ERR_PROTOCOL, "The method " + std::string(method) + " is not allowed on " +
                                                     std::string(view(request_.target())) + "; use " + allowed + "."});
            r.status = 405;
            allow_ = allowed;
            write(r, keep);
            return;
        }
        if (target.endpoint == Endpoint::kConsole) {
            http::response<http::string_body> response = console_response(*target.asset, request_);
            response.keep_alive(keep);
            send(wire_text(response), keep);
            return;
        }
        if (target.endpoint == Endpoint::kMonitor) {
            if (beast::websocket::is_upgrade(request_)) {
                serve_monitor(st_, std::move(stream_), std::move(request_));
                return;
            }
            write(error_reply("", {ERR_PROTOCOL, "The path /v1/monitor takes WebSocket connections only."}), keep);
            return;
        }
        auto in = std::make_shared<EqData>();
        if (request_.method() == http::verb::put) {
            if (!write_allowed(target.address, keep)) {
                return;
            }
            if (!parse_write_body(request_.body(), in.get(), &fail)) {
                write(error_reply(target.address, fail), keep);
                return;
            }
        }
        dispatch(target, in, keep);
    }

    // Origin first: a page of another site never writes, token or not.
    bool write_allowed(const std::string& address, bool keep) {
        const auto origin = request_.find(http::field::origin);
        if (origin != request_.end()) {
            const auto host = request_.find(http::field::host);
            const std::string_view h = host == request_.end() ? std::string_view() : view(host->value());
            if (foreign_origin(view(origin->value()), h)) {
                write(error_reply(address,
                                  {ERR_ACCESS, "Writes from the origin " + std::string(view(origin->value())) +
                                                   " are refused; only pages of this server may write."},
                                  true),
                      keep);
                return false;
            }
        }
        const std::string& token = st_->settings.token;
        if (token.empty()) {
            return true;
        }
        const auto auth = request_.find(http::field::authorization);
        const std::string_view given = auth == request_.end() ? std::string_view() : view(auth->value());
        constexpr std::string_view kBearer = "Bearer ";
        if (given.substr(0, kBearer.size()) == kBearer && same_secret(given.substr(kBearer.size()), token)) {
            return true;
        }
        bearer_challenge_ = true;
        write(error_reply(address, {ERR_ACCESS,
                                    "Writing " + address + " needs the server's token (Authorization: Bearer ...)."}),
              keep);
        return false;
    }

    void dispatch(const Target& target, const std::shared_ptr<EqData>& in, bool keep) {
        unsigned id = 0;
        {
            std::lock_guard<std::mutex> lock(claim_mux_);
            id = ++call_id_;
        }
        auto self = shared_from_this();
        // Armed before the worker may run; only the I/O thread touches the timer.
        timer_.expires_after(std::chrono::milliseconds(st_->settings.call_timeout_ms));
        timer_.async_wait([self, id, address = target.address, keep](beast::error_code ec) {
            if (!ec) {
                self->on_answer(
                    id,
                    error_reply(address,
                                {ERR_TIMEOUT, "The call on " + address + " took longer than " +
                                                  std::to_string(self->st_->settings.call_timeout_ms) + " ms."}),
                    keep);
            }
        });
        const bool is_set = request_.method() == http::verb::put;
        Service::State* st = st_;
        auto job = [self, st, id, target, in, is_set, keep] {
            Reply r;
            switch (target.endpoint) {
                case Endpoint::kProperty:
                    r = is_set ? st->calls.set(target.address, in.get()) : st->calls.get(target.address);
                    break;
                case Endpoint::kNames:
                    r = st->calls.names(target.address);
                    break;
                case Endpoint::kHistory:
                    r = st->calls.history(target);
                    break;
                case Endpoint::kMachines:
                    r = st->calls.machines();
                    break;
                case Endpoint::kMachine:
                    r = st->calls.machine(target);
                    break;
                case Endpoint::kTrace:
                    r = st->calls.trace(target);
                    break;
                default:
                    r = st->calls.server();
                    break;
            }
            self->on_answer(id, std::move(r), keep);
        };
        if (!st_->pool.post(std::move(job))) {
            on_answer(
                id,
                error_reply(target.address, {ERR_LIMIT, "The server is too busy to take the call; try again later."}),
                keep);
        }
    }

    // On the worker or the I/O thread: the first of the call's answer and its time-out takes the
    // session over and writes; the other is dropped without touching the session. The timer is
    // left running (cancelling it from a worker would wake the I/O thread): the next call re-arms
    // it and close() stops it.
    void on_answer(unsigned id, const Reply& r, bool keep) {
        {
            std::lock_guard<std::mutex> lock(claim_mux_);
            if (id != call_id_ || answered_ == id) {
                return;
            }
            answered_ = id;
        }
        write(r, keep);
    }

    void write(const Reply& r, bool keep) {
        http::response<http::string_body> response;
        response.result(r.status);
        response.version(11);
        response.set(http::field::server, "velko");
        response.set(http::field::content_type, r.content_type);
        response.set(http::field::cache_control, "no-store");
        if (!allow_.empty()) {
            response.set(http::field::allow, allow_);
            allow_.clear();
        }
        if (bearer_challenge_) {
            response.set(http::field::www_authenticate, "Bearer");
            bearer_challenge_ = false;
        }
        response.keep_alive(keep);
        response.body() = r.body;
        response.prepare_payload();
        send(wire_text(response), keep);
    }

    void send(std::string text, bool keep) {
        out_ = std::move(text);
        // API answers are small and the socket's send buffer is empty (nothing else is written on
        // the connection): they nearly always go out at once, and the wait for the next request
        // is only registered here, so a worker answers without waking the I/O thread.
        const ssize_t n =
            ::send(stream_.socket().native_handle(), out_.data(), out_.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        const bool failed = n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
        const size_t sent = n > 0 ? static_cast<size_t>(n) : 0;
        if (!failed && keep && sent == out_.size()) {
            wait_for_request();
            return;
        }
        // Closing and writing the rest belong to the I/O thread, which owns the call's timer.
        asio::dispatch(stream_.get_executor(),
                       [self = shared_from_this(), failed, sent, keep] { self->write_rest(failed, sent, keep); });
    }

    void write_rest(bool failed, size_t sent, bool keep) {
        if (failed) {
            close();
            return;
        }
        if (sent == out_.size()) {
            written(beast::error_code(), keep);
            return;
        }
        stream_.expires_after(std::chrono::milliseconds(st_->settings.request_timeout_ms));
        asio::async_write(stream_, asio::buffer(out_.data() + sent, out_.size() - sent),
                          [self = shared_from_this(), keep](beast::error_code ec, size_t) { self->written(ec, keep); });
    }

    void written(beast::error_code ec, bool keep) {
        if (ec || !keep) {
            close();
            return;
        }
        wait_for_request();
    }

    // On the I/O thread.
    void close() {
        timer_.cancel();
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        stream_.close();
    }

    Service::State* st_;
    ConnectionCount count_;
    beast::tcp_stream stream_;
    asio::steady_timer timer_;
    beast::flat_buffer buffer_{kMaxHeaderBytes + 65536};
    std::optional<http::request_parser<http::string_body>> parser_;
    http::request<http::string_body> request_;
    std::string out_;  // the answer being written
    std::string allow_;
    bool bearer_challenge_ = false;
    std::mutex claim_mux_;  // guards the two below: the worker and the time-out race to answer
    unsigned call_id_ = 0;
    unsigned answered_ = 0;
};

}  // namespace

void serve_http(Service::State* st, tcp::socket socket, bool reject_busy) {
    std::make_shared<HttpSession>(st, std::move(socket))->start(reject_busy);
}

}  // namespace velko::net
