// The dense index through its own interface: construction, reservation, adding, searching, reading back,
// removing, renaming, moving and the thread-context pool.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

#include <unistd.h>

#include "index/fault_injection.h"
#include "index/index_dense.h"

namespace vemo {
namespace korvane {

/// Reaches the operations that only loading and viewing call.
struct index_dense_inspector_t {
    static void reindex_keys(index_dense_t& index) { index.reindex_keys_(); }
    /// Makes the graph hold a read-only mapping, as viewing a file does, while its nodes stay writable.
    static bool pretend_viewed(index_dense_t& index, char const* path) {
        memory_mapped_file_t file(path);
        if (file.open_if_not())
            return false;
        index.graph_->adopt_mapped_file(std::move(file));
        return index.is_immutable();
    }
};

} // namespace korvane
} // namespace vemo

using namespace vemo::korvane;

namespace {

index_dense_t make_index(std::size_t dimensions, scalar_kind_t scalar = scalar_kind_t::f32,
                         metric_kind_t metric = metric_kind_t::l2sq, dense_config_t config = {},
                         index_limits_t limits = {100, 2, 2}) {
    auto state = index_dense_t::make(metric_punned_t::builtin(dimensions, metric, scalar), config);
    if (state.error)
        throw std::runtime_error(state.error.release());
    index_dense_t index(std::move(state.index));
    if (!index.try_reserve(limits))
        throw std::runtime_error("reservation failed");
    return index;
}

/// A 4-dimensional vector that is distinct for every small seed.
std::vector<float> point(float seed) { return {seed, seed * 0.5f + 1, -seed, 3}; }

void add_ok(index_dense_t& index, std::uint64_t key, std::vector<float> const& vector) {
    auto added = index.add(key, vector.data());
    ASSERT_FALSE(added.error) << added.error.release();
}

std::vector<std::uint64_t> keys_of(index_dense_t::search_result_t const& result) {
    std::vector<std::uint64_t> keys;
    for (std::size_t i = 0; i != result.count; ++i)
        keys.push_back(result.key(i));
    return keys;
}

} // namespace

TEST(DenseMake, NormalisesAndValidatesTheConfiguration) {
    metric_punned_t const metric = metric_punned_t::builtin(8, metric_kind_t::l2sq, scalar_kind_t::f32);
    {
        auto state = index_dense_t::make(metric, {});
        ASSERT_FALSE(state.error);
        dense_config_t const& config = state.index.config();
        EXPECT_EQ(config.connectivity, 16u);
        EXPECT_EQ(config.base_connectivity, 32u);
        EXPECT_EQ(config.add_expansion, 128u);
        EXPECT_EQ(config.search_expansion, 64u);
        EXPECT_EQ(state.index.capacity(), 0u) << "make reserves nothing";
        EXPECT_EQ(state.index.dimensions(), 8u);
    }
    struct case_t {
        std::size_t connectivity;
        char const* message;
    } const failures[] = {
        {1, "Connectivity must be at least 2, otherwise the index degenerates into ropes"},
        {std::size_t(1) << 63, "Base layer should be at least as connected as the rest of the graph"},
    };
    for (auto const& c : failures) {
        dense_config_t config;
        config.connectivity = c.connectivity;
        auto state = index_dense_t::make(metric, config);
        ASSERT_TRUE(state.error);
        EXPECT_STREQ(state.error.release(), c.message);
        EXPECT_EQ(state.index.graph(), nullptr) << "a failed make leaves a blank index";
        EXPECT_FALSE(state.index.try_reserve({10, 1, 1}));
    }
    auto unusable = index_dense_t::make(metric_punned_t::builtin(8, metric_kind_t::l2sq, scalar_kind_t::b1x8));
    ASSERT_TRUE(unusable.error);
    EXPECT_STREQ(unusable.error.release(), "Metric won't be initialized!");
}

