// Network handles of superstates: opening data properties of hand-built locations, the read and
// write conversion tables for every property type, text buffers, pointers, locks and addresses.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>
#include <string>
#include <thread>

#include "fsm.h"

namespace {

constexpr unsigned kNet = 0x80000000u;

int net_handle(int level, int index) {
    return static_cast<int>(kNet | (unsigned(level) << 20) | unsigned(index));
}

// Indexes of the properties in the root location's data list.
enum { P_INT, P_FLOAT, P_IIII, P_IFFF, P_HIST, P_USTR, P_STRING, P_COUNT };

// A root location with one property of every type and a basic state in flow 1 of its root.
class Props : public ::testing::Test {
  protected:
    Props()
        : loc(ROOT_STATE),
          pint("PINT an int property", &loc),
          pfloat("PFLOAT", &loc),
          piiii("PIIII", &loc),
          pifff("PIFFF", &loc),
          phist("PHIST", &loc),
          pustr("PUSTR", &loc),
          pstring("PSTRING", &loc),
          addr("ADDR the first address", &loc),
          leaf("L", "", STATE) {
        loc.velko_data = {&pint, &pfloat, &piiii, &pifff, &phist, &pustr, &pstring};
        loc.velko_address = {&addr};
        loc.bind();
        root = loc.state_ptr;
        root->set_name("R");
        root->add_state(1, &leaf);
        root->set_root(root);

        pint.set_value(7);
        pfloat.set_value(-2.7f);
        IIII ii{1, 2, 3, 4};
        piiii.set_value(&ii);
        IFFF ff{5, 1.5f, 2.5f, 3.5f};
        pifff.set_value(&ff);
        set_ustr("some text");
        pstring.set_value("plain");
    }

    void set_ustr(const char* text) {
        USTR u{};
        u.i1_data = 9;
        u.str_data.str_data_len = static_cast<int>(strlen(text)) + 1;
        u.str_data.str_data_val = const_cast<char*>(text);
        pustr.set_value(&u);
    }

    int h(int index) { return net_handle(0, index); }

