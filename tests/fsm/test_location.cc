// The FSM location: construction, binding, start-up from configured flow values, registration,
// and the three engine threads with their start-up handshake and pacing.
#include <gtest/gtest.h>
#include <signal.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "fsm.h"
#include "journal.h"
#include "machine_stop.h"

namespace {

const bool machine_stop_installed = testsupport::install_machine_stop();

testsupport::Journal journal;

// A gate that a machine action waits at until the test opens it.
class Gate {
  public:
    void open() {
        {
            std::lock_guard<std::mutex> lock(mux_);
            open_ = true;
        }
        cv_.notify_all();
    }
    void pass() {
        std::unique_lock<std::mutex> lock(mux_);
        cv_.wait(lock, [&] { return open_; });
    }

  private:
    std::mutex mux_;
    std::condition_variable cv_;
    bool open_ = false;
};

Gate enter_gate;

std::string event_of(FSMstate* sp) {
    const char* n = sp->get_event_name();
    return n[0] != '\0' ? n : "timer";
}

int record_poll(FSMstate* sp) {
    journal.add(std::string(sp->get_name()) + ":" + event_of(sp));
    return 0;
}

int record_irq1(FSMstate* sp) {
    journal.add(std::string(sp->get_name()) + ":irq1");
    return 0;
}

int record_irq2(FSMstate* sp) {
    journal.add(std::string(sp->get_name()) + ":irq2");
    return 0;
}

int gated_enter(FSMstate*) {
    journal.add("enter-begin");
    enter_gate.pass();
    journal.add("enter-end");
    return 0;
}

// Records whether this thread blocks the four signals kept away from engine threads.
int record_mask(FSMstate*) {
    sigset_t cur;
    pthread_sigmask(SIG_BLOCK, nullptr, &cur);
    bool all = sigismember(&cur, SIGALRM) == 1 && sigismember(&cur, SIGUSR1) == 1 && sigismember(&cur, SIGUSR2) == 1 &&
               sigismember(&cur, 23) == 1;
    journal.add(all ? "masked" : "unmasked");
    return 0;
}

// A root location with one flow holding "Idle", which records every event it accepts. The
// location goes first, stopping its engine threads, then the state.
struct Root {
    explicit Root(const char* machine) {
        loc.state_ptr->set_name(machine);
        loc.fsm.set_value(machine);
        idle.add_action("poll", record_poll);
        idle.add_action("interrupt1", record_irq1);
        idle.add_action("interrupt2", record_irq2);
        loc.state_ptr->add_state(1, &idle);
        loc.bind();
    }
    ~Root() { global_list.init_list(); }

    FSMstate idle{"Idle", "waiting", STATE};
    EqFSMlocation loc{ROOT_STATE};
};

bool ready(EqFSMlocation* loc) {
    pthread_mutex_lock(&loc->mux);
    bool r = loc->fsm_ready == 1;
    pthread_mutex_unlock(&loc->mux);
    return r;
}

void start(EqFSMlocation* loc) {
    global_list.init_list();
    global_list.store_node(loc);
    global_list.link_nodes();
}

void post(EqFSMlocation* loc, const char* name) {
    FSMevent ev;
    ev.set_event(name, "*");
    loc->state_ptr->post_event(&ev);
}

// Waits until the journal ends with line.
bool wait_last(const std::string& line) {
    return journal.wait_for([&](const testsupport::Journal::Lines& l) { return !l.empty() && l.back() == line; });
}

}  // namespace

TEST(LocationBuild, CodesAndProperties) {
    EqFSMlocation root(ROOT_STATE);
    EqFSMlocation sup(SUPER_STATE);
    EXPECT_EQ(root.fct_code(), CodeFsmRootState);
    EXPECT_EQ(sup.fct_code(), CodeFsmSuperState);
    EXPECT_EQ(root.state_ptr->get_type(), ROOT_STATE);
    EXPECT_EQ(root.state_ptr->get_root(), root.state_ptr);
    EXPECT_EQ(sup.state_ptr->get_type(), SUPER_STATE);
    EXPECT_EQ(sup.state_ptr->get_root(), nullptr);
    EXPECT_EQ(sup.state_ptr->get_location(), &sup);
    for (const char* p : {"FSM", "DESCR", "EVENT", "FAULT"}) {
        EXPECT_NE(root.find_property(p), nullptr) << p;
    }
    EXPECT_EQ(root.prop_mux, nullptr);
    EXPECT_EQ(root.fsm_ready, 0);
}

