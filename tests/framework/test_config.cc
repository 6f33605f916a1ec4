// The configuration file reader: settings, location blocks, records, comments and every fault
// reported with file and line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "config.h"
#include "velko_test.h"
#include "velko_types.h"

using testsupport::TempDir;

namespace {

ServerConfig parse_ok(const std::string& text) {
    ServerConfig cfg;
    std::string error;
    EXPECT_EQ(velko::parse_config_text(text, "srv.conf", &cfg, &error), 0) << error;
    return cfg;
}

std::string parse_error(const std::string& text) {
    ServerConfig cfg;
    std::string error;
    EXPECT_EQ(velko::parse_config_text(text, "srv.conf", &cfg, &error), 1);
    EXPECT_TRUE(cfg.locations.empty());
    return error;
}

}  // namespace

TEST(ConfigFile, ReadsSettingsLocationsAndPropertyLines) {
    ServerConfig cfg = parse_ok(
        "# demo server\n"
        "facility FAC\n"
        "device DEV\n"
        "rate 250\n"
        "port 8080\n"
        "directory \"/tmp/my dir/velko.dir\"\n"
        "archive arch\n"
        "\n"
        "location ROOT 100 demo_root {\n"
        "  FSM \"demo\"\n"
        "  # the description\n"
        "  DESCR   A demonstration machine  \n"
        "  FLOW_1 \t0 0.5 2 1000 \"IDLE : waiting\"\n"
        "}\n"
        "location SUB 101 \"\" {\n"
        "}\n");
    EXPECT_EQ(cfg.facility, "FAC");
    EXPECT_EQ(cfg.device, "DEV");
    EXPECT_EQ(cfg.rate_ms, 250);
    EXPECT_EQ(cfg.port, 8080);
    EXPECT_EQ(cfg.directory, "/tmp/my dir/velko.dir");
    EXPECT_EQ(cfg.archive_dir, "arch");
    ASSERT_EQ(cfg.comments.size(), 1u);
    ASSERT_EQ(cfg.locations.size(), 2u);

    const LocationConfig& root = cfg.locations[0];
    EXPECT_EQ(root.name, "ROOT");
    EXPECT_EQ(root.eq_code, 100);
    EXPECT_EQ(root.kind, "demo_root");
    EXPECT_EQ(root.line, 9);
    ASSERT_EQ(root.records.size(), 3u);
    EXPECT_EQ(root.records[0].name, "FSM");
    EXPECT_EQ(root.records[0].text, "\"demo\"");
    EXPECT_FALSE(root.records[0].has_record);
    EXPECT_EQ(root.records[1].text, "A demonstration machine");
    EXPECT_EQ(root.records[1].line, 12);
    EXPECT_EQ(root.records[1].file, "srv.conf");
    ASSERT_EQ(root.records[1].comments.size(), 1u);
    EXPECT_EQ(root.records[1].comments[0], "# the description");

    const ConfigRecord& flow = root.records[2];
    EXPECT_TRUE(flow.has_record);
    EXPECT_EQ(flow.i1_data, 0);
    EXPECT_FLOAT_EQ(flow.f1_data, 0.5f);
    EXPECT_FLOAT_EQ(flow.f2_data, 2.0f);
    EXPECT_EQ(flow.tm, 1000);
    EXPECT_EQ(flow.str, "IDLE : waiting");

    EXPECT_EQ(cfg.locations[1].kind, "");
    EXPECT_TRUE(cfg.locations[1].records.empty());
}

