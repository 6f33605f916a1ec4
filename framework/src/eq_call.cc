// velko::EqCall: calls on addresses. Every call first resolves FACILITY/DEVICE among the locations
// this process serves and calls the location directly; other devices are called over the network
// through a velko::NetClient (directory file, one connection per server).
#include "eq_call.h"

#include <map>
#include <memory>
#include <string>

#include "call_errors.h"
#include "d_fct.h"
#include "eq_fct.h"
#include "locations.h"
#include "monitor_hub.h"
#include "net_client.h"

namespace velko {

namespace {

using detail::address_text;

// The served location of adr, or null with the error answered in out.
EqFct* resolve_location(const EqAdr* adr, EqData* out) {
    if (adr == nullptr) {
        out->error(ERR_BAD_ADDRESS, "No address was given.");
        return nullptr;
    }
    std::string fac = adr->facility();
    std::string dev = adr->device();
    if (fac.empty() || dev.empty()) {
        out->error(ERR_BAD_ADDRESS, "The address \"" + address_text(adr) + "\" names no facility and device.");
        return nullptr;
    }
    if (!LocationDirectory::serves(fac, dev)) {
        out->error(ERR_UNKNOWN_DEVICE,
                   "Unknown device \"" + fac + "/" + dev + "\": no server of this process serves it.");
        return nullptr;
    }
    if (adr->location()[0] == '\0') {
        out->error(ERR_BAD_ADDRESS, "The address \"" + address_text(adr) + "\" names no location.");
        return nullptr;
    }
    EqFct* loc = LocationDirectory::find(fac, dev, adr->location());
    if (loc == nullptr) {
        out->error(ERR_UNKNOWN_LOCATION, "Unknown location \"" + fac + "/" + dev + "/" + adr->location() + "\".");
    }
    return loc;
}

// Copies in when it is the output container too, so the call reads the caller's value.
struct Input {
    EqData copy;
    EqData* in;
    Input(EqData* given, const EqData* out) : in(given) {
        if (given == nullptr || given == out) {
            if (given != nullptr) {
                copy.copy_from(given);
            }
            in = &copy;
        }
    }
};

// Calls op of the location that adr names; the answer is in out, its error code the result.
int call_location(void (EqFct::*op)(EqAdr*, EqData*, EqData*), EqAdr* adr, EqData* in, EqData* out) {
    if (out == nullptr) {
        return ERR_BAD_ADDRESS;
    }
    Input input(in, out);
    out->init();
    if (EqFct* loc = resolve_location(adr, out)) {
        (loc->*op)(adr, input.in, out);
    }
    return out->error();
}

// True when adr names a device that this process does not serve: the call goes over the network.
bool is_remote(const EqAdr* adr) {
    return adr != nullptr && adr->facility()[0] != '\0' && adr->device()[0] != '\0' &&
           !LocationDirectory::serves(adr->facility(), adr->device());
}

bool wants_callback(EqMonitorCallback cb) {
    return cb != nullptr && cb != no_monitor_callback();
}

}  // namespace

struct EqCall::Impl {
    struct Monitor {
        D_fct* prop = nullptr;
        std::shared_ptr<detail::MonitorSub> sub;  // only when the caller gave a callback
        long remote = 0;                          // the network client's subscription of a remote address
        bool read = true;                         // read since the previous update()
    };
    std::map<std::string, Monitor> monitors;
    std::unique_ptr<NetClient> net;  // made by the first remote call

    NetClient& client() {
        if (!net) {
            net = std::make_unique<NetClient>();
        }
        return *net;
    }

    void drop(Monitor& m) {
        if (m.sub) {
            detail::MonitorHub::instance().unsubscribe(m.prop, m.sub);
        }
        if (m.remote != 0) {
            net->unsubscribe(m.remote);
        }
    }

