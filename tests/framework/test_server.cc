// A whole server in one process, driven through its own test application's hooks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <csignal>
#include <memory>

#include "journal.h"
#include "net_test_client.h"
#include "velko.h"
#include "velko_test.h"

using testsupport::ConfigWriter;
using testsupport::file_exists;
using testsupport::Journal;
using testsupport::poll_until;
using testsupport::read_file;
using testsupport::ServerThread;
using testsupport::TempDir;

namespace {

Journal& journal() {
    static Journal* j = new Journal();
    return *j;
}

// The test application's location: every kind of property, a journal of the calls it gets, and a
// history booked into its own archive at init().
class TestLoc : public EqFct {
  public:
    TestLoc()
        : EqFct("NAME = location"),
          count("COUNT a counter", this),
          gain("GAIN a float", this),
          label("LABEL a text", this),
          quad("QUAD four ints", this),
          filter("FILTER filter settings", this),
          note("NOTE a text record", this),
          hist("HIST history of COUNT", this, 50) {
        count.attach_hist(&hist);
    }
    void init() override {
        EqFct::init();
        journal().add("init " + name() + " kind=" + kind);
        archive = std::make_unique<ArchiveFile>(name() + ".hist", nullptr, false);
        hist.book_hist(archive.get(), name(), ring_buffer, 200, property_and_location);
    }
    void complete() override { journal().add("complete " + name()); }
    void post_init() override { journal().add("post_init " + name()); }
    void update() override { updates.fetch_add(1); }
    void interrupt_usr1(int sig) override { journal().add("usr1 " + name() + " " + std::to_string(sig)); }
    void cancel() override {
        EqFct::cancel();
        journal().add("cancel " + name());
    }

    std::string kind;  // gbl_fct_name while it was created
    std::atomic<int> updates{0};
    velko::D_value<int> count;
    velko::D_value<float> gain;
    D_string label;
    D_iiii quad;
    D_dig_filter filter;
    D_ustr note;
    D_hist hist;
    std::unique_ptr<ArchiveFile> archive;
};

EqFct* test_create(int code, void*) {
    journal().add("create " + std::to_string(code) + " " + gbl_fct_name);
    if (code == 99) {
        return nullptr;
    }
    auto* loc = new TestLoc();
    loc->kind = gbl_fct_name;
    return loc;
}
// Whether calls can reach the location ROOT of the standard configuration right now.
std::string reachable() {
    return velko::LocationDirectory::find("TEST.FAC", "TEST.DEV", "ROOT") ? "reachable" : "unreachable";
}
void prolog() {
    journal().add("eq_init_prolog " + reachable());
}
void epilog() {
    journal().add("eq_init_epilog " + reachable());
}
void post_prolog() {
    journal().add("post_init_prolog");
}
void post_epilog() {
    journal().add("post_init_epilog");
}
void refresh_prolog_hook() {
    journal().add("refresh_prolog");
}
void usr1_prolog(int) {
    journal().add("usr1_prolog");
}
void cancel_hook() {
    journal().add("eq_cancel");
}

velko::ServerHooks hooks() {
    return {test_create,         prolog,  epilog,      post_prolog, post_epilog,
            refresh_prolog_hook, nullptr, usr1_prolog, nullptr,     cancel_hook};
}

ConfigWriter standard_config(const std::string& device = "TEST.DEV") {
    ConfigWriter w("TEST.FAC", device);
    w.rate(5)
        .line("# the first location")
        .location("SUB", 101, "sub_kind")
        .property("COUNT", "3")
        .location("ROOT", 100, "root_kind")
        .line("# configured gain")
        .property("GAIN", "2.5")
        .property("LABEL", "\"hello world\"")
        .property("QUAD", "1 2 3 4")
        .property("FILTER", "1 0.5 0.25 0.125")
        .property("NOTE", "4 1.5 2.5 99 \"a note\"");
    return w;
}

TestLoc* loc_of(velko::Server& server, const std::string& name) {
    return dynamic_cast<TestLoc*>(server.find_location(name));
}

size_t index_of(const Journal::Lines& lines, const std::string& line) {
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] == line) {
            return i;
        }
    }
    ADD_FAILURE() << "no journal line \"" << line << "\"";
    return lines.size();
}

