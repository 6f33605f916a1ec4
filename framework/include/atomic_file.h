// Replacing a file so that a crash leaves either the old or the new content, never a mix, while
// the file keeps its mode, its owner, and the links that lead to it.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>

namespace velko {

// How a file is replaced.
struct AtomicWriteOptions {
    // Keep the previous file as path + ".bak".
    bool backup = false;
    // Write the file in place (not atomically, and only at commit) when replacing it would fail or
    // lose what the file has: its directory refuses the temporary file but the file is writable,
    // the file has further hard links, or its owner cannot be given to a new file.
    bool in_place_fallback = false;
};

// A file being replaced. open() follows symbolic links to the file they name, removes temporary
// files left beside it by saves whose process no longer runs, and creates a temporary file
// ".NAME.tmp.PID.RANDOM" beside it with the file's mode and owner; write() appends to it; commit()
// flushes it to disk and renames it over the file. Until commit the file is untouched, and an
// uncommitted temporary file is removed when the object goes.
class AtomicFile {
  public:
    explicit AtomicFile(const AtomicWriteOptions& options = AtomicWriteOptions());
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // 0, or 1 with a sentence naming the file in *error (when not null).
    int open(const std::string& path, std::string* error);
    // Appends; a failure is reported by commit.
    void write(const std::string& text);
    // 0 when the whole content is on disk under the file's name; otherwise 1 with a sentence in
    // *error, the temporary file removed and (unless written in place) the file untouched.
    int commit(std::string* error);
    // Whether open chose to write the file in place.
    bool in_place() const { return in_place_; }

  private:
    int fail(std::string* error, const std::string& text);
    int open_temporary(const struct stat* old, std::string* error);
    int open_in_place(const std::string& why, std::string* error);
    void discard();

    AtomicWriteOptions options_;
    std::string target_;
    std::string temp_;
    std::string pending_;  // in place: the content, written at commit
    int fd_ = -1;
    off_t written_ = 0;
    int write_errno_ = 0;
    bool in_place_ = false;
};

// Writes content through an AtomicFile. Returns 0, or 1 with a sentence naming the file in *error
// (when not null).
int write_file_atomically(const std::string& path, const std::string& content, const AtomicWriteOptions& options,
                          std::string* error);

// For tests: called with the temporary file's path after it is written and flushed, just before
// the rename. Null removes the hook.
void set_atomic_write_hook(void (*hook)(const std::string& temp_path));

}  // namespace velko
