// The futex hash table a server asks for: its size for a thread count, and what the kernel grants.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "futex_hash.h"

TEST(FutexHash, SlotsArePowersOfTwoFromSixteenUpToTheCap) {
    struct Case {
        long threads;
        long slots;
    };
    // clang-format off
    const Case cases[] = {
        {0,       16},
        {16,      16},
        {17,      32},
        {9000,    16384},
        {16384,   16384},
        {16385,   32768},
        {1000000, 65536},
    };
    // clang-format on
    for (const Case& c : cases) {
        EXPECT_EQ(velko::futex_hash_slots_for(c.threads), c.slots) << c.threads << " threads";
    }
}

TEST(FutexHash, AKernelThatOffersTheTableGrowsItAndNeverShrinksIt) {
    const bool offered = prctl(PR_FUTEX_HASH, PR_FUTEX_HASH_GET_SLOTS, 0, 0, 0) >= 0;
    const long got = velko::request_futex_hash(5000);
    if (!offered) {
        EXPECT_EQ(got, 0);  // the kernel's default table stays
        return;
    }
    EXPECT_EQ(got, 8192);
    EXPECT_EQ(prctl(PR_FUTEX_HASH, PR_FUTEX_HASH_GET_SLOTS, 0, 0, 0), 8192);
    EXPECT_EQ(velko::request_futex_hash(100), 0);
    EXPECT_EQ(prctl(PR_FUTEX_HASH, PR_FUTEX_HASH_GET_SLOTS, 0, 0, 0), 8192);
}

TEST(FutexHash, CountsTheThreadsOfTheProcess) {
    // The first thread may bring a sanitizer's own along: count from the second.
    std::promise<void> done;
    std::shared_future<void> go = done.get_future().share();
    std::thread first([go] { go.wait(); });
    const long before = velko::process_threads();
    ASSERT_GE(before, 2);
    std::thread second([go] { go.wait(); });
    EXPECT_EQ(velko::process_threads(), before + 1);
    done.set_value();
    first.join();
    second.join();
}
