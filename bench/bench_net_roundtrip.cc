// A property read over loopback through the network client and a server of this process, side
// by side with a plain TCP ping-pong of the same request and answer sizes in the same run (the
// floor that any protocol over one connection pays). Each benchmark reports the median and 99th
// percentile round trip; ->Threads(8) runs eight connections at once.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net_client.h"
#include "properties.h"
#include "server.h"
#include "velko.h"

namespace {

const char* const kAddress = "BENCH.FAC/NET/PLANT/VALUE";

// Sizes of a read of kAddress and of its answer on the wire (request line, headers and body).
constexpr size_t kRequestBytes = 110;
constexpr size_t kAnswerBytes = 190;

// Binds fd to a free loopback port and returns the port.
int bind_loopback(int fd) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    return ntohs(addr.sin_port);
}

int free_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int port = bind_loopback(fd);
    close(fd);
    return port;
}

void no_delay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool transfer(int fd, char* buf, size_t n, bool sending) {
    size_t done = 0;
    while (done < n) {
        ssize_t r = sending ? send(fd, buf + done, n - done, MSG_NOSIGNAL) : recv(fd, buf + done, n - done, 0);
        if (r <= 0) {
            return false;
        }
        done += static_cast<size_t>(r);
    }
    return true;
}

EqFct* bench_location(int, void*) {
    auto* loc = new EqFct("plant");
    new velko::D_value<int>("VALUE a read-mostly value", loc);
    return loc;
}

// A whole server of this process with one location, serving on a loopback port, and the
// directory file that names it. Made once, never destroyed (its threads run until exit).
struct BenchServer {
    BenchServer() {
        std::string dir = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp");
        std::string conf = dir + "/bench_net_" + std::to_string(getpid()) + ".conf";
        std::string servers = dir + "/bench_net_" + std::to_string(getpid()) + ".servers";
        int port = free_port();
        std::ofstream(conf) << "facility BENCH.FAC\ndevice NET\nrate 1000\nport " << port
                            << "\nlocation PLANT 1 plant {\n  VALUE 42\n}\n";
        std::ofstream(servers) << "BENCH.FAC/NET 127.0.0.1:" << port << "\n";
        velko::ServerOptions options;
        options.config_file = conf;
        velko::ServerHooks hooks{};
        hooks.eq_create = bench_location;
        server = new velko::Server(options, hooks);
        if (server->start() != 0) {
            std::fprintf(stderr, "bench server: %s\n", server->error().c_str());
            std::exit(1);
        }
        settings.directory = servers;
        std::remove(conf.c_str());
    }
    velko::Server* server = nullptr;
    velko::ClientSettings settings;
};

BenchServer& bench_server() {
    static BenchServer* s = new BenchServer;
    return *s;
}

// Echo peer: answers every kRequestBytes received with kAnswerBytes, one thread per connection.
struct PingPongServer {
    PingPongServer() {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        port = bind_loopback(listener);
        listen(listener, 64);
        std::thread([this] {
            for (;;) {
                int fd = accept(listener, nullptr, nullptr);
                if (fd < 0) {
                    return;
                }
                no_delay(fd);
                std::thread([fd] {
                    char req[kRequestBytes];
                    char answer[kAnswerBytes] = {};
                    while (transfer(fd, req, sizeof req, false) && transfer(fd, answer, sizeof answer, true)) {
                    }
                    close(fd);
                }).detach();
            }
        }).detach();
    }
    int listener = -1;
    int port = 0;
};

PingPongServer& ping_pong_server() {
    static PingPongServer* s = new PingPongServer;
    return *s;
}

// Adds the median and 99th percentile of the samples (nanoseconds) as counters in microseconds.
void report_latency(benchmark::State& state, std::vector<double>& samples) {
    if (samples.empty()) {
        return;
    }
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) {
        return samples[static_cast<size_t>(q * static_cast<double>(samples.size() - 1))] / 1000.0;
    };
    state.counters["p50_us"] = benchmark::Counter(at(0.50), benchmark::Counter::kAvgThreads);
    state.counters["p99_us"] = benchmark::Counter(at(0.99), benchmark::Counter::kAvgThreads);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void BM_PropertyRead(benchmark::State& state) {
    BenchServer& server = bench_server();
    velko::NetClient client(server.settings);
    EqAdr adr;
    adr.adr(kAddress);
    EqData out;
    if (client.get(adr, &out) != 0) {
        state.SkipWithError(out.error_text().c_str());
        return;
    }
    std::vector<double> samples;
    samples.reserve(1 << 16);
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        client.get(adr, &out);
        samples.push_back(std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count());
        if (out.error() != 0 || out.get_int() != 42) {
            state.SkipWithError("the read did not answer the value");
            break;
        }
    }
    report_latency(state, samples);
}
BENCHMARK(BM_PropertyRead)->Threads(1)->Threads(8)->UseRealTime();

void BM_TcpPingPong(benchmark::State& state) {
    PingPongServer& peer = ping_pong_server();
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(peer.port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        state.SkipWithError("cannot connect to the ping-pong peer");
        return;
    }
    no_delay(fd);
    char req[kRequestBytes] = {};
    char answer[kAnswerBytes];
    std::vector<double> samples;
    samples.reserve(1 << 16);
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        if (!transfer(fd, req, sizeof req, true) || !transfer(fd, answer, sizeof answer, false)) {
            state.SkipWithError("the ping-pong peer closed the connection");
            break;
        }
        samples.push_back(std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count());
    }
    close(fd);
    report_latency(state, samples);
}
BENCHMARK(BM_TcpPingPong)->Threads(1)->Threads(8)->UseRealTime();

}  // namespace
