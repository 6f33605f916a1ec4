// The queued machine in Boost.MSM, run by a worker thread on a queue guarded by a mutex and a
// condition variable: events wait until the poster releases the worker, which then takes them one
// at a time under the lock, oldest first, and dispatches each outside it.
#pragma once

// Quiet the deprecation notes that Debian's Boost prints from inside its own headers.
#define BOOST_BIND_GLOBAL_PLACEHOLDERS
#define BOOST_ALLOW_DEPRECATED_HEADERS

#include <boost/mpl/vector.hpp>
#include <boost/msm/back/state_machine.hpp>
#include <boost/msm/front/functor_row.hpp>
#include <boost/msm/front/state_machine_def.hpp>
#include <boost/msm/front/states.hpp>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "queued_machine.h"

namespace queued {
namespace msm_machine {

namespace msmf = boost::msm::front;
namespace mpl = boost::mpl;

struct EvA {};
struct EvB {};
struct EvFault {};
struct EvRecover {};

inline Counts* counts = nullptr;

template <int Index>
struct Counted {
    template <class Event, class Fsm>
    void on_entry(const Event&, Fsm&) {
        counts->enters[Index]++;
    }
    template <class Event, class Fsm>
    void on_exit(const Event&, Fsm&) {
        counts->exits[Index]++;
    }
};

template <int I>
struct A : msmf::state<>, Counted<kA0 + I> {
    using Counted<kA0 + I>::on_entry;
    using Counted<kA0 + I>::on_exit;
};
template <int I>
struct B : msmf::state<>, Counted<kB0 + I> {
    using Counted<kB0 + I>::on_entry;
    using Counted<kB0 + I>::on_exit;
};
struct Fault : msmf::state<>, Counted<kFault> {
    using Counted<kFault>::on_entry;
    using Counted<kFault>::on_exit;
};

// Events no active state takes are ignored, as in the other two versions.
struct IgnoreUnhandled {
    template <class Fsm, class Event>
    void no_transition(const Event&, Fsm&, int) {}
};

struct Operating_ : msmf::state_machine_def<Operating_>, Counted<kOperating>, IgnoreUnhandled {
    using Counted<kOperating>::on_entry;
    using Counted<kOperating>::on_exit;
    using IgnoreUnhandled::no_transition;
    typedef mpl::vector<A<0>, B<0>> initial_state;
    // clang-format off
    struct transition_table : mpl::vector<
        msmf::Row<A<0>, EvA, A<1>>,
        msmf::Row<A<1>, EvA, A<2>>,
        msmf::Row<A<2>, EvA, A<3>>,
        msmf::Row<A<3>, EvA, A<0>>,
        msmf::Row<B<0>, EvB, B<1>>,
        msmf::Row<B<1>, EvB, B<2>>,
        msmf::Row<B<2>, EvB, B<3>>,
        msmf::Row<B<3>, EvB, B<0>>> {};
    // clang-format on
};
// Returning from Fault restores both flows.
typedef boost::msm::back::state_machine<Operating_, boost::msm::back::ShallowHistory<mpl::vector<EvRecover>>> Operating;

struct Machine_ : msmf::state_machine_def<Machine_>, IgnoreUnhandled {
    using IgnoreUnhandled::no_transition;
    typedef Operating initial_state;
    // clang-format off
    struct transition_table : mpl::vector<
        msmf::Row<Operating, EvFault,   Fault>,
        msmf::Row<Fault,     EvRecover, Operating>> {};
    // clang-format on
};
typedef boost::msm::back::state_machine<Machine_> Machine;

}  // namespace msm_machine

class MsmMachine {
  public:
    MsmMachine() {
        msm_machine::counts = &counts_;
        machine_.start();
        worker_ = std::thread([this] { run(); });
    }
    ~MsmMachine() {
        {
            std::lock_guard<std::mutex> lock(mux_);
            quit_ = true;
            go_ = true;
        }
        cond_.notify_one();
        worker_.join();
    }
    MsmMachine(const MsmMachine&) = delete;
    MsmMachine& operator=(const MsmMachine&) = delete;

    // Events wait until run_pass releases the worker: it needs no holding.
    void hold() {}
    void post(Kind k) {
        std::lock_guard<std::mutex> lock(mux_);
        queue_.push_back(k);
    }
    // Releases the worker and waits until it has taken every posted event.
    void run_pass() {
        const long target = done_.count() + 1;
        {
            std::lock_guard<std::mutex> lock(mux_);
            go_ = true;
        }
        cond_.notify_one();
        done_.wait_for(target);
    }
    const Counts& counts() const { return counts_; }

  private:
    void run() {
        std::unique_lock<std::mutex> lock(mux_);
        for (;;) {
            cond_.wait(lock, [&] { return go_; });
            if (quit_) {
                return;
            }
            if (head_ == queue_.size()) {
                queue_.clear();
                head_ = 0;
                go_ = false;
                done_.arrive();
                continue;
            }
            Kind k = queue_[head_++];
            lock.unlock();
            dispatch(k);
            lock.lock();
        }
    }
    void dispatch(Kind k) {
        switch (k) {
            case Kind::A:
                machine_.process_event(msm_machine::EvA());
                break;
            case Kind::B:
                machine_.process_event(msm_machine::EvB());
                break;
            case Kind::Fault:
                machine_.process_event(msm_machine::EvFault());
                break;
            case Kind::Recover:
                machine_.process_event(msm_machine::EvRecover());
                break;
        }
    }

    Counts counts_;
    msm_machine::Machine machine_;
    std::mutex mux_;
    std::condition_variable cond_;
    std::vector<Kind> queue_;
    size_t head_ = 0;
    bool go_ = false;
    bool quit_ = false;
    Latch done_;
    std::thread worker_;
};

}  // namespace queued
