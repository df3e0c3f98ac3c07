#pragma once
// An index file held in memory and taken apart by the tests' own reading of the layout: the offsets of
// every section, typed access to any field, and the edits the damaged-file cases are made of. It uses none
// of the library's encoders, so a layout mistake in the library cannot hide behind the same mistake here.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace vemo {
namespace korvane {
namespace testing {

struct index_file_image_t {
    std::vector<char> bytes;

    std::uint64_t rows = 0;
    std::uint64_t row_bytes = 0;
    std::size_t matrix = 0;       ///< first byte of row 0
    std::size_t dense_header = 0; ///< first byte of the 64-byte header
    std::size_t graph_header = 0; ///< first byte of the 40-byte header
    std::size_t levels = 0;       ///< first byte of the 16-bit levels
    std::uint64_t nodes_count = 0;
    std::uint64_t connectivity = 0;
    std::uint64_t base_connectivity = 0;
    std::vector<std::size_t> node_offsets; ///< first byte of each node
    std::size_t end = 0;                   ///< one past the last node

    /// Parses a complete file written with 32-bit matrix dimensions and vectors included.
    static index_file_image_t parse(std::vector<char> file) {
        index_file_image_t image;
        image.bytes = std::move(file);
        image.rows = image.get<std::uint32_t>(0);
        image.row_bytes = image.get<std::uint32_t>(4);
        image.matrix = 8;
        image.dense_header = 8 + image.rows * image.row_bytes;
        image.graph_header = image.dense_header + 64;
        image.levels = image.graph_header + 40;
        image.nodes_count = image.get<std::uint64_t>(image.graph_header);
        image.connectivity = image.get<std::uint64_t>(image.graph_header + 8);
        image.base_connectivity = image.get<std::uint64_t>(image.graph_header + 16);
        std::size_t offset = image.levels + 2 * image.nodes_count;
        for (std::uint64_t node = 0; node != image.nodes_count; ++node) {
            image.node_offsets.push_back(offset);
            offset += image.node_bytes(image.level_of(node));
        }
        image.end = offset;
        if (image.end != image.bytes.size())
            throw std::runtime_error("the file's sections do not add up to its length");
        return image;
    }

    template <typename scalar_at> scalar_at get(std::size_t offset) const {
        if (offset + sizeof(scalar_at) > bytes.size())
            throw std::out_of_range("field beyond the file");
        scalar_at value;
        std::memcpy(&value, bytes.data() + offset, sizeof(value));
        return value;
    }
    template <typename scalar_at> void put(std::size_t offset, scalar_at value) {
        if (offset + sizeof(scalar_at) > bytes.size())
            throw std::out_of_range("field beyond the file");
        std::memcpy(bytes.data() + offset, &value, sizeof(value));
    }

    std::int16_t level_of(std::uint64_t node) const { return get<std::int16_t>(levels + 2 * node); }
    std::size_t node_bytes(std::int16_t level) const {
        return 10 + (4 + 4 * base_connectivity) + std::size_t(level) * (4 + 4 * connectivity);
    }
    /// First byte (the count) of a node's neighbour list.
    std::size_t list(std::uint64_t node, int level) const {
        std::size_t offset = node_offsets[node] + 10;
        if (level > 0)
            offset += (4 + 4 * base_connectivity) + std::size_t(level - 1) * (4 + 4 * connectivity);
        return offset;
    }
    std::uint64_t key_of(std::uint64_t node) const { return get<std::uint64_t>(node_offsets[node]); }

    std::vector<char> truncated(std::size_t length) const {
        return std::vector<char>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
    }
};

} // namespace testing
} // namespace korvane
} // namespace vemo