TEST(ConfigFile, DefaultsAndLineEndings) {
    ServerConfig cfg = parse_ok("facility F\r\ndevice D\r\nlocation L 1 k {\r\nX 5\r\n}\r\n");
    EXPECT_EQ(cfg.rate_ms, 1000);
    EXPECT_EQ(cfg.port, 0);
    EXPECT_TRUE(cfg.directory.empty());
    EXPECT_EQ(cfg.listen, "127.0.0.1");
    EXPECT_TRUE(cfg.token_file.empty());
    EXPECT_EQ(cfg.call_timeout_ms, 3000);
    EXPECT_EQ(cfg.max_connections, 256);
    EXPECT_EQ(cfg.max_request_bytes, 1048576);
    EXPECT_EQ(cfg.request_timeout_ms, 10000);
    EXPECT_EQ(cfg.idle_timeout_ms, 60000);
    EXPECT_EQ(cfg.max_subscriptions, 1024);
    EXPECT_EQ(cfg.event_queue_limit, 1000000);
    ASSERT_EQ(cfg.locations.size(), 1u);
    EXPECT_EQ(cfg.locations[0].records[0].text, "5");
}

TEST(ConfigFile, FaultsNameFileAndLine) {
    const std::string head = "facility F\ndevice D\n";
    EXPECT_EQ(parse_error(head + "colour blue\n"),
              "srv.conf:3: \"colour\" is not a setting; expected facility, device, rate, port, listen, token_file, "
              "directory, archive, call_timeout, max_connections, max_request_bytes, request_timeout, idle_timeout, "
              "max_subscriptions, event_queue_limit or location.");
    EXPECT_EQ(parse_error(head + "max_connections 0\n"),
              "srv.conf:3: the setting max_connections must be a number from 1 to 100000, not \"0\".");
    EXPECT_EQ(parse_error(head + "event_queue_limit 0\n"),
              "srv.conf:3: the setting event_queue_limit must be a number from 1 to 100000000, not \"0\".");
    EXPECT_NE(parse_error(head + "request_timeout soon\n").find("srv.conf:3: the setting request_timeout"),
              std::string::npos);
    EXPECT_NE(parse_error(head + "idle_timeout 5\nidle_timeout 6\n").find("srv.conf:4: \"idle_timeout\" is set twice"),
              std::string::npos);
    EXPECT_NE(parse_error(head + "listen 127.0.0.2 5\n").find("srv.conf:3: the listen setting"), std::string::npos);
    EXPECT_NE(parse_error(head + "rate 0\n").find("srv.conf:3: the rate"), std::string::npos);
    EXPECT_NE(parse_error(head + "rate fast\n").find("srv.conf:3:"), std::string::npos);
    EXPECT_NE(parse_error(head + "port 70000\n").find("srv.conf:3: the port"), std::string::npos);
    EXPECT_NE(parse_error(head + "location L 1 kind\n").find("srv.conf:3: a location block must start"),
              std::string::npos);
    EXPECT_NE(parse_error(head + "location L x kind {\n}\n").find("equipment code of location L"), std::string::npos);
    EXPECT_NE(parse_error(head + "location A/B 1 k {\n}\n").find("srv.conf:3:"), std::string::npos);
    EXPECT_NE(parse_error(head + "location * 1 k {\n}\n").find("srv.conf:3:"), std::string::npos);
    EXPECT_EQ(parse_error(head + "location L 1 k {\nX 1\n"),
              "srv.conf:3: the block of location L is not closed with a line \"}\".");
    EXPECT_EQ(parse_error(head + "location L 1 k {\n}\nlocation L 2 k {\n}\n"),
              "srv.conf:5: location L is configured twice (first at line 3).");
    EXPECT_EQ(parse_error(head + "location L 1 k {\nX 1\nX 2\n}\n"),
              "srv.conf:5: property X of location L is configured twice (first at line 4).");
    EXPECT_NE(parse_error("facility F\nfacility G\ndevice D\n").find("srv.conf:2: \"facility\" is set twice"),
              std::string::npos);
    EXPECT_EQ(parse_error("device D\n"), "srv.conf: the facility is not set (add a line \"facility NAME\").");
    EXPECT_EQ(parse_error("facility F\n"), "srv.conf: the device is not set (add a line \"device NAME\").");
    EXPECT_NE(parse_error("facility F/G\ndevice D\n").find("srv.conf:1:"), std::string::npos);
}

