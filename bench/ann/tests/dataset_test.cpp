#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "bench/ann/dataset.h"

using namespace vemo::korvane::bench;

namespace {

std::string temporary_path(std::string const& stem) {
    return ::testing::TempDir() + stem + "-" + std::to_string(::getpid());
}

void write_bytes(std::string const& path, std::vector<unsigned char> const& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<char const*>(bytes.data()), std::streamsize(bytes.size()));
}

// An IDX header for `rows` images of 1 x `width` pixels followed by `payload`.
std::vector<unsigned char> idx_file(unsigned magic, unsigned rows, unsigned width,
                                    std::vector<unsigned char> const& payload) {
    std::vector<unsigned char> bytes;
    for (unsigned word : {magic, rows, 1u, width})
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes.push_back(static_cast<unsigned char>(word >> shift));
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

dataset_t rows_of(std::size_t dims, std::vector<unsigned char> const& pixels) {
    dataset_t set;
    set.dims = dims;
    set.rows = pixels.size() / dims;
    set.bytes = pixels;
    set.floats.assign(pixels.begin(), pixels.end());
    return set;
}

} // namespace

TEST(IdxLoader, ReadsBigEndianHeaderAndKeepsTheRequestedRows) {
    std::string path = temporary_path("images");
    write_bytes(path, idx_file(0x803, 3, 2, {1, 2, 3, 4, 250, 255}));

    dataset_t all = load_idx_images(path, 0);
    EXPECT_EQ(all.rows, 3u);
    EXPECT_EQ(all.dims, 2u);
    EXPECT_EQ(all.floats, (std::vector<float>{1, 2, 3, 4, 250, 255}));

    dataset_t first = load_idx_images(path, 2);
    EXPECT_EQ(first.rows, 2u);
    EXPECT_EQ(first.bytes, (std::vector<std::uint8_t>{1, 2, 3, 4}));
    std::remove(path.c_str());
}

TEST(IdxLoader, RejectsDamagedFiles) {
    struct damaged_t {
        char const* what;
        std::vector<unsigned char> bytes;
    };
    std::vector<damaged_t> cases = {
        {"labels file magic", idx_file(0x801, 1, 2, {1, 2})},
        {"payload shorter than the header says", idx_file(0x803, 2, 2, {1, 2, 3})},
        {"header cut short", {0, 0, 8, 3, 0, 0}},
        {"zero pixels per image", idx_file(0x803, 1, 0, {})},
    };
    std::string path = temporary_path("damaged");
    for (auto const& c : cases) {
        write_bytes(path, c.bytes);
        EXPECT_THROW(load_idx_images(path, 0), std::runtime_error) << c.what;
    }
    std::remove(path.c_str());
    EXPECT_THROW(load_idx_images(path + "-missing", 0), std::runtime_error);
}

TEST(GroundTruth, MatchesASortOfAllDistancesWithTiesByLowerId) {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> pixel(0, 3); // few values, so that many distances tie
    std::vector<unsigned char> base_pixels(57 * 5), query_pixels(9 * 5);
    for (auto& p : base_pixels)
        p = static_cast<unsigned char>(pixel(random));
    for (auto& p : query_pixels)
        p = static_cast<unsigned char>(pixel(random));
    dataset_t base = rows_of(5, base_pixels), queries = rows_of(5, query_pixels);

    for (std::size_t threads : {1u, 3u}) {
        ground_truth_t truth = compute_ground_truth(base, queries, 4, threads);
        for (std::size_t q = 0; q != queries.rows; ++q) {
            std::vector<std::pair<std::uint32_t, std::uint32_t>> all;
            for (std::size_t i = 0; i != base.rows; ++i)
                all.push_back({exact_l2sq(queries.byte_row(q), base.byte_row(i), 5), std::uint32_t(i)});
            std::sort(all.begin(), all.end());
            for (std::size_t j = 0; j != 4; ++j) {
                EXPECT_EQ(truth.distances[q * 4 + j], all[j].first);
                EXPECT_EQ(truth.ids[q * 4 + j], all[j].second);
            }
        }
    }
}

TEST(GroundTruth, ExactDistanceHoldsTheLargestImageDistance) {
    std::vector<std::uint8_t> black(784, 0), white(784, 255);
    EXPECT_EQ(exact_l2sq(black.data(), white.data(), 784), 784u * 255u * 255u);
}

TEST(GroundTruth, CacheIsReusedOnlyForTheSameShapes) {
    dataset_t base = rows_of(2, {0, 0, 1, 1, 5, 5, 9, 9});
    dataset_t queries = rows_of(2, {1, 0});
    std::string cache = temporary_path("truth");
    std::remove(cache.c_str());

    ground_truth_t computed = cached_ground_truth(cache, base, queries, 2, 1);
    EXPECT_EQ(computed.ids, (std::vector<std::uint32_t>{0, 1}));

    // A planted cache of the same shape is trusted as it stands...
    std::fstream planted(cache, std::ios::in | std::ios::out | std::ios::binary);
    planted.seekp(8 + 4 * 8);
    std::uint32_t fake[2] = {3, 2};
    planted.write(reinterpret_cast<char const*>(fake), sizeof(fake));
    planted.close();
    EXPECT_EQ(cached_ground_truth(cache, base, queries, 2, 1).ids, (std::vector<std::uint32_t>{3, 2}));

    // ... but a different k is recomputed.
    EXPECT_EQ(cached_ground_truth(cache, base, queries, 3, 1).ids, (std::vector<std::uint32_t>{0, 1, 2}));
    std::remove(cache.c_str());
}

TEST(Recall, CountsEquidistantRowsOnceEachAndMissesAbsentResults) {
    // Rows 1 and 2 are both at distance 1 from the query; the true top 2 is {0, 1}.
    dataset_t base = rows_of(1, {10, 11, 9, 50});
    dataset_t queries = rows_of(1, {10});
    ground_truth_t truth = compute_ground_truth(base, queries, 2, 1);

    struct case_t {
        std::vector<std::int64_t> found;
        double recall;
    };
    std::vector<case_t> cases = {
        {{0, 1}, 1.0}, {{2, 0}, 1.0}, // an equidistant row stands in for a true one
        {{0, 3}, 0.5},  {{0, -1}, 0.5}, // too far, absent
        {{0, 0}, 0.5},                  // a repeated id counts once
        {{99, 3}, 0.0},                 // an id outside the base
    };
    for (auto const& c : cases)
        EXPECT_DOUBLE_EQ(recall_at_k(base, queries, truth, c.found, 2), c.recall)
            << c.found[0] << "," << c.found[1];
}
