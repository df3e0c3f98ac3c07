// The key table and the ring that the dense index builds on.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "index/aligned_allocator.h"
#include "index/key_table.h"
#include "index/ring.h"

using namespace vemo::korvane;

namespace {

using key_table_t = flat_hash_multi_set_gt<key_and_slot_t, lookup_key_hash_t, lookup_key_same_t>;

std::vector<std::uint32_t> slots_of(key_table_t const& table, std::uint64_t key) {
    std::vector<std::uint32_t> slots;
    table.for_each_equal(key, [&](key_and_slot_t const& element) { slots.push_back(element.slot); });
    return slots;
}

std::size_t count_tombstones(key_table_t const& table) {
    std::size_t count = 0;
    for (std::size_t position = 0; position != table.slot_count(); ++position)
        count += table.is_deleted(position);
    return count;
}

} // namespace

TEST(KeyTable, ReserveRoundsToTwoThirdsLoad) {
    struct case_t {
        std::size_t count, slots;
    } const cases[] = {{0, 0}, {1, 64}, {42, 64}, {43, 64}, {44, 128}, {1000, 2048}};
    for (auto const& c : cases) {
        key_table_t table;
        ASSERT_TRUE(table.try_reserve(c.count));
        EXPECT_EQ(table.slot_count(), c.slots) << "count " << c.count;
    }
    key_table_t table;
    ASSERT_TRUE(table.try_reserve(1000));
    ASSERT_TRUE(table.try_reserve(100));
    EXPECT_EQ(table.slot_count(), 2048u) << "a table never shrinks";
    EXPECT_FALSE(table.try_reserve(~std::size_t(0) / 2)) << "an unrepresentable size is refused";
}

TEST(KeyTable, GrowsOnlyPastTwoThirds) {
    key_table_t table;
    EXPECT_EQ(table.find_first(std::uint64_t(7)), key_table_t::npos);
    for (std::uint32_t i = 0; i != 43; ++i) {
        table.insert({i, i});
        ASSERT_EQ(table.slot_count(), 64u) << "after insertion " << i + 1;
    }
    table.insert({43, 43});
    EXPECT_EQ(table.slot_count(), 128u);
    for (std::uint64_t key = 0; key != 44; ++key)
        ASSERT_EQ(table.find(key)->slot, key);
}

TEST(KeyTable, TombstonesArePassedOverAndReused) {
    key_table_t table;
    // Keys 5, 69 and 133 share the start position 5 of a 64-position table.
    table.insert({5, 0});
    table.insert({69, 1});
    table.insert({133, 2});
    EXPECT_EQ(table.find_first(std::uint64_t(133)), 7u);

    EXPECT_EQ(table.erase(std::uint64_t(69)), 1u);
    EXPECT_EQ(table.size(), 2u);
    EXPECT_TRUE(table.is_deleted(6));
    EXPECT_EQ(table.find(std::uint64_t(69)), nullptr);
    EXPECT_EQ(table.find(std::uint64_t(133))->slot, 2u) << "probing passes over the tombstone";
    EXPECT_EQ(table.erase(std::uint64_t(69)), 0u);

    table.insert({197, 3});
    EXPECT_EQ(table.find_first(std::uint64_t(197)), 6u) << "the tombstone is the first reusable position";
    EXPECT_FALSE(table.is_deleted(6));
    EXPECT_EQ(table.size(), 3u);
}

TEST(KeyTable, ProbesWrapAroundAndEndAfterOneTurn) {
    key_table_t table;
    table.insert({63, 0});
    table.insert({127, 1});
    EXPECT_EQ(table.find_first(std::uint64_t(127)), 0u);
    EXPECT_EQ(table.find(std::uint64_t(127))->slot, 1u);

    // Tombstones in every position not held by a live element: a missing key ends after a full turn.
    key_table_t full;
    for (std::uint32_t i = 0; i != 42; ++i)
        full.insert({i, i});
    for (std::uint64_t key = 0; key != 22; ++key)
        full.erase(key);
    for (std::uint32_t i = 0; i != 22; ++i)
        full.insert({1000 + i, i});
    ASSERT_EQ(full.slot_count(), 64u);
    for (std::size_t position = 0; position != 64; ++position)
        ASSERT_TRUE(full.is_populated(position));
    full.erase(std::uint64_t(1000));
    EXPECT_EQ(full.find_first(std::uint64_t(5000)), key_table_t::npos);
    EXPECT_EQ(full.erase(std::uint64_t(5000)), 0u);
    EXPECT_EQ(full.find(std::uint64_t(1021))->slot, 21u);
}

