// Superstates with flows: linking, defaults, history, switching, finishing, references, queries.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "fsm.h"
#include "fsm_trace.h"

namespace {

using Entries = std::vector<std::string>;

// A machine of three levels, run from the test thread as its event thread:
//   M (root)  flow 0: Idle, Run, Done
//   Run       flow 1: A, B          flow 2: X, Y
//   B         (basic)
// Transitions: Idle -go-> Run; Run -abort-> Idle; Run -complete-> Done; A -next-> B; A -again-> A;
// A -nowhere-> (not a member); B -back-> A; B -end-> Run (finishes flow 1); X -next-> Y; Y -next-> X.
class Machine {
  public:
    Machine()
        : root(nullptr, "M", "the machine"),
          idle("Idle", "waiting", STATE),
          run(nullptr, "Run", "running", SUPER_STATE),
          done("Done", "finished", STATE),
          a("A", "first", STATE),
          b("B", "second", STATE),
          x("X", "ex", STATE),
          y("Y", "why", STATE) {
        root.set_root(&root);
        root.add_state(0, &idle);
        root.add_state(0, &run);
        root.add_state(0, &done);
        run.add_state(1, &a);
        run.add_state(1, &b);
        run.add_state(2, &x);
        run.add_state(2, &y);
        for (FSMstate* s : std::vector<FSMstate*>{&root, &idle, &run, &done, &a, &b, &x, &y}) {
            trace_lifecycle(s);
        }
        idle.add_transition("go", nullptr, nullptr, nullptr, nullptr, "Run");
        run.add_transition("abort", nullptr, nullptr, nullptr, nullptr, "Idle");
        run.add_transition("complete", nullptr, nullptr, nullptr, nullptr, "Done");
        a.add_transition("next", nullptr, nullptr, nullptr, nullptr, "B");
        a.add_transition("again", nullptr, nullptr, nullptr, nullptr, "A");
        a.add_transition("nowhere", nullptr, nullptr, nullptr, nullptr, "Nowhere");
        b.add_transition("back", nullptr, nullptr, nullptr, nullptr, "A");
        b.add_transition("end", nullptr, nullptr, nullptr, nullptr, "Run");
        x.add_transition("next", nullptr, nullptr, nullptr, nullptr, "Y");
        y.add_transition("next", nullptr, nullptr, nullptr, nullptr, "X");
    }

    // Links, initialises and enters the machine as the event thread does at start-up.
    void start() {
        ASSERT_EQ(root.link_state(), 0);
        root.init_state();
        root.enter_state();
        Trace::get().clear();
    }

    // Dispatches one event through the root as the event thread does with an event it took from
    // the queue.
    void send(const char* name, const char* target = "*") {
        FSMevent ev;
        ev.set_event(name, target);
        root.FSMsuperstate::process_event(&ev);
    }

    // Runs one whole pass of the event queue with the given queued events, ending with the tick.
    void pass(const std::vector<const char*>& names) {
        FSMevent ev;
        for (const char* n : names) {
            ev.set_event(n, "*");
            root.post_event(&ev);
        }
        root.post_event(nullptr);
        for (size_t i = 0; i <= names.size(); ++i) {
            root.process_event(&ev);
        }
        ASSERT_STREQ(ev.get_name(), "timer");
    }

    std::string active(FSMsuperstate& s, int flow) {
        const char* n = s.get_ast_name(flow, nullptr, 0);
        return n ? n : "(null)";
    }

    FSMrootstate root;
    FSMstate idle;
    FSMsuperstate run;
    FSMstate done;
    FSMstate a, b, x, y;
};

class SuperstateTest : public ::testing::Test {
  protected:
    void SetUp() override { Trace::get().clear(); }
    static Entries log() { return Trace::get().snapshot(); }
};

}  // namespace

// ---- linking and defaults ----

TEST_F(SuperstateTest, FirstMemberIsTheDefaultState) {
    FSMsuperstate s(nullptr, "S", "", SUPER_STATE);
    FSMstate s1("S1", nullptr, STATE), s2("S2", nullptr, STATE), s3("S3", nullptr, STATE);
    s.add_state(7, &s1);
    s.add_state(7, &s2);
    s.add_state(7, &s3);
    EXPECT_EQ(s.link_state(), 0);
    EXPECT_STREQ(s.get_ast_name(7, nullptr, 0), "S1");
}

