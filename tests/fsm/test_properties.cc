// The location's network properties: text records, the event text grammar, the fault and the
// flow status records.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fsm.h"

namespace {

// A superstate that keeps what is posted to it instead of forwarding it to a root.
class PostedEvents : public FSMsuperstate {
  public:
    explicit PostedEvents(const char* machine) : FSMsuperstate(nullptr, machine, "", SUPER_STATE) {}
    void post_event(FSMevent* ev) override {
        names.emplace_back(ev->get_name());
        targets.emplace_back(ev->get_state());
    }
    std::vector<std::string> names;
    std::vector<std::string> targets;
};

USTR text_record(const char* text, int len) {
    USTR u{};
    u.i1_data = 7;
    u.f1_data = 1.5f;
    u.f2_data = 2.5f;
    u.tm = 1234;
    u.str_data.str_data_len = len;
    u.str_data.str_data_val = const_cast<char*>(text);
    return u;
}

std::string value_text(D_fsmstr& p) {
    EqData res;
    p.get(nullptr, nullptr, &res, nullptr);
    const USTR* u = res.get_ustr(0);
    return u != nullptr && u->str_data.str_data_val != nullptr ? u->str_data.str_data_val : "<none>";
}

// Writes text to an EVENT property the way a network client does.
void write_event(D_event& ev, const char* text) {
    EqData in;
    in.set(text);
    ev.set(nullptr, &in, nullptr, nullptr);
}

class EventGrammar : public ::testing::Test {
  protected:
    EventGrammar() : machine("M"), event("EVENT the event", nullptr) { event.set_state(&machine); }
    PostedEvents machine;
    D_event event;
};

}  // namespace

TEST(TextRecord, StartsEmptyAndReportsTextRecordType) {
    D_fsmstr p("TEXT a record", nullptr);
    EXPECT_EQ(p.data_type(), DATA_A_USTR);
    EXPECT_EQ(p.value()->str_data.str_data_len, 0);
    EXPECT_STREQ(p.value()->str_data.str_data_val, "");
    EXPECT_EQ(p.name(), "TEXT");
}

TEST(TextRecord, WriteFormatsOneConfigurationLine) {
    D_fsmstr p("TEXT a record", nullptr);
    p.set_value(1);
    p.set_f1(0.5f);
    p.set_f2(2.0f);
    p.set_value(static_cast<time_t>(1000));
    p.set_value("abc");
    std::ostringstream out;
    p.write(out);
    EXPECT_EQ(out.str(), " \t1 0.5 2 1000 \"abc\"\n");
}

TEST(TextRecord, ReadTakesConfiguredRecordCutTo79Characters) {
    EqFct loc("NAME = location");
    D_fsmstr p("TEXT a record", &loc);
    D_fsmstr bare("BARE a bare text", &loc);
    D_fsmstr missing("MISSING", &loc);
    missing.set_value("kept");
    ConfigRecord rec;
    rec.name = "TEXT";
    rec.text = "ignored";
    rec.has_record = true;
    rec.i1_data = 3;
    rec.f1_data = 0.25f;
    rec.f2_data = 4.0f;
    rec.tm = 99;
    rec.str = std::string(100, 'c');
    ConfigRecord plain;
    plain.name = "BARE";
    plain.text = "Idle";
    loc.set_config_records({rec, plain});
    p.read();
    bare.read();
    missing.read();
    EXPECT_EQ(p.value()->i1_data, 3);
    EXPECT_FLOAT_EQ(p.value()->f1_data, 0.25f);
    EXPECT_FLOAT_EQ(p.value()->f2_data, 4.0f);
    EXPECT_EQ(p.value()->tm, 99);
    EXPECT_EQ(std::string(p.value()->str_data.str_data_val), std::string(79, 'c'));
    EXPECT_EQ(p.value()->str_data.str_data_len, 80);
    EXPECT_STREQ(bare.value()->str_data.str_data_val, "Idle");
    EXPECT_EQ(bare.value()->str_data.str_data_len, 5);
    EXPECT_EQ(bare.value()->i1_data, 0);
    EXPECT_STREQ(missing.value()->str_data.str_data_val, "kept");
}

