// One machine under load: its three engine threads run while eight threads post events and eight
// read its FLOW_1, FLOW_2 and FAULT properties through the location, as network calls do. Every
// posted event must be processed exactly once and in posting order per producer, and the machine
// must stop cleanly afterwards. Bounded in time and in counts.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fsm.h"
#include "journal.h"

namespace {

constexpr int kProducers = 8;
constexpr int kReaders = 8;
constexpr int kEventsPerProducer = 3000;
constexpr auto kPostingTime = std::chrono::seconds(2);
constexpr long kReadsPerReader = 200000;

// What the machine saw of each producer's events, written only by the event thread's actions
// and read by the test after the machine stopped.
struct Seen {
    std::array<long, kProducers> last{};  // sequence number of the last event, 0 before the first
    std::array<long, kProducers> count{};
    std::atomic<long> out_of_order{0};
    std::atomic<long> total{0};
};

Seen seen;

// Producer events are named "p<producer>.<sequence>", sequences counted from 1.
int record(FSMstate* sp) {
    int producer = -1;
    long sequence = 0;
    if (sscanf(sp->get_event_name(), "p%d.%ld", &producer, &sequence) != 2 || producer < 0 || producer >= kProducers) {
        return 0;
    }
    if (sequence != seen.last[producer] + 1) {
        seen.out_of_order++;
    }
    seen.last[producer] = sequence;
    seen.count[producer]++;
    seen.total++;
    return 0;
}

int overheat(FSMstate* sp) {
    sp->set_error("overheated");
    return 0;
}

// Flow 1 (A <-> B on "timer") records every producer event in its active state; flow 2 (C <-> D
// on "irq1") reports an error on "irq2" while in D. Stops its engine threads before it goes.
class Machine {
  public:
    // clang-format off
    Machine() {
        loc.set_name("LOADED");
        loc.state_ptr->set_name("Loaded");
        loc.fsm.set_value("Loaded");
        //                event    guard    action   signal   target   next
        a.add_transition("timer", nullptr, nullptr, nullptr, nullptr, "B");
        b.add_transition("timer", nullptr, nullptr, nullptr, nullptr, "A");
        c.add_transition("irq1",  nullptr, nullptr, nullptr, nullptr, "D");
        d.add_transition("irq1",  nullptr, nullptr, nullptr, nullptr, "C");
        a.add_action("poll", record);
        b.add_action("poll", record);
        d.add_action("interrupt2", overheat);
        loc.state_ptr->add_state(1, &a);
        loc.state_ptr->add_state(1, &b);
        loc.state_ptr->add_state(2, &c);
        loc.state_ptr->add_state(2, &d);
        loc.flows.push_back(&flow1);
        loc.flows.push_back(&flow2);
        loc.bind();
        loc.init();
        global_list.init_list();
        global_list.store_node(&loc);
        global_list.link_nodes();
    }
    // clang-format on
    ~Machine() {
        loc.stop_engines();
        global_list.init_list();
    }
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    FSMstate a{"A", "first", STATE};
    FSMstate b{"B", "second", STATE};
    FSMstate c{"C", "cool", STATE};
    FSMstate d{"D", "hot", STATE};
    EqFSMlocation loc{ROOT_STATE};
    D_flow flow1{"FLOW_1 the recorder", &loc};
    D_flow flow2{"FLOW_2 the heater", &loc};
};

// What a read of a property shows must be one of the texts the machine can produce.
bool well_formed(const std::string& property, const std::string& text) {
    if (property == "FAULT") {
        return text.empty() || text == "overheated";
    }
    const char* const first[] = {"A : first", "B : second"};
    const char* const second[] = {"C : cool", "D : hot", "D : overheated"};
    for (const char* t : property == "FLOW_1" ? std::vector<const char*>(first, first + 2)
                                              : std::vector<const char*>(second, second + 3)) {
        if (text == t) {
            return true;
        }
    }
    return false;
}

}  // namespace

TEST(MachineLoad, EveryEventOnceAndInOrderPerProducerWhileReadersWatch) {
    Machine machine;
    EqFSMlocation* loc = &machine.loc;

    std::atomic<bool> posting_done{false};
    std::array<long, kProducers> posted{};
    const auto deadline = std::chrono::steady_clock::now() + kPostingTime;

    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            FSMevent ev;
            for (long seq = 1; seq <= kEventsPerProducer && std::chrono::steady_clock::now() < deadline; ++seq) {
                std::string name = "p" + std::to_string(p) + "." + std::to_string(seq);
                ev.set_event(name.c_str(), "*");
                loc->state_ptr->post_event(&ev);
                posted[p] = seq;
            }
        });
    }
    // The update cycle and the two interrupt lines, as the server and the application pace them.
    std::thread pacer([&] {
        while (!posting_done.load()) {
            loc->update();
            loc->interrupt1();
            loc->interrupt2();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::atomic<long> bad_reads{0};
    std::atomic<long> reads{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < kReaders; ++r) {
        readers.emplace_back([&, r] {
            const char* const properties[] = {"FLOW_1", "FLOW_2", "FAULT"};
            EqAdr adr;
            EqData in;
            EqData out;
            char text[100];
            for (long i = 0; i < kReadsPerReader && !posting_done.load(); ++i) {
                const std::string property = properties[(i + r) % 3];
                adr.adr("TEST.LOAD/MACH/LOADED/" + property);
                out.init();
                loc->get(&adr, &in, &out);
                const USTR* u = out.get_ustr(0);
                bool ok = out.error() == 0 && u != nullptr && u->str_data.str_data_val != nullptr;
                if (ok) {
                    snprintf(text, sizeof text, "%s", u->str_data.str_data_val);
                    ok = well_formed(property, text);
                }
                if (!ok) {
                    bad_reads++;
                }
                reads++;
            }
        });
    }

    for (std::thread& t : producers) {
        t.join();
    }
    long total_posted = 0;
    for (long n : posted) {
        total_posted += n;
    }
    // Everything posted is processed by the passes that follow.
    const bool drained =
        testsupport::poll_until([&] { return seen.total.load() >= total_posted; }, std::chrono::seconds(60));
    posting_done = true;
    pacer.join();
    for (std::thread& t : readers) {
        t.join();
    }
    loc->stop_engines();

    EXPECT_TRUE(drained) << seen.total.load() << " of " << total_posted << " events processed";
    EXPECT_EQ(seen.out_of_order.load(), 0);
    EXPECT_EQ(seen.total.load(), total_posted);
    for (int p = 0; p < kProducers; ++p) {
        EXPECT_GT(posted[p], 0) << "producer " << p;
        EXPECT_EQ(seen.count[p], posted[p]) << "producer " << p;
        EXPECT_EQ(seen.last[p], posted[p]) << "producer " << p;
    }
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(bad_reads.load(), 0);
}
