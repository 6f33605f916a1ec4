// The basic state: targets, transitions and guards, actions, handlers, errors, interrupts, posting.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fsm.h"
#include "fsm_trace.h"

namespace {

using Entries = std::vector<std::string>;

class StateTest : public ::testing::Test {
  protected:
    void SetUp() override { Trace::get().clear(); }
    static Entries log() { return Trace::get().snapshot(); }
};

// A state named `name` under a parent named `parent_name`, entered, that records its poll action.
struct Placed {
    FSMstate parent;
    FSMstate state;
    Placed(const char* parent_name, const char* name)
        : parent(parent_name, nullptr, STATE), state(name, nullptr, STATE) {
        state.set_parent(&parent);
        state.add_action("poll", tr_poll);
        state.enter_state();
    }
    // True when an event with this target reached the state (its poll action ran).
    bool accepts(const char* target) {
        Trace::get().clear();
        FSMevent ev;
        ev.set_event("ping", target);
        state.process_event(&ev);
        return Trace::count_in(Trace::get().snapshot(), std::string(state.get_name()) + ".poll") == 1;
    }
};

int cond_true(FSMstate* sp) {
    return trace(sp, "cond_true"), 1;
}
int cond_false(FSMstate* sp) {
    return trace(sp, "cond_false"), 0;
}
void taction_a(FSMstate* sp) {
    trace(sp, "taction_a");
}
void taction_b(FSMstate* sp) {
    trace(sp, "taction_b");
}
int report_active(FSMstate* sp) {
    return trace(sp, sp->is_active() ? "active" : "passive"), 0;
}
int error_first(FSMstate* sp) {
    return sp->set_error("first"), 0;
}
int error_second(FSMstate* sp) {
    return sp->set_error("second"), 0;
}
int handler_second(FSMstate* sp) {
    return trace(sp, "second_handler"), 0;
}
int enter_second(FSMstate* sp) {
    return trace(sp, "enter_second"), 0;
}

}  // namespace

// ---- target specifiers ----

TEST_F(StateTest, WildcardAndPlainNameTargets) {
    Placed p("Parent", "S");
    EXPECT_TRUE(p.accepts("*"));
    EXPECT_TRUE(p.accepts("S"));
    EXPECT_FALSE(p.accepts("T"));
    EXPECT_FALSE(p.accepts("s"));
    EXPECT_FALSE(p.accepts("S "));
    EXPECT_FALSE(p.accepts("**"));
}

TEST_F(StateTest, QualifiedTargetWithPrefixAndName) {
    Placed under_a("A", "S");
    EXPECT_TRUE(under_a.accepts("A!S"));
    EXPECT_FALSE(under_a.accepts("A!T"));
    Placed under_b("B", "S");
    EXPECT_FALSE(under_b.accepts("A!S"));
    // The prefix is compared over its own length only.
    Placed under_ab("AB", "S");
    EXPECT_TRUE(under_ab.accepts("A!S"));
    EXPECT_TRUE(under_ab.accepts("AB!S"));
    EXPECT_FALSE(under_ab.accepts("ABC!S"));
}

TEST_F(StateTest, QualifiedWildcardSelectsEveryChildOfMatchingParents) {
    Placed under_a("A", "S1");
    Placed under_ab("AB", "S2");
    Placed under_b("B", "S3");
    EXPECT_TRUE(under_a.accepts("A!*"));
    EXPECT_TRUE(under_ab.accepts("A!*"));
    EXPECT_FALSE(under_b.accepts("A!*"));
}

TEST_F(StateTest, EmptyPrefixMatchesAnyParent) {
    Placed p("Whatever", "S");
    EXPECT_TRUE(p.accepts("!S"));
    EXPECT_TRUE(p.accepts("!*"));
    EXPECT_FALSE(p.accepts("!T"));
    // Only the first "!" separates prefix and name.
    EXPECT_FALSE(p.accepts("!!S"));
}

TEST_F(StateTest, EmptyTargetAddressesOnlyAnUnnamedState) {
    Placed named("P", "S");
    EXPECT_FALSE(named.accepts(""));
    Placed unnamed("P", "");
    EXPECT_TRUE(unnamed.accepts(""));
}

