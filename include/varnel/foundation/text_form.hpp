#pragma once
// The text form shared by every value record: `__repr__` and `__str__` in Python.

#include <sstream>
#include <string>

namespace varnel::foundation {

/// Streams `value` into a fresh, default `std::ostringstream` and returns the text.
/// Numbers therefore follow printf's `%g`: at most 6 significant digits, fixed or exponent
/// notation, trailing zeros dropped (0.5 -> "0.5", 1234567.0 -> "1.23457e+06", 1e-7 -> "1e-07").
/// Records provide an `operator<<` that writes "TypeName(field=value, ...)".
template <class T>
std::string text_form(const T& value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

}  // namespace varnel::foundation
