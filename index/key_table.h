#pragma once
// The key table of the dense index: an open-addressing hash multi-set of (key, slot) pairs with linear
// probing. Positions are tracked by two bit masks per bucket of 64, so one 64-bit load tells whether a
// position is free, live or a tombstone. Removal leaves tombstones; only growth rehashes them away.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

namespace vemo {
namespace korvane {

/// One element of the key table: a user key and the slot of its entry.
struct key_and_slot_t {
    std::uint64_t key;
    std::uint32_t slot;
};

/// Hashes an element or a bare key by its key alone; the table masks the hash with its position count.
/// The key's bits are mixed so that consecutive keys, the usual case, scatter over the table: with the
/// key itself as hash they would form one probe run as long as the key range, and every lookup of an
/// absent key, removal or range walk that starts inside it would scan to its end.
struct lookup_key_hash_t {
    static std::size_t mix(std::uint64_t key) noexcept {
        key ^= key >> 30;
        key *= 0xbf58476d1ce4e5b9ull;
        key ^= key >> 27;
        key *= 0x94d049bb133111ebull;
        key ^= key >> 31;
        return static_cast<std::size_t>(key);
    }
    std::size_t operator()(key_and_slot_t const& element) const noexcept { return mix(element.key); }
    std::size_t operator()(std::uint64_t key) const noexcept { return mix(key); }
};

/// Compares keys only: the slot never takes part in equality.
struct lookup_key_same_t {
    bool operator()(key_and_slot_t const& a, key_and_slot_t const& b) const noexcept { return a.key == b.key; }
    bool operator()(key_and_slot_t const& a, std::uint64_t b) const noexcept { return a.key == b; }
    bool operator()(std::uint64_t a, key_and_slot_t const& b) const noexcept { return a == b.key; }
};

template <typename element_at, typename hash_at, typename equals_at, typename allocator_at = std::allocator<char>>
class flat_hash_multi_set_gt {
  public:
    static constexpr std::size_t slots_per_bucket_k = 64;
    static constexpr std::size_t npos = ~std::size_t(0);

    struct bucket_t {
        std::uint64_t populated; ///< bit i set: position i of the bucket holds an element, live or deleted
        std::uint64_t deleted;   ///< bit i set: that element is a tombstone (only ever set with `populated`)
        element_at elements[slots_per_bucket_k];
    };

    using bucket_allocator_t = typename std::allocator_traits<allocator_at>::template rebind_alloc<bucket_t>;

    flat_hash_multi_set_gt() noexcept = default;
    flat_hash_multi_set_gt(flat_hash_multi_set_gt const&) = delete;
    flat_hash_multi_set_gt& operator=(flat_hash_multi_set_gt const&) = delete;
    ~flat_hash_multi_set_gt() noexcept { reset(); }

    std::size_t size() const noexcept { return populated_slots_; }
    std::size_t slot_count() const noexcept { return capacity_slots_; }
    std::size_t buckets_count() const noexcept { return buckets_count_; }

    bool is_populated(std::size_t position) const noexcept { return bit_(bucket_(position).populated, position); }
    bool is_deleted(std::size_t position) const noexcept { return bit_(bucket_(position).deleted, position); }
    bool is_live(std::size_t position) const noexcept { return is_populated(position) && !is_deleted(position); }
    element_at const& at(std::size_t position) const noexcept {
        return bucket_(position).elements[position % slots_per_bucket_k];
    }

    /// Makes room for `count` live elements at a load of at most two thirds. Rehashing drops tombstones.
    /// False when the position count cannot be represented; storage exhaustion raises `std::bad_alloc`.
    bool try_reserve(std::size_t count) {
        constexpr std::size_t max_k = ~std::size_t(0);
        if (count > max_k / 3)
            return false;
        if (capacity_slots_ <= max_k / 2 && 2 * capacity_slots_ >= 3 * count)
            return true;
        std::size_t wanted = 3 * count / 2;
        std::size_t new_slots = slots_per_bucket_k;
        while (new_slots < wanted) {
            if (new_slots > max_k / 2)
                return false;
            new_slots *= 2;
        }
        rehash_(new_slots);
        return true;
    }

