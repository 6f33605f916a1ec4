// A whole server running one machine over a root and a superstate location, driven through its
// network properties as a client would.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

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

class PlantServer : public ::testing::Test {
  protected:
    // The machines stop before their server goes.
    void TearDown() override { EqFSMlocation::stop_all_engines(); }

    void SetUp() override {
        std::string conf = testsupport::ConfigWriter("TEST.FAC", "PLANT")
                               .rate(10)
                               .location("CTRL", CodeFsmRootState, "controller")
                               .property("FSM", "plant")
                               .property("DESCR", "\"the controller\"")
                               .property("FLOW_1", "0 0 0 0 \"Idle\"")
                               .location("UNIT", CodeFsmSuperState, "unit")
                               .property("FSM", "plant")
                               .property("DESCR", "\"a unit\"")
                               .property("FLOW_1", "0 0 0 0 \"Off\"")
                               .property("FLOW_2", "0 0 0 0 \"Watch\"")
                               .write(dir.file("plant.conf"));
        velko::ServerOptions options;
        options.config_file = conf;
        server = std::make_unique<velko::Server>(options, velko::application_hooks());
        ASSERT_EQ(server->start(), 0) << server->error();
        // The machine is running once its flows report an active machine part.
        ASSERT_TRUE(cycle_until(*server, [&] { return flow_active("CTRL/FLOW_1"); }));
    }

    bool flow_active(const std::string& prop) {
        const USTR* u = nullptr;
        EqData d = client.get(prop);
        u = d.get_ustr(0);
        return u != nullptr && u->f1_data == 1.0f;
    }

    bool shows(const std::string& prop, const std::string& text) { return client.text(prop) == text; }

    bool wait_shows(const std::string& prop, const std::string& text) {
        return cycle_until(*server, [&] { return shows(prop, text); });
    }

    testsupport::TempDir dir;
    std::unique_ptr<velko::Server> server;
    fsmtest::Client client{"TEST.FAC/PLANT/"};
};

}  // namespace

TEST_F(PlantServer, StartsInConfiguredStatesAcrossLocations) {
    EXPECT_EQ(client.text("CTRL/FLOW_1"), "Idle : waiting");
    EXPECT_EQ(client.text("CTRL/FLOW_2"), "unit : a unit");
    EXPECT_EQ(client.text("UNIT/FLOW_1"), "Off : motor off");
    EXPECT_EQ(client.text("UNIT/FLOW_2"), "Watch : watching");
    EXPECT_EQ(client.text("UNIT/FLOW_9"), "No such location");
    EXPECT_EQ(client.text("CTRL/FSM"), "plant");
    EXPECT_EQ(client.text("UNIT/DESCR"), "a unit");
    EXPECT_EQ(client.text("CTRL/FAULT"), "");
}

TEST_F(PlantServer, EventTextFiresTransitionAndSignal) {
    ASSERT_EQ(client.set_text("CTRL/EVENT", "start:Idle"), 0);
    ASSERT_TRUE(wait_shows("CTRL/FLOW_1", "Busy : working"));
    EXPECT_EQ(client.text("CTRL/EVENT"), "start:Idle");
    // The transition's signal reaches the states of the other location in a later pass.
    ASSERT_TRUE(wait_shows("UNIT/FLOW_1", "On : motor on"));
    ASSERT_EQ(client.set_text("CTRL/EVENT", "stop:*"), 0);
    ASSERT_TRUE(wait_shows("CTRL/FLOW_1", "Idle : waiting"));
}

TEST_F(PlantServer, EventForAnotherStateIsIgnored) {
    // "start" addressed to the root itself: Idle does not see it. "stop:Busy" then shows that the
    // pass that carried it is over, so "start" had its chance.
    ASSERT_EQ(client.set_text("CTRL/EVENT", "start"), 0);
    ASSERT_EQ(client.set_text("UNIT/EVENT", "off:Watch"), 0);
    ASSERT_TRUE(wait_shows("UNIT/FLOW_2", "Sleep : asleep"));
    EXPECT_EQ(client.text("CTRL/FLOW_1"), "Idle : waiting");
}

