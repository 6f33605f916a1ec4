// Dispatch through a machine of several levels and flows, and the root's queue with 100 000
// waiting events, measured side by side with a queue that erases the front of a vector.
#include <benchmark/benchmark.h>
#include <pthread.h>

#include <vector>

#include "fsm.h"
#include "layered_machine.h"

namespace {

// Events per second from the queue through every level: a batch is posted, one signal starts the
// pass, and the consumer takes every event and the tick.
void BM_DispatchThroughMachine(benchmark::State& state) {
    bench::LayeredMachine<> m;
    const int batch = static_cast<int>(state.range(0));
    FSMevent flip;
    flip.set_event("flip", "*");
    FSMevent ev;
    for (auto _ : state) {
        for (int i = 0; i < batch; ++i) {
            m.root().post_event(&flip);
        }
        m.root().post_event(nullptr);
        for (int i = 0; i <= batch; ++i) {
            m.root().process_event(&ev);
        }
    }
    state.SetItemsProcessed(state.iterations() * (batch + 1));
}
BENCHMARK(BM_DispatchThroughMachine)->Arg(1)->Arg(100);

// Dispatch alone, without the queue: one event handed to the root's superstate processing.
void BM_DispatchOnly(benchmark::State& state) {
    bench::LayeredMachine<> m;
    FSMevent flip;
    flip.set_event("flip", "*");
    for (auto _ : state) {
        m.root().FSMsuperstate::process_event(&flip);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DispatchOnly);

// The root's queue with `waiting` events queued: each iteration gives one event and takes one.
void BM_RootQueueWithWaiting(benchmark::State& state) {
    FSMrootstate root(nullptr, "Q", "");  // passive: dispatch does almost nothing
    const int waiting = static_cast<int>(state.range(0));
    FSMevent ev;
    ev.set_event("e", "*");
    for (int i = 0; i < waiting; ++i) {
        root.post_event(&ev);
    }
    root.post_event(nullptr);
    FSMevent out;
    for (auto _ : state) {
        root.post_event(&ev);
        root.process_event(&out);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RootQueueWithWaiting)->Arg(100)->Arg(100000);

// The peer: the same locking and copies, but the oldest event is erased from the vector's front.
class EraseFrontQueue {
  public:
    EraseFrontQueue() { pthread_mutex_init(&mux_, nullptr); }
    ~EraseFrontQueue() {
        for (FSMevent* e : event_) {
            delete e;
        }
        pthread_mutex_destroy(&mux_);
    }
    void enqueue(FSMevent& er) {
        FSMevent* copy = new FSMevent;
        copy->set_event(er.get_name(), er.get_state());
        pthread_mutex_lock(&mux_);
        event_.push_back(copy);
        pthread_mutex_unlock(&mux_);
    }
    int dequeue(FSMevent& er) {
        pthread_mutex_lock(&mux_);
        if (event_.empty()) {
            pthread_mutex_unlock(&mux_);
            return 0;
        }
        FSMevent* oldest = event_.front();
        event_.erase(event_.begin());
        pthread_mutex_unlock(&mux_);
        er.set_event(oldest->get_name(), oldest->get_state());
        delete oldest;
        return 1;
    }

  private:
    pthread_mutex_t mux_;
    std::vector<FSMevent*> event_;
};

void BM_EraseFrontQueueWithWaiting(benchmark::State& state) {
    EraseFrontQueue q;
    const int waiting = static_cast<int>(state.range(0));
    FSMevent ev;
    ev.set_event("e", "*");
    for (int i = 0; i < waiting; ++i) {
        q.enqueue(ev);
    }
    FSMevent out;
    for (auto _ : state) {
        q.enqueue(ev);
        benchmark::DoNotOptimize(q.dequeue(out));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EraseFrontQueueWithWaiting)->Arg(100)->Arg(100000);

// Draining a burst: 100 000 events posted, then one pass takes them all.
void BM_RootQueueDrainBurst(benchmark::State& state) {
    FSMrootstate root(nullptr, "Q", "");
    const int n = static_cast<int>(state.range(0));
    FSMevent ev;
    ev.set_event("e", "*");
    FSMevent out;
    for (auto _ : state) {
        for (int i = 0; i < n; ++i) {
            root.post_event(&ev);
        }
        root.post_event(nullptr);
        for (int i = 0; i <= n; ++i) {
            root.process_event(&out);
        }
    }
    state.SetItemsProcessed(state.iterations() * (n + 1));
}
BENCHMARK(BM_RootQueueDrainBurst)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_EraseFrontQueueDrainBurst(benchmark::State& state) {
    EraseFrontQueue q;
    const int n = static_cast<int>(state.range(0));
    FSMevent ev;
    ev.set_event("e", "*");
    FSMevent out;
    for (auto _ : state) {
        for (int i = 0; i < n; ++i) {
            q.enqueue(ev);
        }
        while (q.dequeue(out)) {
        }
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_EraseFrontQueueDrainBurst)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace
