// The location base: name, status word, error state, property list and its configuration lines.
#include <gtest/gtest.h>

#include <sstream>

#include "velko.h"

namespace {

class Loc : public EqFct {
  public:
    Loc() : EqFct("NAME = location") {}
};

// A property whose value text holds line breaks.
class Multiline : public D_fct {
  public:
    explicit Multiline(EqFct* loc) : D_fct("MULTI", loc) {}
    void write(std::ostream& out) override { out << "first\nsecond\r\n"; }
};

ConfigRecord record(const std::string& name, const std::string& text, std::vector<std::string> comments = {}) {
    ConfigRecord r;
    r.name = name;
    r.text = text;
    r.comments = std::move(comments);
    return r;
}

}  // namespace

TEST(EqFct, NameFromTextOrConfiguration) {
    Loc configured;
    EXPECT_EQ(configured.name(), "");
    configured.set_name("ROOM1");
    EXPECT_EQ(configured.name(), "ROOM1");
    EXPECT_EQ(configured.fct_code(), 0);
    configured.set_eq_code(42);
    EXPECT_EQ(configured.fct_code(), 42);

    EqFct named("PUMP the main pump");
    EXPECT_EQ(named.name(), "PUMP");
}

TEST(EqFct, StatusWordFollowsErrorsAndOnline) {
    Loc loc;
    EXPECT_EQ(loc.g_sts.value(), 0);
    loc.set_error(3, "Valve stuck.");
    EXPECT_EQ(loc.get_error(), 3);
    EXPECT_EQ(loc.get_errorstr(), "Valve stuck.");
    EXPECT_TRUE(loc.g_sts.bit(D_gen_sts::ERROR));
    EXPECT_TRUE(loc.g_sts.bit(D_gen_sts::NEW_ERROR));
    loc.g_sts.change_bit(false, D_gen_sts::NEW_ERROR);
    loc.set_error(3, "Valve stuck.");  // the same error again is not new
    EXPECT_FALSE(loc.g_sts.bit(D_gen_sts::NEW_ERROR));
    loc.set_error(0);
    EXPECT_EQ(loc.get_errorstr(), "");
    EXPECT_FALSE(loc.g_sts.bit(D_gen_sts::ERROR));

    loc.init();
    EXPECT_TRUE(loc.g_sts.bit(D_gen_sts::ONLINE));
    EXPECT_EQ(loc.g_sts.value(), 1 << D_gen_sts::ONLINE);
    loc.cancel();
    EXPECT_FALSE(loc.g_sts.bit(D_gen_sts::ONLINE));
    loc.g_sts.change_bit(true, 31);  // out of range: ignored
    loc.g_sts.change_bit(true, -1);
    EXPECT_EQ(loc.g_sts.value(), 0);
}

TEST(EqFct, PropertiesAreFoundByTheirFirstWord) {
    Loc loc;
    velko::D_value<int> a("A first", &loc);
    D_string b("B second", &loc);
    EXPECT_EQ(loc.find_property("A"), &a);
    EXPECT_EQ(loc.find_property("B"), &b);
    EXPECT_EQ(loc.find_property("A first"), nullptr);
    ASSERT_EQ(loc.properties().size(), 2u);
    EXPECT_EQ(loc.properties()[1], &b);

    EqAdr adr;
    adr.set("F", "L", "D", "");
    EqData out;
    loc.names(&adr, &out);
    ASSERT_EQ(out.length(), 2);
    EXPECT_STREQ(out.get_ustr(1)->str_data.str_data_val, "B second");
    EXPECT_EQ(out.get_ustr(1)->i1_data, DATA_STRING);
}

TEST(EqFct, WriteGivesOneLinePerPropertyWithItsComments) {
    Loc loc;
    velko::D_value<int> count("COUNT", &loc);
    D_fct plain("PLAIN no value", &loc);
    D_fct kept("KEPT no value either", &loc);
    Multiline multi(&loc);
    D_string label("LABEL", &loc);
    loc.set_config_records({record("COUNT", "1", {"# how many"}), record("KEPT", "as configured")});
    count.set_value(5);
    label.set_value("x y");
    std::ostringstream out;
    loc.write(out);
    EXPECT_EQ(out.str(),
              "# how many\n"
              "COUNT 5\n"
              "KEPT as configured\n"
              "MULTI first second \n"
              "LABEL \"x y\"\n");
}

TEST(EqFct, ConfiguredRecordsAreFoundByPropertyName) {
    Loc loc;
    velko::D_value<int> count("COUNT", &loc);
    EXPECT_EQ(count.find_prop_name(), nullptr);
    loc.set_config_records({record("COUNT", "8")});
    ASSERT_NE(count.find_prop_name(), nullptr);
    EXPECT_EQ(count.find_prop_name()->text, "8");
    count.read();
    EXPECT_EQ(count.value(), 8);
}
