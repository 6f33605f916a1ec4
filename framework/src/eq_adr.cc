// velko::EqAdr: parsing and printing of FACILITY/DEVICE/LOCATION/PROPERTY addresses.
#include "eq_adr.h"

namespace velko {

namespace {

// White space and control characters never belong to an address part.
bool is_bad_char(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return u <= 0x20 || u == 0x7f;
}

}  // namespace

EqAdr::EqAdr() = default;

int EqAdr::adr(const std::string& text) {
    facility_.clear();
    device_.clear();
    location_.clear();
    property_.clear();
    if (text.empty()) {
        return -1;
    }
    std::string parts[4];
    size_t n = 0;
    for (const char c : text) {
        if (is_bad_char(c)) {
            return -1;
        }
        if (c == '/') {
            if (++n == 4) {
                return -1;
            }
            continue;
        }
        parts[n] += c;
    }
    facility_ = parts[0];
    device_ = parts[1];
    location_ = parts[2];
    property_ = parts[3];
    return 0;
}

void EqAdr::set(const char* facility, const char* location, const char* device, const char* property) {
    facility_ = facility != nullptr ? facility : "";
    location_ = location != nullptr ? location : "";
    device_ = device != nullptr ? device : "";
    property_ = property != nullptr ? property : "";
}

void EqAdr::set_location(const char* location) {
    location_ = location != nullptr ? location : "";
}

void EqAdr::set_property(const char* property) {
    property_ = property != nullptr ? property : "";
}

const char* EqAdr::facility() const {
    return facility_.c_str();
}

const char* EqAdr::device() const {
    return device_.c_str();
}

const char* EqAdr::location() const {
    return location_.c_str();
}

const char* EqAdr::property() const {
    return property_.c_str();
}

std::string EqAdr::show_adr() const {
    return facility_ + "/" + device_ + "/" + location_ + "/" + property_;
}

}  // namespace velko
