// Calls on other servers through velko::EqCall and velko::NetClient against a scripted server:
// values, errors, time-outs, the write token, and monitors across a lost server.
#include <gtest/gtest.h>

#include <thread>

#include "journal.h"
#include "net_client.h"
#include "scripted_server.h"
#include "velko.h"
#include "velko_test.h"

namespace {

using testsupport::ScriptedServer;

EqAdr address(const std::string& text) {
    EqAdr adr;
    EXPECT_EQ(adr.adr(text), 0) << text;
    return adr;
}

// A directory file listing FAC/DEV at the scripted server and DOWN/DEV at a port nobody listens on;
// the process-wide client settings point at it.
struct Network {
    testsupport::TempDir dir;
    ScriptedServer server;
    int down_port = 0;
    std::string directory = dir.file("servers");

    explicit Network(int timeout_ms = 3000, const std::string& token = "") {
        {
            ScriptedServer gone;
            down_port = gone.port();
        }
        testsupport::write_file(directory, "# test servers\nFAC/DEV 127.0.0.1:" + std::to_string(server.port()) +
                                               "\nDOWN/DEV 127.0.0.1:" + std::to_string(down_port) + "\n");
        velko::ClientSettings s;
        s.directory = directory;
        s.call_timeout_ms = timeout_ms;
        s.token = token;
        velko::set_client_settings(s);
    }
};

std::string value_frame(const std::string& adr, int v) {
    return R"({"address":")" + adr + R"(","type":"INT","value":)" + std::to_string(v) + R"(,"timestamp":1.5})";
}

}  // namespace

TEST(NetClient, CallsThroughEqCallAnswerServerValuesAndErrors) {
    Network net(3000, "s3cret");
    const std::string prop = "/v1/property/FAC/DEV/L/P";
    net.server.answer("GET", prop, 200, R"({"address":"FAC/DEV/L/P","type":"INT","value":5,"timestamp":1})");
    net.server.answer("GET", "/v1/property/FAC/DEV/L/NOPE", 404,
                      R"({"address":"FAC/DEV/L/NOPE","error":103,"message":"Unknown property \"FAC/DEV/L/NOPE\"."})");
    net.server.answer("GET", "/v1/property/FAC/DEV/L/BAD", 500, "<html>oops</html>");
    net.server.answer("PUT", prop, 200, R"({"address":"FAC/DEV/L/P","type":"NULL","value":null,"timestamp":1})");
    net.server.answer("GET", "/v1/names/FAC/DEV/*", 200,
                      R"({"locations":[{"name":"A","code":100},{"name":"B","code":7}]})");

    IIII record{1, 2, 3, 4};
    struct Case {
        const char* op;  // get, set_text, set_iiii, names
        std::string adr;
        int code;
        std::string text;  // the error sentence, or the value's text
        std::string sent;  // body the server must have received ("" for none)
        std::string auth;  // its Authorization header
    };
    const std::string unreachable =
        "The server DOWN/DEV at 127.0.0.1:" + std::to_string(net.down_port) + " cannot be reached: connection refused.";
    const Case cases[] = {
        {"get", "FAC/DEV/L/P", 0, "5", "", ""},
        {"get", "FAC/DEV/L/NOPE", velko::ERR_UNKNOWN_PROPERTY, "Unknown property \"FAC/DEV/L/NOPE\".", "", ""},
        {"get", "FAC/DEV/L/BAD", velko::ERR_PROTOCOL,
         "The server FAC/DEV answered HTTP 500 with a body that is not a JSON object.", "", ""},
        {"get", "FAC/OTHER/L/P", velko::ERR_UNKNOWN_DEVICE,
         "Unknown device \"FAC/OTHER\": the directory file " + net.directory + " does not list it.", "", ""},
        {"get", "DOWN/DEV/L/P", velko::ERR_UNREACHABLE, unreachable, "", ""},
        {"set_text", "FAC/DEV/L/P", 0, "", R"({"text":"start now"})", "Bearer s3cret"},
        {"set_iiii", "FAC/DEV/L/P", 0, "", R"({"type":"IIII","value":[1,2,3,4]})", "Bearer s3cret"},
        {"names", "FAC/DEV/*", 0, "A", "", ""},
    };
    velko::EqCall call;
    for (const Case& c : cases) {
        EqAdr adr = address(c.adr);
        EqData in;
        EqData out;
        std::string op = c.op;
        size_t before = net.server.requests().size();
        if (op == "get") {
            call.get(&adr, &in, &out);
        } else if (op == "set_text") {
            in.set("start now");
            call.set(&adr, &in, &out);
        } else if (op == "set_iiii") {
            in.set(record);
            call.set(&adr, &in, &out);
        } else {
            call.names(&adr, &out);
        }
        ASSERT_EQ(out.error(), c.code) << c.op << " " << c.adr << ": " << out.error_text();
        if (c.code != 0) {
            EXPECT_EQ(out.error_text(), c.text) << c.adr;
        } else if (op == "names") {
            ASSERT_EQ(out.length(), 2);
            EXPECT_STREQ(out.get_ustr(0)->str_data.str_data_val, "A");
            EXPECT_EQ(out.get_ustr(0)->i1_data, 100);
            EXPECT_STREQ(out.get_ustr(1)->str_data.str_data_val, "B");
        } else {
            EXPECT_EQ(out.get_string(), c.text) << c.adr;
        }
        std::vector<ScriptedServer::Request> reqs = net.server.requests();
        if (!c.sent.empty()) {
            ASSERT_EQ(reqs.size(), before + 1) << c.op;
            EXPECT_EQ(reqs.back().method, "PUT");
            EXPECT_EQ(reqs.back().body, c.sent);
            EXPECT_EQ(reqs.back().authorization, c.auth);
        } else if (reqs.size() > before) {
            EXPECT_EQ(reqs.back().authorization, "") << "reads carry no token: " << c.adr;
        }
    }
    // Every call to FAC/DEV went over the one kept-alive connection.
    EXPECT_EQ(net.server.connections(), 1);
}

