#include <pybind11/eigen.h>

#include <varnel/foundation/geometry.hpp>

#include "bindings/bindings.hpp"
#include "bindings/record.hpp"
#include "bindings/uninitialised.hpp"

namespace py = pybind11;

namespace varnel::bindings {

void bind_geometry(py::module_& module) {
    using foundation::ChassisVelocity;
    using foundation::Pose;

    py::class_<ChassisVelocity> velocity(module, "ChassisVelocity");
    def_record(velocity, field("vx", &ChassisVelocity::vx), field("vy", &ChassisVelocity::vy),
               field("wz", &ChassisVelocity::wz));

    // The Eigen caster does what `position` promises: it reads as a read-only 1-D float32 view
    // whose base is the Pose, and accepts only (3,) and (3, 1) on write. It loads numpy at the
    // first access, not at import, so the module works without numpy until `position` is used.
    py::class_<Pose> pose(module, "Pose");
    pose.def(py::init<>())
        .def_readwrite("position", &Pose::position)
        .def_readwrite("heading", &Pose::heading);
    def_text_form(pose);
    default_when_uninitialised(pose);
}

}  // namespace varnel::bindings
