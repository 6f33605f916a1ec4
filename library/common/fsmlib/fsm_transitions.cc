// The transition trace: a ring of records written by one thread as a per-slot sequence lock.
//
// The writer marks a slot odd, stores the record's words with release order and marks it even
// again; a reader loads the mark, the words with acquire order and the mark again, and keeps the
// copy only when both marks are the even mark of the transition it wants. Every access is atomic,
// so a reader racing the writer gets a torn copy that it throws away, never undefined behaviour.
#include "fsm_transitions.h"

#include <time.h>

#include <cstring>

#include "fsm.h"

namespace {

constexpr size_t kHeaderWords = offsetof(FSMtrace::Record, text) / sizeof(uint64_t);
static_assert(offsetof(FSMtrace::Record, text) % sizeof(uint64_t) == 0, "the text starts on a word");
static_assert(offsetof(FSMtrace::Record, effect) == offsetof(FSMtrace::Record, flow) + sizeof(int32_t),
              "flow and effect share a word");

// Copies text into buf[0..room), cut to fit with its NUL; returns the bytes used.
size_t put_text(char* buf, size_t room, const char* text) {
    size_t n = 0;
    while (n + 1 < room && text[n] != '\0') {
        buf[n] = text[n];
        ++n;
    }
    buf[n] = '\0';
    return n + 1;
}

}  // namespace

const char* FSMtrace::Record::next() const {
    const size_t n = std::strlen(text);
    return n + 1 < kTextSize ? text + n + 1 : "";
}

FSMtrace::FSMtrace() : ring_(new Slot[kCapacity]) {
    for (size_t i = 0; i < kCapacity; ++i) {
        for (auto& w : ring_[i].word) {
            w.store(0, std::memory_order_relaxed);
        }
    }
}

void FSMtrace::record(FSMsuperstate* owner, int flow, FSMstate* from, FSMstate* to, const char* event,
                      const char* next) {
    // The record is built as words in the layout of Record: a memcpy of the whole record into
    // words would cost more than everything else here.
    uint64_t words[kWords];
    timespec ts;
    clock_gettime(CLOCK_REALTIME_COARSE, &ts);
    const int64_t time_ns = static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    const int32_t kinds[2] = {flow, to == nullptr ? UNCHANGED : (to == owner ? FINISHED : SWITCHED)};
    std::memcpy(&words[offsetof(Record, time_ns) / 8], &time_ns, sizeof time_ns);
    std::memcpy(&words[offsetof(Record, owner) / 8], &owner, sizeof owner);
    std::memcpy(&words[offsetof(Record, from) / 8], &from, sizeof from);
    std::memcpy(&words[offsetof(Record, to) / 8], &to, sizeof to);
    std::memcpy(&words[offsetof(Record, flow) / 8], kinds, sizeof kinds);
    char* text = reinterpret_cast<char*>(&words[kHeaderWords]);
    size_t used = put_text(text, kTextSize, event);
    if (to == nullptr && used < kTextSize) {
        used += put_text(text + used, kTextSize - used, next);
    }
    const size_t count = kHeaderWords + (used + sizeof(uint64_t) - 1) / sizeof(uint64_t);
    // The tail of the last text word is never read past the NUL; clear it so no stale stack bytes
    // are stored.
    std::memset(text + used, 0, (count - kHeaderWords) * sizeof(uint64_t) - used);

    const uint64_t n = written_.load(std::memory_order_relaxed) + 1;
    Slot& slot = ring_[(n - 1) % kCapacity];
    slot.seq.store(2 * n - 1, std::memory_order_relaxed);
    for (size_t i = 0; i < count; ++i) {
        slot.word[i].store(words[i], std::memory_order_release);
    }
    slot.seq.store(2 * n, std::memory_order_release);
    written_.store(n, std::memory_order_release);
}

bool FSMtrace::read_slot(uint64_t n, Record* out) const {
    const Slot& slot = ring_[(n - 1) % kCapacity];
    if (slot.seq.load(std::memory_order_acquire) != 2 * n) {
        return false;
    }
    uint64_t words[kWords];
    for (size_t i = 0; i < kWords; ++i) {
        words[i] = slot.word[i].load(std::memory_order_acquire);
    }
    if (slot.seq.load(std::memory_order_relaxed) != 2 * n) {
        return false;
    }
    std::memcpy(out, words, sizeof(Record));
    out->text[kTextSize - 1] = '\0';
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
