// The root's event queues: a bounded ring of reused slots, and the go flag that paces passes.
#include "fsm.h"
#include "fsm_sync.h"
#include "fsm_text.h"

// Waiting events are posted into a ring of slots from `head` on. A slot's strings keep their
// storage when the slot is reused, so posting and taking allocate nothing once the rings are
// large enough and names fit; a ring doubles when full, which keeps both O(1) amortised however
// many events wait. The consumer takes the whole posting ring under one lock and leaves its own
// drained ring for the posters, so it locks once per batch rather than once per event. The
// consumer is woken after the lock is released, so it never wakes only to block on it.

namespace {

// Slots a ring starts with. When a ring larger than kKeptSlots ends a pass in which the queue
// never held more than a quarter of it, both rings are given back, so a burst that comes back
// every pass keeps its rings and a flood's rings go one pass after the flood.
constexpr size_t kFirstSlots = 16;
constexpr size_t kKeptSlots = 1024;

// Slots ahead of the one in use that are fetched into the cache: a long batch is read, and the
// posting ring written, in order through memory larger than the cache.
constexpr size_t kPrefetchAhead = 4;

bool oversized(size_t slots, size_t highest) {
    return slots > kKeptSlots && highest <= slots / 4;
}

}  // namespace

FSMrootstate::queue::queue()
    : flag(0),
      head(0),
      count(0),
      highest(0),
      limit(static_cast<size_t>(velko::event_queue_limit())),
      dropped(0),
      reported(0),
      taken_head(0),
      taken_left(0) {
    fsm_mutex_init(&mux);
    fsm_cond_init(&cond);
}

FSMrootstate::queue::~queue() {
    pthread_cond_destroy(&cond);
    pthread_mutex_destroy(&mux);
}

// Called with mux held and the posting ring full: the events move, in order, to the front of a
// ring twice the size.
void FSMrootstate::queue::grow() {
    std::vector<pending> larger(slot.empty() ? kFirstSlots : 2 * slot.size());
    const size_t mask = slot.size() - 1;
    for (size_t i = 0; i < count; ++i) {
        pending& from = slot[(head + i) & mask];
        larger[i].name.swap(from.name);
        larger[i].state.swap(from.state);
    }
    slot.swap(larger);
    head = 0;
}

void FSMrootstate::queue::enqueue(FSMevent& er) {
    pthread_mutex_lock(&mux);
    const size_t waiting = count + taken_left.load(std::memory_order_acquire);
    if (waiting >= limit) {
        ++dropped;
        pthread_mutex_unlock(&mux);
        return;
    }
    if (count == slot.size()) {
        grow();
    }
    const size_t mask = slot.size() - 1;
    __builtin_prefetch(&slot[(head + count + kPrefetchAhead) & mask], 1);
    pending& p = slot[(head + count) & mask];
    // Copied string to string: no length to measure, and the slot's storage is reused.
    copy_name(p.name, er.event);
    copy_name(p.state, er.state);
    ++count;
    if (waiting + 1 > highest) {
        highest = waiting + 1;
    }
    pthread_mutex_unlock(&mux);
}

void FSMrootstate::queue::hand_out(FSMevent& er) {
    const size_t mask = taken.size() - 1;
    __builtin_prefetch(&taken[(taken_head + kPrefetchAhead) & mask]);
    const pending& oldest = taken[taken_head];
    copy_name(er.event, oldest.name);
    copy_name(er.state, oldest.state);
    taken_head = (taken_head + 1) & mask;
    taken_left.store(taken_left.load(std::memory_order_relaxed) - 1, std::memory_order_release);
}

int FSMrootstate::queue::dequeue(FSMevent& er) {
    if (taken_left.load(std::memory_order_relaxed) > 0) {
        hand_out(er);
        return 1;
    }
    pthread_mutex_lock(&mux);
    while (flag == 0) {
        pthread_cond_wait(&cond, &mux);
    }
    if (count == 0) {
        flag = 0;
        reported = dropped;
        dropped = 0;
        // The rings are freed outside the lock.
        std::vector<pending> released;
        std::vector<pending> released_taken;
        if (oversized(slot.size(), highest) || oversized(taken.size(), highest)) {
            released.swap(slot);
            released_taken.swap(taken);
            head = 0;
            taken_head = 0;
        }
        highest = 0;
        pthread_mutex_unlock(&mux);
        return 0;
    }
    // The drained taken ring becomes the posting ring.
    slot.swap(taken);
    taken_head = head;
    taken_left.store(count, std::memory_order_release);
    head = 0;
    count = 0;
    pthread_mutex_unlock(&mux);
    hand_out(er);
    return 1;
}

void FSMrootstate::queue::signal() {
    pthread_mutex_lock(&mux);
    // With the flag already set the consumer is in a pass and checks the queue again before it
    // sleeps, so it needs no wake.
    const bool sleeping = flag == 0;
    flag = 1;
    pthread_mutex_unlock(&mux);
    if (sleeping) {
        pthread_cond_signal(&cond);
    }
}

void FSMrootstate::queue::set_limit(size_t n) {
    pthread_mutex_lock(&mux);
    limit = n;
    pthread_mutex_unlock(&mux);
}

size_t FSMrootstate::queue::get_limit() {
    pthread_mutex_lock(&mux);
    size_t n = limit;
    pthread_mutex_unlock(&mux);
    return n;
}

size_t FSMrootstate::queue::slot_count() {
    pthread_mutex_lock(&mux);
    size_t n = slot.size() + taken.size();
    pthread_mutex_unlock(&mux);
    return n;
}
