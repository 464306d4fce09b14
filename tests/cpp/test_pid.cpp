#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include <varnel/foundation/pid.hpp>
#include <varnel/foundation/text_form.hpp>

namespace {

using varnel::foundation::PidConfig;
using varnel::foundation::PidController;
using varnel::foundation::text_form;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

PidConfig gains(double kp, double ki, double kd) {
    PidConfig config;
    config.kp = kp;
    config.ki = ki;
    config.kd = kd;
    return config;
}

TEST(PidUpdate, DefaultControllerIsProportionalWithFilteredDerivative) {
    PidController pid;
    EXPECT_DOUBLE_EQ(pid.update(0.5, 0.1), 0.5);
    EXPECT_DOUBLE_EQ(pid.integral(), 0.05);
    EXPECT_EQ(pid.derivative(), 0.0);
    EXPECT_DOUBLE_EQ(pid.update(0.7, 0.1), 0.7);
    EXPECT_DOUBLE_EQ(pid.integral(), 0.12);
    EXPECT_DOUBLE_EQ(pid.derivative(), 0.2);
}

TEST(PidUpdate, WorkedExampleWithAllTerms) {
    PidConfig config = gains(2.0, 0.5, 0.1);
    config.derivative_lpf_alpha = 1.0;
    PidController pid(config);
    EXPECT_DOUBLE_EQ(pid.update(1.0, 0.5), 2.25);  // no derivative on the first update
    EXPECT_DOUBLE_EQ(pid.update(2.0, 0.5), 4.95);
    EXPECT_DOUBLE_EQ(pid.integral(), 1.5);
    EXPECT_DOUBLE_EQ(pid.derivative(), 2.0);
}

TEST(PidUpdate, IntegralAndOutputAreLimited) {
    PidController pid(gains(1.0, 1.0, 0.0));
    EXPECT_EQ(pid.update(100.0, 1.0), 10.0);  // unlimited: 110
    EXPECT_EQ(pid.integral(), 10.0);
    EXPECT_EQ(pid.update(-100.0, 1.0), -10.0);
    EXPECT_EQ(pid.integral(), -10.0);
}

TEST(PidUpdate, DeadbandIsStrict) {
    PidController pid;
    pid.update(0.01, 1.0);
    EXPECT_EQ(pid.integral(), 0.0);
    pid.update(-0.01, 1.0);
    EXPECT_EQ(pid.integral(), 0.0);
    pid.update(0.010000001, 1.0);
    EXPECT_EQ(pid.integral(), 0.010000001);
}

struct RejectedStep {
    double error;
    double dt;
};
class Rejected : public testing::TestWithParam<RejectedStep> {};

TEST_P(Rejected, ReturnsZeroAndLeavesAllStateAlone) {
    PidConfig config = gains(1.0, 1.0, 1.0);
    config.derivative_lpf_alpha = 1.0;
    PidController pid(config), twin(config);
    pid.update(1.0, 0.5);
    twin.update(1.0, 0.5);

    EXPECT_EQ(pid.update(GetParam().error, GetParam().dt), 0.0);
    EXPECT_EQ(pid.integral(), twin.integral());
    EXPECT_EQ(pid.derivative(), twin.derivative());
    // The previous error and first-run flag are untouched too: the next step matches the twin's.
    EXPECT_EQ(pid.update(2.0, 0.5), twin.update(2.0, 0.5));
    EXPECT_EQ(pid.derivative(), twin.derivative());
}

TEST(PidUpdate, RejectedDtOnFreshControllerKeepsFirstRun) {
    PidConfig config = gains(0.0, 0.0, 1.0);
    config.derivative_lpf_alpha = 1.0;
    PidController pid(config);
    EXPECT_EQ(pid.update(3.0, 0.0), 0.0);
    EXPECT_EQ(pid.update(1.0, 1.0), 0.0);  // still the first accepted update: no derivative term
    EXPECT_EQ(pid.update(2.0, 1.0), 1.0);
}

INSTANTIATE_TEST_SUITE_P(NonPositiveOrNonFinite, Rejected,
                         testing::Values(RejectedStep{5.0, 0.0}, RejectedStep{5.0, -0.0}, RejectedStep{5.0, -1.0},
                                         RejectedStep{5.0, -inf}, RejectedStep{5.0, inf}, RejectedStep{5.0, nan},
                                         RejectedStep{nan, 0.5}, RejectedStep{inf, 0.5}, RejectedStep{-inf, 0.5}));

struct InvertedCase {
    double unlimited;
    double expected;
};
class InvertedBounds : public testing::TestWithParam<InvertedCase> {};

TEST_P(InvertedBounds, UpperBoundIsTestedFirst) {
    PidConfig config;
    config.output_min = 5.0;
    config.output_max = -5.0;
    config.integral_deadband = 1e9;  // keep the integral out of it
    PidController pid(config);
    EXPECT_EQ(pid.update(GetParam().unlimited, 1.0), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Table, InvertedBounds,
                         testing::Values(InvertedCase{0.0, -5.0}, InvertedCase{10.0, -5.0},
                                         InvertedCase{-5.0, 5.0}, InvertedCase{-10.0, 5.0}));

TEST(PidUpdate, AlphaIsClampedToUnitInterval) {
    for (double alpha : {1.5, -0.5}) {
        PidConfig config = gains(0.0, 0.0, 1.0);
        config.derivative_lpf_alpha = alpha;
        PidController pid(config);
        pid.update(0.0, 1.0);
        pid.update(2.0, 1.0);
        EXPECT_EQ(pid.derivative(), alpha > 1.0 ? 2.0 : 0.0) << "alpha " << alpha;
    }
}

// Where the plain arithmetic would go non-finite: the overflowing term is dropped for that step
// and the controller goes on as if it had not overflowed.
TEST(PidNonFinite, OverflowingDerivativeRestartsAtZero) {
    PidConfig config;  // kd 0: the derivative term is 0 x derivative
    config.output_min = -1.0;
    config.output_max = 1.0;
    PidController pid(config);
    EXPECT_EQ(pid.update(1e307, 0.01), 1.0);
    EXPECT_EQ(pid.update(-1e307, 0.01), -1.0);  // raw derivative -2e309 overflows
    EXPECT_EQ(pid.derivative(), 0.0);
    EXPECT_EQ(pid.update(0.5, 0.01), 0.5);
    pid.update(1.0, 1.0);
    EXPECT_EQ(pid.update(2.0, 1e-310), 1.0);  // 1 / 1e-310 overflows
    EXPECT_EQ(pid.derivative(), 0.0);
}

TEST(PidNonFinite, IntegralThatWouldBeInfiniteKeepsItsValue) {
    PidConfig config = gains(0.0, 1.0, 0.0);
    config.integral_max = inf;
    PidController pid(config);
    EXPECT_EQ(pid.update(1.0, 2.0), 2.0);
    EXPECT_EQ(pid.update(1e308, 1e10), 2.0);  // 1e318 overflows: the integral stays 2
    EXPECT_EQ(pid.integral(), 2.0);
}

TEST(PidNonFinite, NanOutputBecomesZeroBeforeTheLimits) {
    PidConfig config = gains(nan, 0.0, 0.0);
    config.output_min = 1.0;  // the limits still apply to the 0.0
    PidController pid(config);
    EXPECT_EQ(pid.update(1.0, 1.0), 1.0);
    pid.set_gains(inf, -inf, 0.0);  // inf x error + -inf x integral
    EXPECT_EQ(pid.update(1.0, 1.0), 1.0);
    EXPECT_EQ(pid.integral(), 2.0);
    pid.set_gains(inf, 0.0, 0.0);  // an infinite output is limited as before
    EXPECT_EQ(pid.update(1.0, 1.0), 10.0);
}

TEST(PidState, ResetKeepsGainsFromSetGains) {
    PidConfig config;
    config.output_max = 100.0;
    config.derivative_lpf_alpha = 1.0;
    PidController pid(config);
    pid.set_gains(3.0, 2.0, 1.0);
    pid.update(1.0, 1.0);
    pid.reset();
    EXPECT_EQ(pid.integral(), 0.0);
    EXPECT_EQ(pid.derivative(), 0.0);
    EXPECT_EQ(pid.update(1.0, 1.0), 5.0);  // 2*1 + 3*1, no derivative after reset
    EXPECT_EQ(pid.update(3.0, 1.0), 8.0 + 9.0 + 2.0);
}

TEST(PidState, SetGainsKeepsIntegral) {
    PidController pid(gains(0.0, 0.5, 0.0));
    pid.update(1.5, 1.0);
    EXPECT_EQ(pid.update(0.0, 1.0), 0.75);
    pid.set_gains(0.0, 1.0, 0.0);
    EXPECT_EQ(pid.update(0.0, 1.0), 1.5);
}

TEST(PidConfigText, DefaultAndRounded) {
    EXPECT_EQ(text_form(PidConfig{}),
              "PidConfig(kp=1, ki=0, kd=0, integral_max=10, integral_deadband=0.01, derivative_lpf_alpha=0.1, "
              "output_min=-10, output_max=10)");
    PidConfig config;
    config.kp = 2.5;
    config.ki = 0.123456789;
    EXPECT_EQ(text_form(config),
              "PidConfig(kp=2.5, ki=0.123457, kd=0, integral_max=10, integral_deadband=0.01, "
              "derivative_lpf_alpha=0.1, output_min=-10, output_max=10)");
}

}  // namespace
