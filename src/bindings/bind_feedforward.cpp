#include <pybind11/stl.h>

#include <varnel/foundation/feedforward.hpp>

#include "bindings/bindings.hpp"
#include "bindings/record.hpp"
#include "bindings/uninitialised.hpp"

namespace py = pybind11;

namespace varnel::bindings {

void bind_feedforward(py::module_& module) {
    using foundation::Feedforward;
    using foundation::FeedforwardController;
    using foundation::MotorCalibration;
    using foundation::PidGains;

    py::class_<PidGains> gains(module, "PidGains");
    def_record(gains, field("kp", &PidGains::kp), field("ki", &PidGains::ki), field("kd", &PidGains::kd));

    py::class_<Feedforward> feedforward(module, "Feedforward");
    def_record(feedforward, field("kS", &Feedforward::kS), field("kV", &Feedforward::kV),
               field("kA", &Feedforward::kA));

    // Reading `pid` gives None or a PidGains that refers to the gains inside the calibration
    // and keeps it alive (the optional caster keeps def_readwrite's reference_internal);
    // assigning copies in, None empties it.
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

    // `config` reads as a view into the controller (reference_internal) and assigns by copy.
    py::class_<FeedforwardController> controller(module, "FeedforwardController");
    controller.def(py::init<const Feedforward&>(), py::arg("config") = Feedforward{})
        .def_readwrite("config", &FeedforwardController::config)
        .def("calculate", &FeedforwardController::calculate, py::arg("velocity"), py::arg("acceleration") = 0.0);
    default_when_uninitialised(controller);
}

}  // namespace varnel::bindings
