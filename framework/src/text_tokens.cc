// Words, numbers, counted and quoted texts inside value texts.
#include "text_tokens.h"

#include <cctype>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>

namespace velko {
namespace text {

namespace {

// The number in [*first, *last) without surrounding blanks and without one leading '+', so that
// " +3 " reads like "3" ("+-3" stays invalid).
void number_range(const std::string& text, const char** first, const char** last) {
    const char* b = text.data();
    const char* e = b + text.size();
    while (b < e && is_blank(*b)) {
        ++b;
    }
    while (e > b && is_blank(e[-1])) {
        --e;
    }
    if (e - b >= 2 && b[0] == '+' && b[1] != '-' && b[1] != '+') {
        ++b;
    }
    *first = b;
    *last = e;
}

template <typename T>
bool parse_whole(const std::string& text, T* out) {
    const char* first = nullptr;
    const char* last = nullptr;
    number_range(text, &first, &last);
    T value{};
    const std::from_chars_result r = std::from_chars(first, last, value);
    if (first == last || r.ec != std::errc() || r.ptr != last) {
        return false;
    }
    *out = value;
    return true;
}

// Whether a well-formed decimal number outside the double range is tiny rather than huge: the
// power of ten of its first significant digit, with the exponent added, is negative.
bool is_tiny(const char* first, const char* last) {
    long long int_digits = 0;  // significant digits before the point
    long long zeros = 0;       // zeros between the point and the first significant digit
    bool point = false;
    bool significant = false;
    const char* p = first;
    for (; p != last && *p != 'e' && *p != 'E'; ++p) {
        if (*p == '.') {
            point = true;
        } else if (*p >= '1' && *p <= '9') {
            significant = true;
        }
        if (*p >= '0' && *p <= '9' && !point) {
            int_digits += significant ? 1 : 0;
        } else if (*p == '0' && point && !significant) {
            ++zeros;
        }
    }
    const long long lead = int_digits > 0 ? int_digits - 1 : -(zeros + 1);
    long long exponent = 0;
    if (p != last) {
        ++p;
        const bool negative = p != last && *p == '-';
        if (p != last && (*p == '-' || *p == '+')) {
            ++p;
        }
        if (std::from_chars(p, last, exponent).ec == std::errc::result_out_of_range) {
            exponent = LLONG_MAX / 2;
        }
        exponent = negative ? -exponent : exponent;
    }
    return lead + exponent < 0;
}

}  // namespace

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string trim(const std::string& text) {
    size_t b = 0;
    size_t e = text.size();
    while (b < e && is_blank(text[b])) {
        ++b;
    }
    while (e > b && is_blank(text[e - 1])) {
        --e;
    }
    return text.substr(b, e - b);
}

std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && is_blank(text[i])) {
            ++i;
        }
        const size_t start = i;
        while (i < text.size() && !is_blank(text[i])) {
            ++i;
        }
        if (i > start) {
            words.push_back(text.substr(start, i - start));
        }
    }
    return words;
}

void split_first_word(const std::string& text, std::string* word, std::string* rest) {
    const std::string t = trim(text);
    size_t i = 0;
    while (i < t.size() && !is_blank(t[i])) {
        ++i;
    }
    *word = t.substr(0, i);
    *rest = trim(t.substr(i));
}

bool parse_int(const std::string& text, int* out) {
    return parse_whole(text, out);
}

bool parse_long(const std::string& text, long* out) {
    return parse_whole(text, out);
}

bool parse_double(const std::string& text, double* out) {
    return parse_whole(text, out);
}

bool parse_float(const std::string& text, float* out) {
    float f = 0.0f;
    if (parse_whole(text, &f)) {
        *out = f;
        return true;
    }
    const char* first = nullptr;
    const char* last = nullptr;
    number_range(text, &first, &last);
    double d = 0.0;
    const std::from_chars_result r = std::from_chars(first, last, d);
    if (first == last || r.ptr != last) {
        return false;
    }
    if (r.ec == std::errc() && !std::isinf(static_cast<float>(d))) {
        f = static_cast<float>(d);  // below the smallest float: the nearest tiny float or zero
    } else if (r.ec == std::errc::result_out_of_range && is_tiny(first, last)) {
        f = *first == '-' ? -0.0f : 0.0f;  // below even the smallest double
    } else {
        return false;
    }
    *out = f;
    return true;
}

bool is_number(const std::string& text) {
    const char* first = nullptr;
    const char* last = nullptr;
    number_range(text, &first, &last);
    double d = 0.0;
    const std::from_chars_result r = std::from_chars(first, last, d);
    return first != last && r.ptr == last && (r.ec == std::errc() || r.ec == std::errc::result_out_of_range);
}

