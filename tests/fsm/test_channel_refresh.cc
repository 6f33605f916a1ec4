// The refresh of addressed data channels against a scripted remote-call client: the arguments of
// the monitored read, the plain read that follows "monitor not yet established" and only that
// error, which failing channel's text the state keeps, and what a failed refresh leaves in the
// channel.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "fsm.h"

namespace {

struct Answer {
    int code = 0;  // 0: the value below
    int value = 0;
    std::string text;

    void put(EqData* out) const {
        out->init();
        if (code != 0) {
            out->error(code, text);
        } else {
            out->set(value);
        }
    }
};

struct Call {
    std::string op;
    std::string address;
    const EqData* in = nullptr;
    int mode = 0;
    float rate = 0.0f;
    velko::EqMonitorCallback cb = nullptr;
    void* user = nullptr;
};

// Answers every monitored and plain read of an address from a script and records the calls.
class ScriptedCall : public velko::EqCall {
  public:
    int get(EqAdr* adr, EqData* in, EqData* out) override {
        calls.push_back({"get", adr->show_adr(), in});
        plain[adr->show_adr()].put(out);
        return out->error();
    }
    int get_monitor(EqAdr* adr, EqData* in, EqData* out, int mode, float rate, velko::EqMonitorCallback cb,
                    void* user) override {
        calls.push_back({"get_monitor", adr->show_adr(), in, mode, rate, cb, user});
        monitored[adr->show_adr()].put(out);
        return out->error();
    }

    std::map<std::string, Answer> monitored;
    std::map<std::string, Answer> plain;
    std::vector<Call> calls;
};

const char* const kA = "FAC/DEV/LOC/A";
const char* const kB = "FAC/DEV/LOC/B";

struct Case {
    const char* what;
    Answer monitor_a, plain_a, monitor_b, plain_b;
    std::vector<std::string> expected_ops;  // op and address of each call, in order
    int a_code, a_value, b_code, b_value;   // what each channel holds afterwards
    const char* state_error;
};

// clang-format off
const Case kCases[] = {
    {"first read: monitor pending, plain reads follow",
     {110, 0, "pending"}, {0, 5, ""}, {110, 0, "pending"}, {0, 6, ""},
     {"get_monitor " + std::string(kA), "get " + std::string(kA), "get_monitor " + std::string(kB), "get " + std::string(kB)},
     0, 5, 0, 6, ""},
    {"established monitors answer without plain reads",
     {0, 7, ""}, {0, 0, ""}, {0, 8, ""}, {0, 0, ""},
     {"get_monitor " + std::string(kA), "get_monitor " + std::string(kB)},
     0, 7, 0, 8, ""},
    {"another error is not retried and is kept in the channel",
     {106, 0, "server gone"}, {0, 1, ""}, {0, 8, ""}, {0, 0, ""},
     {"get_monitor " + std::string(kA), "get_monitor " + std::string(kB)},
     106, 0, 0, 8, "server gone"},
    {"a failing plain read after the pending monitor is kept",
     {110, 0, "pending"}, {107, 0, "timed out"}, {0, 8, ""}, {0, 0, ""},
     {"get_monitor " + std::string(kA), "get " + std::string(kA), "get_monitor " + std::string(kB)},
     107, 0, 0, 8, "timed out"},
    {"the first failing channel's text wins",
     {103, 0, "no such A"}, {0, 0, ""}, {110, 0, "pending"}, {102, 0, "no such B"},
     {"get_monitor " + std::string(kA), "get_monitor " + std::string(kB), "get " + std::string(kB)},
     103, 0, 102, 0, "no such A"},
};
// clang-format on

}  // namespace

TEST(ChannelRefresh, ScriptedAnswersReachTheChannelsAndTheStateError) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        ScriptedCall scripted;
        scripted.monitored = {{kA, c.monitor_a}, {kB, c.monitor_b}};
        scripted.plain = {{kA, c.plain_a}, {kB, c.plain_b}};
        velko_call = &scripted;

        FSMstate s("S", nullptr, STATE);
        EqData old;
        old.set(-1);
        s.add_data("a", &old, kA);
        s.add_data("plain", &old, nullptr);
        s.add_data("b", &old, kB);
        s.set_error("left over from before");
        s.enter_state();
        FSMevent ev;
        ev.set_event("tick", "S");
        s.process_event(&ev);
        velko_call = nullptr;

        std::vector<std::string> ops;
        for (const Call& call : scripted.calls) {
            ops.push_back(call.op + " " + call.address);
            // Every read hands the channel's own value as input; monitors ask for no callback.
            const FSMstate::local_data* ch = s.data[call.address == kA ? 0 : 2];
            EXPECT_EQ(call.in, &ch->eq_data);
            if (call.op == "get_monitor") {
                EXPECT_EQ(call.mode, 1);
                EXPECT_EQ(call.rate, 1.0f);
                EXPECT_EQ(call.cb, velko::no_monitor_callback());
                EXPECT_EQ(call.user, nullptr);
            }
        }
        EXPECT_EQ(ops, c.expected_ops);
        EXPECT_EQ(s.data[0]->eq_data.error(), c.a_code);
        EXPECT_EQ(s.data[2]->eq_data.error(), c.b_code);
        if (c.a_code == 0) {
            EXPECT_EQ(s.data[0]->eq_data.get_int(), c.a_value);
        }
        if (c.b_code == 0) {
            EXPECT_EQ(s.data[2]->eq_data.get_int(), c.b_value);
        }
        // A channel without an address is never called and keeps its value.
        EXPECT_EQ(s.data[1]->eq_data.get_int(), -1);
        EXPECT_STREQ(s.get_error(), c.state_error);
    }
}