// Files that operators get wrong or that are not configuration files at all: each is refused with
// one short, printable message that names the file and the line.
TEST(ConfigFile, HostileTextsAreRefusedNamingTheLine) {
    using namespace std::string_literals;
    const std::string head = "facility F\ndevice D\n";
    const std::string huge(1 << 20, 'x');
    struct Case {
        std::string text;
        std::string error;
    };
    // clang-format off
    const Case cases[] = {
        {"facility F\0X\ndevice D\n"s,                 "srv.conf:1: the line holds a NUL byte, which a configuration file never does."},
        {head + "# a \0 in a comment\n"s,              "srv.conf:3: the line holds a NUL byte, which a configuration file never does."},
        {head + "location L 1 k {\nX \"a\0b\"\n}\n"s, "srv.conf:4: the line holds a NUL byte, which a configuration file never does."},
        {"facility F\x01\ndevice D\n",                "srv.conf:1: the facility must be one word without '/' or control characters, not \"F\\x01\"."},
        {"facility F\ndevice D\x1b[2J\n",             "srv.conf:2: the device must be one word without '/' or control characters, not \"D\\x1b[2J\"."},
        {head + "location L\x7f 1 k {\n}\n",          "srv.conf:3: the location name \"L\\x7f\" is not allowed (no '/', no control characters, not \"*\")."},
        {head + "location L 1 k\x02 {\n}\n",          "srv.conf:3: the kind \"k\\x02\" of location L holds control characters."},
        {head + "location L 1 k {\nX\x03 1\n}\n",     "srv.conf:4: the property name \"X\\x03\" of location L holds '/' or control characters."},
        {head + "location L 1 k {\nA/B 1\n}\n",        "srv.conf:4: the property name \"A/B\" of location L holds '/' or control characters."},
        // An unclosed block followed by another: the unclosed block is named, with its line.
        {head + "location STATION 100 s {\nFSM x\nlocation PUMP 101 p {\n}\n",
         "srv.conf:3: the block of location STATION is not closed with a line \"}\" before the next block (line 5)."},
        // A lone CR ends a line: the fault is on line 3, not in one long first line.
        {"facility F\rdevice D\rcolour blue\r",       "srv.conf:3: \"colour\" is not a setting; expected facility, device, rate, port, listen, "
                                                     "token_file, directory, archive, call_timeout, max_connections, max_request_bytes, "
                                                     "request_timeout, idle_timeout, max_subscriptions, event_queue_limit or location."},
        // Long or binary values are quoted as a short printable excerpt.
        {head + "rate " + huge + "\n",                 "srv.conf:3: the rate must be a number of milliseconds above 0, not \"" +
                                                     std::string(40, 'x') + "...\"."},
        {head + "port 1\x01\x02\n",                    "srv.conf:3: the port must be a number from 0 to 65535, not \"1\\x01\\x02\"."},
        {head + huge + "\n",                           "srv.conf:3: \"" + std::string(40, 'x') + "...\" is not a setting; expected facility, device, "
                                                     "rate, port, listen, token_file, directory, archive, call_timeout, max_connections, "
                                                     "max_request_bytes, request_timeout, idle_timeout, max_subscriptions, event_queue_limit "
                                                     "or location."},
    };
    // clang-format on
    for (const Case& c : cases) {
        EXPECT_EQ(parse_error(c.text), c.error);
    }
    // A value is quoted the same way when it does not fit its declared type; a cut never splits a
    // UTF-8 character.
    EXPECT_EQ(velko::check_config_value(DATA_INT, huge), "\"" + std::string(40, 'x') + "...\" is not an integer");
    EXPECT_EQ(velko::check_config_value(DATA_INT, std::string(39, '1') + "\xc3\xa9"),
              "\"" + std::string(39, '1') + "...\" is not an integer");
}

TEST(ConfigFile, LineEndsMayBeLfCrLfOrCrAlone) {
    ServerConfig cfg = parse_ok("facility F\rdevice D\r\nlocation L 1 k {\rX 5\n\r\rY 6\r}\r");
    ASSERT_EQ(cfg.locations.size(), 1u);
    ASSERT_EQ(cfg.locations[0].records.size(), 2u);
    EXPECT_EQ(cfg.locations[0].records[0].text, "5");
    EXPECT_EQ(cfg.locations[0].records[0].line, 4);
    EXPECT_EQ(cfg.locations[0].records[1].line, 7);  // "\n\r\r" ends three lines
}

