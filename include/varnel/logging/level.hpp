#pragma once
// Severity of a log record.

#include <cstdint>

#include <spdlog/common.h>

namespace logging {

/// Severity, in numeric order. Values are fixed: they are compared as numbers and cross the
/// Python boundary as these numbers.
enum class Level : std::int32_t {
    trace = 0,
    debug = 1,
    info = 2,
    warn = 3,
    error = 4,
    critical = 5,
    off = 6,
};

/// The spdlog level a Level is written at; values outside the enumeration map to info.
constexpr spdlog::level::level_enum to_spdlog_level(Level level) noexcept {
    switch (level) {
        case Level::trace: return spdlog::level::trace;
        case Level::debug: return spdlog::level::debug;
        case Level::info: return spdlog::level::info;
        case Level::warn: return spdlog::level::warn;
        case Level::error: return spdlog::level::err;
        case Level::critical: return spdlog::level::critical;
        case Level::off: return spdlog::level::off;
    }
    return spdlog::level::info;
}

}  // namespace logging
