// A small machine for the server tests: the root location "controller" and the superstate
// location "unit", joined by their machine name. Each test program defines init_list = plant_chain().
//
// controller (root): handlers "jam"/"unjam" set and clear a jam; while jammed every accepted
//   event records the error "conveyor jammed" on the root (shown by FAULT), and Busy records
//   "jammed while busy" (shown by FLOW_1).
//   flow 1: Idle --start--> Busy (signals "begin" to "unit!*"), Busy --stop--> Idle
//   flow 2: the superstate "unit" of the other location, by reference
// unit (superstate location):
//   flow 1: Off --begin--> On, On --off--> Off, On --finish--> unit (finishes the flow)
//   flow 2: Watch --off--> Sleep; Watch's handler "alarm" reports error 7 with server_error
#pragma once

#include "fsm.h"

namespace plant {

inline int jammed = 0;  // touched only by the machine's event thread

inline int on_jam(FSMstate*) {
    jammed = 1;
    return 0;
}

inline int on_unjam(FSMstate*) {
    jammed = 0;
    return 0;
}

inline int show_jam(FSMstate* sp) {
    if (jammed != 0) {
        sp->set_error("conveyor jammed");
    }
    return 0;
}

inline int show_busy_jam(FSMstate* sp) {
    if (jammed != 0) {
        sp->set_error("jammed while busy");
    }
    return 0;
}

inline int raise_alarm(FSMstate* sp) {
    sp->server_error(sp, 7, "alarm raised in Watch");
    return 0;
}

// clang-format off
inline void build_controller(EqFSMlocation* loc) {
    FSMsuperstate* root = loc->state_ptr;
    root->add_action("jam",    on_jam);
    root->add_action("unjam",  on_unjam);
    root->add_action("during", show_jam);
    auto* idle = new FSMstate("Idle", "waiting", STATE);
    auto* busy = new FSMstate("Busy", "working", STATE);
    //                   event    guard    action   signal   target    next
    idle->add_transition("start", nullptr, nullptr, "begin", "unit!*", "Busy");
    busy->add_transition("stop",  nullptr, nullptr, nullptr, nullptr,  "Idle");
    busy->add_action("during", show_busy_jam);
    root->add_state(1, idle);
    root->add_state(1, busy);
    root->add_reference(2, "unit");
    loc->flows.push_back(new D_flow("FLOW_1 the work flow", loc));
    loc->flows.push_back(new D_flow("FLOW_2 the unit", loc));
}

inline void build_unit(EqFSMlocation* loc) {
    FSMsuperstate* unit = loc->state_ptr;
    auto* off   = new FSMstate("Off",   "motor off", STATE);
    auto* on    = new FSMstate("On",    "motor on",  STATE);
    auto* watch = new FSMstate("Watch", "watching",  STATE);
    auto* asleep = new FSMstate("Sleep", "asleep",   STATE);
    off->add_transition("begin",    nullptr, nullptr, nullptr, nullptr, "On");
    on->add_transition("off",       nullptr, nullptr, nullptr, nullptr, "Off");
    on->add_transition("finish",    nullptr, nullptr, nullptr, nullptr, "unit");
    watch->add_transition("off",    nullptr, nullptr, nullptr, nullptr, "Sleep");
    watch->add_action("alarm", raise_alarm);
    unit->add_state(1, off);
    unit->add_state(1, on);
    unit->add_state(2, watch);
    unit->add_state(2, asleep);
    loc->flows.push_back(new D_flow("FLOW_1 the motor", loc));
    loc->flows.push_back(new D_flow("FLOW_2 the watch", loc));
    loc->flows.push_back(new D_flow("FLOW_9 no such flow", loc));
}

inline node_info unit_info       = {nullptr,    "unit",       build_unit};
inline node_info controller_info = {&unit_info, "controller", build_controller};
// clang-format on

inline node_info* plant_chain() {
    return &controller_info;
}

}  // namespace plant
