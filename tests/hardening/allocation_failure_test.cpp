// Every allocation of create, reserve, add, search, remove, rename, load, view and save is made to fail in
// turn, once or for good: the operation must end in its error (or std::bad_alloc), never crash or leak, and
// leave an index whose entries are all still found, which then keeps working.

#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "hardening_fixtures.h"
#include "index/fault_injection.h"

namespace vemo {
namespace korvane {
namespace {

using namespace hardening;

enum class outcome_t { succeeded, failed, threw_bad_alloc, threw_runtime_error };

char const* name_of(outcome_t outcome) {
    switch (outcome) {
    case outcome_t::succeeded: return "succeeded";
    case outcome_t::failed: return "failed";
    case outcome_t::threw_bad_alloc: return "threw std::bad_alloc";
    default: return "threw std::runtime_error";
    }
}

/// Arms the countdown for the lifetime of the object, so that nothing the test checks runs armed.
class armed_t {
  public:
    armed_t(std::int64_t nth, bool keep_failing) noexcept { fault_injection::arm(nth, keep_failing); }
    ~armed_t() noexcept { fault_injection::disarm(); }
};

/// Runs `setup`, then `run` with the n-th allocation failing, then `check`, for n = 1, 2, ... until `run`
/// no longer reaches the n-th allocation; once with a single failure and once with every allocation from
/// the n-th on failing. `run` returns whether the operation reported success; an error it reports must carry
/// a message. Exceptions other than std::bad_alloc and std::runtime_error escape and fail the test.
template <typename setup_at, typename run_at, typename check_at>
void fail_each_allocation(setup_at&& setup, run_at&& run, check_at&& check) {
    for (bool keep_failing : {false, true})
        for (std::int64_t nth = 1;; ++nth) {
            SCOPED_TRACE(std::string(keep_failing ? "every allocation from #" : "only allocation #") +
                         std::to_string(nth) + " fails");
            auto state = setup();
            outcome_t outcome;
            bool fired;
            {
                armed_t armed(nth, keep_failing);
                try {
                    outcome = run(state) ? outcome_t::succeeded : outcome_t::failed;
                } catch (std::bad_alloc const&) {
                    outcome = outcome_t::threw_bad_alloc;
                } catch (std::runtime_error const&) {
                    // The error record's own way of raising an error nobody handled, and the key table
                    // rebuild's "failed to reserve memory".
                    outcome = outcome_t::threw_runtime_error;
                }
                fired = fault_injection::fired();
            }
            SCOPED_TRACE(std::string("the operation ") + name_of(outcome));
            if (!fired) {
                EXPECT_EQ(outcome, outcome_t::succeeded) << "nothing failed, yet the operation did not succeed";
                EXPECT_GT(nth, 1) << "the operation allocates nothing: the test exercises no failure";
                check(state, outcome);
                break;
            }
            check(state, outcome);
            if (::testing::Test::HasFatalFailure())
                return;
            if (nth == 5000) {
                ADD_FAILURE() << "the operation still allocates after 5000 allocations";
                return;
            }
        }
}

/// Takes the message of a failed result; false when there was one (it must not be empty).
bool succeeded(error_t& error) {
    char const* message = error.release();
    if (!message)
        return true;
    EXPECT_STRNE(message, "");
    return false;
}
bool succeeded(error_t&& error) { return succeeded(error); }

// Creation as the Java binding does it: metric, empty index, reservation, and the move to the heap.

TEST(AllocationFailure, Create) {
    struct state_t {
        std::optional<index_dense_t> index;
    };
    fail_each_allocation(
        [] { return state_t{}; },
        [](state_t& state) {
            auto made = index_dense_t::make(test_metric());
            if (!succeeded(made.error))
                return false;
            state.index.emplace(std::move(made.index));
            return state.index->try_reserve({64, 2, 2});
        },
        [](state_t& state, outcome_t) {
            if (!state.index)
                return;
            // A reservation that failed leaves an empty index that a later one completes.
            expect_consistent(*state.index, {});
            expect_usable(*state.index, {});
        });
}

TEST(AllocationFailure, Reserve) {
    auto const keys = key_range(1, 40);
    fail_each_allocation([&] { return filled_index(keys, 64); },
                         [](index_dense_t& index) { return index.try_reserve({4000, 3, 5}); },
                         [&](index_dense_t& index, outcome_t outcome) {
                             expect_consistent(index, keys);
                             if (outcome == outcome_t::succeeded) {
                                 EXPECT_GE(index.capacity(), 4000u);
                                 EXPECT_EQ(index.threads_count(), 5u);
                             }
                             expect_usable(index, keys);
                         });
}

/// An addition that fails leaves no trace of its key; one that succeeds is found like every other entry.
void expect_add_is_atomic(std::vector<std::uint64_t> const& keys, std::size_t capacity,
                          std::vector<std::uint64_t> const& removed = {}) {
    std::uint64_t const added = 999;
    fail_each_allocation(
        [&] {
            index_dense_t index = filled_index(keys, capacity);
            for (std::uint64_t key : removed)
                EXPECT_EQ(index.remove(key).completed, 1u);
            return index;
        },
        [&](index_dense_t& index) { return succeeded(index.add(added, vector_of(added).data()).error); },
        [&](index_dense_t& index, outcome_t outcome) {
            std::vector<std::uint64_t> expected = without(keys, removed);
            if (outcome == outcome_t::succeeded)
                expected.push_back(added);
            expect_consistent(index, expected);
            expect_usable(index, expected);
        });
}

TEST(AllocationFailure, AddToAnEmptyIndexMapsBothArenas) { expect_add_is_atomic({}, 64); }
TEST(AllocationFailure, AddLinksIntoAGraph) { expect_add_is_atomic(key_range(1, 30), 64); }
TEST(AllocationFailure, AddReusesAFreedSlot) { expect_add_is_atomic(key_range(1, 30), 64, {3, 17}); }

TEST(AllocationFailure, AddGrowsTheKeyTable) {
    // A reservation of 64 gives the key table 128 positions, and the graph as many slots: the table grows
    // on the way to two thirds of them taken, while the graph still has room.
    index_dense_t probe = filled_index({}, 64);
    ASSERT_EQ(probe.key_table().slot_count(), 128u);
    for (std::size_t count : {84, 86}) {
        SCOPED_TRACE(std::to_string(count) + " entries before");
        expect_add_is_atomic(key_range(1, count), 64);
    }
}

TEST(AllocationFailure, Search) {
    auto const keys = key_range(1, 60);
    for (bool exact : {false, true}) {
        SCOPED_TRACE(exact ? "exact" : "approximate");
        // More results than the search expansion: the context's buffers have to grow.
        std::size_t const wanted = 200;
        fail_each_allocation([&] { return filled_index(keys, 64); },
                             [&](index_dense_t& index) {
                                 auto found = index.search(vector_of(7).data(), wanted, exact);
                                 if (!succeeded(found.error)) {
                                     EXPECT_EQ(found.count, 0u);
                                     return false;
                                 }
                                 EXPECT_EQ(found.count, keys.size());
                                 EXPECT_EQ(found.key(0), 7u);
                                 return true;
                             },
                             [&](index_dense_t& index, outcome_t) {
                                 expect_consistent(index, keys);
                                 expect_usable(index, keys);
                             });
    }
}

TEST(AllocationFailure, Remove) {
    auto const keys = key_range(1, 30);
    fail_each_allocation([&] { return filled_index(keys, 64); },
                         [](index_dense_t& index) { return succeeded(index.remove(5).error); },
                         [&](index_dense_t& index, outcome_t outcome) {
                             auto const expected = outcome == outcome_t::succeeded ? without(keys, {5}) : keys;
                             expect_consistent(index, expected);
                             expect_usable(index, expected);
                         });
}

TEST(AllocationFailure, Rename) {
    // A loaded index sizes its key table for the live keys only: with 85 of them in 128 positions, the
    // rename has to grow the table to re-insert its entry.
    scratch_file_t file("rename");
    auto const keys = key_range(1, 85);
    ASSERT_TRUE(succeeded(save_index(filled_index(keys, 128), file.path())));
    fail_each_allocation(
        [&] {
            index_dense_t index = index_dense_t::blank();
            EXPECT_TRUE(succeeded(load_index(index, file.path())));
            EXPECT_EQ(index.key_table().slot_count(), 128u);
            return index;
        },
        [](index_dense_t& index) { return succeeded(index.rename(5, 500).error); },
        [&](index_dense_t& index, outcome_t outcome) {
            std::uint64_t const renamed = outcome == outcome_t::succeeded ? 500 : 5;
            std::vector<float> vector(dimensions_k);
            ASSERT_EQ(index.get(renamed, vector.data()), 1u);
            EXPECT_EQ(vector, vector_of(5));
            ASSERT_EQ(index.remove(renamed).completed, 1u);
            expect_consistent(index, without(keys, {5}));
        });
}

/// Loading and viewing: a failure leaves an empty index that a later read fills; a success gives the
/// saved entries, removed ones excluded.
template <typename read_at> void expect_read_is_clean(read_at&& read) {
    scratch_file_t file("read");
    auto const keys = key_range(1, 50);
    std::vector<std::uint64_t> const removed = {4, 9};
    auto const live = without(keys, removed);
    {
        index_dense_t saved = filled_index(keys, 64);
        for (std::uint64_t key : removed)
            ASSERT_EQ(saved.remove(key).completed, 1u);
        ASSERT_TRUE(succeeded(save_index(saved, file.path())));
    }
    for (bool blank : {false, true}) {
        SCOPED_TRACE(blank ? "into a blank index" : "into an index with entries");
        fail_each_allocation(
            [&] { return blank ? index_dense_t::blank() : filled_index(key_range(1000, 10), 64); },
            [&](index_dense_t& index) { return succeeded(read(index, file.path())); },
            [&](index_dense_t& index, outcome_t outcome) {
                if (outcome != outcome_t::succeeded) {
                    EXPECT_EQ(index.size(), 0u) << "a failed read leaves the index empty";
                    ASSERT_TRUE(succeeded(read(index, file.path())));
                    // The failed read took the thread contexts along; the caller reserves them again.
                    ASSERT_TRUE(index.try_reserve({index.capacity(), 2, 2}));
                }
                expect_consistent(index, live);
                if (!index.is_immutable())
                    expect_usable(index, live);
            });
    }
}

TEST(AllocationFailure, Load) {
    expect_read_is_clean([](index_dense_t& index, std::string const& path) { return load_index(index, path); });
}

TEST(AllocationFailure, View) {
    expect_read_is_clean([](index_dense_t& index, std::string const& path) { return view_index(index, path); });
}

TEST(AllocationFailure, SaveKeepsTheOldFile) {
    scratch_file_t file("save");
    auto const keys = key_range(1, 20);
    index_dense_t index = filled_index(keys, 64);
    ASSERT_TRUE(succeeded(save_index(filled_index(key_range(1, 5), 8), file.path())));
    std::vector<char> const before = file.bytes();
    fail_each_allocation([&] { return 0; },
                         [&](int) { return succeeded(save_index(index, file.path())); },
                         [&](int, outcome_t outcome) {
                             EXPECT_EQ(file.siblings(), 0u) << "no temporary file is left";
                             if (outcome != outcome_t::succeeded) {
                                 EXPECT_EQ(file.bytes(), before);
                             }
                             ASSERT_TRUE(succeeded(save_index(index, file.path())));
                             ASSERT_TRUE(succeeded(save_index(filled_index(key_range(1, 5), 8), file.path())));
                         });
    expect_consistent(index, keys);
}

} // namespace
} // namespace korvane
} // namespace vemo
