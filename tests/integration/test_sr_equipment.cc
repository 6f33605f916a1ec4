// Save, restore, compare and templates against live equipment: locations of this process served
// through the platform's location directory and reached with the in-process remote-call client.
#include <gtest/gtest.h>

#include <chrono>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include "sr_func.h"
#include "velko_test.h"

namespace {

const char kHead[] = "//Save_&_Restore//\n comment ;\n date ;\n";

// A property that counts the writes that reach it.
template <class P>
class Counted : public P {
  public:
    Counted(const char* text, EqFct* owner) : P(text, owner) {}
    void set(EqAdr* adr, EqData* in, EqData* out, EqFct* loc) override {
        writes++;
        P::set(adr, in, out, loc);
    }
    int writes = 0;
};

// A magnet power supply.
class Magnet : public EqFct {
  public:
    explicit Magnet(const char* name)
        : EqFct(name),
          current("CURRENT set current in A", this),
          mode("MODE operating mode", this),
          cycles("CYCLES ramp cycles", this) {}
    Counted<velko::D_value<float>> current;
    Counted<D_string> mode;
    Counted<velko::D_value<int>> cycles;
};

// A location shaped like a machine's: name, description, two flow status properties, then the
// application's own properties.
class MachineLike : public EqFct {
  public:
    explicit MachineLike(const char* name)
        : EqFct(name),
          fsm("FSM machine name", this),
          descr("DESCR description", this),
          flow1("FLOW_1 first flow", this),
          flow2("FLOW_2 second flow", this),
          speed("SPEED app value", this),
          label("LABEL app text", this) {}
    D_string fsm, descr, flow1, flow2;
    velko::D_value<float> speed;
    D_string label;
};

// A logbook location with free text and a text record.
class Notes : public EqFct {
  public:
    explicit Notes(const char* name) : EqFct(name), text("TEXT free text", this), record("RECORD text record", this) {}
    D_string text;
    D_ustr record;
};

struct Plant {
    Magnet q1{"Q1"};
    Magnet q2{"Q2"};
    MachineLike m{"M"};
    Notes notes{"N1"};
    Plant() {
        velko::LocationDirectory::add("TEST", "MAGNETS", &q1);
        velko::LocationDirectory::add("TEST", "MAGNETS", &q2);
        velko::LocationDirectory::add("TEST", "MACHINE", &m);
        velko::LocationDirectory::add("TEST", "NOTES", &notes);
        if (velko_call == nullptr)
            velko_call = new velko::EqCall;
    }
};

// The equipment lives until the process ends, like a server's locations.
Plant& plant() {
    static Plant* p = new Plant;
    return *p;
}

class SrEquipment : public ::testing::Test {
  protected:
    void SetUp() override {
        Plant& p = plant();
        p.q1.current.set_value(12.5f);
        p.q1.mode.set_value("ramp up");
        p.q1.cycles.set_value(7);
        p.q2.current.set_value(-3.25f);
        p.q2.mode.set_value("off");
        p.q2.cycles.set_value(0);
        for (Magnet* m : {&p.q1, &p.q2})
            m->current.writes = m->mode.writes = m->cycles.writes = 0;
    }
    char* path(const std::string& name) {
        names.push_back(tmp.file(name));
        return const_cast<char*>(names.back().c_str());
    }
    char* file(const std::string& name, const std::string& body) {
        char* p = path(name);
        testsupport::write_file(p, kHead + body);
        return p;
    }
    std::vector<sr_data*> read(char* p) {
        std::vector<sr_data*> list;
        std::vector<sr_data*>* lp = &list;
        EXPECT_EQ(fill_list(p, &data, &lp), 0);
        return list;
    }
    int compare(char* p, SrOption op, int kind, float f1, float f2, int* stop) {
        IFFF rq = {kind, f1, f2, 0.0f};
        data.set(rq);
        return compare_all(p, &data, op, stop);
    }