EqData call_get(const std::string& address) {
    velko::EqCall call;
    EqAdr adr;
    EXPECT_EQ(adr.adr(address), 0);
    EqData in;
    EqData out;
    call.get(&adr, &in, &out);
    return out;
}

int call_set_text(const std::string& address, const char* text) {
    velko::EqCall call;
    EqAdr adr;
    EXPECT_EQ(adr.adr(address), 0);
    EqData in;
    EqData out;
    in.set(text);
    return call.set(&adr, &in, &out);
}

}  // namespace

TEST(Server, StartsLocationsInOrderWithTheirConfiguredValues) {
    TempDir dir;
    std::string file = standard_config().write(dir.file("srv.conf"));
    velko::Server server({file}, hooks());
    ASSERT_EQ(server.start(), 0) << server.error();
    EXPECT_EQ(server.facility(), "TEST.FAC");
    EXPECT_EQ(server.device(), "TEST.DEV");
    EXPECT_EQ(server.rate_ms(), 5);
    ASSERT_EQ(server.locations().size(), 2u);
    EXPECT_EQ(server.locations()[0]->name(), "SUB");
    EXPECT_EQ(gbl_fct_name, "");

    Journal::Lines lines = journal().lines();
    // Created in file order under their kind names; the root (100) starts before the location
    // that refers to it (101).
    EXPECT_EQ(lines[0], "create 101 sub_kind");
    EXPECT_EQ(lines[1], "create 100 root_kind");
    // Calls reach the locations only after their init and complete, before the application's
    // threads start in the epilog.
    EXPECT_EQ(lines[2], "eq_init_prolog unreachable");
    EXPECT_EQ(lines[3], "init ROOT kind=root_kind");
    EXPECT_EQ(lines[4], "complete ROOT");
    EXPECT_EQ(lines[5], "init SUB kind=sub_kind");
    EXPECT_EQ(lines[6], "complete SUB");
    EXPECT_EQ(lines[7], "eq_init_epilog reachable");
    EXPECT_EQ(lines[8], "post_init_prolog");
    EXPECT_LT(index_of(lines, "post_init ROOT"), index_of(lines, "post_init_epilog"));

    TestLoc* root = loc_of(server, "ROOT");
    TestLoc* sub = loc_of(server, "SUB");
    ASSERT_NE(root, nullptr);
    ASSERT_NE(sub, nullptr);
    EXPECT_EQ(root->fct_code(), 100);
    EXPECT_EQ(sub->count.value(), 3);
    EXPECT_EQ(root->count.value(), 0);
    EXPECT_FLOAT_EQ(root->gain.value(), 2.5f);
    EXPECT_STREQ(root->label.value(), "hello world");
    EXPECT_EQ(root->quad.value()->i4_data, 4);
    EXPECT_FLOAT_EQ(root->filter.value()->f3_data, 0.125f);
    EXPECT_EQ(root->note.value()->i1_data, 4);
    EXPECT_EQ(root->note.value()->tm, 99);
    EXPECT_STREQ(root->note.value()->str_data.str_data_val, "a note");
    EXPECT_TRUE(root->g_sts.bit(D_gen_sts::ONLINE));
}