TEST(TextRecord, SetTextCutsLongTextAndItsLength) {
    D_fsmstr p("TEXT", nullptr);
    std::string longer(120, 'x');
    p.set_value(longer.c_str());
    EXPECT_EQ(std::strlen(p.value()->str_data.str_data_val), 80u);
    EXPECT_EQ(p.value()->str_data.str_data_len, 80);
    p.set_value("abc");
    EXPECT_STREQ(p.value()->str_data.str_data_val, "abc");
    EXPECT_EQ(p.value()->str_data.str_data_len, 3);
    p.set_value(static_cast<const char*>(nullptr));
    EXPECT_STREQ(p.value()->str_data.str_data_val, "abc");
}

TEST(TextRecord, SetRecordCopiesFieldsAndCutsText) {
    D_fsmstr p("TEXT", nullptr);
    USTR u = text_record("hello", 5);
    p.set_value(&u);
    EXPECT_EQ(p.value()->i1_data, 7);
    EXPECT_FLOAT_EQ(p.value()->f1_data, 1.5f);
    EXPECT_FLOAT_EQ(p.value()->f2_data, 2.5f);
    EXPECT_EQ(p.value()->tm, 1234);
    EXPECT_STREQ(p.value()->str_data.str_data_val, "hello");
    EXPECT_EQ(p.value()->str_data.str_data_len, 5);

    // A length that counts the NUL is kept as given.
    u = text_record("hi", 3);
    p.set_value(&u);
    EXPECT_STREQ(p.value()->str_data.str_data_val, "hi");
    EXPECT_EQ(p.value()->str_data.str_data_len, 3);

    // A stated length beyond the buffer copies 80 characters, not more.
    std::string longer(200, 'y');
    u = text_record(longer.c_str(), 200);
    p.set_value(&u);
    EXPECT_EQ(std::strlen(p.value()->str_data.str_data_val), 80u);
    EXPECT_EQ(p.value()->str_data.str_data_len, 81);

    // A stated length beyond the text stops at the text's end.
    u = text_record("ab", 50);
    p.set_value(&u);
    EXPECT_STREQ(p.value()->str_data.str_data_val, "ab");
    EXPECT_EQ(p.value()->str_data.str_data_len, 3);

    u = text_record("ignored", -4);
    p.set_value(&u);
    EXPECT_STREQ(p.value()->str_data.str_data_val, "");
    EXPECT_EQ(p.value()->str_data.str_data_len, 0);

    u = text_record(nullptr, 10);
    p.set_value(&u);
    EXPECT_STREQ(p.value()->str_data.str_data_val, "");

    p.set_value(static_cast<USTR*>(nullptr));
    EXPECT_EQ(p.value()->i1_data, 7);
}

TEST(TextRecord, NetworkWriteOfRecordReplacesValue) {
    D_fsmstr p("TEXT", nullptr);
    EqData in;
    USTR u = text_record("net", 3);
    in.set(u, 0);
    p.set(nullptr, &in, nullptr, nullptr);
    EXPECT_EQ(value_text(p), "net");
    EXPECT_EQ(p.value()->i1_data, 7);

    EqData empty;
    p.set(nullptr, &empty, nullptr, nullptr);
    EXPECT_EQ(value_text(p), "net");
}

TEST(TextRecord, GetMultiStoresElementAtIndex) {
    D_fsmstr p("TEXT", nullptr);
    p.set_value("abc");
    EqData res;
    int index = 2;
    p.get_multi(nullptr, nullptr, &res, &index, nullptr, nullptr);
    ASSERT_NE(res.get_ustr(2), nullptr);
    EXPECT_STREQ(res.get_ustr(2)->str_data.str_data_val, "abc");
}

TEST_F(EventGrammar, PlainNameTargetsTheMachinePart) {
    write_event(event, "start");
    ASSERT_EQ(machine.names.size(), 1u);
    EXPECT_EQ(machine.names[0], "start");
    EXPECT_EQ(machine.targets[0], "M");
    EXPECT_EQ(value_text(event), "start");
    EXPECT_EQ(event.value()->str_data.str_data_len, 5);
}

