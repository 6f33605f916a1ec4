#include "net/calls.h"

#include <chrono>
#include <cstring>

#include "eq_adr.h"
#include "eq_call.h"
#include "eq_fct.h"
#include "locations.h"
#include "net/value_json.h"

namespace velko::net {

using nlohmann::json;

namespace {

// One client per worker thread: a client is not safe for concurrent use, and the calls it makes
// here go to this process's locations, serialised per property by the platform.
EqCall& client() {
    thread_local EqCall call;
    return call;
}

double now_seconds() {
    using namespace std::chrono;
    return duration_cast<duration<double>>(system_clock::now().time_since_epoch()).count();
}

Reply answer(const std::string& address, const EqData& d) {
    Reply r;
    r.status = static_cast<unsigned>(http_status(d.error()));
    r.body = dump_json(address_answer(address, d));
    return r;
}

std::string first_word(const char* text) {
    if (text == nullptr) {
        return std::string();
    }
    const size_t n = std::strcspn(text, " \t\n");
    return std::string(text, n);
}

}  // namespace

json address_answer(const std::string& address, const EqData& d) {
    json j = answer_to_json(d);
    j["address"] = address;
    if (d.error() == ERR_NONE) {
        j["timestamp"] = now_seconds();
    }
    return j;
}

Reply error_reply(const std::string& address, const Failure& failure, bool foreign, bool too_large) {
    Reply r;
    r.status =
        static_cast<unsigned>(failure.status != 0 ? failure.status : http_status(failure.code, foreign, too_large));
    json j = error_to_json(failure.code, failure.message);
    j["address"] = address;
    r.body = dump_json(j);
    return r;
}

Calls::Calls(std::string facility, std::string device, std::function<void(json*)> describe)
    : facility_(std::move(facility)), device_(std::move(device)), describe_(std::move(describe)) {}

bool Calls::served(const std::string& address, EqData* out) const {
    EqAdr adr;
    if (adr.adr(address) != 0) {
        out->error(ERR_BAD_ADDRESS, "The address \"" + address + "\" is not valid.");
        return false;
    }
    if (adr.facility() != facility_ || adr.device() != device_) {
        out->error(ERR_UNKNOWN_DEVICE, "Unknown device \"" + std::string(adr.facility()) + "/" + adr.device() +
                                           "\": this server serves " + facility_ + "/" + device_ + ".");
        return false;
    }
    return true;
}

Reply Calls::get(const std::string& address) const {
    return answer(address, read_value(address));
}

EqData Calls::read_value(const std::string& address) const {
    EqData out;
    if (served(address, &out)) {
        EqAdr adr;
        adr.adr(address);
        EqData in;
        client().get(&adr, &in, &out);
    }
    return out;
}

const D_fct* Calls::find_property(const std::string& address) const {
    EqData out;
    if (!served(address, &out)) {
        return nullptr;
    }
    EqAdr adr;
    adr.adr(address);
    EqFct* loc = LocationDirectory::find(adr.facility(), adr.device(), adr.location());
    return loc == nullptr ? nullptr : loc->find_property(adr.property());
}

json Calls::read(const std::string& address) const {
    return address_answer(address, read_value(address));
}

Reply Calls::set(const std::string& address, EqData* in) const {
    EqData out;
    if (served(address, &out)) {
        EqAdr adr;
        adr.adr(address);
        client().set(&adr, in, &out);
    }
    return answer(address, out);
}

Reply Calls::names(const std::string& address) const {
    EqData out;
    const std::string full = address + "/";
    if (!served(full, &out)) {
        return answer(address, out);
    }
    EqAdr adr;
    adr.adr(full);
    client().names(&adr, &out);
    if (out.error() != ERR_NONE) {
        return answer(address, out);
    }
    const bool locations = std::strcmp(adr.location(), "*") == 0;
    json list = json::array();
    for (int i = 0; i < out.length(); ++i) {
        int code = 0;
        float f1 = 0;
        float f2 = 0;
        long tm = 0;
        char* text = nullptr;
        if (out.get_ustr(&code, &f1, &f2, &tm, &text, i) == 0) {
            list.push_back(json{{"name", first_word(text)}, {locations ? "code" : "type", code}});
        }
    }
    Reply r;
    r.body = dump_json(json{{"address", address}, {locations ? "locations" : "properties", list}});
    return r;
}

Reply Calls::history(const Target& target) const {
    const EqData out = read_value(target.address);
    if (out.error() != ERR_NONE) {
        return answer(target.address, out);
    }
    if (out.type() != DATA_A_TDS) {
        return error_reply(
            target.address,
            {ERR_WRONG_TYPE, "The property " + target.address + " keeps no history: its value is of type " +
                                 (type_name(out.type()).empty() ? std::to_string(out.type()) : type_name(out.type())) +
                                 ", not A_TDS."});
    }
    json records = json::array();
    const json all = value_to_json(out);
    for (const json& rec : all["value"]) {
        const double tm = rec["tm"].get<double>();
        if ((!target.has_since || tm >= target.since) && (!target.has_until || tm <= target.until)) {
            records.push_back(rec);
        }
    }
    Reply r;
    r.body = dump_json(json{{"address", target.address}, {"records", records}});
    return r;
}

Reply Calls::server() const {
    json j{{"facility", facility_}, {"device", device_}};
    if (describe_) {
        describe_(&j);
    }
    Reply r;
    r.body = dump_json(j);
    return r;
}

}  // namespace velko::net
