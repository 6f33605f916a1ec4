// The registry of root machines: registration, attaching superstate locations, starting the
// engine threads and sending events by machine name.
#include <signal.h>

#include <cstdio>
#include <string>

#include "fsm.h"
#include "fsm_engine_start.h"

namespace {

std::string text_of(const char* s) {
    return s != nullptr ? s : "";
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
    state_names.clear();
    by_fsm.clear();
}

void FSMlist::store_node(EqFSMlocation* elp) {
    if (elp == nullptr || elp->state_ptr == nullptr) {
        return;
    }
    FSMsuperstate* sp = elp->state_ptr;
    if (sp->get_type() != ROOT_STATE) {
        return;
    }
    // The first registration of a state name wins.
    if (!state_names.insert(text_of(sp->get_name())).second) {
        return;
    }
    entry* e = new entry;
    e->fsm = text_of(elp->fsm.value());
    e->loc = elp;
    e->base = sp;
    sp->set_root(sp);
    list.push_back(e);
    by_fsm.emplace(e->fsm, e);  // keeps the first entry of a machine name
}

int FSMlist::find_node(EqFSMlocation* elp) {
    if (elp == nullptr || elp->state_ptr == nullptr) {
        return 0;
    }
    FSMsuperstate* sp = elp->state_ptr;
    if (sp->get_type() != SUPER_STATE) {
        return 0;
    }
    auto found = by_fsm.find(text_of(elp->fsm.value()));
    if (found == by_fsm.end()) {
        return 1;
    }
    entry* e = found->second;
    sp->set_root(e->base);
    if (auto* root = dynamic_cast<FSMrootstate*>(e->base)) {
        root->register_link(sp);
    }
    return 0;
}

void FSMlist::link_nodes() {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    (void)pthread_attr_setscope(&attr, PTHREAD_SCOPE_PROCESS);  // Linux refuses; system scope is fine
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE);
    size_t started = 0;
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
        const char* which = "";
        int err = start_engines(lp, &attr, &which);
        if (err == 0) {
            lp->mark_engines_started();
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        pthread_mutex_unlock(&lp->mux);
        if (err != 0) {
            // A server without all its machines must not look as if it runs: the start fails.
            velko::fail_start("The machine " + text_of(e->base->get_name()) + " of location " + lp->name() +
                              " cannot run: its " + which + " thread could not be created after " +
                              std::to_string(started) + " machine(s) had started. " + thread_limit_text(err));
            break;
        }
        ++started;
    }
    pthread_attr_destroy(&attr);
}

int FSMlist::signal_node(char* fsm, FSMevent* ep) {
    if (fsm == nullptr) {
        return 1;
    }
    auto found = by_fsm.find(fsm);
    if (found == by_fsm.end()) {
        return 1;
    }
    found->second->base->post_event(ep);
    return 0;
}
