#pragma once
// Instances made by `T.__new__(T)` without `__init__`. pybind11 gives such an instance its value
// at its first use, through the class's allocation hook, which by default returns raw memory.
// Each bound class sets the hook to one of the two below, so that no use ever reads garbage.

#include <cstddef>
#include <new>
#include <string>
#include <type_traits>
#include <typeinfo>

#include <pybind11/pybind11.h>

namespace varnel::bindings {
namespace detail {

inline pybind11::detail::type_info& registered_type(const std::type_info& type) {
    return *pybind11::detail::get_type_info(type, /*throw_if_missing=*/true);
}

}  // namespace detail

/// An instance of `cls` made without `__init__` holds a default-constructed value.
template <class T, class... Options>
void default_when_uninitialised(const pybind11::class_<T, Options...>& /*cls*/) {
    // pybind11 frees a value that no holder owns with operator delete, without its destructor.
    static_assert(std::is_trivially_destructible_v<T>, "the value must need no destructor");
    detail::registered_type(typeid(T)).operator_new = [](std::size_t size) -> void* {
        return new (::operator new(size)) T();
    };
}

/// Every use of an instance of `cls` made without `__init__` raises TypeError.
template <class T, class... Options>
void refuse_when_uninitialised(const pybind11::class_<T, Options...>& /*cls*/) {
    detail::registered_type(typeid(T)).operator_new = [](std::size_t) -> void* {
        throw pybind11::type_error(std::string(detail::registered_type(typeid(T)).type->tp_name) +
                                   " object was made by __new__ without __init__: it holds no value");
    };
}

}  // namespace varnel::bindings
