// Server start-up with machines: configured flow attributes, superstate locations without a
// root, a second root of a registered machine, locations without a factory.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "fsm.h"
#include "fsm_client.h"
#include "journal.h"
#include "machine_stop.h"
#include "plant_machine.h"
#include "velko_test.h"

node_info* init_list = plant::plant_chain();

namespace {

const bool machine_stop_installed = testsupport::install_machine_stop();

using fsmtest::cycle_until;

// Starts a server. Its locations outlive it, so its machines may run on after it goes, until the
// end of the test stops them.
std::unique_ptr<velko::Server> start_server(const std::string& conf) {
    velko::ServerOptions options;
    options.config_file = conf;
    auto server = std::make_unique<velko::Server>(options, velko::application_hooks());
    EXPECT_EQ(server->start(), 0) << server->error();
    return server;
}

// The superstate location that the controller's flow 2 refers to; without it the controller's
// machine cannot be linked.
testsupport::ConfigWriter& with_unit(testsupport::ConfigWriter& w) {
    return w.location("UNIT", CodeFsmSuperState, "unit").property("FSM", "plant");
}

bool machine_part_active(fsmtest::Client& client, const std::string& prop) {
    EqData d = client.get(prop);
    const USTR* u = d.get_ustr(0);
    return u != nullptr && u->f1_data == 1.0f;
}

}  // namespace

TEST(ServerStartup, ConfiguredFlowAttributesChooseStartState) {
    testsupport::TempDir dir;
    testsupport::ConfigWriter w("TEST.FAC", "ATTR");
    w.location("CTRL", CodeFsmRootState, "controller")
        .property("FSM", "plant")
        .property("FLOW_1", "1 0 0 0 \"Busy starts here\"");
    std::string conf = with_unit(w).write(dir.file("attr.conf"));
    std::unique_ptr<velko::Server> server = start_server(conf);
    fsmtest::Client client("TEST.FAC/ATTR/");
    ASSERT_TRUE(cycle_until(*server, [&] { return machine_part_active(client, "CTRL/FLOW_1"); }));
    EqData d = client.get("CTRL/FLOW_1");
    ASSERT_NE(d.get_ustr(0), nullptr);
    EXPECT_STREQ(d.get_ustr(0)->str_data.str_data_val, "Busy : working");
    EXPECT_EQ(d.get_ustr(0)->i1_data, 1);  // the flow keeps history
    // With history a saved configuration keeps the active state as the start state.
    ASSERT_EQ(client.set_text("CTRL/EVENT", "stop:Busy"), 0);
    ASSERT_TRUE(cycle_until(*server, [&] { return client.text("CTRL/FLOW_1") == "Idle : waiting"; }));
    ASSERT_EQ(server->save_config(), 0) << server->error();
    EXPECT_NE(testsupport::read_file(conf).find("FLOW_1 \t1 1 0 "), std::string::npos);
    EXPECT_NE(testsupport::read_file(conf).find("\"Idle : waiting\""), std::string::npos);
}

TEST(ServerStartup, SuperstateWithoutRootIsReportedAndServerRuns) {
    testsupport::TempDir dir;
    testsupport::ConfigWriter w("TEST.FAC", "ORPHAN");
    w.location("CTRL", CodeFsmRootState, "controller").property("FSM", "plant");
    with_unit(w).location("STRAY", CodeFsmSuperState, "unit").property("FSM", "elsewhere");
    std::string conf = w.write(dir.file("orphan.conf"));
    testing::internal::CaptureStdout();
    std::unique_ptr<velko::Server> server = start_server(conf);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("The parent of STRAY is undefined\n"), std::string::npos) << out;
    fsmtest::Client client("TEST.FAC/ORPHAN/");
    ASSERT_TRUE(cycle_until(*server, [&] { return machine_part_active(client, "CTRL/FLOW_1"); }));
    EXPECT_EQ(client.text("CTRL/FLOW_2"), "unit : plant");
    ASSERT_EQ(client.set_text("CTRL/EVENT", "start:*"), 0);
    ASSERT_TRUE(cycle_until(*server, [&] { return client.text("CTRL/FLOW_1") == "Busy : working"; }));
    // The unit of the machine follows the signal; the stray part has no root and never runs.
    ASSERT_TRUE(cycle_until(*server, [&] { return client.text("UNIT/FLOW_1") == "On : motor on"; }));
    EXPECT_FALSE(machine_part_active(client, "STRAY/FLOW_1"));
    EXPECT_EQ(server->find_location("STRAY")->get_error(), 0);
}

