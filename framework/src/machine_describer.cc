// The process's machine describer, registered by the state-machine library.
#include <atomic>

#include "machine_view.h"

namespace velko {

namespace {
std::atomic<MachineDescriber*> g_describer{nullptr};
}  // namespace

void set_machine_describer(MachineDescriber* describer) {
    g_describer.store(describer, std::memory_order_release);
}

MachineDescriber* machine_describer() {
    return g_describer.load(std::memory_order_acquire);
}

}  // namespace velko
