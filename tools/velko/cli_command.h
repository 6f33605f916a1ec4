// The command-line client's subcommands: their options and how each one runs.
#pragma once

#include <signal.h>

#include <string>
#include <vector>

#include "net_client.h"

namespace velko::cli {

struct Options {
    std::vector<std::string> addresses;
    std::string value;        // set: the value text (or JSON with json)
    double wait_s = 3.0;      // -w: time-out of each call, seconds
    bool value_only = false;  // -t
    bool json = false;        // --json
    std::string token_file;
    std::string directory;
    long count = 0;     // monitor -n: stop after this many values (0: until interrupted)
    std::string since;  // history --since / --until: unix seconds or YYYY-MM-DDTHH:MM:SS
    std::string until;
    bool dot = false;     // describe --dot
    bool scxml = false;   // describe --scxml
    bool follow = false;  // trace -f
};

// Each returns the exit status: 0, or 1 after printing one line "velko: ADDRESS: sentence".
int run_get(const Options& o);
int run_set(const Options& o);
int run_names(const Options& o);
int run_history(const Options& o);
int run_monitor(const Options& o);
int run_describe(const Options& o);
int run_trace(const Options& o);

// Shared by the subcommands.
// "velko: ADDRESS: sentence" on standard error; returns 1.
int fail(const std::string& address, const std::string& sentence);
// The client settings of o; false after reporting a token file that cannot be read.
bool make_settings(const Options& o, ClientSettings* out);
// Parses text as an address of four parts (three for names, where "*" lists locations).
bool parse_address(const std::string& text, bool names, EqAdr* adr);
// Parses text as FACILITY/DEVICE/LOCATION.
bool parse_location(const std::string& text, EqAdr* adr);
// SIGINT and SIGTERM blocked on this thread (and the threads it starts), to be taken with
// interrupted().
sigset_t block_stop_signals();
// True when SIGINT or SIGTERM arrived.
bool interrupted(const sigset_t& stops);

}  // namespace velko::cli
