// The machine in Boost.MSM: Operating as a submachine with two regions and history on every
// entry, Fault beside it; entry and exit counted in on_entry and on_exit.
#pragma once

#include <boost/mpl/vector.hpp>
#include <boost/msm/back/state_machine.hpp>
#include <boost/msm/front/functor_row.hpp>
#include <boost/msm/front/state_machine_def.hpp>

#include "machine_counts.h"

namespace peers::msm {

namespace back = boost::msm::back;
namespace front = boost::msm::front;
namespace mpl = boost::mpl;

struct EvA {};
struct EvB {};
struct EvFault {};
struct EvRecover {};

template <int Id>
struct Counted : front::state<> {
    template <class E, class M>
    void on_entry(const E&, M&) {
        ++counts.enter[Id];
    }
    template <class E, class M>
    void on_exit(const E&, M&) {
        ++counts.exit[Id];
    }
};

template <int I>
struct A : Counted<A0 + I> {};
template <int I>
struct B : Counted<B0 + I> {};
struct Fault : Counted<FAULT> {};

struct Operating_ : front::state_machine_def<Operating_> {
    template <class E, class M>
    void on_entry(const E&, M&) {
        ++counts.enter[OPERATING];
    }
    template <class E, class M>
    void on_exit(const E&, M&) {
        ++counts.exit[OPERATING];
    }
    typedef mpl::vector<A<0>, B<0>> initial_state;
    // clang-format off
    struct transition_table : mpl::vector<
        front::Row<A<0>, EvA, A<1>>,
        front::Row<A<1>, EvA, A<2>>,
        front::Row<A<2>, EvA, A<3>>,
        front::Row<A<3>, EvA, A<0>>,
        front::Row<B<0>, EvB, B<1>>,
        front::Row<B<1>, EvB, B<2>>,
        front::Row<B<2>, EvB, B<3>>,
        front::Row<B<3>, EvB, B<0>>> {};
    // clang-format on
    template <class M, class E>
    void no_transition(const E&, M&, int) {}
};
typedef back::state_machine<Operating_, back::AlwaysHistory> Operating;

struct Top_ : front::state_machine_def<Top_> {
    typedef Operating initial_state;
    // clang-format off
    struct transition_table : mpl::vector<
        front::Row<Operating, EvFault,   Fault>,
        front::Row<Fault,     EvRecover, Operating>> {};
    // clang-format on
    template <class M, class E>
    void no_transition(const E&, M&, int) {}
};
typedef back::state_machine<Top_> Top;

class Machine {
  public:
    Machine() { top_.start(); }
    void dispatch(Ev e) {
        switch (e) {
            case EV_A:
                top_.process_event(EvA{});
                break;
            case EV_B:
                top_.process_event(EvB{});
                break;
            case EV_FAULT:
                top_.process_event(EvFault{});
                break;
            case EV_RECOVER:
                top_.process_event(EvRecover{});
                break;
        }
    }

  private:
    Top top_;
};

}  // namespace peers::msm
