#include "net/client_http.h"

#include <boost/asio/connect.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>

#include "eq_data.h"

namespace velko::net {

namespace beast = boost::beast;
namespace http = boost::beast::http;
using boost::asio::ip::tcp;

namespace {

HttpAnswer no_answer_in_time() {
    HttpAnswer a;
    a.error = ERR_TIMEOUT;
    a.reason = "no answer in time";
    return a;
}

}  // namespace

HttpChannel::HttpChannel(ServerEndpoint endpoint) : endpoint_(std::move(endpoint)), resolver_(ioc_) {}

HttpAnswer HttpChannel::exchange(const HttpRequest& request, std::chrono::steady_clock::time_point deadline) {
    if (!take_turn(deadline)) {
        return no_answer_in_time();  // the calls before this one took its time
    }
    request_ = &request;
    deadline_ = deadline;
    answer_ = HttpAnswer{};
    done_ = false;
    ioc_.restart();
    if (stream_) {
        reused_ = true;
        send();
    } else {
        reused_ = false;
        connect();
    }
    // The stream's own expiry ends a connect, write or read at the deadline; only a name look-up
    // can outlast it. A call given up at its deadline closes the connection, and the handlers of
    // its cancelled operations, run before the next call starts, see done_ and do nothing.
    ioc_.run_until(deadline);
    if (!done_) {
        answer_ = no_answer_in_time();
        done_ = true;
        resolver_.cancel();
        close();
        ioc_.run();
    }
    request_ = nullptr;
    HttpAnswer a = std::move(answer_);
    end_turn();
    return a;
}

bool HttpChannel::take_turn(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(turn_mux_);
    if (!turn_free_.wait_until(lock, deadline, [this] { return !busy_; })) {
        return false;
    }
    busy_ = true;
    return true;
}

void HttpChannel::end_turn() {
    {
        std::lock_guard<std::mutex> lock(turn_mux_);
        busy_ = false;
    }
    turn_free_.notify_one();
}

void HttpChannel::connect() {
    resolver_.async_resolve(endpoint_.host, std::to_string(endpoint_.port),
                            [this](beast::error_code ec, tcp::resolver::results_type results) {
                                if (done_) {
                                    return;  // given up at the deadline
                                }
                                if (ec) {
                                    on_failure(ec);
                                    return;
                                }
                                stream_.emplace(ioc_);
                                stream_->expires_at(deadline_);
                                stream_->async_connect(results, [this](beast::error_code cec, const tcp::endpoint&) {
                                    if (done_) {
                                        return;
                                    }
                                    if (cec) {
                                        on_failure(cec);
                                        return;
                                    }
                                    stream_->socket().set_option(tcp::no_delay(true), cec);
                                    send();
                                });
                            });
}

void HttpChannel::send() {
    stream_->expires_at(deadline_);
    http::async_write(*stream_, *request_, [this](beast::error_code ec, size_t) {
        if (done_) {
            return;
        }
        if (ec) {
            on_failure(ec);
            return;
        }
        response_.emplace();
        response_->body_limit(kMaxAnswerBytes);
        buffer_.clear();
        http::async_read(*stream_, buffer_, *response_, [this](beast::error_code rec, size_t) {
            if (done_) {
                return;
            }
            if (rec) {
                on_failure(rec);
                return;
            }
            auto& res = response_->get();
            if (!res.keep_alive()) {
                close();
            }
            answer_.status = static_cast<int>(res.result_int());
            answer_.body = std::move(res.body());
            done_ = true;
        });
    });
}

void HttpChannel::on_failure(beast::error_code ec) {
    close();
    bool stale = reused_ && (ec == http::error::end_of_stream || ec == boost::asio::error::connection_reset ||
                             ec == boost::asio::error::broken_pipe || ec == boost::asio::error::eof);
    if (stale) {
        // The server had closed the idle connection before it read this request: send it again
        // on a fresh connection, once.
        reused_ = false;
        connect();
        return;
    }
    if (ec == beast::error::timeout) {
        answer_ = no_answer_in_time();
    } else if (ec == http::error::body_limit) {
        answer_.error = ERR_LIMIT;
        answer_.reason = "gave an answer larger than " + std::to_string(kMaxAnswerBytes >> 20) + " MiB";
    } else {
        answer_.error = ERR_UNREACHABLE;
        answer_.reason = ec.message();
    }
    done_ = true;
}

void HttpChannel::close() {
    if (stream_) {
        beast::error_code ignored;
        stream_->socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_->close();
        stream_.reset();
    }
}

}  // namespace velko::net
