#pragma once
// Configuration, limits, result records and the byte layout of graph nodes.
//
// A node is one contiguous, unpadded, little-endian block:
//   bytes 0..7   key (unsigned 64-bit)
//   bytes 8..9   level (signed 16-bit), the node's highest level
//   from 10      level-0 list: 32-bit count, then base_connectivity 32-bit slots
//   then         one list per level 1..level: 32-bit count, then connectivity 32-bit slots
// Fields are unaligned in general (nodes in a viewed file are packed back to back), so they are read and
// written through memcpy, except the key of an 8-byte-aligned node, which is accessed atomically because a
// removal or a relink may rewrite it while searches read it.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "metrics/error.h"

namespace vemo {
namespace korvane {

struct index_config_t {
    /// Maximum neighbours per node on levels above 0, and the number of links a new node chooses on every
    /// level; 0 asks for the default of 16.
    std::size_t connectivity = 0;
    /// Maximum neighbours per node on level 0; 0 asks for twice the connectivity.
    std::size_t base_connectivity = 0;
};

struct index_limits_t {
    /// Node slots to make room for.
    std::size_t capacity = 0;
    /// Threads that may insert at the same time.
    std::size_t insertion_threads = 0;
    /// Threads that may search at the same time.
    std::size_t search_threads = 0;

    /// Number of thread contexts these limits need.
    std::size_t threads() const noexcept {
        return insertion_threads > search_threads ? insertion_threads : search_threads;
    }
};

/// Values derived from the configuration whenever it is set.
struct precomputed_constants_t {
    /// 1 / ln(connectivity): scales the exponential level distribution.
    double level_scale = 0;
    /// Bytes of one neighbour list above level 0: 4 + 4 x connectivity.
    std::size_t list_bytes = 0;
    /// Bytes of the level-0 list: 4 + 4 x base_connectivity.
    std::size_t base_list_bytes = 0;
};

/// Fills in the defaults; afterwards both counts are non-zero unless connectivity overflowed.
inline index_config_t normalized_config(index_config_t config) noexcept {
    if (!config.connectivity)
        config.connectivity = 16;
    if (!config.base_connectivity)
        config.base_connectivity = config.connectivity * 2;
    return config;
}

/// Checks a normalised configuration; the messages are part of the interface.
inline char const* config_error(index_config_t const& config) noexcept {
    if (config.connectivity <= 1)
        return "Connectivity must be at least 2, otherwise the index degenerates into ropes";
    if (config.base_connectivity < config.connectivity)
        return "Base layer should be at least as connected as the rest of the graph";
    return nullptr;
}

inline precomputed_constants_t precompute(index_config_t const& config) noexcept {
    precomputed_constants_t result;
    result.level_scale = 1.0 / std::log(static_cast<double>(config.connectivity));
    result.list_bytes = 4 + 4 * config.connectivity;
    result.base_list_bytes = 4 + 4 * config.base_connectivity;
    return result;
}

/// A neighbour list inside a node: a 32-bit count followed by `capacity` 32-bit slots. Reads clamp the
/// stored count to the capacity so that a damaged count never reaches beyond the list.
template <typename slot_at> class neighbors_ref_gt {
    static_assert(sizeof(slot_at) == 4, "lists hold 32-bit slots");

  public:
    using byte_t = char;
    neighbors_ref_gt(byte_t* tape, std::size_t capacity) noexcept : tape_(tape), capacity_(capacity) {}

    std::size_t size() const noexcept {
        std::uint32_t count;
        std::memcpy(&count, tape_, 4);
        return count < capacity_ ? count : capacity_;
    }
    std::size_t capacity() const noexcept { return capacity_; }
    slot_at operator[](std::size_t i) const noexcept {
        slot_at slot;
        std::memcpy(&slot, tape_ + 4 + 4 * i, 4);
        return slot;
    }
    /// Appends; requires size() < capacity().
    void push_back(slot_at slot) noexcept {
        std::uint32_t count;
        std::memcpy(&count, tape_, 4);
        std::memcpy(tape_ + 4 + 4 * std::size_t(count), &slot, 4);
        ++count;
        std::memcpy(tape_, &count, 4);
    }
    /// Empties the list, zeroing the count and the entries that were in use.
    void clear() noexcept {
        std::size_t const used = size();
        std::memset(tape_, 0, 4 + 4 * used);
    }
    byte_t* tape() const noexcept { return tape_; }

  private:
    byte_t* tape_;
    std::size_t capacity_;
};

/// Handle of a node's bytes; does not own them.
template <typename key_at, typename level_at> class node_gt {
  public:
    using byte_t = char;
    static constexpr std::size_t key_offset_k = 0;
    static constexpr std::size_t level_offset_k = sizeof(key_at);
    static constexpr std::size_t head_bytes_k = sizeof(key_at) + sizeof(level_at);

    node_gt(byte_t* tape = nullptr) noexcept : tape_(tape) {}
    byte_t* tape() const noexcept { return tape_; }
    explicit operator bool() const noexcept { return tape_ != nullptr; }

    key_at key() const noexcept {
        if (aligned_key_())
            return __atomic_load_n(reinterpret_cast<key_at const*>(tape_), __ATOMIC_RELAXED);
        key_at key;
        std::memcpy(&key, tape_, sizeof(key));
        return key;
    }
    /// Must not be called on a node inside a read-only mapping.
    void key(key_at key) noexcept {
        if (aligned_key_())
            __atomic_store_n(reinterpret_cast<key_at*>(tape_), key, __ATOMIC_RELAXED);
        else
            std::memcpy(tape_, &key, sizeof(key));
    }
    level_at level() const noexcept {
        level_at level;
        std::memcpy(&level, tape_ + level_offset_k, sizeof(level));
        return level;
    }
    void level(level_at level) noexcept { std::memcpy(tape_ + level_offset_k, &level, sizeof(level)); }

  private:
    bool aligned_key_() const noexcept { return (reinterpret_cast<std::uintptr_t>(tape_) % sizeof(key_at)) == 0; }
    byte_t* tape_;
};

/// Outcome of inserting or relinking one node; counters are differences of the context's running counters.
struct add_result_t {
    /// Empty on success.
    error_t error;
    /// For a new node its slot + 1; 0 for a relinked slot and on failure.
    std::size_t size_after = 0;
    /// Nodes expanded.
    std::size_t hop_count = 0;
    /// Distances computed, pruning included.
    std::size_t distance_count = 0;
    /// Comparisons credited while choosing the node's own links.
    std::size_t link_prune_count = 0;
    /// Comparisons credited while pruning neighbours' lists.
    std::size_t backlink_prune_count = 0;
    /// The slot that received the entry.
    unsigned int slot = 0;

    explicit operator bool() const noexcept { return !error; }
};

/// Outcome of find_nearest; the results themselves stay in the thread context (index_gt::results()).
struct search_outcome_t {
    /// Number of results: the first `count` elements of the context's results, closest first.
    std::size_t count = 0;
    /// Nodes expanded by this search.
    std::size_t hop_count = 0;
    /// Distances computed by this search.
    std::size_t distance_count = 0;
    /// Empty, or "Out of memory!".
    error_t error;

    explicit operator bool() const noexcept { return !error; }
};

} // namespace korvane
} // namespace vemo
