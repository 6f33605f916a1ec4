// Value properties: reads and writes through the location, configuration lines, wrong types.
#include <gtest/gtest.h>

#include <ctime>
#include <sstream>

#include "velko.h"

namespace {

class Loc : public EqFct {
  public:
    Loc() : EqFct("LOC test location") {}
};

// Calls on the location as the remote-call path makes them.
struct Caller {
    EqFct* loc;
    EqData out;
    int get(const char* prop) {
        EqAdr adr;
        adr.set("F", "LOC", "D", prop);
        EqData in;
        out.init();
        loc->get(&adr, &in, &out);
        return out.error();
    }
    int set(const char* prop, EqData& in) {
        EqAdr adr;
        adr.set("F", "LOC", "D", prop);
        out.init();
        loc->set(&adr, &in, &out);
        return out.error();
    }
    int set_text(const char* prop, const char* text) {
        EqData in;
        in.set(text);
        return set(prop, in);
    }
};

std::string written(D_fct& prop) {
    std::ostringstream out;
    prop.write(out);
    return out.str();
}

}  // namespace

TEST(DString, ReadsWritesAndKeepsSpaces) {
    Loc loc;
    D_string s("LABEL the label", &loc);
    Caller c{&loc, {}};
    EXPECT_EQ(s.data_type(), DATA_STRING);
    EXPECT_EQ(c.set_text("LABEL", "two words"), 0);
    EXPECT_STREQ(s.value(), "two words");
    EXPECT_EQ(c.get("LABEL"), 0);
    EXPECT_EQ(c.out.type(), DATA_STRING);
    EXPECT_EQ(c.out.get_string(), "two words");

    EqData num;
    num.set(42);
    EXPECT_EQ(c.set("LABEL", num), 0);
    EXPECT_STREQ(s.value(), "42");

    EqData rec;
    rec.set(IIII{1, 2, 3, 4});
    EXPECT_EQ(c.set("LABEL", rec), velko::ERR_WRONG_TYPE);
    EXPECT_STREQ(s.value(), "42");

    s.set_value("say \"hi\"\nnow");
    EXPECT_EQ(written(s), " \"say \\\"hi\\\"\\nnow\"\n");
    D_string back("BACK", &loc);
    back.read_from_conf(written(s).substr(1, written(s).size() - 2));
    EXPECT_STREQ(back.value(), "say \"hi\"\nnow");
    back.read_from_conf("bare text with spaces");
    EXPECT_STREQ(back.value(), "bare text with spaces");
    s.set_value(nullptr);
    EXPECT_STREQ(s.value(), "");
}

TEST(DValue, IntTakesWholeNumbersOnly) {
    Loc loc;
    velko::D_value<int> v("COUNT a counter", &loc);
    Caller c{&loc, {}};
    EXPECT_EQ(v.data_type(), DATA_INT);
    EXPECT_EQ(c.set_text("COUNT", " 17 "), 0);
    EXPECT_EQ(v.value(), 17);
    EXPECT_NE(v.stamp(), 0);

    EXPECT_EQ(c.set_text("COUNT", "17.5"), velko::ERR_PARSE);
    EXPECT_EQ(c.out.error_text(), "Property COUNT takes an integer, not the text \"17.5\".");
    EXPECT_EQ(c.set_text("COUNT", "abc"), velko::ERR_PARSE);
    EqData f;
    f.set(2.5f);
    EXPECT_EQ(c.set("COUNT", f), velko::ERR_WRONG_TYPE);
    EXPECT_EQ(v.value(), 17);
    f.set(3.0f);
    EXPECT_EQ(c.set("COUNT", f), 0);
    EXPECT_EQ(v.value(), 3);
    EqData empty;
    EXPECT_EQ(c.set("COUNT", empty), velko::ERR_WRONG_TYPE);

    EXPECT_EQ(c.get("COUNT"), 0);
    EXPECT_EQ(c.out.type(), DATA_INT);
    EXPECT_EQ(c.out.get_int(), 3);
    EXPECT_EQ(written(v), " 3\n");
    v.read_from_conf("-8");
    EXPECT_EQ(v.value(), -8);
    v.read_from_conf("junk");
    EXPECT_EQ(v.value(), -8);
}

TEST(DValue, FloatTakesNumbersAndRoundTripsItsText) {
    Loc loc;
    velko::D_value<float> v("GAIN", &loc);
    Caller c{&loc, {}};
    EqData i;
    i.set(4);
    EXPECT_EQ(c.set("GAIN", i), 0);
    EXPECT_FLOAT_EQ(v.value(), 4.0f);
    EXPECT_EQ(c.set_text("GAIN", "0.1"), 0);
    EXPECT_EQ(v.value(), 0.1f);
    EXPECT_EQ(c.set_text("GAIN", "1e99"), velko::ERR_PARSE);
    EXPECT_EQ(v.value(), 0.1f);

    velko::D_value<float> back("BACK", &loc);
    std::string text = written(v);
    back.read_from_conf(text);
    EXPECT_EQ(back.value(), v.value()) << text;
}

