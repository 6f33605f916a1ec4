// The machine registry and the server hooks: creating locations from the factory chain,
// registering roots, attaching superstate locations and sending events by machine name.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fsm.h"
#include "journal.h"

namespace {

int alpha_builds = 0;
int alpha_copy_builds = 0;
int long_builds = 0;

// The states the factories made; they belong to the application, which keeps them to the end.
std::vector<std::unique_ptr<FSMstate>> built_states;

void build_alpha(EqFSMlocation* loc) {
    alpha_builds++;
    built_states.push_back(std::make_unique<FSMstate>("Idle", "", STATE));
    loc->state_ptr->add_state(1, built_states.back().get());
}
void build_alpha_copy(EqFSMlocation*) {
    alpha_copy_builds++;
}
void build_long(EqFSMlocation*) {
    long_builds++;
}

// A root machine that keeps what is posted to it, so that posting can be observed without
// engine threads.
class PostedRoot : public FSMrootstate {
  public:
    PostedRoot(EqFSMlocation* loc, const char* machine) : FSMrootstate(loc, machine, "") {}
    void post_event(FSMevent* ev) override { posted.emplace_back(ev != nullptr ? ev->get_name() : "<pass>"); }
    std::vector<std::string> posted;
};

// A root location whose machine part is a PostedRoot named state_name, with machine name fsm.
std::unique_ptr<EqFSMlocation> make_root(const char* state_name, const char* fsm) {
    auto loc = std::make_unique<EqFSMlocation>(ROOT_STATE);
    delete loc->state_ptr;
    loc->state_ptr = new PostedRoot(loc.get(), state_name);
    loc->state_ptr->set_root(loc->state_ptr);
    loc->fsm.set_state(loc->state_ptr);
    loc->description.set_state(loc->state_ptr);
    loc->event.set_state(loc->state_ptr);
    loc->status.set_state(loc->state_ptr);
    loc->fsm.set_value(fsm);
    return loc;
}

PostedRoot* posted(EqFSMlocation* loc) {
    return static_cast<PostedRoot*>(loc->state_ptr);
}

int send(const char* machine, const char* event) {
    FSMevent ev;
    ev.set_event(event, "*");
    return send_event(const_cast<char*>(machine), &ev);
}

// clang-format off
node_info long_info        = {nullptr,          "abcdefghijklmnopqrstuvwx", build_long};
node_info alpha_copy_info  = {&long_info,       "alpha",                    build_alpha_copy};
node_info alpha_info       = {&alpha_copy_info, "alpha",                    build_alpha};
// clang-format on

class Registry : public ::testing::Test {
  protected:
    void SetUp() override { global_list.init_list(); }
    void TearDown() override { global_list.init_list(); }
};

}  // namespace

node_info* init_list = &alpha_info;

TEST_F(Registry, RootsRegisterOncePerStateName) {
    auto first = make_root("pump", "P1");
    auto second = make_root("pump", "P2");
    global_list.store_node(first.get());
    global_list.store_node(second.get());
    EXPECT_EQ(send("P1", "go"), 0);
    EXPECT_EQ(send("P2", "go"), 1);
    EXPECT_EQ(posted(first.get())->posted, std::vector<std::string>{"go"});
    EXPECT_TRUE(posted(second.get())->posted.empty());
}

TEST_F(Registry, FirstRootOfAMachineNameTakesItsEventsAndSuperstates) {
    // Different state names, the same machine name: both register, the first one answers.
    auto first = make_root("pumpA", "plant");
    auto second = make_root("pumpB", "plant");
    global_list.store_node(first.get());
    global_list.store_node(second.get());
    EXPECT_EQ(second->state_ptr->get_root(), second->state_ptr);  // registered
    EXPECT_EQ(send("plant", "go"), 0);
    EXPECT_EQ(posted(first.get())->posted, std::vector<std::string>{"go"});
    EXPECT_TRUE(posted(second.get())->posted.empty());
    auto sup = std::make_unique<EqFSMlocation>(SUPER_STATE);
    sup->state_ptr->set_name("valve");
    sup->fsm.set_value("plant");
    EXPECT_EQ(global_list.find_node(sup.get()), 0);
    EXPECT_EQ(sup->state_ptr->get_root(), first->state_ptr);
    EXPECT_EQ(first->state_ptr->resolve_link("valve"), sup->state_ptr);
    EXPECT_EQ(second->state_ptr->resolve_link("valve"), nullptr);
}