TEST(Server, RemoteCallsReachThePropertiesOfTheServedLocations) {
    TempDir dir;
    velko::Server server({standard_config().write(dir.file("srv.conf"))}, hooks());
    ASSERT_EQ(server.start(), 0) << server.error();
    EXPECT_EQ(call_get("TEST.FAC/TEST.DEV/SUB/COUNT").get_int(), 3);
    EXPECT_EQ(call_set_text("TEST.FAC/TEST.DEV/ROOT/COUNT", "17"), 0);
    EXPECT_EQ(loc_of(server, "ROOT")->count.value(), 17);
    EXPECT_EQ(call_set_text("TEST.FAC/TEST.DEV/ROOT/COUNT", "seventeen"), velko::ERR_PARSE);
    EXPECT_EQ(loc_of(server, "ROOT")->count.value(), 17);
    EXPECT_EQ(call_get("TEST.FAC/TEST.DEV/ROOT/LABEL").get_string(), "hello world");

    velko::EqCall call;
    EqAdr adr;
    adr.adr("TEST.FAC/TEST.DEV/*");
    EqData out;
    ASSERT_EQ(call.names(&adr, &out), 0);
    ASSERT_EQ(out.length(), 2);
    EXPECT_STREQ(out.get_ustr(0)->str_data.str_data_val, "SUB");
    EXPECT_EQ(out.get_ustr(1)->i1_data, 100);
    adr.adr("TEST.FAC/TEST.DEV/ROOT");
    ASSERT_EQ(call.names(&adr, &out), 0);
    ASSERT_EQ(out.length(), 7);
    EXPECT_STREQ(out.get_ustr(6)->str_data.str_data_val, "HIST history of COUNT");
    EXPECT_EQ(out.get_ustr(6)->i1_data, DATA_A_TDS);
}

TEST(Server, RunUpdatesEveryLocationOncePerCycleUntilStopped) {
    TempDir dir;
    velko::Server server({standard_config().write(dir.file("srv.conf"))}, hooks());
    ASSERT_EQ(server.start(), 0) << server.error();
    TestLoc* root = loc_of(server, "ROOT");
    TestLoc* sub = loc_of(server, "SUB");
    {
        ServerThread thread(server);
        EXPECT_TRUE(poll_until([&] { return server.cycles() >= 5; }));
    }
    long cycles = server.cycles();
    EXPECT_GE(cycles, 5);
    EXPECT_EQ(root->updates.load(), cycles);
    EXPECT_EQ(sub->updates.load(), cycles);
    EXPECT_EQ(static_cast<long>(journal().count("refresh_prolog")), cycles);

    server.run_cycles(3);
    EXPECT_EQ(server.cycles(), cycles + 3);
    EXPECT_EQ(root->updates.load(), cycles + 3);
}

TEST(Server, MaxCyclesEndsTheRunAndARateOverrideWins) {
    TempDir dir;
    velko::ServerOptions opt{standard_config().write(dir.file("srv.conf"))};
    opt.max_cycles = 4;
    opt.rate_ms_override = 1;
    velko::Server server(opt, hooks());
    ASSERT_EQ(server.start(), 0) << server.error();
    EXPECT_EQ(server.rate_ms(), 1);
    server.run();
    EXPECT_EQ(server.cycles(), 4);
    EXPECT_EQ(loc_of(server, "SUB")->updates.load(), 4);
}

TEST(Server, StopBeforeRunReturnsAtOnce) {
    TempDir dir;
    velko::Server server({standard_config().write(dir.file("srv.conf"))}, hooks());
    ASSERT_EQ(server.start(), 0) << server.error();
    server.stop();
    server.run();
    EXPECT_EQ(server.cycles(), 0);
}

TEST(Server, HistoryRecordsLandInTheRingAndTheArchive) {
    TempDir dir;
    std::string file = standard_config().write(dir.file("srv.conf"));
    {
        velko::Server server({file}, hooks());
        ASSERT_EQ(server.start(), 0) << server.error();
        for (const char* v : {"10", "20", "30"}) {
            EXPECT_EQ(call_set_text("TEST.FAC/TEST.DEV/ROOT/COUNT", v), 0);
        }
        EqData hist = call_get("TEST.FAC/TEST.DEV/ROOT/HIST");
        EXPECT_EQ(hist.type(), DATA_A_TDS);
        ASSERT_EQ(hist.length(), 3);
        EXPECT_FLOAT_EQ(hist.get_tds(2)->data, 30.0f);
        ASSERT_EQ(server.finish(), 0) << server.error();
    }
    // Archives go beside the configuration file.
    ASSERT_TRUE(file_exists(dir.file("ROOT.hist")));
    ArchiveFile reopened(dir.file("ROOT.hist"), nullptr, false);
    std::vector<TDS> recs = reopened.read("ROOT.HIST");
    ASSERT_EQ(recs.size(), 3u);
    EXPECT_FLOAT_EQ(recs[0].data, 10.0f);
    EXPECT_FLOAT_EQ(recs[2].data, 30.0f);

    // A restarted server shows the archived history again, and its saved values.
    velko::Server again({file}, hooks());
    ASSERT_EQ(again.start(), 0) << again.error();
    EqData hist = call_get("TEST.FAC/TEST.DEV/ROOT/HIST");
    ASSERT_EQ(hist.length(), 3);
    EXPECT_FLOAT_EQ(hist.get_tds(0)->data, 10.0f);
    EXPECT_EQ(loc_of(again, "ROOT")->count.value(), 30);
}

