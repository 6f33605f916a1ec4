#include "child_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "journal.h"
#include "velko_test.h"

extern char** environ;

namespace testsupport {

namespace {

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> out;
    for (auto& t : texts) {
        out.push_back(t.data());
    }
    out.push_back(nullptr);
    return out;
}

}  // namespace

pid_t spawn_program(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env,
                    const std::string& out_file, const std::string& err_file) {
    std::vector<std::string> env_text = extra_env;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry(*e);
        bool replaced = false;
        for (const auto& extra : extra_env) {
            replaced = replaced || entry.compare(0, extra.find('=') + 1, extra, 0, extra.find('=') + 1) == 0;
        }
        if (!replaced) {
            env_text.push_back(entry);
        }
    }
    std::vector<std::string> argv_text = argv;
    std::vector<char*> env = pointers(env_text);
    std::vector<char*> args = pointers(argv_text);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&files, 2, err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, args[0], &files, nullptr, args.data(), env.data());
    posix_spawn_file_actions_destroy(&files);
    EXPECT_EQ(rc, 0) << "cannot start " << argv[0];
    return rc == 0 ? pid : -1;
}

ChildOutcome wait_program(pid_t pid, const std::string& out_file, const std::string& err_file,
                          std::chrono::seconds bound) {
    ChildOutcome r;
    int status = 0;
    if (pid > 0) {
        if (!poll_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, bound)) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << "a program did not end in time";
        }
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    r.out = read_file(out_file);
    r.err = read_file(err_file);
    return r;
}

ChildOutcome run_program(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env,
                         std::chrono::seconds bound) {
    TempDir dir;
    pid_t pid = spawn_program(argv, extra_env, dir.file("out"), dir.file("err"));
    return wait_program(pid, dir.file("out"), dir.file("err"), bound);
}

int free_loopback_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return 0;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    close(fd);
    return port;
}

ChildProcess::~ChildProcess() {
    kill(SIGKILL);
}

bool ChildProcess::start(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env,
                         const std::string& out_file, const std::string& err_file) {
    pid_ = spawn_program(argv, extra_env, out_file, err_file);
    return pid_ > 0;
}

void ChildProcess::kill(int sig) {
    if (pid_ <= 0) {
        return;
    }
    ::kill(pid_, sig);
    if (sig == SIGKILL) {
        wait(std::chrono::seconds(30));
    }
}

int ChildProcess::wait(std::chrono::milliseconds bound) {
    int status = 0;
    if (pid_ <= 0 || !poll_until([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, bound)) {
        return -1;
    }
    pid_ = -1;
    return status;
}

}  // namespace testsupport
