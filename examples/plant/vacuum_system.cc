#include "vacuum_system.h"

namespace plant {

namespace {

// Longest step of the model: a stalled cycle does not make the gas jump.
constexpr double kMaxStep = 1.0;

}  // namespace

VacuumSystem::VacuumSystem()
    : EqFct("vacuum"),
      pump1_("PUMP1 command of pump 1: 1 on, 0 off (2 s off resets a trip)", this),
      pump2_("PUMP2 command of pump 2: 1 on, 0 off (2 s off resets a trip)", this),
      valve_("VALVE command of the valve between chamber and pump line: 1 open, 0 closed", this),
      pump1_state_("PUMP1_STATE pump 1: 0 off, 1 running, 2 tripped", this),
      pump2_state_("PUMP2_STATE pump 2: 0 off, 1 running, 2 tripped", this),
      chamber_("P_CHAMBER chamber pressure in mbar", this),
      line_("P_LINE pump line pressure in mbar", this),
      chamber_hist_("P_CHAMBER_HIST history of the chamber pressure", this),
      speed1_("SPEED1 pumping speed of pump 1 in l/s", this),
      speed2_("SPEED2 pumping speed of pump 2 in l/s", this),
      leak_("LEAK injected leak into the chamber in mbar l/s (0: none)", this),
      trip_("TRIP write 1 or 2 to trip that pump", this) {
    chamber_.attach_hist(&chamber_hist_);
}

void VacuumSystem::init() {
    EqFct::init();
    // The configured pressures are where the gas was when the server last stopped.
    if (chamber_.value() > 0) {
        model_.chamber = chamber_.value();
    }
    if (line_.value() > 0) {
        model_.line = line_.value();
    }
    last_ = std::chrono::steady_clock::now();
    publish_readings();
}

void VacuumSystem::update() {
    auto now = std::chrono::steady_clock::now();
    double dt = std::chrono::duration<double>(now - last_).count();
    last_ = now;
    if (dt > kMaxStep) {
        dt = kMaxStep;
    }
    model_.pump_on[0] = pump1_.value() != 0;
    model_.pump_on[1] = pump2_.value() != 0;
    model_.valve_open = valve_.value() != 0;
    model_.speed[0] = speed1_.value();
    model_.speed[1] = speed2_.value();
    model_.leak = leak_.value() > 0 ? leak_.value() : 0.0;
    if (trip_.value() != 0) {
        model_.trip(trip_.value());
        trip_.set_value(0);
    }
    model_.step(dt);
    publish_readings();
}

void VacuumSystem::publish_readings() {
    // A value property publishes every write; only changes go out, so idle monitors stay quiet.
    if (pump1_state_.value() != model_.pump[0]) {
        pump1_state_.set_value(model_.pump[0]);
    }
    if (pump2_state_.value() != model_.pump[1]) {
        pump2_state_.set_value(model_.pump[1]);
    }
    chamber_.set_value(static_cast<float>(model_.chamber));
    line_.set_value(static_cast<float>(model_.line));
}

}  // namespace plant
