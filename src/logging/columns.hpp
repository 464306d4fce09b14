#pragma once
// The two columns of a log line that spdlog's pattern flags cannot write, for the flags of
// <varnel/logging/pattern_flags.hpp> and for the line formatter alike.

#include <spdlog/common.h>

namespace logging::detail {

/// Seconds since the elapsed-time origin as "{:>9.3f}s", truncated to the millisecond, or
/// "    0.000s" while no origin was ever set.
void append_elapsed_column(spdlog::memory_buf_t& dest);

/// The display form of the source path of the record this thread is writing (set only by
/// log_from_file), its control characters escaped, left-aligned in SOURCE_COLUMN_WIDTH bytes and
/// never cut; blank outside a filtered write.
void append_source_column(spdlog::memory_buf_t& dest);

}  // namespace logging::detail
