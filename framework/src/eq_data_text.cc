// Text forms of EqData values. Every form written by format_value is read back by parse_value
// into exactly the same value; the forms are listed in docs/values.md.
#include "eq_data_text.h"

#include <cctype>
#include <charconv>
#include <climits>
#include <cmath>
#include <vector>

namespace velko {
namespace text {

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string trim(const std::string& s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && is_blank(s[b])) {
        ++b;
    }
    while (e > b && is_blank(s[e - 1])) {
        --e;
    }
    return s.substr(b, e - b);
}

std::vector<std::string> split(const std::string& s) {
    std::vector<std::string> tokens;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && is_blank(s[i])) {
            ++i;
        }
        const size_t start = i;
        while (i < s.size() && !is_blank(s[i])) {
            ++i;
        }
        if (i > start) {
            tokens.push_back(s.substr(start, i - start));
        }
    }
    return tokens;
}

// The token without one leading '+', so that "+3" reads like "3" ("+-3" stays invalid).
const char* skip_plus(const std::string& token) {
    const char* p = token.c_str();
    if (p[0] == '+' && p[1] != '-' && p[1] != '+') {
        ++p;
    }
    return p;
}

template <typename T>
bool parse_whole(const std::string& token, T* out) {
    if (token.empty()) {
        return false;
    }
    const char* first = skip_plus(token);
    const char* last = token.c_str() + token.size();
    T value{};
    const std::from_chars_result r = std::from_chars(first, last, value);
    if (r.ec != std::errc() || r.ptr != last) {
        return false;
    }
    *out = value;
    return true;
}

// A well-formed number too large (or too small) even for a double.
bool beyond_double(const std::string& token) {
    const char* first = skip_plus(token);
    const char* last = token.c_str() + token.size();
    double value = 0.0;
    const std::from_chars_result r = std::from_chars(first, last, value);
    return r.ec == std::errc::result_out_of_range && r.ptr == last;
}

// A text quoted for an error message, cut so that messages stay short.
std::string shown(const std::string& s) {
    const size_t max = 60;
    return "\"" + (s.size() > max ? s.substr(0, max - 3) + "..." : s) + "\"";
}

std::string format_int(long long v) {
    return std::to_string(v);
}

// USTR text inside double quotes; backslash, quote and control characters are escaped so that the
// text form stays on one line and reads back unchanged.
std::string quote(const std::string& s) {
    static const char hex[] = "0123456789abcdef";
    std::string out = "\"";
    for (const char c : s) {
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
                if (u < 0x20 || u == 0x7f) {
                    out += "\\x";
                    out += hex[u >> 4];
                    out += hex[u & 0xf];
                } else {
                    out += c;
                }
        }
    }
    out += '"';
    return out;
}

std::string format_ustr(const USTR& rec) {
    const std::string text =
        rec.str_data.str_data_val != nullptr ? std::string(rec.str_data.str_data_val) : std::string();
    return format_int(rec.i1_data) + " " + format_float(rec.f1_data) + " " + format_float(rec.f2_data) + " " +
           format_int(static_cast<long long>(rec.tm)) + " " + quote(text);
}

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

// Reads a quoted text starting at the opening quote *p; on success *p is just past the closing quote.
bool unquote(const char** p, std::string* out, std::string* why) {
    const char* s = *p + 1;
    std::string text;
    for (;;) {
        const char c = *s;
        if (c == '\0') {
            *why = "the quoted text has no closing quote";
            return false;
        }
        ++s;
        if (c == '"') {
            break;
        }
        if (c != '\\') {
            text += c;
            continue;
        }
        const char e = *s;
        ++s;
        switch (e) {
            case '\\':
            case '"':
                text += e;
                break;
            case 'n':
                text += '\n';
                break;
            case 't':
                text += '\t';
                break;
            case 'r':
                text += '\r';
                break;
            case 'x': {
                const int hi = s[0] != '\0' ? hex_digit(s[0]) : -1;
                const int lo = hi >= 0 ? hex_digit(s[1]) : -1;
                if (lo < 0 || (hi == 0 && lo == 0)) {
                    *why = "the quoted text has a \\x escape without two hex digits (or of a NUL)";
                    return false;
                }
                text += static_cast<char>(hi * 16 + lo);
                s += 2;
                break;
            }
            default:
                *why = "the quoted text has an unknown escape (known: \\\\ \\\" \\n \\t \\r \\xHH)";
                return false;
        }
    }
    *p = s;
    *out = std::move(text);
    return true;
}

