// The machine endpoints: the locations holding machine parts, a part's structure in its three
// forms, and its machine's trace, through the describer the state-machine library registered.
#include "eq_fct.h"
#include "locations.h"
#include "machine_view.h"
#include "net/calls.h"
#include "net/machine_formats.h"
#include "net/value_json.h"

namespace velko::net {

using nlohmann::json;

EqFct* Calls::machine_location(const std::string& address, Failure* fail) const {
    EqData out;
    if (!served(address + "/", &out)) {
        *fail = {out.error(), out.get_string()};
        return nullptr;
    }
    const size_t slash = address.rfind('/');
    EqFct* loc = LocationDirectory::find(facility_, device_, address.substr(slash + 1));
    if (loc == nullptr) {
        *fail = {ERR_UNKNOWN_LOCATION, "Unknown location \"" + address + "\"."};
        return nullptr;
    }
    if (machine_describer() == nullptr) {
        *fail = {ERR_UNKNOWN_LOCATION, "The location " + address + " holds no state machine."};
        return nullptr;
    }
    return loc;
}

Reply Calls::machines() const {
    json list = json::array();
    if (MachineDescriber* d = machine_describer()) {
        for (EqFct* loc : LocationDirectory::locations(facility_, device_)) {
            MachineView m;
            if (d->summary(loc, &m)) {
                list.push_back({{"location", m.location},
                                {"address", facility_ + "/" + device_ + "/" + m.location},
                                {"machine", m.machine},
                                {"top", m.top.name},
                                {"root", m.root}});
            }
        }
    }
    Reply r;
    r.body = dump_json(json{{"facility", facility_}, {"device", device_}, {"machines", list}});
    return r;
}

Reply Calls::machine(const Target& target) const {
    Failure fail;
    EqFct* loc = machine_location(target.address, &fail);
    MachineView m;
    if (loc == nullptr || !machine_describer()->describe(loc, target.address, &m, &fail.message)) {
        fail.code = fail.code == ERR_NONE ? ERR_UNKNOWN_LOCATION : fail.code;
        return error_reply(target.address, fail);
    }
    Reply r;
    switch (target.format) {
        case MachineFormat::kDot:
            r.body = machine_dot(m);
            r.content_type = "text/vnd.graphviz; charset=utf-8";
            break;
        case MachineFormat::kScxml:
            r.body = machine_scxml(m);
            r.content_type = "application/scxml+xml; charset=utf-8";
            break;
        default:
            r.body = dump_json(machine_json(m, target.address));
            break;
    }
    return r;
}

Reply Calls::trace(const Target& target) const {
    Failure fail;
    EqFct* loc = machine_location(target.address, &fail);
    TraceView t;
    if (loc == nullptr || !machine_describer()->trace(loc, target.address, target.after, &t, &fail.message)) {
        fail.code = fail.code == ERR_NONE ? ERR_UNKNOWN_LOCATION : fail.code;
        return error_reply(target.address, fail);
    }
    Reply r;
    r.body = dump_json(trace_json(t, target.address));
    return r;
}

}  // namespace velko::net
