// Data access of a superstate: network handles naming the data properties of the locations of
// this superstate and its ancestors, read and written with conversions by property type.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "fsm.h"
#include "fsm_text.h"

namespace {

// A network handle: bit 31 set, level in bits 20..30, property index in bits 0..19.
constexpr unsigned kNetBit = 0x80000000u;
constexpr int kLevelShift = 20;
constexpr int kLevelMask = 0x7FF;
constexpr int kIndexMask = 0xFFFFF;
// Property names are compared on at most this many characters of their first word.
constexpr size_t kNameMax = 255;
// A new text buffer for a number or a numeric record is at least this large: enough for the
// longest text any value of those types gives ("%d %f %f %f" with the largest floats), so the
// caller may read the same property into it again.
constexpr size_t kNumberTextSize = 160;

// The location of a state that is a superstate; null for basic states and superstates without one.
EqFSMlocation* location_of(FSMstate* sp) {
    FSMsuperstate* ss = dynamic_cast<FSMsuperstate*>(sp);
    return ss != nullptr ? ss->get_location() : nullptr;
}

bool name_matches(const D_fct* prop, const char* np) {
    const std::string& word = prop->name();
    size_t n = std::min(word.size(), kNameMax);
    return strlen(np) == n && word.compare(0, n, np) == 0;
}

int make_net_handle(int level, size_t index) {
    unsigned h = kNetBit | (static_cast<unsigned>(level & kLevelMask) << kLevelShift) |
                 (static_cast<unsigned>(index) & kIndexMask);
    return static_cast<int>(h);
}

// Float to int by truncation toward zero; values beyond the int range saturate. NaN has no int.
bool float_to_int(float f, int* out) {
    if (std::isnan(f)) {
        return false;
    }
    if (f >= static_cast<float>(INT_MAX)) {
        *out = INT_MAX;
    } else if (f <= static_cast<float>(INT_MIN)) {
        *out = INT_MIN;
    } else {
        *out = static_cast<int>(f);
    }
    return true;
}

// Number parsers in the manner of scanf's "%d" and "%f" (leading white space skipped, the
// longest number taken), except that a value out of range is refused instead of undefined.
bool next_int(const char*& p, int* out) {
    char* end = nullptr;
    errno = 0;
    long v = strtol(p, &end, 10);
    if (end == p || errno == ERANGE || v < INT_MIN || v > INT_MAX) {
        return false;
    }
    *out = static_cast<int>(v);
    p = end;
    return true;
}

bool next_float(const char*& p, float* out) {
    char* end = nullptr;
    errno = 0;
    float v = strtof(p, &end);
    if (end == p || (errno == ERANGE && std::isinf(v))) {
        return false;
    }
    *out = v;
    p = end;
    return true;
}

// Hands text to the caller: into *ds when the caller passed a buffer (which must be large
// enough; the library's own buffers get the text cut to fit), otherwise into a new buffer of at
// least min_size bytes that the caller releases.
void give_text(char** ds, const char* text, size_t len, size_t min_size) {
    if (*ds == nullptr) {
        *ds = new char[std::max(min_size, len + 1)];
    } else {
        len = text_fitting(*ds, len);
    }
    memcpy(*ds, text, len);
    (*ds)[len] = '\0';
}

// The property as the platform class its type code stands for, or null when it reports another
// code or is of another class (an application's own class reporting that code is handled like a
// property of a type the access form does not know).
template <class P>
P* typed(D_fct* dp, int code) {
    return dp->data_type() == code ? dynamic_cast<P*>(dp) : nullptr;
}

// The record properties (D_iiii, D_dig_filter, D_ustr) keep their value without a lock of their
// own: the platform serialises its calls on a property with the property's call mutex, and the
// library's reads and writes take it as well. D_value and D_hist lock inside their accessors.
// None of these classes calls back into the library, so the call mutex is always taken last.
typedef std::lock_guard<std::recursive_mutex> CallLock;

template <class P, class R>
R read_record(P* p) {
    CallLock hold(p->call_mutex());
    return *p->value();
}

template <class P, class R>
void write_record(P* p, R* v) {
    CallLock hold(p->call_mutex());
    p->set_value(v);
}

void append_history(D_hist* hp, float value) {
    TDS rec;
    rec.tm = time(nullptr);
    rec.data = value;
    rec.status = 0;
    hp->fill_hist(&rec, nullptr);
}

// The mutex that guards property i of a location: its own once the location is bound, the
// location-wide one before that and for properties added after binding.
pthread_mutex_t* property_mutex(EqFSMlocation* lp, int i) {
    if (lp->prop_mux != nullptr && static_cast<size_t>(i) < lp->prop_mux_size()) {
        return &lp->prop_mux[i];
    }
    return &lp->prop_amux;
}

}  // namespace