struct UstrRecord {
    USTR rec;
    std::string text;
};

// Reads the next white-space separated token at *p (after skipping blanks); false at the end.
bool next_token(const char** p, std::string* token) {
    const char* s = *p;
    while (*s != '\0' && is_blank(*s)) {
        ++s;
    }
    const char* start = s;
    while (*s != '\0' && !is_blank(*s)) {
        ++s;
    }
    *p = s;
    token->assign(start, static_cast<size_t>(s - start));
    return s > start;
}

// Reads `i1 f1 f2 tm "text"` at *p. Returns 1 when a record was read, 0 when *p does not start
// with four numbers and an opening quote (nothing consumed), -1 on a broken quoted text.
int read_ustr_record(const char** p, UstrRecord* out, std::string* why) {
    const char* s = *p;
    std::string tok[4];
    for (std::string& t : tok) {
        if (!next_token(&s, &t)) {
            return 0;
        }
    }
    int i1 = 0;
    float f1 = 0.0f;
    float f2 = 0.0f;
    long long tm = 0;
    if (!parse_int(tok[0], &i1) || !parse_float(tok[1], &f1) || !parse_float(tok[2], &f2) || !parse_long(tok[3], &tm)) {
        return 0;
    }
    while (*s != '\0' && is_blank(*s)) {
        ++s;
    }
    if (*s != '"') {
        return 0;
    }
    std::string text;
    if (!unquote(&s, &text, why)) {
        return -1;
    }
    if (*s != '\0' && !is_blank(*s)) {
        *why = "the quoted text is followed by other characters without a blank";
        return -1;
    }
    out->rec = USTR{i1, f1, f2, static_cast<time_t>(tm), USTR_str{0, nullptr}};
    out->text = std::move(text);
    *p = s;
    return 1;
}

// Text records: one or more `i1 f1 f2 tm "text"` forms, or else the whole text as one record
// with zero numbers. A blank text gives no record.
int parse_ustr(const char* text, std::vector<UstrRecord>* recs, std::string* why) {
    const char* p = text;
    for (;;) {
        while (*p != '\0' && is_blank(*p)) {
            ++p;
        }
        if (*p == '\0') {
            return 0;
        }
        UstrRecord r;
        std::string reason;
        const int got = read_ustr_record(&p, &r, &reason);
        if (got == 1) {
            recs->push_back(std::move(r));
            continue;
        }
        if (got == 0 && recs->empty()) {
            recs->push_back(UstrRecord{USTR{}, std::string(text)});
            return 0;
        }
        if (reason.empty()) {
            reason = "it is not of the form i1 f1 f2 time \"text\"";
        }
        *why = "Text record " + std::to_string(recs->size() + 1) + " cannot be read: " + reason + ".";
        return -1;
    }
}

int parse_floats(const std::string& text, std::vector<float>* values, std::string* why) {
    const std::vector<std::string> tokens = split(text);
    if (tokens.size() > static_cast<size_t>(kMaxElements)) {
        *why = "The text holds " + std::to_string(tokens.size()) + " numbers, more than the limit of " +
               std::to_string(kMaxElements) + " elements.";
        return -1;
    }
    for (size_t i = 0; i < tokens.size(); ++i) {
        float f = 0.0f;
        if (!parse_float(tokens[i], &f)) {
            *why = "Element " + std::to_string(i) + ", " + shown(tokens[i]) + ", is not a float number.";
            return -1;
        }
        values->push_back(f);
    }
    return 0;
}

int parse_tds(const std::string& text, std::vector<TDS>* values, std::string* why) {
    const std::vector<std::string> tokens = split(text);
    if (tokens.size() % 3 != 0) {
        *why = "The text " + shown(text) + " is not a list of history records \"time value status\".";
        return -1;
    }
    if (tokens.size() / 3 > static_cast<size_t>(kMaxElements)) {
        *why = "The text holds more than the limit of " + std::to_string(kMaxElements) + " history records.";
        return -1;
    }
    for (size_t i = 0; i < tokens.size(); i += 3) {
        long long tm = 0;
        float data = 0.0f;
        long long status = 0;
        if (!parse_long(tokens[i], &tm) || !parse_float(tokens[i + 1], &data) || !parse_long(tokens[i + 2], &status) ||
            status < 0 || status > 255) {
            *why = "History record " + std::to_string(i / 3) + ", " +
                   shown(tokens[i] + " " + tokens[i + 1] + " " + tokens[i + 2]) +
                   ", is not \"time value status\" (whole seconds, a float, 0 to 255).";
            return -1;
        }
        values->push_back(TDS{static_cast<time_t>(tm), data, static_cast<uint8_t>(status)});
    }
    return 0;
}