    EqFSMlocation loc;
    velko::D_value<int> pint;
    velko::D_value<float> pfloat;
    D_iiii piiii;
    D_dig_filter pifff;
    D_hist phist;
    D_ustr pustr;
    D_string pstring;
    D_string addr;
    FSMstate leaf;
    FSMsuperstate* root = nullptr;
};

TEST_F(Props, OpeningGivesNetworkHandlesWithLevelAndIndex) {
    EXPECT_EQ(root->data_open("PIFFF", 0), h(P_IFFF));
    // The basic state's own search fails; its parent searches the properties for it.
    int from_leaf = leaf.data_open("PIFFF", 0);
    EXPECT_EQ(from_leaf, net_handle(1, P_IFFF));
    EXPECT_LT(from_leaf, 0);
    EXPECT_EQ(root->data_open("PIFFF", 1), net_handle(1, P_IFFF));
    EXPECT_EQ(leaf.data_open("NOPE", 0), -1);
    EXPECT_EQ(root->data_open(nullptr, 0), -1);
}

TEST_F(Props, DataChannelsComeBeforePropertiesOfTheSameName) {
    velko::EqData v;
    v.set(1);
    root->add_data("PINT", &v, nullptr);
    EXPECT_EQ(root->data_open("PINT", 0), 0);
    EXPECT_EQ(leaf.data_open("PINT", 0), 1 << 20);
    // A forwarded request searches the properties only.
    EXPECT_EQ(root->data_open("PINT", 1), net_handle(1, P_INT));
}

TEST_F(Props, PropertiesAreFoundByTheFirstWordAddressesByTheWholeText) {
    EXPECT_EQ(root->data_open("PINT", 0), h(P_INT));
    EXPECT_EQ(root->data_open("PINT an int property", 0), -1);
    EXPECT_EQ(root->get_address("ADDR"), nullptr);
    EXPECT_EQ(root->get_address("ADDR the first address"), &addr);
    EXPECT_EQ(root->get_address(nullptr), nullptr);
    // Address properties are not data properties.
    EXPECT_EQ(root->data_open("ADDR", 0), -1);
}

TEST_F(Props, AForwardedHandleIsDecodedOneLevelLower) {
    int hi = leaf.data_open("PINT", 0);
    int got = 0;
    ASSERT_EQ(leaf.data_get(hi, &got, 0), 0);
    EXPECT_EQ(got, 7);
    // The same handle used directly on the root climbs one level too many and stops at the root.
    got = 0;
    ASSERT_EQ(root->data_get(hi, &got, 0), 0);
    EXPECT_EQ(got, 7);
    // A forwarded handle of level 0 cannot come from a child.
    EXPECT_EQ(root->data_get(h(P_INT), &got, 1), -1);
}

TEST_F(Props, BadNetworkHandlesFail) {
    int got = 123;
    EXPECT_EQ(root->data_get(h(P_COUNT), &got, 0), -1);  // index equals the list size
    EXPECT_EQ(got, 123);
    EXPECT_EQ(root->data_set(h(P_COUNT), 1, 0), -1);
    EXPECT_EQ(root->data_lock(h(P_COUNT), 0), -1);
    void* p = &got;
    EXPECT_EQ(root->data_pointer(h(P_COUNT), &p, 0), -1);
    EXPECT_EQ(p, nullptr);
    // A state below a root that is not its own root has nowhere to stop: the chain ends.
    FSMsuperstate lone(nullptr, "S", "", SUPER_STATE);
    EXPECT_EQ(lone.data_get(net_handle(3, 0), &got, 0), -1);
}

TEST_F(Props, ALevelBeyondTheRootResolvesToTheRootsLocation) {
    int got = 0;
    ASSERT_EQ(root->data_get(net_handle(5, P_INT), &got, 0), 0);
    EXPECT_EQ(got, 7);
    ASSERT_EQ(leaf.data_get(net_handle(9, P_INT), &got, 0), 0);
}

TEST_F(Props, ReadAsIntFollowsTheTable) {
    const int expect_rc[P_COUNT] = {0, 0, -1, -1, -1, -1, -1};
    for (int i = 0; i < P_COUNT; ++i) {
        int got = 4242;
        EXPECT_EQ(root->data_get(h(i), &got, 0), expect_rc[i]) << "property " << i;
        if (expect_rc[i] == -1) {
            EXPECT_EQ(got, 4242) << "property " << i;
        }
    }
    int got = 0;
    root->data_get(h(P_INT), &got, 0);
    EXPECT_EQ(got, 7);
    root->data_get(h(P_FLOAT), &got, 0);
    EXPECT_EQ(got, -2);  // truncated toward zero
}

TEST_F(Props, FloatToIntSaturatesAndRefusesNaN) {
    int got = 0;
    pfloat.set_value(1e20f);
    ASSERT_EQ(root->data_get(h(P_FLOAT), &got, 0), 0);
    EXPECT_EQ(got, INT_MAX);
    pfloat.set_value(-1e20f);
    ASSERT_EQ(root->data_get(h(P_FLOAT), &got, 0), 0);
    EXPECT_EQ(got, INT_MIN);
    pfloat.set_value(std::numeric_limits<float>::quiet_NaN());
    got = 5;
    EXPECT_EQ(root->data_get(h(P_FLOAT), &got, 0), -1);
    EXPECT_EQ(got, 5);
}

TEST_F(Props, ReadAsFloatFollowsTheTable) {
    const int expect_rc[P_COUNT] = {0, 0, -1, -1, -1, -1, -1};
    for (int i = 0; i < P_COUNT; ++i) {
        float got = 99.0f;
        EXPECT_EQ(root->data_get(h(i), &got, 0), expect_rc[i]) << "property " << i;
        if (expect_rc[i] == -1) {
            EXPECT_EQ(got, 99.0f) << "property " << i;
        }
    }
    float got = 0;
    root->data_get(h(P_INT), &got, 0);
    EXPECT_FLOAT_EQ(got, 7.0f);
    root->data_get(h(P_FLOAT), &got, 0);
    EXPECT_FLOAT_EQ(got, -2.7f);
}

TEST_F(Props, ReadAsTextIntoANewBufferFollowsTheTable) {
    const char* expect[P_COUNT] = {"7",     "-2.700000", "1 2 3 4", "5 1.500000 2.500000 3.500000",
                                   nullptr, "some text", nullptr};
    for (int i = 0; i < P_COUNT; ++i) {
        char* s = nullptr;
        int rc = root->data_get(h(i), &s, 0);
        if (expect[i] == nullptr) {
            EXPECT_EQ(rc, -1) << "property " << i;
            EXPECT_EQ(s, nullptr) << "property " << i;
        } else {
            EXPECT_EQ(rc, 0) << "property " << i;
            ASSERT_NE(s, nullptr) << "property " << i;
            EXPECT_STREQ(s, expect[i]);
        }
        delete[] s;
    }
}

TEST_F(Props, ReadAsTextIntoTheCallersBuffer) {
    char buf[64];
    memset(buf, '#', sizeof buf);
    char* p = buf;
    ASSERT_EQ(root->data_get(h(P_IIII), &p, 0), 0);
    EXPECT_EQ(p, buf);
    EXPECT_STREQ(buf, "1 2 3 4");
    ASSERT_EQ(root->data_get(h(P_USTR), &p, 0), 0);
    EXPECT_EQ(p, buf);
    EXPECT_STREQ(buf, "some text");
    // A refused type leaves the caller's buffer alone.
    EXPECT_EQ(root->data_get(h(P_HIST), &p, 0), -1);
    EXPECT_STREQ(buf, "some text");
}

// A new buffer for a number holds any later number of that type, so it may be read into again.
TEST_F(Props, ANewNumberBufferTakesTheLongestNumber) {
    char* s = nullptr;
    pfloat.set_value(1.0f);
    ASSERT_EQ(root->data_get(h(P_FLOAT), &s, 0), 0);
    pfloat.set_value(-std::numeric_limits<float>::max());
    char* again = s;
    ASSERT_EQ(root->data_get(h(P_FLOAT), &again, 0), 0);
    EXPECT_EQ(again, s);
    EXPECT_EQ(strlen(s), 47u);
    IFFF big{INT_MIN, -std::numeric_limits<float>::max(), -std::numeric_limits<float>::max(),
             -std::numeric_limits<float>::max()};
    pifff.set_value(&big);
    char* t = nullptr;
    ASSERT_EQ(root->data_get(h(P_IFFF), &t, 0), 0);
    EXPECT_EQ(strlen(t), 11u + 3 * 48);
    delete[] s;
    delete[] t;
}

// A text record whose stored length disagrees with its text is cut, never overrun.
TEST_F(Props, TextRecordLengthsThatLieAreCutSafely) {
    USTR* v = pustr.value();
    v->str_data.str_data_len = 1000;
    char* s = nullptr;
    ASSERT_EQ(root->data_get(h(P_USTR), &s, 0), 0);
    EXPECT_STREQ(s, "some text");
    delete[] s;

    v->str_data.str_data_len = 4;
    s = nullptr;
    ASSERT_EQ(root->data_get(h(P_USTR), &s, 0), 0);
    EXPECT_STREQ(s, "some");
    delete[] s;

    v->str_data.str_data_len = -3;
    s = nullptr;
    ASSERT_EQ(root->data_get(h(P_USTR), &s, 0), 0);
    EXPECT_STREQ(s, "");
    delete[] s;
}

TEST_F(Props, ReadRecordsFollowTheTable) {
    for (int i = 0; i < P_COUNT; ++i) {
        IIII ii{-1, -1, -1, -1};
        EXPECT_EQ(root->data_get(h(i), &ii, 0), i == P_IIII ? 0 : -1) << "property " << i;
        if (i != P_IIII) {
            EXPECT_EQ(ii.i1_data, -1);
        }
        IFFF ff{-1, -1.0f, -1.0f, -1.0f};
        EXPECT_EQ(root->data_get(h(i), &ff, 0), i == P_IFFF ? 0 : -1) << "property " << i;
        if (i != P_IFFF) {
            EXPECT_EQ(ff.i1_data, -1);
        }
    }
    IIII ii{};
    root->data_get(h(P_IIII), &ii, 0);
    EXPECT_EQ(ii.i1_data, 1);
    EXPECT_EQ(ii.i4_data, 4);
    IFFF ff{};
    root->data_get(h(P_IFFF), &ff, 0);
    EXPECT_EQ(ff.i1_data, 5);
    EXPECT_FLOAT_EQ(ff.f3_data, 3.5f);
}

TEST_F(Props, WriteIntFollowsTheTable) {
    const int expect_rc[P_COUNT] = {0, -1, -1, -1, 0, -1, -1};
    time_t before = time(nullptr);
    for (int i = 0; i < P_COUNT; ++i) {
        EXPECT_EQ(root->data_set(h(i), 3, 0), expect_rc[i]) << "property " << i;
    }
    time_t after = time(nullptr);
    EXPECT_EQ(pint.value(), 3);
    EXPECT_FLOAT_EQ(pfloat.value(), -2.7f);
    EXPECT_EQ(piiii.value()->i1_data, 1);
    EXPECT_STREQ(pstring.value(), "plain");
    auto recs = phist.records();
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_FLOAT_EQ(recs[0].data, 3.0f);
    EXPECT_EQ(recs[0].status, 0);
    EXPECT_GE(recs[0].tm, before);
    EXPECT_LE(recs[0].tm, after);
}

TEST_F(Props, WriteFloatFollowsTheTable) {
    const int expect_rc[P_COUNT] = {-1, 0, -1, -1, 0, -1, -1};
    for (int i = 0; i < P_COUNT; ++i) {
        EXPECT_EQ(root->data_set(h(i), 4.25f, 0), expect_rc[i]) << "property " << i;
    }
    EXPECT_EQ(pint.value(), 7);
    EXPECT_FLOAT_EQ(pfloat.value(), 4.25f);
    auto recs = phist.records();
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_FLOAT_EQ(recs[0].data, 4.25f);
}

TEST_F(Props, WriteTextFollowsTheTable) {
    char digit[] = "3";
    const int expect_rc[P_COUNT] = {0, 0, 0, 0, -1, 0, -1};
    for (int i = 0; i < P_COUNT; ++i) {
        EXPECT_EQ(root->data_set(h(i), digit, 0), expect_rc[i]) << "property " << i;
    }
    EXPECT_EQ(pint.value(), 3);
    EXPECT_FLOAT_EQ(pfloat.value(), 3.0f);
    EXPECT_EQ(piiii.value()->i2_data, 2);  // one field: nothing written
    EXPECT_EQ(pifff.value()->i1_data, 5);
    EXPECT_TRUE(phist.records().empty());
    EXPECT_STREQ(pstring.value(), "plain");

    time_t after_write = time(nullptr);
    USTR* u = pustr.value();
    EXPECT_STREQ(u->str_data.str_data_val, "3");
    EXPECT_EQ(u->i1_data, 0);
    EXPECT_EQ(u->f1_data, 0.0f);
    EXPECT_LE(u->tm, after_write);
    EXPECT_GT(u->tm, 0);

    char four[] = " 10 -20 30 40";
    ASSERT_EQ(root->data_set(h(P_IIII), four, 0), 0);
    EXPECT_EQ(piiii.value()->i1_data, 10);
    EXPECT_EQ(piiii.value()->i4_data, 40);
    char three[] = "1 2 3";
    ASSERT_EQ(root->data_set(h(P_IIII), three, 0), 0);
    EXPECT_EQ(piiii.value()->i1_data, 10);

    char filter[] = "2 0.5 1.5 2.5";
    ASSERT_EQ(root->data_set(h(P_IFFF), filter, 0), 0);
    EXPECT_EQ(pifff.value()->i1_data, 2);
    EXPECT_FLOAT_EQ(pifff.value()->f3_data, 2.5f);
    char short_filter[] = "2 0.5 x";
    ASSERT_EQ(root->data_set(h(P_IFFF), short_filter, 0), 0);
    EXPECT_FLOAT_EQ(pifff.value()->f3_data, 2.5f);
}

TEST_F(Props, TextThatIsNoNumberWritesNothingAndSucceeds) {
    char junk[] = "abc";
    EXPECT_EQ(root->data_set(h(P_INT), junk, 0), 0);
    EXPECT_EQ(pint.value(), 7);
    EXPECT_EQ(root->data_set(h(P_FLOAT), junk, 0), 0);
    EXPECT_FLOAT_EQ(pfloat.value(), -2.7f);
    char huge[] = "99999999999999999999";
    EXPECT_EQ(root->data_set(h(P_INT), huge, 0), 0);
    EXPECT_EQ(pint.value(), 7);
    char four_huge[] = "1 2 3 99999999999999999999";
    EXPECT_EQ(root->data_set(h(P_IIII), four_huge, 0), 0);
    EXPECT_EQ(piiii.value()->i4_data, 4);
    // Like scanf, the leading number is taken.
    char lead[] = " 42xyz";
    EXPECT_EQ(root->data_set(h(P_INT), lead, 0), 0);
    EXPECT_EQ(pint.value(), 42);
    // A null text is no write at all, whatever the handle.
    EXPECT_EQ(root->data_set(h(P_COUNT), static_cast<char*>(nullptr), 0), 0);
    EXPECT_EQ(root->data_set(12345, static_cast<char*>(nullptr), 0), 0);
}

TEST_F(Props, WriteRecordsFollowTheTable) {
    IIII ii{11, 12, 13, 14};
    IFFF ff{21, 0.1f, 0.2f, 0.3f};
    TDS td{1234567, 8.5f, 7};
    for (int i = 0; i < P_COUNT; ++i) {
        EXPECT_EQ(root->data_set(h(i), &ii, 0), i == P_IIII ? 0 : -1) << "property " << i;
        EXPECT_EQ(root->data_set(h(i), &ff, 0), i == P_IFFF ? 0 : -1) << "property " << i;
        EXPECT_EQ(root->data_set(h(i), &td, 0), i == P_HIST ? 0 : -1) << "property " << i;
    }
    EXPECT_EQ(piiii.value()->i3_data, 13);
    EXPECT_EQ(pifff.value()->i1_data, 21);
    auto recs = phist.records();
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].tm, 1234567);
    EXPECT_FLOAT_EQ(recs[0].data, 8.5f);
    EXPECT_EQ(recs[0].status, 7);
    EXPECT_EQ(pint.value(), 7);
}

