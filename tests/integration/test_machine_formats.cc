// A linked machine shown as Graphviz DOT (rendered by dot) and as SCXML (read by python3's XML
// parser): the states, flows, history, final states and transitions match the machine.
#include <gtest/gtest.h>

#include <iterator>
#include <sstream>

#include "child_process.h"
#include "fsm_observer.h"
#include "net/machine_formats.h"
#include "velko_test.h"

namespace {

int yes(FSMstate*) {
    return 1;
}

// R: flow 1 holds A and B (flow 1: B1, B2; flow 2 with history: C1, C2), flow 2 holds D (one
// flow: D1, D2).
class MachineFormats : public ::testing::Test {
  protected:
    MachineFormats() {
        a.add_transition("go", yes, nullptr, "sig", "*", "B");
        a.add_transition("poke", nullptr, nullptr, nullptr, nullptr, "Nowhere");
        b1.add_transition("end", nullptr, nullptr, nullptr, nullptr, "B");
        c1.add_transition("next", nullptr, nullptr, nullptr, nullptr, "C2");
        d1.add_transition("x \"quoted\" & <odd>", nullptr, nullptr, nullptr, nullptr, "D2");
        b.add_state(1, &b1);
        b.add_state(1, &b2);
        b.add_state(2, &c1);
        b.add_state(2, &c2);
        b.flow_attributes(2, "C1", 1);
        d.add_state(1, &d1);
        d.add_state(1, &d2);
        root.add_state(1, &a);
        root.add_state(1, &b);
        root.add_state(2, &d);
        root.set_root(&root);
        EXPECT_EQ(root.link_state(), 0);
        root.init_state();
        root.enter_state();
        FSMobserver::describe(&root, &view);
    }

    FSMrootstate root{nullptr, "R", ""};
    FSMstate a{"A", nullptr, STATE};
    FSMsuperstate b{nullptr, "B", nullptr, SUPER_STATE};
    FSMstate b1{"B1", nullptr, STATE}, b2{"B2", nullptr, STATE};
    FSMstate c1{"C1", nullptr, STATE}, c2{"C2", nullptr, STATE};
    FSMsuperstate d{nullptr, "D", nullptr, SUPER_STATE};
    FSMstate d1{"D1", nullptr, STATE}, d2{"D2", nullptr, STATE};
    velko::MachineView view;
    testsupport::TempDir dir;
};

TEST_F(MachineFormats, DotRendersWithGraphvizWithEveryStateAndTransition) {
    const std::string file = dir.file("m.dot");
    testsupport::write_file(file, velko::net::machine_dot(view));
    testsupport::ChildOutcome r = testsupport::run_program({DOT_PROGRAM, "-Tsvg", file});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* node : {"R/1/A", "R/1/B/1/B1", "R/1/B/2/C2", "R/2/D/1/D2"}) {
        EXPECT_NE(r.out.find(std::string("<title>") + node + "</title>"), std::string::npos) << node;
    }
    // Edges keep their ends in the title, with '-' and '>' escaped.
    for (const char* edge : {"R/1/A&#45;&gt;R/1/B", "R/1/B/2/C1&#45;&gt;R/1/B/2/C2", "R/1/B/1/B1&#45;&gt;R/1/B"}) {
        EXPECT_NE(r.out.find(edge), std::string::npos) << edge;
    }
    EXPECT_EQ(r.out.find("Nowhere"), std::string::npos);  // a transition that leads nowhere has no edge
    EXPECT_NE(r.out.find("go [guard] ^sig"), std::string::npos);
}

