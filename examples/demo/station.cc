// A small pumping station run by two locations of one server: the root location "station"
// switches between Stopped and Running, and the superstate location "pump" fills a tank while the
// station runs. The two are joined by their common machine name (the FSM property).
//
// One cycle of the demonstration, paced by the server's update cycle ("timer" events):
//   station: Stopped waits two ticks, then goes to Running and signals "pump_on" to the pump;
//   pump:    Off -> Pumping; each tick raises the level; at level 3 Pumping -> Off with the signal
//            "full" to the station, and the level flow goes Low -> High;
//   station: Running's handler for "full" posts "stop"; Running -> Stopped signals "pump_off".
// A network client may also write "start" or "stop" to the station's EVENT property.
#include <cstdio>

#include "fsm.h"

namespace {

constexpr int kStartTicks = 2;  // ticks Stopped waits before it starts the pump by itself
constexpr int kFullLevel = 3;   // tank level at which the pump stops

void say(FSMstate* sp, const char* what) {
    printf("%s: %s\n", sp->get_name(), what);
    fflush(stdout);
}

// The tank level lives in the pump superstate's private block; its states reach it through
// their parent.
int* tank_level(FSMstate* sp) {
    return static_cast<int*>(sp->get_parent()->get_private());
}

// ---- station states ----

int stopped_enter(FSMstate* sp) {
    *static_cast<int*>(sp->get_private()) = 0;
    say(sp, "entered");
    return 0;
}

int stopped_tick(FSMstate* sp) {
    ++*static_cast<int*>(sp->get_private());
    return 0;
}

int start_due(FSMstate* sp) {
    return *static_cast<int*>(sp->get_private()) >= kStartTicks;
}

int running_enter(FSMstate* sp) {
    say(sp, "entered");
    return 0;
}

// The pump reports a full tank: stop the station with the next pass.
int running_full(FSMstate* sp) {
    say(sp, "tank full, stopping");
    FSMevent stop;
    stop.set_event("stop", "Running");
    sp->post_event(&stop);
    return 0;
}

// ---- pump states ----

void reset_level(FSMstate* sp) {
    *tank_level(sp) = 0;
}

int pumping_enter(FSMstate* sp) {
    say(sp, "entered");
    return 0;
}

int pumping_tick(FSMstate* sp) {
    ++*tank_level(sp);
    printf("%s: level %d\n", sp->get_name(), *tank_level(sp));
    fflush(stdout);
    return 0;
}

int tank_full(FSMstate* sp) {
    return *tank_level(sp) >= kFullLevel;
}

int off_enter(FSMstate* sp) {
    say(sp, "entered");
    return 0;
}

int high_enter(FSMstate* sp) {
    say(sp, "entered");
    return 0;
}

// ---- factories ----

// clang-format off
void build_station(EqFSMlocation* loc) {
    FSMsuperstate* root = loc->state_ptr;
    auto* stopped = new FSMstate("Stopped", "the pump is idle", STATE);
    auto* running = new FSMstate("Running", "the pump is filling the tank", STATE);
    stopped->set_private(sizeof(int));
    stopped->add_action("enter",  stopped_enter);
    stopped->add_action("timer",  stopped_tick);
    //                      event    guard      action  signal      target    next
    stopped->add_transition("timer", start_due, nullptr, "pump_on",  "pump!*", "Running");
    stopped->add_transition("start", nullptr,   nullptr, "pump_on",  "pump!*", "Running");
    running->add_action("enter", running_enter);
    running->add_action("full",  running_full);
    running->add_transition("stop", nullptr,    nullptr, "pump_off", "pump!*", "Stopped");
    root->add_state(1, stopped);
    root->add_state(1, running);
    // Flow 2 holds the pump superstate of the other location, found by name when linked.
    root->add_reference(2, "pump");
    loc->flows.push_back(new D_flow("FLOW_1 station control", loc));
    loc->flows.push_back(new D_flow("FLOW_2 the pump", loc));
}

void build_pump(EqFSMlocation* loc) {
    FSMsuperstate* pump = loc->state_ptr;
    pump->set_private(sizeof(int));
    *static_cast<int*>(pump->get_private()) = 0;
    auto* off = new FSMstate("Off", "motor off", STATE);
    auto* pumping = new FSMstate("Pumping", "motor on", STATE);
    auto* low = new FSMstate("Low", "tank below the mark", STATE);
    auto* high = new FSMstate("High", "tank full", STATE);
    off->add_action("enter", off_enter);
    off->add_transition("pump_on",  nullptr,   reset_level, nullptr, nullptr,   "Pumping");
    pumping->add_action("enter", pumping_enter);
    pumping->add_action("timer", pumping_tick);
    pumping->add_transition("timer",    tank_full, nullptr,     "full",  "Running", "Off");
    pumping->add_transition("pump_off", nullptr,   nullptr,     nullptr, nullptr,   "Off");
    low->add_transition("timer",        tank_full, nullptr,     nullptr, nullptr,   "High");
    high->add_action("enter", high_enter);
    high->add_transition("pump_on",     nullptr,   nullptr,     nullptr, nullptr,   "Low");
    pump->add_state(1, off);
    pump->add_state(1, pumping);
    pump->add_state(2, low);
    pump->add_state(2, high);
    loc->flows.push_back(new D_flow("FLOW_1 the motor", loc));
    loc->flows.push_back(new D_flow("FLOW_2 the tank level", loc));
}

node_info pump_info    = {nullptr,    "pump",    build_pump};
node_info station_info = {&pump_info, "station", build_station};
// clang-format on

}  // namespace

node_info* init_list = &station_info;
