// FSMtrace: the most recent transitions of one machine, and the errors its states raised while it
// dispatched, kept by its root. Written by the thread that dispatches the machine's events, without
// allocating and without a lock; read by any thread.
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
    // Room for an event name that is not the transition's own (a "*" transition) or an error
    // text, with its NUL; longer texts are cut on a character boundary.
    static constexpr size_t kTextSize = 96;

    enum Effect : int32_t { SWITCHED = 0, FINISHED = 1, UNCHANGED = 2, ERROR = 3 };

    // One entry. Names are reached through pointers: states and their transitions outlive their
    // machine and keep their names once it runs, so a reader resolves them when it copies.
    struct Record {
        int64_t time_ns;        // CLOCK_REALTIME_COARSE, read once per event
        FSMsuperstate* owner;   // the superstate whose flow switched; null for an error
        FSMstate* from;         // the state that left, or that raised the error
        FSMstate* to;           // the state entered (the owner when the flow finished); null when unchanged
        const char* name;       // the transition's event name; null when the text holds the event
        const char* next_name;  // the transition's next-state name
        int32_t flow;
        int32_t effect;
        char text[kTextSize];  // the event as dispatched when name is null, or the error text

        const char* event() const { return name != nullptr ? name : effect == ERROR ? "" : text; }
        const char* next() const { return next_name != nullptr ? next_name : ""; }
        const char* error() const { return effect == ERROR ? text : ""; }
    };

    FSMtrace();
    FSMtrace(const FSMtrace&) = delete;
    FSMtrace& operator=(const FSMtrace&) = delete;

    // Appends a transition. name and next must live as long as the trace and its readers (the
    // transition's own names). Only one thread may write (the machine's event thread).
    void record(FSMsuperstate* owner, int flow, FSMstate* from, FSMstate* to, const char* name, const char* next);
    // The same with an event name that may not live on: it is copied, cut to fit.
    void record_event(FSMsuperstate* owner, int flow, FSMstate* from, FSMstate* to, const char* event,
                      const char* next);
    // Appends an error that sp raised, its text copied and cut to fit. An error equal to the
    // newest entry (same state, same text) is not repeated.
    void record_error(FSMstate* sp, const char* text);

    // Marks one event's dispatch by the root on this thread while it lives: the records take the
    // time read at the first of them, and errors raised on this thread meanwhile are recorded.
    // Scopes nest; a null trace marks nothing.
    class Scope {
      public:
        explicit Scope(FSMtrace* trace) : trace_(trace) {
            if (trace_ != nullptr) {
                enter();
            }
        }
        ~Scope() {
            if (trace_ != nullptr) {
                leave();
            }
        }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

      private:
        void enter();
        void leave();

        FSMtrace* trace_;
        FSMtrace* outer_ = nullptr;
    };

    // Records an error that sp raised, when this thread is dispatching an event of sp's machine.
    static void note_error(FSMstate* sp, const char* text);

    // The number of entries recorded so far (the seq of the newest).
    uint64_t last() const { return written_.load(std::memory_order_acquire); }

    // Copies the records with seq above `after` that are still held, oldest first, with their seq
    // in seqs, up to the newest at the time of the call, whose seq goes to *newest. Returns how
    // many records after `after` were overwritten before they could be read.
    uint64_t read(uint64_t after, std::vector<Record>* out, std::vector<uint64_t>* seqs, uint64_t* newest) const;

    // The trace of the machine that sp belongs to; null when sp has no root machine.
    static FSMtrace* of(FSMstate* sp);

  private:
    static constexpr size_t kWords = 7;
    static constexpr size_t kTextWords = kTextSize / sizeof(uint64_t);
    static_assert(kTextSize % sizeof(uint64_t) == 0, "the text is a whole number of words");

    // An entry as words, each written and read atomically: time, owner, from, to, name, next,
    // flow and effect. seq is 2n while it holds entry n and odd while entry n is being written
    // over it. A slot is one cache line; its text, when it has one, is the slot of the same
    // index in text_, covered by the same seq.
    struct alignas(64) Slot {
        std::atomic<uint64_t> seq{0};
        std::atomic<uint64_t> word[kWords];
    };
    struct TextSlot {
        std::atomic<uint64_t> word[kTextWords];
    };
    static_assert(sizeof(Slot) == 64, "a slot is one cache line");

    // Stores the entry of seq written_ + 1; text (cut to fit) when it is not null.
    void store(FSMsuperstate* owner, int flow, FSMstate* from, FSMstate* to, const char* name, const char* next,
               int32_t effect, const char* text);
    int64_t now();
    int64_t read_clock();
    void record_first(FSMsuperstate* owner, int flow, FSMstate* from, FSMstate* to, const char* name, const char* next);
    bool read_slot(uint64_t n, Record* out) const;

    std::unique_ptr<Slot[]> ring_;
    std::unique_ptr<TextSlot[]> text_;
    std::atomic<uint64_t> written_{0};
    // The event thread's own: the time of the event being dispatched (0 until read), and what
    // the newest error entry held.
    int64_t event_time_ = 0;
    FSMstate* error_state_ = nullptr;
    uint64_t error_seq_ = 0;
    uint64_t error_hash_ = 0;
};
