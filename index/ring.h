#pragma once
// ring_gt: a first-in first-out ring buffer of trivially copyable elements. The dense index keeps two: the
// slots freed by removal (reused oldest first) and the idle thread-context ids.

#include <cstddef>
#include <memory>
#include <utility>

namespace vemo {
namespace korvane {

/// A ring over storage from `allocator_at`. An allocator that reports exhaustion by returning null makes
/// `reserve` return false; one that throws (the standard allocator) lets `std::bad_alloc` through.
/// Push never checks for room: callers reserve first.
template <typename element_at, typename allocator_at = std::allocator<element_at>> class ring_gt {
  public:
    using element_t = element_at;

    ring_gt() noexcept = default;
    ring_gt(ring_gt const&) = delete;
    ring_gt& operator=(ring_gt const&) = delete;
    ring_gt(ring_gt&& other) noexcept { take_over_(other); }
    ring_gt& operator=(ring_gt&& other) noexcept {
        if (this != &other) {
            reset();
            take_over_(other);
        }
        return *this;
    }
    ~ring_gt() noexcept { reset(); }

    bool empty() const noexcept { return empty_; }
    std::size_t capacity() const noexcept { return capacity_; }
    std::size_t head() const noexcept { return head_; }
    std::size_t tail() const noexcept { return tail_; }

    /// Number of held elements; head equal to tail means full unless the ring is marked empty.
    std::size_t size() const noexcept {
        if (empty_)
            return 0;
        if (head_ > tail_)
            return head_ - tail_;
        return capacity_ - tail_ + head_;
    }

    void push(element_at const& element) noexcept {
        elements_[head_] = element;
        head_ = (head_ + 1) % capacity_;
        empty_ = false;
    }

    /// Takes the oldest element; false (and `element` untouched) on an empty ring.
    bool try_pop(element_at& element) noexcept {
        if (empty_)
            return false;
        element = elements_[tail_];
        tail_ = (tail_ + 1) % capacity_;
        empty_ = tail_ == head_;
        return true;
    }

    void clear() noexcept {
        head_ = 0;
        tail_ = 0;
        empty_ = true;
    }

    /// Makes room for `count` elements, keeping the held ones in order. Fails (changing nothing) when
    /// `count` is below the current size or the storage cannot be obtained.
    bool reserve(std::size_t count) {
        std::size_t held = size();
        if (count < held)
            return false;
        if (count <= capacity_)
            return true;
        std::size_t new_capacity = 64;
        while (new_capacity < count) {
            if (new_capacity > (~std::size_t(0)) / 2)
                return false;
            new_capacity *= 2;
        }
        allocator_at allocator;
        element_at* new_elements = allocator.allocate(new_capacity);
        if (!new_elements)
            return false;
        for (std::size_t i = 0; i != held; ++i)
            new_elements[i] = elements_[(tail_ + i) % capacity_];
        if (elements_)
            allocator.deallocate(elements_, capacity_);
        elements_ = new_elements;
        capacity_ = new_capacity;
        tail_ = 0;
        head_ = held % new_capacity;
        return true;
    }

    /// Frees the storage and leaves an empty ring of capacity 0.
    void reset() noexcept {
        if (elements_)
            allocator_at{}.deallocate(elements_, capacity_);
        elements_ = nullptr;
        capacity_ = 0;
        clear();
    }

  private:
    void take_over_(ring_gt& other) noexcept {
        elements_ = std::exchange(other.elements_, nullptr);
        capacity_ = std::exchange(other.capacity_, 0);
        head_ = std::exchange(other.head_, 0);
        tail_ = std::exchange(other.tail_, 0);
        empty_ = std::exchange(other.empty_, true);
    }

    element_at* elements_ = nullptr;
    std::size_t capacity_ = 0; ///< elements the storage holds; 0 or a power of two of at least 64
    std::size_t head_ = 0;     ///< position of the next push, below `capacity_`
    std::size_t tail_ = 0;     ///< position of the oldest element, popped next
    bool empty_ = true;        ///< distinguishes an empty ring from a full one when head equals tail
};

} // namespace korvane
} // namespace vemo
