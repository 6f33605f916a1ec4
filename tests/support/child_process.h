// Running other programs from tests (the velko command, servers started and killed by the test):
// output into files, every wait bounded; loopback ports chosen free at run time.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace testsupport {

struct ChildOutcome {
    int status = -1;  // exit status, or -1 when the program did not exit normally
    std::string out;
    std::string err;
};

// Starts argv[0] with argv, the environment plus extra_env ("NAME=value", replacing the same
// names), standard output and error written to out_file and err_file. Fails the test when the
// program cannot be started (and returns -1).
pid_t spawn_program(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env,
                    const std::string& out_file, const std::string& err_file);
// Waits at most bound for pid to end (then kills it and fails the test) and reads its output.
ChildOutcome wait_program(pid_t pid, const std::string& out_file, const std::string& err_file,
                          std::chrono::seconds bound = std::chrono::seconds(30));

// Runs a program to completion with the extra environment (output through temporary files).
ChildOutcome run_program(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env = {},
                         std::chrono::seconds bound = std::chrono::seconds(30));

// A loopback TCP port that was free a moment ago (bound to 127.0.0.1 port 0, then released).
int free_loopback_port();

// A program running beside the test, its standard output and error in out_file and err_file.
// The destructor kills it (SIGKILL) and reaps it, so no test leaves a process behind.
class ChildProcess {
  public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool start(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env,
               const std::string& out_file, const std::string& err_file);
    // Sends sig; SIGKILL also waits for the end.
    void kill(int sig);
    // Waits up to bound for the program to end: its wait status, or -1 when it still runs.
    int wait(std::chrono::milliseconds bound);

  private:
    pid_t pid_ = -1;
};

}  // namespace testsupport
