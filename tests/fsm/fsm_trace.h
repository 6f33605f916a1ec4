// Test helper for machines under test: a process-wide trace of the actions their states run, and
// a consumer thread that drives one of a root machine's queues like an engine thread.
#pragma once

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fsm.h"

// Entries are appended by actions on any thread; tests wait on them with a bounded wait.
class Trace {
  public:
    static Trace& get() {
        static Trace instance;
        return instance;
    }

    void add(const std::string& entry) {
        {
            std::lock_guard<std::mutex> lock(mux_);
            entries_.push_back(entry);
            ++counts_[entry];
        }
        cond_.notify_all();
    }

    std::vector<std::string> snapshot() {
        std::lock_guard<std::mutex> lock(mux_);
        return entries_;
    }

    void clear() {
        std::lock_guard<std::mutex> lock(mux_);
        entries_.clear();
        counts_.clear();
    }

    // Waits until pred holds for the entries (at most 20 s, a bound for a hung machine only).
    bool wait_for(const std::function<bool(const std::vector<std::string>&)>& pred) {
        std::unique_lock<std::mutex> lock(mux_);
        return cond_.wait_for(lock, std::chrono::seconds(20), [&] { return pred(entries_); });
    }

    // Waits until `entry` appears at least `count` times. Kept counts make each wake-up O(1), so
    // waiting on a trace of 100 000 entries does not rescan it after every entry.
    bool wait_count(const std::string& entry, size_t count) {
        std::unique_lock<std::mutex> lock(mux_);
        return cond_.wait_for(lock, std::chrono::seconds(20), [&] {
            auto it = counts_.find(entry);
            return it != counts_.end() && it->second >= count;
        });
    }

    // Waits until entries beginning with `prefix` appear at least `count` times.
    bool wait_prefix(const std::string& prefix, size_t count) {
        return wait_for([&](const std::vector<std::string>& e) { return count_prefix(e, prefix) >= count; });
    }

    static size_t count_prefix(const std::vector<std::string>& entries, const std::string& prefix) {
        size_t n = 0;
        for (const std::string& e : entries) {
            n += e.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
        }
        return n;
    }

    static size_t count_in(const std::vector<std::string>& entries, const std::string& entry) {
        size_t n = 0;
        for (const std::string& e : entries) {
            n += e == entry ? 1 : 0;
        }
        return n;
    }

  private:
    std::mutex mux_;
    std::condition_variable cond_;
    std::vector<std::string> entries_;
    std::map<std::string, size_t> counts_;
};

inline void trace(FSMstate* sp, const char* what) {
    Trace::get().add(std::string(sp->get_name()) + "." + what);
}

// Actions that record "<state>.<action>".
inline int tr_init(FSMstate* sp) {
    return trace(sp, "init"), 0;
}
inline int tr_enter(FSMstate* sp) {
    return trace(sp, "enter"), 0;
}
inline int tr_exit(FSMstate* sp) {
    return trace(sp, "exit"), 0;
}
inline int tr_poll(FSMstate* sp) {
    return trace(sp, "poll"), 0;
}
inline int tr_during(FSMstate* sp) {
    return trace(sp, "during"), 0;
}
inline int tr_irq1(FSMstate* sp) {
    return trace(sp, "irq1"), 0;
}
inline int tr_irq2(FSMstate* sp) {
    return trace(sp, "irq2"), 0;
}
// A handler that records "<state>.on(<event name as the state recorded it>)".
inline int tr_handler(FSMstate* sp) {
    Trace::get().add(std::string(sp->get_name()) + ".on(" + sp->get_event_name() + ")");
    return 0;
}
inline void tr_taction(FSMstate* sp) {
    trace(sp, "taction");
}

// Attaches the entry, exit and init actions.
inline void trace_lifecycle(FSMstate* sp) {
    sp->add_action("init", tr_init);
    sp->add_action("enter", tr_enter);
    sp->add_action("exit", tr_exit);
}

// Runs one queue of a root machine on its own thread, the way an engine thread does, and records
// every event it takes as "<queue>:<name>@<target>". It ends after taking an event named "quit".
class QueueConsumer {
  public:
    enum Line { EVENTS, IRQ1, IRQ2 };

    QueueConsumer(FSMrootstate* root, Line line) : root_(root), line_(line) {}
    ~QueueConsumer() { join(); }

    void start() {
        thread_ = std::thread([this] { run(); });
    }
    void join() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    // Posts "quit" and a signal on this consumer's queue, then waits for the thread to end.
    void stop() {
        FSMevent quit;
        quit.set_event("quit", "nobody");
        post(&quit);
        post(nullptr);
        join();
    }
    void post(FSMevent* ep) {
        switch (line_) {
            case EVENTS:
                root_->post_event(ep);
                break;
            case IRQ1:
                root_->post_irq1(ep);
                break;
            case IRQ2:
                root_->post_irq2(ep);
                break;
        }
    }
    // The engine's own event object starts with this next field; posting never changes it.
    void preset_next(const char* next) { event_.set_next(next); }

  private:
    void run() {
        static const char* const tags[] = {"ev", "irq1", "irq2"};
        for (;;) {
            switch (line_) {
                case EVENTS:
                    root_->process_event(&event_);
                    break;
                case IRQ1:
                    root_->process_irq1(&event_);
                    break;
                case IRQ2:
                    root_->process_irq2(&event_);
                    break;
            }
            Trace::get().add(std::string(tags[line_]) + ":" + event_.get_name() + "@" + event_.get_state() + "#" +
                             event_.get_next());
            if (std::strcmp(event_.get_name(), "quit") == 0) {
                return;
            }
        }
    }

    FSMrootstate* root_;
    Line line_;
    FSMevent event_;
    std::thread thread_;
};
