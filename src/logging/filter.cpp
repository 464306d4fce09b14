#include <varnel/logging/filter.hpp>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include <spdlog/spdlog.h>

#include "logging/path_pieces.hpp"
#include "logging/state.hpp"
#include "logging/threshold_cache.hpp"

namespace logging {
namespace {

// A decision takes no lock and writes nothing that another thread reads:
// - The filters are an immutable snapshot. A writer, serialised by the mutex, changes a copy,
//   publishes it with one atomic store, then advances the generation.
// - Each deciding thread keeps a ThresholdCache for one generation: a path seen before costs a
//   load of the generation and a look into the thread's own cache.
// - On a miss the thread reads the current snapshot under a hazard pointer: it announces the
//   snapshot in its record, then checks that it is still the current one. A writer frees a
//   replaced snapshot only once no record announces it.
// Every threshold a decision uses comes from one snapshot: the old filters or the new, never a mix.
//
// The hazard pointer rests on two sequentially consistent fences, one on each side (as folly's
// hazard pointers do), which the C++ memory model orders on every processor, not only on x86:
//   reader: announce the snapshot; fence; load the current snapshot again
//   writer: publish the new snapshot; fence; load the records and their announcements
// Whichever fence comes first in their single total order, either the reader sees the new
// snapshot (and does not use the old one), or the writer sees the reader's record and its
// announcement (and keeps the old one).

struct FilterSnapshot {
    std::uint64_t generation = 1;                               // one more for each change
    Level global_level = Level::info;                           // for paths no other filter covers
    std::unordered_map<std::string, Level> file_levels;         // by base name
    std::vector<std::pair<std::string, Level>> package_levels;  // by substring, first registered wins

    // The threshold for `path`: its file filter, else the first matching package filter, else global.
    Level threshold_for(std::string_view path) const {
        if (!file_levels.empty()) {
            const auto file = file_levels.find(std::string(detail::base_name(path)));
            if (file != file_levels.end()) {
                return file->second;
            }
        }
        for (const auto& [pattern, level] : package_levels) {
            if (path.find(pattern) != std::string_view::npos) {
                return level;
            }
        }
        return global_level;
    }
};

// One deciding thread's record. Records are never freed: a thread that ends gives its record
// back, and the next new thread takes it over, cache and all (its entries are still valid).
struct alignas(64) Reader {
    std::atomic<const FilterSnapshot*> hazard{nullptr};  // the snapshot being read, if any
    std::atomic<bool> in_use{true};                      // a live thread owns the record
    Reader* next = nullptr;                              // the record made before this one
    detail::ThresholdCache cache;                        // used by the owning thread only
};

// The generation of the current snapshot, read by every decision: alone in its cache line, so
// that nothing written elsewhere moves the line away from the deciding threads. Constant
// initialised: deciding needs no other shared state.
struct alignas(64) Generation {
    std::atomic<std::uint64_t> value{1};
};
Generation current_generation;

struct FilterState {
    std::atomic<const FilterSnapshot*> current{new FilterSnapshot};
    std::atomic<Reader*> readers{nullptr};  // every record ever made, newest first
    detail::Mutex mutex;                    // serialises the writers; never taken to decide
    std::vector<const FilterSnapshot*> retired GUARDED_BY(mutex);  // replaced, a reader may still hold them
};

FilterState& filters() {
    // Never destroyed: threads that still log while the process exits must find it intact.
    static auto* state = new FilterState;
    return *state;
}

// Whether a reader announces `snapshot`. Called after the writer's fence (free_unheld).
bool held_by_a_reader(const FilterState& state, const FilterSnapshot* snapshot) noexcept {
    for (const Reader* reader = state.readers.load(std::memory_order_acquire); reader != nullptr;
         reader = reader->next) {
        // Acquire: a reader that has withdrawn the announcement has finished reading the snapshot.
        if (reader->hazard.load(std::memory_order_acquire) == snapshot) {
            return true;
        }
    }
    return false;
}

// Frees the retired snapshots that no reader holds.
void free_unheld(FilterState& state) noexcept REQUIRES(state.mutex) {
    // The writer's fence: orders the publication of the current snapshot (before this call)
    // against the loads of the readers' records and announcements (below).
    std::atomic_thread_fence(std::memory_order_seq_cst);
    const auto unheld = std::partition(state.retired.begin(), state.retired.end(),
                                       [&](const FilterSnapshot* old) { return held_by_a_reader(state, old); });
    std::for_each(unheld, state.retired.end(), [](const FilterSnapshot* old) { delete old; });
    state.retired.erase(unheld, state.retired.end());
}

// Applies `change` (which returns whether it changed anything) to a copy of the current filters
// and publishes the copy.
template <class Change>
void change_filters(Change change) {
    auto& state = filters();
    const detail::MutexLock lock(state.mutex);
    const FilterSnapshot* old = state.current.load(std::memory_order_relaxed);
    auto next = std::make_unique<FilterSnapshot>(*old);
    if (!change(*next)) {
        return;
    }
    next->generation = old->generation + 1;
    const std::uint64_t generation = next->generation;
    state.retired.reserve(state.retired.size() + 1);  // nothing left to throw once published
    state.current.store(next.release(), std::memory_order_release);
    current_generation.value.store(generation, std::memory_order_release);
    state.retired.push_back(old);
    free_unheld(state);
}

// This thread's record. Trivially destructible, so it can still be read while the thread's other
// thread_local objects are destroyed (their destructors may log).
thread_local Reader* this_thread_reader = nullptr;
thread_local bool reader_given_back = false;

// Gives the thread's record back when the thread ends.
struct ReaderRelease {
    Reader* reader = nullptr;

