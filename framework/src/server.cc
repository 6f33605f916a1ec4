// velko::Server: reads the configuration, creates and starts the locations through the
// application's hooks, runs the update cycle and saves the configuration at the end.
#include "server.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>

#include "atomic_file.h"
#include "config.h"
#include "d_fct.h"
#include "eq_fct.h"
#include "futex_hash.h"
#include "history.h"
#include "locations.h"
#include "net/service.h"
#include "net_client.h"
#include "text_tokens.h"

std::string gbl_fct_name;
int ring_buffer = 0;

namespace velko {

namespace {

// Signal state shared with the handler: lock-free atomics and write(2) only.
std::atomic<int> g_wake_fd{-1};
std::atomic<int> g_stop_signal{0};
std::atomic<int> g_usr1_count{0};

// Set by a starting server before it creates its locations, whose machines read it.
std::atomic<int> g_event_queue_limit{ServerConfig().event_queue_limit};

extern "C" void on_signal(int sig) {
    if (sig == SIGUSR1) {
        g_usr1_count.fetch_add(1);
    } else {
        g_stop_signal.store(sig);
    }
    int fd = g_wake_fd.load();
    if (fd >= 0) {
        uint64_t one = 1;
        ssize_t rc = ::write(fd, &one, sizeof one);
        (void)rc;  // a full counter already wakes the loop
    }
}

// Installs the handlers of SIGINT, SIGTERM and SIGUSR1 from the start of a server to its end, so a
// signal during start-up or the save at exit is kept for the update loop instead of ending the
// process by its default action.
class SignalScope {
  public:
    explicit SignalScope(int wake_fd) {
        g_stop_signal.store(0);
        g_usr1_count.store(0);
        g_wake_fd.store(wake_fd);
        struct sigaction sa {};
        sa.sa_handler = on_signal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        for (size_t i = 0; i < kCount; ++i) {
            sigaction(kSignals[i], &sa, &old_[i]);
        }
    }
    ~SignalScope() {
        for (size_t i = 0; i < kCount; ++i) {
            sigaction(kSignals[i], &old_[i], nullptr);
        }
        g_wake_fd.store(-1);
    }
    SignalScope(const SignalScope&) = delete;
    SignalScope& operator=(const SignalScope&) = delete;

  private:
    static constexpr size_t kCount = 3;
    static constexpr int kSignals[kCount] = {SIGINT, SIGTERM, SIGUSR1};
    struct sigaction old_[kCount] {};
};

std::string dir_of(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash == 0 ? 1 : slash);
}

// Relative paths in the configuration are taken from the configuration file's directory.
std::string beside_config(const std::string& config_file, const std::string& path) {
    std::string dir = dir_of(config_file);
    if (path.empty() || path[0] == '/' || dir.empty()) {
        return path;
    }
    return dir + "/" + path;
}

std::string path_text(const std::string& path) {
    return path.find_first_of(" \t\"\\") == std::string::npos ? path : quote_text(path);
}

// The secret of a token file: its content without surrounding white space. 0, or 1 with *error set.
int read_token(const std::string& path, std::string* token, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    if (in) {
        text << in.rdbuf();
    }
    if (!in) {
        *error = "The token file " + path + " cannot be read: " + std::strerror(errno) + ".";
        return 1;
    }
    *token = text::trim(text.str());
    if (token->empty()) {
        *error = "The token file " + path + " holds no token.";
        return 1;
    }
    return 0;
}

std::string at(const std::string& file, int line) {
    return file + ":" + std::to_string(line) + ": ";
}

// The server of this process that has started and not finished. Applications keep process-wide
// state across their hooks (the state-machine library's registry, used by its running machines),
// so a second server's start-up would pull it from under the first one's threads.
std::mutex running_mux;
const void* running_server = nullptr;
std::string running_name;

// Threads the application's hooks may start for each location, for sizing the futex hash.
constexpr long kThreadsPerLocation = 3;

// The first failure that the application's hooks reported during the current start.
std::mutex start_failure_mux;
std::string start_failure;

std::string take_start_failure() {
    std::lock_guard<std::mutex> lock(start_failure_mux);
    std::string why;
    why.swap(start_failure);
    return why;
}

}  // namespace