TEST_F(SuperstateTest, ConfiguredDefaultNameChoosesTheStartState) {
    FSMsuperstate s(nullptr, "S", "", SUPER_STATE);
    FSMstate s1("S1", nullptr, STATE), s2("S2", nullptr, STATE), s3("S3", nullptr, STATE);
    s.add_state(1, &s1);
    s.add_state(1, &s2);
    s.add_state(1, &s3);
    s.flow_attributes(1, "S3", 0);
    s.flow_attributes(1, nullptr, 1);  // ignored
    s.flow_attributes(99, "S2", 1);    // no such flow: ignored
    ASSERT_EQ(s.link_state(), 0);
    EXPECT_EQ(s.get_flag(1), 0);
    EXPECT_EQ(s.get_flag(99), 0);
    s.enter_state();
    EXPECT_TRUE(s3.is_active());
    EXPECT_FALSE(s1.is_active());
}

TEST_F(SuperstateTest, UnknownDefaultNameFailsLinking) {
    FSMsuperstate s(nullptr, "S", "", SUPER_STATE);
    FSMstate s1("S1", nullptr, STATE);
    s.add_state(1, &s1);
    s.flow_attributes(1, "Missing", 0);
    EXPECT_EQ(s.link_state(), 1);
    // Fixing the name lets a later link succeed.
    s.flow_attributes(1, "S1", 0);
    EXPECT_EQ(s.link_state(), 0);
}

TEST_F(SuperstateTest, FailingMemberLinkFailsTheFlow) {
    FSMsuperstate outer(nullptr, "Outer", "", SUPER_STATE);
    FSMsuperstate inner(nullptr, "Inner", "", SUPER_STATE);
    outer.add_state(0, &inner);
    inner.add_reference(0, "Nowhere");  // inner has no root: unresolved
    EXPECT_EQ(outer.link_state(), 1);
}

TEST_F(SuperstateTest, DuplicateMembersAndNullStates) {
    FSMsuperstate s(nullptr, "S", "", SUPER_STATE);
    FSMsuperstate other(nullptr, "O", "", SUPER_STATE);
    FSMstate s1("S1", nullptr, STATE), twin("S1", nullptr, STATE);
    s.add_state(0, &s1);
    s.add_state(0, &s1);
    s.add_state(0, &twin);  // same name: ignored, but it still gets the parent
    s.add_state(0, nullptr);
    EXPECT_EQ(s.get_flow_count(), 1);
    FSMstate* p = nullptr;
    EXPECT_STREQ(s.get_st_name(0, 0, &p), "S1");
    EXPECT_EQ(p, &s1);
    EXPECT_EQ(s.get_st_name(0, 1, &p), nullptr);
    EXPECT_EQ(twin.get_parent(), &s);
    // A state added to two superstates keeps the last as parent.
    other.add_state(0, &s1);
    EXPECT_EQ(s1.get_parent(), &other);
}

TEST_F(SuperstateTest, MemberQueriesByIndex) {
    FSMsuperstate s(nullptr, "S", "", SUPER_STATE);
    FSMstate s1("S1", nullptr, STATE), s2("S2", nullptr, STATE);
    s.add_state(3, &s1);
    s.add_state(3, &s2);
    FSMstate* untouched = &s1;
    EXPECT_STREQ(s.get_st_name(3, 1, &untouched), "S2");
    EXPECT_EQ(untouched, &s2);
    EXPECT_EQ(s.get_st_name(3, 2, &untouched), nullptr);
    EXPECT_EQ(s.get_st_name(3, -1, &untouched), nullptr);
    EXPECT_EQ(s.get_st_name(4, 0, &untouched), nullptr);
    EXPECT_EQ(untouched, &s2);
    EXPECT_EQ(s.get_ast_name(4, nullptr, 0), nullptr);
    EXPECT_EQ(s.get_ast_error(4), nullptr);
    EXPECT_EQ(s.get_location(), nullptr);
}

TEST_F(SuperstateTest, FlowsKeepCreationOrderWhateverTheirIds) {
    FSMsuperstate s(nullptr, "S", "", SUPER_STATE);
    FSMstate s1("S1", nullptr, STATE), s2("S2", nullptr, STATE), s3("S3", nullptr, STATE);
    for (FSMstate* st : {&s1, &s2, &s3}) {
        st->add_action("enter", tr_enter);
    }
    s.add_state(9, &s1);
    s.add_state(-4, &s2);
    s.add_state(0, &s3);
    ASSERT_EQ(s.link_state(), 0);
    s.enter_state();
    EXPECT_EQ(log(), (Entries{"S1.enter", "S2.enter", "S3.enter"}));
}

