// Data channels of basic states: handles and their levels, typed and general reads and writes,
// addresses, locking, and the refresh of addressed channels when no remote call can be made.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "fsm.h"

namespace {

constexpr int kLevelShift = 20;

int handle_level(int h) {
    return (h >> kLevelShift) & 0x7FF;
}
int handle_index(int h) {
    return h & 0xFFFFF;
}

// root (ROOT_STATE) > mid (superstate) > leaf, all without a location.
class Chain : public ::testing::Test {
  protected:
    Chain() : root(nullptr, "R", ""), mid(nullptr, "M", "", SUPER_STATE), leaf("L", "", STATE) {
        root.add_state(1, &mid);
        mid.add_state(1, &leaf);
        root.set_root(&root);
    }

    static velko::EqData int_value(int v) {
        velko::EqData d;
        d.set(v);
        return d;
    }

    FSMrootstate root;
    FSMsuperstate mid;
    FSMstate leaf;
};

TEST_F(Chain, HandlesCarryTheLevelOfTheNearestStateThatHasTheName) {
    velko::EqData v = int_value(1);
    root.add_data("r0", &v, nullptr);
    root.add_data("shared", &v, nullptr);
    mid.add_data("m0", &v, nullptr);
    mid.add_data("m1", &v, nullptr);
    leaf.add_data("shared", &v, nullptr);

    int own = leaf.data_open("shared", 0);
    EXPECT_EQ(own, 0);

    int in_parent = leaf.data_open("m1", 0);
    EXPECT_EQ(handle_level(in_parent), 1);
    EXPECT_EQ(handle_index(in_parent), 1);

    int in_root = leaf.data_open("r0", 0);
    EXPECT_EQ(in_root, (2 << kLevelShift) | 0);

    // A superstate finds the root's channel one level up.
    EXPECT_EQ(mid.data_open("shared", 0), (1 << kLevelShift) | 1);

    EXPECT_EQ(leaf.data_open("missing", 0), -1);
    // A basic state serves no network requests and does not even search its own channels.
    EXPECT_EQ(leaf.data_open("shared", 1), -1);
    EXPECT_EQ(leaf.data_open(nullptr, 0), -1);
}

TEST_F(Chain, AHandleMeansItsChannelOnlyOnTheStateThatOpenedIt) {
    velko::EqData v;
    root.add_data("r0", &v, nullptr);
    v.set(10);
    mid.add_data("m0", &v, nullptr);
    v.set(20);
    mid.add_data("m1", &v, nullptr);

    int h = leaf.data_open("m1", 0);
    int got = 0;
    ASSERT_EQ(leaf.data_get(h, &got, 0), 0);
    EXPECT_EQ(got, 20);
    // On the parent, level 1 lands on the root, which has only index 0.
    EXPECT_EQ(mid.data_get(h, &got, 0), -1);

    int h0 = leaf.data_open("m0", 0);
    root.data[0]->eq_data.set(99);
    ASSERT_EQ(mid.data_get(h0, &got, 0), 0);
    EXPECT_EQ(got, 99);
}

TEST_F(Chain, HandlesThatNameNoChannelFail) {
    leaf.add_data("a", nullptr, nullptr);
    leaf.add_data("b", nullptr, nullptr);
    int got = 7;
    EXPECT_EQ(leaf.data_get(2, &got, 0), -1);  // index equals the channel count
    EXPECT_EQ(got, 7);
    EXPECT_EQ(leaf.data_set(2, 1, 0), -1);
    EXPECT_EQ(leaf.data_lock(2, 0), -1);
    EXPECT_EQ(leaf.data_unlock(2, 0), -1);
    velko::EqData dt;
    EXPECT_EQ(leaf.data_get(2, dt), -1);
    EXPECT_EQ(leaf.data_set(2, dt), -1);
    // A state without a parent cannot climb.
    FSMstate lone("lone", nullptr, STATE);
    EXPECT_EQ(lone.data_get(1 << kLevelShift, &got, 0), -1);
}

TEST_F(Chain, ALevelBeyondTheRootStopsAtTheRoot) {
    velko::EqData v = int_value(5);
    root.add_data("r0", &v, nullptr);
    int got = 0;
    ASSERT_EQ(leaf.data_get(7 << kLevelShift, &got, 0), 0);
    EXPECT_EQ(got, 5);
}

TEST_F(Chain, AddingAnExistingNameUpdatesOnlyTheValue) {
    velko::EqData v = int_value(1);
    leaf.add_data("x", &v, nullptr);
    v.set(2);
    leaf.add_data("x", &v, "FAC/DEV/LOC/PROP");
    ASSERT_EQ(leaf.data.size(), 1u);
    EXPECT_EQ(leaf.data[0]->eq_data.get_int(), 2);
    EXPECT_EQ(leaf.data[0]->eq_name, "");
    leaf.add_data("x", nullptr, nullptr);
    EXPECT_EQ(leaf.data[0]->eq_data.get_int(), 2);

    leaf.add_data("y", nullptr, "FAC/DEV/LOC/Y");
    EXPECT_EQ(leaf.data[1]->eq_name, "FAC/DEV/LOC/Y");
    EXPECT_EQ(leaf.data[1]->eq_data.type(), DATA_NULL);
    leaf.add_data("z", nullptr, "");
    EXPECT_EQ(leaf.data[2]->eq_name, "");
}

TEST_F(Chain, SetAddressSearchesTheStateThenTheParentThenTheRoot) {
    leaf.add_data("own", nullptr, nullptr);
    mid.add_data("p", nullptr, nullptr);
    root.add_data("p", nullptr, nullptr);
    root.add_data("r", nullptr, nullptr);

    leaf.set_address("own", "A/B/C/OWN");
    EXPECT_EQ(leaf.data[0]->eq_name, "A/B/C/OWN");
    leaf.set_address("p", "A/B/C/P");
    EXPECT_EQ(mid.data[0]->eq_name, "A/B/C/P");
    EXPECT_EQ(root.data[0]->eq_name, "");
    leaf.set_address("r", "A/B/C/R");
    EXPECT_EQ(root.data[1]->eq_name, "A/B/C/R");
    leaf.set_address("nowhere", "A/B/C/N");  // nothing to report
    EXPECT_EQ(leaf.data.size(), 1u);
}

TEST_F(Chain, SetAddressDoesNotSearchStatesBetweenParentAndRoot) {
    FSMstate deep("D", "", STATE);
    FSMsuperstate inner(nullptr, "I", "", SUPER_STATE);
    mid.add_state(2, &inner);
    inner.add_state(1, &deep);
    deep.set_root(&root);
    mid.add_data("m", nullptr, nullptr);
    deep.set_address("m", "A/B/C/M");
    EXPECT_EQ(mid.data[0]->eq_name, "");
}

TEST_F(Chain, TypedFormsReadAndWriteTheChannelValue) {
    leaf.add_data("v", nullptr, nullptr);
    int h = leaf.data_open("v", 0);

    ASSERT_EQ(leaf.data_set(h, 42, 0), 0);
    int i = 0;
    ASSERT_EQ(leaf.data_get(h, &i, 0), 0);
    EXPECT_EQ(i, 42);

    ASSERT_EQ(leaf.data_set(h, 2.5f, 0), 0);
    float f = 0;
    ASSERT_EQ(leaf.data_get(h, &f, 0), 0);
    EXPECT_FLOAT_EQ(f, 2.5f);

    char text[] = "hello world";
    ASSERT_EQ(leaf.data_set(h, text, 0), 0);
    EXPECT_EQ(leaf.data[0]->eq_data.type(), DATA_STRING);
    char* s = nullptr;
    ASSERT_EQ(leaf.data_get(h, &s, 0), 0);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "hello world");
    delete[] s;

