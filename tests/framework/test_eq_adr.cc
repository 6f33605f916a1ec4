// Tests of velko::EqAdr: parsing, the text form and its round trip, and rejected texts.
#include <gtest/gtest.h>

#include <string>

#include "eq_adr.h"

namespace {

void expect_parts(const EqAdr& a, const char* facility, const char* device, const char* location,
                  const char* property) {
    EXPECT_STREQ(a.facility(), facility);
    EXPECT_STREQ(a.device(), device);
    EXPECT_STREQ(a.location(), location);
    EXPECT_STREQ(a.property(), property);
}

TEST(EqAdrParse, FourParts) {
    EqAdr a;
    ASSERT_EQ(a.adr("LAB/FSM.DEMO/ROOT_1/FLOW_0"), 0);
    expect_parts(a, "LAB", "FSM.DEMO", "ROOT_1", "FLOW_0");
    EXPECT_EQ(a.show_adr(), "LAB/FSM.DEMO/ROOT_1/FLOW_0");
}

TEST(EqAdrParse, FewerPartsLeaveTheRestEmpty) {
    EqAdr a;
    ASSERT_EQ(a.adr("LAB/DEV"), 0);
    expect_parts(a, "LAB", "DEV", "", "");
    EXPECT_EQ(a.show_adr(), "LAB/DEV//");
    ASSERT_EQ(a.adr("LAB"), 0);
    expect_parts(a, "LAB", "", "", "");
    ASSERT_EQ(a.adr("LAB/DEV/LOC"), 0);
    expect_parts(a, "LAB", "DEV", "LOC", "");
}

TEST(EqAdrParse, EmptyPartsAreKept) {
    EqAdr a;
    ASSERT_EQ(a.adr("LAB/DEV//PROP"), 0);
    expect_parts(a, "LAB", "DEV", "", "PROP");
    ASSERT_EQ(a.adr("///"), 0);
    expect_parts(a, "", "", "", "");
    ASSERT_EQ(a.adr("/DEV/LOC/PROP"), 0);
    expect_parts(a, "", "DEV", "LOC", "PROP");
}

TEST(EqAdrParse, BadTextIsRejectedAndEmptiesTheAddress) {
    for (const char* bad : {"", "A/B/C/D/E", "A/B/C/D/", "A B/C/D/E", "A/B/C/D ", " A/B/C/D", "A/B\t/C/D", "A/B/C/D\n",
                            "A/\x01/C/D", "A/B/C/\x7f"}) {
        EqAdr a;
        a.adr("KEEP/ME/NOT/NOW");
        EXPECT_EQ(a.adr(bad), -1) << bad;
        expect_parts(a, "", "", "", "");
    }
}

TEST(EqAdrText, ShowAdrRoundTrips) {
    const char* texts[] = {"A/B/C/D", "A/B//", "A/B/*/", "//LOC/", "///", "F-1/D.2/L_3/P:4", "A/B/C/D\xc3\xa9"};
    for (const char* t : texts) {
        EqAdr a;
        ASSERT_EQ(a.adr(t), 0) << t;
        EqAdr b;
        ASSERT_EQ(b.adr(a.show_adr()), 0) << t;
        EXPECT_EQ(b.show_adr(), a.show_adr());
        EXPECT_EQ(a.show_adr(), t);
    }
}

TEST(EqAdrSet, ArgumentOrderIsFacilityLocationDeviceProperty) {
    EqAdr a;
    a.set("FAC", "LOC", "DEV", "PROP");
    expect_parts(a, "FAC", "DEV", "LOC", "PROP");
    EXPECT_EQ(a.show_adr(), "FAC/DEV/LOC/PROP");
    a.set_location("OTHER");
    a.set_property("VALUE");
    EXPECT_EQ(a.show_adr(), "FAC/DEV/OTHER/VALUE");
    a.set(nullptr, nullptr, "DEV", nullptr);
    expect_parts(a, "", "DEV", "", "");
    a.set_location(nullptr);
    a.set_property(nullptr);
    EXPECT_EQ(a.show_adr(), "/DEV//");
    EqAdr b;
    ASSERT_EQ(b.adr(a.show_adr()), 0);
    expect_parts(b, "", "DEV", "", "");
}

TEST(EqAdrSet, ServerAddressWithEmptyLocationRoundTrips) {
    EqAdr a;
    a.set("LAB", "", "SERVER", "");
    EqAdr b;
    ASSERT_EQ(b.adr(a.show_adr()), 0);
    expect_parts(b, "LAB", "SERVER", "", "");
    b.set_location("*");
    EXPECT_EQ(b.show_adr(), "LAB/SERVER/*/");
}

TEST(EqAdrSet, GettersStayValidUntilTheirPartChanges) {
    EqAdr a;
    a.adr("F/D/L/P");
    const char* device = a.device();
    a.set_location("A_MUCH_LONGER_LOCATION_NAME_THAN_BEFORE");
    a.set_property("A_MUCH_LONGER_PROPERTY_NAME_THAN_BEFORE");
    EXPECT_STREQ(device, "D");
}

}  // namespace
