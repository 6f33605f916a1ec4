// Servers in separate processes on loopback: a machine follows equipment of another server
// through a data channel, survives that server's loss and recovers when it returns; the velko
// command-line client drives and watches a machine; writes are refused without the token or from
// a foreign page; a client that never finishes its request blocks nobody.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "journal.h"
#include "velko_test.h"

namespace {

using testsupport::ChildOutcome;
using testsupport::poll_until;

const char* const kLevel = "TEST.NET/EQUIP/TANK/LEVEL";
const char* const kFlow1 = "TEST.NET/MACH/CTRL/FLOW_1";
const char* const kFlow2 = "TEST.NET/MACH/CTRL/FLOW_2";
const char* const kFault = "TEST.NET/MACH/CTRL/FAULT";
const char* const kEvent = "TEST.NET/MACH/CTRL/EVENT";
const char* const kSecret = "s3cret-token";

constexpr std::chrono::seconds kBound(30);

// A raw loopback connection, for requests the command-line client would never send.
class RawConnection {
  public:
    explicit RawConnection(int port) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        connected_ = fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        timeval tv{10, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~RawConnection() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    bool connected() const { return connected_; }
    void send_text(const std::string& text) {
        ASSERT_EQ(send(fd_, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
    }
    // The first line of the answer (the HTTP status line), or "" after ten seconds of silence.
    std::string status_line() {
        std::string got;
        char c = 0;
        while (got.size() < 200 && recv(fd_, &c, 1, 0) == 1 && c != '\r') {
            got += c;
        }
        return got;
    }

  private:
    int fd_;
    bool connected_ = false;
};

class NetServers : public ::testing::Test {
  protected:
    void SetUp() override {
        equip_port = testsupport::free_loopback_port();
        mach_port = testsupport::free_loopback_port();
        ASSERT_NE(equip_port, 0);
        ASSERT_NE(mach_port, 0);
        directory = dir.file("servers");
        testsupport::write_file(directory,
                                "# the servers of the test\nTEST.NET/EQUIP 127.0.0.1:" + std::to_string(equip_port) +
                                    "\nTEST.NET/MACH 127.0.0.1:" + std::to_string(mach_port) + "\n");
        testsupport::write_file(dir.file("token"), std::string(kSecret) + "\n");
        testsupport::ConfigWriter("TEST.NET", "EQUIP")
            .rate(20)
            .port(equip_port)
            .line("directory " + directory)
            .location("TANK", 10, "tank")
            .property("LEVEL", "0")
            .write(dir.file("equip.conf"));
        testsupport::ConfigWriter("TEST.NET", "MACH")
            .rate(20)
            .port(mach_port)
            .line("directory " + directory)
            .line("token_file " + dir.file("token"))
            .location("CTRL", 100, "follower")
            .property("FSM", "follower")
            .write(dir.file("mach.conf"));
        start_equipment();
        ASSERT_TRUE(mach.start({NETSERVER_PROGRAM, dir.file("mach.conf")}, {std::string("NETSERVER_SOURCE=") + kLevel},
                               dir.file("mach.log"), dir.file("mach.err")));
        ASSERT_TRUE(poll_until([&] { return velko({"get", kFlow1}).status == 0; }, kBound)) << logs();
        ASSERT_TRUE(poll_until([&] { return velko({"get", kLevel}).status == 0; }, kBound)) << logs();
    }

    void start_equipment() {
        ASSERT_TRUE(
            equip.start({NETSERVER_PROGRAM, dir.file("equip.conf")}, {}, dir.file("equip.log"), dir.file("equip.err")));
    }

    // Runs the command-line client: subcommand first, then the directory and the arguments.
    ChildOutcome velko(std::vector<std::string> args) {
        args.insert(args.begin(), VELKO_CLI);
        args.insert(args.begin() + 2, {"--directory", directory, "-w", "5"});
        return testsupport::run_program(args);
    }

    // The value alone, as scripts read it.
    std::string value_of(const std::string& address) {
        ChildOutcome r = velko({"get", "-t", address});
        return r.status == 0 ? r.out : "<exit " + std::to_string(r.status) + ": " + r.err + ">";
    }

    bool value_shows(const std::string& address, const std::string& part) {
        return poll_until([&] { return value_of(address).find(part) != std::string::npos; }, kBound);
    }

    std::string logs() {
        return "\nequipment server:\n" + testsupport::read_file(dir.file("equip.log")) +
               testsupport::read_file(dir.file("equip.err")) + "\nmachine server:\n" +
               testsupport::read_file(dir.file("mach.log")) + testsupport::read_file(dir.file("mach.err"));
    }

    std::string with_token() { return dir.file("token"); }

    testsupport::TempDir dir;
    std::string directory;
    int equip_port = 0;
    int mach_port = 0;
    testsupport::ChildProcess equip;
    testsupport::ChildProcess mach;
};

TEST_F(NetServers, AMachineFollowsEquipmentOfAnotherServer) {
    ASSERT_TRUE(value_shows(kFlow1, "Low")) << logs();
    for (auto [level, state] : {std::pair<const char*, const char*>{"7", "High"}, {"2", "Low"}, {"5", "High"}}) {
        ChildOutcome r = velko({"set", kLevel, level});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(value_shows(kFlow1, state)) << "level " << level << logs();
    }
}

TEST_F(NetServers, TheMachineOutlivesTheEquipmentServerAndRecoversWithIt) {
    ASSERT_EQ(velko({"set", kLevel, "8"}).status, 0);
    ASSERT_TRUE(value_shows(kFlow1, "High")) << logs();
    ASSERT_EQ(value_of(kFault).find("TEST.NET/EQUIP"), std::string::npos) << value_of(kFault);

    equip.kill(SIGKILL);
    // The channel's error shows as the machine's fault, naming the lost server.
    EXPECT_TRUE(value_shows(kFault, "TEST.NET/EQUIP")) << logs();
    // The machine goes on with its events meanwhile.
    ASSERT_EQ(velko({"set", "--token-file", with_token(), kEvent, "start:*"}).status, 0);
    EXPECT_TRUE(value_shows(kFlow2, "Busy")) << logs();

    start_equipment();
    ASSERT_TRUE(poll_until([&] { return velko({"set", kLevel, "1"}).status == 0; }, kBound)) << logs();
    EXPECT_TRUE(value_shows(kFlow1, "Low")) << logs();
    EXPECT_TRUE(poll_until([&] { return value_of(kFault).find("TEST.NET/EQUIP") == std::string::npos; }, kBound))
        << value_of(kFault) << logs();
}

TEST_F(NetServers, TheCommandLineClientDrivesAndWatchesAMachine) {
    std::string token = with_token();
    ChildOutcome names = velko({"names", "TEST.NET/MACH/*"});
    EXPECT_EQ(names.status, 0);
    EXPECT_NE(names.out.find("CTRL"), std::string::npos) << names.out;
    names = velko({"names", "TEST.NET/MACH/CTRL"});
    for (const char* prop : {"EVENT", "FLOW_1", "FLOW_2", "FAULT"}) {
        EXPECT_NE(names.out.find(prop), std::string::npos) << prop << " in " << names.out;
    }

    ASSERT_TRUE(value_shows(kFlow2, "Idle")) << logs();
    // The monitor runs beside the writes and must print every change in order.
    std::unique_ptr<testsupport::ChildProcess> monitor(new testsupport::ChildProcess);
    std::string monitor_log = dir.file("monitor.out");
    ASSERT_TRUE(monitor->start({VELKO_CLI, "monitor", "--directory", directory, "-n", "3", kFlow2}, {}, monitor_log,
                               dir.file("monitor.err")));
    ASSERT_TRUE(
        poll_until([&] { return testsupport::read_file(monitor_log).find("Idle") != std::string::npos; }, kBound))
        << testsupport::read_file(monitor_log);
    ChildOutcome start = velko({"set", "--token-file", token, kEvent, "start:*"});
    EXPECT_EQ(start.status, 0) << start.err;
    ASSERT_TRUE(value_shows(kFlow2, "Busy")) << logs();
    // The monitor samples once per update cycle: stop only after it has seen the busy state, so a
    // slow cycle cannot fold the two changes into none.
    ASSERT_TRUE(
        poll_until([&] { return testsupport::read_file(monitor_log).find("Busy") != std::string::npos; }, kBound))
        << testsupport::read_file(monitor_log);
    EXPECT_EQ(velko({"set", "--token-file", token, kEvent, "stop:*"}).status, 0);
    int status = monitor->wait(kBound);
    ASSERT_NE(status, -1) << "the monitor did not end after three changes";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::string lines = testsupport::read_file(monitor_log);
    size_t idle = lines.find("Idle");
    size_t busy = lines.find("Busy", idle);
    size_t idle_again = lines.find("Idle", busy);
    EXPECT_TRUE(idle != std::string::npos && busy != std::string::npos && idle_again != std::string::npos) << lines;

    // Failures: exit 1 and one line on the error stream naming the address.
    struct Failure {
        std::vector<std::string> args;
        std::string address;
    };
    const Failure failures[] = {
        {{"get", "TEST.NET/MACH/CTRL/NO_SUCH"}, "TEST.NET/MACH/CTRL/NO_SUCH"},
        {{"get", "TEST.NET/NOBODY/CTRL/FLOW_1"}, "TEST.NET/NOBODY/CTRL/FLOW_1"},
        {{"set", kLevel, "not-a-number"}, kLevel},
        {{"set", kEvent, "start:*"}, kEvent},  // no token
    };
    for (const Failure& f : failures) {
        ChildOutcome r = velko(f.args);
        EXPECT_EQ(r.status, 1) << f.args[1];
        EXPECT_EQ(r.err.rfind("velko: " + f.address + ": ", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    EXPECT_TRUE(value_shows(kFlow2, "Idle")) << "the refused write moved the machine";
}

TEST_F(NetServers, WritesFromAForeignPageAreRefusedAndReadsStayOpen) {
    std::string body = "{\"text\":\"start\"}";
    std::string host = "127.0.0.1:" + std::to_string(mach_port);
    RawConnection foreign(mach_port);
    ASSERT_TRUE(foreign.connected());
    foreign.send_text("PUT /v1/property/" + std::string(kEvent) + " HTTP/1.1\r\nHost: " + host +
                      "\r\nOrigin: http://elsewhere.example\r\nAuthorization: Bearer " + kSecret +
                      "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
                      "\r\n\r\n" + body);
    EXPECT_EQ(foreign.status_line(), "HTTP/1.1 403 Forbidden");

    RawConnection own(mach_port);
    own.send_text("GET /v1/property/" + std::string(kFlow2) + " HTTP/1.1\r\nHost: " + host +
                  "\r\nOrigin: http://elsewhere.example\r\n\r\n");
    EXPECT_EQ(own.status_line(), "HTTP/1.1 200 OK");
    EXPECT_TRUE(value_shows(kFlow2, "Idle"));
}

TEST_F(NetServers, AClientThatNeverFinishesItsRequestBlocksNobody) {
    RawConnection stalled(mach_port);
    ASSERT_TRUE(stalled.connected());
    stalled.send_text("GET /v1/property/TEST.NET/MACH/CTRL/FL");
    RawConnection stalled_body(mach_port);
    stalled_body.send_text("PUT /v1/property/" + std::string(kEvent) +
                           " HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\n{\"te");
    for (int i = 0; i < 3; ++i) {
        ChildOutcome r = velko({"get", kFlow1});
        EXPECT_EQ(r.status, 0) << r.err;
    }
}

}  // namespace
