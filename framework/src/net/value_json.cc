// JSON forms of values: one writer and one reader per type, strict about ranges and shapes so
// that a bad network value is refused with a sentence instead of being stored half-converted.
#include "net/value_json.h"

#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace velko::net {

using nlohmann::json;

namespace {

// clang-format off
struct TypeName {
    int code;
    const char* name;
};
constexpr TypeName kTypes[] = {
    {DATA_NULL,     "NULL"},
    {DATA_INT,      "INT"},
    {DATA_FLOAT,    "FLOAT"},
    {DATA_STRING,   "STRING"},
    {DATA_BOOL,     "BOOL"},
    {DATA_IIII,     "IIII"},
    {DATA_IFFF,     "IFFF"},
    {DATA_USTR,     "USTR"},
    {DATA_SPECTRUM, "SPECTRUM"},
    {DATA_A_FLOAT,  "A_FLOAT"},
    {DATA_A_TDS,    "A_TDS"},
    {DATA_A_USTR,   "A_USTR"},
};
// clang-format on

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64_encode(std::string_view in) {
    std::string out;
    out.reserve((in.size() + 2) / 3 * 4);
    for (size_t i = 0; i < in.size(); i += 3) {
        const size_t n = std::min<size_t>(3, in.size() - i);
        uint32_t v = 0;
        for (size_t k = 0; k < 3; ++k) {
            v = (v << 8) | (k < n ? static_cast<unsigned char>(in[i + k]) : 0u);
        }
        for (size_t k = 0; k < 4; ++k) {
            out += k <= n ? kBase64[(v >> (18 - 6 * k)) & 63] : '=';
        }
    }
    return out;
}

bool base64_decode(std::string_view in, std::string* out) {
    if (in.size() % 4 != 0) {
        return false;
    }
    out->clear();
    for (size_t i = 0; i < in.size(); i += 4) {
        uint32_t v = 0;
        int pad = 0;
        for (size_t k = 0; k < 4; ++k) {
            const char c = in[i + k];
            const char* pos = c == '\0' ? nullptr : std::strchr(kBase64, c);
            if (c == '=' && i + 4 == in.size() && k >= 2) {
                ++pad;
                v <<= 6;
                continue;
            }
            if (pos == nullptr || pad > 0) {
                return false;
            }
            v = (v << 6) | static_cast<uint32_t>(pos - kBase64);
        }
        for (int k = 0; k < 3 - pad; ++k) {
            *out += static_cast<char>((v >> (16 - 8 * k)) & 0xff);
        }
    }
    return true;
}

bool valid_utf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n = 0;
        uint32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xe0) == 0xc0) {
            n = 1;
            cp = c & 0x1f;
        } else if ((c & 0xf0) == 0xe0) {
            n = 2;
            cp = c & 0x0f;
        } else if ((c & 0xf8) == 0xf0) {
            n = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + n >= s.size()) {
            return false;
        }
        for (size_t k = 1; k <= n; ++k) {
            const unsigned char d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xc0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (d & 0x3f);
        }
        static constexpr uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[n] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) {
            return false;
        }
        i += n + 1;
    }
    return true;
}

json text_form(std::string_view text) {
    if (valid_utf8(text)) {
        return std::string(text);
    }
    return json{{"base64", base64_encode(text)}};
}

json float_form(float f) {
    if (std::isnan(f)) {
        return "nan";
    }
    if (std::isinf(f)) {
        return f > 0 ? "inf" : "-inf";
    }
    return static_cast<double>(f);
}

std::string ustr_text(const USTR& u) {
    const char* s = u.str_data.str_data_val;
    if (s == nullptr || u.str_data.str_data_len <= 0) {
        return std::string();
    }
    return std::string(s, strnlen(s, static_cast<size_t>(u.str_data.str_data_len)));
}

json ustr_form(const USTR& u) {
    return json{{"i1", u.i1_data},
                {"f1", float_form(u.f1_data)},
                {"f2", float_form(u.f2_data)},
                {"tm", static_cast<long long>(u.tm)},
                {"str", text_form(ustr_text(u))}};
}

