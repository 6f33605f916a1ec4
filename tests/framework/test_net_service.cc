// The network service on 127.0.0.1 (ephemeral port) in front of in-process locations: HTTP
// answers and error statuses, access, monitors, slow clients.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "net/service.h"
#include "net_test_client.h"
#include "velko.h"

using nlohmann::json;
using testsupport::HttpAnswer;
using testsupport::TestHttp;
using testsupport::TestMonitor;

namespace {

// A text record computed at each read, with no pushes, stamped with the time of the read (like
// FAULT and FLOW_ of a machine): a new stamp alone is no change.
class Computed : public D_fct {
  public:
    Computed(const std::string& name, EqFct* owner) : D_fct(name, owner) {}
    void get(EqAdr*, EqData*, EqData* out, EqFct*) override {
        USTR rec{};
        rec.i1_data = value.load();
        rec.tm = ++reads;
        rec.str_data.str_data_val = const_cast<char*>("computed");
        rec.str_data.str_data_len = 8;
        out->set_type(DATA_USTR);
        out->set(rec, 0);
    }
    int data_type() const override { return DATA_USTR; }
    using D_fct::data_type;
    std::atomic<int> value{0};
    std::atomic<long> reads{0};
};

class Loc : public EqFct {
  public:
    Loc() : EqFct("NAME = location"), count("COUNT a counter", this), hist("HIST", this), computed("CALC", this) {
        set_name("LOC");
        set_eq_code(7);
    }
    velko::D_value<int> count;
    D_hist hist;
    Computed computed;
};

// One served location (never deleted: the directory keeps it) and a service in front of it.
struct Net {
    Loc* loc = new Loc();
    std::unique_ptr<velko::net::Service> service;
    int port = 0;

    explicit Net(velko::net::ServiceSettings s = {}) {
        EXPECT_EQ(velko::LocationDirectory::add("NET", "DEV", loc), 0);
        s.facility = "NET";
        s.device = "DEV";
        s.listen = "127.0.0.1";
        s.port = 0;
        s.describe = [](json* j) { (*j)["rate_ms"] = 100; };
        service = std::make_unique<velko::net::Service>(s);
        std::string why;
        EXPECT_EQ(service->start(&why), 0) << why;
        port = service->port();
        EXPECT_GT(port, 0);
    }
};

velko::net::ServiceSettings small_limits() {
    velko::net::ServiceSettings s;
    s.max_request_bytes = 4096;
    s.max_subscriptions = 2;
    s.request_timeout_ms = 300;
    return s;
}

}  // namespace

