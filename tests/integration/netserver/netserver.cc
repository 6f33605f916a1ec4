// The server program of the multi-process network tests. It serves two kinds of location:
//   "tank"      plain equipment: LEVEL (int) that any client may read, write and monitor, and
//               LEVELS, the history of the values written to LEVEL;
//   "follower"  a machine whose root mirrors the int property named by NETSERVER_SOURCE
//               through a data channel. Flow 1 follows it (Low below 5, High from 5 up),
//               flow 2 moves on the events "start" (Idle -> Busy) and "stop" (Busy -> Idle).
// Usage: netserver [--port N] [--rate MS] CONFIGURATION_FILE
#include <cstdlib>
#include <string>

#include "fsm.h"

namespace {

constexpr int kTankLocationCode = 10;
constexpr int kHighLevel = 5;

int level(FSMstate* sp) {
    int value = 0;
    sp->data_get(sp->data_open("level", 0), &value, 0);
    return value;
}

int level_high(FSMstate* sp) {
    return level(sp) >= kHighLevel;
}

int level_low(FSMstate* sp) {
    return level(sp) < kHighLevel;
}

// clang-format off
void build_follower(EqFSMlocation* loc) {
    FSMsuperstate* root = loc->state_ptr;
    const char* source = std::getenv("NETSERVER_SOURCE");
    root->add_data("level", nullptr, source);
    auto* low = new FSMstate("Low", "the level is below the mark", STATE);
    auto* high = new FSMstate("High", "the level is at the mark or above", STATE);
    auto* idle = new FSMstate("Idle", "waiting for start", STATE);
    auto* busy = new FSMstate("Busy", "working", STATE);
    //                   event    guard       action   signal   target   next
    low->add_transition("timer",  level_high, nullptr, nullptr, nullptr, "High");
    high->add_transition("timer", level_low,  nullptr, nullptr, nullptr, "Low");
    idle->add_transition("start", nullptr,    nullptr, nullptr, nullptr, "Busy");
    busy->add_transition("stop",  nullptr,    nullptr, nullptr, nullptr, "Idle");
    root->add_state(1, low);
    root->add_state(1, high);
    root->add_state(2, idle);
    root->add_state(2, busy);
    loc->flows.push_back(new D_flow("FLOW_1 follows the level", loc));
    loc->flows.push_back(new D_flow("FLOW_2 work", loc));
}
// clang-format on

node_info follower_info = {nullptr, "follower", build_follower};

EqFct* create_location(int eq_code, void* arg) {
    if (eq_code == kTankLocationCode) {
        auto* tank = new EqFct("tank");
        auto* level = new velko::D_value<int>("LEVEL the tank level", tank);
        level->attach_hist(new D_hist("LEVELS the recent levels", tank));
        return tank;
    }
    return eq_create(eq_code, arg);
}

}  // namespace

node_info* init_list = &follower_info;

int main(int argc, char** argv) {
    velko::ServerHooks hooks = velko::application_hooks();
    hooks.eq_create = create_location;
    return velko::run_server(argc, argv, hooks);
}
