#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <spdlog/spdlog.h>

#include <varnel/logging/filter.hpp>
#include <varnel/logging/lifecycle.hpp>

namespace fs = std::filesystem;

namespace {

using logging::Level;

// The filtered path is open only after init() and before any shutdown(), so this suite
// initialises once, in a temporary working directory, and never shuts down (the tests that do run
// in children of their own). The directory goes at the end; the log, still open, does not mind.
class Filters : public testing::Test {
protected:
    static void SetUpTestSuite() {
        const fs::path previous = fs::current_path();
        fs::create_directories(directory());
        fs::current_path(directory());
        logging::init();
        fs::current_path(previous);
    }
    static void TearDownTestSuite() { fs::remove_all(directory()); }
    void TearDown() override { logging::clear_filters(); }

    static fs::path directory() { return fs::temp_directory_path() / ("varnel_filters_" + std::to_string(::getpid())); }
};

TEST_F(Filters, GlobalLevelStartsAtInfo) {
    EXPECT_FALSE(logging::is_enabled_for(Level::debug, "/any/a.py"));
    EXPECT_TRUE(logging::is_enabled_for(Level::info, "/any/a.py"));
}

// The facade keeps its logger itself: third-party code that drops spdlog's default logger breaks
// neither road.
TEST_F(Filters, DroppingSpdlogsDefaultLoggerBreaksNoRoad) {
    const auto core = logging::core();
    spdlog::set_default_logger(nullptr);  // also unregisters "core"
    EXPECT_TRUE(logging::is_enabled_for(Level::info, "/any/a.py"));
    EXPECT_NO_THROW(logging::log_from_file(Level::info, "/any/a.py", "still written"));
    EXPECT_EQ(logging::core(), core);
    spdlog::set_default_logger(core);
}

TEST_F(Filters, FileFilterUsesTheBaseNameWithEitherSeparator) {
    logging::set_global_level(Level::error);
    logging::set_file_level("a.py", Level::trace);
    EXPECT_TRUE(logging::is_enabled_for(Level::debug, "/home/u/proj/src/a.py"));
    EXPECT_TRUE(logging::is_enabled_for(Level::debug, "C:\\proj\\src\\a.py"));
    EXPECT_TRUE(logging::is_enabled_for(Level::debug, "a.py"));
    EXPECT_FALSE(logging::is_enabled_for(Level::debug, "/home/u/proj/src/b.py"));
    EXPECT_FALSE(logging::is_enabled_for(Level::debug, "/home/u/proj/src/xa.py"));

    logging::set_file_level("src/b.py", Level::trace);  // never matches a base name
    EXPECT_FALSE(logging::is_enabled_for(Level::debug, "src/b.py"));
}

TEST_F(Filters, FileFilterBeatsPackageFilterEitherWay) {
    logging::set_package_level("motion", Level::trace);
    logging::set_file_level("drive.cpp", Level::error);
    EXPECT_FALSE(logging::is_enabled_for(Level::warn, "/p/motion/drive.cpp"));
    logging::set_package_level("motion", Level::off);
    logging::set_file_level("drive.cpp", Level::trace);
    EXPECT_TRUE(logging::is_enabled_for(Level::trace, "/p/motion/drive.cpp"));
    EXPECT_FALSE(logging::is_enabled_for(Level::critical, "/p/motion/other.cpp"));
}

TEST_F(Filters, FirstRegisteredPackageWinsAndKeepsItsPlace) {
    logging::set_package_level("varnel", Level::error);
    logging::set_package_level("varnel/step", Level::debug);
    EXPECT_FALSE(logging::is_enabled_for(Level::warn, "/x/varnel/step/motion.py"));
    logging::set_package_level("varnel", Level::trace);  // new level, same place
    EXPECT_TRUE(logging::is_enabled_for(Level::trace, "/x/varnel/step/motion.py"));
    logging::clear_package_level("varnel");  // only the exact pattern goes
    EXPECT_FALSE(logging::is_enabled_for(Level::trace, "/x/varnel/step/motion.py"));
    EXPECT_TRUE(logging::is_enabled_for(Level::debug, "/x/varnel/step/motion.py"));
}

TEST_F(Filters, EmptyPatternCoversEveryPathButFileFilters) {
    logging::set_package_level("", Level::error);
    logging::set_file_level("keep.py", Level::debug);
    EXPECT_FALSE(logging::is_enabled_for(Level::warn, "/a/b.py"));
    EXPECT_FALSE(logging::is_enabled_for(Level::warn, ""));
    EXPECT_TRUE(logging::is_enabled_for(Level::debug, "/a/keep.py"));
}

TEST_F(Filters, OffDropsAllButOff) {
    logging::set_global_level(Level::off);
    EXPECT_FALSE(logging::is_enabled_for(Level::critical, "/a.py"));
    EXPECT_TRUE(logging::is_enabled_for(Level::off, "/a.py"));
}

TEST_F(Filters, NullPathIsTheEmptyPath) {
    logging::set_file_level("", Level::error);
    EXPECT_FALSE(logging::is_enabled_for(Level::warn, nullptr));
    EXPECT_TRUE(logging::is_enabled_for(Level::error, nullptr));
}

TEST_F(Filters, ClearFiltersRemovesBothKindsAndResetsGlobal) {
    logging::set_global_level(Level::critical);
    logging::set_file_level("a.py", Level::off);
    logging::set_package_level("/p/", Level::off);
    logging::clear_file_level("absent.py");
    logging::clear_package_level("absent");
    logging::clear_filters();
    EXPECT_TRUE(logging::is_enabled_for(Level::info, "/p/a.py"));
    EXPECT_FALSE(logging::is_enabled_for(Level::debug, "/p/a.py"));
}

// A path decided before (and so remembered) follows every kind of change, whether this thread
// or another one made it between the two decisions.
TEST_F(Filters, EveryKindOfChangeReachesAPathDecidedBefore) {
    struct Case {
        const char* change;
        std::function<void()> set_up;
        std::function<void()> apply;
        bool passes_before;
    };
    const std::vector<Case> cases = {
        {"set global", [] {}, [] { logging::set_global_level(Level::debug); }, false},
        {"set file", [] {}, [] { logging::set_file_level("drive.py", Level::trace); }, false},
        {"set file again", [] { logging::set_file_level("drive.py", Level::error); },
         [] { logging::set_file_level("drive.py", Level::trace); }, false},
        {"clear file", [] { logging::set_file_level("drive.py", Level::trace); },
         [] { logging::clear_file_level("drive.py"); }, true},
        {"set package", [] {}, [] { logging::set_package_level("motion", Level::trace); }, false},
        {"set package again", [] { logging::set_package_level("motion", Level::trace); },
         [] { logging::set_package_level("motion", Level::info); }, true},
        {"clear package", [] { logging::set_package_level("motion", Level::trace); },
         [] { logging::clear_package_level("motion"); }, true},
        {"clear all", [] { logging::set_global_level(Level::trace); }, [] { logging::clear_filters(); }, true},
    };
    static const char* const path = "/p/motion/drive.py";
    for (const auto& [change, set_up, apply, passes_before] : cases) {
        for (const bool on_other_thread : {false, true}) {
            SCOPED_TRACE(std::string(change) + (on_other_thread ? " on another thread" : " on this thread"));
            logging::clear_filters();
            set_up();
            EXPECT_EQ(logging::is_enabled_for(Level::debug, path), passes_before);
            EXPECT_EQ(logging::is_enabled_for(Level::debug, path), passes_before);
            if (on_other_thread) {
                std::thread(apply).join();
            } else {
                apply();
            }
            EXPECT_EQ(logging::is_enabled_for(Level::debug, path), !passes_before);
        }
    }
}

TEST_F(Filters, DecisionsFollowTheTextNotTheAddress) {
    logging::set_package_level("/odd/", Level::trace);
    char reused[] = "/odd/a.py";  // a freed str whose memory holds another path later, say
    EXPECT_TRUE(logging::is_enabled_for(Level::debug, reused));
    reused[1] = 'e';
    EXPECT_FALSE(logging::is_enabled_for(Level::debug, reused));

    std::vector<std::string> paths;  // more than a thread remembers
    for (int i = 0; i < 2000; ++i) {
        paths.push_back((i % 2 ? "/odd/" : "/even/") + std::to_string(i) + ".py");
    }
    for (int pass = 0; pass < 2; ++pass) {
        for (std::size_t i = 0; i < paths.size(); ++i) {
            ASSERT_EQ(logging::is_enabled_for(Level::debug, paths[i].c_str()), i % 2 == 1) << paths[i];
        }
    }
}

TEST_F(Filters, VarnelLogEvaluatesEachArgumentOnce) {
    int levels = 0;
    int messages = 0;
    VARNEL_LOG((++levels, Level::info), (++messages, "passes"));
    VARNEL_LOG((++levels, Level::debug), (++messages, "dropped"));
    EXPECT_EQ(levels, 2);
    EXPECT_EQ(messages, 1);  // only for the record that passes
}

TEST(LevelMapping, OutOfRangeValuesMapToInfo) {
    EXPECT_EQ(logging::to_spdlog_level(Level::error), spdlog::level::err);
    EXPECT_EQ(logging::to_spdlog_level(Level::off), spdlog::level::off);
    EXPECT_EQ(logging::to_spdlog_level(static_cast<Level>(42)), spdlog::level::info);
    EXPECT_EQ(logging::to_spdlog_level(static_cast<Level>(-1)), spdlog::level::info);
}

}  // namespace