TEST_F(Props, HistoryRecordsAreAppendedThroughAChildsHandle) {
    int hh = leaf.data_open("PHIST", 0);
    ASSERT_LT(hh, 0);
    for (int v = 1; v <= 3; ++v) {
        ASSERT_EQ(leaf.data_set(hh, v, 0), 0);
    }
    TDS td{42, 9.0f, 1};
    ASSERT_EQ(leaf.data_set(hh, &td, 0), 0);
    auto recs = phist.records();
    ASSERT_EQ(recs.size(), 4u);
    EXPECT_FLOAT_EQ(recs[0].data, 1.0f);
    EXPECT_FLOAT_EQ(recs[2].data, 3.0f);
    EXPECT_EQ(recs[3].tm, 42);
    // Histories cannot be read through handles.
    float f = 0;
    EXPECT_EQ(leaf.data_get(hh, &f, 0), -1);
}

TEST_F(Props, LocalHandlesOnASuperstateUseItsChannels) {
    velko::EqData v;
    v.set(8);
    root->add_data("chan", &v, nullptr);
    int hc = root->data_open("chan", 0);
    ASSERT_EQ(hc, 0);
    int got = 0;
    ASSERT_EQ(root->data_get(hc, &got, 0), 0);
    EXPECT_EQ(got, 8);
    char text[] = "12";
    ASSERT_EQ(root->data_set(hc, text, 0), 0);
    EXPECT_EQ(root->data[0]->eq_data.type(), DATA_STRING);
    EXPECT_EQ(pint.value(), 7);
    void* p = &got;
    EXPECT_EQ(root->data_pointer(hc, &p, 0), -1);
    EXPECT_EQ(p, nullptr);
}

