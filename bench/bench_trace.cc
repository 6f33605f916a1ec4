// The transition trace's cost: one record as the event thread writes it (with the transition's
// own event name, and with a copied one as a "*" transition has), the whole of what one event of
// one or four transitions pays, a reader's copy of a full ring, and whole events through machines
// that keep a trace and through the same machines that keep none.
#include <benchmark/benchmark.h>

#include <vector>

#include "fsm.h"
#include "layered_machine.h"

namespace {

// A superstate and two of its states for the entries to name.
struct Names {
    FSMsuperstate owner{nullptr, "Mid0", "", SUPER_STATE};
    FSMstate from{"A00", nullptr, STATE};
    FSMstate to{"B00", nullptr, STATE};
};

// One entry per iteration, written by `write`: record (the transition's own name) or
// record_event (the name copied).
template <void (FSMtrace::*write)(FSMsuperstate*, int, FSMstate*, FSMstate*, const char*, const char*)>
void record_entries(benchmark::State& state) {
    FSMtrace trace;
    Names n;
    for (auto _ : state) {
        (trace.*write)(&n.owner, 0, &n.from, &n.to, "flip", "B00");
    }
    benchmark::DoNotOptimize(trace.last());
    state.SetItemsProcessed(state.iterations());
}

void BM_TraceRecord(benchmark::State& state) {
    record_entries<&FSMtrace::record>(state);
}
BENCHMARK(BM_TraceRecord);

void BM_TraceRecordCopiedEvent(benchmark::State& state) {
    record_entries<&FSMtrace::record_event>(state);
}
BENCHMARK(BM_TraceRecordCopiedEvent);

// What the trace costs one event of `transitions` transitions: the root's mark around the
// dispatch, one clock reading and an entry per transition.
void BM_TraceEvent(benchmark::State& state) {
    FSMtrace trace;
    Names n;
    const int64_t transitions = state.range(0);
    for (auto _ : state) {
        FSMtrace::Scope dispatch(&trace);
        for (int64_t i = 0; i < transitions; ++i) {
            trace.record(&n.owner, 0, &n.from, &n.to, "flip", "B00");
        }
    }
    benchmark::DoNotOptimize(trace.last());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TraceEvent)->Arg(1)->Arg(4);

void BM_TraceReadFullRing(benchmark::State& state) {
    FSMtrace trace;
    FSMsuperstate owner(nullptr, "Mid0", "", SUPER_STATE);
    FSMstate from("A00", nullptr, STATE);
    for (size_t i = 0; i < FSMtrace::kCapacity; ++i) {
        trace.record(&owner, 0, &from, nullptr, "an_event_with_a_longer_name", "Nowhere");
    }
    std::vector<FSMtrace::Record> records;
    std::vector<uint64_t> seqs;
    uint64_t newest = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(trace.read(0, &records, &seqs, &newest));
    }
    state.SetItemsProcessed(state.iterations() * FSMtrace::kCapacity);
}
BENCHMARK(BM_TraceReadFullRing);

// An event through a machine, dispatched directly or first taken from a root's queue as the event
// thread takes them (a batch of 100 posted, then taken one by one, and the pass's tick). Each runs
// on a machine that keeps a trace (a FSMrootstate root) and on the same machine that keeps none (a
// FSMsuperstate root): the difference is what the trace costs the event.
enum class Path { direct, queued };

template <typename Machine, Path path>
void BM_Event(benchmark::State& state) {
    Machine m;
    FSMevent flip;
    flip.set_event("flip", "*");
    if constexpr (path == Path::direct) {
        for (auto _ : state) {
            m.root().FSMsuperstate::process_event(&flip);
        }
        state.SetItemsProcessed(state.iterations());
    } else {
        constexpr int kBatch = 100;
        FSMrootstate queue(nullptr, "Queue", "");  // no states: it only hands the events on
        FSMevent taken;
        for (auto _ : state) {
            for (int i = 0; i < kBatch; ++i) {
                queue.post_event(&flip);
            }
            queue.post_event(nullptr);  // starts the pass, as the update cycle does
            for (int i = 0; i < kBatch; ++i) {
                queue.process_event(&taken);
                m.root().FSMsuperstate::process_event(&taken);
            }
            queue.process_event(&taken);  // the pass's tick
        }
        state.SetItemsProcessed(state.iterations() * kBatch);
    }
}

using Layered = bench::LayeredMachine<FSMrootstate>;
using LayeredUntraced = bench::LayeredMachine<FSMsuperstate>;
using TwoStates = bench::TwoStateMachine<FSMrootstate>;
using TwoStatesUntraced = bench::TwoStateMachine<FSMsuperstate>;
BENCHMARK_TEMPLATE(BM_Event, Layered, Path::direct)->Name("BM_Event/four_transitions/direct/traced");
BENCHMARK_TEMPLATE(BM_Event, LayeredUntraced, Path::direct)->Name("BM_Event/four_transitions/direct/untraced");
BENCHMARK_TEMPLATE(BM_Event, Layered, Path::queued)->Name("BM_Event/four_transitions/queued/traced");
BENCHMARK_TEMPLATE(BM_Event, LayeredUntraced, Path::queued)->Name("BM_Event/four_transitions/queued/untraced");
BENCHMARK_TEMPLATE(BM_Event, TwoStates, Path::direct)->Name("BM_Event/one_transition/direct/traced");
BENCHMARK_TEMPLATE(BM_Event, TwoStatesUntraced, Path::direct)->Name("BM_Event/one_transition/direct/untraced");
BENCHMARK_TEMPLATE(BM_Event, TwoStates, Path::queued)->Name("BM_Event/one_transition/queued/traced");
BENCHMARK_TEMPLATE(BM_Event, TwoStatesUntraced, Path::queued)->Name("BM_Event/one_transition/queued/untraced");

}  // namespace