TEST_F(PlantServer, FinishedFlowIgnoresLaterEvents) {
    ASSERT_EQ(client.set_text("CTRL/EVENT", "start:Idle"), 0);
    ASSERT_TRUE(wait_shows("UNIT/FLOW_1", "On : motor on"));
    // Written to the superstate location, forwarded to the machine's root.
    ASSERT_EQ(client.set_text("UNIT/EVENT", "finish:*"), 0);
    ASSERT_EQ(client.set_text("UNIT/EVENT", "off:*"), 0);
    ASSERT_TRUE(wait_shows("UNIT/FLOW_2", "Sleep : asleep"));
    // "off" reached the watch flow but not the finished motor flow.
    EXPECT_EQ(client.text("UNIT/FLOW_1"), "On : motor on");
}

TEST_F(PlantServer, ServerErrorIsShownByTheSuperstateLocation) {
    EqFct* unit = server->find_location("UNIT");
    EqFct* ctrl = server->find_location("CTRL");
    ASSERT_NE(unit, nullptr);
    ASSERT_NE(ctrl, nullptr);
    ASSERT_EQ(client.set_text("UNIT/EVENT", "alarm:Watch"), 0);
    ASSERT_TRUE(cycle_until(*server, [&] { return unit->get_error() == 7; }));
    EXPECT_EQ(unit->get_errorstr(), "alarm raised in Watch");
    EXPECT_EQ(ctrl->get_error(), 0);
}

TEST_F(PlantServer, FaultShowsTheMachineError) {
    ASSERT_EQ(client.set_text("CTRL/EVENT", "jam"), 0);
    ASSERT_TRUE(wait_shows("CTRL/FAULT", "conveyor jammed"));
    EXPECT_FLOAT_EQ(client.get("CTRL/FAULT").get_ustr(0)->f2_data, 1.0f);
    ASSERT_EQ(client.set_text("CTRL/EVENT", "unjam"), 0);
    ASSERT_TRUE(wait_shows("CTRL/FAULT", ""));
    EXPECT_FLOAT_EQ(client.get("CTRL/FAULT").get_ustr(0)->f2_data, 0.0f);
}

TEST_F(PlantServer, SendEventByMachineName) {
    FSMevent ev;
    ev.set_event("start", "*");
    EXPECT_EQ(send_event(const_cast<char*>("Plant"), &ev), 1);
    EXPECT_EQ(send_event(const_cast<char*>("plant"), &ev), 0);
    ASSERT_TRUE(wait_shows("CTRL/FLOW_1", "Busy : working"));
}

TEST_F(PlantServer, WritesToDisplayPropertiesChangeNothing) {
    for (const char* prop : {"CTRL/FSM", "CTRL/DESCR", "CTRL/FAULT", "CTRL/FLOW_1"}) {
        std::string before = client.text(prop);
        client.set_text(prop, "overwritten");
        EXPECT_EQ(client.text(prop), before) << prop;
    }
    ASSERT_EQ(client.set_text("CTRL/EVENT", "stop:Busy"), 0);
    EqData number;
    number.set(42);
    client.set("CTRL/EVENT", number);
    client.set_text("CTRL/EVENT", "");
    client.set_text("CTRL/EVENT", ":Idle");
    EXPECT_EQ(client.text("CTRL/EVENT"), "stop:Busy");
}

TEST_F(PlantServer, SavedConfigurationKeepsStartStates) {
    ASSERT_EQ(client.set_text("CTRL/EVENT", "start:Idle"), 0);
    ASSERT_TRUE(wait_shows("CTRL/FLOW_1", "Busy : working"));
    ASSERT_EQ(server->save_config(), 0) << server->error();
    std::string saved = testsupport::read_file(dir.file("plant.conf"));
    // Without history a flow starts in its default state, whatever is active now.
    EXPECT_NE(saved.find("FLOW_1 \t0 1 0 "), std::string::npos) << saved;
    EXPECT_NE(saved.find("\"Idle : waiting\""), std::string::npos) << saved;
    EXPECT_NE(saved.find("\"Off : motor off\""), std::string::npos) << saved;
    EXPECT_EQ(saved.find("Busy"), std::string::npos) << saved;
}

