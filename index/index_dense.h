#pragma once
// index_dense_gt: the index behind every Java handle. It stores one vector per slot in the metric's scalar
// kind, maps 64-bit user keys to 32-bit slots through the key table, remembers the slots freed by removal
// so that later insertions reuse them, hands out thread contexts, and drives the proximity graph over the
// slots through a metric proxy that turns slots into stored vectors.
//
// Locks, in the order they nest: key_table_mutex_, then free_list_mutex_, then available_threads_mutex_.
// Insertions, searches, retrievals, removals and renames may run concurrently; reservation, loading,
// viewing, saving, moving and destruction must not overlap anything else on the same index.

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <stdexcept>
#include <thread>
#include <utility>

#include "index/aligned_allocator.h"
#include "index/candidates.h"
#include "index/file_streams.h"
#include "index/graph_config.h"
#include "index/index_file_format.h"
#include "index/index_gt.h"
#include "index/key_table.h"
#include "index/memory_mapped_file.h"
#include "index/memory_mapping_allocator.h"
#include "index/ring.h"
#include "metrics/casts.h"
#include "metrics/error.h"
#include "metrics/metric_punned.h"
#include "metrics/scalar_kind.h"

// Under ThreadSanitizer the deliberate race of rewriting a reused slot's vector (see
// rewrite_reused_vector_) is declared where it happens, so that no report depends on restoring a stack.
#if defined(__SANITIZE_THREAD__)
#define KORVANE_DENSE_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KORVANE_DENSE_THREAD_SANITIZER 1
#endif
#endif
#if defined(KORVANE_DENSE_THREAD_SANITIZER)
extern "C" void AnnotateIgnoreWritesBegin(char const* file, int line);
extern "C" void AnnotateIgnoreWritesEnd(char const* file, int line);
#endif

