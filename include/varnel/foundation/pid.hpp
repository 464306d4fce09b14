#pragma once
// Discrete-time PID controller for one scalar loop.

#include <iosfwd>

namespace varnel::foundation {

/// Settings of a PidController. Nothing is validated: every value is stored as given and the
/// limiting rules of PidController::update say what unusual values yield.
struct PidConfig {
    double kp = 1.0;                     ///< proportional gain
    double ki = 0.0;                     ///< integral gain
    double kd = 0.0;                     ///< derivative gain
    double integral_max = 10.0;          ///< bound on |integral| (error x time, before ki)
    double integral_deadband = 0.01;     ///< integrate only while |error| > this (strictly)
    double derivative_lpf_alpha = 0.1;   ///< weight of the newest raw derivative; used clamped to [0, 1]
    double output_min = -10.0;           ///< lower output bound (tested after the upper one)
    double output_max = 10.0;            ///< upper output bound (tested first)
};

/// Writes "PidConfig(kp=1, ki=0, ...)" with the stream's current number formatting.
std::ostream& operator<<(std::ostream& out, const PidConfig& config);

/// PID with integral clamping and deadband, low-pass-filtered derivative and output limits.
/// Units are the caller's. Every input is accepted, and no step yields NaN or leaves a NaN or an
/// infinity in the state: a dt <= 0, or an error or dt that is not finite, yields 0.0 and changes
/// nothing; an integral that would come out non-finite keeps its value; a filtered derivative
/// that would come out non-finite restarts at 0.0; a NaN output (NaN gains, or infinite terms of
/// opposite sign) becomes 0.0 before the limits. Every other step is the plain arithmetic.
/// Not thread-safe: one controller must not be updated from two threads at once.
class PidController {
public:
    /// Copies `config`; starts fresh (no derivative term on the first accepted update).
    explicit PidController(const PidConfig& config = PidConfig{}) noexcept : config_(config) {}

    /// One controller step with the current `error` and the time `dt` since the previous call;
    /// returns the output limited to [output_min, output_max] (upper bound tested first), or 0.0
    /// without any change when dt <= 0 or either argument is not finite.
    double update(double error, double dt) noexcept;

    /// Clears the integral, previous error and derivative; the next update is a first one again.
    /// The settings, including gains changed by set_gains, are kept.
    void reset() noexcept;

    /// Replaces the three gains; limits, deadband, alpha and state are unchanged.
    void set_gains(double kp, double ki, double kd) noexcept;

    double integral() const noexcept { return integral_; }      ///< error x dt summed, clamped
    double derivative() const noexcept { return derivative_; }  ///< filtered error derivative

private:
    PidConfig config_;         // settings; only the gains change afterwards
    double integral_ = 0.0;    // clamped to +-integral_max
    double prev_error_ = 0.0;  // error of the last accepted update
    double derivative_ = 0.0;  // low-pass-filtered derivative
    bool first_run_ = true;    // no derivative term until one update has been accepted
};

}  // namespace varnel::foundation
