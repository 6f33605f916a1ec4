// The velko command against the demonstration server running as its own process with its network
// service on a free loopback port: names, reads, the error line, a monitor, the machine's
// structure and trace; then a clean stop.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <sstream>

#include "child_process.h"
#include "journal.h"
#include "velko_test.h"

#ifdef DEMO_SERVER
namespace {

class CliDemo : public ::testing::Test {
  protected:
    void SetUp() override {
        int port = testsupport::free_loopback_port();
        ASSERT_GT(port, 0);
        std::string conf = dir.file("demo.conf");
        testsupport::write_file(conf, testsupport::read_file(DEMO_CONF));
        directory = dir.file("servers");
        testsupport::write_file(directory, "DEMO/PUMPS 127.0.0.1:" + std::to_string(port) + "\n");
        // The cycle limit (60 s at this rate) ends the server even if this test dies.
        server = testsupport::spawn_program(
            {DEMO_SERVER, "--rate", "20", "--cycles", "3000", "--port", std::to_string(port), conf}, {},
            dir.file("server.out"), dir.file("server.err"));
        ASSERT_GT(server, 0);
        testsupport::ChildOutcome r;
        bool up = testsupport::poll_until(
            [&] {
                r = velko({"get", "-t", "DEMO/PUMPS/STATION/FSM"});
                return r.status == 0;
            },
            std::chrono::seconds(30));
        ASSERT_TRUE(up) << r.err << testsupport::read_file(dir.file("server.err"));
        EXPECT_EQ(r.out, "station\n");
    }

    void TearDown() override {
        if (server > 0) {
            kill(server, SIGTERM);
            testsupport::ChildOutcome s =
                testsupport::wait_program(server, dir.file("server.out"), dir.file("server.err"));
            EXPECT_EQ(s.status, 0) << s.out << s.err;
        }
    }

    testsupport::ChildOutcome velko(const std::vector<std::string>& args) {
        return testsupport::wait_program(start_velko(args), dir.file("out"), dir.file("err"));
    }

    pid_t start_velko(const std::vector<std::string>& args) {
        std::vector<std::string> argv{VELKO_CLI};
        argv.insert(argv.end(), args.begin(), args.end());
        return testsupport::spawn_program(argv, {"VELKO_DIRECTORY=" + directory}, dir.file("out"), dir.file("err"));
    }

    testsupport::TempDir dir;
    std::string directory;
    pid_t server = -1;
};

TEST_F(CliDemo, ReadsNamesAndMonitorsARunningServer) {
    testsupport::ChildOutcome r = velko({"names", "DEMO/PUMPS/*"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "STATION 100\nPUMP 101\n");

    r = velko({"get", "DEMO/PUMPS/STATION/NOPE"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "velko: DEMO/PUMPS/STATION/NOPE: Unknown property \"DEMO/PUMPS/STATION/NOPE\".\n");

    r = velko({"monitor", "-t", "-n", "1", "DEMO/PUMPS/PUMP/FLOW_1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
}

TEST_F(CliDemo, DescribesAndTracesTheRunningMachine) {
    testsupport::ChildOutcome r = velko({"describe", "DEMO/PUMPS/STATION"});
    ASSERT_EQ(r.status, 0) << r.err;
    const nlohmann::json j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["machine"], "station");
    EXPECT_EQ(j["top"]["flows"][1]["states"][0]["id"], "station/2/pump");
    EXPECT_EQ(j["top"]["flows"][1]["states"][0]["location"], "PUMP");

    r = velko({"describe", "--dot", "DEMO/PUMPS/PUMP"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("digraph \"station\" {", 0), 0u) << r.out;
    r = velko({"describe", "--scxml", "DEMO/PUMPS/PUMP"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("<parallel id=\"station.2.pump\">"), std::string::npos) << r.out;

    // The station starts the pump within a few cycles: the trace shows it, oldest first.
    bool started = testsupport::poll_until(
        [&] {
            r = velko({"trace", "DEMO/PUMPS/PUMP"});
            return r.status == 0 && r.out.find("Off --pump_on--> Pumping") != std::string::npos;
        },
        std::chrono::seconds(30));
    ASSERT_TRUE(started) << r.out << r.err;
    EXPECT_NE(r.out.find(" station flow 1: Stopped --timer--> Running\n"), std::string::npos) << r.out;

    // Followed, new transitions keep coming until SIGINT, which ends the command well.
    pid_t follow = start_velko({"trace", "-f", "--json", "DEMO/PUMPS/STATION"});
    ASSERT_GT(follow, 0);
    bool more = testsupport::poll_until(
        [&] {
            std::string out = testsupport::read_file(dir.file("out"));
            return std::count(out.begin(), out.end(), '\n') >= 12;
        },
        std::chrono::seconds(30));
    kill(follow, SIGINT);
    r = testsupport::wait_program(follow, dir.file("out"), dir.file("err"));
    EXPECT_TRUE(more) << r.out;
    EXPECT_EQ(r.status, 0) << r.err;
    uint64_t last = 0;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        const uint64_t seq = nlohmann::json::parse(line)["seq"].get<uint64_t>();
        EXPECT_EQ(seq, last + 1) << "each transition once, in order";
        last = seq;
    }

    r = velko({"describe", "DEMO/PUMPS/NOPE"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "velko: DEMO/PUMPS/NOPE: Unknown location \"DEMO/PUMPS/NOPE\".\n");
    r = velko({"trace", "DEMO/PUMPS/STATION/EVENT"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "velko: DEMO/PUMPS/STATION/EVENT: The address is not FACILITY/DEVICE/LOCATION.\n");
}

}  // namespace
#else
TEST(CliDemo, NeedsTheExamples) {
    GTEST_SKIP() << "The example servers are not built (FSM_BUILD_EXAMPLES is off).";
}
#endif
