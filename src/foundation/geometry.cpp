#include <varnel/foundation/geometry.hpp>

#include <ostream>

namespace varnel::foundation {

std::ostream& operator<<(std::ostream& out, const ChassisVelocity& velocity) {
    return out << "ChassisVelocity(vx=" << velocity.vx << ", vy=" << velocity.vy << ", wz=" << velocity.wz << ")";
}

std::ostream& operator<<(std::ostream& out, const Pose& pose) {
    const Eigen::Vector3f& p = pose.position;
    return out << "Pose(position=[" << p.x() << ", " << p.y() << ", " << p.z() << "], heading=" << pose.heading
               << ")";
}

}  // namespace varnel::foundation
