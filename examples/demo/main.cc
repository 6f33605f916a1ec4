// The demonstration server: velko's main loop with the state-machine library's hooks.
#include "fsm.h"

int main(int argc, char** argv) {
    return velko::run_server(argc, argv, velko::application_hooks());
}
