#pragma once
// Conversions between the stored scalar kind of an index and the six vector kinds callers use. Each
// conversion writes exactly the byte length of `dimensions` scalars of its target kind, never allocates,
// and reads and writes through unaligned accesses, so caller buffers need no alignment.

#include <immintrin.h>

#include <cmath>
#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "metrics/scalar_kind.h"
#include "metrics/scalar_types.h"

namespace vemo {
namespace korvane {

/// Converts `dimensions` scalars at `input` into `output`. False when both kinds are the same: nothing is
/// written and the caller uses the input bytes as they are.
using cast_punned_t = bool (*)(std::byte const* input, std::size_t dimensions, std::byte* output);

namespace detail {

/// Converts one element between double, float, f16 and bf16. Narrowing to f16 or bf16 goes through float,
/// so a double is rounded twice.
template <typename to_at, typename from_at> inline to_at convert_scalar(from_at value) noexcept {
    if constexpr (std::is_same<to_at, from_at>::value)
        return value;
    else if constexpr (std::is_same<to_at, double>::value)
        return static_cast<double>(scalar_to_float(value));
    else if constexpr (std::is_same<to_at, float>::value)
        return scalar_to_float(value);
    else if constexpr (std::is_same<to_at, f16_bits_t>::value)
        return float_to_f16(scalar_to_float(value));
    else
        return float_to_bf16(scalar_to_float(value));
}

template <typename scalar_at> inline scalar_at load_at(std::byte const* array, std::size_t index) noexcept {
    return load_unaligned<scalar_at>(array + index * sizeof(scalar_at));
}

template <typename scalar_at> inline void store_at(std::byte* array, std::size_t index, scalar_at value) noexcept {
    store_unaligned<scalar_at>(array + index * sizeof(scalar_at), value);
}

/// Eight floats to eight halves, IEEE round to nearest even; NaNs become 0x7E00 with their sign, which the
/// instruction alone would not do (it keeps the payload).
inline void float_to_f16_x8(std::byte const* input, std::byte* output) noexcept {
    __m256 const values = _mm256_loadu_ps(reinterpret_cast<float const*>(input));
    __m128i const halves = _mm256_cvtps_ph(values, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    __m256i const nan_lanes = _mm256_castps_si256(_mm256_cmp_ps(values, values, _CMP_UNORD_Q));
    __m256i const nan_halves = _mm256_or_si256(
        _mm256_and_si256(_mm256_srli_epi32(_mm256_castps_si256(values), 16), _mm256_set1_epi32(0x8000)),
        _mm256_set1_epi32(0x7E00));
    __m128i const nan_mask =
        _mm_packs_epi32(_mm256_castsi256_si128(nan_lanes), _mm256_extracti128_si256(nan_lanes, 1));
    __m128i const nan_values =
        _mm_packus_epi32(_mm256_castsi256_si128(nan_halves), _mm256_extracti128_si256(nan_halves, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(output), _mm_blendv_epi8(halves, nan_values, nan_mask));
}

/// Eight halves to eight floats, exact.
inline void f16_to_float_x8(std::byte const* input, std::byte* output) noexcept {
    __m128i const halves = _mm_loadu_si128(reinterpret_cast<__m128i const*>(input));
    _mm256_storeu_ps(reinterpret_cast<float*>(output), _mm256_cvtph_ps(halves));
}

} // namespace detail

/// Element-wise conversion between two of double, float, f16 and bf16; the identity returns false.
template <typename from_at, typename to_at> struct cast_gt {
    static constexpr bool narrows_float_to_f16_ =
        std::is_same<from_at, float>::value && std::is_same<to_at, f16_bits_t>::value;
    static constexpr bool widens_f16_to_float_ =
        std::is_same<from_at, f16_bits_t>::value && std::is_same<to_at, float>::value;

    static bool try_(std::byte const* input, std::size_t dimensions, std::byte* output) noexcept {
        std::size_t const blocked = narrows_float_to_f16_ || widens_f16_to_float_ ? dimensions / 8 : 0;
        for (std::size_t block = 0; block != blocked; ++block) {
            std::byte const* block_input = input + block * 8 * sizeof(from_at);
            std::byte* block_output = output + block * 8 * sizeof(to_at);
            if constexpr (narrows_float_to_f16_)
                detail::float_to_f16_x8(block_input, block_output);
            if constexpr (widens_f16_to_float_)
                detail::f16_to_float_x8(block_input, block_output);
        }
        for (std::size_t i = blocked * 8; i < dimensions; ++i)
            detail::store_at<to_at>(output, i, detail::convert_scalar<to_at>(detail::load_at<from_at>(input, i)));
        return true;
    }
};

template <typename scalar_at> struct cast_gt<scalar_at, scalar_at> {
    static bool try_(std::byte const*, std::size_t, std::byte*) noexcept { return false; }
};

/// Quantises to signed char: the vector's direction scaled to 127, truncated toward zero, so the
/// magnitude is lost and -128 never occurs. A vector without a direction, that is all zeros or with
/// any NaN or infinite component, quantises to all zeros. Norms that overflow or underflow in double
/// (possible only for double input) are taken after scaling by the largest magnitude.
template <typename from_at> struct cast_to_i8_gt {
    static double widen_(std::byte const* input, std::size_t index) noexcept {
        if constexpr (std::is_same<from_at, double>::value)
            return detail::load_at<double>(input, index);
        else
            return scalar_to_float(detail::load_at<from_at>(input, index));
    }

    /// Elements [index, index + 4) widened to double lanes, by the rules of `widen_`.
    static __m256d widen4_(std::byte const* input, std::size_t index) noexcept {
        std::byte const* first = input + index * sizeof(from_at);
        if constexpr (std::is_same<from_at, double>::value)
            return _mm256_loadu_pd(reinterpret_cast<double const*>(first));
        else if constexpr (std::is_same<from_at, float>::value)
            return _mm256_cvtps_pd(_mm_loadu_ps(reinterpret_cast<float const*>(first)));
        else if constexpr (std::is_same<from_at, f16_bits_t>::value)
            return _mm256_cvtps_pd(_mm_cvtph_ps(_mm_loadl_epi64(reinterpret_cast<__m128i const*>(first))));
        else
            return _mm256_cvtps_pd(_mm_castsi128_ps(
                _mm_slli_epi32(_mm_cvtepu16_epi32(_mm_loadl_epi64(reinterpret_cast<__m128i const*>(first))), 16)));
    }

    static signed char quantise_(double value) noexcept {
        double const clamped = value < -127.0 ? -127.0 : value > 127.0 ? 127.0 : value;
        return static_cast<signed char>(static_cast<int>(clamped));
    }

    /// Writes trunc(clamp(x_i * factor)) for a vector whose components are all finite.
    static void scale_(std::byte const* input, std::size_t dimensions, double factor, std::byte* output) noexcept {
        std::size_t const blocked = dimensions / 16 * 16;
        __m256d const factors = _mm256_set1_pd(factor);
        __m256d const upper = _mm256_set1_pd(127.0), lower = _mm256_set1_pd(-127.0);
        auto truncate4 = [&](std::size_t index) noexcept {
            __m256d const scaled = _mm256_mul_pd(widen4_(input, index), factors);
            return _mm256_cvttpd_epi32(_mm256_max_pd(_mm256_min_pd(scaled, upper), lower));
        };
        for (std::size_t i = 0; i != blocked; i += 16) {
            // Values are within [-127, 127], so the saturating packs never saturate.
            __m128i const low = _mm_packs_epi32(truncate4(i), truncate4(i + 4));
            __m128i const high = _mm_packs_epi32(truncate4(i + 8), truncate4(i + 12));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(output + i), _mm_packs_epi16(low, high));
        }
        for (std::size_t i = blocked; i != dimensions; ++i)
            detail::store_at<signed char>(output, i, quantise_(widen_(input, i) * factor));
    }

    static bool try_(std::byte const* input, std::size_t dimensions, std::byte* output) noexcept {
        // Sixteen interleaved partial sums in four registers: one chain of dependent additions would bound
        // the pass by the latency of an addition per element.
        std::size_t const blocked = dimensions / 16 * 16;
        __m256d lanes[4] = {_mm256_setzero_pd(), _mm256_setzero_pd(), _mm256_setzero_pd(), _mm256_setzero_pd()};
        for (std::size_t i = 0; i != blocked; i += 16)
            for (std::size_t group = 0; group != 4; ++group) {
                __m256d const values = widen4_(input, i + group * 4);
                lanes[group] = _mm256_add_pd(lanes[group], _mm256_mul_pd(values, values));
            }
        double partial[4];
        _mm256_storeu_pd(partial, _mm256_add_pd(_mm256_add_pd(lanes[0], lanes[1]), _mm256_add_pd(lanes[2], lanes[3])));
        for (std::size_t i = blocked; i != dimensions; ++i) {
            double const value = widen_(input, i);
            partial[(i - blocked) % 4] += value * value;
        }
        double const squares = (partial[0] + partial[1]) + (partial[2] + partial[3]);
        if (std::isfinite(squares) && squares >= DBL_MIN) {
            scale_(input, dimensions, (1.0 / std::sqrt(squares)) * 127.0, output);
            return true;
        }
        rescaled_(input, dimensions, output);
        return true;
    }

    /// The rare path: no direction (zeros, NaN or infinity), or a norm out of the range of double.
    static void rescaled_(std::byte const* input, std::size_t dimensions, std::byte* output) noexcept {
        double largest = 0;
        bool has_nan = false;
        for (std::size_t i = 0; i != dimensions; ++i) {
            double const value = widen_(input, i);
            has_nan |= std::isnan(value);
            largest = std::fmax(largest, std::fabs(value));
        }
        if (has_nan || !(largest > 0) || !std::isfinite(largest)) {
            std::memset(output, 0, dimensions);
            return;
        }
        double scaled_squares = 0;
        for (std::size_t i = 0; i != dimensions; ++i) {
            double const value = widen_(input, i) / largest;
            scaled_squares += value * value;
        }
        double const factor = (1.0 / std::sqrt(scaled_squares)) * 127.0;
        for (std::size_t i = 0; i != dimensions; ++i)
            detail::store_at<signed char>(output, i, quantise_(widen_(input, i) / largest * factor));
    }
};

/// Dequantises from signed char: x / 127, as a double constant for double output and as the float
/// 0x3C010204 otherwise; f16 and bf16 are narrowed from the float.
template <typename to_at> struct cast_from_i8_gt {
    static bool try_(std::byte const* input, std::size_t dimensions, std::byte* output) noexcept {
        for (std::size_t i = 0; i != dimensions; ++i) {
            signed char const value = detail::load_at<signed char>(input, i);
            if constexpr (std::is_same<to_at, double>::value)
                detail::store_at<double>(output, i, value * (1.0 / 127.0));
            else
                detail::store_at<to_at>(output, i, detail::convert_scalar<to_at>(value * (1.0f / 127.0f)));
        }
        return true;
    }
};

/// Packs to bits: scalar i sets bit 0x80 >> (i % 8) of byte i / 8 when it is greater than zero. Bits past
/// the last dimension are cleared.
template <typename from_at> struct cast_to_b1x8_gt {
    static bool is_positive_(std::byte const* input, std::size_t index) noexcept {
        from_at const value = detail::load_at<from_at>(input, index);
        if constexpr (std::is_same<from_at, f16_bits_t>::value || std::is_same<from_at, bf16_bits_t>::value)
            return scalar_to_float(value) > 0;
        else
            return value > 0;
    }

    static bool try_(std::byte const* input, std::size_t dimensions, std::byte* output) noexcept {
        for (std::size_t byte = 0; byte * 8 < dimensions; ++byte) {
            std::size_t const first = byte * 8;
            std::size_t const count = dimensions - first < 8 ? dimensions - first : 8;
            unsigned bits = 0;
            for (std::size_t bit = 0; bit != count; ++bit)
                bits |= is_positive_(input, first + bit) ? 0x80u >> bit : 0u;
            output[byte] = static_cast<std::byte>(bits);
        }
        return true;
    }
};

/// Unpacks bits to ones and zeros of the target type.
template <typename to_at> struct cast_from_b1x8_gt {
    static to_at one_() noexcept {
        if constexpr (std::is_same<to_at, f16_bits_t>::value)
            return {0x3C00};
        else if constexpr (std::is_same<to_at, bf16_bits_t>::value)
            return {0x3F80};
        else
            return to_at(1);
    }

    static bool try_(std::byte const* input, std::size_t dimensions, std::byte* output) noexcept {
        to_at const one = one_();
        to_at const zero{};
        for (std::size_t i = 0; i != dimensions; ++i) {
            unsigned const byte = std::to_integer<unsigned>(input[i / 8]);
            detail::store_at<to_at>(output, i, (byte & (0x80u >> (i % 8))) ? one : zero);
        }
        return true;
    }
};

namespace detail {

/// The conversion between two vector types, by the first matching rule: same type, unpacking bits,
/// packing bits, dequantising, quantising, element-wise.
template <typename from_at, typename to_at> constexpr cast_punned_t cast_function() noexcept {
    if constexpr (std::is_same<from_at, to_at>::value)
        return &cast_gt<from_at, to_at>::try_;
    else if constexpr (std::is_same<from_at, b1x8_t>::value)
        return &cast_from_b1x8_gt<to_at>::try_;
    else if constexpr (std::is_same<to_at, b1x8_t>::value)
        return &cast_to_b1x8_gt<from_at>::try_;
    else if constexpr (std::is_same<from_at, signed char>::value)
        return &cast_from_i8_gt<to_at>::try_;
    else if constexpr (std::is_same<to_at, signed char>::value)
        return &cast_to_i8_gt<from_at>::try_;
    else
        return &cast_gt<from_at, to_at>::try_;
}

} // namespace detail

/// The twelve conversions between an index's stored kind and each vector kind; all null for kinds that
/// vectors cannot be stored in.
struct casts_punned_t {
    cast_punned_t import_b1x8 = nullptr;
    cast_punned_t import_i8 = nullptr;
    cast_punned_t import_f16 = nullptr;
    cast_punned_t import_bf16 = nullptr;
    cast_punned_t import_f32 = nullptr;
    cast_punned_t import_f64 = nullptr;
    cast_punned_t export_b1x8 = nullptr;
    cast_punned_t export_i8 = nullptr;
    cast_punned_t export_f16 = nullptr;
    cast_punned_t export_bf16 = nullptr;
    cast_punned_t export_f32 = nullptr;
    cast_punned_t export_f64 = nullptr;

