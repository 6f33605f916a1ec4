// The root machine: its three event queues with the pacing of passes, the link table and the archive.
#include <cstdio>

#include "fsm.h"

// ---- the root machine ----

FSMrootstate::FSMrootstate(EqFSMlocation* locptr, const char* nm, const char* descr)
    : FSMsuperstate(locptr, nm, descr, ROOT_STATE), update_rate(1), atdsp(nullptr) {
    set_parent(this);
    root_trace = &trace;
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

void FSMrootstate::set_queue_limit(size_t n) {
    event_fifo.set_limit(n);
    irq1_fifo.set_limit(n);
    irq2_fifo.set_limit(n);
}

size_t FSMrootstate::get_queue_limit() {
    return event_fifo.get_limit();
}

size_t FSMrootstate::queue_slots(int which) {
    return (which == 1 ? irq1_fifo : which == 2 ? irq2_fifo : event_fifo).slot_count();
}

// The machine's error text says what was lost; the server's output also names the machine, by its
// FSM value and location when it has one.
void FSMrootstate::report_dropped(queue& q, const char* which) {
    const size_t n = q.dropped_in_pass();
    if (n == 0) {
        return;
    }
    char text[160];
    std::snprintf(text, sizeof text, "The %s queue was full (limit %zu): %zu %s dropped.", which, q.get_limit(), n,
                  n == 1 ? "event was" : "events were");
    EqFSMlocation* loc = get_location();
    if (loc) {
        std::printf("Machine %s (location %s): %s\n", loc->fsm.value(), loc->name().c_str(), text);
    } else {
        std::printf("Machine %s: %s\n", get_name(), text);
    }
    std::fflush(stdout);
    set_error(text);
    server_error(this, velko::ERR_LIMIT, text);
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
    if (event_fifo.dequeue(*ep) == 1) {
        FSMsuperstate::process_event(ep);
        return 0;
    }
    ep->set_event("timer", "*");
    // A machine run without the server hooks has no remote-call client to update.
    if (velko_call) {
        pthread_mutex_lock(&velko_mux);
        velko_call->update(1);
        pthread_mutex_unlock(&velko_mux);
    }
    FSMsuperstate::process_event(ep);
    // After the tick, whose refresh of the root clears its error text, so that the report stays
    // shown until the next pass.
    // On the event thread: the report is recorded in the trace too.
    FSMtrace::Scope dispatch(&trace);
    report_dropped(event_fifo, "event");
    return 0;
}

void FSMrootstate::process_irq1(FSMevent* ep) {
    if (!ep) {
        return;
    }
    if (irq1_fifo.dequeue(*ep) == 1) {
        FSMsuperstate::process_irq1(ep);
        return;
    }
    ep->set_event("irq1", "*");
    FSMsuperstate::process_irq1(ep);
    report_dropped(irq1_fifo, "interrupt 1");
}

void FSMrootstate::process_irq2(FSMevent* ep) {
    if (!ep) {
        return;
    }
    if (irq2_fifo.dequeue(*ep) == 1) {
        FSMsuperstate::process_irq2(ep);
        return;
    }
    ep->set_event("irq2", "*");
    FSMsuperstate::process_irq2(ep);
    report_dropped(irq2_fifo, "interrupt 2");
}