TEST(ServerStartup, SecondRootOfRegisteredMachineStaysIdle) {
    testsupport::TempDir dir;
    testsupport::ConfigWriter w("TEST.FAC", "TWINS");
    w.location("FIRST", CodeFsmRootState, "controller").property("FSM", "plant");
    with_unit(w).location("SECOND", CodeFsmRootState, "controller").property("FSM", "plant2");
    std::string conf = w.write(dir.file("twins.conf"));
    std::unique_ptr<velko::Server> server = start_server(conf);
    fsmtest::Client client("TEST.FAC/TWINS/");
    ASSERT_TRUE(cycle_until(*server, [&] { return machine_part_active(client, "FIRST/FLOW_1"); }));
    FSMevent ev;
    ev.set_event("start", "*");
    EXPECT_EQ(send_event(const_cast<char*>("plant2"), &ev), 1);
    ASSERT_EQ(client.set_text("SECOND/EVENT", "start:*"), 0);
    ASSERT_EQ(client.set_text("FIRST/EVENT", "start:*"), 0);
    ASSERT_TRUE(cycle_until(*server, [&] { return client.text("FIRST/FLOW_1") == "Busy : working"; }));
    // The first machine processed its event; the second was never linked nor started.
    EXPECT_EQ(client.text("SECOND/FLOW_1"), "No such location");
}

TEST(ServerStartup, LocationWithoutFactoryHasEmptyMachine) {
    testsupport::TempDir dir;
    testsupport::ConfigWriter w("TEST.FAC", "BARE");
    w.location("CTRL", CodeFsmRootState, "controller").property("FSM", "plant");
    with_unit(w).location("BARE", CodeFsmRootState, "nosuchkind").property("FSM", "bare");
    std::string conf = w.write(dir.file("bare.conf"));
    testing::internal::CaptureStdout();
    std::unique_ptr<velko::Server> server = start_server(conf);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    fsmtest::Client client("TEST.FAC/BARE/");
    ASSERT_TRUE(cycle_until(*server, [&] { return machine_part_active(client, "CTRL/FLOW_1"); }));
    EXPECT_EQ(client.text("BARE/FSM"), "bare");
    EXPECT_EQ(client.text("BARE/FAULT"), "");
    EXPECT_EQ(client.set_text("BARE/EVENT", "anything"), 0);
    EXPECT_EQ(server->find_location("BARE")->fct_code(), CodeFsmRootState);
}

namespace {

// A configuration with one typo that leaves the controller's machine unlinked: the start-up
// output names the location, the flow and the state, FAULT shows it, and a save at the end writes
// back the configured FLOW_n and FSM lines, never an error text in their place.
void expect_typo_reported_and_kept(const std::string& ctrl_flow, const std::string& unit_fsm,
                                   const std::string& message, const std::string& unit_fault) {
    testsupport::TempDir dir;
    testsupport::ConfigWriter w("TEST.FAC", "TYPO");
    w.location("CTRL", CodeFsmRootState, "controller")
        .property("FSM", "\"plant\"")
        .property("FLOW_1", ctrl_flow)
        .property("FLOW_2", "0 0 0 0 \"unit\"")
        .location("UNIT", CodeFsmSuperState, "unit")
        .property("FSM", unit_fsm)
        .property("FLOW_1", "0 0 0 0 \"Off\"");
    const std::string conf = w.write(dir.file("typo.conf"));
    const std::vector<std::string> configured = {"FSM \"plant\"", "FLOW_1 " + ctrl_flow, "FLOW_2 0 0 0 0 \"unit\"",
                                                 "FSM " + unit_fsm, "FLOW_1 0 0 0 0 \"Off\""};
    testing::internal::CaptureStdout();
    std::unique_ptr<velko::Server> server = start_server(conf);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(message + "\n"), std::string::npos) << out;
    fsmtest::Client client("TEST.FAC/TYPO/");
    EXPECT_EQ(client.text("CTRL/FAULT"), ("Not linked: " + message.substr(message.find(": ") + 2)).substr(0, 80));
    EXPECT_EQ(client.text("UNIT/FAULT"), unit_fault);
    server->run_cycles(3);
    ASSERT_EQ(server->finish(), 0) << server->error();
    const std::string saved = testsupport::read_file(conf);
    EXPECT_EQ(saved.find("No such location"), std::string::npos) << saved;
    for (const std::string& line : configured) {
        EXPECT_NE(saved.find("\n" + line + "\n"), std::string::npos) << line << " in\n" << saved;
    }
}

}  // namespace

TEST(ServerStartup, MistypedDefaultStateIsReportedAndKeptBySaves) {
    expect_typo_reported_and_kept(
        "0 0 0 0 \"NoSuch\"", "\"plant\"",
        "Location CTRL cannot link its machine plant: flow 1 of location CTRL has no state \"NoSuch\".", "");
}

TEST(ServerStartup, MistypedMachineNameOfASuperstateLocationIsReportedAndKeptBySaves) {
    expect_typo_reported_and_kept("0 0 0 0 \"Idle\"", "\"plantx\"",
                                  "Location CTRL cannot link its machine plant: flow 2 of location CTRL has no state "
                                  "\"unit\": no superstate location of that kind names this machine in its FSM value.",
                                  "Not linked: no machine \"plantx\" is registered for its FSM value.");
}
