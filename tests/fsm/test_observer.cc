// The structure of a linked machine of three levels (flows, history, a finishing flow, a
// reference to a superstate of another part) and its trace as events switch it; errors raised
// while a machine dispatches, traced among its transitions.
#include <gtest/gtest.h>

#include <iterator>

#include "fsm_observer.h"

namespace {

int yes(FSMstate*) {
    return 1;
}
int act(FSMstate*) {
    return 0;
}
void move(FSMstate*) {}

// R: flow 1 holds A and the superstate B (flow 1: B1, B2; flow 2 with history: C1, C2); flow 2
// holds the superstate Sub (flow 5: S1, S2) through a reference, as a superstate location's top.
class Introspect : public ::testing::Test {
  protected:
    Introspect() {
        a.add_action("enter", act);
        a.add_action("exit", act);
        a.add_action("ping", act);
        a.add_transition("go", yes, nullptr, "sig", "*", "B");
        a.add_transition("*", nullptr, move, nullptr, nullptr, "Nowhere");
        b1.add_transition("end", nullptr, nullptr, nullptr, nullptr, "B");
        c1.add_transition("next", nullptr, nullptr, nullptr, nullptr, "C2");
        s1.add_transition("poke", nullptr, nullptr, nullptr, nullptr, "Nowhere");
        b.add_state(1, &b1);
        b.add_state(1, &b2);
        b.add_state(2, &c1);
        b.add_state(2, &c2);
        b.flow_attributes(2, "C1", 1);
        sub.add_state(5, &s1);
        sub.add_state(5, &s2);
        root.add_state(1, &a);
        root.add_state(1, &b);
        root.add_reference(2, "Sub");
        root.set_root(&root);
        sub.set_root(&root);
        root.register_link(&sub);
        EXPECT_EQ(root.link_state(), 0);
        root.init_state();
        root.enter_state();
    }

    void send(const char* name) {
        FSMevent ev;
        ev.set_event(name, "*");
        root.FSMsuperstate::process_event(&ev);
    }

