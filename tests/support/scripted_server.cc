#include "scripted_server.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

namespace testsupport {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace websocket = boost::beast::websocket;
using asio::ip::tcp;

namespace {

struct WsSession;

}  // namespace

struct ScriptedServer::Impl : std::enable_shared_from_this<ScriptedServer::Impl> {
    asio::io_context ioc;
    asio::executor_work_guard<asio::io_context::executor_type> work{ioc.get_executor()};
    int port = 0;

    mutable std::mutex mux;  // guards the script and the records
    std::map<std::string, std::pair<int, std::string>> answers;
    bool silent = false;
    std::map<std::string, std::vector<std::string>> subscribe_frames;
    std::vector<Request> requests;
    std::vector<std::string> frames;
    int accepted = 0;

    // I/O thread only.
    std::unique_ptr<tcp::acceptor> acceptor;
    std::set<std::shared_ptr<beast::tcp_stream>> http_streams;
    std::set<std::shared_ptr<WsSession>> ws_sessions;

    std::thread thread;

    // Runs f on the I/O thread and waits for it.
    template <class F>
    void on_io(F f) {
        std::promise<void> done;
        asio::post(ioc, [&] {
            f();
            done.set_value();
        });
        done.get_future().wait();
    }

    void listen();
    void accept();
    void serve_http(std::shared_ptr<beast::tcp_stream> stream, std::shared_ptr<beast::flat_buffer> buffer);
    void answer_http(const std::shared_ptr<beast::tcp_stream>& stream,
                     const std::shared_ptr<beast::flat_buffer>& buffer, const http::request<http::string_body>& req);
};

namespace {

struct WsSession : std::enable_shared_from_this<WsSession> {
    websocket::stream<beast::tcp_stream> ws;
    beast::flat_buffer inbox;
    std::deque<std::string> outbox;
    bool writing = false;
    std::shared_ptr<ScriptedServer::Impl> server;

    WsSession(beast::tcp_stream stream, std::shared_ptr<ScriptedServer::Impl> s)
        : ws(std::move(stream)), server(std::move(s)) {}

    void read() {
        ws.async_read(inbox, [self = shared_from_this()](beast::error_code ec, size_t) {
            if (ec) {
                self->server->ws_sessions.erase(self);
                return;
            }
            std::string text = beast::buffers_to_string(self->inbox.data());
            self->inbox.consume(self->inbox.size());
            std::vector<std::string> replies;
            {
                std::lock_guard<std::mutex> lock(self->server->mux);
                self->server->frames.push_back(text);
                nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
                if (j.is_object() && j.contains("subscribe") && j["subscribe"].is_string()) {
                    auto it = self->server->subscribe_frames.find(j["subscribe"].get<std::string>());
                    if (it != self->server->subscribe_frames.end()) {
                        replies = it->second;
                    }
                }
            }
            for (std::string& r : replies) {
                self->send(std::move(r));
            }
            self->read();
        });
    }

    void send(std::string frame) {
        outbox.push_back(std::move(frame));
        if (!writing) {
            write_next();
        }
    }

    void write_next() {
        if (outbox.empty()) {
            writing = false;
            return;
        }
        writing = true;
        auto text = std::make_shared<std::string>(std::move(outbox.front()));
        outbox.pop_front();
        ws.text(true);
        ws.async_write(asio::buffer(*text), [self = shared_from_this(), text](beast::error_code ec, size_t) {
            if (!ec) {
                self->write_next();
            }
        });
    }
};

}  // namespace

void ScriptedServer::Impl::listen() {
    tcp::endpoint where(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port));
    acceptor = std::make_unique<tcp::acceptor>(ioc);
    acceptor->open(where.protocol());
    acceptor->set_option(asio::socket_base::reuse_address(true));
    acceptor->bind(where);
    acceptor->listen();
    port = acceptor->local_endpoint().port();
    accept();
}

void ScriptedServer::Impl::accept() {
    acceptor->async_accept([self = shared_from_this(), a = acceptor.get()](beast::error_code ec, tcp::socket socket) {
        if (ec || a != self->acceptor.get()) {
            return;  // stopped
        }
        {
            std::lock_guard<std::mutex> lock(self->mux);
            ++self->accepted;
        }
        auto stream = std::make_shared<beast::tcp_stream>(std::move(socket));
        self->http_streams.insert(stream);
        self->serve_http(stream, std::make_shared<beast::flat_buffer>());
        self->accept();
    });
}