// ---- lifecycle ----

TEST_F(SuperstateTest, InitVisitsEveryMemberAndEnterLeaveNestInOrder) {
    Machine m;
    ASSERT_EQ(m.root.link_state(), 0);
    m.root.init_state();
    EXPECT_EQ(log(), (Entries{"M.init", "Idle.init", "Run.init", "A.init", "B.init", "X.init", "Y.init", "Done.init"}));
    Trace::get().clear();
    m.root.enter_state();
    EXPECT_EQ(log(), (Entries{"M.enter", "Idle.enter"}));
    Trace::get().clear();
    m.send("go");
    EXPECT_EQ(log(), (Entries{"Idle.exit", "Run.enter", "A.enter", "X.enter"}));
    Trace::get().clear();
    m.send("abort");
    EXPECT_EQ(log(), (Entries{"A.exit", "X.exit", "Run.exit", "Idle.enter"}));
}

// ---- dispatch ----

TEST_F(SuperstateTest, BothFlowsSwitchOnOneEvent) {
    Machine m;
    m.start();
    m.send("go");
    m.send("next");
    EXPECT_EQ(m.active(m.run, 1), "B");
    EXPECT_EQ(m.active(m.run, 2), "Y");
    EXPECT_TRUE(m.b.is_active());
    EXPECT_TRUE(m.y.is_active());
    EXPECT_FALSE(m.a.is_active());
    EXPECT_FALSE(m.x.is_active());
}

TEST_F(SuperstateTest, OwnTransitionHidesTheEventFromTheFlows) {
    Machine m;
    m.start();
    m.send("go");
    // "abort" fires on Run itself; A has a wildcard transition that would otherwise fire.
    m.a.add_transition("*", nullptr, tr_taction, nullptr, nullptr, "B");
    m.send("abort");
    EXPECT_EQ(Trace::count_in(log(), "A.taction"), 0u);
    EXPECT_EQ(m.active(m.root, 0), "Idle");
    EXPECT_EQ(m.active(m.run, 1), "A");
}

TEST_F(SuperstateTest, EventForAMemberPassesThroughTheSuperstate) {
    Machine m;
    m.start();
    m.send("go");
    m.run.add_action("poll", tr_poll);
    m.a.add_action("poll", tr_poll);
    m.x.add_action("poll", tr_poll);
    m.send("next", "X");
    EXPECT_EQ(m.active(m.run, 1), "A");
    EXPECT_EQ(m.active(m.run, 2), "Y");
    EXPECT_EQ(Trace::count_in(log(), "Run.poll"), 0u);
    EXPECT_EQ(Trace::count_in(log(), "A.poll"), 0u);
    EXPECT_EQ(Trace::count_in(log(), "X.poll"), 1u);
}

TEST_F(SuperstateTest, QualifiedTargetsReachTheChildrenOfANamedParent) {
    Machine m;
    m.start();
    m.send("go");
    m.send("next", "Run!*");  // A and X are children of Run
    EXPECT_EQ(m.active(m.run, 1), "B");
    EXPECT_EQ(m.active(m.run, 2), "Y");
    m.send("next", "Ru!Y");  // prefix of the parent's name, only Y
    EXPECT_EQ(m.active(m.run, 1), "B");
    EXPECT_EQ(m.active(m.run, 2), "X");
    m.send("back", "M!*");  // children of the root only: B is not one
    EXPECT_EQ(m.active(m.run, 1), "B");
    m.send("abort", "M!Run");
    EXPECT_EQ(m.active(m.root, 0), "Idle");
}

TEST_F(SuperstateTest, TransitionToTheSuperstateFinishesTheFlow) {
    Machine m;
    m.start();
    m.send("go");
    m.send("next");  // flow 1 -> B, flow 2 -> Y
    m.b.add_action("interrupt1", tr_irq1);
    m.b.add_action("poll", tr_poll);
    Trace::get().clear();
    m.send("end");  // B -> Run: flow 1 finished
    EXPECT_EQ(log(), Entries{"B.poll"});
    EXPECT_TRUE(m.b.is_active());  // not left
    EXPECT_EQ(m.active(m.run, 1), "B");
    Trace::get().clear();
    m.send("next");  // flow 1 hears nothing, flow 2 goes on
    FSMevent irq;
    irq.set_event("irq1", "*");
    m.run.process_irq1(&irq);
    EXPECT_EQ(log(), (Entries{"Y.exit", "X.enter"}));
    // Leaving and re-entering the superstate restarts the flow.
    m.send("abort");
    m.send("go");
    Trace::get().clear();
    m.send("next");
    EXPECT_EQ(m.active(m.run, 1), "B");
    EXPECT_EQ(Trace::count_in(log(), "B.poll"), 0u);  // B was just entered by the switch
    m.run.process_irq1(&irq);
    EXPECT_EQ(Trace::count_in(log(), "B.irq1"), 1u);
}

