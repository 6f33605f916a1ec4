#include "text_values.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace velko::detail {

namespace {

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

}  // namespace

std::string trim(const std::string& text) {
    size_t b = 0;
    size_t e = text.size();
    while (b < e && is_space(text[b])) {
        ++b;
    }
    while (e > b && is_space(text[e - 1])) {
        --e;
    }
    return text.substr(b, e - b);
}

std::vector<std::string> split_words(const std::string& text) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && is_space(text[i])) {
            ++i;
        }
        size_t b = i;
        while (i < text.size() && !is_space(text[i])) {
            ++i;
        }
        if (i > b) {
            words.push_back(text.substr(b, i - b));
        }
    }
    return words;
}

void split_first_word(const std::string& text, std::string* word, std::string* rest) {
    std::string t = trim(text);
    size_t i = 0;
    while (i < t.size() && !is_space(t[i])) {
        ++i;
    }
    *word = t.substr(0, i);
    *rest = trim(t.substr(i));
}

bool parse_long(const std::string& text, long* out) {
    std::string t = trim(text);
    if (t.empty()) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(t.c_str(), &end, 10);
    if (errno == ERANGE || end != t.c_str() + t.size()) {
        return false;
    }
    *out = v;
    return true;
}

bool parse_int(const std::string& text, int* out) {
    long v = 0;
    if (!parse_long(text, &v) || v < INT_MIN || v > INT_MAX) {
        return false;
    }
    *out = static_cast<int>(v);
    return true;
}

bool parse_float(const std::string& text, float* out) {
    std::string t = trim(text);
    if (t.empty()) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    float v = std::strtof(t.c_str(), &end);
    // Underflow to a tiny value is fine; overflow to infinity from a finite text is not.
    if (end != t.c_str() + t.size() || (errno == ERANGE && std::isinf(v))) {
        return false;
    }
    *out = v;
    return true;
}

bool parse_bool(const std::string& text, bool* out) {
    std::string t = trim(text);
    if (t == "1" || t == "true") {
        *out = true;
    } else if (t == "0" || t == "false") {
        *out = false;
    } else {
        return false;
    }
    return true;
}

bool parse_iiii(const std::string& text, IIII* out) {
    std::vector<std::string> w = split_words(text);
    IIII v{};
    if (w.size() != 4 || !parse_int(w[0], &v.i1_data) || !parse_int(w[1], &v.i2_data) || !parse_int(w[2], &v.i3_data) ||
        !parse_int(w[3], &v.i4_data)) {
        return false;
    }
    *out = v;
    return true;
}

bool parse_ifff(const std::string& text, IFFF* out) {
    std::vector<std::string> w = split_words(text);
    IFFF v{};
    if (w.size() != 4 || !parse_int(w[0], &v.i1_data) || !parse_float(w[1], &v.f1_data) ||
        !parse_float(w[2], &v.f2_data) || !parse_float(w[3], &v.f3_data)) {
        return false;
    }
    *out = v;
    return true;
}

std::string format_float(float value) {
    char buf[32];
    for (int precision = 6; precision <= 9; ++precision) {
        std::snprintf(buf, sizeof buf, "%.*g", precision, static_cast<double>(value));
        if (std::strtof(buf, nullptr) == value) {
            break;
        }
    }
    return buf;
}

}  // namespace velko::detail
