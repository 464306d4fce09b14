#pragma once
// Tests that shut logging down, which then stays shut for the rest of the process, run in a child
// of their own: gtest's "threadsafe" death test starts the test binary afresh for it. So the
// other tests, run together in one process and in any order, find the facade as they expect.

#include <cstdio>
#include <cstdlib>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

/// Runs `body`, writes the failures it had to standard error (the part of a death test's child
/// that the parent shows), and gives how many there were.
template <class Body>
int failures_of(Body body) {
    testing::TestPartResultArray results;
    {
        const testing::ScopedFakeTestPartResultReporter collect(
            testing::ScopedFakeTestPartResultReporter::INTERCEPT_ALL_THREADS, &results);
        body();
    }
    int failures = 0;
    for (int i = 0; i < results.size(); ++i) {
        const testing::TestPartResult& result = results.GetTestPartResult(i);
        if (result.failed()) {
            ++failures;
            std::fprintf(stderr, "%s:%d: Failure\n%s\n", result.file_name(), result.line_number(), result.message());
        }
    }
    return failures;
}

/// Runs `body` in a fresh process; a failure there fails the test here, and is shown.
template <class Body>
void run_in_child(Body body) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(failures_of(body) == 0 ? 0 : 1), testing::ExitedWithCode(0), "");
}
