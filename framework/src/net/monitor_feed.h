// velko::net::Subscriber and velko::net::Feed: the monitor subscriptions of the network service.
// Pushed values (MonitorHub) and values sampled once per update cycle reach each subscriber, which
// keeps only the newest pending frame per address, so a slow client never builds a backlog.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "monitor_hub.h"
#include "net/calls.h"

namespace velko::net {

// The pending frames of one monitor connection. Safe to use from any thread.
class Subscriber {
  public:
    // wake is called (outside any lock) when a frame becomes pending after next() found none.
    explicit Subscriber(std::function<void()> wake);

    // Makes frame the pending one of address, replacing an older pending frame of it.
    void deliver(const std::string& address, std::string frame);
    // Takes the oldest pending frame; false when there is none.
    bool next(std::string* frame);
    // Forgets the pending frame of address.
    void drop(const std::string& address);

  private:
    std::mutex mux_;
    std::map<std::string, std::string> pending_;
    std::deque<std::string> order_;  // addresses with a pending frame, oldest first
    bool woken_ = false;
    std::function<void()> wake_;
};

class Feed {
  public:
    explicit Feed(const Calls* calls);
    ~Feed();
    Feed(const Feed&) = delete;
    Feed& operator=(const Feed&) = delete;

    // Delivers the current value (or error) of address to sub and, when the property exists,
    // keeps sub subscribed. Returns whether it did. Runs property code: call on a worker thread.
    bool subscribe(const std::string& address, const std::shared_ptr<Subscriber>& sub);
    void unsubscribe(const std::string& address, const Subscriber* sub);
    // Reads every subscribed property and delivers the values that changed. Worker thread.
    void sample();
    // Ends every subscription.
    void clear();

  private:
    // One subscriber of an address and the answer it was last sent, without its time: a sample
    // that races a subscription's first read then never sends the same value twice.
    struct Watcher {
        std::weak_ptr<Subscriber> sub;
        std::string last;
    };
    struct Entry {
        std::string address;
        const D_fct* prop = nullptr;
        std::shared_ptr<detail::MonitorSub> hub;
        std::mutex mux;
        uint64_t generation = 0;  // counts pushed values, so a slower sample never overwrites one
        std::vector<Watcher> watchers;
    };
    static void on_push(void* user, EqData* value);
    // Delivers answer to the subscribers of e (all, or only to) that were last sent another
    // value, or to all of them when force is set. With e->mux held.
    static void deliver_locked(Entry* e, const nlohmann::json& answer, bool force, const Subscriber* only);
    void drop(const std::shared_ptr<Entry>& e);

    const Calls* calls_;
    std::mutex mux_;
    std::map<std::string, std::shared_ptr<Entry>> entries_;
};

}  // namespace velko::net
