// The root machine: construction, link table, queues driven from the test thread, archive naming.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fsm.h"
#include "fsm_trace.h"

namespace {

using Entries = std::vector<std::string>;

class RootTest : public ::testing::Test {
  protected:
    void SetUp() override { Trace::get().clear(); }
    static Entries log() { return Trace::get().snapshot(); }
};

void post(FSMrootstate& root, const char* name, const char* target) {
    FSMevent ev;
    ev.set_event(name, target);
    root.post_event(&ev);
}

}  // namespace

TEST_F(RootTest, NewRootIsItsOwnParentWithoutArchive) {
    FSMrootstate root(nullptr, "Machine", "what it does");
    EXPECT_EQ(root.get_type(), ROOT_STATE);
    EXPECT_EQ(root.get_parent(), &root);
    EXPECT_EQ(root.get_root(), nullptr);
    EXPECT_EQ(root.update_rate, 1);
    EXPECT_EQ(root.atdsp, nullptr);
    EXPECT_STREQ(root.get_name(), "Machine");
    EXPECT_STREQ(root.get_descr(), "what it does");
    EXPECT_EQ(root.get_location(), nullptr);
    EXPECT_EQ(root.get_flow_count(), 0);
}

TEST_F(RootTest, LinkTableKeepsTheFirstOfAName) {
    FSMrootstate root(nullptr, "R", "");
    EXPECT_EQ(root.resolve_link("S"), nullptr);
    EXPECT_EQ(root.resolve_link(nullptr), nullptr);
    FSMsuperstate first(nullptr, "S", "", SUPER_STATE);
    FSMsuperstate second(nullptr, "S", "", SUPER_STATE);
    FSMsuperstate other(nullptr, "T", "", SUPER_STATE);
    root.register_link(&first);
    root.register_link(&second);
    root.register_link(&other);
    root.register_link(nullptr);
    EXPECT_EQ(root.resolve_link("S"), &first);
    EXPECT_EQ(root.resolve_link("T"), &other);
    EXPECT_EQ(root.resolve_link("s"), nullptr);
    // The link keeps the name the state had when it registered.
    other.set_name("Renamed");
    EXPECT_EQ(root.resolve_link("T"), &other);
    EXPECT_EQ(root.resolve_link("Renamed"), nullptr);
}

TEST_F(RootTest, PassDeliversQueuedEventsInOrderThenOneTick) {
    FSMrootstate root(nullptr, "R", "");
    post(root, "a", "*");
    post(root, "b", "X");
    post(root, "c", "A!*");
    root.post_event(nullptr);
    FSMevent ev;
    std::vector<std::string> taken;
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(root.process_event(&ev), 0);
        taken.push_back(std::string(ev.get_name()) + "@" + ev.get_state());
    }
    EXPECT_EQ(taken, (std::vector<std::string>{"a@*", "b@X", "c@A!*", "timer@*"}));
}

TEST_F(RootTest, InterruptPassesEndWithTheirOwnSyntheticEvent) {
    FSMrootstate root(nullptr, "R", "");
    FSMevent ev;
    root.post_irq1(nullptr);
    root.process_irq1(&ev);
    EXPECT_STREQ(ev.get_name(), "irq1");
    EXPECT_STREQ(ev.get_state(), "*");
    ev.set_event("i2", "Some");
    root.post_irq2(&ev);
    root.post_irq2(nullptr);
    root.process_irq2(&ev);
    EXPECT_STREQ(ev.get_name(), "i2");
    EXPECT_STREQ(ev.get_state(), "Some");
    root.process_irq2(&ev);
    EXPECT_STREQ(ev.get_name(), "irq2");
    // The three queues are independent: the event queue has had no pass.
    post(root, "e", "*");
    root.post_event(nullptr);
    root.process_event(&ev);
    EXPECT_STREQ(ev.get_name(), "e");
}

TEST_F(RootTest, NextFieldNeverTravelsThroughAQueue) {
    FSMrootstate root(nullptr, "R", "");
    FSMevent posted;
    posted.set_event("x", "*");
    posted.set_next("from poster");
    root.post_event(&posted);
    root.post_irq1(&posted);
    root.post_event(nullptr);
    root.post_irq1(nullptr);
    FSMevent engine;
    engine.set_next("engine's own");
    root.process_event(&engine);
    EXPECT_STREQ(engine.get_name(), "x");
    EXPECT_STREQ(engine.get_next(), "engine's own");
    root.process_irq1(&engine);
    EXPECT_STREQ(engine.get_next(), "engine's own");
    root.process_event(&engine);  // the tick leaves next alone as well
    EXPECT_STREQ(engine.get_name(), "timer");
    EXPECT_STREQ(engine.get_next(), "engine's own");
}

