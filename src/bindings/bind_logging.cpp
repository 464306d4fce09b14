#include <varnel/logging/filter.hpp>
#include <varnel/logging/lifecycle.hpp>
#include <varnel/logging/pattern_flags.hpp>

#include "bindings/bindings.hpp"
#include "bindings/lean_call.hpp"
#include "bindings/python_stack.hpp"
#include "bindings/text_args.hpp"
#include "bindings/uninitialised.hpp"

namespace py = pybind11;

namespace varnel::bindings {
namespace {

using logging::Level;

// A message argument must be text: None is refused rather than written as nothing.
void require_message(const NullableCText& message, const char* function) {
    if (message.c_str == nullptr) {
        throw py::type_error(std::string(function) + "(): message must be str, not None");
    }
}

// The direct message functions: no thresholds, blank source column; they raise while no logger exists.
struct DirectFunction {
    const char* name;
    spdlog::level::level_enum level;
};
constexpr DirectFunction direct_functions[] = {
    {"debug", spdlog::level::debug}, {"info", spdlog::level::info}, {"warn", spdlog::level::warn},
    {"error", spdlog::level::err}};

// Runs `body` without the interpreter lock: writing a line may block (a console nobody reads, a
// slow disk), and threads that do not log must keep running meanwhile. No RAII guard: taking the
// lock back may end a daemon thread at interpreter exit by unwinding it, which must not pass
// through a destructor.
template <class Body>
void without_gil(Body&& body) {
    PyThreadState* const thread = PyEval_SaveThread();
    try {
        body();
    } catch (...) {
        PyEval_RestoreThread(thread);
        throw;
    }
    PyEval_RestoreThread(thread);
}

void log_filtered(Level level, NullableCText filepath, NullableCText message) {
    require_message(message, "_log_filtered");
    // The decision keeps the interpreter lock: a dropped line costs no switch.
    if (logging::is_enabled_for(level, filepath.c_str)) {
        without_gil([&] { logging::log_from_file(level, filepath.c_str, message.text()); });
    }
}

const py::detail::type_info* level_type = nullptr;  // set by bind_logging

// _log_filtered(level, filepath, message) with a Level and two str; any other call goes to
// pybind11. The texts are read in place, as the pybind11 binding reads them: the message whole,
// the path as the C string it is in the native API (up to a NUL, which no file path holds).
struct LeanLogFiltered {
    static constexpr std::array<const char*, 3> arguments{"level", "filepath", "message"};

    static PyObject* serve(PyObject* /*self*/, const std::array<PyObject*, 3>& values) {
        const Level* level = exact_value<Level>(values[0], level_type);
        if (level == nullptr || !PyUnicode_Check(values[1]) || !PyUnicode_Check(values[2])) {
            return nullptr;
        }
        const char* filepath = PyUnicode_AsUTF8(values[1]);
        Py_ssize_t message_size = 0;
        const char* message = filepath != nullptr ? PyUnicode_AsUTF8AndSize(values[2], &message_size) : nullptr;
        if (message == nullptr) {  // not encodable: pybind11 raises its TypeError
            PyErr_Clear();
            return nullptr;
        }
        return none_or_raise(
            [&] { log_filtered(*level, {filepath}, {message, static_cast<std::size_t>(message_size)}); });
    }
};

}  // namespace

void bind_logging(py::module_& module) {
    register_python_stack_writer();  // for the record of a fatal signal
    py::enum_<Level> levels(module, "Level");
    levels.value("trace", Level::trace)
        .value("debug", Level::debug)
        .value("info", Level::info)
        .value("warn", Level::warn)
        .value("error", Level::error)
        .value("critical", Level::critical)
        .value("off", Level::off);
    refuse_when_uninitialised(levels);  // a Level is one of its members

    // Both write (the start-up line, the report of lost lines): without the interpreter lock too.
    module.def(
        "initialize_logging", [] { without_gil(logging::init); }, "Initialize and enable the logging system");
    module.def(
        "shutdown_logging", [] { without_gil(logging::shutdown); },
        "Flush and tear down the logger so that no further log calls touch spdlog");
    module.def("initialize_timer", &logging::initialize_timer, "Initialize the timer for elapsed time logging");
    module.def("set_global_level", &logging::set_global_level, py::arg("level"), R"(
        Set the global runtime log level. Messages below this level are filtered.

        Args:
            level: The minimum log level to display (e.g., Level.trace, Level.debug, Level.info)
    )");
    module.def(
        "set_file_level", [](Utf8Text filename, Level level) { logging::set_file_level(filename.str(), level); },
        py::arg("filename"), py::arg("level"), R"(
        Set the log level for a specific source file (by basename).

        Args:
            filename: The source file basename (e.g., "fused_odometry.cpp")
            level: The minimum log level for this file
    )");
    module.def(
        "clear_file_level", [](Utf8Text filename) { logging::clear_file_level(filename.str()); },
        py::arg("filename"), R"(
        Remove the log level filter for a specific source file.

        Args:
            filename: The source file basename to clear
    )");
    module.def("clear_filters", &logging::clear_filters, R"(
        Clear all file-specific filters and reset global level to INFO.
    )");
    for (const auto& [name, level] : direct_functions) {
        const std::string doc = std::string("\n        Log a message with severity level ") + name + "\n    ";
        module.def(
            name,
            [name = name, level = level](NullableCText message) {
                require_message(message, name);
                const auto logger = logging::core();
                without_gil([&] { logger->log(level, message.text()); });
            },
            py::arg("message"), doc.c_str());
    }
    module.def(
        "set_package_level",
        [](Utf8Text package, Level level) { logging::set_package_level(package.str(), level); },
        py::arg("package"), py::arg("level"), R"(
        Set the log level for all source files whose path contains the given substring.

        Package filters are checked after file-specific filters (set_file_level).
        Use path fragments like "varnel-motion" (C++ module) or "varnel/step/motion"
        (Python package) to match groups of files.

        Args:
            package: A substring to match against the full source file path
            level: The minimum log level for matching files
    )");
    module.def(
        "clear_package_level", [](Utf8Text package) { logging::clear_package_level(package.str()); },
        py::arg("package"), R"(
        Remove the log level filter for a package substring.

        Args:
            package: The package substring to clear
    )");
    level_type = py::detail::get_type_info(typeid(Level));
    def_lean<LeanLogFiltered>(module, "_log_filtered", &log_filtered, R"(
        Log a message with file-based filtering (internal use).

        Checks is_enabled_for(level, filepath) before logging, supporting both
        per-file filtering (set_file_level) and package filtering (set_package_level).

        Args:
            level: The log level
            filepath: The full source file path (used for filtering and display)
            message: The log message
    )");
}

}  // namespace varnel::bindings