TEST_F(Props, DataPointerGivesThePropertyObject) {
    void* p = nullptr;
    ASSERT_EQ(root->data_pointer(h(P_IIII), &p, 0), 0);
    EXPECT_EQ(p, static_cast<D_fct*>(&piiii));
    p = nullptr;
    ASSERT_EQ(leaf.data_pointer(leaf.data_open("PSTRING", 0), &p, 0), 0);
    EXPECT_EQ(p, static_cast<D_fct*>(&pstring));
}

TEST_F(Props, DataLockTakesThePropertysOwnMutex) {
    ASSERT_NE(loc.prop_mux, nullptr);
    int hi = leaf.data_open("PIIII", 0);
    ASSERT_EQ(leaf.data_lock(hi, 0), 0);
    EXPECT_EQ(pthread_mutex_trylock(&loc.prop_mux[P_IIII]), EBUSY);
    ASSERT_EQ(pthread_mutex_trylock(&loc.prop_mux[P_INT]), 0);
    pthread_mutex_unlock(&loc.prop_mux[P_INT]);
    ASSERT_EQ(leaf.data_unlock(hi, 0), 0);
    ASSERT_EQ(pthread_mutex_trylock(&loc.prop_mux[P_IIII]), 0);
    pthread_mutex_unlock(&loc.prop_mux[P_IIII]);
}

