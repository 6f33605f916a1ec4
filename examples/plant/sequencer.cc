// The root of the vacuum machine: it restores the equipment's saved settings when the machine
// starts, switches the operation on and off, and keeps the permit that the operation signals.
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "location_error.h"
#include "machine.h"
#include "sr_func.h"

namespace plant {

std::atomic<EqFSMlocation*> sequencer_location{nullptr};

namespace {

// How many ticks Restoring waits between two attempts while the equipment cannot take them.
constexpr int kRestoreRetryTicks = 10;

// The settings file (relative names from the server's working directory), configured as SETTINGS.
D_string* settings_file = nullptr;

struct RestoreProgress {
    int wait;      // ticks until the next attempt
    int restored;  // 1 once the settings were written to the equipment
};

RestoreProgress* progress(FSMstate* sp) {
    return static_cast<RestoreProgress*>(sp->get_private());
}

// A copy of the configured path, taken under the property's call mutex, which also serialises
// a client's write of SETTINGS.
std::vector<char> settings_path() {
    std::lock_guard<std::recursive_mutex> lock(settings_file->call_mutex());
    const std::string path = settings_file->value();
    return std::vector<char>(path.c_str(), path.c_str() + path.size() + 1);
}

// Writes the saved settings to the equipment; until that works, ALARM says why.
int try_restore(FSMstate* sp) {
    RestoreProgress* rp = progress(sp);
    if (rp->restored != 0 || rp->wait-- > 0) {
        return 0;
    }
    std::vector<char> path = settings_path();
    velko::EqData result;
    if (restore_all(path.data(), &result, SR_SET_FROM_FILE, 1, nullptr) == 0) {
        rp->restored = 1;
        printf("Restoring: equipment settings restored from %s\n", path.data());
        fflush(stdout);
        return 0;
    }
    rp->wait = kRestoreRetryTicks;
    std::string why = "The settings in " + std::string(path.data()) + " could not be restored: " + result.error_text();
    report(sp, why);
    return 0;
}

int restored(FSMstate* sp) {
    return progress(sp)->restored;
}

// The handler of "save": the equipment's current settings go into the settings file.
int save_settings(FSMstate* sp) {
    std::vector<char> path = settings_path();
    velko::EqData result;
    if (sr_save(path.data(), path.data(), &result, nullptr) != 0) {
        const std::string why = result.error() != 0 ? result.error_text() : "the file cannot be written.";
        report(sp, "The settings could not be saved to " + std::string(path.data()) + ": " + why);
        return 0;
    }
    printf("vacuum: equipment settings saved to %s\n", path.data());
    fflush(stdout);
    return 0;
}

}  // namespace

// clang-format off
void build_sequencer(EqFSMlocation* loc) {
    FSMsuperstate* root = loc->state_ptr;
    settings_file = new D_string("SETTINGS the save-and-restore file of the equipment's settings", loc);
    new D_location_error(loc);
    root->add_action("save", save_settings);

    auto* restoring = new FSMstate("Restoring", "restoring the equipment's saved settings", STATE);
    auto* off       = new FSMstate("Off",       "pumps off, valve closed", STATE);
    auto* blocked   = new FSMstate("Blocked",   "no vacuum: the chamber may not be used", STATE);
    auto* permitted = new FSMstate("Permitted", "the chamber is under vacuum", STATE);
    restoring->set_private(sizeof(RestoreProgress));
    *progress(restoring) = RestoreProgress{0, 0};
    restoring->add_action("during", try_restore);
    //                         event           guard     action       signal   target  next
    restoring->add_transition("timer",        restored, clear_alarm, nullptr, nullptr, "Off");
    off->add_transition(      "start",        nullptr,  nullptr,     nullptr, nullptr, "operating");
    blocked->add_transition(  "vacuum_ready", nullptr,  nullptr,     nullptr, nullptr, "Permitted");
    permitted->add_transition("vacuum_lost",  nullptr,  nullptr,     nullptr, nullptr, "Blocked");
    root->add_state(1, restoring);
    root->add_state(1, off);
    // The operation lives in the location OPERATING; linking puts it into flow 1 by name.
    root->add_reference(1, "operating");
    root->add_state(2, blocked);
    root->add_state(2, permitted);
    loc->flows.push_back(new D_flow("FLOW_1 mode", loc));
    loc->flows.push_back(new D_flow("FLOW_2 permit", loc));
    sequencer_location.store(loc);
}
// clang-format on

}  // namespace plant
