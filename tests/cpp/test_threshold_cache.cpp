#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "logging/threshold_cache.hpp"

namespace {

using logging::Level;
using logging::detail::ThresholdCache;

TEST(ThresholdCache, HitNeedsTheSameAddressHoldingTheSameText) {
    ThresholdCache cache;
    std::string path = "/p/motion/drive.py";
    const std::string copy = path;
    cache.insert(path.c_str(), Level::error);
    ASSERT_NE(cache.find(path.c_str()), nullptr);
    EXPECT_EQ(*cache.find(path.c_str()), Level::error);
    EXPECT_EQ(cache.find(copy.c_str()), nullptr);

    path[3] = 'n';  // the address now holds other text: a freed str reused, say
    EXPECT_EQ(cache.find(path.c_str()), nullptr);
    cache.insert(path.c_str(), Level::trace);  // takes the same way over
    EXPECT_EQ(*cache.find(path.c_str()), Level::trace);
    EXPECT_EQ(cache.size(), 1U);
}

TEST(ThresholdCache, StaysWithinItsBoundAndKeepsTheLatestPaths) {
    ThresholdCache cache;
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < 8 * ThresholdCache::capacity; ++i) {
        paths.push_back("/p/module" + std::to_string(i) + ".py");
    }
    for (const auto& path : paths) {
        cache.insert(path.c_str(), Level::warn);
        EXPECT_LE(cache.size(), ThresholdCache::capacity);
    }
    EXPECT_GT(cache.size(), ThresholdCache::capacity / 2);
    ASSERT_NE(cache.find(paths.back().c_str()), nullptr);
    EXPECT_EQ(*cache.find(paths.back().c_str()), Level::warn);
}

TEST(ThresholdCache, LongPathsAreNotStored) {
    ThresholdCache cache;
    const std::string longest(ThresholdCache::max_path_length, 'a');
    const std::string too_long(ThresholdCache::max_path_length + 1, 'a');
    cache.insert(longest.c_str(), Level::info);
    cache.insert(too_long.c_str(), Level::info);
    EXPECT_NE(cache.find(longest.c_str()), nullptr);
    EXPECT_EQ(cache.find(too_long.c_str()), nullptr);
}

TEST(ThresholdCache, ResetForgetsEveryPathAndTakesTheGeneration) {
    ThresholdCache cache;
    EXPECT_EQ(cache.generation(), 0U);
    const std::string path = "/p/a.py";
    cache.insert(path.c_str(), Level::info);
    cache.reset(7);
    EXPECT_EQ(cache.generation(), 7U);
    EXPECT_EQ(cache.find(path.c_str()), nullptr);
    EXPECT_EQ(cache.size(), 0U);
}

}  // namespace
