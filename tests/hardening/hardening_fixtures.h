#pragma once
// Small f32 indexes whose vectors follow from their keys, the checks that every entry is still found, and
// scratch files, shared by the hardening tests.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "index/index_dense.h"
#include "index/index_dense_persistence.h"
#include "../persistence/test_files.h"

namespace vemo {
namespace korvane {
namespace hardening {

constexpr std::size_t dimensions_k = 8;

inline metric_punned_t test_metric() {
    return metric_punned_t::builtin(dimensions_k, metric_kind_t::l2sq, scalar_kind_t::f32);
}

/// The vector stored under `key`: distinct keys give distinct vectors.
inline std::vector<float> vector_of(std::uint64_t key) {
    std::mt19937 generator(static_cast<unsigned>(key * 2654435761u + 1));
    std::uniform_real_distribution<float> distribution(-1, 1);
    std::vector<float> vector(dimensions_k);
    for (float& value : vector)
        value = distribution(generator);
    return vector;
}

inline std::vector<std::uint64_t> key_range(std::uint64_t first, std::size_t count) {
    std::vector<std::uint64_t> keys(count);
    for (std::size_t i = 0; i != count; ++i)
        keys[i] = first + i;
    return keys;
}

inline std::vector<std::uint64_t> without(std::vector<std::uint64_t> keys, std::vector<std::uint64_t> const& gone) {
    keys.erase(std::remove_if(keys.begin(), keys.end(),
                              [&](std::uint64_t key) { return std::count(gone.begin(), gone.end(), key) != 0; }),
               keys.end());
    return keys;
}

/// An index of connectivity 4 (so that it grows several levels) with two thread contexts, holding `keys`.
inline index_dense_t filled_index(std::vector<std::uint64_t> const& keys, std::size_t capacity) {
    dense_config_t config;
    config.connectivity = 4;
    auto made = index_dense_t::make(test_metric(), config);
    EXPECT_FALSE(made.error) << made.error.release();
    index_dense_t index(std::move(made.index));
    EXPECT_TRUE(index.try_reserve({capacity, 2, 2}));
    for (std::uint64_t key : keys) {
        auto added = index.add(key, vector_of(key).data());
        EXPECT_FALSE(added.error) << added.error.release();
    }
    return index;
}

/// Every key is counted, read back with its vector and found first by an exact search for its vector; an
/// approximate search returns only live keys.
inline void expect_consistent(index_dense_t& index, std::vector<std::uint64_t> const& keys) {
    ASSERT_EQ(index.size(), keys.size());
    std::vector<float> stored(dimensions_k);
    for (std::uint64_t key : keys) {
        ASSERT_EQ(index.get(key, stored.data()), 1u) << "key " << key << " is lost";
        ASSERT_EQ(stored, vector_of(key)) << "key " << key;
        auto exact = index.search(vector_of(key).data(), 1, true);
        ASSERT_FALSE(exact.error) << exact.error.release();
        ASSERT_EQ(exact.count, 1u);
        ASSERT_EQ(exact.key(0), key);
    }
    if (keys.empty())
        return;
    auto approximate = index.search(vector_of(keys.front()).data(), keys.size());
    ASSERT_FALSE(approximate.error) << approximate.error.release();
    ASSERT_GE(approximate.count, 1u);
    for (std::size_t i = 0; i != approximate.count; ++i)
        ASSERT_NE(std::count(keys.begin(), keys.end(), approximate.key(i)), 0) << approximate.key(i);
}

/// The index grows, takes new entries, removes and renames them, and still finds everything.
inline void expect_usable(index_dense_t& index, std::vector<std::uint64_t> keys) {
    ASSERT_TRUE(index.try_reserve({std::max<std::size_t>(index.capacity(), keys.size() + 16), 2, 2}));
    for (std::uint64_t key : key_range(5000, 8)) {
        auto added = index.add(key, vector_of(key).data());
        ASSERT_FALSE(added.error) << added.error.release();
        keys.push_back(key);
    }
    auto removed = index.remove(5000);
    ASSERT_FALSE(removed.error) << removed.error.release();
    ASSERT_EQ(removed.completed, 1u);
    auto readded = index.add(5000, vector_of(5000).data());
    ASSERT_FALSE(readded.error) << readded.error.release();
    expect_consistent(index, keys);
}

/// Success when `error` holds no message; a message is handled and shown.
inline ::testing::AssertionResult ok(error_t&& error) {
    if (char const* message = error.release())
        return ::testing::AssertionFailure() << message;
    return ::testing::AssertionSuccess();
}

inline error_t save_index(index_dense_t const& index, std::string const& path) {
    output_file_t file(path.c_str());
    return std::move(index.save(file).error);
}
inline error_t load_index(index_dense_t& index, std::string const& path) {
    input_file_t file(path.c_str());
    return std::move(index.load(file).error);
}
inline error_t view_index(index_dense_t& index, std::string const& path) {
    return std::move(index.view(memory_mapped_file_t(path.c_str())).error);
}

/// A file in a private directory removed with everything in it.
class scratch_file_t {
  public:
    explicit scratch_file_t(char const* name)
        : name_(name), directory_("korvane-hardening"), path_(directory_.file(name)) {}

    std::string const& path() const noexcept { return path_; }
    std::vector<char> bytes() const { return testing::read_file(path_); }
    /// Entries of the directory other than the file itself.
    std::size_t siblings() const {
        std::size_t count = 0;
        for (std::string const& entry : directory_.entries())
            count += entry != name_;
        return count;
    }

  private:
    std::string name_;
    testing::scratch_directory_t directory_;
    std::string path_;
};

} // namespace hardening
} // namespace korvane
} // namespace vemo
