#pragma once
// index_gt: the hierarchical navigable small-world graph over numbered slots. It knows nothing of vectors:
// every distance comes from a metric callable supplied by the caller, which must offer two overloads, both
// returning the distance type (smaller is closer):
//
//   metric(byte_t const* query, slot_t slot)  distance from the query vector to the vector stored for `slot`
//   metric(slot_t a, slot_t b)                distance from the vector of slot `a` to the vector of slot `b`
//
// `query` points at the vector bytes in the stored scalar type. Slots are always passed as slot_t values.
// A metric may also offer `prefetch(slot)`, which starts loading the slot's vector into the caches, and
// `prefetch_body(slot)`, which requests more of it. Walks call the first for every neighbour they are about to
// measure, before measuring any, and the second for each neighbour just before measuring the one before it.
//
// Thread safety: insertions, relinks and searches may run at once as long as each uses its own thread
// context. try_reserve, reset, reconfigure, the state setters and destruction must not overlap anything.

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <type_traits>
#include <utility>

#include "index/aligned_allocator.h"
#include "index/candidates.h"
#include "index/graph_config.h"
#include "index/memory_mapped_file.h"
#include "index/memory_mapping_allocator.h"
#include "metrics/error.h"

namespace vemo {
namespace korvane {

/// Accepts every slot; the default filter of searches.
struct accept_all_slots_t {
    template <typename slot_at> bool operator()(slot_at) const noexcept { return true; }
};

/// True for metrics offering `prefetch(slot)`.
template <typename metric_at, typename = void> struct has_prefetch_t : std::false_type {};
template <typename metric_at>
struct has_prefetch_t<metric_at, std::void_t<decltype(std::declval<metric_at const&>().prefetch(0u))>>
    : std::true_type {};

/// True for metrics offering `prefetch_body(slot)`.
template <typename metric_at, typename = void> struct has_prefetch_body_t : std::false_type {};
template <typename metric_at>
struct has_prefetch_body_t<metric_at, std::void_t<decltype(std::declval<metric_at const&>().prefetch_body(0u))>>
    : std::true_type {};

template <typename distance_at = float, typename key_at = unsigned long, typename slot_at = unsigned int,
          typename allocator_at = aligned_allocator_gt<char, 64>,
          typename arena_at = memory_mapping_allocator_gt<64>>
class index_gt {
    static_assert(sizeof(slot_at) == 4 && std::is_unsigned<slot_at>::value, "slots are unsigned 32-bit");
    static_assert(std::is_same<distance_at, float>::value, "candidates hold 32-bit float distances");

  public:
    using distance_t = distance_at;
    using vector_key_t = key_at;
    using slot_t = slot_at;
    using level_t = std::int16_t;
    using byte_t = char;
    using node_t = node_gt<key_at, level_t>;
    using neighbors_ref_t = neighbors_ref_gt<slot_at>;
    using candidates_t = sorted_buffer_gt<candidate_t, candidate_less_t, aligned_allocator_gt<candidate_t, 64>>;
    using frontier_t = max_heap_gt<candidate_t, candidate_less_t, aligned_allocator_gt<candidate_t, 64>>;
    using visited_t = growing_hash_set_gt<slot_at, hash_gt<slot_at>, allocator_at>;
    using add_result_t = korvane::add_result_t;
    using search_outcome_t = korvane::search_outcome_t;

    /// The all-ones slot never names a node.
    static constexpr std::size_t slot_limit_k = std::numeric_limits<slot_at>::max();

    /// Scratch and counters of one thread; used by one operation at a time.
    struct alignas(64) context_t {
        /// Best candidates of the current beam search, ascending by distance; search results are read here.
        candidates_t results;
        /// Scratch for pruning a neighbour's full list; the base-level search also copies lists into it.
        candidates_t prune_buffer;
        /// Candidates still to expand, with negated distances.
        frontier_t frontier;
        /// Slots already seen by the current search.
        visited_t visited;
        /// State of the level generator, in [1, 2^31 - 2].
        std::uint32_t level_random = 1;
        /// Running count of nodes expanded.
        std::size_t hop_count = 0;
        /// Running count of distances computed, pruning included.
        std::size_t distance_count = 0;
        /// Running count of comparisons credited while choosing a new node's links.
        std::size_t link_prune_count = 0;
        /// Running count of comparisons credited while pruning a neighbour's list.
        std::size_t backlink_prune_count = 0;
    };

    /// Normalises the configuration (0 gives 16 and twice the connectivity) and checks it; an invalid one is
    /// raised as std::runtime_error unless another exception is already unwinding, in which case the graph
    /// keeps the default configuration.
    explicit index_gt(index_config_t config = {}, allocator_at allocator = {}, arena_at arena = {})
        : allocator_(allocator), node_arena_(std::move(arena)) {
        config = normalized_config(config);
        if (char const* message = config_error(config)) {
            error_t error(message);
            return;
        }
        config_ = config;
        precomputed_ = precompute(config_);
    }

    index_gt(index_gt const&) = delete;
    index_gt& operator=(index_gt const&) = delete;
    ~index_gt() noexcept { reset(); }

