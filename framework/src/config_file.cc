// Reading the server's configuration file (format in docs/server.md).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <unordered_map>

#include "config.h"
#include "text_tokens.h"

namespace velko {

namespace {

using text::excerpt;
using text::has_control;
using text::parse_int;
using text::split_first_word;
using text::trim;

// A part of an address: one word without '/' or control characters (a NUL would make an address
// that no client can write).
bool valid_part(const std::string& s) {
    return !s.empty() && s.find_first_of("/ ") == std::string::npos && !has_control(s);
}

// The next line of text from *pos on, without its end: LF, CR LF or a CR alone.
std::string next_line(const std::string& text, size_t* pos) {
    const size_t start = *pos;
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) {
        *pos = text.size();
        return text.substr(start);
    }
    *pos = end + (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1);
    return text.substr(start, end - start);
}

// The largest configuration file that is read (docs/server.md).
constexpr off_t kMaxConfigBytes = off_t{64} << 20;
constexpr char kTooLarge[] = "it is larger than 64 MiB";

class Parser {
  public:
    Parser(const std::string& file, ServerConfig* out) : file_(file), out_(out) {}

    // Returns false with error_ set at the first fault.
    bool parse(const std::string& text) {
        size_t pos = 0;
        while (pos < text.size()) {
            const std::string raw = next_line(text, &pos);
            ++line_;
            if (raw.find('\0') != std::string::npos) {
                return fail_at(line_, "the line holds a NUL byte, which a configuration file never does");
            }
            std::string t = trim(raw);
            if (t.empty()) {
                continue;
            }
            if (t[0] == '#') {
                pending_.push_back(t);
                continue;
            }
            if (!(in_block_ ? block_line(t) : setting_line(t))) {
                return false;
            }
        }
        if (in_block_) {
            const LocationConfig& loc = out_->locations.back();
            return fail_at(loc.line, "the block of location " + loc.name + " is not closed with a line \"}\"");
        }
        out_->trailing_comments = std::move(pending_);
        if (out_->facility.empty()) {
            return fail("the facility is not set (add a line \"facility NAME\")");
        }
        if (out_->device.empty()) {
            return fail("the device is not set (add a line \"device NAME\")");
        }
        return true;
    }

    const std::string& error() const { return error_; }

  private:
    bool fail(const std::string& what) {
        error_ = file_ + ": " + what + ".";
        return false;
    }
    bool fail_at(int line, const std::string& what) {
        error_ = file_ + ":" + std::to_string(line) + ": " + what + ".";
        return false;
    }

    bool once(const char* key) {
        for (const std::string& k : seen_) {
            if (k == key) {
                return fail_at(line_, std::string("\"") + key + "\" is set twice");
            }
        }
        seen_.emplace_back(key);
        return true;
    }

    bool setting_line(const std::string& t) {
        std::string key;
        std::string rest;
        split_first_word(t, &key, &rest);
        if (key == "location") {
            return location_header(rest);
        }
        out_->comments.insert(out_->comments.end(), pending_.begin(), pending_.end());
        pending_.clear();
        if (key == "facility" || key == "device") {
            if (!valid_part(rest)) {
                return fail_at(
                    line_, "the " + key + " must be one word without '/' or control characters, not " + excerpt(rest));
            }
            (key == "facility" ? out_->facility : out_->device) = rest;
            return once(key == "facility" ? "facility" : "device");
        }
        if (key == "rate") {
            if (!parse_int(rest, &out_->rate_ms) || out_->rate_ms <= 0) {
                return fail_at(line_, "the rate must be a number of milliseconds above 0, not " + excerpt(rest));
            }
            return once("rate");
        }
        if (key == "port") {
            if (!parse_int(rest, &out_->port) || out_->port < 0 || out_->port > 65535) {
                return fail_at(line_, "the port must be a number from 0 to 65535, not " + excerpt(rest));
            }
            return once("port");
        }
        for (const NumberSetting& n : number_settings()) {
            if (key == n.key) {
                int v = 0;
                if (!parse_int(rest, &v) || v < n.min || v > n.max) {
                    return fail_at(line_, std::string("the setting ") + n.key + " must be a number from " +
                                              std::to_string(n.min) + " to " + std::to_string(n.max) + ", not " +
                                              excerpt(rest));
                }
                out_->*n.field = v;
                return once(n.key);
            }
        }
        if (key == "listen") {
            if (!valid_part(rest)) {
                return fail_at(
                    line_, "the listen setting needs one address (like 127.0.0.1 or 0.0.0.0), not " + excerpt(rest));
            }
            out_->listen = rest;
            return once("listen");
        }
        if (key == "token_file") {
            out_->token_file = unquote_text(rest);
            if (out_->token_file.empty()) {
                return fail_at(line_, "the token_file setting needs a path");
            }
            return once("token_file");
        }
        if (key == "directory" || key == "archive") {
            std::string path = unquote_text(rest);
            if (path.empty()) {
                return fail_at(line_, "the " + key + " setting needs a path");
            }
            (key == "directory" ? out_->directory : out_->archive_dir) = path;
            return once(key == "directory" ? "directory" : "archive");
        }
        return fail_at(line_, excerpt(key) +
                                  " is not a setting; expected facility, device, rate, port, listen, "
                                  "token_file, directory, archive, call_timeout, max_connections, max_request_bytes, "
                                  "request_timeout, idle_timeout, max_subscriptions, event_queue_limit or location");
    }

