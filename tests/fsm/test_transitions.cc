// The transition trace: order, effects, names cut to fit, wrap-around, and a reader racing a busy
// writer that never gets a torn, lost-without-count or doubled record.
#include <gtest/gtest.h>

#include <atomic>
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

TEST_F(Transitions, CutsLongNamesToFit) {
    const std::string long_event(200, 'e');
    trace.record(&owner, 1, &a, nullptr, long_event.c_str(), "Next");
    trace.record(&owner, 1, &a, nullptr, std::string(40, 'x').c_str(), std::string(100, 'n').c_str());
    const Read r = read_after(trace, 0);
    ASSERT_EQ(r.records.size(), 2u);
    EXPECT_EQ(std::string(r.records[0].event()), long_event.substr(0, FSMtrace::kTextSize - 1));
    EXPECT_STREQ(r.records[0].next(), "");  // no room left for it
    EXPECT_EQ(std::string(r.records[1].next()), std::string(FSMtrace::kTextSize - 42, 'n'));
}

TEST_F(Transitions, WrapsAroundAndCountsWhatWasOverwritten) {
    const uint64_t total = 3 * FSMtrace::kCapacity + 5;
    for (uint64_t n = 1; n <= total; ++n) {
        trace.record(&owner, static_cast<int>(n), &a, &b, std::to_string(n).c_str(), "B");
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
// transition is either read once, intact and in order, or counted as missed.
TEST_F(Transitions, ReaderRacingABusyWriterLosesNothingUncountedAndDoublesNothing) {
    constexpr uint64_t kTotal = 200000;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (uint64_t n = 1; n <= kTotal; ++n) {
            // The text and flow both encode n, so a torn copy would show as a mismatch.
            const std::string text = "event-" + std::to_string(n) + std::string(n % 60, '.');
            trace.record(&owner, static_cast<int>(n), n % 2 ? &a : &b, nullptr, text.c_str(), "next");
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
            ASSERT_GT(n, after) << "a record read twice or out of order";
            after = n;
            ++seen;
            ASSERT_EQ(r.records[i].event(), "event-" + std::to_string(n) + std::string(n % 60, '.'));
            ASSERT_EQ(r.records[i].flow, static_cast<int>(n));
            ASSERT_EQ(r.records[i].from, n % 2 ? &a : &b);
            ASSERT_STREQ(r.records[i].next(), "next");
        }
        after = std::max(after, r.newest);
    }
    writer.join();
    EXPECT_TRUE(finished);
    EXPECT_EQ(after, kTotal);
    EXPECT_EQ(seen + missed, kTotal);
}

}  // namespace
