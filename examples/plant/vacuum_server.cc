// The equipment server of the plant demonstration: it serves the simulated vacuum system and runs
// no state machine. Usage: vacuum_server [--rate MS] [--cycles N] [--port N] CONFIGURATION_FILE
#include "vacuum_system.h"

namespace {

EqFct* create_location(int code, void*) {
    return code == plant::kVacuumSystemCode ? new plant::VacuumSystem() : nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    velko::ServerHooks hooks{};
    hooks.eq_create = create_location;
    return velko::run_server(argc, argv, hooks);
}