TEST(NetService, AnswersAndErrorStatuses) {
    Net net(small_limits());
    TDS rec{1000, 2.5f, 1};
    net.loc->hist.fill_hist(&rec, nullptr);
    rec = {2000, 3.5f, 0};
    net.loc->hist.fill_hist(&rec, nullptr);
    struct Case {
        const char* method;
        std::string target;
        std::string body;
        int status;
        int error;             // expected error code, 0 for a success
        const char* contains;  // part of the body
    };
    const Case cases[] = {
        {"PUT", "/v1/property/NET/DEV/LOC/COUNT", R"({"text":"7"})", 200, 0, R"("type":"NULL")"},
        {"GET", "/v1/property/NET/DEV/LOC/COUNT", "", 200, 0, R"("type":"INT","value":7)"},
        {"PUT", "/v1/property/NET/DEV/LOC/COUNT", R"({"type":"INT","value":9})", 200, 0, ""},
        {"GET", "/v1/property/NET/DEV/LOC/COUNT", "", 200, 0, R"("value":9)"},
        {"GET", "/v1/property/NET/DEV/L%4FC/COUNT", "", 200, 0, R"("address":"NET/DEV/LOC/COUNT")"},
        {"GET", "/v1/names/NET/DEV/*", "", 200, 0, R"("locations":[{"code":7,"name":"LOC"}])"},
        {"GET", "/v1/names/NET/DEV/LOC", "", 200, 0, R"({"name":"COUNT","type":1})"},
        {"GET", "/v1/history/NET/DEV/LOC/HIST?since=1500", "", 200, 0,
         R"("records":[{"data":3.5,"status":0,"tm":2000}])"},
        {"GET", "/v1/history/NET/DEV/LOC/HIST?until=1500", "", 200, 0, R"("tm":1000)"},
        {"GET", "/v1/server", "", 200, 0, R"("device":"DEV","facility":"NET","rate_ms":100)"},
        {"PUT", "/v1/property/NET/DEV/LOC/COUNT", R"({"text":)", 400, 114, "cannot be read"},
        {"PUT", "/v1/property/NET/DEV/LOC/COUNT", R"([1])", 400, 114, ""},
        {"PUT", "/v1/property/NET/DEV/LOC/COUNT", R"({"text":"abc"})", 400, 105, "abc"},
        {"PUT", "/v1/property/NET/DEV/LOC/COUNT", R"({"type":"IIII","value":[1,2,3,4]})", 400, 104, "COUNT"},
        {"PUT", "/v1/property/NET/DEV/LOC/COUNT", R"({"type":"INT","value":"x"})", 400, 105, "integer"},
        {"PUT", "/v1/property/NET/DEV/LOC/CALC", R"({"text":"1"})", 403, 108, "CALC"},
        {"PUT", "/v1/property/NET/DEV/LOC/COUNT", std::string(5000, ' '), 413, 113, "4096"},
        {"GET", "/v1/property/OTHER/DEV/LOC/COUNT", "", 404, 101, "OTHER/DEV"},
        {"GET", "/v1/property/NET/DEV/NOPE/COUNT", "", 404, 102, "NOPE"},
        {"GET", "/v1/property/NET/DEV/LOC/NOPE", "", 404, 103, "NOPE"},
        {"GET", "/v1/property/NET/DEV/LOC", "", 400, 109, "4 parts"},
        {"GET", "/v1/property/NET/DEV/LOC/COUNT/X", "", 400, 109, "4 parts"},
        {"GET", "/v1/property/NET/DEV/../COUNT", "", 400, 109, ".."},
        {"GET", "/v1/property/NET/DEV/LOC/CO%00UNT", "", 400, 109, "control"},
        {"GET", "/v1/property/NET/DEV/LOC/A%2FB", "", 400, 109, "'/'"},
        {"GET", "/v1/property/NET/DEV/LOC/%zz", "", 400, 114, "percent"},
        {"GET", "/v1/property/NET//LOC/COUNT", "", 400, 109, "empty part"},
        {"GET", "/v1/history/NET/DEV/LOC/COUNT", "", 400, 104, "no history"},
        {"GET", "/v1/history/NET/DEV/LOC/HIST?since=soon", "", 400, 114, "since"},
        {"GET", "/v1/history/NET/DEV/LOC/HIST?limit=3", "", 400, 114, "limit"},
        {"GET", "/v1/monitor", "", 400, 114, "WebSocket"},
        {"DELETE", "/v1/property/NET/DEV/LOC/COUNT", "", 405, 114, "GET, PUT"},
        {"PUT", "/v1/server", "{}", 405, 114, "GET"},
        {"GET", "/v2/property/NET/DEV/LOC/COUNT", "", 404, 114, "nothing at"},
        {"GET", "/nothing", "", 404, 114, "nothing at"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.target + " " + c.body.substr(0, 40));
        TestHttp client(net.port);
        HttpAnswer a = client.request(c.method, c.target, c.body);
        EXPECT_EQ(a.status, c.status) << a.body;
        EXPECT_NE(a.body.find(c.contains), std::string::npos) << a.body;
        EXPECT_EQ(a.headers["Content-Type"], "application/json");
        if (c.error != 0) {
            EXPECT_EQ(a.json.value("error", 0), c.error) << a.body;
            const std::string message = a.json.value("message", "");
            ASSERT_FALSE(message.empty()) << a.body;
            EXPECT_EQ(message.back(), '.') << message;
        } else {
            EXPECT_FALSE(a.json.contains("error")) << a.body;
        }
    }
    // A NUL byte in the raw request line is refused and the service goes on.
    TestHttp raw(net.port);
    ASSERT_TRUE(raw.send_raw(std::string("GET /v1/ser\0ver HTTP/1.1\r\nHost: x\r\n\r\n", 37)));
    HttpAnswer a = raw.read_answer();
    EXPECT_EQ(a.status, 400) << a.body;
    EXPECT_EQ(TestHttp(net.port).request("GET", "/v1/server").status, 200);
}

TEST(NetService, KeptAliveConnectionServesManyRequests) {
    Net net;
    TestHttp client(net.port);
    for (int i = 0; i < 20; ++i) {
        HttpAnswer a =
            client.request("PUT", "/v1/property/NET/DEV/LOC/COUNT", json{{"text", std::to_string(i)}}.dump());
        ASSERT_EQ(a.status, 200) << a.body;
    }
    EXPECT_EQ(client.request("GET", "/v1/property/NET/DEV/LOC/COUNT").json["value"], 19);
}

