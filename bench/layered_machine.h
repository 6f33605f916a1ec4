// The machines the dispatch and trace benchmarks send events through, built under a root of type
// Root: a FSMrootstate keeps a transition trace, a FSMsuperstate as root keeps none, so the two
// measure the trace's cost side by side. The root is allocated after the states, so that the
// states lie at the same addresses whichever root they get.
#pragma once

#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "fsm.h"

namespace bench {

template <typename Root>
class MachineOf {
  public:
    Root& root() { return *root_; }

  protected:
    MachineOf() = default;

    template <typename State, typename... Args>
    State* own(Args&&... args) {
        auto state = std::make_unique<State>(std::forward<Args>(args)...);
        State* raw = state.get();
        states_.push_back(std::move(state));
        return raw;
    }
    // Two basic states a and b that switch to each other on "flip", in one flow of owner.
    void add_switching_pair(FSMsuperstate* owner, int flow, const std::string& a, const std::string& b) {
        FSMstate* sa = own<FSMstate>(a.c_str(), nullptr, STATE);
        FSMstate* sb = own<FSMstate>(b.c_str(), nullptr, STATE);
        sa->add_transition("flip", nullptr, nullptr, nullptr, nullptr, b.c_str());
        sb->add_transition("flip", nullptr, nullptr, nullptr, nullptr, a.c_str());
        sa->add_transition("other", nullptr, nullptr, nullptr, nullptr, b.c_str());
        owner->add_state(flow, sa);
        owner->add_state(flow, sb);
    }
    // Creates the root with `top` as its one flow's member, or with a switching pair when top is
    // null, and starts the machine.
    void start(FSMstate* top) {
        if constexpr (std::is_same_v<Root, FSMrootstate>) {
            root_ = std::make_unique<FSMrootstate>(nullptr, "Root", "");
        } else {
            root_ = std::make_unique<FSMsuperstate>(nullptr, "Root", "", SUPER_STATE);
        }
        if (top != nullptr) {
            root_->add_state(0, top);
        } else {
            add_switching_pair(root_.get(), 0, "A", "B");
        }
        root_->set_root(root_.get());
        root_->link_state();
        root_->init_state();
        root_->enter_state();
    }

  private:
    std::vector<std::unique_ptr<FSMstate>> states_;
    std::unique_ptr<Root> root_;  // destroyed before the states it holds
};

// Four levels: the root holds Top, Top holds two superstates in two flows, and each of those holds
// two flows of two basic states that switch on "flip": four transitions per event.
template <typename Root = FSMrootstate>
class LayeredMachine : public MachineOf<Root> {
  public:
    LayeredMachine() {
        auto* top = this->template own<FSMsuperstate>(nullptr, "Top", "", SUPER_STATE);
        for (int i = 0; i < 2; ++i) {
            const std::string mid_name = "Mid" + std::to_string(i);
            auto* mid = this->template own<FSMsuperstate>(nullptr, mid_name.c_str(), "", SUPER_STATE);
            for (int f = 0; f < 2; ++f) {
                const std::string suffix = std::to_string(i) + std::to_string(f);
                this->add_switching_pair(mid, f, "A" + suffix, "B" + suffix);
            }
            top->add_state(i, mid);
        }
        this->start(top);
    }
};

// The smallest machine that switches: the root's one flow of two states, one transition per event.
template <typename Root = FSMrootstate>
class TwoStateMachine : public MachineOf<Root> {
  public:
    TwoStateMachine() { this->start(nullptr); }
};

}  // namespace bench
