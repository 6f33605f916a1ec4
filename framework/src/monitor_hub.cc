#include "monitor_hub.h"

#include <algorithm>

namespace velko::detail {

namespace {

void deactivate(const std::shared_ptr<MonitorSub>& sub) {
    std::lock_guard<std::mutex> lock(sub->mux);
    sub->active = false;
}

}  // namespace

MonitorHub& MonitorHub::instance() {
    static MonitorHub* hub = new MonitorHub();
    return *hub;
}

void MonitorHub::subscribe(const D_fct* prop, const std::shared_ptr<MonitorSub>& sub) {
    std::lock_guard<std::mutex> lock(mux_);
    subs_[prop].push_back(sub);
    count_.fetch_add(1, std::memory_order_relaxed);
}

void MonitorHub::unsubscribe(const D_fct* prop, const std::shared_ptr<MonitorSub>& sub) {
    {
        std::lock_guard<std::mutex> lock(mux_);
        auto it = subs_.find(prop);
        if (it != subs_.end()) {
            auto& v = it->second;
            auto pos = std::find(v.begin(), v.end(), sub);
            if (pos != v.end()) {
                v.erase(pos);
                count_.fetch_sub(1, std::memory_order_relaxed);
            }
            if (v.empty()) {
                subs_.erase(it);
            }
        }
    }
    deactivate(sub);
}

void MonitorHub::forget(const D_fct* prop) {
    std::vector<std::shared_ptr<MonitorSub>> gone;
    {
        std::lock_guard<std::mutex> lock(mux_);
        auto it = subs_.find(prop);
        if (it == subs_.end()) {
            return;
        }
        gone.swap(it->second);
        subs_.erase(it);
        count_.fetch_sub(static_cast<int>(gone.size()), std::memory_order_relaxed);
    }
    for (const auto& sub : gone) {
        deactivate(sub);
    }
}

bool MonitorHub::wanted(const D_fct* prop) const {
    if (count_.load(std::memory_order_relaxed) == 0) {
        return false;
    }
    std::lock_guard<std::mutex> lock(mux_);
    return subs_.count(prop) != 0;
}

void MonitorHub::publish(const D_fct* prop, EqData* value) {
    std::vector<std::shared_ptr<MonitorSub>> targets;
    {
        std::lock_guard<std::mutex> lock(mux_);
        auto it = subs_.find(prop);
        if (it == subs_.end()) {
            return;
        }
        targets = it->second;
    }
    for (const auto& sub : targets) {
        std::lock_guard<std::mutex> lock(sub->mux);
        if (sub->active) {
            sub->cb(sub->user, value);
        }
    }
}

}  // namespace velko::detail
