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

// Single-phase initialisation. Everything the module keeps is process-wide, and it lives in the
// main interpreter only. The per-module state size is 0, not -1: with -1 CPython would copy the
// first module's dict into another interpreter without calling the entry point, sharing classes
// across interpreters; with 0 it calls the entry point, which refuses. The docstring is set by the
// module body, and every function is added by a registration function.
PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "foundation", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr};

// The module made by the first import. The classes are registered once per process, so an
// import again in the main interpreter (after `del sys.modules["foundation"]`) gets this one back.
PyObject* first_module = nullptr;

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
    // Before pybind11 touches anything: its type registry and the module's classes belong to the
    // main interpreter.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError,
                        "foundation supports the main interpreter only: it cannot be imported in a subinterpreter");
        return nullptr;
    }
    if (first_module != nullptr) {
        return Py_NewRef(first_module);
    }
    PYBIND11_ENSURE_INTERNALS_READY
    auto module = py::reinterpret_steal<py::module_>(PyModule_Create2(&module_definition, PYTHON_API_VERSION));
    if (!module) {
        return nullptr;
    }
    // On failure `module` releases the partly filled module, so the import leaves nothing behind.
    try {
        init_foundation_module(module);
        first_module = Py_NewRef(module.ptr());  // kept for the process, as its classes are
        return module.release().ptr();
    } catch (py::error_already_set& error) {
        py::raise_from(error, PyExc_ImportError, "initialization failed");
    } catch (const std::exception& error) {
        py::set_error(PyExc_ImportError, error.what());
    }
    return nullptr;
}
