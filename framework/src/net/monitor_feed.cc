#include "net/monitor_feed.h"

#include <algorithm>

#include "net/value_json.h"

namespace velko::net {

namespace {

// An answer as text without its time stamps, for telling whether a sampled value changed: a
// computed text record (FLOW_n, FAULT) carries the time it was read, which is not a change.
std::string timeless_text(const nlohmann::json& answer) {
    nlohmann::json timeless = answer;
    timeless.erase("timestamp");
    auto drop_record_time = [](nlohmann::json& v) {
        if (v.is_object()) {
            v.erase("tm");
        }
    };
    auto it = timeless.find("value");
    if (it != timeless.end() && timeless.value("type", "") == "USTR") {
        drop_record_time(*it);
    } else if (it != timeless.end() && timeless.value("type", "") == "A_USTR" && it->is_array()) {
        for (auto& rec : *it) {
            drop_record_time(rec);
        }
    }
    return dump_json(timeless);
}

}  // namespace

Subscriber::Subscriber(std::function<void()> wake) : wake_(std::move(wake)) {}

void Subscriber::deliver(const std::string& address, std::string frame) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mux_);
        auto it = pending_.find(address);
        if (it == pending_.end()) {
            pending_.emplace(address, std::move(frame));
            order_.push_back(address);
        } else {
            it->second = std::move(frame);
        }
        wake = !woken_;
        woken_ = true;
    }
    if (wake) {
        wake_();
    }
}

bool Subscriber::next(std::string* frame) {
    std::lock_guard<std::mutex> lock(mux_);
    while (!order_.empty()) {
        auto it = pending_.find(order_.front());
        order_.pop_front();
        if (it != pending_.end()) {
            *frame = std::move(it->second);
            pending_.erase(it);
            return true;
        }
    }
    woken_ = false;
    return false;
}

void Subscriber::drop(const std::string& address) {
    std::lock_guard<std::mutex> lock(mux_);
    pending_.erase(address);  // its place in order_ is skipped by next()
}

Feed::Feed(const Calls* calls) : calls_(calls) {}

Feed::~Feed() {
    clear();
}

bool Feed::subscribe(const std::string& address, const std::shared_ptr<Subscriber>& sub) {
    const D_fct* prop = calls_->find_property(address);
    if (prop == nullptr) {
        sub->deliver(address, dump_json(calls_->read(address)));  // the read names what is missing
        return false;
    }
    std::shared_ptr<Entry> e;
    bool created = false;
    bool known = false;
    uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(mux_);
        std::shared_ptr<Entry>& slot = entries_[address];
        if (!slot) {
            slot = std::make_shared<Entry>();
            slot->address = address;
            slot->prop = prop;
            slot->hub = std::make_shared<detail::MonitorSub>();
            slot->hub->cb = &Feed::on_push;
            slot->hub->user = slot.get();
            created = true;
        }
        e = slot;
        std::lock_guard<std::mutex> elock(e->mux);
        known =
            std::any_of(e->watchers.begin(), e->watchers.end(), [&](const Watcher& w) { return w.sub.lock() == sub; });
        if (!known) {
            e->watchers.push_back(Watcher{sub, std::string()});
        }
        generation = e->generation;
    }
    if (created) {
        detail::MonitorHub::instance().subscribe(prop, e->hub);
    }
    const nlohmann::json first = calls_->read(address);
    std::lock_guard<std::mutex> elock(e->mux);
    // A pushed value newer than this read was delivered meanwhile; a sample may have sent this
    // very value already. A repeated subscription is answered again.
    if (e->generation == generation) {
        deliver_locked(e.get(), first, known, sub.get());
    }
    return true;
}

void Feed::unsubscribe(const std::string& address, const Subscriber* sub) {
    std::shared_ptr<Entry> gone;
    {
        std::lock_guard<std::mutex> lock(mux_);
        auto it = entries_.find(address);
        if (it == entries_.end()) {
            return;
        }
        std::lock_guard<std::mutex> elock(it->second->mux);
        auto& watchers = it->second->watchers;
        watchers.erase(std::remove_if(watchers.begin(), watchers.end(),
                                      [&](const Watcher& w) {
                                          const auto s = w.sub.lock();
                                          return s == nullptr || s.get() == sub;
                                      }),
                       watchers.end());
        if (watchers.empty()) {
            gone = it->second;
            entries_.erase(it);
        }
    }
    if (gone) {
        drop(gone);
    }
}

void Feed::sample() {
    std::vector<std::shared_ptr<Entry>> all;
    {
        std::lock_guard<std::mutex> lock(mux_);
        for (const auto& kv : entries_) {
            all.push_back(kv.second);
        }
    }
    for (const auto& e : all) {
        uint64_t generation = 0;
        {
            std::lock_guard<std::mutex> elock(e->mux);
            generation = e->generation;
        }
        const nlohmann::json now = calls_->read(e->address);
        std::lock_guard<std::mutex> elock(e->mux);
        if (e->generation == generation) {
            deliver_locked(e.get(), now, false, nullptr);
        }
    }
}

void Feed::clear() {
    std::map<std::string, std::shared_ptr<Entry>> all;
    {
        std::lock_guard<std::mutex> lock(mux_);
        all.swap(entries_);
    }
    for (const auto& kv : all) {
        drop(kv.second);
    }
}

void Feed::on_push(void* user, EqData* value) {
    Entry* e = static_cast<Entry*>(user);
    const nlohmann::json answer = address_answer(e->address, *value);
    std::lock_guard<std::mutex> elock(e->mux);
    ++e->generation;
    deliver_locked(e, answer, true, nullptr);
}

void Feed::deliver_locked(Entry* e, const nlohmann::json& answer, bool force, const Subscriber* only) {
    const std::string text = timeless_text(answer);
    std::string frame;
    for (Watcher& w : e->watchers) {
        auto s = w.sub.lock();
        if (s == nullptr || (only != nullptr && s.get() != only) || (!force && w.last == text)) {
            continue;
        }
        if (frame.empty()) {
            frame = dump_json(answer);
        }
        w.last = text;
        s->deliver(e->address, frame);
    }
}

void Feed::drop(const std::shared_ptr<Entry>& e) {
    // After this the hub runs on_push of e no more.
    detail::MonitorHub::instance().unsubscribe(e->prop, e->hub);
}

}  // namespace velko::net
