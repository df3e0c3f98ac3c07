// The saved file byte by byte, read back with the offsets of the format rather than the library's decoders.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "index_file_image.h"
#include "index_fixtures.h"
#include "test_files.h"

namespace vemo {
namespace korvane {
namespace {

using namespace testing;

TEST(FileLayout, EmptyIndexIs112Bytes) {
    scratch_directory_t directory;
    std::string const path = directory.file("empty.bin");
    ASSERT_EQ(message_of(save_to(make_index({metric_kind_t::l2sq, scalar_kind_t::f32, 128}, 0), path)), "");
    index_file_image_t const file = index_file_image_t::parse(read_file(path));
    ASSERT_EQ(file.bytes.size(), 112u);
    EXPECT_EQ(file.get<std::uint32_t>(0), 0u);
    EXPECT_EQ(file.get<std::uint32_t>(4), 512u);
    EXPECT_EQ(std::string(file.bytes.data() + 8, 7), "korvane");
    EXPECT_EQ(file.get<std::uint64_t>(8 + 17), 0u) << "count present";
    EXPECT_EQ(file.get<std::uint64_t>(8 + 33), 128u) << "dimensions";
    EXPECT_EQ(file.get<std::uint64_t>(72), 0u) << "graph size";
    EXPECT_EQ(file.get<std::uint64_t>(80), 16u);
    EXPECT_EQ(file.get<std::uint64_t>(88), 32u);
    EXPECT_EQ(file.get<std::int64_t>(96), -1) << "top level of an empty graph";
    EXPECT_EQ(file.get<std::uint64_t>(104), 0u) << "entry point";
}

TEST(FileLayout, EveryFieldOfASmallIndex) {
    scratch_directory_t directory;
    std::string const path = directory.file("small.bin");
    index_dense_t index = make_index({metric_kind_t::l2sq, scalar_kind_t::f32, 4}, 8);
    std::vector<float> const vectors[3] = {{1, 2, 3, 4}, {-1, 0.5f, 0, 8}, {9, 9, 9, 9}};
    for (std::uint64_t i = 0; i != 3; ++i)
        ASSERT_FALSE(index.add(1000 + i, vectors[i].data()).error);
    ASSERT_EQ(index.remove(1001).completed, 1u);
    ASSERT_EQ(message_of(save_to(index, path)), "");
    index_file_image_t const file = index_file_image_t::parse(read_file(path));

    // Matrix: rows and bytes per row, then each slot's vector as stored.
    EXPECT_EQ(file.get<std::uint32_t>(0), 3u);
    EXPECT_EQ(file.get<std::uint32_t>(4), 16u);
    for (std::size_t slot = 0; slot != 3; ++slot)
        EXPECT_EQ(std::memcmp(file.bytes.data() + 8 + 16 * slot, vectors[slot].data(), 16), 0) << "row " << slot;

    // Dense header at 8 + 3 x 16.
    std::size_t const header = 56;
    ASSERT_EQ(file.dense_header, header);
    EXPECT_EQ(std::string(file.bytes.data() + header, 7), "korvane");
    EXPECT_EQ(file.get<std::uint16_t>(header + 7), 2u);
    EXPECT_EQ(file.get<std::uint16_t>(header + 9), 24u);
    EXPECT_EQ(file.get<std::uint16_t>(header + 11), 0u);
    EXPECT_EQ(file.get<std::uint8_t>(header + 13), 'e');
    EXPECT_EQ(file.get<std::uint8_t>(header + 14), 11u);
    EXPECT_EQ(file.get<std::uint8_t>(header + 15), 14u);
    EXPECT_EQ(file.get<std::uint8_t>(header + 16), 15u);
    EXPECT_EQ(file.get<std::uint64_t>(header + 17), 2u) << "count present";
    EXPECT_EQ(file.get<std::uint64_t>(header + 25), 1u) << "count deleted";
    EXPECT_EQ(file.get<std::uint64_t>(header + 33), 4u) << "dimensions";
    EXPECT_EQ(file.get<std::uint8_t>(header + 41), 0u) << "multi_keys";
    for (std::size_t offset = 42; offset != 64; ++offset)
        EXPECT_EQ(file.get<std::uint8_t>(header + offset), 0u) << "reserved byte " << offset;

    // Graph header, levels and nodes.
    std::size_t const graph = header + 64;
    auto const& graph_index = *index.graph();
    EXPECT_EQ(file.get<std::uint64_t>(graph), 3u);
    EXPECT_EQ(file.get<std::uint64_t>(graph + 8), 16u);
    EXPECT_EQ(file.get<std::uint64_t>(graph + 16), 32u);
    EXPECT_EQ(file.get<std::int64_t>(graph + 24), graph_index.top_level());
    EXPECT_EQ(file.get<std::uint64_t>(graph + 32), graph_index.entry_point());
    ASSERT_EQ(file.levels, graph + 40);
    ASSERT_EQ(file.node_offsets[0], graph + 40 + 6);
    for (std::size_t slot = 0; slot != 3; ++slot) {
        auto const node = graph_index.node_at(slot);
        std::size_t const bytes = graph_index.node_bytes(node);
        EXPECT_EQ(file.level_of(slot), node.level());
        EXPECT_EQ(bytes, 142u + 68u * std::size_t(node.level()));
        EXPECT_EQ(std::memcmp(file.bytes.data() + file.node_offsets[slot], node.tape(), bytes), 0) << "node " << slot;
    }
    EXPECT_EQ(file.key_of(0), 1000u);
    EXPECT_EQ(file.key_of(1), ~std::uint64_t(0)) << "a removed entry keeps its slot under the vacant key";
    EXPECT_EQ(file.key_of(2), 1002u);
    // The third node was linked to both others before the removal, which leaves links in place.
    ASSERT_EQ(file.get<std::uint32_t>(file.list(2, 0)), 2u);
    EXPECT_EQ(file.get<std::uint32_t>(file.list(2, 0) + 4) + file.get<std::uint32_t>(file.list(2, 0) + 8), 1u);
}

TEST(FileLayout, PackedBitsRoundUpToWholeBytes) {
    scratch_directory_t directory;
    std::string const path = directory.file("bits.bin");
    ASSERT_EQ(message_of(save_to(make_filled_index({metric_kind_t::hamming, scalar_kind_t::b1x8, 100}, 2), path)), "");
    bytes_t const bytes = read_file(path);
    EXPECT_EQ(index_file_image_t::parse(bytes).row_bytes, 13u);
}

} // namespace
} // namespace korvane
} // namespace vemo
