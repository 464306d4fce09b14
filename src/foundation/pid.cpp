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

// Each check below fires only where the plain arithmetic would go non-finite, so every finite
// step is exactly that arithmetic, and the state never holds a NaN or an infinity.
double PidController::update(double error, double dt) noexcept {
    if (dt <= 0.0 || !std::isfinite(dt) || !std::isfinite(error)) {
        return 0.0;
    }

    if (std::fabs(error) > config_.integral_deadband) {
        const double integral = limit(integral_ + error * dt, -config_.integral_max, config_.integral_max);
        if (std::isfinite(integral)) {  // an infinite integral_max lets an overflow through
            integral_ = integral;
        }
    }

    double derivative_term = 0.0;
    if (first_run_) {
        first_run_ = false;
    } else {
        const double alpha = limit(config_.derivative_lpf_alpha, 0.0, 1.0);
        const double raw = (error - prev_error_) / dt;
        const double derivative = raw * alpha + (1.0 - alpha) * derivative_;
        derivative_ = std::isfinite(derivative) ? derivative : 0.0;  // restarts after an overflow
        derivative_term = derivative_;
    }

    double output = (config_.ki * integral_ + config_.kp * error) + config_.kd * derivative_term;
    if (std::isnan(output)) {  // NaN gains, or infinite terms of opposite sign
        output = 0.0;
    }
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
