// The extension's entry point: version check, module creation, registration in fixed order.

#include <pybind11/pybind11.h>

#include "bindings/bindings.hpp"
#include "module/python_version.hpp"

namespace py = pybind11;

namespace varnel::module {
namespace {

constexpr const char* module_doc = "Python bindings for varnel-foundation";

// The module body. Throws on failure; the entry point turns that into ImportError.
void init_foundation_module(py::module_& module) {
    module.attr("__doc__") = py::str(module_doc);
    bindings::bind_pid(module);
    bindings::bind_logging(module);
    bindings::bind_feedforward(module);
    bindings::bind_geometry(module);
    bindings::bind_speed_mode(module);
    bindings::bind_transport(module);
}

// Single-phase initialisation without per-module state (size -1): everything is process-wide.
// The docstring is set by the module body, and every function is added by a registration function.
PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "foundation", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace varnel::module

extern "C" PYBIND11_EXPORT PyObject* PyInit_foundation() {
    using namespace varnel::module;
    const char* running = Py_GetVersion();
    if (!is_expected_python_version(running)) {
        PyErr_Format(PyExc_ImportError,
                     "Python version mismatch: module was compiled for Python %s, "
                     "but the interpreter version is incompatible: %s.",
                     expected_python_version, running);
        return nullptr;
    }
    PYBIND11_ENSURE_INTERNALS_READY
    auto module = py::reinterpret_steal<py::module_>(PyModule_Create2(&module_definition, PYTHON_API_VERSION));
    if (!module) {
        return nullptr;
    }
    // On failure `module` releases the partly filled module, so the import leaves nothing behind.
    try {
        init_foundation_module(module);
        return module.release().ptr();
    } catch (py::error_already_set& error) {
        py::raise_from(error, PyExc_ImportError, "initialization failed");
    } catch (const std::exception& error) {
        py::set_error(PyExc_ImportError, error.what());
    }
    return nullptr;
}