    ReaderRelease() = default;
    ~ReaderRelease() {
        if (reader != nullptr) {
            reader->in_use.store(false, std::memory_order_release);
        }
        this_thread_reader = nullptr;
        reader_given_back = true;
    }
    ReaderRelease(const ReaderRelease&) = delete;
    ReaderRelease& operator=(const ReaderRelease&) = delete;
    ReaderRelease(ReaderRelease&&) = delete;
    ReaderRelease& operator=(ReaderRelease&&) = delete;
};
thread_local ReaderRelease reader_release;

// Takes a record given back by an ended thread, or makes one; null once this thread has given
// its own back (it is ending).
Reader* attach_reader(FilterState& state) {
    if (reader_given_back) {
        return nullptr;
    }
    Reader* reader = state.readers.load(std::memory_order_acquire);
    for (; reader != nullptr; reader = reader->next) {
        bool in_use = false;
        if (!reader->in_use.load(std::memory_order_relaxed) &&
            reader->in_use.compare_exchange_strong(in_use, true, std::memory_order_acquire)) {
            break;
        }
    }
    if (reader == nullptr) {
        reader = new Reader;
        reader->next = state.readers.load(std::memory_order_relaxed);
        while (!state.readers.compare_exchange_weak(reader->next, reader, std::memory_order_release,
                                                    std::memory_order_relaxed)) {
        }
    }
    reader_release.reader = reader;
    this_thread_reader = reader;
    return reader;
}

// The current snapshot, announced in a reader's hazard pointer for as long as the hold lasts, so
// that no writer frees it meanwhile; the announcement is withdrawn however the hold ends.
class SnapshotHold {
public:
    SnapshotHold(const FilterState& state, Reader& reader) noexcept : reader_(reader) {
        const FilterSnapshot* snapshot = state.current.load(std::memory_order_acquire);
        for (;;) {
            // Release: a writer that sees this announcement sees the reads of any snapshot this
            // record held before it done.
            reader_.hazard.store(snapshot, std::memory_order_release);
            // The reader's fence: orders the announcement (and the record's publication, made
            // before it) against the load of the current snapshot below.
            std::atomic_thread_fence(std::memory_order_seq_cst);
            const FilterSnapshot* still = state.current.load(std::memory_order_acquire);
            if (still == snapshot) {
                break;
            }
            snapshot = still;
        }
        snapshot_ = snapshot;
    }
    ~SnapshotHold() { reader_.hazard.store(nullptr, std::memory_order_release); }
    SnapshotHold(const SnapshotHold&) = delete;
    SnapshotHold& operator=(const SnapshotHold&) = delete;
    SnapshotHold(SnapshotHold&&) = delete;
    SnapshotHold& operator=(SnapshotHold&&) = delete;

