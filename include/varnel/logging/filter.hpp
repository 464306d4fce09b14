#pragma once
// Thresholds of the filtered log path, and the path itself.
//
// A record from a source path passes when its level is at or above the threshold of the first
// layer that covers the path: the file filter of the path's base name, else the earliest
// registered package filter whose text occurs in the path, else the global level (initially
// info). Filters are process-wide, thread-safe, and independent of init() and shutdown().

#include <string>
#include <string_view>

#include <varnel/logging/level.hpp>

namespace logging {

/// Threshold for paths that no file or package filter covers.
void set_global_level(Level level);

/// Threshold for every path whose base name (text after the last '/' or '\') equals `filename`
/// byte for byte. A key containing a separator therefore never matches.
void set_file_level(const std::string& filename, Level level);

/// Removes the file filter `filename`; nothing happens when there is none.
void clear_file_level(const std::string& filename);

/// Threshold for paths containing `package` (case-sensitive substring; "" matches every path).
/// Setting an existing pattern again changes its level in place and keeps its position.
void set_package_level(const std::string& package, Level level);

/// Removes the package filter whose pattern equals `package` exactly.
void clear_package_level(const std::string& package);

/// Removes every file and package filter and sets the global level back to info.
void clear_filters();

/// Whether a record of `level` from `filepath` would be written: false before init() has
/// installed the logger, after any shutdown(), and once the process is exiting. A null
/// `filepath` counts as the empty path. Takes no lock: each thread remembers the thresholds of
/// the paths it has decided (by address, checked against the text) until the next filter change,
/// so a path decided before costs the same whatever the number of filters. A decision made
/// while another thread changes a filter sees the filters before or after the change.
bool is_enabled_for(Level level, const char* filepath);

/// Writes `message` as plain text (never a format string) at `level` on the default logger,
/// with `filepath` shown in the source column (null: blank). Does not consult the thresholds;
/// call is_enabled_for() first. Silent before init() and after any shutdown().
void log_from_file(Level level, const char* filepath, std::string_view message);

}  // namespace logging

/// Logs `message` from the calling source file through the filtered path. Each argument is
/// evaluated once, `message` only when the record passes.
#define VARNEL_LOG(level, message)                                                     \
    do {                                                                               \
        const ::logging::Level varnel_log_level_ = (level);                            \
        if (::logging::is_enabled_for(varnel_log_level_, __FILE__)) {                  \
            ::logging::log_from_file(varnel_log_level_, __FILE__, (message));          \
        }                                                                              \
    } while (false)