    /// Replaces the configuration of an empty graph, as loading a file does; the graph is unchanged on error.
    error_t reconfigure(index_config_t config) noexcept {
        config = normalized_config(config);
        if (char const* message = config_error(config))
            return error_t(message);
        config_ = config;
        precomputed_ = precompute(config_);
        return {};
    }

    // Sizes and properties

    std::size_t size() const noexcept { return size_.load(); }
    std::size_t capacity() const noexcept { return capacity_.load(); }
    index_config_t const& config() const noexcept { return config_; }
    index_limits_t const& limits() const noexcept { return limits_; }
    precomputed_constants_t const& precomputed() const noexcept { return precomputed_; }
    std::size_t contexts_count() const noexcept { return contexts_count_; }
    level_t top_level() const noexcept { return top_level_.load(std::memory_order_acquire); }
    std::size_t entry_point() const noexcept { return entry_point_.load(std::memory_order_relaxed); }
    /// A viewed graph reads its nodes from a read-only mapping and must never be modified.
    bool is_immutable() const noexcept { return mapped_file_.is_open(); }
    memory_mapped_file_t const& mapped_file() const noexcept { return mapped_file_; }
    arena_at const& node_arena() const noexcept { return node_arena_; }
    static constexpr std::size_t context_size() noexcept { return sizeof(context_t); }
    context_t const& context(std::size_t thread) const noexcept { return thread_contexts_[thread]; }
    context_t& context(std::size_t thread) noexcept { return thread_contexts_[thread]; }

    /// Results of the last search run with this thread's context, closest first.
    span_gt<candidate_t const> results(std::size_t thread) const noexcept {
        return thread_contexts_[thread].results.view();
    }

    // Node storage

    std::size_t node_bytes(level_t level) const noexcept {
        return node_t::head_bytes_k + precomputed_.base_list_bytes + std::size_t(level) * precomputed_.list_bytes;
    }
    std::size_t node_bytes(node_t node) const noexcept { return node_bytes(node.level()); }

    /// Node stored in `slot`, or a null handle while the slot's node is not stored yet.
    node_t node_at(std::size_t slot) const noexcept {
        return node_t(__atomic_load_n(&node_table_[slot], __ATOMIC_ACQUIRE));
    }
    /// Points the slot at node bytes, in the arena or in a viewed mapping; the bytes must outlive the graph's
    /// current contents. Requires slot < capacity().
    void set_node_at(std::size_t slot, byte_t const* tape) noexcept {
        __atomic_store_n(&node_table_[slot], const_cast<byte_t*>(tape), __ATOMIC_RELEASE);
    }

    /// Cuts a zeroed node of `level` from the arena and writes its level; null when memory runs out.
    node_t node_allocate(level_t level) {
        std::size_t const bytes = node_bytes(level);
        byte_t* tape = node_arena_.allocate(bytes);
        if (!tape)
            return node_t();
        std::memset(tape, 0, bytes);
        node_t node(tape);
        node.level(level);
        return node;
    }

    /// The node's list at `level`; requires 0 <= level <= node.level().
    neighbors_ref_t list_at(node_t node, level_t level) const noexcept {
        if (level == 0)
            return neighbors_ref_t(node.tape() + node_t::head_bytes_k, config_.base_connectivity);
        return neighbors_ref_t(node.tape() + node_t::head_bytes_k + precomputed_.base_list_bytes +
                                   std::size_t(level - 1) * precomputed_.list_bytes,
                               config_.connectivity);
    }

    // State restored by the file readers

    void set_size(std::size_t size) noexcept { size_.store(size); }
    void set_top_level(level_t level) noexcept { top_level_.store(level, std::memory_order_release); }
    void set_entry_point(std::size_t slot) noexcept { entry_point_.store(slot, std::memory_order_relaxed); }
    /// Takes the mapping a viewed graph's nodes live in; the graph is immutable from then on, until reset.
    void adopt_mapped_file(memory_mapped_file_t&& file) noexcept { mapped_file_ = std::move(file); }

    // Node locks: one bit per slot, taken by atomic bit-test-and-set with busy waiting, one at a time.

    void lock_node(std::size_t slot) noexcept {
        std::uint64_t const mask = std::uint64_t(1) << (slot % 64);
        while (__atomic_fetch_or(&node_locks_[slot / 64], mask, __ATOMIC_ACQUIRE) & mask)
            continue;
    }
    bool try_lock_node(std::size_t slot) noexcept {
        std::uint64_t const mask = std::uint64_t(1) << (slot % 64);
        return !(__atomic_fetch_or(&node_locks_[slot / 64], mask, __ATOMIC_ACQUIRE) & mask);
    }
    void unlock_node(std::size_t slot) noexcept {
        std::uint64_t const mask = std::uint64_t(1) << (slot % 64);
        __atomic_fetch_and(&node_locks_[slot / 64], ~mask, __ATOMIC_RELEASE);
    }

