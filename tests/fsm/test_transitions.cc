// The transition trace: order, effects, copied texts cut to fit, wrap-around, and a reader racing a
// busy writer that never gets a torn, lost-without-count or doubled record.
#include <gtest/gtest.h>

#include <atomic>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "fsm.h"

namespace {

struct Read {
    std::vector<FSMtrace::Record> records;
    std::vector<uint64_t> seqs;
    uint64_t newest = 0;
    uint64_t missed = 0;
};

Read read_after(const FSMtrace& trace, uint64_t after) {
    Read r;
    r.missed = trace.read(after, &r.records, &r.seqs, &r.newest);
    return r;
}

class Transitions : public ::testing::Test {
  protected:
    FSMsuperstate owner{nullptr, "Owner", "", SUPER_STATE};
    FSMstate a{"A", nullptr, STATE};
    FSMstate b{"B", nullptr, STATE};
    FSMtrace trace;
};

TEST_F(Transitions, KeepsOrderEffectAndNames) {
    trace.record(&owner, 1, &a, &b, "go", "B");
    trace.record(&owner, 2, &b, &owner, "done", "Owner");
    trace.record(&owner, 1, &b, nullptr, "lost", "Nowhere");
    const Read r = read_after(trace, 0);
    ASSERT_EQ(r.records.size(), 3u);
    EXPECT_EQ(r.seqs, (std::vector<uint64_t>{1, 2, 3}));
    EXPECT_EQ(r.newest, 3u);
    EXPECT_EQ(r.missed, 0u);
    EXPECT_EQ(r.records[0].effect, FSMtrace::SWITCHED);
    EXPECT_EQ(r.records[0].from, &a);
    EXPECT_EQ(r.records[0].to, &b);
    EXPECT_EQ(r.records[0].flow, 1);
    EXPECT_STREQ(r.records[0].event(), "go");
    EXPECT_EQ(r.records[1].effect, FSMtrace::FINISHED);
    EXPECT_EQ(r.records[2].effect, FSMtrace::UNCHANGED);
    EXPECT_STREQ(r.records[2].event(), "lost");
    EXPECT_STREQ(r.records[2].next(), "Nowhere");
    EXPECT_GT(r.records[0].time_ns, 0);

    EXPECT_EQ(read_after(trace, 2).seqs, (std::vector<uint64_t>{3}));
    EXPECT_TRUE(read_after(trace, 3).records.empty());
    EXPECT_TRUE(read_after(trace, 99).records.empty());
}

TEST_F(Transitions, CopiesEventsAndErrorsCutOnACharacterBoundary) {
    // "é" is two bytes: a cut inside one drops the whole character.
    const std::string accented = std::string(FSMtrace::kTextSize - 2, 'e') + "\xc3\xa9tail";
    const std::string long_event(200, 'e');
    struct Case {
        std::string text;
        bool error;
        std::string kept;
    };
    const Case cases[] = {
        {"short", false, "short"},
        {long_event, false, long_event.substr(0, FSMtrace::kTextSize - 1)},
        {accented, false, accented.substr(0, FSMtrace::kTextSize - 2)},
        {"valve stuck", true, "valve stuck"},
        {accented, true, accented.substr(0, FSMtrace::kTextSize - 2)},
        {std::string(FSMtrace::kTextSize - 1, 'x'), true, std::string(FSMtrace::kTextSize - 1, 'x')},
    };
    for (const Case& c : cases) {
        std::string scratch = c.text;  // overwritten below: the trace must hold its own copy
        if (c.error) {
            trace.record_error(&a, scratch.c_str());
        } else {
            trace.record_event(&owner, 1, &a, nullptr, scratch.c_str(), "Next");
        }
        scratch.assign(scratch.size(), '#');
    }
    const Read r = read_after(trace, 0);
    ASSERT_EQ(r.records.size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        const FSMtrace::Record& rec = r.records[i];
        if (cases[i].error) {
            EXPECT_EQ(rec.effect, FSMtrace::ERROR) << i;
            EXPECT_EQ(rec.from, &a);
            EXPECT_STREQ(rec.event(), "");
            EXPECT_EQ(rec.error(), cases[i].kept) << i;
        } else {
            EXPECT_EQ(rec.effect, FSMtrace::UNCHANGED) << i;
            EXPECT_EQ(rec.event(), cases[i].kept) << i;
            EXPECT_STREQ(rec.next(), "Next");
            EXPECT_STREQ(rec.error(), "");
        }
    }
    // The same error again from the same state is not repeated; from another state it is.
    trace.record_error(&a, "valve stuck");
    trace.record_error(&a, "valve stuck");
    trace.record_error(&b, "valve stuck");
    EXPECT_EQ(trace.last(), std::size(cases) + 2);
}

TEST_F(Transitions, WrapsAroundAndCountsWhatWasOverwritten) {
    const uint64_t total = 3 * FSMtrace::kCapacity + 5;
    for (uint64_t n = 1; n <= total; ++n) {
        trace.record_event(&owner, static_cast<int>(n), &a, &b, std::to_string(n).c_str(), "B");
    }
    struct Case {
        uint64_t after;
        uint64_t first;
        uint64_t missed;
    };
    const Case cases[] = {
        {0, total - FSMtrace::kCapacity + 1, total - FSMtrace::kCapacity},
        {total - 10, total - 9, 0},
        {total - FSMtrace::kCapacity, total - FSMtrace::kCapacity + 1, 0},
        {total - FSMtrace::kCapacity - 1, total - FSMtrace::kCapacity + 1, 1},
    };
    for (const Case& c : cases) {
        const Read r = read_after(trace, c.after);
        EXPECT_EQ(r.missed, c.missed) << "after " << c.after;
        ASSERT_FALSE(r.seqs.empty());
        EXPECT_EQ(r.seqs.front(), c.first);
        EXPECT_EQ(r.seqs.back(), total);
        for (size_t i = 0; i < r.records.size(); ++i) {
            EXPECT_EQ(r.records[i].event(), std::to_string(r.seqs[i]));
            EXPECT_EQ(r.records[i].flow, static_cast<int>(r.seqs[i]));
        }
    }
}

// One writer as fast as it can, one reader asking for everything after what it saw last: every
// entry is either read once, intact and in order, or counted as missed. The writer mixes the three
// kinds of entry, so that a slot's text is sometimes read and sometimes not.
TEST_F(Transitions, ReaderRacingABusyWriterLosesNothingUncountedAndDoublesNothing) {
    constexpr uint64_t kTotal = 200000;
    static const char* const kNames[] = {"even", "odd"};
    const auto text_of = [](uint64_t n) { return "entry-" + std::to_string(n) + std::string(n % 60, '.'); };
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (uint64_t n = 1; n <= kTotal; ++n) {
            // The text or name, the flow and the state all encode n, so a torn copy would show.
            const std::string text = text_of(n);
            switch (n % 3) {
                case 0:
                    trace.record_event(&owner, static_cast<int>(n), n % 2 ? &a : &b, nullptr, text.c_str(), "next");
                    break;
                case 1:
                    trace.record(&owner, static_cast<int>(n), n % 2 ? &a : &b, nullptr, kNames[n % 2], "next");
                    break;
                default:
                    trace.record_error(n % 2 ? &a : &b, text.c_str());
            }
        }
        done = true;
    });
    uint64_t seen = 0;
    uint64_t missed = 0;
    uint64_t after = 0;
    bool finished = false;
    for (int rounds = 0; !finished && rounds < 10000000; ++rounds) {
        finished = done.load();
        const Read r = read_after(trace, after);
        missed += r.missed;
        for (size_t i = 0; i < r.records.size(); ++i) {
            const uint64_t n = r.seqs[i];
            const FSMtrace::Record& rec = r.records[i];
            ASSERT_GT(n, after) << "a record read twice or out of order";
            after = n;
            ++seen;
            ASSERT_EQ(rec.from, n % 2 ? &a : &b);
            if (n % 3 == 2) {
                ASSERT_EQ(rec.effect, FSMtrace::ERROR);
                ASSERT_EQ(rec.error(), text_of(n));
                continue;
            }
            ASSERT_EQ(rec.event(), n % 3 == 0 ? text_of(n) : std::string(kNames[n % 2]));
            ASSERT_EQ(rec.flow, static_cast<int>(n));
            ASSERT_STREQ(rec.next(), "next");
        }
        after = std::max(after, r.newest);
    }
    writer.join();
    EXPECT_TRUE(finished);
    EXPECT_EQ(after, kTotal);
    EXPECT_EQ(seen + missed, kTotal);
}

}  // namespace
