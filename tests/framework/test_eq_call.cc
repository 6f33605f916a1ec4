// Calls on addresses served by this process: dispatch, names, errors, monitors.
#include <gtest/gtest.h>

#include "velko.h"

namespace {

class Loc : public EqFct {
  public:
    explicit Loc(const std::string& name, int code = 7)
        : EqFct("NAME = location"), count("COUNT a counter", this), label("LABEL", this) {
        set_name(name);
        set_eq_code(code);
    }
    velko::D_value<int> count;
    D_string label;
};

// Two locations served as FAC/DEV/A and FAC/DEV/B (never deleted: the directory keeps them).
struct Served {
    Loc* a = new Loc("A", 100);
    Loc* b = new Loc("B", 101);
    Served() {
        EXPECT_EQ(velko::LocationDirectory::add("FAC", "DEV", a), 0);
        EXPECT_EQ(velko::LocationDirectory::add("FAC", "DEV", b), 0);
    }
};

EqAdr address(const char* text) {
    EqAdr adr;
    EXPECT_EQ(adr.adr(text), 0) << text;
    return adr;
}

}  // namespace

TEST(LocationDirectory, ServesAddsAndRetires) {
    Served s;
    EXPECT_TRUE(velko::LocationDirectory::serves("FAC", "DEV"));
    EXPECT_FALSE(velko::LocationDirectory::serves("FAC", "OTHER"));
    EXPECT_EQ(velko::LocationDirectory::find("FAC", "DEV", "B"), s.b);
    EXPECT_EQ(velko::LocationDirectory::find("FAC", "DEV", "b"), nullptr);
    Loc twin("A");
    EXPECT_EQ(velko::LocationDirectory::add("FAC", "DEV", &twin), 1);  // name taken
    EXPECT_EQ(velko::LocationDirectory::add("FAC", "DE V", s.a), 1);
    EXPECT_EQ(velko::LocationDirectory::add("FAC", "DEV", nullptr), 1);
    std::vector<EqFct*> locs = velko::LocationDirectory::locations("FAC", "DEV");
    ASSERT_EQ(locs.size(), 2u);
    EXPECT_EQ(locs[0], s.a);
    velko::LocationDirectory::retire("FAC", "DEV");
    EXPECT_FALSE(velko::LocationDirectory::serves("FAC", "DEV"));
    EXPECT_EQ(velko::LocationDirectory::find("FAC", "DEV", "A"), nullptr);
    // The same names can be served again by a new server.
    EXPECT_EQ(velko::LocationDirectory::add("FAC", "DEV", new Loc("A")), 0);
}

TEST(LocationDirectory, LocationsAddedClosedAreFoundOnlyOnceOpened) {
    Loc* a = new Loc("A");
    EXPECT_EQ(velko::LocationDirectory::add("FAC", "STARTING", a, false), 0);
    EXPECT_TRUE(velko::LocationDirectory::serves("FAC", "STARTING"));  // the address is taken
    Loc twin("A");
    EXPECT_EQ(velko::LocationDirectory::add("FAC", "STARTING", &twin), 1);
    EXPECT_EQ(velko::LocationDirectory::find("FAC", "STARTING", "A"), nullptr);
    EXPECT_TRUE(velko::LocationDirectory::locations("FAC", "STARTING").empty());
    velko::LocationDirectory::open("FAC", "STARTING");
    EXPECT_EQ(velko::LocationDirectory::find("FAC", "STARTING", "A"), a);
    EXPECT_EQ(velko::LocationDirectory::locations("FAC", "STARTING").size(), 1u);
}

TEST(EqCall, GetAndSetReachTheProperty) {
    Served s;
    velko::EqCall call;
    EqAdr adr = address("FAC/DEV/A/COUNT");
    EqData in;
    EqData out;
    in.set(41);
    EXPECT_EQ(call.set(&adr, &in, &out), 0);
    EXPECT_EQ(s.a->count.value(), 41);
    EXPECT_EQ(s.b->count.value(), 0);
    EXPECT_EQ(call.get(&adr, &in, &out), 0);
    EXPECT_EQ(out.type(), DATA_INT);
    EXPECT_EQ(out.get_int(), 41);

    // The input may be the output container too.
    EqData both;
    both.set("12");
    EXPECT_EQ(call.set(&adr, &both, &both), 0);
    EXPECT_EQ(s.a->count.value(), 12);
}

TEST(EqCall, FaultsAreAnsweredWithCodeAndText) {
    Served s;
    velko::EqCall call;
    EqData in;
    EqData out;
    struct Case {
        const char* adr;
        int code;
        const char* text;
    };
    for (const Case& c : {
             Case{"FAC/NODEV/A/COUNT", velko::ERR_UNKNOWN_DEVICE,
                  "Unknown device \"FAC/NODEV\": no server of this process serves it."},
             Case{"FAC/DEV/C/COUNT", velko::ERR_UNKNOWN_LOCATION, "Unknown location \"FAC/DEV/C\"."},
             Case{"FAC/DEV/A/NOPE", velko::ERR_UNKNOWN_PROPERTY, "Unknown property \"FAC/DEV/A/NOPE\"."},
             Case{"FAC/DEV//COUNT", velko::ERR_BAD_ADDRESS, "The address \"FAC/DEV//COUNT\" names no location."},
         }) {
        EqAdr adr = address(c.adr);
        EXPECT_EQ(call.get(&adr, &in, &out), c.code) << c.adr;
        EXPECT_EQ(out.error(), c.code);
        EXPECT_EQ(out.error_text(), c.text);
        EXPECT_EQ(call.set(&adr, &in, &out), c.code) << c.adr;
    }
    EXPECT_EQ(call.get(nullptr, &in, &out), velko::ERR_BAD_ADDRESS);
    EXPECT_EQ(call.get(nullptr, &in, nullptr), velko::ERR_BAD_ADDRESS);

    // A text that does not parse leaves the value as it was.
    s.a->count.set_value(5);
    EqAdr adr = address("FAC/DEV/A/COUNT");
    in.set("five");
    EXPECT_EQ(call.set(&adr, &in, &out), velko::ERR_PARSE);
    EXPECT_EQ(s.a->count.value(), 5);
    // A later good call starts from a clean answer.
    EXPECT_EQ(call.get(&adr, &in, &out), 0);
    EXPECT_EQ(out.error_text(), "");
}

