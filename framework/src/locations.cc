// The process-wide directory of served locations. Never destroyed: engine threads of the
// application may look locations up until the process ends.
#include "locations.h"

#include <map>
#include <mutex>
#include <utility>

#include "eq_fct.h"

namespace velko {

namespace {

bool valid_part(const std::string& s) {
    if (s.empty()) {
        return false;
    }
    for (char c : s) {
        if (c == '/' || c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            return false;
        }
    }
    return true;
}

struct Directory {
    std::mutex mux;
    // facility/device -> locations in the order they were added
    std::map<std::pair<std::string, std::string>, std::vector<EqFct*>> served;
    std::vector<EqFct*> retired;

    static Directory& get() {
        static Directory* d = new Directory();
        return *d;
    }
};

}  // namespace

int LocationDirectory::add(const std::string& facility, const std::string& device, EqFct* loc) {
    if (loc == nullptr || !valid_part(facility) || !valid_part(device) || !valid_part(loc->name()) ||
        loc->name() == "*") {
        return 1;
    }
    Directory& d = Directory::get();
    std::lock_guard<std::mutex> lock(d.mux);
    std::vector<EqFct*>& locs = d.served[{facility, device}];
    for (EqFct* other : locs) {
        if (other->name() == loc->name()) {
            return 1;
        }
    }
    locs.push_back(loc);
    return 0;
}

EqFct* LocationDirectory::find(const std::string& facility, const std::string& device, const std::string& location) {
    Directory& d = Directory::get();
    std::lock_guard<std::mutex> lock(d.mux);
    auto it = d.served.find({facility, device});
    if (it == d.served.end()) {
        return nullptr;
    }
    for (EqFct* loc : it->second) {
        if (loc->name() == location) {
            return loc;
        }
    }
    return nullptr;
}

bool LocationDirectory::serves(const std::string& facility, const std::string& device) {
    Directory& d = Directory::get();
    std::lock_guard<std::mutex> lock(d.mux);
    auto it = d.served.find({facility, device});
    return it != d.served.end() && !it->second.empty();
}

std::vector<EqFct*> LocationDirectory::locations(const std::string& facility, const std::string& device) {
    Directory& d = Directory::get();
    std::lock_guard<std::mutex> lock(d.mux);
    auto it = d.served.find({facility, device});
    return it == d.served.end() ? std::vector<EqFct*>() : it->second;
}

void LocationDirectory::retire(const std::string& facility, const std::string& device) {
    Directory& d = Directory::get();
    std::lock_guard<std::mutex> lock(d.mux);
    auto it = d.served.find({facility, device});
    if (it == d.served.end()) {
        return;
    }
    d.retired.insert(d.retired.end(), it->second.begin(), it->second.end());
    d.served.erase(it);
}

void LocationDirectory::keep(EqFct* loc) {
    if (loc == nullptr) {
        return;
    }
    Directory& d = Directory::get();
    std::lock_guard<std::mutex> lock(d.mux);
    d.retired.push_back(loc);
}

}  // namespace velko