TEST(DenseMake, UnhandledErrorsRaiseUnlessAnotherExceptionUnwinds) {
    dense_config_t config;
    config.connectivity = 1;
    metric_punned_t const metric = metric_punned_t::builtin(8, metric_kind_t::l2sq, scalar_kind_t::f32);
    EXPECT_THROW({ auto state = index_dense_t::make(metric, config); }, std::runtime_error);

    try {
        auto state = index_dense_t::make(metric, config);
        throw std::logic_error("unwinding");
    } catch (std::logic_error const& error) {
        EXPECT_STREQ(error.what(), "unwinding");
    } catch (...) {
        FAIL() << "the unhandled error must stay silent while another exception unwinds";
    }
}

TEST(DenseReserve, SizesKeyTablePointersThreadsAndScratch) {
    auto state = index_dense_t::make(metric_punned_t::builtin(128, metric_kind_t::l2sq, scalar_kind_t::f32));
    index_dense_t index(std::move(state.index));
    ASSERT_TRUE(index.try_reserve({0, 3, 1}));
    EXPECT_EQ(index.capacity(), 0u);
    EXPECT_EQ(index.threads_count(), 3u);
    EXPECT_EQ(index.conversion_buffer_length(), 3u * 512u);

    ASSERT_TRUE(index.try_reserve({1000, 8, 4}));
    EXPECT_EQ(index.capacity(), 2048u);
    EXPECT_EQ(index.key_table().slot_count(), 2048u);
    EXPECT_EQ(index.threads_count(), 8u);
    EXPECT_EQ(index.conversion_buffer_length(), 8u * 512u);

    ASSERT_TRUE(index.try_reserve({100, 8, 4}));
    EXPECT_EQ(index.capacity(), 2048u) << "capacity never shrinks";

    index_dense_t bits = make_index(100, scalar_kind_t::b1x8, metric_kind_t::hamming, {}, {10, 2, 1});
    EXPECT_EQ(bits.bytes_per_vector(), 13u);
    EXPECT_EQ(bits.conversion_buffer_length(), 26u);

    index_dense_t empty = make_index(0, scalar_kind_t::f32, metric_kind_t::l2sq, {}, {0, 1, 1});
    EXPECT_EQ(empty.conversion_buffer_length(), 0u) << "a zero-byte buffer is no allocation failure";
}

TEST(DenseReserve, MemoryUsageCountsTheVectorArena) {
    index_dense_t index = make_index(4);
    std::size_t const before = index.memory_usage();
    add_ok(index, 1, point(1));
    EXPECT_EQ(index.vector_arena().total_allocated(), std::size_t(12) << 20);
    EXPECT_GE(index.memory_usage(), before + (std::size_t(12) << 20));
}

TEST(DenseAdd, DuplicatesCapacityAndKeyTableModes) {
    index_dense_t index = make_index(4, scalar_kind_t::f32, metric_kind_t::l2sq, {}, {3, 1, 1});
    add_ok(index, 7, point(1));
    auto duplicate = index.add(7, point(2).data());
    ASSERT_TRUE(duplicate.error);
    EXPECT_STREQ(duplicate.error.release(), "Duplicate keys not allowed in high-level wrappers");
    EXPECT_EQ(index.size(), 1u);

    // The key table for 3 entries has 64 positions, which is the capacity the graph gets.
    ASSERT_EQ(index.capacity(), 64u);
    for (std::uint64_t key = 100; key != 163; ++key)
        add_ok(index, key, point(float(key)));
    auto full = index.add(500, point(500).data());
    ASSERT_TRUE(full.error);
    EXPECT_STREQ(full.error.release(), "Reserve capacity ahead of insertions!");
    EXPECT_EQ(index.size(), 64u);
    EXPECT_EQ(index.graph()->size(), 64u);

    dense_config_t multi;
    multi.multi_keys = true;
    index_dense_t shared = make_index(4, scalar_kind_t::f32, metric_kind_t::l2sq, multi);
    add_ok(shared, 7, point(1));
    add_ok(shared, 7, point(2));
    EXPECT_EQ(shared.size(), 2u);
    EXPECT_EQ(shared.remove(7).completed, 2u);

    dense_config_t no_lookups;
    no_lookups.key_lookups = false;
    index_dense_t blind = make_index(4, scalar_kind_t::f32, metric_kind_t::l2sq, no_lookups);
    add_ok(blind, 7, point(1));
    add_ok(blind, 7, point(2));
    EXPECT_EQ(blind.key_table().size(), 0u);
    float output[4];
    EXPECT_EQ(blind.get(7, output), 0u);
    auto found = blind.search(point(2).data(), 2);
    EXPECT_EQ(keys_of(found), (std::vector<std::uint64_t>{7, 7}));
}

