// foundation_logging._limits: the native side of foundation_logging.log(), which logs through the
// filtered road from the calling Python file within the limits of its call site.
//
// A module of its own inside the package, because the extension's names are fixed; it links the
// core library as every native peer does, and its limits are those of the VARNEL_LOG_* macros
// (<varnel/logging/limits.hpp>). The call is one vectorcall C function: finding the caller, the
// thresholds and the limits cost no Python frame, tuple or dict.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <exception>
#include <new>
#include <optional>

#include <varnel/logging/filter.hpp>
#include <varnel/logging/limits.hpp>

#include "foundation_logging/call_sites.hpp"
#include "foundation_logging/utf8_text.hpp"

namespace varnel::foundation_logging {
namespace {

using logging::Level;

// foundation.Level and its members in value order: callers pass a member, found by identity.
PyObject* level_type = nullptr;
std::array<PyObject*, 7> level_members{};

// The parameters, in this order. A keyword is looked up by identity first (the compiler interns
// keyword names, and so do we), then as text.
struct Parameter {
    const char* name = nullptr;
    PyObject* interned = nullptr;  // made at import, kept for the process
};
enum Argument { level, message, once, skip_first, every_n, throttle_sec, argument_count };
std::array<Parameter, argument_count> parameters{
    {{"level"}, {"message"}, {"once"}, {"skip_first"}, {"every_n"}, {"throttle_sec"}}};
constexpr Py_ssize_t positional_count = 2;  // the others are keyword-only

const char* type_name(PyObject* object) { return object == Py_None ? "None" : Py_TYPE(object)->tp_name; }

// The place of `keyword` among the parameters; argument_count for an unknown one.
std::size_t slot_of(PyObject* keyword) {
    auto* parameter = std::find_if(parameters.begin(), parameters.end(),
                                  [keyword](const Parameter& known) { return known.interned == keyword; });
    if (parameter == parameters.end()) {  // a name made at run time (**options)
        parameter = std::find_if(parameters.begin(), parameters.end(), [keyword](const Parameter& known) {
            return PyUnicode_CompareWithASCIIString(keyword, known.name) == 0;
        });
    }
    return static_cast<std::size_t>(parameter - parameters.begin());
}

// The arguments of a call, in the order of the parameters (null: not given); false with a
// TypeError set for a call that does not fit the signature.
bool gather(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, std::array<PyObject*, argument_count>& values) {
    if (nargs > positional_count) {
        PyErr_Format(PyExc_TypeError, "log() takes %zd positional arguments but %zd were given", positional_count, nargs);
        return false;
    }
    std::copy(args, args + nargs, values.begin());
    const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        const std::size_t slot = slot_of(keyword);
        if (slot == argument_count) {
            PyErr_Format(PyExc_TypeError, "log() got an unexpected keyword argument '%U'", keyword);
            return false;
        }
        PyObject*& value = values.at(slot);
        if (value != nullptr) {
            PyErr_Format(PyExc_TypeError, "log() got multiple values for argument '%s'", parameters.at(slot).name);
            return false;
        }
        value = args[nargs + k];
    }
    for (const Argument required : {level, message}) {
        if (values.at(required) == nullptr) {
            PyErr_Format(PyExc_TypeError, "log() missing required argument '%s'", parameters.at(required).name);
            return false;
        }
    }
    return true;
}

std::optional<Level> to_level(PyObject* object) {
    auto* const member = std::find(level_members.begin(), level_members.end(), object);
    if (member != level_members.end()) {
        return static_cast<Level>(member - level_members.begin());
    }
    if (PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(level_type)) == 0) {
        PyErr_Format(PyExc_TypeError, "log(): level must be foundation.Level, not %.200s", type_name(object));
        return std::nullopt;
    }
    // A member made afresh (Level(3), an unpickled one): by its number.
    const long value = PyLong_AsLong(object);
    if (value == -1 && PyErr_Occurred() != nullptr) {
        return std::nullopt;
    }
    return static_cast<Level>(value);
}

// A flag: True or False (null, not given: False).
std::optional<bool> to_flag(PyObject* object, Argument argument) {
    if (object == nullptr || object == Py_False) {
        return false;
    }
    if (object == Py_True) {
        return true;
    }
    PyErr_Format(PyExc_TypeError, "log(): %s must be bool, not %.200s", parameters.at(argument).name, type_name(object));
    return std::nullopt;
}