    IIII ii{1, 2, 3, 4};
    ASSERT_EQ(leaf.data_set(h, &ii, 0), 0);
    IIII iout{};
    ASSERT_EQ(leaf.data_get(h, &iout, 0), 0);
    EXPECT_EQ(iout.i1_data, 1);
    EXPECT_EQ(iout.i4_data, 4);

    IFFF ff{7, 1.5f, 2.5f, 3.5f};
    ASSERT_EQ(leaf.data_set(h, &ff, 0), 0);
    IFFF fout{};
    ASSERT_EQ(leaf.data_get(h, &fout, 0), 0);
    EXPECT_EQ(fout.i1_data, 7);
    EXPECT_FLOAT_EQ(fout.f3_data, 3.5f);

    TDS td{1000, 4.5f, 3};
    ASSERT_EQ(leaf.data_set(h, &td, 0), 0);
    ASSERT_NE(leaf.data[0]->eq_data.get_tds(0), nullptr);
    EXPECT_FLOAT_EQ(leaf.data[0]->eq_data.get_tds(0)->data, 4.5f);
}

TEST_F(Chain, NullInputsWriteNothingAndNullOutputsFail) {
    leaf.add_data("v", nullptr, nullptr);
    int h = leaf.data_open("v", 0);
    IIII ii{1, 2, 3, 4};
    ASSERT_EQ(leaf.data_set(h, &ii, 0), 0);

    EXPECT_EQ(leaf.data_set(h, static_cast<IIII*>(nullptr), 0), 0);
    EXPECT_EQ(leaf.data_set(h, static_cast<IFFF*>(nullptr), 0), 0);
    EXPECT_EQ(leaf.data_set(h, static_cast<TDS*>(nullptr), 0), 0);
    EXPECT_EQ(leaf.data_set(h, static_cast<char*>(nullptr), 0), 0);
    EXPECT_EQ(leaf.data[0]->eq_data.type(), DATA_IIII);
    EXPECT_EQ(leaf.data[0]->eq_data.get_iiii().i3_data, 3);

    EXPECT_EQ(leaf.data_get(h, static_cast<int*>(nullptr), 0), -1);
    EXPECT_EQ(leaf.data_get(h, static_cast<char**>(nullptr), 0), -1);
}

