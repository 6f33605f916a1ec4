// Replacing a file atomically: temporary file beside it, flushed to disk, renamed over it.
#include "atomic_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
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

std::string base_name(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string error_text(int err) {
    return std::strerror(err);
}

// The file that path names once symbolic links are followed; it need not exist yet, as when a
// link points at a file not made so far. False with errno set when the links cannot be followed.
bool follow_links(const std::string& path, std::string* out) {
    std::string p = path;
    for (int hops = 0; hops < 40; hops++) {
        struct stat st {};
        if (::lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            *out = p;
            return true;
        }
        char buf[PATH_MAX];
        ssize_t n = ::readlink(p.c_str(), buf, sizeof buf);
        if (n < 0) {
            return false;
        }
        if (static_cast<size_t>(n) >= sizeof buf) {
            errno = ENAMETOOLONG;
            return false;
        }
        std::string link(buf, static_cast<size_t>(n));
        p = link[0] == '/' ? link : parent_dir(p) + "/" + link;
    }
    errno = ELOOP;
    return false;
}

// Eight hex digits that differ between the temporary files of one process and between processes.
std::string random_part() {
    static std::atomic<unsigned> counter{0};
    unsigned v = 0;
    if (::getrandom(&v, sizeof v, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof v)) {
        v = counter.fetch_add(1) * 2654435761u ^ static_cast<unsigned>(std::time(nullptr));
    }
    char text[9];
    snprintf(text, sizeof text, "%08x", v);
    return text;
}

// The process that made name as a temporary file of base (".BASE.tmp.PID.RANDOM"), or 0 when
// name is no such file.
pid_t temp_owner(const std::string& name, const std::string& base) {
    const std::string prefix = "." + base + ".tmp.";
    if (name.compare(0, prefix.size(), prefix) != 0) {
        return 0;
    }
    size_t i = prefix.size();
    long pid = 0;
    while (i < name.size() && name[i] >= '0' && name[i] <= '9' && i - prefix.size() < 9) {
        pid = pid * 10 + (name[i] - '0');
        i++;
    }
    bool well_formed = i > prefix.size() && i + 1 < name.size() && name[i] == '.';
    return well_formed ? static_cast<pid_t>(pid) : 0;
}

// Removes the temporary files of base in dir left by saves whose process no longer runs (killed
// before their rename). Files of running processes, this one included, stay.
void remove_leftovers(const std::string& dir, const std::string& base) {
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) {
        return;
    }
    while (dirent* e = ::readdir(d)) {
        pid_t pid = temp_owner(e->d_name, base);
        if (pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH) {
            ::unlinkat(::dirfd(d), e->d_name, 0);
        }
    }
    ::closedir(d);
}

// Keeps the current file as path.bak: a hard link when allowed and the file is about to be
// replaced, else a copy (a file written in place would change its hard link too).
int keep_backup(const std::string& path, bool copy, std::string* error) {
    std::string bak = path + ".bak";
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return 0;  // nothing to keep yet
    }
    if (::unlink(bak.c_str()) != 0 && errno != ENOENT) {
        if (error != nullptr) {
            *error = "Cannot save " + path + ": cannot remove the old backup " + bak + ": " + error_text(errno) + ".";
        }
        return 1;
    }
    if (!copy && ::link(path.c_str(), bak.c_str()) == 0) {
        return 0;
    }
    std::ifstream in(path, std::ios::binary);
    std::ostringstream old;
    old << in.rdbuf();
    if (!in) {
        if (error != nullptr) {
            *error = "Cannot save " + path + ": cannot read it to keep a backup.";
        }
        return 1;
    }
    return write_file_atomically(bak, old.str(), AtomicWriteOptions(), error);
}

void sync_directory(const std::string& dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

}  // namespace

AtomicFile::AtomicFile(const AtomicWriteOptions& options) : options_(options) {}

AtomicFile::~AtomicFile() {
    discard();
}

int AtomicFile::fail(std::string* error, const std::string& text) {
    if (error != nullptr) {
        *error = text;
    }
    return 1;
}

void AtomicFile::discard() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!in_place_ && !temp_.empty()) {
        ::unlink(temp_.c_str());
    }
    temp_.clear();
    pending_.clear();
    written_ = 0;
    write_errno_ = 0;
    in_place_ = false;
}

int AtomicFile::open(const std::string& path, std::string* error) {
    discard();
    if (!follow_links(path, &target_)) {
        return fail(error,
                    "Cannot save " + path + ": its symbolic links cannot be followed: " + error_text(errno) + ".");
    }
    struct stat st {};
    bool exists = ::stat(target_.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) {
        return fail(error, "Cannot save " + target_ + ": it is a directory.");
    }
    remove_leftovers(parent_dir(target_), base_name(target_));
    if (exists && st.st_nlink > 1 && options_.in_place_fallback) {
        return open_in_place("it has further hard links", error);
    }
    return open_temporary(exists ? &st : nullptr, error);
}

