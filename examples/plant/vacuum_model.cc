#include "vacuum_model.h"

namespace plant {

void VacuumModel::trip(int n) {
    if (n == 1 || n == 2) {
        pump[n - 1] = kPumpTripped;
        resetting[n - 1] = 0.0;
    }
}

double VacuumModel::running_speed() const {
    double s = 0.0;
    for (int i = 0; i < 2; ++i) {
        if (pump[i] == kPumpRunning) {
            s += speed[i];
        }
    }
    return s;
}

void VacuumModel::step(double dt) {
    for (int i = 0; i < 2; ++i) {
        if (pump[i] == kPumpTripped) {
            resetting[i] = pump_on[i] ? 0.0 : resetting[i] + dt;
            if (resetting[i] >= kTripReset) {
                pump[i] = kPumpOff;
            }
        } else {
            pump[i] = pump_on[i] ? kPumpRunning : kPumpOff;
        }
    }
    // Each volume is advanced implicitly (backward Euler), so a large conductance or pumping speed
    // against a small volume never makes the pressures oscillate whatever the step.
    const double c = valve_open ? kValveConductance : 0.0;
    const double s = running_speed();
    line = (line + dt * (c * chamber + kLineOutgassing) / kLineVolume) / (1.0 + dt * (c + s) / kLineVolume);
    chamber =
        (chamber + dt * (c * line + kChamberOutgassing + leak) / kChamberVolume) / (1.0 + dt * c / kChamberVolume);
    // Gas flows in, never beyond the atmosphere outside.
    if (chamber > kAtmosphere) {
        chamber = kAtmosphere;
    }
    if (line > kAtmosphere) {
        line = kAtmosphere;
    }
}

}  // namespace plant
