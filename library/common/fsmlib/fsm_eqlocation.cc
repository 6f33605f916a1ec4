// The FSM location: hosts a machine's root or a superstate, publishes it through its properties
// and runs a root machine in three engine threads.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "fsm.h"
#include "fsm_sync.h"

namespace {

// Longest flow name taken from a flow property's configured text.
constexpr int kFlowNameMax = 255;

// The locations whose engine threads run, for stop_all_engines.
std::mutex running_mux;
std::vector<EqFSMlocation*>& running() {
    static std::vector<EqFSMlocation*>* list = new std::vector<EqFSMlocation*>;
    return *list;
}

// The flow name is the first word of the configured text: up to the first space, at most
// str_data_len - 1 characters (the stored length counts the NUL) and never past the text's end.
void first_word(const USTR* v, char* out) {
    int n = v->str_data.str_data_len - 1;
    if (n > kFlowNameMax) {
        n = kFlowNameMax;
    }
    int i = 0;
    const char* text = v->str_data.str_data_val;
    if (text != nullptr) {
        while (i < n && text[i] != '\0' && text[i] != ' ') {
            out[i] = text[i];
            i++;
        }
    }
    out[i] = '\0';
}

}  // namespace

EqFSMlocation::EqFSMlocation(int type)
    : EqFct("NAME = location"),
      fsm_ready(0),
      fsm_waiting(0),
      update_id(),
      irq1_id(),
      irq2_id(),
      state_ptr(nullptr),
      fsm("FSM machine name", this),
      description("DESCR the description of this state", this),
      event("EVENT the event to be sent to this state", this),
      status("FAULT the error detected in the active state", this),
      prop_mux(nullptr),
      prop_amux(),
      prop_mux_count(0),
      engines_started(false),
      engines_stop(false) {
    pthread_mutex_init(&prop_amux, nullptr);
    fsm_mutex_init(&mux);
    fsm_cond_init(&cond);
    if (type == SUPER_STATE) {
        state_ptr = new FSMsuperstate(this, "", "", SUPER_STATE);
    } else {
        state_ptr = new FSMrootstate(this, "", "");
        state_ptr->set_root(state_ptr);
    }
    fsm.set_state(state_ptr);
    description.set_state(state_ptr);
    event.set_state(state_ptr);
    status.set_state(state_ptr);
}

EqFSMlocation::~EqFSMlocation() {
    stop_engines();
    if (state_ptr != nullptr && (state_ptr->get_type() == SUPER_STATE || state_ptr->get_type() == ROOT_STATE)) {
        delete state_ptr;
    }
    pthread_cond_destroy(&cond);
    pthread_mutex_destroy(&mux);
    // Only the mutexes bind() created exist, even if properties were appended afterwards.
    for (size_t i = 0; i < prop_mux_count; i++) {
        pthread_mutex_destroy(&prop_mux[i]);
    }
    delete[] prop_mux;
    pthread_mutex_destroy(&prop_amux);
}

void EqFSMlocation::bind() {
    if (prop_mux != nullptr) {
        return;  // sized once
    }
    prop_mux_count = velko_data.size() + velko_address.size();
    prop_mux = new pthread_mutex_t[prop_mux_count];
    for (size_t i = 0; i < prop_mux_count; i++) {
        fsm_mutex_init(&prop_mux[i]);
    }
}

int EqFSMlocation::fct_code() {
    return state_ptr != nullptr && state_ptr->get_type() == ROOT_STATE ? CodeFsmRootState : CodeFsmSuperState;
}

void EqFSMlocation::init() {
    g_sts.change_bit(false, D_gen_sts::ERROR);
    g_sts.change_bit(false, D_gen_sts::NEW_ERROR);
    g_sts.change_bit(true, D_gen_sts::ONLINE);
    set_error(0);
    for (D_flow* fp : flows) {
        if (fp == nullptr) {
            continue;
        }
        fp->set_state(state_ptr);
        if (fp->get_id() == -1) {
            continue;
        }
        const USTR* v = fp->value();
        char name[kFlowNameMax + 1];
        first_word(v, name);
        state_ptr->flow_attributes(fp->get_id(), name, v->i1_data);
    }
}

void EqFSMlocation::online() {}

