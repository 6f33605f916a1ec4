// Blocking test clients built on asynchronous Beast operations run with a deadline, so that no
// test waits longer than its bound on a server that does not answer.
#include "net_test_client.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>

namespace testsupport {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

// Runs the context until done or the deadline; false on time-out (pending operations are then
// cancelled by closing the socket).
bool run_until(asio::io_context& ioc, const bool& done, int timeout_ms) {
    ioc.restart();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done && std::chrono::steady_clock::now() < deadline) {
        ioc.run_one_until(deadline);
    }
    return done;
}

void finish_pending(asio::io_context& ioc) {
    ioc.restart();
    for (int i = 0; i < 100 && ioc.poll() > 0; ++i) {
    }
}

tcp::endpoint loopback(int port) {
    return tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port));
}

}  // namespace

struct TestHttp::Impl {
    asio::io_context ioc;
    beast::tcp_stream stream{ioc};
    beast::flat_buffer buffer;
};

TestHttp::TestHttp(int port) : impl_(std::make_unique<Impl>()) {
    beast::error_code ec;
    impl_->stream.socket().connect(loopback(port), ec);
}

TestHttp::~TestHttp() = default;

bool TestHttp::send_raw(const std::string& bytes) {
    beast::error_code ec;
    asio::write(impl_->stream.socket(), asio::buffer(bytes), ec);
    return !ec;
}

HttpAnswer TestHttp::read_answer(int timeout_ms, bool after_head) {
    HttpAnswer a;
    http::response_parser<http::string_body> parser;
    parser.body_limit(64 * 1024 * 1024);
    parser.skip(after_head);
    bool done = false;
    beast::error_code result;
    http::async_read(impl_->stream, impl_->buffer, parser, [&](beast::error_code ec, size_t) {
        result = ec;
        done = true;
    });
    if (!run_until(impl_->ioc, done, timeout_ms)) {
        impl_->stream.close();
        finish_pending(impl_->ioc);
        return a;
    }
    if (result) {
        return a;
    }
    const auto& res = parser.get();
    a.status = static_cast<int>(res.result_int());
    a.body = res.body();
    for (const auto& f : res) {
        a.headers[std::string(f.name_string())] = std::string(f.value());
    }
    a.json = nlohmann::json::parse(a.body, nullptr, false);
    if (a.json.is_discarded()) {
        a.json = nullptr;
    }
    return a;
}

HttpAnswer TestHttp::request(const std::string& method, const std::string& target, const std::string& body,
                             const std::map<std::string, std::string>& headers) {
    http::request<http::string_body> req;
    req.method_string(method);
    req.target(target);
    req.version(11);
    req.set(http::field::host, "127.0.0.1");
    for (const auto& h : headers) {
        req.set(h.first, h.second);
    }
    req.body() = body;
    req.prepare_payload();
    bool done = false;
    beast::error_code result;
    http::async_write(impl_->stream, req, [&](beast::error_code ec, size_t) {
        result = ec;
        done = true;
    });
    if (!run_until(impl_->ioc, done, 10000) || result) {
        impl_->stream.close();
        finish_pending(impl_->ioc);
        return HttpAnswer();
    }
    return read_answer(10000, method == "HEAD");
}

bool TestHttp::closed_by_server(int timeout_ms) {
    bool done = false;
    beast::error_code result;
    char byte = 0;
    impl_->stream.async_read_some(asio::buffer(&byte, 1), [&](beast::error_code ec, size_t) {
        result = ec;
        done = true;
    });
    if (!run_until(impl_->ioc, done, timeout_ms)) {
        impl_->stream.close();
        finish_pending(impl_->ioc);
        return false;
    }
    return result == asio::error::eof || result == asio::error::connection_reset;
}

struct TestMonitor::Impl {
    asio::io_context ioc;
    websocket::stream<beast::tcp_stream> ws{ioc};
    beast::flat_buffer buffer;
    bool connected = false;
};

TestMonitor::TestMonitor(int port) : impl_(std::make_unique<Impl>()) {
    beast::error_code ec;
    beast::get_lowest_layer(impl_->ws).socket().connect(loopback(port), ec);
    if (ec) {
        return;
    }
    bool done = false;
    impl_->ws.async_handshake("127.0.0.1", "/v1/monitor", [&](beast::error_code e) {
        ec = e;
        done = true;
    });
    impl_->connected = run_until(impl_->ioc, done, 10000) && !ec;
}

TestMonitor::~TestMonitor() {
    beast::get_lowest_layer(impl_->ws).close();
    finish_pending(impl_->ioc);
}

bool TestMonitor::connected() const {
    return impl_->connected;
}

bool TestMonitor::send(const std::string& frame) {
    bool done = false;
    beast::error_code result;
    impl_->ws.text(true);
    impl_->ws.async_write(asio::buffer(frame), [&](beast::error_code ec, size_t) {
        result = ec;
        done = true;
    });
    return run_until(impl_->ioc, done, 10000) && !result;
}

bool TestMonitor::next(nlohmann::json* out, int timeout_ms) {
    bool done = false;
    beast::error_code result;
    impl_->ws.async_read(impl_->buffer, [&](beast::error_code ec, size_t) {
        result = ec;
        done = true;
    });
    if (!run_until(impl_->ioc, done, timeout_ms)) {
        beast::get_lowest_layer(impl_->ws).close();
        finish_pending(impl_->ioc);
        impl_->connected = false;
        return false;
    }
    if (result) {
        return false;
    }
    *out = nlohmann::json::parse(beast::buffers_to_string(impl_->buffer.data()), nullptr, false);
    impl_->buffer.consume(impl_->buffer.size());
    return !out->is_discarded();
}

}  // namespace testsupport
