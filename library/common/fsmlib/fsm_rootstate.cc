// The root machine: its three event queues with the pacing of passes, the link table and the archive.
#include <cstdio>
#include <cstring>

#include "fsm.h"
#include "fsm_sync.h"

// ---- queue ----
// Pending events live in `event` from index `head` on. Taking an event advances `head`; the list
// is compacted when it drains or when the consumed front passes half of it, so taking and giving
// stay O(1) amortised however many events wait.

FSMrootstate::queue::queue() : flag(0), head(0) {
    fsm_mutex_init(&mux);
    fsm_cond_init(&cond);
}

FSMrootstate::queue::~queue() {
    for (size_t i = head; i < event.size(); ++i) {
        delete event[i];
    }
    event.clear();
    pthread_cond_destroy(&cond);
    pthread_mutex_destroy(&mux);
}

void FSMrootstate::queue::enqueue(FSMevent& er) {
    // The copy is made before taking the lock so producers hold it only to append.
    FSMevent* copy = new FSMevent;
    copy->set_event(er.get_name(), er.get_state());
    pthread_mutex_lock(&mux);
    event.push_back(copy);
    pthread_mutex_unlock(&mux);
}

int FSMrootstate::queue::dequeue(FSMevent& er) {
    pthread_mutex_lock(&mux);
    while (flag == 0) {
        pthread_cond_wait(&cond, &mux);
    }
    if (head == event.size()) {
        flag = 0;
        pthread_mutex_unlock(&mux);
        return 0;
    }
    FSMevent* oldest = event[head];
    event[head] = nullptr;
    ++head;
    if (head == event.size()) {
        event.clear();
        head = 0;
    } else if (head > event.size() / 2) {
        event.erase(event.begin(), event.begin() + static_cast<std::ptrdiff_t>(head));
        head = 0;
    }
    pthread_mutex_unlock(&mux);
    // The event left the list under the lock, so it is this consumer's alone now.
    er.set_event(oldest->get_name(), oldest->get_state());
    delete oldest;
    return 1;
}

void FSMrootstate::queue::signal() {
    pthread_mutex_lock(&mux);
    flag = 1;
    pthread_cond_signal(&cond);
    pthread_mutex_unlock(&mux);
}

// ---- the root machine ----

FSMrootstate::FSMrootstate(EqFSMlocation* locptr, const char* nm, const char* descr)
    : FSMsuperstate(locptr, nm, descr, ROOT_STATE), update_rate(1), atdsp(nullptr) {
    set_parent(this);
}

// The queues are members and go after this body, in reverse order: irq2, irq1, then events.
FSMrootstate::~FSMrootstate() {
    for (link_entry* le : link_table) {
        delete le;
    }
    link_table.clear();
    delete atdsp;
    atdsp = nullptr;
}

void FSMrootstate::register_link(FSMstate* sp) {
    if (!sp) {
        return;
    }
    const char* nm = sp->get_name();
    for (link_entry* le : link_table) {
        if (le->name == nm) {
            return;
        }
    }
    link_entry* le = new link_entry;
    le->name = nm;
    le->address = sp;
    link_table.push_back(le);
}

FSMstate* FSMrootstate::resolve_link(const char* nm) {
    if (!nm) {
        return nullptr;
    }
    for (link_entry* le : link_table) {
        if (le->name == nm) {
            return le->address;
        }
    }
    return nullptr;
}

void FSMrootstate::init_state() {
    FSMsuperstate::init_state();
}

void FSMrootstate::init_archiver() {
    if (atdsp) {
        return;
    }
    EqFSMlocation* loc = get_location();
    if (!loc) {
        return;
    }
    // The machine name is cut to 74 characters so that both suffixes survive in 80 characters and
    // the two files never get the same name.
    const char* machine = loc->fsm.value();
    char hist_name[80];
    char data_name[80];
    std::snprintf(hist_name, sizeof hist_name, "%.74s.hist", machine ? machine : "");
    std::snprintf(data_name, sizeof data_name, "%.74s.data", machine ? machine : "");
    pthread_mutex_lock(&arch_mux);
    atdsp = new ArchiveFile(std::string(hist_name), data_name, false);
    pthread_mutex_unlock(&arch_mux);
}

// ---- queues ----

namespace {

// A posted event is queued; a null one starts a pass of the queue.
template <class Queue>
void post_to(Queue& q, FSMevent* ep) {
    if (ep) {
        q.enqueue(*ep);
    } else {
        q.signal();
    }
}

}  // namespace

void FSMrootstate::post_event(FSMevent* ep) {
    post_to(event_fifo, ep);
}

void FSMrootstate::post_irq1(FSMevent* ep) {
    post_to(irq1_fifo, ep);
}

void FSMrootstate::post_irq2(FSMevent* ep) {
    post_to(irq2_fifo, ep);
}

int FSMrootstate::process_event(FSMevent* ep) {
    if (!ep) {
        return 0;
    }
    if (event_fifo.dequeue(*ep) == 0) {
        ep->set_event("timer", "*");
        // A machine run without the server hooks has no remote-call client to update.
        if (velko_call) {
            pthread_mutex_lock(&velko_mux);
            velko_call->update(1);
            pthread_mutex_unlock(&velko_mux);
        }
    }
    FSMsuperstate::process_event(ep);
    return 0;
}

void FSMrootstate::process_irq1(FSMevent* ep) {
    if (!ep) {
        return;
    }
    if (irq1_fifo.dequeue(*ep) == 0) {
        ep->set_event("irq1", "*");
    }
    FSMsuperstate::process_irq1(ep);
}

void FSMrootstate::process_irq2(FSMevent* ep) {
    if (!ep) {
        return;
    }
    if (irq2_fifo.dequeue(*ep) == 0) {
        ep->set_event("irq2", "*");
    }
    FSMsuperstate::process_irq2(ep);
}
