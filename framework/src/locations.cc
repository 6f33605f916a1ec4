// The process-wide directory of served locations. Never destroyed: engine threads of the
// application may look locations up until the process ends.
#include "locations.h"

#include <map>
#include <mutex>
#include <unordered_map>
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

struct Device {
    bool open = false;                                // found by calls
    std::vector<EqFct*> locs;                         // in the order they were added
    std::unordered_map<std::string, EqFct*> by_name;  // the same, by their names when added
};

struct Directory {
    std::mutex mux;
    std::map<std::pair<std::string, std::string>, Device> served;
    std::vector<EqFct*> retired;

    static Directory& get() {
        static Directory* d = new Directory();
        return *d;
    }
};

}  // namespace

int LocationDirectory::add(const std::string& facility, const std::string& device, EqFct* loc, bool open) {
    if (loc == nullptr || !valid_part(facility) || !valid_part(device) || !valid_part(loc->name()) ||
        loc->name() == "*") {
        return 1;
    }
    Directory& d = Directory::get();
    std::lock_guard<std::mutex> lock(d.mux);
    Device& dev = d.served[{facility, device}];
    if (!dev.by_name.emplace(loc->name(), loc).second) {
        return 1;
    }
    dev.locs.push_back(loc);
    dev.open = dev.open || open;
    return 0;
}

void LocationDirectory::open(const std::string& facility, const std::string& device) {
    Directory& d = Directory::get();
    std::lock_guard<std::mutex> lock(d.mux);
    auto it = d.served.find({facility, device});
    if (it != d.served.end()) {
        it->second.open = true;
    }
}

EqFct* LocationDirectory::find(const std::string& facility, const std::string& device, const std::string& location) {
    Directory& d = Directory::get();
    std::lock_guard<std::mutex> lock(d.mux);
    auto it = d.served.find({facility, device});
    if (it == d.served.end() || !it->second.open) {
        return nullptr;
    }
    auto found = it->second.by_name.find(location);
    return found == it->second.by_name.end() ? nullptr : found->second;
}

bool LocationDirectory::serves(const std::string& facility, const std::string& device) {
    Directory& d = Directory::get();
    std::lock_guard<std::mutex> lock(d.mux);
    auto it = d.served.find({facility, device});
    return it != d.served.end() && !it->second.locs.empty();
}

std::vector<EqFct*> LocationDirectory::locations(const std::string& facility, const std::string& device) {
    Directory& d = Directory::get();
    std::lock_guard<std::mutex> lock(d.mux);
    auto it = d.served.find({facility, device});
    return it == d.served.end() || !it->second.open ? std::vector<EqFct*>() : it->second.locs;
}

void LocationDirectory::retire(const std::string& facility, const std::string& device) {
    Directory& d = Directory::get();
    std::lock_guard<std::mutex> lock(d.mux);
    auto it = d.served.find({facility, device});
    if (it == d.served.end()) {
        return;
    }
    d.retired.insert(d.retired.end(), it->second.locs.begin(), it->second.locs.end());
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
