// The basic state: actions, guarded transitions, event handlers, error text, lifecycle and dispatch.
#include <cstring>

#include "fsm.h"
#include "fsm_sync.h"
#include "fsm_text.h"

namespace {

// A wildcard event name or target: "*" alone.
inline bool is_wildcard(const std::string& text) {
    return text.size() == 1 && text[0] == '*';
}

// The name of the periodic tick, which a state records as "".
inline bool is_tick(const char* text, size_t len) {
    return len == 5 && std::memcmp(text, "timer", 5) == 0;
}

// Runs an action slot when it is set.
inline void run_action(FSMstate::action_fn fn, FSMstate* sp) {
    if (fn) {
        fn(sp);
    }
}

}  // namespace

// ---- transitions ----

FSMstate::branch::branch() : condition(nullptr), taction(nullptr), flag(0) {}

FSMstate::branch::~branch() = default;

char* FSMstate::branch::get_name() {
    return event_name.data();
}

void FSMstate::branch::define_action(const char* en, const char* ns, int (*cond_eval)(FSMstate*),
                                     void (*trans_action)(FSMstate*), const char* sg_name, const char* sg_state) {
    // A transition without an event name keeps its empty contents: it fires only on an unnamed event.
    if (!en) {
        return;
    }
    event_name = en;
    assign_text(next_state, ns);
    condition = cond_eval;
    taction = trans_action;
    if (sg_name) {
        event.set_event(sg_name, sg_state);
        flag = 1;
    }
}

int FSMstate::branch::check(FSMevent* ep, FSMstate* sp) {
    if (!same_name(event_name, ep->event) && !is_wildcard(event_name)) {
        return 0;
    }
    if (condition && condition(sp) == 0) {
        return 0;
    }
    if (taction) {
        taction(sp);
    }
    copy_name(ep->next, next_state);
    ep->fired_name = is_wildcard(event_name) ? nullptr : event_name.c_str();
    ep->fired_next = next_state.c_str();
    // A state without a root has nowhere to post: the signal event is dropped.
    if (flag == 1 && sp->get_root()) {
        sp->get_root()->post_event(&event);
    }
    return 1;
}

// ---- construction ----

FSMstate::FSMstate(int st_type)
    : type(st_type),
      status(PASSIVE),
      root(nullptr),
      parent(nullptr),
      private_data(nullptr),
      reset(nullptr),
      poll(nullptr),
      enter(nullptr),
      during(nullptr),
      leave(nullptr),
      usr_irq1(nullptr),
      usr_irq2(nullptr),
      has_error(0) {
    fsm_mutex_init(&mux);
    fsm_mutex_init(&err_mux);
}

FSMstate::FSMstate(const char* st_name, const char* st_descr, int st_type) : FSMstate(st_type) {
    assign_text(name, st_name);
    if (st_descr) {
        description = st_descr;
    }
}

FSMstate::~FSMstate() {
    status = PASSIVE;
    delete[] static_cast<char*>(private_data);
    private_data = nullptr;
    for (local_data* ld : data) {
        pthread_mutex_destroy(&ld->mux);
        delete ld;
    }
    data.clear();
    for (branch* br : transition) {
        delete br;
    }
    transition.clear();
    for (event_handler* eh : handler) {
        delete eh;
    }
    handler.clear();
    pthread_mutex_destroy(&err_mux);
    pthread_mutex_destroy(&mux);
}

// ---- accessors ----

// The status is read without the state's lock (the location's properties), so it is stored and
// read atomically.
int FSMstate::is_active() {
    return __atomic_load_n(&status, __ATOMIC_ACQUIRE) == ACTIVE ? 1 : 0;
}

int FSMstate::get_type() {
    return type;
}

const char* FSMstate::get_name() {
    return name.c_str();
}

const char* FSMstate::get_descr() {
    return description.c_str();
}

const char* FSMstate::get_event_name() {
    return event_name.c_str();
}

const char* FSMstate::get_error() {
    return error.c_str();
}

FSMstate* FSMstate::get_parent() {
    return parent;
}

FSMstate* FSMstate::get_root() {
    return root;
}

void* FSMstate::get_private() {
    return private_data;
}

// A later call releases the block of the earlier one; a negative size counts as 0.
void* FSMstate::set_private(int size) {
    delete[] static_cast<char*>(private_data);
    private_data = size > 0 ? new char[size] : nullptr;
    return private_data;
}

void FSMstate::set_name(const char* namep) {
    assign_text(name, namep);
}

void FSMstate::set_descr(const char* descrp) {
    assign_text(description, descrp);
}

void FSMstate::set_event_name(const char* namep) {
    if (namep && is_tick(namep, std::strlen(namep))) {
        event_name.clear();
    } else {
        assign_text(event_name, namep);
    }
}

void FSMstate::set_error(const char* error_txt) {
    if (!error_txt) {
        return;
    }
    pthread_mutex_lock(&err_mux);
    const bool raised = error.empty() && error_txt[0] != '\0';
    if (error.empty()) {
        error = error_txt;
        __atomic_store_n(&has_error, error.empty() ? 0 : 1, __ATOMIC_RELEASE);
    }
    pthread_mutex_unlock(&err_mux);
    if (raised) {
        FSMtrace::note_error(this, error_txt);
    }
}

size_t FSMstate::copy_error(char* buf, size_t size) {
    pthread_mutex_lock(&err_mux);
    size_t len = error.size();
    if (buf && size > 0) {
        buf[error.copy(buf, size - 1)] = '\0';
    }
    pthread_mutex_unlock(&err_mux);
    return len;
}

void FSMstate::set_parent(FSMstate* prptr) {
    parent = prptr;
}

