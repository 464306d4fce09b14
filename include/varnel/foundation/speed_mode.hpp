#pragma once
// The SpeedMode drive state: whether back-EMF measurement has been disabled in the motor firmware.

#include <atomic>

namespace varnel::foundation {

/// The one process-wide SpeedMode cell, false until set. It lives in the core library, so every
/// native module of the process shares it. Load it with acquire and store it with release (the
/// helpers below do); no lock and no read-modify-write.
std::atomic<bool>& speed_mode_flag() noexcept;

/// True once SpeedMode is active (BEMF disabled).
inline bool is_speed_mode_enabled() noexcept { return speed_mode_flag().load(std::memory_order_acquire); }

/// Records the SpeedMode state. Meant only for the drive step that has just had the firmware
/// acknowledge the BEMF-disable command; nothing here checks that. The last store wins.
inline void set_speed_mode_enabled(bool enabled) noexcept {
    speed_mode_flag().store(enabled, std::memory_order_release);
}

}  // namespace varnel::foundation
