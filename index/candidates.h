#pragma once
// The containers every walk through the graph works with: a sorted buffer of the best candidates, a binary
// max-heap of candidates still to expand, and an open-addressing set of visited slots. All three live in a
// per-thread context, take no locks, grow by one shared rule and never shrink, so that a steady stream of
// operations on one context allocates nothing.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "index/aligned_allocator.h"
#include "index/memory_mapping_allocator.h"

namespace vemo {
namespace korvane {

/// A slot and its distance to some reference; ordered by distance alone.
struct candidate_t {
    /// Distance to the query; stored negated in the frontier heap.
    float distance;
    unsigned int slot;
};

struct candidate_less_t {
    bool operator()(candidate_t const& a, candidate_t const& b) const noexcept { return a.distance < b.distance; }
};

/// A non-owning view of contiguous elements.
template <typename element_at> class span_gt {
  public:
    span_gt() noexcept = default;
    span_gt(element_at* data, std::size_t size) noexcept : data_(data), size_(size) {}
    element_at* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    element_at* begin() const noexcept { return data_; }
    element_at* end() const noexcept { return data_ + size_; }
    element_at& operator[](std::size_t i) const noexcept { return data_[i]; }

  private:
    element_at* data_ = nullptr;
    std::size_t size_ = 0;
};

/// Capacity growth shared by the sorted buffer and the heap: at least double, at least 16, a power of two,
/// and strictly more than `wanted`. Returns 0 when no capacity fits.
inline std::size_t grown_capacity(std::size_t wanted, std::size_t capacity) noexcept {
    std::size_t grown = ceil_power_of_two(wanted);
    if (wanted && !grown)
        return 0;
    if (capacity > SIZE_MAX / 2)
        return 0;
    if (grown < capacity * 2)
        grown = capacity * 2;
    if (grown < 16)
        grown = 16;
    return grown;
}

/// Owns an aligned array of trivially copyable elements with the growth rule above. Base of both buffers.
template <typename element_at, typename allocator_at> class candidate_array_gt {
  public:
    candidate_array_gt() noexcept = default;
    candidate_array_gt(candidate_array_gt const&) = delete;
    candidate_array_gt& operator=(candidate_array_gt const&) = delete;
    ~candidate_array_gt() noexcept { release(); }

    /// Makes room for `wanted` elements; a request equal to the capacity still grows. On failure nothing
    /// changes.
    bool reserve(std::size_t wanted) noexcept {
        if (wanted < capacity_)
            return true;
        std::size_t const new_capacity = grown_capacity(wanted, capacity_);
        if (!new_capacity)
            return false;
        element_at* new_data = allocator_at{}.allocate(new_capacity);
        if (!new_data)
            return false;
        if (size_)
            std::memcpy(static_cast<void*>(new_data), data_, size_ * sizeof(element_at));
        if (data_)
            allocator_at{}.deallocate(data_, capacity_);
        data_ = new_data;
        capacity_ = new_capacity;
        return true;
    }

    void clear() noexcept { size_ = 0; }
    void release() noexcept {
        if (data_)
            allocator_at{}.deallocate(data_, capacity_);
        data_ = nullptr;
        size_ = 0;
        capacity_ = 0;
    }

    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    bool empty() const noexcept { return size_ == 0; }
    element_at* data() noexcept { return data_; }
    element_at const* data() const noexcept { return data_; }
    element_at& operator[](std::size_t i) noexcept { return data_[i]; }
    element_at const& operator[](std::size_t i) const noexcept { return data_[i]; }

  protected:
    /// 64-byte aligned; null until the first reservation.
    element_at* data_ = nullptr;
    /// Elements in use.
    std::size_t size_ = 0;
    /// Elements allocated; 0 or a power of two of at least 16.
    std::size_t capacity_ = 0;
};

/// Elements kept in ascending order: element 0 the closest, element size - 1 the farthest. A new element
/// goes before every element it does not compare less than, so among equals the latest comes first.
template <typename element_at = candidate_t, typename less_at = candidate_less_t,
          typename allocator_at = aligned_allocator_gt<element_at, 64>>
class sorted_buffer_gt : public candidate_array_gt<element_at, allocator_at> {
    using base_t = candidate_array_gt<element_at, allocator_at>;
    using base_t::capacity_;
    using base_t::data_;
    using base_t::size_;

  public:
    static bool less(element_at const& a, element_at const& b) noexcept { return less_at{}(a, b); }

    /// Inserts without a limit; requires size < capacity.
    void insert_reserved(element_at const& element) noexcept {
        std::size_t const position = lower_bound_(element);
        std::memmove(static_cast<void*>(data_ + position + 1), data_ + position,
                     (size_ - position) * sizeof(element_at));
        data_[position] = element;
        ++size_;
    }

    /// Inserts keeping at most `limit` elements; requires size <= limit <= capacity.
    void insert_capped(element_at const& element, std::size_t limit) noexcept {
        std::size_t const position = lower_bound_(element);
        if (position == limit)
            return;
        std::size_t const kept_tail = (size_ == limit ? limit - 1 : size_) - position;
        std::memmove(static_cast<void*>(data_ + position + 1), data_ + position, kept_tail * sizeof(element_at));
        data_[position] = element;
        if (size_ != limit)
            ++size_;
    }

    void truncate(std::size_t n) noexcept {
        if (n < size_)
            size_ = n;
    }

    element_at const& back() const noexcept { return data_[size_ - 1]; }
    span_gt<element_at const> view() const noexcept { return {data_, size_}; }

