// Reading the server's configuration file (format in docs/server.md).
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "config.h"
#include "text_tokens.h"

namespace velko {

namespace {

using text::parse_int;
using text::split_first_word;
using text::trim;

bool valid_part(const std::string& s) {
    if (s.empty()) {
        return false;
    }
    for (char c : s) {
        if (c == '/' || c == ' ' || c == '\t') {
            return false;
        }
    }
    return true;
}

class Parser {
  public:
    Parser(const std::string& file, ServerConfig* out) : file_(file), out_(out) {}

    // Returns false with error_ set at the first fault.
    bool parse(const std::string& text) {
        std::istringstream in(text);
        std::string raw;
        while (std::getline(in, raw)) {
            ++line_;
            if (!raw.empty() && raw.back() == '\r') {
                raw.pop_back();
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
                return fail_at(line_, "the " + key + " must be one word without '/', not \"" + rest + "\"");
            }
            (key == "facility" ? out_->facility : out_->device) = rest;
            return once(key == "facility" ? "facility" : "device");
        }
        if (key == "rate") {
            if (!parse_int(rest, &out_->rate_ms) || out_->rate_ms <= 0) {
                return fail_at(line_, "the rate must be a number of milliseconds above 0, not \"" + rest + "\"");
            }
            return once("rate");
        }
        if (key == "port") {
            if (!parse_int(rest, &out_->port) || out_->port < 0 || out_->port > 65535) {
                return fail_at(line_, "the port must be a number from 0 to 65535, not \"" + rest + "\"");
            }
            return once("port");
        }
        for (const NumberSetting& n : number_settings()) {
            if (key == n.key) {
                int v = 0;
                if (!parse_int(rest, &v) || v < n.min || v > n.max) {
                    return fail_at(line_, std::string("the setting ") + n.key + " must be a number from " +
                                              std::to_string(n.min) + " to " + std::to_string(n.max) + ", not \"" +
                                              rest + "\"");
                }
                out_->*n.field = v;
                return once(n.key);
            }
        }
        if (key == "listen") {
            if (!valid_part(rest)) {
                return fail_at(
                    line_, "the listen setting needs one address (like 127.0.0.1 or 0.0.0.0), not \"" + rest + "\"");
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
        return fail_at(line_, "\"" + key +
                                  "\" is not a setting; expected facility, device, rate, port, listen, "
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
            return fail_at(line_, "the location name \"" + loc.name + "\" is not allowed (no '/', not \"*\")");
        }
        if (!parse_int(w[1], &loc.eq_code)) {
            return fail_at(line_,
                           "the equipment code of location " + loc.name + " must be an integer, not \"" + w[1] + "\"");
        }
        for (const LocationConfig& other : out_->locations) {
            if (other.name == loc.name) {
                return fail_at(line_, "location " + loc.name + " is configured twice (first at line " +
                                          std::to_string(other.line) + ")");
            }
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
        if (rec.name.find('/') != std::string::npos) {
            return fail_at(line_, "the property name \"" + rec.name + "\" of location " + loc.name + " contains '/'");
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
};

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
    std::string why;
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        why = "it is a directory";
    } else {
        std::ifstream in(path, std::ios::binary);
        if (in) {
            std::ostringstream text;
            text << in.rdbuf();
            if (!in.bad()) {
                return parse_config_text(text.str(), path, out, error);
            }
        }
        why = std::strerror(errno);
    }
    *out = ServerConfig();
    if (error != nullptr) {
        *error = "Cannot read the configuration file " + path + ": " + why + ".";
    }
    return 1;
}

}  // namespace velko