TEST(DenseAdd, RemovedSlotsAreReusedOldestFirst) {
    index_dense_t index = make_index(4);
    for (std::uint64_t key = 0; key != 6; ++key)
        add_ok(index, key, point(float(key)));
    for (std::uint64_t key : {4, 1, 2})
        ASSERT_EQ(index.remove(key).completed, 1u);
    EXPECT_EQ(index.size(), 3u);
    EXPECT_EQ(index.graph()->size(), 6u);

    std::vector<unsigned> slots;
    for (std::uint64_t key = 10; key != 13; ++key) {
        auto added = index.add(key, point(float(key)).data());
        ASSERT_FALSE(added.error);
        EXPECT_EQ(added.size_after, 0u) << "a relinked slot does not grow the graph";
        slots.push_back(added.slot);
    }
    EXPECT_EQ(slots, (std::vector<unsigned>{4, 1, 2}));
    EXPECT_EQ(index.graph()->size(), 6u);
    EXPECT_EQ(index.size(), 6u);
    auto fresh = index.add(20, point(20).data());
    EXPECT_EQ(fresh.slot, 6u);

    // A reused slot holds the new vector and the new key.
    float output[4];
    ASSERT_EQ(index.get(11, output), 1u);
    EXPECT_EQ(std::vector<float>(output, output + 4), point(11));
    auto found = index.search(point(11).data(), 1, true);
    ASSERT_EQ(found.count, 1u);
    EXPECT_EQ(found.key(0), 11u);
    EXPECT_EQ(found.distance(0), 0.f);
}

TEST(DenseAdd, ZeroDimensionsStoreNothingAndStillIndexKeys) {
    index_dense_t index = make_index(0, scalar_kind_t::f32, metric_kind_t::l2sq, {}, {10, 1, 1});
    float const nothing[1] = {0};
    add_ok(index, 1, {});
    EXPECT_FALSE(index.add(2, nothing).error);
    EXPECT_EQ(index.size(), 2u);
    float output[1] = {42};
    EXPECT_EQ(index.get(2, output), 1u);
    EXPECT_EQ(output[0], 42.f);
}

TEST(DenseSearch, EmptyWantedNoneRemovedAndFewerThanWanted) {
    index_dense_t index = make_index(4);
    auto on_empty = index.search(point(1).data(), 5);
    EXPECT_FALSE(on_empty.error);
    EXPECT_EQ(on_empty.count, 0u);

    for (std::uint64_t key = 1; key != 4; ++key)
        add_ok(index, key, point(float(key)));
    auto none = index.search(point(1).data(), 0);
    EXPECT_EQ(none.count, 0u);
    EXPECT_EQ(none.results, nullptr);

    auto all = index.search(point(2).data(), 10);
    EXPECT_EQ(all.count, 3u);
    EXPECT_EQ(all.key(0), 2u);
    EXPECT_EQ(all.distance(0), 0.f);
    EXPECT_LE(all.distance(0), all.distance(1));
    EXPECT_LE(all.distance(1), all.distance(2));

    ASSERT_EQ(index.remove(2).completed, 1u);
    for (bool exact : {false, true}) {
        auto found = index.search(point(2).data(), 10, exact);
        EXPECT_EQ(keys_of(found).size(), 2u);
        for (auto key : keys_of(found))
            EXPECT_NE(key, 2u) << "exact " << exact;
    }

    std::vector<double> wide{3, 2.5, -3, 3};
    auto from_double = index.search(wide.data(), 1);
    ASSERT_EQ(from_double.count, 1u);
    EXPECT_EQ(from_double.key(0), 3u);
    EXPECT_EQ(from_double.distance(0), 0.f);
}