TEST(NetService, WritesNeedTheTokenAndTheServersOwnOrigin) {
    velko::net::ServiceSettings s;
    s.token = "s3cret";
    Net net(s);
    const std::string target = "/v1/property/NET/DEV/LOC/COUNT";
    const std::string body = R"({"text":"5"})";
    struct Case {
        std::map<std::string, std::string> headers;
        int status;
    };
    const Case cases[] = {
        {{}, 401},
        {{{"Authorization", "Bearer wrong"}}, 401},
        {{{"Authorization", "Bearer s3cre"}}, 401},
        {{{"Authorization", "s3cret"}}, 401},
        {{{"Authorization", "Bearer s3cret"}, {"Origin", "http://evil.example"}}, 403},
        {{{"Authorization", "Bearer s3cret"}, {"Origin", "null"}}, 403},
        {{{"Authorization", "Bearer s3cret"}, {"Origin", "http://127.0.0.1"}}, 200},
        {{{"Authorization", "Bearer s3cret"}}, 200},
    };
    for (const Case& c : cases) {
        TestHttp client(net.port);
        HttpAnswer a = client.request("PUT", target, body, c.headers);
        EXPECT_EQ(a.status, c.status) << a.body;
        if (c.status != 200) {
            EXPECT_EQ(a.json.value("error", 0), velko::ERR_ACCESS) << a.body;
        }
    }
    // Reads stay open, from anywhere.
    HttpAnswer a = TestHttp(net.port).request("GET", target, "", {{"Origin", "http://evil.example"}});
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.json["value"], 5);
}

TEST(NetService, MonitorSendsTheCurrentValueThenChangesInOrder) {
    Net net(small_limits());
    net.loc->count.set_value(1);
    TestMonitor mon(net.port);
    ASSERT_TRUE(mon.connected());
    ASSERT_TRUE(mon.send(R"({"subscribe":"NET/DEV/LOC/COUNT"})"));
    json frame;
    ASSERT_TRUE(mon.next(&frame));
    EXPECT_EQ(frame["address"], "NET/DEV/LOC/COUNT");
    EXPECT_EQ(frame["value"], 1);
    EXPECT_TRUE(frame["timestamp"].is_number());
    for (int v = 2; v <= 5; ++v) {
        net.loc->count.set_value(v);
        ASSERT_TRUE(mon.next(&frame));
        EXPECT_EQ(frame["value"], v);
    }

    // A frame that is no request is answered and the connection stays.
    ASSERT_TRUE(mon.send("not json"));
    ASSERT_TRUE(mon.next(&frame));
    EXPECT_EQ(frame["error"], velko::ERR_PROTOCOL);
    ASSERT_TRUE(mon.send(R"({"subscribe":"NET/DEV/LOC/NOPE"})"));
    ASSERT_TRUE(mon.next(&frame));
    EXPECT_EQ(frame["error"], velko::ERR_UNKNOWN_PROPERTY);
    EXPECT_EQ(frame["address"], "NET/DEV/LOC/NOPE");

    // The computed value is sampled once per cycle and sent when it changed.
    ASSERT_TRUE(mon.send(R"({"subscribe":"NET/DEV/LOC/CALC"})"));
    ASSERT_TRUE(mon.next(&frame));
    EXPECT_EQ(frame["address"], "NET/DEV/LOC/CALC");
    EXPECT_EQ(frame["value"]["i1"], 0);
    net.loc->computed.value = 42;
    net.service->sample();
    ASSERT_TRUE(mon.next(&frame));
    EXPECT_EQ(frame["address"], "NET/DEV/LOC/CALC");
    EXPECT_EQ(frame["value"]["i1"], 42);
    // Samples that differ only in the record's read time send nothing: the next frame is the
    // counter's.
    net.service->sample();
    net.service->sample();
    net.loc->count.set_value(6);
    ASSERT_TRUE(mon.next(&frame));
    EXPECT_EQ(frame["address"], "NET/DEV/LOC/COUNT");

    // The limit is two subscriptions per connection.
    ASSERT_TRUE(mon.send(R"({"subscribe":"NET/DEV/LOC/HIST"})"));
    ASSERT_TRUE(mon.next(&frame));
    EXPECT_EQ(frame["error"], velko::ERR_LIMIT);
    // After an unsubscribe, changes of that property are no longer sent.
    ASSERT_TRUE(mon.send(R"({"unsubscribe":"NET/DEV/LOC/COUNT"})"));
    ASSERT_TRUE(mon.send(R"({"subscribe":"NET/DEV/LOC/HIST"})"));
    ASSERT_TRUE(mon.next(&frame));
    EXPECT_EQ(frame["address"], "NET/DEV/LOC/HIST");
    net.loc->count.set_value(100);
    net.loc->computed.value = 43;
    net.service->sample();
    ASSERT_TRUE(mon.next(&frame));
    EXPECT_EQ(frame["address"], "NET/DEV/LOC/CALC");
}

