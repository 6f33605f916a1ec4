// A server program that sends itself signals at the moments named by SIGNALSERVER_AT:
//   "start"  SIGUSR1 and SIGINT while its location is created (during start-up);
//   "save"   SIGUSR1 and SIGTERM while its configuration is written (during the save at exit).
// It prints "usr1" for every SIGUSR1 that reaches its hooks.
// Usage: signalserver [--rate MS] [--cycles N] CONFIGURATION_FILE
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "velko.h"

namespace {

bool signal_at(const char* moment) {
    const char* at = std::getenv("SIGNALSERVER_AT");
    return at != nullptr && std::strcmp(at, moment) == 0;
}

// A text property whose configuration write is the moment of the "save" signals.
class SignallingText : public D_string {
  public:
    using D_string::D_string;
    void write(std::ostream& out) override {
        if (signal_at("save")) {
            kill(getpid(), SIGUSR1);
            kill(getpid(), SIGTERM);
        }
        D_string::write(out);
    }
};

EqFct* create(int, void*) {
    if (signal_at("start")) {
        kill(getpid(), SIGUSR1);
        kill(getpid(), SIGINT);
    }
    auto* loc = new EqFct("NAME = location");
    new SignallingText("LABEL a text", loc);
    return loc;
}

void usr1(int) {
    std::printf("usr1\n");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    velko::ServerHooks hooks{};
    hooks.eq_create = create;
    hooks.interrupt_usr1_prolog = usr1;
    return velko::run_server(argc, argv, hooks);
}