int FSMsuperstate::data_open(const char* namep, int flag) {
    if (flag == 0) {
        int h = data_open_loc(namep);
        if (h != -1) {
            return h;
        }
    }
    return data_open_net(namep, flag);
}

int FSMsuperstate::data_open_net(const char* np, int flag) {
    if (np == nullptr) {
        return -1;
    }
    FSMstate* ss = this;
    // Bounded like the search for a channel: a parent chain that never reaches a root (a cycle)
    // ends where no handle could encode the level any more.
    for (int level = 0; level <= kLevelMask; ++level) {
        EqFSMlocation* lp = location_of(ss);
        if (lp != nullptr) {
            for (size_t i = 0; i < lp->velko_data.size() && i <= static_cast<size_t>(kIndexMask); ++i) {
                D_fct* prop = lp->velko_data[i];
                if (prop != nullptr && name_matches(prop, np)) {
                    int stored = level + (flag != 0 ? 1 : 0);
                    return stored <= kLevelMask ? make_net_handle(stored, i) : -1;
                }
            }
        }
        if (ss->get_type() == ROOT_STATE || ss->get_parent() == nullptr) {
            return -1;
        }
        ss = ss->get_parent();
    }
    return -1;
}

int FSMsuperstate::data_find(int handle, int flag, EqFSMlocation** locp) {
    if (handle >= 0) {
        return -1;
    }
    int level = (handle >> kLevelShift) & kLevelMask;
    int i = handle & kIndexMask;
    if (flag != 0) {
        if (level == 0) {
            return -1;
        }
        --level;
    }
    FSMstate* ss = this;
    while (level > 0) {
        if (ss->get_type() == ROOT_STATE) {
            break;
        }
        ss = ss->get_parent();
        --level;
        if (ss == nullptr) {
            return -1;
        }
    }
    EqFSMlocation* lp = location_of(ss);
    if (lp == nullptr || static_cast<size_t>(i) >= lp->velko_data.size() || lp->velko_data[i] == nullptr) {
        return -1;
    }
    *locp = lp;
    return i;
}

// Reads: a handle that names no property is served by this superstate's own data channels.

int FSMsuperstate::data_get(int handle, int* di, int flag) {
    EqFSMlocation* lp = nullptr;
    int i = data_find(handle, flag, &lp);
    if (i == -1) {
        return data_geti(handle, di);
    }
    D_fct* dp = lp->velko_data[i];
    if (di == nullptr) {
        return -1;
    }
    if (auto* pi = typed<velko::D_value<int>>(dp, DATA_INT)) {
        *di = pi->value();
        return 0;
    }
    if (auto* pf = typed<velko::D_value<float>>(dp, DATA_FLOAT)) {
        return float_to_int(pf->value(), di) ? 0 : -1;
    }
    return -1;
}

int FSMsuperstate::data_get(int handle, float* df, int flag) {
    EqFSMlocation* lp = nullptr;
    int i = data_find(handle, flag, &lp);
    if (i == -1) {
        return data_getf(handle, df);
    }
    D_fct* dp = lp->velko_data[i];
    if (df == nullptr) {
        return -1;
    }
    if (auto* pi = typed<velko::D_value<int>>(dp, DATA_INT)) {
        *df = static_cast<float>(pi->value());
        return 0;
    }
    if (auto* pf = typed<velko::D_value<float>>(dp, DATA_FLOAT)) {
        *df = pf->value();
        return 0;
    }
    return -1;
}

