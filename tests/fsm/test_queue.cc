// The root's queues with real consumer threads: order, passes, merged signals, waiting events,
// bounds and the report of dropped events.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "fsm.h"
#include "fsm_trace.h"

namespace {

using Entries = std::vector<std::string>;

// Holds an action until the test opens it; records "gate.entered" on arrival.
class Gate {
  public:
    static Gate& get() {
        static Gate g;
        return g;
    }
    void pass() {
        Trace::get().add("gate.entered");
        std::unique_lock<std::mutex> lock(mux_);
        cond_.wait(lock, [this] { return open_; });
    }
    void close() {
        std::lock_guard<std::mutex> lock(mux_);
        open_ = false;
    }
    void open() {
        {
            std::lock_guard<std::mutex> lock(mux_);
            open_ = true;
        }
        cond_.notify_all();
    }

  private:
    std::mutex mux_;
    std::condition_variable cond_;
    bool open_ = false;
};

int gate_handler(FSMstate*) {
    return Gate::get().pass(), 0;
}

// A running root machine with one member state and a consumer thread on its event queue.
class QueueTest : public ::testing::Test {
  protected:
    QueueTest() : root(nullptr, "R", ""), member("S", nullptr, STATE), events(&root, QueueConsumer::EVENTS) {}

    void SetUp() override {
        Trace::get().clear();
        root.add_state(0, &member);
        root.set_root(&root);
        ASSERT_EQ(root.link_state(), 0);
        root.init_state();
        root.enter_state();
    }
    void TearDown() override { events.stop(); }

    void post(const char* name, const char* target = "*") {
        FSMevent ev;
        ev.set_event(name, target);
        root.post_event(&ev);
    }
    void signal() { root.post_event(nullptr); }
    // Posts "p<producer>_<i>" from each producer thread, i counting up, with a signal after every
    // `signal_every` events; returns when all producers are done.
    void post_from_threads(int producers, int per_producer, int signal_every) {
        std::vector<std::thread> threads;
        for (int p = 0; p < producers; ++p) {
            threads.emplace_back([=] {
                for (int i = 0; i < per_producer; ++i) {
                    post(("p" + std::to_string(p) + "_" + std::to_string(i)).c_str());
                    if (i % signal_every == 0) {
                        signal();
                    }
                }
            });
        }
        for (std::thread& t : threads) {
            t.join();
        }
    }
    // Waits until the consumer has taken `n` ticks.
    bool wait_ticks(size_t n) { return Trace::get().wait_count("ev:timer@*#", n); }
    static Entries log() { return Trace::get().snapshot(); }

    FSMrootstate root;
    FSMstate member;
    QueueConsumer events;
};

}  // namespace

TEST_F(QueueTest, PassTakesEventsInPostingOrderThenOneTick) {
    events.start();
    post("a");
    post("b", "S");
    post("c", "R!*");
    signal();
    ASSERT_TRUE(wait_ticks(1));
    EXPECT_EQ(log(), (Entries{"ev:a@*#", "ev:b@S#", "ev:c@R!*#", "ev:timer@*#"}));
}

TEST_F(QueueTest, EventsWaitForTheNextSignal) {
    events.start();
    signal();
    ASSERT_TRUE(wait_ticks(1));
    // The consumer sleeps now; posting alone must not wake it, so both events and the tick of
    // the next signal arrive together in one pass.
    post("c");
    post("d");
    signal();
    ASSERT_TRUE(wait_ticks(2));
    EXPECT_EQ(log(), (Entries{"ev:timer@*#", "ev:c@*#", "ev:d@*#", "ev:timer@*#"}));
}

TEST_F(QueueTest, SignalsBeforeTheConsumerWakesMergeIntoOnePass) {
    post("a");
    post("b");
    signal();
    signal();
    events.start();
    ASSERT_TRUE(wait_ticks(1));
    post("m");
    signal();
    ASSERT_TRUE(wait_ticks(2));
    post("n");
    signal();
    ASSERT_TRUE(wait_ticks(3));
    EXPECT_EQ(log(),
              (Entries{"ev:a@*#", "ev:b@*#", "ev:timer@*#", "ev:m@*#", "ev:timer@*#", "ev:n@*#", "ev:timer@*#"}));
}

TEST_F(QueueTest, SignalsDuringAPassMergeAndLateEventsJoinIt) {
    member.add_action("hold", gate_handler);
    Gate::get().close();
    events.start();
    post("hold");
    signal();
    ASSERT_TRUE(Trace::get().wait_count("gate.entered", 1));
    // The consumer is inside the pass: these join it, and the signals add no second pass.
    post("late");
    signal();
    signal();
    Gate::get().open();
    ASSERT_TRUE(wait_ticks(1));
    post("m");
    signal();
    ASSERT_TRUE(wait_ticks(2));
    EXPECT_EQ(log(), (Entries{"gate.entered", "ev:hold@*#", "ev:late@*#", "ev:timer@*#", "ev:m@*#", "ev:timer@*#"}));
}