TEST_F(Props, PropertiesAddedAfterBindingBeyondTheArrayUseTheLocationMutex) {
    // The array holds one mutex per data and address property present at binding (8 here).
    velko::D_value<int> late1("LATE1", &loc);
    velko::D_value<int> late2("LATE2", &loc);
    loc.velko_data.push_back(&late1);
    loc.velko_data.push_back(&late2);
    int h2 = root->data_open("LATE2", 0);
    ASSERT_EQ(h2, h(P_COUNT + 1));
    ASSERT_EQ(root->data_lock(h2, 0), 0);
    EXPECT_EQ(pthread_mutex_trylock(&loc.prop_amux), EBUSY);
    ASSERT_EQ(root->data_unlock(h2, 0), 0);
    ASSERT_EQ(pthread_mutex_trylock(&loc.prop_amux), 0);
    pthread_mutex_unlock(&loc.prop_amux);
    int h1 = root->data_open("LATE1", 0);
    ASSERT_EQ(root->data_lock(h1, 0), 0);
    ASSERT_EQ(root->data_unlock(h1, 0), 0);
    loc.velko_data.resize(P_COUNT);
}

// Before binding, every property shares the location mutex, and data_lock waits for it.
TEST(UnboundLocation, DataLockWaitsForTheLocationMutex) {
    EqFSMlocation loc(ROOT_STATE);
    velko::D_value<int> p("P", &loc);
    loc.velko_data.push_back(&p);
    FSMsuperstate* root = loc.state_ptr;
    ASSERT_EQ(loc.prop_mux, nullptr);

    ASSERT_EQ(root->data_lock(net_handle(0, 0), 0), 0);
    EXPECT_EQ(pthread_mutex_trylock(&loc.prop_amux), EBUSY);
    std::atomic<bool> started{false};
    std::atomic<bool> released{false};
    std::atomic<bool> seen_released{false};
    std::thread other([&] {
        started = true;
        root->data_lock(net_handle(0, 0), 0);
        seen_released = released.load();
        root->data_unlock(net_handle(0, 0), 0);
    });
    while (!started) {
        std::this_thread::yield();
    }
    // Give the other thread a chance to reach the lock; it must not get it before the release.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    released = true;
    ASSERT_EQ(root->data_unlock(net_handle(0, 0), 0), 0);
    other.join();
    EXPECT_TRUE(seen_released.load());
    loc.velko_data.clear();
}