TEST(LocationBuild, BindMakesOneMutexPerPropertyOnce) {
    EqFSMlocation loc(ROOT_STATE);
    D_string a("A first", &loc);
    D_string b("B second", &loc);
    D_string c("C address", &loc);
    loc.velko_data.push_back(&a);
    loc.velko_data.push_back(&b);
    loc.velko_address.push_back(&c);
    loc.bind();
    ASSERT_NE(loc.prop_mux, nullptr);
    pthread_mutex_t* first = loc.prop_mux;
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(pthread_mutex_trylock(&loc.prop_mux[i]), 0);
        EXPECT_EQ(pthread_mutex_unlock(&loc.prop_mux[i]), 0);
    }
    loc.velko_data.push_back(&c);
    loc.bind();
    EXPECT_EQ(loc.prop_mux, first);
}

TEST(LocationStart, InitSetsStatusAndFlowAttributes) {
    EqFSMlocation loc(ROOT_STATE);
    FSMstate idle("Idle", "", STATE);
    FSMstate busy("Busy", "", STATE);
    FSMstate left("Left", "", STATE);
    FSMstate right("Right", "", STATE);
    loc.state_ptr->add_state(1, &idle);
    loc.state_ptr->add_state(1, &busy);
    loc.state_ptr->add_state(2, &left);
    loc.state_ptr->add_state(2, &right);
    D_flow f1("FLOW_1 main", &loc);
    D_flow f2("FLOW_2 side", &loc);
    D_flow odd("FLOWS without number", &loc);
    loc.flows.push_back(&f1);
    loc.flows.push_back(&odd);
    loc.flows.push_back(&f2);
    // The values as a configuration read leaves them: the stored length counts the NUL.
    char text1[] = "Busy is the default";
    USTR v1{1, 0.0f, 0.0f, 0, {static_cast<int>(sizeof(text1)), text1}};
    f1.set_value(&v1);
    char text2[] = "R";
    USTR v2{0, 0.0f, 0.0f, 0, {1, text2}};  // length 1: no name
    f2.set_value(&v2);
    loc.set_error(5, "old trouble");
    loc.g_sts.change_bit(true, D_gen_sts::ERROR);

    loc.init();

    EXPECT_TRUE(loc.g_sts.bit(D_gen_sts::ONLINE));
    EXPECT_FALSE(loc.g_sts.bit(D_gen_sts::ERROR));
    EXPECT_FALSE(loc.g_sts.bit(D_gen_sts::NEW_ERROR));
    EXPECT_EQ(loc.get_error(), 0);
    ASSERT_EQ(loc.state_ptr->link_state(), 0);
    EXPECT_STREQ(loc.state_ptr->get_ast_name(1, nullptr, 0), "Busy");
    EXPECT_EQ(loc.state_ptr->get_flag(1), 1);
    EXPECT_STREQ(loc.state_ptr->get_ast_name(2, nullptr, 0), "Left");
    EXPECT_EQ(loc.state_ptr->get_flag(2), 0);
    // Every flow property now shows the machine part, including the one without a number.
    EXPECT_STREQ(f1.get_val(0)->str_data.str_data_val, "Busy : ");
    EXPECT_STREQ(odd.get_val(0)->str_data.str_data_val, "No such location");
}

TEST(LocationStart, CompleteRegistersRootOrReportsMissingParent) {
    global_list.init_list();
    EqFSMlocation root(ROOT_STATE);
    root.state_ptr->set_name("pump");
    root.fsm.set_value("pump");
    EqFSMlocation orphan(SUPER_STATE);
    orphan.state_ptr->set_name("valve");
    orphan.fsm.set_value("nowhere");
    testing::internal::CaptureStdout();
    root.complete();
    orphan.complete();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "The parent of " + orphan.name() + " is undefined\n");
    EXPECT_EQ(orphan.state_ptr->get_root(), nullptr);
    FSMevent ev;
    ev.set_event("x", "*");
    EXPECT_EQ(send_event(const_cast<char*>("pump"), &ev), 0);
    global_list.init_list();
}

TEST(LocationStart, OnlineChangesNothing) {
    EqFSMlocation loc(ROOT_STATE);
    loc.g_sts.change_bit(false, D_gen_sts::ONLINE);
    loc.online();
    EXPECT_FALSE(loc.g_sts.bit(D_gen_sts::ONLINE));
}

TEST(EngineThreads, EachUpdatePassEndsWithOneTimer) {
    journal.clear();
    Root root("pacer");
    EqFSMlocation* loc = &root.loc;
    start(loc);
    ASSERT_TRUE(testsupport::poll_until([&] { return ready(loc); }));
    loc->update();
    ASSERT_TRUE(journal.wait_count("Idle:timer", 1));
    post(loc, "a");
    post(loc, "b");
    loc->update();
    ASSERT_TRUE(journal.wait_count("Idle:timer", 2));
    EXPECT_EQ(journal.lines(), (testsupport::Journal::Lines{"Idle:timer", "Idle:a", "Idle:b", "Idle:timer"}));
}

