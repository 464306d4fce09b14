#include <varnel/foundation/speed_mode.hpp>

#include "bindings/bindings.hpp"

namespace py = pybind11;

namespace varnel::bindings {

void bind_speed_mode(py::module_& module) {
    // `enabled` is a C++ bool: the binding layer's lenient conversion (None is false, numbers
    // through their truth slot, str/bytes/containers refused).
    module.def("is_speed_mode_enabled", &foundation::is_speed_mode_enabled,
               "Return True if SpeedMode is currently active (BEMF disabled).");
    module.def("set_speed_mode_enabled", &foundation::set_speed_mode_enabled, py::arg("enabled"),
               "Set the process-wide SpeedMode flag. Should only be called by the `SetSpeedMode` step after "
               "the firmware has acknowledged the BEMF-disable command; calling it directly bypasses the "
               "firmware handshake and leaves the library/firmware state inconsistent.");
}

}  // namespace varnel::bindings