namespace {
// The temporary files of saves in dir.
std::vector<std::string> temporaries(const TempDir& dir) {
    std::vector<std::string> out;
    for (const std::string& name : dir.entries()) {
        if (name.find(".tmp") != std::string::npos)
            out.push_back(name);
    }
    return out;
}
}  // namespace

TEST(Server, SaveWritesCurrentValuesKeepsCommentsAndOneBackup) {
    TempDir dir;
    std::string file = standard_config().write(dir.file("srv.conf"));
    std::string original = read_file(file);
    velko::Server server({file}, hooks());
    ASSERT_EQ(server.start(), 0) << server.error();
    TestLoc* root = loc_of(server, "ROOT");
    root->label.set_value("changed \"text\"");
    root->gain.set_value(0.1f);
    ASSERT_EQ(server.save_config(), 0) << server.error();
    EXPECT_EQ(read_file(file + ".bak"), original);
    EXPECT_EQ(temporaries(dir), std::vector<std::string>{});

    std::string saved = read_file(file);
    EXPECT_NE(saved.find("# the first location\nlocation SUB 101 sub_kind {\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("# configured gain\nGAIN 0.1\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("LABEL \"changed \\\"text\\\"\"\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("NOTE \t4 1.5 2.5 99 \"a note\"\n"), std::string::npos) << saved;

    ServerConfig cfg;
    std::string error;
    ASSERT_EQ(velko::read_config_file(file, &cfg, &error), 0) << error;
    EXPECT_EQ(cfg.rate_ms, 5);
    ASSERT_EQ(cfg.locations.size(), 2u);
    EXPECT_EQ(cfg.locations[1].name, "ROOT");

    // A second save keeps exactly one backup: the previous save.
    ASSERT_EQ(server.save_config(), 0);
    EXPECT_EQ(read_file(file + ".bak"), saved);
}

namespace {
void die_before_rename(const std::string&) {
    _exit(7);
}
}  // namespace

TEST(Server, ACrashBetweenWritingAndRenamingLeavesTheOldFileWhole) {
    TempDir dir;
    std::string file = standard_config().write(dir.file("srv.conf"));
    std::string original = read_file(file);
    velko::Server server({file}, hooks());
    ASSERT_EQ(server.start(), 0) << server.error();
    loc_of(server, "ROOT")->label.set_value("new value");

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        velko::set_atomic_write_hook(die_before_rename);
        server.save_config();
        _exit(0);  // not reached when the hook ends the process
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 7);
    EXPECT_EQ(read_file(file), original);
    // The dead save's temporary file names its process.
    const std::string leftover_prefix = ".srv.conf.tmp." + std::to_string(child) + ".";
    std::vector<std::string> names = temporaries(dir);
    ASSERT_EQ(names.size(), 1u);
    ASSERT_EQ(names[0].rfind(leftover_prefix, 0), 0u) << names[0];
    EXPECT_NE(read_file(dir.file(names[0])).find("LABEL \"new value\""), std::string::npos);

    // The next save removes the left-over temporary file.
    ASSERT_EQ(server.save_config(), 0) << server.error();
    EXPECT_NE(read_file(file).find("LABEL \"new value\""), std::string::npos);
    EXPECT_EQ(temporaries(dir), std::vector<std::string>{});
}

TEST(Server, AFailedSaveLeavesTheOldFile) {
    TempDir dir;
    std::string file = standard_config().write(dir.file("srv.conf"));
    std::string original = read_file(file);
    velko::Server server({file}, hooks());
    ASSERT_EQ(server.start(), 0) << server.error();
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // No file descriptor is left for this process: the temporary file cannot be created.
        int lowest = open("/dev/null", O_RDONLY);
        close(lowest);
        struct rlimit lim = {static_cast<rlim_t>(lowest), static_cast<rlim_t>(lowest)};
        setrlimit(RLIMIT_NOFILE, &lim);
        bool failed = server.save_config() == 1 &&
                      server.error().find("Cannot save " + file + ": cannot create the temporary file") == 0;
        _exit(failed ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the save did not fail with the expected sentence";
    EXPECT_EQ(read_file(file), original);
}

TEST(Server, FinishSavesCancelsAndStopsServingButKeepsLocations) {
    TempDir dir;
    std::string file = standard_config().write(dir.file("srv.conf"));
    velko::Server server({file}, hooks());
    ASSERT_EQ(server.start(), 0) << server.error();
    EqFct* root = server.find_location("ROOT");
    loc_of(server, "SUB")->count.set_value(77);
    EXPECT_EQ(server.finish(), 0);
    EXPECT_EQ(server.finish(), 0);  // only once
    EXPECT_EQ(journal().count("eq_cancel"), 1u);
    EXPECT_LT(index_of(journal().lines(), "cancel ROOT"), index_of(journal().lines(), "eq_cancel"));
    EXPECT_FALSE(root->g_sts.bit(D_gen_sts::ONLINE));
    EXPECT_EQ(call_get("TEST.FAC/TEST.DEV/ROOT/COUNT").error(), velko::ERR_UNKNOWN_DEVICE);
    EXPECT_NE(read_file(file).find("COUNT 77"), std::string::npos);
    // Still alive: the location and its properties can be used.
    EXPECT_EQ(root->find_property("COUNT")->name(), "COUNT");
}

// The application's hooks keep process-wide state, so one server runs at a time: a second one,
// of the same or another device, is refused until the first has finished.
TEST(Server, OneServerRunsAtATime) {
    TempDir dir;
    std::string file = standard_config().write(dir.file("srv.conf"));
    std::string other = standard_config("OTHER.DEV").write(dir.file("other.conf"));
    velko::Server first({file}, hooks());
    ASSERT_EQ(first.start(), 0) << first.error();
    std::string running = "TEST.FAC/TEST.DEV (" + file + ")";
    for (const std::string& conf : {file, other}) {
        velko::Server second({conf}, hooks());
        EXPECT_EQ(second.start(), 1);
        EXPECT_EQ(second.error(), "The server " + conf + " cannot start: the server " + running +
                                      " already runs in this process, and a process runs one server at a time.");
    }
    EXPECT_EQ(first.start(), 1);
    ASSERT_EQ(first.finish(), 0) << first.error();
    velko::Server after({other}, hooks());
    EXPECT_EQ(after.start(), 0) << after.error();
}

TEST(Server, ADeviceServedOutsideAServerCannotBeServedAgain) {
    TempDir dir;
    std::string file = standard_config().write(dir.file("srv.conf"));
    EqFct* taken = new EqFct("taken");  // never deleted: served locations stay reachable
    taken->set_name("TAKEN");
    ASSERT_EQ(velko::LocationDirectory::add("TEST.FAC", "TEST.DEV", taken), 0);
    velko::Server server({file}, hooks());
    EXPECT_EQ(server.start(), 1);
    EXPECT_EQ(server.error(), file + ": the device TEST.FAC/TEST.DEV is already served by this process.");
}

namespace {

// Starts a server from text and expects start() to fail; returns the error.
std::string start_error(const std::string& text) {
    TempDir dir;
    std::string file = dir.file("srv.conf");
    testsupport::write_file(file, text);
    velko::Server server({file}, hooks());
    EXPECT_EQ(server.start(), 1);
    std::string error = server.error();
    EXPECT_TRUE(server.locations().empty());
    EXPECT_EQ(server.save_config(), 1);
    EXPECT_EQ(read_file(file), text);  // nothing written back
    EXPECT_FALSE(file_exists(file + ".bak"));
    return error;
}

}  // namespace

TEST(Server, BadConfigurationsDoNotStartAndNameFileLineAndProperty) {
    EXPECT_NE(start_error(ConfigWriter().location("L", 1, "k").property("NOPE", "1").text())
                  .find("srv.conf:4: location L has no property NOPE."),
              std::string::npos);
    EXPECT_NE(start_error(ConfigWriter().location("L", 1, "k").property("COUNT", "1.5").text())
                  .find("srv.conf:4: property COUNT of location L: \"1.5\" is not an integer."),
              std::string::npos);
    EXPECT_NE(start_error(ConfigWriter().location("L", 1, "k").property("QUAD", "1 2").text())
                  .find("srv.conf:4: property QUAD of location L: \"1 2\" is not four integers."),
              std::string::npos);
    EXPECT_NE(start_error(ConfigWriter().location("L", 1, "k").location("M", 99, "bad").text())
                  .find("srv.conf:5: the application created no location for equipment code 99 (location M, kind "
                        "\"bad\")."),
              std::string::npos);
    EXPECT_NE(start_error("facility F\ndevice D\nlocation L 1 k {\n").find("is not closed"), std::string::npos);
    // Nothing is served after a failed start; the second location was never created.
    EXPECT_FALSE(velko::LocationDirectory::serves("TEST.FAC", "TEST.DEV"));
    EXPECT_EQ(journal().count("create 1 k"), 4u);
}

TEST(Server, MissingFileOrHookIsReported) {
    velko::Server server({"/nonexistent/srv.conf"}, hooks());
    EXPECT_EQ(server.start(), 1);
    EXPECT_EQ(server.error(), "Cannot read the configuration file /nonexistent/srv.conf: No such file or directory.");
    server.run();  // not started: returns at once
    EXPECT_EQ(server.cycles(), 0);

    velko::ServerHooks none{};
    velko::Server hookless({"/nonexistent/srv.conf"}, none);
    EXPECT_EQ(hookless.start(), 1);
    EXPECT_EQ(hookless.error(), "The server cannot start: the application gave no eq_create hook.");
}

TEST(Server, SignalsEndTheRunAndReachTheLocations) {
    TempDir dir;
    velko::ServerOptions opt{standard_config().write(dir.file("srv.conf"))};
    opt.handle_signals = true;
    velko::Server server(opt, hooks());
    ASSERT_EQ(server.start(), 0) << server.error();
    ServerThread thread(server);
    ASSERT_TRUE(poll_until([&] { return server.cycles() >= 1; }));
    kill(getpid(), SIGUSR1);
    EXPECT_TRUE(journal().wait_count("usr1 ROOT " + std::to_string(SIGUSR1), 1));
    EXPECT_EQ(journal().count("usr1_prolog"), 1u);
    kill(getpid(), SIGTERM);
    thread.join();  // run() returns by itself
    EXPECT_GE(server.cycles(), 1);
}

namespace {

int run_program(std::vector<std::string> args, const velko::ServerHooks& with = hooks()) {
    std::vector<char*> argv;
    argv.reserve(args.size());
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    return velko::run_server(static_cast<int>(argv.size()), argv.data(), with);
}

// An epilog whose application could not start its work.
void refusing_epilog() {
    journal().add("eq_init_epilog");
    velko::fail_start("The application could not start its threads.");
    velko::fail_start("A second report is not the one shown.");
}

velko::ServerHooks refusing_hooks() {
    velko::ServerHooks h = hooks();
    h.eq_init_epilog = refusing_epilog;
    return h;
}

}  // namespace

TEST(Server, AStartTheApplicationReportsAsFailedDoesNotRun) {
    TempDir dir;
    const std::string file = standard_config().write(dir.file("srv.conf"));
    velko::Server server({file}, refusing_hooks());
    EXPECT_EQ(server.start(), 1);
    EXPECT_EQ(server.error(), "The application could not start its threads.");
    EXPECT_TRUE(server.locations().empty());
    EXPECT_FALSE(velko::LocationDirectory::serves("TEST.FAC", "TEST.DEV"));
    EXPECT_EQ(journal().count("eq_init_epilog"), 1u);
    EXPECT_EQ(journal().count("post_init_prolog"), 0u);
    server.run();  // returns at once
    EXPECT_EQ(server.cycles(), 0);
    // The report belonged to that start: the next one succeeds.
    velko::Server next({file}, hooks());
    EXPECT_EQ(next.start(), 0) << next.error();
}

TEST(RunServer, AFailedStartOfTheApplicationExitsWithOne) {
    TempDir dir;
    const std::string file = standard_config().write(dir.file("srv.conf"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(run_program({"srv", file}, refusing_hooks()), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "srv: The application could not start its threads.\n");
    EXPECT_EQ(journal().count("refresh_prolog"), 0u);
}

TEST(RunServer, RunsTheGivenCyclesAndSavesOnExit) {
    TempDir dir;
    std::string file = standard_config().write(dir.file("srv.conf"));
    testing::internal::CaptureStdout();
    EXPECT_EQ(run_program({"srv", "--rate", "1", "--cycles=3", file}), 0);
    // The start-up line says which futex hash table the process got.
    EXPECT_NE(testing::internal::GetCapturedStdout().find(", futex hash: "), std::string::npos);
    EXPECT_EQ(journal().count("refresh_prolog"), 3u);
    EXPECT_EQ(journal().count("eq_cancel"), 1u);
    EXPECT_TRUE(file_exists(file + ".bak"));
}

TEST(RunServer, BadCommandLinesAndFilesGiveTheirExitStatus) {
    EXPECT_EQ(run_program({"srv"}), 2);
    EXPECT_EQ(run_program({"srv", "--rate"}), 2);
    EXPECT_EQ(run_program({"srv", "--rate", "0", "x.conf"}), 2);
    EXPECT_EQ(run_program({"srv", "--cycles", "many", "x.conf"}), 2);
    EXPECT_EQ(run_program({"srv", "--colour", "x.conf"}), 2);
    EXPECT_EQ(run_program({"srv", "a.conf", "b.conf"}), 2);
    EXPECT_EQ(run_program({"srv", "--help"}), 0);
    EXPECT_EQ(run_program({"srv", "/nonexistent/x.conf"}), 1);
    EXPECT_TRUE(journal().lines().empty());
}

namespace {
void count_push(void* user, EqData*) {
    static_cast<std::atomic<int>*>(user)->fetch_add(1);
}
}  // namespace

TEST(Server, ConcurrentCallsWhileRunning) {
    TempDir dir;
    velko::ServerOptions opt{standard_config().write(dir.file("srv.conf"))};
    opt.rate_ms_override = 1;
    velko::Server server(opt, hooks());
    ASSERT_EQ(server.start(), 0) << server.error();
    TestLoc* root = loc_of(server, "ROOT");
    std::atomic<int> pushes{0};
    velko::EqCall watcher;
    EqAdr watched;
    watched.adr("TEST.FAC/TEST.DEV/ROOT/GAIN");
    EqData in;
    EqData out;
    watcher.get_monitor(&watched, &in, &out, 1, 1.0f, count_push, &pushes);

    ServerThread thread(server);
    constexpr int kWriters = 3;
    constexpr int kRounds = 200;
    std::vector<std::thread> writers;
    writers.reserve(kWriters);
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([w] {
            velko::EqCall call;
            EqAdr count;
            count.adr("TEST.FAC/TEST.DEV/ROOT/COUNT");
            EqAdr label;
            label.adr("TEST.FAC/TEST.DEV/ROOT/LABEL");
            EqData value;
            EqData result;
            for (int i = 0; i < kRounds; ++i) {
                value.set(w * 1000 + i);
                EXPECT_EQ(call.set(&count, &value, &result), 0);
                value.set(("writer " + std::to_string(w)).c_str());
                EXPECT_EQ(call.set(&label, &value, &result), 0);
                EXPECT_EQ(call.get(&label, &value, &result), 0);
                EXPECT_EQ(result.get_string().rfind("writer ", 0), 0u);
            }
        });
    }
    // Direct writes from another thread publish to the watcher.
    for (int i = 0; i < kRounds; ++i) {
        root->gain.set_value(static_cast<float>(i));
    }
    for (std::thread& t : writers) {
        t.join();
    }
    EXPECT_EQ(pushes.load(), kRounds);
    EXPECT_EQ(root->hist.records().size(), 50u);  // the ring kept its capacity
    EXPECT_EQ(root->count.value() % 1000, kRounds - 1);
}

namespace {

// A port that was free a moment ago (the test binds it again at once).
int free_port() {
    boost::asio::io_context ioc;
    boost::asio::ip::tcp::acceptor a(ioc, {boost::asio::ip::make_address("127.0.0.1"), 0});
    return a.local_endpoint().port();
}

ConfigWriter networked_config(int port) {
    ConfigWriter w;
    w.rate(5)
        .port(port)
        .line("token_file token.txt")
        .line("max_subscriptions 5")
        .line("call_timeout 2000")
        .location("SUB", 101, "sub_kind")
        .property("COUNT", "3");
    return w;
}

}  // namespace

TEST(Server, NetworkServiceServesTheLocationsUntilFinish) {
    TempDir dir;
    testsupport::write_file(dir.file("token.txt"), "  tok3n\n");
    const std::string file = networked_config(free_port()).write(dir.file("srv.conf"));
    velko::Server server({file}, hooks());
    ASSERT_EQ(server.start(), 0) << server.error();
    ASSERT_GT(server.port(), 0);
    const std::string count = "/v1/property/TEST.FAC/TEST.DEV/SUB/COUNT";
    testsupport::TestHttp client(server.port());
    EXPECT_EQ(client.request("GET", count).json["value"], 3);
    EXPECT_EQ(client.request("PUT", count, R"({"text":"4"})").status, 401);
    EXPECT_EQ(client.request("PUT", count, R"({"text":"4"})", {{"Authorization", "Bearer tok3n"}}).status, 200);
    EXPECT_EQ(loc_of(server, "SUB")->count.value(), 4);
    server.run_cycles(2);
    testsupport::HttpAnswer info = client.request("GET", "/v1/server");
    EXPECT_EQ(info.json["cycles"], 2);
    EXPECT_EQ(info.json["rate_ms"], 5);

    ASSERT_EQ(server.save_config(), 0) << server.error();
    const std::string saved = read_file(file);
    EXPECT_NE(saved.find("\ntoken_file token.txt\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("\nmax_subscriptions 5\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("\ncall_timeout 2000\n"), std::string::npos) << saved;
    EXPECT_EQ(saved.find("max_connections"), std::string::npos) << saved;  // defaults stay unwritten

    const int port = server.port();
    EXPECT_EQ(server.finish(), 0);
    EXPECT_EQ(server.port(), 0);
    EXPECT_EQ(testsupport::TestHttp(port).request("GET", count).status, 0);  // nobody listens
}

TEST(Server, NetworkStartFailuresStopTheStartWithASentence) {
    TempDir dir;
    boost::asio::io_context ioc;
    boost::asio::ip::tcp::acceptor taken(ioc, {boost::asio::ip::make_address("127.0.0.1"), 0});
    const int port = taken.local_endpoint().port();
    testsupport::write_file(dir.file("token.txt"), "tok3n");
    const std::string file = networked_config(port).write(dir.file("srv.conf"));
    velko::Server server({file}, hooks());
    EXPECT_EQ(server.start(), 1);
    EXPECT_EQ(server.error().rfind(
                  "The server TEST.FAC/TEST.DEV cannot listen on 127.0.0.1:" + std::to_string(port) + ": ", 0),
              0u)
        << server.error();
    EXPECT_TRUE(server.locations().empty());

    testsupport::write_file(dir.file("token.txt"), " \n");
    velko::Server no_token({networked_config(free_port()).write(dir.file("other.conf"))}, hooks());
    EXPECT_EQ(no_token.start(), 1);
    EXPECT_NE(no_token.error().find("token.txt holds no token."), std::string::npos) << no_token.error();

    // Without a port too: the machines' writes to other servers need the token.
    ConfigWriter offline_config;
    offline_config.line("token_file missing.txt").location("SUB", 101, "sub_kind");
    velko::Server offline({offline_config.write(dir.file("offline.conf"))}, hooks());
    EXPECT_EQ(offline.start(), 1);
    EXPECT_NE(offline.error().find("missing.txt cannot be read"), std::string::npos) << offline.error();
}
