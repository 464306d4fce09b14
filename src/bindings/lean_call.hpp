#pragma once
// Lean entry points for the calls that run in tight loops (PidController.update, _log_filtered).
//
// Most of the time of such a call goes to pybind11's dispatcher: an argument tuple, a pass over
// the overloads with and without conversions, each argument loaded through the type registry. A
// lean entry is a vectorcall C function that serves the ordinary call itself (arguments of the
// exact types, by position or by keyword) and hands every other call, unchanged, to the pybind11
// function it stands in front of, so conversions, keyword handling and error messages stay
// pybind11's. It keeps the pybind11 function's name and docstring (so __doc__ is the same). A
// module function stays a builtin function with the same __self__, __module__ and __qualname__.
// A method becomes a method descriptor, as the methods of built-in types are, instead of
// pybind11's instancemethod wrapper: that spares a bound-method object per call, which costs as
// much as the rest of the call. Its __qualname__ then reads "PidController.update" rather than
// "PyCapsule.update", and an unbound call with an instance of another class is refused by Python's
// own check (still a TypeError, with Python's message).
//
// The argument names are written once, in the entry: def_lean() declares the pybind11 function's
// arguments from them, so a keyword call means the same to both.

#include <algorithm>
#include <array>
#include <cstddef>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/pybind11.h>

// The entries reach into pybind11's internals (the instance layout, type_info, the function
// objects it creates): a new pybind11 version needs a review of this file first.
static_assert(PYBIND11_VERSION_MAJOR == 2 && PYBIND11_VERSION_MINOR == 13,
              "lean_call.hpp is written for pybind11 2.13");

namespace varnel::bindings {

/// A lean entry is a class with
///   static constexpr std::array<const char*, N> arguments;  // the argument names, in order
///   static PyObject* serve(PyObject* self, const std::array<PyObject*, N>& values);
/// serve() gets the instance (null for a module function) and the arguments in the order of
/// `arguments`, and returns a new reference; or null with a Python error set when the call
/// failed; or null without an error to hand the call to the pybind11 function.
///
/// def_lean<Entry>() binds `function` as `name` in `scope` (a module or a class) with the
/// argument names of `Entry` and the further pybind11 attributes `extra` (a docstring), then puts
/// the entry in front of it.
template <class Entry, class Scope, class Function, class... Extra>
void def_lean(Scope& scope, const char* name, Function&& function, const Extra&... extra);

/// The arguments of a call, by position and by keyword, in the order of `names`. False for any
/// other call (too many or too few, unknown or repeated names): pybind11 then reports it.
template <std::size_t N>
bool resolve_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       const std::array<const char*, N>& names, std::array<PyObject*, N>& values) {
    if (nargs > static_cast<Py_ssize_t>(N)) {
        return false;
    }
    values = {};
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        values[i] = args[i];
    }
    const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        std::size_t slot = 0;
        while (slot < N && PyUnicode_CompareWithASCIIString(keyword, names[slot]) != 0) {
            ++slot;
        }
        if (slot == N || values[slot] != nullptr) {
            return false;
        }
        values[slot] = args[nargs + k];
    }
    return nargs + keywords == static_cast<Py_ssize_t>(N);
}

/// The C++ value of `object` when it is an instance of exactly the bound class `type` (not a
/// subclass) and holds a value; null otherwise, and for a null `object`.
template <class T>
T* exact_value(PyObject* object, const pybind11::detail::type_info* type) {
    if (object == nullptr || Py_TYPE(object) != type->type) {
        return nullptr;
    }
    auto* instance = reinterpret_cast<pybind11::detail::instance*>(object);
    return static_cast<T*>(instance->get_value_and_holder(type, false).value_ptr());
}

/// Runs `body` and returns None, or raises the Python error pybind11 raises for its exception.
template <class Body>
PyObject* none_or_raise(Body&& body) {
    try {
        body();
    } catch (pybind11::error_already_set& error) {
        error.restore();
        return nullptr;
    } catch (...) {
        // Not a C++ exception: the forced unwind by which the interpreter ends a thread at exit. It
        // must go on unwinding. (Catching it by its type binds a reference to no object.)
        if (!std::current_exception()) {
            throw;
        }
        pybind11::detail::try_translate_exceptions();
        return nullptr;
    }
    Py_RETURN_NONE;
}

