// Exact values of the bit-set, probability, sparse, curved-space and elementwise kernels, called directly.

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "kernels/haswell_kernels2.h"
#include "kernels/serial_binary.h"
#include "kernels/serial_sparse.h"

namespace vemo {
namespace korvane {
namespace {

constexpr math_mode_t approx_k = math_mode_t::approximate;
constexpr math_mode_t exact_k = math_mode_t::math_library;

/// Copies values so that the last one ends right before an unreadable page: a kernel that reads one element too
/// many faults instead of passing by luck.
class guarded_t {
  public:
    template <typename scalar_at> explicit guarded_t(std::vector<scalar_at> const& values) {
        std::size_t const page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        std::size_t const bytes = values.size() * sizeof(scalar_at);
        pages_ = (bytes + page - 1) / page + 1;
        base_ = static_cast<char*>(mmap(nullptr, pages_ * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                                        -1, 0));
        EXPECT_NE(base_, MAP_FAILED);
        EXPECT_EQ(mprotect(base_ + (pages_ - 1) * page, page, PROT_NONE), 0);
        data_ = base_ + (pages_ - 1) * page - bytes;
        if (bytes)
            std::memcpy(data_, values.data(), bytes);
    }
    guarded_t(guarded_t const&) = delete;
    guarded_t& operator=(guarded_t const&) = delete;
    ~guarded_t() { munmap(base_, pages_ * static_cast<std::size_t>(sysconf(_SC_PAGESIZE))); }
    void* data() const noexcept { return data_; }

  private:
    char* base_ = nullptr;
    char* data_ = nullptr;
    std::size_t pages_ = 0;
};

template <typename id_at> std::vector<id_at> iota_ids(id_at first, std::size_t count) {
    std::vector<id_at> ids(count);
    for (std::size_t i = 0; i != count; ++i)
        ids[i] = static_cast<id_at>(first + i);
    return ids;
}

struct intersect_case_t {
    char const* name;
    std::vector<std::uint32_t> a, b;
    double expected;
};

TEST(Kernels2Intersect, MergeAndGallopCounts) {
    std::vector<std::uint32_t> const hundred = iota_ids<std::uint32_t>(0, 100);
    std::vector<std::uint32_t> const odd_thousand = [] {
        std::vector<std::uint32_t> ids;
        for (std::uint32_t i = 1; i < 2000; i += 2)
            ids.push_back(i);
        return ids;
    }();
    std::vector<intersect_case_t> const cases = {
        {"merge", {1, 3, 5}, {3, 4, 5, 6}, 2},
        {"merge, equal lengths", {1, 2, 3}, {2, 3, 4}, 2},
        {"merge, disjoint", {1, 2}, {3, 4}, 0},
        {"gallop, one match", {7}, hundred, 1},
        {"gallop, beyond the end", {200}, hundred, 0},
        {"gallop, first and last", {0, 99}, hundred, 2},
        {"gallop, before the start", {0}, iota_ids<std::uint32_t>(5, 64), 0},
        {"gallop, several from one position", {1, 2, 3, 999, 1001, 1999, 2000}, odd_thousand, 5},
        {"gallop, longer set first", hundred, {42}, 1},
        {"gallop, 63 times longer merges", {7}, iota_ids<std::uint32_t>(0, 63), 1},
        {"empty shorter", {}, {1, 2, 3}, 0},
        {"both empty", {}, {}, 0},
        {"unsorted does not fault", {5, 1, 9, 0}, {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 11, 12}, -1},
        {"unsorted gallop does not fault", {300, 7, 5000}, hundred, -1},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        guarded_t a(c.a), b(c.b);
        double count = -2;
        serial_intersect_u32<approx_k>(a.data(), b.data(), c.a.size(), c.b.size(), &count);
        if (c.expected >= 0) {
            EXPECT_EQ(count, c.expected);
        }
        // The u16 kernel gives the same count for the same small identifiers.
        std::vector<std::uint16_t> a16(c.a.begin(), c.a.end()), b16(c.b.begin(), c.b.end());
        guarded_t a16g(a16), b16g(b16);
        double count16 = -2;
        serial_intersect_u16<exact_k>(a16g.data(), b16g.data(), a16.size(), b16.size(), &count16);
        EXPECT_EQ(count16, count);
    }
}

TEST(Kernels2Intersect, CompareUnsignedIdentifiers) {
    std::vector<std::uint32_t> const a = {1, 0x80000000u, 0xFFFFFFFFu};
    std::vector<std::uint32_t> const b = {0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu};
    double count = 0;
    serial_intersect_u32<approx_k>(a.data(), b.data(), a.size(), b.size(), &count);
    EXPECT_EQ(count, 2);
    std::vector<std::uint16_t> const a16 = {1, 0x8000, 0xFFFF}, b16 = {0x7FFF, 0x8000, 0xFFFF};
    serial_intersect_u16<approx_k>(a16.data(), b16.data(), 3, 3, &count);
    EXPECT_EQ(count, 2);
}

using dense_kernel_t = void (*)(void const*, void const*, std::uint64_t, vexlane_distance_t*);

struct bits_case_t {
    char const* name;
    std::vector<std::uint8_t> a, b;
    double hamming, jaccard;
};

TEST(Kernels2Bits, HammingAndJaccardSerialAndHaswell) {
    std::vector<std::uint8_t> const pattern = {0x01, 0x80, 0xFF, 0x5A, 0x00, 0x33, 0xC3, 0x7E, 0x10, 0xEE, 0x42};
    std::vector<std::uint8_t> zeros(11, 0), ones(11, 0xFF);
    std::vector<bits_case_t> const cases = {
        {"empty", {}, {}, 0, 1.0},
        {"0xFF against 0x00", {0xFF, 0xFF, 0xFF}, {0, 0, 0}, 24, 1.0},
        {"identical", pattern, pattern, 0, 0.0},
        {"all zero", zeros, zeros, 0, 1.0},
        {"0x0F against 0xFF", {0x0F}, {0xFF}, 4, 0.5},
        // 11 bytes: one 8-byte word and a 3-byte tail, 88 bits all differing.
        {"all bits across word and tail", ones, zeros, 88, 1.0},
        {"half the bits", std::vector<std::uint8_t>(9, 0xF0), std::vector<std::uint8_t>(9, 0xFF), 36, 0.5},
    };
    struct named_t {
        char const* name;
        dense_kernel_t hamming, jaccard;
    };
    named_t const kernels[] = {{"serial approximate", serial_hamming_b8<approx_k>, serial_jaccard_b8<approx_k>},
                               {"serial math library", serial_hamming_b8<exact_k>, serial_jaccard_b8<exact_k>},
                               {"haswell", haswell_hamming_b8, haswell_jaccard_b8}};
    for (auto const& k : kernels)
        for (auto const& c : cases) {
            SCOPED_TRACE(std::string(k.name) + ": " + c.name);
            guarded_t a(c.a), b(c.b);
            double value = -1;
            k.hamming(a.data(), b.data(), c.a.size(), &value);
            EXPECT_EQ(value, c.hamming);
            k.jaccard(a.data(), b.data(), c.a.size(), &value);
            EXPECT_DOUBLE_EQ(value, c.jaccard);
        }
}

} // namespace
} // namespace korvane
} // namespace vemo
