#pragma once
// Saving, loading and viewing the dense index: the operations `save`, `load` and `view` that
// index_dense_gt declares, and the checks every reader runs on a file before trusting it.
//
// A file is untrusted input. Before a size read from it is used, the readers check that it cannot
// overflow and that the bytes it claims are still in the file, so that a damaged or hostile file ends in
// an error, never in a read or an allocation beyond what its length implies. After the nodes are in place
// and before anything can search them, the graph is validated as a whole: every level, every neighbour
// count and slot, and the entry point. A reader that fails leaves the index empty (keeping the metric
// and configuration it reached), so that it can be reserved and filled again.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "index/aligned_allocator.h"
#include "index/file_streams.h"
#include "index/graph_config.h"
#include "index/index_dense.h"
#include "index/index_file_format.h"
#include "index/memory_mapped_file.h"
#include "metrics/casts.h"
#include "metrics/metric_punned.h"
#include "metrics/scalar_kind.h"

namespace vemo {
namespace korvane {
namespace persistence {

/// Messages of the checks the readers add to those of the format's definition.
constexpr char const* metric_unusable_k = "Metric in the file can't be initialized";
constexpr char const* row_size_mismatch_k = "File is corrupted and its rows don't match the vector size";
constexpr char const* rows_beyond_file_k = "File is corrupted and claims more vectors than it holds";
constexpr char const* too_many_nodes_k = "File is corrupted and has more nodes than slots can number";
constexpr char const* connectivity_too_large_k = "File is corrupted and its connectivity is too large";
constexpr char const* invalid_levels_k = "File is corrupted and has invalid node levels";
constexpr char const* invalid_links_k = "File is corrupted and has invalid neighbour lists";
constexpr char const* invalid_entry_point_k = "File is corrupted and its entry point is out of range";
constexpr char const* vectors_out_of_memory_k = "Failed to allocate memory for vectors";
constexpr char const* nodes_out_of_memory_k = "Failed to allocate memory for nodes";

/// Checks the dense header's magic, version and kinds in the order the format defines, translating the
/// scalar codes of legacy files in place. Null when the header is acceptable.
inline char const* check_dense_header(dense_file_header_t& header) noexcept {
    if (std::memcmp(header.magic, index_file_magic_k, index_file_magic_length_k) != 0)
        return "Magic header mismatch - the file isn't an index";
    if (header.version_major != index_file_version_major_k)
        return "File format may be different, please rebuild";
    if (header.version_minor <= index_file_last_legacy_minor_k) {
        header.scalar_kind = static_cast<std::uint8_t>(scalar_kind_from_legacy_code(header.scalar_kind));
        header.key_kind = static_cast<std::uint8_t>(scalar_kind_from_legacy_code(header.key_kind));
        header.slot_kind = static_cast<std::uint8_t>(scalar_kind_from_legacy_code(header.slot_kind));
        header.version_minor = 10;
        header.version_patch = 0;
    }
    if (header.key_kind != static_cast<std::uint8_t>(scalar_kind_t::u64))
        return "Key type doesn't match, consider rebuilding";
    if (header.slot_kind != static_cast<std::uint8_t>(scalar_kind_t::u32))
        return "Slot type doesn't match, consider rebuilding";
    return nullptr;
}

/// Forms the metric the header describes and checks it against the matrix. A metric that the validity
/// test refuses, or one without a function for an index that holds vectors, could never be searched.
inline char const* form_metric(dense_file_header_t const& header, std::uint64_t rows, std::uint64_t row_bytes,
                               index_dense_serialization_config_t config, metric_punned_t& metric) noexcept {
    metric = metric_punned_t::builtin(static_cast<std::size_t>(header.dimensions),
                                      static_cast<metric_kind_t>(header.metric_kind),
                                      static_cast<scalar_kind_t>(header.scalar_kind));
    bool const holds_entries = rows || header.count_present || header.count_deleted;
    if (!metric.usable() || (holds_entries && !metric.has_function()))
        return metric_unusable_k;
    std::size_t const vector_bytes = metric.bytes_per_vector();
    if (vector_bytes == SIZE_MAX)
        return row_size_mismatch_k;
    if (!config.skip_vectors && row_bytes != vector_bytes)
        return row_size_mismatch_k;
    return nullptr;
}

/// The graph configuration of the header, with the defaults and checks of a new graph, and limits that
/// keep every list and node size representable (a list's count is a 32-bit number).
inline char const* graph_config_from_header(graph_file_header_t const& header, index_config_t& config) noexcept {
    config = normalized_config(index_config_t{static_cast<std::size_t>(header.connectivity),
                                              static_cast<std::size_t>(header.base_connectivity)});
    if (char const* message = config_error(config))
        return message;
    if (config.connectivity > UINT32_MAX || config.base_connectivity > UINT32_MAX)
        return connectivity_too_large_k;
    return nullptr;
}

/// The top level as the graph holds it; false when the header's value is not a sign-extended 16-bit level.
inline bool top_level_from_header(graph_file_header_t const& header, std::int16_t& level) noexcept {
    level = static_cast<std::int16_t>(header.top_level & 0xFFFF);
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(level)) == header.top_level;
}

/// Bytes of a node of `level`, as the graph lays it out; the configuration limits above keep it from
/// overflowing for every 16-bit level.
inline std::uint64_t node_bytes(precomputed_constants_t const& sizes, std::int16_t level) noexcept {
    return 10 + sizes.base_list_bytes + std::uint64_t(level) * sizes.list_bytes;
}

inline std::int16_t level_in_node(char const* node) noexcept {
    std::int16_t level;
    std::memcpy(&level, node + 8, sizeof(level));
    return level;
}

/// Validates a complete graph before it is searched: every neighbour count within its list's limit, every
/// neighbour a node whose own level reaches the list's level, and an entry point that is a node of the
/// top level. `node_address(slot)` returns the first byte of a node whose size is already known to fit.
template <typename node_address_at>
char const* validate_graph(std::uint64_t nodes_count, index_config_t const& config,
                           precomputed_constants_t const& sizes, graph_file_header_t const& header,
                           node_address_at&& node_address) noexcept {
    for (std::uint64_t slot = 0; slot != nodes_count; ++slot) {
        char const* node = node_address(slot);
        std::int16_t const level = level_in_node(node);
        char const* list = node + 10;
        for (std::int16_t list_level = 0; list_level <= level; ++list_level) {
            std::uint32_t count;
            std::memcpy(&count, list, sizeof(count));
            if (count > (list_level ? config.connectivity : config.base_connectivity))
                return invalid_links_k;
            for (std::uint32_t i = 0; i != count; ++i) {
                std::uint32_t neighbor;
                std::memcpy(&neighbor, list + 4 + 4 * std::size_t(i), sizeof(neighbor));
                if (neighbor >= nodes_count || level_in_node(node_address(neighbor)) < list_level)
                    return invalid_links_k;
            }
            list += list_level ? sizes.list_bytes : sizes.base_list_bytes;
        }
    }
    std::int16_t top_level;
    if (!top_level_from_header(header, top_level) || top_level < 0 || header.entry_point >= nodes_count ||
        level_in_node(node_address(header.entry_point)) < top_level)
        return invalid_entry_point_k;
    return nullptr;
}

/// Writes from a zeroed block, for slots whose vector is missing; keeps the rows of the file aligned.
inline bool write_zeros(output_file_t& file, std::size_t length) noexcept {
    static char const zeros[4096] = {};
    for (std::size_t chunk; length; length -= chunk) {
        chunk = std::min(length, sizeof(zeros));
        if (!file.write(zeros, chunk))
            return false;
    }
    return true;
}

} // namespace persistence

template <typename key_at, typename slot_at>
serialization_result_t index_dense_gt<key_at, slot_at>::save(output_file_t& file,
                                                              index_dense_serialization_config_t config) const {
    serialization_result_t result;
    bool const opened_here = !file.is_open();
    if (opened_here) {
        result = file.open_if_not();
        if (!result)
            return result;
    }

    // Whatever the outcome of the writes, a file this call opened is closed here: the close commits it,
    // and its failure is the save's failure. A failed write makes the close discard the file instead.
    auto finish = [&](serialization_result_t written) {
        if (opened_here) {
            serialization_result_t closed = file.close();
            if (written && !closed)
                return closed;
            // The write's own message is the one reported; the close only confirms the discard.
            closed.error.release();
        }
        return written;
    };
    auto fail = [&](char const* message) {
        serialization_result_t failed;
        failed.error = message;
        return finish(std::move(failed));
    };

    std::uint64_t const rows = graph_ ? graph_->size() : 0;
    std::uint64_t const row_bytes = bytes_per_vector();

    if (!config.skip_vectors) {
        if (config.wide_matrix_dims) {
            std::uint64_t dims[2] = {rows, row_bytes};
            if (!file.write(dims, sizeof(dims)))
                return fail(failed_to_serialize_k);
        } else {
            if (row_bytes > UINT32_MAX)
                return fail(failed_to_serialize_k);
            std::uint32_t dims[2] = {static_cast<std::uint32_t>(rows), static_cast<std::uint32_t>(row_bytes)};
            if (!file.write(dims, sizeof(dims)))
                return fail(failed_to_serialize_k);
        }
        for (std::uint64_t slot = 0; slot != rows; ++slot) {
            byte_t const* vector = slot < vector_pointers_length_ ? vector_at_(slot) : nullptr;
            if (!(vector ? file.write(vector, row_bytes) : persistence::write_zeros(file, row_bytes)))
                return fail(failed_to_serialize_k);
        }
    }

    {
        std::uint64_t const deleted = free_list_.size();
        dense_file_header_t const header =
            make_dense_file_header(metric_.metric_kind(), metric_.scalar_kind(), rows - deleted, deleted,
                                   metric_.dimensions(), config_.multi_keys);
        char bytes[dense_header_bytes_k];
        encode_dense_file_header(header, bytes);
        if (!file.write(bytes, sizeof(bytes)))
            return fail(failed_to_serialize_k);
    }

    {
        graph_file_header_t header;
        index_config_t const graph_config =
            graph_ ? graph_->config() : normalized_config({config_.connectivity, config_.base_connectivity});
        header.size = rows;
        header.connectivity = graph_config.connectivity;
        header.base_connectivity = graph_config.base_connectivity;
        std::int64_t const top_level = graph_ ? graph_->top_level() : -1;
        header.top_level = static_cast<std::uint64_t>(top_level);
        header.entry_point = graph_ ? graph_->entry_point() : 0;
        char bytes[graph_header_bytes_k];
        encode_graph_file_header(header, bytes);
        if (!file.write(bytes, sizeof(bytes)))
            return fail("Failed to serialize the header into stream");
    }
    if (!rows)
        return finish(std::move(result));

    for (std::uint64_t slot = 0; slot != rows; ++slot) {
        auto const node = graph_->node_at(slot);
        if (!node)
            return fail(failed_to_serialize_k);
        std::int16_t const level = node.level();
        if (!file.write(&level, sizeof(level)))
            return fail(failed_to_serialize_k);
    }
    for (std::uint64_t slot = 0; slot != rows; ++slot) {
        auto const node = graph_->node_at(slot);
        if (!file.write(node.tape(), graph_->node_bytes(node)))
            return fail(failed_to_serialize_k);
    }
    return finish(std::move(result));
}

template <typename key_at, typename slot_at>
std::size_t index_dense_gt<key_at, slot_at>::begin_reading_(std::size_t& insertion_threads,
                                                            std::size_t& search_threads) {
    // The thread counts outlive the emptying, so that a reloaded index serves as many threads as before.
    if (graph_) {
        insertion_threads = graph_->limits().insertion_threads;
        search_threads = graph_->limits().search_threads;
    } else
        insertion_threads = search_threads = std::thread::hardware_concurrency();
    empty_for_reading_();
    return std::max(insertion_threads, search_threads);
}

template <typename key_at, typename slot_at>
void index_dense_gt<key_at, slot_at>::empty_for_reading_() {
    std::unique_lock<std::shared_mutex> key_lock(key_table_mutex_);      // guards key_table_
    std::lock_guard<std::mutex> free_lock(free_list_mutex_);            // guards free_list_
    std::lock_guard<std::mutex> threads_lock(available_threads_mutex_); // guards available_threads_
    if (graph_)
        graph_->reset();
    key_table_.clear();
    free_vector_pointers_();
    free_list_.clear();
    vector_arena_.reset();
    available_threads_.reset();
    threads_count_ = 0;
}

/// Checks the dense header, then takes the metric it describes, a conversion buffer for `contexts`
/// threads and an empty graph.
template <typename key_at, typename slot_at>
char const* index_dense_gt<key_at, slot_at>::adopt_dense_header_(dense_file_header_t& header, std::uint64_t rows,
                                                                 std::uint64_t row_bytes,
                                                                 index_dense_serialization_config_t config,
                                                                 std::size_t contexts) {
    if (char const* message = persistence::check_dense_header(header))
        return message;
    config_.multi_keys = header.multi_keys;
    metric_punned_t metric;
    if (char const* message = persistence::form_metric(header, rows, row_bytes, config, metric))
        return message;
    metric_ = metric;

    {
        std::size_t const vector_bytes = metric_.bytes_per_vector();
        std::size_t buffer_length = 0;
        byte_t* buffer = nullptr;
        if (!vector_bytes || contexts <= SIZE_MAX / vector_bytes) {
            buffer_length = contexts * vector_bytes;
            buffer = aligned_allocator_gt<byte_t, 64>{}.allocate(buffer_length);
        }
        if (!buffer)
            return "Failed to allocate memory for the casts";
        free_conversion_buffer_();
        conversion_buffer_ = buffer;
        conversion_buffer_length_ = buffer_length;
        casts_ = casts_punned_t::make(metric_.scalar_kind());
    }

    if (graph_)
        graph_->reset();
    else {
        char* storage = aligned_allocator_gt<char, 64>{}.allocate(sizeof(graph_t));
        if (!storage)
            return "Failed to allocate memory for the index";
        index_config_t graph_config = normalized_config({config_.connectivity, config_.base_connectivity});
        if (config_error(graph_config))
            graph_config = normalized_config({});
        graph_ = new (storage) graph_t(graph_config);
    }
    return nullptr;
}

/// Reserves the node table and takes the size, top level and entry point of a graph header whose
/// configuration the graph already has.
template <typename key_at, typename slot_at>
char const* index_dense_gt<key_at, slot_at>::size_graph_(graph_file_header_t const& header,
                                                         std::uint64_t nodes_count) {
    if (!graph_->try_reserve({static_cast<std::size_t>(nodes_count), 1, 1}))
        return "Out of memory";
    std::int16_t top_level;
    persistence::top_level_from_header(header, top_level);
    graph_->set_size(static_cast<std::size_t>(nodes_count));
    graph_->set_top_level(top_level);
    graph_->set_entry_point(static_cast<std::uint32_t>(header.entry_point));
    return nullptr;
}

/// Hands out `contexts` thread ids and rebuilds the key table and the free list.
template <typename key_at, typename slot_at>
char const* index_dense_gt<key_at, slot_at>::finish_reading_(std::size_t contexts) {
    {
        threads_ring_t ring;
        if (!ring.reserve(contexts))
            return "Failed to allocate memory for the available threads!";
        for (std::size_t id = 0; id != contexts; ++id)
            ring.push(id);
        std::lock_guard<std::mutex> lock(available_threads_mutex_); // guards available_threads_
        available_threads_ = std::move(ring);
        threads_count_ = contexts;
    }
    // Rebuilding the key table and the free list can run out of memory; the error still escapes as an
    // exception, but from an empty index rather than one whose entries no lookup finds.
    try {
        reindex_keys_();
    } catch (...) {
        empty_for_reading_();
        throw;
    }
    return nullptr;
}

template <typename key_at, typename slot_at>
serialization_result_t index_dense_gt<key_at, slot_at>::load(input_file_t& file,
                                                              index_dense_serialization_config_t config) {
    serialization_result_t result;
    {
        serialization_result_t opened = file.open_if_not();
        if (!opened)
            return opened;
    }

    std::size_t insertion_threads, search_threads;
    std::size_t const contexts = begin_reading_(insertion_threads, search_threads);

    // Every failure from here on leaves the index empty: a graph whose nodes outnumber its vectors, or
    // whose links were never validated, must not be searched or grown.
    auto fail = [&](char const* message) {
        empty_for_reading_();
        result.error = message;
        return std::move(result);
    };

    // The bytes still in the file bound every count the file claims; a stream of unknown length bounds
    // nothing.
    std::uint64_t left = file.remaining();
    auto consume = [&left](std::uint64_t bytes) { left = left == SIZE_MAX ? left : left - bytes; };

    std::uint64_t rows = 0, row_bytes = 0;
    if (!config.skip_vectors) {
        if (config.wide_matrix_dims) {
            std::uint64_t dims[2];
            if (!file.read(dims, sizeof(dims)))
                return fail("Failed to read 64-bit dimensions of the matrix");
            rows = dims[0], row_bytes = dims[1];
            consume(sizeof(dims));
        } else {
            std::uint32_t dims[2];
            if (!file.read(dims, sizeof(dims)))
                return fail("Failed to read 32-bit dimensions of the matrix");
            rows = dims[0], row_bytes = dims[1];
            consume(sizeof(dims));
        }
    }

    std::uint64_t matrix_bytes = 0, pointers_bytes = 0;
    if (!checked_multiply(rows, row_bytes, matrix_bytes) || matrix_bytes > left)
        return fail("Failed to read vectors");
    if (!checked_multiply(rows, sizeof(byte_t*), pointers_bytes) || pointers_bytes > left)
        return fail(persistence::rows_beyond_file_k);
    vector_pointers_ = aligned_allocator_gt<byte_t*, 64>{}.allocate(static_cast<std::size_t>(rows));
    if (!vector_pointers_)
        return fail("Failed to allocate memory to address vectors");
    vector_pointers_length_ = static_cast<std::size_t>(rows);
    for (std::uint64_t slot = 0; slot != rows; ++slot) {
        byte_t* vector = vector_arena_.allocate(static_cast<std::size_t>(row_bytes));
        if (!vector && row_bytes)
            return fail(persistence::vectors_out_of_memory_k);
        vector_pointers_[slot] = vector;
        if (!file.read(vector, static_cast<std::size_t>(row_bytes)))
            return fail("Failed to read vectors");
    }
    consume(matrix_bytes);

    char header_bytes[dense_header_bytes_k];
    if (!file.read(header_bytes, sizeof(header_bytes)))
        return fail("Failed to read the index ");
    consume(sizeof(header_bytes));
    dense_file_header_t header = decode_dense_file_header(header_bytes);
    if (char const* message = adopt_dense_header_(header, rows, row_bytes, config, contexts))
        return fail(message);

    char graph_header_bytes[graph_header_bytes_k];
    if (!file.read(graph_header_bytes, sizeof(graph_header_bytes)))
        return fail("Failed to pull the header from the stream");
    consume(sizeof(graph_header_bytes));
    graph_file_header_t const graph_header = decode_graph_file_header(graph_header_bytes);
    std::uint64_t const nodes_count = graph_header.size;

    if (!nodes_count)
        graph_->reset();
    else {
        if (nodes_count >= graph_t::slot_limit_k)
            return fail(persistence::too_many_nodes_k);
        if (nodes_count * node_level_bytes_k > left)
            return fail("Failed to pull nodes levels from the stream");
        std::size_t const levels_bytes = static_cast<std::size_t>(nodes_count * node_level_bytes_k);
        char* levels_storage = aligned_allocator_gt<char, 64>{}.allocate(levels_bytes);
        if (!levels_storage)
            return fail("Out of memory");
        struct levels_release_t {
            char* storage;
            ~levels_release_t() { aligned_allocator_gt<char, 64>{}.deallocate(storage); }
        } levels_release{levels_storage};
        if (!file.read(levels_storage, levels_bytes))
            return fail("Failed to pull nodes levels from the stream");
        consume(levels_bytes);
        auto level_at = [levels_storage](std::uint64_t slot) {
            std::int16_t level;
            std::memcpy(&level, levels_storage + slot * node_level_bytes_k, sizeof(level));
            return level;
        };

        index_config_t graph_config;
        if (char const* message = persistence::graph_config_from_header(graph_header, graph_config))
            return fail(message);
        if (error_t error = graph_->reconfigure(graph_config))
            return fail(error.release());
        precomputed_constants_t const sizes = graph_->precomputed();

        // Every node holds at least a base-level list, and the thread contexts the reservation creates are
        // sized by the connectivity: the smallest possible nodes must fit in what is left of the file
        // before the reservation, so that a header claiming a vast connectivity costs no memory.
        std::uint64_t smallest_nodes;
        if (!checked_multiply(nodes_count, persistence::node_bytes(sizes, 0), smallest_nodes) || smallest_nodes > left)
            return fail("Failed to pull nodes from the stream");
        if (char const* message = size_graph_(graph_header, nodes_count))
            return fail(message);

        for (std::uint64_t slot = 0; slot != nodes_count; ++slot) {
            std::int16_t const level = level_at(slot);
            if (level < 0)
                return fail(persistence::invalid_levels_k);
            std::uint64_t const bytes = persistence::node_bytes(sizes, level);
            if (bytes > left)
                return fail("Failed to pull nodes from the stream");
            auto node = graph_->node_allocate(level);
            if (!node)
                return fail(persistence::nodes_out_of_memory_k);
            if (!file.read(node.tape(), static_cast<std::size_t>(bytes)))
                return fail("Failed to pull nodes from the stream");
            consume(bytes);
            if (node.level() != level)
                return fail(persistence::invalid_levels_k);
            graph_->set_node_at(static_cast<std::size_t>(slot), node.tape());
        }
        graph_t const& graph = *graph_;
        if (char const* message =
                persistence::validate_graph(nodes_count, graph.config(), sizes, graph_header,
                                            [&graph](std::uint64_t slot) -> char const* {
                                                return graph.node_at(static_cast<std::size_t>(slot)).tape();
                                            }))
            return fail(message);
    }

    if (graph_->size() != rows)
        return fail("Index size and the number of vectors doesn't match");
    if (!graph_->try_reserve({static_cast<std::size_t>(rows), insertion_threads, search_threads}))
        return fail("Failed to reserve memory for the index");

    if (char const* message = finish_reading_(contexts))
        return fail(message);
    return result;
}

template <typename key_at, typename slot_at>
serialization_result_t index_dense_gt<key_at, slot_at>::view(memory_mapped_file_t file, std::size_t offset,
                                                              index_dense_serialization_config_t config) {
    serialization_result_t result;

    std::size_t insertion_threads, search_threads;
    std::size_t const contexts = begin_reading_(insertion_threads, search_threads);
    // Resetting the graph also releases a mapping it adopted.
    auto fail = [&](char const* message) {
        empty_for_reading_();
        result.error = message;
        return std::move(result);
    };

    if (error_t error = file.open_if_not())
        return fail(error.release());

    std::uint64_t const length = file.size();
    char const* const base = file.data();
    // Every position is checked against the length before it is read; `left_after` is 0 past the end.
    auto left_after = [length](std::uint64_t position) { return position < length ? length - position : 0; };

    std::uint64_t position = offset;
    std::uint64_t rows = 0, row_bytes = 0, matrix = 0;
    if (!config.skip_vectors) {
        std::uint64_t const dims_bytes = config.wide_matrix_dims ? wide_matrix_dims_bytes_k : matrix_dims_bytes_k;
        if (left_after(position) < dims_bytes)
            return fail("File is corrupted and lacks matrix dimensions");
        if (config.wide_matrix_dims) {
            rows = file_format::get<std::uint64_t>(base, position);
            row_bytes = file_format::get<std::uint64_t>(base, position + 8);
        } else {
            rows = file_format::get<std::uint32_t>(base, position);
            row_bytes = file_format::get<std::uint32_t>(base, position + 4);
        }
        matrix = position + dims_bytes;
        std::uint64_t matrix_bytes;
        if (!checked_multiply(rows, row_bytes, matrix_bytes) || !checked_add(matrix, matrix_bytes, position))
            position = length;
    }

    if (left_after(position) < dense_header_bytes_k)
        return fail("File is corrupted and lacks a header");
    dense_file_header_t header = decode_dense_file_header(base + position);
    if (char const* message = adopt_dense_header_(header, rows, row_bytes, config, contexts))
        return fail(message);
    // The mapping is this call's now: a failure before the graph adopts it unmaps it with `mapping`.
    memory_mapped_file_t mapping = std::move(file);

    std::uint64_t const graph_header_position = position + dense_header_bytes_k;
    if (left_after(graph_header_position) < graph_header_bytes_k)
        return fail("File is corrupted and lacks a header");
    graph_file_header_t const graph_header = decode_graph_file_header(base + graph_header_position);
    std::uint64_t const nodes_count = graph_header.size;

    if (!nodes_count) {
        graph_->reset();
        mapping.close();
    } else {
        if (nodes_count >= graph_t::slot_limit_k)
            return fail(persistence::too_many_nodes_k);
        index_config_t graph_config;
        if (char const* message = persistence::graph_config_from_header(graph_header, graph_config))
            return fail(message);
        if (error_t error = graph_->reconfigure(graph_config))
            return fail(error.release());
        precomputed_constants_t const sizes = graph_->precomputed();

        // The levels and the smallest possible nodes must fit before the offset table is allocated.
        std::uint64_t const levels_position = graph_header_position + graph_header_bytes_k;
        std::uint64_t smallest_nodes;
        if (!checked_multiply(nodes_count, node_level_bytes_k + persistence::node_bytes(sizes, 0), smallest_nodes) ||
            smallest_nodes > left_after(levels_position))
            return fail("File is corrupted and can't fit all the nodes");
        std::uint64_t* offsets =
            aligned_allocator_gt<std::uint64_t, 64>{}.allocate(static_cast<std::size_t>(nodes_count));
        if (!offsets)
            return fail("Out of memory");
        struct offsets_release_t {
            std::uint64_t* offsets;
            ~offsets_release_t() { aligned_allocator_gt<std::uint64_t, 64>{}.deallocate(offsets); }
        } offsets_release{offsets};

        std::uint64_t node_position = levels_position + nodes_count * node_level_bytes_k;
        for (std::uint64_t slot = 0; slot != nodes_count; ++slot) {
            std::int16_t const level = file_format::get<std::int16_t>(base, levels_position + slot * 2);
            if (level < 0)
                return fail(persistence::invalid_levels_k);
            std::uint64_t const bytes = persistence::node_bytes(sizes, level);
            if (bytes > left_after(node_position))
                return fail("File is corrupted and can't fit all the nodes");
            if (persistence::level_in_node(base + node_position) != level)
                return fail(persistence::invalid_levels_k);
            offsets[slot] = node_position;
            node_position += bytes;
        }
        if (char const* message = persistence::validate_graph(
                nodes_count, graph_config, sizes, graph_header,
                [base, offsets](std::uint64_t slot) { return base + offsets[slot]; }))
            return fail(message);

        if (char const* message = size_graph_(graph_header, nodes_count))
            return fail(message);
        for (std::uint64_t slot = 0; slot != nodes_count; ++slot)
            graph_->set_node_at(static_cast<std::size_t>(slot), base + offsets[slot]);
        graph_->adopt_mapped_file(std::move(mapping));
    }

    if (graph_->size() != rows)
        return fail("Index size and the number of vectors doesn't match");
    if (!graph_->try_reserve({static_cast<std::size_t>(rows), insertion_threads, search_threads}))
        return fail("Failed to reserve memory for the index");
    vector_pointers_ = aligned_allocator_gt<byte_t*, 64>{}.allocate(static_cast<std::size_t>(rows));
    if (!vector_pointers_)
        return fail("Failed to allocate memory to address vectors");
    vector_pointers_length_ = static_cast<std::size_t>(rows);
    for (std::uint64_t slot = 0; slot != rows; ++slot)
        vector_pointers_[slot] = const_cast<byte_t*>(base + matrix + slot * row_bytes);

    if (char const* message = finish_reading_(contexts))
        return fail(message);
    return result;
}

} // namespace korvane
} // namespace vemo
