// The machine in this library, dispatched synchronously through the root's superstate processing
// (the queue is left out: it is measured on its own).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "fsm.h"
#include "machine_counts.h"

namespace peers {

template <int Id>
int count_enter(FSMstate*) {
    ++counts.enter[Id];
    return 0;
}

template <int Id>
int count_exit(FSMstate*) {
    ++counts.exit[Id];
    return 0;
}

class FsmMachine {
  public:
    FsmMachine() : root_(nullptr, "Root", "") {
        auto operating = std::make_unique<FSMsuperstate>(nullptr, "Operating", "", SUPER_STATE);
        auto fault = std::make_unique<FSMstate>("Fault", "", STATE);
        counted<OPERATING>(operating.get());
        counted<FAULT>(fault.get());
        operating->add_transition("fault", nullptr, nullptr, nullptr, nullptr, "Fault");
        fault->add_transition("recover", nullptr, nullptr, nullptr, nullptr, "Operating");
        add_flow<A0>(operating.get(), 1, "A", "a");
        add_flow<B0>(operating.get(), 2, "B", "b");
        operating->flow_attributes(1, "A0", 1);
        operating->flow_attributes(2, "B0", 1);
        root_.add_state(0, operating.get());
        root_.add_state(0, fault.get());
        states_.push_back(std::move(operating));
        states_.push_back(std::move(fault));
        root_.set_root(&root_);
        root_.link_state();
        root_.init_state();
        root_.enter_state();
        static const char* const names[] = {"a", "b", "fault", "recover"};
        for (int e = 0; e < 4; ++e) {
            events_[e].set_event(names[e], "*");
        }
    }

    void dispatch(Ev e) { root_.FSMsuperstate::process_event(&events_[e]); }

  private:
    template <int Id>
    static void counted(FSMstate* s) {
        s->add_action("enter", count_enter<Id>);
        s->add_action("exit", count_exit<Id>);
    }

    template <int First>
    void add_flow(FSMsuperstate* parent, int flow, const char* prefix, const char* event) {
        add_member<First, 0>(parent, flow, prefix, event);
    }

    template <int First, int I>
    void add_member(FSMsuperstate* parent, int flow, const char* prefix, const char* event) {
        auto s = std::make_unique<FSMstate>((prefix + std::to_string(I)).c_str(), "", STATE);
        counted<First + I>(s.get());
        s->add_transition(event, nullptr, nullptr, nullptr, nullptr, (prefix + std::to_string((I + 1) % 4)).c_str());
        parent->add_state(flow, s.get());
        states_.push_back(std::move(s));
        if constexpr (I < 3) {
            add_member<First, I + 1>(parent, flow, prefix, event);
        }
    }

    // The states are declared before the root so that they outlive it.
    std::vector<std::unique_ptr<FSMstate>> states_;
    FSMrootstate root_;
    FSMevent events_[4];
};

}  // namespace peers
