// AVX2/FMA/F16C dense similarity kernels. Each kernel runs a main loop over full blocks with several
// independent vector accumulators (so that the fused multiply-add latency does not bound the loop), reduces
// the lanes through 64-bit floats, handles the remainder, then applies its family's final step. f16 and bf16
// remainders go through a zeroed 8-element block; every other remainder is finished element by element, so
// no kernel reads past the end of an input.

#include "kernels/haswell_dense.h"

#include <immintrin.h>

#include <cstring>
#include <tuple>
#include <type_traits>
#include <utility>

#include "kernels/half.h"

namespace vemo {
namespace korvane {
namespace {

double reduce_f64(__m256d v) noexcept {
    __m128d const pair = _mm_add_pd(_mm256_castpd256_pd128(v), _mm256_extractf128_pd(v, 1));
    return _mm_cvtsd_f64(_mm_add_sd(pair, _mm_unpackhi_pd(pair, pair)));
}

/// Sums 8 float lanes in 64-bit: each half is widened before adding.
double reduce_f32(__m256 v) noexcept {
    __m256d const low = _mm256_cvtps_pd(_mm256_castps256_ps128(v));
    __m256d const high = _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1));
    return reduce_f64(_mm256_add_pd(low, high));
}

std::int64_t reduce_i32(__m256i v) noexcept {
    __m256i const low = _mm256_cvtepi32_epi64(_mm256_castsi256_si128(v));
    __m256i const high = _mm256_cvtepi32_epi64(_mm256_extracti128_si256(v, 1));
    __m256i const sum = _mm256_add_epi64(low, high);
    __m128i const pair = _mm_add_epi64(_mm256_castsi256_si128(sum), _mm256_extracti128_si256(sum, 1));
    return _mm_cvtsi128_si64(pair) + _mm_extract_epi64(pair, 1);
}

float sqrt_f32(float x) noexcept { return _mm_cvtss_f32(_mm_sqrt_ss(_mm_set_ss(x))); }
double sqrt_f64(double x) noexcept { return _mm_cvtsd_f64(_mm_sqrt_sd(_mm_setzero_pd(), _mm_set_sd(x))); }

/// Processor approximation of 1/sqrt refined by one Newton step, in 32-bit floats.
float rsqrt_newton_f32(float x) noexcept {
    float const r = _mm_cvtss_f32(_mm_rsqrt_ss(_mm_set_ss(x)));
    return r * (1.5f - 0.5f * x * r * r);
}

/// Processor approximation of 1/sqrt of the narrowed sum, refined by one Newton step in 64-bit floats.
double rsqrt_newton_f64(double x) noexcept {
    double const r = _mm_cvtss_f32(_mm_rsqrt_ss(_mm_set_ss(static_cast<float>(x))));
    return r * (1.5 - 0.5 * x * r * r);
}

// Element loaders of the float-lane kernels: 8 elements widened to 32-bit float lanes (`load`), or 16 elements
// as two such blocks (`load_pair`). A pair may place the elements in other lanes than two single loads would, as
// long as it places those of a and b alike: the lanes are only ever summed.

struct f32_loader_t {
    using element_t = float;
    static __m256 load(float const* p) noexcept { return _mm256_loadu_ps(p); }
    static void load_pair(float const* p, __m256& first, __m256& second) noexcept {
        first = load(p), second = load(p + 8);
    }
};

struct f16_loader_t {
    using element_t = std::uint16_t;
    static __m256 load(std::uint16_t const* p) noexcept {
        return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<__m128i const*>(p)));
    }
    static void load_pair(std::uint16_t const* p, __m256& first, __m256& second) noexcept {
        first = load(p), second = load(p + 8);
    }
};