void EqFSMlocation::complete() {
    if (state_ptr != nullptr && state_ptr->get_type() == ROOT_STATE) {
        global_list.store_node(this);
    } else if (global_list.find_node(this) != 0) {
        printf("The parent of %s is undefined\n", name().c_str());
        set_link_fault(std::string("Not linked: no machine \"") + (fsm.value() != nullptr ? fsm.value() : "") +
                       "\" is registered for its FSM value.");
    }
}

void EqFSMlocation::set_link_fault(const std::string& text) {
    pthread_mutex_lock(&mux);
    link_fault_ = text;
    pthread_mutex_unlock(&mux);
}

std::string EqFSMlocation::link_fault() {
    pthread_mutex_lock(&mux);
    std::string text = link_fault_;
    pthread_mutex_unlock(&mux);
    return text;
}

void EqFSMlocation::start_pass(int queue) {
    if (state_ptr == nullptr || state_ptr->get_type() != ROOT_STATE) {
        return;
    }
    pthread_mutex_lock(&mux);
    int ready = fsm_ready;
    pthread_mutex_unlock(&mux);
    if (ready != 1) {
        return;
    }
    if (queue == 1) {
        state_ptr->post_irq1(nullptr);
    } else if (queue == 2) {
        state_ptr->post_irq2(nullptr);
    } else {
        state_ptr->post_event(nullptr);
    }
}

void EqFSMlocation::update() {
    start_pass(0);
}

void EqFSMlocation::interrupt1() {
    start_pass(1);
}

void EqFSMlocation::interrupt2() {
    start_pass(2);
}

namespace {

// The body of an interrupt thread: it waits until the event thread has initialised and entered the
// machine, then runs the passes of its queue for ever through line (process_irq1 or process_irq2).
void* interrupt_engine(void* ptr, void (FSMsuperstate::*line)(FSMevent*)) {
    auto* lp = static_cast<EqFSMlocation*>(ptr);
    if (lp == nullptr || lp->state_ptr == nullptr) {
        return nullptr;
    }
    FSMevent event;
    pthread_mutex_lock(&lp->mux);
    while (lp->fsm_ready == 0) {
        lp->fsm_waiting = 1;
        pthread_cond_wait(&lp->cond, &lp->mux);
    }
    pthread_mutex_unlock(&lp->mux);
    while (!lp->engines_stopping()) {
        (lp->state_ptr->*line)(&event);
    }
    return nullptr;
}

}  // namespace

void* event_engine(void* ptr) {
    auto* lp = static_cast<EqFSMlocation*>(ptr);
    if (lp == nullptr || lp->state_ptr == nullptr) {
        return nullptr;
    }
    FSMevent event;
    FSMsuperstate* sp = lp->state_ptr;
    sp->init_state();
    sp->enter_state();
    pthread_mutex_lock(&lp->mux);
    lp->fsm_ready = 1;
    if (lp->fsm_waiting == 1) {
        lp->fsm_waiting = 0;
        pthread_cond_broadcast(&lp->cond);
    }
    pthread_mutex_unlock(&lp->mux);
    while (!lp->engines_stopping()) {
        sp->process_event(&event);
    }
    return nullptr;
}

void* irq1_engine(void* ptr) {
    return interrupt_engine(ptr, &FSMsuperstate::process_irq1);
}

void* irq2_engine(void* ptr) {
    return interrupt_engine(ptr, &FSMsuperstate::process_irq2);
}

void EqFSMlocation::mark_engines_started() {
    engines_started = true;
    std::lock_guard<std::mutex> lock(running_mux);
    running().push_back(this);
}

void EqFSMlocation::stop_engines() {
    pthread_mutex_lock(&mux);
    bool started = engines_started;
    engines_started = false;
    pthread_mutex_unlock(&mux);
    if (!started) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(running_mux);
        running().erase(std::remove(running().begin(), running().end(), this), running().end());
    }
    engines_stop.store(true, std::memory_order_release);
    // A pass wakes each thread even when it sleeps in its queue; it sees the request after that
    // pass's current event.
    state_ptr->post_event(nullptr);
    state_ptr->post_irq1(nullptr);
    state_ptr->post_irq2(nullptr);
    pthread_join(update_id, nullptr);
    pthread_join(irq1_id, nullptr);
    pthread_join(irq2_id, nullptr);
}

void EqFSMlocation::stop_all_engines() {
    for (;;) {
        EqFSMlocation* lp = nullptr;
        {
            std::lock_guard<std::mutex> lock(running_mux);
            if (running().empty()) {
                return;
            }
            lp = running().back();
        }
        lp->stop_engines();
    }
}