int parse_int_value(const std::string& text, EqData* out, std::string* why) {
    const std::string t = trim(text);
    int i = 0;
    double d = 0.0;
    if (parse_int(t, &i)) {
        out->set(i);
        return 0;
    }
    // A number without a fraction is accepted in any notation ("3.0", "1e3").
    if (parse_double(t, &d) && d == std::trunc(d) && d >= INT_MIN && d <= INT_MAX) {
        out->set(static_cast<int>(d));
        return 0;
    }
    *why = "The text " + shown(text) + " is not an integer from " + std::to_string(INT_MIN) + " to " +
           std::to_string(INT_MAX) + ".";
    return -1;
}

int parse_float_value(const std::string& text, EqData* out, std::string* why) {
    const std::string t = trim(text);
    float f = 0.0f;
    double d = 0.0;
    if (parse_float(t, &f)) {
        out->set(f);
        return 0;
    }
    if (parse_double(t, &d) || beyond_double(t)) {
        *why = "The number " + shown(t) + " lies outside the float range.";
    } else {
        *why = "The text " + shown(text) + " is not a float number.";
    }
    return -1;
}

int parse_iiii(const std::string& text, EqData* out, std::string* why) {
    const std::vector<std::string> t = split(text);
    IIII v{};
    if (t.size() != 4 || !parse_int(t[0], &v.i1_data) || !parse_int(t[1], &v.i2_data) || !parse_int(t[2], &v.i3_data) ||
        !parse_int(t[3], &v.i4_data)) {
        *why = "The text " + shown(text) + " is not four integers \"i1 i2 i3 i4\".";
        return -1;
    }
    out->set(v);
    return 0;
}

int parse_ifff(const std::string& text, EqData* out, std::string* why) {
    const std::vector<std::string> t = split(text);
    IFFF v{};
    if (t.size() != 4 || !parse_int(t[0], &v.i1_data) || !parse_float(t[1], &v.f1_data) ||
        !parse_float(t[2], &v.f2_data) || !parse_float(t[3], &v.f3_data)) {
        *why = "The text " + shown(text) + " is not an integer and three floats \"i1 f1 f2 f3\".";
        return -1;
    }
    out->set(v);
    return 0;
}

int parse_ustr_value(int type_code, const char* text, EqData* out, std::string* why) {
    std::vector<UstrRecord> recs;
    if (parse_ustr(text, &recs, why) != 0) {
        return -1;
    }
    if (type_code == DATA_USTR && recs.size() > 1) {
        *why = "The text holds " + std::to_string(recs.size()) + " text records where one is expected.";
        return -1;
    }
    out->set_type(type_code);
    for (size_t i = 0; i < recs.size(); ++i) {
        USTR rec = recs[i].rec;
        rec.str_data.str_data_val = recs[i].text.data();
        rec.str_data.str_data_len = static_cast<int>(recs[i].text.size());
        out->set(rec, static_cast<int>(i));
    }
    return 0;
}

}  // namespace

bool parse_long(const std::string& token, long long* out) {
    return parse_whole(token, out);
}

bool parse_int(const std::string& token, int* out) {
    return parse_whole(token, out);
}

bool parse_double(const std::string& token, double* out) {
    return parse_whole(token, out);
}

bool parse_float(const std::string& token, float* out) {
    double d = 0.0;
    float f = 0.0f;
    if (!parse_whole(token, &f)) {
        // Numbers below the smallest float read as zero (or the nearest tiny float), not as errors.
        if (!parse_double(token, &d) || std::isinf(static_cast<float>(d)) != std::isinf(d)) {
            return false;
        }
        f = static_cast<float>(d);
    }
    *out = f;
    return true;
}

bool parse_bool(const std::string& token, bool* out) {
    std::string t = trim(token);
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

std::string format_float(float value) {
    char buf[64];
    const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, r.ptr);
}

bool text_to_double(const std::string& text, double* out) {
    return parse_double(trim(text), out);
}