struct bf16_loader_t {
    using element_t = std::uint16_t;
    static __m256 load(std::uint16_t const* p) noexcept {
        __m256i const wide = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<__m128i const*>(p)));
        return _mm256_castsi256_ps(_mm256_slli_epi32(wide, 16));
    }
    /// Interleaving 16 values with zeros puts each into the high half of a 32-bit lane, which is its widened
    /// float: elements 0-3 and 8-11 land in `first`, 4-7 and 12-15 in `second`. One instruction per block,
    /// where `load` takes two.
    static void load_pair(std::uint16_t const* p, __m256& first, __m256& second) noexcept {
        __m256i const values = _mm256_loadu_si256(reinterpret_cast<__m256i const*>(p));
        __m256i const zeros = _mm256_setzero_si256();
        first = _mm256_castsi256_ps(_mm256_unpacklo_epi16(zeros, values));
        second = _mm256_castsi256_ps(_mm256_unpackhi_epi16(zeros, values));
    }
};

/// Sums the lanes of three float accumulators through 64-bit floats (each half widened, then added), all
/// three at once: the horizontal adds of one sum share their instructions with the other two.
void reduce_three_f32(__m256 x, __m256 y, __m256 z, double* out) noexcept {
    auto widen = [](__m256 v) {
        return _mm256_add_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(v)), _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1)));
    };
    __m256d const xy = _mm256_hadd_pd(widen(x), widen(y)); // x0+x1, y0+y1, x2+x3, y2+y3
    __m256d const zz = _mm256_hadd_pd(widen(z), widen(z)); // z0+z1, z0+z1, z2+z3, z2+z3
    __m128d const xy_sums = _mm_add_pd(_mm256_castpd256_pd128(xy), _mm256_extractf128_pd(xy, 1));
    __m128d const z_sums = _mm_add_pd(_mm256_castpd256_pd128(zz), _mm256_extractf128_pd(zz, 1));
    _mm_storeu_pd(out, xy_sums);
    out[2] = _mm_cvtsd_f64(z_sums);
}

// Families of the float-lane kernels: their set of lane sums, how a block of lanes updates it, how two sets
// combine and reduce to 64-bit sums, and how one f32 remainder element updates those (each product or squared
// difference rounded to 32-bit, then added in 64-bit). Sets are plain structs of named registers passed by
// value, so that the compiler keeps every set in registers.

/// One sum (dot, l2sq).
struct one_sum_t {
    __m256 sum;
};

struct dot_family_t {
    using set_t = one_sum_t;
    static set_t step(set_t s, __m256 x, __m256 y) noexcept { return {_mm256_fmadd_ps(x, y, s.sum)}; }
    static set_t add(set_t s, set_t t) noexcept { return {_mm256_add_ps(s.sum, t.sum)}; }
    static void reduce(set_t s, double* out) noexcept { out[0] = reduce_f32(s.sum); }
    static void scalar(double* s, float x, float y) noexcept { s[0] += static_cast<double>(x * y); }
};

struct l2sq_family_t {
    using set_t = one_sum_t;
    static set_t step(set_t s, __m256 x, __m256 y) noexcept {
        __m256 const d = _mm256_sub_ps(x, y);
        return {_mm256_fmadd_ps(d, d, s.sum)};
    }
    static set_t add(set_t s, set_t t) noexcept { return dot_family_t::add(s, t); }
    static void reduce(set_t s, double* out) noexcept { dot_family_t::reduce(s, out); }
    static void scalar(double* s, float x, float y) noexcept {
        float const d = x - y;
        s[0] += static_cast<double>(d * d);
    }
};

/// Sums ab, a2, b2.
struct cos_family_t {
    struct set_t {
        __m256 ab, a2, b2;
    };
    static set_t step(set_t s, __m256 x, __m256 y) noexcept {
        return {_mm256_fmadd_ps(x, y, s.ab), _mm256_fmadd_ps(x, x, s.a2), _mm256_fmadd_ps(y, y, s.b2)};
    }
    static set_t add(set_t s, set_t t) noexcept {
        return {_mm256_add_ps(s.ab, t.ab), _mm256_add_ps(s.a2, t.a2), _mm256_add_ps(s.b2, t.b2)};
    }
    static void reduce(set_t s, double* out) noexcept { reduce_three_f32(s.ab, s.a2, s.b2, out); }
    static void scalar(double* s, float x, float y) noexcept {
        s[0] += static_cast<double>(x * y);
        s[1] += static_cast<double>(x * x);
        s[2] += static_cast<double>(y * y);
    }
};