    /// Adds an element, growing first when the live load reached two thirds. Duplicate keys are allowed.
    /// Tombstones are purged by a rehash of the same size once live and deleted positions together pass
    /// five sixths of the table, so that probes for absent keys always meet a free position soon.
    void insert(element_at const& element) {
        if (populated_slots_ * 3 >= capacity_slots_ * 2) {
            if (!try_reserve(populated_slots_ + 1))
                throw std::bad_alloc();
        } else if ((populated_slots_ + deleted_slots_ + 1) * 6 > capacity_slots_ * 5)
            rehash_(capacity_slots_);
        place_(element);
        ++populated_slots_;
    }

    /// Position of the first live element equal to `query`, or `npos`.
    template <typename query_at> std::size_t find_first(query_at const& query) const noexcept {
        if (!capacity_slots_)
            return npos;
        std::size_t const mask = capacity_slots_ - 1;
        std::size_t const start = hash_at{}(query) & mask;
        std::size_t position = start;
        do {
            bucket_t const& bucket = bucket_(position);
            if (!bit_(bucket.populated, position))
                return npos;
            if (!bit_(bucket.deleted, position) &&
                equals_at{}(bucket.elements[position % slots_per_bucket_k], query))
                return position;
            position = (position + 1) & mask;
        } while (position != start);
        return npos;
    }

    template <typename query_at> element_at const* find(query_at const& query) const noexcept {
        std::size_t position = find_first(query);
        return position == npos ? nullptr : &at(position);
    }

    /// Calls `callback(element)` for every live element equal to `query`, in probe order, from the first
    /// match to the first free position; returns how many were visited.
    template <typename query_at, typename callback_at>
    std::size_t for_each_equal(query_at const& query, callback_at&& callback) const {
        std::size_t position = find_first(query);
        if (position == npos)
            return 0;
        std::size_t const mask = capacity_slots_ - 1;
        std::size_t const start = hash_at{}(query) & mask;
        std::size_t count = 0;
        do {
            bucket_t const& bucket = bucket_(position);
            if (!bit_(bucket.populated, position))
                break;
            element_at const& element = bucket.elements[position % slots_per_bucket_k];
            if (!bit_(bucket.deleted, position) && equals_at{}(element, query)) {
                callback(element);
                ++count;
            }
            position = (position + 1) & mask;
        } while (position != start);
        return count;
    }

    /// Marks every live element equal to `query` deleted; returns how many. Nothing moves.
    template <typename query_at> std::size_t erase(query_at const& query) noexcept {
        if (!capacity_slots_)
            return 0;
        std::size_t const mask = capacity_slots_ - 1;
        std::size_t const start = hash_at{}(query) & mask;
        std::size_t position = start;
        std::size_t count = 0;
        do {
            bucket_t& bucket = bucket_(position);
            std::uint64_t const bit = std::uint64_t(1) << (position % slots_per_bucket_k);
            if (!(bucket.populated & bit))
                break;
            if (!(bucket.deleted & bit) && equals_at{}(bucket.elements[position % slots_per_bucket_k], query)) {
                bucket.deleted |= bit;
                ++count;
            }
            position = (position + 1) & mask;
        } while (position != start);
        populated_slots_ -= count;
        deleted_slots_ += count;
        return count;
    }

    /// Turns the live element at `position` into a tombstone.
    void erase_at(std::size_t position) noexcept {
        bucket_(position).deleted |= std::uint64_t(1) << (position % slots_per_bucket_k);
        --populated_slots_;
        ++deleted_slots_;
    }

    /// Number of tombstones.
    std::size_t deleted_count() const noexcept { return deleted_slots_; }

    /// Empties the table, keeping its storage.
    void clear() noexcept {
        if (buckets_)
            std::memset(static_cast<void*>(buckets_), 0, buckets_count_ * sizeof(bucket_t));
        populated_slots_ = 0;
        deleted_slots_ = 0;
    }

    /// Empties the table and frees its storage.
    void reset() noexcept {
        clear();
        free_buckets_(buckets_, buckets_count_);
        buckets_ = nullptr;
        buckets_count_ = 0;
        capacity_slots_ = 0;
    }

