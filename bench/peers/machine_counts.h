// The machine every dispatch peer implements, and what they must agree on: an Operating
// superstate with flows A and B of four states each (history kept), a sibling Fault state, entry
// and exit actions that count, and the event sequence that drives them.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace peers {

// State ids: A0..A3, B0..B3, then the two states of the top level.
enum StateId { A0 = 0, B0 = 4, OPERATING = 8, FAULT = 9, STATE_COUNT = 10 };

// "a" moves flow A one state on, "b" moves flow B, "fault" leaves Operating for Fault and
// "recover" goes back (both flows resume where they were).
enum Ev { EV_A, EV_B, EV_FAULT, EV_RECOVER };

struct Counts {
    std::array<long, STATE_COUNT> enter{};
    std::array<long, STATE_COUNT> exit{};
    bool operator==(const Counts& o) const { return enter == o.enter && exit == o.exit; }
};

// The counters every peer's entry and exit actions increment; peers run one at a time.
inline Counts counts;

// 90 % of events move one flow (A or B, pseudo-random), 10 % go to Fault and come back.
inline std::vector<Ev> event_sequence(size_t n) {
    std::vector<Ev> seq;
    seq.reserve(n);
    uint32_t lcg = 12345;
    for (size_t i = 0; i < n; ++i) {
        if (i % 20 == 9) {
            seq.push_back(EV_FAULT);
        } else if (i % 20 == 10) {
            seq.push_back(EV_RECOVER);
        } else {
            lcg = lcg * 1664525u + 1013904223u;
            seq.push_back((lcg >> 16) & 1 ? EV_A : EV_B);
        }
    }
    return seq;
}

inline std::string describe(const Counts& c) {
    std::string s;
    for (int i = 0; i < STATE_COUNT; ++i) {
        s += " " + std::to_string(c.enter[i]) + "/" + std::to_string(c.exit[i]);
    }
    return s;
}

// Runs seq through a fresh Machine (counting from after its start) and returns the counts.
template <class Machine>
Counts run_counted(const std::vector<Ev>& seq) {
    Machine m;
    counts = Counts{};
    for (Ev e : seq) {
        m.dispatch(e);
    }
    Counts result = counts;
    return result;
}

}  // namespace peers