    testsupport::TempDir tmp;
    std::list<std::string> names;  // the paths handed out stay put
    velko::EqData data;
};

const char kTemplate[] =
    "TEST MAGNETS Q1 CURRENT\t2\t0\t;\n"
    "TEST MAGNETS Q1 MODE\t3\tx\t;\n"
    "TEST MAGNETS Q2 CYCLES\t1\t0\t;\n";

TEST_F(SrEquipment, ASavedFileReadsBackItemForItem) {
    char* saved = path("saved.sr");
    ASSERT_EQ(sr_save(file("t.sr", kTemplate), saved, &data, nullptr), 0);
    std::vector<sr_data*> list = read(saved);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_STREQ(list[0]->name_, "TEST/MAGNETS/Q1/CURRENT");
    EXPECT_STREQ(list[0]->value_, "12.5");
    EXPECT_EQ(list[0]->type_, 2);
    EXPECT_STREQ(list[1]->name_, "TEST/MAGNETS/Q1/MODE");
    EXPECT_STREQ(list[1]->value_, "ramp up");
    EXPECT_STREQ(list[2]->name_, "TEST/MAGNETS/Q2/CYCLES");
    EXPECT_STREQ(list[2]->value_, "0");
    clear_list(&list);
}

// A record property as its integer, first float, time and text.
std::string record_text(D_ustr& prop) {
    const USTR* r = prop.value();
    return std::to_string(r->i1_data) + " " + std::to_string(r->f1_data) + " " + std::to_string(r->tm) + " " +
           (r->str_data.str_data_val != nullptr ? r->str_data.str_data_val : "");
}

void set_record(D_ustr& prop, const char* text) {
    std::string copy = text;
    USTR r = {3, 1.5f, -2.0f, 1234, {static_cast<int>(copy.size()), &copy[0]}};
    prop.set_value(&r);
}

TEST_F(SrEquipment, AwkwardValuesSurviveSaveReadAndRestore) {
    // A ';' in a value's first token reads back whole; a later one cannot be stored and becomes ','.
    struct Case {
        const char* property;
        std::string value;
        std::string restored;
    };
    const std::string long_text = std::string(90, 'l') + " and the end";
    const Case cases[] = {
        {"TEXT", "a;b", "a;b"},
        {"TEXT", "x y;z", "x y,z"},
        {"TEXT", "; lead", ", lead"},
        {"TEXT", "tab\t", "tab\t"},
        {"TEXT", long_text, long_text},
        {"TEXT", long_text + ";" + long_text, long_text + "," + long_text},
        {"RECORD", "say \"hi\"; back\\slash", "say \"hi\", back\\slash"},
    };
    Notes& n = plant().notes;
    char* t = file("t.sr", "TEST NOTES N1 TEXT\t3\t-\t;\nTEST NOTES N1 RECORD\t103\t-\t;\n");
    char* saved = path("saved.sr");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        bool record = std::string(c.property) == "RECORD";
        if (record)
            set_record(n.record, c.value.c_str());
        else
            n.text.set_value(c.value.c_str());
        ASSERT_EQ(sr_save(t, saved, &data, nullptr), 0);
        std::vector<sr_data*> list = read(saved);
        ASSERT_EQ(list.size(), 2u) << testsupport::read_file(saved);
        clear_list(&list);

        n.text.set_value("changed");
        set_record(n.record, "changed");
        ASSERT_EQ(restore_all(saved, &data, SR_SET_FROM_FILE, 1, nullptr), 0) << data.error_text();
        if (record) {
            EXPECT_EQ(record_text(n.record), "3 1.500000 1234 " + c.restored);
        } else {
            EXPECT_EQ(n.text.value(), c.restored);
        }
    }
}

TEST_F(SrEquipment, RestoreWritesWhatWasSaved) {
    char* saved = path("saved.sr");
    ASSERT_EQ(sr_save(file("t.sr", kTemplate), saved, &data, nullptr), 0);
    Plant& p = plant();
    p.q1.current.set_value(99.0f);
    p.q1.mode.set_value("broken");
    p.q2.cycles.set_value(42);
    ASSERT_EQ(restore_all(saved, &data, SR_SET_FROM_FILE, 1, nullptr), 0);
    EXPECT_FLOAT_EQ(p.q1.current.value(), 12.5f);
    EXPECT_STREQ(p.q1.mode.value(), "ramp up");
    EXPECT_EQ(p.q2.cycles.value(), 0);
}

TEST_F(SrEquipment, CheckAndCorrectWritesOnlyWhatDiffers) {
    char* f = file("t.sr",
                   "TEST MAGNETS Q1 CURRENT\t2\t12.5\t;\nTEST MAGNETS Q1 MODE\t3\tstandby\t;\n"
                   "TEST MAGNETS Q1 CYCLES\t1\t7\t;\n");
    Plant& p = plant();
    ASSERT_EQ(restore_all(f, &data, SR_CHECK_CORRECT, 1, nullptr), 0);
    EXPECT_EQ(p.q1.current.writes, 0);
    EXPECT_EQ(p.q1.mode.writes, 1);
    EXPECT_EQ(p.q1.cycles.writes, 0);
    EXPECT_STREQ(p.q1.mode.value(), "standby");
}