int FSMsuperstate::data_get(int handle, char** ds, int flag) {
    EqFSMlocation* lp = nullptr;
    int i = data_find(handle, flag, &lp);
    if (i == -1) {
        return data_gets(handle, ds);
    }
    D_fct* dp = lp->velko_data[i];
    if (ds == nullptr) {
        return -1;
    }
    char buf[kNumberTextSize];
    int n = -1;
    if (auto* pi = typed<velko::D_value<int>>(dp, DATA_INT)) {
        n = snprintf(buf, sizeof buf, "%d", pi->value());
    } else if (auto* pf = typed<velko::D_value<float>>(dp, DATA_FLOAT)) {
        n = snprintf(buf, sizeof buf, "%f", static_cast<double>(pf->value()));
    } else if (auto* p4 = typed<D_iiii>(dp, DATA_IIII)) {
        IIII v = read_record<D_iiii, IIII>(p4);
        n = snprintf(buf, sizeof buf, "%d %d %d %d", v.i1_data, v.i2_data, v.i3_data, v.i4_data);
    } else if (auto* pr = typed<D_dig_filter>(dp, DATA_IFFF)) {
        IFFF v = read_record<D_dig_filter, IFFF>(pr);
        n = snprintf(buf, sizeof buf, "%d %f %f %f", v.i1_data, static_cast<double>(v.f1_data),
                     static_cast<double>(v.f2_data), static_cast<double>(v.f3_data));
    } else if (auto* pu = typed<D_ustr>(dp, DATA_A_USTR)) {
        // The copy stops at the end of the text and never reads past the stored length, which
        // may lie (a negative length gives no text).
        CallLock hold(pu->call_mutex());
        const USTR* v = pu->value();
        int len = v->str_data.str_data_len;
        const char* text = v->str_data.str_data_val;
        size_t real = (text != nullptr && len > 0) ? strnlen(text, static_cast<size_t>(len)) : 0;
        give_text(ds, text != nullptr ? text : "", real, static_cast<size_t>(std::max(len, 0)) + 1);
        return 0;
    }
    if (n < 0) {
        return -1;
    }
    give_text(ds, buf, strnlen(buf, sizeof buf - 1), kNumberTextSize);
    return 0;
}

int FSMsuperstate::data_get(int handle, IIII* di, int flag) {
    EqFSMlocation* lp = nullptr;
    int i = data_find(handle, flag, &lp);
    if (i == -1) {
        return data_getii(handle, di);
    }
    auto* p4 = typed<D_iiii>(lp->velko_data[i], DATA_IIII);
    if (di == nullptr || p4 == nullptr) {
        return -1;
    }
    *di = read_record<D_iiii, IIII>(p4);
    return 0;
}

int FSMsuperstate::data_get(int handle, IFFF* df, int flag) {
    EqFSMlocation* lp = nullptr;
    int i = data_find(handle, flag, &lp);
    if (i == -1) {
        return data_getif(handle, df);
    }
    auto* pr = typed<D_dig_filter>(lp->velko_data[i], DATA_IFFF);
    if (df == nullptr || pr == nullptr) {
        return -1;
    }
    *df = read_record<D_dig_filter, IFFF>(pr);
    return 0;
}

// Writes: a handle that names no property is served by this superstate's own data channels.

int FSMsuperstate::data_set(int handle, int di, int flag) {
    EqFSMlocation* lp = nullptr;
    int i = data_find(handle, flag, &lp);
    if (i == -1) {
        return data_seti(handle, di);
    }
    D_fct* dp = lp->velko_data[i];
    if (auto* pi = typed<velko::D_value<int>>(dp, DATA_INT)) {
        pi->set_value(di);
        return 0;
    }
    if (auto* ph = typed<D_hist>(dp, DATA_A_TDS)) {
        append_history(ph, static_cast<float>(di));
        return 0;
    }
    return -1;
}

int FSMsuperstate::data_set(int handle, float df, int flag) {
    EqFSMlocation* lp = nullptr;
    int i = data_find(handle, flag, &lp);
    if (i == -1) {
        return data_setf(handle, df);
    }
    D_fct* dp = lp->velko_data[i];
    if (auto* pf = typed<velko::D_value<float>>(dp, DATA_FLOAT)) {
        pf->set_value(df);
        return 0;
    }
    if (auto* ph = typed<D_hist>(dp, DATA_A_TDS)) {
        append_history(ph, df);
        return 0;
    }
    return -1;
}

