// Queued events from posting to processed, this library against Boost.Statechart and Boost.MSM on
// the same machine (queued_machine.h), and the latency from the signal of a pass to its first
// action against a plain condition-variable hand-off.
//
// Queued/<peer>/N: N events are posted while the worker waits, then it is released; the time runs
// from the first post until the worker has processed the last. items_per_second counts events over
// that time (the Time column is the posting thread's CPU time and says little here), and
// items_per_cpu_second over the CPU time of both threads.
// Latency/<peer>: p50_ns and p99_ns from the signal to the first action of the pass that it starts.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "queued_fsm.h"
#include "queued_machine.h"
#include "queued_msm.h"
#include "queued_statechart.h"

namespace {

using queued::Counts;
using queued::kind_of;
using queued::now_ns;

// Posts n events of the common sequence, starting at `from`.
template <class Machine>
void post_batch(Machine& m, long from, long n) {
    for (long i = from; i < from + n; ++i) {
        m.post(kind_of(i));
    }
}

// CPU time of the whole process: the posting thread and the worker.
int64_t process_cpu_ns() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double per_second(long events, int64_t ns) {
    return ns > 0 ? static_cast<double>(events) * 1e9 / static_cast<double>(ns) : 0.0;
}

// Whether a fresh machine enters and leaves the same states as this library's after one batch of
// 57 events (two rounds with their fault and recover, then 17 steps).
template <class Machine>
bool does_the_same_work() {
    Counts expected;
    {
        queued::FsmMachine reference;
        post_batch(reference, 0, 57);
        reference.run_pass();
        expected = reference.counts();
    }
    Machine check;
    check.hold();
    post_batch(check, 0, 57);
    check.run_pass();
    return check.counts() == expected;
}

// Each iteration posts a batch of N events to the waiting worker, releases it and waits until it
// has processed them all.
template <class Machine>
void queued_batches(benchmark::State& state) {
    if (!does_the_same_work<Machine>()) {
        state.SkipWithError("This version enters or leaves other states than this library's machine.");
        return;
    }
    const long n = state.range(0);
    Machine m;
    long posted = 0;
    int64_t total = 0;
    int64_t cpu = 0;
    for (auto _ : state) {
        m.hold();
        const int64_t t0 = now_ns();
        const int64_t c0 = process_cpu_ns();
        post_batch(m, posted, n);
        m.run_pass();
        total += now_ns() - t0;
        cpu += process_cpu_ns() - c0;
        posted += n;
    }
    state.counters["items_per_second"] = per_second(posted, total);
    // Events per second of CPU spent by both threads: what the work costs, whatever else the
    // machine runs at the time.
    state.counters["items_per_cpu_second"] = per_second(posted, cpu);
}

// ---- latency ----

// Between samples the worker is given time to go back to sleep, so that every signal wakes it.
constexpr auto kSettle = std::chrono::microseconds(200);

void report_percentiles(benchmark::State& state, std::vector<int64_t>& samples) {
    if (samples.empty()) {
        return;
    }
    std::sort(samples.begin(), samples.end());
    state.counters["p50_ns"] = static_cast<double>(samples[samples.size() / 2]);
    state.counters["p99_ns"] = static_cast<double>(samples[samples.size() * 99 / 100]);
}

// This library: one step is queued before each signal, so that the pass's first action is the
// exit of the state it leaves.
class FsmPass {
  public:
    void prepare() { m_.post(kind_of(step_++ % 18)); }
    long passes() { return m_.ticks.count(); }
    void start() { m_.start_pass_stamped(); }
    void wait_passes(long n) { m_.ticks.wait_for(n); }
    int64_t stamped_ns() { return m_.first_action_ns.load(); }

  private:
    queued::FsmMachine m_;
    long step_ = 0;
};

// The floor: a worker waiting on a condition variable for a flag, woken the same way (flag set
// under the lock, signal after it), records the time it runs.
class Handoff {
  public:
    Handoff()
        : worker_([this] {
              std::unique_lock<std::mutex> lock(mux_);
              for (;;) {
                  cond_.wait(lock, [&] { return flag_; });
                  flag_ = false;
                  if (quit_) {
                      return;
                  }
                  woke_ns_.store(now_ns());
                  lock.unlock();
                  done_.arrive();
                  lock.lock();
              }
          }) {}
    ~Handoff() {
        {
            std::lock_guard<std::mutex> lock(mux_);
            quit_ = true;
            flag_ = true;
        }
        cond_.notify_one();
        worker_.join();
    }
    Handoff(const Handoff&) = delete;
    Handoff& operator=(const Handoff&) = delete;

    void prepare() {}
    long passes() { return done_.count(); }
    void start() {
        {
            std::lock_guard<std::mutex> lock(mux_);
            flag_ = true;
        }
        cond_.notify_one();
    }
    void wait_passes(long n) { done_.wait_for(n); }
    int64_t stamped_ns() { return woke_ns_.load(); }

  private:
    std::mutex mux_;
    std::condition_variable cond_;
    bool flag_ = false;
    bool quit_ = false;
    std::atomic<int64_t> woke_ns_{0};
    queued::Latch done_;
    std::thread worker_;
};

// Each iteration wakes a sleeping worker and records how long it took to run its first action.
template <class Target>
void latency(benchmark::State& state) {
    Target t;
    std::vector<int64_t> samples;
    for (auto _ : state) {
        t.prepare();
        std::this_thread::sleep_for(kSettle);
        const long target = t.passes() + 1;
        const int64_t t0 = now_ns();
        t.start();
        t.wait_passes(target);
        samples.push_back(t.stamped_ns() - t0);
    }
    report_percentiles(state, samples);
}

const bool registered = [] {
    struct Peer {
        const char* name;
        void (*fn)(benchmark::State&);
    };
    for (const Peer& p : {Peer{"Queued/fsm", queued_batches<queued::FsmMachine>},
                          Peer{"Queued/statechart", queued_batches<queued::StatechartMachine>},
                          Peer{"Queued/msm", queued_batches<queued::MsmMachine>}}) {
        benchmark::RegisterBenchmark(p.name, p.fn)->Arg(1000)->Arg(100000);
    }
    benchmark::RegisterBenchmark("Latency/fsm", latency<FsmPass>);
    benchmark::RegisterBenchmark("Latency/handoff", latency<Handoff>);
    return true;
}();

}  // namespace
