// The physics of the simulated vacuum system: pumping down, isolation, leaks, trips.
#include <gtest/gtest.h>

#include "vacuum_model.h"

namespace {

using plant::VacuumModel;

// Runs the model for `seconds` in steps of dt.
void run(VacuumModel* m, double seconds, double dt = 0.1) {
    for (double t = 0; t < seconds; t += dt) {
        m->step(dt);
    }
}

VacuumModel pumping(double speed1, double speed2) {
    VacuumModel m;
    m.speed[0] = speed1;
    m.speed[1] = speed2;
    m.pump_on[0] = m.pump_on[1] = true;
    m.valve_open = true;
    return m;
}

TEST(VacuumModel, PumpsThroughTheOpenValveEmptyTheChamberToTheOutgassingLimit) {
    struct Case {
        double speed1, speed2, step;
    };
    // Steps far beyond the volumes' time constants must not make the pressures oscillate.
    for (const Case& c : {Case{100, 100, 0.1}, Case{100, 0, 0.1}, Case{100, 100, 1.0}, Case{20, 20, 0.05}}) {
        VacuumModel m = pumping(c.speed1, c.speed2);
        double before = m.chamber;
        for (double t = 0; t < 60; t += c.step) {
            m.step(c.step);
            ASSERT_LE(m.chamber, before * (1 + 1e-9)) << "the chamber's pressure rose while pumped, at " << t << " s";
            ASSERT_GT(m.chamber, 0.0);
            before = m.chamber;
        }
        // Outgassing balances pumping: the line holds Q / S, the valve adds the chamber's own
        // gas over its conductance.
        double limit = (VacuumModel::kChamberOutgassing + VacuumModel::kLineOutgassing) / (c.speed1 + c.speed2) +
                       VacuumModel::kChamberOutgassing / VacuumModel::kValveConductance;
        EXPECT_NEAR(m.chamber, limit, limit * 0.2) << c.speed1 << " + " << c.speed2 << " l/s";
        EXPECT_LT(m.line, m.chamber);
    }
}

TEST(VacuumModel, AClosedValveOrStoppedPumpsLeaveTheChamberUnpumped) {
    struct Case {
        bool valve, pumps;
    };
    for (const Case& c : {Case{false, true}, Case{true, false}}) {
        VacuumModel m = pumping(100, 100);
        run(&m, 30);
        const double evacuated = m.chamber;
        m.valve_open = c.valve;
        m.pump_on[0] = m.pump_on[1] = c.pumps;
        run(&m, 10);
        EXPECT_GT(m.chamber, evacuated) << "valve " << c.valve << ", pumps " << c.pumps;
    }
}

TEST(VacuumModel, ALeakRaisesThePressureAndIsolatedTheChamberRisesAtItsRate) {
    VacuumModel m = pumping(100, 100);
    run(&m, 30);
    m.leak = 2.0;
    run(&m, 10);
    // The leak against both pumps, plus its drop over the valve.
    EXPECT_NEAR(m.chamber, 2.0 / 200 + 2.0 / VacuumModel::kValveConductance, 0.002);

    m.valve_open = false;
    const double closed = m.chamber;
    run(&m, 1.0);
    const double rise = (m.chamber - closed) / 1.0;
    EXPECT_NEAR(rise, (2.0 + VacuumModel::kChamberOutgassing) / VacuumModel::kChamberVolume, 0.005);

    m.leak = 0;
    m.chamber = 1e-4;
    run(&m, 1.0);
    EXPECT_LT(m.chamber - 1e-4, 1e-4) << "outgassing alone rises far slower than the leak";

    m.leak = 1e9;
    run(&m, 10);
    EXPECT_EQ(m.chamber, VacuumModel::kAtmosphere) << "no pressure beyond the atmosphere";
}

TEST(VacuumModel, ATrippedPumpStopsUntilItWasSwitchedOffLongEnough) {
    VacuumModel m = pumping(100, 50);
    m.step(0.1);
    ASSERT_EQ(m.pump[1], plant::kPumpRunning);
    EXPECT_DOUBLE_EQ(m.running_speed(), 150);

    m.trip(2);
    m.step(0.1);
    EXPECT_EQ(m.pump[1], plant::kPumpTripped) << "a command that stays on keeps the trip";
    EXPECT_DOUBLE_EQ(m.running_speed(), 100);

    m.pump_on[1] = false;
    run(&m, VacuumModel::kTripReset / 2);
    EXPECT_EQ(m.pump[1], plant::kPumpTripped) << "reset after half the time";
    m.pump_on[1] = true;
    run(&m, VacuumModel::kTripReset);
    EXPECT_EQ(m.pump[1], plant::kPumpTripped) << "switching on again restarts the reset";

    m.pump_on[1] = false;
    run(&m, VacuumModel::kTripReset + 0.2);
    EXPECT_EQ(m.pump[1], plant::kPumpOff);
    m.pump_on[1] = true;
    m.step(0.1);
    EXPECT_EQ(m.pump[1], plant::kPumpRunning);
    EXPECT_EQ(m.pump[0], plant::kPumpRunning) << "the other pump ran on throughout";

    m.trip(3);  // no such pump
    m.trip(0);
    m.step(0.1);
    EXPECT_DOUBLE_EQ(m.running_speed(), 150);
}

}  // namespace
