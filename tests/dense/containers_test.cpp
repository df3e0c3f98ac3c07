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

/// The first `count` keys whose probe starts at `position` in a table of `slots` positions.
std::vector<std::uint64_t> keys_starting_at(std::size_t position, std::size_t slots, std::size_t count) {
    std::vector<std::uint64_t> keys;
    for (std::uint64_t key = 0; keys.size() != count; ++key)
        if ((lookup_key_hash_t{}(key) & (slots - 1)) == position)
            keys.push_back(key);
    return keys;
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
    auto const keys = keys_starting_at(5, 64, 4);
    table.insert({keys[0], 0});
    table.insert({keys[1], 1});
    table.insert({keys[2], 2});
    EXPECT_EQ(table.find_first(keys[2]), 7u);

    EXPECT_EQ(table.erase(keys[1]), 1u);
    EXPECT_EQ(table.size(), 2u);
    EXPECT_TRUE(table.is_deleted(6));
    EXPECT_EQ(table.find(keys[1]), nullptr);
    EXPECT_EQ(table.find(keys[2])->slot, 2u) << "probing passes over the tombstone";
    EXPECT_EQ(table.erase(keys[1]), 0u);

    table.insert({keys[3], 3});
    EXPECT_EQ(table.find_first(keys[3]), 6u) << "the tombstone is the first reusable position";
    EXPECT_FALSE(table.is_deleted(6));
    EXPECT_EQ(table.size(), 3u);
    EXPECT_EQ(table.deleted_count(), 0u);
}

TEST(KeyTable, ConsecutiveKeysScatterAndProbesWrapAround) {
    key_table_t table;
    ASSERT_TRUE(table.try_reserve(1000));
    for (std::uint32_t key = 0; key != 1000; ++key)
        table.insert({key, key});
    // Consecutive keys must not line up in one run: the longest run of populated positions stays short.
    std::size_t longest = 0, run = 0;
    for (std::size_t position = 0; position != table.slot_count(); ++position) {
        run = table.is_populated(position) ? run + 1 : 0;
        longest = run > longest ? run : longest;
    }
    EXPECT_LT(longest, 100u);

    key_table_t small;
    auto const keys = keys_starting_at(63, 64, 2);
    small.insert({keys[0], 0});
    small.insert({keys[1], 1});
    EXPECT_EQ(small.find_first(keys[1]), 0u);
    EXPECT_EQ(small.find(keys[1])->slot, 1u);
}

TEST(KeyTable, TombstonesArePurgedBeforeTheyCrowdOutFreePositions) {
    key_table_t table;
    std::vector<std::uint64_t> live;
    for (std::uint32_t key = 0; key != 40; ++key) {
        table.insert({key, key});
        live.push_back(key);
    }
    std::uint64_t next = 1000;
    for (std::size_t round = 0; round != 500; ++round) {
        ASSERT_EQ(table.erase(live[round % live.size()]), 1u);
        live[round % live.size()] = next;
        table.insert({next, std::uint32_t(round)});
        ++next;
        std::size_t free_positions = 0;
        for (std::size_t position = 0; position != table.slot_count(); ++position)
            free_positions += !table.is_populated(position);
        ASSERT_EQ(table.slot_count(), 64u);
        ASSERT_GE(free_positions, 64u / 6) << "round " << round;
        ASSERT_EQ(free_positions + table.size() + table.deleted_count(), 64u);
    }
    for (std::uint64_t key : live)
        ASSERT_NE(table.find(key), nullptr) << key;
    EXPECT_EQ(table.find_first(std::uint64_t(5)), key_table_t::npos);
}

TEST(KeyTable, DuplicatesFormOneRangeInProbeOrder) {
    key_table_t table;
    std::uint64_t const key = 9;
    std::uint64_t other = 0;
    for (std::uint64_t candidate : keys_starting_at(lookup_key_hash_t{}(key) & 63, 64, 2))
        if (candidate != key)
            other = candidate;
    table.insert({key, 1});
    table.insert({other, 100}); // same start position, another key
    table.insert({key, 2});
    table.insert({key, 3});
    EXPECT_EQ(slots_of(table, key), (std::vector<std::uint32_t>{1, 2, 3}));
    table.erase_at(table.find_first(key));
    EXPECT_EQ(slots_of(table, key), (std::vector<std::uint32_t>{2, 3}));
    EXPECT_EQ(table.erase(key), 2u);
    EXPECT_TRUE(slots_of(table, key).empty());
    EXPECT_EQ(table.size(), 1u);
    EXPECT_EQ(table.deleted_count(), 3u);
}

TEST(KeyTable, RehashAndLiveCopyDropTombstonesKeepingEveryKeyReachable) {
    key_table_t table;
    // a at 6, b displaced to 7 and c to 8; deleting a leaves a tombstone in front of the others.
    auto const keys = keys_starting_at(6, 64, 3);
    for (std::uint32_t i = 0; i != 3; ++i)
        table.insert({keys[i], i});
    for (std::uint32_t i = 0; i != 20; ++i)
        table.insert({5000 + i, 10 + i});
    table.erase(keys[0]);
    ASSERT_EQ(count_tombstones(table), 1u);

    key_table_t copy;
    copy.assign_live_of(table);
    EXPECT_EQ(copy.slot_count(), table.slot_count());
    EXPECT_EQ(copy.size(), table.size());
    EXPECT_EQ(count_tombstones(copy), 0u);
    EXPECT_EQ(copy.deleted_count(), 0u);
    EXPECT_EQ(copy.find(keys[0]), nullptr);
    EXPECT_EQ(copy.find(keys[1])->slot, 1u) << "an element past a dropped tombstone must stay reachable";
    EXPECT_EQ(copy.find(keys[2])->slot, 2u);
    for (std::uint32_t i = 0; i != 20; ++i)
        ASSERT_EQ(copy.find(std::uint64_t(5000 + i))->slot, 10 + i);

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