TEST(DValue, ConfigurationNumbersKeepTheirLayoutAndReadBack) {
    Loc loc;
    velko::D_value<float> v("GAIN", &loc);
    velko::D_value<float> back("BACK", &loc);
    // The configuration file writes %g-style numbers with as few digits as read back exactly.
    const std::pair<float, const char*> cases[] = {
        {100000.0f, " 100000\n"},   {0.0001f, " 0.0001\n"}, {123456792.0f, " 1.2345679e+08\n"}, {0.25f, " 0.25\n"},
        {1e-40f, " 9.99995e-41\n"}, {-3.0f, " -3\n"},       {3.14159265f, " 3.1415927\n"},
    };
    for (const auto& [value, line] : cases) {
        v.set_value(value);
        EXPECT_EQ(written(v), line);
        back.read_from_conf(written(v));
        EXPECT_EQ(back.value(), value) << line;
    }
    // Readable forms besides the written ones; a number too large for a float is refused.
    const std::pair<const char*, float> texts[] = {
        {"2.5e-3", 2.5e-3f}, {" +3 ", 3.0f}, {"1e-50", 0.0f}, {"-1e-400", 0.0f}};
    for (const auto& [text, value] : texts) {
        back.read_from_conf(text);
        EXPECT_EQ(back.value(), value) << text;
    }
    back.read_from_conf("1e400");
    EXPECT_EQ(back.value(), 0.0f);
    back.read_from_conf("1,5");
    EXPECT_EQ(back.value(), 0.0f);

    D_dig_filter f("FILTER", &loc);
    f.read_from_conf("2 100000 0.0001 1e-40");
    EXPECT_EQ(written(f), " 2 100000 0.0001 9.99995e-41\n");
}

TEST(DValue, AttachedHistoryGetsEveryValue) {
    Loc loc;
    velko::D_value<float> v("TEMP", &loc);
    D_hist h("TEMP.HIST", &loc, 10);
    v.attach_hist(&h);
    v.set_value(1.5f);
    v.set_value(2.5f);
    std::vector<TDS> recs = h.records();
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_FLOAT_EQ(recs[0].data, 1.5f);
    EXPECT_FLOAT_EQ(recs[1].data, 2.5f);
    EXPECT_EQ(recs[1].status, 0);
    EXPECT_EQ(recs[1].tm, v.stamp());
    v.attach_hist(nullptr);
    v.set_value(3.5f);
    EXPECT_EQ(h.records().size(), 2u);
}

namespace {
// A history that reports another type cannot archive values.
class OddHist : public D_hist {
  public:
    explicit OddHist(EqFct* loc) : D_hist("ODD", loc) {}
    int data_type() const override { return DATA_FLOAT; }
    using D_hist::data_type;
};
}  // namespace

TEST(DValue, WrongHistoryTypeThrowsAndKeepsTheValue) {
    Loc loc;
    velko::D_value<int> v("N", &loc);
    v.set_value(5);
    OddHist h(&loc);
    v.attach_hist(&h);
    try {
        v.set_value(6);
        FAIL() << "no exception";
    } catch (const velko::Error& e) {
        EXPECT_STREQ(e.what(), "Archiving failed with wrong archiver data type");
    }
    EXPECT_EQ(v.value(), 5);
    // Through a remote write the failure is an error answer.
    Caller c{&loc, {}};
    EXPECT_EQ(c.set_text("N", "7"), velko::ERR_WRONG_TYPE);
    EXPECT_EQ(v.value(), 5);
}

TEST(DIiiiAndDigFilter, RecordsFromValuesAndText) {
    Loc loc;
    D_iiii q("QUAD", &loc);
    D_dig_filter f("FILTER", &loc);
    Caller c{&loc, {}};

    EXPECT_EQ(c.set_text("QUAD", "1 2 3 4"), 0);
    EXPECT_EQ(q.value()->i3_data, 3);
    EXPECT_EQ(c.set_text("QUAD", "1 2 3"), velko::ERR_PARSE);
    EXPECT_EQ(q.value()->i4_data, 4);
    EqData rec;
    rec.set(IIII{5, 6, 7, 8});
    EXPECT_EQ(c.set("QUAD", rec), 0);
    EXPECT_EQ(c.get("QUAD"), 0);
    EXPECT_EQ(c.out.get_iiii().i1_data, 5);
    EXPECT_EQ(written(q), " 5 6 7 8\n");
    q.set_value(nullptr);
    EXPECT_EQ(q.value()->i1_data, 5);

    EXPECT_EQ(c.set_text("FILTER", "2 0.5 1.5 -3"), 0);
    EXPECT_FLOAT_EQ(f.value()->f3_data, -3.0f);
    EXPECT_EQ(c.set("FILTER", rec), velko::ERR_WRONG_TYPE);
    EXPECT_EQ(written(f), " 2 0.5 1.5 -3\n");
    D_dig_filter back("BACK", &loc);
    back.read_from_conf("2 0.5 1.5 -3");
    EXPECT_EQ(back.value()->i1_data, 2);
    EXPECT_FLOAT_EQ(back.value()->f1_data, 0.5f);
    back.read_from_conf("2 0.5");
    EXPECT_EQ(back.value()->i1_data, 2);
}

