// The start-up work that grows with the number of machines, without their threads: reading the
// configuration, creating each root location from its factory, serving it by address, registering
// its machine and sending it an event by name. Linear start-up shows as a flat time per machine.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fsm.h"

node_info* init_list = nullptr;

namespace {

void build_nothing(EqFSMlocation*) {}

std::string machine_name(int i) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "m%06d", i);
    return buf;
}

void BM_StartWithoutThreads(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    std::vector<node_info> chain(n);
    std::string conf = "facility BENCH\ndevice START\n";
    for (int i = 0; i < n; ++i) {
        chain[i].link = i + 1 < n ? &chain[i + 1] : nullptr;
        std::snprintf(chain[i].name, sizeof chain[i].name, "%s", machine_name(i).c_str());
        chain[i].create = build_nothing;
        conf += "location L" + machine_name(i) + " 100 " + machine_name(i) + " {\n  FSM " + machine_name(i) + "\n}\n";
    }
    init_list = chain.data();
    FSMevent ev;
    ev.set_event("go", "*");
    for (auto _ : state) {
        ServerConfig config;
        std::string error;
        if (velko::parse_config_text(conf, "start.conf", &config, &error) != 0) {
            state.SkipWithError(error.c_str());
            break;
        }
        std::vector<EqFSMlocation*> locs;
        locs.reserve(n);
        global_list.init_list();
        for (const LocationConfig& lc : config.locations) {
            gbl_fct_name = lc.kind;
            auto* loc = static_cast<EqFSMlocation*>(eq_create(lc.eq_code, nullptr));
            loc->set_name(lc.name);
            loc->fsm.set_value(lc.kind.c_str());
            velko::LocationDirectory::add("BENCH", "START", loc);
            locs.push_back(loc);
        }
        for (EqFSMlocation* loc : locs) {
            global_list.store_node(loc);
        }
        for (const LocationConfig& lc : config.locations) {
            std::string name = lc.kind;
            benchmark::DoNotOptimize(send_event(name.data(), &ev));
        }
        state.PauseTiming();
        global_list.init_list();
        velko::LocationDirectory::retire("BENCH", "START");
        // Retired locations stay reachable by design; these are the benchmark's own to delete.
        for (EqFSMlocation* loc : locs) {
            delete loc;
        }
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * n);
    state.counters["per_machine"] = benchmark::Counter(
        static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_StartWithoutThreads)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace
