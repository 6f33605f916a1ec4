#include "net/client_http.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>

#include "eq_data.h"

namespace velko::net {

namespace beast = boost::beast;
namespace http = boost::beast::http;
using boost::asio::ip::tcp;

bool HttpExchange::wait() {
    std::unique_lock<std::mutex> lock(mux_);
    if (cv_.wait_until(lock, deadline_, [this] { return done_; })) {
        return true;
    }
    done_ = true;  // given up: a late answer is dropped
    return false;
}

template <class Store>
void HttpExchange::complete(Store store) {
    {
        std::lock_guard<std::mutex> lock(mux_);
        if (done_) {
            return;
        }
        done_ = true;
        store();
    }
    cv_.notify_all();
}

void HttpExchange::answer(int status, std::string body) {
    complete([&] {
        status_ = status;
        body_ = std::move(body);
    });
}

void HttpExchange::fail(int code, std::string reason) {
    complete([&] {
        error_ = code;
        reason_ = std::move(reason);
    });
}

bool HttpExchange::done() {
    std::lock_guard<std::mutex> lock(mux_);
    return done_;
}

HttpChannel::HttpChannel(boost::asio::io_context& ioc, ServerEndpoint endpoint)
    : ioc_(ioc), endpoint_(std::move(endpoint)), resolver_(ioc) {}

void HttpChannel::submit(std::shared_ptr<HttpExchange> x) {
    boost::asio::post(ioc_, [self = shared_from_this(), x = std::move(x)] {
        self->queue_.push_back(x);
        self->start_next();
    });
}

void HttpChannel::start_next() {
    if (current_) {
        return;  // one request at a time on the connection
    }
    while (!current_ && !queue_.empty()) {
        std::shared_ptr<HttpExchange> x = queue_.front();
        queue_.pop_front();
        if (!x->done()) {  // callers that gave up are skipped
            current_ = x;
        }
    }
    if (!current_) {
        return;
    }
    if (stream_) {
        reused_ = true;
        send();
    } else {
        reused_ = false;
        connect();
    }
}

void HttpChannel::connect() {
    resolver_.async_resolve(endpoint_.host, std::to_string(endpoint_.port),
                            [self = shared_from_this()](beast::error_code ec, tcp::resolver::results_type results) {
                                if (ec) {
                                    self->on_failure(ec);
                                    return;
                                }
                                self->stream_.emplace(self->ioc_);
                                self->stream_->expires_at(self->current_->deadline());
                                self->stream_->async_connect(
                                    results, [self](beast::error_code cec, const tcp::endpoint&) {
                                        if (cec) {
                                            self->on_failure(cec);
                                            return;
                                        }
                                        self->stream_->socket().set_option(tcp::no_delay(true), cec);
                                        self->send();
                                    });
                            });
}

void HttpChannel::send() {
    stream_->expires_at(current_->deadline());
    http::async_write(*stream_, current_->request(), [self = shared_from_this()](beast::error_code ec, size_t) {
        if (ec) {
            self->on_failure(ec);
            return;
        }
        self->response_.emplace();
        self->response_->body_limit(kMaxAnswerBytes);
        self->buffer_.clear();
        http::async_read(*self->stream_, self->buffer_, *self->response_, [self](beast::error_code rec, size_t) {
            if (rec) {
                self->on_failure(rec);
                return;
            }
            auto& res = self->response_->get();
            bool keep = res.keep_alive();
            self->current_->answer(static_cast<int>(res.result_int()), std::move(res.body()));
            if (!keep) {
                self->close();
            }
            self->finish_current();
        });
    });
}

void HttpChannel::on_failure(beast::error_code ec) {
    close();
    bool stale = reused_ && (ec == http::error::end_of_stream || ec == boost::asio::error::connection_reset ||
                             ec == boost::asio::error::broken_pipe || ec == boost::asio::error::eof);
    if (stale && !current_->done()) {
        // The server had closed the idle connection before it read this request: send it again
        // on a fresh connection, once.
        reused_ = false;
        connect();
        return;
    }
    if (ec == beast::error::timeout) {
        current_->fail(ERR_TIMEOUT, "no answer in time");
    } else if (ec == http::error::body_limit) {
        current_->fail(ERR_LIMIT, "gave an answer larger than " + std::to_string(kMaxAnswerBytes >> 20) + " MiB");
    } else {
        current_->fail(ERR_UNREACHABLE, ec.message());
    }
    finish_current();
}

void HttpChannel::finish_current() {
    current_.reset();
    start_next();
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
