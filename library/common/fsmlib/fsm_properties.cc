// The location's network properties: machine name and description, the event input, the current
// fault and the flows' status records.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "fsm.h"

namespace {

// Longest text a property or an event name holds; buffers have one more byte for the NUL.
constexpr int kTextMax = 80;

// Copies at most n characters of src (stopping early at a NUL) into dst, never more than
// dst_size - 1, and terminates dst. Returns the number of characters copied.
size_t copy_cut(char* dst, size_t dst_size, const char* src, size_t n) {
    if (n > dst_size - 1) {
        n = dst_size - 1;
    }
    size_t len = src != nullptr ? strnlen(src, n) : 0;
    if (len > 0) {
        memcpy(dst, src, len);
    }
    dst[len] = '\0';
    return len;
}

// Appends src to the NUL-terminated text in dst (of dst_size bytes), cutting it to fit.
void append_cut(char* dst, size_t dst_size, const char* src) {
    size_t used = strnlen(dst, dst_size - 1);
    copy_cut(dst + used, dst_size - used, src, dst_size);
}

const char* text_or_empty(const char* text) {
    return text != nullptr ? text : "";
}

}  // namespace

// ---- D_fsmstr ----

D_fsmstr::D_fsmstr(const char* name, EqFct* ep) : D_fct(std::string(text_or_empty(name)), ep, 0), value_{}, comment{} {
    value_.str_data.str_data_val = comment;
}

D_fsmstr::~D_fsmstr() = default;

int D_fsmstr::data_type() const {
    return DATA_A_USTR;
}

void D_fsmstr::get(EqAdr*, EqData*, EqData* res, EqFct*) {
    if (res != nullptr) {
        res->set(value_, 0);
    }
}

void D_fsmstr::get_multi(EqAdr*, EqData*, EqData* res, int* index, const char*, time_t*) {
    if (res != nullptr) {
        res->set(value_, index != nullptr ? *index : 0);
    }
}

void D_fsmstr::set(EqAdr*, EqData* ed, EqData*, EqFct*) {
    if (ed != nullptr) {
        set_value(const_cast<USTR*>(ed->get_ustr(0)));
    }
}

void D_fsmstr::conf(Config* c) {
    conf_insert(c, DATA_USTR);
}

void D_fsmstr::read() {
    const ConfigRecord* rec = find_prop_name();
    if (rec == nullptr) {
        return;
    }
    // A configured value in record form gives all fields; a bare text gives only the text.
    const std::string& text = rec->has_record ? rec->str : rec->text;
    value_.i1_data = rec->has_record ? rec->i1_data : 0;
    value_.f1_data = rec->has_record ? rec->f1_data : 0.0f;
    value_.f2_data = rec->has_record ? rec->f2_data : 0.0f;
    value_.tm = rec->has_record ? static_cast<time_t>(rec->tm) : 0;
    // The stored length counts the NUL; it describes what comment really holds (at most 79
    // characters here), so a longer configured text cannot make readers run past the buffer.
    size_t len = copy_cut(comment, kTextMax, text.c_str(), text.size());
    value_.str_data.str_data_len = static_cast<int>(len) + 1;
}

void D_fsmstr::write(std::ostream& fl) {
    char line[200];
    int n =
        snprintf(line, sizeof(line), " \t%d %g %g %ld \"%s\"\n", value_.i1_data, static_cast<double>(value_.f1_data),
                 static_cast<double>(value_.f2_data), static_cast<long>(value_.tm), comment);
    if (n < 0) {
        return;
    }
    if (static_cast<size_t>(n) >= sizeof(line)) {
        n = sizeof(line) - 1;
    }
    fl.write(line, n);
}

USTR* D_fsmstr::value() {
    return &value_;
}

void D_fsmstr::set_value(int i) {
    value_.i1_data = i;
}

void D_fsmstr::set_f1(float f) {
    value_.f1_data = f;
}

void D_fsmstr::set_f2(float f) {
    value_.f2_data = f;
}

void D_fsmstr::set_value(time_t t) {
    value_.tm = t;
}

void D_fsmstr::set_value(const char* comm) {
    if (comm == nullptr) {
        return;
    }
    // The length is that of the text kept, so it never claims more than comment holds.
    size_t len = copy_cut(comment, sizeof(comment), comm, strlen(comm));
    value_.str_data.str_data_len = static_cast<int>(len);
}