  private:
    /// First element that `element` is not greater than; a NaN compares "not less" and moves left.
    std::size_t lower_bound_(element_at const& element) const noexcept {
        std::size_t low = 0, high = size_;
        while (low < high) {
            std::size_t const middle = low + (high - low) / 2;
            if (less(data_[middle], element))
                low = middle + 1;
            else
                high = middle;
        }
        return low;
    }
};

/// Binary max-heap; element 0 is the largest. Only strictly larger children move, so ties never swap.
template <typename element_at = candidate_t, typename less_at = candidate_less_t,
          typename allocator_at = aligned_allocator_gt<element_at, 64>>
class max_heap_gt : public candidate_array_gt<element_at, allocator_at> {
    using base_t = candidate_array_gt<element_at, allocator_at>;
    using base_t::capacity_;
    using base_t::data_;
    using base_t::size_;

  public:
    /// Requires size < capacity.
    void push_reserved(element_at const& element) noexcept {
        data_[size_] = element;
        ++size_;
        shift_up(size_ - 1);
    }

    /// Drops the element and returns false when the heap cannot grow.
    bool push(element_at const& element) noexcept {
        if (!this->reserve(size_ + 1))
            return false;
        push_reserved(element);
        return true;
    }

    void shift_up(std::size_t i) noexcept {
        while (i > 0) {
            std::size_t const parent = (i - 1) / 2;
            if (!less_at{}(data_[parent], data_[i]))
                break;
            std::swap(data_[i], data_[parent]);
            i = parent;
        }
    }

    element_at const& top() const noexcept { return data_[0]; }

    void pop() noexcept {
        std::swap(data_[0], data_[size_ - 1]);
        --size_;
        std::size_t i = 0;
        for (;;) {
            std::size_t const left = 2 * i + 1, right = 2 * i + 2;
            std::size_t largest = i;
            if (left < size_ && less_at{}(data_[i], data_[left]))
                largest = left;
            if (right < size_ && less_at{}(data_[largest], data_[right]))
                largest = right;
            if (largest == i)
                break;
            std::swap(data_[i], data_[largest]);
            i = largest;
        }
    }
};

/// Identity hash: a value's home cell is its low bits.
template <typename element_at> struct hash_gt {
    std::size_t operator()(element_at value) const noexcept { return static_cast<std::size_t>(value); }
};

/// Open-addressing set of unsigned integers with linear probing on a power-of-two table; the all-ones value
/// marks an empty cell and can therefore not be stored. test_and_set never grows the table: callers reserve
/// for everything they may insert before inserting it.
template <typename element_at = unsigned int, typename hash_at = hash_gt<element_at>,
          typename allocator_at = aligned_allocator_gt<char, 64>>
class growing_hash_set_gt {
    static constexpr element_at empty_cell_k = static_cast<element_at>(~element_at(0));

  public:
    growing_hash_set_gt() noexcept = default;
    growing_hash_set_gt(growing_hash_set_gt const&) = delete;
    growing_hash_set_gt& operator=(growing_hash_set_gt const&) = delete;
    ~growing_hash_set_gt() noexcept { release(); }

    /// Grows the table so that `wanted` values keep it at most 60 % full. On failure nothing changes.
    bool reserve(std::size_t wanted) noexcept {
        if (wanted > SIZE_MAX / 5)
            return false;
        std::size_t const target = 5 * wanted / 3;
        if (capacity_ >= target)
            return true;
        std::size_t const new_capacity = ceil_power_of_two(target);
        if (!new_capacity || new_capacity > SIZE_MAX / sizeof(element_at))
            return false;
        element_at* new_cells = reinterpret_cast<element_at*>(allocator_at{}.allocate(new_capacity * sizeof(element_at)));
        if (!new_cells)
            return false;
        std::memset(static_cast<void*>(new_cells), 0xFF, new_capacity * sizeof(element_at));
        if (cells_ && count_) {
            std::size_t const mask = new_capacity - 1;
            for (std::size_t i = 0; i != capacity_; ++i) {
                element_at const value = cells_[i];
                if (value == empty_cell_k)
                    continue;
                std::size_t cell = hash_at{}(value) & mask;
                while (new_cells[cell] != empty_cell_k)
                    cell = (cell + 1) & mask;
                new_cells[cell] = value;
            }
        }
        if (cells_)
            allocator_at{}.deallocate(reinterpret_cast<char*>(cells_), capacity_ * sizeof(element_at));
        cells_ = new_cells;
        capacity_ = new_capacity;
        return true;
    }

    /// True when `value` was present; otherwise stores it and returns false. Requires a free cell.
    bool test_and_set(element_at value) noexcept {
        std::size_t const mask = capacity_ - 1;
        std::size_t cell = hash_at{}(value) & mask;
        while (cells_[cell] != empty_cell_k) {
            if (cells_[cell] == value)
                return true;
            cell = (cell + 1) & mask;
        }
        cells_[cell] = value;
        ++count_;
        return false;
    }

    /// Costs time proportional to the capacity, not to the count.
    void clear() noexcept {
        if (cells_)
            std::memset(static_cast<void*>(cells_), 0xFF, capacity_ * sizeof(element_at));
        count_ = 0;
    }

    void release() noexcept {
        if (cells_)
            allocator_at{}.deallocate(reinterpret_cast<char*>(cells_), capacity_ * sizeof(element_at));
        cells_ = nullptr;
        capacity_ = 0;
        count_ = 0;
    }

    std::size_t size() const noexcept { return count_; }
    std::size_t capacity() const noexcept { return capacity_; }
    /// The cell array, for inspection of probe placement; null before the first reservation.
    element_at const* cells() const noexcept { return cells_; }

  private:
    /// 64-byte aligned table of `capacity_` cells; all-ones marks an empty cell.
    element_at* cells_ = nullptr;
    /// Number of cells: 0 or a power of two.
    std::size_t capacity_ = 0;
    /// Number of values stored.
    std::size_t count_ = 0;
};

} // namespace korvane
} // namespace vemo
