#pragma once
// The UTF-8 text of a Python str, for the log: read in place, or, when UTF-8 cannot encode it (the
// lone surrogates os.fsdecode makes of undecodable bytes), a copy with those written as backslash
// escapes ("\udcff"), so that no text is refused.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <string>
#include <string_view>

namespace varnel::foundation_logging {

class Utf8Text {
public:
    /// `text` must be a str. Throws std::bad_alloc.
    explicit Utf8Text(PyObject* text) {
        Py_ssize_t size = 0;
        if (const char* data = PyUnicode_AsUTF8AndSize(text, &size)) {
            view_ = {data, static_cast<std::size_t>(size)};
            return;
        }
        PyErr_Clear();
        PyObject* escaped = PyUnicode_AsEncodedString(text, "utf-8", "backslashreplace");
        if (escaped == nullptr) {
            PyErr_Clear();
            throw std::bad_alloc();
        }
        escaped_.assign(PyBytes_AS_STRING(escaped), static_cast<std::size_t>(PyBytes_GET_SIZE(escaped)));
        Py_DECREF(escaped);
        view_ = escaped_;
    }
    Utf8Text(const Utf8Text&) = delete;
    Utf8Text& operator=(const Utf8Text&) = delete;
    Utf8Text(Utf8Text&&) = delete;
    Utf8Text& operator=(Utf8Text&&) = delete;
    ~Utf8Text() = default;

    /// The text; valid while the str lives (and this object).
    std::string_view view() const noexcept { return view_; }

private:
    std::string escaped_;    // the escaped copy, when one was needed
    std::string_view view_;  // the text: in the str's own UTF-8 form, or escaped_
};

}  // namespace varnel::foundation_logging