    template <typename stored_at> static casts_punned_t make_for_() noexcept {
        casts_punned_t casts;
        casts.import_b1x8 = detail::cast_function<b1x8_t, stored_at>();
        casts.import_i8 = detail::cast_function<signed char, stored_at>();
        casts.import_f16 = detail::cast_function<f16_bits_t, stored_at>();
        casts.import_bf16 = detail::cast_function<bf16_bits_t, stored_at>();
        casts.import_f32 = detail::cast_function<float, stored_at>();
        casts.import_f64 = detail::cast_function<double, stored_at>();
        casts.export_b1x8 = detail::cast_function<stored_at, b1x8_t>();
        casts.export_i8 = detail::cast_function<stored_at, signed char>();
        casts.export_f16 = detail::cast_function<stored_at, f16_bits_t>();
        casts.export_bf16 = detail::cast_function<stored_at, bf16_bits_t>();
        casts.export_f32 = detail::cast_function<stored_at, float>();
        casts.export_f64 = detail::cast_function<stored_at, double>();
        return casts;
    }

    static casts_punned_t make(scalar_kind_t stored) noexcept {
        switch (stored) {
        case scalar_kind_t::b1x8: return make_for_<b1x8_t>();
        case scalar_kind_t::i8: return make_for_<signed char>();
        case scalar_kind_t::f16: return make_for_<f16_bits_t>();
        case scalar_kind_t::bf16: return make_for_<bf16_bits_t>();
        case scalar_kind_t::f32: return make_for_<float>();
        case scalar_kind_t::f64: return make_for_<double>();
        default: return {};
        }
    }
};

} // namespace korvane
} // namespace vemo