void FSMstate::clear_error() {
    if (__atomic_load_n(&has_error, __ATOMIC_ACQUIRE) == 0) {
        return;
    }
    pthread_mutex_lock(&err_mux);
    error.clear();
    __atomic_store_n(&has_error, 0, __ATOMIC_RELEASE);
    pthread_mutex_unlock(&err_mux);
}

// ---- building ----

void FSMstate::add_action(const char* ev_name, int (*hdl)(FSMstate*)) {
    if (!ev_name) {
        return;
    }
    // clang-format off
    struct slot { const char* name; action_fn FSMstate::*field; };
    static const slot slots[] = {
        {"init",       &FSMstate::reset},
        {"poll",       &FSMstate::poll},
        {"enter",      &FSMstate::enter},
        {"during",     &FSMstate::during},
        {"exit",       &FSMstate::leave},
        {"interrupt1", &FSMstate::usr_irq1},
        {"interrupt2", &FSMstate::usr_irq2},
    };
    // clang-format on
    for (const slot& s : slots) {
        if (std::strcmp(ev_name, s.name) == 0) {
            this->*(s.field) = hdl;
            return;
        }
    }
    // A handler without a function would crash when its event arrives: it is not registered.
    if (!hdl) {
        return;
    }
    for (event_handler* eh : handler) {
        if (eh->name == ev_name) {
            return;
        }
    }
    event_handler* eh = new event_handler;
    eh->name = ev_name;
    eh->proc = hdl;
    handler.push_back(eh);
}

void FSMstate::add_transition(const char* en, int (*ceval)(FSMstate*), void (*tact)(FSMstate*), const char* sgn,
                              const char* sgst, const char* ns) {
    branch* br = new branch;
    br->define_action(en, ns, ceval, tact, sgn, sgst);
    transition.push_back(br);
}

// ---- locking and linking ----

void FSMstate::lock_state() {
    pthread_mutex_lock(&mux);
}

void FSMstate::unlock_state() {
    pthread_mutex_unlock(&mux);
}

void FSMstate::set_root(FSMstate* rtptr) {
    root = rtptr;
}

void FSMstate::server_error(FSMstate* sp, int err, const char* err_desc) {
    // Skipping a self reference keeps a state that is its own parent or root from recursing.
    if (parent && parent != this) {
        parent->server_error(sp, err, err_desc);
    } else if (root && root != this) {
        root->server_error(sp, err, err_desc);
    }
}

FSMstate* FSMstate::resolve_link(const char*) {
    return nullptr;
}

int FSMstate::link_state() {
    return 0;
}

// ---- lifecycle ----

void FSMstate::init_state() {
    pthread_mutex_lock(&mux);
    poll_data();
    run_action(reset, this);
    pthread_mutex_unlock(&mux);
}

void FSMstate::enter_state() {
    pthread_mutex_lock(&mux);
    run_action(enter, this);
    __atomic_store_n(&status, ACTIVE, __ATOMIC_RELEASE);
    pthread_mutex_unlock(&mux);
}

void FSMstate::leave_state() {
    pthread_mutex_lock(&mux);
    run_action(leave, this);
    __atomic_store_n(&status, PASSIVE, __ATOMIC_RELEASE);
    pthread_mutex_unlock(&mux);
}

// ---- dispatch ----

bool FSMstate::accepts(const std::string& text) {
    if (is_wildcard(text)) {
        return true;
    }
    const char* target = text.c_str();
    const char* bang = static_cast<const char*>(std::memchr(target, '!', text.size()));
    if (!bang) {
        return same_name(name, text);
    }
    // A qualified target selects by the parent's name: a state without a parent is not addressed.
    if (!parent) {
        return false;
    }
    size_t k = static_cast<size_t>(bang - target);
    if (std::strncmp(parent->get_name(), target, k) != 0) {
        return false;
    }
    const char* rest = bang + 1;
    return (rest[0] == '*' && rest[1] == '\0') || name == rest;
}

int FSMstate::process_event(FSMevent* ep) {
    if (!ep) {
        return 0;
    }
    pthread_mutex_lock(&mux);
    if (status == PASSIVE || !accepts(ep->state)) {
        pthread_mutex_unlock(&mux);
        return 0;
    }
    // The same event name as last time is the common case: it is not copied again.
    if (is_tick(ep->event.data(), ep->event.size())) {
        event_name.clear();
    } else if (!same_name(event_name, ep->event)) {
        copy_name(event_name, ep->event);
    }
    run_action(poll, this);
    // Most states have neither channels nor an error: their refresh has nothing to do.
    if (!data.empty() || __atomic_load_n(&has_error, __ATOMIC_ACQUIRE) != 0) {
        poll_data();
    }
    if (type != ROOT_STATE) {
        for (branch* br : transition) {
            if (br->check(ep, this)) {
                pthread_mutex_unlock(&mux);
                return 1;
            }
        }
    }
    run_action(during, this);
    for (event_handler* eh : handler) {
        if (same_name(eh->name, ep->event)) {
            eh->proc(this);
            break;
        }
    }
    pthread_mutex_unlock(&mux);
    return 0;
}

void FSMstate::process_irq1(FSMevent*) {
    pthread_mutex_lock(&mux);
    if (status == ACTIVE) {
        run_action(usr_irq1, this);
    }
    pthread_mutex_unlock(&mux);
}

void FSMstate::process_irq2(FSMevent*) {
    pthread_mutex_lock(&mux);
    if (status == ACTIVE) {
        run_action(usr_irq2, this);
    }
    pthread_mutex_unlock(&mux);
}

// Posting needs a root other than this state: without one the event is dropped.
void FSMstate::post_event(FSMevent* ep) {
    if (root && root != this) {
        root->post_event(ep);
    }
}

void FSMstate::post_irq1(FSMevent*) {}

void FSMstate::post_irq2(FSMevent*) {}
