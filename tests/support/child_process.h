// Running other programs from tests (the velko command, example servers): output into files,
// every wait bounded.
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

}  // namespace testsupport