    const FilterSnapshot* operator->() const noexcept { return snapshot_; }

private:
    Reader& reader_;
    const FilterSnapshot* snapshot_ = nullptr;
};

// The threshold for a path this thread has not decided in the current generation.
[[gnu::noinline]] Level decide_uncached(const char* path) {
    auto& state = filters();
    Reader* reader = this_thread_reader != nullptr ? this_thread_reader : attach_reader(state);
    if (reader == nullptr) {  // the thread is ending: decide under the writers' lock
        const detail::MutexLock lock(state.mutex);
        return state.current.load(std::memory_order_relaxed)->threshold_for(path);
    }
    Level threshold = Level::info;
    std::uint64_t generation = 0;
    {
        const SnapshotHold snapshot(state, *reader);
        threshold = snapshot->threshold_for(path);  // may throw (a copy of the base name)
        generation = snapshot->generation;
    }
    auto& cache = reader->cache;
    if (cache.generation() != generation) {
        cache.reset(generation);
    }
    cache.insert(path, threshold);
    return threshold;
}

// The threshold for `path` under the current filters.
Level current_threshold(const char* path) {
    const Reader* reader = this_thread_reader;
    const std::uint64_t generation = current_generation.value.load(std::memory_order_acquire);
    if (reader != nullptr && reader->cache.generation() == generation) {
        if (const Level* cached = reader->cache.find(path)) {
            return *cached;
        }
    }
    return decide_uncached(path);
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

detail::Mutex& detail::filter_mutex() { return filters().mutex; }

void set_global_level(Level level) {
    change_filters([level](FilterSnapshot& filters) {
        return std::exchange(filters.global_level, level) != level;
    });
}

void set_file_level(const std::string& filename, Level level) {
    change_filters([&](FilterSnapshot& filters) {
        const auto [entry, inserted] = filters.file_levels.try_emplace(filename, level);
        return inserted || std::exchange(entry->second, level) != level;
    });
}

void clear_file_level(const std::string& filename) {
    change_filters([&](FilterSnapshot& filters) { return filters.file_levels.erase(filename) != 0; });
}

void set_package_level(const std::string& package, Level level) {
    change_filters([&](FilterSnapshot& filters) {
        for (auto& entry : filters.package_levels) {
            if (entry.first == package) {
                return std::exchange(entry.second, level) != level;
            }
        }
        filters.package_levels.emplace_back(package, level);
        return true;
    });
}

void clear_package_level(const std::string& package) {
    change_filters([&](FilterSnapshot& filters) {
        auto& packages = filters.package_levels;
        const auto removed = std::remove_if(packages.begin(), packages.end(),
                                            [&](const auto& entry) { return entry.first == package; });
        const bool changed = removed != packages.end();
        packages.erase(removed, packages.end());
        return changed;
    });
}

void clear_filters() {
    change_filters([](FilterSnapshot& filters) {
        const bool changed =
            !filters.file_levels.empty() || !filters.package_levels.empty() || filters.global_level != Level::info;
        filters.file_levels.clear();
        filters.package_levels.clear();
        filters.global_level = Level::info;
        return changed;
    });
}

bool is_enabled_for(Level level, const char* filepath) {
    // The flags alone: log_from_file() checks that the logger exists before it writes.
    if (!detail::filtered_path_open()) {
        return false;
    }
    const Level threshold = current_threshold(filepath ? filepath : "");
    return static_cast<std::int32_t>(level) >= static_cast<std::int32_t>(threshold);
}

void log_from_file(Level level, const char* filepath, std::string_view message) {
    const detail::FilteredWrite write;
    if (!write) {
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
