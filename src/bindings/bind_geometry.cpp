#include <string_view>
#include <utility>

#include <pybind11/eigen.h>

#include <varnel/foundation/geometry.hpp>

#include "bindings/bindings.hpp"
#include "bindings/record.hpp"
#include "bindings/uninitialised.hpp"

namespace py = pybind11;

namespace varnel::bindings {
namespace {

// A value assigned to `Pose.position`.
struct RealVector3f {
    Eigen::Vector3f vector;
};

}  // namespace
}  // namespace varnel::bindings

namespace pybind11::detail {

// What numpy turns into an array of booleans, integers or floating values, then Eigen's caster
// (shapes (3,) and (3, 1) only). Eigen's caster alone would take anything numpy can copy into
// float32: None as NaN, numeric strings, complex values without their imaginary part.
template <>
struct type_caster<varnel::bindings::RealVector3f> {
    using vector_caster = make_caster<Eigen::Vector3f>;
    PYBIND11_TYPE_CASTER(varnel::bindings::RealVector3f, vector_caster::name);

    bool load(handle source, bool convert) {
        const array values = array::ensure(source);  // imports numpy at the first use
        if (!values || std::string_view("biuf").find(values.dtype().kind()) == std::string_view::npos) {
            return false;
        }
        vector_caster vector;
        if (!vector.load(values, convert)) {
            return false;
        }
        value.vector = cast_op<Eigen::Vector3f&&>(std::move(vector));
        return true;
    }

    static handle cast(const varnel::bindings::RealVector3f&, return_value_policy, handle) = delete;
};

}  // namespace pybind11::detail

namespace varnel::bindings {

void bind_geometry(py::module_& module) {
    using foundation::ChassisVelocity;
    using foundation::Pose;

    py::class_<ChassisVelocity> velocity(module, "ChassisVelocity");
    def_record(velocity, field("vx", &ChassisVelocity::vx), field("vy", &ChassisVelocity::vy),
               field("wz", &ChassisVelocity::wz));

    // `position` reads as a read-only 1-D float32 view whose base is the Pose (Eigen's caster of
    // a reference, kept alive by reference_internal), and is written through RealVector3f. Both
    // load numpy at the first access, not at import, so the module works without numpy until
    // `position` is used.
    py::class_<Pose> pose(module, "Pose");
    pose.def(py::init<>())
        .def_property(
            "position",
            py::cpp_function([](const Pose& value) -> const Eigen::Vector3f& { return value.position; },
                             py::is_method(pose)),
            py::cpp_function([](Pose& value, const RealVector3f& position) { value.position = position.vector; },
                             py::is_method(pose)),
            py::return_value_policy::reference_internal)
        .def_readwrite("heading", &Pose::heading);
    def_text_form(pose);
    default_when_uninitialised(pose);
}

}  // namespace varnel::bindings
