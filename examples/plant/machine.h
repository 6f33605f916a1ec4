// The machine that operates the vacuum system from the control server: its factories, the
// equipment addresses its data channels mirror, and what the control server's main needs.
//
//   vacuum (root, location SEQUENCER)
//     flow 1 "mode":    Restoring -> Off <-> operating
//     flow 2 "permit":  Blocked <-> Permitted (moved by the signals "vacuum_ready", "vacuum_lost")
//   operating (superstate, location OPERATING)
//     flow 1 "vacuum":  Evacuating -> Ready -> Isolated -> Evacuating
//     flow 2 "pumps":   Running -> Tripped -> Restarting -> Running (keeps its history)
#pragma once

#include <atomic>
#include <string>

#include "fsm.h"

namespace plant {

// The equipment location the machine operates.
constexpr const char* kEquipment = "PLANT/VACUUM/SYSTEM";

// Pressures in mbar: the chamber is ready below kReadyPressure; above kLeakPressure while ready
// it has a leak. Isolated, a rise faster than kMaxRise mbar/s over kRiseTicks ticks is a leak.
constexpr float kReadyPressure = 1e-3f;
constexpr float kLeakPressure = 5e-3f;
constexpr float kMaxRise = 1e-3f;
constexpr int kRiseTicks = 10;

// The root location, for the application thread that raises interrupts; null until built.
extern std::atomic<EqFSMlocation*> sequencer_location;

// Reports an error with server_error to the state's location, whose ALARM shows it until
// clear_alarm; prints it on the server's output too. (An error text of the state itself would
// show on its flow only until the next tick empties it.)
void report(FSMstate* sp, const std::string& text);
// Empties the location's error (a transition action, once the cause is gone).
void clear_alarm(FSMstate* sp);

void build_sequencer(EqFSMlocation* loc);
void build_operating(EqFSMlocation* loc);

}  // namespace plant
