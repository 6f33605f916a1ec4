// The composite state: flows of member states, references, linking, lifecycle and dispatch.
#include <cstring>

#include "fsm.h"
#include "fsm_sync.h"
#include "fsm_text.h"

// ---- one flow ----
// A flow without members, or whose linking failed, has no active state: every lifecycle call,
// event, interrupt and query skips it.
//
// The active and default states change under the flow's lock, but the queries read them without
// it (property readers hold only the superstate's lock, and an entry or exit action may query its
// own flow while the switch holds the flow's lock). Those pointers are therefore stored and read
// atomically.

namespace {

inline FSMstate* load_state(FSMstate* const& field) {
    return __atomic_load_n(&field, __ATOMIC_ACQUIRE);
}

inline void store_state(FSMstate*& field, FSMstate* value) {
    __atomic_store_n(&field, value, __ATOMIC_RELEASE);
}

// Whether a flow has finished is likewise written under the flow's lock and read without it by
// dispatch; a flow entered or left stores its active state before it clears the mark.
inline void store_run(int& field, int value) {
    __atomic_store_n(&field, value, __ATOMIC_RELEASE);
}

}  // namespace

FSMsuperstate::frame::frame(FSMstate* pp, int flow_id)
    : id(flow_id), run(0), history(0), parent(pp), default_state(nullptr), active_state(nullptr) {
    fsm_mutex_init(&mux);
}

FSMsuperstate::frame::~frame() {
    state.clear();
    pthread_mutex_destroy(&mux);
}

void FSMsuperstate::frame::add_state(FSMstate* st) {
    const char* nm = st->get_name();
    for (FSMstate* member : state) {
        if (std::strcmp(member->get_name(), nm) == 0) {
            return;
        }
    }
    state.push_back(st);
}

int FSMsuperstate::frame::get_id() {
    return id;
}

int FSMsuperstate::frame::get_st_count() {
    return static_cast<int>(state.size());
}

int FSMsuperstate::frame::get_attribute() {
    return history;
}

void FSMsuperstate::frame::set_attribute(int flag) {
    history = flag != 0 ? 1 : 0;
}

void FSMsuperstate::frame::set_active(const char* name) {
    assign_text(state_name, name);
}

const char* FSMsuperstate::frame::get_st_name(int index, FSMstate** ptr) {
    if (index < 0 || index >= get_st_count()) {
        return nullptr;
    }
    if (ptr) {
        *ptr = state[index];
    }
    return state[index]->get_name();
}

const char* FSMsuperstate::frame::get_active(const char** descrp, int flag) {
    FSMstate* shown = (flag == 0 || history == 1) ? load_state(active_state) : load_state(default_state);
    if (!shown) {
        return nullptr;
    }
    if (descrp) {
        *descrp = shown->get_descr();
    }
    return shown->get_name();
}

const char* FSMsuperstate::frame::get_error() {
    FSMstate* current = load_state(active_state);
    return current ? current->get_error() : nullptr;
}

void FSMsuperstate::frame::set_root(FSMstate* rp) {
    // A new root may bring a trace of its own.
    trace_looked_up = false;
    trace_log = nullptr;
    for (FSMstate* member : state) {
        if (!member->get_root()) {
            member->set_root(rp);
        }
    }
}

int FSMsuperstate::frame::link_state() {
    if (state.empty()) {
        return 1;
    }
    if (state_name.empty()) {
        state_name = state.front()->get_name();
    }
    FSMstate* found = nullptr;
    for (FSMstate* member : state) {
        if (state_name == member->get_name()) {
            found = member;
            break;
        }
    }
    if (!found) {
        return 1;
    }
    store_state(default_state, found);
    store_state(active_state, found);
    for (FSMstate* member : state) {
        if (member->link_state() != 0) {
            return 1;
        }
    }
    return 0;
}

void FSMsuperstate::frame::init_state() {
    pthread_mutex_lock(&mux);
    for (FSMstate* member : state) {
        member->init_state();
    }
    pthread_mutex_unlock(&mux);
}

void FSMsuperstate::frame::enter_state() {
    pthread_mutex_lock(&mux);
    if (!state.empty()) {
        if (history == 0) {
            store_state(active_state, default_state);
        }
        if (active_state) {
            active_state->enter_state();
        }
        store_run(run, 0);
    }
    pthread_mutex_unlock(&mux);
}

void FSMsuperstate::frame::leave_state() {
    pthread_mutex_lock(&mux);
    if (!state.empty()) {
        if (active_state) {
            active_state->leave_state();
        }
        store_run(run, 0);
    }
    pthread_mutex_unlock(&mux);
}

