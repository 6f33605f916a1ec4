// The machine as a hand-written switch; with Locked, the same switch also takes every lock pair
// the library's design requires for the event (a state's lock at every level it reaches, a
// flow's lock to read its active state and around every switch).
#pragma once

#include <pthread.h>

#include "machine_counts.h"

namespace peers {

template <bool Locked>
class SwitchMachine {
  public:
    SwitchMachine() {
        for (pthread_mutex_t& m : state_mux_) {
            pthread_mutex_init(&m, nullptr);
        }
        for (pthread_mutex_t& m : flow_mux_) {
            pthread_mutex_init(&m, nullptr);
        }
        enter(OPERATING);
        enter(a_);
        enter(b_);
    }
    ~SwitchMachine() {
        for (pthread_mutex_t& m : state_mux_) {
            pthread_mutex_destroy(&m);
        }
        for (pthread_mutex_t& m : flow_mux_) {
            pthread_mutex_destroy(&m);
        }
    }
    SwitchMachine(const SwitchMachine&) = delete;
    SwitchMachine& operator=(const SwitchMachine&) = delete;

    void dispatch(Ev e) {
        pass(state_mux_[ROOT]);
        pass(flow_mux_[TOP]);
        if (fault_) {
            pass(state_mux_[FAULT]);
            if (e == EV_RECOVER) {
                hold(flow_mux_[TOP]);
                leave(FAULT);
                fault_ = false;
                enter_operating();
                release(flow_mux_[TOP]);
            }
            return;
        }
        pass(state_mux_[OPERATING]);
        if (e == EV_FAULT) {
            hold(flow_mux_[TOP]);
            leave_operating();
            fault_ = true;
            enter(FAULT);
            release(flow_mux_[TOP]);
            return;
        }
        pass(flow_mux_[FLOW_A]);
        pass(state_mux_[a_]);
        if (e == EV_A) {
            hold(flow_mux_[FLOW_A]);
            leave(a_);
            a_ = A0 + (a_ - A0 + 1) % 4;
            enter(a_);
            release(flow_mux_[FLOW_A]);
        }
        pass(flow_mux_[FLOW_B]);
        pass(state_mux_[b_]);
        if (e == EV_B) {
            hold(flow_mux_[FLOW_B]);
            leave(b_);
            b_ = B0 + (b_ - B0 + 1) % 4;
            enter(b_);
            release(flow_mux_[FLOW_B]);
        }
    }

  private:
    enum { ROOT = STATE_COUNT };
    enum { TOP, FLOW_A, FLOW_B };

    static void hold(pthread_mutex_t& m) {
        if constexpr (Locked) {
            pthread_mutex_lock(&m);
        }
    }
    static void release(pthread_mutex_t& m) {
        if constexpr (Locked) {
            pthread_mutex_unlock(&m);
        }
    }
    static void pass(pthread_mutex_t& m) {
        hold(m);
        release(m);
    }
    void enter(int id) {
        hold(state_mux_[id]);
        ++counts.enter[id];
        release(state_mux_[id]);
    }
    void leave(int id) {
        hold(state_mux_[id]);
        ++counts.exit[id];
        release(state_mux_[id]);
    }
    void enter_operating() {
        enter(OPERATING);
        hold(flow_mux_[FLOW_A]);
        enter(a_);
        release(flow_mux_[FLOW_A]);
        hold(flow_mux_[FLOW_B]);
        enter(b_);
        release(flow_mux_[FLOW_B]);
    }
    void leave_operating() {
        hold(flow_mux_[FLOW_A]);
        leave(a_);
        release(flow_mux_[FLOW_A]);
        hold(flow_mux_[FLOW_B]);
        leave(b_);
        release(flow_mux_[FLOW_B]);
        leave(OPERATING);
    }

    pthread_mutex_t state_mux_[STATE_COUNT + 1];
    pthread_mutex_t flow_mux_[3];
    int a_ = A0;
    int b_ = B0;
    bool fault_ = false;
};

}  // namespace peers
