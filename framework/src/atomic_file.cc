// Replacing a file atomically: temporary file beside it, flushed to disk, renamed over it.
#include "atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "fd_io.h"

namespace velko {

namespace {

std::atomic<void (*)(const std::string&)> g_hook{nullptr};

std::string parent_dir(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

int fail(std::string* error, const std::string& text) {
    if (error != nullptr) {
        *error = text;
    }
    return 1;
}

// Keeps the current file as path.bak: a hard link when the file system allows it, else a copy.
int keep_backup(const std::string& path, std::string* error) {
    std::string bak = path + ".bak";
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return 0;  // nothing to keep yet
    }
    if (::unlink(bak.c_str()) != 0 && errno != ENOENT) {
        return fail(
            error, "Cannot save " + path + ": cannot remove the old backup " + bak + ": " + std::strerror(errno) + ".");
    }
    if (::link(path.c_str(), bak.c_str()) == 0) {
        return 0;
    }
    std::ifstream in(path, std::ios::binary);
    std::ostringstream old;
    old << in.rdbuf();
    if (!in) {
        return fail(error, "Cannot save " + path + ": cannot read it to keep a backup.");
    }
    return write_file_atomically(bak, old.str(), false, error);
}

}  // namespace

int write_file_atomically(const std::string& path, const std::string& content, bool backup, std::string* error) {
    std::string tmp = path + ".tmp";
    mode_t mode = 0644;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        mode = st.st_mode & 07777;
    }
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        return fail(error, "Cannot save " + path + ": cannot create the temporary file " + tmp + ": " +
                               std::strerror(errno) + ".");
    }
    bool ok = detail::write_all(fd, content.data(), content.size(), 0) && ::fsync(fd) == 0;
    int saved_errno = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        saved_errno = errno;
    }
    if (!ok) {
        ::unlink(tmp.c_str());
        return fail(error, "Cannot save " + path + ": writing the temporary file " + tmp +
                               " failed: " + std::strerror(saved_errno) + ".");
    }
    if (auto hook = g_hook.load()) {
        hook(tmp);
    }
    if (backup && keep_backup(path, error) != 0) {
        ::unlink(tmp.c_str());
        return 1;
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        saved_errno = errno;
        ::unlink(tmp.c_str());
        return fail(error, "Cannot save " + path + ": renaming " + tmp +
                               " over it failed: " + std::strerror(saved_errno) + ".");
    }
    // Makes the rename itself durable.
    int dir = ::open(parent_dir(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return 0;
}

void set_atomic_write_hook(void (*hook)(const std::string& temp_path)) {
    g_hook.store(hook);
}

}  // namespace velko
