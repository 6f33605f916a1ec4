// Configuration records: declared property types, value checks, quoting and the record form.
#include "config.h"

#include "d_fct.h"
#include "text_tokens.h"
#include "velko_types.h"

using velko::text::parse_float;
using velko::text::parse_ifff;
using velko::text::parse_iiii;
using velko::text::parse_int;

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
    const std::vector<std::string> w = text::split(t.substr(0, quote));
    USTR head{};
    if (w.size() != 4 || !text::parse_ustr_numbers(w.data(), &head)) {
        return;
    }
    rec->has_record = true;
    rec->i1_data = head.i1_data;
    rec->f1_data = head.f1_data;
    rec->f2_data = head.f2_data;
    rec->tm = static_cast<long>(head.tm);
    rec->str = t.substr(quote + 1, t.size() - quote - 2);
}

std::string check_config_value(int type_code, const std::string& text) {
    const std::string shown = text::excerpt(text);
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
            // Stricter than the value container: a configuration file spells truth values one way.
            const std::string t = text::trim(text);
            const bool ok = t == "0" || t == "1" || t == "false" || t == "true";
            return ok ? "" : shown + " is not a truth value (0, 1, false or true)";
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
    return text::quote(text, false);
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
        const char n = text::unescape(text[i + 1]);
        if (n == '\0') {  // not an escape: keep the backslash
            out += c;
            continue;
        }
        out += n;
        ++i;
    }
    return out;
}

}  // namespace velko