TEST_F(SuperstateTest, TransitionToAnUnknownNameChangesNothing) {
    Machine m;
    m.start();
    m.send("go");
    m.send("nowhere");
    EXPECT_EQ(m.active(m.run, 1), "A");
    EXPECT_TRUE(m.a.is_active());
    EXPECT_EQ(log(), (Entries{"Idle.exit", "Run.enter", "A.enter", "X.enter"}));
}

// A flow picks the member whose name equals the transition's target in content, not only in
// length, and finishes only on its superstate's own name.
TEST_F(SuperstateTest, SwitchTargetsOfEqualLengthAreToldApart) {
    struct Case {
        const char* target;
        const char* active;
        bool finished;
    };
    // clang-format off
    const Case cases[] = {
        {"S2", "S2", false},
        {"S3", "S1", false},
        {"SX", "S1", true},
        {"SY", "S1", false},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        FSMsuperstate sup(nullptr, "SX", "", SUPER_STATE);
        FSMstate s1("S1", "", STATE);
        FSMstate s2("S2", "", STATE);
        sup.add_state(1, &s1);
        sup.add_state(1, &s2);
        s1.add_transition("go", nullptr, nullptr, nullptr, nullptr, c.target);
        s1.add_action("poll", tr_poll);
        ASSERT_EQ(sup.link_state(), 0);
        sup.enter_state();
        FSMevent ev;
        ev.set_event("go", "*");
        sup.process_event(&ev);
        EXPECT_EQ(sup.get_ast_name(1, nullptr, 0), std::string(c.active));
        // A finished flow hears nothing more; otherwise its active state polls.
        Trace::get().clear();
        ev.set_event("look", "*");
        sup.process_event(&ev);
        EXPECT_EQ(log().size(), c.finished || std::string(c.active) != "S1" ? 0u : 1u);
    }
}

TEST_F(SuperstateTest, SelfTransitionLeavesAndReenters) {
    Machine m;
    m.start();
    m.send("go");
    Trace::get().clear();
    m.send("again");
    EXPECT_EQ(log(), (Entries{"A.exit", "A.enter"}));
    EXPECT_TRUE(m.a.is_active());
}

TEST_F(SuperstateTest, HistoryDecidesWhereAFlowResumes) {
    Machine m;
    m.run.flow_attributes(1, "A", 1);  // flow 1 keeps history, flow 2 does not
    m.start();
    EXPECT_EQ(m.run.get_flag(1), 1);
    EXPECT_EQ(m.run.get_flag(2), 0);
    m.send("go");
    m.send("next");  // B and Y
    m.send("abort");
    EXPECT_EQ(m.active(m.run, 1), "B");  // kept while the superstate is passive
    m.send("go");
    EXPECT_EQ(m.active(m.run, 1), "B");
    EXPECT_EQ(m.active(m.run, 2), "X");
    EXPECT_TRUE(m.b.is_active());
    EXPECT_TRUE(m.x.is_active());
    EXPECT_FALSE(m.y.is_active());
}

TEST_F(SuperstateTest, ReportedStateFollowsTheFlagAndHistoryRule) {
    Machine m;
    m.start();
    m.send("go");
    m.send("next");  // flow 1 in B (history 0)
    const char* descr = nullptr;
    EXPECT_STREQ(m.run.get_ast_name(1, &descr, 0), "B");
    EXPECT_STREQ(descr, "second");
    EXPECT_STREQ(m.run.get_ast_name(1, &descr, 1), "A");
    EXPECT_STREQ(descr, "first");
    m.run.flow_attributes(1, "A", 1);
    EXPECT_STREQ(m.run.get_ast_name(1, &descr, 1), "B");
}

TEST_F(SuperstateTest, ActiveStateErrorIsReportedPerFlow) {
    Machine m;
    m.start();
    m.send("go");
    m.a.set_error("A broke");
    EXPECT_STREQ(m.run.get_ast_error(1), "A broke");
    EXPECT_STREQ(m.run.get_ast_error(2), "");
}

