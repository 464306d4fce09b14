#pragma once
// Registration functions: each adds one area's classes and functions to the module.
// The module body calls them in the order declared here; none depends on a later one.

#include <pybind11/pybind11.h>

namespace varnel::bindings {

void bind_pid(pybind11::module_& module);          // PidConfig, PidController
void bind_logging(pybind11::module_& module);      // Level and the logging functions
void bind_feedforward(pybind11::module_& module);  // PidGains, Feedforward, MotorCalibration, FeedforwardController
void bind_geometry(pybind11::module_& module);     // ChassisVelocity, Pose
void bind_speed_mode(pybind11::module_& module);   // is_speed_mode_enabled, set_speed_mode_enabled
void bind_transport(pybind11::module_& module);    // Subscription, get_transport, shutdown_transport

}  // namespace varnel::bindings