void fail_start(const std::string& why) {
    std::lock_guard<std::mutex> lock(start_failure_mux);
    if (start_failure.empty()) {
        start_failure = why.empty() ? "The application could not start." : why;
    }
}

struct Server::Impl {
    ServerOptions options;
    ServerHooks hooks;
    ServerConfig config;
    std::string error;
    std::vector<EqFct*> locations;  // in the order of the configuration file
    int rate_ms = 0;
    std::atomic<long> cycles{0};
    std::atomic<bool> stop{false};
    bool started = false;
    bool finished = false;
    int wake_fd = -1;
    std::mutex save_mux;
    std::unique_ptr<SignalScope> signals;  // with options.handle_signals, from start() to the destructor
    // Last member: destroyed first, while the rest that its calls read is still there.
    std::unique_ptr<net::Service> service;
    std::string token;  // the secret of token_file: writes to this server and from its machines need it
    long futex_slots = 0;

    void call(void (*hook)()) {
        if (hook != nullptr) {
            hook();
        }
    }

    void call(void (*hook)(int), int sig) {
        if (hook != nullptr) {
            hook(sig);
        }
    }

    EqFct* create(const LocationConfig& lc) {
        gbl_fct_name = lc.kind;
        EqFct* loc = nullptr;
        try {
            loc = hooks.eq_create(lc.eq_code, nullptr);
        } catch (const std::exception& e) {
            error = at(config.file, lc.line) + "creating location " + lc.name + " failed: " + e.what() + ".";
        }
        gbl_fct_name.clear();
        if (loc == nullptr) {
            if (error.empty()) {
                error = at(config.file, lc.line) + "the application created no location for equipment code " +
                        std::to_string(lc.eq_code) + " (location " + lc.name + ", kind \"" + lc.kind + "\").";
            }
            return nullptr;
        }
        loc->set_name(lc.name);
        loc->set_eq_code(lc.eq_code);
        return loc;
    }

    // Every configured line must name a property with a value of its declared type; then every
    // property of the location takes its value.
    bool configure(EqFct* loc, const LocationConfig& lc) {
        for (const ConfigRecord& rec : lc.records) {
            if (loc->find_property(rec.name) == nullptr) {
                error = at(rec.file, rec.line) + "location " + lc.name + " has no property " + rec.name + ".";
                return false;
            }
        }
        std::vector<D_fct*> props;
        {
            std::lock_guard<std::recursive_mutex> lock(loc->call_mutex());
            props = loc->properties();
        }
        Config declared;
        for (D_fct* prop : props) {
            prop->conf(&declared);
        }
        for (const ConfigRecord& rec : lc.records) {
            const Config::Entry* entry = declared.find(rec.name);
            std::string why = entry == nullptr ? "" : check_config_value(entry->type_code, rec.text);
            if (!why.empty()) {
                error = at(rec.file, rec.line) + "property " + rec.name + " of location " + lc.name + ": " + why + ".";
                return false;
            }
        }
        loc->set_config_records(lc.records);
        try {
            for (D_fct* prop : props) {
                prop->conf_process(&declared);
            }
        } catch (const std::exception& e) {
            error = at(config.file, lc.line) + "location " + lc.name +
                    " could not take its configuration: " + e.what() + ".";
            return false;
        }
        return true;
    }

    // Roots (code 100) first, so the locations that refer to them find them registered. false with
    // error set when the application reported that it could not start.
    bool start_locations() {
        take_start_failure();
        call(hooks.eq_init_prolog);
        std::vector<EqFct*> order = locations;
        std::stable_partition(order.begin(), order.end(), [](EqFct* loc) { return loc->fct_code() == 100; });
        for (EqFct* loc : order) {
            loc->init();
            loc->complete();
        }
        // Calls reach the locations only once they are initialised, and before the application's
        // threads start (they may call their own server's locations).
        LocationDirectory::open(config.facility, config.device);
        // The epilog starts the application's threads (three per state machine): waiters then go
        // into a table of the right size from the start.
        futex_slots = request_futex_hash(process_threads() + kThreadsPerLocation * static_cast<long>(locations.size()));
        call(hooks.eq_init_epilog);
        error = take_start_failure();
        if (!error.empty()) {
            return false;
        }
        call(hooks.post_init_prolog);
        for (EqFct* loc : locations) {
            loc->post_init();
        }
        call(hooks.post_init_epilog);
        return true;
    }

