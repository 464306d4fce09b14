#include <gtest/gtest.h>

#include <limits>
#include <string>

#include <varnel/foundation/text_form.hpp>

namespace {

using varnel::foundation::text_form;

struct NumberText {
    double value;
    const char* text;
};

class NumberTextForm : public testing::TestWithParam<NumberText> {};

TEST_P(NumberTextForm, FollowsPercentG) { EXPECT_EQ(text_form(GetParam().value), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Table, NumberTextForm,
    testing::Values(NumberText{0.0, "0"}, NumberText{0.5, "0.5"}, NumberText{-2.25, "-2.25"},
                    NumberText{1e-07, "1e-07"}, NumberText{1234567.0, "1.23457e+06"},
                    NumberText{100000.0, "100000"}, NumberText{1000000.0, "1e+06"},
                    NumberText{0.123456789, "0.123457"}, NumberText{0.00001, "1e-05"},
                    NumberText{-10.0, "-10"}, NumberText{0.004363323129985824, "0.00436332"},
                    NumberText{-0.0, "-0"}, NumberText{std::numeric_limits<double>::infinity(), "inf"}));

TEST(TextForm, SinglePrecisionIsWrittenFromItsOwnValue) {
    EXPECT_EQ(text_form(0.1f), "0.1");
    EXPECT_EQ(text_form(16777217.0f), "1.67772e+07");
}

}  // namespace
