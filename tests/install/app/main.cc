// Drives one state through an event with the installed library only.
#include <cstdio>
#include <cstring>

#include "fsm.h"

namespace {

int guard(FSMstate*) {
    return 1;
}

}  // namespace

int main() {
    FSMstate idle("Idle", "waiting", STATE);
    idle.add_transition("start", guard, nullptr, nullptr, nullptr, "Busy");
    idle.enter_state();
    FSMevent ev;
    ev.set_event("start", "Idle");
    if (idle.process_event(&ev) != 1 || std::strcmp(ev.get_next(), "Busy") != 0) {
        std::puts("the installed library did not fire the transition");
        return 1;
    }
    std::puts("ok");
    return 0;
}