TEST_F(SrEquipment, ValuesDerivedFromTheCallersValue) {
    char* f = file("t.sr", "TEST MAGNETS Q1 CURRENT\t2\t1.5\t;\nTEST MAGNETS Q2 CURRENT\t2\t-1\t;\n");
    Plant& p = plant();
    data.set(2);
    ASSERT_EQ(restore_all(f, &data, SR_ADD_FROM_DATA, 1, nullptr), 0);
    EXPECT_FLOAT_EQ(p.q1.current.value(), 3.5f);
    EXPECT_FLOAT_EQ(p.q2.current.value(), 1.0f);
    data.set(0.25f);
    ASSERT_EQ(restore_all(f, &data, SR_SET_FROM_DATA, 1, nullptr), 0);
    EXPECT_FLOAT_EQ(p.q1.current.value(), 0.25f);
    EXPECT_FLOAT_EQ(p.q2.current.value(), 0.25f);
}

TEST_F(SrEquipment, AFailedWriteIsSkippedOrEndsTheRestore) {
    char* f = file("t.sr",
                   "TEST MAGNETS Q1 CYCLES\t1\t11\t;\nTEST MAGNETS Q1 NOSUCH\t1\t5\t;\n"
                   "TEST MAGNETS Q2 CYCLES\t1\t22\t;\n");
    Plant& p = plant();
    ASSERT_EQ(restore_all(f, &data, SR_SET_FROM_FILE, 0, nullptr), 0);
    EXPECT_EQ(p.q1.cycles.value(), 11);
    EXPECT_EQ(p.q2.cycles.value(), 22);
    EXPECT_EQ(data.error(), velko::ERR_UNKNOWN_PROPERTY);

    p.q1.cycles.set_value(0);
    p.q2.cycles.set_value(0);
    data.init();
    ASSERT_EQ(restore_all(f, &data, SR_SET_FROM_FILE, 1, nullptr), 1);
    EXPECT_EQ(p.q1.cycles.value(), 11);
    EXPECT_EQ(p.q2.cycles.value(), 0);
    EXPECT_EQ(data.error(), velko::ERR_UNKNOWN_PROPERTY);
}

TEST_F(SrEquipment, ASaveStopsAtAnItemTheEquipmentCannotDeliver) {
    char* saved = path("saved.sr");
    testsupport::write_file(saved, "old\n");
    char* t = file("t.sr",
                   "TEST MAGNETS Q1 CYCLES\t1\t0\t;\nTEST MAGNETS Q9 CYCLES\t1\t0\t;\n"
                   "TEST MAGNETS Q2 CYCLES\t1\t0\t;\n");
    EXPECT_EQ(sr_save(t, saved, &data, nullptr), 1);
    std::string text = testsupport::read_file(saved);
    EXPECT_NE(text.find("TEST MAGNETS Q1 CYCLES\t1\t7\t;\n"), std::string::npos) << text;
    EXPECT_NE(text.find("TEST MAGNETS Q9 CYCLES\t1\t"), std::string::npos) << text;
    EXPECT_NE(text.find("Q9"), text.rfind("Q9")) << "the failing line carries the error text: " << text;
    EXPECT_EQ(text.find("Q2"), std::string::npos) << text;
}

TEST_F(SrEquipment, NotCorrectReportsTheFirstItemThatDiffers) {
    // Pauses one second after each of the two equal items.
    char* f = file("t.sr",
                   "TEST MAGNETS Q1 CYCLES\t1\t7\t;\nTEST MAGNETS Q1 MODE\t3\tramp up\t;\n"
                   "TEST MAGNETS Q2 MODE\t3\ton\t;\n");
    EXPECT_EQ(compare(f, SR_COMP_NOT_CORRECT, 1, 0, 0, nullptr), 3);
    EXPECT_EQ(data.error(), 309);
    EXPECT_EQ(data.error_text(), "TEST/MAGNETS/Q2/MODE");
}

TEST_F(SrEquipment, NotCorrectReportsTheFirstItemThatCannotBeRead) {
    char* f = file("t.sr", "TEST MAGNETS Q1 CYCLES\t1\t7\t;\nTEST MAGNETS Q1 GONE\t1\t1\t;\n");
    EXPECT_EQ(compare(f, SR_COMP_NOT_CORRECT, 1, 0, 0, nullptr), 2);
    EXPECT_EQ(data.error(), 309);
    EXPECT_EQ(data.error_text().rfind("item 2: ", 0), 0u) << data.error_text();
    EXPECT_NE(data.error_text().find("GONE"), std::string::npos) << data.error_text();
}

