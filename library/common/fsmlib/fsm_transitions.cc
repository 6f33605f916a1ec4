// The transition trace: a ring of entries written by one thread as a per-slot sequence lock.
//
// The writer marks a slot odd, stores the entry's words with release order and marks it even
// again; a reader loads the mark, the words with acquire order and the mark again, and keeps the
// copy only when both marks are the even mark of the entry it wants. Every access is atomic, so a
// reader racing the writer gets a torn copy that it throws away, never undefined behaviour.
//
// A transition stores pointers to its names, not their text: the common entry is seven words in
// one cache line. Text is copied only for an event that is not the transition's own name and for
// errors, into a second ring that the same mark covers.
#include "fsm_transitions.h"

#include <time.h>

#include <cstring>

#include "fsm.h"

namespace {

// The trace of the machine whose event this thread dispatches, if any. Initial-exec: the library
// is loaded with the program, and the slot is read without a call.
thread_local FSMtrace* dispatching __attribute__((tls_model("initial-exec"))) = nullptr;

// How many bytes of text fit in room with a NUL after them, cut before a character that would
// not fit whole (a UTF-8 continuation byte never starts the part left out).
size_t fitting_length(const char* text, size_t room) {
    size_t n = 0;
    while (n + 1 < room && text[n] != '\0') {
        ++n;
    }
    for (int back = 0; back < 3 && n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80; ++back) {
        --n;
    }
    return n;
}

uint64_t as_word(const void* p) {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p));
}

template <typename T>
T* as_pointer(uint64_t w) {
    return reinterpret_cast<T*>(static_cast<uintptr_t>(w));
}

uint64_t text_hash(const char* text, size_t len) {
    uint64_t h = 1469598103934665603ull;  // FNV-1a
    for (size_t i = 0; i < len; ++i) {
        h = (h ^ static_cast<unsigned char>(text[i])) * 1099511628211ull;
    }
    return h;
}

}  // namespace

FSMtrace::FSMtrace() : ring_(new Slot[kCapacity]), text_(new TextSlot[kCapacity]) {
    for (size_t i = 0; i < kCapacity; ++i) {
        for (auto& w : ring_[i].word) {
            w.store(0, std::memory_order_relaxed);
        }
        for (auto& w : text_[i].word) {
            w.store(0, std::memory_order_relaxed);
        }
    }
}

int64_t FSMtrace::read_clock() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME_COARSE, &ts);
    event_time_ = static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    return event_time_;
}

inline int64_t FSMtrace::now() {
    return event_time_ != 0 ? event_time_ : read_clock();
}

void FSMtrace::Scope::enter() {
    outer_ = dispatching;
    dispatching = trace_;
    trace_->event_time_ = 0;
}

void FSMtrace::Scope::leave() {
    dispatching = outer_;
    // A transition dispatched outside a root's event reads the clock again.
    trace_->event_time_ = 0;
}

inline void FSMtrace::store(FSMsuperstate* owner, int flow, FSMstate* from, FSMstate* to, const char* name,
                            const char* next, int32_t effect, const char* text) {
    const int64_t time_ns = now();
    const uint64_t n = written_.load(std::memory_order_relaxed) + 1;
    const size_t index = (n - 1) % kCapacity;
    Slot& slot = ring_[index];
    slot.seq.store(2 * n - 1, std::memory_order_relaxed);
    if (text != nullptr) {
        uint64_t words[kTextWords];
        const size_t len = fitting_length(text, kTextSize);
        const size_t count = len / sizeof(uint64_t) + 1;
        // The last word is cleared first so that no stale stack bytes follow the NUL.
        words[count - 1] = 0;
        std::memcpy(words, text, len);
        for (size_t i = 0; i < count; ++i) {
            text_[index].word[i].store(words[i], std::memory_order_release);
        }
    }
    slot.word[0].store(static_cast<uint64_t>(time_ns), std::memory_order_release);
    slot.word[1].store(as_word(owner), std::memory_order_release);
    slot.word[2].store(as_word(from), std::memory_order_release);
    slot.word[3].store(as_word(to), std::memory_order_release);
    slot.word[4].store(as_word(name), std::memory_order_release);
    slot.word[5].store(as_word(next), std::memory_order_release);
    slot.word[6].store(static_cast<uint32_t>(flow) | static_cast<uint64_t>(static_cast<uint32_t>(effect)) << 32,
                       std::memory_order_release);
    slot.seq.store(2 * n, std::memory_order_release);
    written_.store(n, std::memory_order_release);
}

