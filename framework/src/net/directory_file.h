// The directory file of the network client: which host and port serve each FACILITY/DEVICE.
// One server a line, "FACILITY/DEVICE HOST:PORT"; '#' starts a comment; blank lines are skipped.
#pragma once

#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace velko::net {

struct ServerEndpoint {
    std::string host;  // a name or an address; an IPv6 address without its brackets
    int port = 0;
    // HOST:PORT, an IPv6 address in brackets.
    std::string text() const;
};

struct DirectoryContents {
    std::map<std::string, ServerEndpoint> servers;  // by "FACILITY/DEVICE"
    std::vector<std::string> problems;              // one sentence per bad line, "FILE:LINE: ..."
};

// Parses the text of a directory file. Bad lines are skipped and reported in problems; the first
// line naming a FACILITY/DEVICE wins.
DirectoryContents parse_directory(std::string_view text, const std::string& file_name);

// A directory file read from disk and read again whenever its modification time or size changes.
// Safe to use from any thread.
class DirectoryFile {
  public:
    // Finds FACILITY/DEVICE in the file at path. Returns true with *where set, or false with a
    // sentence in *why (file unreadable, device not listed; the first bad line is named).
    bool lookup(const std::string& path, const std::string& facility, const std::string& device, ServerEndpoint* where,
                std::string* why);

  private:
    // Reads the file again when it changed; false with *why when it cannot be read.
    bool refresh(const std::string& path, std::string* why);

    std::mutex mux_;
    std::string path_;
    struct timespec mtime_ {};
    long long size_ = -1;
    DirectoryContents contents_;
};

}  // namespace velko::net
