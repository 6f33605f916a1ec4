// The event record: name, target specifier and the next state a fired transition names.
#include "fsm.h"
#include "fsm_text.h"

FSMevent::FSMevent() = default;

FSMevent::~FSMevent() = default;

const char* FSMevent::get_name() {
    return event.c_str();
}

const char* FSMevent::get_state() {
    return state.c_str();
}

const char* FSMevent::get_next() {
    return next.c_str();
}

void FSMevent::set_name(const char* ev) {
    assign_text(event, ev);
}

void FSMevent::set_state(const char* pt) {
    assign_text(state, pt);
}

void FSMevent::set_next(const char* pt) {
    assign_text(next, pt);
}

void FSMevent::set_event(const char* nm, const char* st) {
    assign_text(event, nm);
    assign_text(state, st);
}
