#pragma once
// Plain value types exchanged across the stack: chassis velocity and planar pose.

#include <iosfwd>

#include <Eigen/Core>

namespace varnel::foundation {

/// Velocity of the chassis in the plane. Units are the caller's.
struct ChassisVelocity {
    double vx = 0.0;  ///< along the chassis x axis
    double vy = 0.0;  ///< along the chassis y axis
    double wz = 0.0;  ///< rate of turn about the vertical z axis
};

/// A position with a heading, both in single precision. The vector is held by value:
/// three contiguous floats with no alignment beyond that of float.
struct Pose {
    Eigen::Vector3f position = Eigen::Vector3f::Zero();  ///< x, y, z
    float heading = 0.0f;                                ///< heading angle
};

/// Writes "ChassisVelocity(vx=0, vy=0, wz=0)" with the stream's current number formatting.
std::ostream& operator<<(std::ostream& out, const ChassisVelocity& velocity);
/// Writes "Pose(position=[0, 0, 0], heading=0)", each number from its single-precision value.
std::ostream& operator<<(std::ostream& out, const Pose& pose);

}  // namespace varnel::foundation
