// Native methods of quarn.vemo.korvane.Index: creation, destruction, reservation and properties.

#include <algorithm>
#include <cstddef>
#include <new>
#include <thread>
#include <utility>

#include "index/index_dense.h"
#include "jni/index_handle.h"
#include "jni/jni_support.h"
#include "metrics/scalar_kind.h"
#include "quarn_vemo_korvane_Index.h"

using namespace vemo::korvane;
using namespace vemo::korvane::jni;

namespace {

/// Thread contexts for a count the caller left open. An index without contexts could never run an
/// insertion or a search (each waits for a free context), so a machine that reports no hardware threads
/// gets one.
std::size_t default_thread_count() noexcept { return std::max(1u, std::thread::hardware_concurrency()); }

} // namespace

extern "C" {

JNIEXPORT jlong JNICALL Java_quarn_vemo_korvane_Index_c_1create(JNIEnv* env, jclass, jstring metric, jstring scalar,
                                                               jlong dimensions, jlong capacity, jlong connectivity,
                                                               jlong expansion_add, jlong expansion_search) {
    utf_chars_t metric_name(env, metric);
    if (!metric_name)
        return raise<jlong>(env, illegal_argument_k, "metric must not be null");
    utf_chars_t scalar_name(env, scalar);
    if (!scalar_name)
        return raise<jlong>(env, illegal_argument_k, "scalar must not be null");

    try {
        metric_kind_result_t metric_kind = metric_kind_from_name(metric_name.c_str(), metric_name.length());
        metric_kind.error.raise();
        scalar_kind_result_t scalar_kind = scalar_kind_from_name(scalar_name.c_str(), scalar_name.length());
        scalar_kind.error.raise();

        metric_punned_t metric =
            metric_punned_t::builtin(static_cast<std::size_t>(dimensions), metric_kind.kind, scalar_kind.kind);
        if (!metric.usable())
            return raise<jlong>(env, error_k, "Failed to initialize the metric!");

        index_dense_t::dense_config_t config;
        config.connectivity = static_cast<std::size_t>(connectivity);
        config.add_expansion = static_cast<std::size_t>(expansion_add);
        config.search_expansion = static_cast<std::size_t>(expansion_search);
        config.no_vector_copy = false;
        config.multi_keys = false;
        config.key_lookups = true;
        index_dense_t::state_result_t state = index_dense_t::make(metric, config);
        state.error.raise();

        std::size_t const threads = default_thread_count();
        index_limits_t limits;
        limits.capacity = static_cast<std::size_t>(capacity);
        limits.insertion_threads = threads;
        limits.search_threads = threads;
        if (!state.index.try_reserve(limits))
            return raise<jlong>(env, error_k, "Failed to reserve desired capacity!");

        return handle_of(new index_dense_t(std::move(state.index)));
    } catch (...) {
        return raise<jlong>(env, error_k, "Failed to initialize the vector index!");
    }
}

JNIEXPORT void JNICALL Java_quarn_vemo_korvane_Index_c_1destroy(JNIEnv* env, jclass, jlong handle) {
    guarded(env, [&] { delete index_pointer(handle); });
}

JNIEXPORT jlong JNICALL Java_quarn_vemo_korvane_Index_c_1size(JNIEnv* env, jclass, jlong handle) {
    return guarded(env, [&] { return static_cast<jlong>(index_of(handle).size()); });
}

JNIEXPORT jlong JNICALL Java_quarn_vemo_korvane_Index_c_1capacity(JNIEnv* env, jclass, jlong handle) {
    return guarded(env, [&] { return static_cast<jlong>(index_of(handle).capacity()); });
}

JNIEXPORT jlong JNICALL Java_quarn_vemo_korvane_Index_c_1dimensions(JNIEnv* env, jclass, jlong handle) {
    return guarded(env, [&] { return static_cast<jlong>(index_of(handle).dimensions()); });
}

JNIEXPORT jlong JNICALL Java_quarn_vemo_korvane_Index_c_1connectivity(JNIEnv* env, jclass, jlong handle) {
    return guarded(env, [&] { return static_cast<jlong>(index_of(handle).connectivity()); });
}

JNIEXPORT jlong JNICALL Java_quarn_vemo_korvane_Index_c_1memory_1usage(JNIEnv* env, jclass, jlong handle) {
    return guarded(env, [&] { return static_cast<jlong>(index_of(handle).memory_usage()); });
}

JNIEXPORT void JNICALL Java_quarn_vemo_korvane_Index_c_1reserve(JNIEnv* env, jclass, jlong handle, jlong capacity,
                                                               jlong insertion_threads, jlong search_threads) {
    guarded(env, [&] {
        index_limits_t limits;
        limits.capacity = static_cast<std::size_t>(capacity);
        limits.insertion_threads = insertion_threads ? static_cast<std::size_t>(insertion_threads)
                                                     : default_thread_count();
        limits.search_threads = search_threads ? static_cast<std::size_t>(search_threads) : default_thread_count();
        if (!index_of(handle).try_reserve(limits))
            raise(env, error_k, "Failed to grow vector index!");
    });
}

JNIEXPORT jstring JNICALL Java_quarn_vemo_korvane_Index_c_1metric_1kind(JNIEnv* env, jclass, jlong handle) {
    return guarded(env, [&] { return env->NewStringUTF(metric_kind_name(index_of(handle).metric_kind())); });
}

JNIEXPORT jstring JNICALL Java_quarn_vemo_korvane_Index_c_1scalar_1kind(JNIEnv* env, jclass, jlong handle) {
    return guarded(env, [&] { return env->NewStringUTF(scalar_kind_name(index_of(handle).scalar_kind())); });
}

} // extern "C"
