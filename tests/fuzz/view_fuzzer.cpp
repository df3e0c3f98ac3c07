// Views an index file of arbitrary bytes in place through a read-only mapping (see fuzz_index_file.h).

#include "fuzz_index_file.h"

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    using namespace vemo::korvane;
    return fuzzing::run_one_input(data, size, [](index_dense_t& index, char const* path,
                                                 index_dense_serialization_config_t config) {
        return index.view(memory_mapped_file_t(path), 0, config);
    });
}
