// Writes that fail part-way through a save, at every section boundary of the file and around every block
// the stream buffers: the save reports it, the previous file stays as it was, no temporary file is left,
// and the index saves and loads whole afterwards.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "hardening_fixtures.h"

namespace vemo {
namespace korvane {
namespace {

using namespace hardening;

/// Writes past `bytes` fail with EFBIG while the object lives (the soft RLIMIT_FSIZE, SIGXFSZ ignored).
class file_size_limit_t {
  public:
    explicit file_size_limit_t(std::uint64_t bytes) noexcept {
        ::getrlimit(RLIMIT_FSIZE, &previous_);
        handler_ = ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = previous_;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~file_size_limit_t() noexcept {
        ::setrlimit(RLIMIT_FSIZE, &previous_);
        ::signal(SIGXFSZ, handler_);
    }
    file_size_limit_t(file_size_limit_t const&) = delete;
    file_size_limit_t& operator=(file_size_limit_t const&) = delete;

  private:
    rlimit previous_{};
    void (*handler_)(int) = SIG_DFL;
};

TEST(SaveWriteFailure, EveryBoundaryKeepsTheOldFile) {
    auto const keys = key_range(1, 300);
    index_dense_t index = filled_index(keys, 320);
    for (std::uint64_t key : {7, 70, 170})
        ASSERT_EQ(index.remove(key).completed, 1u);
    auto const live = without(keys, {7, 70, 170});

    scratch_file_t file("index");
    ASSERT_TRUE(ok(save_index(index, file.path())));
    std::uint64_t const full_size = file.bytes().size();
    ASSERT_TRUE(ok(save_index(filled_index(key_range(1000, 4), 8), file.path())));
    std::vector<char> const before = file.bytes();

    // Section ends: matrix dimensions, matrix, dense header, graph header, levels; then every block.
    std::uint64_t const matrix = 8 + 300 * dimensions_k * sizeof(float);
    std::set<std::uint64_t> limits = {0, 1, 7, 8, 9, matrix - 1, matrix, matrix + 64, matrix + 64 + 40,
                                      matrix + 64 + 40 + 600, full_size - 1};
    for (std::uint64_t block = 4096; block < full_size; block += 4096)
        limits.insert({block - 1, block, block + 1});

    for (std::uint64_t limit : limits) {
        SCOPED_TRACE("writes fail past byte " + std::to_string(limit) + " of " + std::to_string(full_size));
        error_t saved;
        {
            file_size_limit_t limited(limit);
            saved = save_index(index, file.path());
        }
        char const* message = saved.release();
        ASSERT_NE(message, nullptr) << "a save that did not reach the file reported success";
        EXPECT_STRNE(message, "");
        EXPECT_EQ(file.bytes(), before);
        EXPECT_EQ(file.siblings(), 0u) << "no temporary file is left";
    }

    ASSERT_TRUE(ok(save_index(index, file.path())));
    EXPECT_EQ(file.bytes().size(), full_size);
    index_dense_t loaded = index_dense_t::blank();
    ASSERT_TRUE(ok(load_index(loaded, file.path())));
    ASSERT_TRUE(loaded.try_reserve({loaded.capacity(), 2, 2}));
    expect_consistent(loaded, live);
    expect_consistent(index, live);
}

} // namespace
} // namespace korvane
} // namespace vemo
