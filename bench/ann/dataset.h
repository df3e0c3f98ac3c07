#pragma once
// Loading of IDX image files (uncompressed) and the exact ground truth the recall figures are measured against.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vemo {
namespace korvane {
namespace bench {

// Row-major matrix of byte pixels, kept as bytes for exact distances and as floats for the indexes.
struct dataset_t {
    std::size_t rows = 0;
    std::size_t dims = 0;
    std::vector<std::uint8_t> bytes; // rows * dims pixels, 0..255
    std::vector<float> floats;       // the same pixels as floats, rows * dims

    std::uint8_t const* byte_row(std::size_t i) const noexcept { return bytes.data() + i * dims; }
    float const* float_row(std::size_t i) const noexcept { return floats.data() + i * dims; }
};

// Reads an IDX file of unsigned bytes (magic 0x00000803) and keeps its first `limit` images (0 = all).
// Throws std::runtime_error naming the path on any fault: missing file, wrong magic, truncated payload.
dataset_t load_idx_images(std::string const& path, std::size_t limit);

// Squared Euclidean distance of two byte rows, exact in 32-bit integers (784 * 255^2 < 2^31).
std::uint32_t exact_l2sq(std::uint8_t const* a, std::uint8_t const* b, std::size_t dims) noexcept;

// For every query, the ids of its k exact nearest base rows (closest first, ties by lower id) and their distances.
struct ground_truth_t {
    std::size_t queries = 0;
    std::size_t k = 0;
    std::vector<std::uint32_t> ids;       // queries * k
    std::vector<std::uint32_t> distances; // queries * k, ascending per query

    std::uint32_t kth_distance(std::size_t query) const noexcept { return distances[query * k + k - 1]; }
};

// Brute force over `threads` threads; base must hold at least k rows.
ground_truth_t compute_ground_truth(dataset_t const& base, dataset_t const& queries, std::size_t k,
                                    std::size_t threads);

// Reads the truth from `cache_path` when it was computed for the same shapes, otherwise computes and writes it.
ground_truth_t cached_ground_truth(std::string const& cache_path, dataset_t const& base, dataset_t const& queries,
                                   std::size_t k, std::size_t threads);

// Fraction of the k true neighbours found. A returned id counts when its exact distance is within the k-th true
// distance, so that an index returning a different one of several equidistant rows is not penalised; each
// returned id counts once, and ids outside the base (absent results) count as misses.
double recall_at_k(dataset_t const& base, dataset_t const& queries, ground_truth_t const& truth,
                   std::vector<std::int64_t> const& found, std::size_t found_per_query);

} // namespace bench
} // namespace korvane
} // namespace vemo
