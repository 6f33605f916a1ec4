// Configuration records: declared property types, value checks, quoting and the record form.
#include "config.h"

#include "d_fct.h"
#include "text_values.h"
#include "velko_types.h"

using velko::detail::parse_bool;
using velko::detail::parse_float;
using velko::detail::parse_ifff;
using velko::detail::parse_iiii;
using velko::detail::parse_int;
using velko::detail::parse_long;
using velko::detail::split_words;
using velko::detail::trim;

void Config::insert(D_fct* prop, int type_code) {
    if (prop == nullptr) {
        return;
    }
    for (Entry& e : entries_) {
        if (e.prop == prop) {
            e.type_code = type_code;
            return;
        }
    }
    entries_.push_back({prop, prop->name(), type_code});
}

const Config::Entry* Config::find(const std::string& name) const {
    for (const Entry& e : entries_) {
        if (e.name == name) {
            return &e;
        }
    }
    return nullptr;
}

const std::vector<Config::Entry>& Config::entries() const {
    return entries_;
}

namespace velko {

void parse_config_record(ConfigRecord* rec) {
    rec->has_record = false;
    // Four numbers, then a text in double quotes that runs to the last quote of the line.
    const std::string& t = rec->text;
    size_t quote = t.find('"');
    if (quote == std::string::npos || t.size() < quote + 2 || t.back() != '"') {
        return;
    }
    std::vector<std::string> w = split_words(t.substr(0, quote));
    int i1 = 0;
    float f1 = 0.0f;
    float f2 = 0.0f;
    long tm = 0;
    if (w.size() != 4 || !parse_int(w[0], &i1) || !parse_float(w[1], &f1) || !parse_float(w[2], &f2) ||
        !parse_long(w[3], &tm)) {
        return;
    }
    rec->has_record = true;
    rec->i1_data = i1;
    rec->f1_data = f1;
    rec->f2_data = f2;
    rec->tm = tm;
    rec->str = t.substr(quote + 1, t.size() - quote - 2);
}

std::string check_config_value(int type_code, const std::string& text) {
    const std::string shown = "\"" + text + "\"";
    switch (type_code) {
        case DATA_INT: {
            int v = 0;
            return parse_int(text, &v) ? "" : shown + " is not an integer";
        }
        case DATA_FLOAT: {
            float v = 0.0f;
            return parse_float(text, &v) ? "" : shown + " is not a number";
        }
        case DATA_BOOL: {
            bool v = false;
            return parse_bool(text, &v) ? "" : shown + " is not a truth value (0, 1, false or true)";
        }
        case DATA_IIII: {
            IIII v{};
            return parse_iiii(text, &v) ? "" : shown + " is not four integers";
        }
        case DATA_IFFF: {
            IFFF v{};
            return parse_ifff(text, &v) ? "" : shown + " is not an integer and three numbers";
        }
        case DATA_STRING:
            if (!text.empty() && text.front() == '"' && (text.size() < 2 || text.back() != '"')) {
                return shown + " has no closing quote";
            }
            return "";
        default:
            return "";
    }
}

std::string quote_text(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
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
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                out += c;
        }
    }
    out += '"';
    return out;
}

std::string unquote_text(const std::string& text) {
    if (text.size() < 2 || text.front() != '"' || text.back() != '"') {
        return text;
    }
    std::string out;
    for (size_t i = 1; i + 1 < text.size(); ++i) {
        char c = text[i];
        if (c != '\\' || i + 2 >= text.size()) {
            out += c;
            continue;
        }
        char n = text[i + 1];
        switch (n) {
            case '\\':
            case '"':
                out += n;
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            default:  // not an escape: keep the backslash
                out += c;
                continue;
        }
        ++i;
    }
    return out;
}

}  // namespace velko