// An application's own property class that reports the type code of one of the platform's classes.
class Impostor : public D_fct {
  public:
    Impostor(const char* name, EqFct* owner, int code) : D_fct(name, owner), code_(code) {}
    int data_type() const override { return code_; }
    using D_fct::data_type;

  private:
    int code_;
};

TEST_F(Props, PropertiesOfOtherClassesWithAKnownTypeCodeAreRefused) {
    Impostor fake_int("FAKEINT", &loc, DATA_INT);
    Impostor fake_float("FAKEFLOAT", &loc, DATA_FLOAT);
    Impostor fake_iiii("FAKEIIII", &loc, DATA_IIII);
    Impostor fake_hist("FAKEHIST", &loc, DATA_A_TDS);
    // The location's own event property reports text records too, but is no D_ustr.
    loc.velko_data.insert(loc.velko_data.end(), {&fake_int, &fake_float, &fake_iiii, &fake_hist, &loc.event});
    for (const char* name : {"FAKEINT", "FAKEFLOAT", "FAKEIIII", "FAKEHIST", "EVENT"}) {
        int hd = leaf.data_open(name, 0);
        ASSERT_LT(hd, 0) << name;
        int i = 5;
        float f = 5.0f;
        char* s = nullptr;
        IIII ii{1, 1, 1, 1};
        TDS rec{};
        EXPECT_EQ(leaf.data_get(hd, &i, 0), -1) << name;
        EXPECT_EQ(leaf.data_get(hd, &f, 0), -1) << name;
        EXPECT_EQ(leaf.data_get(hd, &s, 0), -1) << name;
        EXPECT_EQ(leaf.data_get(hd, &ii, 0), -1) << name;
        EXPECT_EQ(leaf.data_set(hd, 3, 0), -1) << name;
        EXPECT_EQ(leaf.data_set(hd, 3.0f, 0), -1) << name;
        EXPECT_EQ(leaf.data_set(hd, const_cast<char*>("1 2 3 4"), 0), -1) << name;
        EXPECT_EQ(leaf.data_set(hd, &ii, 0), -1) << name;
        EXPECT_EQ(leaf.data_set(hd, &rec, 0), -1) << name;
        EXPECT_EQ(i, 5);
        EXPECT_EQ(s, nullptr);
        // They can still be pointed to and locked.
        void* p = nullptr;
        EXPECT_EQ(leaf.data_pointer(hd, &p, 0), 0) << name;
        EXPECT_NE(p, nullptr);
    }
    EXPECT_EQ(loc.event.value()->str_data.str_data_len, 0);
}

