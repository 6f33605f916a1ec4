// Process-wide list of monitors that asked for pushed values, per property.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "eq_call.h"
#include "eq_data.h"

class D_fct;

namespace velko::detail {

// One subscription with a callback. The callback runs under `mux` on the publishing thread, so it
// must not call back into the remote-call client that made the subscription.
struct MonitorSub {
    std::mutex mux;
    bool active = true;
    EqMonitorCallback cb = nullptr;
    void* user = nullptr;
};

class MonitorHub {
  public:
    // Never destroyed, so publishing threads may outlive static destruction.
    static MonitorHub& instance();

    void subscribe(const D_fct* prop, const std::shared_ptr<MonitorSub>& sub);
    // After it returns the callback of sub is not running and will not run again.
    void unsubscribe(const D_fct* prop, const std::shared_ptr<MonitorSub>& sub);
    // Drops every subscription of a property that is being destroyed.
    void forget(const D_fct* prop);
    // True when somebody wants pushed values of prop.
    bool wanted(const D_fct* prop) const;
    void publish(const D_fct* prop, EqData* value);

  private:
    mutable std::mutex mux_;
    std::unordered_map<const D_fct*, std::vector<std::shared_ptr<MonitorSub>>> subs_;
    std::atomic<int> count_{0};
};

}  // namespace velko::detail
