// FSMtrace: the most recent transitions of one machine, kept by its root. Written by the thread
// that dispatches the machine's events, without allocating and without a lock; read by any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

class FSMstate;
class FSMsuperstate;

class FSMtrace {
  public:
    static constexpr size_t kCapacity = 128;
    // Room for the event name and, when the flow kept its state, the name the transition gave:
    // a slot is then two cache lines, and a record with a short event name fills only the first.
    static constexpr size_t kTextSize = 80;

    enum Effect : int32_t { SWITCHED = 0, FINISHED = 1, UNCHANGED = 2 };

    // One transition. Names of states are reached through the pointers: states outlive their
    // machine and keep their names once it runs.
    struct Record {
        int64_t time_ns;       // CLOCK_REALTIME_COARSE
        FSMsuperstate* owner;  // the superstate whose flow switched
        FSMstate* from;
        FSMstate* to;  // the state entered (the owner when the flow finished); null when unchanged
        int32_t flow;
        int32_t effect;
        // The event name, NUL, and with UNCHANGED the next-state name, NUL; each cut to fit.
        char text[kTextSize];

        const char* event() const { return text; }
        const char* next() const;
    };

    FSMtrace();
    FSMtrace(const FSMtrace&) = delete;
    FSMtrace& operator=(const FSMtrace&) = delete;

    // Appends a transition. Only one thread may write (the machine's event thread).
    void record(FSMsuperstate* owner, int flow, FSMstate* from, FSMstate* to, const char* event, const char* next);

    // The number of transitions recorded so far (the seq of the newest).
    uint64_t last() const { return written_.load(std::memory_order_acquire); }

    // Copies the records with seq above `after` that are still held, oldest first, with their seq
    // in seqs, up to the newest at the time of the call, whose seq goes to *newest. Returns how
    // many records after `after` were overwritten before they could be read.
    uint64_t read(uint64_t after, std::vector<Record>* out, std::vector<uint64_t>* seqs, uint64_t* newest) const;

    // The trace of the machine that sp belongs to; null when sp has no root machine.
    static FSMtrace* of(FSMstate* sp);

  private:
    static constexpr size_t kWords = sizeof(Record) / sizeof(uint64_t);
    static_assert(sizeof(Record) % sizeof(uint64_t) == 0, "a record is a whole number of words");

    // A record as words, each written and read atomically. seq is 2n while it holds transition
    // n and odd while transition n is being written over it.
    struct alignas(64) Slot {
        std::atomic<uint64_t> seq{0};
        std::atomic<uint64_t> word[kWords];
    };

    static_assert(sizeof(Slot) == 128, "a slot is two cache lines");

    bool read_slot(uint64_t n, Record* out) const;

    std::unique_ptr<Slot[]> ring_;
    std::atomic<uint64_t> written_{0};
};
