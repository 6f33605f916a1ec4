// The queued machine in this library: a root driven by its own event thread, as an engine thread
// drives it. Events wait in the root's queue until a signal starts a pass; the pass ends with the
// "timer" event, which the root's handler counts.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fsm.h"
#include "queued_machine.h"

namespace queued {

class FsmMachine {
  public:
    FsmMachine()
        : fault_("Fault", nullptr, STATE),
          operating_(nullptr, "Operating", "", SUPER_STATE),
          root_(nullptr, "Root", "") {
        current = this;
        counted(&operating_, kOperating);
        counted(&fault_, kFault);
        for (int f = 0; f < 2; ++f) {
            const char* flow = f == 0 ? "A" : "B";
            const char* event = f == 0 ? "a" : "b";
            for (int i = 0; i < 4; ++i) {
                std::string name = flow + std::to_string(i);
                std::string next = flow + std::to_string((i + 1) % 4);
                auto sp = std::make_unique<FSMstate>(name.c_str(), nullptr, STATE);
                sp->add_transition(event, nullptr, nullptr, nullptr, nullptr, next.c_str());
                counted(sp.get(), (f == 0 ? kA0 : kB0) + i);
                operating_.add_state(f, sp.get());
                members_.push_back(std::move(sp));
            }
            operating_.flow_attributes(f, (std::string(flow) + "0").c_str(), 1);
        }
        operating_.add_transition("fault", nullptr, nullptr, nullptr, nullptr, "Fault");
        fault_.add_transition("recover", nullptr, nullptr, nullptr, nullptr, "Operating");
        root_.add_state(0, &operating_);
        root_.add_state(0, &fault_);
        root_.add_action("timer", on_tick);
        root_.set_root(&root_);
        root_.link_state();
        root_.init_state();
        root_.enter_state();
        static const char* const names[] = {"a", "b", "fault", "recover"};
        for (int k = 0; k < 4; ++k) {
            events_[k].set_event(names[k], "*");
        }
        worker_ = std::thread([this] {
            FSMevent ev;
            while (!quit_.load(std::memory_order_relaxed)) {
                root_.process_event(&ev);
            }
        });
    }
    ~FsmMachine() {
        quit_.store(true);
        root_.post_event(nullptr);
        worker_.join();
        current = nullptr;
    }
    FsmMachine(const FsmMachine&) = delete;
    FsmMachine& operator=(const FsmMachine&) = delete;

    // Events wait for the signal of a pass: the event thread needs no holding.
    void hold() {}
    void post(Kind k) { root_.post_event(&events_[static_cast<int>(k)]); }
    // Starts a pass and waits until it has ended.
    void run_pass() {
        const long target = ticks.count() + 1;
        root_.post_event(nullptr);
        ticks.wait_for(target);
    }
    // Starts a pass and returns at once; the first action of the pass records when it ran.
    void start_pass_stamped() {
        first_action_ns.store(0);
        stamp.store(true);
        root_.post_event(nullptr);
    }

    const Counts& counts() const { return counts_; }

    static FsmMachine* current;
    Latch ticks;
    std::atomic<bool> stamp{false};
    std::atomic<int64_t> first_action_ns{0};

  private:
    static void record(FSMstate*, bool enter, int index) {
        FsmMachine* m = current;
        if (m->stamp.load(std::memory_order_relaxed)) {
            m->first_action_ns.store(now_ns());
            m->stamp.store(false);
        }
        (enter ? m->counts_.enters : m->counts_.exits)[index]++;
    }
    template <int I>
    static int enter_of(FSMstate* sp) {
        return record(sp, true, I), 0;
    }
    template <int I>
    static int exit_of(FSMstate* sp) {
        return record(sp, false, I), 0;
    }
    template <int... I>
    static void counted_table(FSMstate* sp, int index, std::integer_sequence<int, I...>) {
        static const FSMstate::action_fn enters[] = {&enter_of<I>...};
        static const FSMstate::action_fn exits[] = {&exit_of<I>...};
        sp->add_action("enter", enters[index]);
        sp->add_action("exit", exits[index]);
    }
    static void counted(FSMstate* sp, int index) {
        counted_table(sp, index, std::make_integer_sequence<int, kStates>{});
    }
    static int on_tick(FSMstate*) { return current->ticks.arrive(), 0; }

    Counts counts_;
    // Declared so that the root goes first and the member states last.
    std::vector<std::unique_ptr<FSMstate>> members_;
    FSMstate fault_;
    FSMsuperstate operating_;
    FSMrootstate root_;
    FSMevent events_[4];
    std::atomic<bool> quit_{false};
    std::thread worker_;
};

inline FsmMachine* FsmMachine::current = nullptr;

}  // namespace queued
