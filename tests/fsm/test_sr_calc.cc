// Statistics of a value: scalars, float arrays, empty arrays and unsupported types.
#include <gtest/gtest.h>

#include <cmath>

#include "sr_func.h"

namespace {

velko::EqData array(std::initializer_list<float> values, int type = DATA_A_FLOAT) {
    velko::EqData d;
    std::vector<float> v(values);
    d.set_float_array(v.data(), static_cast<int>(v.size()), type);
    return d;
}

TEST(SrCalc, ScalarsGiveTheirValueAndRmsOrAbsTheMagnitude) {
    velko::EqData d;
    d.set(-3);
    EXPECT_FLOAT_EQ(calc_data(Abs, &d), 3.0f);
    EXPECT_FLOAT_EQ(calc_data(RMS, &d), 3.0f);
    EXPECT_FLOAT_EQ(calc_data(Max, &d), -3.0f);
    EXPECT_FLOAT_EQ(calc_data(No, &d), -3.0f);
    EXPECT_FLOAT_EQ(calc_data(Sum, &d), -3.0f);
    d.set(-2.5f);
    EXPECT_FLOAT_EQ(calc_data(Abs, &d), 2.5f);
    EXPECT_FLOAT_EQ(calc_data(Mean, &d), -2.5f);
    d.set_bool(true);
    EXPECT_FLOAT_EQ(calc_data(Min, &d), 1.0f);
}

TEST(SrCalc, ArrayStatistics) {
    for (int type : {DATA_A_FLOAT, DATA_SPECTRUM}) {
        velko::EqData d = array({1.0f, -4.0f, 3.0f, 2.0f}, type);
        EXPECT_FLOAT_EQ(calc_data(No, &d), 1.0f);
        EXPECT_FLOAT_EQ(calc_data(Max, &d), 3.0f);
        EXPECT_FLOAT_EQ(calc_data(Min, &d), -4.0f);
        EXPECT_FLOAT_EQ(calc_data(Delta, &d), 7.0f);
        EXPECT_FLOAT_EQ(calc_data(Mean, &d), 0.5f);
        EXPECT_FLOAT_EQ(calc_data(Sum, &d), 2.0f);
        EXPECT_FLOAT_EQ(calc_data(static_cast<OpFunc>(42), &d), 0.0f);
    }
    velko::EqData neg = array({-5.0f, 1.0f});
    EXPECT_FLOAT_EQ(calc_data(Abs, &neg), 5.0f);
}

TEST(SrCalc, RmsTakesTheRootBeforeDividing) {
    velko::EqData d = array({1.0f, 2.0f, 3.0f});
    // sqrt(sum of squared deviations) / (n - 1), not the sample standard deviation (1.0).
    EXPECT_NEAR(calc_data(RMS, &d), std::sqrt(2.0f) / 2.0f, 1e-6);
    velko::EqData one = array({7.0f});
    EXPECT_FLOAT_EQ(calc_data(RMS, &one), 0.0f);
}

TEST(SrCalc, EmptyArraysGiveTheStartingValues) {
    velko::EqData d = array({});
    EXPECT_FLOAT_EQ(calc_data(Max, &d), -1e11f);
    EXPECT_FLOAT_EQ(calc_data(Min, &d), 1e11f);
    EXPECT_FLOAT_EQ(calc_data(Delta, &d), -2e11f);
    EXPECT_FLOAT_EQ(calc_data(Mean, &d), 0.0f);
    EXPECT_FLOAT_EQ(calc_data(Sum, &d), 0.0f);
    EXPECT_FLOAT_EQ(calc_data(RMS, &d), 0.0f);
}

TEST(SrCalc, OtherTypesAndNullGiveZero) {
    velko::EqData d;
    d.set("12.5");
    EXPECT_FLOAT_EQ(calc_data(No, &d), 0.0f);
    IIII rec = {1, 2, 3, 4};
    d.set(rec);
    EXPECT_FLOAT_EQ(calc_data(Max, &d), 0.0f);
    EXPECT_FLOAT_EQ(calc_data(Sum, nullptr), 0.0f);
}

}  // namespace
