#include "cli_format.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "net/value_json.h"

namespace velko::cli {

std::string time_text(double unix_seconds) {
    time_t whole = static_cast<time_t>(unix_seconds);
    int ms = static_cast<int>((unix_seconds - static_cast<double>(whole)) * 1000.0);
    if (ms < 0 || ms > 999) {
        ms = 0;
    }
    struct tm parts {};
    localtime_r(&whole, &parts);
    char buf[64];
    size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &parts);
    std::snprintf(buf + n, sizeof buf - n, ".%03d", ms);
    return buf;
}

bool parse_time(const std::string& text, double* unix_seconds) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (end != nullptr && *end == '\0') {
        *unix_seconds = v;
        return true;
    }
    struct tm parts {};
    const char* rest = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &parts);
    if (rest == nullptr || *rest != '\0') {
        return false;
    }
    parts.tm_isdst = -1;
    time_t t = std::mktime(&parts);
    if (t == static_cast<time_t>(-1)) {
        return false;
    }
    *unix_seconds = static_cast<double>(t);
    return true;
}

std::string json_line(const std::string& address, const EqData& value, double timestamp) {
    nlohmann::json j =
        value.error() != 0 ? net::error_to_json(value.error(), value.error_text()) : net::value_to_json(value);
    j["address"] = address;
    if (timestamp > 0) {
        j["timestamp"] = timestamp;
    }
    return net::dump_json(j);
}

}  // namespace velko::cli