    /// Draws a level from the exponential distribution with the Park-Miller generator of the context.
    level_t draw_level(context_t& context) const noexcept {
        constexpr std::uint64_t modulus = 2147483647u;
        std::uint64_t const first = std::uint64_t(context.level_random) * 16807u % modulus;
        std::uint64_t const second = first * 16807u % modulus;
        context.level_random = static_cast<std::uint32_t>(second);
        double const a = double(first - 1), b = double(second - 1);
        double s = std::fma(b, 2147483646.0, a);
        // Both draws at their minimum would give ln(0); the next representable sum keeps the level finite.
        if (s == 0)
            s = 1;
        double const u = s >= 4.6116860098374533e18 ? 0.99999999999999989 : s * 2.1684043490099767e-19;
        return static_cast<level_t>(static_cast<std::int32_t>(-(std::log(u) * precomputed_.level_scale)));
    }

    // Reservation

    /// Grows the node table, the lock set and the thread contexts. Nothing shrinks: limits within the current
    /// ones succeed at once. Refuses a capacity below size() or one that 32-bit slots cannot number. Every
    /// reservation that allocates replaces all contexts (fresh buffers, counters and generators). On failure
    /// the graph is unchanged.
    bool try_reserve(index_limits_t limits) noexcept {
        if (limits.insertion_threads <= limits_.insertion_threads && limits.search_threads <= limits_.search_threads &&
            limits.capacity <= limits_.capacity)
            return true;

        std::size_t const size = size_.load();
        std::size_t const new_contexts_count = limits.threads();
        if (limits.capacity >= slot_limit_k || new_contexts_count > SIZE_MAX / sizeof(context_t))
            return false;

        // Raised thread counts on a graph without nodes or capacity request: only contexts are needed, and
        // they are created so that every thread id the limits allow has one.
        if (limits.capacity == 0 && size == 0) {
            context_t* contexts = allocate_contexts_(new_contexts_count);
            if (!contexts)
                return false;
            free_contexts_(thread_contexts_, contexts_count_);
            thread_contexts_ = contexts;
            contexts_count_ = new_contexts_count;
            limits_ = {capacity_.load(), limits.insertion_threads, limits.search_threads};
            return true;
        }
        if (limits.capacity < size)
            return false;

        std::size_t const lock_words = (limits.capacity + 63) / 64;
        auto* new_locks = reinterpret_cast<std::uint64_t*>(allocator_.allocate(lock_words * sizeof(std::uint64_t)));
        auto* new_table = reinterpret_cast<byte_t**>(allocator_.allocate(limits.capacity * sizeof(byte_t*)));
        context_t* new_contexts = new_locks && new_table ? allocate_contexts_(new_contexts_count) : nullptr;
        if (!new_locks || !new_table || !new_contexts) {
            if (new_locks)
                allocator_.deallocate(reinterpret_cast<byte_t*>(new_locks));
            if (new_table)
                allocator_.deallocate(reinterpret_cast<byte_t*>(new_table));
            return false;
        }
        std::memset(new_locks, 0, lock_words * sizeof(std::uint64_t));
        std::memset(static_cast<void*>(new_table), 0, limits.capacity * sizeof(byte_t*));
        if (size)
            std::memcpy(static_cast<void*>(new_table), node_table_, size * sizeof(byte_t*));

        free_contexts_(thread_contexts_, contexts_count_);
        if (node_table_)
            allocator_.deallocate(reinterpret_cast<byte_t*>(node_table_));
        if (node_locks_)
            allocator_.deallocate(reinterpret_cast<byte_t*>(node_locks_));
        limits_ = limits;
        capacity_.store(limits.capacity);
        node_table_ = new_table;
        node_locks_ = new_locks;
        node_locks_words_ = lock_words;
        thread_contexts_ = new_contexts;
        contexts_count_ = new_contexts_count;
        return true;
    }

    /// Returns to the state right after construction (configuration kept), releasing nodes, tables, contexts
    /// and a viewed file's mapping.
    void reset() noexcept {
        node_arena_.reset();
        size_.store(0);
        top_level_.store(-1);
        entry_point_.store(0);
        if (node_table_)
            allocator_.deallocate(reinterpret_cast<byte_t*>(node_table_));
        node_table_ = nullptr;
        free_contexts_(thread_contexts_, contexts_count_);
        thread_contexts_ = nullptr;
        contexts_count_ = 0;
        if (node_locks_)
            allocator_.deallocate(reinterpret_cast<byte_t*>(node_locks_));
        node_locks_ = nullptr;
        node_locks_words_ = 0;
        limits_ = {};
        capacity_.store(0);
        mapped_file_ = memory_mapped_file_t();
    }

    // Insertion