TEST(NetService, ASampleRacingTheFirstReadSendsTheValueOnlyOnce) {
    Net net;
    std::atomic<bool> done{false};
    std::thread sampler([&] {
        for (int i = 0; i < 1000000 && !done; ++i) {
            net.service->sample();
        }
    });
    // Each round a new connection subscribes to the unchanging computed value while the cycle
    // samples it: the next frame after its first one must be the counter's, not a repeat.
    for (int round = 1; round <= 30; ++round) {
        TestMonitor mon(net.port);
        json frame;
        ASSERT_TRUE(mon.send(R"({"subscribe":"NET/DEV/LOC/CALC"})"));
        ASSERT_TRUE(mon.next(&frame));
        ASSERT_EQ(frame["address"], "NET/DEV/LOC/CALC");
        ASSERT_TRUE(mon.send(R"({"subscribe":"NET/DEV/LOC/COUNT"})"));
        ASSERT_TRUE(mon.next(&frame));
        ASSERT_EQ(frame["address"], "NET/DEV/LOC/COUNT") << "round " << round;
    }
    done = true;
    sampler.join();
}

TEST(NetService, SlowMonitorGetsTheNewestValueInOrder) {
    Net net;
    TestMonitor mon(net.port);
    ASSERT_TRUE(mon.send(R"({"subscribe":"NET/DEV/LOC/COUNT"})"));
    json frame;
    ASSERT_TRUE(mon.next(&frame));
    constexpr int kLast = 20000;
    for (int v = 1; v <= kLast; ++v) {
        net.loc->count.set_value(v);
    }
    int previous = 0;
    int frames = 0;
    while (previous < kLast && frames <= kLast && mon.next(&frame)) {
        const int v = frame["value"];
        EXPECT_GT(v, previous);  // never an older value after a newer one
        previous = v;
        ++frames;
    }
    EXPECT_EQ(previous, kLast);
}

TEST(NetService, AnUnfinishedRequestBlocksNobodyAndASlowClientIsDropped) {
    Net net(small_limits());
    TestHttp stuck(net.port);
    ASSERT_TRUE(stuck.send_raw("GET /v1/server HTTP/1.1\r\nHost: x\r\n"));
    TestHttp other(net.port);
    EXPECT_EQ(other.request("GET", "/v1/property/NET/DEV/LOC/COUNT").status, 200);
    EXPECT_TRUE(stuck.closed_by_server(10000));

    // One byte now and then never makes a request: dropped after the request time-out.
    TestHttp trickle(net.port);
    const std::string line = "GET /v1/server HTTP/1.1\r\nX-Long: " + std::string(400, 'a');
    bool refused = false;
    for (size_t i = 0; i < line.size() && !refused; ++i) {
        refused = !trickle.send_raw(line.substr(i, 1));
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    EXPECT_TRUE(refused || trickle.closed_by_server(10000));
    EXPECT_EQ(TestHttp(net.port).request("GET", "/v1/server").status, 200);
}

TEST(NetService, StartFailsWithASentenceWhenThePortIsTaken) {
    Net first;
    velko::net::ServiceSettings s;
    s.facility = "NET";
    s.device = "TWO";
    s.port = first.port;
    velko::net::Service second(s);
    std::string why;
    EXPECT_EQ(second.start(&why), -1);
    EXPECT_EQ(why.rfind("The server NET/TWO cannot listen on 127.0.0.1:" + std::to_string(first.port) + ": ", 0), 0)
        << why;
    EXPECT_EQ(why.back(), '.');
    s.listen = "not-an-address";
    velko::net::Service third(s);
    EXPECT_EQ(third.start(&why), -1);
    EXPECT_NE(why.find("is not an IP address"), std::string::npos) << why;
}
