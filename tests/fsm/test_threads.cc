// One machine run by its three consumers (events, interrupt lines 1 and 2) while producers post.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "fsm.h"
#include "fsm_trace.h"

namespace {

using Entries = std::vector<std::string>;

// R  flow 0: Sup
// Sup flow 1: A <-> B, flow 2: X <-> Y, each switching on "flip"
class ThreeThreadTest : public ::testing::Test {
  protected:
    ThreeThreadTest()
        : root(nullptr, "R", ""),
          sup(nullptr, "Sup", "", SUPER_STATE),
          a("A", nullptr, STATE),
          b("B", nullptr, STATE),
          x("X", nullptr, STATE),
          y("Y", nullptr, STATE),
          events(&root, QueueConsumer::EVENTS),
          line1(&root, QueueConsumer::IRQ1),
          line2(&root, QueueConsumer::IRQ2) {}

    void SetUp() override {
        Trace::get().clear();
        root.add_state(0, &sup);
        sup.add_state(1, &a);
        sup.add_state(1, &b);
        sup.add_state(2, &x);
        sup.add_state(2, &y);
        a.add_transition("flip", nullptr, nullptr, nullptr, nullptr, "B");
        b.add_transition("flip", nullptr, nullptr, nullptr, nullptr, "A");
        x.add_transition("flip", nullptr, nullptr, nullptr, nullptr, "Y");
        y.add_transition("flip", nullptr, nullptr, nullptr, nullptr, "X");
        for (FSMstate* s : {&a, &b, &x, &y}) {
            s->add_action("interrupt1", tr_irq1);
            s->add_action("interrupt2", tr_irq2);
        }
        root.set_root(&root);
        ASSERT_EQ(root.link_state(), 0);
        // The event thread's start-up runs before the interrupt threads start.
        root.init_state();
        root.enter_state();
        events.start();
        line1.start();
        line2.start();
    }
    void TearDown() override {
        events.stop();
        line1.stop();
        line2.stop();
    }

    FSMrootstate root;
    FSMsuperstate sup;
    FSMstate a, b, x, y;
    QueueConsumer events, line1, line2;
};

void post_to(FSMrootstate& root, int line, const std::string& name) {
    FSMevent ev;
    ev.set_event(name.c_str(), "*");
    FSMevent* ep = name.empty() ? nullptr : &ev;
    switch (line) {
        case 0:
            root.post_event(ep);
            break;
        case 1:
            root.post_irq1(ep);
            break;
        default:
            root.post_irq2(ep);
            break;
    }
}

}  // namespace

TEST_F(ThreeThreadTest, ConsumersAndProducersShareOneMachine) {
    const int flips = 400;
    const int per_line = 300;
    std::vector<std::thread> producers;
    producers.emplace_back([this] {
        for (int i = 0; i < flips; ++i) {
            post_to(root, 0, "flip");
            if (i % 7 == 0) {
                post_to(root, 0, "");
            }
        }
    });
    for (int line = 1; line <= 2; ++line) {
        producers.emplace_back([this, line] {
            for (int i = 0; i < per_line; ++i) {
                post_to(root, line, "n" + std::to_string(i));
                if (i % 5 == 0) {
                    post_to(root, line, "");
                }
            }
        });
    }
    for (std::thread& t : producers) {
        t.join();
    }
    // Mark the end of each queue and start one more pass on each.
    for (int line = 0; line <= 2; ++line) {
        post_to(root, line, "end");
        post_to(root, line, "");
    }
    // The engine's own next field keeps the last switch's target, so event entries are matched
    // without it.
    ASSERT_TRUE(Trace::get().wait_prefix("ev:end@*#", 1));
    ASSERT_TRUE(Trace::get().wait_count("irq1:end@*#", 1));
    ASSERT_TRUE(Trace::get().wait_count("irq2:end@*#", 1));
    // Each pass that took "end" ends with its line's synthetic event.
    ASSERT_TRUE(Trace::get().wait_count("irq1:irq1@*#", 1));
    ASSERT_TRUE(Trace::get().wait_count("irq2:irq2@*#", 1));

    Entries got = Trace::get().snapshot();
    EXPECT_EQ(Trace::count_prefix(got, "ev:flip@*#"), static_cast<size_t>(flips));
    // Every interrupt event arrived once and in posting order on its own line.
    for (const std::string tag : {"irq1:n", "irq2:n"}) {
        int expected = 0;
        for (const std::string& e : got) {
            if (e.compare(0, tag.size(), tag) == 0) {
                ASSERT_EQ(e, tag + std::to_string(expected) + "@*#") << e;
                ++expected;
            }
        }
        EXPECT_EQ(expected, per_line);
    }
}

TEST_F(ThreeThreadTest, StatesEndWhereTheFlipsLeadThem) {
    const int flips = 301;
    std::thread producer([this] {
        for (int i = 0; i < flips; ++i) {
            post_to(root, 0, "flip");
            post_to(root, 0, "");
        }
    });
    std::thread interrupter([this] {
        for (int i = 0; i < 300; ++i) {
            post_to(root, 1, "");
            post_to(root, 2, "");
        }
    });
    producer.join();
    interrupter.join();
    post_to(root, 0, "end");
    post_to(root, 0, "");
    ASSERT_TRUE(Trace::get().wait_prefix("ev:end@*#", 1));
    // An odd number of flips leaves the second state of each flow active.
    root.lock_state();
    EXPECT_STREQ(sup.get_ast_name(1, nullptr, 0), "B");
    EXPECT_STREQ(sup.get_ast_name(2, nullptr, 0), "Y");
    root.unlock_state();
    b.lock_state();
    EXPECT_TRUE(b.is_active());
    b.unlock_state();
    a.lock_state();
    EXPECT_FALSE(a.is_active());
    a.unlock_state();

    // With the event line quiet, an interrupt reaches exactly the active state of each flow. The
    // interrupt line-1 thread records its actions and then the event, so the entries of that
    // thread just before the marker belong to the marker.
    post_to(root, 1, "mark1");
    post_to(root, 1, "");
    ASSERT_TRUE(Trace::get().wait_count("irq1:mark1@*#", 1));
    Entries line;
    for (const std::string& e : Trace::get().snapshot()) {
        if (e.compare(0, 5, "irq1:") == 0 || e.find(".irq1") != std::string::npos) {
            line.push_back(e);
        }
    }
    size_t at = 0;
    while (line[at] != "irq1:mark1@*#") {
        ++at;
    }
    ASSERT_GE(at, 2u);
    EXPECT_EQ(line[at - 2], "B.irq1");
    EXPECT_EQ(line[at - 1], "Y.irq1");
}

TEST_F(ThreeThreadTest, FlowQueriesWhileTheMachineSwitches) {
    // A property reader holds the superstate's lock and asks for the active states while the
    // event thread keeps switching them.
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::thread reader([&] {
        while (!stop.load()) {
            sup.lock_state();
            const char* descr = nullptr;
            const char* n1 = sup.get_ast_name(1, &descr, 0);
            const char* n2 = sup.get_ast_name(2, nullptr, 1);
            if (!n1 || (std::string(n1) != "A" && std::string(n1) != "B") || !n2 || std::string(n2) != "X") {
                ++bad;
            }
            sup.unlock_state();
        }
    });
    for (int i = 0; i < 300; ++i) {
        post_to(root, 0, "flip");
        post_to(root, 0, "");
    }
    post_to(root, 0, "end");
    post_to(root, 0, "");
    ASSERT_TRUE(Trace::get().wait_prefix("ev:end@*#", 1));
    stop = true;
    reader.join();
    EXPECT_EQ(bad.load(), 0);
}