TEST(ConfigFile, OnlyRegularFilesOfAtMost64MiBAreRead) {
    TempDir dir;
    ServerConfig cfg;
    std::string error;
    // A FIFO without a writer would block the start for ever; a device would never end.
    ASSERT_EQ(mkfifo(dir.file("fifo.conf").c_str(), 0600), 0);
    EXPECT_EQ(velko::read_config_file(dir.file("fifo.conf"), &cfg, &error), 1);
    EXPECT_EQ(error, "Cannot read the configuration file " + dir.file("fifo.conf") + ": it is not a regular file.");
    EXPECT_EQ(velko::read_config_file("/dev/zero", &cfg, &error), 1);
    EXPECT_EQ(error, "Cannot read the configuration file /dev/zero: it is not a regular file.");
    // A sparse file just over the limit costs no disk space.
    const std::string big = dir.file("big.conf");
    testsupport::write_file(big, "facility F\ndevice D\n# ");
    ASSERT_EQ(truncate(big.c_str(), (off_t{64} << 20) + 1), 0);
    EXPECT_EQ(velko::read_config_file(big, &cfg, &error), 1);
    EXPECT_EQ(error, "Cannot read the configuration file " + big + ": it is larger than 64 MiB.");
    ASSERT_EQ(truncate(big.c_str(), off_t{64} << 20), 0);  // at the limit it is read (and refused for its NULs)
    EXPECT_EQ(velko::read_config_file(big, &cfg, &error), 1);
    EXPECT_EQ(error, big + ":3: the line holds a NUL byte, which a configuration file never does.");
}

TEST(ConfigFile, CommentsStayWithTheLinesTheyPrecede) {
    ServerConfig cfg =
        parse_ok("# top\nfacility F\ndevice D\n# about L\nlocation L 1 k {\n# about X\nX 1\n# end of L\n}\n# tail\n");
    EXPECT_EQ(cfg.comments, std::vector<std::string>{"# top"});
    ASSERT_EQ(cfg.locations.size(), 1u);
    EXPECT_EQ(cfg.locations[0].comments, std::vector<std::string>{"# about L"});
    EXPECT_EQ(cfg.locations[0].records[0].comments, std::vector<std::string>{"# about X"});
    EXPECT_EQ(cfg.locations[0].trailing_comments, std::vector<std::string>{"# end of L"});
    EXPECT_EQ(cfg.trailing_comments, std::vector<std::string>{"# tail"});
}

TEST(ConfigFile, MissingFileAndDirectoryAreNamed) {
    TempDir dir;
    ServerConfig cfg;
    std::string error;
    EXPECT_EQ(velko::read_config_file(dir.file("none.conf"), &cfg, &error), 1);
    EXPECT_EQ(error, "Cannot read the configuration file " + dir.file("none.conf") + ": No such file or directory.");
    EXPECT_EQ(velko::read_config_file(dir.path(), &cfg, &error), 1);
    EXPECT_EQ(error, "Cannot read the configuration file " + dir.path() + ": it is a directory.");

    testsupport::write_file(dir.file("ok.conf"), "facility F\ndevice D\nlocation L 1 k {\n}\n");
    EXPECT_EQ(velko::read_config_file(dir.file("ok.conf"), &cfg, &error), 0) << error;
    EXPECT_EQ(cfg.file, dir.file("ok.conf"));
    EXPECT_EQ(cfg.locations.size(), 1u);
}