TEST_F(Props, RecordsReadWhileTheNetworkWritesAreWhole) {
    // A network client writes records through the location (the platform's call path) while a
    // state of the machine reads them through its handles.
    const std::string long_text(200, 'w');
    IIII zeros{};
    piiii.set_value(&zeros);
    int h4 = leaf.data_open("PIIII", 0);
    int hu = leaf.data_open("PUSTR", 0);
    std::atomic<bool> stop{false};
    std::thread client([&] {
        EqAdr adr;
        for (int n = 0; !stop.load(); n++) {
            EqData in;
            EqData out;
            in.set(IIII{n, n, n, n});
            adr.set("F", "L", "D", "PIIII");
            loc.set(&adr, &in, &out);
            in.set(n % 2 == 0 ? "short" : long_text.c_str());
            adr.set("F", "L", "D", "PUSTR");
            loc.set(&adr, &in, &out);
        }
    });
    int torn = 0;
    for (int i = 0; i < 20000; i++) {
        IIII got{};
        ASSERT_EQ(leaf.data_get(h4, &got, 0), 0);
        if (got.i1_data != got.i2_data || got.i1_data != got.i3_data || got.i1_data != got.i4_data) {
            torn++;
        }
        char* s = nullptr;
        ASSERT_EQ(leaf.data_get(hu, &s, 0), 0);
        std::string text = s;
        delete[] s;
        if (text != "some text" && text != "short" && text != long_text) {
            torn++;
        }
    }
    stop = true;
    client.join();
    EXPECT_EQ(torn, 0);
}