TEST(NetClient, SilentServerAnswersTimeOutAndTheNextCallWorks) {
    Network net(200);
    net.server.answer("GET", "/v1/property/FAC/DEV/L/P", 200, R"({"type":"FLOAT","value":2.5})");
    net.server.set_silent(true);
    velko::EqCall call;
    EqAdr adr = address("FAC/DEV/L/P");
    EqData out;
    EXPECT_EQ(call.get(&adr, nullptr, &out), velko::ERR_TIMEOUT);
    EXPECT_EQ(out.error_text(), "The call on FAC/DEV/L/P timed out: the server FAC/DEV at 127.0.0.1:" +
                                    std::to_string(net.server.port()) + " did not answer within 200 ms.");
    // Calls from two threads queue behind each other on the one connection; each times out alone.
    velko::NetClient client;
    int codes[2] = {0, 0};
    std::thread other([&] {
        EqData mine;
        codes[1] = client.get(adr, &mine);
    });
    EqData first;
    codes[0] = client.get(adr, &first);
    other.join();
    EXPECT_EQ(codes[0], velko::ERR_TIMEOUT);
    EXPECT_EQ(codes[1], velko::ERR_TIMEOUT);

    net.server.set_silent(false);
    EXPECT_EQ(client.get(adr, &out), 0) << out.error_text();
    EXPECT_EQ(call.get(&adr, nullptr, &out), 0) << out.error_text();
    EXPECT_FLOAT_EQ(out.get_float(), 2.5f);
}

namespace {

void record_push(void* user, EqData* value) {
    static_cast<testsupport::Journal*>(user)->add(value->get_string());
}

// The answer of a monitored read of adr, repeated until pred holds it (bounded).
bool monitor_shows(velko::EqCall& call, EqAdr& adr, const std::function<bool(const EqData&)>& pred,
                   testsupport::Journal* journal) {
    return testsupport::poll_until([&] {
        EqData out;
        call.get_monitor(&adr, nullptr, &out, 1, 1.0f, record_push, journal);
        return pred(out);
    });
}

}  // namespace

TEST(NetClient, MonitorSubscribesOnceAndFollowsPushesAcrossAServerRestart) {
    Network net(1000);
    const std::string a = "FAC/DEV/L/P";
    net.server.on_subscribe(a, {value_frame(a, 1)});
    velko::EqCall call;
    EqAdr adr = address(a);
    testsupport::Journal pushed;
    EqData out;
    EXPECT_EQ(call.get_monitor(&adr, nullptr, &out, 1, 1.0f, record_push, &pushed), velko::ERR_MONITOR_PENDING);
    auto is_int = [](int v) { return [v](const EqData& d) { return d.error() == 0 && d.get_int() == v; }; };
    ASSERT_TRUE(monitor_shows(call, adr, is_int(1), &pushed));

    net.server.push(value_frame(a, 2));
    ASSERT_TRUE(monitor_shows(call, adr, is_int(2), &pushed));
    EXPECT_TRUE(pushed.wait_count("2", 1));
    EXPECT_EQ(pushed.count("1"), 1u);

    net.server.stop();
    std::string lost;
    ASSERT_TRUE(monitor_shows(
        call, adr,
        [&](const EqData& d) {
            lost = d.error_text();
            return d.error() == velko::ERR_UNREACHABLE;
        },
        &pushed));
    EXPECT_NE(lost.find("FAC/DEV at 127.0.0.1:" + std::to_string(net.server.port())), std::string::npos) << lost;

    net.server.on_subscribe(a, {value_frame(a, 3)});
    net.server.restart();
    ASSERT_TRUE(monitor_shows(call, adr, is_int(3), &pushed));
    std::vector<std::string> frames = net.server.frames();
    EXPECT_EQ(std::count(frames.begin(), frames.end(), R"({"subscribe":"FAC/DEV/L/P"})"), 2);

    // Two update passes without a read drop the subscription: the last one closes the WebSocket,
    // and the next read subscribes anew.
    EXPECT_EQ(net.server.websockets(), 1);
    call.update(1);
    call.update(1);
    EXPECT_TRUE(testsupport::poll_until([&] { return net.server.websockets() == 0; }));
    EXPECT_EQ(call.get_monitor(&adr, nullptr, &out, 1, 1.0f, record_push, &pushed), velko::ERR_MONITOR_PENDING);
}

TEST(NetClient, MonitorOfAnUnknownDeviceFailsAtOnce) {
    Network net;
    velko::EqCall call;
    EqAdr adr = address("NO/SUCH/L/P");
    EqData out;
    EXPECT_EQ(call.get_monitor(&adr, nullptr, &out, 1, 1.0f, velko::no_monitor_callback(), nullptr),
              velko::ERR_UNKNOWN_DEVICE);
    EXPECT_EQ(call.get_monitor(&adr, nullptr, &out, 1, 1.0f, velko::no_monitor_callback(), nullptr),
              velko::ERR_UNKNOWN_DEVICE);  // nothing was subscribed
}