    /// Inserts a new node for `key` in the next free slot. `callback(slot)` must make the key and the vector
    /// of the slot available to the metric before it returns; it runs before the node is visible to any
    /// other operation. An expansion of 0 is treated as 1.
    template <typename metric_at, typename callback_at>
    add_result_t insert_node(key_at key, byte_t const* query, metric_at&& metric, std::size_t thread,
                             std::size_t expansion, callback_at&& callback) {
        add_result_t result;
        context_t& context = thread_contexts_[thread];
        if (!prepare_for_linking_(context, expansion)) {
            result.error = "Out of memory!";
            return result;
        }

        std::unique_lock<std::mutex> top_lock(top_level_mutex_); // guards top_level_ and entry_point_
        level_t const top_level_copy = top_level_.load(std::memory_order_relaxed);
        std::size_t const entry_point_copy = entry_point_.load(std::memory_order_relaxed);
        level_t const level = draw_level(context);

        std::size_t const capacity = capacity_.load();
        std::size_t const slot = size_.fetch_add(1);
        if (slot >= capacity) {
            size_.fetch_sub(1);
            result.error = "Reserve capacity ahead of insertions!";
            return result;
        }
        node_t node = node_allocate(level);
        if (!node) {
            size_.fetch_sub(1);
            result.error = "Out of memory!";
            return result;
        }
        node.key(key);

        // Insertions at or below the top level link concurrently; a new top node keeps every other insertion
        // waiting until it is published as the entry point.
        if (level <= top_level_copy)
            top_lock.unlock();

        // The key and vector are stored before the node is published, so that nothing (an exact scan in
        // particular) can see the node without its vector.
        callback(static_cast<slot_t>(slot));
        set_node_at(slot, node.tape());

        if (top_level_copy < 0) {
            entry_point_.store(slot, std::memory_order_relaxed);
            top_level_.store(level, std::memory_order_release);
            result.size_after = slot + 1;
            result.slot = static_cast<slot_t>(slot);
            return result;
        }

        std::size_t const hops_before = context.hop_count, distances_before = context.distance_count;
        std::size_t const link_prunes_before = context.link_prune_count;
        std::size_t const backlink_prunes_before = context.backlink_prune_count;

        slot_t closest = descend_greedy(metric, query, static_cast<slot_t>(entry_point_copy), top_level_copy, level,
                                        context);
        for (level_t current = std::min(level, top_level_copy); current >= 0; --current) {
            beam_search_insert(metric, query, closest, current, expansion, context);
            lock_node(slot);
            // A concurrent insertion that started its beam here (the node being reachable one level up already)
            // may have linked itself in before this level's own links exist. Its back-link is kept, or contested
            // like any other, rather than discarded: it can be the only way to reach that node.
            neighbors_ref_t list = list_at(node, current);
            std::size_t const arrived = list.size();
            candidate_t* arrivals = context.frontier.data();
            for (std::size_t i = 0; i != arrived; ++i)
                arrivals[i].slot = list[i];
            list.clear();
            span_gt<candidate_t const> span = form_links_to_closest_(metric, static_cast<slot_t>(slot), current, context);
            for (std::size_t i = 0; i != arrived; ++i) {
                slot_t const other = arrivals[i].slot;
                if (other == slot || contains_(list, other))
                    continue;
                if (list.size() < list.capacity()) {
                    list.push_back(other);
                } else {
                    ++context.distance_count;
                    contest_(metric, list, static_cast<slot_t>(slot), {metric(static_cast<slot_t>(slot), other), other},
                             context);
                }
            }
            unlock_node(slot);
            // Only a failed first reservation of the visited set leaves the beam without even its start.
            if (span.empty()) {
                result.error = "Out of memory!";
                return result;
            }
            closest = span[0].slot;
            form_reverse_links_(metric, static_cast<slot_t>(slot), span, query, current, context);
        }

        if (level > top_level_copy) {
            entry_point_.store(slot, std::memory_order_relaxed);
            top_level_.store(level, std::memory_order_release);
        }
        result.size_after = slot + 1;
        result.hop_count = context.hop_count - hops_before;
        result.distance_count = context.distance_count - distances_before;
        result.link_prune_count = context.link_prune_count - link_prunes_before;
        result.backlink_prune_count = context.backlink_prune_count - backlink_prunes_before;
        result.slot = static_cast<slot_t>(slot);
        return result;
    }

    /// Gives an existing node (a slot freed by removal) a new key and new links, keeping its level, memory and
    /// incoming links. `callback(slot)` runs after the links are rebuilt and stores the new key and vector.
    /// A viewed graph is refused with "Can't add to an immutable index".
    template <typename metric_at, typename callback_at>
    add_result_t relink_node(std::size_t slot, key_at key, byte_t const* query, metric_at&& metric,
                             std::size_t thread, std::size_t expansion, callback_at&& callback) {
        add_result_t result;
        if (is_immutable()) {
            result.error = "Can't add to an immutable index";
            return result;
        }
        context_t& context = thread_contexts_[thread];
        if (!prepare_for_linking_(context, expansion)) {
            result.error = "Out of memory!";
            return result;
        }
        node_t node = node_at(slot);
        level_t const level = node.level();

        level_t top_level_copy;
        std::size_t entry_point_copy;
        {
            std::lock_guard<std::mutex> top_lock(top_level_mutex_); // guards top_level_ and entry_point_
            top_level_copy = top_level_.load(std::memory_order_relaxed);
            entry_point_copy = entry_point_.load(std::memory_order_relaxed);
        }

        std::size_t const hops_before = context.hop_count, distances_before = context.distance_count;
        slot_t closest = static_cast<slot_t>(entry_point_copy);
        if (level != top_level_copy)
            closest = descend_greedy(metric, query, closest, top_level_copy, level, context);

        for (level_t current = std::min(level, top_level_copy); current >= 0; --current) {
            if (!beam_search_update(metric, query, closest, static_cast<slot_t>(slot), current, expansion, context)) {
                result.error = "Out of memory!";
                return result;
            }
            lock_node(slot);
            list_at(node, current).clear();
            span_gt<candidate_t const> span = form_links_to_closest_(metric, static_cast<slot_t>(slot), current, context);
            unlock_node(slot);
            // A node with no other node around it on this level keeps the previous start.
            if (span.empty())
                continue;
            closest = span[0].slot;
            form_reverse_links_(metric, static_cast<slot_t>(slot), span, query, current, context);
        }

        if (node.key() != key)
            node.key(key);
        callback(static_cast<slot_t>(slot));
        result.hop_count = context.hop_count - hops_before;
        result.distance_count = context.distance_count - distances_before;
        result.slot = static_cast<slot_t>(slot);
        return result;
    }