/// Runs family_at over a and b, writing its sums (reduced to 64-bit) into `out`.
template <typename loader_at, typename family_at>
void float_lanes(void const* a_raw, void const* b_raw, std::uint64_t n, double* out) noexcept {
    using element_t = typename loader_at::element_t;
    using set_t = typename family_at::set_t;
    // Independent accumulator sets hide the multiply-add latency: two FMA pipes of latency 4 want 8
    // multiply-adds in flight. Four sets of one sum; three sets of three sums fill the registers without
    // spilling. The main loop reads elements 16 at a time (see the loaders).
    constexpr bool four_sets = std::is_same_v<set_t, one_sum_t>;
    auto const* a = static_cast<element_t const*>(a_raw);
    auto const* b = static_cast<element_t const*>(b_raw);
    auto block = [a, b](set_t set, std::uint64_t at) {
        return family_at::step(set, loader_at::load(a + at), loader_at::load(b + at));
    };
    // 16 elements into two sets.
    auto pair = [a, b](set_t first, set_t second, std::uint64_t at) {
        __m256 a_first, a_second, b_first, b_second;
        loader_at::load_pair(a + at, a_first, a_second);
        loader_at::load_pair(b + at, b_first, b_second);
        return std::pair<set_t, set_t>{family_at::step(first, a_first, b_first),
                                       family_at::step(second, a_second, b_second)};
    };

    set_t s0, s1, s2, s3;
    std::memset(&s0, 0, sizeof(set_t));
    s1 = s2 = s3 = s0;

    std::uint64_t i = 0;
    if constexpr (four_sets) {
        for (; i + 32 <= n; i += 32) {
            std::tie(s0, s1) = pair(s0, s1, i);
            std::tie(s2, s3) = pair(s2, s3, i + 16);
        }
    } else {
        // Three pairs make six blocks, two for each set.
        for (; i + 48 <= n; i += 48) {
            std::tie(s0, s1) = pair(s0, s1, i);
            std::tie(s2, s0) = pair(s2, s0, i + 16);
            std::tie(s1, s2) = pair(s1, s2, i + 32);
        }
    }
    // Fewer than a step remain: whole pairs, then one whole block.
    for (; i + 16 <= n; i += 16)
        std::tie(s0, s1) = pair(s0, s1, i);
    if (i + 8 <= n)
        s2 = block(s2, i), i += 8;
    constexpr bool padded = !std::is_same_v<loader_at, f32_loader_t>;
    if (padded && i != n) {
        // Zero lanes add nothing to any of the sums.
        element_t a_tail[8] = {}, b_tail[8] = {};
        std::memcpy(a_tail, a + i, (n - i) * sizeof(element_t));
        std::memcpy(b_tail, b + i, (n - i) * sizeof(element_t));
        s3 = family_at::step(s3, loader_at::load(a_tail), loader_at::load(b_tail));
        i = n;
    }
    // The sets are combined lane by lane first, so that only one reduction per sum remains.
    family_at::reduce(family_at::add(family_at::add(s0, s1), family_at::add(s2, s3)), out);
    for (; i != n; ++i)
        family_at::scalar(out, a[i], b[i]);
}

template <typename loader_at>
void dot_float(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    double sum;
    float_lanes<loader_at, dot_family_t>(a, b, n, &sum);
    *result = sum;
}

template <typename loader_at>
void l2sq_float(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    double sum;
    float_lanes<loader_at, l2sq_family_t>(a, b, n, &sum);
    *result = sum;
}

template <typename loader_at>
void l2_float(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    double sum;
    float_lanes<loader_at, l2sq_family_t>(a, b, n, &sum);
    *result = sqrt_f32(static_cast<float>(sum));
}