TEST_F(StateTest, QualifiedTargetWithoutParentIsNotAccepted) {
    FSMstate s("S", nullptr, STATE);
    s.add_action("poll", tr_poll);
    s.enter_state();
    FSMevent ev;
    ev.set_event("ping", "!S");
    EXPECT_EQ(s.process_event(&ev), 0);
    ev.set_event("ping", "!*");
    EXPECT_EQ(s.process_event(&ev), 0);
    EXPECT_TRUE(log().empty());
    // Unqualified targets still work.
    ev.set_event("ping", "S");
    s.process_event(&ev);
    EXPECT_EQ(log(), Entries{"S.poll"});
}

TEST_F(StateTest, EventForAnotherStateRunsNothing) {
    FSMstate s("S", nullptr, STATE);
    s.add_action("poll", tr_poll);
    s.add_action("during", tr_during);
    s.add_action("ping", tr_handler);
    s.add_transition("ping", nullptr, tr_taction, nullptr, nullptr, "T");
    s.enter_state();
    FSMevent first;
    first.set_event("hello", "S");
    s.process_event(&first);
    Trace::get().clear();
    FSMevent ev;
    ev.set_event("ping", "Other");
    EXPECT_EQ(s.process_event(&ev), 0);
    EXPECT_TRUE(log().empty());
    EXPECT_STREQ(s.get_event_name(), "hello");
    EXPECT_STREQ(ev.get_next(), "");
}

TEST_F(StateTest, PassiveStateIgnoresEverything) {
    FSMstate s("S", nullptr, STATE);
    s.add_action("poll", tr_poll);
    s.add_action("during", tr_during);
    s.add_action("interrupt1", tr_irq1);
    s.add_transition("*", nullptr, tr_taction, nullptr, nullptr, "T");
    FSMevent ev;
    ev.set_event("ping", "*");
    EXPECT_EQ(s.process_event(&ev), 0);
    s.process_irq1(&ev);
    EXPECT_TRUE(log().empty());
    EXPECT_STREQ(s.get_event_name(), "");
    // After entering and leaving it is passive again.
    s.enter_state();
    s.leave_state();
    EXPECT_EQ(s.process_event(&ev), 0);
    EXPECT_TRUE(log().empty());
}

// ---- transitions ----

TEST_F(StateTest, FirstTransitionWhoseGuardHoldsFires) {
    FSMstate s("S", nullptr, STATE);
    s.add_action("during", tr_during);
    s.add_action("go", tr_handler);
    s.add_transition("go", cond_false, taction_a, nullptr, nullptr, "A");
    s.add_transition("go", cond_true, taction_b, nullptr, nullptr, "B");
    s.add_transition("go", cond_true, taction_a, nullptr, nullptr, "C");
    s.enter_state();
    FSMevent ev;
    ev.set_event("go", "S");
    EXPECT_EQ(s.process_event(&ev), 1);
    EXPECT_STREQ(ev.get_next(), "B");
    // The refused guard ran no action; the third transition was never tested; no during, no handler.
    EXPECT_EQ(log(), (Entries{"S.cond_false", "S.cond_true", "S.taction_b"}));
    EXPECT_TRUE(s.is_active());
}

TEST_F(StateTest, TransitionsAreTestedInOrderOfAddition) {
    FSMstate s("S", nullptr, STATE);
    s.add_transition("go", nullptr, taction_a, nullptr, nullptr, "First");
    s.add_transition("go", nullptr, taction_b, nullptr, nullptr, "Second");
    s.enter_state();
    FSMevent ev;
    ev.set_event("go", "*");
    EXPECT_EQ(s.process_event(&ev), 1);
    EXPECT_STREQ(ev.get_next(), "First");
    EXPECT_EQ(log(), Entries{"S.taction_a"});
}

TEST_F(StateTest, NoTransitionFiresThenDuringAndOneHandlerRun) {
    FSMstate s("S", nullptr, STATE);
    s.add_action("during", tr_during);
    s.add_action("go", tr_handler);
    s.add_action("other", handler_second);
    s.add_transition("go", cond_false, taction_a, nullptr, nullptr, "A");
    s.add_transition("stop", nullptr, taction_b, nullptr, nullptr, "B");
    s.enter_state();
    FSMevent ev;
    ev.set_event("go", "S");
    ev.set_next("untouched");
    EXPECT_EQ(s.process_event(&ev), 0);
    EXPECT_STREQ(ev.get_next(), "untouched");
    EXPECT_EQ(log(), (Entries{"S.cond_false", "S.during", "S.on(go)"}));
}