TEST_F(QueueTest, SignalEventOfATransitionRunsInTheSamePass) {
    member.add_transition("ping", nullptr, nullptr, "pong", "*", "S");
    events.start();
    post("ping");
    signal();
    ASSERT_TRUE(Trace::get().wait_count("ev:timer@*#S", 1));
    EXPECT_EQ(log(), (Entries{"ev:ping@*#S", "ev:pong@*#S", "ev:timer@*#S"}));
}

TEST_F(QueueTest, EngineKeepsItsOwnNextField) {
    events.preset_next("engine");
    events.start();
    FSMevent ev;
    ev.set_event("x", "*");
    ev.set_next("poster");
    root.post_event(&ev);
    signal();
    ASSERT_TRUE(Trace::get().wait_count("ev:timer@*#engine", 1));
    EXPECT_EQ(log(), (Entries{"ev:x@*#engine", "ev:timer@*#engine"}));
}

TEST_F(QueueTest, HundredThousandWaitingEventsKeepTheirOrder) {
    const int n = 100000;
    for (int i = 0; i < n; ++i) {
        post(std::to_string(i).c_str());
    }
    events.start();
    signal();
    ASSERT_TRUE(wait_ticks(1));
    Entries got = log();
    ASSERT_EQ(got.size(), static_cast<size_t>(n) + 1);
    for (int i = 0; i < n; ++i) {
        ASSERT_EQ(got[i], "ev:" + std::to_string(i) + "@*#") << "at " << i;
    }
    // The queue keeps working after draining a long list.
    post("after");
    signal();
    ASSERT_TRUE(wait_ticks(2));
    EXPECT_EQ(log().at(n + 1), "ev:after@*#");
}

TEST_F(QueueTest, ProducersOnManyThreadsKeepTheirOwnOrder) {
    const int producers = 4;
    const int per_producer = 2000;
    events.start();
    post_from_threads(producers, per_producer, 97);
    post("last");
    signal();
    ASSERT_TRUE(Trace::get().wait_count("ev:last@*#", 1));
    // The pass that took "last" ends with a tick, if none came earlier.
    ASSERT_TRUE(wait_ticks(1));
    Entries got = log();
    std::vector<int> next_of(producers, 0);
    for (const std::string& e : got) {
        if (e == "ev:timer@*#" || e == "ev:last@*#") {
            continue;
        }
        int p = e[4] - '0';
        int i = std::stoi(e.substr(6));
        ASSERT_EQ(i, next_of[p]) << e;
        next_of[p] = i + 1;
    }
    for (int p = 0; p < producers; ++p) {
        EXPECT_EQ(next_of[p], per_producer);
    }
}

// ---- bounded queues ----

namespace {

// "Machine M: The event queue was full (limit L): N events were dropped." lines of the output:
// the sum of N.
size_t dropped_in_output(const std::string& out) {
    size_t total = 0;
    size_t at = 0;
    while ((at = out.find("queue was full", at)) != std::string::npos) {
        size_t n = 0;
        size_t colon = out.find("): ", at);
        EXPECT_EQ(std::sscanf(out.c_str() + colon, "): %zu", &n), 1) << out;
        total += n;
        at = colon;
    }
    return total;
}

}  // namespace

TEST(BoundedQueue, EachLineKeepsWhatFitsAndReportsTheRestOnceAtTheEndOfItsPass) {
    struct Row {
        QueueConsumer::Line line;
        const char* tag;
        const char* tick;
        const char* queue_name;
    };
    const Row rows[] = {
        {QueueConsumer::EVENTS, "ev", "timer", "event"},
        {QueueConsumer::IRQ1, "irq1", "irq1", "interrupt 1"},
        {QueueConsumer::IRQ2, "irq2", "irq2", "interrupt 2"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.queue_name);
        Trace::get().clear();
        FSMrootstate root(nullptr, "M", "");
        root.set_root(&root);
        ASSERT_EQ(root.link_state(), 0);
        root.init_state();
        root.enter_state();
        root.set_queue_limit(2);
        EXPECT_EQ(root.get_queue_limit(), 2u);
        QueueConsumer consumer(&root, row.line);
        for (int i = 0; i < 5; ++i) {
            FSMevent ev;
            ev.set_event(("e" + std::to_string(i)).c_str(), "*");
            consumer.post(&ev);
        }
        testing::internal::CaptureStdout();
        consumer.start();
        consumer.post(nullptr);
        const std::string tag = row.tag;
        const std::string tick = tag + ":" + row.tick + "@*#";
        ASSERT_TRUE(Trace::get().wait_count(tick, 1));
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(Trace::get().snapshot(), (Entries{tag + ":e0@*#", tag + ":e1@*#", tick}));
        const std::string text =
            std::string("The ") + row.queue_name + " queue was full (limit 2): 3 events were dropped.";
        EXPECT_EQ(root.get_error(), text);
        EXPECT_EQ(out, "Machine M: " + text + "\n");
        consumer.stop();
    }
}