void D_fsmstr::set_value(USTR* usp) {
    if (usp == nullptr) {
        return;
    }
    value_.i1_data = usp->i1_data;
    value_.f1_data = usp->f1_data;
    value_.f2_data = usp->f2_data;
    value_.tm = usp->tm;
    int want = usp->str_data.str_data_len > 0 ? usp->str_data.str_data_len : 0;
    size_t len = copy_cut(comment, sizeof(comment), usp->str_data.str_data_val, static_cast<size_t>(want));
    // Keep the caller's length when it matches the text (with or without a counted NUL); a
    // length beyond the text or the buffer is cut to the text kept plus its NUL.
    value_.str_data.str_data_len = static_cast<size_t>(want) <= len ? want : static_cast<int>(len) + 1;
}

// ---- D_rname ----

D_rname::D_rname(const char* name, EqFct* ep) : D_string(std::string(text_or_empty(name)), ep), state(nullptr) {}

D_rname::~D_rname() = default;

void D_rname::set(EqAdr*, EqData*, EqData*, EqFct*) {}

void D_rname::read_from_conf(const std::string& str) {
    D_string::read_from_conf(str);
    if (state != nullptr) {
        state->set_descr(value());
    }
}

void D_rname::set_state(FSMsuperstate* sp) {
    state = sp;
}

// ---- D_event ----

D_event::D_event(const char* name, EqFct* ep) : D_fsmstr(name, ep), state(nullptr) {}

D_event::~D_event() = default;

void D_event::set_state(FSMsuperstate* sp) {
    state = sp;
}

void D_event::set(EqAdr*, EqData* data, EqData*, EqFct*) {
    if (data == nullptr) {
        return;
    }
    if (data->type() == DATA_A_USTR) {
        set_event(const_cast<USTR*>(data->get_ustr(0)));
    } else if (data->type() == DATA_STRING) {
        char buffer[kTextMax + 1];
        data->get_string(buffer, kTextMax);
        USTR us{};
        us.tm = time(nullptr);
        us.str_data.str_data_len = static_cast<int>(strlen(buffer));
        us.str_data.str_data_val = buffer;
        set_event(&us);
    }
}

void D_event::set_event(USTR* uname) {
    if (uname == nullptr || state == nullptr) {
        return;
    }
    const char* cp = uname->str_data.str_data_val;
    int length = uname->str_data.str_data_len;
    if (cp == nullptr || length <= 0) {
        return;
    }
    // The text ends at its stated length or at a NUL, whichever comes first.
    size_t len = strnlen(cp, static_cast<size_t>(length));
    if (len == 0 || cp[0] == ':') {
        return;
    }
    const char* colon = static_cast<const char*>(memchr(cp, ':', len));
    const char* me = text_or_empty(state->get_name());
    char name[kTextMax + 1];
    char target[kTextMax + 1];
    copy_cut(name, sizeof(name), cp, colon != nullptr ? static_cast<size_t>(colon - cp) : len);
    copy_cut(target, sizeof(target), me, strlen(me));
    if (colon != nullptr) {
        const char* after = colon + 1;
        size_t after_len = len - static_cast<size_t>(after - cp);
        if (after_len == 1 && after[0] == '!') {
            copy_cut(target, sizeof(target), "*", 1);
        } else if (after_len == 1 && after[0] == '*') {
            append_cut(target, sizeof(target), "!*");
        } else if (after_len > 0) {
            append_cut(target, sizeof(target), "!");
            size_t used = strlen(target);
            copy_cut(target + used, sizeof(target) - used, after, after_len);
        }
    }
    evn.set_event(name, target);
    state->post_event(&evn);
    set_value(uname);
}

// ---- D_rstate ----

D_rstate::D_rstate(const char* name, EqFct* ep) : D_fsmstr(name, ep), state(nullptr) {}

D_rstate::~D_rstate() = default;

void D_rstate::set_state(FSMsuperstate* sp) {
    state = sp;
}

void D_rstate::set(EqAdr*, EqData*, EqData*, EqFct*) {}

