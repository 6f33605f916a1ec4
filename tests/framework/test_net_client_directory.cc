// The directory file of the network client: parsing good and bad lines, reading again on change.
#include <gtest/gtest.h>

#include <filesystem>

#include "net/directory_file.h"
#include "velko_test.h"

using velko::net::DirectoryContents;
using velko::net::parse_directory;

TEST(DirectoryFile, ParsesServerLinesAndReportsBadOnesWithFileAndLine) {
    struct Case {
        const char* line;
        const char* device;  // the device the line serves, or null when the line is bad or empty
        const char* endpoint;
        const char* problem;  // start of the problem reported for line 2
    };
    // clang-format off
    const Case cases[] = {
        {"FAC/DEV 127.0.0.1:5000",            "FAC/DEV", "127.0.0.1:5000", nullptr},
        {"  FAC/DEV\thost.example:1   ",      "FAC/DEV", "host.example:1", nullptr},
        {"FAC/DEV localhost:65535 # main",    "FAC/DEV", "localhost:65535", nullptr},
        {"FAC/DEV [::1]:7000",                "FAC/DEV", "[::1]:7000", nullptr},
        {"# FAC/DEV 127.0.0.1:5000",          nullptr, nullptr, nullptr},
        {"   ",                               nullptr, nullptr, nullptr},
        {"FAC/DEV 127.0.0.1:0",               nullptr, nullptr, "dir:2: the port \"0\" is not a number from 1 to 65535."},
        {"FAC/DEV 127.0.0.1:65536",           nullptr, nullptr, "dir:2: the port \"65536\""},
        {"FAC/DEV 127.0.0.1:50x",             nullptr, nullptr, "dir:2: the port \"50x\""},
        {"FAC/DEV 127.0.0.1",                 nullptr, nullptr, "dir:2: \"127.0.0.1\" is not HOST:PORT."},
        {"FAC/DEV :5000",                     nullptr, nullptr, "dir:2: \":5000\" names no host."},
        {"FAC/DEV [::1:5000",                 nullptr, nullptr, "dir:2: \"[::1:5000\" is not HOST:PORT"},
        {"FACDEV 127.0.0.1:5000",             nullptr, nullptr, "dir:2: expected \"FACILITY/DEVICE HOST:PORT\", not \"FACDEV 127.0.0.1:5000\"."},
        {"FAC/DEV/LOC 127.0.0.1:5000",        nullptr, nullptr, "dir:2: expected"},
        {"/DEV 127.0.0.1:5000",               nullptr, nullptr, "dir:2: expected"},
        {"FAC/DEV 127.0.0.1:5000 extra",      nullptr, nullptr, "dir:2: expected"},
        {"FAC/DEV",                           nullptr, nullptr, "dir:2: expected"},
    };
    // clang-format on
    for (const Case& c : cases) {
        // Line 1 is always good, so a bad line 2 never hides it.
        DirectoryContents d = parse_directory(std::string("OTHER/ONE 127.0.0.3:80\n") + c.line + "\n", "dir");
        ASSERT_EQ(d.servers.count("OTHER/ONE"), 1u) << c.line;
        EXPECT_EQ(d.servers.size(), c.device ? 2u : 1u) << c.line;
        if (c.device) {
            ASSERT_EQ(d.servers.count(c.device), 1u) << c.line;
            EXPECT_EQ(d.servers.at(c.device).text(), c.endpoint) << c.line;
        }
        if (c.problem) {
            ASSERT_EQ(d.problems.size(), 1u) << c.line;
            EXPECT_EQ(d.problems[0].rfind(c.problem, 0), 0u) << d.problems[0];
        } else {
            EXPECT_TRUE(d.problems.empty()) << c.line << ": " << d.problems[0];
        }
    }
}

TEST(DirectoryFile, FirstLineOfADeviceWinsAndLaterOnesAreReported) {
    DirectoryContents d = parse_directory("A/B h1:1\r\nA/B h2:2\nC/D h3:3", "f.dir");
    ASSERT_EQ(d.servers.size(), 2u);
    EXPECT_EQ(d.servers.at("A/B").text(), "h1:1");
    EXPECT_EQ(d.servers.at("C/D").port, 3);  // a last line without a newline counts
    ASSERT_EQ(d.problems.size(), 1u);
    EXPECT_EQ(d.problems[0], "f.dir:2: A/B is already listed on line 1; this line is ignored.");
}

TEST(DirectoryFile, LookupReadsTheFileAgainWhenItChanges) {
    testsupport::TempDir dir;
    std::string path = dir.file("servers");
    velko::net::DirectoryFile file;
    velko::net::ServerEndpoint ep;
    std::string why;
    EXPECT_FALSE(file.lookup(path, "FAC", "DEV", &ep, &why));
    EXPECT_EQ(why, "the directory file " + path + " cannot be read: No such file or directory.");

    testsupport::write_file(path, "FAC/DEV 127.0.0.1:4000\nbroken line here\n");
    ASSERT_TRUE(file.lookup(path, "FAC", "DEV", &ep, &why)) << why;
    EXPECT_EQ(ep.text(), "127.0.0.1:4000");
    EXPECT_FALSE(file.lookup(path, "FAC", "NEW", &ep, &why));
    EXPECT_EQ(why, "the directory file " + path + " does not list it. A line of that file is not valid: " + path +
                       ":2: expected \"FACILITY/DEVICE HOST:PORT\", not \"broken line here\".");

    // A change of the file (here its size; its time stamp may not move within one clock tick) is seen.
    testsupport::write_file(path, "FAC/DEV 127.0.0.1:4001\nFAC/NEW 127.0.0.1:4002\n");
    ASSERT_TRUE(file.lookup(path, "FAC", "NEW", &ep, &why)) << why;
    EXPECT_EQ(ep.port, 4002);
    // Same size, later time stamp.
    testsupport::write_file(path, "FAC/DEV 127.0.0.1:4009\nFAC/NEW 127.0.0.1:4002\n");
    auto later = std::filesystem::last_write_time(path) + std::chrono::seconds(2);
    std::filesystem::last_write_time(path, later);
    ASSERT_TRUE(file.lookup(path, "FAC", "DEV", &ep, &why)) << why;
    EXPECT_EQ(ep.port, 4009);
}