namespace vemo {
namespace korvane {

struct index_dense_inspector_t;

struct dense_config_t {
    /// Neighbours per node on the upper graph levels; 0 asks for 16.
    std::size_t connectivity = 0;
    /// Neighbours per node on the base level; always twice `connectivity` after `make`.
    std::size_t base_connectivity = 0;
    /// Candidate list size while inserting; 0 means 128.
    std::size_t add_expansion = 0;
    /// Candidate list size while searching; 0 means 64.
    std::size_t search_expansion = 0;
    /// Keep the caller's vector pointer instead of copying the vector (only honoured by callers of `add_`).
    bool no_vector_copy = false;
    /// Several entries may share one key.
    bool multi_keys = false;
    /// Maintain the key table; without it keys cannot be looked up, removed or renamed.
    bool key_lookups = true;
};

template <typename key_at = unsigned long, typename slot_at = unsigned int> class index_dense_gt {
  public:
    using key_t = key_at;
    using slot_t = slot_at;
    using byte_t = char;
    using distance_t = float;
    using dense_config_t = korvane::dense_config_t;
    using index_limits_t = korvane::index_limits_t;
    using add_result_t = korvane::add_result_t;
    using graph_t = index_gt<float, key_at, slot_at, aligned_allocator_gt<char, 64>, memory_mapping_allocator_gt<64>>;
    using vector_arena_t = memory_mapping_allocator_gt<8>;
    using key_table_t = flat_hash_multi_set_gt<key_and_slot_t, lookup_key_hash_t, lookup_key_same_t>;
    using threads_ring_t = ring_gt<std::size_t, aligned_allocator_gt<std::size_t, 64>>;
    using free_list_t = ring_gt<slot_at>;

    /// The thread id that asks for any free thread context.
    static constexpr std::size_t any_thread_k = ~std::size_t(0);

    /// An index followed by its error: destroying the record destroys (and so raises) the error first.
    struct state_result_t {
        index_dense_gt index;
        error_t error;
        explicit operator bool() const noexcept { return !error; }
    };

    /// Outcome of a removal or a rename: how many entries changed.
    struct labeling_result_t {
        error_t error;
        std::size_t completed = 0;
        explicit operator bool() const noexcept { return !error; }
    };

    /// Results of a search. They live in the thread context the search used, so a record that took its
    /// context from the pool keeps it until the record is destroyed; move-only for that reason.
    struct search_result_t {
        /// The context's result buffer, closest first; null when nothing was asked for.
        candidate_t const* results = nullptr;
        std::size_t count = 0;
        std::size_t hop_count = 0;
        std::size_t distance_count = 0;
        error_t error;
        /// The index whose thread context is held, and which resolves result slots to keys.
        index_dense_gt* owner = nullptr;
        std::size_t thread_id = 0;
        /// Whether the record must give `thread_id` back to the pool when destroyed.
        bool holds_thread = false;

        search_result_t() noexcept = default;
        search_result_t(search_result_t const&) = delete;
        search_result_t& operator=(search_result_t const&) = delete;
        search_result_t(search_result_t&& other) noexcept
            : results(other.results), count(other.count), hop_count(other.hop_count),
              distance_count(other.distance_count), error(std::move(other.error)), owner(other.owner),
              thread_id(other.thread_id), holds_thread(std::exchange(other.holds_thread, false)) {}
        search_result_t& operator=(search_result_t&& other) noexcept(false) {
            if (this != &other) {
                give_thread_back_();
                results = other.results;
                count = other.count;
                hop_count = other.hop_count;
                distance_count = other.distance_count;
                error = std::move(other.error);
                owner = other.owner;
                thread_id = other.thread_id;
                holds_thread = std::exchange(other.holds_thread, false);
            }
            return *this;
        }
        /// Gives the thread context back first; an unhandled error is raised afterwards, when `error` dies.
        ~search_result_t() noexcept(false) { give_thread_back_(); }

        explicit operator bool() const noexcept { return !error; }
        /// The key is read from the node, so a concurrent removal or rename may already show through.
        key_at key(std::size_t i) const noexcept { return owner->graph_->node_at(results[i].slot).key(); }
        distance_t distance(std::size_t i) const noexcept { return results[i].distance; }
        slot_at slot(std::size_t i) const noexcept { return results[i].slot; }

      private:
        void give_thread_back_() {
            if (holds_thread) {
                holds_thread = false;
                owner->thread_unlock_(thread_id);
            }
        }
    };

    /// Distances for the graph: slots stand for the vectors stored in them. What stays constant during one
    /// operation (the vector table, a kernel that can be called directly) is read once, when it begins.
    class metric_proxy_t {
      public:
        explicit metric_proxy_t(index_dense_gt const& index) noexcept
            : metric_(index.metric_), vectors_(index.vector_pointers_), kernel_(index.metric_.direct_kernel()),
              kernel_count_(index.metric_.kernel_count()),
              last_byte_(index.bytes_per_vector() ? index.bytes_per_vector() - 1 : 0) {}

        distance_t operator()(byte_t const* query, slot_at slot) const noexcept { return distance_(query, vector_(slot)); }
        distance_t operator()(slot_at a, slot_at b) const noexcept { return distance_(vector_(a), vector_(b)); }

        /// Starts loading the slot's vector into the caches. The processor streams the rest of a vector once
        /// its first lines arrive, but never across a page boundary, so the first line past one is requested
        /// too, or else the last line. No branch depends on the address: a mispredicted one would wait for it.
        void prefetch(slot_at slot) const noexcept {
            byte_t const* vector = vector_(slot);
            __builtin_prefetch(vector);
            std::uintptr_t const begin = reinterpret_cast<std::uintptr_t>(vector);
            std::uintptr_t const next_page = (begin | (page_bytes_k - 1)) + 1;
            std::uintptr_t const last = begin + last_byte_;
            __builtin_prefetch(reinterpret_cast<byte_t const*>(next_page < last ? next_page : last));
        }

        /// Requests the lines after the first of the vector measured next, up to a kilobyte: more would
        /// crowd out the misses of the vector being measured.
        void prefetch_body(slot_at slot) const noexcept {
            byte_t const* vector = vector_(slot);
            std::size_t const end = last_byte_ < body_bytes_k ? last_byte_ : body_bytes_k;
            for (std::size_t offset = 64; offset <= end; offset += 64)
                __builtin_prefetch(vector + offset);
        }

      private:
        static constexpr std::uintptr_t page_bytes_k = 4096;
        static constexpr std::size_t body_bytes_k = 1024;

        byte_t const* vector_(slot_at slot) const noexcept { return __atomic_load_n(&vectors_[slot], __ATOMIC_RELAXED); }
        distance_t distance_(byte_t const* a, byte_t const* b) const noexcept {
            if (!kernel_)
                return metric_(a, b);
            vexlane_distance_t result;
            kernel_(a, b, kernel_count_, &result);
            return static_cast<distance_t>(result);
        }

        metric_punned_t const& metric_;
        byte_t* const* vectors_;
        /// The metric's kernel when it can be called without the adapter; null otherwise.
        vexlane_metric_dense_punned_t kernel_;
        std::size_t kernel_count_;
        /// Offset of a vector's last byte; 0 for empty vectors.
        std::size_t last_byte_;
    };

    /// The blank state: no graph, nothing allocated. Loading or viewing a file fills it.
    index_dense_gt() = default;
    static index_dense_gt blank() { return index_dense_gt(); }

    index_dense_gt(index_dense_gt const&) = delete;
    index_dense_gt& operator=(index_dense_gt const&) = delete;
    index_dense_gt& operator=(index_dense_gt&&) = delete;

    /// Takes everything over except the key table, which is rebuilt without tombstones, and the mutexes,
    /// which are fresh. Must not overlap any operation on `other`. On `std::bad_alloc` (from the key table)
    /// nothing has been taken over.
    index_dense_gt(index_dense_gt&& other) : config_(other.config_), casts_(other.casts_), metric_(other.metric_) {
        key_table_.assign_live_of(other.key_table_);
        other.key_table_.reset();
        graph_ = std::exchange(other.graph_, nullptr);
        conversion_buffer_ = std::exchange(other.conversion_buffer_, nullptr);
        conversion_buffer_length_ = std::exchange(other.conversion_buffer_length_, 0);
        vector_arena_ = std::move(other.vector_arena_);
        vector_pointers_ = std::exchange(other.vector_pointers_, nullptr);
        vector_pointers_length_ = std::exchange(other.vector_pointers_length_, 0);
        available_threads_ = std::move(other.available_threads_);
        threads_count_ = std::exchange(other.threads_count_, 0);
        free_list_ = std::move(other.free_list_);
        vacant_key_ = other.vacant_key_;
        vacant_nodes_.store(other.vacant_nodes_.exchange(0));
    }

    ~index_dense_gt() noexcept {
        if (graph_) {
            graph_->~graph_t();
            aligned_allocator_gt<char, 64>{}.deallocate(reinterpret_cast<char*>(graph_));
            graph_ = nullptr;
        }
        free_list_.reset();
        key_table_.reset();
        available_threads_.reset();
        free_vector_pointers_();
        vector_arena_.reset();
        free_conversion_buffer_();
    }

    /// Builds an empty index of capacity 0 for `metric`. A metric without a function is accepted only for
    /// the metric kind `unknown`; such an index can be filled by loading but computes no distances.
    static state_result_t make(metric_punned_t const& metric, dense_config_t config = {}) {
        state_result_t result;
        if (!metric.usable()) {
            result.error = "Metric won't be initialized!";
            return result;
        }
        if (!config.connectivity)
            config.connectivity = 16;
        config.base_connectivity = config.connectivity * 2;
        if (!config.add_expansion)
            config.add_expansion = 128;
        if (!config.search_expansion)
            config.search_expansion = 64;
        if (config.connectivity < 2) {
            result.error = "Connectivity must be at least 2, otherwise the index degenerates into ropes";
            return result;
        }
        if (config.base_connectivity < config.connectivity) {
            result.error = "Base layer should be at least as connected as the rest of the graph";
            return result;
        }
        char* storage = aligned_allocator_gt<char, 64>{}.allocate(sizeof(graph_t));
        if (!storage) {
            result.error = "Failed to allocate memory for the index!";
            return result;
        }
        index_dense_gt& index = result.index;
        index.config_ = config;
        if (metric.has_function()) {
            index.casts_ = casts_punned_t::make(metric.scalar_kind());
            index.metric_ = metric;
        }
        index.graph_ = new (storage) graph_t(index_config_t{config.connectivity, config.base_connectivity});
        return result;
    }

    // Properties. They read counters without the index's locks and are exact only when nothing is
    // inserted or removed at the same time.

    dense_config_t const& config() const noexcept { return config_; }
    /// Live entries: slots handed out by the graph minus the freed ones waiting for reuse.
    std::size_t size() const {
        if (!graph_)
            return 0;
        std::size_t const handed_out = graph_->size();
        std::lock_guard<std::mutex> lock(free_list_mutex_);
        return handed_out - free_list_.size();
    }
    std::size_t capacity() const noexcept { return graph_ ? graph_->capacity() : 0; }
    std::size_t dimensions() const noexcept { return metric_.dimensions(); }
    std::size_t connectivity() const noexcept { return graph_ ? graph_->config().connectivity : config_.connectivity; }
    std::size_t bytes_per_vector() const noexcept { return metric_.bytes_per_vector(); }
    metric_punned_t const& metric() const noexcept { return metric_; }
    metric_kind_t metric_kind() const noexcept { return metric_.metric_kind(); }
    scalar_kind_t scalar_kind() const noexcept { return metric_.scalar_kind(); }
    casts_punned_t const& casts() const noexcept { return casts_; }
    bool is_immutable() const noexcept { return graph_ && graph_->is_immutable(); }
    graph_t const* graph() const noexcept { return graph_; }
    std::size_t free_slots() const {
        std::lock_guard<std::mutex> lock(free_list_mutex_);
        return free_list_.size();
    }
    /// Number of thread contexts handed out by the pool, as set by the last reservation.
    std::size_t threads_count() const noexcept { return threads_count_; }
    std::size_t conversion_buffer_length() const noexcept { return conversion_buffer_length_; }
    key_table_t const& key_table() const noexcept { return key_table_; }
    vector_arena_t const& vector_arena() const noexcept { return vector_arena_; }

    /// Estimated bytes held: nodes, node-arena waste and slack, node table, thread contexts, vector arenas.
    std::size_t memory_usage() const noexcept {
        std::size_t total = vector_arena_.total_allocated();
        if (!graph_)
            return total;
        graph_t const& graph = *graph_;
        if (!graph.is_immutable()) {
            std::size_t const size = graph.size();
            for (std::size_t slot = 0; slot < size && slot < graph.capacity(); ++slot)
                if (auto node = graph.node_at(slot))
                    total += graph.node_bytes(node);
        }
        auto const& arena = graph.node_arena();
        total += arena.total_wasted();
        total += graph.limits().capacity * sizeof(byte_t*);
        total += graph.limits().threads() * graph_t::context_size();
        if (arena.has_arena())
            total += arena.last_capacity() - arena.last_usage();
        return total;
    }

    /// Makes room for `limits.capacity` entries and max(insertion, search threads) thread contexts. Never
    /// shrinks what earlier reservations gave. Must not overlap insertions or searches.
    bool try_reserve(index_limits_t limits) {
        if (!graph_ || limits.capacity >= graph_t::slot_limit_k)
            return false;
        if (config_.key_lookups) {
            std::unique_lock<std::shared_mutex> lock(key_table_mutex_); // guards key_table_
            try {
                if (!key_table_.try_reserve(limits.capacity))
                    return false;
            } catch (std::bad_alloc const&) {
                return false;
            }
            limits.capacity = key_table_.slot_count();
            if (limits.capacity >= graph_t::slot_limit_k)
                return false;
        }
        // After a load the key table holds only live keys and may be smaller than the graph: never let
        // the pointer array or the node table drop below what is already in use.
        if (limits.capacity < vector_pointers_length_)
            limits.capacity = vector_pointers_length_;
        if (limits.capacity < graph_->capacity())
            limits.capacity = graph_->capacity();

        if (limits.capacity != vector_pointers_length_) {
            byte_t** pointers = aligned_allocator_gt<byte_t*, 64>{}.allocate(limits.capacity);
            if (!pointers)
                return false;
            std::memset(static_cast<void*>(pointers), 0, limits.capacity * sizeof(byte_t*));
            if (vector_pointers_length_)
                std::memcpy(static_cast<void*>(pointers), vector_pointers_, vector_pointers_length_ * sizeof(byte_t*));
            free_vector_pointers_();
            vector_pointers_ = pointers;
            vector_pointers_length_ = limits.capacity;
        }

        // The graph grows its contexts before the pool hands out ids for them, and the pool changes only
        // together with a conversion buffer that has a region for every id.
        if (!graph_->try_reserve(limits))
            return false;
        std::size_t const threads = limits.threads();
        std::size_t buffer_length = 0;
        if (bytes_per_vector() && threads > SIZE_MAX / bytes_per_vector())
            return false;
        buffer_length = threads * bytes_per_vector();
        byte_t* buffer = aligned_allocator_gt<byte_t, 64>{}.allocate(buffer_length);
        if (!buffer)
            return false;

        std::lock_guard<std::mutex> lock(available_threads_mutex_); // guards available_threads_
        if (available_threads_.capacity() < threads) {
            threads_ring_t ring;
            if (!ring.reserve(threads)) {
                aligned_allocator_gt<byte_t, 64>{}.deallocate(buffer);
                return false;
            }
            available_threads_ = std::move(ring);
        }
        available_threads_.clear();
        for (std::size_t id = 0; id != threads; ++id)
            available_threads_.push(id);
        threads_count_ = threads;
        free_conversion_buffer_();
        conversion_buffer_ = buffer;
        conversion_buffer_length_ = buffer_length;
        available_threads_released_.notify_all();
        return true;
    }

    // Adding, searching and reading back, through any free thread context. A caller that finds every
    // context busy waits until one is given back, so more threads than contexts slow down but never fail.

    add_result_t add(key_at key, float const* vector) { return add_(key, vector, any_thread_k, true, casts_.import_f32); }
    add_result_t add(key_at key, double const* vector) { return add_(key, vector, any_thread_k, true, casts_.import_f64); }
    add_result_t add(key_at key, signed char const* vector) {
        return add_(key, vector, any_thread_k, true, casts_.import_i8);
    }

    search_result_t search(float const* query, std::size_t wanted, bool exact = false) {
        return find_closest_(query, wanted, any_thread_k, exact, casts_.import_f32);
    }
    search_result_t search(double const* query, std::size_t wanted, bool exact = false) {
        return find_closest_(query, wanted, any_thread_k, exact, casts_.import_f64);
    }
    search_result_t search(signed char const* query, std::size_t wanted, bool exact = false) {
        return find_closest_(query, wanted, any_thread_k, exact, casts_.import_i8);
    }

    /// Copies the vector of `key` into `output`, converted; 0 when the key is absent or the stored kind has no
    /// conversion to the output's type and wider vectors than the output holds. Must not overlap a
    /// removal of the key followed by an insertion that reuses its slot.
    std::size_t get(key_at key, float* output) const { return get_(key, output, casts_.export_f32); }
    std::size_t get(key_at key, double* output) const { return get_(key, output, casts_.export_f64); }
    std::size_t get(key_at key, signed char* output) const { return get_(key, output, casts_.export_i8); }

    /// Removes every entry of `key`: the nodes stay in the graph under the vacant key and their slots wait
    /// on the free list for reuse.
    labeling_result_t remove(key_at key) {
        labeling_result_t result;
        if (is_immutable()) {
            result.error = "Can't remove from an immutable index";
            return result;
        }
        std::unique_lock<std::shared_mutex> key_lock(key_table_mutex_); // guards key_table_
        std::size_t const count = key_table_.for_each_equal(key, [](key_and_slot_t const&) {});
        if (!count)
            return result;
        std::lock_guard<std::mutex> free_lock(free_list_mutex_); // guards free_list_
        std::size_t const held = free_list_.size();
        if (held > SIZE_MAX - count) {
            result.error = "Can't allocate memory for a free-list";
            return result;
        }
        if (!free_list_.reserve(held + count))
            throw std::bad_alloc();
        vacant_nodes_.fetch_add(count);
        key_table_.for_each_equal(key, [&](key_and_slot_t const& element) {
            free_list_.push(static_cast<slot_at>(element.slot));
            published_node_(element.slot).key(vacant_key_);
        });
        key_table_.erase(key);
        result.completed = count;
        return result;
    }

    /// Gives every entry of `from` the key `to`, keeping slots, vectors and links.
    labeling_result_t rename(key_at from, key_at to) {
        labeling_result_t result;
        if (is_immutable()) {
            result.error = "Can't rename in an immutable index";
            return result;
        }
        std::unique_lock<std::shared_mutex> lock(key_table_mutex_); // guards key_table_
        if (!key_table_.slot_count())
            return result;
        if (!config_.multi_keys && key_table_.find(to)) {
            result.error = "Renaming impossible, the key is already in use";
            return result;
        }
        // Renaming entries to the key they already carry changes nothing; looping would find the entries
        // it has just re-inserted forever.
        if (from == to) {
            result.completed = key_table_.for_each_equal(from, [](key_and_slot_t const&) {});
            return result;
        }
        // Room for one more element up front, so that a growth failure cannot strike between erasing an
        // element and re-inserting it.
        if (!key_table_.try_reserve(key_table_.size() + 1))
            throw std::bad_alloc();
        for (std::size_t position = key_table_.find_first(from); position != key_table_t::npos;
             position = key_table_.find_first(from)) {
            std::uint32_t const slot = key_table_.at(position).slot;
            key_table_.erase_at(position);
            key_table_.insert({to, slot});
            if (to == vacant_key_)
                vacant_nodes_.fetch_add(1);
            published_node_(slot).key(to);
            ++result.completed;
        }
        return result;
    }

    // Persistence, defined with the file format.

    serialization_result_t save(output_file_t& file, index_dense_serialization_config_t config = {}) const;
    serialization_result_t load(input_file_t& file, index_dense_serialization_config_t config = {});
    serialization_result_t view(memory_mapped_file_t file, std::size_t offset = 0,
                                index_dense_serialization_config_t config = {});

  private:
    friend struct index_dense_inspector_t;

    /// A thread context taken for one operation; gives a pooled id back when it dies.
    class thread_lock_t {
      public:
        thread_lock_t(index_dense_gt& index, std::size_t id, bool pooled) noexcept
            : index_(&index), id_(id), pooled_(pooled) {}
        thread_lock_t(thread_lock_t const&) = delete;
        thread_lock_t& operator=(thread_lock_t const&) = delete;
        ~thread_lock_t() noexcept(false) {
            if (pooled_)
                index_->thread_unlock_(id_);
        }
        std::size_t id() const noexcept { return id_; }
        /// Hands the id over to a search result, which gives it back itself.
        bool release() noexcept { return std::exchange(pooled_, false); }

      private:
        index_dense_gt* index_;
        std::size_t id_;
        bool pooled_;
    };

    /// Takes the oldest idle id, waiting while none is idle; an explicit id is used as it is. Null message
    /// on success.
    char const* thread_lock_(std::size_t thread, std::size_t& id, bool& pooled) {
        pooled = false;
        if (thread != any_thread_k) {
            if (thread >= threads_count_)
                return "Thread id out of range, reserve more threads!";
            id = thread;
            return nullptr;
        }
        std::unique_lock<std::mutex> lock(available_threads_mutex_); // guards available_threads_
        if (!threads_count_)
            return "Reserve thread contexts ahead of insertions and searches!";
        available_threads_released_.wait(lock, [&] { return !available_threads_.empty(); });
        available_threads_.try_pop(id);
        pooled = true;
        return nullptr;
    }

    void thread_unlock_(std::size_t id) {
        {
            std::lock_guard<std::mutex> lock(available_threads_mutex_); // guards available_threads_
            available_threads_.push(id);
        }
        available_threads_released_.notify_one();
    }

    /// Makes room in the key table for one more key from every thread context, so that the key of an
    /// insertion, entered only after the graph took its slot, never needs the table to grow: running out of
    /// memory then fails the insertion up front instead of leaving an entry that no lookup finds.
    bool reserve_key_room_() {
        std::size_t const in_flight = threads_count_ ? threads_count_ : 1;
        {
            std::shared_lock<std::shared_mutex> lock(key_table_mutex_); // guards key_table_
            std::size_t const wanted = key_table_.size() + in_flight;
            if (wanted <= key_table_.slot_count() / 3 * 2)
                return true;
        }
        std::unique_lock<std::shared_mutex> lock(key_table_mutex_); // guards key_table_
        try {
            return key_table_.try_reserve(key_table_.size() + in_flight);
        } catch (std::bad_alloc const&) {
            return false;
        }
    }

    /// The node of a slot found in the key table. A fresh node enters the key table just before the graph
    /// publishes it, so a removal or rename racing with that insertion waits the few instructions between.
    typename graph_t::node_t published_node_(std::size_t slot) const noexcept {
        typename graph_t::node_t node = graph_->node_at(slot);
        while (!node) {
            std::this_thread::yield();
            node = graph_->node_at(slot);
        }
        return node;
    }

    byte_t const* vector_at_(std::size_t slot) const noexcept {
        return __atomic_load_n(&vector_pointers_[slot], __ATOMIC_RELAXED);
    }
    void set_vector_at_(std::size_t slot, byte_t const* vector) noexcept {
        __atomic_store_n(&vector_pointers_[slot], const_cast<byte_t*>(vector), __ATOMIC_RELAXED);
    }

    /// Copies a new vector over the one a reused slot held. Searches walking through the slot may read
    /// it meanwhile; they see either vector or a mix, which only perturbs that one approximate distance.
    void rewrite_reused_vector_(std::size_t slot, byte_t const* vector) noexcept {
#if defined(KORVANE_DENSE_THREAD_SANITIZER)
        AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
#endif
        std::memcpy(vector_pointers_[slot], vector, bytes_per_vector());
#if defined(KORVANE_DENSE_THREAD_SANITIZER)
        AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
#endif
    }

    /// A stored kind without conversions (one a file may carry) takes and gives the caller's bytes as they
    /// are; that is safe only when the caller's vector of `dimensions()` scalars spans a whole stored vector.
    template <typename scalar_at> bool covers_stored_vector_() const noexcept {
        return dimensions() <= SIZE_MAX / sizeof(scalar_at) && dimensions() * sizeof(scalar_at) >= bytes_per_vector();
    }
    static constexpr char const* unconvertible_vector_k = "The stored scalar kind has no conversion from or to this vector type";

    template <typename scalar_at>
    add_result_t add_(key_at key, scalar_at const* vector, std::size_t thread, bool force_copy, cast_punned_t cast) {
        add_result_t result;
        if (!graph_ || !metric_.has_function()) {
            result.error = "Metric won't be initialized!";
            return result;
        }
        if (!cast && !covers_stored_vector_<scalar_at>()) {
            result.error = unconvertible_vector_k;
            return result;
        }
        if (!config_.multi_keys && config_.key_lookups) {
            std::shared_lock<std::shared_mutex> lock(key_table_mutex_); // guards key_table_
            if (key_table_.find(key)) {
                result.error = "Duplicate keys not allowed in high-level wrappers";
                return result;
            }
        }
        // A viewed index keeps its nodes and vectors in a read-only mapping, so even the slots it lists as
        // free cannot be rewritten.
        if (graph_->is_immutable()) {
            result.error = "Can't add to an immutable index";
            return result;
        }
        if (config_.key_lookups && !reserve_key_room_()) {
            result.error = "Out of memory!";
            return result;
        }

        std::size_t id = 0;
        bool pooled = false;
        if (char const* message = thread_lock_(thread, id, pooled)) {
            result.error = message;
            return result;
        }
        thread_lock_t thread_lock(*this, id, pooled);

        std::size_t const vector_bytes = bytes_per_vector();
        byte_t const* stored = reinterpret_cast<byte_t const*>(vector);
        byte_t* converted = conversion_buffer_ + id * vector_bytes;
        bool copy = force_copy;
        if (cast && cast(reinterpret_cast<std::byte const*>(vector), dimensions(), reinterpret_cast<std::byte*>(converted))) {
            stored = converted;
            copy = true;
        }

        slot_at free_slot = 0;
        bool reuse;
        {
            std::lock_guard<std::mutex> lock(free_list_mutex_); // guards free_list_
            reuse = free_list_.try_pop(free_slot);
        }
        std::size_t const expansion = config_.add_expansion ? config_.add_expansion : 128;

        // A fresh slot gets its vector storage before the graph claims the slot, so that running out of
        // memory fails the insertion instead of linking a node without a vector.
        byte_t* fresh_storage = nullptr;
        if (!reuse) {
            if (graph_->size() >= graph_->capacity()) {
                result.error = "Reserve capacity ahead of insertions!";
                return result;
            }
            if (copy && vector_bytes) {
                fresh_storage = vector_arena_.allocate(vector_bytes);
                if (!fresh_storage) {
                    result.error = "Out of memory!";
                    return result;
                }
            }
        }

        // The vector is stored before the key enters the key table, so that a concurrent `get` that finds
        // the key also finds its vector.
        auto on_slot = [&](slot_at slot) {
            if (!copy)
                set_vector_at_(slot, stored);
            else if (!reuse) {
                if (vector_bytes)
                    std::memcpy(fresh_storage, stored, vector_bytes);
                set_vector_at_(slot, fresh_storage);
            } else if (vector_bytes)
                rewrite_reused_vector_(slot, stored);
            if (config_.key_lookups) {
                std::unique_lock<std::shared_mutex> lock(key_table_mutex_); // guards key_table_
                // Without room in the key table the entry stays searchable but cannot be looked up.
                try {
                    key_table_.insert({key, static_cast<std::uint32_t>(slot)});
                } catch (std::bad_alloc const&) {
                }
            }
        };

        metric_proxy_t proxy(*this);
        if (key == vacant_key_)
            vacant_nodes_.fetch_add(1);
        if (reuse) {
            result = graph_->relink_node(free_slot, key, stored, proxy, id, expansion, on_slot);
            // The slot still carries the vacant key, so it goes back on the free list instead of being
            // lost to every later insertion and miscounted as live.
            if (result.error) {
                std::lock_guard<std::mutex> lock(free_list_mutex_); // guards free_list_
                free_list_.push(free_slot);
            } else if (key != vacant_key_)
                vacant_nodes_.fetch_sub(1);
        } else
            result = graph_->insert_node(key, stored, proxy, id, expansion, on_slot);
        return result;
    }

    template <typename scalar_at>
    search_result_t find_closest_(scalar_at const* vector, std::size_t wanted, std::size_t thread, bool exact,
                                  cast_punned_t cast) {
        search_result_t result;
        result.owner = this;
        if (!wanted || !graph_ || !graph_->size())
            return result;
        if (!metric_.has_function()) {
            result.error = "Metric won't be initialized!";
            return result;
        }
        if (!cast && !covers_stored_vector_<scalar_at>()) {
            result.error = unconvertible_vector_k;
            return result;
        }
        std::size_t id = 0;
        bool pooled = false;
        if (char const* message = thread_lock_(thread, id, pooled)) {
            result.error = message;
            return result;
        }
        thread_lock_t thread_lock(*this, id, pooled);

        byte_t const* query = reinterpret_cast<byte_t const*>(vector);
        byte_t* converted = conversion_buffer_ + id * bytes_per_vector();
        if (cast && cast(reinterpret_cast<std::byte const*>(vector), dimensions(), reinterpret_cast<std::byte*>(converted)))
            query = converted;

        std::size_t const expansion = config_.search_expansion ? config_.search_expansion : 64;
        graph_t& graph = *graph_;
        key_at const vacant = vacant_key_;
        auto is_live = [&graph, vacant](slot_at slot) { return graph.node_at(slot).key() != vacant; };
        // Reading each candidate's key costs two cache misses; without vacant nodes every node is live. A
        // removal that lands during the search shows through the keys read afterwards, as it would anyway.
        search_outcome_t outcome =
            vacant_nodes_.load(std::memory_order_acquire)
                ? graph.find_nearest(query, wanted, metric_proxy_t(*this), id, expansion, exact, is_live)
                : graph.find_nearest(query, wanted, metric_proxy_t(*this), id, expansion, exact, accept_all_slots_t{});

        result.results = graph.results(id).data();
        result.count = outcome.count;
        result.hop_count = outcome.hop_count;
        result.distance_count = outcome.distance_count;
        result.error = std::move(outcome.error);
        result.thread_id = id;
        result.holds_thread = thread_lock.release();
        return result;
    }

    template <typename scalar_at> std::size_t get_(key_at key, scalar_at* output, cast_punned_t cast) const {
        if (!cast && !covers_stored_vector_<scalar_at>())
            return 0;
        std::size_t slot;
        {
            std::shared_lock<std::shared_mutex> lock(key_table_mutex_); // guards key_table_
            key_and_slot_t const* found = key_table_.find(key);
            if (!found)
                return 0;
            slot = found->slot;
        }
        byte_t const* stored = vector_at_(slot);
        if (!cast || !cast(reinterpret_cast<std::byte const*>(stored), dimensions(), reinterpret_cast<std::byte*>(output)))
            if (bytes_per_vector())
                std::memcpy(output, stored, bytes_per_vector());
        return 1;
    }

    // Steps `load` and `view` share, defined beside them. Those returning a message return null on success;
    // after a message the reader empties the index before it reports the failure.
    std::size_t begin_reading_(std::size_t& insertion_threads, std::size_t& search_threads);
    void empty_for_reading_();
    char const* adopt_dense_header_(dense_file_header_t& header, std::uint64_t rows, std::uint64_t row_bytes,
                                    index_dense_serialization_config_t config, std::size_t contexts);
    char const* size_graph_(graph_file_header_t const& header, std::uint64_t nodes_count);
    char const* finish_reading_(std::size_t contexts);

    /// Rebuilds the key table and the free list from the keys in the graph's nodes: nodes carrying the
    /// vacant key are free slots, every other node is an entry. Raises std::runtime_error when the key
    /// table cannot be reserved.
    void reindex_keys_() {
        std::size_t const size = graph_ ? graph_->size() : 0;
        std::size_t free_count = 0;
        for (std::size_t slot = 0; slot != size; ++slot)
            free_count += graph_->node_at(slot).key() == vacant_key_;
        vacant_nodes_.store(free_count);
        if (!free_count && !config_.key_lookups)
            return;

        std::unique_lock<std::shared_mutex> key_lock(key_table_mutex_); // guards key_table_
        key_table_.clear();
        if (config_.key_lookups) {
            bool reserved = false;
            try {
                reserved = key_table_.try_reserve(size - free_count);
            } catch (std::bad_alloc const&) {
            }
            if (!reserved)
                throw std::runtime_error("failed to reserve memory");
        }
        std::lock_guard<std::mutex> free_lock(free_list_mutex_); // guards free_list_
        free_list_.clear();
        if (!free_list_.reserve(free_count))
            throw std::runtime_error("failed to reserve memory");
        for (std::size_t slot = 0; slot != size; ++slot) {
            key_at const key = graph_->node_at(slot).key();
            if (key == vacant_key_)
                free_list_.push(static_cast<slot_at>(slot));
            else if (config_.key_lookups)
                key_table_.insert({key, static_cast<std::uint32_t>(slot)});
        }
    }

    void free_vector_pointers_() noexcept {
        if (vector_pointers_)
            aligned_allocator_gt<byte_t*, 64>{}.deallocate(vector_pointers_);
        vector_pointers_ = nullptr;
        vector_pointers_length_ = 0;
    }
    void free_conversion_buffer_() noexcept {
        if (conversion_buffer_)
            aligned_allocator_gt<byte_t, 64>{}.deallocate(conversion_buffer_);
        conversion_buffer_ = nullptr;
        conversion_buffer_length_ = 0;
    }

    dense_config_t config_;
    /// Constructed in place in 64-byte-aligned storage; null in the blank state.
    graph_t* graph_ = nullptr;
    /// One scratch vector per thread context, `bytes_per_vector()` bytes each, at id x bytes_per_vector().
    byte_t* conversion_buffer_ = nullptr;
    /// Bytes of `conversion_buffer_`: threads_count_ x bytes_per_vector().
    std::size_t conversion_buffer_length_ = 0;
    casts_punned_t casts_;
    metric_punned_t metric_;
    /// Where copied vectors live; released only all at once.
    vector_arena_t vector_arena_;
    /// Address of the stored vector of each slot; `vector_pointers_length_` entries, at least the graph's
    /// capacity after a reservation.
    byte_t** vector_pointers_ = nullptr;
    std::size_t vector_pointers_length_ = 0;
    /// Idle thread-context ids, oldest first.
    threads_ring_t available_threads_;
    /// Guards available_threads_ and threads_count_.
    mutable std::mutex available_threads_mutex_;
    /// Signalled whenever an id is given back, for callers waiting on a pool with no idle id.
    std::condition_variable available_threads_released_;
    /// Ids the pool hands out: 0 to threads_count_ - 1.
    std::size_t threads_count_ = 0;
    key_table_t key_table_;
    /// Guards key_table_: shared for lookups, exclusive for any change.
    mutable std::shared_mutex key_table_mutex_;
    /// Slots freed by removal, reused oldest first.
    free_list_t free_list_;
    /// Guards free_list_.
    mutable std::mutex free_list_mutex_;
    /// Key written into the node of a removed entry.
    key_at vacant_key_ = std::numeric_limits<key_at>::max();
    /// At least the number of nodes carrying the vacant key (removed entries, slots being reused, entries
    /// added or renamed under that key); raised before a node takes the key, lowered after a reused slot
    /// took its new one. Searches test liveness only while it is non-zero.
    std::atomic<std::size_t> vacant_nodes_{0};
};

using index_dense_t = index_dense_gt<unsigned long, unsigned int>;

} // namespace korvane
} // namespace vemo