TEST_F(SuperstateTest, InterruptsReachTheSuperstateThenEveryFlow) {
    Machine m;
    for (FSMstate* s : std::vector<FSMstate*>{&m.root, &m.run, &m.a, &m.b, &m.x, &m.idle}) {
        s->add_action("interrupt1", tr_irq1);
        s->add_action("interrupt2", tr_irq2);
    }
    m.start();
    m.send("go");
    Trace::get().clear();
    FSMevent irq;
    irq.set_event("irq1", "*");
    m.root.FSMsuperstate::process_irq1(&irq);
    irq.set_event("irq2", "*");
    m.root.FSMsuperstate::process_irq2(&irq);
    EXPECT_EQ(log(), (Entries{"M.irq1", "Run.irq1", "A.irq1", "X.irq1", "M.irq2", "Run.irq2", "A.irq2", "X.irq2"}));
    // Interrupts never switch states.
    EXPECT_EQ(m.active(m.run, 1), "A");
}

TEST_F(SuperstateTest, TickOfAPassReachesEveryActiveState) {
    Machine m;
    for (FSMstate* s : std::vector<FSMstate*>{&m.root, &m.idle, &m.run, &m.a, &m.b, &m.x, &m.y}) {
        s->add_action("poll", tr_poll);
    }
    m.start();
    m.pass({"go", "next"});
    EXPECT_EQ(log(), (Entries{"M.poll", "Idle.poll", "Idle.exit", "Run.enter", "A.enter", "X.enter",  // go
                              "M.poll", "Run.poll", "A.poll", "A.exit", "B.enter", "X.poll", "X.exit",
                              "Y.enter",                                    // next
                              "M.poll", "Run.poll", "B.poll", "Y.poll"}));  // timer
    EXPECT_STREQ(m.b.get_event_name(), "");
    EXPECT_STREQ(m.a.get_event_name(), "next");
}

// ---- roots and posting ----

TEST_F(SuperstateTest, SetRootStopsAtMembersThatHaveOne) {
    FSMrootstate r1(nullptr, "R1", ""), r2(nullptr, "R2", "");
    FSMsuperstate s(nullptr, "S", "", SUPER_STATE);
    FSMsuperstate rooted(nullptr, "Rooted", "", SUPER_STATE);
    FSMstate plain("P", nullptr, STATE), below("Below", nullptr, STATE);
    s.add_state(0, &plain);
    s.add_state(1, &rooted);
    rooted.add_state(0, &below);
    rooted.FSMstate::set_root(&r2);  // only the superstate itself
    s.set_root(&r1);
    EXPECT_EQ(s.get_root(), &r1);
    EXPECT_EQ(plain.get_root(), &r1);
    EXPECT_EQ(rooted.get_root(), &r2);
    EXPECT_EQ(below.get_root(), nullptr);  // skipped together with its superstate
    // A second set_root keeps the superstate's own root.
    s.set_root(&r2);
    EXPECT_EQ(s.get_root(), &r1);
}

TEST_F(SuperstateTest, PostingWithoutARootDoesNothing) {
    FSMsuperstate s(nullptr, "S", "", SUPER_STATE);
    FSMevent ev;
    ev.set_event("x", "*");
    s.post_event(&ev);
    s.post_irq1(&ev);
    s.post_irq2(&ev);
    s.post_irq1(nullptr);
    // A superstate that is its own root has no receiver either.
    s.set_root(&s);
    s.post_event(&ev);
    s.post_irq1(&ev);
    s.post_irq2(nullptr);
    EXPECT_EQ(s.get_root(), &s);
}

TEST_F(SuperstateTest, PostingForwardsToTheRootQueues) {
    FSMrootstate root(nullptr, "R", "");
    FSMsuperstate s(nullptr, "S", "", SUPER_STATE);
    root.add_state(0, &s);
    root.set_root(&root);
    FSMevent ev;
    ev.set_event("line1", "*");
    s.post_irq1(&ev);
    s.post_irq1(nullptr);
    ev.set_event("line2", "*");
    s.post_irq2(&ev);
    s.post_irq2(nullptr);
    ev.set_event("plain", "*");
    s.post_event(&ev);
    s.post_event(nullptr);
    FSMevent out;
    root.process_irq1(&out);
    EXPECT_STREQ(out.get_name(), "line1");
    root.process_irq2(&out);
    EXPECT_STREQ(out.get_name(), "line2");
    root.process_event(&out);
    EXPECT_STREQ(out.get_name(), "plain");
}

