// Loads an index file of arbitrary bytes through a stream (see fuzz_index_file.h).

#include "fuzz_index_file.h"

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    using namespace vemo::korvane;
    return fuzzing::run_one_input(data, size, [](index_dense_t& index, char const* path,
                                                 index_dense_serialization_config_t config) {
        input_file_t file(path);
        return index.load(file, config);
    });
}