json value_form(const EqData& d) {
    switch (d.type()) {
        case DATA_INT:
            return d.get_int();
        case DATA_FLOAT:
            return float_form(d.get_float());
        case DATA_STRING:
            return text_form(d.get_string());
        case DATA_BOOL:
            return d.get_bool();
        case DATA_IIII: {
            const IIII v = d.get_iiii();
            return json::array({v.i1_data, v.i2_data, v.i3_data, v.i4_data});
        }
        case DATA_IFFF: {
            const IFFF v = d.get_ifff();
            return json{{"i1", v.i1_data},
                        {"f1", float_form(v.f1_data)},
                        {"f2", float_form(v.f2_data)},
                        {"f3", float_form(v.f3_data)}};
        }
        case DATA_USTR: {
            const USTR* u = d.get_ustr(0);
            return u == nullptr ? ustr_form(USTR{}) : ustr_form(*u);
        }
        case DATA_A_USTR: {
            json a = json::array();
            for (int i = 0; i < d.length(); ++i) {
                if (const USTR* u = d.get_ustr(i)) {
                    a.push_back(ustr_form(*u));
                }
            }
            return a;
        }
        case DATA_SPECTRUM:
        case DATA_A_FLOAT: {
            json a = json::array();
            const float* f = d.get_float_array();
            for (int i = 0; f != nullptr && i < d.length(); ++i) {
                a.push_back(float_form(f[i]));
            }
            return a;
        }
        case DATA_A_TDS: {
            json a = json::array();
            for (int i = 0; i < d.length(); ++i) {
                if (const TDS* t = d.get_tds(i)) {
                    a.push_back(json{{"tm", static_cast<long long>(t->tm)},
                                     {"data", float_form(t->data)},
                                     {"status", static_cast<int>(t->status)}});
                }
            }
            return a;
        }
        default:
            return nullptr;
    }
}

// Readers of the value forms: each returns false with a sentence (naming what) in *why.
bool read_int(const json& j, const std::string& what, long long lo, long long hi, long long* out, std::string* why) {
    if (j.is_number_integer() || j.is_number_unsigned()) {
        if (j.is_number_unsigned() ? j.get<unsigned long long>() <= static_cast<unsigned long long>(hi)
                                   : (j.get<long long>() >= lo && j.get<long long>() <= hi)) {
            *out = j.get<long long>();
            return true;
        }
        *why = what + " " + j.dump() + " is outside " + std::to_string(lo) + " to " + std::to_string(hi) + ".";
        return false;
    }
    *why = what + " must be an integer, not " + dump_json(j) + ".";
    return false;
}

bool read_int(const json& j, const std::string& what, int* out, std::string* why) {
    long long v = 0;
    if (!read_int(j, what, INT_MIN, INT_MAX, &v, why)) {
        return false;
    }
    *out = static_cast<int>(v);
    return true;
}

bool read_float(const json& j, const std::string& what, float* out, std::string* why) {
    if (j.is_string()) {
        const std::string& s = j.get_ref<const std::string&>();
        if (s == "nan" || s == "inf" || s == "-inf") {
            *out = s == "nan"   ? std::numeric_limits<float>::quiet_NaN()
                   : s == "inf" ? std::numeric_limits<float>::infinity()
                                : -std::numeric_limits<float>::infinity();
            return true;
        }
    } else if (j.is_number()) {
        const double v = j.get<double>();
        if (std::fabs(v) > static_cast<double>(std::numeric_limits<float>::max())) {
            *why = what + " " + j.dump() + " is outside the range of a float.";
            return false;
        }
        *out = static_cast<float>(v);
        return true;
    }
    *why = what + " must be a number or \"nan\", \"inf\" or \"-inf\", not " + dump_json(j) + ".";
    return false;
}

bool read_text(const json& j, const std::string& what, std::string* out, std::string* why) {
    if (j.is_string()) {
        *out = j.get<std::string>();
    } else if (j.is_object() && j.size() == 1 && j.contains("base64") && j["base64"].is_string()) {
        if (!base64_decode(j["base64"].get_ref<const std::string&>(), out)) {
            *why = what + " holds base64 text that does not decode.";
            return false;
        }
    } else {
        *why = what + " must be a text or {\"base64\":\"...\"}, not " + dump_json(j) + ".";
        return false;
    }
    if (out->find('\0') != std::string::npos) {
        *why = what + " holds a NUL character, which a text value cannot carry.";
        return false;
    }
    return true;
}

// True when j is an object with exactly the given members, else false with a sentence.
bool has_members(const json& j, const std::string& what, std::initializer_list<const char*> names, std::string* why) {
    bool ok = j.is_object() && j.size() == names.size();
    for (const char* n : names) {
        ok = ok && j.contains(n);
    }
    if (!ok) {
        std::string list;
        for (const char* n : names) {
            list += std::string(list.empty() ? "" : ", ") + "\"" + n + "\"";
        }
        *why = what + " must be an object with the members " + list + ", not " + dump_json(j) + ".";
    }
    return ok;
}

