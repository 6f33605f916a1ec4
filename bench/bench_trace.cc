// The transition trace's cost: one record as the event thread writes it (with the transition's
// own event name, and with a copied one as a "*" transition has), the whole of what one event of
// one or four transitions pays, and a reader's copy of a full ring. Compare with BM_DispatchOnly
// (four transitions per event) and BM_DispatchOneTransition of bench_dispatch.
#include <benchmark/benchmark.h>

#include <vector>

#include "fsm.h"

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

}  // namespace
