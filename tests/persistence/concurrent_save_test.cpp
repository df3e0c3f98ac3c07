// Saving reads the index without its locks while searches run on other threads: the file must equal a save
// made in quiet, and the searches must keep their answers.

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "index_fixtures.h"
#include "test_files.h"

namespace vemo {
namespace korvane {
namespace {

using namespace testing;

TEST(ConcurrentSave, SearchesRunAlongside) {
    scratch_directory_t directory;
    index_dense_t index = make_filled_index({}, 200, 256);
    index.remove(150);
    std::string const quiet = directory.file("quiet.bin");
    ASSERT_EQ(message_of(save_to(index, quiet)), "");

    std::mt19937 generator(5);
    std::vector<std::vector<float>> queries;
    std::vector<std::vector<std::uint64_t>> expected;
    for (int i = 0; i != 8; ++i) {
        queries.push_back(random_vector(4, generator));
        expected.push_back(search_keys(index, queries.back(), 5));
    }

    std::atomic<bool> stop{false};
    std::atomic<int> mismatches{0};
    std::vector<std::thread> searchers;
    for (int thread = 0; thread != 2; ++thread)
        searchers.emplace_back([&, thread] {
            for (std::size_t round = 0; !stop.load(); ++round) {
                std::size_t const i = (round + thread) % queries.size();
                if (search_keys(index, queries[i], 5) != expected[i])
                    ++mismatches;
            }
        });
    std::string const busy = directory.file("busy.bin");
    for (int round = 0; round != 5; ++round)
        EXPECT_EQ(message_of(save_to(index, busy)), "");
    stop = true;
    for (std::thread& searcher : searchers)
        searcher.join();

    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(read_file(busy), read_file(quiet));
}

} // namespace
} // namespace korvane
} // namespace vemo