TEST_F(SrEquipment, CompCorrectEndsAfterAPassWithoutDifference) {
    char* f = file("t.sr", "TEST MAGNETS Q1 MODE\t3\tramp up\t;\n");
    EXPECT_EQ(compare(f, SR_COMP_CORRECT, 1, 0, 0, nullptr), 0);
}

TEST_F(SrEquipment, BandComparison) {
    // Current 12.5; f1 0.1, f2 10: a difference at or below f1, or at or above f2, counts.
    char* close = file("a.sr", "TEST MAGNETS Q1 CURRENT\t2\t12.45\t;\n");
    EXPECT_EQ(compare(close, SR_COMP_NOT_CORRECT, 2, 0.1f, 10.0f, nullptr), 1);
    char* far = file("b.sr", "TEST MAGNETS Q1 CURRENT\t2\t30\t;\n");
    EXPECT_EQ(compare(far, SR_COMP_NOT_CORRECT, 2, 0.1f, 10.0f, nullptr), 1);
    char* within = file("c.sr", "TEST MAGNETS Q1 CURRENT\t2\t13.5\t;\n");
    EXPECT_EQ(compare(within, SR_COMP_CORRECT, 2, 0.1f, 10.0f, nullptr), 0);
    char* same = file("d.sr", "TEST MAGNETS Q1 CURRENT\t2\t12.5\t;\n");
    EXPECT_EQ(compare(same, SR_COMP_CORRECT, 2, 0.1f, 10.0f, nullptr), 0);
}

TEST_F(SrEquipment, RelativeComparison) {
    plant().q1.current.set_value(100.5f);
    char* near = file("a.sr", "TEST MAGNETS Q1 CURRENT\t2\t100\t;\n");
    EXPECT_EQ(compare(near, SR_COMP_CORRECT, 3, 0.01f, 0, nullptr), 0);
    plant().q1.current.set_value(102.0f);
    EXPECT_EQ(compare(near, SR_COMP_NOT_CORRECT, 3, 0.01f, 0, nullptr), 1);
    EXPECT_EQ(data.error_text(), "TEST/MAGNETS/Q1/CURRENT");
}

TEST_F(SrEquipment, APassWithoutAnyReadableItemReturnsMinusOne) {
    char* f = file("t.sr", "TEST MAGNETS Q1 NONE\t1\t1\t;\nTEST MAGNETS Q7 CYCLES\t1\t1\t;\n");
    EXPECT_EQ(compare(f, SR_SET_FROM_FILE, 1, 0, 0, nullptr), -1);
    EXPECT_EQ(data.error(), velko::ERR_UNKNOWN_LOCATION);
    EXPECT_NE(data.error_text().find("Q7"), std::string::npos) << data.error_text();
}

TEST_F(SrEquipment, AStopFromAnotherThreadEndsTheWatch) {
    // The option has no end of its own and the pause is long: only the stop flag ends the call.
    char* f = file("t.sr", "TEST MAGNETS Q1 MODE\t3\tramp up\t;\n");
    int stop = 0;
    IFFF rq = {1, 0.0f, 0.0f, 3600.0f};
    data.set(rq);
    std::thread stopper([&stop] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        __atomic_store_n(&stop, 1, __ATOMIC_RELEASE);
    });
    EXPECT_EQ(compare_all(f, &data, SR_SET_FROM_FILE, &stop), 0);
    stopper.join();
}

TEST_F(SrEquipment, CompCorrectRepeatsPassesUntilTheEquipmentAgrees) {
    char* f = file("t.sr", "TEST MAGNETS Q1 CYCLES\t1\t8\t;\n");
    std::thread fixer([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        plant().q1.cycles.set_value(8);
    });
    EXPECT_EQ(compare(f, SR_COMP_CORRECT, 1, 0, 0, nullptr), 0);
    fixer.join();
    EXPECT_EQ(plant().q1.cycles.value(), 8);
}