TEST_F(MachineFormats, ScxmlIsWellFormedAndMatchesTheMachine) {
    const std::string file = dir.file("m.scxml");
    testsupport::write_file(file, velko::net::machine_scxml(view));
    // One line per element with an id (tag, id, initial) and per transition (its state, event,
    // target, cond, raised event), in document order.
    const std::string script = R"(
import sys, xml.etree.ElementTree as ET
def name(e): return e.tag.split('}')[-1]
def walk(e, owner):
    for c in e:
        n = name(c)
        if n == 'transition':
            raised = [r.get('event') for r in c if name(r) == 'raise']
            print('transition', owner, c.get('event', '-'), c.get('target', '-'), c.get('cond', '-'), ','.join(raised) or '-')
        elif c.get('id'):
            print(n, c.get('id'), c.get('initial', '-'), c.get('type', '-'))
            walk(c, c.get('id'))
root = ET.parse(sys.argv[1]).getroot()
print(name(root), root.get('initial'))
walk(root, '-')
)";
    testsupport::ChildOutcome r = testsupport::run_program({PYTHON3_PROGRAM, "-c", script, file});
    ASSERT_EQ(r.status, 0) << r.err;
    const char* expected =
        "scxml R\n"
        "parallel R - -\n"
        "state R.1 R.1.A -\n"
        "state R.1.A - -\n"
        "transition R.1.A go R.1.B guard sig\n"
        "transition R.1.A poke - - -\n"
        "parallel R.1.B - -\n"
        "state R.1.B.1 R.1.B.1.B1 -\n"
        "state R.1.B.1.B1 - -\n"
        "transition R.1.B.1.B1 end R.1.B.1._final - -\n"
        "state R.1.B.1.B2 - -\n"
        "final R.1.B.1._final - -\n"
        "state R.1.B.2 R.1.B.2._history -\n"
        "history R.1.B.2._history - shallow\n"
        "transition R.1.B.2._history - R.1.B.2.C1 - -\n"
        "state R.1.B.2.C1 - -\n"
        "transition R.1.B.2.C1 next R.1.B.2.C2 - -\n"
        "state R.1.B.2.C2 - -\n"
        "state R.2 R.2.D -\n"
        "state R.2.D R.2.D.1.D1 -\n"
        "state R.2.D.1.D1 - -\n"
        "transition R.2.D.1.D1 x \"quoted\" & <odd> R.2.D.1.D2 - -\n"
        "state R.2.D.1.D2 - -\n";
    EXPECT_EQ(r.out, expected);
}

TEST_F(MachineFormats, JsonNamesTargetsAndLiveStates) {
    const nlohmann::json j = velko::net::machine_json(view, "F/D/L");
    EXPECT_EQ(j["address"], "F/D/L");
    EXPECT_EQ(j["top"]["type"], "root");
    EXPECT_TRUE(j["enclosing"].is_null());
    const nlohmann::json& a_json = j["top"]["flows"][0]["states"][0];
    EXPECT_EQ(a_json["id"], "R/1/A");
    EXPECT_EQ(a_json["active"], true);
    EXPECT_EQ(a_json["transitions"][0]["signal"]["event"], "sig");
    EXPECT_TRUE(a_json["transitions"][1]["target"].is_null());
    EXPECT_TRUE(a_json["transitions"][1]["signal"].is_null());
    EXPECT_EQ(j["top"]["flows"][0]["states"][1]["flows"][1]["history"], true);
}

// An action that raises its location's error while the machine dispatches.
void raise_alarm(FSMstate* sp) {
    sp->server_error(sp, 1, "pump \"P1\" tripped");
}

TEST(MachineTraceJson, TransitionsAndErrorsAsClientsReadThem) {
    FSMrootstate root{nullptr, "R", ""};
    FSMstate idle{"Idle", nullptr, STATE}, busy{"Busy", nullptr, STATE};
    idle.add_transition("start", nullptr, raise_alarm, nullptr, nullptr, "Busy");
    busy.add_transition("*", nullptr, nullptr, nullptr, nullptr, "Idle");
    root.add_state(1, &idle);
    root.add_state(1, &busy);
    root.set_root(&root);
    ASSERT_EQ(root.link_state(), 0);
    root.init_state();
    root.enter_state();
    for (const char* name : {"start", "stop"}) {
        FSMevent ev;
        ev.set_event(name, "*");
        root.FSMsuperstate::process_event(&ev);
    }

    velko::TraceView t;
    FSMobserver::read_trace(&root, 0, &t);
    const nlohmann::json j = velko::net::trace_json(t, "F/D/L");
    EXPECT_EQ(j["address"], "F/D/L");
    EXPECT_EQ(j["next"], 3);
    EXPECT_EQ(j["missed"], 0);
    const nlohmann::json& e = j["entries"];
    ASSERT_EQ(e.size(), 3u) << j.dump();
    struct Expected {
        const char* from;
        const char* event;
        const char* effect;
        const char* error;
        nlohmann::json to_id;
    };
    const Expected expected[] = {
        {"Idle", "", "error", "pump \"P1\" tripped", nullptr},
        {"Idle", "start", "switch", "", "R/1/Busy"},
        {"Busy", "stop", "switch", "", "R/1/Idle"},
    };
    for (size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(e[i]["seq"], i + 1) << i;
        EXPECT_EQ(e[i]["from"], expected[i].from) << i;
        EXPECT_EQ(e[i]["from_id"], std::string("R/1/") + expected[i].from) << i;
        EXPECT_EQ(e[i]["event"], expected[i].event) << i;
        EXPECT_EQ(e[i]["effect"], expected[i].effect) << i;
        EXPECT_EQ(e[i]["error"], expected[i].error) << i;
        EXPECT_EQ(e[i]["to_id"], expected[i].to_id) << i;
    }
}

}  // namespace
