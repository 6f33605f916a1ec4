// Signals that reach a server program at any moment of its life, from start-up to the save at
// exit, are handled by the server, never by their default action (which would end the process).
#include <gtest/gtest.h>

#include <string>

#include "child_process.h"
#include "velko_test.h"

namespace {

struct Moment {
    const char* at;         // SIGNALSERVER_AT: when the program signals itself
    const char* usr1_seen;  // what its SIGUSR1 hook printed
};

}  // namespace

TEST(ServerSignals, DuringStartUpAndTheSaveAtExitTheyAreHandled) {
    // At start-up the SIGUSR1 reaches the locations in the first cycle and the SIGINT ends the run
    // after it; at the save both come too late for the loop and are simply kept.
    for (const Moment& m : {Moment{"start", "usr1\n"}, Moment{"save", ""}}) {
        testsupport::TempDir dir;
        const std::string conf = testsupport::ConfigWriter("SIG.FAC", "SIG.DEV")
                                     .location("L", 1, "plain")
                                     .property("LABEL", "\"kept\"")
                                     .write(dir.file("sig.conf"));
        testsupport::ChildOutcome run = testsupport::run_program(
            {SIGNALSERVER_PROGRAM, "--rate", "1", "--cycles", "3", conf}, {std::string("SIGNALSERVER_AT=") + m.at});
        EXPECT_EQ(run.status, 0) << m.at << ": " << run.err;
        EXPECT_EQ(run.out.substr(run.out.find('\n') + 1), m.usr1_seen) << m.at;
        EXPECT_NE(testsupport::read_file(conf).find("LABEL \"kept\""), std::string::npos) << m.at;
        EXPECT_TRUE(testsupport::file_exists(conf + ".bak")) << m.at;  // the save at exit happened
    }
}