// Read without the flow's lock, which every event would otherwise take once per flow: the caller
// used the target only after the lock was released anyway, and the mark is read first, so a flow
// seen running shows the state it was entered with or switched to since.
FSMstate* FSMsuperstate::frame::dispatch_target() {
    if (state.empty() || __atomic_load_n(&run, __ATOMIC_ACQUIRE) == 1) {
        return nullptr;
    }
    return load_state(active_state);
}

int FSMsuperstate::frame::process_event(FSMevent* event) {
    FSMstate* current = dispatch_target();
    if (!current || current->process_event(event) == 0) {
        return 0;
    }
    const std::string& next = event->next;
    FSMstate* entered = nullptr;
    pthread_mutex_lock(&mux);
    if (same_name(next, parent->name)) {
        // The flow has finished: its active state stays current and it hears nothing more.
        store_run(run, 1);
        entered = parent;
    } else {
        for (FSMstate* member : state) {
            if (same_name(member->name, next)) {
                if (active_state) {
                    active_state->leave_state();
                }
                store_state(active_state, member);
                member->enter_state();
                entered = member;
                break;
            }
        }
    }
    pthread_mutex_unlock(&mux);
    trace_transition(current, event, entered);
    return 0;
}

void FSMsuperstate::frame::trace_transition(FSMstate* from, FSMevent* event, FSMstate* entered) {
    if (!trace_looked_up) {
        trace_log = FSMtrace::of(parent);
        trace_looked_up = true;
    }
    if (trace_log == nullptr) {
        return;
    }
    auto* owner = static_cast<FSMsuperstate*>(parent);
    if (event->fired_name != nullptr) {
        trace_log->record(owner, id, from, entered, event->fired_name, event->fired_next);
    } else {
        trace_log->record_event(owner, id, from, entered, event->event.c_str(), event->fired_next);
    }
}

void FSMsuperstate::frame::process_irq1(FSMevent* event) {
    FSMstate* current = dispatch_target();
    if (current) {
        current->process_irq1(event);
    }
}

void FSMsuperstate::frame::process_irq2(FSMevent* event) {
    FSMstate* current = dispatch_target();
    if (current) {
        current->process_irq2(event);
    }
}

// ---- the superstate ----

FSMsuperstate::FSMsuperstate(EqFSMlocation* locptr, const char* np, const char* descr, int stype)
    : FSMstate(np, descr, stype), location(locptr) {
    fsm_mutex_init(&mux);
}

FSMsuperstate::~FSMsuperstate() {
    for (frame* fr : flow) {
        delete fr;
    }
    flow.clear();
    for (ref_entry* re : reference_table) {
        delete re;
    }
    reference_table.clear();
    pthread_mutex_destroy(&mux);
}

FSMsuperstate::frame* FSMsuperstate::find_flow(int flow_i) {
    for (frame* fr : flow) {
        if (fr->get_id() == flow_i) {
            return fr;
        }
    }
    return nullptr;
}

FSMsuperstate::frame* FSMsuperstate::find_or_add_flow(int flow_i) {
    frame* fr = find_flow(flow_i);
    if (!fr) {
        fr = new frame(this, flow_i);
        flow.push_back(fr);
    }
    return fr;
}

void FSMsuperstate::add_state(int flow_i, FSMstate* st) {
    if (!st) {
        return;
    }
    find_or_add_flow(flow_i)->add_state(st);
    st->set_parent(this);
}

void FSMsuperstate::add_reference(int flow_i, const char* np) {
    find_or_add_flow(flow_i);
    if (!np) {
        return;
    }
    for (ref_entry* re : reference_table) {
        if (re->flow == flow_i && re->name == np) {
            return;
        }
    }
    ref_entry* re = new ref_entry;
    re->name = np;
    re->flow = flow_i;
    re->mark = 1;
    reference_table.push_back(re);
}

void FSMsuperstate::flow_attributes(int flow_i, const char* nm, int flag) {
    if (!nm) {
        return;
    }
    frame* fr = find_flow(flow_i);
    if (fr) {
        fr->set_active(nm);
        fr->set_attribute(flag);
    }
}

// ---- queries ----

int FSMsuperstate::get_flow_count() {
    return static_cast<int>(flow.size());
}

int FSMsuperstate::get_flag(int flow_i) {
    frame* fr = find_flow(flow_i);
    return fr ? fr->get_attribute() : 0;
}

const char* FSMsuperstate::get_st_name(int flow_i, int index, FSMstate** ptr) {
    frame* fr = find_flow(flow_i);
    return fr ? fr->get_st_name(index, ptr) : nullptr;
}