TEST_F(StateTest, WildcardTransitionFiresOnTheTick) {
    FSMstate s("S", nullptr, STATE);
    s.add_transition("*", nullptr, tr_taction, nullptr, nullptr, "T");
    s.enter_state();
    FSMevent ev;
    ev.set_event("timer", "*");
    EXPECT_EQ(s.process_event(&ev), 1);
    EXPECT_STREQ(ev.get_next(), "T");
    EXPECT_EQ(log(), Entries{"S.taction"});
}

TEST_F(StateTest, TransitionWithoutEventNameFiresOnlyOnUnnamedEvents) {
    FSMstate s("S", nullptr, STATE);
    s.add_transition(nullptr, cond_true, taction_a, "sig", "*", "Ignored");
    s.enter_state();
    FSMevent ev;
    ev.set_event("go", "S");
    ev.set_next("before");
    EXPECT_EQ(s.process_event(&ev), 0);
    EXPECT_STREQ(ev.get_next(), "before");
    ev.set_event("", "S");
    EXPECT_EQ(s.process_event(&ev), 1);
    // The branch kept its empty contents: no guard, no action, empty next state.
    EXPECT_STREQ(ev.get_next(), "");
    EXPECT_TRUE(log().empty());
}

// Names are told apart by content, not length: a transition on "go" and a handler of "at" see
// only their own names, "*" is a wildcard only alone, and only "timer" itself is recorded as "".
TEST_F(StateTest, NamesOfEqualLengthAreToldApart) {
    struct Case {
        const char* event;
        int fired;
        const char* next;
        const char* recorded;
        Entries log;
    };
    // clang-format off
    const Case cases[] = {
        {"go",    1, "G",    "go",    {}},
        {"gx",    0, "",     "gx",    {"S.on(gx)"}},
        {"at",    0, "",     "at",    {"S.on(at)"}},
        {"ax",    0, "",     "ax",    {}},
        {"*x",    0, "",     "*x",    {}},
        {"timer", 1, "Tick", "",      {}},
        {"timex", 0, "",     "timex", {}},
        {"time",  0, "",     "time",  {}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.event);
        FSMstate s("S", nullptr, STATE);
        s.add_transition("go", nullptr, nullptr, nullptr, nullptr, "G");
        s.add_transition("timer", nullptr, nullptr, nullptr, nullptr, "Tick");
        s.add_action("gx", tr_handler);
        s.add_action("at", tr_handler);
        s.enter_state();
        Trace::get().clear();
        FSMevent ev;
        ev.set_event(c.event, "*");
        EXPECT_EQ(s.process_event(&ev), c.fired);
        EXPECT_STREQ(ev.get_next(), c.next);
        EXPECT_STREQ(s.get_event_name(), c.recorded);
        EXPECT_EQ(log(), c.log);
    }
}

TEST_F(StateTest, AnErrorIsClearedByEachAcceptedEventAfterItWasSet) {
    FSMstate s("S", nullptr, STATE);
    s.enter_state();
    FSMevent ev;
    ev.set_event("go", "*");
    // Set, cleared, set again and cleared again: the state keeps no memory of an earlier clear.
    for (const char* text : {"first", "again"}) {
        s.set_error(text);
        EXPECT_STREQ(s.get_error(), text);
        s.process_event(&ev);
        EXPECT_STREQ(s.get_error(), "");
    }
    // An empty text records nothing, and a later text is still taken.
    s.set_error("");
    s.set_error("third");
    EXPECT_STREQ(s.get_error(), "third");
    // An event addressed to another state clears nothing.
    ev.set_event("go", "T");
    s.process_event(&ev);
    EXPECT_STREQ(s.get_error(), "third");
}

