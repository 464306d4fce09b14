#include <chrono>
#include <string>

#include <pybind11/pybind11.h>

#include <varnel/foundation.hpp>

using logging::Level;

// One step of a wheel's control loop, called at 1 kHz.
void control_step(double slip) {
    VARNEL_LOG_ONCE(Level::info, "control loop started");
    if (slip > 0.2) {  // the message is made only for the lines written
        VARNEL_LOG_THROTTLE(Level::warn, std::chrono::seconds(1), "wheel slipping: " + std::to_string(slip));
    }
    VARNEL_LOG_EVERY_N(Level::debug, 100, "tick");  // below info: nothing, not even counted
}

PYBIND11_MODULE(control_loop, m) { m.def("control_step", &control_step); }