TEST_F(EventGrammar, EachTargetForm) {
    write_event(event, "go:");
    write_event(event, "go:!");
    write_event(event, "go:*");
    write_event(event, "go:Idle");
    write_event(event, "go:a:b");
    ASSERT_EQ(machine.targets.size(), 5u);
    EXPECT_EQ(machine.targets[0], "M");
    EXPECT_EQ(machine.targets[1], "*");
    EXPECT_EQ(machine.targets[2], "M!*");
    EXPECT_EQ(machine.targets[3], "M!Idle");
    EXPECT_EQ(machine.targets[4], "M!a:b");
    for (const std::string& n : machine.names) {
        EXPECT_EQ(n, "go");
    }
    EXPECT_EQ(value_text(event), "go:a:b");
}

TEST_F(EventGrammar, IgnoredWritesPostNothingAndKeepValue) {
    write_event(event, "first");
    write_event(event, "");
    write_event(event, ":later");
    EqData number;
    number.set(5);
    event.set(nullptr, &number, nullptr, nullptr);
    EqData empty_record;
    empty_record.set_type(DATA_A_USTR);
    event.set(nullptr, &empty_record, nullptr, nullptr);
    event.set(nullptr, nullptr, nullptr, nullptr);
    event.set_event(nullptr);
    EXPECT_EQ(machine.names.size(), 1u);
    EXPECT_EQ(value_text(event), "first");
}

TEST_F(EventGrammar, RecordWriteUsesStatedLength) {
    EqData in;
    USTR u = text_record("stop:Busy", 4);
    in.set(u, 0);
    event.set(nullptr, &in, nullptr, nullptr);
    ASSERT_EQ(machine.names.size(), 1u);
    EXPECT_EQ(machine.names[0], "stop");
    EXPECT_EQ(machine.targets[0], "M");
}

TEST_F(EventGrammar, RecordWithNegativeLengthOrNoTextIsIgnored) {
    USTR u = text_record("x", -1);
    event.set_event(&u);
    u = text_record(nullptr, 4);
    event.set_event(&u);
    EXPECT_TRUE(machine.names.empty());
}

TEST_F(EventGrammar, LongTextsAreCutToTheirBuffers) {
    std::string name(100, 'n');
    std::string target(100, 't');
    std::string text = name + ":" + target;
    USTR u = text_record(text.c_str(), static_cast<int>(text.size()));
    event.set_event(&u);
    ASSERT_EQ(machine.names.size(), 1u);
    EXPECT_EQ(machine.names[0], std::string(80, 'n'));
    EXPECT_EQ(machine.targets[0], "M!" + std::string(78, 't'));
    EXPECT_EQ(std::strlen(event.value()->str_data.str_data_val), 80u);

    // Through a text write the platform hands over at most 79 characters.
    write_event(event, text.c_str());
    ASSERT_EQ(machine.names.size(), 2u);
    EXPECT_EQ(machine.names[1], std::string(79, 'n'));
    EXPECT_EQ(machine.targets[1], "M");
}

TEST(EventProperty, WithoutMachinePostsNothing) {
    D_event ev("EVENT", nullptr);
    write_event(ev, "start");
    EXPECT_EQ(value_text(ev), "");
}

TEST(FaultProperty, ShowsErrorTextOfMachinePart) {
    FSMsuperstate sp(nullptr, "M", "", SUPER_STATE);
    D_rstate fault("FAULT the error", nullptr);
    fault.set_state(&sp);
    EqData res;
    fault.get(nullptr, nullptr, &res, nullptr);
    const USTR* u = res.get_ustr(0);
    ASSERT_NE(u, nullptr);
    EXPECT_STREQ(u->str_data.str_data_val, "");
    EXPECT_FLOAT_EQ(u->f2_data, 0.0f);
    // The property's record counts the NUL; the platform's copy counts the text it holds.
    EXPECT_EQ(fault.value()->str_data.str_data_len, 1);

    std::string longer(100, 'e');
    sp.set_error(longer.c_str());
    fault.get(nullptr, nullptr, &res, nullptr);
    u = res.get_ustr(0);
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(std::string(u->str_data.str_data_val), std::string(80, 'e'));
    EXPECT_EQ(fault.value()->str_data.str_data_len, 81);
    EXPECT_FLOAT_EQ(u->f2_data, 1.0f);
}