TEST_F(StateTest, RootTypeNeverFiresItsOwnTransitions) {
    FSMstate r("R", nullptr, ROOT_STATE);
    r.add_action("poll", tr_poll);
    r.add_action("during", tr_during);
    r.add_action("go", tr_handler);
    r.add_transition("go", nullptr, tr_taction, nullptr, nullptr, "X");
    r.enter_state();
    FSMevent ev;
    ev.set_event("go", "R");
    EXPECT_EQ(r.process_event(&ev), 0);
    EXPECT_STREQ(ev.get_next(), "");
    EXPECT_EQ(log(), (Entries{"R.poll", "R.during", "R.on(go)"}));
}

TEST_F(StateTest, BranchAccessors) {
    FSMstate::branch br;
    EXPECT_STREQ(br.get_name(), "");
    br.define_action("go", "Next", nullptr, nullptr, nullptr, nullptr);
    EXPECT_STREQ(br.get_name(), "go");
    FSMstate s("S", nullptr, STATE);
    FSMevent ev;
    ev.set_event("go", "S");
    EXPECT_EQ(br.check(&ev, &s), 1);
    EXPECT_STREQ(ev.get_next(), "Next");
    ev.set_event("stop", "S");
    ev.set_next("kept");
    EXPECT_EQ(br.check(&ev, &s), 0);
    EXPECT_STREQ(ev.get_next(), "kept");
}

// ---- signal events ----

TEST_F(StateTest, FiredTransitionQueuesItsSignalAtTheRoot) {
    FSMrootstate root(nullptr, "Root", "");
    root.set_root(&root);
    FSMstate s("S", nullptr, STATE);
    root.add_state(0, &s);
    root.set_root(&root);
    ASSERT_EQ(s.get_root(), &root);
    s.add_transition("go", nullptr, nullptr, "done", "A!*", "T");
    s.enter_state();
    FSMevent ev;
    ev.set_event("go", "S");
    EXPECT_EQ(s.process_event(&ev), 1);
    // The signal waits in the root's event queue; a pass hands it out first, then the tick.
    root.post_event(nullptr);
    FSMevent out;
    root.process_event(&out);
    EXPECT_STREQ(out.get_name(), "done");
    EXPECT_STREQ(out.get_state(), "A!*");
    root.process_event(&out);
    EXPECT_STREQ(out.get_name(), "timer");
    EXPECT_STREQ(out.get_state(), "*");
    // The branch keeps its record: firing again posts the same signal again.
    EXPECT_EQ(s.process_event(&ev), 1);
    root.post_event(nullptr);
    root.process_event(&out);
    EXPECT_STREQ(out.get_name(), "done");
}

TEST_F(StateTest, StateWithoutRootDropsItsSignalAndPosts) {
    FSMstate s("S", nullptr, STATE);
    s.add_transition("go", nullptr, tr_taction, "sig", "*", "T");
    s.enter_state();
    FSMevent ev;
    ev.set_event("go", "S");
    EXPECT_EQ(s.process_event(&ev), 1);
    EXPECT_STREQ(ev.get_next(), "T");
    s.post_event(&ev);
    s.post_irq1(&ev);
    s.post_irq2(&ev);
    EXPECT_EQ(log(), Entries{"S.taction"});
}

TEST_F(StateTest, PostEventGoesToTheRootQueue) {
    FSMrootstate root(nullptr, "Root", "");
    FSMstate s("S", nullptr, STATE);
    s.set_root(&root);
    FSMevent ev;
    ev.set_event("hello", "S");
    s.post_event(&ev);
    ev.set_event("changed", "X");  // the queue holds its own copy
    root.post_event(nullptr);
    FSMevent out;
    root.process_event(&out);
    EXPECT_STREQ(out.get_name(), "hello");
    EXPECT_STREQ(out.get_state(), "S");
}

// ---- actions and handlers ----

TEST_F(StateTest, EveryActionNameHasItsMoment) {
    FSMstate s("S", nullptr, STATE);
    s.add_action("init", tr_init);
    s.add_action("poll", tr_poll);
    s.add_action("enter", tr_enter);
    s.add_action("during", tr_during);
    s.add_action("exit", tr_exit);
    s.add_action("interrupt1", tr_irq1);
    s.add_action("interrupt2", tr_irq2);
    FSMevent ev;
    ev.set_event("x", "*");
    s.init_state();
    s.enter_state();
    s.process_event(&ev);
    s.process_irq1(&ev);
    s.process_irq2(&ev);
    s.leave_state();
    EXPECT_EQ(log(), (Entries{"S.init", "S.enter", "S.poll", "S.during", "S.irq1", "S.irq2", "S.exit"}));
}

