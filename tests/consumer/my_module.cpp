#include <pybind11/pybind11.h>

#include <varnel/foundation.hpp>

PYBIND11_MODULE(my_module, m) {
    m.def("calibrate", [](float heading) {
        VARNEL_LOG(logging::Level::info, "wheel calibrated");  // filtered road, this file in the column
        varnel::foundation::Pose pose;                          // crosses into Python as foundation.Pose
        pose.heading = varnel::foundation::is_speed_mode_enabled() ? 0.0f : heading;
        return pose;
    });
}
