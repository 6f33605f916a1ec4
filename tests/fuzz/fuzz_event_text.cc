// Fuzzes the event text grammar of the EVENT property and the text records of the location's
// properties: no input may overrun a buffer, and every posted event keeps the grammar's limits.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "fsm.h"

namespace {

// Checks each posted event instead of queueing it.
class Checker : public FSMsuperstate {
  public:
    Checker() : FSMsuperstate(nullptr, "Machine", "", SUPER_STATE), member("Member", "", STATE) {
        add_state(1, &member);
        link_state();
    }
    void post_event(FSMevent* ev) override {
        posted++;
        size_t name_len = strlen(ev->get_name());
        if (name_len == 0 || name_len > 80 || strlen(ev->get_state()) > 80 || strchr(ev->get_name(), ':') != nullptr) {
            abort();
        }
    }
    int posted = 0;
    FSMstate member;  // the active state of flow 1: its error and description come from the input
};

void check_record(D_fsmstr& p) {
    const USTR* v = p.value();
    if (v->str_data.str_data_len < 0 || v->str_data.str_data_len > 81 || strlen(v->str_data.str_data_val) > 80) {
        abort();
    }
    std::ostringstream out;
    p.write(out);
    if (out.str().size() >= 200) {
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) {
        return 0;
    }
    Checker machine;  // fresh each run: a state keeps its first error text
    static D_event event("EVENT the event", nullptr);
    static D_flow flow("FLOW_1", nullptr);
    event.set_state(&machine);
    flow.set_state(&machine);

    const int mode = data[0] % 3;
    // The stated length may be negative, shorter or longer than the text.
    const int stated = static_cast<int16_t>(data[1] | (data[2] << 8));
    std::string text(reinterpret_cast<const char*>(data + 3), size - 3);
    const bool ignorable = text.empty() || text[0] == ':' || text[0] == '\0' || stated <= 0;

    if (mode == 0) {
        USTR u{};
        u.str_data.str_data_len = stated;
        u.str_data.str_data_val = text.data();
        event.set_event(&u);
        if (ignorable && machine.posted != 0) {
            abort();
        }
    } else if (mode == 1) {
        EqData in;
        in.set(text.c_str());
        event.set(nullptr, &in, nullptr, nullptr);
    } else {
        EqData in;
        USTR u{};
        u.str_data.str_data_len = stated;
        u.str_data.str_data_val = text.data();
        in.set(u, 0);
        event.set(nullptr, &in, nullptr, nullptr);
        flow.set(nullptr, &in, nullptr, nullptr);
        D_flow named(text.c_str(), nullptr);
        (void)named.get_id();
    }
    if (machine.posted > 1) {
        abort();
    }
    check_record(event);
    check_record(flow);
    // The flow's record joins the active state's name with its error or description.
    machine.member.set_descr(text.c_str());
    flow.get_val(0);
    check_record(flow);
    machine.member.set_error(text.c_str());
    flow.get_val(1);
    check_record(flow);
    return 0;
}
