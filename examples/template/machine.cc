// The smallest complete server with a state machine: one root location whose machine counts
// update cycles while it runs.
//
//   flow 1:  Idle --start--> Counting --stop--> Idle
//            Counting --timer [COUNT reached LIMIT]--> Idle
//
// Usage: machine_server [--rate MS] [--cycles N] [--port N] machine.conf
#include "fsm.h"

namespace {

// COUNT and LIMIT are properties of the location; states reach them through handles.
int count(FSMstate* sp) {
    int n = 0;
    sp->data_get(sp->data_open("COUNT", 0), &n, 0);
    return n;
}

int reset_count(FSMstate* sp) {
    sp->data_set(sp->data_open("COUNT", 0), 0, 0);
    return 0;
}

int count_tick(FSMstate* sp) {
    sp->data_set(sp->data_open("COUNT", 0), count(sp) + 1, 0);
    return 0;
}

int limit_reached(FSMstate* sp) {
    int limit = 0;
    sp->data_get(sp->data_open("LIMIT", 0), &limit, 0);
    return count(sp) >= limit;
}

// clang-format off
void build_counter(EqFSMlocation* loc) {
    loc->velko_data.push_back(new velko::D_value<int>("COUNT cycles counted", loc));
    loc->velko_data.push_back(new velko::D_value<int>("LIMIT cycles to count", loc));

    FSMsuperstate* root = loc->state_ptr;
    auto* idle     = new FSMstate("Idle",     "waiting for start", STATE);
    auto* counting = new FSMstate("Counting", "counting cycles",   STATE);
    counting->add_action("enter", reset_count);
    counting->add_action("timer", count_tick);
    //                      event    guard          action   signal   target   next
    idle->add_transition(    "start", nullptr,       nullptr, nullptr, nullptr, "Counting");
    counting->add_transition("stop",  nullptr,       nullptr, nullptr, nullptr, "Idle");
    counting->add_transition("timer", limit_reached, nullptr, nullptr, nullptr, "Idle");
    root->add_state(1, idle);
    root->add_state(1, counting);
    loc->flows.push_back(new D_flow("FLOW_1 the counter", loc));
}

// One factory record per kind of machine; the configuration's kind name selects it.
node_info counter_info = {nullptr, "counter", build_counter};
// clang-format on

}  // namespace

node_info* init_list = &counter_info;

int main(int argc, char** argv) {
    return velko::run_server(argc, argv, velko::application_hooks());
}