TEST_F(Registry, EmptiedRegistryTakesTheSameNamesAgain) {
    auto first = make_root("pump", "P");
    global_list.store_node(first.get());
    global_list.init_list();
    auto again = make_root("pump", "P");
    global_list.store_node(again.get());
    EXPECT_EQ(send("P", "go"), 0);
    EXPECT_EQ(posted(again.get())->posted, std::vector<std::string>{"go"});
}

TEST_F(Registry, SendEventMatchesMachineNameExactly) {
    auto loc = make_root("pump", "Pump");
    global_list.store_node(loc.get());
    EXPECT_EQ(send("pump", "go"), 1);
    EXPECT_EQ(send("Pum", "go"), 1);
    EXPECT_EQ(send(nullptr, "go"), 1);
    EXPECT_EQ(send("Pump", "go"), 0);
    EXPECT_EQ(posted(loc.get())->posted.size(), 1u);
}

TEST_F(Registry, OnlyRootLocationsRegister) {
    auto sup = std::make_unique<EqFSMlocation>(SUPER_STATE);
    sup->fsm.set_value("S");
    global_list.store_node(sup.get());
    EXPECT_EQ(send("S", "go"), 1);
    global_list.store_node(nullptr);
}

TEST_F(Registry, SuperstateAttachesToRootOfItsMachineName) {
    auto root = make_root("station", "plant");
    global_list.store_node(root.get());
    auto sup = std::make_unique<EqFSMlocation>(SUPER_STATE);
    sup->state_ptr->set_name("pump");
    sup->fsm.set_value("plant");
    auto member = std::make_unique<FSMstate>("Off", "", STATE);
    sup->state_ptr->add_state(1, member.get());
    EXPECT_EQ(global_list.find_node(sup.get()), 0);
    EXPECT_EQ(sup->state_ptr->get_root(), root->state_ptr);
    EXPECT_EQ(member->get_root(), root->state_ptr);
    EXPECT_EQ(root->state_ptr->resolve_link("pump"), sup->state_ptr);

    auto stray = std::make_unique<EqFSMlocation>(SUPER_STATE);
    stray->fsm.set_value("Plant");
    EXPECT_EQ(global_list.find_node(stray.get()), 1);
    EXPECT_EQ(stray->state_ptr->get_root(), nullptr);
    // A root location is not attached anywhere.
    EXPECT_EQ(global_list.find_node(root.get()), 0);
}

TEST_F(Registry, SuperstateCannotAttachToEmptyRegistry) {
    auto sup = std::make_unique<EqFSMlocation>(SUPER_STATE);
    sup->fsm.set_value("");
    EXPECT_EQ(global_list.find_node(sup.get()), 1);
}

TEST_F(Registry, EmptiedRegistryStartsNoMachine) {
    auto loc = make_root("pump", "P");
    global_list.store_node(loc.get());
    eq_init_prolog();
    EXPECT_EQ(send("P", "go"), 1);
    eq_init_epilog();
    EXPECT_EQ(loc->fsm_ready, 0);
    global_list.link_nodes();
}

TEST(Hooks, OnlyFsmCodesCreateLocations) {
    int before = velko_init;
    EXPECT_EQ(eq_create(99, nullptr), nullptr);
    EXPECT_EQ(eq_create(102, nullptr), nullptr);
    EXPECT_EQ(velko_init, before);
    gbl_fct_name = "alpha";
    EqFct* root = eq_create(CodeFsmRootState, nullptr);
    EqFct* sup = eq_create(CodeFsmSuperState, nullptr);
    ASSERT_NE(root, nullptr);
    ASSERT_NE(sup, nullptr);
    EXPECT_EQ(root->fct_code(), CodeFsmRootState);
    EXPECT_EQ(sup->fct_code(), CodeFsmSuperState);
    EXPECT_EQ(velko_init, 1);
    EXPECT_NE(velko_call, nullptr);
    // The shared objects are made once.
    velko::EqCall* call = velko_call;
    delete eq_create(CodeFsmRootState, nullptr);
    EXPECT_EQ(velko_call, call);
    delete root;
    delete sup;
}

