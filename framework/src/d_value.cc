// velko::D_value<int> and velko::D_value<float>: time-stamped numbers with monitors and history.
#include <cmath>
#include <ctime>

#include "call_errors.h"
#include "history.h"
#include "properties.h"
#include "text_tokens.h"

namespace velko {

namespace {

// What the two instantiations differ in.
template <typename T>
struct ValueKind;

template <>
struct ValueKind<int> {
    static constexpr int type = DATA_INT;
    static constexpr const char* wanted = "an integer";
    static bool parse(const std::string& text, int* out) { return text::parse_int(text, out); }
    static std::string format(int v) { return std::to_string(v); }
    // Numbers are taken when they are whole and in range; a fraction is not silently cut.
    static bool from(const EqData& in, int* out) {
        if (in.type() == DATA_INT || in.type() == DATA_BOOL) {
            *out = in.get_int();
            return true;
        }
        if (in.type() == DATA_FLOAT) {
            float f = in.get_float();
            if (std::trunc(f) != f || f < -2147483648.0f || f >= 2147483648.0f) {
                return false;
            }
            *out = static_cast<int>(f);
            return true;
        }
        return in.type() == DATA_STRING && parse(in.get_string(), out);
    }
};

template <>
struct ValueKind<float> {
    static constexpr int type = DATA_FLOAT;
    static constexpr const char* wanted = "a number";
    static bool parse(const std::string& text, float* out) { return text::parse_float(text, out); }
    static std::string format(float v) { return text::format_float_g(v); }
    static bool from(const EqData& in, float* out) {
        if (in.type() == DATA_INT || in.type() == DATA_BOOL || in.type() == DATA_FLOAT) {
            *out = in.get_float();
            return true;
        }
        return in.type() == DATA_STRING && parse(in.get_string(), out);
    }
};

}  // namespace

template <typename T>
D_value<T>::D_value(const std::string& name_text, EqFct* owner) : D_fct(name_text, owner) {}

template <typename T>
D_value<T>::~D_value() = default;

template <typename T>
void D_value<T>::get(EqAdr*, EqData*, EqData* out, EqFct*) {
    out->set(value());
}

template <typename T>
void D_value<T>::set(EqAdr*, EqData* in, EqData* out, EqFct*) {
    T v{};
    if (in == nullptr || !ValueKind<T>::from(*in, &v)) {
        detail::answer_wrong_type(name(), ValueKind<T>::wanted, in, out);
        return;
    }
    try {
        set_value(v);
    } catch (const Error& e) {
        out->error(ERR_WRONG_TYPE, std::string(e.what()) + " (property " + name() + ").");
    }
}

template <typename T>
void D_value<T>::read_from_conf(const std::string& text) {
    T v{};
    if (ValueKind<T>::parse(text, &v)) {
        std::lock_guard<std::mutex> lock(mux_);
        value_ = v;
    }
}

template <typename T>
void D_value<T>::write(std::ostream& out) {
    out << ' ' << ValueKind<T>::format(value()) << '\n';
}

template <typename T>
int D_value<T>::data_type() const {
    return ValueKind<T>::type;
}

template <typename T>
T D_value<T>::value() const {
    std::lock_guard<std::mutex> lock(mux_);
    return value_;
}

template <typename T>
time_t D_value<T>::stamp() const {
    std::lock_guard<std::mutex> lock(mux_);
    return stamp_;
}

template <typename T>
void D_value<T>::set_value(T v) {
    time_t now = std::time(nullptr);
    D_hist* hist = nullptr;
    {
        std::lock_guard<std::mutex> lock(mux_);
        hist = hist_;
        // Refused before anything changes, so a failed archiving leaves the old value.
        if (hist != nullptr && hist->data_type() != DATA_A_TDS) {
            throw Error("Archiving failed with wrong archiver data type");
        }
        value_ = v;
        stamp_ = now;
    }
    if (hist != nullptr) {
        TDS rec{now, static_cast<float>(v), 0};
        hist->fill_hist(&rec, nullptr);
    }
    publish();
}

template <typename T>
void D_value<T>::attach_hist(D_hist* hist) {
    std::lock_guard<std::mutex> lock(mux_);
    hist_ = hist;
}

template class D_value<int>;
template class D_value<float>;

}  // namespace velko
