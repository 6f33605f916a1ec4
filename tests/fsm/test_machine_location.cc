// Machine parts bound to their server locations: errors shown on the location, the archive named
// after the machine, and history properties booked into it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "fsm.h"
#include "velko_test.h"

namespace {

// Runs the test body inside a fresh directory, where archive files are created.
class MachineLocationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char buf[4096];
        ASSERT_NE(getcwd(buf, sizeof buf), nullptr);
        old_dir_ = buf;
        ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    }
    void TearDown() override { ASSERT_EQ(chdir(old_dir_.c_str()), 0); }

    testsupport::TempDir dir_;
    std::string old_dir_;
};

FSMrootstate* root_of(EqFSMlocation& loc) {
    return static_cast<FSMrootstate*>(loc.state_ptr);
}

}  // namespace

TEST_F(MachineLocationTest, ErrorsOfMemberStatesShowOnTheNearestSuperstatesLocation) {
    EqFSMlocation root_loc(ROOT_STATE);
    EqFSMlocation sub_loc(SUPER_STATE);
    FSMstate top_member("Top", nullptr, STATE);
    FSMstate deep_member("Deep", nullptr, STATE);
    root_loc.state_ptr->add_state(0, &top_member);
    root_loc.state_ptr->add_state(1, sub_loc.state_ptr);
    sub_loc.state_ptr->add_state(0, &deep_member);
    deep_member.server_error(&deep_member, 7, "valve stuck");
    EXPECT_EQ(sub_loc.get_error(), 7);
    EXPECT_EQ(sub_loc.get_errorstr(), "valve stuck");
    EXPECT_EQ(root_loc.get_error(), 0);
    top_member.server_error(&top_member, 3, "pump off");
    EXPECT_EQ(root_loc.get_error(), 3);
    EXPECT_EQ(root_loc.get_errorstr(), "pump off");
}

TEST_F(MachineLocationTest, ArchiveIsNamedAfterTheMachineAndMadeOnce) {
    EqFSMlocation loc(ROOT_STATE);
    loc.fsm.set_value("Boiler");
    FSMrootstate* root = root_of(loc);
    root->init_archiver();
    ASSERT_NE(root->atdsp, nullptr);
    EXPECT_EQ(root->atdsp->hist_name(), "Boiler.hist");
    EXPECT_EQ(root->atdsp->data_name(), "Boiler.data");
    ArchiveFile* first = root->atdsp;
    root->init_archiver();
    EXPECT_EQ(root->atdsp, first);
}

TEST_F(MachineLocationTest, LongMachineNameIsCutBeforeTheSuffix) {
    EqFSMlocation loc(ROOT_STATE);
    std::string name(100, 'm');
    loc.fsm.set_value(name.c_str());
    FSMrootstate* root = root_of(loc);
    root->init_archiver();
    ASSERT_NE(root->atdsp, nullptr);
    EXPECT_EQ(root->atdsp->hist_name(), std::string(74, 'm') + ".hist");
    EXPECT_EQ(root->atdsp->data_name(), std::string(74, 'm') + ".data");
}

TEST_F(MachineLocationTest, InitBooksTheHistoriesOfEveryLocationIntoTheRootsArchive) {
    EqFSMlocation root_loc(ROOT_STATE);
    EqFSMlocation sub_loc(SUPER_STATE);
    root_loc.fsm.set_value("Plant");
    root_loc.set_name("ROOTLOC");
    sub_loc.set_name("SUBLOC");
    D_hist level("LEVEL a history", &root_loc);
    velko::D_value<int> count("COUNT not a history", &root_loc);
    D_hist flow("FLOW_RATE another history", &sub_loc);
    root_loc.velko_data.push_back(&count);
    root_loc.velko_data.push_back(&level);
    sub_loc.velko_data.push_back(&flow);
    FSMrootstate* root = root_of(root_loc);
    FSMstate idle("Idle", nullptr, STATE);
    root->add_state(0, &idle);
    root->add_state(1, sub_loc.state_ptr);
    FSMstate inner("Inner", nullptr, STATE);
    sub_loc.state_ptr->add_state(0, &inner);
    root->set_root(root);
    ASSERT_EQ(root->link_state(), 0);
    root->init_state();
    ASSERT_NE(root->atdsp, nullptr);
    EXPECT_EQ(level.archive_name(), "ROOTLOC.LEVEL");
    EXPECT_EQ(flow.archive_name(), "SUBLOC.FLOW_RATE");
    // Records now reach the archive file.
    TDS rec{1000, 2.5f, 0};
    level.fill_hist(&rec, nullptr);
    root->atdsp->flush();
    std::vector<TDS> stored = root->atdsp->read("ROOTLOC.LEVEL");
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_FLOAT_EQ(stored[0].data, 2.5f);
    EXPECT_TRUE(testsupport::file_exists(dir_.file("Plant.hist")));
}

TEST_F(MachineLocationTest, SuperstateWithoutRootBooksNothing) {
    EqFSMlocation sub_loc(SUPER_STATE);
    D_hist hist("HIST a history", &sub_loc);
    sub_loc.velko_data.push_back(&hist);
    sub_loc.state_ptr->init_state();
    EXPECT_EQ(hist.archive_name(), "");
}
