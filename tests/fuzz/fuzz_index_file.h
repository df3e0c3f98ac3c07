#pragma once
// The body of the index file fuzzers. An input is one byte of reading options followed by the bytes of an
// index file: bit 0 leaves the vector matrix out, bit 1 reads 64-bit matrix dimensions, bit 2 reads into an
// index that already holds entries instead of a blank one. After a read that succeeds, the index is used the
// way the Java binding uses it (reserve, add, search, read back, remove, rename, save), so that damage the
// reader's checks let through still meets every code path that trusts the file.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "index/index_dense.h"
#include "index/index_dense_persistence.h"
#include "index/index_file_format.h"

namespace vemo {
namespace korvane {
namespace fuzzing {

/// An anonymous in-memory file, reopened by path for every input; the readers open files by name.
class memory_file_t {
  public:
    memory_file_t() {
        descriptor_ = ::memfd_create("korvane-fuzz", 0);
        if (descriptor_ < 0)
            std::abort();
        path_ = "/proc/self/fd/" + std::to_string(descriptor_);
    }
    void assign(std::uint8_t const* data, std::size_t size) {
        if (::ftruncate(descriptor_, 0) != 0)
            std::abort();
        for (std::size_t done = 0; done != size;) {
            ssize_t written = ::pwrite(descriptor_, data + done, size - done, static_cast<off_t>(done));
            if (written <= 0)
                std::abort();
            done += static_cast<std::size_t>(written);
        }
    }
    char const* path() const noexcept { return path_.c_str(); }

  private:
    int descriptor_ = -1;
    std::string path_;
};

/// Vectors beyond this many dimensions are not built by the harness: a file may claim any count.
constexpr std::size_t largest_dimensions_k = 1 << 16;

/// Uses a freshly read index as the binding would; every failure is reported through a result and
/// handled here.
inline void exercise(index_dense_t& index) {
    std::size_t const dimensions = index.dimensions();
    if (dimensions > largest_dimensions_k)
        return;
    std::size_t const size = index.size();
    std::vector<float> vector(dimensions ? dimensions : 1);
    for (std::size_t i = 0; i != vector.size(); ++i)
        vector[i] = static_cast<float>(i % 7) - 3.f;

    for (bool exact : {false, true}) {
        auto found = index.search(vector.data(), 4, exact);
        found.error.release();
        std::vector<float> stored(vector.size());
        for (std::size_t i = 0; i != found.count; ++i)
            index.get(found.key(i), stored.data());
    }

    if (!index.try_reserve({index.capacity() + 2, 1, 1}))
        return;
    index.add(0x5eed, vector.data()).error.release();
    auto found = index.search(vector.data(), 2);
    found.error.release();
    std::uint64_t const first = found.count ? found.key(0) : 0x5eed;
    found = {};
    index.rename(first, 0xbeef).error.release();
    index.remove(0xbeef).error.release();
    index.add(0x5eed + 1, vector.data()).error.release();
    if (size < 64) {
        output_file_t sink("/dev/null");
        index.save(sink).error.release();
    }
}

/// An index with a few entries, for the inputs that read over existing content.
inline index_dense_t index_with_entries() {
    auto made = index_dense_t::make(metric_punned_t::builtin(3, metric_kind_t::l2sq, scalar_kind_t::f32));
    index_dense_t index(std::move(made.index));
    index.try_reserve({8, 1, 1});
    float const vectors[3][3] = {{0, 0, 1}, {0, 1, 0}, {1, 0, 0}};
    for (std::uint64_t key = 0; key != 3; ++key)
        index.add(key, vectors[key]).error.release();
    return index;
}

/// The dimensions the file's dense header claims, located as the readers locate it; 0 when the file is too
/// short to hold the header there.
inline std::uint64_t claimed_dimensions(std::uint8_t const* file, std::size_t size,
                                        index_dense_serialization_config_t config) {
    std::uint64_t position = 0;
    if (!config.skip_vectors) {
        std::uint64_t rows = 0, row_bytes = 0;
        if (config.wide_matrix_dims && size >= wide_matrix_dims_bytes_k) {
            std::memcpy(&rows, file, 8);
            std::memcpy(&row_bytes, file + 8, 8);
            position = wide_matrix_dims_bytes_k;
        } else if (!config.wide_matrix_dims && size >= matrix_dims_bytes_k) {
            std::uint32_t dims[2];
            std::memcpy(dims, file, sizeof(dims));
            rows = dims[0], row_bytes = dims[1];
            position = matrix_dims_bytes_k;
        } else
            return 0;
        std::uint64_t matrix;
        if (!checked_multiply(rows, row_bytes, matrix) || !checked_add(position, matrix, position))
            return 0;
    }
    if (position > size || size - position < dense_header_bytes_k)
        return 0;
    return decode_dense_file_header(reinterpret_cast<char const*>(file) + position).dimensions;
}

/// Splits an input into reading options and file bytes, reads the file with `read` and exercises the
/// result.
template <typename read_at> int run_one_input(std::uint8_t const* data, std::size_t size, read_at&& read) {
    static memory_file_t file;
    if (!size)
        return 0;
    std::uint8_t const options = data[0];
    file.assign(data + 1, size - 1);
    index_dense_serialization_config_t config;
    config.skip_vectors = options & 1;
    config.wide_matrix_dims = options & 2;
    // A file without vectors may describe an index of any dimensions, and the readers rightly give it
    // scratch vectors of that size, as creating such an index would. Under AddressSanitizer the shadow of
    // such scratch costs real memory, so the harness leaves vast indexes out.
    if (claimed_dimensions(data + 1, size - 1, config) > largest_dimensions_k)
        return 0;
    index_dense_t index = options & 4 ? index_with_entries() : index_dense_t::blank();
    serialization_result_t result = read(index, file.path(), config);
    if (result.error) {
        result.error.release();
        return 0;
    }
    exercise(index);
    return 0;
}

} // namespace fuzzing
} // namespace korvane
} // namespace vemo
