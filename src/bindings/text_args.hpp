#pragma once
// String arguments read in place from CPython's cached UTF-8 form of a str, without a copy.
// Only str is accepted (bytes and other objects get the standard argument-mismatch TypeError,
// as do strings that cannot be encoded, such as lone surrogates). Both show as `str` in
// signatures.

#include <cstddef>
#include <string>
#include <string_view>

#include <pybind11/pybind11.h>

namespace varnel::bindings {

/// A str argument: the whole UTF-8 text, NUL characters included.
struct Utf8Text {
    std::string_view text;
    std::string str() const { return std::string(text); }
};

/// A str argument that lets None through as a missing text, as C strings do.
struct NullableCText {
    const char* c_str = nullptr;  // NUL-terminated (read as a C string, it ends at a NUL); null for None
    std::size_t size = 0;         // bytes of the whole text

    /// The whole text, NUL characters included.
    std::string_view text() const noexcept { return {c_str, size}; }
};

}  // namespace varnel::bindings

namespace pybind11::detail {

template <class Text>
struct utf8_text_caster {
    PYBIND11_TYPE_CASTER(Text, const_name("str"));

    bool load(handle source, bool convert) {
        if constexpr (std::is_same_v<Text, varnel::bindings::NullableCText>) {
            if (source.is_none()) {
                value = {};
                return convert;  // like char*, None passes only on the converting pass
            }
        }
        if (!PyUnicode_Check(source.ptr())) {
            return false;
        }
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(source.ptr(), &size);
        if (data == nullptr) {
            PyErr_Clear();
            return false;
        }
        if constexpr (std::is_same_v<Text, varnel::bindings::NullableCText>) {
            value = {data, static_cast<std::size_t>(size)};
        } else {
            value = {std::string_view(data, static_cast<std::size_t>(size))};
        }
        return true;
    }

    static handle cast(const Text&, return_value_policy, handle) = delete;
};

template <>
struct type_caster<varnel::bindings::Utf8Text> : utf8_text_caster<varnel::bindings::Utf8Text> {};
template <>
struct type_caster<varnel::bindings::NullableCText> : utf8_text_caster<varnel::bindings::NullableCText> {};

}  // namespace pybind11::detail