TEST_F(Chain, TextReadAlwaysAllocatesANewCutCopy) {
    leaf.add_data("v", nullptr, nullptr);
    int h = leaf.data_open("v", 0);
    std::string longtext(300, 'x');
    ASSERT_EQ(leaf.data_set(h, longtext.data(), 0), 0);
    char caller[8] = "keep";
    char* s = caller;
    ASSERT_EQ(leaf.data_get(h, &s, 0), 0);
    ASSERT_NE(s, caller);
    EXPECT_STREQ(caller, "keep");
    EXPECT_EQ(strlen(s), 79u);  // cut to the 80-byte read buffer
    delete[] s;
}

TEST_F(Chain, NetworkHandlesAreForwardedToTheParentExceptByTheGeneralForms) {
    int net = static_cast<int>(0x80000000u | (1u << kLevelShift));
    velko::EqData dt;
    dt.set(3);
    EXPECT_EQ(leaf.data_get(net, dt), -1);
    EXPECT_EQ(leaf.data_set(net, dt), -1);
    EXPECT_EQ(dt.get_int(), 3);
    // Forwarded: the parent (a superstate without a location) has no property to give.
    int i = 5;
    EXPECT_EQ(leaf.data_get(net, &i, 0), -1);
    EXPECT_EQ(i, 5);
    EXPECT_EQ(leaf.data_lock(net, 0), -1);

    FSMstate lone("lone", nullptr, STATE);
    void* p = &i;
    EXPECT_EQ(lone.data_pointer(net, &p, 0), -1);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(lone.data_get(net, &i, 0), -1);
}

TEST_F(Chain, DataPointerGivesNothingForLocalHandles) {
    leaf.add_data("v", nullptr, nullptr);
    int dummy = 0;
    void* p = &dummy;
    EXPECT_EQ(leaf.data_pointer(0, &p, 0), -1);
    EXPECT_EQ(p, nullptr);
}

TEST_F(Chain, GeneralFormsCopyWholeValuesAndReportErrorsCarried) {
    leaf.add_data("v", nullptr, nullptr);
    int h = leaf.data_open("v", 0);
    velko::EqData in;
    IFFF ff{1, 2.0f, 3.0f, 4.0f};
    in.set(ff);
    ASSERT_EQ(leaf.data_set(h, in), 0);
    velko::EqData out;
    ASSERT_EQ(leaf.data_get(h, out), 0);
    EXPECT_EQ(out.type(), DATA_IFFF);
    EXPECT_FLOAT_EQ(out.get_ifff().f2_data, 3.0f);
    EXPECT_STREQ(leaf.get_error(), "");

    velko::EqData bad;
    bad.error(velko::ERR_TIMEOUT, "The equipment did not answer.");
    leaf.add_data("bad", &bad, nullptr);
    ASSERT_EQ(leaf.data_get(leaf.data_open("bad", 0), out), 0);
    EXPECT_EQ(out.error(), velko::ERR_TIMEOUT);
    EXPECT_STREQ(leaf.get_error(), "The equipment did not answer.");
}

