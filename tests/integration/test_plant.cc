// The plant example's two servers as processes on loopback: the machine restores the equipment's
// settings only once the equipment answers, and a stop in the middle of a pump's reset resumes
// the reset at the next start (the pump flow's history). The whole scenario runs in example_plant.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "journal.h"
#include "velko_test.h"

#ifdef CONTROL_SERVER
namespace {

using testsupport::ChildOutcome;
using testsupport::poll_until;

constexpr std::chrono::seconds kBound(30);
const char* const kSequencer = "PLANT/CONTROL/SEQUENCER/";
const char* const kOperating = "PLANT/CONTROL/OPERATING/";
const char* const kEquipment = "PLANT/VACUUM/SYSTEM/";

class Plant : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* f : {"vacuum.conf", "control.conf", "vacuum_settings.sr"}) {
            testsupport::write_file(dir.file(f), testsupport::read_file(std::string(PLANT_DIR) + "/" + f));
        }
        int vacuum_port = testsupport::free_loopback_port();
        int control_port = testsupport::free_loopback_port();
        ASSERT_GT(vacuum_port, 0);
        ASSERT_GT(control_port, 0);
        ports = {std::to_string(vacuum_port), std::to_string(control_port)};
        testsupport::write_file(dir.file("servers"),
                                "PLANT/VACUUM 127.0.0.1:" + ports[0] + "\nPLANT/CONTROL 127.0.0.1:" + ports[1] + "\n");
    }

    // The servers run in the test's directory, where their configuration names the settings file.
    void start(testsupport::ChildProcess* p, const char* program, const char* conf, const std::string& port) {
        ASSERT_TRUE(p->start(
            {"/bin/sh", "-c", "cd \"$0\" && exec \"$1\" --port \"$2\" \"$3\"", dir.path(), program, port, conf}, {},
            dir.file(std::string(conf) + ".out"), dir.file(std::string(conf) + ".err")));
    }
    void start_equipment() { start(&vacuum, VACUUM_SERVER, "vacuum.conf", ports[0]); }
    void start_control() { start(&control, CONTROL_SERVER, "control.conf", ports[1]); }

    ChildOutcome velko(std::vector<std::string> args) {
        args.insert(args.begin(), VELKO_CLI);
        return testsupport::run_program(args, {"VELKO_DIRECTORY=" + dir.file("servers")});
    }
    std::string value_of(const std::string& address) {
        ChildOutcome r = velko({"get", "-t", address});
        return r.status == 0 ? r.out : "<" + r.err + ">";
    }
    bool value_shows(const std::string& address, const std::string& part) {
        return poll_until([&] { return value_of(address).find(part) != std::string::npos; }, kBound);
    }
    void send(const char* event) { ASSERT_EQ(velko({"set", std::string(kSequencer) + "EVENT", event}).status, 0); }

    std::string logs() {
        std::string text;
        for (const char* f : {"vacuum.conf.out", "vacuum.conf.err", "control.conf.out", "control.conf.err"}) {
            text += std::string("\n--- ") + f + "\n" + testsupport::read_file(dir.file(f));
        }
        return text;
    }

    testsupport::TempDir dir;
    std::vector<std::string> ports;
    testsupport::ChildProcess vacuum;
    testsupport::ChildProcess control;
};

TEST_F(Plant, TheSettingsAreRestoredOnceTheEquipmentAnswers) {
    start_control();
    // Without the equipment the restore fails, says why, and the machine waits in Restoring.
    ASSERT_TRUE(value_shows(std::string(kSequencer) + "ALARM", "vacuum_settings.sr could not be restored")) << logs();
    EXPECT_NE(value_of(std::string(kSequencer) + "ALARM").find("PLANT/VACUUM"), std::string::npos);
    EXPECT_NE(value_of(std::string(kSequencer) + "FLOW_1").find("Restoring"), std::string::npos);
    EXPECT_EQ(value_of(std::string(kEquipment) + "SPEED1").find("<"), 0u) << "the equipment is not up yet";

    start_equipment();
    ASSERT_TRUE(value_shows(std::string(kSequencer) + "FLOW_1", "Off")) << logs();
    EXPECT_EQ(value_of(std::string(kEquipment) + "SPEED1"), "100\n");
    EXPECT_EQ(value_of(std::string(kEquipment) + "SPEED2"), "100\n");
    EXPECT_EQ(value_of(std::string(kSequencer) + "ALARM"), "\n") << "the restore's error was not cleared";
}

TEST_F(Plant, AStopDuringAPumpResetResumesTheResetAtTheNextStart) {
    start_equipment();
    start_control();
    ASSERT_TRUE(value_shows(std::string(kSequencer) + "FLOW_1", "Off")) << logs();
    send("start:*");
    ASSERT_TRUE(value_shows(std::string(kOperating) + "FLOW_2", "Running")) << logs();
    ASSERT_EQ(velko({"set", std::string(kEquipment) + "TRIP", "1"}).status, 0);
    ASSERT_TRUE(value_shows(std::string(kOperating) + "FLOW_2", "Tripped")) << logs();
    ASSERT_TRUE(value_shows(std::string(kOperating) + "ALARM", "Pump 1 of PLANT/VACUUM/SYSTEM tripped")) << logs();

    send("stop:*");
    ASSERT_TRUE(value_shows(std::string(kSequencer) + "FLOW_1", "Off")) << logs();
    EXPECT_TRUE(value_shows(std::string(kEquipment) + "PUMP2_STATE", "0")) << "the stop switched the pumps off";
    // Stopped, the pump flow still shows where it will resume, and the alarm stands.
    EXPECT_NE(value_of(std::string(kOperating) + "FLOW_2").find("Tripped"), std::string::npos);
    EXPECT_NE(value_of(std::string(kOperating) + "ALARM").find("tripped"), std::string::npos);

    // The pump's trip resets while the machine is stopped: only the flow's history remembers it.
    ASSERT_TRUE(value_shows(std::string(kEquipment) + "PUMP1_STATE", "0")) << logs();

    // Resumed in Tripped, the flow finishes the reset and clears the alarm; a flow that started
    // over in Running would leave it standing.
    send("start:*");
    ASSERT_TRUE(value_shows(std::string(kSequencer) + "FLOW_1", "operating")) << logs();
    EXPECT_TRUE(poll_until([&] { return value_of(std::string(kOperating) + "ALARM") == "\n"; }, kBound))
        << value_of(std::string(kOperating) + "ALARM") << logs();
    EXPECT_TRUE(value_shows(std::string(kOperating) + "FLOW_2", "Running")) << logs();
    EXPECT_TRUE(value_shows(std::string(kEquipment) + "PUMP1_STATE", "1")) << logs();
}

}  // namespace
#else
TEST(Plant, NeedsTheExamples) {
    GTEST_SKIP() << "The example servers are not built (FSM_BUILD_EXAMPLES is off).";
}
#endif
