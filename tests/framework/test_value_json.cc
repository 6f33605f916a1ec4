// The JSON value forms: every type goes to JSON and back unchanged, and malformed values and
// texts are refused with a sentence, leaving the container empty.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>

#include "net/value_json.h"

using nlohmann::json;
using velko::net::answer_to_json;
using velko::net::dump_json;
using velko::net::parse_json;
using velko::net::value_from_json;
using velko::net::value_to_json;

namespace {

USTR ustr(int i1, float f1, float f2, time_t tm, const char* text) {
    USTR u{};
    u.i1_data = i1;
    u.f1_data = f1;
    u.f2_data = f2;
    u.tm = tm;
    u.str_data.str_data_len = static_cast<int>(std::strlen(text));
    u.str_data.str_data_val = const_cast<char*>(text);
    return u;
}

struct RoundTrip {
    const char* name;
    std::function<void(EqData*)> fill;
    const char* expected;  // the JSON text the value gives
};

}  // namespace

TEST(ValueJson, EveryTypeRoundTrips) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const RoundTrip cases[] = {
        {"null", [](EqData*) {}, R"({"type":"NULL","value":null})"},
        {"int", [](EqData* d) { d->set(-42); }, R"({"type":"INT","value":-42})"},
        {"int max", [](EqData* d) { d->set(std::numeric_limits<int>::max()); }, R"({"type":"INT","value":2147483647})"},
        {"float", [](EqData* d) { d->set(1.5f); }, R"({"type":"FLOAT","value":1.5})"},
        {"float nan", [nan](EqData* d) { d->set(nan); }, R"({"type":"FLOAT","value":"nan"})"},
        {"float -inf", [inf](EqData* d) { d->set(-inf); }, R"({"type":"FLOAT","value":"-inf"})"},
        {"string", [](EqData* d) { d->set("héllo \"x\""); }, R"({"type":"STRING","value":"héllo \"x\""})"},
        {"string not utf-8", [](EqData* d) { d->set("a\xff"); }, R"({"type":"STRING","value":{"base64":"Yf8="}})"},
        {"bool", [](EqData* d) { d->set_bool(true); }, R"({"type":"BOOL","value":true})"},
        {"iiii",
         [](EqData* d) {
             d->set(IIII{1, -2, 3, 4});
         },
         R"({"type":"IIII","value":[1,-2,3,4]})"},
        {"ifff",
         [](EqData* d) {
             d->set(IFFF{7, 0.5f, -2.0f, 8.0f});
         },
         R"({"type":"IFFF","value":{"f1":0.5,"f2":-2.0,"f3":8.0,"i1":7}})"},
        {"ustr",
         [](EqData* d) {
             d->set_type(DATA_USTR);
             d->set(ustr(3, 1.0f, 2.5f, 1700000000, "text"), 0);
         },
         R"({"type":"USTR","value":{"f1":1.0,"f2":2.5,"i1":3,"str":"text","tm":1700000000}})"},
        {"a_ustr",
         [](EqData* d) {
             d->set(ustr(1, 0.0f, 0.0f, 0, "A"), 0);
             d->set(ustr(2, 0.0f, 0.0f, 5, "\xc3"), 1);
         },
         R"({"type":"A_USTR","value":[{"f1":0.0,"f2":0.0,"i1":1,"str":"A","tm":0},)"
         R"({"f1":0.0,"f2":0.0,"i1":2,"str":{"base64":"ww=="},"tm":5}]})"},
        {"a_float",
         [inf](EqData* d) {
             const float v[] = {1.0f, inf, -0.25f};
             d->set_float_array(v, 3);
         },
         R"({"type":"A_FLOAT","value":[1.0,"inf",-0.25]})"},
        {"spectrum",
         [](EqData* d) {
             const float v[] = {2.0f};
             d->set_float_array(v, 1, DATA_SPECTRUM);
         },
         R"({"type":"SPECTRUM","value":[2.0]})"},
        {"empty a_float", [](EqData* d) { d->set_type(DATA_A_FLOAT); }, R"({"type":"A_FLOAT","value":[]})"},
        {"a_tds",
         [](EqData* d) {
             d->set(TDS{100, 1.25f, 0}, 0);
             d->set(TDS{101, -3.0f, 255}, 1);
         },
         R"({"type":"A_TDS","value":[{"data":1.25,"status":0,"tm":100},{"data":-3.0,"status":255,"tm":101}]})"},
    };
    for (const RoundTrip& c : cases) {
        SCOPED_TRACE(c.name);
        EqData original;
        c.fill(&original);
        const json j = value_to_json(original);
        EXPECT_EQ(dump_json(j), c.expected);

        // Through text, as the network carries it.
        json parsed;
        std::string why;
        ASSERT_EQ(parse_json(dump_json(j), &parsed, &why), 0) << why;
        EqData back;
        ASSERT_EQ(value_from_json(parsed, &back, &why), 0) << why;
        EXPECT_EQ(back.type(), original.type());
        EXPECT_EQ(back.length(), original.length());
        EXPECT_EQ(back.error(), 0);
        EXPECT_EQ(dump_json(value_to_json(back)), c.expected);
        if (original.type() == DATA_FLOAT && std::isnan(original.get_float())) {
            EXPECT_TRUE(std::isnan(back.get_float()));
        }
    }
}

