// Why a machine could not be linked: the flow, its location and the state that was not found.
#include <string>

#include "fsm.h"

std::string FSMsuperstate::link_fault() {
    const std::string where =
        location != nullptr ? " of location " + location->name() : " of superstate " + std::string(get_name());
    for (ref_entry* re : reference_table) {
        if (re->mark == 1) {
            return "flow " + std::to_string(re->flow) + where + " has no state \"" + re->name +
                   "\": no superstate location of that kind names this machine in its FSM value";
        }
    }
    for (frame* fr : flow) {
        std::string fault = fr->link_fault(where);
        if (!fault.empty()) {
            return fault;
        }
    }
    return "";
}

std::string FSMsuperstate::frame::link_fault(const std::string& where) {
    const std::string flow_name = "flow " + std::to_string(id) + where;
    if (state.empty()) {
        return flow_name + " has no states";
    }
    bool found = state_name.empty();
    for (FSMstate* member : state) {
        found = found || state_name == member->get_name();
    }
    if (!found) {
        return flow_name + " has no state \"" + state_name + "\"";
    }
    for (FSMstate* member : state) {
        auto* sub = member->get_type() != STATE ? dynamic_cast<FSMsuperstate*>(member) : nullptr;
        std::string fault = sub != nullptr ? sub->link_fault() : "";
        if (!fault.empty()) {
            return fault;
        }
    }
    return "";
}
