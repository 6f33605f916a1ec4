#include "velko_test.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "server.h"

namespace testsupport {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/velko-test-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) {
        ADD_FAILURE() << "Cannot create a temporary directory from " << tmpl;
    }
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string TempDir::file(const std::string& name) const {
    return path_ + "/" + name;
}

std::vector<std::string> TempDir::entries() const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(path_))
        out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        ADD_FAILURE() << "Cannot write " << path;
    }
}

bool file_exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

ConfigWriter::ConfigWriter(const std::string& facility, const std::string& device) {
    lines_.push_back("facility " + facility);
    lines_.push_back("device " + device);
}

ConfigWriter& ConfigWriter::rate(int ms) {
    return line("rate " + std::to_string(ms));
}

ConfigWriter& ConfigWriter::port(int port) {
    return line("port " + std::to_string(port));
}

ConfigWriter& ConfigWriter::location(const std::string& name, int eq_code, const std::string& kind) {
    if (in_block_) {
        lines_.emplace_back("}");
    }
    lines_.push_back("location " + name + " " + std::to_string(eq_code) + " " + (kind.empty() ? "\"\"" : kind) + " {");
    in_block_ = true;
    return *this;
}

ConfigWriter& ConfigWriter::property(const std::string& name, const std::string& value_text) {
    return line(name + " " + value_text);
}

ConfigWriter& ConfigWriter::line(const std::string& raw) {
    lines_.push_back(raw);
    return *this;
}

std::string ConfigWriter::text() const {
    std::string out;
    for (const std::string& l : lines_) {
        out += l + "\n";
    }
    if (in_block_) {
        out += "}\n";
    }
    return out;
}

std::string ConfigWriter::write(const std::string& path) const {
    write_file(path, text());
    return path;
}

ServerThread::ServerThread(velko::Server& server) : server_(server), thread_([&server] { server.run(); }) {}

ServerThread::~ServerThread() {
    if (thread_.joinable()) {
        server_.stop();
        thread_.join();
    }
}

void ServerThread::join() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

}  // namespace testsupport
