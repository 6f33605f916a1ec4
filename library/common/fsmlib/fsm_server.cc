// Process-wide objects of the library and the server hooks the platform calls.
#include <cstdio>
#include <cstring>
#include <string>

#include "fsm.h"

char* object_name = const_cast<char*>("FSM");
EqFct* eq_fct_ = nullptr;
FSMlist global_list;
int velko_init = 0;
velko::EqCall* velko_call = nullptr;
pthread_mutex_t velko_mux = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t arch_mux = PTHREAD_MUTEX_INITIALIZER;

// Applications define their own factory chain; this default (no factories) lets programs that
// build machines by hand link without one.
__attribute__((weak)) node_info* init_list = nullptr;

namespace {

// The factory record named exactly like the location being created, or null.
node_info* find_factory(const std::string& kind) {
    for (node_info* ni = init_list; ni != nullptr; ni = ni->link) {
        if (kind.compare(0, std::string::npos, ni->name, strnlen(ni->name, sizeof(ni->name))) == 0) {
            return ni;
        }
    }
    return nullptr;
}

}  // namespace

EqFct* eq_create(int eq_code, void*) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_PRIVATE);
    if (eq_code != CodeFsmRootState && eq_code != CodeFsmSuperState) {
        pthread_mutexattr_destroy(&attr);
        return nullptr;
    }
    if (velko_init == 0) {
        pthread_mutex_init(&velko_mux, &attr);
        pthread_mutex_init(&arch_mux, &attr);
        velko_call = new velko::EqCall();
        velko_init = 1;
    }
    auto* loc = new EqFSMlocation(eq_code == CodeFsmRootState ? ROOT_STATE : SUPER_STATE);
    node_info* ni = find_factory(gbl_fct_name);
    if (ni != nullptr) {
        loc->state_ptr->set_name(gbl_fct_name.c_str());
        if (ni->create != nullptr) {
            ni->create(loc);
        }
        loc->bind();
    }
    if (gbl_fct_name.empty()) {
        printf("undefined location %d\n", eq_code);
    }
    pthread_mutexattr_destroy(&attr);
    return loc;
}

void eq_init_prolog() {
    global_list.init_list();
}

void eq_init_epilog() {
    global_list.link_nodes();
}

void post_init_prolog() {}

void post_init_epilog() {}

void refresh_prolog() {}

void refresh_epilog() {}

void interrupt_usr1_prolog(int) {}

void interrupt_usr1_epilog(int) {}

void eq_cancel() {}

int send_event(char* sp, FSMevent* ep) {
    return global_list.signal_node(sp, ep);
}