TEST_F(Chain, DataLockHoldsTheChannelMutexUntilUnlocked) {
    mid.add_data("shared", nullptr, nullptr);
    int h = leaf.data_open("shared", 0);
    pthread_mutex_t* m = &mid.data[0]->mux;
    ASSERT_EQ(leaf.data_lock(h, 0), 0);
    EXPECT_EQ(pthread_mutex_trylock(m), EBUSY);
    ASSERT_EQ(leaf.data_unlock(h, 0), 0);
    ASSERT_EQ(pthread_mutex_trylock(m), 0);
    pthread_mutex_unlock(m);
    // A superstate locks its own channels for local handles.
    ASSERT_EQ(mid.data_lock(0, 0), 0);
    EXPECT_EQ(pthread_mutex_trylock(m), EBUSY);
    ASSERT_EQ(mid.data_unlock(0, 0), 0);
}

// Without the server hooks no remote-call client exists: a refresh of an addressed channel fails
// with a clear error on the state and in the channel, instead of crashing.
TEST_F(Chain, RefreshWithoutAClientRecordsAClearError) {
    ASSERT_EQ(velko_call, nullptr);
    velko::EqData v;
    v.set(11);
    leaf.add_data("local", &v, nullptr);
    leaf.add_data("remote", nullptr, "FAC/DEV/LOC/PROP");
    leaf.init_state();
    EXPECT_NE(std::string(leaf.get_error()).find("FAC/DEV/LOC/PROP"), std::string::npos) << leaf.get_error();
    EXPECT_EQ(leaf.data[1]->eq_data.error(), velko::ERR_UNREACHABLE);
    EXPECT_EQ(leaf.data[0]->eq_data.get_int(), 11);
    EXPECT_EQ(leaf.data[0]->eq_data.error(), 0);

    // A remote write fails the same way and leaves the channel's value alone.
    velko::EqData w;
    w.set(5);
    EXPECT_EQ(leaf.data_set(1, w), 0);
    EXPECT_EQ(leaf.data[1]->eq_data.get_int(), 0);
}

TEST_F(Chain, RefreshEmptiesTheErrorFirstAndRecordsABadAddress) {
    leaf.add_data("remote", nullptr, "not an address");
    leaf.set_error("old error");
    leaf.init_state();
    std::string err = leaf.get_error();
    EXPECT_NE(err.find("not an address"), std::string::npos) << err;
    EXPECT_EQ(leaf.data[0]->eq_data.error(), velko::ERR_BAD_ADDRESS);

    // Once the channel is local again, an accepted event leaves no error.
    leaf.set_address("remote", "");
    leaf.enter_state();
    FSMevent ev;
    ev.set_event("go", "*");
    leaf.process_event(&ev);
    EXPECT_STREQ(leaf.get_error(), "");
}

// An application thread writes an addressed channel (the general form, bracketed by the channel's
// lock as the rule asks) while the event thread refreshes the state's channels.
TEST_F(Chain, RemoteWritesFromAnotherThreadDuringRefreshes) {
    ASSERT_EQ(velko_call, nullptr);
    leaf.add_data("remote", nullptr, "FAC/DEV/LOC/PROP");
    leaf.add_data("other", nullptr, "FAC/DEV/LOC/OTHER");
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        velko::EqData w;
        w.set(5);
        while (!stop.load()) {
            leaf.data_lock(0, 0);
            leaf.data_set(0, w);
            leaf.data_unlock(0, 0);
        }
    });
    for (int i = 0; i < 2000; i++) {
        leaf.init_state();
    }
    stop = true;
    writer.join();
    // Both refresh and write fail for want of a client, each naming its own address.
    char err[81];
    leaf.copy_error(err, sizeof err);
    EXPECT_NE(std::string(err).find("FAC/DEV/LOC/"), std::string::npos) << err;
    EXPECT_EQ(leaf.data[1]->eq_data.error(), velko::ERR_UNREACHABLE);
}

TEST_F(Chain, CopyErrorCutsToTheBufferAndGivesTheWholeLength) {
    std::string longer(100, 'x');
    leaf.set_error(longer.c_str());
    char buf[11];
    EXPECT_EQ(leaf.copy_error(buf, sizeof buf), 100u);
    EXPECT_STREQ(buf, "xxxxxxxxxx");
    // Without room the length still comes back.
    EXPECT_EQ(leaf.copy_error(buf, 0), 100u);
    EXPECT_EQ(leaf.copy_error(nullptr, 5), 100u);
}

}  // namespace
