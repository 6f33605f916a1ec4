// The event record: empty defaults, copies, and set_event leaving next alone.
#include <gtest/gtest.h>

#include <string>

#include "fsm.h"

TEST(Event, NewRecordHasThreeEmptyStrings) {
    FSMevent ev;
    ASSERT_NE(ev.get_name(), nullptr);
    ASSERT_NE(ev.get_state(), nullptr);
    ASSERT_NE(ev.get_next(), nullptr);
    EXPECT_STREQ(ev.get_name(), "");
    EXPECT_STREQ(ev.get_state(), "");
    EXPECT_STREQ(ev.get_next(), "");
}

TEST(Event, SettersCopyTheirArgument) {
    FSMevent ev;
    std::string name = "start";
    std::string target = "Idle";
    std::string next = "Busy";
    ev.set_name(name.c_str());
    ev.set_state(target.c_str());
    ev.set_next(next.c_str());
    name = "xxxxx";
    target = "xxxx";
    next = "xxxx";
    EXPECT_STREQ(ev.get_name(), "start");
    EXPECT_STREQ(ev.get_state(), "Idle");
    EXPECT_STREQ(ev.get_next(), "Busy");
}

TEST(Event, SetEventReplacesNameAndTargetButKeepsNext) {
    FSMevent ev;
    ev.set_event("a", "b");
    ev.set_next("Next");
    ev.set_event("go", "*");
    EXPECT_STREQ(ev.get_name(), "go");
    EXPECT_STREQ(ev.get_state(), "*");
    EXPECT_STREQ(ev.get_next(), "Next");
}

TEST(Event, NullTextIsStoredAsEmpty) {
    FSMevent ev;
    ev.set_event("go", "S");
    ev.set_next("N");
    ev.set_name(nullptr);
    ev.set_state(nullptr);
    ev.set_next(nullptr);
    EXPECT_STREQ(ev.get_name(), "");
    EXPECT_STREQ(ev.get_state(), "");
    EXPECT_STREQ(ev.get_next(), "");
    ev.set_event(nullptr, nullptr);
    EXPECT_STREQ(ev.get_name(), "");
}

TEST(Event, LongNamesAreKeptWhole) {
    FSMevent ev;
    std::string long_name(500, 'e');
    ev.set_name(long_name.c_str());
    EXPECT_EQ(std::string(ev.get_name()), long_name);
}
