// Tests of velko::EqData: setters and types, conversions, text forms and their bounds, parsing,
// array growth, deep copies of text records and error handling.
#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "eq_data.h"

namespace {

using namespace velko;  // error codes

USTR make_ustr(int i1, float f1, float f2, time_t tm, const char* text) {
    USTR u{};
    u.i1_data = i1;
    u.f1_data = f1;
    u.f2_data = f2;
    u.tm = tm;
    u.str_data.str_data_val = const_cast<char*>(text);
    u.str_data.str_data_len = text != nullptr ? static_cast<int>(std::strlen(text)) : 0;
    return u;
}

bool same_float(float a, float b) {
    if (std::isnan(a) || std::isnan(b)) {
        return std::isnan(a) && std::isnan(b);
    }
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Parses the text form of `d` into a fresh container of the same type.
EqData reparse(const EqData& d) {
    EqData back;
    back.set_type(d.type());
    const std::string text = d.get_string();
    EXPECT_EQ(back.set_from_string(text.c_str()), 0) << "text: " << text << " error: " << back.error_text();
    return back;
}

void expect_same_value(const EqData& a, const EqData& b) {
    ASSERT_EQ(a.type(), b.type());
    ASSERT_EQ(a.length(), b.length());
    EXPECT_EQ(a.get_string(), b.get_string());
    switch (a.type()) {
        case DATA_FLOAT:
            EXPECT_TRUE(same_float(a.get_float(), b.get_float()));
            break;
        case DATA_IFFF: {
            const IFFF x = a.get_ifff();
            const IFFF y = b.get_ifff();
            EXPECT_EQ(x.i1_data, y.i1_data);
            EXPECT_TRUE(same_float(x.f1_data, y.f1_data));
            EXPECT_TRUE(same_float(x.f2_data, y.f2_data));
            EXPECT_TRUE(same_float(x.f3_data, y.f3_data));
            break;
        }
        case DATA_SPECTRUM:
        case DATA_A_FLOAT:
            for (int i = 0; i < a.length(); ++i) {
                EXPECT_TRUE(same_float(a.get_float(i), b.get_float(i))) << "element " << i;
            }
            break;
        case DATA_A_TDS:
            for (int i = 0; i < a.length(); ++i) {
                EXPECT_EQ(a.get_tds(i)->tm, b.get_tds(i)->tm);
                EXPECT_TRUE(same_float(a.get_tds(i)->data, b.get_tds(i)->data));
                EXPECT_EQ(a.get_tds(i)->status, b.get_tds(i)->status);
            }
            break;
        case DATA_USTR:
        case DATA_A_USTR:
            for (int i = 0; i < a.length(); ++i) {
                const USTR* x = a.get_ustr(i);
                const USTR* y = b.get_ustr(i);
                EXPECT_EQ(x->i1_data, y->i1_data);
                EXPECT_TRUE(same_float(x->f1_data, y->f1_data));
                EXPECT_TRUE(same_float(x->f2_data, y->f2_data));
                EXPECT_EQ(x->tm, y->tm);
                EXPECT_EQ(std::string(x->str_data.str_data_val), std::string(y->str_data.str_data_val));
                EXPECT_EQ(x->str_data.str_data_len, y->str_data.str_data_len);
            }
            break;
        default:
            EXPECT_EQ(a.get_int(), b.get_int());
    }
}

TEST(EqDataBasics, FreshAndInitAreEmpty) {
    EqData d;
    EXPECT_EQ(d.type(), DATA_NULL);
    EXPECT_EQ(d.length(), 0);
    EXPECT_EQ(d.error(), 0);
    EXPECT_EQ(d.get_string(), "");
    d.set(5);
    d.error(ERR_TIMEOUT, "late");
    d.init();
    EXPECT_EQ(d.type(), DATA_NULL);
    EXPECT_EQ(d.length(), 0);
    EXPECT_EQ(d.error(), 0);
    EXPECT_EQ(d.error_text(), "");
}

TEST(EqDataBasics, SettersReplaceTypeAndLength) {
    EqData d;
    d.set(7);
    EXPECT_EQ(d.type(), DATA_INT);
    EXPECT_EQ(d.length(), 1);
    d.set(2.5f);
    EXPECT_EQ(d.type(), DATA_FLOAT);
    d.set("abc");
    EXPECT_EQ(d.type(), DATA_STRING);
    EXPECT_EQ(d.get_string(), "abc");
    d.set(static_cast<const char*>(nullptr));
    EXPECT_EQ(d.type(), DATA_STRING);
    EXPECT_EQ(d.get_string(), "");
    d.set_bool(true);
    EXPECT_EQ(d.type(), DATA_BOOL);
    d.set(IIII{1, 2, 3, 4});
    EXPECT_EQ(d.type(), DATA_IIII);
    EXPECT_EQ(d.get_string(), "1 2 3 4");
    d.set(IFFF{1, 0.5f, 2.0f, -3.25f});
    EXPECT_EQ(d.type(), DATA_IFFF);
    EXPECT_EQ(d.get_string(), "1 0.5 2 -3.25");
    d.set(TDS{100, 1.5f, 3});
    EXPECT_EQ(d.type(), DATA_A_TDS);
    EXPECT_EQ(d.length(), 1);
    EXPECT_EQ(d.get_string(), "100 1.5 3");
    // An earlier array does not survive a scalar setter.
    d.set(1);
    EXPECT_EQ(d.get_tds(0), nullptr);
}

TEST(EqDataBasics, SetTypeGivesTheTypesZero) {
    EqData d;
    d.set(IIII{1, 2, 3, 4});
    d.set_type(DATA_IIII);
    EXPECT_EQ(d.get_string(), "0 0 0 0");
    d.set_type(DATA_A_FLOAT);
    EXPECT_EQ(d.length(), 0);
    EXPECT_EQ(d.get_string(), "");
    d.set_type(DATA_USTR);
    ASSERT_EQ(d.length(), 1);
    ASSERT_NE(d.get_ustr(0), nullptr);
    EXPECT_STREQ(d.get_ustr(0)->str_data.str_data_val, "");
    d.set_type(DATA_A_USTR);
    EXPECT_EQ(d.length(), 0);
    d.set_type(DATA_BOOL);
    EXPECT_EQ(d.get_string(), "false");
    d.set_type(999);
    EXPECT_EQ(d.type(), 999);
    EXPECT_EQ(d.length(), 0);
}

TEST(EqDataConversions, IntFromFloatTruncatesTowardZeroAndClamps) {
    EqData d;
    d.set(-2.7f);
    EXPECT_EQ(d.get_int(), -2);
    d.set(2.7f);
    EXPECT_EQ(d.get_int(), 2);
    d.set(1e20f);
    EXPECT_EQ(d.get_int(), INT_MAX);
    d.set(-1e20f);
    EXPECT_EQ(d.get_int(), INT_MIN);
    d.set(std::numeric_limits<float>::quiet_NaN());
    EXPECT_EQ(d.get_int(), 0);
}

TEST(EqDataConversions, FloatFromIntAndBool) {
    EqData d;
    d.set(7);
    EXPECT_EQ(d.get_float(), 7.0f);
    EXPECT_TRUE(d.get_bool());
    d.set(0);
    EXPECT_FALSE(d.get_bool());
    d.set_bool(true);
    EXPECT_EQ(d.get_int(), 1);
    EXPECT_EQ(d.get_float(), 1.0f);
    d.set(0.25f);
    EXPECT_TRUE(d.get_bool());
}

TEST(EqDataConversions, TextGivesANumberWhenItCan) {
    EqData d;
    d.set("  42 ");
    EXPECT_EQ(d.get_int(), 42);
    EXPECT_EQ(d.get_float(), 42.0f);
    d.set("-3.9");
    EXPECT_EQ(d.get_int(), -3);
    EXPECT_FLOAT_EQ(d.get_float(), -3.9f);
    d.set("12 apples");
    EXPECT_EQ(d.get_int(), 0);
    EXPECT_EQ(d.get_float(), 0.0f);
    EXPECT_FALSE(d.get_bool());
    d.set("Yes");
    EXPECT_TRUE(d.get_bool());
    d.set("off");
    EXPECT_FALSE(d.get_bool());
    d.set("2.5");
    EXPECT_TRUE(d.get_bool());
}

TEST(EqDataConversions, RecordsAndArraysGiveTheirFirstMember) {
    EqData d;
    d.set(IIII{9, 8, 7, 6});
    EXPECT_EQ(d.get_int(), 9);
    EXPECT_EQ(d.get_float(), 9.0f);
    d.set(IFFF{4, 1.5f, 2.5f, 3.5f});
    EXPECT_EQ(d.get_int(), 4);
    EXPECT_EQ(d.get_float(), 1.5f);
    const float values[] = {-1.5f, 2.0f, 3.0f};
    d.set_float_array(values, 3);
    EXPECT_EQ(d.get_int(), -1);
    EXPECT_EQ(d.get_float(), -1.5f);
    EXPECT_EQ(d.get_float(2), 3.0f);
    EXPECT_EQ(d.get_float(3), 0.0f);
    EXPECT_EQ(d.get_float(-1), 0.0f);
    d.set(TDS{5, 6.5f, 0});
    EXPECT_EQ(d.get_int(), 6);
    EXPECT_EQ(d.get_float(0), 6.5f);
    d.set(make_ustr(11, 0.5f, 0.75f, 3, "x"), 0);
    EXPECT_EQ(d.get_int(), 11);
    EXPECT_EQ(d.get_float(), 0.5f);
    d.set_type(DATA_A_FLOAT);
    EXPECT_EQ(d.get_int(), 0);
    EXPECT_EQ(d.get_float(), 0.0f);
}

TEST(EqDataConversions, RecordGettersOfOtherTypesGiveZerosOrFailure) {
    EqData d;
    d.set(5);
    const IIII ii = d.get_iiii();
    EXPECT_EQ(ii.i1_data | ii.i2_data | ii.i3_data | ii.i4_data, 0);
    const IFFF ff = d.get_ifff();
    EXPECT_EQ(ff.i1_data, 0);
    EXPECT_EQ(ff.f1_data, 0.0f);
    int i1 = -1;
    EXPECT_EQ(d.get_ifff(&i1, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(i1, -1);
    EXPECT_EQ(d.get_float_array(), nullptr);
    EXPECT_EQ(d.get_tds(0), nullptr);
    EXPECT_EQ(d.get_ustr(0), nullptr);
    d.set(IFFF{3, 1.0f, 2.0f, 4.0f});
    float f1 = 0;
    float f3 = 0;
    EXPECT_EQ(d.get_ifff(&i1, &f1, nullptr, &f3), 0);
    EXPECT_EQ(i1, 3);
    EXPECT_EQ(f1, 1.0f);
    EXPECT_EQ(f3, 4.0f);
}

TEST(EqDataText, GetStringNeverWritesPastSize) {
    EqData d;
    d.set("hello world");
    char buf[32];
    std::memset(buf, '#', sizeof buf);
    d.get_string(buf, 0);
    EXPECT_EQ(buf[0], '#');
    d.get_string(buf, 1);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(buf[1], '#');
    std::memset(buf, '#', sizeof buf);
    d.get_string(buf, 6);
    EXPECT_STREQ(buf, "hello");
    EXPECT_EQ(buf[6], '#');
    std::memset(buf, '#', sizeof buf);
    d.get_string(buf, 11);  // one short of the text and its NUL
    EXPECT_STREQ(buf, "hello worl");
    EXPECT_EQ(buf[11], '#');
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(d.get_string(buf, 12), buf);  // exactly the text and its NUL
    EXPECT_STREQ(buf, "hello world");
    EXPECT_EQ(buf[12], '#');
    EXPECT_EQ(d.get_string(nullptr, 10), nullptr);
}

TEST(EqDataText, GetStringCutsEveryTypeSafely) {
    EqData d;
    const float values[] = {1.5f, 2.5f, 3.5f, 4.5f, 5.5f};
    d.set_float_array(values, 5);
    char buf[9];
    std::memset(buf, '#', sizeof buf);
    d.get_string(buf, 8);
    EXPECT_STREQ(buf, "1.5 2.5");
    EXPECT_EQ(buf[8], '#');
    d.set(make_ustr(1, 2.0f, 3.0f, 4, "a long text"), 0);
    std::memset(buf, '#', sizeof buf);
    d.get_string(buf, 4);
    EXPECT_STREQ(buf, "1 2");
    EXPECT_EQ(buf[4], '#');
}

TEST(EqDataErrors, ErrorTextTakesPrecedenceOverTheValue) {
    EqData d;
    d.set(42);
    d.error(ERR_UNKNOWN_PROPERTY, "The property X of A/B/C is unknown.");
    EXPECT_EQ(d.get_string(), "The property X of A/B/C is unknown.");
    char buf[13];
    EXPECT_STREQ(d.get_string(buf, sizeof buf), "The property");
    // A setter replaces the value but keeps the error.
    d.set(43);
    EXPECT_EQ(d.error(), ERR_UNKNOWN_PROPERTY);
    EXPECT_EQ(d.get_string(), "The property X of A/B/C is unknown.");
    EXPECT_EQ(d.get_int(), 43);
    // Without a text of its own the code's default text is shown.
    d.error(ERR_MONITOR_PENDING, "");
    EXPECT_EQ(d.get_string(), "The monitor is not yet established.");
    d.error(4242, "");
    EXPECT_EQ(d.get_string(), "Error 4242.");
    // Code 0 holds no error, so the value shows whatever text was left.
    d.error(0, "stale");
    EXPECT_EQ(d.get_string(), "43");
}

TEST(EqDataErrors, CopyFromCopiesValueAndError) {
    EqData src;
    src.set(IIII{1, 2, 3, 4});
    src.error(ERR_TIMEOUT, "The call to A/B/C/D timed out.");
    EqData dst;
    dst.set(9.5f);
    dst.copy_from(&src);
    EXPECT_EQ(dst.type(), DATA_IIII);
    EXPECT_EQ(dst.get_iiii().i4_data, 4);
    EXPECT_EQ(dst.error(), ERR_TIMEOUT);
    EXPECT_EQ(dst.error_text(), "The call to A/B/C/D timed out.");
    // A clean source clears the copy's error too.
    EqData clean;
    clean.set(1);
    dst.copy_from(&clean);
    EXPECT_EQ(dst.error(), 0);
    EXPECT_EQ(dst.get_string(), "1");
    dst.copy_from(nullptr);
    dst.copy_from(&dst);
    EXPECT_EQ(dst.get_string(), "1");
}

TEST(EqDataArrays, FloatArrayGrowsByIndex) {
    EqData d;
    d.set(2.5f, 3);
    EXPECT_EQ(d.type(), DATA_A_FLOAT);
    ASSERT_EQ(d.length(), 4);
    EXPECT_EQ(d.get_string(), "0 0 0 2.5");
    d.set(1.0f, 1);
    EXPECT_EQ(d.length(), 4);
    EXPECT_EQ(d.get_float(1), 1.0f);
    const float spectrum[] = {1.0f, 2.0f};
    d.set_float_array(spectrum, 2, DATA_SPECTRUM);
    d.set(9.0f, 2);
    EXPECT_EQ(d.type(), DATA_SPECTRUM);
    EXPECT_EQ(d.get_string(), "1 2 9");
    // Growing from another type starts a fresh array.
    d.set(5);
    d.set(4.0f, 1);
    EXPECT_EQ(d.type(), DATA_A_FLOAT);
    EXPECT_EQ(d.get_string(), "0 4");
}

TEST(EqDataArrays, HistoryAndTextRecordArraysGrowByIndex) {
    EqData d;
    d.set(TDS{10, 1.0f, 1}, 2);
    EXPECT_EQ(d.type(), DATA_A_TDS);
    ASSERT_EQ(d.length(), 3);
    EXPECT_EQ(d.get_tds(0)->tm, 0);
    EXPECT_EQ(d.get_tds(2)->status, 1);
    EXPECT_EQ(d.get_tds(3), nullptr);
    d.set(make_ustr(7, 0, 0, 0, "third"), 2);
    EXPECT_EQ(d.type(), DATA_A_USTR);
    ASSERT_EQ(d.length(), 3);
    ASSERT_NE(d.get_ustr(0), nullptr);
    EXPECT_STREQ(d.get_ustr(0)->str_data.str_data_val, "");
    EXPECT_STREQ(d.get_ustr(2)->str_data.str_data_val, "third");
    EXPECT_EQ(d.get_ustr(3), nullptr);
    EXPECT_EQ(d.get_ustr(-1), nullptr);
}

TEST(EqDataArrays, BadIndexIsRefusedWithoutChange) {
    EqData d;
    d.set(1.0f, 0);
    d.set(2.0f, -1);
    EXPECT_EQ(d.error(), ERR_INDEX);
    EXPECT_NE(d.error_text().find("-1"), std::string::npos);
    d.init();
    d.set(1.0f, 0);
    d.set(2.0f, velko::kMaxElements);
    d.set(TDS{1, 1, 1}, velko::kMaxElements);
    d.set(make_ustr(1, 1, 1, 1, "x"), INT_MAX);
    EXPECT_EQ(d.error(), ERR_INDEX);
    EXPECT_EQ(d.type(), DATA_A_FLOAT);
    EXPECT_EQ(d.length(), 1);
    d.set_float_array(nullptr, 4);  // nothing to read: unchanged
    EXPECT_EQ(d.length(), 1);
    d.set_float_array(nullptr, 0, DATA_SPECTRUM);
    EXPECT_EQ(d.type(), DATA_SPECTRUM);
    EXPECT_EQ(d.length(), 0);
}

TEST(EqDataArrays, SettersMayReadFromTheContainerItself) {
    EqData d;
    const float values[] = {1.0f, 2.0f, 3.0f};
    d.set_float_array(values, 3);
    d.set_float_array(d.get_float_array() + 1, 2);
    EXPECT_EQ(d.get_string(), "2 3");
    d.set(make_ustr(1, 0, 0, 0, "first"), 0);
    for (int i = 1; i < 40; ++i) {  // the source element lives in the array that grows
        d.set(*d.get_ustr(0), i);
    }
    EXPECT_STREQ(d.get_ustr(39)->str_data.str_data_val, "first");
    d.set(d.get_ustr(5)->str_data.str_data_val);
    EXPECT_EQ(d.get_string(), "first");
}

TEST(EqDataUstr, CopiesAreDeep) {
    char text[] = "original";
    auto src = std::make_unique<EqData>();
    src->set(make_ustr(1, 2.0f, 3.0f, 4, text), 0);
    src->set(make_ustr(5, 6.0f, 7.0f, 8, "second"), 1);
    std::strcpy(text, "changed!");  // the container keeps its own copy
    EXPECT_STREQ(src->get_ustr(0)->str_data.str_data_val, "original");

    EqData copy(*src);
    EqData assigned;
    assigned = *src;
    EqData copied;
    copied.copy_from(src.get());
    const char* src_text = src->get_ustr(0)->str_data.str_data_val;
    src.reset();
    for (const EqData* d : {&copy, &assigned, &copied}) {
        ASSERT_EQ(d->length(), 2);
        EXPECT_NE(d->get_ustr(0)->str_data.str_data_val, src_text);
        EXPECT_STREQ(d->get_ustr(0)->str_data.str_data_val, "original");
        EXPECT_EQ(d->get_ustr(0)->str_data.str_data_len, 8);
        EXPECT_STREQ(d->get_ustr(1)->str_data.str_data_val, "second");
        int i1 = 0;
        float f1 = 0;
        float f2 = 0;
        long tm = 0;
        char* t = nullptr;
        ASSERT_EQ(d->get_ustr(&i1, &f1, &f2, &tm, &t, 1), 0);
        EXPECT_EQ(i1, 5);
        EXPECT_EQ(f2, 7.0f);
        EXPECT_EQ(tm, 8);
        EXPECT_STREQ(t, "second");
        EXPECT_EQ(d->get_ustr(&i1, nullptr, nullptr, nullptr, nullptr, 2), -1);
    }
}

TEST(EqDataUstr, TextLengthIsACountNeverReadPast) {
    EqData d;
    char buf[] = {'a', 'b', 'c', 'd'};  // not terminated
    USTR u = make_ustr(0, 0, 0, 0, nullptr);
    u.str_data.str_data_val = buf;
    u.str_data.str_data_len = 3;
    d.set(u, 0);
    EXPECT_STREQ(d.get_ustr(0)->str_data.str_data_val, "abc");
    EXPECT_EQ(d.get_ustr(0)->str_data.str_data_len, 3);
    u = make_ustr(0, 0, 0, 0, "with nul");
    u.str_data.str_data_len = 9;  // counting the NUL, as some writers do
    d.set(u, 0);
    EXPECT_STREQ(d.get_ustr(0)->str_data.str_data_val, "with nul");
    EXPECT_EQ(d.get_ustr(0)->str_data.str_data_len, 9);
    EXPECT_EQ(d.get_ustr(0)->str_data.str_data_val[8], '\0');  // the counted NUL is there to read
    u.str_data.str_data_len = 40;                              // beyond the text: the text's own length
    d.set(u, 0);
    EXPECT_EQ(d.get_ustr(0)->str_data.str_data_len, 8);
    u.str_data.str_data_len = 0;
    d.set(u, 0);
    EXPECT_STREQ(d.get_ustr(0)->str_data.str_data_val, "");
    u.str_data.str_data_val = nullptr;
    u.str_data.str_data_len = 5;
    d.set(u, 0);
    EXPECT_STREQ(d.get_ustr(0)->str_data.str_data_val, "");
}

TEST(EqDataUstr, KeptLengthSurvivesGrowthAndCopies) {
    EqData d;
    USTR u = make_ustr(1, 0, 0, 0, "Idle");
    u.str_data.str_data_len = 5;  // the state-machine properties count the NUL
    d.set(u, 0);
    for (int i = 1; i <= 64; ++i) {  // the array reallocates several times
        d.set(make_ustr(i, 0, 0, 0, "x"), i);
    }
    const EqData copy(d);
    EqData assigned;
    assigned = d;
    const EqData* all[] = {&d, &copy, &assigned};
    for (const EqData* e : all) {
        const USTR* first = e->get_ustr(0);
        ASSERT_NE(first, nullptr);
        EXPECT_EQ(first->str_data.str_data_len, 5);
        EXPECT_STREQ(first->str_data.str_data_val, "Idle");
        EXPECT_EQ(e->get_ustr(64)->str_data.str_data_len, 1);
    }
    // Setting an element from one of the container's own records keeps its length as well.
    d.set(*d.get_ustr(0), 3);
    EXPECT_EQ(d.get_ustr(3)->str_data.str_data_len, 5);
    EXPECT_STREQ(d.get_ustr(3)->str_data.str_data_val, "Idle");
}

TEST(EqDataUstr, SingleRecordTypeStaysSingleAtIndexZero) {
    EqData d;
    d.set_type(DATA_USTR);
    d.set(make_ustr(1, 0, 0, 0, "one"), 0);
    EXPECT_EQ(d.type(), DATA_USTR);
    EXPECT_EQ(d.length(), 1);
    d.set(make_ustr(2, 0, 0, 0, "two"), 1);
    EXPECT_EQ(d.type(), DATA_A_USTR);
    EXPECT_EQ(d.length(), 2);
    EXPECT_STREQ(d.get_ustr(0)->str_data.str_data_val, "one");
}

TEST(EqDataParse, ScalarsAcceptTheirForms) {
    EqData d;
    d.set_type(DATA_INT);
    for (const char* t : {"+5", " 5\n", "5.0", "5e0", "0.5e1"}) {
        ASSERT_EQ(d.set_from_string(t), 0) << t;
        EXPECT_EQ(d.get_int(), 5) << t;
    }
    EXPECT_EQ(d.set_from_string("-2147483648"), 0);
    EXPECT_EQ(d.get_int(), INT_MIN);
    d.set_type(DATA_FLOAT);
    EXPECT_EQ(d.set_from_string(" 3 "), 0);
    EXPECT_EQ(d.get_float(), 3.0f);
    EXPECT_EQ(d.set_from_string("1e-50"), 0);  // below the smallest float: zero, not an error
    EXPECT_EQ(d.get_float(), 0.0f);
    EXPECT_EQ(d.set_from_string("-1e-400"), 0);  // below even the smallest double
    EXPECT_EQ(d.get_float(), 0.0f);
    EXPECT_TRUE(std::signbit(d.get_float()));
    EXPECT_EQ(d.set_from_string("0.000000000000000000000000000000000000000000000000000000000001e-300"), 0);
    EXPECT_EQ(d.get_float(), 0.0f);
    EXPECT_EQ(d.set_from_string("-inf"), 0);
    EXPECT_TRUE(std::isinf(d.get_float()));
    d.set_type(DATA_BOOL);
    for (const char* t : {"true", "TRUE", "yes", "on", "1"}) {
        ASSERT_EQ(d.set_from_string(t), 0) << t;
        EXPECT_TRUE(d.get_bool()) << t;
    }
    EXPECT_EQ(d.set_from_string(" False "), 0);
    EXPECT_FALSE(d.get_bool());
    d.set_type(DATA_STRING);
    EXPECT_EQ(d.set_from_string("  keeps  blanks\t"), 0);
    EXPECT_EQ(d.get_string(), "  keeps  blanks\t");
    d.set_type(DATA_NULL);
    EXPECT_EQ(d.set_from_string("   "), 0);
    EXPECT_EQ(d.type(), DATA_NULL);
}

struct BadText {
    int type;
    const char* text;
    const char* why;  // a piece of the expected error text
};

TEST(EqDataParse, FailuresLeaveTheValueUnchanged) {
    const BadText cases[] = {
        // clang-format off
        {DATA_INT,      "3.5",                  "not an integer"},
        {DATA_INT,      "2147483648",           "not an integer"},
        {DATA_INT,      "",                     "not an integer"},
        {DATA_INT,      "0x10",                 "not an integer"},
        {DATA_FLOAT,    "abc",                  "not a float"},
        {DATA_FLOAT,    "1e50",                 "outside the float range"},
        {DATA_FLOAT,    "-1e400",               "outside the float range"},
        {DATA_FLOAT,    "0.01e99999999999999999999", "outside the float range"},
        {DATA_FLOAT,    "1000e-310e1",          "not a float"},
        {DATA_FLOAT,    "1.5 2",                "not a float"},
        {DATA_BOOL,     "maybe",                "not a boolean"},
        {DATA_IIII,     "1 2 3",                "four integers"},
        {DATA_IIII,     "1 2 3 4 5",            "four integers"},
        {DATA_IIII,     "1 2 3 x",              "four integers"},
        {DATA_IFFF,     "1.5 2 3 4",            "three floats"},
        {DATA_A_FLOAT,  "1 2 x 4",              "Element 2"},
        {DATA_SPECTRUM, "1 nan? 3",             "Element 1"},
        {DATA_A_TDS,    "1 2",                  "history records"},
        {DATA_A_TDS,    "1 2 256",              "History record 0"},
        {DATA_A_TDS,    "1 2 0 1.5 2 0",        "History record 1"},
        {DATA_USTR,     "1 2 3 4 \"open",       "no closing quote"},
        {DATA_USTR,     "1 2 3 4 \"a\" 1 2 3 4 \"b\"", "one is expected"},
        {DATA_A_USTR,   "1 2 3 4 \"a\" junk",   "Text record 2"},
        {DATA_A_USTR,   "1 2 3 4 \"a\"b",       "followed by other characters"},
        {DATA_A_USTR,   "1 2 3 4 \"\\q\"",      "unknown escape"},
        {DATA_A_USTR,   "1 2 3 4 \"\\x0\"",     "two hex digits"},
        {DATA_A_USTR,   "1 2 3 4 \"\\x00\"",    "two hex digits"},
        {DATA_NULL,     "5",                    "without a type"},
        {777,           "5",                    "Type code 777"},
        // clang-format on
    };
    for (const BadText& c : cases) {
        EqData d;
        d.set_type(c.type);
        const std::string before = d.get_string();
        const int length = d.length();
        EXPECT_EQ(d.set_from_string(c.text), -1) << c.text;
        EXPECT_EQ(d.error(), ERR_PARSE) << c.text;
        EXPECT_NE(d.error_text().find(c.why), std::string::npos) << c.text << " -> " << d.error_text();
        EXPECT_EQ(d.type(), c.type);
        EXPECT_EQ(d.length(), length);
        d.error(0, "");
        EXPECT_EQ(d.get_string(), before) << c.text;
    }
}

TEST(EqDataParse, FailureKeepsAnEarlierValueAndSuccessClearsOnlyParseErrors) {
    EqData d;
    d.set(IIII{1, 2, 3, 4});
    EXPECT_EQ(d.set_from_string("9 9 9"), -1);
    EXPECT_NE(d.error_text().find("\"9 9 9\""), std::string::npos);
    EXPECT_EQ(d.get_iiii().i3_data, 3);
    EXPECT_EQ(d.set_from_string("5 6 7 8"), 0);
    EXPECT_EQ(d.error(), 0);
    EXPECT_EQ(d.get_string(), "5 6 7 8");
    d.error(ERR_UNREACHABLE, "The server of A/B is unreachable.");
    EXPECT_EQ(d.set_from_string("1 1 1 1"), 0);
    EXPECT_EQ(d.error(), ERR_UNREACHABLE);
    EXPECT_EQ(d.set_from_string(nullptr), -1);
    EXPECT_EQ(d.error(), ERR_PARSE);
    EXPECT_EQ(d.get_iiii().i1_data, 1);
}

TEST(EqDataParse, LongBadTextIsCutInTheMessage) {
    EqData d;
    d.set_type(DATA_INT);
    const std::string text(5000, 'z');
    EXPECT_EQ(d.set_from_string(text.c_str()), -1);
    EXPECT_LT(d.error_text().size(), 200u);
    EXPECT_NE(d.error_text().find("..."), std::string::npos);
}

TEST(EqDataParse, TextRecordsPlainAndRecordForms) {
    EqData d;
    d.set_type(DATA_USTR);
    ASSERT_EQ(d.set_from_string("just some words"), 0);
    EXPECT_EQ(d.type(), DATA_USTR);
    const USTR* u = d.get_ustr(0);
    EXPECT_EQ(u->i1_data, 0);
    EXPECT_EQ(u->tm, 0);
    EXPECT_STREQ(u->str_data.str_data_val, "just some words");
    // Numbers not followed by a quoted text are plain text as well.
    ASSERT_EQ(d.set_from_string("12 1.5 2 3 words"), 0);
    EXPECT_STREQ(d.get_ustr(0)->str_data.str_data_val, "12 1.5 2 3 words");
    ASSERT_EQ(d.set_from_string(" -3 1.5 -2 1700000000 \"a \\\"b\\\" \\\\ c\" "), 0);
    u = d.get_ustr(0);
    EXPECT_EQ(u->i1_data, -3);
    EXPECT_EQ(u->f2_data, -2.0f);
    EXPECT_EQ(u->tm, 1700000000);
    EXPECT_STREQ(u->str_data.str_data_val, "a \"b\" \\ c");
    d.set_type(DATA_A_USTR);
    ASSERT_EQ(d.set_from_string("1 0 0 5 \"x\"\n2 0 0 6 \"y z\""), 0);
    ASSERT_EQ(d.length(), 2);
    EXPECT_STREQ(d.get_ustr(1)->str_data.str_data_val, "y z");
    ASSERT_EQ(d.set_from_string("  "), 0);
    EXPECT_EQ(d.length(), 0);
}

TEST(EqDataRoundTrip, EveryTypeReadsBackItsOwnText) {
    std::vector<EqData> values;
    auto add = [&values](const EqData& d) { values.push_back(d); };
    EqData d;
    for (int i : {0, 1, -1, INT_MAX, INT_MIN}) {
        d.set(i);
        add(d);
    }
    for (float f : {0.0f, -0.0f, 0.1f, -2.7f, 123456.789f, 1e-40f, FLT_MIN, FLT_MAX, -FLT_MAX, 3.0e38f,
                    std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN()}) {
        d.set(f);
        add(d);
    }
    d.set_bool(true);
    add(d);
    d.set_bool(false);
    add(d);
    for (const char* s : {"", "plain", "  blanks around  ", "tab\tand\nnewline", "semi;colon \"quoted\""}) {
        d.set(s);
        add(d);
    }
    d.set(IIII{INT_MIN, -1, 0, INT_MAX});
    add(d);
    d.set(IFFF{-7, 0.1f, 1e-40f, -FLT_MAX});
    add(d);
    d.init();
    d.set_type(DATA_USTR);
    add(d);
    d.set(make_ustr(-5, 0.3f, 1e30f, 1700000000, "quote \" backslash \\ nl \n tab \t ctl \x01 del \x7f utf8 \xc3\xa9"),
          0);
    add(d);
    d.set(make_ustr(6, 0, 0, -1, ""), 1);
    d.set(make_ustr(7, 0, 0, 0, "1 2 3 4 \"inner\""), 2);
    add(d);
    d.set_type(DATA_A_USTR);
    add(d);
    const float floats[] = {0.1f, -1e-40f, 3.0f, FLT_MAX, -0.0f};
    d.set_float_array(floats, 5);
    add(d);
    d.set_float_array(floats, 3, DATA_SPECTRUM);
    add(d);
    d.set_type(DATA_SPECTRUM);
    add(d);
    d.set(TDS{1700000000, 0.1f, 255}, 0);
    d.set(TDS{-5, -2.5f, 0}, 1);
    add(d);
    d.set_type(DATA_A_TDS);
    add(d);
    d.set_type(DATA_NULL);
    add(d);
    for (const EqData& v : values) {
        SCOPED_TRACE("type " + std::to_string(v.type()) + " text " + v.get_string());
        expect_same_value(v, reparse(v));
    }
}

TEST(EqDataRoundTrip, TextFormsAreSingleLineAndReadable) {
    EqData d;
    d.set(0.1f);
    EXPECT_EQ(d.get_string(), "0.1");
    d.set(-2.0f);
    EXPECT_EQ(d.get_string(), "-2");
    d.set(make_ustr(1, 0.5f, 0, 1700000000, "line one\nline\ttwo"), 0);
    const std::string text = d.get_string();
    EXPECT_EQ(text, "1 0.5 0 1700000000 \"line one\\nline\\ttwo\"");
    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_EQ(text.find('\t'), std::string::npos);
}

}  // namespace