// every_n: None or an integer (an int, or what has __index__, as numpy's) of at least 1 (null, not
// given: 1, every call).
std::optional<std::uint64_t> to_every_n(PyObject* object) {
    if (object == nullptr || object == Py_None) {
        return 1;
    }
    if (!PyIndex_Check(object) || PyBool_Check(object)) {
        PyErr_Format(PyExc_TypeError, "log(): every_n must be int or None, not %.200s", type_name(object));
        return std::nullopt;
    }
    PyObject* number = PyNumber_Index(object);
    if (number == nullptr) {
        return std::nullopt;
    }
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(number, &overflow);
    Py_DECREF(number);
    if (n == -1 && PyErr_Occurred() != nullptr) {
        return std::nullopt;
    }
    if (overflow > 0) {
        return UINT64_MAX;  // more calls than any process makes: only the first writes
    }
    if (overflow < 0 || n < 1) {
        PyErr_Format(PyExc_ValueError, "log(): every_n must be at least 1, not %S", object);
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(n);
}

// throttle_sec: None or a finite number of seconds, at least 0 (null, not given: no throttle).
std::optional<std::chrono::nanoseconds> to_throttle(PyObject* object) {
    if (object == nullptr || object == Py_None) {
        return std::chrono::nanoseconds::zero();
    }
    const double seconds = PyBool_Check(object) ? -1.0 : PyFloat_AsDouble(object);
    if (seconds == -1.0 && PyErr_ExceptionMatches(PyExc_OverflowError) != 0) {
        PyErr_Clear();  // an int too large for a float: longer than any period, only the first line
        return std::chrono::nanoseconds::max();
    }
    if (PyBool_Check(object) || (seconds == -1.0 && PyErr_Occurred() != nullptr)) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "log(): throttle_sec must be a number of seconds or None, not %.200s",
                     type_name(object));
        return std::nullopt;
    }
    if (!std::isfinite(seconds) || seconds < 0.0) {
        PyErr_Format(PyExc_ValueError, "log(): throttle_sec must be finite and at least 0, not %R", object);
        return std::nullopt;
    }
    return logging::throttle_period(std::chrono::duration<double>(seconds));
}

struct Call {
    Level level = Level::info;
    PyObject* message = nullptr;  // a str
    logging::LogLimits limits;
    bool limited = false;  // whether any limit is set
};

// The call's arguments, checked; false with a TypeError or ValueError set.
bool parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Call& call) {
    std::array<PyObject*, argument_count> values{};
    if (!gather(args, nargs, kwnames, values)) {
        return false;
    }
    const auto level = to_level(values[Argument::level]);
    if (!level) {
        return false;
    }
    if (!PyUnicode_Check(values[Argument::message])) {
        PyErr_Format(PyExc_TypeError, "log(): message must be str, not %.200s", type_name(values[Argument::message]));
        return false;
    }
    const auto once = to_flag(values[Argument::once], Argument::once);
    const auto skip_first = once ? to_flag(values[Argument::skip_first], Argument::skip_first) : std::nullopt;
    const auto every_n = skip_first ? to_every_n(values[Argument::every_n]) : std::nullopt;
    const auto throttle = every_n ? to_throttle(values[Argument::throttle_sec]) : std::nullopt;
    if (!throttle) {
        return false;
    }
    call.level = *level;
    call.message = values[Argument::message];
    call.limits.skip_first = *skip_first;
    call.limits.every_n = *every_n;
    call.limits.throttle = *throttle;
    call.limits.once = *once;
    call.limited = *once || *skip_first || *every_n > 1 || *throttle > std::chrono::nanoseconds::zero();
    return true;
}

// Sets the Python error for the exception being handled.
void raise_current_exception() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "log(): unknown C++ exception");
    }
}