// A superstate location placed into the root's flow: its properties come first for the states
// below it, and the root location's properties are one level further up.
class TwoLocations : public Props {
  protected:
    TwoLocations()
        : sloc(SUPER_STATE), s_int("PINT the nearer one", &sloc), s_only("ONLY", &sloc), inner("I", "", STATE) {
        sloc.velko_data = {&s_only, &s_int};
        sloc.bind();
        sup = sloc.state_ptr;
        sup->set_name("S");
        sup->add_state(1, &inner);
        root->add_state(2, sup);
        sup->set_root(root);
        s_int.set_value(70);
        s_only.set_value(1.25f);
    }

    EqFSMlocation sloc;
    velko::D_value<int> s_int;
    velko::D_value<float> s_only;
    FSMstate inner;
    FSMsuperstate* sup = nullptr;
};

TEST_F(TwoLocations, TheNearestLocationWins) {
    int hn = inner.data_open("PINT", 0);
    EXPECT_EQ(hn, net_handle(1, 1));
    int got = 0;
    ASSERT_EQ(inner.data_get(hn, &got, 0), 0);
    EXPECT_EQ(got, 70);

    int hf = inner.data_open("PFLOAT", 0);
    EXPECT_EQ(hf, net_handle(2, P_FLOAT));
    float f = 0;
    ASSERT_EQ(inner.data_get(hf, &f, 0), 0);
    EXPECT_FLOAT_EQ(f, -2.7f);
    ASSERT_EQ(inner.data_set(hf, 6.5f, 0), 0);
    EXPECT_FLOAT_EQ(pfloat.value(), 6.5f);

    // The root location does not see the superstate location's properties.
    EXPECT_EQ(leaf.data_open("ONLY", 0), -1);
}

TEST_F(TwoLocations, DataPointerAgreesWithReadsForForwardedHandles) {
    int hn = inner.data_open("PINT", 0);
    void* p = nullptr;
    ASSERT_EQ(inner.data_pointer(hn, &p, 0), 0);
    EXPECT_EQ(p, static_cast<D_fct*>(&s_int));
    int ho = inner.data_open("ONLY", 0);
    ASSERT_EQ(inner.data_pointer(ho, &p, 0), 0);
    EXPECT_EQ(p, static_cast<D_fct*>(&s_only));
}

TEST_F(TwoLocations, LocksOfForwardedHandlesReachTheRightLocation) {
    int hf = inner.data_open("PFLOAT", 0);
    ASSERT_EQ(inner.data_lock(hf, 0), 0);
    EXPECT_EQ(pthread_mutex_trylock(&loc.prop_mux[P_FLOAT]), EBUSY);
    EXPECT_EQ(pthread_mutex_trylock(&sloc.prop_mux[1]), 0);
    pthread_mutex_unlock(&sloc.prop_mux[1]);
    ASSERT_EQ(inner.data_unlock(hf, 0), 0);
}

}  // namespace

// States wired in ways the library does not build itself must not hang or corrupt memory: a
// parent cycle without a root, and a plain superstate that claims the root's type.
TEST(MiswiredStates, ParentCycleWithoutRootEndsThePropertySearch) {
    FSMsuperstate a(nullptr, "A", nullptr, SUPER_STATE);
    FSMsuperstate b(nullptr, "B", nullptr, SUPER_STATE);
    a.set_parent(&b);
    b.set_parent(&a);
    EXPECT_EQ(a.data_open("MISSING", 0), -1);
    EXPECT_EQ(a.data_open("MISSING", 1), -1);
}

TEST(MiswiredStates, SuperstateWithRootTypeIsNotTakenForARoot) {
    EqFSMlocation loc(SUPER_STATE);
    D_hist hist("HIST", &loc);
    loc.velko_data = {&hist};
    loc.bind();
    auto* fake_root = new FSMsuperstate(nullptr, "Fake", nullptr, ROOT_STATE);
    loc.state_ptr->set_root(fake_root);
    ASSERT_EQ(loc.state_ptr->get_root(), fake_root);
    loc.state_ptr->init_state();
    // Only a real root owns an archive to book the history into.
    EXPECT_EQ(hist.archive_name(), "");
    delete fake_root;
}
