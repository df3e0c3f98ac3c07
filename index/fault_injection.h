#pragma once
// Allocation fault injection for tests. The allocation paths of the index (the aligned allocator, the arenas'
// mappings, and any replaced global operator new of a test program) ask `allocation_should_fail()` first; a
// test arms a countdown so that the N-th allocation from then on fails, and checks that the operation it runs
// ends in a clean error. Disarmed, the check is one relaxed atomic load.

#include <atomic>
#include <cstdint>

namespace vemo {
namespace korvane {
namespace fault_injection {

/// Allocations still to succeed before the armed one fails, counting that one: 0 when disarmed, negative once
/// a sticky failure fired (every later allocation fails too, as under real exhaustion).
inline std::atomic<std::int64_t> countdown{0};
/// Whether the failure, once it fires, keeps failing every later allocation until disarmed.
inline std::atomic<bool> sticky{false};
/// Allocations failed on purpose since the last arm().
inline std::atomic<std::uint64_t> failures{0};

/// Makes the `nth` allocation from now fail (1 = the next one); `nth` = 0 disarms.
inline void arm(std::int64_t nth, bool keep_failing = false) noexcept {
    sticky.store(keep_failing, std::memory_order_relaxed);
    failures.store(0, std::memory_order_relaxed);
    countdown.store(nth, std::memory_order_relaxed);
}
inline void disarm() noexcept { countdown.store(0, std::memory_order_relaxed); }
inline bool fired() noexcept { return failures.load(std::memory_order_relaxed) != 0; }

/// Asked by every allocation path before it allocates; true means: report exhaustion now.
inline bool allocation_should_fail() noexcept {
    std::int64_t const left = countdown.load(std::memory_order_relaxed);
    if (left == 0)
        return false;
    if (left > 0) {
        if (countdown.fetch_sub(1, std::memory_order_relaxed) != 1)
            return false;
        if (sticky.load(std::memory_order_relaxed))
            countdown.store(-1, std::memory_order_relaxed);
    }
    failures.fetch_add(1, std::memory_order_relaxed);
    return true;
}

} // namespace fault_injection
} // namespace korvane
} // namespace vemo
