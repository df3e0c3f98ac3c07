#pragma once
// The index file, outside in: an optional matrix of stored vectors (rows, bytes per row, rows), a 64-byte
// dense header, a 40-byte graph header, one 16-bit level per node and the nodes back to back as they lie
// in memory. Integers are little-endian and packed; the helpers below encode and decode the two headers
// field by field so that no struct padding or host alignment can leak into the file.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "metrics/scalar_kind.h"

namespace vemo {
namespace korvane {

constexpr char index_file_magic_k[] = "korvane";
constexpr std::size_t index_file_magic_length_k = 7;
constexpr std::uint16_t index_file_version_major_k = 2;
constexpr std::uint16_t index_file_version_minor_k = 24;
constexpr std::uint16_t index_file_version_patch_k = 0;
/// Files up to this minor version number scalar kinds with the legacy codes.
constexpr std::uint16_t index_file_last_legacy_minor_k = 9;

constexpr std::size_t matrix_dims_bytes_k = 8;
constexpr std::size_t wide_matrix_dims_bytes_k = 16;
constexpr std::size_t dense_header_bytes_k = 64;
constexpr std::size_t graph_header_bytes_k = 40;
constexpr std::size_t node_level_bytes_k = 2;

/// The 64-byte header that follows the matrix.
struct dense_file_header_t {
    char magic[index_file_magic_length_k] = {};
    std::uint16_t version_major = 0;
    std::uint16_t version_minor = 0;
    std::uint16_t version_patch = 0;
    std::uint8_t metric_kind = 0;
    /// Raw scalar-kind bytes: legacy files carry other codes, translated only after the version is known.
    std::uint8_t scalar_kind = 0;
    std::uint8_t key_kind = 0;
    std::uint8_t slot_kind = 0;
    /// Slots that hold a live entry.
    std::uint64_t count_present = 0;
    /// Slots of removed entries, which loading turns back into free slots.
    std::uint64_t count_deleted = 0;
    std::uint64_t dimensions = 0;
    bool multi_keys = false;
};

/// The 40-byte header of the graph.
struct graph_file_header_t {
    /// Nodes, one per slot handed out.
    std::uint64_t size = 0;
    std::uint64_t connectivity = 0;
    std::uint64_t base_connectivity = 0;
    /// The graph's 16-bit top level sign-extended; all ones for an empty graph.
    std::uint64_t top_level = 0;
    /// Slot of the entry node.
    std::uint64_t entry_point = 0;
};

namespace file_format {

template <typename scalar_at> void put(char* bytes, std::size_t offset, scalar_at value) noexcept {
    std::memcpy(bytes + offset, &value, sizeof(value));
}
template <typename scalar_at> scalar_at get(char const* bytes, std::size_t offset) noexcept {
    scalar_at value;
    std::memcpy(&value, bytes + offset, sizeof(value));
    return value;
}

} // namespace file_format

/// A header of the current version for an index of the given kinds and counts.
inline dense_file_header_t make_dense_file_header(metric_kind_t metric, scalar_kind_t scalar,
                                                  std::uint64_t count_present, std::uint64_t count_deleted,
                                                  std::uint64_t dimensions, bool multi_keys) noexcept {
    dense_file_header_t header;
    std::memcpy(header.magic, index_file_magic_k, index_file_magic_length_k);
    header.version_major = index_file_version_major_k;
    header.version_minor = index_file_version_minor_k;
    header.version_patch = index_file_version_patch_k;
    header.metric_kind = static_cast<std::uint8_t>(metric);
    header.scalar_kind = static_cast<std::uint8_t>(scalar);
    header.key_kind = static_cast<std::uint8_t>(scalar_kind_t::u64);
    header.slot_kind = static_cast<std::uint8_t>(scalar_kind_t::u32);
    header.count_present = count_present;
    header.count_deleted = count_deleted;
    header.dimensions = dimensions;
    header.multi_keys = multi_keys;
    return header;
}

/// Writes all 64 bytes, the 22 reserved ones as zeros.
inline void encode_dense_file_header(dense_file_header_t const& header, char* bytes) noexcept {
    using file_format::put;
    std::memset(bytes, 0, dense_header_bytes_k);
    std::memcpy(bytes, header.magic, index_file_magic_length_k);
    put<std::uint16_t>(bytes, 7, header.version_major);
    put<std::uint16_t>(bytes, 9, header.version_minor);
    put<std::uint16_t>(bytes, 11, header.version_patch);
    put<std::uint8_t>(bytes, 13, header.metric_kind);
    put<std::uint8_t>(bytes, 14, header.scalar_kind);
    put<std::uint8_t>(bytes, 15, header.key_kind);
    put<std::uint8_t>(bytes, 16, header.slot_kind);
    put<std::uint64_t>(bytes, 17, header.count_present);
    put<std::uint64_t>(bytes, 25, header.count_deleted);
    put<std::uint64_t>(bytes, 33, header.dimensions);
    put<std::uint8_t>(bytes, 41, header.multi_keys ? 1 : 0);
}

inline dense_file_header_t decode_dense_file_header(char const* bytes) noexcept {
    using file_format::get;
    dense_file_header_t header;
    std::memcpy(header.magic, bytes, index_file_magic_length_k);
    header.version_major = get<std::uint16_t>(bytes, 7);
    header.version_minor = get<std::uint16_t>(bytes, 9);
    header.version_patch = get<std::uint16_t>(bytes, 11);
    header.metric_kind = get<std::uint8_t>(bytes, 13);
    header.scalar_kind = get<std::uint8_t>(bytes, 14);
    header.key_kind = get<std::uint8_t>(bytes, 15);
    header.slot_kind = get<std::uint8_t>(bytes, 16);
    header.count_present = get<std::uint64_t>(bytes, 17);
    header.count_deleted = get<std::uint64_t>(bytes, 25);
    header.dimensions = get<std::uint64_t>(bytes, 33);
    header.multi_keys = get<std::uint8_t>(bytes, 41) != 0;
    return header;
}

inline void encode_graph_file_header(graph_file_header_t const& header, char* bytes) noexcept {
    using file_format::put;
    put<std::uint64_t>(bytes, 0, header.size);
    put<std::uint64_t>(bytes, 8, header.connectivity);
    put<std::uint64_t>(bytes, 16, header.base_connectivity);
    put<std::uint64_t>(bytes, 24, header.top_level);
    put<std::uint64_t>(bytes, 32, header.entry_point);
}

inline graph_file_header_t decode_graph_file_header(char const* bytes) noexcept {
    using file_format::get;
    graph_file_header_t header;
    header.size = get<std::uint64_t>(bytes, 0);
    header.connectivity = get<std::uint64_t>(bytes, 8);
    header.base_connectivity = get<std::uint64_t>(bytes, 16);
    header.top_level = get<std::uint64_t>(bytes, 24);
    header.entry_point = get<std::uint64_t>(bytes, 32);
    return header;
}

/// Multiplication that reports instead of wrapping: every size read from a file goes through it.
inline bool checked_multiply(std::uint64_t a, std::uint64_t b, std::uint64_t& product) noexcept {
    return !__builtin_mul_overflow(a, b, &product);
}
inline bool checked_add(std::uint64_t a, std::uint64_t b, std::uint64_t& sum) noexcept {
    return !__builtin_add_overflow(a, b, &sum);
}

} // namespace korvane
} // namespace vemo
