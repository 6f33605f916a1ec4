// The machine that bench_peers_queue measures, and what its three versions share: the events in
// the order they are posted, the counts of entered and left states, and the hand-offs between the
// posting thread and a worker.
//
// The machine: a root whose only flow holds the superstate Operating and its sibling Fault.
// Operating has two flows with history, A0..A3 and B0..B3, each moving one step on its event
// ("a" or "b"); "fault" leaves Operating for Fault and "recover" returns with both flows where
// they were. Every state counts its entries and exits.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace queued {

enum class Kind { A, B, Fault, Recover };

// Of every 20 events, 18 move one flow (A and B in turn), then one goes to Fault and one back.
inline Kind kind_of(long i) {
    const long r = i % 20;
    if (r < 18) {
        return r % 2 == 0 ? Kind::A : Kind::B;
    }
    return r == 18 ? Kind::Fault : Kind::Recover;
}

// Entries and exits per state: 0 Operating, 1 Fault, 2..5 A0..A3, 6..9 B0..B3. Only the worker that
// runs the machine writes them; readers wait for the worker first.
enum { kOperating = 0, kFault = 1, kA0 = 2, kB0 = 6, kStates = 10 };
struct Counts {
    std::array<long, kStates> enters{};
    std::array<long, kStates> exits{};
    bool operator==(const Counts& o) const { return enters == o.enters && exits == o.exits; }
};

// Counts arrivals; a waiter blocks until the count reaches its target.
class Latch {
  public:
    void arrive() {
        {
            std::lock_guard<std::mutex> lock(mux_);
            ++count_;
        }
        cond_.notify_one();
    }
    void wait_for(long target) {
        std::unique_lock<std::mutex> lock(mux_);
        cond_.wait(lock, [&] { return count_ >= target; });
    }
    long count() {
        std::lock_guard<std::mutex> lock(mux_);
        return count_;
    }

  private:
    std::mutex mux_;
    std::condition_variable cond_;
    long count_ = 0;
};

// A gate a worker waits at until the posting thread opens it.
class Gate {
  public:
    void pass() {
        std::unique_lock<std::mutex> lock(mux_);
        entered_ = true;
        cond_.notify_all();
        cond_.wait(lock, [&] { return open_; });
        open_ = false;
        entered_ = false;
    }
    void wait_entered() {
        std::unique_lock<std::mutex> lock(mux_);
        cond_.wait(lock, [&] { return entered_; });
    }
    void open() {
        {
            std::lock_guard<std::mutex> lock(mux_);
            open_ = true;
        }
        cond_.notify_all();
    }

  private:
    std::mutex mux_;
    std::condition_variable cond_;
    bool entered_ = false;
    bool open_ = false;
};

inline int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace queued
