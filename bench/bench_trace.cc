// The transition trace's cost: one record as the event thread writes it, and a reader's copy of a
// full ring. Compare the record with BM_DispatchOnly of bench_dispatch, whose every event fires
// eight transitions and so writes eight records.
#include <benchmark/benchmark.h>

#include <vector>

#include "fsm.h"

namespace {

void BM_TraceRecord(benchmark::State& state) {
    FSMtrace trace;
    FSMsuperstate owner(nullptr, "Mid0", "", SUPER_STATE);
    FSMstate from("A00", nullptr, STATE);
    FSMstate to("B00", nullptr, STATE);
    for (auto _ : state) {
        trace.record(&owner, 0, &from, &to, "flip", "B00");
    }
    benchmark::DoNotOptimize(trace.last());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TraceRecord);

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