namespace detail {

template <class Entry>
struct LeanEntry {
    static inline PyMethodDef definition{};      // the pybind11 function's name and docstring
    static inline PyObject* fallback = nullptr;  // the pybind11 function; kept for the process

    // The entry's answer, or null without an error for a call it leaves to pybind11.
    static PyObject* serve(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        std::array<PyObject*, Entry::arguments.size()> values{};
        return resolve_arguments(args, nargs, kwnames, Entry::arguments, values) ? Entry::serve(self, values)
                                                                                  : nullptr;
    }

    // A module function: the arguments go to the pybind11 function as they came.
    static PyObject* call(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        PyObject* result = serve(nullptr, args, nargs, kwnames);
        if (result != nullptr || PyErr_Occurred() != nullptr) {
            return result;
        }
        return PyObject_Vectorcall(fallback, args, static_cast<std::size_t>(nargs), kwnames);
    }

    // A method: the pybind11 function takes the instance as its first argument.
    static PyObject* call_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        PyObject* result = serve(self, args, nargs, kwnames);
        if (result != nullptr || PyErr_Occurred() != nullptr) {
            return result;
        }
        const Py_ssize_t count = nargs + (kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0);
        std::vector<PyObject*> with_self(static_cast<std::size_t>(count) + 1);
        with_self[0] = self;
        std::copy(args, args + count, with_self.begin() + 1);
        return PyObject_Vectorcall(fallback, with_self.data(), static_cast<std::size_t>(nargs) + 1, kwnames);
    }
};

// Puts the lean entry in front of the pybind11 function bound as `name` in `scope`.
template <class Entry>
void install_lean_call(pybind11::handle scope, const char* name) {
    namespace py = pybind11;
    using Lean = LeanEntry<Entry>;
    // From the dict: pybind11 binds a method as an instancemethod around the function.
    const py::object bound = scope.attr("__dict__")[name];
    const bool is_method = PyInstanceMethod_Check(bound.ptr());
    PyObject* function = is_method ? PyInstanceMethod_GET_FUNCTION(bound.ptr()) : bound.ptr();
    if (!PyCFunction_Check(function)) {
        py::pybind11_fail(std::string("install_lean_call: ") + name + " is not a bound function");
    }
    const auto* original = reinterpret_cast<PyCFunctionObject*>(function);

    auto* const entry = is_method ? &Lean::call_method : &Lean::call;
    Lean::definition = {original->m_ml->ml_name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry)),
                        METH_FASTCALL | METH_KEYWORDS, original->m_ml->ml_doc};
    Py_XDECREF(Lean::fallback);
    Lean::fallback = py::reinterpret_borrow<py::object>(function).release().ptr();

    // A module function keeps the original's __self__ (pybind11's function record) and __module__.
    auto lean_function = py::reinterpret_steal<py::object>(
        is_method ? PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(scope.ptr()), &Lean::definition)
                  : PyCFunction_NewEx(&Lean::definition, original->m_self, original->m_module));
    if (!lean_function) {
        throw py::error_already_set();
    }
    py::setattr(scope, name, lean_function);
}

template <class Scope, class Function, std::size_t N, std::size_t... I, class... Extra>
void def_named(Scope& scope, const char* name, Function&& function, const std::array<const char*, N>& names,
               std::index_sequence<I...> /*indices*/, const Extra&... extra) {
    scope.def(name, std::forward<Function>(function), pybind11::arg(names[I])..., extra...);
}

}  // namespace detail

template <class Entry, class Scope, class Function, class... Extra>
void def_lean(Scope& scope, const char* name, Function&& function, const Extra&... extra) {
    detail::def_named(scope, name, std::forward<Function>(function), Entry::arguments,
                      std::make_index_sequence<Entry::arguments.size()>{}, extra...);
    detail::install_lean_call<Entry>(scope, name);
}

}  // namespace varnel::bindings
