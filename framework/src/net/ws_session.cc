// One monitor connection (WebSocket /v1/monitor): reads subscribe and unsubscribe frames one at a
// time, and writes answers and the newest pending value of each subscription.
#include <boost/asio/post.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <deque>
#include <set>

#include "net/service_state.h"
#include "net/value_json.h"

namespace velko::net {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;

namespace {

constexpr size_t kMaxFrameBytes = 65536;
// Error answers waiting to be written before the next frame is read.
constexpr size_t kMaxDirect = 16;

class WsSession : public std::enable_shared_from_this<WsSession> {
  public:
    WsSession(Service::State* st, beast::tcp_stream stream)
        : st_(st), count_(&st->connections), ws_(std::move(stream)) {}

    ~WsSession() {
        if (subscribed_.empty()) {
            return;
        }
        // The pool may have stopped (the service ends): the feed then forgets everything itself.
        st_->pool.post([st = st_, sub = sub_, addresses = subscribed_] {
            for (const std::string& a : addresses) {
                st->feed.unsubscribe(a, sub.get());
            }
        });
    }

    void start(http::request<http::string_body> req) {
        std::weak_ptr<WsSession> weak = shared_from_this();
        auto executor = ws_.get_executor();
        sub_ = std::make_shared<Subscriber>([weak, executor] {
            asio::post(executor, [weak] {
                if (auto self = weak.lock()) {
                    self->pump();
                }
            });
        });
        beast::get_lowest_layer(ws_).expires_never();
        websocket::stream_base::timeout opt{};
        opt.handshake_timeout = std::chrono::milliseconds(st_->settings.request_timeout_ms);
        opt.idle_timeout = std::chrono::milliseconds(st_->settings.idle_timeout_ms);
        opt.keep_alive_pings = true;
        ws_.set_option(opt);
        ws_.read_message_max(std::min(kMaxFrameBytes, st_->settings.max_request_bytes));
        ws_.async_accept(req, [self = shared_from_this()](beast::error_code ec) {
            if (!ec) {
                self->read();
            }
        });
    }

  private:
    void read() {
        if (closed_) {
            return;
        }
        if (direct_.size() >= kMaxDirect) {
            read_paused_ = true;  // resumed when the client has taken our answers
            return;
        }
        ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code ec, size_t) { self->on_frame(ec); });
    }

    void on_frame(beast::error_code ec) {
        if (ec) {
            closed_ = true;
            return;
        }
        const std::string text = beast::buffers_to_string(buffer_.data());
        buffer_.consume(buffer_.size());
        MonitorRequest req;
        Failure fail;
        if (!ws_.got_text()) {
            fail = {ERR_PROTOCOL, "Monitor frames are text frames holding JSON."};
        } else if (parse_monitor_frame(text, &req, &fail)) {
            handle(req);
            return;
        }
        nlohmann::json answer = error_to_json(fail.code, fail.message);
        if (!req.address.empty()) {
            answer["address"] = req.address;
        }
        send_direct(dump_json(answer));
        read();
    }

    void handle(const MonitorRequest& req) {
        if (req.subscribe && subscribed_.count(req.address) == 0 &&
            subscribed_.size() >= static_cast<size_t>(st_->settings.max_subscriptions)) {
            send_direct(
                dump_json({{"address", req.address},
                           {"error", ERR_LIMIT},
                           {"message", "A monitor connection holds at most " +
                                           std::to_string(st_->settings.max_subscriptions) + " subscriptions."}}));
            read();
            return;
        }
        if (req.subscribe) {
            subscribed_.insert(req.address);
        } else {
            subscribed_.erase(req.address);
            sub_->drop(req.address);
        }
        // The next frame is read once the feed has taken this one, so requests apply in order.
        auto self = shared_from_this();
        const bool posted = st_->pool.post([self, req] {
            bool kept = false;
            if (req.subscribe) {
                kept = self->st_->feed.subscribe(req.address, self->sub_);
            } else {
                self->st_->feed.unsubscribe(req.address, self->sub_.get());
            }
            asio::post(self->ws_.get_executor(), [self, req, kept] {
                if (req.subscribe && !kept) {
                    self->subscribed_.erase(req.address);
                }
                self->read();
            });
        });
        if (!posted) {
            if (req.subscribe) {
                subscribed_.erase(req.address);
            }
            send_direct(dump_json({{"address", req.address},
                                   {"error", ERR_LIMIT},
                                   {"message", "The server is too busy to take the request; try again later."}}));
            read();
        }
    }

    void send_direct(std::string frame) {
        direct_.push_back(std::move(frame));
        pump();
    }

    // Writes one frame at a time: answers first, then pending values.
    void pump() {
        if (writing_ || closed_) {
            return;
        }
        if (!direct_.empty()) {
            out_ = std::move(direct_.front());
            direct_.pop_front();
        } else if (!sub_->next(&out_)) {
            return;
        }
        writing_ = true;
        ws_.text(true);
        ws_.async_write(asio::buffer(out_), [self = shared_from_this()](beast::error_code ec, size_t) {
            self->writing_ = false;
            if (ec) {
                self->closed_ = true;
                return;
            }
            if (self->read_paused_ && self->direct_.size() < kMaxDirect) {
                self->read_paused_ = false;
                self->read();
            }
            self->pump();
        });
    }

    Service::State* st_;
    ConnectionCount count_;
    websocket::stream<beast::tcp_stream> ws_;
    beast::flat_buffer buffer_;
    std::shared_ptr<Subscriber> sub_;
    std::set<std::string> subscribed_;
    std::deque<std::string> direct_;
    std::string out_;
    bool writing_ = false;
    bool read_paused_ = false;
    bool closed_ = false;
};

}  // namespace

void serve_monitor(Service::State* st, beast::tcp_stream stream, http::request<http::string_body> req) {
    std::make_shared<WsSession>(st, std::move(stream))->start(std::move(req));
}

}  // namespace velko::net
