#pragma once
// Scalar and metric kinds: the one-byte codes that name the element type of stored vectors and the distance
// function everywhere in the system. The codes are written into index files, so they never change.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "metrics/error.h"

namespace vemo {
namespace korvane {

/// Element type of stored vectors. Codes outside the enumerators may be carried (read from a file) and
/// behave like `unknown`.
enum class scalar_kind_t : std::uint8_t {
    unknown = 0,
    b1x8 = 1,
    u40 = 2,
    uuid = 3,
    bf16 = 4,
    f64 = 10,
    f32 = 11,
    f16 = 12,
    f8 = 13,
    u64 = 14,
    u32 = 15,
    u16 = 16,
    u8 = 17,
    i64 = 20,
    i32 = 21,
    i16 = 22,
    i8 = 23,
};

/// Distance function, coded by an ASCII letter. Codes outside the enumerators select no metric.
enum class metric_kind_t : std::uint8_t {
    unknown = 0,
    hamming = 'b',
    cos = 'c',
    divergence = 'd',
    l2sq = 'e',
    haversine = 'h',
    ip = 'i',
    jaccard = 'j',
    pearson = 'p',
    sorensen = 's',
    tanimoto = 't',
};

/// Bits one scalar of `kind` occupies; 0 for `unknown` and every unlisted code.
constexpr std::size_t bits_per_scalar(scalar_kind_t kind) noexcept {
    switch (kind) {
    case scalar_kind_t::b1x8: return 1;
    case scalar_kind_t::u40: return 40;
    case scalar_kind_t::uuid: return 128;
    case scalar_kind_t::bf16: return 16;
    case scalar_kind_t::f64: return 64;
    case scalar_kind_t::f32: return 32;
    case scalar_kind_t::f16: return 16;
    case scalar_kind_t::f8: return 8;
    case scalar_kind_t::u64: return 64;
    case scalar_kind_t::u32: return 32;
    case scalar_kind_t::u16: return 16;
    case scalar_kind_t::u8: return 8;
    case scalar_kind_t::i64: return 64;
    case scalar_kind_t::i32: return 32;
    case scalar_kind_t::i16: return 16;
    case scalar_kind_t::i8: return 8;
    default: return 0;
    }
}

/// Bytes of one stored vector: ceil(dimensions * bits / 8). The product is split so that it cannot wrap
/// for dimensions read from a file; a length that does not fit in size_t saturates to SIZE_MAX, which
/// every allocation then refuses.
constexpr std::size_t bytes_per_vector(std::size_t dimensions, scalar_kind_t kind) noexcept {
    std::size_t const bits = bits_per_scalar(kind);
    std::size_t const whole_bytes_of_octets = dimensions / 8;
    std::size_t const tail_bytes = (dimensions % 8 * bits + 7) / 8;
    if (bits && whole_bytes_of_octets > SIZE_MAX / bits)
        return SIZE_MAX;
    std::size_t const head_bytes = whole_bytes_of_octets * bits;
    if (head_bytes > SIZE_MAX - tail_bytes)
        return SIZE_MAX;
    return head_bytes + tail_bytes;
}

/// Translates a scalar-kind byte of a file written with format 2.0 to 2.9, whose numbering had no `bf16`
/// and no `u16`. Bytes above 14 were never legacy codes and pass unchanged.
constexpr scalar_kind_t scalar_kind_from_legacy_code(std::uint8_t code) noexcept {
    constexpr std::uint8_t current[15] = {0, 1, 2, 3, 10, 11, 12, 13, 14, 15, 17, 20, 21, 22, 23};
    return static_cast<scalar_kind_t>(code <= 14 ? current[code] : code);
}

/// "unknown" for code 0, "" for unlisted codes.
constexpr char const* metric_kind_name(metric_kind_t kind) noexcept {
    switch (kind) {
    case metric_kind_t::unknown: return "unknown";
    case metric_kind_t::hamming: return "hamming";
    case metric_kind_t::cos: return "cos";
    case metric_kind_t::divergence: return "divergence";
    case metric_kind_t::l2sq: return "l2sq";
    case metric_kind_t::haversine: return "haversine";
    case metric_kind_t::ip: return "ip";
    case metric_kind_t::jaccard: return "jaccard";
    case metric_kind_t::pearson: return "pearson";
    case metric_kind_t::sorensen: return "sorensen";
    case metric_kind_t::tanimoto: return "tanimoto";
    default: return "";
    }
}

/// "" for code 0 and for unlisted codes.
constexpr char const* scalar_kind_name(scalar_kind_t kind) noexcept {
    switch (kind) {
    case scalar_kind_t::b1x8: return "b1x8";
    case scalar_kind_t::u40: return "u40";
    case scalar_kind_t::uuid: return "uuid";
    case scalar_kind_t::bf16: return "bf16";
    case scalar_kind_t::f64: return "f64";
    case scalar_kind_t::f32: return "f32";
    case scalar_kind_t::f16: return "f16";
    case scalar_kind_t::f8: return "f8";
    case scalar_kind_t::u64: return "u64";
    case scalar_kind_t::u32: return "u32";
    case scalar_kind_t::u16: return "u16";
    case scalar_kind_t::u8: return "u8";
    case scalar_kind_t::i64: return "i64";
    case scalar_kind_t::i32: return "i32";
    case scalar_kind_t::i16: return "i16";
    case scalar_kind_t::i8: return "i8";
    default: return "";
    }
}

/// Outcome of parsing a metric spelling: `kind` is meaningful only while `error` is empty.
struct metric_kind_result_t {
    metric_kind_t kind = metric_kind_t::unknown;
    error_t error;
};

/// Outcome of parsing a scalar spelling: `kind` is meaningful only while `error` is empty.
struct scalar_kind_result_t {
    scalar_kind_t kind = scalar_kind_t::unknown;
    error_t error;
};

namespace detail {

/// Exact, case-sensitive comparison of a counted text against a literal; the text needs no terminator.
inline bool spelling_equals(char const* text, std::size_t length, char const* literal) noexcept {
    std::size_t const literal_length = std::strlen(literal);
    return text && length == literal_length && std::memcmp(text, literal, length) == 0;
}

} // namespace detail

/// Parses the metric spelling given at index creation; `name` need not be zero-terminated.
inline metric_kind_result_t metric_kind_from_name(char const* name, std::size_t length) noexcept {
    struct spelling_t {
        char const* text;
        metric_kind_t kind;
    };
    static constexpr spelling_t spellings[] = {
        {"l2sq", metric_kind_t::l2sq},         {"euclidean_sq", metric_kind_t::l2sq},
        {"ip", metric_kind_t::ip},             {"inner", metric_kind_t::ip},
        {"dot", metric_kind_t::ip},            {"cos", metric_kind_t::cos},
        {"angular", metric_kind_t::cos},       {"haversine", metric_kind_t::haversine},
        {"divergence", metric_kind_t::divergence}, {"jaccard", metric_kind_t::jaccard},
        {"pearson", metric_kind_t::pearson},   {"hamming", metric_kind_t::hamming},
        {"tanimoto", metric_kind_t::tanimoto}, {"sorensen", metric_kind_t::sorensen},
    };
    metric_kind_result_t result;
    for (spelling_t const& spelling : spellings)
        if (detail::spelling_equals(name, length, spelling.text)) {
            result.kind = spelling.kind;
            return result;
        }
    result.error = "Unknown distance, choose: l2sq, ip, cos, haversine, divergence, jaccard, pearson, hamming, "
                   "tanimoto, sorensen";
    return result;
}

/// Parses the scalar spelling given at index creation; `name` need not be zero-terminated. Only the six
/// kinds that vectors can be stored in are accepted, and packed bits are spelled "b1".
inline scalar_kind_result_t scalar_kind_from_name(char const* name, std::size_t length) noexcept {
    struct spelling_t {
        char const* text;
        scalar_kind_t kind;
    };
    static constexpr spelling_t spellings[] = {
        {"f64", scalar_kind_t::f64},   {"f32", scalar_kind_t::f32}, {"f16", scalar_kind_t::f16},
        {"bf16", scalar_kind_t::bf16}, {"i8", scalar_kind_t::i8},   {"b1", scalar_kind_t::b1x8},
    };
    scalar_kind_result_t result;
    for (spelling_t const& spelling : spellings)
        if (detail::spelling_equals(name, length, spelling.text)) {
            result.kind = spelling.kind;
            return result;
        }
    result.error = "Unknown type, choose: f64, f32, f16, bf16, i8, b1";
    return result;
}

} // namespace korvane
} // namespace vemo
