// The reader of save-and-restore files as it was first written, one character at a time, kept as
// the reference the library's reader must agree with on every input (the reader fuzz target and
// the reader tests compare the two).
#pragma once

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "eq_adr.h"
#include "sr_func.h"

namespace srref {

struct Item {
    std::string name;
    std::string value;
    int type;
    bool operator==(const Item& o) const { return name == o.name && value == o.value && type == o.type; }
};

// What fill_list makes of a file's bytes: 0 with the items, or the error code (303, 304).
struct Result {
    int error = 0;
    std::vector<Item> items;
};

class Reader {
  public:
    explicit Reader(const std::string& bytes) : s_(bytes) {}

    Result read() {
        Result r;
        char token[256];
        long length = read_token(token, sizeof token);
        if (length < 0) {
            r.error = 304;
            return r;
        }
        if (!is_token(token, length, "//Save_&_Restore//") && !is_token(token, length, "//Save_&_Restore_R_O//")) {
            r.error = 303;
            return r;
        }
        if (!skip_section() || !skip_section())
            return r;
        char part[4][256];
        char value[257];
        for (;;) {
            bool usable = true;
            bool end = false;
            for (char* p : part) {
                length = read_token(p, 256);
                if (length < 0) {
                    end = true;
                    break;
                }
                usable = usable && whole(p, length) && length < 65;
            }
            if (end)
                break;
            int type = 0;
            int got = read_int(&type);
            if (got < 0)
                break;
            usable = usable && got == 1;
            got = read_value(value);
            if (got < 0)
                break;
            if (!usable || got == 0)
                continue;
            velko::EqAdr adr;
            adr.set(part[0], part[2], part[1], part[3]);
            std::string name = adr.show_adr();
            velko::EqAdr back;
            if (back.adr(name) != 0 || back.show_adr() != name)
                continue;
            r.items.push_back({name, type == DATA_NULL ? "  " : value, type});
        }
        return r;
    }

  private:
    static bool space(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
    int get() { return at_ < s_.size() ? static_cast<unsigned char>(s_[at_++]) : EOF; }
    void unget() { --at_; }
    static bool whole(const char* buf, long length) {
        return length >= 0 && strlen(buf) == static_cast<size_t>(length);
    }
    static bool is_token(const char* buf, long length, const char* text) {
        return whole(buf, length) && strcmp(buf, text) == 0;
    }

    long read_token(char* buf, size_t size) {
        int c;
        do {
            c = get();
        } while (c != EOF && space(c));
        if (c == EOF) {
            buf[0] = '\0';
            return -1;
        }
        size_t kept = 0;
        long length = 0;
        while (c != EOF && !space(c)) {
            if (kept + 1 < size)
                buf[kept++] = static_cast<char>(c);
            length++;
            c = get();
        }
        buf[kept] = '\0';
        if (c != EOF)
            unget();
        return length;
    }

    bool skip_section() {
        char buf[2];
        for (;;) {
            long length = read_token(buf, sizeof buf);
            if (length < 0)
                return false;
            if (length == 1 && buf[0] == ';')
                return true;
        }
    }

    int read_int(int* value) {
        int c;
        do {
            c = get();
        } while (c != EOF && space(c));
        bool negative = false;
        if (c == '+' || c == '-') {
            negative = c == '-';
            c = get();
        }
        if (c == EOF)
            return -1;
        if (c < '0' || c > '9') {
            unget();
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
            c = get();
        }
        if (c != EOF)
            unget();
        if (negative)
            n = -n;
        if (!fits || n > INT_MAX || n < INT_MIN)
            return 0;
        *value = static_cast<int>(n);
        return 1;
    }

    int read_value(char* buf) {
        long length = read_token(buf, 256);
        if (length < 0)
            return -1;
        if (length == 1 && buf[0] == ';') {
            strcpy(buf, " ");
            return 1;
        }
        bool usable = whole(buf, length);
        size_t n = usable ? static_cast<size_t>(length) : 0;
        for (;;) {
            int c = get();
            if (c == EOF)
                return -1;
            if (c == '\0')
                usable = false;
            if (n < 257) {
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

    const std::string& s_;
    size_t at_ = 0;
};

inline Result read(const std::string& bytes) {
    return Reader(bytes).read();
}

}  // namespace srref
