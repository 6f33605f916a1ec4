// The machine in Boost.Statechart: Operating with two orthogonal regions and shallow history,
// Fault beside it; entry counted in constructors, exit in destructors.
#pragma once

#include <boost/mpl/list.hpp>
#include <boost/statechart/event.hpp>
#include <boost/statechart/shallow_history.hpp>
#include <boost/statechart/simple_state.hpp>
#include <boost/statechart/state_machine.hpp>
#include <boost/statechart/transition.hpp>

#include "machine_counts.h"

namespace peers::statechart {

namespace sc = boost::statechart;
namespace mpl = boost::mpl;

struct EvA : sc::event<EvA> {};
struct EvB : sc::event<EvB> {};
struct EvFault : sc::event<EvFault> {};
struct EvRecover : sc::event<EvRecover> {};

template <int Id>
struct Counted {
    Counted() { ++counts.enter[Id]; }
    ~Counted() { ++counts.exit[Id]; }
};

struct Operating;
struct Fault;
template <int I>
struct A;
template <int I>
struct B;

struct Top : sc::state_machine<Top, Operating> {};

struct Operating : sc::simple_state<Operating, Top, mpl::list<sc::shallow_history<A<0>>, sc::shallow_history<B<0>>>,
                                    sc::has_shallow_history>,
                   Counted<OPERATING> {
    typedef sc::transition<EvFault, Fault> reactions;
};

template <int I>
struct A : sc::simple_state<A<I>, Operating::orthogonal<0>>, Counted<A0 + I> {
    typedef sc::transition<EvA, A<(I + 1) % 4>> reactions;
};

template <int I>
struct B : sc::simple_state<B<I>, Operating::orthogonal<1>>, Counted<B0 + I> {
    typedef sc::transition<EvB, B<(I + 1) % 4>> reactions;
};

struct Fault : sc::simple_state<Fault, Top>, Counted<FAULT> {
    typedef sc::transition<EvRecover, Operating> reactions;
};

class Machine {
  public:
    Machine() { top_.initiate(); }
    void dispatch(Ev e) {
        switch (e) {
            case EV_A:
                top_.process_event(a_);
                break;
            case EV_B:
                top_.process_event(b_);
                break;
            case EV_FAULT:
                top_.process_event(fault_);
                break;
            case EV_RECOVER:
                top_.process_event(recover_);
                break;
        }
    }

  private:
    Top top_;
    EvA a_;
    EvB b_;
    EvFault fault_;
    EvRecover recover_;
};

}  // namespace peers::statechart
