#include <varnel/foundation/speed_mode.hpp>

namespace varnel::foundation {
namespace {

static_assert(std::atomic<bool>::is_always_lock_free, "the SpeedMode flag must not take a lock");

// Constant-initialised when the library is loaded: no initialiser runs, so the flag is valid
// before any constructor of any module. Mutable on purpose, and reached only through the accessor.
std::atomic<bool> speed_mode{false};  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

}  // namespace

std::atomic<bool>& speed_mode_flag() noexcept { return speed_mode; }

}  // namespace varnel::foundation
