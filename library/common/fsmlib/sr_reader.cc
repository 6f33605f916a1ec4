// Save-and-restore files: opening, reading items into lists, file locks and list release.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>

#include "sr_internal.h"

namespace {

const char kHeader[] = "//Save_&_Restore//";
const char kHeaderReadOnly[] = "//Save_&_Restore_R_O//";

// Buffer sizes of the reader: the longest header token, address part and value it takes.
const size_t kTokenSize = 256;
const size_t kPartSize = 65;
// A value of at most 255 characters (what the save writes) together with the character before ';'
// and the ';' itself.
const size_t kValueSize = 257;

// The stream belongs to the reader alone (open_file hands it over and nothing else uses it), so
// characters are taken without locking the stream for each one.

// Reads the next token into buf (at most size - 1 characters kept, the rest of the token still
// consumed) and leaves the character that ended it unread. Returns the token's whole length, or
// -1 when the file ends before a token starts.
long read_token(FILE* fp, char* buf, size_t size) {
    int c;
    do {
        c = getc_unlocked(fp);
    } while (c != EOF && sr_is_space(c));
    if (c == EOF) {
        buf[0] = '\0';
        return -1;
    }
    size_t kept = 0;
    long length = 0;
    while (c != EOF && !sr_is_space(c)) {
        if (kept + 1 < size)
            buf[kept++] = static_cast<char>(c);
        if (length < LONG_MAX)
            length++;
        c = getc_unlocked(fp);
    }
    buf[kept] = '\0';
    if (c != EOF)
        ungetc(c, fp);
    return length;
}

// A token is usable as text when it was kept whole and holds no NUL byte.
bool whole(const char* buf, long length) {
    return length >= 0 && strlen(buf) == static_cast<size_t>(length);
}

bool is_token(const char* buf, long length, const char* text) {
    return whole(buf, length) && strcmp(buf, text) == 0;
}

// Skips tokens up to and including the next token that is exactly ";". False at end of file.
bool skip_section(FILE* fp) {
    char buf[2];  // only whether a token is ";" matters
    for (;;) {
        long length = read_token(fp, buf, sizeof buf);
        if (length < 0)
            return false;
        if (length == 1 && buf[0] == ';')
            return true;
    }
}

// Reads a decimal integer as "%d" does: white space, an optional sign, digits. Returns 1 with
// *value set, 0 when no number stands there (or it does not fit an int), -1 at end of file.
int read_int(FILE* fp, int* value) {
    int c;
    do {
        c = getc_unlocked(fp);
    } while (c != EOF && sr_is_space(c));
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        c = getc_unlocked(fp);
    }
    if (c == EOF)
        return -1;
    if (c < '0' || c > '9') {
        ungetc(c, fp);
        return 0;
    }
    long long n = 0;
    bool fits = true;
    while (c >= '0' && c <= '9') {
        n = n * 10 + (c - '0');
        if (n > static_cast<long long>(INT_MAX) + 1) {
            fits = false;
            n = 0;
        }
        c = getc_unlocked(fp);
    }
    if (c != EOF)
        ungetc(c, fp);
    if (negative)
        n = -n;
    if (!fits || n > INT_MAX || n < INT_MIN)
        return 0;
    *value = static_cast<int>(n);
    return 1;
}

// Reads an item's value: its first token and, unless that is ";", every character up to and
// including the next ';', of which the ';' and the character before it are dropped. Returns 1 with
// the value in buf (kValueSize bytes), 0 when the value is unusable (too long or holding a NUL
// byte; the item is then dropped but the file stays in step), -1 at end of file.
int read_value(FILE* fp, char* buf) {
    long length = read_token(fp, buf, kTokenSize);
    if (length < 0)
        return -1;
    if (length == 1 && buf[0] == ';') {
        strcpy(buf, " ");
        return 1;
    }
    bool usable = whole(buf, length);
    size_t n = usable ? static_cast<size_t>(length) : 0;
    for (;;) {
        int c = getc_unlocked(fp);
        if (c == EOF)
            return -1;
        if (c == '\0')
            usable = false;
        if (n < kValueSize) {
            buf[n] = static_cast<char>(c);
        } else {
            usable = false;
        }
        n++;
        if (c == ';')
            break;
    }
    if (!usable)
        return 0;
    buf[n - 2] = '\0';
    return 1;
}

// An address part: kept whole and at most 64 characters.
bool good_part(const char* buf, long length) {
    return whole(buf, length) && static_cast<size_t>(length) < kPartSize;
}