/// The cosine's final step in 32-bit floats (f16, bf16, i8 and u8 data).
vexlane_distance_t cos_finish_f32(double ab, double a2, double b2) noexcept {
    if (!(a2 != 0) && !(b2 != 0))
        return 0;
    if (!(ab != 0))
        return 1;
    float const ra = rsqrt_newton_f32(static_cast<float>(a2));
    float const rb = rsqrt_newton_f32(static_cast<float>(b2));
    double const distance = 1.0f - static_cast<float>(ab) * (ra * rb);
    return distance > 0 ? distance : 0;
}

/// The cosine's final step in 64-bit floats (f32 data).
vexlane_distance_t cos_finish_f64(double ab, double a2, double b2) noexcept {
    if (!(a2 != 0) && !(b2 != 0))
        return 0;
    if (!(ab != 0))
        return 1;
    double const distance = 1.0 - ab * (rsqrt_newton_f64(a2) * rsqrt_newton_f64(b2));
    return distance > 0 ? distance : 0;
}

// 64-bit float lanes (f64 data).

template <typename family_at> struct f64_family_t;

template <> struct f64_family_t<l2sq_family_t> {
    static constexpr int sums = 1;
    static void step(__m256d* s, __m256d x, __m256d y) noexcept {
        __m256d const d = _mm256_sub_pd(x, y);
        s[0] = _mm256_fmadd_pd(d, d, s[0]);
    }
    static void scalar(double* s, double x, double y) noexcept {
        double const d = x - y;
        s[0] += d * d;
    }
};

template <> struct f64_family_t<cos_family_t> {
    static constexpr int sums = 3;
    static void step(__m256d* s, __m256d x, __m256d y) noexcept {
        s[0] = _mm256_fmadd_pd(x, y, s[0]);
        s[1] = _mm256_fmadd_pd(x, x, s[1]);
        s[2] = _mm256_fmadd_pd(y, y, s[2]);
    }
    static void scalar(double* s, double x, double y) noexcept {
        s[0] += x * y;
        s[1] += x * x;
        s[2] += y * y;
    }
};

template <typename family_at>
void double_lanes(void const* a_raw, void const* b_raw, std::uint64_t n, double* out) noexcept {
    using family_t = f64_family_t<family_at>;
    constexpr int sums = family_t::sums;
    constexpr int sets = 4;
    auto const* a = static_cast<double const*>(a_raw);
    auto const* b = static_cast<double const*>(b_raw);

    __m256d acc[sets][sums];
    for (auto& set : acc)
        for (auto& lanes : set)
            lanes = _mm256_setzero_pd();

    std::uint64_t i = 0;
    for (; i + 4 * sets <= n; i += 4 * sets)
        for (int k = 0; k != sets; ++k)
            family_t::step(acc[k], _mm256_loadu_pd(a + i + 4 * k), _mm256_loadu_pd(b + i + 4 * k));
    for (; i + 4 <= n; i += 4)
        family_t::step(acc[0], _mm256_loadu_pd(a + i), _mm256_loadu_pd(b + i));
    for (int s = 0; s != sums; ++s)
        out[s] = reduce_f64(_mm256_add_pd(_mm256_add_pd(acc[0][s], acc[1][s]), _mm256_add_pd(acc[2][s], acc[3][s])));
    for (; i != n; ++i)
        family_t::scalar(out, a[i], b[i]);
}

// Integer lanes (i8 and u8 data): 32 elements per block, widened to 16-bit lanes and summed pairwise into
// two 32-bit accumulators (low and high half of the block). A lane gains at most 2 * 255^2 per block, so the
// 32-bit lanes are moved into 64-bit sums every `blocks_per_flush` blocks and can never overflow.

constexpr std::uint64_t blocks_per_flush = 8192;