// The first record of an event reads the clock here, apart, so that the others save no registers
// for the clock's call.
__attribute__((noinline, cold)) void FSMtrace::record_first(FSMsuperstate* owner, int flow, FSMstate* from,
                                                            FSMstate* to, const char* name, const char* next) {
    read_clock();
    record(owner, flow, from, to, name, next);
}

void FSMtrace::record(FSMsuperstate* owner, int flow, FSMstate* from, FSMstate* to, const char* name,
                      const char* next) {
    if (event_time_ == 0) {
        record_first(owner, flow, from, to, name, next);
        return;
    }
    const int32_t effect = to == nullptr ? UNCHANGED : (to == owner ? FINISHED : SWITCHED);
    // A null name would read as "the text holds the event".
    store(owner, flow, from, to, name != nullptr ? name : "", next, effect, nullptr);
}

void FSMtrace::record_event(FSMsuperstate* owner, int flow, FSMstate* from, FSMstate* to, const char* event,
                            const char* next) {
    const int32_t effect = to == nullptr ? UNCHANGED : (to == owner ? FINISHED : SWITCHED);
    store(owner, flow, from, to, nullptr, next, effect, event);
}

void FSMtrace::record_error(FSMstate* sp, const char* text) {
    const uint64_t hash = text_hash(text, fitting_length(text, kTextSize));
    if (error_seq_ != 0 && error_seq_ == written_.load(std::memory_order_relaxed) && error_state_ == sp &&
        error_hash_ == hash) {
        return;  // raised again by the same state before anything else happened
    }
    store(nullptr, 0, sp, nullptr, nullptr, nullptr, ERROR, text);
    error_state_ = sp;
    error_hash_ = hash;
    error_seq_ = written_.load(std::memory_order_relaxed);
}

void FSMtrace::note_error(FSMstate* sp, const char* text) {
    FSMtrace* trace = dispatching;
    if (trace == nullptr || sp == nullptr || text == nullptr || text[0] == '\0' || of(sp) != trace) {
        return;
    }
    trace->record_error(sp, text);
}

bool FSMtrace::read_slot(uint64_t n, Record* out) const {
    const size_t index = (n - 1) % kCapacity;
    const Slot& slot = ring_[index];
    if (slot.seq.load(std::memory_order_acquire) != 2 * n) {
        return false;
    }
    uint64_t words[kWords];
    for (size_t i = 0; i < kWords; ++i) {
        words[i] = slot.word[i].load(std::memory_order_acquire);
    }
    const bool has_text = words[4] == 0;
    uint64_t text[kTextWords];
    if (has_text) {
        for (size_t i = 0; i < kTextWords; ++i) {
            text[i] = text_[index].word[i].load(std::memory_order_acquire);
        }
    }
    if (slot.seq.load(std::memory_order_relaxed) != 2 * n) {
        return false;
    }
    out->time_ns = static_cast<int64_t>(words[0]);
    out->owner = as_pointer<FSMsuperstate>(words[1]);
    out->from = as_pointer<FSMstate>(words[2]);
    out->to = as_pointer<FSMstate>(words[3]);
    out->name = as_pointer<const char>(words[4]);
    out->next_name = as_pointer<const char>(words[5]);
    out->flow = static_cast<int32_t>(static_cast<uint32_t>(words[6]));
    out->effect = static_cast<int32_t>(static_cast<uint32_t>(words[6] >> 32));
    if (has_text) {
        std::memcpy(out->text, text, kTextSize);
        out->text[kTextSize - 1] = '\0';
    } else {
        out->text[0] = '\0';
    }
    return true;
}

uint64_t FSMtrace::read(uint64_t after, std::vector<Record>* out, std::vector<uint64_t>* seqs,
                        uint64_t* newest_seq) const {
    out->clear();
    seqs->clear();
    const uint64_t newest = last();
    *newest_seq = newest;
    if (after >= newest) {
        return 0;
    }
    const uint64_t oldest_held = newest > kCapacity ? newest - kCapacity + 1 : 1;
    const uint64_t first = after + 1 > oldest_held ? after + 1 : oldest_held;
    uint64_t missed = first - (after + 1);
    for (uint64_t n = first; n <= newest; ++n) {
        Record r;
        if (read_slot(n, &r)) {
            out->push_back(r);
            seqs->push_back(n);
        } else {
            ++missed;  // the writer has come round to this slot again
        }
    }
    return missed;
}

FSMtrace* FSMtrace::of(FSMstate* sp) {
    auto* root = dynamic_cast<FSMrootstate*>(sp != nullptr ? sp->get_root() : nullptr);
    return root != nullptr ? &root->trace : nullptr;
}