    // A first monitored read of a remote address: subscribes and answers ERR_MONITOR_PENDING.
    int monitor_remote(EqAdr* adr, EqData* out, EqMonitorCallback cb, void* user) {
        NetClient::MonitorHandler handler;
        if (wants_callback(cb)) {
            handler = [cb, user](const std::string&, const EqData& value, double) {
                EqData copy(value);
                cb(user, &copy);
            };
        }
        Monitor m;
        m.remote = client().subscribe(*adr, std::move(handler), out);
        if (m.remote == 0) {
            return out->error();
        }
        std::string key = adr->show_adr();
        monitors.emplace(key, m);
        out->error(ERR_MONITOR_PENDING, "The monitor of \"" + key + "\" is not yet established.");
        return out->error();
    }
};

EqCall::EqCall() : impl_(new Impl) {}

EqCall::~EqCall() {
    for (auto& entry : impl_->monitors) {
        impl_->drop(entry.second);
    }
    delete impl_;
}

int EqCall::get(EqAdr* adr, EqData* in, EqData* out) {
    if (out != nullptr && is_remote(adr)) {
        return impl_->client().get(*adr, out);
    }
    return call_location(&EqFct::get, adr, in, out);
}

int EqCall::set(EqAdr* adr, EqData* in, EqData* out) {
    if (out != nullptr && is_remote(adr)) {
        EqData none;
        return impl_->client().set(*adr, in == nullptr ? none : *in, out);
    }
    return call_location(&EqFct::set, adr, in, out);
}

int EqCall::names(EqAdr* adr, EqData* out) {
    if (out == nullptr) {
        return ERR_BAD_ADDRESS;
    }
    if (is_remote(adr)) {
        return impl_->client().names(*adr, out);
    }
    out->init();
    if (adr != nullptr && std::string(adr->location()) == "*") {
        if (!LocationDirectory::serves(adr->facility(), adr->device())) {
            resolve_location(adr, out);  // answers the missing parts or the unknown device
            return out->error();
        }
        out->set_type(DATA_A_USTR);
        std::vector<EqFct*> locs = LocationDirectory::locations(adr->facility(), adr->device());
        for (size_t i = 0; i < locs.size(); ++i) {
            std::string name = locs[i]->name();
            USTR rec{};
            rec.i1_data = locs[i]->fct_code();
            rec.str_data.str_data_len = static_cast<int>(name.size());
            rec.str_data.str_data_val = name.data();
            out->set(rec, static_cast<int>(i));
        }
        return out->error();
    }
    if (EqFct* loc = resolve_location(adr, out)) {
        loc->names(adr, out);
    }
    return out->error();
}

int EqCall::get_monitor(EqAdr* adr, EqData* in, EqData* out, int, float, EqMonitorCallback cb, void* user) {
    if (out == nullptr) {
        return ERR_BAD_ADDRESS;
    }
    std::string key = address_text(adr);
    auto it = impl_->monitors.find(key);
    if (it != impl_->monitors.end()) {
        it->second.read = true;
        if (it->second.remote != 0) {
            return impl_->net->latest(it->second.remote, out);  // the newest pushed value
        }
        // Served in this process: the latest value is the property's current one.
        return get(adr, in, out);
    }
    out->init();
    if (is_remote(adr)) {
        return impl_->monitor_remote(adr, out, cb, user);
    }
    EqFct* loc = resolve_location(adr, out);
    if (loc == nullptr) {
        return out->error();
    }
    D_fct* prop = loc->find_property(adr->property());
    if (prop == nullptr) {
        detail::answer_unknown_property(adr, out);
        return out->error();
    }
    Impl::Monitor m;
    m.prop = prop;
    if (wants_callback(cb)) {
        m.sub = std::make_shared<detail::MonitorSub>();
        m.sub->cb = cb;
        m.sub->user = user;
        detail::MonitorHub::instance().subscribe(prop, m.sub);
    }
    impl_->monitors.emplace(key, m);
    out->error(ERR_MONITOR_PENDING, "The monitor of \"" + key + "\" is not yet established.");
    return out->error();
}

int EqCall::update(int) {
    for (auto it = impl_->monitors.begin(); it != impl_->monitors.end();) {
        if (!it->second.read) {
            impl_->drop(it->second);
            it = impl_->monitors.erase(it);
        } else {
            it->second.read = false;
            ++it;
        }
    }
    return 0;
}

}  // namespace velko