// Loaders of 16 elements widened to 16-bit lanes (the widening reads its 16 bytes straight from memory).
struct i8_widen_t {
    using element_t = std::int8_t;
    static __m256i load(std::int8_t const* p) noexcept {
        return _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<__m128i const*>(p)));
    }
};

struct u8_widen_t {
    using element_t = std::uint8_t;
    static __m256i load(std::uint8_t const* p) noexcept {
        return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<__m128i const*>(p)));
    }
};

struct int_dot_family_t {
    static constexpr int sums = 1;
    static void step(__m256i* s, __m256i x, __m256i y) noexcept {
        s[0] = _mm256_add_epi32(s[0], _mm256_madd_epi16(x, y));
    }
    static void scalar(std::int64_t* s, std::int32_t x, std::int32_t y) noexcept { s[0] += x * y; }
};

struct int_l2sq_family_t {
    static constexpr int sums = 1;
    static void step(__m256i* s, __m256i x, __m256i y) noexcept {
        __m256i const d = _mm256_sub_epi16(x, y);
        s[0] = _mm256_add_epi32(s[0], _mm256_madd_epi16(d, d));
    }
    static void scalar(std::int64_t* s, std::int32_t x, std::int32_t y) noexcept {
        std::int32_t const d = x - y;
        s[0] += d * d;
    }
};

struct int_cos_family_t {
    static constexpr int sums = 3;
    static void step(__m256i* s, __m256i x, __m256i y) noexcept {
        s[0] = _mm256_add_epi32(s[0], _mm256_madd_epi16(x, y));
        s[1] = _mm256_add_epi32(s[1], _mm256_madd_epi16(x, x));
        s[2] = _mm256_add_epi32(s[2], _mm256_madd_epi16(y, y));
    }
    static void scalar(std::int64_t* s, std::int32_t x, std::int32_t y) noexcept {
        s[0] += x * y;
        s[1] += x * x;
        s[2] += y * y;
    }
};

template <typename widen_at, typename family_at>
void integer_lanes(void const* a_raw, void const* b_raw, std::uint64_t n, std::int64_t* out) noexcept {
    using element_t = typename widen_at::element_t;
    constexpr int sums = family_at::sums;
    auto const* a = static_cast<element_t const*>(a_raw);
    auto const* b = static_cast<element_t const*>(b_raw);
    for (int s = 0; s != sums; ++s)
        out[s] = 0;

    std::uint64_t i = 0;
    while (i + 16 <= n) {
        __m256i low[sums], high[sums];
        for (int s = 0; s != sums; ++s)
            low[s] = high[s] = _mm256_setzero_si256();
        std::uint64_t const blocks = (n - i) / 32 < blocks_per_flush ? (n - i) / 32 : blocks_per_flush;
        for (std::uint64_t block = 0; block != blocks; ++block, i += 32) {
            family_at::step(low, widen_at::load(a + i), widen_at::load(b + i));
            family_at::step(high, widen_at::load(a + i + 16), widen_at::load(b + i + 16));
        }
        // A remainder of 16 or more elements takes one more half block: the sums are exact integers, so
        // this gives the same result as adding those elements one by one, only sooner.
        if (blocks != blocks_per_flush && i + 16 <= n) {
            family_at::step(low, widen_at::load(a + i), widen_at::load(b + i));
            i += 16;
        }
        // Within one flush a lane holds at most 8192 * 2 * 255^2 + 2 * 255^2 < 2^30 per half, so the two
        // halves add without overflow before the one 64-bit reduction.
        for (int s = 0; s != sums; ++s)
            out[s] += reduce_i32(_mm256_add_epi32(low[s], high[s]));
    }
    for (; i != n; ++i)
        family_at::scalar(out, a[i], b[i]);
}

template <typename widen_at>
void dot_integer(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    std::int64_t sum;
    integer_lanes<widen_at, int_dot_family_t>(a, b, n, &sum);
    *result = static_cast<vexlane_distance_t>(sum);
}

