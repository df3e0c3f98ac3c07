#pragma once
// Distance formulas the system carries itself, for metrics and scalar kinds that the kernel library does
// not cover. Each is a stateless function object over two arrays of `count` scalars; sums are split into
// interleaved partial sums (8 in float, 4 in double) so that the loops vectorise.

#include <immintrin.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "metrics/scalar_types.h"

namespace vemo {
namespace korvane {
namespace detail {

/// Loads element `index` and converts it to the type the formula is evaluated in.
template <typename result_at, typename scalar_at>
inline result_at load_as(scalar_at const* array, std::size_t index) noexcept {
    scalar_at const value = load_unaligned<scalar_at>(array + index);
    if constexpr (std::is_same<result_at, scalar_at>::value)
        return value;
    else
        return static_cast<result_at>(scalar_to_float(value));
}

/// Loads elements [index, index + 8) widened to float lanes, by the same rules as `load_as<float>`
/// (the half-precision widening instruction is exact and ignores denormal flushing).
inline __m256 load8_as_float(float const* array, std::size_t index) noexcept {
    return _mm256_loadu_ps(array + index);
}
inline __m256 load8_as_float(double const* array, std::size_t index) noexcept {
    return _mm256_set_m128(_mm256_cvtpd_ps(_mm256_loadu_pd(array + index + 4)),
                           _mm256_cvtpd_ps(_mm256_loadu_pd(array + index)));
}
inline __m256 load8_as_float(f16_bits_t const* array, std::size_t index) noexcept {
    return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<__m128i const*>(array + index)));
}
inline __m256 load8_as_float(bf16_bits_t const* array, std::size_t index) noexcept {
    __m256i const widened = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<__m128i const*>(array + index)));
    return _mm256_castsi256_ps(_mm256_slli_epi32(widened, 16));
}
inline __m256 load8_as_float(signed char const* array, std::size_t index) noexcept {
    __m128i const bytes = _mm_loadl_epi64(reinterpret_cast<__m128i const*>(array + index));
    return _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(bytes));
}

template <typename result_at> constexpr std::size_t partial_sums() noexcept {
    return std::is_same<result_at, double>::value ? 4 : 8;
}

template <typename result_at, std::size_t lanes_ak>
inline result_at reduce(result_at const (&sums)[lanes_ak]) noexcept {
    result_at total = 0;
    for (std::size_t lane = 0; lane != lanes_ak; ++lane)
        total += sums[lane];
    return total;
}

/// Reads the bytes [index, index + 8) of a byte array as one word; bit order does not matter to counts.
inline std::uint64_t load_word(b1x8_t const* array, std::size_t index) noexcept {
    return load_unaligned<std::uint64_t>(array + index);
}

} // namespace detail