TEST_F(QueueTest, FloodAgainstASmallBoundDropsReportsOnceAndGivesTheMemoryBack) {
    const int limit = 3000;
    const int posted = 5000;
    root.set_queue_limit(limit);
    for (int i = 0; i < posted; ++i) {
        post(std::to_string(i).c_str());
    }
    EXPECT_GE(root.queue_slots(0), static_cast<size_t>(limit));
    EXPECT_EQ(root.queue_slots(1), 0u);
    testing::internal::CaptureStdout();
    events.start();
    signal();
    ASSERT_TRUE(wait_ticks(1));
    std::string out = testing::internal::GetCapturedStdout();
    Entries got = log();
    ASSERT_EQ(got.size(), static_cast<size_t>(limit) + 1);
    for (int i = 0; i < limit; ++i) {
        ASSERT_EQ(got[i], "ev:" + std::to_string(i) + "@*#") << "at " << i;
    }
    const std::string text = "The event queue was full (limit 3000): 2000 events were dropped.";
    EXPECT_EQ(root.get_error(), text);
    EXPECT_EQ(out, "Machine R: " + text + "\n");
    // A burst may come back next pass: the ring stays for now.
    EXPECT_GE(root.queue_slots(0), static_cast<size_t>(limit));

    // The next pass accepts events again, reports nothing, its first event clears the error, and
    // as it hardly used the ring, the ring is given back.
    testing::internal::CaptureStdout();
    post("after");
    signal();
    ASSERT_TRUE(wait_ticks(2));
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(log().at(limit + 1), "ev:after@*#");
    EXPECT_EQ(out, "");
    EXPECT_EQ(root.get_error(), std::string());
    EXPECT_EQ(root.queue_slots(0), 0u);
    // A small queue keeps its ring from pass to pass.
    post("small");
    signal();
    ASSERT_TRUE(wait_ticks(3));
    EXPECT_GT(root.queue_slots(0), 0u);
    EXPECT_LE(root.queue_slots(0), 1024u);
}

TEST_F(QueueTest, ProducersAgainstAFullQueueLoseNothingSilently) {
    const int producers = 4;
    const int per_producer = 5000;
    root.set_queue_limit(64);
    testing::internal::CaptureStdout();
    events.start();
    post_from_threads(producers, per_producer, 50);
    // Room for the closing event: whatever the producers left queued goes before it.
    root.set_queue_limit(1000);
    post("last");
    signal();
    ASSERT_TRUE(Trace::get().wait_count("ev:last@*#", 1));
    ASSERT_TRUE(Trace::get().wait_for([](const Entries& e) { return e.back() == "ev:timer@*#"; }));
    const std::string out = testing::internal::GetCapturedStdout();
    Entries got = log();
    std::vector<int> next_of(producers, 0);
    size_t processed = 0;
    for (const std::string& e : got) {
        if (e == "ev:timer@*#" || e == "ev:last@*#") {
            continue;
        }
        int p = e[4] - '0';
        int i = std::stoi(e.substr(6));
        ASSERT_GE(i, next_of[p]) << e;  // what was kept keeps its order
        next_of[p] = i + 1;
        ++processed;
    }
    EXPECT_EQ(processed + dropped_in_output(out), static_cast<size_t>(producers * per_producer));
}

// The consumer takes every waiting event at once: those it has taken but not yet dispatched still
// count against the limit, events posted meanwhile follow them in the same pass, and names of
// every length travel unchanged through reused slots, pass after pass.
TEST_F(QueueTest, TakenEventsCountAgainstTheLimitUntilDispatched) {
    const std::string long_name = "a-name-longer-than-any-short-string";
    member.add_action("hold", gate_handler);
    root.set_queue_limit(3);
    Gate::get().close();
    testing::internal::CaptureStdout();
    events.start();
    post("hold");
    post("bb");
    post(long_name.c_str());
    post("over");  // the queue holds three
    signal();
    ASSERT_TRUE(Trace::get().wait_count("gate.entered", 1));
    // "hold" is being dispatched and two taken events wait: one more fits, the next does not.
    post("x");
    post("yy");
    Gate::get().open();
    ASSERT_TRUE(wait_ticks(1));
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string text = "The event queue was full (limit 3): 2 events were dropped.";
    EXPECT_EQ(root.get_error(), text);
    EXPECT_EQ(out, "Machine R: " + text + "\n");
    EXPECT_EQ(log(),
              (Entries{"gate.entered", "ev:hold@*#", "ev:bb@*#", "ev:" + long_name + "@*#", "ev:x@*#", "ev:timer@*#"}));

    // Later passes reuse the slots with names shorter, longer and as long as before.
    const std::vector<std::vector<std::string>> passes = {{"a", long_name, "cc"}, {"dd", "e", "ffff"}, {"g", "h"}};
    Entries expected = log();
    for (size_t p = 0; p < passes.size(); ++p) {
        for (const std::string& name : passes[p]) {
            post(name.c_str(), name.size() > 3 ? "S" : "*");
            expected.push_back("ev:" + name + (name.size() > 3 ? "@S#" : "@*#"));
        }
        expected.push_back("ev:timer@*#");
        signal();
        ASSERT_TRUE(wait_ticks(p + 2));
    }
    EXPECT_EQ(log(), expected);
    EXPECT_EQ(root.get_error(), std::string());
    root.set_queue_limit(1000);
}