// Writes the line without the interpreter lock: writing may block (a console nobody reads, a slow
// disk), and threads that do not log must run meanwhile. No guard object: taking the lock back may
// end a daemon thread at interpreter exit by unwinding it, which must not pass through a destructor.
void write_line(Level level, const char* path, PyObject* message, std::uint64_t suppressed) {
    const Utf8Text text(message);
    PyThreadState* const thread = PyEval_SaveThread();
    std::exception_ptr failure;
    try {
        logging::log_from_site(level, path, text.view(), suppressed);
    } catch (...) {
        failure = std::current_exception();
    }
    PyEval_RestoreThread(thread);
    if (failure) {
        std::rethrow_exception(failure);
    }
}

PyObject* log(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Call call;
    if (!parse(args, nargs, kwnames, call)) {
        return nullptr;
    }
    try {
        Caller caller;
        std::uint64_t suppressed = 0;
        if (call.limited) {
            logging::LogSite& site = caller.site();
            if (call.limits.once && site.spent()) {
                Py_RETURN_NONE;
            }
            if (!logging::is_enabled_for(call.level, caller.path())) {
                Py_RETURN_NONE;
            }
            const auto admitted = site.admit(call.limits);
            if (!admitted) {
                Py_RETURN_NONE;
            }
            suppressed = *admitted;
        } else if (!logging::is_enabled_for(call.level, caller.path())) {
            Py_RETURN_NONE;
        }
        write_line(call.level, caller.path(), call.message, suppressed);
    } catch (...) {
        // Not a C++ exception: the forced unwind by which the interpreter ends a daemon thread at
        // exit. It must go on unwinding. (Catching it by its type binds a reference to no object.)
        if (!std::current_exception()) {
            throw;
        }
        raise_current_exception();
        return nullptr;
    }
    Py_RETURN_NONE;
}

// foundation.Level and its members; false with a Python error set.
bool find_levels() {
    PyObject* foundation = PyImport_ImportModule("foundation");
    if (foundation == nullptr) {
        return false;
    }
    level_type = PyObject_GetAttrString(foundation, "Level");
    Py_DECREF(foundation);
    if (level_type == nullptr) {
        return false;
    }
    constexpr std::array<const char*, level_members.size()> names{"trace", "debug", "info", "warn",
                                                                  "error", "critical", "off"};
    auto* member = level_members.begin();
    for (const char* name : names) {
        *member = PyObject_GetAttrString(level_type, name);  // kept for the process
        if (*member++ == nullptr) {
            return false;
        }
    }
    return true;
}

bool intern_names() {
    for (auto& parameter : parameters) {
        parameter.interned = PyUnicode_InternFromString(parameter.name);
        if (parameter.interned == nullptr) {
            return false;
        }
    }
    return true;
}

PyMethodDef methods[] = {
    {"log", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&log)), METH_FASTCALL | METH_KEYWORDS,
     "log($module, level, message, *, once=False, skip_first=False, every_n=None, throttle_sec=None)\n--\n\n"
     "Log `message` at `level` from the calling file, within the limits of this call site.\n\n"
     "The call takes foundation's filtered road with the caller's file as the path, so the\n"
     "thresholds decide first: a call below its threshold does nothing, not even count. It is\n"
     "silent while logging is not running.\n\n"
     "The limits belong to the call site, the calling code and line, shared by the threads that\n"
     "call it. Those given apply in this order, each to the calls the one before let through:\n"
     "  skip_first=True  the site's first call is held back;\n"
     "  every_n=N        the 1st, (N+1)th, (2N+1)th ... call goes on;\n"
     "  throttle_sec=T   a call goes on when at least T seconds have passed, on the monotonic\n"
     "                   clock, since the site's last line (the first goes on);\n"
     "  once=True        only the first call goes on: the site writes one line, ever.\n"
     "A line written after the site held calls back ends with \" (N suppressed)\", N the number\n"
     "of calls held back since its last line.\n\n"
     "Raises TypeError for a level that is not a Level, a message that is not str, a flag that\n"
     "is not bool; ValueError for every_n below 1, throttle_sec negative or not finite."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "foundation_logging._limits",
    "The native side of foundation_logging.log().",
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace varnel::foundation_logging

PyMODINIT_FUNC PyInit__limits() {  // NOLINT(bugprone-reserved-identifier): the name CPython looks for
    using namespace varnel::foundation_logging;
    if (!find_levels() || !intern_names() || !reserve_code_slot()) {
        return nullptr;
    }
    return PyModule_Create(&definition);
}
