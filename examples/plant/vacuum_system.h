// The equipment location of the simulated vacuum system: the model's commands, readings,
// settings and fault injection as ordinary value and history properties, and the physics run in
// the server's update cycle.
#pragma once

#include <chrono>

#include "vacuum_model.h"
#include "velko.h"

namespace plant {

// The equipment code of the location in the configuration file.
constexpr int kVacuumSystemCode = 10;

class VacuumSystem : public EqFct {
  public:
    VacuumSystem();
    // Reads the commands, settings and injected faults, advances the model by the time since the
    // previous cycle and publishes the readings.
    void update() override;
    void init() override;

  private:
    void publish_readings();

    VacuumModel model_;
    std::chrono::steady_clock::time_point last_;
    // Commands.
    velko::D_value<int> pump1_;
    velko::D_value<int> pump2_;
    velko::D_value<int> valve_;
    // Readings.
    velko::D_value<int> pump1_state_;
    velko::D_value<int> pump2_state_;
    velko::D_value<float> chamber_;
    velko::D_value<float> line_;
    D_hist chamber_hist_;
    // Settings.
    velko::D_value<float> speed1_;
    velko::D_value<float> speed2_;
    // Fault injection.
    velko::D_value<float> leak_;
    velko::D_value<int> trip_;
};

}  // namespace plant