const char* FSMsuperstate::get_ast_name(int flow_i, const char** descrp, int flag) {
    frame* fr = find_flow(flow_i);
    return fr ? fr->get_active(descrp, flag) : nullptr;
}

const char* FSMsuperstate::get_ast_error(int flow_i) {
    frame* fr = find_flow(flow_i);
    return fr ? fr->get_error() : nullptr;
}

EqFSMlocation* FSMsuperstate::get_location() {
    return location;
}

// ---- locking, root, errors ----

void FSMsuperstate::lock_state() {
    FSMstate::lock_state();
    pthread_mutex_lock(&mux);
}

void FSMsuperstate::unlock_state() {
    pthread_mutex_unlock(&mux);
    FSMstate::unlock_state();
}

void FSMsuperstate::set_root(FSMstate* rp) {
    if (!get_root()) {
        FSMstate::set_root(rp);
    }
    for (frame* fr : flow) {
        fr->set_root(rp);
    }
}

void FSMsuperstate::server_error(FSMstate* sp, int err, const char* err_desc) {
    FSMtrace::note_error(sp, err_desc);
    if (location) {
        location->set_error(err, err_desc ? err_desc : "");
    }
}

// ---- linking and lifecycle ----

int FSMsuperstate::link_state() {
    FSMstate* rp = get_root();
    bool unresolved = false;
    for (ref_entry* re : reference_table) {
        if (re->mark != 1) {
            continue;
        }
        // Without a root there is no link table: the reference stays unresolved.
        FSMstate* st = rp ? rp->resolve_link(re->name.c_str()) : nullptr;
        if (st) {
            st->set_parent(this);
            add_state(re->flow, st);
            re->mark = 0;
        } else {
            unresolved = true;
        }
    }
    if (unresolved) {
        return 1;
    }
    if (FSMstate::link_state() != 0) {
        return 1;
    }
    for (frame* fr : flow) {
        if (fr->link_state() != 0) {
            return 1;
        }
    }
    return 0;
}

void FSMsuperstate::init_state() {
    FSMstate::init_state();
    for (frame* fr : flow) {
        fr->init_state();
    }
    // The type code alone does not make a root: a plain superstate may carry ROOT_STATE too.
    FSMstate* rp = get_root();
    FSMrootstate* top = rp && rp->get_type() == ROOT_STATE ? dynamic_cast<FSMrootstate*>(rp) : nullptr;
    if (!location || !top) {
        return;
    }
    for (D_fct* prop : location->velko_data) {
        // Only the platform's history class can be booked, whatever else reports the history type.
        D_hist* hist = prop && prop->data_type() == DATA_A_TDS ? dynamic_cast<D_hist*>(prop) : nullptr;
        if (!hist) {
            continue;
        }
        top->init_archiver();
        // A root that could not name its archive has none to book into.
        if (!top->atdsp) {
            continue;
        }
        pthread_mutex_lock(&arch_mux);
        hist->book_hist(top->atdsp, location->name(), ring_buffer, 200, property_and_location);
        pthread_mutex_unlock(&arch_mux);
    }
}

void FSMsuperstate::enter_state() {
    FSMstate::enter_state();
    for (frame* fr : flow) {
        fr->enter_state();
    }
}

void FSMsuperstate::leave_state() {
    for (frame* fr : flow) {
        fr->leave_state();
    }
    FSMstate::leave_state();
}

// ---- dispatch ----

int FSMsuperstate::process_event(FSMevent* ev) {
    if (!ev) {
        return 0;
    }
    // The root marks the event's dispatch on its trace: the records share one clock reading, and
    // errors raised meanwhile on this thread are recorded.
    FSMtrace::Scope dispatch(root_trace);
    int retval = FSMstate::process_event(ev);
    if (retval != 0) {
        return retval;
    }
    for (frame* fr : flow) {
        fr->process_event(ev);
    }
    return 0;
}

void FSMsuperstate::process_irq1(FSMevent* ev) {
    FSMstate::process_irq1(ev);
    for (frame* fr : flow) {
        fr->process_irq1(ev);
    }
}

void FSMsuperstate::process_irq2(FSMevent* ev) {
    FSMstate::process_irq2(ev);
    for (frame* fr : flow) {
        fr->process_irq2(ev);
    }
}

void FSMsuperstate::post_event(FSMevent* ev) {
    FSMstate::post_event(ev);
}

void FSMsuperstate::post_irq1(FSMevent* ev) {
    FSMstate* rp = get_root();
    if (rp && rp != this) {
        rp->post_irq1(ev);
    }
}

void FSMsuperstate::post_irq2(FSMevent* ev) {
    FSMstate* rp = get_root();
    if (rp && rp != this) {
        rp->post_irq2(ev);
    }
}
