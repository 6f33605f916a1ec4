// One HTTP connection: reads a request within the request time-out, answers simple failures at
// once, hands property calls to the worker pool and writes their answer, keeps the connection
// alive between requests for the idle time-out.
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/websocket/rfc6455.hpp>
#include <chrono>
#include <optional>

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
        const unsigned id = ++call_id_;
        auto self = shared_from_this();
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
                default:
                    r = st->calls.server();
                    break;
            }
            asio::post(self->stream_.get_executor(),
                       [self, id, keep, r = std::move(r)]() mutable { self->on_answer(id, std::move(r), keep); });
        };
        if (!st_->pool.post(std::move(job))) {
            write(error_reply(target.address, {ERR_LIMIT, "The server is too busy to take the call; try again later."}),
                  keep);
            return;
        }
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
    }

    // The first of the call's answer and its time-out is written; the other is dropped.
    void on_answer(unsigned id, Reply r, bool keep) {
        if (id != call_id_ || answered_ == id) {
            return;
        }
        answered_ = id;
        timer_.cancel();
        write(r, keep);
    }

    void write(const Reply& r, bool keep) {
        response_ = {};
        response_.result(r.status);
        response_.version(11);
        response_.set(http::field::server, "velko");
        response_.set(http::field::content_type, "application/json");
        response_.set(http::field::cache_control, "no-store");
        if (!allow_.empty()) {
            response_.set(http::field::allow, allow_);
            allow_.clear();
        }
        if (bearer_challenge_) {
            response_.set(http::field::www_authenticate, "Bearer");
            bearer_challenge_ = false;
        }
        response_.keep_alive(keep);
        response_.body() = r.body;
        response_.prepare_payload();
        stream_.expires_after(std::chrono::milliseconds(st_->settings.request_timeout_ms));
        http::async_write(stream_, response_, [self = shared_from_this(), keep](beast::error_code ec, size_t) {
            if (ec || !keep) {
                self->close();
                return;
            }
            self->wait_for_request();
        });
    }

    void close() {
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
    http::response<http::string_body> response_;
    std::string allow_;
    bool bearer_challenge_ = false;
    unsigned call_id_ = 0;
    unsigned answered_ = 0;
};

}  // namespace

void serve_http(Service::State* st, tcp::socket socket, bool reject_busy) {
    std::make_shared<HttpSession>(st, std::move(socket))->start(reject_busy);
}

}  // namespace velko::net
