// For test programs that run machines: stops every machine's engine threads at the end of each
// test, so that the program ends normally, with its static destructors and LeakSanitizer's check.
#pragma once

#include <gtest/gtest.h>

#include "fsm.h"

namespace testsupport {

class MachineStop : public ::testing::EmptyTestEventListener {
  public:
    void OnTestEnd(const ::testing::TestInfo&) override { EqFSMlocation::stop_all_engines(); }
};

// Call once, from a static initialiser of the test file.
inline bool install_machine_stop() {
    ::testing::UnitTest::GetInstance()->listeners().Append(new MachineStop);
    return true;
}

}  // namespace testsupport
