// Saving and bringing an index back, by loading and by viewing: the restored index holds the same entries,
// vectors, free slots and graph, answers searches the same way, and saves to the same bytes.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <random>
#include <thread>
#include <string>
#include <vector>

#include "index_fixtures.h"
#include "test_files.h"

namespace vemo {
namespace korvane {
namespace {

using namespace testing;

constexpr std::size_t entries_k = 150;
std::uint64_t const removed_keys_k[] = {100, 117, 249};

void expect_same_entries(index_dense_t const& restored, index_dense_t const& original) {
    EXPECT_EQ(restored.size(), original.size());
    EXPECT_EQ(restored.dimensions(), original.dimensions());
    EXPECT_EQ(restored.metric_kind(), original.metric_kind());
    EXPECT_EQ(restored.scalar_kind(), original.scalar_kind());
    EXPECT_EQ(restored.connectivity(), original.connectivity());
    EXPECT_EQ(restored.free_slots(), std::size(removed_keys_k));
    for (std::uint64_t key = 100; key != 100 + entries_k; ++key)
        ASSERT_EQ(stored_vector(restored, key), stored_vector(original, key)) << "key " << key;
    for (std::uint64_t key : removed_keys_k)
        EXPECT_TRUE(stored_vector(restored, key).empty()) << "removed key " << key;
}

void expect_same_searches(index_dense_t& restored, index_dense_t& original) {
    std::mt19937 generator(99);
    for (int query = 0; query != 20; ++query) {
        std::vector<float> vector = random_vector(original.dimensions(), generator);
        ASSERT_EQ(search_keys(restored, vector, 10), search_keys(original, vector, 10)) << "query " << query;
    }
}

struct round_trip_case_t {
    char const* name;
    index_shape_t shape;
};

class RoundTrip : public ::testing::TestWithParam<round_trip_case_t> {};

TEST_P(RoundTrip, LoadAndViewRestoreTheIndex) {
    scratch_directory_t directory;
    std::string const path = directory.file("index.bin");
    index_dense_t original = make_filled_index(GetParam().shape, entries_k, 256);
    for (std::uint64_t key : removed_keys_k)
        ASSERT_EQ(original.remove(key).completed, 1u);
    ASSERT_EQ(message_of(save_to(original, path)), "");
    bytes_t const saved = read_file(path);

    // The receiving indexes start with another shape: everything but the thread counts comes from the file.
    index_dense_t loaded = make_filled_index({metric_kind_t::cos, scalar_kind_t::f64, 3, 5}, 10);
    ASSERT_EQ(message_of(load_from(loaded, path)), "");
    expect_same_entries(loaded, original);
    expect_same_searches(loaded, original);
    EXPECT_FALSE(loaded.is_immutable());
    EXPECT_EQ(loaded.capacity(), original.graph()->size());

    index_dense_t viewed = make_filled_index({metric_kind_t::cos, scalar_kind_t::f64, 3, 5}, 10);
    ASSERT_EQ(message_of(view_of(viewed, path)), "");
    expect_same_entries(viewed, original);
    expect_same_searches(viewed, original);
    EXPECT_TRUE(viewed.is_immutable());

    // Neither reader changes a byte of what it restored.
    std::string const again = directory.file("again.bin");
    ASSERT_EQ(message_of(save_to(loaded, again)), "");
    EXPECT_EQ(read_file(again), saved) << "loaded";
    ASSERT_EQ(message_of(save_to(viewed, again)), "");
    EXPECT_EQ(read_file(again), saved) << "viewed";
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, RoundTrip,
    ::testing::Values(round_trip_case_t{"f32_l2sq", {metric_kind_t::l2sq, scalar_kind_t::f32, 8}},
                      round_trip_case_t{"f64_cos", {metric_kind_t::cos, scalar_kind_t::f64, 5}},
                      round_trip_case_t{"f16_ip", {metric_kind_t::ip, scalar_kind_t::f16, 16}},
                      round_trip_case_t{"bf16_l2sq", {metric_kind_t::l2sq, scalar_kind_t::bf16, 7}},
                      round_trip_case_t{"i8_cos", {metric_kind_t::cos, scalar_kind_t::i8, 12}},
                      round_trip_case_t{"b1x8_hamming", {metric_kind_t::hamming, scalar_kind_t::b1x8, 100}},
                      round_trip_case_t{"f32_pearson_upper_levels", {metric_kind_t::pearson, scalar_kind_t::f32, 6, 2}}),
    [](::testing::TestParamInfo<round_trip_case_t> const& info) { return std::string(info.param.name); });

TEST(RoundTrip, RestoredIndexesDifferOnlyInMutability) {
    scratch_directory_t directory;
    std::string const path = directory.file("index.bin");
    index_dense_t original = make_filled_index({}, 20);
    ASSERT_EQ(original.remove(105).completed, 1u);
    ASSERT_EQ(message_of(save_to(original, path)), "");
    std::vector<float> const vector = {0.5f, 0.25f, -1, 2};

    index_dense_t loaded = make_index({}, 1);
    ASSERT_EQ(message_of(load_from(loaded, path)), "");
    EXPECT_EQ(loaded.capacity(), 20u) << "a loaded index has no room until reserved";
    ASSERT_TRUE(loaded.try_reserve({40, 2, 2}));
    auto added = loaded.add(500, vector.data());
    ASSERT_FALSE(added.error) << added.error.release();
    EXPECT_EQ(added.slot, 5u) << "the removed entry's slot is reused first";
    EXPECT_EQ(loaded.size(), 20u);
    EXPECT_EQ(search_keys(loaded, vector, 1), std::vector<std::uint64_t>{500});

    index_dense_t viewed = make_index({}, 1);
    ASSERT_EQ(message_of(view_of(viewed, path)), "");
    auto refused = viewed.add(500, vector.data());
    EXPECT_STREQ(refused.error.release(), "Can't add to an immutable index");
    auto not_removed = viewed.remove(101);
    EXPECT_STREQ(not_removed.error.release(), "Can't remove from an immutable index");
    EXPECT_EQ(viewed.size(), 19u);
}

TEST(RoundTrip, EmptyIndexIsOrdinaryAfterwards) {
    scratch_directory_t directory;
    std::string const path = directory.file("empty.bin");
    index_dense_t original = make_index({metric_kind_t::l2sq, scalar_kind_t::f32, 128}, 0);
    ASSERT_EQ(message_of(save_to(original, path)), "");
    EXPECT_EQ(read_file(path).size(), 112u);

    std::vector<float> const vector(128, 0.5f);
    index_dense_t viewed = make_index({}, 1);
    ASSERT_EQ(message_of(view_of(viewed, path)), "");
    EXPECT_FALSE(viewed.is_immutable()) << "an empty file leaves no mapping behind";
    EXPECT_FALSE(viewed.graph()->mapped_file().is_open());
    EXPECT_EQ(viewed.size(), 0u);
    EXPECT_EQ(viewed.dimensions(), 128u);
    ASSERT_TRUE(viewed.try_reserve({4, 1, 1}));
    auto added = viewed.add(1, vector.data());
    EXPECT_FALSE(added.error) << added.error.release();

    index_dense_t loaded = make_index({}, 1);
    ASSERT_EQ(message_of(load_from(loaded, path)), "");
    EXPECT_EQ(loaded.size(), 0u);
    EXPECT_EQ(loaded.dimensions(), 128u);
}

TEST(RoundTrip, BlankIndexTakesEverythingFromTheFile) {
    scratch_directory_t directory;
    std::string const path = directory.file("index.bin");
    index_dense_t original = make_filled_index({metric_kind_t::ip, scalar_kind_t::f32, 6, 8}, 30);
    ASSERT_EQ(message_of(save_to(original, path)), "");

    for (bool view : {false, true}) {
        index_dense_t blank = index_dense_t::blank();
        ASSERT_EQ(message_of(view ? view_of(blank, path) : load_from(blank, path)), "") << view;
        EXPECT_EQ(blank.connectivity(), 8u);
        EXPECT_EQ(blank.size(), 30u);
        std::vector<float> const query = stored_vector(original, 110);
        EXPECT_EQ(search_keys(blank, query, 3), search_keys(original, query, 3)) << view;
    }
}

TEST(RoundTrip, OptionsMustMatchBetweenWriterAndReader) {
    scratch_directory_t directory;
    index_dense_t original = make_filled_index({}, 12);

    std::string const wide = directory.file("wide.bin");
    index_dense_serialization_config_t wide_dims;
    wide_dims.wide_matrix_dims = true;
    ASSERT_EQ(message_of(save_to(original, wide, wide_dims)), "");
    bytes_t const bytes = read_file(wide);
    ASSERT_GE(bytes.size(), 16u);
    EXPECT_EQ(*reinterpret_cast<std::uint64_t const*>(bytes.data()), 12u);
    EXPECT_EQ(*reinterpret_cast<std::uint64_t const*>(bytes.data() + 8), 16u);
    for (bool view : {false, true}) {
        index_dense_t restored = make_index({}, 1);
        ASSERT_EQ(message_of(view ? view_of(restored, wide, wide_dims) : load_from(restored, wide, wide_dims)), "");
        EXPECT_EQ(stored_vector(restored, 105), stored_vector(original, 105));
    }

    // Without vectors the file starts with the header, and an index with entries cannot come back from it.
    std::string const bare = directory.file("bare.bin");
    index_dense_serialization_config_t skip;
    skip.skip_vectors = true;
    ASSERT_EQ(message_of(save_to(original, bare, skip)), "");
    EXPECT_EQ(std::string(read_file(bare).data(), 7), "korvane");
    index_dense_t restored = make_index({}, 1);
    EXPECT_EQ(message_of(load_from(restored, bare, skip)), "Index size and the number of vectors doesn't match");
    EXPECT_EQ(message_of(view_of(restored, bare, skip)), "Index size and the number of vectors doesn't match");
    EXPECT_EQ(restored.size(), 0u);
}

TEST(RoundTrip, ViewStartsAtTheGivenOffset) {
    scratch_directory_t directory;
    std::string const path = directory.file("embedded.bin");
    std::string const plain = directory.file("index.bin");
    index_dense_t original = make_filled_index({}, 30);
    ASSERT_EQ(message_of(save_to(original, plain)), "");
    bytes_t bytes(64, 'x');
    bytes_t const index_bytes = read_file(plain);
    bytes.insert(bytes.end(), index_bytes.begin(), index_bytes.end());
    write_file(path, bytes);

    index_dense_t viewed = make_index({}, 1);
    ASSERT_EQ(message_of(viewed.view(memory_mapped_file_t(path.c_str()), 64)), "");
    std::vector<float> const query = stored_vector(original, 111);
    EXPECT_EQ(search_keys(viewed, query, 5), search_keys(original, query, 5));
    EXPECT_EQ(message_of(viewed.view(memory_mapped_file_t(path.c_str()), bytes.size() + 100)),
              "File is corrupted and lacks matrix dimensions");
}

TEST(RoundTrip, LoadsFromAStreamOfUnknownLength) {
    scratch_directory_t directory;
    std::string const pipe = directory.file("pipe");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    index_dense_t original = make_filled_index({}, 30);
    std::string const path = directory.file("index.bin");
    ASSERT_EQ(message_of(save_to(original, path)), "");
    bytes_t const bytes = read_file(path);

    // Whole, then cut inside the nodes: without a length to check against, the reads themselves fail.
    for (std::size_t length : {bytes.size(), bytes.size() - 50}) {
        std::thread writer([&] {
            std::ofstream stream(pipe, std::ios::binary);
            stream.write(bytes.data(), static_cast<std::streamsize>(length));
        });
        index_dense_t loaded = make_index({}, 1);
        std::string const message = message_of(load_from(loaded, pipe));
        writer.join();
        if (length == bytes.size()) {
            ASSERT_EQ(message, "");
            std::vector<float> const query = stored_vector(original, 101);
            EXPECT_EQ(search_keys(loaded, query, 5), search_keys(original, query, 5));
        } else
            EXPECT_EQ(message, "Failed to pull nodes from the stream");
    }
}

} // namespace
} // namespace korvane
} // namespace vemo
