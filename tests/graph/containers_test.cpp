// Candidate buffers, the visited set, the node arena and the mapped file.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "index/candidates.h"
#include "index/memory_mapped_file.h"
#include "index/memory_mapping_allocator.h"

using namespace vemo::korvane;

namespace {

using buffer_t = sorted_buffer_gt<candidate_t>;
using heap_t = max_heap_gt<candidate_t>;
using visited_t = growing_hash_set_gt<unsigned int, hash_gt<unsigned int>, aligned_allocator_gt<char, 64>>;

void expect_contents(buffer_t const& buffer, std::vector<candidate_t> const& expected) {
    ASSERT_EQ(buffer.size(), expected.size());
    for (std::size_t i = 0; i != expected.size(); ++i) {
        EXPECT_EQ(buffer[i].distance, expected[i].distance) << "at " << i;
        EXPECT_EQ(buffer[i].slot, expected[i].slot) << "at " << i;
    }
}

} // namespace

TEST(CandidateBuffers, GrowthRule) {
    struct case_t {
        std::size_t first, second, expected;
    };
    // A reservation equal to the capacity still grows; growth at least doubles and rounds to a power of two.
    for (case_t c : {case_t{0, 0, 16}, case_t{0, 16, 32}, case_t{0, 15, 16}, case_t{17, 17, 32},
                     case_t{0, 100, 128}, case_t{40, 64, 128}}) {
        buffer_t buffer;
        ASSERT_TRUE(buffer.reserve(c.first));
        ASSERT_TRUE(buffer.reserve(c.second));
        EXPECT_EQ(buffer.capacity(), c.expected) << c.first << " then " << c.second;
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer.data()) % 64, 0u);
    }
    heap_t heap;
    ASSERT_TRUE(heap.reserve(0));
    ASSERT_TRUE(heap.reserve(16));
    EXPECT_EQ(heap.capacity(), 32u);
}

TEST(CandidateBuffers, GrowthKeepsElementsAndFailureChangesNothing) {
    buffer_t buffer;
    ASSERT_TRUE(buffer.reserve(0));
    for (unsigned i = 0; i != 10; ++i)
        buffer.insert_reserved({float(i), i});
    ASSERT_TRUE(buffer.reserve(40));
    EXPECT_EQ(buffer.capacity(), 64u);
    ASSERT_EQ(buffer.size(), 10u);
    for (unsigned i = 0; i != 10; ++i)
        EXPECT_EQ(buffer[i].slot, i);

    candidate_t const* before = buffer.data();
    EXPECT_FALSE(buffer.reserve(SIZE_MAX / 2));
    EXPECT_EQ(buffer.data(), before);
    EXPECT_EQ(buffer.capacity(), 64u);
    EXPECT_EQ(buffer.size(), 10u);
}

TEST(CandidateBuffers, InsertReservedPutsLaterEqualsFirst) {
    buffer_t buffer;
    ASSERT_TRUE(buffer.reserve(3));
    buffer.insert_reserved({2, 7});
    buffer.insert_reserved({1, 8});
    buffer.insert_reserved({2, 9});
    expect_contents(buffer, {{1, 8}, {2, 9}, {2, 7}});

    // Every comparison with NaN is false, so a NaN lands in front.
    buffer.insert_reserved({std::nanf(""), 3});
    EXPECT_EQ(buffer[0].slot, 3u);
    EXPECT_EQ(buffer.size(), 4u);
}

TEST(CandidateBuffers, InsertCapped) {
    struct case_t {
        candidate_t inserted;
        std::vector<candidate_t> expected;
    };
    std::vector<case_t> cases = {
        {{4, 40}, {{1, 1}, {2, 2}, {3, 3}}},   // beyond the limit: dropped
        {{3, 30}, {{1, 1}, {2, 2}, {3, 30}}},  // equal to the farthest: replaces it
        {{1.5f, 15}, {{1, 1}, {1.5f, 15}, {2, 2}}},
        {{0, 0}, {{0, 0}, {1, 1}, {2, 2}}},
    };
    for (case_t const& c : cases) {
        buffer_t buffer;
        ASSERT_TRUE(buffer.reserve(3));
        for (unsigned i = 1; i <= 3; ++i)
            buffer.insert_reserved({float(i), i});
        buffer.insert_capped(c.inserted, 3);
        expect_contents(buffer, c.expected);
    }

    // Below the limit the buffer grows.
    buffer_t buffer;
    ASSERT_TRUE(buffer.reserve(4));
    buffer.insert_capped({5, 5}, 3);
    buffer.insert_capped({4, 4}, 3);
    expect_contents(buffer, {{4, 4}, {5, 5}});
    buffer.truncate(1);
    expect_contents(buffer, {{4, 4}});
    buffer.truncate(5);
    EXPECT_EQ(buffer.size(), 1u);
}

