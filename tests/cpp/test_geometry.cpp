#include <gtest/gtest.h>

#include <varnel/foundation/geometry.hpp>
#include <varnel/foundation/text_form.hpp>

namespace {

using varnel::foundation::ChassisVelocity;
using varnel::foundation::Pose;
using varnel::foundation::text_form;

TEST(ChassisVelocityText, DefaultsAndValues) {
    EXPECT_EQ(text_form(ChassisVelocity{}), "ChassisVelocity(vx=0, vy=0, wz=0)");
    EXPECT_EQ(text_form(ChassisVelocity{1.5, -0.25, 3.0}), "ChassisVelocity(vx=1.5, vy=-0.25, wz=3)");
    EXPECT_EQ(text_form(ChassisVelocity{1234567.0, 0.0, 0.0000001}), "ChassisVelocity(vx=1.23457e+06, vy=0, wz=1e-07)");
}

TEST(PoseText, Defaults) {
    const Pose pose;
    EXPECT_EQ(pose.position, Eigen::Vector3f::Zero());
    EXPECT_EQ(text_form(pose), "Pose(position=[0, 0, 0], heading=0)");
}

TEST(PoseText, SinglePrecisionFieldsAreWrittenFromTheirFloatValue) {
    Pose pose;
    pose.position = Eigen::Vector3f(1.0f, -2.5f, 16777217.0f);  // the last rounds to 16777216
    pose.heading = 0.1f;  // 0.10000000149011612 as a double, still "0.1" at 6 digits
    EXPECT_EQ(text_form(pose), "Pose(position=[1, -2.5, 1.67772e+07], heading=0.1)");
    pose.heading = 1.0e-7f;
    pose.position = Eigen::Vector3f(0.333333343f, 1234567.0f, -0.0f);
    EXPECT_EQ(text_form(pose), "Pose(position=[0.333333, 1.23457e+06, -0], heading=1e-07)");
}

}  // namespace
