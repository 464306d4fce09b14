#include <varnel/foundation/feedforward.hpp>

#include <cmath>
#include <ostream>

namespace varnel::foundation {

double FeedforwardController::calculate(double velocity, double acceleration) const noexcept {
    const double base = velocity * config.kV + acceleration * config.kA;
    if (velocity == 0.0) {  // true for -0.0 as well
        return base;
    }
    return std::copysign(1.0, velocity) * config.kS + base;
}

std::ostream& operator<<(std::ostream& out, const PidGains& gains) {
    return out << "PidGains(kp=" << gains.kp << ", ki=" << gains.ki << ", kd=" << gains.kd << ")";
}

std::ostream& operator<<(std::ostream& out, const Feedforward& feedforward) {
    return out << "Feedforward(kS=" << feedforward.kS << ", kV=" << feedforward.kV << ", kA=" << feedforward.kA
               << ")";
}

std::ostream& operator<<(std::ostream& out, const MotorCalibration& calibration) {
    out << "MotorCalibration(ticks_to_rad=" << calibration.ticks_to_rad
        << ", vel_lpf_alpha=" << calibration.vel_lpf_alpha << ", pid=";
    if (calibration.pid) {
        out << *calibration.pid;
    } else {
        out << "None";
    }
    return out << ")";
}

}  // namespace varnel::foundation
