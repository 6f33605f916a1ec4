// Text forms of EqData values. Every form written by format_value is read back by parse_value
// into exactly the same value; the forms are listed in docs/values.md.
#include "eq_data_text.h"

#include <climits>
#include <cmath>
#include <vector>

#include "text_tokens.h"

namespace velko {
namespace text {

namespace {

// A text quoted for an error message, cut so that messages stay short.
std::string shown(const std::string& s) {
    const size_t max = 60;
    return "\"" + (s.size() > max ? s.substr(0, max - 3) + "..." : s) + "\"";
}

std::string format_int(long long v) {
    return std::to_string(v);
}

std::string format_ustr(const USTR& rec) {
    const std::string text =
        rec.str_data.str_data_val != nullptr ? std::string(rec.str_data.str_data_val) : std::string();
    return format_int(rec.i1_data) + " " + format_float(rec.f1_data) + " " + format_float(rec.f2_data) + " " +
           format_int(static_cast<long long>(rec.tm)) + " " + quote(text, true);
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
        if (unescape(e) != '\0') {
            text += unescape(e);
        } else if (e == 'x') {
            const int hi = s[0] != '\0' ? text::hex_digit(s[0]) : -1;
            const int lo = hi >= 0 ? text::hex_digit(s[1]) : -1;
            if (lo < 0 || (hi == 0 && lo == 0)) {
                *why = "the quoted text has a \\x escape without two hex digits (or of a NUL)";
                return false;
            }
            text += static_cast<char>(hi * 16 + lo);
            s += 2;
        } else {
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
    USTR rec{};
    if (!parse_ustr_numbers(tok, &rec)) {
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
    out->rec = rec;
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
        long tm = 0;
        float data = 0.0f;
        long status = 0;
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
    int i = 0;
    double d = 0.0;
    if (parse_int(text, &i)) {
        out->set(i);
        return 0;
    }
    // A number without a fraction is accepted in any notation ("3.0", "1e3").
    if (parse_double(text, &d) && d == std::trunc(d) && d >= INT_MIN && d <= INT_MAX) {
        out->set(static_cast<int>(d));
        return 0;
    }
    *why = "The text " + shown(text) + " is not an integer from " + std::to_string(INT_MIN) + " to " +
           std::to_string(INT_MAX) + ".";
    return -1;
}

int parse_float_value(const std::string& text, EqData* out, std::string* why) {
    float f = 0.0f;
    if (parse_float(text, &f)) {
        out->set(f);
        return 0;
    }
    if (is_number(text)) {
        *why = "The number " + shown(trim(text)) + " lies outside the float range.";
    } else {
        *why = "The text " + shown(text) + " is not a float number.";
    }
    return -1;
}

// An IIII or IFFF record; form names it in the error text.
template <typename Record>
int parse_record_value(const std::string& text, bool (*parse)(const std::string&, Record*), const char* form,
                       EqData* out, std::string* why) {
    Record v{};
    if (!parse(text, &v)) {
        *why = "The text " + shown(text) + " is not " + form + ".";
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
            return parse_record_value<IIII>(s, parse_iiii, "four integers \"i1 i2 i3 i4\"", out, why);
        case DATA_IFFF:
            return parse_record_value<IFFF>(s, parse_ifff, "an integer and three floats \"i1 f1 f2 f3\"", out, why);
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
        case ERR_ACCESS:
            return "The write was refused.";
        case ERR_LIMIT:
            return "A limit of the server was reached.";
        case ERR_PROTOCOL:
            return "The request is not valid.";
        default:
            return "Error " + std::to_string(code) + ".";
    }
}

}  // namespace text
}  // namespace velko