TEST(KeyTable, DuplicatesFormOneRangeInProbeOrder) {
    key_table_t table;
    table.insert({9, 1});
    table.insert({73, 100}); // same start position, another key
    table.insert({9, 2});
    table.insert({9, 3});
    EXPECT_EQ(slots_of(table, 9), (std::vector<std::uint32_t>{1, 2, 3}));
    table.erase_at(table.find_first(std::uint64_t(9)));
    EXPECT_EQ(slots_of(table, 9), (std::vector<std::uint32_t>{2, 3}));
    EXPECT_EQ(table.erase(std::uint64_t(9)), 2u);
    EXPECT_TRUE(slots_of(table, 9).empty());
    EXPECT_EQ(table.size(), 1u);
}

TEST(KeyTable, RehashAndLiveCopyDropTombstonesKeepingEveryKeyReachable) {
    key_table_t table;
    // 6 at 6, 70 displaced to 7 and 134 to 8; deleting 6 leaves a tombstone in front of the others.
    table.insert({6, 0});
    table.insert({70, 1});
    table.insert({134, 2});
    for (std::uint32_t i = 0; i != 20; ++i)
        table.insert({200 + 64 * i, 10 + i});
    table.erase(std::uint64_t(6));
    ASSERT_EQ(count_tombstones(table), 1u);

    key_table_t copy;
    copy.assign_live_of(table);
    EXPECT_EQ(copy.slot_count(), table.slot_count());
    EXPECT_EQ(copy.size(), table.size());
    EXPECT_EQ(count_tombstones(copy), 0u);
    EXPECT_EQ(copy.find(std::uint64_t(6)), nullptr);
    EXPECT_EQ(copy.find(std::uint64_t(70))->slot, 1u);
    EXPECT_EQ(copy.find(std::uint64_t(134))->slot, 2u);
    for (std::uint32_t i = 0; i != 20; ++i)
        ASSERT_EQ(copy.find(std::uint64_t(200 + 64 * i))->slot, 10 + i);
    EXPECT_EQ(copy.find_first(std::uint64_t(70)), 6u) << "elements past a dropped tombstone move up";
    EXPECT_EQ(copy.find_first(std::uint64_t(134)), 7u);

    ASSERT_TRUE(table.try_reserve(1000));
    EXPECT_EQ(count_tombstones(table), 0u);
    EXPECT_EQ(table.size(), 22u);
    std::size_t live = 0;
    for (std::size_t position = 0; position != table.slot_count(); ++position)
        live += table.is_live(position);
    EXPECT_EQ(live, table.size());

    key_table_t empty, empty_copy;
    empty_copy.assign_live_of(empty);
    EXPECT_EQ(empty_copy.slot_count(), 0u);
}

TEST(Ring, FirstInFirstOutAcrossTheWrap) {
    ring_gt<std::uint32_t> ring;
    std::uint32_t element = 0;
    EXPECT_FALSE(ring.try_pop(element));
    ASSERT_TRUE(ring.reserve(3));
    EXPECT_EQ(ring.capacity(), 64u);

    for (std::uint32_t i = 0; i != 60; ++i)
        ring.push(i);
    for (std::uint32_t i = 0; i != 60; ++i)
        ASSERT_TRUE(ring.try_pop(element));
    EXPECT_TRUE(ring.empty());
    for (std::uint32_t i = 0; i != 64; ++i)
        ring.push(100 + i);
    EXPECT_EQ(ring.head(), ring.tail());
    EXPECT_EQ(ring.size(), 64u) << "head equal to tail on a non-empty ring means full";

    EXPECT_FALSE(ring.reserve(63)) << "a ring cannot shrink below what it holds";
    EXPECT_EQ(ring.size(), 64u);
    ASSERT_TRUE(ring.reserve(65));
    EXPECT_EQ(ring.capacity(), 128u);
    ring.push(164);
    for (std::uint32_t i = 0; i != 65; ++i) {
        ASSERT_TRUE(ring.try_pop(element));
        ASSERT_EQ(element, 100 + i);
    }
    EXPECT_FALSE(ring.try_pop(element));
    EXPECT_EQ(ring.size(), 0u);
}

TEST(Ring, AlignedStorageAndMove) {
    ring_gt<unsigned long, aligned_allocator_gt<unsigned long, 64>> ring;
    ASSERT_TRUE(ring.reserve(8));
    for (unsigned long id = 0; id != 8; ++id)
        ring.push(id);
    auto moved = std::move(ring);
    EXPECT_EQ(ring.capacity(), 0u);
    EXPECT_TRUE(ring.empty());
    EXPECT_EQ(moved.size(), 8u);
    unsigned long id = 99;
    ASSERT_TRUE(moved.try_pop(id));
    EXPECT_EQ(id, 0u);
}
