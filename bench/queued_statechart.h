// The queued machine in Boost.Statechart: an asynchronous_state_machine on a fifo_scheduler whose
// worker runs in its own thread. A Hold event parks the worker while a batch is posted, so that
// the batch waits in the scheduler's queue as it waits in the root's queue of this library.
#pragma once

// The scheduler's waits need no thread interruption, which would need the Boost.Thread library.
#define BOOST_THREAD_DONT_PROVIDE_INTERRUPTIONS
// Quiet the deprecation notes that Debian's Boost prints from inside its own headers.
#define BOOST_BIND_GLOBAL_PLACEHOLDERS
#define BOOST_ALLOW_DEPRECATED_HEADERS

#include <boost/intrusive_ptr.hpp>
#include <boost/mpl/list.hpp>
#include <boost/statechart/asynchronous_state_machine.hpp>
#include <boost/statechart/custom_reaction.hpp>
#include <boost/statechart/event.hpp>
#include <boost/statechart/fifo_scheduler.hpp>
#include <boost/statechart/shallow_history.hpp>
#include <boost/statechart/simple_state.hpp>
#include <boost/statechart/transition.hpp>
#include <thread>

#include "queued_machine.h"

namespace queued {
namespace sc_machine {

namespace sc = boost::statechart;
namespace mpl = boost::mpl;

struct EvA : sc::event<EvA> {};
struct EvB : sc::event<EvB> {};
struct EvFault : sc::event<EvFault> {};
struct EvRecover : sc::event<EvRecover> {};
struct EvHold : sc::event<EvHold> {};
struct EvDone : sc::event<EvDone> {};

// What the states reach: counts, the end-of-batch latch and the gate of the Hold event.
struct Shared {
    Counts counts;
    Latch done;
    Gate gate;
};
inline Shared* shared = nullptr;

struct Operating;
struct Fault;
struct Machine : sc::asynchronous_state_machine<Machine, Operating> {
    explicit Machine(my_context ctx) : my_base(ctx) {}
};

// Entering a state constructs it and leaving destroys it.
template <int Index>
struct Counted {
    Counted() { shared->counts.enters[Index]++; }
    ~Counted() { shared->counts.exits[Index]++; }
    Counted(const Counted&) = delete;
    Counted& operator=(const Counted&) = delete;
};

// Hold and Done are answered in either top state.
template <class State>
struct Control {
    sc::result react(const EvHold&) {
        shared->gate.pass();
        return static_cast<State*>(this)->discard_event();
    }
    sc::result react(const EvDone&) {
        shared->done.arrive();
        return static_cast<State*>(this)->discard_event();
    }
};

template <int I>
struct A;
template <int I>
struct B;

struct Operating : sc::simple_state<Operating, Machine, mpl::list<sc::shallow_history<A<0>>, sc::shallow_history<B<0>>>,
                                    sc::has_shallow_history>,
                   Counted<kOperating>,
                   Control<Operating> {
    typedef mpl::list<sc::transition<EvFault, Fault>, sc::custom_reaction<EvHold>, sc::custom_reaction<EvDone>>
        reactions;
    using Control<Operating>::react;
};

struct Fault : sc::simple_state<Fault, Machine>, Counted<kFault>, Control<Fault> {
    typedef mpl::list<sc::transition<EvRecover, Operating>, sc::custom_reaction<EvHold>, sc::custom_reaction<EvDone>>
        reactions;
    using Control<Fault>::react;
};

template <int I>
struct A : sc::simple_state<A<I>, Operating::orthogonal<0>>, Counted<kA0 + I> {
    typedef sc::transition<EvA, A<(I + 1) % 4>> reactions;
};

template <int I>
struct B : sc::simple_state<B<I>, Operating::orthogonal<1>>, Counted<kB0 + I> {
    typedef sc::transition<EvB, B<(I + 1) % 4>> reactions;
};

}  // namespace sc_machine

class StatechartMachine {
  public:
    StatechartMachine() : scheduler_(true) {
        sc_machine::shared = &shared_;
        handle_ = scheduler_.create_processor<sc_machine::Machine>();
        scheduler_.initiate_processor(handle_);
        events_[0] = new sc_machine::EvA;
        events_[1] = new sc_machine::EvB;
        events_[2] = new sc_machine::EvFault;
        events_[3] = new sc_machine::EvRecover;
        worker_ = std::thread([this] { scheduler_(); });
    }
    ~StatechartMachine() {
        // The states left when the scheduler destroys the machine still count into shared_.
        scheduler_.terminate();
        worker_.join();
    }
    StatechartMachine(const StatechartMachine&) = delete;
    StatechartMachine& operator=(const StatechartMachine&) = delete;

    // Parks the worker; the events posted next wait in the scheduler's queue.
    void hold() {
        scheduler_.queue_event(handle_, new sc_machine::EvHold);
        shared_.gate.wait_entered();
    }
    // Events are immutable and reference counted: one object of each kind serves every post.
    void post(Kind k) { scheduler_.queue_event(handle_, events_[static_cast<int>(k)]); }
    // Releases the worker and waits until it has processed everything posted.
    void run_pass() {
        const long target = shared_.done.count() + 1;
        scheduler_.queue_event(handle_, new sc_machine::EvDone);
        shared_.gate.open();
        shared_.done.wait_for(target);
    }
    const Counts& counts() const { return shared_.counts; }

  private:
    sc_machine::Shared shared_;
    boost::statechart::fifo_scheduler<> scheduler_;
    boost::statechart::fifo_scheduler<>::processor_handle handle_;
    boost::intrusive_ptr<const boost::statechart::event_base> events_[4];
    std::thread worker_;
};

}  // namespace queued
