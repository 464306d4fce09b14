#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include <varnel/foundation/feedforward.hpp>
#include <varnel/foundation/text_form.hpp>

namespace {

using varnel::foundation::Feedforward;
using varnel::foundation::FeedforwardController;
using varnel::foundation::MotorCalibration;
using varnel::foundation::PidGains;
using varnel::foundation::text_form;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

struct CalculateCase {
    double velocity;
    double acceleration;
    double expected;
};

class Calculate : public testing::TestWithParam<CalculateCase> {};

TEST_P(Calculate, StaticTermFollowsTheVelocitySign) {
    const FeedforwardController controller(Feedforward{0.1, 2.0, 0.5});
    EXPECT_DOUBLE_EQ(controller.calculate(GetParam().velocity, GetParam().acceleration), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Calculate,
    testing::Values(CalculateCase{1.0, 0.0, 2.1}, CalculateCase{-1.0, 0.0, -2.1},
                    CalculateCase{0.0, 1.0, 0.5},   // no static term at zero velocity
                    CalculateCase{-0.0, 1.0, 0.5},  // nor at negative zero
                    CalculateCase{0.5, 2.0, 2.1},
                    CalculateCase{1.0, -10.0, -2.9},  // the acceleration never flips the static term
                    CalculateCase{-1e-300, 0.0, -0.1}));

TEST(FeedforwardCalculate, ZeroVelocityKeepsTheSignOfTheBase) {
    const FeedforwardController controller(Feedforward{5.0, 1.0, 1.0});
    EXPECT_TRUE(std::signbit(controller.calculate(-0.0, -0.0)));  // -0 x 1 + -0 x 1 is -0
    EXPECT_FALSE(std::signbit(controller.calculate(0.0, 0.0)));
}

TEST(FeedforwardCalculate, NonFiniteInputsPropagate) {
    const FeedforwardController controller(Feedforward{0.1, 2.0, 0.5});
    EXPECT_TRUE(std::isnan(controller.calculate(nan)));
    EXPECT_TRUE(std::isnan(FeedforwardController{}.calculate(nan)));  // 0 x NaN
    EXPECT_TRUE(std::isnan(controller.calculate(1.0, nan)));
    EXPECT_EQ(controller.calculate(inf), inf);
    EXPECT_EQ(controller.calculate(-inf), -inf);
}

TEST(FeedforwardCalculate, DefaultControllerGivesZero) {
    const FeedforwardController controller;
    for (double velocity : {-3.0, -0.0, 0.0, 1e-9, 2.5, 1e300}) {
        for (double acceleration : {-1e300, -1.0, 0.0, 4.0}) {
            EXPECT_EQ(controller.calculate(velocity, acceleration), 0.0) << velocity << ", " << acceleration;
        }
    }
}

TEST(MotorCalibrationDefaults, TicksToRadIsOneTurnPer1440Ticks) {
    const MotorCalibration calibration;
    EXPECT_EQ(calibration.ticks_to_rad, 0.004363323129985824);
    EXPECT_EQ(calibration.ticks_to_rad * 1440.0, 2.0 * 3.141592653589793);
    EXPECT_EQ(calibration.vel_lpf_alpha, 0.5);
    EXPECT_FALSE(calibration.pid.has_value());
}

TEST(ControlRecordText, Defaults) {
    EXPECT_EQ(text_form(PidGains{}), "PidGains(kp=1, ki=0, kd=0)");
    EXPECT_EQ(text_form(Feedforward{}), "Feedforward(kS=0, kV=0, kA=0)");
    EXPECT_EQ(text_form(MotorCalibration{}), "MotorCalibration(ticks_to_rad=0.00436332, vel_lpf_alpha=0.5, pid=None)");
}

TEST(ControlRecordText, Values) {
    EXPECT_EQ(text_form(PidGains{2.5, 0.123456789, -1e-7}), "PidGains(kp=2.5, ki=0.123457, kd=-1e-07)");
    EXPECT_EQ(text_form(Feedforward{1234567.0, -0.0, 100000.0}), "Feedforward(kS=1.23457e+06, kV=-0, kA=100000)");
    MotorCalibration calibration{1.0, 0.3, PidGains{2.0, 0.0, 0.1}};
    EXPECT_EQ(text_form(calibration), "MotorCalibration(ticks_to_rad=1, vel_lpf_alpha=0.3, pid=PidGains(kp=2, ki=0, kd=0.1))");
    calibration.pid.reset();
    EXPECT_EQ(text_form(calibration), "MotorCalibration(ticks_to_rad=1, vel_lpf_alpha=0.3, pid=None)");
}

}  // namespace
