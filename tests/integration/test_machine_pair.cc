// Two machines of one server that watch each other: each root has data channels on the other's
// FLOW_1 and FAULT and refreshes them on every accepted event, while events switch both machines'
// flows and set and clear their errors. Reading another machine's flow from inside a refresh
// must neither deadlock against that machine's own refresh nor show a torn state.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>

#include "fsm.h"
#include "fsm_client.h"
#include "journal.h"
#include "machine_stop.h"
#include "velko_test.h"

extern "C" const char* __tsan_default_options() {
    return "halt_on_error=1";
}

namespace {

const bool machine_stop_installed = testsupport::install_machine_stop();

std::atomic<int> refreshes{0};
std::atomic<int> bad_reads{0};
std::atomic<int> faults_seen{0};

bool valid_flow_text(const char* text) {
    return std::strcmp(text, "Red : stop") == 0 || std::strcmp(text, "Green : go") == 0 ||
           std::strcmp(text, "Green : flagged") == 0;
}

bool valid_fault_text(const char* text) {
    return text[0] == '\0' || std::strcmp(text, "peer is green") == 0;
}

// Reads the peer's channels after they were refreshed for this event; shows the peer's green
// light as this machine's fault.
int check_peer(FSMstate* sp) {
    velko::EqData flow;
    velko::EqData fault;
    int hf = sp->data_open("peer_flow", 0);
    int hu = sp->data_open("peer_fault", 0);
    if (hf < 0 || hu < 0 || sp->data_get(hf, flow) != 0 || sp->data_get(hu, fault) != 0) {
        bad_reads.fetch_add(1);
        return 0;
    }
    const USTR* f = flow.get_ustr(0);
    const USTR* u = fault.get_ustr(0);
    if (flow.error() != 0 || fault.error() != 0 || f == nullptr || u == nullptr ||
        !valid_flow_text(f->str_data.str_data_val) || !valid_fault_text(u->str_data.str_data_val)) {
        bad_reads.fetch_add(1);
    } else if (u->str_data.str_data_val[0] != '\0') {
        faults_seen.fetch_add(1);
    }
    if (f != nullptr && std::strncmp(f->str_data.str_data_val, "Green", 5) == 0) {
        sp->set_error("peer is green");
    }
    refreshes.fetch_add(1);
    return 0;
}

int flag_error(FSMstate* sp) {
    sp->set_error("flagged");
    return 0;
}

// clang-format off
void build(EqFSMlocation* loc, const char* peer) {
    FSMsuperstate* root = loc->state_ptr;
    std::string base = std::string("TEST.FAC/PAIR/") + peer;
    root->add_data("peer_flow",  nullptr, (base + "/FLOW_1").c_str());
    root->add_data("peer_fault", nullptr, (base + "/FAULT").c_str());
    root->add_action("during", check_peer);
    auto* red   = new FSMstate("Red",   "stop", STATE);
    auto* green = new FSMstate("Green", "go",   STATE);
    //                    event   guard    action   signal   target   next
    red->add_transition(  "flip", nullptr, nullptr, nullptr, nullptr, "Green");
    green->add_transition("flip", nullptr, nullptr, nullptr, nullptr, "Red");
    green->add_action("during", flag_error);
    root->add_state(1, red);
    root->add_state(1, green);
    loc->flows.push_back(new D_flow("FLOW_1 the light", loc));
}

void build_left(EqFSMlocation* loc)  { build(loc, "RIGHT"); }
void build_right(EqFSMlocation* loc) { build(loc, "LEFT"); }

node_info right_info = {nullptr,     "right", build_right};
node_info left_info  = {&right_info, "left",  build_left};
// clang-format on

}  // namespace

node_info* init_list = &left_info;

TEST(MachinePair, MachinesReadingEachOthersFlowsNeverDeadlock) {
    testsupport::TempDir dir;
    std::string conf = testsupport::ConfigWriter("TEST.FAC", "PAIR")
                           .rate(1)
                           .location("LEFT", CodeFsmRootState, "left")
                           .property("FSM", "left")
                           .property("FLOW_1", "0 0 0 0 \"Red\"")
                           .location("RIGHT", CodeFsmRootState, "right")
                           .property("FSM", "right")
                           .property("FLOW_1", "0 0 0 0 \"Green\"")
                           .write(dir.file("pair.conf"));
    velko::ServerOptions options;
    options.config_file = conf;
    // The locations outlive the server; the end of the test stops their machines.
    auto server = std::make_unique<velko::Server>(options, velko::application_hooks());
    ASSERT_EQ(server->start(), 0) << server->error();

    // Every cycle flips both machines, so each refresh races the other machine's switch and its
    // error being set and cleared.
    fsmtest::Client client("TEST.FAC/PAIR/");
    const int kWanted = 2000;
    bool done = fsmtest::cycle_until(
        *server,
        [&] {
            client.set_text("LEFT/EVENT", "flip:!");
            client.set_text("RIGHT/EVENT", "flip:!");
            return refreshes.load() >= kWanted;
        },
        std::chrono::seconds(60));
    ASSERT_TRUE(done) << "the machines stopped refreshing after " << refreshes.load()
                      << " refreshes: the two machines wait on each other";
    EXPECT_EQ(bad_reads.load(), 0);
    EXPECT_GT(faults_seen.load(), 0);
}