template <typename widen_at>
void l2sq_integer(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    std::int64_t sum;
    integer_lanes<widen_at, int_l2sq_family_t>(a, b, n, &sum);
    *result = static_cast<vexlane_distance_t>(sum);
}

template <typename widen_at>
void l2_integer(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    std::int64_t sum;
    integer_lanes<widen_at, int_l2sq_family_t>(a, b, n, &sum);
    *result = sqrt_f32(static_cast<float>(sum));
}

template <typename widen_at>
void cos_integer(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    std::int64_t sums[3];
    integer_lanes<widen_at, int_cos_family_t>(a, b, n, sums);
    *result = cos_finish_f32(static_cast<double>(sums[0]), static_cast<double>(sums[1]),
                             static_cast<double>(sums[2]));
}

// Complex dot and vdot on float lanes. Two accumulators: the lane-wise products (ar*br, ai*bi) and the
// products with every pair of b swapped (ar*bi, ai*br). dot negates ai*bi and takes the real part from the
// first, the imaginary part from the second; vdot negates ai*br instead.

template <typename loader_at, bool conjugate_ak>
void complex_dot(void const* a_raw, void const* b_raw, std::uint64_t n, vexlane_distance_t* result) noexcept {
    using element_t = typename loader_at::element_t;
    auto const* a = static_cast<element_t const*>(a_raw);
    auto const* b = static_cast<element_t const*>(b_raw);
    std::uint64_t const scalars = 2 * n;

    __m256 plain[2] = {_mm256_setzero_ps(), _mm256_setzero_ps()};
    __m256 swapped[2] = {_mm256_setzero_ps(), _mm256_setzero_ps()};
    std::uint64_t i = 0;
    for (; i + 16 <= scalars; i += 16)
        for (int k = 0; k != 2; ++k) {
            __m256 const x = loader_at::load(a + i + 8 * k);
            __m256 const y = loader_at::load(b + i + 8 * k);
            plain[k] = _mm256_fmadd_ps(x, y, plain[k]);
            swapped[k] = _mm256_fmadd_ps(x, _mm256_permute_ps(y, 0xB1), swapped[k]);
        }
    for (; i + 8 <= scalars; i += 8) {
        __m256 const x = loader_at::load(a + i);
        __m256 const y = loader_at::load(b + i);
        plain[0] = _mm256_fmadd_ps(x, y, plain[0]);
        swapped[0] = _mm256_fmadd_ps(x, _mm256_permute_ps(y, 0xB1), swapped[0]);
    }

    // Flipping the sign bit of every 64-bit lane negates the odd (second) float of each pair.
    __m256 const odd_sign = _mm256_castsi256_ps(_mm256_set1_epi64x(static_cast<long long>(0x8000000000000000ull)));
    __m256 plain_sum = _mm256_add_ps(plain[0], plain[1]);
    __m256 swapped_sum = _mm256_add_ps(swapped[0], swapped[1]);
    if constexpr (conjugate_ak)
        swapped_sum = _mm256_xor_ps(swapped_sum, odd_sign);
    else
        plain_sum = _mm256_xor_ps(plain_sum, odd_sign);
    double real = reduce_f32(plain_sum);
    double imaginary = reduce_f32(swapped_sum);

    for (; i != scalars; i += 2) {
        float ar, ai, br, bi;
        if constexpr (std::is_same_v<loader_at, f32_loader_t>) {
            ar = a[i], ai = a[i + 1], br = b[i], bi = b[i + 1];
        } else {
            ar = f16_to_f32(a[i]), ai = f16_to_f32(a[i + 1]), br = f16_to_f32(b[i]), bi = f16_to_f32(b[i + 1]);
        }
        if constexpr (conjugate_ak) {
            real += static_cast<double>(ar * br + ai * bi);
            imaginary += static_cast<double>(ar * bi - ai * br);
        } else {
            real += static_cast<double>(ar * br - ai * bi);
            imaginary += static_cast<double>(ar * bi + ai * br);
        }
    }
    result[0] = real;
    result[1] = imaginary;
}

} // namespace