TEST_F(PlantServer, FlowShowsErrorOfItsActiveState) {
    ASSERT_EQ(client.set_text("CTRL/EVENT", "start:Idle"), 0);
    ASSERT_TRUE(wait_shows("CTRL/FLOW_1", "Busy : working"));
    ASSERT_EQ(client.set_text("CTRL/EVENT", "jam"), 0);
    ASSERT_TRUE(wait_shows("CTRL/FLOW_1", "Busy : jammed while busy"));
    EXPECT_FLOAT_EQ(client.get("CTRL/FLOW_1").get_ustr(0)->f2_data, 1.0f);
    ASSERT_EQ(client.set_text("CTRL/EVENT", "unjam"), 0);
    ASSERT_TRUE(wait_shows("CTRL/FLOW_1", "Busy : working"));
}

TEST_F(PlantServer, ReadsStayWholeWhileTheMachineSwitches) {
    std::atomic<bool> done{false};
    std::string odd;
    // A second network client reads the display properties while the machine switches states
    // and sets and clears errors under it.
    std::thread reader([&] {
        fsmtest::Client other("TEST.FAC/PLANT/");
        while (!done.load()) {
            std::string flow = other.text("CTRL/FLOW_1");
            std::string fault = other.text("CTRL/FAULT");
            std::string unit = other.text("UNIT/FLOW_1");
            if (flow != "Idle : waiting" && flow != "Busy : working" && flow != "Busy : jammed while busy") {
                odd = flow;
            }
            if (fault != "" && fault != "conveyor jammed") {
                odd = fault;
            }
            if (unit != "Off : motor off" && unit != "On : motor on") {
                odd = unit;
            }
        }
    });
    for (int i = 0; i < 10; i++) {
        client.set_text("CTRL/EVENT", "start:Idle");
        client.set_text("CTRL/EVENT", i % 2 == 0 ? "jam" : "unjam");
        ASSERT_TRUE(cycle_until(*server, [&] { return client.text("CTRL/FLOW_1").rfind("Busy", 0) == 0; }));
        client.set_text("CTRL/EVENT", "stop:Busy");
        client.set_text("UNIT/EVENT", "off:On");
        ASSERT_TRUE(wait_shows("CTRL/FLOW_1", "Idle : waiting"));
    }
    done.store(true);
    reader.join();
    EXPECT_EQ(odd, "");
}

// The configured bound of the root's queues: a flood beyond it is dropped, shown as the location's
// error and named in one line of the server's output; the setting survives a save.
TEST(PlantServerQueue, AFloodBeyondTheConfiguredLimitIsDroppedAndReported) {
    testsupport::TempDir dir;
    std::string conf = testsupport::ConfigWriter("TEST.FAC", "PLANT")
                           .rate(10)
                           .line("event_queue_limit 5")
                           .location("CTRL", CodeFsmRootState, "controller")
                           .property("FSM", "plant")
                           .property("FLOW_1", "0 0 0 0 \"Idle\"")
                           .location("UNIT", CodeFsmSuperState, "unit")
                           .property("FSM", "plant")
                           .write(dir.file("plant.conf"));
    velko::ServerOptions options;
    options.config_file = conf;
    auto* server = new velko::Server(options, velko::application_hooks());  // never destroyed: see above
    ASSERT_EQ(server->start(), 0) << server->error();
    EqFct* ctrl = server->find_location("CTRL");
    ASSERT_NE(ctrl, nullptr);
    // The event thread is running once the first update cycles have passed through.
    ASSERT_TRUE(cycle_until(*server, [&] { return velko::event_queue_limit() == 5 && ctrl->get_error() == 0; }));
    testing::internal::CaptureStdout();
    FSMevent ev;
    ev.set_event("nothing", "*");
    for (int i = 0; i < 8; ++i) {
        ASSERT_EQ(send_event(const_cast<char*>("plant"), &ev), 0);
    }
    const std::string text = "The event queue was full (limit 5): 3 events were dropped.";
    const bool shown = cycle_until(*server, [&] { return ctrl->get_errorstr() == text; });
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(shown) << ctrl->get_errorstr();
    EXPECT_EQ(ctrl->get_error(), velko::ERR_LIMIT);
    EXPECT_NE(out.find("Machine plant (location CTRL): " + text + "\n"), std::string::npos) << out;
    ASSERT_EQ(server->save_config(), 0) << server->error();
    EXPECT_NE(testsupport::read_file(conf).find("\nevent_queue_limit 5\n"), std::string::npos);
}
