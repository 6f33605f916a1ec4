// Save-and-restore files: opening, reading items into lists, file locks and list release.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>

#include "sr_internal.h"

namespace {

const char kHeader[] = "//Save_&_Restore//";
const char kHeaderReadOnly[] = "//Save_&_Restore_R_O//";

// The longest header token the reader compares.
const size_t kTokenSize = 256;
// The longest address part and value an item may have.
const size_t kPartMax = 64;
const size_t kValueMax = 255;
// A value of at most kValueMax characters together with the character before ';' and the ';'.
const size_t kValueSpan = kValueMax + 2;

const char kBlankValue[] = " ";
const char kNullValue[] = "  ";

// The header token is read from the stream before the rest is taken in one piece; the stream
// belongs to the reader alone, so characters are taken without locking it for each one.

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

// What is left of fp, read in one piece into *text and followed by a NUL byte (not counted).
void read_rest(FILE* fp, std::vector<char>* text) {
    struct stat st;
    size_t room = 64 * 1024;
    if (fstat(fileno(fp), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
        room = static_cast<size_t>(st.st_size) + 1;  // one more, so that the first read meets the end
    text->resize(room);
    size_t used = 0;
    for (;;) {
        if (used == text->size())
            text->resize(text->size() * 2);
        size_t want = text->size() - used;
        size_t got = fread(text->data() + used, 1, want, fp);
        used += got;
        if (got < want)
            break;  // end of file, or a read error, which ends the file like its end
    }
    text->resize(used + 1);
    (*text)[used] = '\0';
}

// The tokens of a file's text after its header token, as the character-by-character reader takes
// them: tokens are separated by white space; a value runs from its first token to the next ';'.
class Scanner {
  public:
    // text: end points at a NUL byte that belongs to the buffer and is not part of the text.
    Scanner(char* begin, char* end) : p_(begin), end_(end) {}

    // The next token at *start, length *length; the character that ended it (white space or the
    // end) stays next. False when the text ends before a token starts.
    bool token(char** start, size_t* length) {
        while (p_ < end_ && sr_is_space(static_cast<unsigned char>(*p_)))
            ++p_;
        if (p_ == end_)
            return false;
        char* s = p_;
        while (p_ < end_ && !sr_is_space(static_cast<unsigned char>(*p_)))
            ++p_;
        *start = s;
        *length = static_cast<size_t>(p_ - s);
        return true;
    }

    // Ends the token just read with a NUL byte in place of the white space after it (or at the
    // end) and steps past that white space.
    void cut() {
        *p_ = '\0';
        if (p_ < end_)
            ++p_;
    }

    // Skips tokens up to and including the next token that is exactly ";". False at the end.
    bool skip_section() {
        char* s;
        size_t length;
        while (token(&s, &length)) {
            if (length == 1 && *s == ';')
                return true;
        }
        return false;
    }

    // Reads a decimal integer as "%d" does: white space, an optional sign (consumed even when no
    // digit follows), digits. Returns 1 with *value set, 0 when no number stands there (or it does
    // not fit an int), -1 at the end.
    int read_int(int* value) {
        while (p_ < end_ && sr_is_space(static_cast<unsigned char>(*p_)))
            ++p_;
        if (p_ == end_)
            return -1;
        bool negative = false;
        if (*p_ == '+' || *p_ == '-') {
            negative = *p_ == '-';
            ++p_;
            if (p_ == end_)
                return -1;
        }
        if (*p_ < '0' || *p_ > '9')
            return 0;
        long long n = 0;
        bool fits = true;
        while (p_ < end_ && *p_ >= '0' && *p_ <= '9') {
            n = n * 10 + (*p_ - '0');
            if (n > static_cast<long long>(INT_MAX) + 1) {
                fits = false;
                n = 0;
            }
            ++p_;
        }
        if (negative)
            n = -n;
        if (!fits || n > INT_MAX || n < INT_MIN)
            return 0;
        *value = static_cast<int>(n);
        return 1;
    }

    // Reads an item's value: its first token and, unless that is ";", every character up to and
    // including the next ';', of which the ';' and the character before it are dropped (cut in
    // place). Returns 1 with *value set, 0 when the value is unusable (longer than kValueMax or
    // holding a NUL byte; the item is then dropped but the text stays in step), -1 at the end.
    int read_value(const char** value) {
        char* s;
        size_t length;
        if (!token(&s, &length))
            return -1;
        if (length == 1 && *s == ';') {
            *value = kBlankValue;
            return 1;
        }
        // p_ is at the white space that ended the token, so the ';' comes after it.
        char* semi = static_cast<char*>(memchr(p_, ';', static_cast<size_t>(end_ - p_)));
        if (semi == nullptr) {
            p_ = end_;
            return -1;
        }
        bool usable = static_cast<size_t>(semi + 1 - s) <= kValueSpan &&
                      memchr(s, '\0', static_cast<size_t>(semi - s)) == nullptr;
        p_ = semi + 1;
        if (!usable)
            return 0;
        semi[-1] = '\0';
        *value = s;
        return 1;
    }

  private:
    char* p_;
    char* end_;
};

// Whether a token can be one part of an address that reads back: at most kPartMax characters, no
// '/', no white space and no control character or NUL (what velko::EqAdr::adr refuses).
bool address_part(const char* s, size_t length) {
    if (length > kPartMax)
        return false;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char u = static_cast<unsigned char>(s[i]);
        if (u == '/' || u <= 0x20 || u == 0x7f)
            return false;
    }
    return true;
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

void read_items(FILE* fp, SrItems* out) {
    out->items.clear();
    read_rest(fp, &out->text);
    close_locked(fp);
    char* begin = out->text.data();
    Scanner in(begin, begin + out->text.size() - 1);
    if (!in.skip_section() || !in.skip_section())
        return;
    for (;;) {
        char* part[4];
        bool usable = true;
        bool end = false;
        for (char*& p : part) {
            size_t length;
            if (!in.token(&p, &length)) {
                end = true;
                break;
            }
            usable = usable && address_part(p, length);
            in.cut();
        }
        if (end)
            break;
        int type = 0;
        int got = in.read_int(&type);
        if (got < 0)
            break;
        usable = usable && got == 1;
        const char* value = nullptr;
        got = in.read_value(&value);
        if (got < 0)
            break;
        if (!usable || got == 0)
            continue;
        if (type == DATA_NULL)
            value = kNullValue;
        out->items.push_back(SrItem{part[0], part[1], part[2], part[3], value, type});
    }
}

void append_address(const SrItem& item, std::string* text) {
    text->append(item.facility).append(1, '/').append(item.device).append(1, '/');
    text->append(item.location).append(1, '/').append(item.property);
}

void read_fill(FILE* fp, std::vector<sr_data*>* list) {
    SrItems read;
    read_items(fp, &read);
    list->reserve(list->size() + read.items.size());
    std::string name;
    for (const SrItem& item : read.items) {
        name.clear();
        append_address(item, &name);
        list->push_back(new_item(name.c_str(), item.value, item.type));
    }
}

int ChannelIndex::open(const char* name) {
    std::string_view key(name);
    auto found = handles_.find(key);
    if (found != handles_.end())
        return found->second;
    int handle = sp_->data_open(name, 0);
    handles_.emplace(key, handle);
    return handle;
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
