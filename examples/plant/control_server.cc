// The control server of the plant demonstration: it runs the vacuum machine (locations SEQUENCER
// and OPERATING) and an application thread that raises interrupt line 1 of the machine ten times
// a second. Usage: control_server [--rate MS] [--cycles N] [--port N] CONFIGURATION_FILE
#include <atomic>
#include <chrono>
#include <thread>

#include "machine.h"

namespace {

constexpr std::chrono::milliseconds kInterruptPeriod(100);

std::atomic<bool> stopping{false};
std::thread interrupter;

// The application's interrupt source: each call starts a pass of the machine's interrupt line 1,
// which ends with the event "irq1" to every active state.
void raise_interrupts() {
    while (!stopping.load()) {
        std::this_thread::sleep_for(kInterruptPeriod);
        if (EqFSMlocation* loc = plant::sequencer_location.load()) {
            loc->interrupt1();
        }
    }
}

// Runs once the machines have been linked and their engine threads started.
void start_interrupts() {
    interrupter = std::thread(raise_interrupts);
}

node_info operating_info = {nullptr, "operating", plant::build_operating};
node_info vacuum_info = {&operating_info, "vacuum", plant::build_sequencer};

}  // namespace

node_info* init_list = &vacuum_info;

int main(int argc, char** argv) {
    velko::ServerHooks hooks = velko::application_hooks();
    hooks.post_init_epilog = start_interrupts;
    const int status = velko::run_server(argc, argv, hooks);
    stopping.store(true);
    if (interrupter.joinable()) {
        interrupter.join();
    }
    return status;
}