TEST(FaultProperty, WritesAreIgnored) {
    FSMsuperstate sp(nullptr, "M", "", SUPER_STATE);
    sp.set_error("broken");
    D_rstate fault("FAULT", nullptr);
    fault.set_state(&sp);
    EqData in;
    in.set("cleared");
    fault.set(nullptr, &in, nullptr, nullptr);
    EXPECT_EQ(value_text(fault), "broken");
}

TEST(FlowProperty, FlowNumberComesFromTheName) {
    EXPECT_EQ(D_flow("FLOW_3 the third", nullptr).get_id(), 3);
    EXPECT_EQ(D_flow("FLOW_12", nullptr).get_id(), 12);
    EXPECT_EQ(D_flow("FLOW_x", nullptr).get_id(), -1);
    EXPECT_EQ(D_flow("FLOWS", nullptr).get_id(), -1);
    // The number is read after the first '_', wherever "FLOW_" stands.
    EXPECT_EQ(D_flow("A_5 FLOW_1", nullptr).get_id(), 5);
    EXPECT_EQ(D_flow("A_B FLOW_1", nullptr).get_id(), -1);
}

TEST(FlowProperty, UnknownFlowReadsNoSuchLocation) {
    FSMsuperstate sp(nullptr, "M", "", SUPER_STATE);
    D_flow flow("FLOW_2", nullptr);
    flow.set_state(&sp);
    EqData res;
    flow.get(nullptr, nullptr, &res, nullptr);
    const USTR* u = res.get_ustr(0);
    ASSERT_NE(u, nullptr);
    EXPECT_STREQ(u->str_data.str_data_val, "No such location");
    EXPECT_EQ(u->str_data.str_data_len, 16);
    EXPECT_EQ(u->i1_data, 0);
}

TEST(FlowProperty, ShowsActiveStateWithDescriptionOrError) {
    FSMsuperstate sp(nullptr, "M", "", SUPER_STATE);
    FSMstate idle("Idle", "waiting", STATE);
    FSMstate busy("Busy", "working", STATE);
    sp.add_state(1, &idle);
    sp.add_state(1, &busy);
    sp.flow_attributes(1, "Idle", 1);
    ASSERT_EQ(sp.link_state(), 0);
    D_flow flow("FLOW_1 main", nullptr);
    flow.set_state(&sp);

    USTR* v = flow.get_val(0);
    EXPECT_STREQ(v->str_data.str_data_val, "Idle : waiting");
    EXPECT_EQ(v->str_data.str_data_len, 15);
    EXPECT_FLOAT_EQ(v->f2_data, 0.0f);
    EXPECT_EQ(v->i1_data, 1);           // history attribute
    EXPECT_FLOAT_EQ(v->f1_data, 0.0f);  // machine part not entered

    idle.set_error("jammed");
    v = flow.get_val(0);
    EXPECT_STREQ(v->str_data.str_data_val, "Idle : jammed");
    EXPECT_FLOAT_EQ(v->f2_data, 1.0f);

    std::string longer(90, 'd');
    busy.set_descr(longer.c_str());
    sp.flow_attributes(1, "Busy", 0);
    ASSERT_EQ(sp.link_state(), 0);
    v = flow.get_val(0);
    EXPECT_EQ(std::strlen(v->str_data.str_data_val), 80u);
    EXPECT_EQ(v->str_data.str_data_len, 81);
}

TEST(FlowProperty, ConfigurationWriteShowsDefaultState) {
    FSMsuperstate sp(nullptr, "M", "", SUPER_STATE);
    FSMstate idle("Idle", "waiting", STATE);
    sp.add_state(1, &idle);
    ASSERT_EQ(sp.link_state(), 0);
    D_flow flow("FLOW_1", nullptr);
    flow.set_state(&sp);
    std::ostringstream out;
    flow.write(out);
    EXPECT_NE(out.str().find("\"Idle : waiting\""), std::string::npos) << out.str();
    EXPECT_EQ(out.str().rfind(" \t0 0 0 ", 0), 0u) << out.str();
}