TEST(Hooks, FirstFactoryOfTheNameBuildsTheMachine) {
    alpha_builds = alpha_copy_builds = 0;
    gbl_fct_name = "alpha";
    auto* loc = static_cast<EqFSMlocation*>(eq_create(CodeFsmRootState, nullptr));
    EXPECT_EQ(alpha_builds, 1);
    EXPECT_EQ(alpha_copy_builds, 0);
    EXPECT_STREQ(loc->state_ptr->get_name(), "alpha");
    EXPECT_EQ(loc->state_ptr->get_flow_count(), 1);
    EXPECT_NE(loc->prop_mux, nullptr);
    delete loc;
}

TEST(Hooks, ChangesOfTheFactoryChainAreFollowed) {
    alpha_builds = alpha_copy_builds = long_builds = 0;
    gbl_fct_name = "alpha";
    delete eq_create(CodeFsmSuperState, nullptr);
    EXPECT_EQ(alpha_builds, 1);
    // A new head with its own "alpha" in front.
    node_info front = {&alpha_info, "alpha", build_long};
    init_list = &front;
    delete eq_create(CodeFsmSuperState, nullptr);
    EXPECT_EQ(long_builds, 1);
    EXPECT_EQ(alpha_builds, 1);
    // A record appended to the chain in use.
    node_info appended = {nullptr, "gamma", build_alpha_copy};
    long_info.link = &appended;
    gbl_fct_name = "gamma";
    delete eq_create(CodeFsmSuperState, nullptr);
    EXPECT_EQ(alpha_copy_builds, 1);
    long_info.link = nullptr;
    init_list = &alpha_info;
}

TEST(Hooks, LongestFactoryNameMatches) {
    long_builds = 0;
    gbl_fct_name = "abcdefghijklmnopqrstuvwx";
    delete eq_create(CodeFsmSuperState, nullptr);
    EXPECT_EQ(long_builds, 1);
    gbl_fct_name = "abcdefghijklmnopqrstuvwxy";
    delete eq_create(CodeFsmSuperState, nullptr);
    EXPECT_EQ(long_builds, 1);
}

TEST(Hooks, UnknownKindGivesEmptyMachineQuietly) {
    gbl_fct_name = "beta";
    testing::internal::CaptureStdout();
    auto* loc = static_cast<EqFSMlocation*>(eq_create(CodeFsmRootState, nullptr));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_NE(loc, nullptr);
    EXPECT_STREQ(loc->state_ptr->get_name(), "");
    EXPECT_EQ(loc->prop_mux, nullptr);
    delete loc;
}

TEST(Hooks, EmptyKindIsReported) {
    gbl_fct_name = "";
    testing::internal::CaptureStdout();
    EqFct* loc = eq_create(CodeFsmSuperState, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "undefined location 101\n");
    EXPECT_NE(loc, nullptr);
    delete loc;
}

TEST(Hooks, QuietHooksChangeNothing) {
    global_list.init_list();
    auto loc = make_root("quiet", "Q");
    global_list.store_node(loc.get());
    post_init_prolog();
    post_init_epilog();
    refresh_prolog();
    refresh_epilog();
    interrupt_usr1_prolog(10);
    interrupt_usr1_epilog(10);
    eq_cancel();
    EXPECT_EQ(send("Q", "go"), 0);
    global_list.init_list();
}

// A save-and-restore call may hold velko_mux before the server starts: the first eq_create must
// neither reset that mutex under its holder nor publish the client outside it.
TEST(Hooks, FirstLocationLeavesAHeldClientMutexHeld) {
    ASSERT_EQ(velko_call, nullptr);
    ASSERT_EQ(pthread_mutex_lock(&velko_mux), 0);
    std::atomic<bool> created{false};
    std::thread creator([&] {
        gbl_fct_name = "";
        EqFct* loc = eq_create(CodeFsmRootState, nullptr);
        EXPECT_NE(loc, nullptr);
        delete loc;
        created = true;
    });
    // The creator waits for the mutex; had it been initialised again, it would be free now.
    EXPECT_FALSE(testsupport::poll_until([&] { return created.load(); }, std::chrono::milliseconds(200)));
    std::thread prober([] { EXPECT_EQ(pthread_mutex_trylock(&velko_mux), EBUSY); });
    prober.join();
    pthread_mutex_unlock(&velko_mux);
    creator.join();
    EXPECT_TRUE(created.load());
    EXPECT_NE(velko_call, nullptr);
}
