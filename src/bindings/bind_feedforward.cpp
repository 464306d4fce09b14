#include <cstdint>
#include <stdexcept>

#include <pybind11/stl.h>

#include <varnel/foundation/feedforward.hpp>

#include "bindings/bindings.hpp"
#include "bindings/record.hpp"
#include "bindings/uninitialised.hpp"

namespace py = pybind11;

namespace varnel::bindings {
namespace {

using foundation::MotorCalibration;
using foundation::PidGains;

const py::detail::type_info* gains_type = nullptr;        // set by bind_feedforward
const py::detail::type_info* calibration_type = nullptr;  // set by bind_feedforward

// Reading `MotorCalibration.pid` gives a view into the calibration's optional gains, which
// pybind11 records as kept alive by (a patient of) the view. Once the calibration has no gains,
// the view must not touch the empty optional: this throws when `gains`, whose PidGains is at
// `value`, is such a view of a calibration without gains.
void refuse_stale_calibration_view(py::handle gains, const void* value) {
    if (!PyObject_TypeCheck(gains.ptr(), gains_type->type) ||
        !reinterpret_cast<py::detail::instance*>(gains.ptr())->has_patients) {
        return;  // owns its value, or came by a conversion
    }
    const auto& patients = py::detail::get_internals().patients;
    const auto found = patients.find(gains.ptr());
    if (found == patients.end()) {
        return;
    }
    const auto at = reinterpret_cast<std::uintptr_t>(value);
    for (PyObject* patient : found->second) {
        if (!PyObject_TypeCheck(patient, calibration_type->type)) {
            continue;
        }
        auto* owner = reinterpret_cast<py::detail::instance*>(patient);
        const auto* calibration =
            static_cast<const MotorCalibration*>(owner->get_value_and_holder(calibration_type).value_ptr());
        const auto storage = reinterpret_cast<std::uintptr_t>(&calibration->pid);
        if (at >= storage && at < storage + sizeof calibration->pid && !calibration->pid.has_value()) {
            throw std::runtime_error("MotorCalibration.pid is None");
        }
    }
}

}  // namespace
}  // namespace varnel::bindings

// Every conversion of a PidGains argument checks for a stale view first: the fields, the text
// form, and passing the view on to a function alike.
namespace pybind11::detail {
template <>
class type_caster<varnel::foundation::PidGains> : public type_caster_base<varnel::foundation::PidGains> {
public:
    bool load(handle source, bool convert) {
        if (!type_caster_base::load(source, convert)) {
            return false;
        }
        varnel::bindings::refuse_stale_calibration_view(source, value);
        return true;
    }
};
}  // namespace pybind11::detail

namespace varnel::bindings {

void bind_feedforward(py::module_& module) {
    using foundation::Feedforward;
    using foundation::FeedforwardController;

    py::class_<PidGains> gains(module, "PidGains");
    def_record(gains, field("kp", &PidGains::kp), field("ki", &PidGains::ki), field("kd", &PidGains::kd));

    py::class_<Feedforward> feedforward(module, "Feedforward");
    def_record(feedforward, field("kS", &Feedforward::kS), field("kV", &Feedforward::kV),
               field("kA", &Feedforward::kA));

    // Reading `pid` gives None or a PidGains that refers to the gains inside the calibration
    // and keeps it alive (the optional caster keeps def_readwrite's reference_internal);
    // assigning copies in, None empties it. A view taken earlier refuses every use while the
    // calibration has no gains (see the PidGains caster above).
    py::class_<MotorCalibration> calibration(module, "MotorCalibration");
    calibration.def(py::init<>())
        .def(py::init<double, double>(), py::arg("ticks_to_rad"), py::arg("vel_lpf_alpha"))
        .def(py::init<double, double, std::optional<PidGains>>(), py::arg("ticks_to_rad"),
             py::arg("vel_lpf_alpha"), py::arg("pid") = py::none())
        .def_readwrite("ticks_to_rad", &MotorCalibration::ticks_to_rad)
        .def_readwrite("vel_lpf_alpha", &MotorCalibration::vel_lpf_alpha)
        .def_readwrite("pid", &MotorCalibration::pid);
    def_text_form(calibration);
    default_when_uninitialised(calibration);
    gains_type = py::detail::get_type_info(typeid(PidGains));
    calibration_type = py::detail::get_type_info(typeid(MotorCalibration));

    // `config` reads as a view into the controller (reference_internal) and assigns by copy.
    py::class_<FeedforwardController> controller(module, "FeedforwardController");
    controller.def(py::init<const Feedforward&>(), py::arg("config") = Feedforward{})
        .def_readwrite("config", &FeedforwardController::config)
        .def("calculate", &FeedforwardController::calculate, py::arg("velocity"), py::arg("acceleration") = 0.0);
    default_when_uninitialised(controller);
}

}  // namespace varnel::bindings