/// 1 minus the Pearson correlation; 0 for fewer than two elements or when either vector has no variance.
template <typename scalar_at, typename result_at = float> struct metric_pearson_gt {
    using scalar_t = scalar_at;
    using result_t = result_at;

    result_at operator()(scalar_at const* a, scalar_at const* b, std::size_t count) const noexcept {
        if (count <= 1)
            return 0;
        constexpr std::size_t lanes = detail::partial_sums<result_at>();
        result_at sa[lanes] = {}, sb[lanes] = {}, sab[lanes] = {}, saa[lanes] = {}, sbb[lanes] = {};
        std::size_t const blocked = count / lanes * lanes;
        if constexpr (std::is_same<result_at, float>::value) {
            // The eight partial sums live in the lanes of one register each; products and sums are
            // rounded separately, as in the element loop.
            __m256 va = _mm256_setzero_ps(), vb = va, vab = va, vaa = va, vbb = va;
            for (std::size_t i = 0; i != blocked; i += lanes) {
                __m256 const x = detail::load8_as_float(a, i), y = detail::load8_as_float(b, i);
                va = _mm256_add_ps(va, x), vb = _mm256_add_ps(vb, y);
                vab = _mm256_add_ps(vab, _mm256_mul_ps(x, y));
                vaa = _mm256_add_ps(vaa, _mm256_mul_ps(x, x)), vbb = _mm256_add_ps(vbb, _mm256_mul_ps(y, y));
            }
            _mm256_storeu_ps(sa, va), _mm256_storeu_ps(sb, vb), _mm256_storeu_ps(sab, vab);
            _mm256_storeu_ps(saa, vaa), _mm256_storeu_ps(sbb, vbb);
        } else {
            for (std::size_t i = 0; i != blocked; i += lanes)
                for (std::size_t lane = 0; lane != lanes; ++lane) {
                    result_at const x = detail::load_as<result_at>(a, i + lane);
                    result_at const y = detail::load_as<result_at>(b, i + lane);
                    sa[lane] += x, sb[lane] += y, sab[lane] += x * y, saa[lane] += x * x, sbb[lane] += y * y;
                }
        }
        for (std::size_t i = blocked; i != count; ++i) {
            std::size_t const lane = i - blocked;
            result_at const x = detail::load_as<result_at>(a, i);
            result_at const y = detail::load_as<result_at>(b, i);
            sa[lane] += x, sb[lane] += y, sab[lane] += x * y, saa[lane] += x * x, sbb[lane] += y * y;
        }
        result_at const n = static_cast<result_at>(count);
        result_at const sum_a = detail::reduce(sa), sum_b = detail::reduce(sb);
        result_at const den = (n * detail::reduce(saa) - sum_a * sum_a) * (n * detail::reduce(sbb) - sum_b * sum_b);
        if (den <= 0)
            return 0;
        return 1 - (n * detail::reduce(sab) - sum_a * sum_b) * (result_at(1) / std::sqrt(den));
    }
};

/// Jensen-Shannon divergence in natural logarithms. The epsilon keeps zero probabilities finite; a
/// negative input yields NaN through the logarithm, as the inputs are meant to be distributions.
template <typename scalar_at, typename result_at = float> struct metric_divergence_gt {
    using scalar_t = scalar_at;
    using result_t = result_at;

    result_at operator()(scalar_at const* a, scalar_at const* b, std::size_t count) const noexcept {
        constexpr std::size_t lanes = detail::partial_sums<result_at>();
        result_at s1[lanes] = {}, s2[lanes] = {};
        for (std::size_t i = 0; i != count; ++i) {
            result_at const epsilon = result_at(0x1p-23f);
            result_at const x = detail::load_as<result_at>(a, i);
            result_at const y = detail::load_as<result_at>(b, i);
            result_at const m = (x + y) * result_at(0.5) + epsilon;
            s1[i % lanes] += x * std::log((x + epsilon) / m);
            s2[i % lanes] += y * std::log((y + epsilon) / m);
        }
        return (detail::reduce(s1) + detail::reduce(s2)) * result_at(0.5);
    }
};

/// Great-circle angle in radians between two (latitude, longitude) points given in degrees; only the first
/// two elements of each vector are read.
template <typename scalar_at, typename result_at = scalar_at> struct metric_haversine_gt {
    using scalar_t = scalar_at;
    using result_t = result_at;
    static_assert(std::is_same<scalar_at, result_at>::value, "haversine evaluates in its own scalar type");

    result_at operator()(scalar_at const* a, scalar_at const* b, std::size_t) const noexcept {
        constexpr bool in_double = std::is_same<result_at, double>::value;
        // pi/360 and pi/180; in float these are the patterns 0x3C0EFA36 and 0x3C8EFA36.
        result_at const half_radians = in_double ? result_at(0.008726646259971648) : result_at(0x1.1DF46Cp-7f);
        result_at const radians = in_double ? result_at(0.017453292519943295) : result_at(0x1.1DF46Cp-6f);
        result_at const lat_a = detail::load_as<result_at>(a, 0), lon_a = detail::load_as<result_at>(a, 1);
        result_at const lat_b = detail::load_as<result_at>(b, 0), lon_b = detail::load_as<result_at>(b, 1);
        result_at const h_lat = std::sin((lat_b - lat_a) * half_radians);
        result_at const h_lon = std::sin((lon_b - lon_a) * half_radians);
        result_at h = h_lat * h_lat + std::cos(lat_a * radians) * std::cos(lat_b * radians) * h_lon * h_lon;
        // Rounding can lift h of nearly antipodal points just above 1, where asin would return NaN.
        if (h > 1)
            h = 1;
        return 2 * std::asin(std::sqrt(h));
    }
};

