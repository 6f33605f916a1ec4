// Save: writes a new save-and-restore file from a template and the current values.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "sr_internal.h"

namespace {

const size_t kValueSize = 256;

// The new file of a save. It is written under a temporary name in the target's directory and
// renamed over the target only when it is complete and on disk, so a crash or a full disk never
// leaves a half-written target.
class SaveFile {
  public:
    SaveFile() : fp(nullptr) {}
    ~SaveFile() { discard(); }
    SaveFile(const SaveFile&) = delete;
    SaveFile& operator=(const SaveFile&) = delete;

    // Creates the temporary file. False when it cannot be made or the target is a directory.
    bool open(const char* path) {
        target = path;
        struct stat st;
        if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
            // Replace the file the link points at, as writing through the link would.
            char* real = realpath(path, nullptr);
            if (real != nullptr)
                target = real;
            free(real);
        }
        bool exists = stat(target.c_str(), &st) == 0;
        if (exists && S_ISDIR(st.st_mode))
            return false;
        static unsigned counter = 0;
        for (int attempt = 0; attempt < 100; attempt++) {
            unsigned n = __atomic_add_fetch(&counter, 1, __ATOMIC_RELAXED);
            temp = target + ".tmp." + std::to_string(getpid()) + "." + std::to_string(n);
            int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd < 0) {
                if (errno == EEXIST)
                    continue;
                return false;
            }
            // Keep the permissions of the file being replaced.
            if (exists)
                fchmod(fd, st.st_mode & 07777);
            fp = fdopen(fd, "w");
            if (fp == nullptr) {
                close(fd);
                unlink(temp.c_str());
                return false;
            }
            return true;
        }
        return false;
    }

    FILE* stream() { return fp; }

    // Flushes the file to disk and renames it over the target. False (and the temporary file
    // removed, the target untouched) when any write failed.
    bool commit() {
        bool ok = fflush(fp) == 0 && ferror(fp) == 0 && fsync(fileno(fp)) == 0;
        ok = fclose(fp) == 0 && ok;
        fp = nullptr;
        if (ok)
            ok = rename(temp.c_str(), target.c_str()) == 0;
        if (!ok) {
            unlink(temp.c_str());
            return false;
        }
        sync_directory();
        return true;
    }

  private:
    void discard() {
        if (fp == nullptr)
            return;
        fclose(fp);
        fp = nullptr;
        unlink(temp.c_str());
    }

    // Makes the rename itself durable.
    void sync_directory() {
        size_t slash = target.rfind('/');
        std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
        int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            return;
        fsync(fd);
        close(fd);
    }

    FILE* fp;
    std::string target;
    std::string temp;
};

// The value of one item taken from a state's channel: the template's value when the state has no
// such channel or cannot read it. Cut to what a value buffer holds, like a value from the equipment.
void value_from_state(FSMstate* sp, const sr_data* item, const char* property, char* value) {
    const char* text = item->value_;
    char* current = nullptr;
    int handle = sp->data_open(property, 0);
    if (handle != -1) {
        sp->data_lock(handle, 0);
        current = channel_text(sp, handle);
        sp->data_unlock(handle, 0);
        if (current != nullptr)
            text = current;
    }
    snprintf(value, kValueSize, "%s", text);
    delete[] current;
}

}  // namespace

int sr_save(char* file, char* new_file, velko::EqData* data, FSMstate* sp) {
    velko::EqData request;
    velko::EqData result;
    time_t started = time(nullptr);
    FILE* fp = open_file(file, data);
    if (fp == nullptr)
        return 1;
    SaveFile out;
    if (new_file == nullptr || !out.open(new_file)) {
        file_unlock(fileno(fp));
        fclose(fp);
        return 1;
    }
    std::vector<sr_data*> list;
    read_fill(fp, &list);

    FILE* o = out.stream();
    char date[64];
    if (ctime_r(&started, date) == nullptr)
        snprintf(date, sizeof date, "%ld\n", static_cast<long>(started));
    fprintf(o, "//Save_&_Restore//\n");
    fprintf(o, " FSM created Save & Restore file ;\n");
    fprintf(o, " %s ;\n", date);

    int rc = 0;
    velko::EqAdr adr;
    char value[kValueSize];
    for (const sr_data* item : list) {
        request.init();
        adr.adr(item->name_);
        bool failed = false;
        if (sp != nullptr) {
            value_from_state(sp, item, adr.property(), value);
        } else {
            result.init();
            sr_get(&adr, &request, &result);
            result.get_string(value, sizeof value);
            failed = result.error() != 0;
        }
        // A ';' would end the value early and the rest would be read as further items: the file
        // keeps the value up to it.
        char* semicolon = strchr(value, ';');
        if (semicolon != nullptr)
            *semicolon = '\0';
        fprintf(o, "%s %s %s %s\t%d\t%s\t;\n", adr.facility(), adr.device(), adr.location(), adr.property(),
                item->type_, value);
        if (failed) {
            // The file keeps the items before the failing one and the failing item's error text.
            rc = 1;
            break;
        }
    }
    clear_list(&list);
    if (!out.commit())
        rc = 1;
    return rc;
}