int AtomicFile::open_temporary(const struct stat* old, std::string* error) {
    const std::string stem =
        parent_dir(target_) + "/." + base_name(target_) + ".tmp." + std::to_string(::getpid()) + ".";
    int err = EEXIST;
    for (int attempt = 0; attempt < 100 && err == EEXIST; attempt++) {
        temp_ = stem + random_part();
        // A replaced file's mode is set below; a new file gets the mode fopen would give it.
        fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, old != nullptr ? 0600 : 0666);
        err = fd_ < 0 ? errno : 0;
    }
    if (fd_ < 0) {
        std::string why = "cannot create the temporary file " + temp_ + ": " + error_text(err);
        temp_.clear();
        if (options_.in_place_fallback && old != nullptr && (err == EACCES || err == EPERM)) {
            return open_in_place(why, error);
        }
        return fail(error, "Cannot save " + target_ + ": " + why + ".");
    }
    if (old != nullptr) {
        struct stat now {};
        bool same_owner = ::fstat(fd_, &now) == 0 && now.st_uid == old->st_uid && now.st_gid == old->st_gid;
        if (!same_owner && ::fchown(fd_, old->st_uid, old->st_gid) != 0 && options_.in_place_fallback) {
            return open_in_place("its owner cannot be given to a new file", error);
        }
        ::fchmod(fd_, old->st_mode & 07777);  // after fchown, which may clear set-id bits
    }
    return 0;
}

int AtomicFile::open_in_place(const std::string& why, std::string* error) {
    discard();
    fd_ = ::open(target_.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd_ < 0) {
        return fail(error, "Cannot save " + target_ + ": " + why +
                               ", and it cannot be opened for writing in place: " + error_text(errno) + ".");
    }
    in_place_ = true;
    return 0;
}

void AtomicFile::write(const std::string& text) {
    if (fd_ < 0 || write_errno_ != 0) {
        return;
    }
    if (in_place_) {
        pending_ += text;
        return;
    }
    if (!detail::write_all(fd_, text.data(), text.size(), written_)) {
        write_errno_ = errno != 0 ? errno : EIO;
        return;
    }
    written_ += static_cast<off_t>(text.size());
}

int AtomicFile::commit(std::string* error) {
    if (fd_ < 0) {
        return fail(error, "Cannot save " + target_ + ": it was not opened for writing.");
    }
    if (in_place_) {
        if (options_.backup && keep_backup(target_, true, error) != 0) {
            discard();
            return 1;
        }
        bool ok = ::ftruncate(fd_, 0) == 0 && detail::write_all(fd_, pending_.data(), pending_.size(), 0) &&
                  ::fsync(fd_) == 0;
        int err = errno;
        ok = ::close(fd_) == 0 && ok;
        fd_ = -1;
        discard();
        if (!ok) {
            return fail(error, "Cannot save " + target_ + ": writing it in place failed: " + error_text(err) + ".");
        }
        return 0;
    }
    bool ok = write_errno_ == 0 && ::fsync(fd_) == 0;
    int err = write_errno_ != 0 ? write_errno_ : errno;
    if (::close(fd_) != 0 && ok) {
        ok = false;
        err = errno;
    }
    fd_ = -1;
    if (!ok) {
        std::string temp = temp_;
        discard();
        return fail(error, "Cannot save " + target_ + ": writing the temporary file " + temp +
                               " failed: " + error_text(err) + ".");
    }
    if (auto hook = g_hook.load()) {
        hook(temp_);
    }
    if (options_.backup && keep_backup(target_, false, error) != 0) {
        discard();
        return 1;
    }
    if (::rename(temp_.c_str(), target_.c_str()) != 0) {
        err = errno;
        std::string temp = temp_;
        discard();
        return fail(error,
                    "Cannot save " + target_ + ": renaming " + temp + " over it failed: " + error_text(err) + ".");
    }
    temp_.clear();
    sync_directory(parent_dir(target_));
    return 0;
}

int write_file_atomically(const std::string& path, const std::string& content, const AtomicWriteOptions& options,
                          std::string* error) {
    AtomicFile file(options);
    if (file.open(path, error) != 0) {
        return 1;
    }
    file.write(content);
    return file.commit(error);
}

void set_atomic_write_hook(void (*hook)(const std::string& temp_path)) {
    g_hook.store(hook);
}

}  // namespace velko
