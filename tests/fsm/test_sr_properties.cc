// Save and restore through a machine's data properties: a basic state whose root location holds
// the properties reaches them as network channels of its parent.
#include <gtest/gtest.h>

#include <cstring>
#include <list>
#include <string>
#include <vector>

#include "sr_files.h"
#include "velko_test.h"

namespace {

using srtest::kHead;

class SrProperties : public ::testing::Test {
  protected:
    SrProperties()
        : loc(ROOT_STATE),
          count("COUNT an int", &loc),
          level("LEVEL a float", &loc),
          note("NOTE a text record", &loc),
          leaf("L", "", STATE) {
        loc.velko_data = {&count, &level, &note};
        loc.bind();
        loc.state_ptr->set_name("R");
        loc.state_ptr->add_state(1, &leaf);
        loc.state_ptr->set_root(loc.state_ptr);
    }

    void set_note(const std::string& text) {
        USTR u{};
        u.i1_data = 9;
        u.str_data.str_data_len = static_cast<int>(text.size()) + 1;
        u.str_data.str_data_val = const_cast<char*>(text.c_str());
        note.set_value(&u);
    }
    char* file(const std::string& name, const std::string& body) {
        paths.push_back(tmp.file(name));
        testsupport::write_file(paths.back(), kHead + body);
        return const_cast<char*>(paths.back().c_str());
    }

    EqFSMlocation loc;
    velko::D_value<int> count;
    velko::D_value<float> level;
    D_ustr note;
    FSMstate leaf;
    testsupport::TempDir tmp;
    std::list<std::string> paths;  // the paths handed out stay put
    velko::EqData data;
};

TEST_F(SrProperties, RestoreWritesTheProperties) {
    char* f = file("t.sr", "F D L COUNT\t1\t42\t;\nF D L LEVEL\t2\t2.5\t;\nF D L NOTE\t103\tsome words\t;\n");
    ASSERT_EQ(restore_all(f, &data, SR_SET_FROM_FILE, 1, &leaf), 0);
    EXPECT_EQ(count.value(), 42);
    EXPECT_FLOAT_EQ(level.value(), 2.5f);
    EXPECT_STREQ(note.value()->str_data.str_data_val, "some words");
}

TEST_F(SrProperties, CheckCorrectWritesOnlyPropertiesThatDiffer) {
    count.set_value(41);
    set_note("kept");
    char* f = file("t.sr", "F D L COUNT\t1\t42\t;\nF D L NOTE\t103\tkept\t;\nF D L LEVEL\t2\t0.000000\t;\n");
    ASSERT_EQ(restore_all(f, &data, SR_CHECK_CORRECT, 1, &leaf), 0);
    EXPECT_EQ(count.value(), 42);
    // A write would have replaced the whole record, its number included.
    EXPECT_EQ(note.value()->i1_data, 9);

    f = file("u.sr", "F D L NOTE\t103\tchanged\t;\n");
    ASSERT_EQ(restore_all(f, &data, SR_CHECK_CORRECT, 1, &leaf), 0);
    EXPECT_STREQ(note.value()->str_data.str_data_val, "changed");
    EXPECT_EQ(note.value()->i1_data, 0);
}

TEST_F(SrProperties, SaveReadsThePropertiesAndCutsLongTexts) {
    count.set_value(-8);
    std::string long_text(300, 'n');
    set_note(long_text);
    char* t = file("t.sr", "F D L COUNT\t1\t0\t;\nF D L NOTE\t103\tx\t;\nF D L MISSING\t1\tdefault\t;\n");
    char* saved = file("saved.sr", "");
    ASSERT_EQ(sr_save(t, saved, &data, &leaf), 0);

    int rc = -1;
    auto got = srtest::read_items(saved, &rc);
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].value, "-8");
    EXPECT_EQ(got[1].value, long_text.substr(0, 255));
    EXPECT_EQ(got[2].value, "default");
}

}  // namespace
