#include <gtest/gtest.h>

#include "module/python_version.hpp"

namespace {

using varnel::module::is_expected_python_version;

class AcceptedVersion : public testing::TestWithParam<const char*> {};
class RejectedVersion : public testing::TestWithParam<const char*> {};

TEST_P(AcceptedVersion, Passes) { EXPECT_TRUE(is_expected_python_version(GetParam())); }
TEST_P(RejectedVersion, Fails) { EXPECT_FALSE(is_expected_python_version(GetParam())); }

INSTANTIATE_TEST_SUITE_P(Series312, AcceptedVersion,
                         testing::Values("3.12", "3.12.0a1", "3.12+", "3.12.1 (main, Jan 1 2024) [GCC 12.2.0]",
                                         "3.12 beta"));
INSTANTIATE_TEST_SUITE_P(OtherSeries, RejectedVersion,
                         testing::Values("3.120", "3.129.0", "3.13.1", "3.11.7", "3.1", "", "2.12.0"));

}  // namespace
