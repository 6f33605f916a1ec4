// A machine in a whole server whose data channels mirror properties of equipment served by the
// same process: refresh on every accepted event (the first read answered by a plain read after
// the monitor's "not yet established"), remote writes accepted and refused, and an interrupt
// action reading a parent's channel while the event thread refreshes it.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "fsm.h"
#include "fsm_client.h"
#include "journal.h"
#include "locations.h"
#include "machine_stop.h"
#include "velko_test.h"

namespace {

const bool machine_stop_installed = testsupport::install_machine_stop();

testsupport::Journal journal;

const char* const kTemp = "TEST.FAC/EQUIP/OVEN/TEMP";
const char* const kLocked = "TEST.FAC/EQUIP/OVEN/LOCKED";
const char* const kLevel = "TEST.FAC/EQUIP/OVEN/LEVEL";

// An int that can be read but not written: the platform's default write answers an error.
class ReadOnlyInt : public D_fct {
  public:
    ReadOnlyInt(const std::string& name, EqFct* owner) : D_fct(name, owner) {}
    void get(EqAdr*, EqData*, EqData* out, EqFct*) override {
        out->init();
        out->set(7);
    }
    int data_type() const override { return DATA_INT; }
    int data_type() override { return DATA_INT; }
};

// The equipment the machine watches: location OVEN of device TEST.FAC/EQUIP. Never deleted:
// the machine's threads call it until the process ends.
struct Oven {
    Oven() : loc(new EqFct("oven")) {
        loc->set_name("OVEN");
        temp = new velko::D_value<int>("TEMP", loc);
        locked = new ReadOnlyInt("LOCKED", loc);
        level = new velko::D_value<int>("LEVEL", loc);
    }
    EqFct* loc;
    velko::D_value<int>* temp;
    ReadOnlyInt* locked;
    velko::D_value<int>* level;
};

Oven* oven = nullptr;

std::string channel_line(const char* what, FSMstate* sp, const char* name) {
    int h = sp->data_open(name, 0);
    velko::EqData v;
    sp->data_get(h, v);
    return std::string(what) + " " + name + "=" + std::to_string(v.get_int()) + " err=" + std::to_string(v.error()) +
           " state_err=" + sp->get_error();
}

// Watch: mirrors TEMP and LOCKED.
int watch_init(FSMstate* sp) {
    journal.add(channel_line("init", sp, "temp"));
    return 0;
}

int watch_during(FSMstate* sp) {
    journal.add(channel_line("during", sp, "temp"));
    return 0;
}

int watch_write_locked(FSMstate* sp) {
    int h = sp->data_open("locked", 0);
    velko::EqData v;
    v.set(99);
    int rc = sp->data_set(h, v);
    int after = 0;
    sp->data_get(h, &after, 0);
    journal.add("write rc=" + std::to_string(rc) + " locked=" + std::to_string(after) +
                " state_err=" + sp->get_error());
    return 0;
}

int watch_store(FSMstate* sp) {
    velko::EqData v;
    v.set(77);
    int rc = sp->data_set(sp->data_open("temp", 0), v);
    journal.add("store rc=" + std::to_string(rc) + " state_err=" + sp->get_error());
    return 0;
}

// Reader: its interrupt action reads the root's LEVEL mirror, bracketed by the channel's lock.
int reader_irq(FSMstate* sp) {
    int h = sp->data_open("level", 0);
    int value = -1;
    sp->data_lock(h, 0);
    velko::EqData whole;
    sp->data_get(h, whole);
    sp->data_get(h, &value, 0);
    sp->data_unlock(h, 0);
    journal.add("irq level=" + std::to_string(value) + " err=" + std::to_string(whole.error()));
    return 0;
}

FSMstate* watch = nullptr;
FSMstate* reader = nullptr;

void build_machine(EqFSMlocation* loc) {
    FSMsuperstate* root = loc->state_ptr;
    root->add_data("level", nullptr, kLevel);
    watch = new FSMstate("Watch", "mirrors the oven", STATE);
    watch->add_data("temp", nullptr, kTemp);
    watch->add_data("locked", nullptr, kLocked);
    watch->add_action("init", watch_init);
    watch->add_action("during", watch_during);
    watch->add_action("write", watch_write_locked);
    watch->add_action("store", watch_store);
    reader = new FSMstate("Reader", "reads the level", STATE);
    reader->add_action("interrupt1", reader_irq);
    root->add_state(1, watch);
    root->add_state(2, reader);
}

node_info datam_info = {nullptr, "datam", build_machine};

}  // namespace

node_info* init_list = &datam_info;

namespace {

bool has_line(const std::string& line) {
    return journal.count(line) > 0;
}

class DataServer : public ::testing::Test {
  protected:
    // The machines stop before their server goes.
    void TearDown() override { EqFSMlocation::stop_all_engines(); }

