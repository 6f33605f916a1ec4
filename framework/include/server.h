// The server program: configuration, start-up through the application's hooks, update cycle.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

class EqFct;

// Name of the kind of the location being created (set before each eq_create call).
extern std::string gbl_fct_name;
// Ring buffer number passed to history booking.
extern int ring_buffer;

// The application's hooks, defined by the application (the state-machine library provides them).
EqFct* eq_create(int eq_code, void* arg);
void eq_init_prolog();
void eq_init_epilog();
void post_init_prolog();
void post_init_epilog();
void refresh_prolog();
void refresh_epilog();
void interrupt_usr1_prolog(int sig);
void interrupt_usr1_epilog(int sig);
void eq_cancel();

namespace velko {

struct ServerHooks {
    EqFct* (*eq_create)(int, void*);
    void (*eq_init_prolog)();
    void (*eq_init_epilog)();
    void (*post_init_prolog)();
    void (*post_init_epilog)();
    void (*refresh_prolog)();
    void (*refresh_epilog)();
    void (*interrupt_usr1_prolog)(int);
    void (*interrupt_usr1_epilog)(int);
    void (*eq_cancel)();
};

// The hooks that the application linked in. Inline so that only programs that call it need them.
inline ServerHooks application_hooks() {
    return {
        &::eq_create,      &::eq_init_prolog, &::eq_init_epilog,        &::post_init_prolog,      &::post_init_epilog,
        &::refresh_prolog, &::refresh_epilog, &::interrupt_usr1_prolog, &::interrupt_usr1_epilog, &::eq_cancel};
}

struct ServerOptions {
    std::string config_file;
    int rate_ms_override = 0;  // 0: use the configured rate
    long max_cycles = 0;       // run() returns after this many cycles (0: no limit)
    int port_override = -1;    // -1: use the configured port of the network service
    // run() ends on SIGINT/SIGTERM and passes SIGUSR1 to the locations. The handlers are installed
    // by start() and kept until the server is destroyed, so signals during start-up and the save at
    // exit are kept for the update loop rather than ending the process.
    bool handle_signals = false;
};

// One server: its configuration, its locations and its update cycle.
// Locations are never deleted: engine threads of the application may use them until the process
// ends. They stay reachable through velko::LocationDirectory.
class Server {
  public:
    // Null hooks other than eq_create are skipped.
    explicit Server(ServerOptions options, ServerHooks hooks);
    // Calls finish() when the server was started and not finished.
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Reads the configuration, starts every location and, when a port is configured, the network
    // service. Returns 0, or 1 with error() set; a server that failed to start has no locations.
    int start();
    // Runs update cycles at the rate until stop() (or SIGINT/SIGTERM with handle_signals, or
    // max_cycles). Returns at once when the server did not start.
    void run();
    // Runs exactly n update cycles without waiting between them (for tests and tools).
    void run_cycles(int n);
    // Makes run() return after the current cycle. Safe from any thread.
    void stop();
    // Saves the configuration atomically (temporary file, flush, rename, one backup). 0, or 1
    // with error() set; the previous file is then untouched.
    int save_config();
    // Ends the server: stops the network service, saves the configuration, calls each location's cancel() and the
    // eq_cancel hook, and stops serving the locations by address. Returns the result of the save. Only the first call
    // does anything.
    int finish();

    const std::string& error() const;
    const std::string& facility() const;
    const std::string& device() const;
    int rate_ms() const;
    const std::vector<EqFct*>& locations() const;
    EqFct* find_location(const std::string& name) const;
    long cycles() const;
    // The port the network service listens on (0 when it does not run).
    int port() const;
    // The slots of the futex hash table that start() obtained for the process's threads, or 0 when
    // the process keeps the kernel's default table.
    long futex_hash_slots() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// For the application's hooks: makes the start of the server that calls them fail with `why`, a
// full sentence (the application could not start its work, e.g. its threads). start() then
// returns 1 with error() set to the first such report, and run_server exits with status 1.
void fail_start(const std::string& why);

// The event_queue_limit setting of the server started in this process (its default before one
// starts): how many events each event queue of the application may hold.
int event_queue_limit();

// The whole server program: parses argv ([--rate MS] [--cycles N] [--port N] CONFIG_FILE), starts, runs
// until SIGINT or SIGTERM (or N cycles), saves the configuration. Returns the process exit status:
// 0, 1 when the server could not start or save, 2 for a bad command line.
int run_server(int argc, char** argv, const ServerHooks& hooks);

}  // namespace velko