TEST(CandidateBuffers, HeapPopsLargestAndTiesNeverSwap) {
    heap_t heap;
    for (float d : {-5.f, -1.f, -3.f})
        ASSERT_TRUE(heap.push({d, unsigned(-d)}));
    std::vector<float> popped;
    while (!heap.empty()) {
        popped.push_back(heap.top().distance);
        heap.pop();
    }
    EXPECT_EQ(popped, (std::vector<float>{-1, -3, -5}));

    // Equal distances: the first pushed stays on top; a popped root is replaced by the last element, which no
    // equal child displaces.
    for (unsigned slot : {1u, 2u, 3u, 4u})
        heap.push({-1, slot});
    EXPECT_EQ(heap.top().slot, 1u);
    heap.pop();
    EXPECT_EQ(heap.top().slot, 4u); // the last element moved to the root and no child is strictly larger
    heap.pop();
    EXPECT_EQ(heap.top().slot, 3u);
}

TEST(CandidateBuffers, HeapAgreesWithSortOverManyElements) {
    heap_t heap;
    std::vector<float> pushed;
    unsigned state = 12345;
    for (unsigned i = 0; i != 1000; ++i) {
        state = state * 1103515245u + 12345u;
        float d = float(state % 997);
        pushed.push_back(d);
        ASSERT_TRUE(heap.push({d, i}));
    }
    std::sort(pushed.rbegin(), pushed.rend());
    for (float expected : pushed) {
        ASSERT_EQ(heap.top().distance, expected);
        heap.pop();
    }
}

TEST(VisitedSet, ReserveSizes) {
    struct case_t {
        std::size_t wanted, cells;
    };
    for (case_t c : {case_t{30, 64}, case_t{3, 8}, case_t{1, 1}, case_t{0, 0}, case_t{38, 64}, case_t{39, 128}}) {
        visited_t set;
        ASSERT_TRUE(set.reserve(c.wanted));
        EXPECT_EQ(set.capacity(), c.cells) << c.wanted;
    }
    visited_t set;
    EXPECT_FALSE(set.reserve(SIZE_MAX / 2));
    EXPECT_EQ(set.capacity(), 0u);
}

TEST(VisitedSet, LinearProbingAndRehash) {
    visited_t set;
    ASSERT_TRUE(set.reserve(3));
    ASSERT_EQ(set.capacity(), 8u);
    EXPECT_FALSE(set.test_and_set(1));
    EXPECT_FALSE(set.test_and_set(9));
    EXPECT_EQ(set.cells()[2], 9u);
    EXPECT_TRUE(set.test_and_set(9));
    // Probing wraps from the last cell to the first.
    EXPECT_FALSE(set.test_and_set(7));
    EXPECT_FALSE(set.test_and_set(15));
    EXPECT_EQ(set.cells()[0], 15u);
    EXPECT_EQ(set.size(), 4u);

    ASSERT_TRUE(set.reserve(30));
    EXPECT_EQ(set.capacity(), 64u);
    EXPECT_EQ(set.size(), 4u);
    EXPECT_EQ(set.cells()[9], 9u); // home cells in the larger table
    EXPECT_EQ(set.cells()[15], 15u);
    for (unsigned value : {1u, 9u, 7u, 15u})
        EXPECT_TRUE(set.test_and_set(value));
    EXPECT_FALSE(set.test_and_set(65));
    EXPECT_EQ(set.cells()[2], 65u); // 65 homes at 1, which is taken

    set.clear();
    EXPECT_EQ(set.size(), 0u);
    EXPECT_EQ(set.capacity(), 64u);
    EXPECT_FALSE(set.test_and_set(9));
}

namespace {

template <std::size_t alignment_ak> char* arena_start(memory_mapping_allocator_gt<alignment_ak> const&, char* first) {
    return first - memory_mapping_allocator_gt<alignment_ak>::head_size();
}

constexpr std::size_t mib = std::size_t(1) << 20;

} // namespace

TEST(Arena, FirstBlocksAndFigures) {
    memory_mapping_allocator_gt<8> vectors;
    EXPECT_EQ(vectors.total_allocated(), 0u);
    EXPECT_EQ(vectors.last_usage(), 16u);
    EXPECT_EQ(vectors.last_capacity(), 4 * mib);
    char* first = vectors.allocate(16);
    ASSERT_NE(first, nullptr);
    char* arena = arena_start(vectors, first);
    std::uint64_t head[2];
    std::memcpy(head, arena, 16);
    EXPECT_EQ(head[0], 0u);
    EXPECT_EQ(head[1], 8 * mib);
    EXPECT_EQ(vectors.total_allocated(), 12 * mib);
    EXPECT_EQ(vectors.last_usage(), 32u);
    EXPECT_EQ(vectors.total_wasted(), 0u);
    EXPECT_EQ(vectors.allocate(3), first + 16);
    EXPECT_EQ(vectors.total_wasted(), 5u);

    memory_mapping_allocator_gt<64> nodes;
    EXPECT_EQ(nodes.last_usage(), 64u);
    char* node = nodes.allocate(142);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(node) % 4096, 64u); // the mapping is page aligned
    EXPECT_EQ(nodes.last_usage(), 64u + 192u);
    EXPECT_EQ(nodes.total_wasted(), 50u);
    EXPECT_EQ(nodes.allocate(278), node + 192);
    EXPECT_EQ(nodes.last_usage(), 64u + 192u + 320u);
}

