// The library's describer: lets the server show the machines of its FSM locations.
#include "fsm_describer.h"

#include "fsm_observer.h"

namespace {

// The root location of the machine that loc's part belongs to, once that machine runs (its
// event thread has linked, initialised and entered it); null before.
EqFSMlocation* running_root(EqFSMlocation* loc) {
    auto* root = dynamic_cast<FSMsuperstate*>(loc->state_ptr != nullptr ? loc->state_ptr->get_root() : nullptr);
    EqFSMlocation* root_loc = root != nullptr ? root->get_location() : nullptr;
    if (root_loc == nullptr) {
        return nullptr;
    }
    pthread_mutex_lock(&root_loc->mux);
    const bool ready = root_loc->fsm_ready == 1;
    pthread_mutex_unlock(&root_loc->mux);
    return ready ? root_loc : nullptr;
}

// loc as an FSM location whose machine runs; false with the reason in *why.
EqFSMlocation* running_part(EqFct* loc, const std::string& address, std::string* why) {
    auto* fsm_loc = dynamic_cast<EqFSMlocation*>(loc);
    if (fsm_loc == nullptr || fsm_loc->state_ptr == nullptr) {
        *why = "The location " + address + " holds no state machine.";
        return nullptr;
    }
    if (running_root(fsm_loc) == nullptr) {
        *why = "The state machine at " + address + " is not running yet.";
        return nullptr;
    }
    return fsm_loc;
}

class LibraryDescriber : public velko::MachineDescriber {
  public:
    bool summary(EqFct* loc, velko::MachineView* out) override {
        auto* fsm_loc = dynamic_cast<EqFSMlocation*>(loc);
        if (fsm_loc == nullptr || fsm_loc->state_ptr == nullptr) {
            return false;
        }
        *out = velko::MachineView();
        out->location = fsm_loc->name();
        out->machine = fsm_loc->fsm.value() != nullptr ? fsm_loc->fsm.value() : "";
        out->root = fsm_loc->state_ptr->get_type() == ROOT_STATE;
        out->top.name = fsm_loc->state_ptr->get_name();
        return true;
    }

    bool describe(EqFct* loc, const std::string& address, velko::MachineView* out, std::string* why) override {
        EqFSMlocation* part = running_part(loc, address, why);
        if (part == nullptr) {
            return false;
        }
        FSMobserver::describe(part->state_ptr, out);
        return true;
    }

    bool trace(EqFct* loc, const std::string& address, uint64_t after, velko::TraceView* out,
               std::string* why) override {
        EqFSMlocation* part = running_part(loc, address, why);
        if (part == nullptr) {
            return false;
        }
        FSMobserver::read_trace(part->state_ptr, after, out);
        return true;
    }
};

}  // namespace

void fsm_register_describer() {
    static LibraryDescriber describer;
    velko::set_machine_describer(&describer);
}
