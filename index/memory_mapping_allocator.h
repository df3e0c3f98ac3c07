#pragma once
// memory_mapping_allocator_gt: an arena for memory that lives as long as its index (graph nodes, stored
// vectors). Memory comes from anonymous private mappings that double in size; blocks are cut by bumping a
// pointer under a mutex and are only ever released all together, by reset() or destruction.

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <utility>

#include "index/fault_injection.h"

namespace vemo {
namespace korvane {

/// Smallest power of two at or above `value` (0 for 0); 0 when that does not fit in 64 bits.
inline std::size_t ceil_power_of_two(std::size_t value) noexcept {
    if (value <= 1)
        return value;
    if (value > (std::size_t(1) << 63))
        return 0;
    return std::size_t(1) << (64 - __builtin_clzll(value - 1));
}

template <std::size_t alignment_ak = 64> class memory_mapping_allocator_gt {
    static_assert(alignment_ak && (alignment_ak & (alignment_ak - 1)) == 0, "alignment must be a power of two");

  public:
    using byte_t = char;
    static constexpr std::size_t alignment() noexcept { return alignment_ak; }
    /// Bytes at the start of every arena: the previous arena's address and this arena's size, padded to the
    /// alignment so that the first block is aligned.
    static constexpr std::size_t head_size() noexcept { return (16 + alignment_ak - 1) & ~(alignment_ak - 1); }
    static constexpr std::size_t initial_capacity() noexcept { return std::size_t(4) << 20; }

    memory_mapping_allocator_gt() noexcept = default;
    memory_mapping_allocator_gt(memory_mapping_allocator_gt const&) = delete;
    memory_mapping_allocator_gt& operator=(memory_mapping_allocator_gt const&) = delete;
    memory_mapping_allocator_gt(memory_mapping_allocator_gt&& other) noexcept { take_over_(other); }
    memory_mapping_allocator_gt& operator=(memory_mapping_allocator_gt&& other) noexcept {
        if (this != &other) {
            reset();
            take_over_(other);
        }
        return *this;
    }
    ~memory_mapping_allocator_gt() noexcept { reset(); }

    /// Returns an aligned block of at least `count` bytes, or null when no memory can be mapped.
    /// Raises std::system_error only if the mutex cannot be locked.
    byte_t* allocate(std::size_t count) {
        if (count > SIZE_MAX - (alignment_ak - 1))
            return nullptr;
        std::size_t const extended = (count + alignment_ak - 1) & ~(alignment_ak - 1);

        std::lock_guard<std::mutex> lock(mutex_);
        byte_t* result = nullptr;
        if (last_arena_ && last_usage_ + extended < last_capacity_) {
            result = last_arena_ + last_usage_;
            last_usage_ += extended;
        } else {
            std::size_t const rounded = ceil_power_of_two(extended);
            if (extended && !rounded)
                return nullptr;
            std::size_t const base = rounded > last_capacity_ ? rounded : last_capacity_;
            if (base > SIZE_MAX / 2)
                return nullptr;
            std::size_t const arena_size = base * 2;
            void* mapping = fault_injection::allocation_should_fail()
                                ? MAP_FAILED
                                : ::mmap(nullptr, mapped_bytes_(arena_size), PROT_READ | PROT_WRITE,
                                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (mapping == MAP_FAILED)
                return nullptr;
            // Searches jump between nodes and vectors all over the arenas, so each step would otherwise miss
            // the TLB; transparent huge pages cut those misses. Only advice: where the system refuses it,
            // the arena keeps ordinary pages.
            ::madvise(mapping, mapped_bytes_(arena_size), MADV_HUGEPAGE);
            byte_t* arena = static_cast<byte_t*>(mapping);
            std::uint64_t head[2] = {reinterpret_cast<std::uint64_t>(last_arena_), std::uint64_t(arena_size)};
            std::memcpy(arena, head, sizeof(head));
            if (last_arena_)
                wasted_ += last_capacity_ - last_usage_;
            last_arena_ = arena;
            last_capacity_ = arena_size;
            last_usage_ = head_size() + extended;
            result = arena + head_size();
        }
        wasted_ += extended - count;
        return result;
    }

    /// Unmaps every arena and returns to the initial state. Must not overlap any other use.
    void reset() noexcept {
        byte_t* arena = last_arena_;
        while (arena) {
            std::uint64_t head[2];
            std::memcpy(head, arena, sizeof(head));
            ::munmap(arena, mapped_bytes_(static_cast<std::size_t>(head[1])));
            arena = reinterpret_cast<byte_t*>(head[0]);
        }
        last_arena_ = nullptr;
        last_usage_ = head_size();
        last_capacity_ = initial_capacity();
        wasted_ = 0;
    }

    /// Bytes obtained from the system, estimated from the doubling rule: the newest arena plus every
    /// halving of it down to 4 MiB.
    std::size_t total_allocated() const noexcept {
        if (!last_arena_)
            return 0;
        std::size_t total = 0;
        for (std::size_t term = last_capacity_; term >= initial_capacity(); term /= 2)
            total += term;
        return total;
    }
    std::size_t total_wasted() const noexcept { return wasted_; }
    std::size_t last_usage() const noexcept { return last_usage_; }
    std::size_t last_capacity() const noexcept { return last_capacity_; }
    bool has_arena() const noexcept { return last_arena_ != nullptr; }

  private:
    static std::size_t mapped_bytes_(std::size_t bytes) noexcept { return (bytes + 4095) & ~std::size_t(4095); }

    void take_over_(memory_mapping_allocator_gt& other) noexcept {
        last_arena_ = std::exchange(other.last_arena_, nullptr);
        last_usage_ = std::exchange(other.last_usage_, head_size());
        last_capacity_ = std::exchange(other.last_capacity_, initial_capacity());
        wasted_ = std::exchange(other.wasted_, 0);
    }

    /// Guards the four fields below during allocate().
    std::mutex mutex_;
    /// Newest arena; its head links to the older ones. Null until the first allocation.
    byte_t* last_arena_ = nullptr;
    /// Bytes of the newest arena in use, head included.
    std::size_t last_usage_ = head_size();
    /// Size in bytes of the newest arena (4 MiB before the first one exists).
    std::size_t last_capacity_ = initial_capacity();
    /// Bytes lost to rounding and to tails of full arenas.
    std::size_t wasted_ = 0;
};

} // namespace korvane
} // namespace vemo