bool read_ustr(const json& j, const std::string& what, USTR* u, std::string* text, std::string* why) {
    long long tm = 0;
    if (!has_members(j, what, {"i1", "f1", "f2", "tm", "str"}, why) ||
        !read_int(j["i1"], what + " i1", &u->i1_data, why) || !read_float(j["f1"], what + " f1", &u->f1_data, why) ||
        !read_float(j["f2"], what + " f2", &u->f2_data, why) ||
        !read_int(j["tm"], what + " tm", std::numeric_limits<time_t>::min(), std::numeric_limits<time_t>::max(), &tm,
                  why) ||
        !read_text(j["str"], what + " str", text, why)) {
        return false;
    }
    u->tm = static_cast<time_t>(tm);
    u->str_data.str_data_len = static_cast<int>(text->size());
    u->str_data.str_data_val = text->data();
    return true;
}

bool read_array(const json& j, const std::string& what, std::string* why) {
    if (!j.is_array()) {
        *why = what + " must be an array, not " + dump_json(j) + ".";
        return false;
    }
    if (j.size() > static_cast<size_t>(kMaxElements)) {
        *why = what + " has " + std::to_string(j.size()) + " elements, more than the limit of " +
               std::to_string(kMaxElements) + ".";
        return false;
    }
    return true;
}

bool read_value(int type, const json& v, EqData* out, std::string* why) {
    const std::string what = "The " + type_name(type) + " value";
    switch (type) {
        case DATA_NULL:
            if (!v.is_null()) {
                *why = "A NULL value must be null, not " + dump_json(v) + ".";
                return false;
            }
            return true;
        case DATA_INT: {
            int i = 0;
            if (!read_int(v, what, &i, why)) {
                return false;
            }
            out->set(i);
            return true;
        }
        case DATA_FLOAT: {
            float f = 0.0f;
            if (!read_float(v, what, &f, why)) {
                return false;
            }
            out->set(f);
            return true;
        }
        case DATA_STRING: {
            std::string s;
            if (!read_text(v, what, &s, why)) {
                return false;
            }
            out->set(s.c_str());
            return true;
        }
        case DATA_BOOL:
            if (!v.is_boolean()) {
                *why = what + " must be true or false, not " + dump_json(v) + ".";
                return false;
            }
            out->set_bool(v.get<bool>());
            return true;
        case DATA_IIII: {
            IIII r{};
            int* parts[] = {&r.i1_data, &r.i2_data, &r.i3_data, &r.i4_data};
            if (!v.is_array() || v.size() != 4) {
                *why = what + " must be an array of four integers, not " + dump_json(v) + ".";
                return false;
            }
            for (size_t i = 0; i < 4; ++i) {
                if (!read_int(v[i], what + " element " + std::to_string(i), parts[i], why)) {
                    return false;
                }
            }
            out->set(r);
            return true;
        }
        case DATA_IFFF: {
            IFFF r{};
            if (!has_members(v, what, {"i1", "f1", "f2", "f3"}, why) ||
                !read_int(v["i1"], what + " i1", &r.i1_data, why) ||
                !read_float(v["f1"], what + " f1", &r.f1_data, why) ||
                !read_float(v["f2"], what + " f2", &r.f2_data, why) ||
                !read_float(v["f3"], what + " f3", &r.f3_data, why)) {
                return false;
            }
            out->set(r);
            return true;
        }
        case DATA_USTR: {
            USTR u{};
            std::string text;
            if (!read_ustr(v, what, &u, &text, why)) {
                return false;
            }
            out->set_type(DATA_USTR);
            out->set(u, 0);
            return true;
        }
        case DATA_A_USTR: {
            if (!read_array(v, what, why)) {
                return false;
            }
            out->set_type(DATA_A_USTR);
            for (size_t i = 0; i < v.size(); ++i) {
                USTR u{};
                std::string text;
                if (!read_ustr(v[i], what + " element " + std::to_string(i), &u, &text, why)) {
                    return false;
                }
                out->set(u, static_cast<int>(i));
            }
            return true;
        }
        case DATA_SPECTRUM:
        case DATA_A_FLOAT: {
            if (!read_array(v, what, why)) {
                return false;
            }
            std::vector<float> values(v.size());
            for (size_t i = 0; i < v.size(); ++i) {
                if (!read_float(v[i], what + " element " + std::to_string(i), &values[i], why)) {
                    return false;
                }
            }
            out->set_float_array(values.data(), static_cast<int>(values.size()), type);
            return true;
        }
        case DATA_A_TDS: {
            if (!read_array(v, what, why)) {
                return false;
            }
            out->set_type(DATA_A_TDS);
            for (size_t i = 0; i < v.size(); ++i) {
                const std::string elem = what + " element " + std::to_string(i);
                TDS t{};
                long long tm = 0;
                int status = 0;
                if (!has_members(v[i], elem, {"tm", "data", "status"}, why) ||
                    !read_int(v[i]["tm"], elem + " tm", std::numeric_limits<time_t>::min(),
                              std::numeric_limits<time_t>::max(), &tm, why) ||
                    !read_float(v[i]["data"], elem + " data", &t.data, why) ||
                    !read_int(v[i]["status"], elem + " status", &status, why)) {
                    return false;
                }
                if (status < 0 || status > 255) {
                    *why = elem + " status " + std::to_string(status) + " is outside 0 to 255.";
                    return false;
                }
                t.tm = static_cast<time_t>(tm);
                t.status = static_cast<uint8_t>(status);
                out->set(t, static_cast<int>(i));
            }
            return true;
        }
        default:
            *why = "The type " + std::to_string(type) + " has no JSON form.";
            return false;
    }
}

