// Process-wide objects of the library and the server hooks the platform calls.
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