    FSMrootstate root{nullptr, "R", "the root"};
    FSMstate a{"A", "first", STATE};
    FSMsuperstate b{nullptr, "B", "second", SUPER_STATE};
    FSMstate b1{"B1", nullptr, STATE}, b2{"B2", nullptr, STATE};
    FSMstate c1{"C1", nullptr, STATE}, c2{"C2", nullptr, STATE};
    FSMsuperstate sub{nullptr, "Sub", "elsewhere", SUPER_STATE};
    FSMstate s1{"S1", nullptr, STATE}, s2{"S2", nullptr, STATE};
};

TEST_F(Introspect, WalksEveryLevelWithFlowsHistoryAndReferences) {
    velko::MachineView m;
    FSMobserver::describe(&root, &m);
    EXPECT_TRUE(m.root);
    EXPECT_TRUE(m.enclosing_id.empty());
    const velko::StateView& r = m.top;
    EXPECT_EQ(r.id, "R");
    EXPECT_EQ(r.kind, velko::StateKind::root);
    EXPECT_EQ(r.description, "the root");
    ASSERT_EQ(r.flows.size(), 2u);

    const velko::FlowView& f1 = r.flows[0];
    EXPECT_EQ(f1.id, 1);
    EXPECT_EQ(f1.default_state, "A");
    EXPECT_EQ(f1.active_state, "A");
    ASSERT_EQ(f1.states.size(), 2u);
    const velko::StateView& sa = f1.states[0];
    EXPECT_EQ(sa.id, "R/1/A");
    EXPECT_EQ(sa.parent_id, "R");
    EXPECT_TRUE(sa.active);
    EXPECT_EQ(sa.actions, (std::vector<std::string>{"enter", "exit"}));
    EXPECT_EQ(sa.handlers, (std::vector<std::string>{"ping"}));
    ASSERT_EQ(sa.transitions.size(), 2u);
    EXPECT_EQ(sa.transitions[0].event, "go");
    EXPECT_TRUE(sa.transitions[0].guard);
    EXPECT_FALSE(sa.transitions[0].action);
    EXPECT_TRUE(sa.transitions[0].has_signal);
    EXPECT_EQ(sa.transitions[0].signal_event, "sig");
    EXPECT_EQ(sa.transitions[0].signal_target, "*");
    EXPECT_EQ(sa.transitions[0].target_id, "R/1/B");
    EXPECT_FALSE(sa.transitions[1].guard);
    EXPECT_TRUE(sa.transitions[1].action);
    EXPECT_EQ(sa.transitions[1].next, "Nowhere");
    EXPECT_EQ(sa.transitions[1].target_id, "");

    const velko::StateView& sb = f1.states[1];
    EXPECT_EQ(sb.kind, velko::StateKind::superstate);
    EXPECT_FALSE(sb.active);
    ASSERT_EQ(sb.flows.size(), 2u);
    EXPECT_FALSE(sb.flows[0].history);
    EXPECT_TRUE(sb.flows[1].history);
    EXPECT_EQ(sb.flows[1].default_state, "C1");
    const velko::TransitionView& finish = sb.flows[0].states[0].transitions[0];
    EXPECT_TRUE(finish.finishes);
    EXPECT_EQ(finish.target_id, "R/1/B");
    EXPECT_EQ(sb.flows[1].states[1].id, "R/1/B/2/C2");

    const velko::FlowView& f2 = r.flows[1];
    ASSERT_EQ(f2.references.size(), 1u);
    EXPECT_EQ(f2.references[0].name, "Sub");
    EXPECT_TRUE(f2.references[0].resolved);
    ASSERT_EQ(f2.states.size(), 1u);
    EXPECT_TRUE(f2.states[0].reference);
    EXPECT_EQ(f2.states[0].flows[0].id, 5);
    EXPECT_EQ(f2.states[0].flows[0].states[0].id, "R/2/Sub/5/S1");
    EXPECT_EQ(FSMobserver::state_id(&c2), "R/1/B/2/C2");

    // The referenced superstate as the top of its own part.
    velko::MachineView part;
    FSMobserver::describe(&sub, &part);
    EXPECT_FALSE(part.root);
    EXPECT_EQ(part.enclosing_id, "R");
    EXPECT_EQ(part.top.id, "R/2/Sub");
    EXPECT_EQ(part.top.parent_id, "R");
    EXPECT_TRUE(part.top.reference);
    EXPECT_TRUE(part.top.active);
}

TEST_F(Introspect, ShowsSwitchesAndTracesThemInOrder) {
    send("go");    // A -> B, entering B1 and C1
    send("next");  // C1 -> C2 in B's history flow
    send("end");   // B1 finishes B's flow 1
    send("poke");  // S1 names no state of its flow: nothing changes

    velko::MachineView m;
    FSMobserver::describe(&root, &m);
    EXPECT_EQ(m.top.flows[0].active_state, "B");
    const velko::StateView& sb = m.top.flows[0].states[1];
    EXPECT_TRUE(sb.active);
    EXPECT_FALSE(m.top.flows[0].states[0].active);
    EXPECT_TRUE(sb.flows[0].finished);
    EXPECT_EQ(sb.flows[1].active_state, "C2");
    EXPECT_EQ(sb.flows[1].states[0].last_event, "next");  // kept after C1 was left
    EXPECT_EQ(m.top.flows[1].states[0].flows[0].active_state, "S1");

    velko::TraceView t;
    FSMobserver::read_trace(&sub, 0, &t);
    EXPECT_EQ(t.capacity, FSMtrace::kCapacity);
    EXPECT_EQ(t.next, 4u);
    EXPECT_EQ(t.missed, 0u);
    using E = velko::TraceEntryView::Effect;
    struct Expected {
        const char* superstate;
        int flow;
        const char* from;
        const char* event;
        const char* to;
        const char* to_id;
        E effect;
    };
    const Expected expected[] = {
        {"R", 1, "A", "go", "B", "R/1/B", E::switched},
        {"R/1/B", 2, "C1", "next", "C2", "R/1/B/2/C2", E::switched},
        {"R/1/B", 1, "B1", "end", "B", "R/1/B", E::finished},
        {"R/2/Sub", 5, "S1", "poke", "Nowhere", "", E::unchanged},
    };
    ASSERT_EQ(t.entries.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        const velko::TraceEntryView& e = t.entries[i];
        EXPECT_EQ(e.seq, i + 1);
        EXPECT_EQ(e.superstate_id, expected[i].superstate);
        EXPECT_EQ(e.flow, expected[i].flow);
        EXPECT_EQ(e.from, expected[i].from);
        EXPECT_EQ(e.from_id, std::string(expected[i].superstate) + "/" + std::to_string(e.flow) + "/" + e.from);
        EXPECT_EQ(e.event, expected[i].event);
        EXPECT_EQ(e.to, expected[i].to);
        EXPECT_EQ(e.to_id, expected[i].to_id);
        EXPECT_EQ(e.effect, expected[i].effect) << i;
    }
    FSMobserver::read_trace(&root, 3, &t);
    ASSERT_EQ(t.entries.size(), 1u);
    EXPECT_EQ(t.entries[0].event, "poke");
}

// A transition's action that raises two errors on its state: its own and its location's.
void raise_errors(FSMstate* sp) {
    sp->set_error("valve stuck");
    sp->server_error(sp, 1, "pressure low");
}

// Top with one flow of two states: X goes to Y on "go" (running x_action), Y back to X on y_event.
struct TwoStateFlow {
    TwoStateFlow(int flow, void (*x_action)(FSMstate*), const char* y_event) {
        x.add_transition("go", nullptr, x_action, nullptr, nullptr, "Y");
        y.add_transition(y_event, nullptr, nullptr, nullptr, nullptr, "X");
        top.add_state(flow, &x);
        top.add_state(flow, &y);
    }
    FSMsuperstate top{nullptr, "Top", "", SUPER_STATE};
    FSMstate x{"X", nullptr, STATE}, y{"Y", nullptr, STATE};
};

// Places top in the root's flow 1, links and starts the machine.
void start_under(FSMrootstate& root, FSMsuperstate& top) {
    root.add_state(1, &top);
    root.set_root(&root);
    EXPECT_EQ(root.link_state(), 0);
    root.init_state();
    root.enter_state();
}

TEST(TracedErrors, ErrorsRaisedWhileDispatchingAreTracedInOrderAmongTransitions) {
    FSMrootstate root{nullptr, "R", ""};
    TwoStateFlow m(3, raise_errors, "*");
    start_under(root, m.top);
    const auto send = [&](const char* name) {
        FSMevent ev;
        ev.set_event(name, "*");
        root.FSMsuperstate::process_event(&ev);
    };

    send("go");                         // X raises its errors, then goes to Y
    m.y.set_error("raised elsewhere");  // not while the machine dispatches: not traced
    send("back-\xc3\xa9");              // Y's "*" transition: the event's own text is kept
    send("go");                         // X's refresh cleared its error; the action raises both again

    velko::TraceView t;
    FSMobserver::read_trace(&m.x, 0, &t);
    using E = velko::TraceEntryView::Effect;
    struct Expected {
        const char* from;
        const char* event;
        const char* to;
        E effect;
        const char* error;
    };
    const Expected expected[] = {
        {"X", "", "", E::error, "valve stuck"}, {"X", "", "", E::error, "pressure low"},
        {"X", "go", "Y", E::switched, ""},      {"Y", "back-\xc3\xa9", "X", E::switched, ""},
        {"X", "", "", E::error, "valve stuck"}, {"X", "", "", E::error, "pressure low"},
        {"X", "go", "Y", E::switched, ""},
    };
    ASSERT_EQ(t.entries.size(), std::size(expected));
    EXPECT_EQ(t.next, std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        const velko::TraceEntryView& e = t.entries[i];
        EXPECT_EQ(e.seq, i + 1);
        EXPECT_EQ(e.superstate_id, "R/1/Top") << i;
        EXPECT_EQ(e.flow, 3) << i;
        EXPECT_EQ(e.from, expected[i].from) << i;
        EXPECT_EQ(e.from_id, std::string("R/1/Top/3/") + expected[i].from) << i;
        EXPECT_EQ(e.event, expected[i].event) << i;
        EXPECT_EQ(e.to, expected[i].to) << i;
        EXPECT_EQ(e.to_id, *expected[i].to != '\0' ? std::string("R/1/Top/3/") + expected[i].to : "") << i;
        EXPECT_EQ(e.effect, expected[i].effect) << i;
        EXPECT_EQ(e.error, expected[i].error) << i;
    }
    // The entries of one event carry its time.
    EXPECT_EQ(t.entries[0].time, t.entries[2].time);
    EXPECT_GT(t.entries[0].time, 0);
}

// A superstate run on its own, with no root, keeps no trace; once placed under a root machine,
// its flows' transitions go to that machine's trace.
TEST(TracedErrors, AFlowRunBeforeItHadARootIsTracedOnceItHasOne) {
    TwoStateFlow m(1, nullptr, "back");
    FSMsuperstate& top = m.top;
    ASSERT_EQ(top.link_state(), 0);
    top.init_state();
    top.enter_state();
    FSMevent ev;
    ev.set_event("go", "*");
    top.FSMsuperstate::process_event(&ev);  // switches, with no trace to write to

    FSMrootstate root{nullptr, "R", ""};
    start_under(root, top);  // the flow starts again at X
    root.FSMsuperstate::process_event(&ev);

    velko::TraceView t;
    FSMobserver::read_trace(&root, 0, &t);
    ASSERT_EQ(t.entries.size(), 1u);
    EXPECT_EQ(t.entries[0].from, "X");
    EXPECT_EQ(t.entries[0].event, "go");
    EXPECT_EQ(t.entries[0].to, "Y");
}

}  // namespace
