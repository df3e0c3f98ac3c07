// Damaged files, each made from one small valid file: every reader ends in its expected message, never
// in a crash or a read outside the file, and leaves an empty index that can be reserved and filled again.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "index_file_image.h"
#include "index_fixtures.h"
#include "test_files.h"

namespace vemo {
namespace korvane {
namespace {

using namespace testing;

constexpr std::size_t entries_k = 24;
index_shape_t const shape_k = {metric_kind_t::l2sq, scalar_kind_t::f32, 4, 2};

/// The valid file every case starts from: connectivity 2 gives several upper levels, and one removed
/// entry leaves a vacant node.
index_file_image_t const& small_file() {
    static index_file_image_t const image = [] {
        scratch_directory_t directory;
        std::string const path = directory.file("small.bin");
        index_dense_t index = make_filled_index(shape_k, entries_k);
        index.remove(103);
        serialization_result_t saved = save_to(index, path);
        if (saved.error)
            throw std::runtime_error(saved.error.release());
        return index_file_image_t::parse(read_file(path));
    }();
    return image;
}

index_file_image_t const& empty_file() {
    static index_file_image_t const image = [] {
        scratch_directory_t directory;
        std::string const path = directory.file("empty.bin");
        serialization_result_t saved = save_to(make_index(shape_k, 0), path);
        if (saved.error)
            throw std::runtime_error(saved.error.release());
        return index_file_image_t::parse(read_file(path));
    }();
    return image;
}

/// First node whose level-1 list holds a neighbour, and first node of level 0.
std::uint64_t upper_linked_node(index_file_image_t const& file) {
    for (std::uint64_t node = 0; node != file.nodes_count; ++node)
        if (file.level_of(node) >= 1 && file.get<std::uint32_t>(file.list(node, 1)) >= 1)
            return node;
    throw std::runtime_error("no node links on level 1");
}
std::uint64_t base_level_node(index_file_image_t const& file) {
    for (std::uint64_t node = 0; node != file.nodes_count; ++node)
        if (file.level_of(node) == 0)
            return node;
    throw std::runtime_error("every node reaches level 1");
}

/// Brings `bytes` into a used index of the same shape by loading or viewing; returns the message.
std::string restore(bytes_t const& bytes, bool view) {
    scratch_directory_t directory;
    std::string const path = directory.file("damaged.bin");
    write_file(path, bytes);
    index_dense_t index = make_filled_index(shape_k, 5);
    std::string const message = view ? message_of(view_of(index, path)) : message_of(load_from(index, path));
    if (message.empty())
        return message;

    // A failed reader leaves an empty index, whatever it had reached, that takes entries again.
    EXPECT_EQ(index.size(), 0u) << message;
    EXPECT_FALSE(index.is_immutable()) << message;
    EXPECT_TRUE(index.try_reserve({8, 1, 1})) << message;
    std::vector<float> const vector = {1, 2, 3, 4};
    auto added = index.add(7, vector.data());
    EXPECT_FALSE(added.error) << message;
    EXPECT_EQ(search_keys(index, vector, 1), std::vector<std::uint64_t>{7}) << message;
    return message;
}

TEST(DamagedFile, TruncatedAtEveryBoundaryAndHeaderByte) {
    index_file_image_t const& file = small_file();
    std::vector<std::size_t> lengths;
    for (std::size_t length = 0; length <= 8; ++length)
        lengths.push_back(length);
    for (std::size_t row = 1; row <= file.rows; ++row)
        lengths.push_back(8 + row * file.row_bytes - (row % 2));
    for (std::size_t length = file.dense_header; length < file.levels; ++length)
        lengths.push_back(length);
    lengths.insert(lengths.end(), {file.levels, file.levels + 1, file.levels + 2 * file.nodes_count - 1});
    for (std::size_t offset : file.node_offsets)
        lengths.insert(lengths.end(), {offset, offset + 9, offset + 11});
    lengths.push_back(file.end - 1);

    for (std::size_t length : lengths) {
        char const* load_expected = length < 8                  ? "Failed to read 32-bit dimensions of the matrix"
                                    : length < file.dense_header ? "Failed to read vectors"
                                    : length < file.graph_header ? "Failed to read the index "
                                    : length < file.levels       ? "Failed to pull the header from the stream"
                                    : length < file.levels + 2 * file.nodes_count
                                        ? "Failed to pull nodes levels from the stream"
                                        : "Failed to pull nodes from the stream";
        char const* view_expected = length == 0 ? std::strerror(EINVAL) // an empty file cannot be mapped
                                    : length < 8 ? "File is corrupted and lacks matrix dimensions"
                                    : length < file.levels ? "File is corrupted and lacks a header"
                                                           : "File is corrupted and can't fit all the nodes";
        bytes_t const bytes = file.truncated(length);
        EXPECT_EQ(restore(bytes, false), load_expected) << "truncated to " << length;
        EXPECT_EQ(restore(bytes, true), view_expected) << "truncated to " << length;
    }
}

struct damage_t {
    char const* name;
    bool from_empty_file;
    std::function<void(index_file_image_t&)> damage;
    char const* load_message;
    char const* view_message;
};

char const* const links_k = "File is corrupted and has invalid neighbour lists";
char const* const levels_k = "File is corrupted and has invalid node levels";
char const* const entry_k = "File is corrupted and its entry point is out of range";

std::vector<damage_t> damages() {
    auto both = [](char const* name, std::function<void(index_file_image_t&)> damage, char const* message) {
        return damage_t{name, false, std::move(damage), message, message};
    };
    auto header = [](index_file_image_t& file) { return file.dense_header; };
    auto graph = [](index_file_image_t& file) { return file.graph_header; };
    return {
        both("bad magic", [&](auto& f) { f.bytes[header(f) + 6] = 'E'; },
             "Magic header mismatch - the file isn't an index"),
        both("major version 3", [&](auto& f) { f.template put<std::uint16_t>(header(f) + 7, 3); },
             "File format may be different, please rebuild"),
        both("key kind u32", [&](auto& f) { f.template put<std::uint8_t>(header(f) + 15, 15); },
             "Key type doesn't match, consider rebuilding"),
        both("slot kind u64", [&](auto& f) { f.template put<std::uint8_t>(header(f) + 16, 14); },
             "Slot type doesn't match, consider rebuilding"),
        both("legacy minor version with current key code",
             [&](auto& f) { f.template put<std::uint16_t>(header(f) + 9, 9); },
             "Key type doesn't match, consider rebuilding"),
        both("legacy scalar code of i64",
             [&](auto& f) {
                 f.template put<std::uint16_t>(header(f) + 9, 9);
                 f.template put<std::uint8_t>(header(f) + 14, 11);
                 f.template put<std::uint8_t>(header(f) + 15, 8);
                 f.template put<std::uint8_t>(header(f) + 16, 9);
             },
             "Metric in the file can't be initialized"),
        both("unknown metric code", [&](auto& f) { f.template put<std::uint8_t>(header(f) + 13, 'z'); },
             "Metric in the file can't be initialized"),
        both("dimensions disagree with the rows", [&](auto& f) { f.template put<std::uint64_t>(header(f) + 33, 5); },
             "File is corrupted and its rows don't match the vector size"),
        damage_t{"rows beyond the file", false, [](auto& f) { f.template put<std::uint32_t>(0, 0xFFFFFFFFu); },
                 "Failed to read vectors", "File is corrupted and lacks a header"},
        damage_t{"112 bytes claiming four billion rows", true,
                 [](auto& f) { f.template put<std::uint32_t>(0, 4000000000u); }, "Failed to read vectors",
                 "File is corrupted and lacks a header"},
        damage_t{"112 bytes claiming four billion empty rows", true,
                 [](auto& f) {
                     f.template put<std::uint32_t>(0, 4000000000u);
                     f.template put<std::uint32_t>(4, 0);
                 },
                 "File is corrupted and claims more vectors than it holds",
                 "File is corrupted and its rows don't match the vector size"},
        both("connectivity 1", [&](auto& f) { f.template put<std::uint64_t>(graph(f) + 8, 1); },
             "Connectivity must be at least 2, otherwise the index degenerates into ropes"),
        both("base connectivity below connectivity", [&](auto& f) { f.template put<std::uint64_t>(graph(f) + 16, 1); },
             "Base layer should be at least as connected as the rest of the graph"),
        both("connectivity beyond 32-bit counts",
             [&](auto& f) {
                 f.template put<std::uint64_t>(graph(f) + 8, std::uint64_t(1) << 40);
                 f.template put<std::uint64_t>(graph(f) + 16, std::uint64_t(1) << 40);
             },
             "File is corrupted and its connectivity is too large"),
        both("more nodes than slots", [&](auto& f) { f.template put<std::uint64_t>(graph(f), 0xFFFFFFFFu); },
             "File is corrupted and has more nodes than slots can number"),
        both("negative level", [&](auto& f) { f.template put<std::int16_t>(f.levels, -1); }, levels_k),
        both("node disagrees with the level table",
             [&](auto& f) { f.template put<std::int16_t>(f.node_offsets[0] + 8, f.level_of(0) + 1); }, levels_k),
        both("neighbour slot out of range",
             [&](auto& f) { f.template put<std::uint32_t>(f.list(0, 0) + 4, std::uint32_t(f.nodes_count)); }, links_k),
        both("neighbour slot all ones", [&](auto& f) { f.template put<std::uint32_t>(f.list(5, 0) + 4, ~0u); }, links_k),
        both("base neighbour count over the limit",
             [&](auto& f) { f.template put<std::uint32_t>(f.list(1, 0), std::uint32_t(f.base_connectivity + 1)); },
             links_k),
        both("neighbour count all ones", [&](auto& f) { f.template put<std::uint32_t>(f.list(2, 0), ~0u); }, links_k),
        both("upper neighbour count over the limit",
             [&](auto& f) {
                 f.template put<std::uint32_t>(f.list(upper_linked_node(f), 1), std::uint32_t(f.connectivity + 1));
             },
             links_k),
        both("upper neighbour without that level",
             [&](auto& f) {
                 f.template put<std::uint32_t>(f.list(upper_linked_node(f), 1) + 4,
                                               std::uint32_t(base_level_node(f)));
             },
             links_k),
        both("entry point out of range",
             [&](auto& f) { f.template put<std::uint64_t>(graph(f) + 32, f.nodes_count); }, entry_k),
        both("entry point beyond 32 bits",
             [&](auto& f) { f.template put<std::uint64_t>(graph(f) + 32, std::uint64_t(1) << 32); }, entry_k),
        both("top level above the entry node",
             [&](auto& f) { f.template put<std::int64_t>(graph(f) + 24, f.template get<std::int64_t>(graph(f) + 24) + 1); },
             entry_k),
        both("top level beyond 16 bits", [&](auto& f) { f.template put<std::int64_t>(graph(f) + 24, 0x10000); },
             entry_k),
    };
}

TEST(DamagedFile, EveryCaseEndsInItsMessage) {
    for (damage_t const& damage : damages()) {
        index_file_image_t file = damage.from_empty_file ? empty_file() : small_file();
        damage.damage(file);
        EXPECT_EQ(restore(file.bytes, false), damage.load_message) << damage.name;
        EXPECT_EQ(restore(file.bytes, true), damage.view_message) << damage.name;
    }
}

TEST(DamagedFile, LegacyScalarCodesAreTranslated) {
    index_file_image_t file = small_file();
    file.put<std::uint16_t>(file.dense_header + 9, 9);
    file.put<std::uint8_t>(file.dense_header + 14, 5);
    file.put<std::uint8_t>(file.dense_header + 15, 8);
    file.put<std::uint8_t>(file.dense_header + 16, 9);
    scratch_directory_t directory;
    std::string const path = directory.file("legacy.bin");
    write_file(path, file.bytes);
    for (bool view : {false, true}) {
        index_dense_t index = make_index({metric_kind_t::cos, scalar_kind_t::f16, 3}, 1);
        ASSERT_EQ(view ? message_of(view_of(index, path)) : message_of(load_from(index, path)), "") << view;
        EXPECT_EQ(index.scalar_kind(), scalar_kind_t::f32);
        EXPECT_EQ(index.size(), entries_k - 1);
    }
}

} // namespace
} // namespace korvane
} // namespace vemo
