#include <varnel/foundation/pid.hpp>

#include "bindings/bindings.hpp"
#include "bindings/lean_call.hpp"
#include "bindings/text_form.hpp"
#include "bindings/uninitialised.hpp"

namespace py = pybind11;

namespace varnel::bindings {
namespace {

const py::detail::type_info* pid_controller_type = nullptr;  // set by bind_pid

// pid.update(error, dt) with two floats; any other call goes to pybind11.
struct LeanUpdate {
    static constexpr std::array<const char*, 2> arguments{"error", "dt"};

    static PyObject* serve(PyObject* self, const std::array<PyObject*, 2>& values) {
        auto* pid = exact_value<foundation::PidController>(self, pid_controller_type);
        if (pid == nullptr || !PyFloat_Check(values[0]) || !PyFloat_Check(values[1])) {
            return nullptr;
        }
        return PyFloat_FromDouble(pid->update(PyFloat_AS_DOUBLE(values[0]), PyFloat_AS_DOUBLE(values[1])));
    }
};

}  // namespace

void bind_pid(py::module_& module) {
    using foundation::PidConfig;
    using foundation::PidController;

    const PidConfig defaults;
    py::class_<PidConfig> config(module, "PidConfig");
    config
        .def(py::init([](double kp, double ki, double kd, double integral_max, double integral_deadband,
                         double derivative_lpf_alpha, double output_min, double output_max) {
                 return PidConfig{kp, ki, kd, integral_max, integral_deadband, derivative_lpf_alpha,
                                  output_min, output_max};
             }),
             py::arg("kp") = defaults.kp, py::arg("ki") = defaults.ki, py::arg("kd") = defaults.kd,
             py::arg("integral_max") = defaults.integral_max,
             py::arg("integral_deadband") = defaults.integral_deadband,
             py::arg("derivative_lpf_alpha") = defaults.derivative_lpf_alpha,
             py::arg("output_min") = defaults.output_min, py::arg("output_max") = defaults.output_max)
        .def_readwrite("kp", &PidConfig::kp)
        .def_readwrite("ki", &PidConfig::ki)
        .def_readwrite("kd", &PidConfig::kd)
        .def_readwrite("integral_max", &PidConfig::integral_max)
        .def_readwrite("integral_deadband", &PidConfig::integral_deadband)
        .def_readwrite("derivative_lpf_alpha", &PidConfig::derivative_lpf_alpha)
        .def_readwrite("output_min", &PidConfig::output_min)
        .def_readwrite("output_max", &PidConfig::output_max);
    def_text_form(config);
    default_when_uninitialised(config);

    py::class_<PidController> controller(module, "PidController");
    pid_controller_type = py::detail::get_type_info(typeid(PidController));
    controller.def(py::init<const PidConfig&>(), py::arg("config") = defaults);
    def_lean<LeanUpdate>(controller, "update", &PidController::update);
    controller.def("reset", &PidController::reset)
        .def("set_gains", &PidController::set_gains, py::arg("kp"), py::arg("ki"), py::arg("kd"))
        .def_property_readonly("integral", &PidController::integral)
        .def_property_readonly("derivative", &PidController::derivative);
    default_when_uninitialised(controller);
}

}  // namespace varnel::bindings