TEST(DUstr, CopiesTheTextAndNeverReadsPastIt) {
    Loc loc;
    D_ustr u("NOTE", &loc);
    EXPECT_EQ(u.value()->str_data.str_data_len, 0);
    EXPECT_STREQ(u.value()->str_data.str_data_val, "");

    char text[] = "hello";
    USTR in{7, 1.5f, 2.5f, 1000, {100, text}};  // length beyond the text: stops at the NUL
    u.set_value(&in);
    text[0] = 'J';
    EXPECT_STREQ(u.value()->str_data.str_data_val, "hello");
    EXPECT_EQ(u.value()->str_data.str_data_len, 5);
    EXPECT_EQ(u.value()->i1_data, 7);

    char unterminated[3] = {'a', 'b', 'c'};
    USTR cut{0, 0, 0, 0, {2, unterminated}};
    u.set_value(&cut);
    EXPECT_STREQ(u.value()->str_data.str_data_val, "ab");
    EXPECT_EQ(u.value()->str_data.str_data_len, 2);
    char busy[] = "Busy";
    USTR counted{0, 0, 0, 0, {5, busy}};  // the length counts the NUL: kept as given
    u.set_value(&counted);
    EXPECT_STREQ(u.value()->str_data.str_data_val, "Busy");
    EXPECT_EQ(u.value()->str_data.str_data_len, 5);
    u.set_value(u.value());  // its own record
    EXPECT_STREQ(u.value()->str_data.str_data_val, "Busy");
    EXPECT_EQ(u.value()->str_data.str_data_len, 5);
    USTR none{0, 0, 0, 0, {-4, nullptr}};
    u.set_value(&none);
    EXPECT_STREQ(u.value()->str_data.str_data_val, "");
}

TEST(DUstr, RemoteWritesAndConfigurationLines) {
    Loc loc;
    D_ustr u("NOTE", &loc);
    Caller c{&loc, {}};
    time_t before = std::time(nullptr);
    EXPECT_EQ(c.set_text("NOTE", "free text"), 0);
    EXPECT_STREQ(u.value()->str_data.str_data_val, "free text");
    EXPECT_GE(u.value()->tm, before);

    EXPECT_EQ(c.get("NOTE"), 0);
    EXPECT_EQ(c.out.type(), DATA_A_USTR);
    ASSERT_NE(c.out.get_ustr(0), nullptr);
    EXPECT_STREQ(c.out.get_ustr(0)->str_data.str_data_val, "free text");

    USTR r{3, 0.25f, 4.0f, 1234, {4, const_cast<char*>("text")}};
    u.set_value(&r);
    EXPECT_EQ(written(u), " \t3 0.25 4 1234 \"text\"\n");
    D_ustr back("BACK", &loc);
    back.read_from_conf("3 0.25 4 1234 \"text\"");
    EXPECT_EQ(back.value()->i1_data, 3);
    EXPECT_EQ(back.value()->tm, 1234);
    EXPECT_STREQ(back.value()->str_data.str_data_val, "text");
    back.read_from_conf("\"just a text\"");
    EXPECT_EQ(back.value()->i1_data, 0);
    EXPECT_STREQ(back.value()->str_data.str_data_val, "just a text");

    EqData wrong;
    wrong.set(1);
    EXPECT_EQ(c.set("NOTE", wrong), velko::ERR_WRONG_TYPE);
    EXPECT_STREQ(u.value()->str_data.str_data_val, "text");
}

TEST(DFct, NameDescriptionAndDefaults) {
    Loc loc;
    {
        D_fct p("  RAW   a property  without value ", &loc, 0);
        EXPECT_EQ(p.name(), "RAW");
        EXPECT_STREQ(p.comment(), "a property  without value");
        EXPECT_EQ(p.owner(), &loc);
        EXPECT_EQ(loc.find_property("RAW"), &p);
        EXPECT_EQ(p.data_type(), DATA_NULL);
        EXPECT_EQ(written(p), "");
        Caller c{&loc, {}};
        EXPECT_EQ(c.set_text("RAW", "x"), velko::ERR_READ_ONLY);
        EXPECT_EQ(c.get("RAW"), 0);
        EXPECT_EQ(c.out.type(), DATA_NULL);
    }
    // A destroyed property leaves its location.
    EXPECT_EQ(loc.find_property("RAW"), nullptr);
    D_fct orphan("ORPHAN", nullptr);
    EXPECT_EQ(orphan.find_prop_name(), nullptr);
}
