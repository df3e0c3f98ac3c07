#pragma once
// aligned_allocator_gt: a stateless allocator of aligned blocks whose byte size is rounded up to a multiple
// of the alignment. It reports failure (including a size that overflows) as a null pointer, never by
// throwing, so that callers can turn exhaustion into their own error values.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "index/fault_injection.h"

namespace vemo {
namespace korvane {

/// Rounds `bytes` up to a multiple of `alignment` (a power of two); false when that overflows.
inline bool round_up_bytes(std::size_t bytes, std::size_t alignment, std::size_t& rounded) noexcept {
    if (bytes > SIZE_MAX - (alignment - 1))
        return false;
    rounded = (bytes + alignment - 1) & ~(alignment - 1);
    return true;
}

/// Computes count * size, rounded up to `alignment`; false when any step overflows.
inline bool aligned_array_bytes(std::size_t count, std::size_t size, std::size_t alignment,
                                std::size_t& bytes) noexcept {
    if (size && count > SIZE_MAX / size)
        return false;
    return round_up_bytes(count * size, alignment, bytes);
}

template <typename element_at = char, std::size_t alignment_ak = 64> class aligned_allocator_gt {
  public:
    using value_type = element_at;
    static constexpr std::size_t alignment() noexcept { return alignment_ak; }

    /// Returns storage for `count` elements, or null. A count of 0 still yields a valid (unique) block,
    /// so that empty tables are not mistaken for allocation failures.
    element_at* allocate(std::size_t count) const noexcept {
        std::size_t bytes = 0;
        if (!aligned_array_bytes(count, sizeof(element_at), alignment_ak, bytes) ||
            fault_injection::allocation_should_fail())
            return nullptr;
        if (bytes == 0)
            bytes = alignment_ak;
        return static_cast<element_at*>(std::aligned_alloc(alignment_ak, bytes));
    }
    void deallocate(element_at* pointer, std::size_t = 0) const noexcept { std::free(pointer); }
};

} // namespace korvane
} // namespace vemo