    // Search

    /// Finds up to `wanted` nearest slots accepted by `predicate`; they stay in the thread context (results()).
    /// Approximate mode descends from the entry point and runs a base-level beam of width
    /// max(expansion, wanted); exact mode scans every stored slot.
    template <typename metric_at, typename predicate_at = accept_all_slots_t>
    search_outcome_t find_nearest(byte_t const* query, std::size_t wanted, metric_at&& metric, std::size_t thread,
                                  std::size_t expansion, bool exact, predicate_at&& predicate = predicate_at{}) {
        search_outcome_t outcome;
        if (!wanted || size_.load() == 0)
            return outcome;
        context_t& context = thread_contexts_[thread];
        std::size_t const hops_before = context.hop_count, distances_before = context.distance_count;
        candidates_t& results = context.results;

        if (exact) {
            if (!results.reserve(wanted)) {
                outcome.error = "Out of memory!";
                return outcome;
            }
            results.clear();
            // A slot may be claimed momentarily beyond the capacity by an insertion that then gives it back.
            for (std::size_t slot = 0; slot < size_.load() && slot < capacity_.load(); ++slot) {
                if (!node_at(slot) || !predicate(static_cast<slot_t>(slot)))
                    continue;
                ++context.distance_count;
                distance_t const distance = metric(query, static_cast<slot_t>(slot));
                results.insert_capped({distance, static_cast<slot_t>(slot)}, wanted);
            }
        } else {
            std::size_t const width = std::max(expansion, wanted);
            if (!context.frontier.reserve(width) || !results.reserve(width)) {
                outcome.error = "Out of memory!";
                return outcome;
            }
            // The top level turns non-negative only once the first node and its vector are stored.
            level_t const top_level = top_level_.load(std::memory_order_acquire);
            if (top_level < 0) {
                results.clear();
                return outcome;
            }
            slot_t const start = static_cast<slot_t>(entry_point_.load(std::memory_order_relaxed));
            slot_t const closest = descend_greedy(metric, query, start, top_level, 0, context);
            if (!beam_search_base(metric, query, closest, width, predicate, context)) {
                results.clear();
                outcome.error = "Out of memory!";
                return outcome;
            }
        }
        results.truncate(wanted);
        outcome.count = results.size();
        outcome.hop_count = context.hop_count - hops_before;
        outcome.distance_count = context.distance_count - distances_before;
        return outcome;
    }

    /// Greedy descent from `start` through levels from_level .. to_level + 1; returns the closest slot found.
    /// Each round scans the whole list of the current best under its lock (none on a viewed graph) and moves
    /// to the closest neighbour that improves on it.
    template <typename metric_at>
    slot_t descend_greedy(metric_at&& metric, byte_t const* query, slot_t start, level_t from_level, level_t to_level,
                          context_t& context) {
        context.visited.clear();
        bool const locking = !is_immutable();
        slot_t best = start;
        distance_t best_distance = metric(query, start);
        ++context.distance_count;
        for (level_t level = from_level; level > to_level; --level) {
            bool changed;
            do {
                changed = false;
                slot_t const origin = best;
                if (locking)
                    lock_node(origin);
                node_t node = node_at(origin);
                if (node.level() >= level) {
                    neighbors_ref_t list = list_at(node, level);
                    for (std::size_t i = 0, count = list.size(); i != count; ++i)
                        prefetch_(metric, list[i]);
                    for (std::size_t i = 0, count = list.size(); i != count; ++i) {
                        slot_t const candidate = list[i];
                        ++context.distance_count;
                        distance_t const distance = metric(query, candidate);
                        if (distance < best_distance) {
                            best = candidate;
                            best_distance = distance;
                            changed = true;
                        }
                    }
                }
                ++context.hop_count;
                if (locking)
                    unlock_node(origin);
            } while (changed);
        }
        return best;
    }

    /// Gathers the `limit` closest candidates on `level` into the context's results; false when the visited
    /// set cannot grow (results then hold what was gathered so far).
    template <typename metric_at>
    bool beam_search_insert(metric_at&& metric, byte_t const* query, slot_t start, level_t level, std::size_t limit,
                            context_t& context) {
        return beam_search_level_(metric, query, start, false, 0, level, limit, context);
    }

