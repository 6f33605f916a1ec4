// Many machines in one server: start-up time, resident memory per machine, the time of one update
// cycle, CPU per machine per cycle and the pass rate achieved at paced update periods. Each machine
// is a root location with one flow of three states that switch on every tick. Run by hand (see
// bench/run_scale.sh); one server per process, since machines' threads never end.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fsm.h"

node_info* init_list = nullptr;

namespace {

using Clock = std::chrono::steady_clock;

// Counters touched by every machine's event thread.
std::atomic<long> ticks{0};    // transitions fired, one per machine per pass
std::atomic<long> entered{0};  // machines that have entered their first state
std::atomic<long> goal{-1};    // the tick count a waiting cycle measurement expects
std::mutex goal_mux;
std::condition_variable goal_reached;

void count_tick(FSMstate*) {
    if (ticks.fetch_add(1) + 1 == goal.load()) {
        std::lock_guard<std::mutex> lock(goal_mux);
        goal_reached.notify_all();
    }
}

int count_entry(FSMstate*) {
    entered.fetch_add(1);
    return 0;
}

// clang-format off
void build_ticker(EqFSMlocation* loc) {
    FSMsuperstate* root = loc->state_ptr;
    root->add_action("enter", count_entry);
    auto* a = new FSMstate("A", "first", STATE);
    auto* b = new FSMstate("B", "second", STATE);
    auto* c = new FSMstate("C", "third", STATE);
    //                event    guard    action      signal   target   next
    a->add_transition("timer", nullptr, count_tick, nullptr, nullptr, "B");
    b->add_transition("timer", nullptr, count_tick, nullptr, nullptr, "C");
    c->add_transition("timer", nullptr, count_tick, nullptr, nullptr, "A");
    root->add_state(1, a);
    root->add_state(1, b);
    root->add_state(1, c);
}
// clang-format on

std::string machine_name(int i) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "m%06d", i);
    return buf;
}

// One factory record per machine: a root location takes its machine's name from its factory.
std::vector<node_info> factories(int n) {
    std::vector<node_info> chain(n);
    for (int i = 0; i < n; ++i) {
        chain[i].link = i + 1 < n ? &chain[i + 1] : nullptr;
        std::snprintf(chain[i].name, sizeof chain[i].name, "%s", machine_name(i).c_str());
        chain[i].create = build_ticker;
    }
    return chain;
}

std::string write_config(const std::string& dir, int n) {
    std::string path = dir + "/scale.conf";
    std::ofstream out(path);
    out << "facility BENCH\ndevice SCALE\nrate 100\nport 0\n";
    for (int i = 0; i < n; ++i) {
        std::string m = machine_name(i);
        out << "location L" << m << " 100 " << m << " {\n  FSM " << m << "\n}\n";
    }
    return path;
}

long resident_kb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return 0;
}

double cpu_seconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

double ms_since(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// Waits until the machines have fired `target` ticks in all; false after the time-out.
bool wait_ticks(long target, std::chrono::seconds timeout) {
    std::unique_lock<std::mutex> lock(goal_mux);
    goal.store(target);
    return goal_reached.wait_for(lock, timeout, [&] { return ticks.load() >= target; });
}

// Median time of one update cycle run back to back: update every location, wait until every
// machine has finished its pass.
double cycle_ms(velko::Server& server, int n, int count) {
    std::vector<double> times;
    for (int i = 0; i < count; ++i) {
        const long target = ticks.load() + n;
        auto t = Clock::now();
        server.run_cycles(1);
        if (!wait_ticks(target, std::chrono::seconds(60))) {
            return -1;
        }
        times.push_back(ms_since(t));
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

struct Paced {
    double passes_per_s = 0;  // per machine
    double cpu_us = 0;        // per machine per cycle
};

// Updates every period_ms for about `seconds`, the way the server's own loop paces its cycles (a
// late cycle is not made up for), and counts the passes the machines achieved.
Paced paced(velko::Server& server, int n, int period_ms, double seconds) {
    const auto period = std::chrono::milliseconds(period_ms);
    const long cycles = std::max(1L, static_cast<long>(seconds * 1000 / period_ms));
    long first_tick = ticks.load();
    double first_cpu = cpu_seconds();
    auto start = Clock::now();
    auto next = start;
    for (long i = 0; i < cycles; ++i) {
        server.run_cycles(1);
        next = std::max(next + period, Clock::now());
        std::this_thread::sleep_until(next);
    }
    Paced p;
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    p.passes_per_s = static_cast<double>(ticks.load() - first_tick) / n / elapsed;
    p.cpu_us = (cpu_seconds() - first_cpu) * 1e6 / (static_cast<double>(n) * cycles);
    return p;
}

int usage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s MACHINES [--seconds S] [--header]\n"
                 "  MACHINES    root locations to start, each with three engine threads\n"
                 "  --seconds S length of each paced run (default 5)\n"
                 "  --header    print the table header before the row\n",
                 program);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return usage(argv[0]);
    }
    int n = std::atoi(argv[1]);
    double seconds = 5;
    bool header = false;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else if (std::strcmp(argv[i], "--header") == 0) {
            header = true;
        } else {
            return usage(argv[0]);
        }
    }
    if (n <= 0 || n > 999999 || seconds <= 0) {
        return usage(argv[0]);
    }
    char dir_template[] = "/tmp/scale_server.XXXXXX";
    if (mkdtemp(dir_template) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = dir_template;
    std::vector<node_info> chain = factories(n);
    init_list = chain.data();
    velko::ServerOptions options;
    options.config_file = write_config(dir, n);
    velko::Server server(options, velko::application_hooks());

    const long rss_before = resident_kb();
    auto t0 = Clock::now();
    if (server.start() != 0) {
        std::fprintf(stderr, "%s\n", server.error().c_str());
        std::_Exit(1);
    }
    const double start_ms = ms_since(t0);
    while (entered.load() < n && ms_since(t0) < 600000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const double ready_ms = ms_since(t0);
    // A machine counts as entered just before it takes updates: repeat a first cycle until every
    // machine has made its pass.
    long base = ticks.load();
    for (int i = 0; i < 100 && ticks.load() < base + n; ++i) {
        server.run_cycles(1);
        wait_ticks(base + n, std::chrono::seconds(1));
    }
    const double rss_kb = static_cast<double>(resident_kb() - rss_before) / n;
    const double cycle = cycle_ms(server, n, 21);
    const Paced fast = paced(server, n, 10, seconds);
    const Paced slow = paced(server, n, 100, seconds);

    if (header) {
        std::printf(
            "| machines | start() | all entered | resident per machine | one cycle, back to back "
            "| CPU per machine per cycle at 10 ms / 100 ms | passes per second at 10 ms | at 100 ms | futex hash |\n"
            "|---|---|---|---|---|---|---|---|---|\n");
    }
    std::string futex = server.futex_hash_slots() > 0 ? std::to_string(server.futex_hash_slots()) + " slots"
                                                      : std::string("kernel default");
    std::printf("| %d | %.0f ms | %.0f ms | %.1f KB | %.2f ms | %.1f / %.1f µs | %.1f | %.2f | %s |\n", n, start_ms,
                ready_ms, rss_kb, cycle, fast.cpu_us, slow.cpu_us, fast.passes_per_s, slow.passes_per_s, futex.c_str());
    std::fflush(stdout);
    std::string rm = "rm -rf '" + dir + "'";
    int rc = std::system(rm.c_str());
    // The engine threads never end: leave without running destructors under them.
    std::_Exit(rc == 0 ? 0 : 1);
}