    /// Replaces this (empty) table's content by the live elements of `source`, in a table of as many
    /// buckets. Tombstones are dropped, so elements are re-inserted by probing rather than copied to their
    /// old positions: an element that had been placed past a tombstone would otherwise become unreachable.
    void assign_live_of(flat_hash_multi_set_gt const& source) {
        reset();
        if (!source.buckets_count_)
            return;
        buckets_ = allocate_buckets_(source.buckets_count_);
        buckets_count_ = source.buckets_count_;
        capacity_slots_ = source.capacity_slots_;
        for (std::size_t position = 0; position != capacity_slots_; ++position)
            if (source.is_live(position))
                place_(source.at(position));
        populated_slots_ = source.populated_slots_;
    }

  private:
    /// Moves the live elements, in old position order, into a fresh zeroed table of `new_slots` positions;
    /// tombstones stay behind. Raises `std::bad_alloc` before changing anything.
    void rehash_(std::size_t new_slots) {
        std::size_t const new_buckets_count = new_slots / slots_per_bucket_k;
        bucket_t* new_buckets = allocate_buckets_(new_buckets_count);
        bucket_t* old_buckets = std::exchange(buckets_, new_buckets);
        std::size_t const old_buckets_count = std::exchange(buckets_count_, new_buckets_count);
        capacity_slots_ = new_slots;
        deleted_slots_ = 0;
        for (std::size_t b = 0; b != old_buckets_count; ++b) {
            bucket_t const& bucket = old_buckets[b];
            std::uint64_t const live = bucket.populated & ~bucket.deleted;
            for (std::size_t i = 0; i != slots_per_bucket_k; ++i)
                if (live & (std::uint64_t(1) << i))
                    place_(bucket.elements[i]);
        }
        free_buckets_(old_buckets, old_buckets_count);
    }

    static bool bit_(std::uint64_t mask, std::size_t position) noexcept {
        return (mask >> (position % slots_per_bucket_k)) & 1u;
    }
    bucket_t& bucket_(std::size_t position) noexcept { return buckets_[position / slots_per_bucket_k]; }
    bucket_t const& bucket_(std::size_t position) const noexcept { return buckets_[position / slots_per_bucket_k]; }

    static bucket_t* allocate_buckets_(std::size_t count) {
        bucket_allocator_t allocator;
        bucket_t* buckets = allocator.allocate(count);
        if (!buckets)
            throw std::bad_alloc();
        std::memset(static_cast<void*>(buckets), 0, count * sizeof(bucket_t));
        return buckets;
    }
    static void free_buckets_(bucket_t* buckets, std::size_t count) noexcept {
        if (buckets)
            bucket_allocator_t{}.deallocate(buckets, count);
    }

    /// Stores `element` in the first free or deleted position of its probe. The caller keeps the live
    /// load below the position count, so such a position exists; the population is the caller's.
    void place_(element_at const& element) noexcept {
        std::size_t const mask = capacity_slots_ - 1;
        std::size_t position = hash_at{}(element) & mask;
        for (;;) {
            bucket_t& bucket = bucket_(position);
            std::uint64_t const bit = std::uint64_t(1) << (position % slots_per_bucket_k);
            if (!(bucket.populated & bit) || (bucket.deleted & bit)) {
                if (bucket.deleted & bit)
                    --deleted_slots_;
                bucket.elements[position % slots_per_bucket_k] = element;
                bucket.populated |= bit;
                bucket.deleted &= ~bit;
                return;
            }
            position = (position + 1) & mask;
        }
    }

    bucket_t* buckets_ = nullptr;
    std::size_t buckets_count_ = 0;   ///< number of buckets of 64 positions
    std::size_t populated_slots_ = 0; ///< live elements; tombstones are not counted
    std::size_t capacity_slots_ = 0;  ///< positions: 0 or a power of two of at least 64
    std::size_t deleted_slots_ = 0;   ///< tombstones: positions populated and deleted
};

} // namespace korvane
} // namespace vemo
