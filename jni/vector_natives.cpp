// Native methods of quarn.vemo.korvane.Index: adding, searching, retrieving, removing and renaming.

#include <climits>
#include <cstddef>
#include <cstring>
#include <memory>
#include <type_traits>
#include <utility>

#include "index/index_dense.h"
#include "jni/index_handle.h"
#include "jni/jni_support.h"
#include "quarn_vemo_korvane_Index.h"

using namespace vemo::korvane;
using namespace vemo::korvane::jni;

namespace {

constexpr char const* size_exceeds_k = "Size exceeds jsize range";
constexpr char const* key_not_found_k = "key not found";
constexpr char const* short_query_k = "Query is shorter than the dimensions";

/// Adds the vectors laid end to end in a Java array under consecutive keys; the ones before a failure stay.
template <typename array_at>
void add_array(JNIEnv* env, jlong handle, jlong first_key, array_at vectors) {
    index_dense_t& index = index_of(handle);
    array_elements_gt<array_at> elements(env, vectors);
    if (!elements)
        return raise(env, illegal_argument_k, "vectors must not be null");

    // A length of 0 is the only whole number of vectors of 0 dimensions, and it holds none.
    std::size_t const dimensions = index.dimensions();
    std::size_t const length = elements.length();
    if (dimensions == 0 ? length != 0 : length % dimensions != 0)
        return raise(env, illegal_argument_k, "Vector length must be a multiple of dimensions");
    std::size_t const count = dimensions == 0 ? 0 : length / dimensions;
    unsigned long const first = static_cast<unsigned long>(first_key);
    if (keys_include_vacant(first, count))
        return raise(env, illegal_argument_k, vacant_key_message_k);

    for (std::size_t i = 0; i != count; ++i) {
        auto added = index.add(first + i, elements.data() + i * dimensions);
        if (added.error)
            return raise(env, error_k, added.error.release());
    }
}

/// Adds one vector read from the start of a direct buffer of `scalar_at` elements.
template <typename scalar_at>
void add_buffer(JNIEnv* env, jlong handle, jlong key, jobject vector) {
    index_dense_t& index = index_of(handle);
    void* address = vector ? env->GetDirectBufferAddress(vector) : nullptr;
    if (!address)
        return raise(env, illegal_argument_k, "Buffer must be direct ByteBuffer");
    // Reading one vector past the buffer's end would read foreign memory, so every element type is checked;
    // a byte vector must fit exactly.
    jlong const capacity = env->GetDirectBufferCapacity(vector);
    std::size_t const dimensions = index.dimensions();
    bool const exact = std::is_same_v<scalar_at, jbyte>;
    if (capacity < 0 || (exact ? static_cast<std::size_t>(capacity) != dimensions
                               : static_cast<std::size_t>(capacity) < dimensions))
        return raise(env, illegal_argument_k, "Vector dimensions mismatch");
    if (static_cast<unsigned long>(key) == vacant_key_k)
        return raise(env, illegal_argument_k, vacant_key_message_k);

    auto added = index.add(static_cast<unsigned long>(key), static_cast<scalar_at const*>(address));
    if (added.error)
        raise(env, error_k, added.error.release());
}

/// A new Java array of the keys a search found, nearest first; null with an exception when it failed.
/// Keys are read from the graph's nodes after the search, so an entry removed meanwhile shows the vacant
/// key; it is left out rather than reported as a key nobody added.
jlongArray keys_of(JNIEnv* env, index_dense_t::search_result_t result) {
    if (result.error)
        return raise<jlongArray>(env, error_k, result.error.release());
    if (result.count > static_cast<std::size_t>(INT_MAX))
        return raise<jlongArray>(env, illegal_argument_k, size_exceeds_k);

    scratch_gt<jlong, 256> keys(result.count);
    jsize live = 0;
    for (std::size_t i = 0; i != result.count; ++i) {
        unsigned long const key = result.key(i);
        if (key != vacant_key_k)
            keys.data()[live++] = static_cast<jlong>(key);
    }
    jlongArray array = env->NewLongArray(live);
    if (array)
        env->SetLongArrayRegion(array, 0, live, keys.data());
    return array;
}

/// The query is copied (its first `dimensions` elements only) rather than pinned: the JVM would copy the
/// whole array into fresh memory and free it again on every call.
template <typename array_at>
jlongArray search_array(JNIEnv* env, jlong handle, array_at query, jlong wanted) {
    index_dense_t& index = index_of(handle);
    if (!query)
        return raise<jlongArray>(env, illegal_argument_k, "query must not be null");
    std::size_t const dimensions = index.dimensions();
    if (static_cast<std::size_t>(env->GetArrayLength(query)) < dimensions)
        return raise<jlongArray>(env, illegal_argument_k, short_query_k);
    array_prefix_gt<array_at> elements(env, query, dimensions);
    return keys_of(env, index.search(elements.data(), static_cast<std::size_t>(wanted)));
}

/// The start of a direct query buffer holding at least one vector, or null with an exception raised.
template <typename scalar_at>
scalar_at const* query_address(JNIEnv* env, index_dense_t const& index, jobject query, char const* not_direct) {
    void* address = query ? env->GetDirectBufferAddress(query) : nullptr;
    if (!address)
        return raise<scalar_at const*>(env, illegal_argument_k, not_direct);
    jlong const capacity = env->GetDirectBufferCapacity(query);
    if (capacity < 0 || static_cast<std::size_t>(capacity) < index.dimensions())
        return raise<scalar_at const*>(env, illegal_argument_k, short_query_k);
    return static_cast<scalar_at const*>(address);
}

template <typename scalar_at>
jlongArray search_buffer(JNIEnv* env, jlong handle, jobject query, jlong wanted) {
    index_dense_t& index = index_of(handle);
    scalar_at const* vector = query_address<scalar_at>(env, index, query, "Buffer must be direct ByteBuffer");
    if (!vector)
        return nullptr;
    return keys_of(env, index.search(vector, static_cast<std::size_t>(wanted)));
}

/// Writes the found keys into a direct buffer of 64-bit elements from its position on and advances the
/// position past them, as relative puts would.
template <typename scalar_at>
jint search_into_buffer(JNIEnv* env, jlong handle, jobject query, jobject results, jlong wanted) {
    index_dense_t& index = index_of(handle);
    scalar_at const* vector = query_address<scalar_at>(env, index, query, "Query buffer must be direct ByteBuffer");
    if (!vector)
        return 0;
    auto* keys = static_cast<char*>(results ? env->GetDirectBufferAddress(results) : nullptr);
    if (!keys)
        return raise<jint>(env, illegal_argument_k, "Results buffer must be direct ByteBuffer");

    jclass type = env->GetObjectClass(results);
    jmethodID get_position = env->GetMethodID(type, "position", "()I");
    if (!get_position)
        return 0;
    jmethodID set_position = env->GetMethodID(type, "position", "(I)Ljava/nio/Buffer;");
    if (!set_position)
        return 0;
    jint const position = env->CallIntMethod(results, get_position);
    if (env->ExceptionCheck())
        return 0;
    jlong const capacity = env->GetDirectBufferCapacity(results);

    std::size_t count = 0;
    {
        auto found = index.search(vector, static_cast<std::size_t>(wanted));
        if (found.error)
            return raise<jint>(env, error_k, found.error.release());
        if (position < 0 || capacity < position || static_cast<std::size_t>(capacity - position) < found.count)
            return raise<jint>(env, illegal_argument_k, "Results buffer is too small");
        // A view of a byte buffer may start at any byte, so the keys are copied rather than stored as jlongs.
        // Entries removed since the search found them show the vacant key and are left out.
        for (std::size_t i = 0; i != found.count; ++i) {
            jlong const key = static_cast<jlong>(found.key(i));
            if (static_cast<unsigned long>(key) == vacant_key_k)
                continue;
            std::memcpy(keys + (static_cast<std::size_t>(position) + count) * sizeof(jlong), &key, sizeof(jlong));
            ++count;
        }
    }
    jobject same = env->CallObjectMethod(results, set_position, static_cast<jint>(position + count));
    if (same)
        env->DeleteLocalRef(same);
    env->DeleteLocalRef(type);
    return static_cast<jint>(count);
}

/// Copies the vector of a key, converted to the array's element type, into a Java array of at least the
/// index's dimensions; the array is left unchanged when the key is absent.
template <typename array_at>
void get_into(JNIEnv* env, jlong handle, jlong key, array_at output) {
    index_dense_t& index = index_of(handle);
    array_elements_gt<array_at> elements(env, output);
    if (!elements)
        return raise(env, illegal_argument_k, "output must not be null");
    if (elements.length() < index.dimensions())
        return raise(env, illegal_argument_k, "Output is shorter than the dimensions");
    if (!index.get(static_cast<unsigned long>(key), elements.data()))
        return raise(env, illegal_argument_k, key_not_found_k);
    elements.commit();
}

} // namespace

