#pragma once
// Binds a plain value record whose Python surface is the usual one: a constructor without
// arguments, a constructor taking every field (all required, by position or keyword), each field
// as a read/write property, and the text form. An instance made without __init__ holds the defaults.

#include <pybind11/pybind11.h>

#include "bindings/text_form.hpp"
#include "bindings/uninitialised.hpp"

namespace varnel::bindings {

/// A field of record `T`: its Python name and its member.
template <class T, class Member>
struct Field {
    const char* name;
    Member T::*member;
};

template <class T, class Member>
Field<T, Member> field(const char* name, Member T::*member) {
    return {name, member};
}

/// `fields` must list every field of `T` in declared order: the full constructor initialises
/// the aggregate from them positionally.
template <class T, class... Options, class... Members>
void def_record(pybind11::class_<T, Options...>& cls, Field<T, Members>... fields) {
    cls.def(pybind11::init<>());
    cls.def(pybind11::init<Members...>(), pybind11::arg(fields.name)...);
    (cls.def_readwrite(fields.name, fields.member), ...);
    def_text_form(cls);
    default_when_uninitialised(cls);
}

}  // namespace varnel::bindings
