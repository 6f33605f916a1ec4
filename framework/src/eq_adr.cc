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
    // Where each part starts; the parts are copied only once the whole text has been checked.
    size_t start[5];
    size_t n = 0;
    start[0] = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (is_bad_char(c)) {
            return -1;
        }
        if (c == '/') {
            if (++n == 4) {
                return -1;
            }
            start[n] = i + 1;
        }
    }
    start[n + 1] = text.size() + 1;
    std::string* parts[4] = {&facility_, &device_, &location_, &property_};
    for (size_t k = 0; k <= n; ++k) {
        parts[k]->assign(text, start[k], start[k + 1] - 1 - start[k]);
    }
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
    std::string text;
    text.reserve(facility_.size() + device_.size() + location_.size() + property_.size() + 3);
    text.append(facility_).append(1, '/').append(device_).append(1, '/');
    text.append(location_).append(1, '/').append(property_);
    return text;
}

}  // namespace velko