// Text writes parse into the property's type. Text that does not parse (a number, or a record of
// fewer than four fields) writes nothing and still succeeds, as a short record always has.
int FSMsuperstate::data_set(int handle, char* ds, int flag) {
    if (ds == nullptr) {
        return 0;
    }
    EqFSMlocation* lp = nullptr;
    int i = data_find(handle, flag, &lp);
    if (i == -1) {
        return data_sets(handle, ds);
    }
    D_fct* dp = lp->velko_data[i];
    const char* p = ds;
    if (auto* pi = typed<velko::D_value<int>>(dp, DATA_INT)) {
        int v = 0;
        if (next_int(p, &v)) {
            pi->set_value(v);
        }
        return 0;
    }
    if (auto* pf = typed<velko::D_value<float>>(dp, DATA_FLOAT)) {
        float v = 0.0f;
        if (next_float(p, &v)) {
            pf->set_value(v);
        }
        return 0;
    }
    if (auto* p4 = typed<D_iiii>(dp, DATA_IIII)) {
        IIII v{};
        if (next_int(p, &v.i1_data) && next_int(p, &v.i2_data) && next_int(p, &v.i3_data) && next_int(p, &v.i4_data)) {
            write_record(p4, &v);
        }
        return 0;
    }
    if (auto* pr = typed<D_dig_filter>(dp, DATA_IFFF)) {
        IFFF v{};
        if (next_int(p, &v.i1_data) && next_float(p, &v.f1_data) && next_float(p, &v.f2_data) &&
            next_float(p, &v.f3_data)) {
            write_record(pr, &v);
        }
        return 0;
    }
    if (auto* pu = typed<D_ustr>(dp, DATA_A_USTR)) {
        USTR v{};
        v.i1_data = 0;
        v.f1_data = 0.0f;
        v.f2_data = 0.0f;
        v.tm = time(nullptr);
        v.str_data.str_data_len = static_cast<int>(strlen(ds)) + 1;
        v.str_data.str_data_val = ds;
        write_record(pu, &v);
        return 0;
    }
    return -1;
}

int FSMsuperstate::data_set(int handle, IIII* di, int flag) {
    EqFSMlocation* lp = nullptr;
    int i = data_find(handle, flag, &lp);
    if (i == -1) {
        return data_setii(handle, di);
    }
    auto* p4 = typed<D_iiii>(lp->velko_data[i], DATA_IIII);
    if (p4 == nullptr) {
        return -1;
    }
    write_record(p4, di);
    return 0;
}

int FSMsuperstate::data_set(int handle, IFFF* df, int flag) {
    EqFSMlocation* lp = nullptr;
    int i = data_find(handle, flag, &lp);
    if (i == -1) {
        return data_setif(handle, df);
    }
    auto* pr = typed<D_dig_filter>(lp->velko_data[i], DATA_IFFF);
    if (pr == nullptr) {
        return -1;
    }
    write_record(pr, df);
    return 0;
}

int FSMsuperstate::data_set(int handle, TDS* dt, int flag) {
    EqFSMlocation* lp = nullptr;
    int i = data_find(handle, flag, &lp);
    if (i == -1) {
        return data_settd(handle, dt);
    }
    auto* ph = typed<D_hist>(lp->velko_data[i], DATA_A_TDS);
    if (ph == nullptr) {
        return -1;
    }
    if (dt != nullptr) {
        ph->fill_hist(dt, nullptr);
    }
    return 0;
}

// A handle a child forwarded (flag 1) is decoded at the same level as its reads and writes.
int FSMsuperstate::data_pointer(int handle, void** pp, int flag) {
    if (pp == nullptr) {
        return -1;
    }
    *pp = nullptr;
    if (handle >= 0) {
        return -1;
    }
    EqFSMlocation* lp = nullptr;
    int i = data_find(handle, flag, &lp);
    if (i == -1) {
        return -1;
    }
    *pp = lp->velko_data[i];
    return 0;
}

// Locks are advisory: reads and writes do not take them. Without a mutex of its own a property
// is guarded by the location-wide mutex, which data_lock waits for like any other.
int FSMsuperstate::data_lock(int handle, int flag) {
    if (handle >= 0) {
        return FSMstate::data_lock(handle, 0);
    }
    EqFSMlocation* lp = nullptr;
    int i = data_find(handle, flag, &lp);
    if (i == -1) {
        return -1;
    }
    pthread_mutex_lock(property_mutex(lp, i));
    return 0;
}

int FSMsuperstate::data_unlock(int handle, int flag) {
    if (handle >= 0) {
        return FSMstate::data_unlock(handle, 0);
    }
    EqFSMlocation* lp = nullptr;
    int i = data_find(handle, flag, &lp);
    if (i == -1) {
        return -1;
    }
    pthread_mutex_unlock(property_mutex(lp, i));
    return 0;
}

void* FSMsuperstate::get_address(const char* np) {
    if (location == nullptr || np == nullptr) {
        return nullptr;
    }
    for (D_fct* prop : location->velko_address) {
        if (prop != nullptr && prop->name_text() == np) {
            return prop;
        }
    }
    return nullptr;
}
