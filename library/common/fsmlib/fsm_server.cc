// Process-wide objects of the library and the server hooks the platform calls.
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>

#include "fsm.h"
#include "fsm_describer.h"

char* object_name = const_cast<char*>("FSM");
EqFct* eq_fct_ = nullptr;
FSMlist global_list;
int velko_init = 0;
velko::EqCall* velko_call = nullptr;
// Initialised once, statically: default attributes are process-private and not recursive. A
// second initialisation at start-up would be undefined while another thread holds one (a
// save-and-restore call made before the server starts).
pthread_mutex_t velko_mux = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t arch_mux = PTHREAD_MUTEX_INITIALIZER;

// Applications define their own factory chain; this default (no factories) lets programs that
// build machines by hand link without one.
__attribute__((weak)) node_info* init_list = nullptr;

namespace {

// The factory records by name, the first record of each name, for the chain that starts at head.
struct FactoryIndex {
    node_info* head = nullptr;
    std::unordered_map<std::string, node_info*> by_name;

    void build(node_info* chain) {
        head = chain;
        by_name.clear();
        for (node_info* ni = chain; ni != nullptr; ni = ni->link) {
            by_name.emplace(std::string(ni->name, strnlen(ni->name, sizeof(ni->name))), ni);
        }
    }
};

// The factory record named exactly like the location being created, or null. The index is built
// again when the chain has a new head, or records were added since, which a miss reveals.
node_info* find_factory(const std::string& kind) {
    static FactoryIndex index;
    if (index.head != init_list) {
        index.build(init_list);
    }
    auto found = index.by_name.find(kind);
    if (found == index.by_name.end()) {
        index.build(init_list);
        found = index.by_name.find(kind);
    }
    return found == index.by_name.end() ? nullptr : found->second;
}

}  // namespace

EqFct* eq_create(int eq_code, void*) {
    if (eq_code != CodeFsmRootState && eq_code != CodeFsmSuperState) {
        return nullptr;
    }
    if (velko_init == 0) {
        // Every use of velko_call is under velko_mux, so it is published under it too.
        pthread_mutex_lock(&velko_mux);
        velko_call = new velko::EqCall();
        pthread_mutex_unlock(&velko_mux);
        fsm_register_describer();
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
