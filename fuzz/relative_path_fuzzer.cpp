// Project-relative paths never hold a backslash and only ever lose a leading root prefix.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include <varnel/logging/source_path.hpp>

#include "fuzz_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const std::string root = input.ConsumeRandomLengthString(64);
    const std::string path = input.ConsumeRemainingBytesAsString();

    std::string converted(path.c_str());
    std::replace(converted.begin(), converted.end(), '\\', '/');

    const std::string relative = logging::relative_to_root(path.c_str(), root);
    FUZZ_CHECK(relative.find('\\') == std::string::npos);
    const bool suffix = converted.size() >= relative.size() &&
                        converted.compare(converted.size() - relative.size(), relative.size(), relative) == 0;
    FUZZ_CHECK(relative == converted || relative == "." || suffix);

    FUZZ_CHECK(logging::project_relative_path(path.c_str()).find('\\') == std::string::npos);
    return 0;
}
