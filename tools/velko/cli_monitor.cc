// velko monitor: one line per change of the monitored addresses until SIGINT, SIGTERM or COUNT values.
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <iostream>
#include <map>
#include <mutex>

#include "cli_command.h"
#include "cli_format.h"

namespace velko::cli {

namespace {

struct Change {
    std::string address;
    EqData value;
    double timestamp;
};

// Changes handed from the client's thread to the main thread.
class Inbox {
  public:
    void put(Change c) {
        {
            std::lock_guard<std::mutex> lock(mux_);
            changes_.push_back(std::move(c));
        }
        cv_.notify_one();
    }
    // Everything that arrived, waiting at most bound for the first.
    std::deque<Change> take(std::chrono::milliseconds bound) {
        std::unique_lock<std::mutex> lock(mux_);
        cv_.wait_for(lock, bound, [this] { return !changes_.empty(); });
        std::deque<Change> out;
        out.swap(changes_);
        return out;
    }

  private:
    std::mutex mux_;
    std::condition_variable cv_;
    std::deque<Change> changes_;
};

double now_seconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

void print_change(const Options& o, const Change& c) {
    double ts = c.timestamp > 0 ? c.timestamp : now_seconds();
    if (o.json) {
        std::cout << json_line(c.address, c.value, ts) << "\n";
        return;
    }
    std::string text = c.value.error() != 0
                           ? "(error " + std::to_string(c.value.error()) + ": " + c.value.error_text() + ")"
                           : c.value.get_string();
    if (o.value_only) {
        std::cout << text << "\n";
    } else {
        std::cout << time_text(ts) << " " << c.address << " " << text << "\n";
    }
}

}  // namespace

sigset_t block_stop_signals() {
    // Taken by this thread only: the client's thread inherits the mask.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    return stops;
}

bool interrupted(const sigset_t& stops) {
    struct timespec none {};
    return sigtimedwait(&stops, nullptr, &none) > 0;
}

int run_monitor(const Options& o) {
    ClientSettings settings;
    if (!make_settings(o, &settings)) {
        return 1;
    }
    std::vector<EqAdr> adrs(o.addresses.size());
    for (size_t i = 0; i < adrs.size(); ++i) {
        if (!parse_address(o.addresses[i], false, &adrs[i])) {
            return 1;
        }
    }
    const sigset_t stops = block_stop_signals();

    Inbox inbox;
    NetClient client(settings);
    std::map<std::string, std::string> first_value_of;  // by address as the server names it
    for (size_t i = 0; i < adrs.size(); ++i) {
        EqData error;
        auto handler = [&inbox](const std::string& address, const EqData& value, double ts) {
            inbox.put(Change{address, value, ts});
        };
        if (client.subscribe(adrs[i], handler, &error) == 0) {
            return fail(o.addresses[i], error.error_text());
        }
        first_value_of[adrs[i].show_adr()] = o.addresses[i];
    }
    // Every address must answer once within the time-out; a first answer that is an error ends
    // the command.
    auto start_deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(settings.call_timeout_ms);
    long values = 0;
    while (o.count == 0 || values < o.count) {
        if (interrupted(stops)) {
            return 0;
        }
        for (Change& c : inbox.take(std::chrono::milliseconds(50))) {
            auto pending = first_value_of.find(c.address);
            if (pending != first_value_of.end()) {
                if (c.value.error() != 0) {
                    return fail(pending->second, c.value.error_text());
                }
                first_value_of.erase(pending);
            }
            print_change(o, c);
            std::cout.flush();
            if (c.value.error() == 0 && ++values == o.count) {
                return 0;
            }
        }
        if (!first_value_of.empty() && std::chrono::steady_clock::now() > start_deadline) {
            const std::string& address = first_value_of.begin()->second;
            return fail(address, "The monitor of " + address + " received no value within " +
                                     std::to_string(settings.call_timeout_ms) + " ms.");
        }
    }
    return 0;
}

}  // namespace velko::cli