TEST_F(StateTest, ActionNamesAreCaseSensitiveAndOthersAreHandlers) {
    FSMstate s("S", nullptr, STATE);
    s.add_action("Enter", tr_handler);
    s.enter_state();
    EXPECT_TRUE(log().empty());
    FSMevent ev;
    ev.set_event("Enter", "S");
    s.process_event(&ev);
    EXPECT_EQ(log(), Entries{"S.on(Enter)"});
}

TEST_F(StateTest, LaterActionReplacesEarlierAndNullEmptiesTheSlot) {
    FSMstate s("S", nullptr, STATE);
    s.add_action("enter", tr_enter);
    s.add_action("enter", enter_second);
    s.enter_state();
    EXPECT_EQ(log(), Entries{"S.enter_second"});
    s.leave_state();
    s.add_action("enter", nullptr);
    s.enter_state();
    EXPECT_EQ(log(), Entries{"S.enter_second"});
}

TEST_F(StateTest, FirstHandlerOfANameStays) {
    FSMstate s("S", nullptr, STATE);
    s.add_action("ping", nullptr);  // not registered: a handler needs a function
    s.add_action("ping", tr_handler);
    s.add_action("ping", handler_second);
    s.add_action("pong", handler_second);
    s.enter_state();
    FSMevent ev;
    ev.set_event("ping", "*");
    s.process_event(&ev);
    ev.set_event("pong", "*");
    s.process_event(&ev);
    ev.set_event("none", "*");
    s.process_event(&ev);
    EXPECT_EQ(log(), (Entries{"S.on(ping)", "S.second_handler"}));
}

TEST_F(StateTest, EntryRunsWhilePassiveAndExitWhileActive) {
    FSMstate s("S", nullptr, STATE);
    s.add_action("enter", report_active);
    s.add_action("exit", report_active);
    s.add_action("init", report_active);
    s.init_state();
    EXPECT_FALSE(s.is_active());
    s.enter_state();
    EXPECT_TRUE(s.is_active());
    s.init_state();  // leaves the activity alone
    EXPECT_TRUE(s.is_active());
    s.leave_state();
    EXPECT_FALSE(s.is_active());
    EXPECT_EQ(log(), (Entries{"S.passive", "S.passive", "S.active", "S.active"}));
}

TEST_F(StateTest, InterruptsRunOnlyOnActiveStatesWithAnAction) {
    FSMstate with("W", nullptr, STATE);
    with.add_action("interrupt1", tr_irq1);
    FSMstate without("N", nullptr, STATE);
    FSMevent ev;
    ev.set_event("irq1", "*");
    with.process_irq1(&ev);  // passive
    without.enter_state();
    without.process_irq1(&ev);
    without.process_irq2(&ev);
    EXPECT_TRUE(log().empty());
    with.enter_state();
    with.process_irq1(&ev);
    with.process_irq2(&ev);  // no interrupt2 action
    EXPECT_EQ(log(), Entries{"W.irq1"});
    // Interrupts leave the recorded event name alone.
    EXPECT_STREQ(with.get_event_name(), "");
}

// ---- recorded texts ----

TEST_F(StateTest, TickIsRecordedAsEmptyEventName) {
    FSMstate s("S", nullptr, STATE);
    s.enter_state();
    FSMevent ev;
    ev.set_event("go", "*");
    s.process_event(&ev);
    EXPECT_STREQ(s.get_event_name(), "go");
    ev.set_event("timer", "*");
    s.process_event(&ev);
    EXPECT_STREQ(s.get_event_name(), "");
    s.set_event_name("timers");
    EXPECT_STREQ(s.get_event_name(), "timers");
}