void haswell_dot_i8(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    dot_integer<i8_widen_t>(a, b, n, result);
}
void haswell_dot_u8(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    dot_integer<u8_widen_t>(a, b, n, result);
}
void haswell_dot_f16(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    dot_float<f16_loader_t>(a, b, n, result);
}
void haswell_dot_bf16(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    dot_float<bf16_loader_t>(a, b, n, result);
}
void haswell_dot_f32(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    dot_float<f32_loader_t>(a, b, n, result);
}
void haswell_dot_f16c(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    complex_dot<f16_loader_t, false>(a, b, n, result);
}
void haswell_dot_f32c(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    complex_dot<f32_loader_t, false>(a, b, n, result);
}
void haswell_vdot_f16c(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    complex_dot<f16_loader_t, true>(a, b, n, result);
}
void haswell_vdot_f32c(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    complex_dot<f32_loader_t, true>(a, b, n, result);
}

void haswell_cos_i8(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    cos_integer<i8_widen_t>(a, b, n, result);
}
void haswell_cos_u8(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    cos_integer<u8_widen_t>(a, b, n, result);
}
void haswell_cos_f16(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    double sums[3];
    float_lanes<f16_loader_t, cos_family_t>(a, b, n, sums);
    *result = cos_finish_f32(sums[0], sums[1], sums[2]);
}
void haswell_cos_bf16(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    double sums[3];
    float_lanes<bf16_loader_t, cos_family_t>(a, b, n, sums);
    *result = cos_finish_f32(sums[0], sums[1], sums[2]);
}
void haswell_cos_f32(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    double sums[3];
    float_lanes<f32_loader_t, cos_family_t>(a, b, n, sums);
    *result = cos_finish_f64(sums[0], sums[1], sums[2]);
}
void haswell_cos_f64(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    double sums[3];
    double_lanes<cos_family_t>(a, b, n, sums);
    double const ab = sums[0], a2 = sums[1], b2 = sums[2];
    if (!(a2 != 0) && !(b2 != 0)) {
        *result = 0;
        return;
    }
    if (!(ab != 0)) {
        *result = 1;
        return;
    }
    // f64 norms may lie far outside the float range that the processor's reciprocal square root accepts,
    // so f64 takes the 64-bit square root.
    double const distance = 1.0 - ab * ((1.0 / sqrt_f64(a2)) * (1.0 / sqrt_f64(b2)));
    *result = distance > 0 ? distance : 0;
}

void haswell_l2sq_i8(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    l2sq_integer<i8_widen_t>(a, b, n, result);
}
void haswell_l2sq_u8(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    l2sq_integer<u8_widen_t>(a, b, n, result);
}
void haswell_l2sq_f16(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    l2sq_float<f16_loader_t>(a, b, n, result);
}
void haswell_l2sq_bf16(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    l2sq_float<bf16_loader_t>(a, b, n, result);
}
void haswell_l2sq_f32(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    l2sq_float<f32_loader_t>(a, b, n, result);
}
void haswell_l2sq_f64(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    double sum;
    double_lanes<l2sq_family_t>(a, b, n, &sum);
    *result = sum;
}

void haswell_l2_i8(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    l2_integer<i8_widen_t>(a, b, n, result);
}
void haswell_l2_u8(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    l2_integer<u8_widen_t>(a, b, n, result);
}
void haswell_l2_f16(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    l2_float<f16_loader_t>(a, b, n, result);
}
void haswell_l2_bf16(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    l2_float<bf16_loader_t>(a, b, n, result);
}
void haswell_l2_f32(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    l2_float<f32_loader_t>(a, b, n, result);
}
void haswell_l2_f64(void const* a, void const* b, std::uint64_t n, vexlane_distance_t* result) noexcept {
    double sum;
    double_lanes<l2sq_family_t>(a, b, n, &sum);
    *result = sqrt_f64(sum);
}

} // namespace korvane
} // namespace vemo
