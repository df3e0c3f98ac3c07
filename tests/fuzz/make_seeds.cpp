// Writes the fuzzers' seed corpus: small valid index files of every scalar kind some metric accepts, each
// behind the options byte of fuzz_index_file.h, plus the variants of the reading options.
// Usage: make_seeds <directory>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "index/index_dense.h"
#include "index/index_dense_persistence.h"
#include "index/index_file_format.h"

using namespace vemo::korvane;

namespace {

std::string directory;

/// The file `index` saves to with `config`; empty on failure.
std::vector<char> saved_bytes(index_dense_t const& index, index_dense_serialization_config_t config = {}) {
    std::string const scratch = directory + "/.scratch";
    {
        output_file_t file(scratch.c_str());
        serialization_result_t saved = index.save(file, config);
        if (saved.error) {
            std::fprintf(stderr, "make_seeds: %s\n", saved.error.release());
            return {};
        }
    }
    std::ifstream input(scratch, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(input)), std::istreambuf_iterator<char>());
    std::remove(scratch.c_str());
    return bytes;
}

/// Writes the seed `name`: `options` followed by the file's bytes.
bool write_seed(std::string const& name, std::uint8_t options, std::vector<char> const& file) {
    if (file.empty())
        return false;
    std::ofstream output(directory + "/" + name, std::ios::binary | std::ios::trunc);
    output.put(static_cast<char>(options));
    output.write(file.data(), static_cast<std::streamsize>(file.size()));
    return bool(output);
}

/// Ten entries in a graph of connectivity 3 (so that it has upper levels), two of them removed again.
bool fill(index_dense_t& index, bool duplicate_keys = false) {
    if (!index.try_reserve({16, 1, 1}))
        return false;
    // Room for the widest stored vector: kinds without a conversion from f32 take the bytes as they are.
    std::vector<float> vector(index.bytes_per_vector() / sizeof(float) + index.dimensions() + 1);
    for (std::uint64_t key = 0; key != 10; ++key) {
        for (std::size_t i = 0; i != vector.size(); ++i)
            vector[i] = static_cast<float>((key * 7 + i * 3) % 11) - 5.f;
        auto added = index.add(duplicate_keys ? key / 2 : key, vector.data());
        if (added.error)
            return std::fprintf(stderr, "make_seeds: %s\n", added.error.release()), false;
    }
    index.remove(3).error.release();
    index.remove(8).error.release();
    return true;
}

bool make_seed(scalar_kind_t scalar, metric_kind_t metric, std::size_t dimensions, std::string const& name,
               std::uint8_t options = 0, index_dense_serialization_config_t config = {}, bool entries = true,
               bool multi_keys = false) {
    dense_config_t dense;
    dense.connectivity = 3;
    dense.multi_keys = multi_keys;
    auto made = index_dense_t::make(metric_punned_t::builtin(dimensions, metric, scalar), dense);
    if (made.error)
        return std::fprintf(stderr, "make_seeds: %s: %s\n", name.c_str(), made.error.release()), false;
    index_dense_t index(std::move(made.index));
    if (entries && !fill(index, multi_keys))
        return false;
    return write_seed(name, options, saved_bytes(index, config));
}

/// Kinds wider than f32 without a conversion from it cannot be filled through the index's interface: their
/// seed is an f64 index with vectors of as many bytes, relabelled in its dense header.
bool make_relabelled_seed(scalar_kind_t scalar, std::size_t dimensions, std::string const& name) {
    std::size_t const bytes = (dimensions * bits_per_scalar(scalar) + 7) / 8;
    dense_config_t dense;
    dense.connectivity = 3;
    auto made = index_dense_t::make(
        metric_punned_t::builtin(bytes / sizeof(double), metric_kind_t::hamming, scalar_kind_t::f64), dense);
    if (made.error || bytes % sizeof(double))
        return std::fprintf(stderr, "make_seeds: no donor for %s\n", name.c_str()), false;
    index_dense_t index(std::move(made.index));
    if (!fill(index))
        return false;
    std::vector<char> file = saved_bytes(index);
    if (file.size() < matrix_dims_bytes_k)
        return false;
    std::uint32_t dims[2];
    std::memcpy(dims, file.data(), sizeof(dims));
    std::size_t const header = matrix_dims_bytes_k + std::size_t(dims[0]) * dims[1];
    if (file.size() < header + dense_header_bytes_k)
        return false;
    dense_file_header_t decoded = decode_dense_file_header(file.data() + header);
    decoded.scalar_kind = static_cast<std::uint8_t>(scalar);
    decoded.dimensions = dimensions;
    encode_dense_file_header(decoded, file.data() + header);
    return write_seed(name, 0, file);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2)
        return std::fprintf(stderr, "usage: make_seeds <directory>\n"), 2;
    directory = argv[1];
    bool written = true;
    // Every scalar kind with the first metric that accepts it: l2sq, else hamming.
    for (int code = 0; code != 256; ++code) {
        scalar_kind_t const scalar = static_cast<scalar_kind_t>(code);
        if (!bits_per_scalar(scalar))
            continue;
        bool const bits = !metric_punned_t::builtin(6, metric_kind_t::l2sq, scalar).has_function();
        metric_kind_t const metric = bits ? metric_kind_t::hamming : metric_kind_t::l2sq;
        std::string const name = std::string("kind-") + scalar_kind_name(scalar);
        if (!casts_punned_t::make(scalar).import_f32 && bits_per_scalar(scalar) > 32)
            written &= make_relabelled_seed(scalar, 16, name);
        else
            written &= make_seed(scalar, metric, bits ? 16 : 6, name);
    }
    index_dense_serialization_config_t wide;
    wide.wide_matrix_dims = true;
    index_dense_serialization_config_t no_vectors;
    no_vectors.skip_vectors = true;
    written &= make_seed(scalar_kind_t::f32, metric_kind_t::cos, 6, "wide-dims", 2, wide);
    written &= make_seed(scalar_kind_t::f32, metric_kind_t::l2sq, 6, "no-vectors", 1, no_vectors, false);
    written &= make_seed(scalar_kind_t::f32, metric_kind_t::l2sq, 6, "empty", 0, {}, false);
    written &= make_seed(scalar_kind_t::f16, metric_kind_t::ip, 6, "over-entries", 4);
    written &= make_seed(scalar_kind_t::f32, metric_kind_t::l2sq, 6, "multi-keys", 0, {}, true, true);
    return written ? 0 : 1;
}
