#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <iostream>

#include "net/service_state.h"

namespace velko::net {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

void accept_next(Service::State* st) {
    st->acceptor.async_accept([st](boost::system::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !st->acceptor.is_open()) {
            return;
        }
        if (!ec) {
            boost::system::error_code ignored;
            socket.set_option(tcp::no_delay(true), ignored);
            socket.set_option(asio::socket_base::keep_alive(true), ignored);
            serve_http(st, std::move(socket), st->connections.load() >= st->settings.max_connections);
        }
        // Failures of one accept (a connection reset before it was taken, no descriptors left)
        // do not end the service.
        accept_next(st);
    });
}

// Requests wait for a worker at most one each per connection, and one sample job.
size_t queue_bound(const ServiceSettings& s) {
    return static_cast<size_t>(std::max(1, s.max_connections)) + 1;
}

}  // namespace

Service::State::State(ServiceSettings s)
    : settings(std::move(s)),
      calls(settings.facility, settings.device, settings.describe),
      feed(&calls),
      pool(std::max(1, std::min(4, settings.workers)), queue_bound(settings)) {}

Service::Service(ServiceSettings settings) : state_(std::make_unique<State>(std::move(settings))) {}

Service::~Service() {
    stop();
}

int Service::start(std::string* why) {
    State& st = *state_;
    const std::string where = st.settings.listen + ":" + std::to_string(st.settings.port);
    const std::string prefix =
        "The server " + st.settings.facility + "/" + st.settings.device + " cannot listen on " + where + ": ";
    if (st.started) {
        *why = prefix + "it listens already.";
        return -1;
    }
    boost::system::error_code ec;
    const asio::ip::address address = asio::ip::make_address(st.settings.listen, ec);
    if (ec) {
        *why = prefix + "\"" + st.settings.listen + "\" is not an IP address.";
        return -1;
    }
    const tcp::endpoint endpoint(address, static_cast<unsigned short>(st.settings.port));
    st.acceptor.open(endpoint.protocol(), ec);
    if (!ec) {
        st.acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    }
    if (!ec) {
        st.acceptor.bind(endpoint, ec);
    }
    if (!ec) {
        st.acceptor.listen(asio::socket_base::max_listen_connections, ec);
    }
    if (ec) {
        *why = prefix + ec.message() + ".";
        boost::system::error_code ignored;
        st.acceptor.close(ignored);
        return -1;
    }
    st.port = st.acceptor.local_endpoint(ec).port();
    st.started = true;
    State* sp = state_.get();
    accept_next(sp);
    st.io_thread = std::thread([sp] {
        auto guard = asio::make_work_guard(sp->ioc);
        sp->ioc.run();
    });
    return 0;
}

int Service::port() const {
    return state_->port;
}

bool Service::loopback_only() const {
    boost::system::error_code ec;
    const asio::ip::address address = state_->acceptor.local_endpoint(ec).address();
    return !ec && address.is_loopback();
}

void Service::sample() {
    State* st = state_.get();
    if (!st->started || st->stopped || st->sampling.exchange(true)) {
        return;  // the previous cycle's sample is still running: this cycle is skipped
    }
    if (!st->pool.post([st] {
            st->feed.sample();
            st->sampling.store(false);
        })) {
        st->sampling.store(false);
    }
}

void Service::stop() {
    State& st = *state_;
    if (!st.started || st.stopped.exchange(true)) {
        return;
    }
    State* sp = state_.get();
    asio::post(st.ioc, [sp] {
        boost::system::error_code ignored;
        sp->acceptor.close(ignored);
        sp->ioc.stop();
    });
    st.io_thread.join();
    st.pool.stop();
    st.feed.clear();
}

}  // namespace velko::net
