#include <varnel/logging/filter.hpp>

#include <algorithm>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include <spdlog/spdlog.h>

#include "logging/path_pieces.hpp"
#include "logging/state.hpp"

namespace logging {
namespace {

struct FilterState {
    std::mutex mutex;                                       // guards the fields below; never held while writing
    Level global_level = Level::info;                       // for paths no other filter covers
    std::unordered_map<std::string, Level> file_levels;     // by base name
    std::vector<std::pair<std::string, Level>> package_levels;  // by substring, first registered wins
};

FilterState& filters() {
    // Never destroyed: threads that still log while the process exits must find it intact.
    static auto* state = new FilterState;
    return *state;
}

// The threshold for `path`: its file filter, else the first matching package filter, else global.
Level threshold_for(const FilterState& state, std::string_view path) {
    if (!state.file_levels.empty()) {
        const auto file = state.file_levels.find(std::string(detail::base_name(path)));
        if (file != state.file_levels.end()) {
            return file->second;
        }
    }
    for (const auto& [pattern, level] : state.package_levels) {
        if (path.find(pattern) != std::string_view::npos) {
            return level;
        }
    }
    return state.global_level;
}

// Sets `current_source_file` for the duration of one write.
class SourceFileScope {
public:
    explicit SourceFileScope(const char* path) noexcept { detail::current_source_file = path ? path : ""; }
    ~SourceFileScope() { detail::current_source_file = ""; }
    SourceFileScope(const SourceFileScope&) = delete;
    SourceFileScope& operator=(const SourceFileScope&) = delete;
    SourceFileScope(SourceFileScope&&) = delete;
    SourceFileScope& operator=(SourceFileScope&&) = delete;
};

}  // namespace

std::mutex& detail::filter_mutex() { return filters().mutex; }

void set_global_level(Level level) {
    auto& state = filters();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.global_level = level;
}

void set_file_level(const std::string& filename, Level level) {
    auto& state = filters();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.file_levels[filename] = level;
}

void clear_file_level(const std::string& filename) {
    auto& state = filters();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.file_levels.erase(filename);
}

void set_package_level(const std::string& package, Level level) {
    auto& state = filters();
    std::lock_guard<std::mutex> lock(state.mutex);
    for (auto& entry : state.package_levels) {
        if (entry.first == package) {
            entry.second = level;
            return;
        }
    }
    state.package_levels.emplace_back(package, level);
}

void clear_package_level(const std::string& package) {
    auto& state = filters();
    std::lock_guard<std::mutex> lock(state.mutex);
    auto& packages = state.package_levels;
    packages.erase(std::remove_if(packages.begin(), packages.end(),
                                  [&](const auto& entry) { return entry.first == package; }),
                   packages.end());
}

void clear_filters() {
    auto& state = filters();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.file_levels.clear();
    state.package_levels.clear();
    state.global_level = Level::info;
}

bool is_enabled_for(Level level, const char* filepath) {
    // The flags alone: log_from_file() checks that the logger exists before it writes.
    if (!detail::filtered_path_open()) {
        return false;
    }
    const Level threshold = [filepath] {
        auto& state = filters();
        std::lock_guard<std::mutex> lock(state.mutex);
        return threshold_for(state, filepath ? filepath : "");
    }();
    return static_cast<std::int32_t>(level) >= static_cast<std::int32_t>(threshold);
}

void log_from_file(Level level, const char* filepath, std::string_view message) {
    const detail::FilteredWrite write;
    if (!write || !detail::filtered_path_open()) {
        return;
    }
    const auto logger = detail::installed_logger();
    if (!logger) {
        return;
    }
    SourceFileScope source(filepath);
    logger->log(to_spdlog_level(level), message);
}

}  // namespace logging