    /// As beam_search_insert, for relinking `updated`: it is walked through but never returned, and every other
    /// node is expanded only if its lock is free at once.
    template <typename metric_at>
    bool beam_search_update(metric_at&& metric, byte_t const* query, slot_t start, slot_t updated, level_t level,
                            std::size_t limit, context_t& context) {
        return beam_search_level_(metric, query, start, true, updated, level, limit, context);
    }

    /// Base-level beam search that walks through slots the predicate rejects without returning them. Each
    /// neighbour list is copied under its node lock (none on a viewed graph) and expanded after unlocking, so
    /// that a concurrent rewrite is never seen half done and the lock is held only for the copy.
    template <typename metric_at, typename predicate_at>
    bool beam_search_base(metric_at&& metric, byte_t const* query, slot_t start, std::size_t limit,
                          predicate_at&& predicate, context_t& context) {
        visited_t& visited = context.visited;
        frontier_t& frontier = context.frontier;
        candidates_t& results = context.results;
        visited.clear();
        frontier.clear();
        results.clear();
        // The prune buffer, idle during a search, receives each list copied under its lock.
        if (!visited.reserve(config_.base_connectivity + 1) || !context.prune_buffer.reserve(config_.base_connectivity))
            return false;
        if (limit == 0)
            limit = 1;

        distance_t radius = metric(query, start);
        ++context.distance_count;
        frontier.push_reserved({-radius, start});
        visited.test_and_set(start);
        if (predicate(start))
            results.insert_reserved({radius, start});

        bool const locking = !is_immutable();
        candidate_t* neighbors = context.prune_buffer.data();
        while (!frontier.empty()) {
            candidate_t const top = frontier.top();
            if (-top.distance > radius && results.size() == limit)
                break;
            frontier.pop();
            ++context.hop_count;

            if (locking)
                lock_node(top.slot);
            neighbors_ref_t list = list_at(node_at(top.slot), 0);
            std::size_t const count = list.size();
            for (std::size_t i = 0; i != count; ++i)
                neighbors[i].slot = list[i];
            if (locking)
                unlock_node(top.slot);

            if (!visited.reserve(visited.size() + count))
                return false;
            std::size_t const fresh = keep_unvisited_(metric, neighbors, count, visited);
            if (fresh)
                prefetch_body_(metric, neighbors[0].slot);
            for (std::size_t i = 0; i != fresh; ++i) {
                if (i + 1 != fresh)
                    prefetch_body_(metric, neighbors[i + 1].slot);
                slot_t const candidate = neighbors[i].slot;
                distance_t const distance = metric(query, candidate);
                ++context.distance_count;
                if (results.size() < limit || distance < radius) {
                    frontier.push({-distance, candidate});
                    __builtin_prefetch(node_table_ + candidate);
                    if (predicate(candidate)) {
                        results.insert_capped({distance, candidate}, limit);
                        radius = results.back().distance;
                    }
                }
            }
            if (!frontier.empty())
                prefetch_node_(frontier.top().slot);
        }
        return true;
    }

    /// Keeps, in ascending order, each candidate that is at least as close to the reference as to every
    /// candidate kept before it, until `needed` are kept. Adds the comparisons made to `counter` and every
    /// distance to the context's distance count. Returns the number kept.
    template <typename metric_at>
    std::size_t prune_diverse(metric_at&& metric, candidates_t& buffer, std::size_t needed, std::size_t& counter,
                              context_t& context) {
        if (buffer.empty())
            return 0;
        std::size_t kept = 1;
        for (std::size_t i = 1; kept < needed && i < buffer.size(); ++i) {
            if (i + 1 < buffer.size())
                prefetch_(metric, buffer[i + 1].slot);
            candidate_t const candidate = buffer[i];
            std::size_t j = 0;
            bool accepted = true;
            for (; j < kept; ++j) {
                ++context.distance_count;
                if (metric(candidate.slot, buffer[j].slot) < candidate.distance) {
                    accepted = false;
                    break;
                }
            }
            counter += j;
            if (accepted)
                buffer[kept++] = candidate;
        }
        buffer.truncate(kept);
        return kept;
    }

  private:
    /// Moves the candidates not visited before to the front, in their order, marks them visited and asks the
    /// metric to prefetch their vectors; returns their number. Requires room in the visited set for `count`.
    /// Every miss is started before the first distance, so that they overlap instead of following each other.
    template <typename metric_at>
    static std::size_t keep_unvisited_(metric_at const& metric, candidate_t* candidates, std::size_t count,
                                       visited_t& visited) {
        std::size_t fresh = 0;
        for (std::size_t i = 0; i != count; ++i) {
            slot_t const candidate = candidates[i].slot;
            if (visited.test_and_set(candidate))
                continue;
            candidates[fresh++].slot = candidate;
            prefetch_(metric, candidate);
        }
        return fresh;
    }