// ---- references ----

TEST_F(SuperstateTest, ReferencesResolveThroughTheLinkTable) {
    FSMrootstate root(nullptr, "M", "");
    FSMstate home("Home", nullptr, STATE);
    FSMsuperstate remote(nullptr, "Remote", "", SUPER_STATE);  // as a superstate location would hold
    FSMstate inner("Inner", nullptr, STATE);
    remote.add_state(0, &inner);
    root.add_state(0, &home);
    root.add_reference(1, "Remote");
    root.add_reference(1, "Remote");  // duplicate ignored
    EXPECT_EQ(root.get_flow_count(), 2);
    EXPECT_EQ(root.get_st_name(1, 0, nullptr), nullptr);  // created empty
    root.set_root(&root);
    EXPECT_EQ(root.link_state(), 1);  // not registered yet
    EXPECT_EQ(root.link_state(), 1);
    remote.set_root(&root);
    root.register_link(&remote);
    EXPECT_EQ(root.link_state(), 0);
    EXPECT_EQ(remote.get_parent(), &root);
    FSMstate* p = nullptr;
    EXPECT_STREQ(root.get_st_name(1, 0, &p), "Remote");
    EXPECT_EQ(p, &remote);
    // Linking again retries nothing and relinks the flows.
    EXPECT_EQ(root.link_state(), 0);
    EXPECT_EQ(root.get_st_name(1, 1, nullptr), nullptr);
    // The referenced superstate runs as a member of the machine.
    inner.add_action("enter", tr_enter);
    inner.add_transition("ping", nullptr, tr_taction, nullptr, nullptr, "Inner");
    root.init_state();
    root.enter_state();
    EXPECT_TRUE(remote.is_active());
    EXPECT_TRUE(inner.is_active());
    FSMevent ev;
    ev.set_event("ping", "Remote!Inner");
    root.post_event(&ev);
    root.post_event(nullptr);
    root.process_event(&ev);
    EXPECT_EQ(log(), (Entries{"Inner.enter", "Inner.taction", "Inner.enter"}));
}

TEST_F(SuperstateTest, ReferenceWithoutARootStaysUnresolved) {
    FSMsuperstate s(nullptr, "S", "", SUPER_STATE);
    s.add_reference(2, "Elsewhere");
    s.add_reference(2, nullptr);
    EXPECT_EQ(s.get_flow_count(), 1);
    EXPECT_EQ(s.link_state(), 1);
}

// ---- flows that never linked ----

TEST_F(SuperstateTest, EmptyOrUnlinkedFlowsAreSkipped) {
    FSMsuperstate s(nullptr, "S", "", SUPER_STATE);
    FSMstate lone("Lone", nullptr, STATE);
    lone.add_action("enter", tr_enter);
    s.add_reference(0, "Missing");  // flow 0 stays empty
    s.add_state(1, &lone);          // flow 1 is never linked
    EXPECT_EQ(s.get_ast_name(0, nullptr, 0), nullptr);
    EXPECT_EQ(s.get_ast_name(1, nullptr, 1), nullptr);
    EXPECT_EQ(s.get_ast_error(1), nullptr);
    s.init_state();
    s.enter_state();
    FSMevent ev;
    ev.set_event("x", "*");
    EXPECT_EQ(s.process_event(&ev), 0);
    s.process_irq1(&ev);
    s.process_irq2(&ev);
    s.leave_state();
    EXPECT_TRUE(log().empty());
    EXPECT_FALSE(s.is_active());
}

// ---- errors and locks ----

TEST_F(SuperstateTest, ServerErrorWithoutLocationIsQuiet) {
    Machine m;
    m.start();
    m.a.server_error(&m.a, 5, "lost");
    m.run.server_error(&m.run, 5, "lost");
    m.root.server_error(&m.root, 5, nullptr);
    EXPECT_STREQ(m.a.get_error(), "");
}

TEST_F(SuperstateTest, LockStateKeepsTheEventThreadOut) {
    FSMsuperstate s(nullptr, "S", "", SUPER_STATE);
    s.add_action("enter", tr_enter);
    s.lock_state();
    std::thread other([&] { s.enter_state(); });
    // Whenever the other thread gets to run, the entry action must wait for the unlock.
    Trace::get().add("reader.done");
    s.unlock_state();
    other.join();
    EXPECT_EQ(log(), (Entries{"reader.done", "S.enter"}));
}