extern "C" {

JNIEXPORT void JNICALL Java_quarn_vemo_korvane_Index_c_1add_1f32(JNIEnv* env, jclass, jlong handle, jlong key,
                                                                jfloatArray vectors) {
    guarded(env, [&] { add_array(env, handle, key, vectors); });
}

JNIEXPORT void JNICALL Java_quarn_vemo_korvane_Index_c_1add_1f64(JNIEnv* env, jclass, jlong handle, jlong key,
                                                                jdoubleArray vectors) {
    guarded(env, [&] { add_array(env, handle, key, vectors); });
}

JNIEXPORT void JNICALL Java_quarn_vemo_korvane_Index_c_1add_1i8(JNIEnv* env, jclass, jlong handle, jlong key,
                                                               jbyteArray vectors) {
    guarded(env, [&] { add_array(env, handle, key, vectors); });
}

JNIEXPORT void JNICALL Java_quarn_vemo_korvane_Index_c_1add_1f32_1buffer(JNIEnv* env, jclass, jlong handle,
                                                                        jlong key, jobject vector) {
    guarded(env, [&] { add_buffer<jfloat>(env, handle, key, vector); });
}

JNIEXPORT void JNICALL Java_quarn_vemo_korvane_Index_c_1add_1f64_1buffer(JNIEnv* env, jclass, jlong handle,
                                                                        jlong key, jobject vector) {
    guarded(env, [&] { add_buffer<jdouble>(env, handle, key, vector); });
}

JNIEXPORT void JNICALL Java_quarn_vemo_korvane_Index_c_1add_1i8_1buffer(JNIEnv* env, jclass, jlong handle,
                                                                       jlong key, jobject vector) {
    guarded(env, [&] { add_buffer<jbyte>(env, handle, key, vector); });
}

JNIEXPORT jlongArray JNICALL Java_quarn_vemo_korvane_Index_c_1search_1f32(JNIEnv* env, jclass, jlong handle,
                                                                         jfloatArray query, jlong wanted) {
    return guarded(env, [&] { return search_array(env, handle, query, wanted); });
}

JNIEXPORT jlongArray JNICALL Java_quarn_vemo_korvane_Index_c_1search_1f64(JNIEnv* env, jclass, jlong handle,
                                                                         jdoubleArray query, jlong wanted) {
    return guarded(env, [&] { return search_array(env, handle, query, wanted); });
}

JNIEXPORT jlongArray JNICALL Java_quarn_vemo_korvane_Index_c_1search_1i8(JNIEnv* env, jclass, jlong handle,
                                                                        jbyteArray query, jlong wanted) {
    return guarded(env, [&] { return search_array(env, handle, query, wanted); });
}

JNIEXPORT jlongArray JNICALL Java_quarn_vemo_korvane_Index_c_1search_1f32_1buffer(JNIEnv* env, jclass,
                                                                                 jlong handle, jobject query,
                                                                                 jlong wanted) {
    return guarded(env, [&] { return search_buffer<jfloat>(env, handle, query, wanted); });
}

JNIEXPORT jlongArray JNICALL Java_quarn_vemo_korvane_Index_c_1search_1f64_1buffer(JNIEnv* env, jclass,
                                                                                 jlong handle, jobject query,
                                                                                 jlong wanted) {
    return guarded(env, [&] { return search_buffer<jdouble>(env, handle, query, wanted); });
}

JNIEXPORT jlongArray JNICALL Java_quarn_vemo_korvane_Index_c_1search_1i8_1buffer(JNIEnv* env, jclass, jlong handle,
                                                                                jobject query, jlong wanted) {
    return guarded(env, [&] { return search_buffer<jbyte>(env, handle, query, wanted); });
}

JNIEXPORT jint JNICALL Java_quarn_vemo_korvane_Index_c_1search_1into_1f32_1buffer(JNIEnv* env, jclass,
                                                                                 jlong handle, jobject query,
                                                                                 jobject results, jlong wanted) {
    return guarded(env, [&] { return search_into_buffer<jfloat>(env, handle, query, results, wanted); });
}

JNIEXPORT jint JNICALL Java_quarn_vemo_korvane_Index_c_1search_1into_1f64_1buffer(JNIEnv* env, jclass,
                                                                                 jlong handle, jobject query,
                                                                                 jobject results, jlong wanted) {
    return guarded(env, [&] { return search_into_buffer<jdouble>(env, handle, query, results, wanted); });
}

JNIEXPORT jint JNICALL Java_quarn_vemo_korvane_Index_c_1search_1into_1i8_1buffer(JNIEnv* env, jclass,
                                                                                jlong handle, jobject query,
                                                                                jobject results, jlong wanted) {
    return guarded(env, [&] { return search_into_buffer<jbyte>(env, handle, query, results, wanted); });
}

JNIEXPORT jfloatArray JNICALL Java_quarn_vemo_korvane_Index_c_1get(JNIEnv* env, jclass, jlong handle, jlong key) {
    return guarded(env, [&]() -> jfloatArray {
        index_dense_t& index = index_of(handle);
        std::size_t const dimensions = index.dimensions();
        if (dimensions > static_cast<std::size_t>(INT_MAX))
            return raise<jfloatArray>(env, illegal_argument_k, size_exceeds_k);
        std::unique_ptr<float[]> scratch(new float[dimensions ? dimensions : 1]);
        if (!index.get(static_cast<unsigned long>(key), scratch.get()))
            return raise<jfloatArray>(env, illegal_argument_k, key_not_found_k);
        jfloatArray vector = env->NewFloatArray(static_cast<jsize>(dimensions));
        if (vector)
            env->SetFloatArrayRegion(vector, 0, static_cast<jsize>(dimensions), scratch.get());
        return vector;
    });
}

JNIEXPORT void JNICALL Java_quarn_vemo_korvane_Index_c_1get_1into_1f32(JNIEnv* env, jclass, jlong handle, jlong key,
                                                                      jfloatArray output) {
    guarded(env, [&] { get_into(env, handle, key, output); });
}

JNIEXPORT void JNICALL Java_quarn_vemo_korvane_Index_c_1get_1into_1f64(JNIEnv* env, jclass, jlong handle, jlong key,
                                                                      jdoubleArray output) {
    guarded(env, [&] { get_into(env, handle, key, output); });
}

JNIEXPORT void JNICALL Java_quarn_vemo_korvane_Index_c_1get_1into_1i8(JNIEnv* env, jclass, jlong handle, jlong key,
                                                                     jbyteArray output) {
    guarded(env, [&] { get_into(env, handle, key, output); });
}

JNIEXPORT jboolean JNICALL Java_quarn_vemo_korvane_Index_c_1remove(JNIEnv* env, jclass, jlong handle, jlong key) {
    return guarded(env, [&]() -> jboolean {
        auto removed = index_of(handle).remove(static_cast<unsigned long>(key));
        if (removed.error)
            return raise<jboolean>(env, error_k, removed.error.release());
        return removed.completed != 0;
    });
}

JNIEXPORT jboolean JNICALL Java_quarn_vemo_korvane_Index_c_1rename(JNIEnv* env, jclass, jlong handle, jlong from,
                                                                  jlong to) {
    return guarded(env, [&]() -> jboolean {
        if (static_cast<unsigned long>(to) == vacant_key_k)
            return raise<jboolean>(env, illegal_argument_k, vacant_key_message_k);
        auto renamed = index_of(handle).rename(static_cast<unsigned long>(from), static_cast<unsigned long>(to));
        if (renamed.error)
            return raise<jboolean>(env, error_k, renamed.error.release());
        return renamed.completed != 0;
    });
}

} // extern "C"