    // Stops serving the locations of a start that failed; they stay reachable, since the
    // application may hold on to them.
    void retire(const std::vector<EqFct*>& created) {
        LocationDirectory::retire(config.facility, config.device);
        for (EqFct* loc : created) {
            LocationDirectory::keep(loc);
        }
        config = ServerConfig();
    }

    void cycle() {
        call(hooks.refresh_prolog);
        for (EqFct* loc : locations) {
            try {
                loc->update();
            } catch (const std::exception& e) {
                std::cerr << "Location " << loc->name() << ": update failed: " << e.what() << "\n";
            }
        }
        call(hooks.refresh_epilog);
        cycles.fetch_add(1);
        if (service) {
            service->sample();
        }
    }

    // Reads the secret of the configured token file, if any. false with error set: a token file
    // that cannot be read stops the start whether or not this server listens, since the machines'
    // writes to other servers would otherwise go out without it.
    bool read_secret() {
        return config.token_file.empty() ||
               read_token(beside_config(config.file, config.token_file), &token, &error) == 0;
    }

    // Starts the network service when a port is configured. false with error set.
    bool start_service() {
        const int port = options.port_override >= 0 ? options.port_override : config.port;
        if (port == 0) {
            return true;
        }
        net::ServiceSettings ns;
        ns.facility = config.facility;
        ns.device = config.device;
        ns.listen = config.listen;
        ns.port = port;
        ns.token = token;
        ns.call_timeout_ms = config.call_timeout_ms;
        ns.max_connections = config.max_connections;
        ns.max_request_bytes = static_cast<size_t>(config.max_request_bytes);
        ns.request_timeout_ms = config.request_timeout_ms;
        ns.idle_timeout_ms = config.idle_timeout_ms;
        ns.max_subscriptions = config.max_subscriptions;
        ns.describe = [this](nlohmann::json* j) {
            (*j)["rate_ms"] = rate_ms;
            (*j)["cycles"] = cycles.load();
        };
        const bool open_writes = ns.token.empty();
        service = std::make_unique<net::Service>(std::move(ns));
        if (service->start(&error) != 0) {
            service.reset();
            return false;
        }
        if (open_writes && !service->loopback_only()) {
            std::cerr << "The server " << config.facility << "/" << config.device
                      << " has no token_file: writes are open to anyone who can reach " << config.listen << ":"
                      << service->port() << ".\n";
        }
        return true;
    }

    void user_signal() {
        call(hooks.interrupt_usr1_prolog, SIGUSR1);
        for (EqFct* loc : locations) {
            loc->interrupt_usr1(SIGUSR1);
        }
        call(hooks.interrupt_usr1_epilog, SIGUSR1);
    }

    // Sleeps until deadline, stop() or a signal; handles pending user signals.
    void wait_until(std::chrono::steady_clock::time_point deadline) {
        using namespace std::chrono;
        while (!stop.load()) {
            if (options.handle_signals) {
                for (int n = g_usr1_count.exchange(0); n > 0; --n) {
                    user_signal();
                }
                if (g_stop_signal.exchange(0) != 0) {
                    stop.store(true);
                    return;
                }
            }
            auto now = steady_clock::now();
            if (now >= deadline) {
                return;
            }
            auto ms = duration_cast<milliseconds>(deadline - now).count() + 1;
            struct pollfd pfd {
                wake_fd, POLLIN, 0
            };
            if (::poll(&pfd, 1, static_cast<int>(std::min<long long>(ms, 60000))) > 0) {
                uint64_t count = 0;
                ssize_t rc = ::read(wake_fd, &count, sizeof count);
                (void)rc;  // only draining the wake-up counter
            }
        }
    }