void ScriptedServer::Impl::serve_http(std::shared_ptr<beast::tcp_stream> stream,
                                      std::shared_ptr<beast::flat_buffer> buffer) {
    auto req = std::make_shared<http::request<http::string_body>>();
    http::async_read(*stream, *buffer, *req,
                     [self = shared_from_this(), stream, buffer, req](beast::error_code ec, size_t) {
                         if (ec) {
                             self->http_streams.erase(stream);
                             return;
                         }
                         if (websocket::is_upgrade(*req)) {
                             self->http_streams.erase(stream);
                             auto session = std::make_shared<WsSession>(std::move(*stream), self);
                             self->ws_sessions.insert(session);
                             session->ws.async_accept(*req, [session](beast::error_code aec) {
                                 if (aec) {
                                     session->server->ws_sessions.erase(session);
                                     return;
                                 }
                                 session->read();
                             });
                             return;
                         }
                         self->answer_http(stream, buffer, *req);
                     });
}

void ScriptedServer::Impl::answer_http(const std::shared_ptr<beast::tcp_stream>& stream,
                                       const std::shared_ptr<beast::flat_buffer>& buffer,
                                       const http::request<http::string_body>& req) {
    std::string method(req.method_string());
    std::string target(req.target());
    auto res = std::make_shared<http::response<http::string_body>>(http::status::not_found, req.version());
    {
        std::lock_guard<std::mutex> lock(mux);
        auto auth = req.find(http::field::authorization);
        requests.push_back(Request{method, target, auth == req.end() ? "" : std::string(auth->value()), req.body()});
        if (silent) {
            serve_http(stream, buffer);  // read on, answer nothing
            return;
        }
        auto it = answers.find(method + " " + target);
        if (it != answers.end()) {
            res->result(static_cast<unsigned>(it->second.first));
            res->body() = it->second.second;
        } else {
            res->body() = R"({"error":114,"message":"No scripted answer for )" + method + " " + target + R"(."})";
        }
    }
    res->set(http::field::content_type, "application/json");
    res->keep_alive(req.keep_alive());
    res->prepare_payload();
    http::async_write(*stream, *res, [self = shared_from_this(), stream, buffer, res](beast::error_code ec, size_t) {
        if (ec || !res->keep_alive()) {
            self->http_streams.erase(stream);
            return;
        }
        self->serve_http(stream, buffer);
    });
}

ScriptedServer::ScriptedServer() : impl_(std::make_shared<Impl>()) {
    impl_->listen();
    impl_->thread = std::thread([impl = impl_.get()] { impl->ioc.run(); });
}

ScriptedServer::~ScriptedServer() {
    // Once every socket is closed the aborted operations finish and run() returns; nothing that
    // holds the Impl is left behind.
    stop();
    impl_->work.reset();
    impl_->thread.join();
}

int ScriptedServer::port() const {
    return impl_->port;
}

void ScriptedServer::answer(const std::string& method, const std::string& target, int status, const std::string& body) {
    std::lock_guard<std::mutex> lock(impl_->mux);
    impl_->answers[method + " " + target] = {status, body};
}

void ScriptedServer::set_silent(bool silent) {
    std::lock_guard<std::mutex> lock(impl_->mux);
    impl_->silent = silent;
}

void ScriptedServer::on_subscribe(const std::string& address, const std::vector<std::string>& frames) {
    std::lock_guard<std::mutex> lock(impl_->mux);
    impl_->subscribe_frames[address] = frames;
}

void ScriptedServer::push(const std::string& frame) {
    impl_->on_io([this, frame] {
        for (const auto& session : impl_->ws_sessions) {
            session->send(frame);
        }
    });
}

std::vector<ScriptedServer::Request> ScriptedServer::requests() const {
    std::lock_guard<std::mutex> lock(impl_->mux);
    return impl_->requests;
}

std::vector<std::string> ScriptedServer::frames() const {
    std::lock_guard<std::mutex> lock(impl_->mux);
    return impl_->frames;
}

int ScriptedServer::connections() const {
    std::lock_guard<std::mutex> lock(impl_->mux);
    return impl_->accepted;
}

int ScriptedServer::websockets() const {
    int n = 0;
    impl_->on_io([&] { n = static_cast<int>(impl_->ws_sessions.size()); });
    return n;
}

void ScriptedServer::stop() {
    impl_->on_io([this] {
        beast::error_code ignored;
        if (impl_->acceptor) {
            impl_->acceptor->close(ignored);
            impl_->acceptor.reset();
        }
        for (const auto& stream : impl_->http_streams) {
            stream->socket().shutdown(tcp::socket::shutdown_both, ignored);
            stream->socket().close(ignored);
        }
        for (const auto& session : impl_->ws_sessions) {
            beast::get_lowest_layer(session->ws).socket().shutdown(tcp::socket::shutdown_both, ignored);
            beast::get_lowest_layer(session->ws).socket().close(ignored);
        }
        impl_->http_streams.clear();
        impl_->ws_sessions.clear();
    });
}

void ScriptedServer::restart() {
    impl_->on_io([this] { impl_->listen(); });
}

}  // namespace testsupport