    bool location_header(const std::string& rest) {
        std::vector<std::string> w = text::split(rest);
        if (w.size() != 4 || w[3] != "{") {
            return fail_at(line_, "a location block must start with a line \"location NAME CODE KIND {\"");
        }
        LocationConfig loc;
        loc.name = w[0];
        loc.kind = w[2] == "\"\"" ? "" : w[2];
        loc.line = line_;
        if (!valid_part(loc.name) || loc.name == "*") {
            return fail_at(line_, "the location name " + excerpt(loc.name) +
                                      " is not allowed (no '/', no control characters, not \"*\")");
        }
        if (!parse_int(w[1], &loc.eq_code)) {
            return fail_at(line_,
                           "the equipment code of location " + loc.name + " must be an integer, not " + excerpt(w[1]));
        }
        if (has_control(loc.kind)) {
            return fail_at(line_,
                           "the kind " + excerpt(loc.kind) + " of location " + loc.name + " holds control characters");
        }
        auto first = location_lines_.emplace(loc.name, line_);
        if (!first.second) {
            return fail_at(line_, "location " + loc.name + " is configured twice (first at line " +
                                      std::to_string(first.first->second) + ")");
        }
        loc.comments = std::move(pending_);
        pending_.clear();
        out_->locations.push_back(std::move(loc));
        in_block_ = true;
        return true;
    }

    bool block_line(const std::string& t) {
        LocationConfig& loc = out_->locations.back();
        if (t == "}") {
            loc.trailing_comments = std::move(pending_);
            pending_.clear();
            in_block_ = false;
            return true;
        }
        ConfigRecord rec;
        split_first_word(t, &rec.name, &rec.text);
        if (rec.name == "location" && t.back() == '{') {
            return fail_at(loc.line, "the block of location " + loc.name +
                                         " is not closed with a line \"}\" before the next block (line " +
                                         std::to_string(line_) + ")");
        }
        if (rec.name.find('/') != std::string::npos || has_control(rec.name)) {
            return fail_at(line_, "the property name " + excerpt(rec.name) + " of location " + loc.name +
                                      " holds '/' or control characters");
        }
        for (const ConfigRecord& other : loc.records) {
            if (other.name == rec.name) {
                return fail_at(line_, "property " + rec.name + " of location " + loc.name +
                                          " is configured twice (first at line " + std::to_string(other.line) + ")");
            }
        }
        rec.file = file_;
        rec.line = line_;
        rec.comments = std::move(pending_);
        pending_.clear();
        parse_config_record(&rec);
        loc.records.push_back(std::move(rec));
        return true;
    }

    std::string file_;
    ServerConfig* out_;
    std::string error_;
    int line_ = 0;
    bool in_block_ = false;
    std::vector<std::string> pending_;
    std::vector<std::string> seen_;
    std::unordered_map<std::string, int> location_lines_;  // name of each location block, its line
};

// Reads the whole configuration file into *text; "" or why it cannot. Only a regular file of at
// most kMaxConfigBytes is read: a device or a huge file would exhaust memory, and opening without
// blocking keeps a FIFO from holding up the start.
std::string read_config_bytes(const std::string& path, std::string* text) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return std::strerror(errno);
    }
    struct stat st {};
    std::string why;
    if (fstat(fd, &st) != 0) {
        why = std::strerror(errno);
    } else if (S_ISDIR(st.st_mode)) {
        why = "it is a directory";
    } else if (!S_ISREG(st.st_mode)) {
        why = "it is not a regular file";
    } else if (st.st_size > kMaxConfigBytes) {
        why = kTooLarge;
    }
    char buf[65536];
    while (why.empty()) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n == 0) {
            break;
        }
        if (n < 0 && errno != EINTR) {
            why = std::strerror(errno);
        } else if (n > 0) {
            text->append(buf, static_cast<size_t>(n));
            if (text->size() > static_cast<size_t>(kMaxConfigBytes)) {
                why = kTooLarge;  // it grew while being read
            }
        }
    }
    ::close(fd);
    return why;
}

}  // namespace

const std::vector<NumberSetting>& number_settings() {
    // clang-format off
    static const std::vector<NumberSetting> settings = {
        {"call_timeout",      &ServerConfig::call_timeout_ms,    1,    3600000},
        {"max_connections",   &ServerConfig::max_connections,    1,    100000},
        {"max_request_bytes", &ServerConfig::max_request_bytes,  1024, 1073741824},
        {"request_timeout",   &ServerConfig::request_timeout_ms, 1,    3600000},
        {"idle_timeout",      &ServerConfig::idle_timeout_ms,    1,    86400000},
        {"max_subscriptions", &ServerConfig::max_subscriptions,  1,    1000000},
        {"event_queue_limit", &ServerConfig::event_queue_limit,  1,    100000000},
    };
    // clang-format on
    return settings;
}

int parse_config_text(const std::string& text, const std::string& file_name, ServerConfig* out, std::string* error) {
    ServerConfig cfg;
    cfg.file = file_name;
    Parser parser(file_name, &cfg);
    if (!parser.parse(text)) {
        *out = ServerConfig();
        if (error != nullptr) {
            *error = parser.error();
        }
        return 1;
    }
    *out = std::move(cfg);
    return 0;
}

int read_config_file(const std::string& path, ServerConfig* out, std::string* error) {
    std::string text;
    const std::string why = read_config_bytes(path, &text);
    if (why.empty()) {
        return parse_config_text(text, path, out, error);
    }
    *out = ServerConfig();
    if (error != nullptr) {
        *error = "Cannot read the configuration file " + path + ": " + why + ".";
    }
    return 1;
}

}  // namespace velko