// Whether text can be one part of an address that reads back: no '/', no white space and no control
// character (what velko::EqAdr::adr refuses). Checked here, per part, rather than by parsing the
// joined text again for every item.
bool address_part(const char* text) {
    for (const char* p = text; *p != '\0'; ++p) {
        const unsigned char u = static_cast<unsigned char>(*p);
        if (u == '/' || u <= 0x20 || u == 0x7f)
            return false;
    }
    return true;
}

// The text form of the address of the four parts, or "" when the parts make no address that reads
// back.
std::string address_text(const char* facility, const char* device, const char* location, const char* property) {
    if (!address_part(facility) || !address_part(device) || !address_part(location) || !address_part(property))
        return std::string();
    velko::EqAdr adr;
    adr.set(facility, location, device, property);
    return adr.show_adr();
}

// A record lock of the given type on the whole file behind fd (cmd F_SETLK or F_SETLKW).
int whole_file_lock(int fd, int cmd, short type) {
    struct flock fl = {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    return fcntl(fd, cmd, &fl);
}

void close_locked(FILE* fp) {
    file_unlock(fileno(fp));
    fclose(fp);
}

}  // namespace

void file_lock(int fd) {
    while (whole_file_lock(fd, F_SETLKW, F_RDLCK) == -1 && errno == EINTR) {
    }
}

void file_unlock(int fd) {
    whole_file_lock(fd, F_SETLK, F_UNLCK);
}

FILE* open_file(char* file, velko::EqData* data) {
    // A directory opens, and reading it fails below like an empty file: 304.
    FILE* fp = file != nullptr ? fopen(file, "r") : nullptr;
    if (fp == nullptr) {
        if (data != nullptr)
            data->error(302, "open error");
        return nullptr;
    }
    file_lock(fileno(fp));
    rewind(fp);
    char token[kTokenSize];
    long length = read_token(fp, token, sizeof token);
    if (length < 0) {
        if (data != nullptr)
            data->error(304, "read error");
        close_locked(fp);
        return nullptr;
    }
    if (!is_token(token, length, kHeader) && !is_token(token, length, kHeaderReadOnly)) {
        if (data != nullptr)
            data->error(303, "not sr file");
        close_locked(fp);
        return nullptr;
    }
    return fp;
}

void read_fill(FILE* fp, std::vector<sr_data*>* list) {
    if (skip_section(fp) && skip_section(fp)) {
        char token[kTokenSize];
        char part[3][kTokenSize];
        char value[kValueSize];
        for (;;) {
            long length = read_token(fp, token, sizeof token);
            if (length < 0)
                break;
            bool usable = good_part(token, length);
            bool end = false;
            for (char* p : part) {
                length = read_token(fp, p, kTokenSize);
                if (length < 0) {
                    end = true;
                    break;
                }
                usable = usable && good_part(p, length);
            }
            if (end)
                break;
            int type = 0;
            int got = read_int(fp, &type);
            if (got < 0)
                break;
            usable = usable && got == 1;
            got = read_value(fp, value);
            if (got < 0)
                break;
            if (!usable || got == 0)
                continue;
            std::string name = address_text(token, part[0], part[1], part[2]);
            if (name.empty())
                continue;
            if (type == DATA_NULL)
                strcpy(value, "  ");
            list->push_back(new_item(name.c_str(), value, type));
        }
    }
    close_locked(fp);
}

int fill_list(char* file, velko::EqData* data, std::vector<sr_data*>** sr_data_p_) {
    if (sr_data_p_ == nullptr || *sr_data_p_ == nullptr)
        return 1;
    FILE* fp = open_file(file, data);
    if (fp == nullptr)
        return 1;
    read_fill(fp, *sr_data_p_);
    return 0;
}

int get_item(char* file, int i, sr_data** d_p_) {
    if (i <= 0 || d_p_ == nullptr || *d_p_ == nullptr)
        return 1;
    velko::EqData data;
    FILE* fp = open_file(file, &data);
    if (fp == nullptr)
        return 1;
    std::vector<sr_data*> list;
    read_fill(fp, &list);
    int result = 1;
    if (static_cast<size_t>(i) <= list.size()) {
        // The record's former strings belong to the caller and are not released here.
        const sr_data* item = list[static_cast<size_t>(i) - 1];
        sr_data* copy = new_item(item->name_, item->value_, item->type_);
        **d_p_ = *copy;
        delete copy;
        result = 0;
    }
    clear_list(&list);
    return result;
}

void clear_list(std::vector<sr_data*>* sr_data_p_) {
    if (sr_data_p_ == nullptr)
        return;
    for (sr_data* item : *sr_data_p_) {
        delete[] item->name_;
        delete[] item->value_;
        delete item;
    }
    sr_data_p_->clear();
}

void clear(std::vector<char*>* str_) {
    if (str_ == nullptr)
        return;
    for (char* s : *str_)
        delete[] s;
    delete str_;
}
