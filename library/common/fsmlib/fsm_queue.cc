// The root's event queues: a bounded ring of reused slots, and the go flag that paces passes.
#include "fsm.h"
#include "fsm_sync.h"

// Waiting events live in a ring of slots from `head` on. A slot's strings keep their storage when
// the slot is reused, so posting and taking allocate nothing once the ring is large enough and
// names fit; the ring doubles when full, which keeps both O(1) amortised however many events
// wait. The consumer is woken after the lock is released, so it never wakes only to block on it.

namespace {

// Slots a ring starts with. A drained ring larger than kKeptSlots is given back at the end of a
// pass in which it was never more than a quarter full, so a burst that comes back every pass
// keeps its ring and a flood's ring goes one pass after the flood.
constexpr size_t kFirstSlots = 16;
constexpr size_t kKeptSlots = 1024;

}  // namespace

FSMrootstate::queue::queue()
    : flag(0),
      head(0),
      count(0),
      highest(0),
      limit(static_cast<size_t>(velko::event_queue_limit())),
      dropped(0),
      reported(0) {
    fsm_mutex_init(&mux);
    fsm_cond_init(&cond);
}

FSMrootstate::queue::~queue() {
    pthread_cond_destroy(&cond);
    pthread_mutex_destroy(&mux);
}

// Called with mux held and the ring full: the events move, in order, to the front of a ring twice
// the size.
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
    const char* name = er.get_name();
    const char* state = er.get_state();
    pthread_mutex_lock(&mux);
    if (count >= limit) {
        ++dropped;
        pthread_mutex_unlock(&mux);
        return;
    }
    if (count == slot.size()) {
        grow();
    }
    pending& p = slot[(head + count) & (slot.size() - 1)];
    p.name.assign(name);
    p.state.assign(state);
    ++count;
    if (count > highest) {
        highest = count;
    }
    pthread_mutex_unlock(&mux);
}

int FSMrootstate::queue::dequeue(FSMevent& er) {
    pthread_mutex_lock(&mux);
    while (flag == 0) {
        pthread_cond_wait(&cond, &mux);
    }
    if (count == 0) {
        flag = 0;
        reported = dropped;
        dropped = 0;
        // The ring is freed outside the lock.
        std::vector<pending> released;
        if (slot.size() > kKeptSlots && highest <= slot.size() / 4) {
            released.swap(slot);
            head = 0;
        }
        highest = 0;
        pthread_mutex_unlock(&mux);
        return 0;
    }
    pending& oldest = slot[head];
    er.set_event(oldest.name.c_str(), oldest.state.c_str());
    head = (head + 1) & (slot.size() - 1);
    --count;
    pthread_mutex_unlock(&mux);
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
    size_t n = slot.size();
    pthread_mutex_unlock(&mux);
    return n;
}
