// The velko command against the demonstration server running as its own process with its network
// service on a free loopback port: names, reads, the error line, a monitor; then a clean stop.
#include <gtest/gtest.h>
#include <signal.h>

#include "child_process.h"
#include "journal.h"
#include "velko_test.h"

TEST(CliDemo, ReadsNamesAndMonitorsARunningServer) {
#ifndef DEMO_SERVER
    GTEST_SKIP() << "The example servers are not built (FSM_BUILD_EXAMPLES is off).";
#else
    testsupport::TempDir dir;
    int port = testsupport::free_loopback_port();
    ASSERT_GT(port, 0);
    std::string conf = dir.file("demo.conf");
    testsupport::write_file(conf, testsupport::read_file(DEMO_CONF));
    std::string directory = dir.file("servers");
    testsupport::write_file(directory, "DEMO/PUMPS 127.0.0.1:" + std::to_string(port) + "\n");
    // The cycle limit (60 s at this rate) ends the server even if this test dies.
    pid_t server = testsupport::spawn_program(
        {DEMO_SERVER, "--rate", "20", "--cycles", "3000", "--port", std::to_string(port), conf}, {},
        dir.file("server.out"), dir.file("server.err"));
    ASSERT_GT(server, 0);

    auto velko = [&](const std::vector<std::string>& args) {
        std::vector<std::string> argv{VELKO_CLI};
        argv.insert(argv.end(), args.begin(), args.end());
        pid_t pid =
            testsupport::spawn_program(argv, {"VELKO_DIRECTORY=" + directory}, dir.file("out"), dir.file("err"));
        return testsupport::wait_program(pid, dir.file("out"), dir.file("err"));
    };
    testsupport::ChildOutcome r;
    bool up = testsupport::poll_until(
        [&] {
            r = velko({"get", "-t", "DEMO/PUMPS/STATION/FSM"});
            return r.status == 0;
        },
        std::chrono::seconds(30));
    ASSERT_TRUE(up) << r.err << testsupport::read_file(dir.file("server.err"));
    EXPECT_EQ(r.out, "station\n");

    r = velko({"names", "DEMO/PUMPS/*"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "STATION 100\nPUMP 101\n");

    r = velko({"get", "DEMO/PUMPS/STATION/NOPE"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "velko: DEMO/PUMPS/STATION/NOPE: Unknown property \"DEMO/PUMPS/STATION/NOPE\".\n");

    r = velko({"monitor", "-t", "-n", "1", "DEMO/PUMPS/PUMP/FLOW_1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;

    kill(server, SIGTERM);
    testsupport::ChildOutcome s = testsupport::wait_program(server, dir.file("server.out"), dir.file("server.err"));
    EXPECT_EQ(s.status, 0) << s.out << s.err;
#endif
}
