// The registry of root machines: registration, attaching superstate locations, starting the
// engine threads and sending events by machine name.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "fsm.h"

namespace {

bool same_text(const char* a, const char* b) {
    return strcmp(a != nullptr ? a : "", b != nullptr ? b : "") == 0;
}

}  // namespace

FSMlist::FSMlist() = default;

FSMlist::~FSMlist() {
    init_list();
}

void FSMlist::init_list() {
    for (entry* e : list) {
        delete e;
    }
    list.clear();
}

void FSMlist::store_node(EqFSMlocation* elp) {
    if (elp == nullptr || elp->state_ptr == nullptr) {
        return;
    }
    FSMsuperstate* sp = elp->state_ptr;
    if (sp->get_type() != ROOT_STATE) {
        return;
    }
    for (entry* e : list) {
        if (same_text(e->base->get_name(), sp->get_name())) {
            return;
        }
    }
    entry* e = new entry;
    e->fsm = elp->fsm.value() != nullptr ? elp->fsm.value() : "";
    e->loc = elp;
    e->base = sp;
    sp->set_root(sp);
    list.push_back(e);
}

int FSMlist::find_node(EqFSMlocation* elp) {
    if (elp == nullptr || elp->state_ptr == nullptr) {
        return 0;
    }
    FSMsuperstate* sp = elp->state_ptr;
    if (sp->get_type() != SUPER_STATE) {
        return 0;
    }
    for (entry* e : list) {
        if (same_text(e->fsm.c_str(), elp->fsm.value())) {
            sp->set_root(e->base);
            if (auto* root = dynamic_cast<FSMrootstate*>(e->base)) {
                root->register_link(sp);
            }
            return 0;
        }
    }
    return 1;
}

void FSMlist::link_nodes() {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    (void)pthread_attr_setscope(&attr, PTHREAD_SCOPE_PROCESS);  // Linux refuses; system scope is fine
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE);
    for (entry* e : list) {
        EqFSMlocation* lp = e->loc;
        // A machine that cannot be linked still runs what was linked; its location says why, once
        // at start-up and in FAULT.
        if (e->base->link_state() != 0) {
            FSMsuperstate* top = lp->state_ptr;
            const std::string fault = top != nullptr ? top->link_fault() : std::string();
            printf("Location %s cannot link its machine %s: %s.\n", lp->name().c_str(), e->fsm.c_str(), fault.c_str());
            fflush(stdout);
            lp->set_link_fault("Not linked: " + fault + ".");
        }
        pthread_mutex_lock(&lp->mux);
        // The engine threads inherit this mask, so these signals go to the server's own threads.
        sigset_t blocked;
        sigset_t previous;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGALRM);
        sigaddset(&blocked, SIGUSR1);
        sigaddset(&blocked, SIGUSR2);
        sigaddset(&blocked, 23);
        pthread_sigmask(SIG_BLOCK, &blocked, &previous);
        pthread_create(&lp->irq1_id, &attr, irq1_engine, lp);
        pthread_create(&lp->irq2_id, &attr, irq2_engine, lp);
        pthread_create(&lp->update_id, &attr, event_engine, lp);
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        pthread_mutex_unlock(&lp->mux);
    }
    pthread_attr_destroy(&attr);
}

int FSMlist::signal_node(char* fsm, FSMevent* ep) {
    if (fsm == nullptr) {
        return 1;
    }
    for (entry* e : list) {
        if (e->fsm == fsm) {
            e->base->post_event(ep);
            return 0;
        }
    }
    return 1;
}
