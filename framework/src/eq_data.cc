// velko::EqData: storage, setters, getters and conversions. The text forms live in eq_data_text.cc.
#include "eq_data.h"

#include <climits>
#include <cmath>
#include <cstring>
#include <utility>

#include "eq_data_text.h"
#include "text_tokens.h"

namespace velko {

namespace {

// Truncation toward zero, clamped to the int range; NaN gives 0.
int double_to_int(double value) {
    if (std::isnan(value)) {
        return 0;
    }
    if (value >= static_cast<double>(INT_MAX)) {
        return INT_MAX;
    }
    if (value <= static_cast<double>(INT_MIN)) {
        return INT_MIN;
    }
    return static_cast<int>(value);
}

bool is_float_array(int type_code) {
    return type_code == DATA_A_FLOAT || type_code == DATA_SPECTRUM;
}

bool is_ustr(int type_code) {
    return type_code == DATA_USTR || type_code == DATA_A_USTR;
}

}  // namespace

EqData::EqData() = default;

EqData::EqData(const EqData& other)
    : type_(other.type_),
      error_(other.error_),
      error_text_(other.error_text_),
      int_(other.int_),
      float_(other.float_),
      text_(other.text_),
      iiii_(other.iiii_),
      ifff_(other.ifff_),
      floats_(other.floats_),
      tds_(other.tds_),
      ustr_(other.ustr_) {
    fix_ustr_pointers();
}

EqData& EqData::operator=(const EqData& other) {
    if (this != &other) {
        type_ = other.type_;
        error_ = other.error_;
        error_text_ = other.error_text_;
        int_ = other.int_;
        float_ = other.float_;
        text_ = other.text_;
        iiii_ = other.iiii_;
        ifff_ = other.ifff_;
        floats_ = other.floats_;
        tds_ = other.tds_;
        ustr_ = other.ustr_;
        fix_ustr_pointers();
    }
    return *this;
}

EqData::~EqData() = default;

void EqData::init() {
    clear_value();
    type_ = DATA_NULL;
    error_ = ERR_NONE;
    error_text_.clear();
}

void EqData::copy_from(const EqData* src) {
    if (src != nullptr) {
        *this = *src;
    }
}

void EqData::clear_value() {
    int_ = 0;
    float_ = 0.0f;
    text_.clear();
    iiii_ = IIII{};
    ifff_ = IFFF{};
    floats_.clear();
    tds_.clear();
    ustr_.clear();
}

// The records' text pointers refer into the items' own strings; copies and reallocations move
// those strings, so the pointers are set again after every such change. The lengths stay as
// they were stored.
void EqData::fix_ustr_pointers() {
    for (UstrItem& item : ustr_) {
        item.rec.str_data.str_data_val = item.text.data();
    }
}

bool EqData::index_ok(int index) {
    if (index >= 0 && index < kMaxElements) {
        return true;
    }
    error(ERR_INDEX, "Element index " + std::to_string(index) + " is outside 0 to " + std::to_string(kMaxElements - 1) +
                         "; the value was not changed.");
    return false;
}

void EqData::keep_or_start(int type_a, int type_b) {
    if (type_ != type_a && type_ != type_b) {
        clear_value();
        type_ = type_a;
    }
}

void EqData::set(int value) {
    clear_value();
    type_ = DATA_INT;
    int_ = value;
}

void EqData::set(float value) {
    clear_value();
    type_ = DATA_FLOAT;
    float_ = value;
}

void EqData::set(const char* text) {
    std::string copy = text != nullptr ? std::string(text) : std::string();  // text may point into this
    clear_value();
    type_ = DATA_STRING;
    text_ = std::move(copy);
}

void EqData::set(const IIII& value) {
    const IIII copy = value;
    clear_value();
    type_ = DATA_IIII;
    iiii_ = copy;
}

void EqData::set(const IFFF& value) {
    const IFFF copy = value;
    clear_value();
    type_ = DATA_IFFF;
    ifff_ = copy;
}

void EqData::set(const TDS& value) {
    const TDS copy = value;
    clear_value();
    type_ = DATA_A_TDS;
    tds_.push_back(copy);
}

void EqData::set(const USTR& value, int index) {
    if (!index_ok(index)) {
        return;
    }
    // Copied before the array changes: value may be one of its elements.
    UstrItem item{value, text::counted_text(value.str_data)};
    item.rec.str_data.str_data_len = text::kept_length(value.str_data, item.text);
    const bool single = type_ == DATA_USTR && index == 0;
    keep_or_start(DATA_A_USTR, DATA_USTR);
    type_ = single ? DATA_USTR : DATA_A_USTR;
    if (ustr_.size() <= static_cast<size_t>(index)) {
        ustr_.resize(static_cast<size_t>(index) + 1, UstrItem{USTR{}, std::string()});
    }
    ustr_[static_cast<size_t>(index)] = std::move(item);
    fix_ustr_pointers();
}

void EqData::set(const TDS& value, int index) {
    if (!index_ok(index)) {
        return;
    }
    const TDS copy = value;
    keep_or_start(DATA_A_TDS, DATA_A_TDS);
    if (tds_.size() <= static_cast<size_t>(index)) {
        tds_.resize(static_cast<size_t>(index) + 1, TDS{});
    }
    tds_[static_cast<size_t>(index)] = copy;
}

void EqData::set_float_array(const float* values, int n, int type_code) {
    if (n > 0 && values == nullptr) {
        return;
    }
    if (n > kMaxElements) {
        error(ERR_INDEX, "An array of " + std::to_string(n) + " elements exceeds the limit of " +
                             std::to_string(kMaxElements) + "; the value was not changed.");
        return;
    }
    std::vector<float> copy;
    if (n > 0) {
        copy.assign(values, values + n);  // values may point into this container
    }
    clear_value();
    type_ = type_code == DATA_SPECTRUM ? DATA_SPECTRUM : DATA_A_FLOAT;
    floats_ = std::move(copy);
}

void EqData::set(float value, int index) {
    if (!index_ok(index)) {
        return;
    }
    keep_or_start(DATA_A_FLOAT, DATA_SPECTRUM);
    if (floats_.size() <= static_cast<size_t>(index)) {
        floats_.resize(static_cast<size_t>(index) + 1, 0.0f);
    }
    floats_[static_cast<size_t>(index)] = value;
}

void EqData::set_bool(bool value) {
    clear_value();
    type_ = DATA_BOOL;
    int_ = value ? 1 : 0;
}

void EqData::set_type(int type_code) {
    clear_value();
    type_ = type_code;
    if (type_code == DATA_USTR) {
        ustr_.push_back(UstrItem{USTR{}, std::string()});
        fix_ustr_pointers();
    }
}

int EqData::set_from_string(const char* text) {
    EqData parsed;
    std::string why;
    if (text::parse_value(type_, text, &parsed, &why) != 0) {
        error(ERR_PARSE, why);
        return -1;
    }
    // A successful parse supersedes an earlier failed one; any other error stays.
    const int code = error_ == ERR_PARSE ? ERR_NONE : error_;
    std::string code_text = error_ == ERR_PARSE ? std::string() : std::move(error_text_);
    *this = parsed;
    error_ = code;
    error_text_ = std::move(code_text);
    return 0;
}

int EqData::type() const {
    return type_;
}

int EqData::error() const {
    return error_;
}

void EqData::error(int code, const std::string& text) {
    error_ = code;
    error_text_ = text;
}

const std::string& EqData::error_text() const {
    return error_text_;
}

int EqData::length() const {
    switch (type_) {
        case DATA_INT:
        case DATA_FLOAT:
        case DATA_STRING:
        case DATA_BOOL:
        case DATA_IIII:
        case DATA_IFFF:
            return 1;
        case DATA_USTR:
        case DATA_A_USTR:
            return static_cast<int>(ustr_.size());
        case DATA_SPECTRUM:
        case DATA_A_FLOAT:
            return static_cast<int>(floats_.size());
        case DATA_A_TDS:
            return static_cast<int>(tds_.size());
        default:
            return 0;
    }
}

std::string EqData::get_string() const {
    if (error_ == ERR_NONE) {
        return type_ == DATA_STRING ? text_ : text::format_value(*this);
    }
    return error_text_.empty() ? text::default_error_text(error_) : error_text_;
}

char* EqData::get_string(char* buf, size_t size) const {
    if (buf == nullptr || size == 0) {
        return buf;
    }
    const std::string s = get_string();
    const size_t n = s.size() < size - 1 ? s.size() : size - 1;
    std::memcpy(buf, s.data(), n);
    buf[n] = '\0';
    return buf;
}

int EqData::get_int() const {
    switch (type_) {
        case DATA_INT:
        case DATA_BOOL:
            return int_;
        case DATA_FLOAT:
            return double_to_int(float_);
        case DATA_STRING: {
            double d = 0.0;
            return text::parse_double(text_, &d) ? double_to_int(d) : 0;
        }
        case DATA_IIII:
            return iiii_.i1_data;
        case DATA_IFFF:
            return ifff_.i1_data;
        case DATA_USTR:
        case DATA_A_USTR:
            return ustr_.empty() ? 0 : ustr_[0].rec.i1_data;
        case DATA_SPECTRUM:
        case DATA_A_FLOAT:
            return floats_.empty() ? 0 : double_to_int(floats_[0]);
        case DATA_A_TDS:
            return tds_.empty() ? 0 : double_to_int(tds_[0].data);
        default:
            return 0;
    }
}

float EqData::get_float() const {
    switch (type_) {
        case DATA_INT:
        case DATA_BOOL:
            return static_cast<float>(int_);
        case DATA_FLOAT:
            return float_;
        case DATA_STRING: {
            double d = 0.0;
            return text::parse_double(text_, &d) ? static_cast<float>(d) : 0.0f;
        }
        case DATA_IIII:
            return static_cast<float>(iiii_.i1_data);
        case DATA_IFFF:
            return ifff_.f1_data;
        default:
            return get_float(0);
    }
}

float EqData::get_float(int index) const {
    if (index < 0) {
        return 0.0f;
    }
    const size_t i = static_cast<size_t>(index);
    switch (type_) {
        case DATA_SPECTRUM:
        case DATA_A_FLOAT:
            return i < floats_.size() ? floats_[i] : 0.0f;
        case DATA_A_TDS:
            return i < tds_.size() ? tds_[i].data : 0.0f;
        case DATA_USTR:
        case DATA_A_USTR:
            return i < ustr_.size() ? ustr_[i].rec.f1_data : 0.0f;
        default:
            return index == 0 ? get_float() : 0.0f;
    }
}

const float* EqData::get_float_array() const {
    return is_float_array(type_) ? floats_.data() : nullptr;
}

bool EqData::get_bool() const {
    switch (type_) {
        case DATA_INT:
        case DATA_BOOL:
            return int_ != 0;
        case DATA_STRING: {
            bool b = false;
            if (text::parse_bool(text_, &b)) {
                return b;
            }
            return get_float() != 0.0f;
        }
        default:
            return get_float() != 0.0f;
    }
}

IIII EqData::get_iiii() const {
    return type_ == DATA_IIII ? iiii_ : IIII{};
}

IFFF EqData::get_ifff() const {
    return type_ == DATA_IFFF ? ifff_ : IFFF{};
}

int EqData::get_ifff(int* i1, float* f1, float* f2, float* f3) const {
    if (type_ != DATA_IFFF) {
        return -1;
    }
    if (i1 != nullptr) {
        *i1 = ifff_.i1_data;
    }
    if (f1 != nullptr) {
        *f1 = ifff_.f1_data;
    }
    if (f2 != nullptr) {
        *f2 = ifff_.f2_data;
    }
    if (f3 != nullptr) {
        *f3 = ifff_.f3_data;
    }
    return 0;
}

const TDS* EqData::get_tds(int index) const {
    if (type_ != DATA_A_TDS || index < 0 || static_cast<size_t>(index) >= tds_.size()) {
        return nullptr;
    }
    return &tds_[static_cast<size_t>(index)];
}

const USTR* EqData::get_ustr(int index) const {
    if (!is_ustr(type_) || index < 0 || static_cast<size_t>(index) >= ustr_.size()) {
        return nullptr;
    }
    return &ustr_[static_cast<size_t>(index)].rec;
}

int EqData::get_ustr(int* i1, float* f1, float* f2, long* tm, char** text, int index) const {
    const USTR* rec = get_ustr(index);
    if (rec == nullptr) {
        return -1;
    }
    if (i1 != nullptr) {
        *i1 = rec->i1_data;
    }
    if (f1 != nullptr) {
        *f1 = rec->f1_data;
    }
    if (f2 != nullptr) {
        *f2 = rec->f2_data;
    }
    if (tm != nullptr) {
        *tm = static_cast<long>(rec->tm);
    }
    if (text != nullptr) {
        *text = rec->str_data.str_data_val;
    }
    return 0;
}

}  // namespace velko