    template <typename metric_at> static void prefetch_(metric_at const& metric, slot_t slot) {
        if constexpr (has_prefetch_t<std::remove_reference_t<metric_at>>::value)
            metric.prefetch(slot);
    }
    template <typename metric_at> static void prefetch_body_(metric_at const& metric, slot_t slot) {
        if constexpr (has_prefetch_body_t<std::remove_reference_t<metric_at>>::value)
            metric.prefetch_body(slot);
    }

    /// Starts loading the head and level-0 list of a node that is likely to be expanded next.
    void prefetch_node_(slot_t slot) const noexcept {
        byte_t const* tape = __atomic_load_n(&node_table_[slot], __ATOMIC_RELAXED);
        if (!tape)
            return;
        std::size_t const bytes = node_t::head_bytes_k + precomputed_.base_list_bytes;
        for (std::size_t offset = 0; offset < bytes; offset += 64)
            __builtin_prefetch(tape + offset);
    }

    /// Empties and sizes the context's buffers for one insertion or relink.
    bool prepare_for_linking_(context_t& context, std::size_t expansion) noexcept {
        context.results.clear();
        context.frontier.clear();
        std::size_t const widest = std::max(config_.connectivity, config_.base_connectivity) + 1;
        // The frontier also holds a copy of a node's list while insert_node rewrites it, hence at least `widest`.
        // The visited set gets the beam's first reservation here, before a slot is claimed, so that running out
        // of memory leaves the graph as it was instead of leaving a stored but unlinked node.
        return context.results.reserve(std::max(widest, expansion)) &&
               context.frontier.reserve(std::max(widest, expansion)) &&
               context.visited.reserve(config_.base_connectivity + 1) && context.prune_buffer.reserve(widest);
    }

    template <typename metric_at>
    bool beam_search_level_(metric_at&& metric, byte_t const* query, slot_t start, bool updating, slot_t updated,
                            level_t level, std::size_t limit, context_t& context) {
        visited_t& visited = context.visited;
        frontier_t& frontier = context.frontier;
        candidates_t& results = context.results;
        visited.clear();
        frontier.clear();
        results.clear();
        // The prune buffer, idle during the beam, receives the unvisited part of each list.
        if (!visited.reserve(config_.base_connectivity + 1) || !context.prune_buffer.reserve(config_.base_connectivity))
            return false;
        if (limit == 0)
            limit = 1;

        distance_t radius = metric(query, start);
        ++context.distance_count;
        frontier.push_reserved({-radius, start});
        if (!updating || start != updated)
            results.insert_reserved({radius, start});
        visited.test_and_set(start);

        while (!frontier.empty()) {
            candidate_t const top = frontier.top();
            if (-top.distance > radius && results.size() == limit)
                break;
            frontier.pop();
            ++context.hop_count;
            // A relink must not wait for nodes held by other insertions, except for the node it rebuilds.
            if (updating && top.slot != updated) {
                if (!try_lock_node(top.slot))
                    continue;
            } else {
                lock_node(top.slot);
            }
            node_t node = node_at(top.slot);
            if (node.level() < level) {
                unlock_node(top.slot);
                continue;
            }
            neighbors_ref_t list = list_at(node, level);
            std::size_t const count = list.size();
            if (!visited.reserve(visited.size() + count)) {
                unlock_node(top.slot);
                return false;
            }
            // The list is copied under the lock and measured after it, so that other insertions never spin
            // while this one computes distances (or waits for the processor, on a busy machine).
            candidate_t* neighbors = context.prune_buffer.data();
            for (std::size_t i = 0; i != count; ++i)
                neighbors[i].slot = list[i];
            unlock_node(top.slot);
            std::size_t const fresh = keep_unvisited_(metric, neighbors, count, visited);
            if (fresh)
                prefetch_body_(metric, neighbors[0].slot);
            for (std::size_t i = 0; i != fresh; ++i) {
                if (i + 1 != fresh)
                    prefetch_body_(metric, neighbors[i + 1].slot);
                slot_t const candidate = neighbors[i].slot;
                distance_t const distance = metric(query, candidate);
                ++context.distance_count;
                if (results.size() < limit || distance < radius) {
                    frontier.push({-distance, candidate});
                    __builtin_prefetch(node_table_ + candidate);
                    if (!updating || candidate != updated)
                        results.insert_capped({distance, candidate}, limit);
                    if (!results.empty())
                        radius = results.back().distance;
                }
            }
            if (!frontier.empty())
                prefetch_node_(frontier.top().slot);
        }
        return true;
    }

    /// Chooses the node's own links on `level` from the context's results (its own slot excluded, as a
    /// concurrent insertion may have made it reachable already) and appends them to its emptied list.
    template <typename metric_at>
    span_gt<candidate_t const> form_links_to_closest_(metric_at&& metric, slot_t slot, level_t level,
                                                      context_t& context) {
        candidates_t& results = context.results;
        std::size_t kept = 0;
        for (std::size_t i = 0; i != results.size(); ++i)
            if (results[i].slot != slot)
                results[kept++] = results[i];
        results.truncate(kept);

        std::size_t const needed = config_.connectivity;
        if (results.size() >= needed)
            prune_diverse(metric, results, needed, context.link_prune_count, context);
        neighbors_ref_t list = list_at(node_at(slot), level);
        for (std::size_t i = 0; i != results.size(); ++i)
            list.push_back(results[i].slot);
        return results.view();
    }

