#pragma once
// The Java handle of an index: the address of one heap-allocated index_dense_t, 0 for none. The Java class
// never passes 0 or a destroyed handle to a method that needs an index.

#include <jni.h>

#include <cstddef>

#include "index/index_dense.h"

namespace vemo {
namespace korvane {
namespace jni {

inline index_dense_t* index_pointer(jlong handle) noexcept { return reinterpret_cast<index_dense_t*>(handle); }
inline index_dense_t& index_of(jlong handle) noexcept { return *index_pointer(handle); }
inline jlong handle_of(index_dense_t* index) noexcept { return reinterpret_cast<jlong>(index); }

/// The key with every bit set marks removed entries inside the index: an entry stored under it would be
/// hidden from every search and taken for a free slot when its file is loaded again.
constexpr unsigned long vacant_key_k = ~0ul;
constexpr char const* vacant_key_message_k = "Key -1 (all bits set) is reserved for removed entries";

/// Whether the keys first, first + 1, ..., first + count - 1 (wrapping around) include the vacant key.
constexpr bool keys_include_vacant(unsigned long first, std::size_t count) noexcept {
    return count != 0 && vacant_key_k - first < count;
}

} // namespace jni
} // namespace korvane
} // namespace vemo
