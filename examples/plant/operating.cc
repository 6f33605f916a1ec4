// The operation of the vacuum system, a superstate in its own location: flow 1 pumps the chamber
// down and watches it for leaks, flow 2 watches the pumps and restarts a tripped one. Both read
// the equipment through data channels of the superstate, refreshed from the equipment server on
// every tick, and command it by writing to those channels.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>

#include "location_error.h"
#include "machine.h"
#include "vacuum_model.h"

namespace plant {

namespace {

// The superstate's data channels: name and the equipment property each one mirrors.
const char* const kChannels[][2] = {
    {"p_chamber", "P_CHAMBER"},
    {"pump1_state", "PUMP1_STATE"},
    {"pump2_state", "PUMP2_STATE"},
    {"pump1", "PUMP1"},
    {"pump2", "PUMP2"},
    {"valve", "VALVE"},
};

// Whether the equipment delivered the channel's value at the last refresh (when not, the state's
// flow shows why).
bool reading(FSMstate* sp, const char* channel, velko::EqData* value) {
    return sp->data_get(sp->data_open(channel, 0), *value) == 0 && value->error() == 0;
}

// The chamber's pressure; NaN while unknown, so that no guard on it holds: the machine keeps its
// states until the equipment answers again.
float chamber_pressure(FSMstate* sp) {
    velko::EqData v;
    return reading(sp, "p_chamber", &v) ? v.get_float() : std::nanf("");
}

// A pump's state, or -1 while unknown.
int pump_state(FSMstate* sp, int pump) {
    velko::EqData v;
    return reading(sp, pump == 1 ? "pump1_state" : "pump2_state", &v) ? v.get_int() : -1;
}

// Writes value to the equipment through the data channel `channel` of sp or its parents.
void command(FSMstate* sp, const char* channel, int value) {
    velko::EqData v;
    v.set(value);
    sp->data_set(sp->data_open(channel, 0), v);
}

// ---- the operation as a whole ----

int shut_down(FSMstate* sp) {
    command(sp, "valve", 0);
    command(sp, "pump1", 0);
    command(sp, "pump2", 0);
    return 0;
}

// ---- flow 1: the chamber ----

int evacuate(FSMstate* sp) {
    command(sp, "pump1", 1);
    command(sp, "pump2", 1);
    command(sp, "valve", 1);
    return 0;
}

int chamber_ready(FSMstate* sp) {
    return chamber_pressure(sp) < kReadyPressure;
}

int chamber_leaks(FSMstate* sp) {
    return chamber_pressure(sp) > kLeakPressure;
}

// Closing the valve keeps the leak away from the pumps; Isolated then measures how fast the
// chamber's pressure rises.
void isolate(FSMstate* sp) {
    char text[120];
    snprintf(text, sizeof text, "Leak: the chamber pressure rose to %.3g mbar; the valve is closed.",
             chamber_pressure(sp));
    report(sp, text);
    command(sp, "valve", 0);
}

// The interrupt line counts the time the chamber is ready into the location's READY_TICKS.
int count_ready(FSMstate* sp) {
    int h = sp->data_open("READY_TICKS", 0);
    int ticks = 0;
    sp->data_get(h, &ticks, 0);
    sp->data_set(h, ticks + 1, 0);
    return 0;
}

struct RiseTest {
    float start;   // pressure at the start of the measurement
    double since;  // steady-clock seconds at the start
    int ticks;     // ticks measured so far
};

double now_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

RiseTest* rise(FSMstate* sp) {
    return static_cast<RiseTest*>(sp->get_private());
}

int start_rise_test(FSMstate* sp) {
    *rise(sp) = RiseTest{chamber_pressure(sp), now_seconds(), 0};
    return 0;
}

// The rate of rise in mbar/s since the measurement started.
float rise_rate(FSMstate* sp) {
    const double seconds = now_seconds() - rise(sp)->since;
    return seconds > 0 ? static_cast<float>((chamber_pressure(sp) - rise(sp)->start) / seconds) : 0.0f;
}

int rise_test_passed(FSMstate* sp) {
    return rise(sp)->ticks >= kRiseTicks && rise_rate(sp) < kMaxRise;
}

// Counts the measurement's ticks; once the guard above refused a complete measurement, the leak
// is still there (or the pressure was unknown): say so and measure again.
int measure_rise(FSMstate* sp) {
    if (rise(sp)->ticks < kRiseTicks) {
        ++rise(sp)->ticks;
        return 0;
    }
    if (!std::isnan(rise_rate(sp))) {
        char text[120];
        snprintf(text, sizeof text, "Leak: the isolated chamber's pressure rises faster than %g mbar/s.", kMaxRise);
        report(sp, text);
    }
    start_rise_test(sp);
    return 0;
}

// ---- flow 2: the pumps ----

int tripped_pump(FSMstate* sp) {
    for (int pump = 1; pump <= 2; ++pump) {
        if (pump_state(sp, pump) == kPumpTripped) {
            return pump;
        }
    }
    return 0;
}

// The pump Tripped is about: the one that tripped, kept in the state's private block.
int* restarting_pump(FSMstate* sp) {
    return static_cast<int*>(sp->get_parent()->get_private());
}

void report_trip(FSMstate* sp) {
    int pump = tripped_pump(sp);
    *restarting_pump(sp) = pump;
    report(sp, "Pump " + std::to_string(pump) + " of " + kEquipment + " tripped; switching it off to reset it.");
}

// Switching a tripped pump off resets it.
int reset_pump(FSMstate* sp) {
    command(sp, *restarting_pump(sp) == 2 ? "pump2" : "pump1", 0);
    return 0;
}

int pump_reset(FSMstate* sp) {
    return pump_state(sp, *restarting_pump(sp)) == kPumpOff;
}

int restart_pump(FSMstate* sp) {
    command(sp, *restarting_pump(sp) == 2 ? "pump2" : "pump1", 1);
    return 0;
}

int pumps_running(FSMstate* sp) {
    return pump_state(sp, 1) == kPumpRunning && pump_state(sp, 2) == kPumpRunning;
}

}  // namespace

// clang-format off
void build_operating(EqFSMlocation* loc) {
    FSMsuperstate* op = loc->state_ptr;
    for (const auto& ch : kChannels) {
        op->add_data(ch[0], nullptr, (std::string(kEquipment) + "/" + ch[1]).c_str());
    }
    op->set_private(sizeof(int));  // the pump flow 2 restarts
    op->add_action("exit", shut_down);
    // The operation's own transition: "stop" leaves it, whatever its flows are doing.
    //                 event   guard    action   signal         target              next
    op->add_transition("stop", nullptr, nullptr, "vacuum_lost", "vacuum!Permitted", "Off");
    loc->velko_data.push_back(new velko::D_value<int>("READY_TICKS interrupt ticks the chamber was ready", loc));
    new D_location_error(loc);

    auto* evacuating = new FSMstate("Evacuating", "pumping the chamber down", STATE);
    auto* ready      = new FSMstate("Ready",      "the chamber is under vacuum", STATE);
    auto* isolated   = new FSMstate("Isolated",   "valve closed, measuring the rate of rise", STATE);
    auto* running    = new FSMstate("Running",    "both pumps run", STATE);
    auto* tripped    = new FSMstate("Tripped",    "a pump tripped; resetting it", STATE);
    auto* restarting = new FSMstate("Restarting", "restarting the reset pump", STATE);
    evacuating->add_action("enter", evacuate);
    ready->add_action("interrupt1", count_ready);
    isolated->set_private(sizeof(RiseTest));
    isolated->add_action("enter",  start_rise_test);
    isolated->add_action("during", measure_rise);
    tripped->add_action("enter",    reset_pump);
    restarting->add_action("enter", restart_pump);
    //                          event    guard             action       signal          target             next
    evacuating->add_transition("timer", chamber_ready,    nullptr,     "vacuum_ready", "vacuum!Blocked",  "Ready");
    ready->add_transition(     "timer", chamber_leaks,    isolate,     "vacuum_lost",  "vacuum!Permitted", "Isolated");
    isolated->add_transition(  "timer", rise_test_passed, clear_alarm, nullptr,        nullptr,           "Evacuating");
    running->add_transition(   "timer", tripped_pump,     report_trip, nullptr,        nullptr,           "Tripped");
    tripped->add_transition(   "timer", pump_reset,       nullptr,     nullptr,        nullptr,           "Restarting");
    restarting->add_transition("timer", pumps_running,    clear_alarm, nullptr,        nullptr,           "Running");
    op->add_state(1, evacuating);
    op->add_state(1, ready);
    op->add_state(1, isolated);
    op->add_state(2, running);
    op->add_state(2, tripped);
    op->add_state(2, restarting);
    loc->flows.push_back(new D_flow("FLOW_1 vacuum", loc));
    loc->flows.push_back(new D_flow("FLOW_2 pumps", loc));
}
// clang-format on

}  // namespace plant