TEST(Arena, NewArenas) {
    struct case_t {
        std::size_t first_request, expected_capacity;
    };
    for (case_t c : {case_t{5 * mib, 16 * mib}, case_t{8 * mib, 16 * mib}, case_t{1, 8 * mib}}) {
        memory_mapping_allocator_gt<64> arena;
        ASSERT_NE(arena.allocate(c.first_request), nullptr);
        EXPECT_EQ(arena.last_capacity(), c.expected_capacity) << c.first_request;
    }

    // A block that would exactly fill the rest of the arena opens a new one; the tail counts as waste.
    memory_mapping_allocator_gt<64> arena;
    char* first = arena.allocate(64);
    std::size_t const rest = 8 * mib - arena.last_usage();
    char* second = arena.allocate(rest);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, first + 64);
    EXPECT_EQ(arena.last_capacity(), 16 * mib);
    EXPECT_EQ(arena.total_wasted(), rest);
    EXPECT_EQ(arena.total_allocated(), (16 + 8 + 4) * mib);
    std::uint64_t head[2];
    std::memcpy(head, arena_start(arena, second), 16);
    EXPECT_EQ(reinterpret_cast<char*>(head[0]), arena_start(arena, first));
    std::memset(second, 1, rest); // the whole block is writable

    arena.reset();
    EXPECT_EQ(arena.total_allocated(), 0u);
    EXPECT_EQ(arena.total_wasted(), 0u);
    EXPECT_EQ(arena.last_usage(), 64u);
    ASSERT_NE(arena.allocate(10), nullptr);
    EXPECT_EQ(arena.last_capacity(), 8 * mib);
}

TEST(Arena, RefusesImpossibleSizesAndMovesOut) {
    memory_mapping_allocator_gt<64> arena;
    EXPECT_EQ(arena.allocate(SIZE_MAX - 10), nullptr);
    EXPECT_EQ(arena.allocate(SIZE_MAX / 2), nullptr);
    EXPECT_FALSE(arena.has_arena());

    char* block = arena.allocate(100);
    memory_mapping_allocator_gt<64> moved(std::move(arena));
    EXPECT_FALSE(arena.has_arena());
    EXPECT_EQ(arena.last_usage(), 64u);
    EXPECT_EQ(arena.total_wasted(), 0u);
    EXPECT_EQ(moved.total_wasted(), 28u);
    EXPECT_EQ(moved.allocate(1), block + 128);
}

TEST(MappedFile, OpenCloseAndMove) {
    memory_mapped_file_t nothing;
    EXPECT_FALSE(nothing.open_if_not());
    EXPECT_FALSE(nothing.is_open());

    memory_mapped_file_t missing("/nonexistent/korvane/file");
    vemo::korvane::error_t error = missing.open_if_not();
    ASSERT_TRUE(error);
    EXPECT_STREQ(error.release(), std::strerror(ENOENT));

    char path[] = "/tmp/korvane_mapped_XXXXXX";
    int descriptor = ::mkstemp(path);
    ASSERT_GE(descriptor, 0);
    std::string const text = "graph bytes";
    ASSERT_EQ(::write(descriptor, text.data(), text.size()), ssize_t(text.size()));
    ::close(descriptor);

    memory_mapped_file_t file(path);
    EXPECT_FALSE(file.open_if_not());
    ASSERT_TRUE(file.is_open());
    char const* address = file.data();
    EXPECT_EQ(std::string(file.data(), file.size()), text);
    EXPECT_FALSE(file.open_if_not()); // already open: the same mapping stays
    EXPECT_EQ(file.data(), address);

    memory_mapped_file_t taken(std::move(file));
    EXPECT_FALSE(file.is_open());
    EXPECT_EQ(file.path(), nullptr);
    EXPECT_EQ(taken.data(), address);
    taken.close();
    EXPECT_FALSE(taken.is_open());
    EXPECT_EQ(taken.size(), 0u);

    // An empty file cannot be mapped; the error carries the system's text.
    std::FILE* truncate = std::fopen(path, "w");
    std::fclose(truncate);
    memory_mapped_file_t empty(path);
    vemo::korvane::error_t empty_error = empty.open_if_not();
    EXPECT_TRUE(empty_error);
    empty_error.release();
    std::remove(path);
}