TEST(EqCall, NamesListLocationsAndProperties) {
    Served s;
    velko::EqCall call;
    EqData out;
    EqAdr all = address("FAC/DEV/*");
    EXPECT_EQ(call.names(&all, &out), 0);
    ASSERT_EQ(out.length(), 2);
    EXPECT_STREQ(out.get_ustr(0)->str_data.str_data_val, "A");
    EXPECT_EQ(out.get_ustr(0)->i1_data, 100);
    EXPECT_STREQ(out.get_ustr(1)->str_data.str_data_val, "B");

    EqAdr loc = address("FAC/DEV/A");
    EXPECT_EQ(call.names(&loc, &out), 0);
    ASSERT_EQ(out.length(), 2);
    EXPECT_STREQ(out.get_ustr(0)->str_data.str_data_val, "COUNT a counter");
    EXPECT_EQ(out.get_ustr(0)->i1_data, DATA_INT);
    EXPECT_STREQ(out.get_ustr(1)->str_data.str_data_val, "LABEL");
    EXPECT_EQ(out.get_ustr(1)->i1_data, DATA_STRING);

    EqAdr one = address("FAC/DEV/A/LABEL");
    EXPECT_EQ(call.names(&one, &out), 0);
    ASSERT_EQ(out.length(), 1);
    EXPECT_EQ(out.get_ustr(0)->i1_data, DATA_STRING);

    EqAdr none = address("FAC/GONE/*");
    EXPECT_EQ(call.names(&none, &out), velko::ERR_UNKNOWN_DEVICE);
    EqAdr noloc = address("FAC/DEV/Q");
    EXPECT_EQ(call.names(&noloc, &out), velko::ERR_UNKNOWN_LOCATION);
}

TEST(EqCall, MonitorAnswersPendingFirstThenTheLatestValue) {
    Served s;
    velko::EqCall call;
    EqAdr adr = address("FAC/DEV/B/COUNT");
    EqData in;
    EqData out;
    s.b->count.set_value(3);
    EXPECT_EQ(call.get_monitor(&adr, &in, &out, 1, 1.0f, velko::no_monitor_callback(), nullptr),
              velko::ERR_MONITOR_PENDING);
    EXPECT_EQ(out.error_text(), "The monitor of \"FAC/DEV/B/COUNT\" is not yet established.");
    EXPECT_EQ(call.get_monitor(&adr, &in, &out, 1, 1.0f, velko::no_monitor_callback(), nullptr), 0);
    EXPECT_EQ(out.get_int(), 3);
    s.b->count.set_value(4);
    EXPECT_EQ(call.get_monitor(&adr, &in, &out, 1, 1.0f, velko::no_monitor_callback(), nullptr), 0);
    EXPECT_EQ(out.get_int(), 4);

    // Read since the previous update: kept. Not read for a whole update period: dropped.
    call.update(1);
    EXPECT_EQ(call.get_monitor(&adr, &in, &out, 1, 1.0f, velko::no_monitor_callback(), nullptr), 0);
    call.update(1);
    call.update(1);
    EXPECT_EQ(call.get_monitor(&adr, &in, &out, 1, 1.0f, velko::no_monitor_callback(), nullptr),
              velko::ERR_MONITOR_PENDING);

    // Unknown addresses are answered at once and not subscribed.
    EqAdr bad = address("FAC/DEV/B/NOPE");
    EXPECT_EQ(call.get_monitor(&bad, &in, &out, 1, 1.0f, velko::no_monitor_callback(), nullptr),
              velko::ERR_UNKNOWN_PROPERTY);
    EXPECT_EQ(call.get_monitor(&bad, &in, &out, 1, 1.0f, velko::no_monitor_callback(), nullptr),
              velko::ERR_UNKNOWN_PROPERTY);
}

namespace {
struct Seen {
    int calls = 0;
    int last = 0;
};
void on_change(void* user, EqData* value) {
    auto* seen = static_cast<Seen*>(user);
    ++seen->calls;
    seen->last = value->get_int();
}
}  // namespace

TEST(EqCall, MonitorCallbackGetsPublishedValuesUntilDropped) {
    Served s;
    Seen seen;
    {
        velko::EqCall call;
        EqAdr adr = address("FAC/DEV/A/COUNT");
        EqData in;
        EqData out;
        call.get_monitor(&adr, &in, &out, 1, 1.0f, on_change, &seen);
        s.a->count.set_value(9);
        EXPECT_EQ(seen.calls, 1);
        EXPECT_EQ(seen.last, 9);
        s.b->count.set_value(10);  // another property: no call
        EXPECT_EQ(seen.calls, 1);

        // A remote write publishes too.
        in.set(11);
        call.set(&adr, &in, &out);
        EXPECT_EQ(seen.last, 11);
        call.update(1);
        call.update(1);  // not read in between: the subscription ends
        s.a->count.set_value(12);
        EXPECT_EQ(seen.calls, 2);
        call.get_monitor(&adr, &in, &out, 1, 1.0f, on_change, &seen);
    }
    // The client is gone: no more calls.
    s.a->count.set_value(13);
    EXPECT_EQ(seen.calls, 2);
}