TEST_F(StateTest, FirstErrorWinsUntilTheNextAcceptedEvent) {
    FSMstate s("S", nullptr, STATE);
    s.set_error("first");
    s.set_error("second");
    s.set_error(nullptr);
    EXPECT_STREQ(s.get_error(), "first");
    // Accepting an event refreshes the channels, which empties the error first.
    s.add_action("during", error_second);
    s.enter_state();
    FSMevent ev;
    ev.set_event("go", "*");
    s.process_event(&ev);
    EXPECT_STREQ(s.get_error(), "second");
}

TEST_F(StateTest, ErrorOfThePollActionDoesNotSurviveTheRefresh) {
    FSMstate s("S", nullptr, STATE);
    s.add_action("poll", error_first);
    s.add_action("during", error_second);
    s.enter_state();
    FSMevent ev;
    ev.set_event("go", "*");
    s.process_event(&ev);
    EXPECT_STREQ(s.get_error(), "second");
}

TEST_F(StateTest, NamesAndDescriptions) {
    FSMstate unnamed(STATE);
    EXPECT_STREQ(unnamed.get_name(), "");
    EXPECT_STREQ(unnamed.get_descr(), "");
    EXPECT_EQ(unnamed.get_type(), STATE);
    EXPECT_EQ(unnamed.get_parent(), nullptr);
    EXPECT_EQ(unnamed.get_root(), nullptr);
    EXPECT_EQ(unnamed.get_private(), nullptr);
    FSMstate s("S", "a state", SUPER_STATE);
    EXPECT_STREQ(s.get_name(), "S");
    EXPECT_STREQ(s.get_descr(), "a state");
    EXPECT_EQ(s.get_type(), SUPER_STATE);
    s.set_name("T");
    s.set_descr(nullptr);
    EXPECT_STREQ(s.get_name(), "T");
    EXPECT_STREQ(s.get_descr(), "");
    FSMstate null_name(nullptr, nullptr, STATE);
    EXPECT_STREQ(null_name.get_name(), "");
}

TEST_F(StateTest, PrivateBlock) {
    FSMstate s("S", nullptr, STATE);
    EXPECT_EQ(s.set_private(0), nullptr);
    EXPECT_EQ(s.get_private(), nullptr);
    void* block = s.set_private(16);
    ASSERT_NE(block, nullptr);
    std::memset(block, 0xAB, 16);  // all 16 bytes are usable
    EXPECT_EQ(s.get_private(), block);
    // A second call releases the first block (the sanitizer build would report a leak otherwise).
    void* bigger = s.set_private(64);
    ASSERT_NE(bigger, nullptr);
    std::memset(bigger, 0, 64);
    EXPECT_EQ(s.get_private(), bigger);
    EXPECT_EQ(s.set_private(-5), nullptr);
    EXPECT_EQ(s.get_private(), nullptr);
}

// ---- error reports ----

namespace {

// A parent that keeps what reaches its server_error.
class ErrorSink : public FSMstate {
  public:
    explicit ErrorSink(const char* nm) : FSMstate(nm, nullptr, SUPER_STATE) {}
    void server_error(FSMstate* sp, int err, const char* err_desc) override {
        reports.push_back(std::string(get_name()) + ":" + sp->get_name() + ":" + std::to_string(err) + ":" + err_desc);
    }
    std::vector<std::string> reports;
};

}  // namespace

TEST_F(StateTest, ServerErrorGoesToParentElseRoot) {
    ErrorSink parent("P");
    ErrorSink root("R");
    FSMstate s("S", nullptr, STATE);
    s.server_error(&s, 1, "nobody hears");  // neither parent nor root: nothing happens
    s.set_root(&root);
    s.server_error(&s, 2, "to root");
    s.set_parent(&parent);
    s.server_error(&s, 3, "to parent");
    EXPECT_EQ(root.reports, std::vector<std::string>{"R:S:2:to root"});
    EXPECT_EQ(parent.reports, std::vector<std::string>{"P:S:3:to parent"});
    // Reporting does not touch the state's own error text.
    EXPECT_STREQ(s.get_error(), "");
}

TEST_F(StateTest, BasicLinkingAndResolving) {
    FSMstate s("S", nullptr, STATE);
    EXPECT_EQ(s.link_state(), 0);
    EXPECT_EQ(s.resolve_link("S"), nullptr);
    s.lock_state();
    s.unlock_state();
}
