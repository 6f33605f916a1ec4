// The command-line client velko, run as a program against a scripted server: output, the one
// error line, exit statuses, and SIGINT ending a monitor.
#include <gtest/gtest.h>
#include <signal.h>

#include <regex>

#include "child_process.h"
#include "journal.h"
#include "scripted_server.h"
#include "velko_test.h"

namespace {

using testsupport::ScriptedServer;

// Starts velko with args, its output in files of dir and VELKO_DIRECTORY set to directory.
pid_t spawn_cli(const std::vector<std::string>& args, const testsupport::TempDir& dir, const std::string& directory) {
    std::vector<std::string> argv{VELKO_CLI};
    argv.insert(argv.end(), args.begin(), args.end());
    return testsupport::spawn_program(argv, {"VELKO_DIRECTORY=" + directory}, dir.file("out"), dir.file("err"));
}

testsupport::ChildOutcome finish(pid_t pid, const testsupport::TempDir& dir) {
    return testsupport::wait_program(pid, dir.file("out"), dir.file("err"));
}

std::string frame(const std::string& adr, int v) {
    return R"({"address":")" + adr + R"(","type":"INT","value":)" + std::to_string(v) +
           R"(,"timestamp":1700000000.25})";
}

}  // namespace

TEST(Cli, SubcommandsPrintValuesOrOneErrorLine) {
    testsupport::TempDir dir;
    ScriptedServer server;
    ScriptedServer silent;
    silent.set_silent(true);
    int down_port = 0;
    {
        ScriptedServer gone;
        down_port = gone.port();
    }
    std::string directory = dir.file("servers");
    testsupport::write_file(directory, "FAC/DEV 127.0.0.1:" + std::to_string(server.port()) +
                                           "\nSLOW/DEV 127.0.0.1:" + std::to_string(silent.port()) +
                                           "\nDOWN/DEV 127.0.0.1:" + std::to_string(down_port) + "\n");
    testsupport::write_file(dir.file("token"), "  tok3n\n");
    server.answer("GET", "/v1/property/FAC/DEV/L/P", 200, R"({"address":"FAC/DEV/L/P","type":"INT","value":5})");
    server.answer("GET", "/v1/property/FAC/DEV/L/NOPE", 404,
                  R"({"address":"FAC/DEV/L/NOPE","error":103,"message":"Unknown property \"FAC/DEV/L/NOPE\"."})");
    server.answer("PUT", "/v1/property/FAC/DEV/L/EVENT", 200, R"({"type":"NULL","value":null})");
    server.answer("PUT", "/v1/property/FAC/DEV/L/REC", 200, R"({"type":"IIII","value":[1,2,3,4]})");
    server.answer("GET", "/v1/names/FAC/DEV/*", 200,
                  R"({"locations":[{"name":"A","code":100},{"name":"B","code":7}]})");
    server.answer(
        "GET", "/v1/history/FAC/DEV/L/P?since=100.000", 200,
        R"({"address":"FAC/DEV/L/P","records":[{"tm":100,"data":1.5,"status":0},{"tm":160,"data":2.5,"status":1}]})");
    server.on_subscribe("FAC/DEV/L/P", {frame("FAC/DEV/L/P", 1), frame("FAC/DEV/L/P", 2)});
    server.on_subscribe("FAC/DEV/L/NOPE",
                        {R"({"address":"FAC/DEV/L/NOPE","error":103,"message":"Unknown property."})"});

    const std::string stamp = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.250)";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out;   // a regular expression for the whole standard output
        std::string err;   // the whole standard error; "*" = not checked (command-line errors)
        std::string sent;  // body of the last request the server got, when not ""
        std::string auth;  // its Authorization header
    };
    const std::string unreachable =
        "The server DOWN/DEV at 127.0.0.1:" + std::to_string(down_port) + " cannot be reached: connection refused.";
    const std::vector<Case> cases = {
        {{"get", "FAC/DEV/L/P"}, 0, "FAC/DEV/L/P 5\n", "", "", ""},
        {{"get", "FAC/DEV/L/P", "-t", "--directory", directory}, 0, "5\n", "", "", ""},
        {{"get", "--json", "FAC/DEV/L/P"}, 0, R"(\{"address":"FAC/DEV/L/P","type":"INT","value":5\}\n)", "", "", ""},
        {{"get", "FAC/DEV/L/P", "FAC/DEV/L/NOPE"},
         1,
         "FAC/DEV/L/P 5\n",
         "velko: FAC/DEV/L/NOPE: Unknown property \"FAC/DEV/L/NOPE\".\n",
         "",
         ""},
        {{"get", "DOWN/DEV/L/P"}, 1, "", "velko: DOWN/DEV/L/P: " + unreachable + "\n", "", ""},
        {{"get", "SLOW/DEV/L/P", "-w", "0.2"},
         1,
         "",
         "velko: SLOW/DEV/L/P: The call on SLOW/DEV/L/P timed out: the server SLOW/DEV at 127.0.0.1:" +
             std::to_string(silent.port()) + " did not answer within 200 ms.\n",
         "",
         ""},
        {{"get", "NO/DEV/L/P"},
         1,
         "",
         "velko: NO/DEV/L/P: Unknown device \"NO/DEV\": the directory file " + directory + " does not list it.\n",
         "",
         ""},
        {{"get", "FAC/DEV"}, 1, "", "velko: FAC/DEV: The address is not FACILITY/DEVICE/LOCATION/PROPERTY.\n", "", ""},
        {{"set", "FAC/DEV/L/EVENT", "start", "--token-file", dir.file("token")},
         0,
         "",
         "",
         R"({"text":"start"})",
         "Bearer tok3n"},
        {{"set", "--json", "FAC/DEV/L/REC", R"({"type":"IIII","value":[1,2,3,4]})"},
         0,
         R"(\{"address":"FAC/DEV/L/REC","type":"IIII","value":\[1,2,3,4\]\}\n)",
         "",
         R"({"type":"IIII","value":[1,2,3,4]})",
         ""},
        {{"set", "--json", "FAC/DEV/L/REC", "[1,2"}, 1, "", "*", "", ""},
        {{"set", "FAC/DEV/L/EVENT", "x", "--token-file", dir.file("missing")},
         1,
         "",
         "velko: FAC/DEV/L/EVENT: The token file " + dir.file("missing") + " cannot be read.\n",
         "",
         ""},
        {{"names", "FAC/DEV/*"}, 0, "A 100\nB 7\n", "", "", ""},
        {{"names", "-t", "FAC/DEV/*"}, 0, "A\nB\n", "", "", ""},
        {{"history", "FAC/DEV/L/P", "--since", "100", "-t"}, 0, "1.5\n2.5\n", "", "", ""},
        {{"monitor", "FAC/DEV/L/P", "-n", "2"}, 0, stamp + " FAC/DEV/L/P 1\n" + stamp + " FAC/DEV/L/P 2\n", "", "", ""},
        {{"monitor", "FAC/DEV/L/NOPE"}, 1, "", "velko: FAC/DEV/L/NOPE: Unknown property.\n", "", ""},
        {{"get"}, 2, "", "*", "", ""},
        {{"frobnicate", "X"}, 2, "", "*", "", ""},
        {{"--help"}, 0, "(.|\n)*get(.|\n)*set(.|\n)*names(.|\n)*monitor(.|\n)*history(.|\n)*", "", "", ""},
        {{"monitor", "--help"}, 0, "(.|\n)*--count(.|\n)*--token-file(.|\n)*", "", "", ""},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const auto& a : c.args) {
            line += a + " ";
        }
        testsupport::ChildOutcome r = finish(spawn_cli(c.args, dir, directory), dir);
        EXPECT_EQ(r.status, c.status) << line << "\n" << r.err;
        EXPECT_TRUE(std::regex_match(r.out, std::regex(c.out))) << line << "\nstdout: " << r.out;
        if (c.err == "*") {
            EXPECT_FALSE(r.err.empty()) << line;
        } else {
            EXPECT_EQ(r.err, c.err) << line;
        }
        if (c.status == 1 && c.err != "*") {
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << line;
        }
        if (!c.sent.empty()) {
            std::vector<ScriptedServer::Request> reqs = server.requests();
            ASSERT_FALSE(reqs.empty());
            EXPECT_EQ(reqs.back().body, c.sent) << line;
            EXPECT_EQ(reqs.back().authorization, c.auth) << line;
        }
    }
}

TEST(Cli, MonitorRunsUntilInterruptedAndExitsCleanly) {
    testsupport::TempDir dir;
    ScriptedServer server;
    std::string directory = dir.file("servers");
    testsupport::write_file(directory, "FAC/DEV 127.0.0.1:" + std::to_string(server.port()) + "\n");
    server.on_subscribe("FAC/DEV/L/P", {frame("FAC/DEV/L/P", 7)});
    pid_t pid = spawn_cli({"monitor", "-t", "FAC/DEV/L/P"}, dir, directory);
    ASSERT_TRUE(testsupport::poll_until([&] { return testsupport::read_file(dir.file("out")) == "7\n"; },
                                        std::chrono::seconds(20)));
    server.push(frame("FAC/DEV/L/P", 8));
    ASSERT_TRUE(testsupport::poll_until([&] { return testsupport::read_file(dir.file("out")) == "7\n8\n"; },
                                        std::chrono::seconds(20)));
    kill(pid, SIGINT);
    testsupport::ChildOutcome r = finish(pid, dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}
