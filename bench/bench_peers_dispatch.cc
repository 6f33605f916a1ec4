// Synchronous dispatch of one machine (Operating with two flows of four states and history, a
// sibling Fault, counted entry and exit actions) in this library, Boost.Statechart, Boost.MSM and
// a hand-written switch, with two floors: the switch plus the lock pairs the library's design
// requires, and the design's algorithm done plainly. Every peer's counts after one fixed event
// sequence are checked against the switch's before anything is measured.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "peers/design_floor.h"
#include "peers/fsm_machine.h"
#include "peers/machine_counts.h"
#include "peers/msm_machine.h"
#include "peers/statechart_machine.h"
#include "peers/switch_machine.h"

namespace {

using peers::Counts;
using peers::Ev;

const std::vector<Ev>& sequence() {
    static const std::vector<Ev> seq = peers::event_sequence(1000);
    return seq;
}

// Empty when every peer entered and left the same states as the switch, else what differs.
const std::string& mismatch() {
    static const std::string text = [] {
        const Counts expected = peers::run_counted<peers::SwitchMachine<false>>(sequence());
        struct Peer {
            const char* name;
            Counts got;
        };
        const Peer peers_run[] = {
            {"fsm", peers::run_counted<peers::FsmMachine>(sequence())},
            {"statechart", peers::run_counted<peers::statechart::Machine>(sequence())},
            {"msm", peers::run_counted<peers::msm::Machine>(sequence())},
            {"floor_locks", peers::run_counted<peers::SwitchMachine<true>>(sequence())},
            {"floor_design", peers::run_counted<peers::design::Machine>(sequence())},
        };
        std::string out;
        for (const Peer& p : peers_run) {
            if (!(p.got == expected)) {
                out += std::string(p.name) + " entered/left" + peers::describe(p.got) + " where the switch did" +
                       peers::describe(expected) + ". ";
            }
        }
        return out;
    }();
    return text;
}

template <class Machine>
void BM_Dispatch(benchmark::State& state) {
    if (!mismatch().empty()) {
        state.SkipWithError(("The peers do not do the same work: " + mismatch()).c_str());
        return;
    }
    Machine m;
    const std::vector<Ev>& seq = sequence();
    size_t i = 0;
    for (auto _ : state) {
        m.dispatch(seq[i]);
        if (++i == seq.size()) {
            i = 0;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

BENCHMARK_TEMPLATE(BM_Dispatch, peers::FsmMachine)->Name("Dispatch/fsm");
BENCHMARK_TEMPLATE(BM_Dispatch, peers::statechart::Machine)->Name("Dispatch/statechart");
BENCHMARK_TEMPLATE(BM_Dispatch, peers::msm::Machine)->Name("Dispatch/msm");
BENCHMARK_TEMPLATE(BM_Dispatch, peers::SwitchMachine<false>)->Name("Dispatch/switch");
BENCHMARK_TEMPLATE(BM_Dispatch, peers::SwitchMachine<true>)->Name("Dispatch/floor_locks");
BENCHMARK_TEMPLATE(BM_Dispatch, peers::design::Machine)->Name("Dispatch/floor_design");

}  // namespace
