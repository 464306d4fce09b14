#pragma once
// Per-motor control records: PID gains, feedforward coefficients, motor calibration, and the
// controller that turns a velocity and an acceleration into a feedforward output.

#include <iosfwd>
#include <optional>

namespace varnel::foundation {

/// Three PID gains. A record of its own, unrelated to PidConfig; nothing converts between them.
struct PidGains {
    double kp = 1.0;  ///< proportional gain
    double ki = 0.0;  ///< integral gain
    double kd = 0.0;  ///< derivative gain
};

/// Coefficients of a static/velocity/acceleration feedforward. Any value is accepted.
struct Feedforward {
    double kS = 0.0;  ///< static term, applied with the sign of the velocity, not at all at zero
    double kV = 0.0;  ///< coefficient of the velocity
    double kA = 0.0;  ///< coefficient of the acceleration
};

/// One motor's calibration. Nothing in this library applies it; it is a record for its users.
struct MotorCalibration {
    double ticks_to_rad = 3.14159265358979323846 / 720.0;  ///< radians per encoder tick (1440 a turn)
    double vel_lpf_alpha = 0.5;                             ///< weight of the users' velocity low-pass filter
    std::optional<PidGains> pid;                            ///< the motor's own gains, if it has any
};

/// Writes "PidGains(kp=1, ki=0, kd=0)" with the stream's current number formatting.
std::ostream& operator<<(std::ostream& out, const PidGains& gains);
/// Writes "Feedforward(kS=0, kV=0, kA=0)".
std::ostream& operator<<(std::ostream& out, const Feedforward& feedforward);
/// Writes "MotorCalibration(ticks_to_rad=..., vel_lpf_alpha=..., pid=...)", pid as PidGains or None.
std::ostream& operator<<(std::ostream& out, const MotorCalibration& calibration);

/// Feedforward output from a copy of its coefficients. Stateless apart from `config`, which
/// callers may change at any time.
class FeedforwardController {
public:
    /// Copies `config`.
    explicit FeedforwardController(const Feedforward& config = Feedforward{}) noexcept : config(config) {}

    /// velocity x kV + acceleration x kA, plus kS with the sign of `velocity` unless the velocity
    /// is zero (+0.0 or -0.0). Unlimited; a NaN velocity yields NaN, and the acceleration never
    /// decides the sign of the static term.
    double calculate(double velocity, double acceleration = 0.0) const noexcept;

    Feedforward config;  ///< the coefficients in use
};

}  // namespace varnel::foundation
