// Text, IIII, IFFF and text-record properties.
#include "properties.h"

#include <ctime>

#include "call_errors.h"
#include "text_tokens.h"

using velko::detail::answer_wrong_type;
using velko::text::format_float_g;

namespace {

bool is_scalar(int type) {
    return type == DATA_INT || type == DATA_FLOAT || type == DATA_BOOL;
}

}  // namespace

// ---- D_string

D_string::D_string(const std::string& name_text, EqFct* owner) : D_fct(name_text, owner) {}

D_string::~D_string() = default;

void D_string::get(EqAdr*, EqData*, EqData* out, EqFct*) {
    out->set(value_.c_str());
}

void D_string::set(EqAdr*, EqData* in, EqData* out, EqFct*) {
    if (in != nullptr && (in->type() == DATA_STRING || is_scalar(in->type()))) {
        set_value(in->get_string().c_str());
        return;
    }
    answer_wrong_type(name(), "a text", in, out);
}

void D_string::read_from_conf(const std::string& text) {
    value_ = velko::unquote_text(text);
}

void D_string::write(std::ostream& out) {
    out << ' ' << velko::quote_text(value_) << '\n';
}

int D_string::data_type() const {
    return DATA_STRING;
}

const char* D_string::value() const {
    return value_.c_str();
}

void D_string::set_value(const char* text) {
    value_ = text == nullptr ? "" : text;
    publish();
}

// ---- D_iiii

D_iiii::D_iiii(const std::string& name_text, EqFct* owner) : D_fct(name_text, owner) {}

D_iiii::~D_iiii() = default;

void D_iiii::get(EqAdr*, EqData*, EqData* out, EqFct*) {
    out->set(value_);
}

void D_iiii::set(EqAdr*, EqData* in, EqData* out, EqFct*) {
    IIII v{};
    if (in != nullptr && in->type() == DATA_IIII) {
        v = in->get_iiii();
    } else if (in == nullptr || in->type() != DATA_STRING || !velko::text::parse_iiii(in->get_string(), &v)) {
        answer_wrong_type(name(), "four integers", in, out);
        return;
    }
    set_value(&v);
}

void D_iiii::read_from_conf(const std::string& text) {
    velko::text::parse_iiii(text, &value_);
}

void D_iiii::write(std::ostream& out) {
    out << ' ' << value_.i1_data << ' ' << value_.i2_data << ' ' << value_.i3_data << ' ' << value_.i4_data << '\n';
}

int D_iiii::data_type() const {
    return DATA_IIII;
}

IIII* D_iiii::value() {
    return &value_;
}

void D_iiii::set_value(IIII* v) {
    if (v == nullptr) {
        return;
    }
    value_ = *v;
    publish();
}

// ---- D_dig_filter

D_dig_filter::D_dig_filter(const std::string& name_text, EqFct* owner) : D_fct(name_text, owner) {}

D_dig_filter::~D_dig_filter() = default;

void D_dig_filter::get(EqAdr*, EqData*, EqData* out, EqFct*) {
    out->set(value_);
}

void D_dig_filter::set(EqAdr*, EqData* in, EqData* out, EqFct*) {
    IFFF v{};
    if (in != nullptr && in->type() == DATA_IFFF) {
        v = in->get_ifff();
    } else if (in == nullptr || in->type() != DATA_STRING || !velko::text::parse_ifff(in->get_string(), &v)) {
        answer_wrong_type(name(), "an integer and three numbers", in, out);
        return;
    }
    set_value(&v);
}

void D_dig_filter::read_from_conf(const std::string& text) {
    velko::text::parse_ifff(text, &value_);
}

void D_dig_filter::write(std::ostream& out) {
    out << ' ' << value_.i1_data << ' ' << format_float_g(value_.f1_data) << ' ' << format_float_g(value_.f2_data)
        << ' ' << format_float_g(value_.f3_data) << '\n';
}

int D_dig_filter::data_type() const {
    return DATA_IFFF;
}

IFFF* D_dig_filter::value() {
    return &value_;
}

void D_dig_filter::set_value(IFFF* v) {
    if (v == nullptr) {
        return;
    }
    value_ = *v;
    publish();
}

// ---- D_ustr

D_ustr::D_ustr(const std::string& name_text, EqFct* owner) : D_fct(name_text, owner) {
    value_.str_data.str_data_val = text_.data();
}

D_ustr::~D_ustr() = default;

void D_ustr::get(EqAdr*, EqData*, EqData* out, EqFct*) {
    out->set(value_, 0);
}

void D_ustr::set(EqAdr*, EqData* in, EqData* out, EqFct*) {
    if (in != nullptr && (in->type() == DATA_A_USTR || in->type() == DATA_USTR) && in->get_ustr(0) != nullptr) {
        USTR v = *in->get_ustr(0);
        set_value(&v);
        return;
    }
    if (in != nullptr && in->type() == DATA_STRING) {
        std::string text = in->get_string();
        USTR v{};
        v.tm = std::time(nullptr);
        v.str_data.str_data_len = static_cast<int>(text.size());
        v.str_data.str_data_val = text.data();
        set_value(&v);
        return;
    }
    answer_wrong_type(name(), "a text record", in, out);
}

void D_ustr::read_from_conf(const std::string& text) {
    ConfigRecord rec;
    rec.text = text;
    velko::parse_config_record(&rec);
    text_ = rec.has_record ? rec.str : velko::unquote_text(text);
    value_ = USTR{};
    value_.i1_data = rec.i1_data;
    value_.f1_data = rec.f1_data;
    value_.f2_data = rec.f2_data;
    value_.tm = static_cast<time_t>(rec.tm);
    value_.str_data.str_data_len = static_cast<int>(text_.size());
    value_.str_data.str_data_val = text_.data();
}

void D_ustr::write(std::ostream& out) {
    out << " \t" << value_.i1_data << ' ' << format_float_g(value_.f1_data) << ' ' << format_float_g(value_.f2_data)
        << ' ' << static_cast<long>(value_.tm) << " \"" << text_ << "\"\n";
}

int D_ustr::data_type() const {
    return DATA_A_USTR;
}

USTR* D_ustr::value() {
    return &value_;
}

void D_ustr::set_value(USTR* v) {
    if (v == nullptr) {
        return;
    }
    // Reads at most str_data_len bytes and stops at a NUL: a length beyond the real text cannot overrun.
    std::string text = velko::text::counted_text(v->str_data);
    const int len = velko::text::kept_length(v->str_data, text);
    text_ = std::move(text);
    value_ = *v;
    value_.str_data.str_data_val = text_.data();
    value_.str_data.str_data_len = len;
    publish();
}