    std::string format_config() const {
        std::ostringstream out;
        for (const std::string& c : config.comments) {
            out << c << "\n";
        }
        out << "facility " << config.facility << "\n";
        out << "device " << config.device << "\n";
        out << "rate " << config.rate_ms << "\n";
        out << "port " << config.port << "\n";
        const ServerConfig defaults;
        if (config.listen != defaults.listen) {
            out << "listen " << config.listen << "\n";
        }
        if (!config.token_file.empty()) {
            out << "token_file " << path_text(config.token_file) << "\n";
        }
        for (const NumberSetting& n : number_settings()) {
            if (config.*n.field != defaults.*n.field) {
                out << n.key << " " << config.*n.field << "\n";
            }
        }
        if (!config.directory.empty()) {
            out << "directory " << path_text(config.directory) << "\n";
        }
        if (!config.archive_dir.empty()) {
            out << "archive " << path_text(config.archive_dir) << "\n";
        }
        for (size_t i = 0; i < config.locations.size(); ++i) {
            const LocationConfig& lc = config.locations[i];
            out << "\n";
            for (const std::string& c : lc.comments) {
                out << c << "\n";
            }
            out << "location " << lc.name << " " << lc.eq_code << " " << (lc.kind.empty() ? "\"\"" : lc.kind) << " {\n";
            locations[i]->write(out);
            for (const std::string& c : lc.trailing_comments) {
                out << c << "\n";
            }
            out << "}\n";
        }
        for (const std::string& c : config.trailing_comments) {
            out << c << "\n";
        }
        return out.str();
    }
};