bool parse_bool(const std::string& text, bool* out) {
    std::string t = trim(text);
    for (char& c : t) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (t == "true" || t == "yes" || t == "on" || t == "1") {
        *out = true;
        return true;
    }
    if (t == "false" || t == "no" || t == "off" || t == "0") {
        *out = false;
        return true;
    }
    return false;
}

bool parse_iiii(const std::string& text, IIII* out) {
    const std::vector<std::string> w = split(text);
    IIII v{};
    if (w.size() != 4 || !parse_int(w[0], &v.i1_data) || !parse_int(w[1], &v.i2_data) || !parse_int(w[2], &v.i3_data) ||
        !parse_int(w[3], &v.i4_data)) {
        return false;
    }
    *out = v;
    return true;
}

bool parse_ifff(const std::string& text, IFFF* out) {
    const std::vector<std::string> w = split(text);
    IFFF v{};
    if (w.size() != 4 || !parse_int(w[0], &v.i1_data) || !parse_float(w[1], &v.f1_data) ||
        !parse_float(w[2], &v.f2_data) || !parse_float(w[3], &v.f3_data)) {
        return false;
    }
    *out = v;
    return true;
}

bool parse_ustr_numbers(const std::string words[4], USTR* out) {
    int i1 = 0;
    float f1 = 0.0f;
    float f2 = 0.0f;
    long tm = 0;
    if (!parse_int(words[0], &i1) || !parse_float(words[1], &f1) || !parse_float(words[2], &f2) ||
        !parse_long(words[3], &tm)) {
        return false;
    }
    out->i1_data = i1;
    out->f1_data = f1;
    out->f2_data = f2;
    out->tm = static_cast<time_t>(tm);
    return true;
}

std::string format_float(float value) {
    char buf[64];
    const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, r.ptr);
}

std::string format_float_g(float value) {
    char buf[64];
    std::to_chars_result r{};
    for (int precision = 6; precision <= 9; ++precision) {
        r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, precision);
        float back = 0.0f;
        if (parse_float(std::string(buf, r.ptr), &back) && back == value) {
            break;
        }
    }
    return std::string(buf, r.ptr);
}

std::string counted_text(const USTR_str& counted) {
    if (counted.str_data_val == nullptr || counted.str_data_len <= 0) {
        return std::string();
    }
    return std::string(counted.str_data_val, strnlen(counted.str_data_val, static_cast<size_t>(counted.str_data_len)));
}

int kept_length(const USTR_str& counted, const std::string& text) {
    const size_t n = text.size();
    const bool as_given = counted.str_data_len >= 0 && (static_cast<size_t>(counted.str_data_len) == n ||
                                                        static_cast<size_t>(counted.str_data_len) == n + 1);
    return as_given ? counted.str_data_len : static_cast<int>(n);
}

namespace {

bool is_control(unsigned char u) {
    return u < 0x20 || u == 0x7f;
}

void append_hex_escape(unsigned char u, std::string* out) {
    static const char hex[] = "0123456789abcdef";
    *out += "\\x";
    *out += hex[u >> 4];
    *out += hex[u & 0xf];
}

}  // namespace

std::string quote(const std::string& text, bool escape_controls) {
    std::string out = "\"";
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                if (escape_controls && is_control(u)) {
                    append_hex_escape(u, &out);
                } else {
                    out += c;
                }
        }
    }
    out += '"';
    return out;
}

char unescape(char c) {
    switch (c) {
        case '\\':
        case '"':
            return c;
        case 'n':
            return '\n';
        case 't':
            return '\t';
        case 'r':
            return '\r';
        default:
            return '\0';
    }
}

bool has_control(const std::string& text) {
    for (const char c : text) {
        if (is_control(static_cast<unsigned char>(c))) {
            return true;
        }
    }
    return false;
}

std::string excerpt(const std::string& text, size_t max_bytes) {
    size_t n = text.size();
    if (n > max_bytes) {
        n = max_bytes;
        // Never end inside a UTF-8 sequence: step back over its continuation bytes.
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xc0) == 0x80) {
            --n;
        }
    }
    std::string out = "\"";
    for (size_t i = 0; i < n; ++i) {
        const unsigned char u = static_cast<unsigned char>(text[i]);
        if (is_control(u)) {
            append_hex_escape(u, &out);
        } else {
            out += text[i];
        }
    }
    if (n < text.size()) {
        out += "...";
    }
    out += '"';
    return out;
}

}  // namespace text
}  // namespace velko
