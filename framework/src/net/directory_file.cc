#include "net/directory_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace velko::net {

namespace {

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

std::vector<std::string> words_of(std::string_view line) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && is_space(line[i])) {
            ++i;
        }
        size_t start = i;
        while (i < line.size() && !is_space(line[i])) {
            ++i;
        }
        if (i > start) {
            words.emplace_back(line.substr(start, i - start));
        }
    }
    return words;
}

bool has_control(const std::string& s) {
    for (unsigned char c : s) {
        if (c < 0x20 || c == 0x7f) {
            return true;
        }
    }
    return false;
}

// FACILITY/DEVICE: two non-empty parts.
bool valid_device(const std::string& s) {
    size_t slash = s.find('/');
    return slash != std::string::npos && slash > 0 && slash + 1 < s.size() &&
           s.find('/', slash + 1) == std::string::npos && !has_control(s);
}

// HOST:PORT or [IPV6]:PORT. Empty *why on success.
ServerEndpoint parse_endpoint(const std::string& s, std::string* why) {
    ServerEndpoint ep;
    size_t colon;
    if (!s.empty() && s[0] == '[') {
        size_t close = s.find(']');
        if (close == std::string::npos || close + 1 >= s.size() || s[close + 1] != ':') {
            *why = "\"" + s + "\" is not HOST:PORT (an IPv6 address is written [ADDRESS]:PORT)";
            return ep;
        }
        ep.host = s.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = s.rfind(':');
        if (colon == std::string::npos) {
            *why = "\"" + s + "\" is not HOST:PORT";
            return ep;
        }
        ep.host = s.substr(0, colon);
    }
    std::string port = s.substr(colon + 1);
    if (ep.host.empty() || has_control(ep.host)) {
        *why = "\"" + s + "\" names no host";
        return ep;
    }
    long value = 0;
    bool digits = !port.empty() && port.size() <= 5;
    for (char c : port) {
        digits = digits && c >= '0' && c <= '9';
        value = value * 10 + (c - '0');
    }
    if (!digits || value < 1 || value > 65535) {
        *why = "the port \"" + port + "\" is not a number from 1 to 65535";
        return ep;
    }
    ep.port = static_cast<int>(value);
    return ep;
}

}  // namespace

std::string ServerEndpoint::text() const {
    bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

DirectoryContents parse_directory(std::string_view text, const std::string& file_name) {
    DirectoryContents out;
    std::map<std::string, int> first_line;
    int number = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        ++number;
        size_t hash = line.find('#');
        if (hash != std::string_view::npos) {
            line = line.substr(0, hash);
        }
        std::vector<std::string> words = words_of(line);
        if (words.empty()) {
            continue;
        }
        std::string where = file_name + ":" + std::to_string(number) + ": ";
        if (words.size() != 2 || !valid_device(words[0])) {
            out.problems.push_back(where + "expected \"FACILITY/DEVICE HOST:PORT\", not \"" +
                                   std::string(line.substr(line.find_first_not_of(" \t"))) + "\".");
            continue;
        }
        std::string why;
        ServerEndpoint ep = parse_endpoint(words[1], &why);
        if (!why.empty()) {
            out.problems.push_back(where + why + ".");
            continue;
        }
        auto seen = first_line.emplace(words[0], number);
        if (!seen.second) {
            out.problems.push_back(where + words[0] + " is already listed on line " +
                                   std::to_string(seen.first->second) + "; this line is ignored.");
            continue;
        }
        out.servers.emplace(words[0], ep);
    }
    return out;
}

bool DirectoryFile::refresh(const std::string& path, std::string* why) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        *why = "the directory file " + path + " cannot be read: " + std::strerror(errno) + ".";
        path_.clear();
        return false;
    }
    if (path == path_ && st.st_mtim.tv_sec == mtime_.tv_sec && st.st_mtim.tv_nsec == mtime_.tv_nsec &&
        static_cast<long long>(st.st_size) == size_) {
        return true;
    }
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in) {
        *why = "the directory file " + path + " cannot be read.";
        path_.clear();
        return false;
    }
    contents_ = parse_directory(text.str(), path);
    path_ = path;
    mtime_ = st.st_mtim;
    size_ = static_cast<long long>(st.st_size);
    return true;
}

bool DirectoryFile::lookup(const std::string& path, const std::string& facility, const std::string& device,
                           ServerEndpoint* where, std::string* why) {
    std::lock_guard<std::mutex> lock(mux_);
    if (!refresh(path, why)) {
        return false;
    }
    auto it = contents_.servers.find(facility + "/" + device);
    if (it != contents_.servers.end()) {
        *where = it->second;
        return true;
    }
    *why = "the directory file " + path + " does not list it.";
    if (!contents_.problems.empty()) {
        *why += " A line of that file is not valid: " + contents_.problems.front();
    }
    return false;
}

}  // namespace velko::net