Server::Server(ServerOptions options, ServerHooks hooks) : impl_(std::make_unique<Impl>()) {
    impl_->options = std::move(options);
    impl_->hooks = hooks;
    impl_->wake_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

Server::~Server() {
    finish();
    impl_->signals.reset();
    if (impl_->wake_fd >= 0) {
        ::close(impl_->wake_fd);
    }
}

int Server::start() {
    Impl& s = *impl_;
    if (s.started || s.finished) {
        s.error = "The server " + s.options.config_file + " was started already.";
        return 1;
    }
    s.error.clear();
    if (s.wake_fd < 0) {
        s.error = "The server cannot start: no event descriptor for its update loop is available.";
        return 1;
    }
    if (s.hooks.eq_create == nullptr) {
        s.error = "The server cannot start: the application gave no eq_create hook.";
        return 1;
    }
    std::unique_lock<std::mutex> running(running_mux);
    if (running_server != nullptr) {
        s.error = "The server " + s.options.config_file + " cannot start: the server " + running_name +
                  " already runs in this process, and a process runs one server at a time.";
        return 1;
    }
    if (s.options.handle_signals) {
        s.signals = std::make_unique<SignalScope>(s.wake_fd);
    }
    if (read_config_file(s.options.config_file, &s.config, &s.error) != 0) {
        return 1;
    }
    if (LocationDirectory::serves(s.config.facility, s.config.device)) {
        s.error = s.config.file + ": the device " + s.config.facility + "/" + s.config.device +
                  " is already served by this process.";
        return 1;
    }
    s.rate_ms = s.options.rate_ms_override > 0 ? s.options.rate_ms_override : s.config.rate_ms;
    g_event_queue_limit.store(s.config.event_queue_limit);
    set_archive_directory(beside_config(s.config.file, s.config.archive_dir.empty() ? "." : s.config.archive_dir));

    std::vector<EqFct*> created;
    bool ok = true;
    for (const LocationConfig& lc : s.config.locations) {
        EqFct* loc = s.create(lc);
        if (loc == nullptr) {
            ok = false;
            break;
        }
        created.push_back(loc);
        if (!s.configure(loc, lc)) {
            ok = false;
            break;
        }
    }
    for (EqFct* loc : created) {
        if (ok && LocationDirectory::add(s.config.facility, s.config.device, loc, false) != 0) {
            s.error = s.config.file + ": location " + loc->name() + " cannot be served.";
            ok = false;
        }
    }
    // Calls that arrive before the locations are opened below answer that the location is unknown.
    ok = ok && s.read_secret() && s.start_service();
    if (!ok) {
        s.retire(created);
        return 1;
    }
    s.locations = created;
    // Remote calls of this process's locations use its directory, call time-out and token; applied
    // before any location can make a call.
    ClientSettings client;
    if (!s.config.directory.empty()) {
        client.directory = beside_config(s.config.file, s.config.directory);
    }
    client.call_timeout_ms = s.config.call_timeout_ms;
    client.token = s.token;
    set_client_settings(client);
    running_server = this;
    running_name = s.config.facility + "/" + s.config.device + " (" + s.config.file + ")";
    running.unlock();
    if (!s.start_locations()) {
        // Work the application did start goes on in this process; the server does not run.
        s.service.reset();
        s.locations.clear();
        s.retire(created);
        std::lock_guard<std::mutex> relock(running_mux);
        running_server = nullptr;
        return 1;
    }
    const long grown = request_futex_hash(process_threads());
    s.futex_slots = grown > 0 ? grown : s.futex_slots;
    s.started = true;
    return 0;
}

void Server::run() {
    Impl& s = *impl_;
    if (!s.started || s.finished) {
        return;
    }
    const auto period = std::chrono::milliseconds(s.rate_ms);
    auto next = std::chrono::steady_clock::now();
    long first = s.cycles.load();
    while (!s.stop.load()) {
        s.cycle();
        if (s.options.max_cycles > 0 && s.cycles.load() - first >= s.options.max_cycles) {
            break;
        }
        // A late cycle is not made up for by a burst of cycles.
        next = std::max(next + period, std::chrono::steady_clock::now());
        s.wait_until(next);
    }
    s.stop.store(false);
}

void Server::run_cycles(int n) {
    if (!impl_->started || impl_->finished) {
        return;
    }
    for (int i = 0; i < n; ++i) {
        impl_->cycle();
    }
}

void Server::stop() {
    impl_->stop.store(true);
    if (impl_->wake_fd >= 0) {
        uint64_t one = 1;
        ssize_t rc = ::write(impl_->wake_fd, &one, sizeof one);
        (void)rc;  // a full counter already wakes the loop
    }
}

int Server::save_config() {
    Impl& s = *impl_;
    std::lock_guard<std::mutex> lock(s.save_mux);
    if (!s.started) {
        s.error = "The configuration " + s.options.config_file + " cannot be saved: the server has not started.";
        return 1;
    }
    std::string text = s.format_config();
    // Never replace a good file with one the server could not start from.
    ServerConfig check;
    std::string why;
    if (parse_config_text(text, s.config.file, &check, &why) != 0) {
        s.error =
            "The configuration " + s.config.file + " was not saved: the new text would not read back (" + why + ")";
        return 1;
    }
    AtomicWriteOptions keep_backup;
    keep_backup.backup = true;
    if (write_file_atomically(s.config.file, text, keep_backup, &why) != 0) {
        s.error = why;
        return 1;
    }
    return 0;
}

int Server::finish() {
    Impl& s = *impl_;
    if (!s.started || s.finished) {
        return 0;
    }
    s.service.reset();  // no network call reaches a location from here on
    int rc = save_config();
    s.finished = true;
    for (EqFct* loc : s.locations) {
        loc->cancel();
    }
    s.call(s.hooks.eq_cancel);
    LocationDirectory::retire(s.config.facility, s.config.device);
    std::lock_guard<std::mutex> running(running_mux);
    if (running_server == this) {
        running_server = nullptr;
    }
    return rc;
}

const std::string& Server::error() const {
    return impl_->error;
}

const std::string& Server::facility() const {
    return impl_->config.facility;
}

const std::string& Server::device() const {
    return impl_->config.device;
}

int Server::rate_ms() const {
    return impl_->rate_ms;
}

const std::vector<EqFct*>& Server::locations() const {
    return impl_->locations;
}

EqFct* Server::find_location(const std::string& name) const {
    for (EqFct* loc : impl_->locations) {
        if (loc->name() == name) {
            return loc;
        }
    }
    return nullptr;
}

long Server::cycles() const {
    return impl_->cycles.load();
}

long Server::futex_hash_slots() const {
    return impl_->futex_slots;
}

int Server::port() const {
    return impl_->service ? impl_->service->port() : 0;
}

int event_queue_limit() {
    return g_event_queue_limit.load();
}

}  // namespace velko
