#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#include <varnel/logging/source_path.hpp>

namespace fs = std::filesystem;

namespace {

using logging::find_project_root;
using logging::format_source_path;
using logging::project_relative_path;
using logging::relative_to_root;

struct PathCase {
    const char* path;
    const char* expected;
};

class RelativeToRoot : public testing::TestWithParam<PathCase> {};

TEST_P(RelativeToRoot, StripsExactlyTheRootAndOneSeparator) {
    EXPECT_EQ(relative_to_root(GetParam().path, "/home/u/proj"), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RelativeToRoot,
    testing::Values(PathCase{"/home/u/proj/src/a.cpp", "src/a.cpp"}, PathCase{"/home/u/proj\\src\\a.cpp", "src/a.cpp"},
                    PathCase{"/home/u/proj", "."}, PathCase{"/home/u/proj/", ""},
                    PathCase{"/home/u/proj//src/a.cpp", "/src/a.cpp"},
                    PathCase{"/home/u/projects/a.cpp", "/home/u/projects/a.cpp"},
                    PathCase{"/opt/lib/b.cpp", "/opt/lib/b.cpp"}, PathCase{"/home/u", "/home/u"},
                    PathCase{"src/a.cpp", "src/a.cpp"}, PathCase{"C:\\x\\a.cpp", "C:/x/a.cpp"}, PathCase{"", ""},
                    PathCase{"/HOME/u/proj/a.cpp", "/HOME/u/proj/a.cpp"}));

TEST(RelativeToRoot, FileSystemRootAsProjectRoot) {
    EXPECT_EQ(relative_to_root("/", "/"), ".");
    EXPECT_EQ(relative_to_root("/opt/a.cpp", "/"), "/opt/a.cpp");
    EXPECT_EQ(relative_to_root("//opt/a.cpp", "/"), "opt/a.cpp");
}

TEST(RelativeToRoot, NullOrNoRoot) {
    EXPECT_EQ(relative_to_root(nullptr, "/home/u/proj"), "");
    EXPECT_EQ(relative_to_root("/a\\b.py", ""), "/a/b.py");
}

TEST(ProjectRelativePath, RelativeInputsNeverNeedTheRoot) {
    EXPECT_EQ(project_relative_path(nullptr), "");
    EXPECT_EQ(project_relative_path(""), "");
    EXPECT_EQ(project_relative_path("src\\a.cpp"), "src/a.cpp");
    EXPECT_EQ(project_relative_path("C:\\x\\a.cpp"), "C:/x/a.cpp");
}

class SourcePathForm : public testing::TestWithParam<PathCase> {};

TEST_P(SourcePathForm, Abbreviates) { EXPECT_EQ(format_source_path(GetParam().path), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Table, SourcePathForm,
    testing::Values(
        PathCase{"python/varnel/step/motion/drive.py", "s.m.drive.py"}, PathCase{"varnel/main.py", "main.py"},
        PathCase{"varnel/step/", "s"}, PathCase{"modules/varnel-motion/src/drive_controller.cpp", "m.drive_controller.cpp"},
        PathCase{"varnel-motion/python/varnel/step/a.py", "s.a.py"}, PathCase{"build/varnel-/x.cpp", "b.v.x.cpp"},
        PathCase{"src/foo/bar.cpp", "s.f.bar.cpp"}, PathCase{"/opt/tools/run.py", "o.t.run.py"},
        PathCase{"./scripts/run.py", "s.run.py"}, PathCase{"main.py", "main.py"},
        // backslashes, empty pieces, markers at the edges
        PathCase{"a\\varnel\\step\\x.py", "s.x.py"}, PathCase{"varnel//step///x.py", "s.x.py"},
        PathCase{"varnel/", ""}, PathCase{"src/varnel-", "s.varnel-"}, PathCase{"x/varnel-m", "m.varnel-m"},
        PathCase{"dir/", "d."}, PathCase{"varnel/./a.py", "..a.py"}, PathCase{"", ""},
        // the first character is a whole UTF-8 sequence
        PathCase{"\xC3\xA9t\xC3\xA9/x.py", "\xC3\xA9.x.py"}, PathCase{"\xE6\x97\xA5/\xF0\x9F\x9A\x80/a", "\xE6\x97\xA5.\xF0\x9F\x9A\x80.a"},
        PathCase{"varnel/\xE2\x82\xACuro/x", "\xE2\x82\xAC.x"}, PathCase{"varnel-\xC3\xBC/a.py", "\xC3\xBC.a.py"},
        // broken sequences fall back to one byte
        PathCase{"\xC3/x", "\xC3.x"}, PathCase{"\xE6\x97/x", "\xE6.x"}));

TEST(SourcePathForm, LongFormIsNotCut) {
    const std::string deep = "a/b/c/d/e/f/g/h/i/j/k/l/m/n/very_long_file_name_for_the_column.cpp";
    EXPECT_EQ(format_source_path(deep), "a.b.c.d.e.f.g.h.i.j.k.l.m.n.very_long_file_name_for_the_column.cpp");
}

class ProjectRootSearch : public testing::Test {
protected:
    void SetUp() override {
        previous_ = fs::current_path();
        root_ = fs::temp_directory_path() / ("varnel_root_" + std::to_string(::getpid()) + "_" +
                                              testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(root_ / "proj" / "build" / "deep");
    }
    void TearDown() override {
        fs::current_path(previous_);
        fs::remove_all(root_);
    }
    static void touch(const fs::path& path) { std::ofstream(path).put('\n'); }
    std::string search_from(const fs::path& directory) {
        fs::current_path(directory);
        return find_project_root().value();
    }

    fs::path previous_;
    fs::path root_;
};

TEST_F(ProjectRootSearch, NearestMarkerOfAnyKindWins) {
    fs::create_directory(root_ / "proj" / ".git");
    EXPECT_EQ(search_from(root_ / "proj" / "build" / "deep"), (root_ / "proj").string());
    touch(root_ / "proj" / "build" / "tamblin.project.yml");
    EXPECT_EQ(search_from(root_ / "proj" / "build" / "deep"), (root_ / "proj" / "build").string());
    fs::create_directory(root_ / "proj" / "build" / "deep" / ".tamblin");
    EXPECT_EQ(search_from(root_ / "proj" / "build" / "deep"), (root_ / "proj" / "build" / "deep").string());
}

TEST_F(ProjectRootSearch, MarkerMayBeAFile) {
    touch(root_ / "proj" / ".git");  // a worktree's .git is a file
    EXPECT_EQ(search_from(root_ / "proj" / "build"), (root_ / "proj").string());
}

TEST_F(ProjectRootSearch, DanglingLinkIsNoMarker) {
    fs::create_directory(root_ / "proj" / ".git");
    fs::create_symlink(root_ / "missing", root_ / "proj" / "build" / ".tamblin");
    EXPECT_EQ(search_from(root_ / "proj" / "build"), (root_ / "proj").string());
}

TEST_F(ProjectRootSearch, WithoutMarkerTheWorkingDirectoryIsTheRoot) {
    // Needs a folder with no marker above it: the temporary folder of the tests lies in the
    // project's build tree, so this one works in the system's /tmp, and removes what it made.
    const fs::path unmarked = fs::path("/tmp") / root_.filename();
    for (fs::path up = unmarked.parent_path(); !up.empty(); up = up.parent_path()) {
        for (const char* marker : {".git", "tamblin.project.yml", ".tamblin"}) {
            if (fs::exists(up / marker)) {
                GTEST_SKIP() << "marker above /tmp: " << (up / marker);
            }
        }
        if (up == up.root_path()) {
            break;
        }
    }
    fs::create_directories(unmarked / "build");
    const std::string found = search_from(unmarked / "build");
    fs::current_path(previous_);
    fs::remove_all(unmarked);
    EXPECT_EQ(found, (unmarked / "build").string());
}

}  // namespace