TEST(DenseSearch, ResultsHoldTheirThreadContextUntilDestroyed) {
    index_dense_t index = make_index(4, scalar_kind_t::f32, metric_kind_t::l2sq, {}, {100, 2, 2});
    for (std::uint64_t key = 1; key != 20; ++key)
        add_ok(index, key, point(float(key)));

    auto first = index.search(point(3).data(), 3);
    auto second = index.search(point(7).data(), 3);
    EXPECT_NE(first.thread_id, second.thread_id);
    EXPECT_TRUE(first.holds_thread && second.holds_thread);

    std::atomic<bool> done{false};
    std::uint64_t waited_key = 0;
    std::thread waiter([&] {
        auto third = index.search(point(11).data(), 1);
        waited_key = third.key(0);
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(done.load()) << "with every context held, a search waits for one";
    // Both held results stay intact meanwhile.
    EXPECT_EQ(first.key(0), 3u);
    EXPECT_EQ(second.key(0), 7u);
    {
        auto released = std::move(second);
        EXPECT_FALSE(second.holds_thread);
    }
    waiter.join();
    EXPECT_TRUE(done.load());
    EXPECT_EQ(waited_key, 11u);
    EXPECT_EQ(first.key(0), 3u);
}

TEST(DenseSearch, NoContextsFailInsteadOfWaitingForever) {
    index_dense_t index = make_index(4, scalar_kind_t::f32, metric_kind_t::l2sq, {}, {10, 0, 0});
    auto added = index.add(1, point(1).data());
    ASSERT_TRUE(added.error);
    EXPECT_STREQ(added.error.release(), "Reserve thread contexts ahead of insertions and searches!");
}

TEST(DenseGet, ConvertsToEveryOutputType) {
    std::vector<float> const source{0.5f, -1.f, 2.f, 0.25f};
    struct case_t {
        scalar_kind_t stored;
    } const cases[] = {{scalar_kind_t::f32}, {scalar_kind_t::f64}, {scalar_kind_t::f16}, {scalar_kind_t::bf16}};
    for (auto const& c : cases) {
        index_dense_t index = make_index(4, c.stored);
        add_ok(index, 5, source);
        float as_float[4];
        double as_double[4];
        signed char as_i8[4];
        ASSERT_EQ(index.get(5, as_float), 1u);
        ASSERT_EQ(index.get(5, as_double), 1u);
        ASSERT_EQ(index.get(5, as_i8), 1u);
        for (std::size_t i = 0; i != 4; ++i) {
            EXPECT_EQ(as_float[i], source[i]) << scalar_kind_name(c.stored);
            EXPECT_EQ(as_double[i], double(source[i])) << scalar_kind_name(c.stored);
        }
        // Quantised to the unit direction scaled by 127: |v| = sqrt(5.3125).
        EXPECT_EQ(std::vector<int>(as_i8, as_i8 + 4), (std::vector<int>{27, -55, 110, 13})) << scalar_kind_name(c.stored);
        EXPECT_EQ(index.get(6, as_float), 0u);
    }

    index_dense_t quantised = make_index(2, scalar_kind_t::i8);
    add_ok(quantised, 1, {3, 4});
    signed char raw[2];
    ASSERT_EQ(quantised.get(1, raw), 1u);
    EXPECT_EQ(raw[0], 76);
    EXPECT_EQ(raw[1], 101);
    float back[2];
    ASSERT_EQ(quantised.get(1, back), 1u);
    EXPECT_FLOAT_EQ(back[0], 76.f / 127.f);
    std::vector<signed char> const direct{-127, 0};
    ASSERT_FALSE(quantised.add(2, direct.data()).error);
    ASSERT_EQ(quantised.get(2, raw), 1u);
    EXPECT_EQ(raw[0], -127) << "an i8 vector into an i8 index is copied as it is";
}

TEST(DenseRemove, CountsAndRepeats) {
    index_dense_t index = make_index(4);
    EXPECT_EQ(index.remove(9).completed, 0u);
    EXPECT_EQ(index.rename(9, 10).completed, 0u) << "an index without key positions renames nothing";
    add_ok(index, 9, point(9));
    auto first = index.remove(9);
    EXPECT_FALSE(first.error);
    EXPECT_EQ(first.completed, 1u);
    EXPECT_EQ(index.remove(9).completed, 0u);
    float output[4];
    EXPECT_EQ(index.get(9, output), 0u);
    EXPECT_EQ(index.size(), 0u);
    EXPECT_EQ(index.free_slots(), 1u);
}

TEST(DenseRename, MovesEntriesToNewKeys) {
    index_dense_t index = make_index(4);
    add_ok(index, 1, point(1));
    add_ok(index, 2, point(2));

    auto renamed = index.rename(1, 10);
    EXPECT_FALSE(renamed.error);
    EXPECT_EQ(renamed.completed, 1u);
    float output[4];
    EXPECT_EQ(index.get(1, output), 0u);
    ASSERT_EQ(index.get(10, output), 1u);
    EXPECT_EQ(std::vector<float>(output, output + 4), point(1));
    auto found = index.search(point(1).data(), 1);
    EXPECT_EQ(found.key(0), 10u) << "the node carries the new key";

    EXPECT_EQ(index.rename(3, 30).completed, 0u);
    struct case_t {
        std::uint64_t from, to;
    } const refused[] = {{10, 2}, {2, 2}};
    for (auto const& c : refused) {
        auto result = index.rename(c.from, c.to);
        ASSERT_TRUE(result.error);
        EXPECT_STREQ(result.error.release(), "Renaming impossible, the key is already in use");
        EXPECT_EQ(index.get(c.from, output), 1u);
    }

    dense_config_t multi;
    multi.multi_keys = true;
    index_dense_t shared = make_index(4, scalar_kind_t::f32, metric_kind_t::l2sq, multi);
    add_ok(shared, 5, point(1));
    add_ok(shared, 5, point(2));
    add_ok(shared, 6, point(3));
    EXPECT_EQ(shared.rename(5, 5).completed, 2u) << "renaming to the same key ends";
    EXPECT_EQ(shared.rename(5, 6).completed, 2u);
    EXPECT_EQ(shared.remove(6).completed, 3u);
}

TEST(DenseMove, RebuildsTheKeyTableWithoutTombstones) {
    index_dense_t index = make_index(4);
    // Three keys that share a start position: removing the first leaves a tombstone in front of the others.
    std::size_t const mask = index.key_table().slot_count() - 1;
    std::vector<std::uint64_t> chain;
    for (std::uint64_t key = 0; chain.size() != 3; ++key)
        if ((lookup_key_hash_t{}(key) & mask) == 3)
            chain.push_back(key);
    for (std::uint64_t key : {chain[0], chain[1], chain[2], std::uint64_t(8), std::uint64_t(9)})
        add_ok(index, key, point(float(key)));
    ASSERT_EQ(index.remove(chain[0]).completed, 1u);
    ASSERT_EQ(index.remove(9).completed, 1u);

    index_dense_t moved(std::move(index));
    EXPECT_EQ(index.graph(), nullptr);
    EXPECT_EQ(index.size(), 0u);
    for (std::size_t position = 0; position != moved.key_table().slot_count(); ++position)
        ASSERT_FALSE(moved.key_table().is_deleted(position));
    EXPECT_EQ(moved.size(), 3u);
    float output[4];
    for (std::uint64_t key : {chain[1], chain[2], std::uint64_t(8)}) {
        ASSERT_EQ(moved.get(key, output), 1u) << key;
        EXPECT_EQ(std::vector<float>(output, output + 4), point(float(key)));
    }
    EXPECT_EQ(moved.get(chain[0], output), 0u);
    // The moved index keeps its free list and thread pool.
    auto added = moved.add(40, point(40).data());
    ASSERT_FALSE(added.error);
    EXPECT_EQ(added.slot, 0u);
    EXPECT_EQ(moved.search(point(40).data(), 1).key(0), 40u);
}

TEST(DenseReindex, RebuildsFreeListInSlotOrder) {
    index_dense_t index = make_index(4);
    for (std::uint64_t key = 0; key != 10; ++key)
        add_ok(index, 100 + key, point(float(key)));
    ASSERT_EQ(index.remove(107).completed, 1u);
    ASSERT_EQ(index.remove(103).completed, 1u);

    index_dense_inspector_t::reindex_keys(index);
    EXPECT_EQ(index.size(), 8u);
    EXPECT_EQ(index.key_table().size(), 8u);
    float output[4];
    EXPECT_EQ(index.get(105, output), 1u);
    EXPECT_EQ(index.get(103, output), 0u);
    EXPECT_EQ(index.add(200, point(20).data()).slot, 3u);
    EXPECT_EQ(index.add(201, point(21).data()).slot, 7u);
}

TEST(DenseImmutable, ViewedIndexRefusesEveryChangeButServesReads) {
    index_dense_t index = make_index(4);
    for (std::uint64_t key = 1; key != 5; ++key)
        add_ok(index, key, point(float(key)));
    ASSERT_EQ(index.remove(2).completed, 1u);

    char path[] = "/tmp/korvane_dense_viewed_XXXXXX";
    int descriptor = mkstemp(path);
    ASSERT_GE(descriptor, 0);
    ASSERT_EQ(write(descriptor, "korvane", 7), 7);
    close(descriptor);
    ASSERT_TRUE(index_dense_inspector_t::pretend_viewed(index, path));
    std::remove(path);

    // A free slot is waiting, yet its node and vector would live in the read-only mapping.
    auto added = index.add(9, point(9).data());
    ASSERT_TRUE(added.error);
    EXPECT_STREQ(added.error.release(), "Can't add to an immutable index");
    EXPECT_EQ(index.free_slots(), 1u);
    auto removed = index.remove(1);
    ASSERT_TRUE(removed.error);
    EXPECT_STREQ(removed.error.release(), "Can't remove from an immutable index");
    auto renamed = index.rename(1, 10);
    ASSERT_TRUE(renamed.error);
    EXPECT_STREQ(renamed.error.release(), "Can't rename in an immutable index");

    float output[4];
    EXPECT_EQ(index.get(3, output), 1u);
    EXPECT_EQ(index.search(point(3).data(), 1).key(0), 3u);
}

TEST(DenseOutOfMemory, FailuresLeaveNoHalfDoneEntryAndGiveContextsBack) {
    index_dense_t index = make_index(4, scalar_kind_t::f32, metric_kind_t::l2sq, {}, {100, 1, 1});

    // The first vector opens the vector arena: failing it fails the add before the graph claims a slot.
    fault_injection::arm(1);
    auto added = index.add(1, point(1).data());
    fault_injection::disarm();
    ASSERT_TRUE(added.error);
    EXPECT_STREQ(added.error.release(), "Out of memory!");
    EXPECT_EQ(index.graph()->size(), 0u);
    EXPECT_EQ(index.size(), 0u);
    float output[4];
    EXPECT_EQ(index.get(1, output), 0u);
    for (std::uint64_t key = 1; key != 4; ++key)
        add_ok(index, key, point(float(key)));

    // A search wider than any before must grow its context buffers.
    fault_injection::arm(1, true);
    {
        auto found = index.search(point(1).data(), 5000);
        fault_injection::disarm();
        ASSERT_TRUE(found.error);
        EXPECT_STREQ(found.error.release(), "Out of memory!");
        EXPECT_EQ(found.count, 0u);
    }
    fault_injection::arm(1, true);
    EXPECT_THROW({ auto found = index.search(point(1).data(), 5000); }, std::runtime_error)
        << "an unhandled search error raises when its record dies";
    fault_injection::disarm();
    {
        auto found = index.search(point(2).data(), 1);
        ASSERT_FALSE(found.error) << "the only context came back after both failures";
        EXPECT_EQ(found.key(0), 2u);
    }

    fault_injection::arm(1, true);
    EXPECT_FALSE(index.try_reserve({5000, 1, 1}));
    fault_injection::disarm();
    EXPECT_EQ(index.size(), 3u);
    add_ok(index, 9, point(9));
}
