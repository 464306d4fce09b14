#pragma once
// One thread's memo of the thresholds it has decided, by source path.
//
// The same path keeps arriving at the same address (a literal __FILE__, a module's __file__), so
// the address is the key: a hit costs a hash of the pointer, a few comparisons in one set and one
// strcmp against the stored copy of the text, whatever the number of filters. The copy is needed
// because an address can be reused for other text (a freed Python str). The memo holds the
// thresholds of one generation of the filters; the owner resets it when the generation moves on.
// Bounded: 4-way sets in which the oldest entry gives way, and long paths are not stored.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include <varnel/logging/level.hpp>

namespace logging::detail {

class ThresholdCache {
public:
    static constexpr std::size_t set_count = 64;
    static constexpr std::size_t ways = 4;
    static constexpr std::size_t capacity = set_count * ways;
    static constexpr std::size_t max_path_length = 512;  // longer paths are decided every time

    /// The generation of the filters the thresholds belong to; 0 (no generation) when new.
    std::uint64_t generation() const noexcept { return generation_; }

    /// Forgets every path; the thresholds inserted from now on belong to `generation`.
    void reset(std::uint64_t generation) noexcept {
        generation_ = generation;
        for (auto& set : sets_) {
            for (auto& entry : set) {
                entry.key = nullptr;
            }
        }
    }

    /// The threshold stored for the text at `path`, or null.
    const Level* find(const char* path) const noexcept {
        for (const auto& entry : set_of(path)) {
            if (entry.key == path && std::strcmp(entry.text.c_str(), path) == 0) {
                return &entry.threshold;
            }
        }
        return nullptr;
    }

    /// Stores `threshold` for the text at `path` (NUL-terminated), unless the text is too long.
    void insert(const char* path, Level threshold) {
        const std::size_t length = std::strlen(path);
        if (length > max_path_length) {
            return;
        }
        Set& set = set_of(path);
        auto* entry = std::find_if(set.begin(), set.end(), [path](const Entry& e) { return e.key == path; });
        if (entry == set.end()) {  // a new address goes first; the last entry (oldest, or empty) gives way
            std::rotate(set.begin(), set.end() - 1, set.end());
            entry = set.begin();
        }
        entry->key = path;
        entry->threshold = threshold;
        entry->text.assign(path, length);
    }

    /// The number of paths stored.
    std::size_t size() const noexcept {
        std::size_t count = 0;
        for (const auto& set : sets_) {
            count += static_cast<std::size_t>(
                std::count_if(set.begin(), set.end(), [](const Entry& e) { return e.key != nullptr; }));
        }
        return count;
    }

private:
    struct Entry {
        const char* key = nullptr;  // the address the text arrived at; null: an empty entry
        Level threshold = Level::info;
        std::string text;
    };
    using Set = std::array<Entry, ways>;  // newest first

    // Fibonacci hashing of the address: its low bits are often equal (alignment).
    static std::size_t set_index(const char* path) noexcept {
        const auto address = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(path));
        return static_cast<std::size_t>((address * 0x9E3779B97F4A7C15ULL) >> 58U);
    }
    static_assert(set_count == 64, "set_index() keeps the top 6 bits of the hash");

    // NOLINTNEXTLINE(cppcoreguidelines-pro-bounds-constant-array-index): set_index() < set_count
    const Set& set_of(const char* path) const noexcept { return sets_[set_index(path)]; }
    // NOLINTNEXTLINE(cppcoreguidelines-pro-bounds-constant-array-index): set_index() < set_count
    Set& set_of(const char* path) noexcept { return sets_[set_index(path)]; }

    std::uint64_t generation_ = 0;
    std::array<Set, set_count> sets_{};
};

}  // namespace logging::detail
