#pragma once
// Binds a record's text form as both __repr__ and __str__.

#include <pybind11/pybind11.h>

#include <varnel/foundation/text_form.hpp>

namespace varnel::bindings {

/// `__str__` is the very same method object as `__repr__`.
template <class T, class... Options>
void def_text_form(pybind11::class_<T, Options...>& cls) {
    cls.def("__repr__", &foundation::text_form<T>);
    // Taken from the class dict: attribute access would unwrap the method into a plain function.
    cls.attr("__str__") = cls.attr("__dict__")["__repr__"];
}

}  // namespace varnel::bindings
