#include <gtest/gtest.h>

#include <varnel/foundation/speed_mode.hpp>

namespace {

namespace foundation = varnel::foundation;

// The flag is process-wide: each test leaves it as it found it.
TEST(SpeedModeFlag, StartsDisabled) { EXPECT_FALSE(foundation::is_speed_mode_enabled()); }

TEST(SpeedModeFlag, IsOneCellSeenByEveryAccessor) {
    std::atomic<bool>& cell = foundation::speed_mode_flag();
    EXPECT_EQ(&cell, &foundation::speed_mode_flag());
    const bool before = cell.load();

    foundation::set_speed_mode_enabled(true);
    EXPECT_TRUE(cell.load());
    EXPECT_TRUE(foundation::is_speed_mode_enabled());
    foundation::set_speed_mode_enabled(true);  // setting it again changes nothing
    EXPECT_TRUE(foundation::is_speed_mode_enabled());

    cell.store(false);
    EXPECT_FALSE(foundation::is_speed_mode_enabled());

    cell.store(before);
}

}  // namespace
