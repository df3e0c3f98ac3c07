#include "bench/ann/dataset.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <unordered_set>

namespace vemo {
namespace korvane {
namespace bench {

namespace {

std::uint32_t read_big_endian(unsigned char const* p) noexcept {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | std::uint32_t(p[3]);
}

constexpr char truth_magic[8] = {'k', 'v', 'b', 'g', 't', 'r', 'u', '1'};

} // namespace

dataset_t load_idx_images(std::string const& path, std::size_t limit) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot open " + path);
    unsigned char header[16];
    if (!in.read(reinterpret_cast<char*>(header), sizeof(header)))
        throw std::runtime_error(path + ": shorter than an IDX header");
    if (read_big_endian(header) != 0x00000803u)
        throw std::runtime_error(path + ": not an IDX file of unsigned-byte images");
    std::size_t rows = read_big_endian(header + 4);
    std::size_t dims = std::size_t(read_big_endian(header + 8)) * read_big_endian(header + 12);
    if (dims == 0)
        throw std::runtime_error(path + ": images of zero pixels");
    if (limit != 0 && limit < rows)
        rows = limit;
    dataset_t set;
    set.rows = rows;
    set.dims = dims;
    set.bytes.resize(rows * dims);
    if (!in.read(reinterpret_cast<char*>(set.bytes.data()), std::streamsize(set.bytes.size())))
        throw std::runtime_error(path + ": truncated, fewer images than requested");
    set.floats.assign(set.bytes.begin(), set.bytes.end());
    return set;
}

std::uint32_t exact_l2sq(std::uint8_t const* a, std::uint8_t const* b, std::size_t dims) noexcept {
    // Integer sums are associative, so the compiler vectorises this without any floating-point licence.
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i != dims; ++i) {
        std::int32_t d = std::int32_t(a[i]) - std::int32_t(b[i]);
        sum += std::uint32_t(d * d);
    }
    return sum;
}

ground_truth_t compute_ground_truth(dataset_t const& base, dataset_t const& queries, std::size_t k,
                                    std::size_t threads) {
    if (base.dims != queries.dims)
        throw std::runtime_error("base and queries differ in dimensions");
    if (k == 0 || base.rows < k)
        throw std::runtime_error("ground truth needs at least k base rows");
    ground_truth_t truth;
    truth.queries = queries.rows;
    truth.k = k;
    truth.ids.resize(queries.rows * k);
    truth.distances.resize(queries.rows * k);
    threads = std::max<std::size_t>(1, threads);

    auto work = [&](std::size_t first_query, std::size_t step) {
        std::vector<std::pair<std::uint32_t, std::uint32_t>> best; // (distance, id), sorted ascending
        best.reserve(k + 1);
        for (std::size_t q = first_query; q < queries.rows; q += step) {
            best.clear();
            std::uint8_t const* query = queries.byte_row(q);
            for (std::size_t i = 0; i != base.rows; ++i) {
                std::uint32_t d = exact_l2sq(query, base.byte_row(i), base.dims);
                if (best.size() == k && d >= best.back().first)
                    continue;
                std::pair<std::uint32_t, std::uint32_t> entry{d, std::uint32_t(i)};
                best.insert(std::upper_bound(best.begin(), best.end(), entry), entry);
                if (best.size() > k)
                    best.pop_back();
            }
            for (std::size_t j = 0; j != k; ++j) {
                truth.distances[q * k + j] = best[j].first;
                truth.ids[q * k + j] = best[j].second;
            }
        }
    };
    std::vector<std::thread> pool;
    for (std::size_t t = 0; t != threads; ++t)
        pool.emplace_back(work, t, threads);
    for (auto& thread : pool)
        thread.join();
    return truth;
}

ground_truth_t cached_ground_truth(std::string const& cache_path, dataset_t const& base, dataset_t const& queries,
                                   std::size_t k, std::size_t threads) {
    std::uint64_t const shape[4] = {base.rows, queries.rows, base.dims, k};
    {
        std::ifstream in(cache_path, std::ios::binary);
        char magic[sizeof(truth_magic)];
        std::uint64_t stored[4];
        if (in && in.read(magic, sizeof(magic)) && std::memcmp(magic, truth_magic, sizeof(magic)) == 0 &&
            in.read(reinterpret_cast<char*>(stored), sizeof(stored)) && std::memcmp(stored, shape, sizeof(shape)) == 0) {
            ground_truth_t truth;
            truth.queries = queries.rows;
            truth.k = k;
            truth.ids.resize(queries.rows * k);
            truth.distances.resize(queries.rows * k);
            std::streamsize bytes = std::streamsize(truth.ids.size() * sizeof(std::uint32_t));
            if (in.read(reinterpret_cast<char*>(truth.ids.data()), bytes) &&
                in.read(reinterpret_cast<char*>(truth.distances.data()), bytes))
                return truth;
        }
    }
    ground_truth_t truth = compute_ground_truth(base, queries, k, threads);
    // Written under a temporary name and renamed, so that an interrupted run never leaves a half cache behind.
    std::string temporary = cache_path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(truth_magic, sizeof(truth_magic));
        out.write(reinterpret_cast<char const*>(shape), sizeof(shape));
        std::streamsize bytes = std::streamsize(truth.ids.size() * sizeof(std::uint32_t));
        out.write(reinterpret_cast<char const*>(truth.ids.data()), bytes);
        out.write(reinterpret_cast<char const*>(truth.distances.data()), bytes);
        if (!out)
            throw std::runtime_error("cannot write " + temporary);
    }
    if (std::rename(temporary.c_str(), cache_path.c_str()) != 0)
        throw std::runtime_error("cannot rename " + temporary + " to " + cache_path);
    return truth;
}

double recall_at_k(dataset_t const& base, dataset_t const& queries, ground_truth_t const& truth,
                   std::vector<std::int64_t> const& found, std::size_t found_per_query) {
    if (truth.queries == 0)
        return 0;
    std::size_t hits = 0;
    std::unordered_set<std::int64_t> seen;
    for (std::size_t q = 0; q != truth.queries; ++q) {
        seen.clear();
        std::size_t hits_here = 0;
        std::uint32_t limit = truth.kth_distance(q);
        for (std::size_t j = 0; j != found_per_query; ++j) {
            std::int64_t id = found[q * found_per_query + j];
            if (id < 0 || std::uint64_t(id) >= base.rows || !seen.insert(id).second)
                continue;
            if (exact_l2sq(queries.byte_row(q), base.byte_row(std::size_t(id)), base.dims) <= limit)
                ++hits_here;
        }
        hits += std::min(hits_here, truth.k);
    }
    return double(hits) / double(truth.queries * truth.k);
}

} // namespace bench
} // namespace korvane
} // namespace vemo
