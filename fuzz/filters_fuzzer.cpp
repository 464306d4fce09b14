// Any sequence of filter operations: a file filter always decides over package filters and the
// global level, and a package filter over the global level.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include <unistd.h>

#include <varnel/logging/filter.hpp>
#include <varnel/logging/lifecycle.hpp>

#include "fuzz_check.hpp"
#include "logging/path_pieces.hpp"

using logging::Level;

namespace {

Level consume_level(FuzzedDataProvider& input) { return static_cast<Level>(input.ConsumeIntegralInRange(0, 6)); }

bool passes(Level level, Level threshold) { return static_cast<int>(level) >= static_cast<int>(threshold); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The filtered path is open only while logging runs; log files go to a scratch folder.
    const auto directory = std::filesystem::temp_directory_path() / ("varnel_fuzz_" + std::to_string(::getpid()));
    std::filesystem::create_directories(directory);
    std::filesystem::current_path(directory);
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        return 1;
    }
    logging::init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    logging::clear_filters();
    const int operations = input.ConsumeIntegralInRange(0, 16);
    for (int i = 0; i < operations; ++i) {
        const std::string text = input.ConsumeRandomLengthString(24);
        switch (input.ConsumeIntegralInRange(0, 5)) {
            case 0: logging::set_file_level(text, consume_level(input)); break;
            case 1: logging::clear_file_level(text); break;
            case 2: logging::set_package_level(text, consume_level(input)); break;
            case 3: logging::clear_package_level(text); break;
            case 4: logging::set_global_level(consume_level(input)); break;
            default: logging::clear_filters(); break;
        }
    }
    const std::string path = input.ConsumeRandomLengthString(96);
    const std::string base(logging::detail::base_name(path.c_str()));
    const Level level = consume_level(input);

    // A package filter covering the whole path decides over the global level...
    const Level package_threshold = consume_level(input);
    logging::clear_file_level(base);
    logging::clear_package_level("");
    logging::set_package_level("", Level::off);  // registered late: earlier matches may win
    const bool decided_by_package = logging::is_enabled_for(level, path.c_str());
    logging::set_global_level(package_threshold);
    FUZZ_CHECK(logging::is_enabled_for(level, path.c_str()) == decided_by_package);

    // ...and a file filter decides over every package filter.
    const Level file_threshold = consume_level(input);
    logging::set_file_level(base, file_threshold);
    FUZZ_CHECK(logging::is_enabled_for(level, path.c_str()) == passes(level, file_threshold));
    return 0;
}