    /// Adds `slot` to the list of each chosen neighbour on `level`; a full list is pruned with the newcomer as
    /// one more candidate, which may lose.
    template <typename metric_at>
    void form_reverse_links_(metric_at&& metric, slot_t slot, span_gt<candidate_t const> span, byte_t const* query,
                             level_t level, context_t& context) {
        for (candidate_t const& neighbor : span) {
            if (neighbor.slot == slot)
                continue;
            lock_node(neighbor.slot);
            neighbors_ref_t list = list_at(node_at(neighbor.slot), level);
            if (list.size() < list.capacity()) {
                list.push_back(slot);
            } else {
                // The query stands for the new node: in a relink the slot still holds its previous vector.
                ++context.distance_count;
                contest_(metric, list, neighbor.slot, {metric(query, neighbor.slot), slot}, context);
            }
            unlock_node(neighbor.slot);
        }
    }

    /// Replaces the full list of `owner` (whose lock the caller holds) by the diverse choice among its links
    /// and `newcomer`, whose distance is to the owner; the newcomer may lose.
    template <typename metric_at>
    void contest_(metric_at&& metric, neighbors_ref_t list, slot_t owner, candidate_t newcomer, context_t& context) {
        candidates_t& pruned = context.prune_buffer;
        pruned.clear();
        pruned.insert_reserved(newcomer);
        prefetch_(metric, owner);
        for (std::size_t i = 0, count = list.size(); i != count; ++i)
            prefetch_(metric, list[i]);
        for (std::size_t i = 0, count = list.size(); i != count; ++i) {
            slot_t const other = list[i];
            pruned.insert_reserved({metric(owner, other), other});
            ++context.distance_count;
        }
        list.clear();
        prune_diverse(metric, pruned, list.capacity(), context.backlink_prune_count, context);
        for (std::size_t i = 0; i != pruned.size(); ++i)
            list.push_back(pruned[i].slot);
    }

    static bool contains_(neighbors_ref_t list, slot_t slot) noexcept {
        for (std::size_t i = 0, count = list.size(); i != count; ++i)
            if (list[i] == slot)
                return true;
        return false;
    }

    /// Contexts with empty buffers and fresh counters, each prune buffer sized for a full list plus one; null
    /// on failure.
    context_t* allocate_contexts_(std::size_t count) noexcept {
        byte_t* bytes = allocator_.allocate(count * sizeof(context_t));
        if (!bytes)
            return nullptr;
        context_t* contexts = reinterpret_cast<context_t*>(bytes);
        for (std::size_t i = 0; i != count; ++i)
            new (contexts + i) context_t();
        std::size_t const widest = std::max(config_.connectivity, config_.base_connectivity) + 1;
        for (std::size_t i = 0; i != count; ++i)
            if (!contexts[i].prune_buffer.reserve(widest)) {
                free_contexts_(contexts, count);
                return nullptr;
            }
        return contexts;
    }

    void free_contexts_(context_t* contexts, std::size_t count) noexcept {
        if (!contexts)
            return;
        for (std::size_t i = 0; i != count; ++i)
            contexts[i].~context_t();
        allocator_.deallocate(reinterpret_cast<byte_t*>(contexts));
    }

    /// Slots the node table and lock set hold; 0 until the first reservation.
    std::atomic<std::size_t> capacity_{0};
    /// Slots handed out so far, removed entries included; the next new node takes slot size_.
    std::atomic<std::size_t> size_{0};
    /// Normalised configuration; both counts at least 2, base_connectivity >= connectivity.
    index_config_t config_ = normalized_config({});
    /// Limits of the last successful reservation.
    index_limits_t limits_;
    allocator_at allocator_;
    /// Arena every node of a non-viewed graph is cut from.
    arena_at node_arena_;
    precomputed_constants_t precomputed_ = precompute(normalized_config({}));
    /// The file a viewed graph's nodes live in; holds a mapping exactly when the graph is immutable.
    memory_mapped_file_t mapped_file_;
    /// Serialises insertions around top_level_ and entry_point_.
    std::mutex top_level_mutex_;
    /// Highest level of any node; -1 while the graph has no entry point.
    std::atomic<level_t> top_level_{-1};
    /// Slot every descent starts from; 0 while empty. Its node's level is at least top_level_.
    std::atomic<std::size_t> entry_point_{0};
    /// Node address by slot, capacity_ long; null for slots whose node is not stored.
    byte_t** node_table_ = nullptr;
    /// One lock bit per slot: bit slot % 64 of word slot / 64.
    std::uint64_t* node_locks_ = nullptr;
    /// Words in node_locks_: ceil(capacity_ / 64).
    std::size_t node_locks_words_ = 0;
    /// One context per thread id.
    context_t* thread_contexts_ = nullptr;
    /// Contexts in thread_contexts_: the larger thread count of limits_.
    std::size_t contexts_count_ = 0;
};

} // namespace korvane
} // namespace vemo
