#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <string>
#include <thread>

#include <varnel/logging/pattern_flags.hpp>

namespace {

using namespace std::chrono_literals;

std::string elapsed_text(std::chrono::nanoseconds elapsed) {
    spdlog::memory_buf_t buffer;
    logging::append_elapsed(elapsed, buffer);
    return fmt::to_string(buffer);
}

TEST(ElapsedColumn, TruncatesToTheMillisecond) {
    EXPECT_EQ(elapsed_text(0ns), "    0.000s");
    EXPECT_EQ(elapsed_text(999'999ns), "    0.000s");
    EXPECT_EQ(elapsed_text(1'234'500'000ns), "    1.234s");
    EXPECT_EQ(elapsed_text(999'900'000ns), "    0.999s");
    EXPECT_EQ(elapsed_text(99'999'999'999'999ns), "99999.999s");
}

TEST(ElapsedColumn, LargeValuesWidenTheColumn) {
    EXPECT_EQ(elapsed_text(123'456'700'000'000ns), "123456.700s");
    EXPECT_EQ(elapsed_text(std::chrono::hours(24 * 365)), "31536000.000s");
}

std::string format_with(spdlog::custom_flag_formatter& flag) {
    spdlog::details::log_msg msg;
    std::tm time{};
    spdlog::memory_buf_t buffer;
    flag.format(msg, time, buffer);
    return fmt::to_string(buffer);
}

TEST(ElapsedTimeFormatter, CountsFromTheOriginAndClonesWork) {
    logging::ElapsedTimeFormatter flag;
    const auto clone = flag.clone();
    logging::initialize_timer();
    std::this_thread::sleep_for(20ms);
    for (auto* instance : {static_cast<spdlog::custom_flag_formatter*>(&flag), clone.get()}) {
        const std::string text = format_with(*instance);
        ASSERT_EQ(text.size(), 10u) << text;
        EXPECT_EQ(text.back(), 's');
        EXPECT_GE(std::stod(text), 0.020) << text;
    }
}

TEST(SourceFileFormatter, OutsideAFilteredWriteIsPaddingAlone) {
    logging::SourceFileFormatter flag;
    EXPECT_EQ(format_with(flag), std::string(logging::SOURCE_COLUMN_WIDTH, ' '));
    EXPECT_EQ(format_with(*flag.clone()), std::string(logging::SOURCE_COLUMN_WIDTH, ' '));
}

}  // namespace