std::string format_value(const EqData& data) {
    std::string out;
    const int n = data.length();
    switch (data.type()) {
        case DATA_INT:
            return format_int(data.get_int());
        case DATA_FLOAT:
            return format_float(data.get_float());
        case DATA_BOOL:
            return data.get_bool() ? "true" : "false";
        case DATA_IIII: {
            const IIII v = data.get_iiii();
            return format_int(v.i1_data) + " " + format_int(v.i2_data) + " " + format_int(v.i3_data) + " " +
                   format_int(v.i4_data);
        }
        case DATA_IFFF: {
            const IFFF v = data.get_ifff();
            return format_int(v.i1_data) + " " + format_float(v.f1_data) + " " + format_float(v.f2_data) + " " +
                   format_float(v.f3_data);
        }
        case DATA_USTR:
        case DATA_A_USTR:
            for (int i = 0; i < n; ++i) {
                out += (i > 0 ? " " : "") + format_ustr(*data.get_ustr(i));
            }
            return out;
        case DATA_SPECTRUM:
        case DATA_A_FLOAT:
            for (int i = 0; i < n; ++i) {
                out += (i > 0 ? " " : "") + format_float(data.get_float_array()[i]);
            }
            return out;
        case DATA_A_TDS:
            for (int i = 0; i < n; ++i) {
                const TDS* t = data.get_tds(i);
                out += (i > 0 ? " " : "") + format_int(static_cast<long long>(t->tm)) + " " + format_float(t->data) +
                       " " + format_int(t->status);
            }
            return out;
        default:
            return out;
    }
}

int parse_value(int type_code, const char* text, EqData* out, std::string* why) {
    if (text == nullptr) {
        *why = "No text was given; the value was not changed.";
        return -1;
    }
    const std::string s(text);
    out->init();
    switch (type_code) {
        case DATA_NULL:
            if (!trim(s).empty()) {
                *why = "The text " + shown(s) + " cannot be stored in a value without a type; set its type first.";
                return -1;
            }
            return 0;
        case DATA_INT:
            return parse_int_value(s, out, why);
        case DATA_FLOAT:
            return parse_float_value(s, out, why);
        case DATA_BOOL: {
            bool b = false;
            if (!parse_bool(s, &b)) {
                *why = "The text " + shown(s) + " is not a boolean (true or false).";
                return -1;
            }
            out->set_bool(b);
            return 0;
        }
        case DATA_STRING:
            out->set(text);
            return 0;
        case DATA_IIII:
            return parse_iiii(s, out, why);
        case DATA_IFFF:
            return parse_ifff(s, out, why);
        case DATA_USTR:
        case DATA_A_USTR:
            return parse_ustr_value(type_code, text, out, why);
        case DATA_SPECTRUM:
        case DATA_A_FLOAT: {
            std::vector<float> values;
            if (parse_floats(s, &values, why) != 0) {
                return -1;
            }
            out->set_float_array(values.data(), static_cast<int>(values.size()), type_code);
            return 0;
        }
        case DATA_A_TDS: {
            std::vector<TDS> values;
            if (parse_tds(s, &values, why) != 0) {
                return -1;
            }
            out->set_type(DATA_A_TDS);
            for (size_t i = 0; i < values.size(); ++i) {
                out->set(values[i], static_cast<int>(i));
            }
            return 0;
        }
        default:
            *why = "Type code " + std::to_string(type_code) + " is not a value type that text can be parsed into.";
            return -1;
    }
}

std::string default_error_text(int code) {
    switch (code) {
        case ERR_MONITOR_PENDING:
            return "The monitor is not yet established.";
        case ERR_UNKNOWN_DEVICE:
            return "The device is unknown.";
        case ERR_UNKNOWN_LOCATION:
            return "The location is unknown.";
        case ERR_UNKNOWN_PROPERTY:
            return "The property is unknown.";
        case ERR_WRONG_TYPE:
            return "The value has the wrong type.";
        case ERR_PARSE:
            return "The text could not be parsed.";
        case ERR_UNREACHABLE:
            return "The server cannot be reached.";
        case ERR_TIMEOUT:
            return "The call timed out.";
        case ERR_READ_ONLY:
            return "The property cannot be written.";
        case ERR_BAD_ADDRESS:
            return "The address is not valid.";
        case ERR_INDEX:
            return "The element index is out of range.";
        default:
            return "Error " + std::to_string(code) + ".";
    }
}

}  // namespace text
}  // namespace velko
