// The text form of a number is printf's %g, and reads back within its 6 significant digits.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <varnel/foundation/text_form.hpp>

#include "fuzz_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    double value = 0.0;
    if (size < sizeof value) {
        return 0;
    }
    std::memcpy(&value, data, sizeof value);
    const std::string text = varnel::foundation::text_form(value);

    char expected[64];
    std::snprintf(expected, sizeof expected, "%g", value);
    FUZZ_CHECK(text == expected);
    if (std::isfinite(value)) {
        const double back = std::strtod(text.c_str(), nullptr);
        FUZZ_CHECK(std::fabs(back - value) <= 5e-6 * std::fabs(value) || std::fabs(back - value) < 1e-300);
    }
    float single = 0.0f;
    std::memcpy(&single, data, sizeof single);
    std::snprintf(expected, sizeof expected, "%g", static_cast<double>(single));
    FUZZ_CHECK(varnel::foundation::text_form(single) == expected);
    return 0;
}