// FAULT and FLOW_ are read without the machine part's state lock: everything they show is kept
// atomically (active states, activity) or under the error text's own lock. A reader that holds
// velko_mux (another machine reading this one through a data channel) would otherwise take the
// state lock after velko_mux, against the lock order, and deadlock with this machine's refresh.
void D_rstate::get(EqAdr*, EqData*, EqData* res, EqFct*) {
    memset(comment, 0, sizeof(comment));
    // A machine part that could not be linked shows why, whatever its states report.
    EqFSMlocation* lp = state != nullptr ? state->get_location() : nullptr;
    const std::string link_fault = lp != nullptr ? lp->link_fault() : std::string();
    size_t n = link_fault.size();
    if (n != 0) {
        copy_cut(comment, sizeof(comment), link_fault.c_str(), n);
    } else if (state != nullptr) {
        n = state->copy_error(comment, sizeof(comment));
    }
    value_.i1_data = 0;
    value_.f1_data = 0.0f;
    value_.f2_data = n != 0 ? 1.0f : 0.0f;
    value_.tm = time(nullptr);
    value_.str_data.str_data_len = n > kTextMax ? kTextMax + 1 : static_cast<int>(n) + 1;
    if (res != nullptr) {
        res->set(value_, 0);
    }
}

// ---- D_flow ----

D_flow::D_flow(const char* name, EqFct* ep) : D_fsmstr(name, ep), state(nullptr), flow_id(-1) {
    if (name != nullptr && strstr(name, "FLOW_") != nullptr) {
        const char* us = strchr(name, '_');
        int id = -1;
        if (sscanf(us + 1, "%d", &id) == 1) {
            flow_id = id;
        }
    }
}

D_flow::~D_flow() = default;

void D_flow::set_state(FSMsuperstate* sp) {
    state = sp;
}

int D_flow::get_id() {
    return flow_id;
}

void D_flow::set(EqAdr*, EqData*, EqData*, EqFct*) {}

void D_flow::get(EqAdr*, EqData*, EqData* res, EqFct*) {
    USTR* v = get_val(0);
    if (res != nullptr) {
        res->set(*v, 0);
    }
}

// A flow that shows no state (its machine could not be linked, or has no such flow) writes
// nothing, so a save keeps the configured line instead of replacing it with "No such location".
void D_flow::write(std::ostream& fl) {
    if (state == nullptr || state->get_ast_name(flow_id, nullptr, 1) == nullptr) {
        return;
    }
    get_val(1);
    D_fsmstr::write(fl);
}

USTR* D_flow::get_val(int flag) {
    const char* name = nullptr;
    if (state != nullptr) {
        int active = state->is_active();
        const char* descr = nullptr;
        name = state->get_ast_name(flow_id, &descr, flag);
        if (name != nullptr) {
            char err[kTextMax + 1];
            size_t err_len = copy_active_error(err, sizeof(err));
            int hist = state->get_flag(flow_id);
            const char* second = err_len != 0 ? err : text_or_empty(descr);
            size_t second_len = err_len != 0 ? err_len : strlen(second);
            memset(comment, 0, sizeof(comment));
            append_cut(comment, sizeof(comment), name);
            append_cut(comment, sizeof(comment), " : ");
            append_cut(comment, sizeof(comment), second);
            size_t full = strlen(name) + 3 + second_len;
            value_.str_data.str_data_len = full > kTextMax ? kTextMax + 1 : static_cast<int>(full) + 1;
            value_.f2_data = err_len != 0 ? 1.0f : 0.0f;
            value_.i1_data = hist;
            value_.f1_data = static_cast<float>(active);
            value_.tm = time(nullptr);
        }
    }
    if (name == nullptr) {
        static const char kNoFlow[] = "No such location";
        copy_cut(comment, sizeof(comment), kNoFlow, sizeof(kNoFlow) - 1);
        value_.str_data.str_data_len = sizeof(kNoFlow) - 1;
        value_.i1_data = 0;
        value_.f1_data = 0.0f;
        value_.f2_data = 0.0f;
        value_.tm = time(nullptr);
    }
    return value();
}

size_t D_flow::copy_active_error(char* buf, size_t size) {
    // The active state's error text is written by the engine threads, so it is copied under the
    // state's error lock. Its state lock is not taken: an action of that state may itself read
    // this property while it holds it.
    buf[0] = '\0';
    const char* active = state->get_ast_name(flow_id, nullptr, 0);
    if (active == nullptr) {
        return 0;
    }
    FSMstate* member = nullptr;
    for (int i = 0; member == nullptr; i++) {
        FSMstate* candidate = nullptr;
        const char* n = state->get_st_name(flow_id, i, &candidate);
        if (n == nullptr) {
            return 0;
        }
        if (strcmp(n, active) == 0) {
            member = candidate;
        }
    }
    return member->copy_error(buf, size);
}
