// Helpers shared by the test suites (library test_support; links velko and gtest only). For
// waiting on other threads see journal.h (Journal, poll_until).
//   TempDir        a fresh directory under $TMPDIR (or /tmp), removed with its contents at the end.
//   read_file, write_file, file_exists   whole-file helpers for checking what code wrote.
//   ConfigWriter   builds a server configuration file (format in docs/server.md).
//   ServerThread   runs velko::Server::run() in a thread; stops and joins it when destroyed.
#pragma once

#include <string>
#include <thread>
#include <vector>

namespace velko {
class Server;
}

namespace testsupport {

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // path() + "/" + name
    std::string file(const std::string& name) const;
    // The names in the directory (without "." and ".."), sorted.
    std::vector<std::string> entries() const;

  private:
    std::string path_;
};

// The whole file, or "" when it cannot be read.
std::string read_file(const std::string& path);
// Writes text to path (replacing it); fails the current test when that is not possible.
void write_file(const std::string& path, const std::string& text);
bool file_exists(const std::string& path);

// A server configuration, built line by line:
//   ConfigWriter("FAC", "DEV").rate(10).location("L1", 1, "kind").property("COUNT", "5").write(path);
// Blocks are closed by the next location() or by text()/write().
class ConfigWriter {
  public:
    explicit ConfigWriter(const std::string& facility = "TEST.FAC", const std::string& device = "TEST.DEV");
    ConfigWriter& rate(int ms);
    ConfigWriter& port(int port);
    // Starts the block of a location.
    ConfigWriter& location(const std::string& name, int eq_code, const std::string& kind);
    // A property line of the current block: NAME, a blank and the value text as given.
    ConfigWriter& property(const std::string& name, const std::string& value_text);
    // Any line, as given (a comment, a setting, a deliberately broken line).
    ConfigWriter& line(const std::string& raw);
    std::string text() const;
    // Writes text() to path and returns path.
    std::string write(const std::string& path) const;

  private:
    std::vector<std::string> lines_;
    bool in_block_ = false;
};

class ServerThread {
  public:
    explicit ServerThread(velko::Server& server);
    // Stops the server's run() and joins the thread (unless join() was called).
    ~ServerThread();
    ServerThread(const ServerThread&) = delete;
    ServerThread& operator=(const ServerThread&) = delete;
    // Waits for run() to return without stopping it (for runs that end by themselves).
    void join();

  private:
    velko::Server& server_;
    std::thread thread_;
};

}  // namespace testsupport