TEST_F(SrEquipment, KindZeroReadsTheFileAgainBeforeEveryPass) {
    char* f = file("t.sr", "TEST MAGNETS Q1 MODE\t3\tsomething else\t;\n");
    std::thread editor([f] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        testsupport::write_file(f, std::string(kHead) + "TEST MAGNETS Q1 MODE\t3\tramp up\t;\n");
    });
    EXPECT_EQ(compare(f, SR_COMP_CORRECT, 0, 0, 0, nullptr), 0);
    editor.join();
}

std::vector<std::string> item_names(const std::vector<sr_data*>& list) {
    std::vector<std::string> out;
    for (const sr_data* d : list)
        out.push_back(d->name_);
    return out;
}

TEST_F(SrEquipment, FillStructListsTheLocationsProperties) {
    std::vector<sr_data*> list;
    char q1[] = "TEST/MAGNETS/Q1";
    ASSERT_EQ(fill_struct(q1, &list, 1), 0);
    EXPECT_EQ(item_names(list),
              (std::vector<std::string>{"TEST/MAGNETS/Q1/CURRENT", "TEST/MAGNETS/Q1/MODE", "TEST/MAGNETS/Q1/CYCLES"}));
    ASSERT_EQ(list.size(), 3u);
    EXPECT_STREQ(list[0]->value_, "");
    EXPECT_EQ(list[0]->type_, DATA_FLOAT);
    EXPECT_EQ(list[1]->type_, DATA_STRING);
    EXPECT_EQ(list[2]->type_, DATA_INT);
    clear_list(&list);

    char m[] = "TEST/MACHINE/M";
    ASSERT_EQ(fill_struct(m, &list, 0), 0);
    EXPECT_EQ(item_names(list), (std::vector<std::string>{"TEST/MACHINE/M/SPEED", "TEST/MACHINE/M/LABEL"}));
    clear_list(&list);
    ASSERT_EQ(fill_struct(m, &list, 1), 0);
    EXPECT_EQ(item_names(list), (std::vector<std::string>{"TEST/MACHINE/M/FSM", "TEST/MACHINE/M/DESCR",
                                                          "TEST/MACHINE/M/SPEED", "TEST/MACHINE/M/LABEL"}));
    clear_list(&list);
}

TEST_F(SrEquipment, FillStructWalksEveryLocationOfAServer) {
    std::vector<sr_data*> list;
    char server[] = "TEST/MAGNETS";
    ASSERT_EQ(fill_struct(server, &list, 1), 0);
    std::vector<std::string> got = item_names(list);
    ASSERT_EQ(got.size(), 6u);
    EXPECT_EQ(got[0], "TEST/MAGNETS/Q1/CURRENT");
    EXPECT_EQ(got[5], "TEST/MAGNETS/Q2/CYCLES");
    clear_list(&list);
}

TEST_F(SrEquipment, FillStructReportsAFailedQuery) {
    std::vector<sr_data*> list;
    char q1[] = "TEST/MAGNETS/Q1";
    ASSERT_EQ(fill_struct(q1, &list, 1), 0);
    char nowhere[] = "TEST/NOWHERE";
    EXPECT_EQ(fill_struct(nowhere, &list, 1), 1);
    ASSERT_EQ(list.size(), 4u);  // the earlier items stay
    EXPECT_STREQ(list[3]->name_, "TEST/NOWHERE/*/");
    EXPECT_EQ(list[3]->type_, 0);
    EXPECT_NE(std::string(list[3]->value_).find("NOWHERE"), std::string::npos) << list[3]->value_;
    clear_list(&list);
    EXPECT_EQ(fill_struct(nullptr, &list, 1), 1);
}

TEST_F(SrEquipment, AFilledTemplateSavesTheCurrentValues) {
    std::vector<sr_data*> list;
    char q2[] = "TEST/MAGNETS/Q2";
    ASSERT_EQ(fill_struct(q2, &list, 1), 0);
    std::string body;
    for (const sr_data* d : list) {
        velko::EqAdr a;
        a.adr(d->name_);
        body += std::string(a.facility()) + " " + a.device() + " " + a.location() + " " + a.property() + "\t" +
                std::to_string(d->type_) + "\t\t;\n";
    }
    clear_list(&list);
    char* saved = path("saved.sr");
    ASSERT_EQ(sr_save(file("t.sr", body), saved, &data, nullptr), 0);
    std::vector<sr_data*> back = read(saved);
    ASSERT_EQ(back.size(), 3u);
    EXPECT_STREQ(back[0]->value_, "-3.25");
    EXPECT_STREQ(back[1]->value_, "off");
    EXPECT_STREQ(back[2]->value_, "0");
    clear_list(&back);
}

}  // namespace