// The flow property that the poll action below reads, and what it read.
D_flow* watched_flow = nullptr;
std::string seen_status;

int read_own_flow(FSMstate*) {
    seen_status = watched_flow->get_val(0)->str_data.str_data_val;
    return 0;
}

TEST(FlowProperty, AnActionOfTheActiveStateMayReadItsOwnFlow) {
    // On the heap: should the read block, the blocked thread keeps using them to the end.
    auto* sp = new FSMsuperstate(nullptr, "M", "", SUPER_STATE);
    auto* busy = new FSMstate("Busy", "working", STATE);
    sp->add_state(1, busy);
    ASSERT_EQ(sp->link_state(), 0);
    watched_flow = new D_flow("FLOW_1", nullptr);
    watched_flow->set_state(sp);
    busy->add_action("poll", read_own_flow);
    busy->set_error("jammed");
    sp->enter_state();

    std::promise<void> done;
    std::future<void> finished = done.get_future();
    std::thread engine([sp, &done] {
        FSMevent ev;
        ev.set_event("tick", "*");
        sp->process_event(&ev);
        done.set_value();
    });
    if (finished.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        engine.detach();
        FAIL() << "reading the flow's status from an action of its active state blocked";
    }
    engine.join();
    EXPECT_EQ(seen_status, "Busy : jammed");
    delete watched_flow;
    delete sp;
    delete busy;
}

TEST(FlowProperty, ErrorTextsRecordedWhileTheFlowIsReadAreWhole) {
    FSMsuperstate sp(nullptr, "M", "", SUPER_STATE);
    FSMstate busy("Busy", "working", STATE);
    sp.add_state(1, &busy);
    ASSERT_EQ(sp.link_state(), 0);
    D_flow flow("FLOW_1", nullptr);
    flow.set_state(&sp);
    D_rstate fault("FAULT", nullptr);
    fault.set_state(&sp);
    const std::string first(70, 'a');
    const std::string second = "short";
    std::atomic<bool> stop{false};
    // Another thread (a restore, an action elsewhere) records and clears the errors meanwhile.
    std::thread recorder([&] {
        for (int n = 0; !stop.load(); n++) {
            busy.set_error(n % 2 == 0 ? first.c_str() : second.c_str());
            sp.set_error(n % 2 == 0 ? first.c_str() : second.c_str());
            sp.init_state();  // the refreshes of both states empty their errors
        }
    });
    int bad = 0;
    for (int i = 0; i < 20000; i++) {
        std::string text = flow.get_val(0)->str_data.str_data_val;
        if (text != "Busy : working" && text != "Busy : " + first && text != "Busy : " + second) {
            bad++;
        }
        EqData res;
        fault.get(nullptr, nullptr, &res, nullptr);
        std::string fault_text = res.get_ustr(0)->str_data.str_data_val;
        if (!fault_text.empty() && fault_text != first && fault_text != second) {
            bad++;
        }
    }
    stop = true;
    recorder.join();
    EXPECT_EQ(bad, 0);
}

TEST(FlowProperty, WritesAreIgnored) {
    FSMsuperstate sp(nullptr, "M", "", SUPER_STATE);
    D_flow flow("FLOW_1", nullptr);
    flow.set_state(&sp);
    flow.set_value("kept");
    EqData in;
    in.set("other");
    flow.set(nullptr, &in, nullptr, nullptr);
    EXPECT_STREQ(flow.value()->str_data.str_data_val, "kept");
}

TEST(NameProperty, ConfiguredTextBecomesDescriptionAndWritesAreIgnored) {
    FSMsuperstate sp(nullptr, "M", "", SUPER_STATE);
    D_rname descr("DESCR the description", nullptr);
    descr.set_state(&sp);
    descr.read_from_conf("a pump");
    EXPECT_STREQ(descr.value(), "a pump");
    EXPECT_STREQ(sp.get_descr(), "a pump");
    EqData in;
    in.set("changed");
    descr.set(nullptr, &in, nullptr, nullptr);
    EXPECT_STREQ(descr.value(), "a pump");
}
