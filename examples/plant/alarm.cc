#include <cstdio>

#include "machine.h"

namespace plant {

void report(FSMstate* sp, const std::string& text) {
    sp->server_error(sp, 1, text.c_str());
    printf("%s: %s\n", sp->get_name(), text.c_str());
    fflush(stdout);
}

void clear_alarm(FSMstate* sp) {
    sp->server_error(sp, 0, "");
}

}  // namespace plant