TEST(EngineThreads, UpdatesBeforeReadinessAreDropped) {
    journal.clear();
    Root root("early");
    EqFSMlocation* loc = &root.loc;
    post(loc, "queued");
    loc->update();
    loc->interrupt1();
    start(loc);
    ASSERT_TRUE(testsupport::poll_until([&] { return ready(loc); }));
    post(loc, "later");
    loc->update();
    ASSERT_TRUE(wait_last("Idle:timer"));
    // An honoured early update would have run a pass of its own before "later" was posted.
    EXPECT_EQ(journal.lines(), (testsupport::Journal::Lines{"Idle:queued", "Idle:later", "Idle:timer"}));
}

TEST(EngineThreads, InterruptsRunTheirOwnPasses) {
    journal.clear();
    Root root("irq");
    EqFSMlocation* loc = &root.loc;
    start(loc);
    ASSERT_TRUE(testsupport::poll_until([&] { return ready(loc); }));
    loc->interrupt1();
    ASSERT_TRUE(journal.wait_count("Idle:irq1", 1));
    loc->interrupt2();
    ASSERT_TRUE(journal.wait_count("Idle:irq2", 1));
    EXPECT_EQ(journal.count("Idle:timer"), 0u);
}

TEST(EngineThreads, SuperstateLocationDoesNotPaceTheMachine) {
    journal.clear();
    // The superstate location outlives the machine that links to it.
    auto sup = std::make_unique<EqFSMlocation>(SUPER_STATE);
    Root root("paced");
    EqFSMlocation* loc = &root.loc;
    sup->fsm.set_value("paced");
    sup->state_ptr->set_name("part");
    global_list.init_list();
    global_list.store_node(loc);
    ASSERT_EQ(global_list.find_node(sup.get()), 0);
    global_list.link_nodes();
    ASSERT_TRUE(testsupport::poll_until([&] { return ready(loc); }));
    post(loc, "first");
    sup->update();
    sup->interrupt1();
    post(loc, "second");
    loc->update();
    ASSERT_TRUE(wait_last("Idle:timer"));
    EXPECT_EQ(journal.lines(), (testsupport::Journal::Lines{"Idle:first", "Idle:second", "Idle:timer"}));
}

TEST(EngineThreads, InterruptWaitsForMachineEntry) {
    journal.clear();
    Root root("gated");
    EqFSMlocation* loc = &root.loc;
    FSMstate* idle = nullptr;
    loc->state_ptr->get_st_name(1, 0, &idle);
    ASSERT_NE(idle, nullptr);
    idle->add_action("enter", gated_enter);
    loc->state_ptr->add_action("interrupt1", record_irq1);
    start(loc);
    ASSERT_TRUE(journal.wait_count("enter-begin", 1));
    // The root is active by now; only the handshake keeps its interrupt thread waiting.
    loc->state_ptr->post_irq1(nullptr);
    EXPECT_FALSE(journal.wait_count("gated:irq1", 1, std::chrono::milliseconds(200)));
    EXPECT_FALSE(ready(loc));
    enter_gate.open();
    ASSERT_TRUE(journal.wait_count("gated:irq1", 1));
    testsupport::Journal::Lines lines = journal.lines();
    auto pos = [&](const std::string& s) { return std::find(lines.begin(), lines.end(), s) - lines.begin(); };
    EXPECT_LT(pos("enter-end"), pos("gated:irq1"));
    EXPECT_TRUE(ready(loc));
}

TEST(EngineThreads, EngineThreadsBlockServerSignals) {
    journal.clear();
    Root root("masks");
    EqFSMlocation* loc = &root.loc;
    FSMstate* idle = nullptr;
    loc->state_ptr->get_st_name(1, 0, &idle);
    idle->add_action("enter", record_mask);
    idle->add_action("interrupt1", record_mask);
    sigset_t before;
    pthread_sigmask(SIG_BLOCK, nullptr, &before);
    start(loc);
    sigset_t after;
    pthread_sigmask(SIG_BLOCK, nullptr, &after);
    for (int sig : {SIGALRM, SIGUSR1, SIGUSR2, 23}) {
        EXPECT_EQ(sigismember(&before, sig), sigismember(&after, sig)) << sig;
    }
    ASSERT_TRUE(testsupport::poll_until([&] { return ready(loc); }));
    loc->interrupt1();
    ASSERT_TRUE(journal.wait_for([](const testsupport::Journal::Lines& l) { return l.size() >= 2; }));
    EXPECT_EQ(journal.lines(), (testsupport::Journal::Lines{"masked", "masked"}));
}