    void SetUp() override {
        oven = new Oven;
        oven->temp->set_value(41);
        oven->level->set_value(0);
        ASSERT_EQ(velko::LocationDirectory::add("TEST.FAC", "EQUIP", oven->loc), 0);
        std::string conf = testsupport::ConfigWriter("TEST.FAC", "DATA")
                               .rate(10)
                               .location("CTRL", CodeFsmRootState, "datam")
                               .property("FSM", "datam")
                               .write(dir.file("data.conf"));
        velko::ServerOptions options;
        options.config_file = conf;
        server = std::make_unique<velko::Server>(options, velko::application_hooks());
        ASSERT_EQ(server->start(), 0) << server->error();
        ctrl = dynamic_cast<EqFSMlocation*>(server->find_location("CTRL"));
        ASSERT_NE(ctrl, nullptr);
    }

    bool cycle_until_line(const std::string& line) {
        return fsmtest::cycle_until(*server, [&] { return has_line(line); });
    }

    void post(const char* name, const char* target) {
        FSMevent ev;
        ev.set_event(name, target);
        ASSERT_EQ(send_event(const_cast<char*>("datam"), &ev), 0);
    }

    testsupport::TempDir dir;
    std::unique_ptr<velko::Server> server;
    EqFSMlocation* ctrl = nullptr;
};

// Without the plain read after the monitor's first answer, the first refresh would leave the
// channel carrying error 110 and the state showing "not yet established".
TEST_F(DataServer, TheFirstRefreshAlreadyHoldsTheEquipmentsValue) {
    ASSERT_TRUE(journal.wait_count("init temp=41 err=0 state_err=", 1));
}

TEST_F(DataServer, ChannelsFollowTheEquipmentOnEveryAcceptedEvent) {
    ASSERT_TRUE(cycle_until_line("during temp=41 err=0 state_err="));
    for (int v : {42, -5, 1000}) {
        oven->temp->set_value(v);
        std::string line = "during temp=" + std::to_string(v) + " err=0 state_err=";
        ASSERT_TRUE(cycle_until_line(line)) << line;
    }
    // An event addressed to the state refreshes it as well as the periodic tick.
    oven->temp->set_value(43);
    post("look", "Watch");
    ASSERT_TRUE(cycle_until_line("during temp=43 err=0 state_err="));
}

TEST_F(DataServer, ARefusedRemoteWriteShowsAsTheStatesErrorOnly) {
    ASSERT_TRUE(cycle_until_line("during temp=41 err=0 state_err="));
    post("write", "Watch");
    ASSERT_TRUE(cycle_until_line("write rc=0 locked=7 state_err=Property LOCKED cannot be written."));
    // The next refresh empties the error again.
    journal.clear();
    ASSERT_TRUE(cycle_until_line("during temp=41 err=0 state_err="));
}

TEST_F(DataServer, AnAcceptedRemoteWriteReachesTheEquipment) {
    ASSERT_TRUE(cycle_until_line("during temp=41 err=0 state_err="));
    post("store", "Watch");
    ASSERT_TRUE(cycle_until_line("store rc=0 state_err="));
    EXPECT_EQ(oven->temp->value(), 77);
    ASSERT_TRUE(cycle_until_line("during temp=77 err=0 state_err="));
}

TEST_F(DataServer, AnUnknownAddressShowsAClearErrorInTheState) {
    ASSERT_TRUE(cycle_until_line("during temp=41 err=0 state_err="));
    watch->set_address("temp", "TEST.FAC/EQUIP/OVEN/NOPE");
    std::string err;
    ASSERT_TRUE(fsmtest::cycle_until(*server, [&] {
        for (const std::string& l : journal.lines()) {
            if (l.rfind("during temp=", 0) == 0 && l.find("NOPE") != std::string::npos) {
                err = l;
                return true;
            }
        }
        return false;
    }));
    EXPECT_EQ(err.find("err=0 "), std::string::npos) << err;
}

// The event thread refreshes the root's LEVEL mirror while the interrupt thread reads it in the
// Reader's interrupt action; the channel's lock keeps them apart (checked under ThreadSanitizer).
TEST_F(DataServer, AnInterruptActionReadsTheParentsChannelWhileItIsRefreshed) {
    ASSERT_TRUE(cycle_until_line("during temp=41 err=0 state_err="));
    const int rounds = 40;
    for (int i = 1; i <= rounds; ++i) {
        oven->level->set_value(i);
        server->run_cycles(1);
        ctrl->interrupt1();
    }
    std::string last = "irq level=" + std::to_string(rounds) + " err=0";
    ASSERT_TRUE(fsmtest::cycle_until(*server, [&] {
        ctrl->interrupt1();
        return has_line(last);
    }));
    int previous = 0;
    for (const std::string& l : journal.lines()) {
        if (l.rfind("irq ", 0) != 0) {
            continue;
        }
        int level = -1;
        int err = -1;
        ASSERT_EQ(sscanf(l.c_str(), "irq level=%d err=%d", &level, &err), 2) << l;
        EXPECT_EQ(err, 0) << l;
        // The mirror only moves forward: the reader never sees a value older than one it saw.
        EXPECT_GE(level, previous) << l;
        EXPECT_LE(level, rounds) << l;
        previous = level;
    }
}

}  // namespace
