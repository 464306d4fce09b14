#include <varnel/foundation/pid.hpp>

#include <cmath>
#include <ostream>

namespace varnel::foundation {
namespace {

// Upper bound first, so inverted bounds resolve to `upper` above it and `lower` otherwise.
double limit(double value, double lower, double upper) noexcept {
    if (value > upper) {
        return upper;
    }
    if (value < lower) {
        return lower;
    }
    return value;
}

}  // namespace

double PidController::update(double error, double dt) noexcept {
    if (dt <= 0.0) {  // a NaN dt is accepted and propagates
        return 0.0;
    }

    if (std::fabs(error) > config_.integral_deadband) {
        integral_ = limit(integral_ + error * dt, -config_.integral_max, config_.integral_max);
    }

    double derivative_term = 0.0;
    if (first_run_) {
        first_run_ = false;
    } else {
        const double alpha = limit(config_.derivative_lpf_alpha, 0.0, 1.0);
        const double raw = (error - prev_error_) / dt;
        derivative_ = raw * alpha + (1.0 - alpha) * derivative_;
        derivative_term = derivative_;
    }

    const double output = (config_.ki * integral_ + config_.kp * error) + config_.kd * derivative_term;
    prev_error_ = error;
    return limit(output, config_.output_min, config_.output_max);
}

void PidController::reset() noexcept {
    integral_ = 0.0;
    prev_error_ = 0.0;
    derivative_ = 0.0;
    first_run_ = true;
}

void PidController::set_gains(double kp, double ki, double kd) noexcept {
    config_.kp = kp;
    config_.ki = ki;
    config_.kd = kd;
}

std::ostream& operator<<(std::ostream& out, const PidConfig& config) {
    return out << "PidConfig(kp=" << config.kp << ", ki=" << config.ki << ", kd=" << config.kd
               << ", integral_max=" << config.integral_max
               << ", integral_deadband=" << config.integral_deadband
               << ", derivative_lpf_alpha=" << config.derivative_lpf_alpha
               << ", output_min=" << config.output_min << ", output_max=" << config.output_max << ")";
}

}  // namespace varnel::foundation