// Deepest nesting of brackets outside strings; stops counting past limit.
int nesting_depth(std::string_view text, int limit) {
    int depth = 0;
    int deepest = 0;
    bool in_string = false;
    for (size_t i = 0; i < text.size() && deepest <= limit; ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return deepest;
}

}  // namespace

std::string type_name(int code) {
    for (const TypeName& t : kTypes) {
        if (t.code == code) {
            return t.name;
        }
    }
    return std::string();
}

int type_code(std::string_view name) {
    for (const TypeName& t : kTypes) {
        if (name == t.name) {
            return t.code;
        }
    }
    return -1;
}

json value_to_json(const EqData& d) {
    const std::string name = type_name(d.type());
    if (name.empty()) {
        return json{{"type", "NULL"}, {"value", nullptr}};
    }
    return json{{"type", name}, {"value", value_form(d)}};
}

int value_from_json(const json& j, EqData* out, std::string* why) {
    out->init();
    if (!j.is_object() || !j.contains("type") || !j.contains("value") || j.size() != 2) {
        *why = "A value must be an object with the members \"type\" and \"value\", not " + dump_json(j) + ".";
        return -1;
    }
    const json& t = j["type"];
    const int code = t.is_string() ? type_code(t.get_ref<const std::string&>()) : -1;
    if (code < 0) {
        *why = "The value type " + dump_json(t) +
               " is not one of NULL, INT, FLOAT, STRING, BOOL, IIII, IFFF, USTR, SPECTRUM, A_FLOAT, A_TDS, A_USTR.";
        return -1;
    }
    try {
        if (read_value(code, j["value"], out, why) && out->error() == ERR_NONE) {
            return 0;
        }
        if (out->error() != ERR_NONE) {
            *why = out->error_text();
        }
    } catch (const std::exception& e) {  // allocation failures of very large values
        *why = std::string("The value could not be stored: ") + e.what() + ".";
    }
    out->init();
    return -1;
}

int parse_json(std::string_view text, json* out, std::string* why) {
    if (nesting_depth(text, kMaxJsonDepth) > kMaxJsonDepth) {
        *why = "The JSON text is nested deeper than " + std::to_string(kMaxJsonDepth) + " levels.";
        *out = json();
        return -1;
    }
    try {
        *out = json::parse(text.begin(), text.end());
        return 0;
    } catch (const json::parse_error& e) {
        *why = "The text is not valid JSON (at byte " + std::to_string(e.byte) + ").";
    } catch (const std::exception& e) {
        *why = std::string("The JSON text could not be read: ") + e.what() + ".";
    }
    *out = json();
    return -1;
}

std::string dump_json(const json& j) {
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

json error_to_json(int code, const std::string& text) {
    return json{{"error", code}, {"message", text}};
}

json answer_to_json(const EqData& d) {
    if (d.error() != ERR_NONE) {
        return error_to_json(d.error(), d.get_string());
    }
    return value_to_json(d);
}

}  // namespace velko::net