/// Number of differing bits.
template <typename scalar_at = b1x8_t, typename result_at = unsigned long> struct metric_hamming_gt {
    using scalar_t = scalar_at;
    using result_t = result_at;
    static_assert(std::is_same<scalar_at, b1x8_t>::value, "bit-set formulas read packed bytes");

    result_at operator()(b1x8_t const* a, b1x8_t const* b, std::size_t count) const noexcept {
        std::uint64_t differing = 0;
        std::size_t const words = count / 8 * 8;
        for (std::size_t i = 0; i != words; i += 8)
            differing += __builtin_popcountll(detail::load_word(a, i) ^ detail::load_word(b, i));
        for (std::size_t i = words; i != count; ++i)
            differing += __builtin_popcount(unsigned(a[i].bits ^ b[i].bits));
        return static_cast<result_at>(differing);
    }
};

namespace detail {

/// Bits set in both vectors, in either, and in each (the last summed over both vectors).
struct bit_set_counts_t {
    std::uint64_t intersection = 0;
    std::uint64_t unison = 0;
    std::uint64_t total = 0;
};

inline bit_set_counts_t count_bit_sets(b1x8_t const* a, b1x8_t const* b, std::size_t count) noexcept {
    bit_set_counts_t counts;
    std::size_t const words = count / 8 * 8;
    for (std::size_t i = 0; i != words; i += 8) {
        std::uint64_t const x = load_word(a, i), y = load_word(b, i);
        counts.intersection += __builtin_popcountll(x & y);
        counts.unison += __builtin_popcountll(x | y);
        counts.total += __builtin_popcountll(x) + __builtin_popcountll(y);
    }
    for (std::size_t i = words; i != count; ++i) {
        unsigned const x = a[i].bits, y = b[i].bits;
        counts.intersection += __builtin_popcount(x & y);
        counts.unison += __builtin_popcount(x | y);
        counts.total += __builtin_popcount(x) + __builtin_popcount(y);
    }
    return counts;
}

} // namespace detail

/// Tanimoto (Jaccard) distance of bit sets. The counts are kept in integers, which is exact, and turned
/// into the result type only for the division; two empty sets give 0/0, that is NaN.
template <typename scalar_at = b1x8_t, typename result_at = float> struct metric_tanimoto_gt {
    using scalar_t = scalar_at;
    using result_t = result_at;
    static_assert(std::is_same<scalar_at, b1x8_t>::value, "bit-set formulas read packed bytes");

    result_at operator()(b1x8_t const* a, b1x8_t const* b, std::size_t count) const noexcept {
        detail::bit_set_counts_t const counts = detail::count_bit_sets(a, b, count);
        return 1 - static_cast<result_at>(counts.intersection) / static_cast<result_at>(counts.unison);
    }
};

/// Sorensen-Dice distance of bit sets; two empty sets give NaN.
template <typename scalar_at = b1x8_t, typename result_at = float> struct metric_sorensen_gt {
    using scalar_t = scalar_at;
    using result_t = result_at;
    static_assert(std::is_same<scalar_at, b1x8_t>::value, "bit-set formulas read packed bytes");

    result_at operator()(b1x8_t const* a, b1x8_t const* b, std::size_t count) const noexcept {
        detail::bit_set_counts_t const counts = detail::count_bit_sets(a, b, count);
        return 1 - 2 * static_cast<result_at>(counts.intersection) / static_cast<result_at>(counts.total);
    }
};

} // namespace korvane
} // namespace vemo
