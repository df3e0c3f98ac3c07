// Threads racing on the first calls of the kernel library: each may detect the capabilities and resolve an
// entry point, and all must see the same word and correct results. Its own executable, so that the caches
// are still empty when the threads start.

#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <vector>

#include "kernels/vexlane.h"

TEST(FirstCallRace, ThreadsAgreeOnCapabilitiesAndResults) {
    constexpr int threads = 4;
    std::vector<vexlane_capability_t> words(threads);
    std::vector<double> dots(threads), distances(threads);
    float const a[] = {1, 2, 3, 4, 5, 6, 7, 8, 9}, b[] = {9, 8, 7, 6, 5, 4, 3, 2, 1};
    std::vector<std::thread> workers;
    for (int t = 0; t != threads; ++t)
        workers.emplace_back([&, t] {
            // Half of the threads enter through an entry point, half through the capability query.
            if (t % 2) {
                vexlane_dot_f32(a, b, 9, &dots[t]);
                words[t] = vexlane_capabilities();
            } else {
                words[t] = vexlane_capabilities();
                vexlane_dot_f32(a, b, 9, &dots[t]);
            }
            std::uint8_t const x[] = {255, 0, 3}, y[] = {0, 0, 1};
            vexlane_l2sq_u8(x, y, 3, &distances[t]);
        });
    for (std::thread& worker : workers)
        worker.join();
    for (int t = 0; t != threads; ++t) {
        EXPECT_EQ(words[0], words[t]);
        EXPECT_EQ(165.0, dots[t]);
        EXPECT_EQ(65029.0, distances[t]);
    }
}
