// The physics of the simulated vacuum system: a chamber and a pump line joined by a valve, two
// pumps on the line, a leak into the chamber. Pure arithmetic, advanced in steps of time.
#pragma once

namespace plant {

enum PumpState { kPumpOff = 0, kPumpRunning = 1, kPumpTripped = 2 };

struct VacuumModel {
    // Volumes in litres, the valve's conductance in litres per second, gas loads in mbar l/s.
    static constexpr double kChamberVolume = 50.0;
    static constexpr double kLineVolume = 5.0;
    static constexpr double kValveConductance = 200.0;
    static constexpr double kChamberOutgassing = 1e-3;
    static constexpr double kLineOutgassing = 1e-4;
    static constexpr double kAtmosphere = 1000.0;
    // A tripped pump switched off needs this long (seconds) before it can run again.
    static constexpr double kTripReset = 2.0;

    double chamber = kAtmosphere;  // pressures in mbar
    double line = kAtmosphere;
    bool valve_open = false;
    bool pump_on[2] = {false, false};  // the commands
    PumpState pump[2] = {kPumpOff, kPumpOff};
    double speed[2] = {0.0, 0.0};      // pumping speed of each pump in l/s
    double leak = 0.0;                 // the injected leak in mbar l/s
    double resetting[2] = {0.0, 0.0};  // seconds a tripped pump has been switched off

    // Trips pump n (1 or 2): it stops and stays tripped until its command has been off for
    // kTripReset seconds.
    void trip(int n);
    // Follows the commands (a tripped pump ignores "on"), then lets the gas flow for dt seconds.
    void step(double dt);
    // The pumping speed of the pumps that run, in l/s.
    double running_speed() const;
};

}  // namespace plant
