// A machine whose engine thread the system refuses stops the server's start with a sentence that
// names the machine, its location and the limit to look at; the program exits with status 1.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <ostream>
#include <string>

#include "fsm.h"
#include "fsm_engine_start.h"
#include "journal.h"
#include "velko_test.h"

namespace {

const bool fast_exit_installed = testsupport::install_fast_exit();

void build_one_state(EqFSMlocation* loc) {
    loc->state_ptr->add_state(1, new FSMstate("Idle", "", STATE));
}

// clang-format off
node_info third_info  = {nullptr,      "third",  build_one_state};
node_info second_info = {&third_info,  "second", build_one_state};
node_info first_info  = {&second_info, "first",  build_one_state};
// clang-format on

// Thread creation that fails once, at the given creation (counted from 1), with the given error.
std::atomic<int> creations{0};
int refused_creation = 0;
int refusal = 0;

int refuse_one(pthread_t* id, const pthread_attr_t* attr, void* (*run)(void*), void* arg) {
    if (creations.fetch_add(1) + 1 == refused_creation) {
        return refusal;
    }
    return pthread_create(id, attr, run, arg);
}

std::string three_machines(const testsupport::TempDir& dir) {
    testsupport::ConfigWriter w("TEST.FAC", "LIMIT");
    w.location("L1", CodeFsmRootState, "first").property("FSM", "first");
    w.location("L2", CodeFsmRootState, "second").property("FSM", "second");
    w.location("L3", CodeFsmRootState, "third").property("FSM", "third");
    return w.write(dir.file("limit.conf"));
}

struct Refusal {
    const char* name;
    int creation;
    int error;
    const char* sentence;      // the start of the server's error
    bool names_thread_limits;  // the error lists the limits on threads
};

void PrintTo(const Refusal& r, std::ostream* out) {
    *out << r.name;
}

// clang-format off
const Refusal refusals[] = {
    {"FirstThreadNotPermitted", 1, EPERM,  "The machine first of location L1 cannot run: its interrupt-line-1 thread could not be "
                "created after 0 machine(s) had started. The system refused the thread (Operation not permitted).",
     false},
    {"SecondMachineAtTheLimit", 5, EAGAIN, "The machine second of location L2 cannot run: its interrupt-line-2 thread could not be "
                "created after 1 machine(s) had started. The system refused the thread (Resource temporarily "
                "unavailable). A limit on threads was reached: the user's RLIMIT_NPROC (ulimit -u, now ",
     true},
    {"LastThreadAtTheLimit",    9, EAGAIN, "The machine third of location L3 cannot run: its event thread could not be created after 2 "
                "machine(s) had started.",
     true},
};
// clang-format on

class ThreadLimit : public ::testing::TestWithParam<Refusal> {
  protected:
    void SetUp() override {
        refused_creation = GetParam().creation;
        refusal = GetParam().error;
        fsm_create_thread = refuse_one;
    }
};

}  // namespace

node_info* init_list = &first_info;

TEST_P(ThreadLimit, TheStartFailsNamingTheMachineAndTheLimit) {
    const Refusal& r = GetParam();
    testsupport::TempDir dir;
    velko::Server server({three_machines(dir)}, velko::application_hooks());
    EXPECT_EQ(server.start(), 1);
    EXPECT_EQ(server.error().rfind(r.sentence, 0), 0u) << server.error();
    for (const char* limit : {"RLIMIT_NPROC", "kernel.threads-max", "kernel.pid_max", "vm.max_map_count"}) {
        EXPECT_EQ(server.error().find(limit) != std::string::npos, r.names_thread_limits) << server.error();
    }
    EXPECT_EQ(creations.load(), r.creation);  // no machine after the refused one gets threads
    EXPECT_TRUE(server.locations().empty());
}

INSTANTIATE_TEST_SUITE_P(Refusals, ThreadLimit, ::testing::ValuesIn(refusals),
                         [](const ::testing::TestParamInfo<Refusal>& p) { return std::string(p.param.name); });

TEST(ThreadLimitProgram, ExitsWithOneAndTheSentence) {
    refused_creation = 2;
    refusal = EAGAIN;
    fsm_create_thread = refuse_one;
    testsupport::TempDir dir;
    std::string conf = three_machines(dir);
    char program[] = "limited";
    char* argv[] = {program, conf.data()};
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    EXPECT_EQ(velko::run_server(2, argv, velko::application_hooks()), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // no start-up line
    EXPECT_EQ(testing::internal::GetCapturedStderr().rfind(
                  "limited: The machine first of location L1 cannot run: its interrupt-line-2 thread", 0),
              0u);
}