TEST(ConfigRecordForm, AcceptsOnlyFourNumbersAndAQuotedText) {
    ConfigRecord rec;
    rec.text = "3 1.5 -2 99 \"a \"quoted\" text\"";
    velko::parse_config_record(&rec);
    EXPECT_TRUE(rec.has_record);
    EXPECT_EQ(rec.i1_data, 3);
    EXPECT_EQ(rec.tm, 99);
    EXPECT_EQ(rec.str, "a \"quoted\" text");

    for (const char* bad : {"3 1.5 -2 \"x\"", "3 1.5 -2 99 x", "3 1.5 -2 99 \"x\" y", "a 1 2 3 \"x\"", "\"x\"", ""}) {
        ConfigRecord r;
        r.text = bad;
        r.has_record = true;
        velko::parse_config_record(&r);
        EXPECT_FALSE(r.has_record) << bad;
    }
}

TEST(ConfigValues, ChecksByDeclaredType) {
    EXPECT_EQ(velko::check_config_value(DATA_INT, "-12"), "");
    EXPECT_EQ(velko::check_config_value(DATA_INT, "12.5"), "\"12.5\" is not an integer");
    EXPECT_EQ(velko::check_config_value(DATA_INT, "99999999999"), "\"99999999999\" is not an integer");
    EXPECT_EQ(velko::check_config_value(DATA_FLOAT, "1e3"), "");
    EXPECT_EQ(velko::check_config_value(DATA_FLOAT, "one"), "\"one\" is not a number");
    EXPECT_EQ(velko::check_config_value(DATA_IIII, "1 2 3 4"), "");
    EXPECT_EQ(velko::check_config_value(DATA_IIII, "1 2 3"), "\"1 2 3\" is not four integers");
    EXPECT_EQ(velko::check_config_value(DATA_IFFF, "1 2.5 3 4"), "");
    EXPECT_NE(velko::check_config_value(DATA_IFFF, "1.5 2 3 4"), "");
    EXPECT_EQ(velko::check_config_value(DATA_BOOL, "true"), "");
    EXPECT_NE(velko::check_config_value(DATA_BOOL, "yes"), "");
    EXPECT_EQ(velko::check_config_value(DATA_STRING, "bare words"), "");
    EXPECT_EQ(velko::check_config_value(DATA_STRING, "\"open"), "\"\"open\" has no closing quote");
    EXPECT_EQ(velko::check_config_value(DATA_A_USTR, "anything at all"), "");
}

TEST(ConfigValues, NumberFormsAtTheEdges) {
    EXPECT_EQ(velko::check_config_value(DATA_INT, "+12"), "");
    EXPECT_EQ(velko::check_config_value(DATA_INT, "0x10"), "\"0x10\" is not an integer");
    EXPECT_EQ(velko::check_config_value(DATA_FLOAT, "-1e-400"), "");  // below every float: zero
    EXPECT_EQ(velko::check_config_value(DATA_FLOAT, "1e400"), "\"1e400\" is not a number");
    EXPECT_EQ(velko::check_config_value(DATA_FLOAT, "1,5"), "\"1,5\" is not a number");
    EXPECT_EQ(velko::check_config_value(DATA_FLOAT, "1e"), "\"1e\" is not a number");
    EXPECT_NE(velko::check_config_value(DATA_BOOL, "TRUE"), "");
    EXPECT_EQ(velko::check_config_value(DATA_BOOL, "0"), "");

    ConfigRecord rec;
    rec.text = "+3\t2.5e-1  -2 1700000000 \"x\"";
    velko::parse_config_record(&rec);
    ASSERT_TRUE(rec.has_record);
    EXPECT_EQ(rec.i1_data, 3);
    EXPECT_EQ(rec.f1_data, 0.25f);
    EXPECT_EQ(rec.tm, 1700000000);
}

TEST(ConfigValues, QuotingRoundTrips) {
    for (const std::string& t : {std::string(""), std::string("plain"), std::string("with \"quotes\" and \\"),
                                 std::string("two\nlines\tand tab"), std::string("ends with \\")}) {
        std::string q = velko::quote_text(t);
        EXPECT_EQ(q.find('\n'), std::string::npos);
        EXPECT_EQ(velko::unquote_text(q), t) << q;
    }
    EXPECT_EQ(velko::unquote_text("bare \\n text"), "bare \\n text");
    EXPECT_EQ(velko::unquote_text("\"unknown \\q escape\""), "unknown \\q escape");
}