TEST_F(RootTest, RootRunsItsOwnActionsButNeverItsTransitions) {
    FSMrootstate root(nullptr, "R", "");
    root.add_action("poll", tr_poll);
    root.add_action("during", tr_during);
    root.add_action("go", tr_handler);
    root.add_action("timer", tr_handler);
    root.add_transition("go", nullptr, tr_taction, "sig", "*", "Elsewhere");
    root.set_root(&root);
    ASSERT_EQ(root.link_state(), 0);
    root.init_state();
    root.enter_state();
    post(root, "go", "R");
    post(root, "go", "Other");
    root.post_event(nullptr);
    FSMevent ev;
    for (int i = 0; i < 3; ++i) {
        root.process_event(&ev);
    }
    EXPECT_EQ(log(), (Entries{"R.poll", "R.during", "R.on(go)", "R.poll", "R.during", "R.on()"}));
    EXPECT_STREQ(ev.get_next(), "");
}

TEST_F(RootTest, RootAnswersQualifiedTargetsAsItsOwnParent) {
    FSMrootstate root(nullptr, "Root", "");
    root.add_action("poll", tr_poll);
    root.set_root(&root);
    root.enter_state();
    post(root, "x", "Ro!Root");
    post(root, "y", "Root!*");
    post(root, "z", "Other!*");
    root.post_event(nullptr);
    FSMevent ev;
    for (int i = 0; i < 3; ++i) {
        root.process_event(&ev);
    }
    EXPECT_EQ(log(), (Entries{"Root.poll", "Root.poll"}));
}

TEST_F(RootTest, ArchiveNeedsALocationToBeNamed) {
    FSMrootstate root(nullptr, "R", "");
    root.init_archiver();
    root.init_archiver();
    EXPECT_EQ(root.atdsp, nullptr);
}

TEST_F(RootTest, NullEventObjectsAreIgnored) {
    FSMrootstate root(nullptr, "R", "");
    root.post_event(nullptr);
    EXPECT_EQ(root.process_event(nullptr), 0);
    root.process_irq1(nullptr);
    root.process_irq2(nullptr);
    // The pass started above is still there for a real engine object.
    FSMevent ev;
    root.process_event(&ev);
    EXPECT_STREQ(ev.get_name(), "timer");
}

TEST_F(RootTest, PendingEventsGoWithTheRoot) {
    // Events posted without a pass stay queued; the root releases them when it is destroyed
    // (the address sanitizer build reports any leak).
    auto* root = new FSMrootstate(nullptr, "R", "");
    for (int i = 0; i < 100; ++i) {
        post(*root, "pending", "*");
        root->post_irq1(nullptr);
    }
    FSMevent ev;
    ev.set_event("late", "*");
    root->post_irq2(&ev);
    delete root;
    SUCCEED();
}

// The fields keep their documented declaration order: a state's data channels come after all its
// other documented fields (only the error text's own lock and its flag, added later, follow them),
// and a root's public fields come after its three queues and its link table.
TEST(Layout, PublicFieldsFollowTheDocumentedPrivateOnes) {
    auto offset = [](const void* object, const void* field) {
        return static_cast<size_t>(static_cast<const char*>(field) - static_cast<const char*>(object));
    };
    FSMstate state("S", nullptr, STATE);
    size_t error_lock_and_flag = sizeof(pthread_mutex_t) + sizeof(int);
    size_t align = alignof(FSMstate);
    EXPECT_EQ(offset(&state, &state.data) + sizeof(state.data) + (error_lock_and_flag + align - 1) / align * align,
              sizeof(FSMstate));

    FSMrootstate root(nullptr, "R", nullptr);
    size_t one_queue = sizeof(pthread_mutex_t) + sizeof(pthread_cond_t) + sizeof(int) + sizeof(std::vector<void*>);
    size_t queues_and_links = 3 * one_queue + sizeof(std::vector<void*>);
    EXPECT_GE(offset(&root, &root.update_rate), sizeof(FSMsuperstate) + queues_and_links);
    EXPECT_GT(offset(&root, &root.atdsp), offset(&root, &root.update_rate));
}
