#include "net/client_monitor.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/websocket/stream_base.hpp>

#include "net/client_answers.h"
#include "net/client_errors.h"
#include "net/value_json.h"

namespace velko::net {

namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;
using boost::asio::ip::tcp;

namespace {

constexpr std::chrono::milliseconds kLongestPause{2000};
// A server that answers no ping for this long is taken as lost.
constexpr std::chrono::seconds kSilentServer{30};

std::string frame(const char* verb, const std::string& address) {
    return dump_json(nlohmann::json{{verb, address}});
}

}  // namespace

MonitorChannel::MonitorChannel(boost::asio::io_context& ioc, std::string server, ServerEndpoint endpoint,
                               int connect_timeout_ms, Sink sink)
    : ioc_(ioc),
      server_(std::move(server)),
      endpoint_(std::move(endpoint)),
      connect_timeout_ms_(connect_timeout_ms),
      sink_(std::move(sink)),
      retry_(ioc) {}

void MonitorChannel::add(const std::string& address) {
    boost::asio::post(ioc_, [self = shared_from_this(), address] {
        if (!self->wanted_.insert(address).second) {
            return;
        }
        if (self->open_) {
            self->send(frame("subscribe", address));
        } else if (!self->connecting_ && self->wanted_.size() == 1) {
            self->backoff_ = std::chrono::milliseconds(100);
            self->connect();
        }
    });
}

void MonitorChannel::remove(const std::string& address) {
    boost::asio::post(ioc_, [self = shared_from_this(), address] {
        if (self->wanted_.erase(address) == 0) {
            return;
        }
        if (self->wanted_.empty()) {
            self->close();  // nothing left to receive: no connection, no retries
        } else if (self->open_) {
            self->send(frame("unsubscribe", address));
        }
    });
}

void MonitorChannel::connect() {
    connecting_ = true;
    unsigned gen = ++generation_;
    auto ws = std::make_shared<Socket>(ioc_);
    ws_ = ws;
    auto resolver = std::make_shared<tcp::resolver>(ioc_);
    resolver->async_resolve(
        endpoint_.host, std::to_string(endpoint_.port),
        [self = shared_from_this(), ws, gen, resolver](beast::error_code ec, tcp::resolver::results_type results) {
            if (ec) {
                self->lost(gen, unreachable_sentence(self->server_, self->endpoint_, ec.message()));
                return;
            }
            beast::get_lowest_layer(*ws).expires_after(std::chrono::milliseconds(self->connect_timeout_ms_));
            beast::get_lowest_layer(*ws).async_connect(
                results, [self, ws, gen](beast::error_code cec, const tcp::endpoint&) {
                    if (cec) {
                        self->lost(gen, unreachable_sentence(self->server_, self->endpoint_, cec.message()));
                        return;
                    }
                    beast::get_lowest_layer(*ws).socket().set_option(tcp::no_delay(true), cec);
                    beast::get_lowest_layer(*ws).expires_never();
                    websocket::stream_base::timeout limits{};
                    limits.handshake_timeout = std::chrono::milliseconds(self->connect_timeout_ms_);
                    limits.idle_timeout = kSilentServer;
                    limits.keep_alive_pings = true;
                    ws->set_option(limits);
                    ws->async_handshake(self->endpoint_.text(), "/v1/monitor", [self, ws, gen](beast::error_code hec) {
                        if (hec) {
                            self->lost(gen, unreachable_sentence(self->server_, self->endpoint_, hec.message()));
                            return;
                        }
                        if (gen == self->generation_) {
                            self->on_open(ws);
                        }
                    });
                });
        });
}

void MonitorChannel::on_open(const std::shared_ptr<Socket>& ws) {
    connecting_ = false;
    open_ = true;
    reported_lost_ = false;
    backoff_ = std::chrono::milliseconds(100);
    ws->text(true);
    outbox_.clear();
    writing_ = false;
    for (const std::string& address : wanted_) {
        send(frame("subscribe", address));
    }
    read(ws, std::make_shared<beast::flat_buffer>());
}

void MonitorChannel::read(const std::shared_ptr<Socket>& ws, const std::shared_ptr<beast::flat_buffer>& inbox) {
    unsigned gen = generation_;
    ws->async_read(*inbox, [self = shared_from_this(), ws, inbox, gen](beast::error_code ec, size_t) {
        if (gen != self->generation_) {
            return;
        }
        if (ec) {
            self->lost(gen, lost_sentence(self->server_, self->endpoint_, ec.message()));
            return;
        }
        std::string text = beast::buffers_to_string(inbox->data());
        inbox->consume(inbox->size());
        self->on_frame(text);
        if (gen == self->generation_) {
            self->read(ws, inbox);
        }
    });
}

void MonitorChannel::on_frame(const std::string& text) {
    nlohmann::json j;
    std::string why;
    if (parse_json(text, &j, &why) != 0 || !j.is_object()) {
        return;  // not a frame of this protocol; the connection goes on
    }
    auto address = j.find("address");
    if (address == j.end() || !address->is_string()) {
        return;  // an error about a frame of ours that names no address: nothing to deliver
    }
    EqData value;
    auto code = j.find("error");
    if (code != j.end()) {
        auto message = j.find("message");
        value.error(
            code->is_number_integer() ? code->get<int>() : ERR_PROTOCOL,
            message != j.end() && message->is_string() ? message->get<std::string>() : "The server gave no reason.");
    } else if (value_of_answer(j, &value, &why) != 0) {
        value.error(ERR_PROTOCOL, "The server " + server_ + " pushed a value that is not valid: " + why);
    }
    auto stamp = j.find("timestamp");
    double timestamp = stamp != j.end() && stamp->is_number() ? stamp->get<double>() : 0.0;
    sink_(address->get<std::string>(), value, timestamp);
}

void MonitorChannel::send(std::string frame_text) {
    outbox_.push_back(std::move(frame_text));
    if (!writing_) {
        write_next();
    }
}

void MonitorChannel::write_next() {
    if (outbox_.empty() || !open_) {
        writing_ = false;
        return;
    }
    writing_ = true;
    auto ws = ws_;
    unsigned gen = generation_;
    auto text = std::make_shared<std::string>(std::move(outbox_.front()));
    outbox_.pop_front();
    ws->async_write(boost::asio::buffer(*text),
                    [self = shared_from_this(), ws, gen, text](beast::error_code ec, size_t) {
                        if (gen != self->generation_) {
                            return;
                        }
                        if (ec) {
                            self->lost(gen, lost_sentence(self->server_, self->endpoint_, ec.message()));
                            return;
                        }
                        self->write_next();
                    });
}

void MonitorChannel::lost(unsigned generation, const std::string& sentence) {
    if (generation != generation_) {
        return;
    }
    close();
    if (wanted_.empty()) {
        return;
    }
    if (!reported_lost_) {
        reported_lost_ = true;
        EqData error;
        error.error(ERR_UNREACHABLE, sentence);
        for (const std::string& address : wanted_) {
            sink_(address, error, 0.0);
        }
    }
    retry_.expires_after(backoff_);
    backoff_ = std::min(backoff_ * 2, kLongestPause);
    unsigned gen = generation_;
    retry_.async_wait([self = shared_from_this(), gen](beast::error_code ec) {
        if (!ec && gen == self->generation_ && !self->wanted_.empty()) {
            self->connect();
        }
    });
}

void MonitorChannel::close() {
    ++generation_;
    connecting_ = false;
    open_ = false;
    writing_ = false;
    outbox_.clear();
    retry_.cancel();
    if (ws_) {
        beast::error_code ignored;
        beast::get_lowest_layer(*ws_).socket().shutdown(tcp::socket::shutdown_both, ignored);
        beast::get_lowest_layer(*ws_).close();
        ws_.reset();
    }
}

}  // namespace velko::net
