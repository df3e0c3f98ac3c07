#pragma once
// Small dense indexes filled with reproducible random vectors, and the comparisons the round trips use.

#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "index/index_dense_persistence.h"

namespace vemo {
namespace korvane {
namespace testing {

struct index_shape_t {
    metric_kind_t metric = metric_kind_t::l2sq;
    scalar_kind_t scalar = scalar_kind_t::f32;
    std::size_t dimensions = 4;
    std::size_t connectivity = 0;
};

inline index_dense_t make_index(index_shape_t shape, std::size_t capacity = 64) {
    dense_config_t config;
    config.connectivity = shape.connectivity;
    auto state = index_dense_t::make(metric_punned_t::builtin(shape.dimensions, shape.metric, shape.scalar), config);
    if (state.error)
        throw std::runtime_error(state.error.release());
    index_dense_t index(std::move(state.index));
    if (!index.try_reserve({capacity, 2, 2}))
        throw std::runtime_error("reservation failed");
    return index;
}

inline std::vector<float> random_vector(std::size_t dimensions, std::mt19937& generator) {
    std::uniform_real_distribution<float> distribution(-1, 1);
    std::vector<float> vector(dimensions);
    for (float& value : vector)
        value = distribution(generator);
    return vector;
}

/// Adds `count` random vectors under the keys first_key, first_key + 1, ...
inline void fill(index_dense_t& index, std::size_t count, std::uint64_t first_key = 100, unsigned seed = 7) {
    std::mt19937 generator(seed);
    for (std::size_t i = 0; i != count; ++i) {
        std::vector<float> vector = random_vector(index.dimensions(), generator);
        auto added = index.add(first_key + i, vector.data());
        if (added.error)
            throw std::runtime_error(added.error.release());
    }
}

inline index_dense_t make_filled_index(index_shape_t shape, std::size_t count, std::size_t capacity = 64) {
    index_dense_t index = make_index(shape, capacity);
    fill(index, count);
    return index;
}

inline std::vector<std::uint64_t> search_keys(index_dense_t& index, std::vector<float> const& query,
                                              std::size_t wanted) {
    auto found = index.search(query.data(), wanted);
    if (found.error)
        throw std::runtime_error(found.error.release());
    std::vector<std::uint64_t> keys;
    for (std::size_t i = 0; i != found.count; ++i)
        keys.push_back(found.key(i));
    return keys;
}

/// The vector stored under `key`, exported as floats; empty when the key is absent.
inline std::vector<float> stored_vector(index_dense_t const& index, std::uint64_t key) {
    std::vector<float> vector(index.dimensions());
    if (!index.get(key, vector.data()))
        vector.clear();
    return vector;
}

/// Message of a failed result (handled), or "" on success.
inline std::string message_of(serialization_result_t result) {
    char const* message = result.error.release();
    return message ? message : "";
}

inline serialization_result_t save_to(index_dense_t const& index, std::string const& path,
                                      index_dense_serialization_config_t config = {}) {
    output_file_t file(path.c_str());
    return index.save(file, config);
}

inline serialization_result_t load_from(index_dense_t& index, std::string const& path,
                                        index_dense_serialization_config_t config = {}) {
    input_file_t file(path.c_str());
    return index.load(file, config);
}

inline serialization_result_t view_of(index_dense_t& index, std::string const& path,
                                      index_dense_serialization_config_t config = {}) {
    return index.view(memory_mapped_file_t(path.c_str()), 0, config);
}

} // namespace testing
} // namespace korvane
} // namespace vemo