TEST(ValueJson, MalformedValuesAreRefusedWithASentence) {
    struct Bad {
        const char* text;
        const char* says;  // part of the sentence
    };
    const Bad cases[] = {
        {R"(5)", "must be an object"},
        {R"({"type":"INT"})", "must be an object"},
        {R"({"type":"INT","value":1,"extra":2})", "must be an object"},
        {R"({"type":"LONG","value":1})", "is not one of"},
        {R"({"type":3,"value":1})", "is not one of"},
        {R"({"type":"INT","value":1.5})", "must be an integer"},
        {R"({"type":"INT","value":"7"})", "must be an integer"},
        {R"({"type":"INT","value":2147483648})", "is outside"},
        {R"({"type":"INT","value":-2147483649})", "is outside"},
        {R"({"type":"INT","value":18446744073709551615})", "is outside"},
        {R"({"type":"FLOAT","value":1e39})", "outside the range of a float"},
        {R"({"type":"FLOAT","value":"NaN"})", "must be a number"},
        {R"({"type":"FLOAT","value":null})", "must be a number"},
        {R"({"type":"STRING","value":5})", "must be a text"},
        {R"({"type":"STRING","value":"a\u0000b"})", "NUL"},
        {R"({"type":"STRING","value":{"base64":"!!!!"}})", "does not decode"},
        {R"({"type":"STRING","value":{"base64":"YQ="}})", "does not decode"},
        {R"({"type":"STRING","value":{"base64":"YQA="}})", "NUL"},
        {R"({"type":"BOOL","value":1})", "true or false"},
        {R"({"type":"IIII","value":[1,2,3]})", "four integers"},
        {R"({"type":"IIII","value":[1,2,3,"4"]})", "element 3 must be an integer"},
        {R"({"type":"IFFF","value":{"i1":1,"f1":1,"f2":2}})", "members"},
        {R"({"type":"IFFF","value":{"i1":1.5,"f1":1,"f2":2,"f3":3}})", "i1 must be an integer"},
        {R"({"type":"USTR","value":[1]})", "members"},
        {R"({"type":"USTR","value":{"i1":1,"f1":1,"f2":2,"tm":0,"str":[]}})", "str must be a text"},
        {R"({"type":"A_USTR","value":{}})", "must be an array"},
        {R"({"type":"A_USTR","value":[{"i1":1,"f1":1,"f2":2,"tm":0.5,"str":""}]})", "element 0 tm"},
        {R"({"type":"A_FLOAT","value":[1,"x"]})", "element 1 must be a number"},
        {R"({"type":"SPECTRUM","value":5})", "must be an array"},
        {R"({"type":"A_TDS","value":[{"tm":1,"data":2,"status":256}]})", "status 256 is outside"},
        {R"({"type":"A_TDS","value":[{"tm":1,"data":2}]})", "members"},
        {R"({"type":"NULL","value":0})", "must be null"},
    };
    for (const Bad& c : cases) {
        SCOPED_TRACE(c.text);
        json j;
        std::string why;
        ASSERT_EQ(parse_json(c.text, &j, &why), 0) << why;
        EqData out;
        out.set(99);
        EXPECT_EQ(value_from_json(j, &out, &why), -1);
        EXPECT_NE(why.find(c.says), std::string::npos) << why;
        EXPECT_EQ(why.back(), '.') << why;
        EXPECT_EQ(out.type(), DATA_NULL);
    }
}

TEST(ValueJson, MalformedTextIsRefusedWithASentence) {
    const std::string deep_ok = std::string(16, '[') + std::string(16, ']');
    const std::string too_deep = std::string(17, '[') + std::string(17, ']');
    const std::string cases[] = {"",
                                 "{",
                                 "{\"a\":}",
                                 "[1,]",
                                 "nul",
                                 "\"\xff\"",
                                 "1 2",
                                 too_deep,
                                 "{\"a\":\"\\x\"}",
                                 std::string("{\"a\":\0}", 7)};
    for (const std::string& text : cases) {
        SCOPED_TRACE(text);
        json j = 5;
        std::string why;
        EXPECT_EQ(parse_json(text, &j, &why), -1);
        EXPECT_FALSE(why.empty());
        EXPECT_TRUE(j.is_null());
    }
    json j;
    std::string why;
    EXPECT_EQ(parse_json(deep_ok, &j, &why), 0) << why;
    // Brackets inside strings do not count as nesting.
    EXPECT_EQ(parse_json("[\"" + std::string(40, '[') + "\"]", &j, &why), 0) << why;
}

TEST(ValueJson, AnswersCarryTheErrorOrTheValue) {
    EqData d;
    d.set(3);
    EXPECT_EQ(dump_json(answer_to_json(d)), R"({"type":"INT","value":3})");
    d.error(velko::ERR_UNKNOWN_PROPERTY, "Unknown property \"F/D/L/P\".");
    EXPECT_EQ(dump_json(answer_to_json(d)), R"({"error":103,"message":"Unknown property \"F/D/L/P\"."})");
    // A message that is not valid UTF-8 still serialises.
    d.error(velko::ERR_PARSE, "bad \xff text");
    EXPECT_NE(dump_json(answer_to_json(d)).find("\"error\":105"), std::string::npos);
}
